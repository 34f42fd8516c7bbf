// The sleeping loop of aTime_MSSleep with a replaceable sleeper, so tests can
// see the chunks without sleeping. Not for use outside the link library.
#ifndef QN_LINK_ATIMEINTERNAL_H
#define QN_LINK_ATIMEINTERNAL_H

#include "link/aErr.h"

// Sleeps `microseconds` (at most 999999); the result is ignored.
typedef int (*aTimeSleepProc)(unsigned long microseconds);

// Calls `sleeper` with chunks of at most 999999 microseconds that add up to
// `milliseconds` × 1000. Always 0.
aErr aTime_MSSleepWith(unsigned long milliseconds, aTimeSleepProc sleeper);

#endif  // QN_LINK_ATIMEINTERNAL_H
