// Wall-clock milliseconds and sleeping.
#ifndef QN_LINK_ATIME_H
#define QN_LINK_ATIME_H

#include "link/aErr.h"

// Wall-clock milliseconds (gettimeofday); 0 when the clock cannot be read.
// Meant for elapsed-time measurement by subtraction.
unsigned long aTime_GetMSTicks(void);
// Sleeps in usleep calls of at most 999999 microseconds; always 0.
aErr aTime_MSSleep(unsigned long milliseconds);

#endif  // QN_LINK_ATIME_H
