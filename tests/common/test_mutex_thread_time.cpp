// Mutexes, threads and millisecond time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "aMutex.h"
#include "aThread.h"
#include "aTime.h"

namespace {

// The mistake tests unlock from the wrong thread on purpose; ThreadSanitizer reports every
// such call, so they run in the other builds only.
#if defined(__SANITIZE_THREAD__)
#define SKIP_DELIBERATE_MUTEX_MISUSE() \
  GTEST_SKIP() << "deliberate misuse, reported by ThreadSanitizer"
#else
#define SKIP_DELIBERATE_MUTEX_MISUSE() (void)0
#endif

// ---- Mutexes -------------------------------------------------------------------------------

struct NameCase {
  const char* label;
  std::string name;
  bool nullName;
  bool created;
};

TEST(Mutex, CreateKeepsNamesUpTo255Characters) {
  const NameCase cases[] = {
      {"null name", "", true, true},
      {"short name", "link table", false, true},
      {"empty name", "", false, true},
      {"255 characters", std::string(255, 'm'), false, true},
      {"256 characters", std::string(256, 'm'), false, false},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.label);
    aMutex* mutex = aMutex_Create(c.nullName ? nullptr : c.name.c_str());
    ASSERT_EQ(mutex != nullptr, c.created);
    if (mutex == nullptr) continue;
    EXPECT_EQ(aMutex_Identifier(mutex), c.name);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
    EXPECT_EQ(mutex, nullptr);
  }
  EXPECT_STREQ(aMutex_Identifier(nullptr), "");
}

TEST(Mutex, NullMutexIsAParameterError) {
  EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
  EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
  aMutex* none = nullptr;
  EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
}

TEST(Mutex, HolderMistakesAreReported) {
  SKIP_DELIBERATE_MUTEX_MISUSE();
  aMutex* mutex = aMutex_Create("self");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission);  // not held at all
  ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Lock(mutex), aErrDuplicate);  // would dead-lock
  EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);  // held by the caller itself
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
  EXPECT_EQ(mutex, nullptr);
}

// Another thread that takes the mutex and holds it until released.
class Holder {
 public:
  explicit Holder(aMutex* mutex) : mutex_(mutex) {
    thread_ = aThread_Create(&Holder::Run, this);
    if (thread_ != nullptr) lockResult_ = locked_.get_future().get();
  }
  ~Holder() { Release(); }

  aErr LockResult() const { return lockResult_; }
  bool Started() const { return thread_ != nullptr; }

  // Lets the holder unlock and end; gives the holder's unlock result.
  aErr Release() {
    if (thread_ == nullptr) return unlockResult_;
    release_.set_value();
    EXPECT_EQ(aThread_Destroy(&thread_), 0);
    return unlockResult_;
  }

 private:
  static void* Run(void* argument) {
    Holder* self = static_cast<Holder*>(argument);
    self->locked_.set_value(aMutex_Lock(self->mutex_));
    self->release_.get_future().wait();
    self->unlockResult_ = aMutex_Unlock(self->mutex_);
    return nullptr;
  }

  aMutex* mutex_;
  aThread* thread_ = nullptr;
  std::promise<aErr> locked_;
  std::promise<void> release_;
  aErr lockResult_ = aErrUnknown;
  aErr unlockResult_ = aErrUnknown;
};

