// Wall-clock milliseconds and sleeping.
#include <sys/time.h>
#include <unistd.h>

#include "link/aTime.h"
#include "link/aTimeInternal.h"

namespace {

const unsigned long kMaxChunkMicroseconds = 999999;

int sUsleep(unsigned long microseconds) { return usleep((useconds_t)microseconds); }

}  // namespace

unsigned long aTime_GetMSTicks(void) {
  struct timeval tv;
  if (gettimeofday(&tv, nullptr) != 0) return 0;
  return (unsigned long)tv.tv_sec * 1000UL + (unsigned long)tv.tv_usec / 1000UL;
}

aErr aTime_MSSleepWith(unsigned long milliseconds, aTimeSleepProc sleeper) {
  unsigned long left = milliseconds * 1000UL;
  while (left > 0) {
    unsigned long chunk = left > kMaxChunkMicroseconds ? kMaxChunkMicroseconds : left;
    sleeper(chunk);
    left -= chunk;
  }
  return aErrNone;
}

aErr aTime_MSSleep(unsigned long milliseconds) { return aTime_MSSleepWith(milliseconds, sUsleep); }
