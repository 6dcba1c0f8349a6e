// Joinable threads.
#pragma once

typedef void* (*aThreadRoutine)(void* argument);

struct aThread;

// New joinable thread running routine(argument); null for a null routine or when memory or
// the thread cannot be had (nothing stays allocated then).
aThread* aThread_Create(aThreadRoutine routine, void* argument);

// Waits for the thread to end, frees the handle and nulls the caller's pointer. Returns the
// POSIX join result unchanged (0 on success); EINVAL for a null pointer or handle.
int aThread_Destroy(aThread** thread);

// Gives up the processor for a moment (5 microseconds).
void aThread_Yield(void);
