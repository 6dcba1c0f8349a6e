// The retry helper: which tries it makes, when it stops, and which result it gives back.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "Retry.h"
#include "aError.h"

namespace {

constexpr uint64_t NO_DELAY_MS = 0;  // ms between tries; the pause itself is not under test

TEST(RetryWithDelay, StopsAtTheFirstTryThatIsDoneAndGivesItsResult) {
  std::vector<int> attempts;
  const int result = RetryWithDelay(5, NO_DELAY_MS, [&](int attempt) {
    attempts.push_back(attempt);
    return TryOutcome<int>{attempt * 10, attempt == 3};
  });
  EXPECT_EQ(result, 30);
  EXPECT_EQ(attempts, (std::vector<int>{1, 2, 3}));
}

TEST(RetryWithDelay, MakesEveryTryWhenNoneIsDoneAndGivesTheLastResult) {
  std::vector<int> attempts;
  const int result = RetryWithDelay(4, NO_DELAY_MS, [&](int attempt) {
    attempts.push_back(attempt);
    return TryOutcome<int>{attempt * 10, false};
  });
  EXPECT_EQ(result, 40);
  EXPECT_EQ(attempts, (std::vector<int>{1, 2, 3, 4}));
}

TEST(RetryWithDelay, AStepThatGivesUpEndsTheTriesWithItsFailure) {
  int calls = 0;
  const aErr result = RetryWithDelay(5, NO_DELAY_MS, [&](int attempt) {
    ++calls;
    return attempt == 1 ? TryOutcome<aErr>{aErrTimeout, false}
                        : TryOutcome<aErr>{aErrInvalidOption, true};
  });
  EXPECT_EQ(result, aErrInvalidOption);
  EXPECT_EQ(calls, 2);
}

TEST(RetryWithDelay, MakesOneTryWhenAskedForNone) {
  int calls = 0;
  const aErr result = RetryWithDelay(0, NO_DELAY_MS, [&](int) {
    ++calls;
    return TryOutcome<aErr>{aErrConnection, false};
  });
  EXPECT_EQ(result, aErrConnection);
  EXPECT_EQ(calls, 1);
}

// Whether a failed series ends with a pause: a single failing try, timed. The pause is long
// against a try that does nothing, so the bounds stay clear of scheduling.
TEST(RetryWithDelay, TheLastFailedTryIsFollowedByThePauseUnlessToldOtherwise) {
  constexpr uint64_t kPauseMs = 300;  // ms of the pause under test
  constexpr long long kTickMs = 1;    // whole-millisecond sleeps can end one ms short
  struct Case {
    const char* what;
    PauseAfterLastTry last;
    bool paused;
  };
  for (const Case& c : {Case{"pause", PauseAfterLastTry::Yes, true},
                        Case{"no pause", PauseAfterLastTry::No, false}}) {
    const auto start = std::chrono::steady_clock::now();
    const aErr result = RetryWithDelay(
        1, kPauseMs,
        [](int) {
          return TryOutcome<aErr>{aErrTimeout, false};
        },
        c.last);
    const long long took = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
    EXPECT_EQ(result, aErrTimeout) << c.what;
    if (c.paused) {
      EXPECT_GE(took, static_cast<long long>(kPauseMs) - kTickMs) << c.what;
    } else {
      EXPECT_LT(took, static_cast<long long>(kPauseMs)) << c.what;
    }
  }
}

}  // namespace
