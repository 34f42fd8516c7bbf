// A named, non-recursive mutex.
#ifndef QN_LINK_AMUTEX_H
#define QN_LINK_AMUTEX_H

#include "link/aErr.h"

typedef struct aMutexRecord* aMutexRef;

// Null name gives an empty name; a name of 256 characters or more gives null.
aMutexRef aMutex_Create(const char* name);
const char* aMutex_Identifier(aMutexRef mutex);
aErr aMutex_Lock(aMutexRef mutex);
aErr aMutex_TryLock(aMutexRef mutex);
aErr aMutex_Unlock(aMutexRef mutex);
// Frees the record and nulls the caller's handle in every case.
aErr aMutex_Destroy(aMutexRef* mutex);

#endif  // QN_LINK_AMUTEX_H
