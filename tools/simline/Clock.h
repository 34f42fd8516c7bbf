// The monotonic clock the simulators pace their lines and timeouts by.
#ifndef QN_TOOLS_SIMLINE_CLOCK_H
#define QN_TOOLS_SIMLINE_CLOCK_H

#include <stdint.h>

namespace qnsim {

// Monotonic clock in nanoseconds.
int64_t NowNs();
// Sleeps until NowNs() reaches dueNs; a signal does not cut it short.
void SleepUntilNs(int64_t dueNs);

}  // namespace qnsim

#endif  // QN_TOOLS_SIMLINE_CLOCK_H
