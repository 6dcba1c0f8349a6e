#include "aMutex.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <new>

struct aMutex {
  pthread_mutex_t mutex;
  char name[aMUTEX_MAXNAME + 1];
};

namespace {

// POSIX error numbers of the mutex calls as library codes.
aErr sMutexError(int number) {
  switch (number) {
    case 0:
      return aErrNone;
    case EINVAL:
      return aErrParam;
    case EBUSY:
      return aErrBusy;
    case EDEADLK:
      return aErrDuplicate;
    case EPERM:
      return aErrPermission;
    case EAGAIN:
      return aErrResource;
    default:
      return aErrUnknown;
  }
}

}  // namespace

aMutex* aMutex_Create(const char* name) {
  const size_t length = name != nullptr ? strnlen(name, aMUTEX_MAXNAME + 1) : 0;
  if (length > aMUTEX_MAXNAME) return nullptr;

  aMutex* mutex = new (std::nothrow) aMutex;
  if (mutex == nullptr) return nullptr;
  memcpy(mutex->name, name != nullptr ? name : "", length);
  mutex->name[length] = '\0';

  // Error checking: still not recursive, but a relock by the holder or an unlock by another
  // thread is reported instead of dead-locking or silently releasing someone else's lock.
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) {
    delete mutex;
    return nullptr;
  }
  const bool made = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
                    pthread_mutex_init(&mutex->mutex, &attributes) == 0;
  pthread_mutexattr_destroy(&attributes);
  if (!made) {
    delete mutex;
    return nullptr;
  }
  return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex) { return mutex != nullptr ? mutex->name : ""; }

aErr aMutex_Lock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  const aErr result = sMutexError(pthread_mutex_lock(&mutex->mutex));
  // Lock only knows these outcomes; anything else is not a busy or permission answer.
  return result == aErrNone || result == aErrParam || result == aErrDuplicate ? result
                                                                              : aErrUnknown;
}

aErr aMutex_TryLock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  const aErr result = sMutexError(pthread_mutex_trylock(&mutex->mutex));
  return result == aErrNone || result == aErrParam || result == aErrBusy ? result : aErrUnknown;
}

aErr aMutex_Unlock(aMutex* mutex) {
  if (mutex == nullptr) return aErrParam;
  const aErr result = sMutexError(pthread_mutex_unlock(&mutex->mutex));
  return result == aErrNone || result == aErrParam || result == aErrPermission ? result
                                                                               : aErrUnknown;
}

aErr aMutex_Destroy(aMutex** handle) {
  if (handle == nullptr || *handle == nullptr) return aErrParam;
  aMutex* mutex = *handle;

  // Destroying a held mutex would pull it from under its holder: refuse and keep it.
  const int taken = pthread_mutex_trylock(&mutex->mutex);
  if (taken == EBUSY) return aErrBusy;
  if (taken == 0) pthread_mutex_unlock(&mutex->mutex);

  const int destroyed = pthread_mutex_destroy(&mutex->mutex);
  if (destroyed == EBUSY) return aErrBusy;
  delete mutex;
  *handle = nullptr;
  return sMutexError(destroyed);
}
