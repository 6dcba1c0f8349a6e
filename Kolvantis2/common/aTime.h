// Millisecond time: wall-clock stamps, a monotonic clock for deadlines, and sleeps.
#pragma once

#include <cstdint>

#include "aError.h"

// Milliseconds since the epoch from the wall clock; 0 when the clock cannot be read. Meant
// for time stamps: it jumps when the system time is set.
uint64_t aTime_GetMSTicks(void);

// Milliseconds of a monotonic clock with an arbitrary start; 0 when it cannot be read. Meant
// for deadlines and elapsed times.
uint64_t aTime_GetMonotonicMSTicks(void);

// Sleeps for the given milliseconds, resuming after signals until the whole time has passed;
// 0 returns at once. Always aErrNone.
aErr aTime_MSSleep(uint64_t milliseconds);
