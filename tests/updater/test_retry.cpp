// The retry helper: which tries it makes, when it stops, and which result it gives back.

#include <gtest/gtest.h>

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

}  // namespace
