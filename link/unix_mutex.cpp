// Named mutexes over POSIX threads.
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "link/aMutex.h"

#define aMUTEX_NAME_MAX 255

struct aMutexRecord {
  pthread_mutex_t mutex;
  char name[aMUTEX_NAME_MAX + 1];
};

namespace {

// POSIX results shared by every operation; the operation-specific ones are
// handled by the callers.
aErr sCommon(int result) {
  switch (result) {
    case 0:
      return aErrNone;
    case EINVAL:
      return aErrParam;
    default:
      return aErrUnexpected;
  }
}

}  // namespace

aMutexRef aMutex_Create(const char* name) {
  if (!name) name = "";
  size_t length = strnlen(name, aMUTEX_NAME_MAX + 1);
  if (length > aMUTEX_NAME_MAX) return nullptr;

  aMutexRef mutex = (aMutexRef)calloc(1, sizeof(aMutexRecord));
  if (!mutex) return nullptr;
  if (pthread_mutex_init(&mutex->mutex, nullptr) != 0) {
    free(mutex);
    return nullptr;
  }
  memcpy(mutex->name, name, length);
  mutex->name[length] = '\0';
  return mutex;
}

const char* aMutex_Identifier(aMutexRef mutex) { return mutex ? mutex->name : nullptr; }

aErr aMutex_Lock(aMutexRef mutex) {
  if (!mutex) return aErrParam;
  int result = pthread_mutex_lock(&mutex->mutex);
  if (result == EDEADLK) return aErrDuplicate;
  return sCommon(result);
}

aErr aMutex_TryLock(aMutexRef mutex) {
  if (!mutex) return aErrParam;
  int result = pthread_mutex_trylock(&mutex->mutex);
  if (result == EBUSY) return aErrBusy;
  return sCommon(result);
}

aErr aMutex_Unlock(aMutexRef mutex) {
  if (!mutex) return aErrParam;
  int result = pthread_mutex_unlock(&mutex->mutex);
  if (result == EPERM) return aErrPermission;
  return sCommon(result);
}

aErr aMutex_Destroy(aMutexRef* handle) {
  if (!handle || !*handle) return aErrParam;
  aMutexRef mutex = *handle;
  *handle = nullptr;
  int result = pthread_mutex_destroy(&mutex->mutex);
  free(mutex);
  if (result == EBUSY) return aErrBusy;
  if (result == EAGAIN) return aErrResource;
  return sCommon(result);
}
