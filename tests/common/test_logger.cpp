// Logger: one thread however often it is enabled, a disable from the consumer's own thread
// that changes nothing, destroy (with the file holding what the consumer wrote), a file whose
// writes fail, and the answers for loggers that cannot be made or are invalid.

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "aLogger.h"
#include "support.h"

namespace {

// Longest wait for something the logger is about to do; only reached on failure.
constexpr auto kHangGuard = std::chrono::seconds(20);
constexpr int kPollMs = 2;          // ms between the tries of a poll
constexpr int kConsumerRestMs = 1;  // ms each test consumer rests per call
constexpr uint32_t kId = 0x1234;

bool Eventually(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + kHangGuard;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What the consumers saw; one per test, reached through a global because the consumer gets
// only the file and the id.
struct Calls {
  std::mutex lock;
  std::set<pthread_t> threads;     // identifiers of the running threads (reused after a join)
  std::atomic<int> threadRuns{0};  // threads that called the consumer
  std::atomic<uint64_t> count{0};
  std::atomic<uint32_t> lastId{0};
  std::atomic<aFile*> lastFile{nullptr};
  // For the consumers that act on their own logger.
  std::atomic<aLogger*> logger{nullptr};
  std::atomic<int> ownDisable{-1};  // result of the consumer's own disable, -1 before
  std::atomic<int> ownDestroy{-1};
  std::atomic<int> ownEnable{-1};
  std::atomic<uint64_t> lines{0};  // lines the writing consumer wrote

  void note(aFile* file, uint32_t id) {
    static thread_local bool counted = false;
    if (!counted) {
      counted = true;
      threadRuns.fetch_add(1);
    }
    {
      std::lock_guard<std::mutex> hold(lock);
      threads.insert(pthread_self());
    }
    lastId.store(id);
    lastFile.store(file);
    count.fetch_add(1);
  }
  int threadCount() { return threadRuns.load(); }
};

Calls* gCalls = nullptr;

class CallsScope {
 public:
  CallsScope() { gCalls = &calls; }
  ~CallsScope() { gCalls = nullptr; }
  Calls calls;
};

void Rest() { std::this_thread::sleep_for(std::chrono::milliseconds(kConsumerRestMs)); }

void Counting(aFile* file, uint32_t id) {
  gCalls->note(file, id);
  Rest();
}

// Tries to stop and to free its own logger on its first call, then counts on.
void SelfStopping(aFile* file, uint32_t id) {
  if (gCalls->ownDisable.load() < 0) {
    aLogger* logger = gCalls->logger.load();
    gCalls->ownEnable.store(aLogger_Enable(logger));
    gCalls->ownDisable.store(aLogger_Disable(logger));
    gCalls->ownDestroy.store(aLogger_Destroy(&logger));
  }
  gCalls->note(file, id);
  Rest();
}

// Writes a numbered line per call, up to 100 lines.
void Writing(aFile* file, uint32_t id) {
  gCalls->note(file, id);
  const uint64_t line = gCalls->lines.load();
  if (line < 100 && aFile_Printf(file, "line %u of %X\n", static_cast<unsigned>(line),
                                 static_cast<unsigned>(id)) == aErrNone) {
    gCalls->lines.store(line + 1);
  }
  Rest();
}

// Writes one line on every call.
void WritingEveryCall(aFile* file, uint32_t id) {
  gCalls->note(file, id);
  aFile_Printf(file, "line of %X\n", static_cast<unsigned>(id));
  Rest();
}

TEST(Logger, EnablingTwiceRunsOneThread) {
  CallsScope scope;
  TempDir dir;
  aLogger* logger = aLogger_Create(kId, Counting, dir.file("log.txt").c_str());
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(logger->enabled.load(), 0);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(Eventually([&] { return scope.calls.count.load() >= 20; }));
  EXPECT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_EQ(aLogger_Disable(logger), aErrNone);

  EXPECT_EQ(scope.calls.threadCount(), 1);
  {
    std::lock_guard<std::mutex> hold(scope.calls.lock);
    EXPECT_EQ(scope.calls.threads.count(pthread_self()), 0u);
  }
  EXPECT_EQ(scope.calls.lastId.load(), kId);
  EXPECT_EQ(scope.calls.lastFile.load(), logger->file);
  // Stopped: the consumer is called no more.
  const uint64_t stopped = scope.calls.count.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(scope.calls.count.load(), stopped);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
}

TEST(Logger, DisablingAStoppedLoggerGivesNoneAndItCanRunAgain) {
  CallsScope scope;
  TempDir dir;
  aLogger* logger = aLogger_Create(kId, Counting, dir.file("log.txt").c_str());
  ASSERT_NE(logger, nullptr);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);  // never started
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(Eventually([&] { return scope.calls.count.load() >= 1; }));
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);  // already stopped
  const uint64_t first = scope.calls.count.load();
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);  // a new thread after a stop
  ASSERT_TRUE(Eventually([&] { return scope.calls.count.load() > first; }));
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);  // stops the running thread
  const uint64_t destroyed = scope.calls.count.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(scope.calls.count.load(), destroyed);
  EXPECT_EQ(scope.calls.threadCount(), 2);
}