TEST(Mutex, TryLockAndUnlockRespectAnotherHolder) {
  SKIP_DELIBERATE_MUTEX_MISUSE();
  aMutex* mutex = aMutex_Create("shared");
  ASSERT_NE(mutex, nullptr);
  {
    Holder holder(mutex);
    ASSERT_TRUE(holder.Started());
    ASSERT_EQ(holder.LockResult(), aErrNone);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);  // the failed unlock released nothing
    EXPECT_EQ(holder.Release(), aErrNone);
  }
  EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(Mutex, DestroyLeavesAMutexHeldByAnotherThreadAlive) {
  aMutex* mutex = aMutex_Create("busy");
  ASSERT_NE(mutex, nullptr);
  aMutex* const original = mutex;
  {
    Holder holder(mutex);
    ASSERT_TRUE(holder.Started());
    ASSERT_EQ(holder.LockResult(), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
    EXPECT_EQ(mutex, original);
    EXPECT_EQ(aMutex_Identifier(mutex), std::string("busy"));
    EXPECT_EQ(holder.Release(), aErrNone);
  }
  EXPECT_EQ(aMutex_Lock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
  EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
  EXPECT_EQ(mutex, nullptr);
}

// Many threads adding under the mutex lose no update.
struct Counter {
  aMutex* mutex;
  long value;
};

const int kAddsPerThread = 10000;

void* AddMany(void* argument) {
  Counter* counter = static_cast<Counter*>(argument);
  for (int i = 0; i < kAddsPerThread; ++i) {
    if (aMutex_Lock(counter->mutex) != aErrNone) return argument;
    ++counter->value;
    aMutex_Unlock(counter->mutex);
  }
  return nullptr;
}

TEST(Mutex, SerialisesThreads) {
  Counter counter = {aMutex_Create("counter"), 0};
  ASSERT_NE(counter.mutex, nullptr);
  std::vector<aThread*> threads;
  for (int i = 0; i < 8; ++i) {
    aThread* thread = aThread_Create(AddMany, &counter);
    ASSERT_NE(thread, nullptr);
    threads.push_back(thread);
  }
  for (aThread*& thread : threads) EXPECT_EQ(aThread_Destroy(&thread), 0);
  EXPECT_EQ(counter.value, 8L * kAddsPerThread);
  EXPECT_EQ(aMutex_Destroy(&counter.mutex), aErrNone);
}

// ---- Threads -------------------------------------------------------------------------------

void* Square(void* argument) {
  int* value = static_cast<int*>(argument);
  *value = *value * *value;
  return nullptr;
}

TEST(Thread, RunsTheRoutineAndDestroyWaitsForIt) {
  int values[4] = {2, 3, 4, 5};
  aThread* threads[4] = {};
  for (int i = 0; i < 4; ++i) {
    threads[i] = aThread_Create(Square, &values[i]);
    ASSERT_NE(threads[i], nullptr);
  }
  for (aThread*& thread : threads) {
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_EQ(thread, nullptr);
  }
  EXPECT_EQ(values[0], 4);
  EXPECT_EQ(values[1], 9);
  EXPECT_EQ(values[2], 16);
  EXPECT_EQ(values[3], 25);
}

TEST(Thread, RefusesMissingRoutinesAndHandles) {
  int value = 0;
  EXPECT_EQ(aThread_Create(nullptr, &value), nullptr);
  EXPECT_EQ(aThread_Destroy(nullptr), EINVAL);
  aThread* none = nullptr;
  EXPECT_EQ(aThread_Destroy(&none), EINVAL);
}

// ---- Time ----------------------------------------------------------------------------------

TEST(Time, MSTicksFollowsTheWallClock) {
  // Loose agreement with the system clock: both read the same wall time.
  const uint64_t kAgreementMs = 60 * 1000;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const uint64_t expected =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
  const uint64_t ticks = aTime_GetMSTicks();
  EXPECT_LE(ticks > expected ? ticks - expected : expected - ticks, kAgreementMs);
}

TEST(Time, SleepOfZeroReturnsSuccess) { EXPECT_EQ(aTime_MSSleep(0), aErrNone); }

TEST(Time, SleepLastsAtLeastTheTimeAsked) {
  const uint64_t kSleepMs = 30;
  const uint64_t start = aTime_GetMonotonicMSTicks();
  ASSERT_NE(start, 0u);
  EXPECT_EQ(aTime_MSSleep(kSleepMs), aErrNone);
  EXPECT_GE(aTime_GetMonotonicMSTicks() - start, kSleepMs);
}

volatile sig_atomic_t gAlarms = 0;

void CountAlarm(int) { gAlarms = gAlarms + 1; }

// Installs a counting SIGALRM handler without SA_RESTART and a repeating interval timer;
// both are taken back afterwards.
class AlarmTest : public ::testing::Test {
 protected:
  static constexpr long kIntervalUs = 10 * 1000;  // 10 ms between alarms

  void SetUp() override {
    gAlarms = 0;
    struct sigaction action = {};
    action.sa_handler = CountAlarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ASSERT_EQ(sigaction(SIGALRM, &action, &former_), 0);
    struct itimerval timer = {};
    timer.it_interval.tv_usec = kIntervalUs;
    timer.it_value.tv_usec = kIntervalUs;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
  }
  void TearDown() override {
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &former_, nullptr);
  }

  struct sigaction former_ = {};
};

TEST_F(AlarmTest, SleepResumesAfterSignalsUntilTheFullTime) {
  const uint64_t kSleepMs = 200;
  const auto steadyStart = std::chrono::steady_clock::now();
  const uint64_t start = aTime_GetMonotonicMSTicks();
  EXPECT_EQ(aTime_MSSleep(kSleepMs), aErrNone);
  const uint64_t elapsed = aTime_GetMonotonicMSTicks() - start;
  const auto steadyElapsed = std::chrono::steady_clock::now() - steadyStart;

  EXPECT_GT(gAlarms, 0) << "the sleep was never interrupted";
  EXPECT_GE(elapsed, kSleepMs);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(steadyElapsed).count(),
            static_cast<long long>(kSleepMs));
}

}  // namespace
