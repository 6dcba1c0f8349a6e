#pragma once

// A step tried a bounded number of times, with a pause after each try that failed.

#include <cstdint>

#include "aTime.h"

// What one try gave: its result, and whether the tries end with it (it succeeded, or it failed
// in a way that another try would not mend).
template <typename Result>
struct TryOutcome {
  Result result;
  bool done;
};

// Whether the last try that failed is followed by the pause as well.
enum class PauseAfterLastTry { Yes, No };

// Calls step(attempt) for attempt 1, 2, ... until a try is done or tries tries were made (at
// least one). Every try that is not done is followed by a sleep of delayMs; the last one too
// unless told otherwise, so that what comes after a failed series gives the target the same
// time as another try would. The result of the last try.
template <typename Step>
auto RetryWithDelay(int tries, uint64_t delayMs, Step step,
                    PauseAfterLastTry last = PauseAfterLastTry::Yes) -> decltype(step(1).result) {
  for (int attempt = 1;; ++attempt) {
    const auto outcome = step(attempt);
    if (outcome.done) return outcome.result;
    if (attempt >= tries) {
      if (last == PauseAfterLastTry::Yes) aTime_MSSleep(delayMs);
      return outcome.result;
    }
    aTime_MSSleep(delayMs);
  }
}