// The consumer's own enable, disable and destroy change nothing: the thread runs on until the
// controlling thread disables it.
TEST(Logger, TheConsumerCannotStopOrFreeItsOwnLogger) {
  CallsScope scope;
  TempDir dir;
  aLogger* logger = aLogger_Create(kId, SelfStopping, dir.file("log.txt").c_str());
  ASSERT_NE(logger, nullptr);
  scope.calls.logger.store(logger);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  ASSERT_TRUE(Eventually([&] { return scope.calls.ownDestroy.load() >= 0; }));
  EXPECT_EQ(scope.calls.ownEnable.load(), aErrNone);
  EXPECT_EQ(scope.calls.ownDisable.load(), aErrNone);
  EXPECT_EQ(scope.calls.ownDestroy.load(), aErrBusy);
  const uint64_t after = scope.calls.count.load();
  ASSERT_TRUE(Eventually([&] { return scope.calls.count.load() > after + 10; }));
  EXPECT_EQ(logger->enabled.load(), 1);
  EXPECT_EQ(scope.calls.threadCount(), 1);

  ASSERT_EQ(aLogger_Disable(logger), aErrNone);
  const uint64_t stopped = scope.calls.count.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(scope.calls.count.load(), stopped);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
}

TEST(Logger, DestroyClosesTheFileWithWhatTheConsumerWrote) {
  CallsScope scope;
  TempDir dir;
  const std::string path = dir.file("packets.log");
  {
    std::ofstream earlier(path, std::ios::binary);
    earlier << "earlier\n";
  }
  aLogger* logger = aLogger_Create(0xAB, Writing, path.c_str());
  ASSERT_NE(logger, nullptr);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  // Unbuffered: the lines are in the file while the logger still runs.
  ASSERT_TRUE(
      Eventually([&] { return ReadFile(path).find("line 4 of AB\n") != std::string::npos; }));
  ASSERT_TRUE(Eventually([&] { return scope.calls.lines.load() == 100; }));
  EXPECT_EQ(logger->failed.load(), 0);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);

  std::string expected = "earlier\n";  // opened for appending
  for (int i = 0; i < 100; ++i) expected += "line " + std::to_string(i) + " of AB\n";
  EXPECT_EQ(ReadFile(path), expected);
}

// A file that takes no bytes: every write fails. The consumer is called once per run; its
// thread ends at the failed write instead of taking more work that would be lost the same way.
TEST(Logger, AFailedWriteEndsTheRunAndEnablingAgainRunsAnew) {
  CallsScope scope;
  aLogger* logger = aLogger_Create(kId, WritingEveryCall, "/dev/full");
  ASSERT_NE(logger, nullptr);
  for (uint64_t run = 1; run <= 2; ++run) {
    ASSERT_EQ(aLogger_Enable(logger), aErrNone) << "run " << run;
    ASSERT_TRUE(Eventually([&] { return scope.calls.count.load() >= run; })) << "run " << run;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(scope.calls.count.load(), run) << "the consumer was called after its write failed";
    EXPECT_EQ(logger->failed.load(), 1) << "run " << run;
    EXPECT_EQ(aLogger_Disable(logger), aErrNone) << "run " << run;
  }
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
}

TEST(Logger, ALoggerThatCannotBeMadeIsNull) {
  TempDir dir;
  EXPECT_EQ(aLogger_Create(kId, Counting, dir.file("missing/log.txt").c_str()), nullptr);
  EXPECT_EQ(aLogger_Create(kId, Counting, dir.path().c_str()), nullptr);  // a directory
  EXPECT_EQ(aLogger_Create(kId, Counting, nullptr), nullptr);
  EXPECT_EQ(aLogger_Create(kId, Counting, ""), nullptr);
  EXPECT_EQ(aLogger_Create(kId, nullptr, dir.file("log.txt").c_str()), nullptr);
}

TEST(Logger, AnInvalidLoggerIsAnswered) {
  EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
  EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
  aLogger* none = nullptr;
  EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
  EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);
  aLogger forged;  // never made by aLogger_Create: no check word
  EXPECT_EQ(aLogger_Enable(&forged), aErrParam);
  EXPECT_EQ(aLogger_Disable(&forged), aErrParam);
  aLogger* pointer = &forged;
  EXPECT_EQ(aLogger_Destroy(&pointer), aErrNone);
  EXPECT_EQ(pointer, &forged);  // left alone
}

}  // namespace
