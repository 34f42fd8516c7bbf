#include "tools/simline/Clock.h"

#include <errno.h>
#include <time.h>

namespace qnsim {

int64_t NowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void SleepUntilNs(int64_t dueNs) {
  struct timespec ts;
  ts.tv_sec = dueNs / 1000000000LL;
  ts.tv_nsec = dueNs % 1000000000LL;
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

}  // namespace qnsim
