// Named mutexes: the library's only lock type.
#pragma once

#include "aError.h"

// Longest name a mutex keeps, without the terminator.
#define aMUTEX_MAXNAME 255

struct aMutex;

// New unlocked mutex; the name (null for none) is kept for identification only. Null for a
// name of 256 characters or more, memory shortage or an initialisation failure.
aMutex* aMutex_Create(const char* name);

// The stored name ("" when none was given, or for a null mutex).
const char* aMutex_Identifier(const aMutex* mutex);

// aErrParam for null or an invalid mutex; aErrDuplicate when the caller already holds it.
aErr aMutex_Lock(aMutex* mutex);

// aErrBusy when the mutex is held (by anyone, the caller included).
aErr aMutex_TryLock(aMutex* mutex);

// aErrPermission when the caller does not hold the mutex.
aErr aMutex_Unlock(aMutex* mutex);

// Destroys and frees the mutex and nulls the caller's pointer. A mutex that is held is left
// alone: aErrBusy, the mutex stays usable and the pointer unchanged. Other failures still free
// the record and null the pointer: aErrResource, aErrUnknown. aErrParam for a null pointer or
// a null mutex.
aErr aMutex_Destroy(aMutex** mutex);
