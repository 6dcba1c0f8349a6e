#include "aTime.h"

#include <sys/time.h>
#include <time.h>

#include <cerrno>
#include <limits>

namespace {

const uint64_t sMS_PER_S = 1000;
const uint64_t sUS_PER_MS = 1000;
const long sNS_PER_MS = 1000 * 1000;
const long sNS_PER_S = 1000 * 1000 * 1000;

}  // namespace

uint64_t aTime_GetMSTicks(void) {
  struct timeval now;
  if (gettimeofday(&now, nullptr) != 0) return 0;
  return static_cast<uint64_t>(now.tv_sec) * sMS_PER_S +
         static_cast<uint64_t>(now.tv_usec) / sUS_PER_MS;
}

uint64_t aTime_GetMonotonicMSTicks(void) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<uint64_t>(now.tv_sec) * sMS_PER_S +
         static_cast<uint64_t>(now.tv_nsec / sNS_PER_MS);
}

aErr aTime_MSSleep(uint64_t milliseconds) {
  if (milliseconds == 0) return aErrNone;

  struct timespec deadline;
  if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) return aErrNone;

  // An absolute deadline on the monotonic clock: a signal only interrupts the wait, it never
  // shortens it, and a change of the system time has no effect.
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<time_t>::max()) / 2;
  const uint64_t seconds = milliseconds / sMS_PER_S;
  deadline.tv_sec += static_cast<time_t>(seconds < limit ? seconds : limit);
  deadline.tv_nsec += static_cast<long>(milliseconds % sMS_PER_S) * sNS_PER_MS;
  if (deadline.tv_nsec >= sNS_PER_S) {
    deadline.tv_nsec -= sNS_PER_S;
    ++deadline.tv_sec;
  }

  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
  return aErrNone;
}
