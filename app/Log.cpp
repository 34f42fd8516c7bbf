#include "app/Log.h"

#include <stdarg.h>
#include <string.h>
#include <time.h>

unsigned int Log::package_bitmask = 0;
bool Log::timestamped = false;
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

namespace {
FILE* sLogFile = nullptr;
const size_t kMessageSize = 2048;
}  // namespace

void Log::ActivatePackage(unsigned int mask) { package_bitmask |= mask; }

void Log::DeactivatePackage(unsigned int mask) { package_bitmask &= ~mask; }

bool Log::IsActive(unsigned int mask) { return (package_bitmask & mask) != 0; }

bool Log::SetLogFile(const char* path) {
  if (sLogFile) {
    fclose(sLogFile);
    sLogFile = nullptr;
  }
  if (!path) return true;
  sLogFile = fopen(path, "a");
  if (!sLogFile) return false;
  setvbuf(sLogFile, nullptr, _IOLBF, 0);
  return true;
}

void Log::FPrintf(FILE* file, unsigned int channel, const char* format, ...) {
  if (channel != 0 && !IsActive(channel)) return;

  if (timestamped && format && strlen(format) > 10) {
    char stamp[128];
    time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    size_t n = strftime(stamp, sizeof(stamp), TIMESTAMP_FORMAT, &utc);
    fwrite(stamp, 1, n, stdout);
    fputs(SEPARATOR, stdout);
  }

  char message[kMessageSize];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  if (n < 0) return;
  size_t len = (size_t)n < sizeof(message) ? (size_t)n : sizeof(message) - 1;
  if (file) fwrite(message, 1, len, file);
  if (channel != 0 && sLogFile) fwrite(message, 1, len, sLogFile);
}

void printProgress(double fraction) {
  static const char kBar[] = "============================================================";
  if (!(fraction >= 0.0)) fraction = 0.0;  // also catches NaN
  if (fraction > 1.0) fraction = 1.0;
  int percent = (int)(fraction * 100);
  int filled = (int)(fraction * 60);
  printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBar, 59 - filled, "", percent);
}
