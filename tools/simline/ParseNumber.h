// Numbers in the simulators' command-line options.
#ifndef QN_TOOLS_SIMLINE_PARSENUMBER_H
#define QN_TOOLS_SIMLINE_PARSENUMBER_H

#include <stdint.h>

#include <string>

namespace qnsim {

// Parses an unsigned number in decimal or 0x hexadecimal; false on anything
// else, including overflow of 32 bits.
bool ParseU32(const std::string& text, uint32_t* value);

}  // namespace qnsim

#endif  // QN_TOOLS_SIMLINE_PARSENUMBER_H
