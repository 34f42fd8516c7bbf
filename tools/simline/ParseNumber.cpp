#include "tools/simline/ParseNumber.h"

#include <errno.h>
#include <stdlib.h>

namespace qnsim {

bool ParseU32(const std::string& text, uint32_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > 0xFFFFFFFFULL) return false;
  *value = (uint32_t)v;
  return true;
}

}  // namespace qnsim
