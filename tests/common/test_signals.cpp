// Signals and sharing: a signal that the process handles itself (SIGUSR1, SIGCHLD, SIGWINCH)
// cuts the waits of the broker's and the client stream's threads short, and sharing goes on;
// a process that ignores SIGINT keeps ignoring it once the library uses CZMQ, and a SIGINT
// then stops nothing. (An interrupt that CZMQ catches still ends sharing: the hand-over tests
// of the broker and of the client stream show that.)
#include <czmq.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "aBeaconInterface.h"
#include "aClientStream.h"
#include "aStream.h"
#include "aZSys.h"
#include "broker_test_support.h"
#include "support.h"

namespace {

using brokertest::BrokerOnModule;
using brokertest::Bytes;
using brokertest::Clock;
using brokertest::Echo;

constexpr int kSignalRounds = 20;  // rounds of "signal every thread, then a round trip"
constexpr int kSignalsPerRound = 3;
constexpr auto kSignalPause = std::chrono::milliseconds(5);  // before each of those signals
// Longest wait for one answer byte through the broker; only reached on failure.
constexpr auto kAnswerWait = std::chrono::milliseconds(brokertest::kAnswerWaitMs);
constexpr uint32_t kWaitSliceMs = 20;       // one wait of the stream for input, as a link's reader
constexpr int kWorkerWaitMs = 1000;         // one wait of the worker, as the broker's threads wait
constexpr int kWorkerSignals = 5;           // signals sent to the worker of the wait test
constexpr auto kBetweenWorkerSignals = std::chrono::milliseconds(20);

// Set by the handlers: a handler does nothing else.
std::atomic<int> gCaught{0};
void SetCaught(int) { gCaught.store(1); }

// Installs SetCaught for a signal (no SA_RESTART: waits are cut short, as by most handlers)
// and puts the former action back at the end of the test.
class CaughtSignal {
 public:
  explicit CaughtSignal(int signal) : signal_(signal) {
    struct sigaction action {};
    action.sa_handler = SetCaught;
    sigemptyset(&action.sa_mask);
    installed_ = sigaction(signal_, &action, &former_) == 0;
  }
  ~CaughtSignal() {
    if (installed_) sigaction(signal_, &former_, nullptr);
  }
  CaughtSignal(const CaughtSignal&) = delete;
  CaughtSignal& operator=(const CaughtSignal&) = delete;
  bool installed() const { return installed_; }

 private:
  int signal_;
  struct sigaction former_ {};
  bool installed_ = false;
};

// Sends the signal to every thread of this process but the calling one: the broker's, the
// sync and the relay threads among them, wherever they wait. Answers how many were signalled.
int SignalOtherThreads(int signal) {
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  int signalled = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    const pid_t thread = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
    if (thread <= 0 || thread == self) continue;
    // A thread that ended meanwhile is simply not there any more.
    if (syscall(SYS_tgkill, getpid(), thread, signal) == 0) ++signalled;
  }
  return signalled;
}

// A client stream of this process to the broker, destroyed with the test.
struct ClientStream {
  aStream* stream = nullptr;
  ~ClientStream() {
    if (stream != nullptr) aStream_Destroy(&stream);
  }
};

// The next byte as a link's reader gets it: a get, and after aErrNotReady a wait slice and
// another get, until the answer wait has passed.
bool NextByte(aStream* stream, uint8_t* byte) {
  const auto end = Clock::now() + kAnswerWait;
  for (;;) {
    const aErr got = aStream_Read(stream, byte, 1);
    if (got == aErrNone) return true;
    if (got != aErrNotReady || Clock::now() > end) return false;
    aStream_WaitForInput(stream, kWaitSliceMs);
  }
}

// One request through the client stream, its relay, the broker and the sync thread to the
// stand-in module and its echo back; true when the echo came.
bool RoundTrip(aStream* stream, uint8_t n) {
  const Bytes request = Echo(1, n);
  if (aStream_Write(stream, request.data(), request.size()) != aErrNone) return false;
  Bytes answer;
  uint8_t byte = 0;
  while (answer.size() < request.size() && NextByte(stream, &byte)) answer.push_back(byte);
  return answer == request;
}

// Round trips while every other thread is signalled before each: all must be answered. The
// signals are spread out a little, so that they find the threads idle in their waits.
void ExpectSharingThroughSignals(aStream* stream, int signal) {
  ASSERT_TRUE(RoundTrip(stream, 0)) << "the first round trip";
  for (int round = 1; round <= kSignalRounds; ++round) {
    for (int i = 0; i < kSignalsPerRound; ++i) {
      std::this_thread::sleep_for(kSignalPause);
      ASSERT_GT(SignalOtherThreads(signal), 0);
    }
    ASSERT_TRUE(RoundTrip(stream, static_cast<uint8_t>(round)))
        << "round trip " << round << " after signal " << strsignal(signal);
  }
}

// --- a signal that the process handles itself ---------------------------------------------

struct HandledSignal {
  const char* name;
  int signal;
};

void PrintTo(const HandledSignal& handled, std::ostream* out) { *out << handled.name; }

const HandledSignal kHandledSignals[] = {
    {"SIGUSR1", SIGUSR1},
    {"SIGCHLD", SIGCHLD},
    {"SIGWINCH", SIGWINCH},
};

class SharingUnderHandledSignal : public ::testing::TestWithParam<HandledSignal> {};

TEST_P(SharingUnderHandledSignal, KeepsAnsweringRoundTrips) {
  CaughtSignal caught(GetParam().signal);
  ASSERT_TRUE(caught.installed());
  BrokerOnModule broker;
  ASSERT_TRUE(broker.ready()) << broker.error();
  ClientStream client;
  ASSERT_EQ(aStream_CreateClient(brokertest::kLoopback, broker.port(), &client.stream), aErrNone);
  gCaught.store(0);
  ExpectSharingThroughSignals(client.stream, GetParam().signal);
  EXPECT_EQ(gCaught.load(), 1) << "the handler saw the signals";
}

INSTANTIATE_TEST_SUITE_P(Signals, SharingUnderHandledSignal, ::testing::ValuesIn(kHandledSignals),
                         [](const auto& param) { return std::string(param.param.name); });

// A worker's loop as the broker's threads run it, on a socket of a context of its own: the
// signals cut its waits short and it waits on; the end of the context (ETERM, as at CZMQ's
// shutdown) ends it.
TEST(WorkerWait, GoesOnAfterSignalsAndEndsWhenItsContextEnds) {
  CaughtSignal caught(SIGUSR1);
  ASSERT_TRUE(caught.installed());
  void* context = zmq_ctx_new();
  ASSERT_NE(context, nullptr);
  void* socket = zmq_socket(context, ZMQ_PULL);
  ASSERT_NE(socket, nullptr);
  zpoller_t* poller = zpoller_new(socket, nullptr);
  ASSERT_NE(poller, nullptr);
  std::atomic<bool> ended{false};
  std::atomic<bool> giveUp{false};  // lets a failed test end the worker
  std::thread worker([&] {
    bool end = false;
    while (!end && !giveUp.load()) aZSys_WorkerWait(poller, kWorkerWaitMs, &end);
    ended.store(end);
  });

  gCaught.store(0);
  for (int i = 0; i < kWorkerSignals; ++i) {
    pthread_kill(worker.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(kBetweenWorkerSignals);
  }
  EXPECT_EQ(gCaught.load(), 1);
  EXPECT_FALSE(ended.load()) << "a signal ended the loop";

  zmq_ctx_shutdown(context);
  EXPECT_TRUE(coretest::Eventually([&] { return ended.load(); }, brokertest::kPollMs))
      << "the loop outlived its context";
  giveUp.store(true);
  worker.join();
  zpoller_destroy(&poller);
  zmq_close(socket);
  zmq_ctx_term(context);
}

// --- a process that ignores SIGINT -----------------------------------------------------------

// The library's first use of CZMQ, made in a process that ignores SIGINT.
struct FirstUse {
  const char* name;
  std::function<void()> use;  // nothing: the broker's start below is the first use
};

void PrintTo(const FirstUse& first, std::ostream* out) { *out << first.name; }

const FirstUse kFirstUses[] = {
    {"BrokerStart", [] {}},
    {"ClientStream",
     [] {
       aStream* stream = nullptr;
       ASSERT_EQ(aStream_CreateClient(brokertest::kLoopback, ClosedLoopbackPort(), &stream),
                 aErrNone);
       aStream_Destroy(&stream);
     }},
    // What a beacon search of broker discovery does first.
    {"BrokerDiscovery",
     [] {
       ASSERT_EQ(zBeaconInterface_backupSetAndLock(""), 1);
       zBeaconInterface_restoreAndUnlock();
     }},
};

// Set, to the name of a first use, in the fresh copy of this program that runs the child.
constexpr const char* kIgnoredSigintVariable = "KV_TEST_IGNORED_SIGINT_FIRST_USE";

using Handling = void (*)(int);

// What the process does with the signal now: SIG_IGN, SIG_DFL or a handler.
Handling Disposition(int signal) {
  struct sigaction now {};
  sigaction(signal, nullptr, &now);
  return now.sa_handler;
}

// In the fresh copy (CZMQ not yet used): SIGINT ignored, as a shell script's background job
// has it, before the library's first use of CZMQ.
TEST(IgnoredSigintChild, StaysIgnoredAndStopsNoSharing) {
  const char* name = std::getenv(kIgnoredSigintVariable);
  if (name == nullptr) GTEST_SKIP() << "runs in the copy of this program that IgnoredSigint starts";
  const FirstUse* first = nullptr;
  for (const FirstUse& use : kFirstUses) {
    if (std::strcmp(use.name, name) == 0) first = &use;
  }
  ASSERT_NE(first, nullptr) << name;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGINT, &ignore, nullptr), 0);
  ASSERT_EQ(Disposition(SIGTERM), SIG_DFL);

  first->use();
  BrokerOnModule broker;
  ASSERT_TRUE(broker.ready()) << broker.error();
  ClientStream client;
  ASSERT_EQ(aStream_CreateClient(brokertest::kLoopback, broker.port(), &client.stream), aErrNone);
  EXPECT_EQ(Disposition(SIGINT), SIG_IGN) << "SIGINT is still ignored";
  EXPECT_EQ(Disposition(SIGTERM), SIG_DFL) << "SIGTERM keeps the process's own handling";

  ASSERT_EQ(kill(getpid(), SIGINT), 0);
  ExpectSharingThroughSignals(client.stream, SIGINT);
  EXPECT_EQ(Disposition(SIGINT), SIG_IGN);
}

class IgnoredSigint : public ::testing::TestWithParam<FirstUse> {};

TEST_P(IgnoredSigint, StaysIgnoredOnceTheLibraryUsesCzmqAndStopsNoSharing) {
  ExpectPassesInFreshCopy("IgnoredSigintChild.*",
                          {std::string(kIgnoredSigintVariable) + "=" + GetParam().name});
}

INSTANTIATE_TEST_SUITE_P(Signals, IgnoredSigint, ::testing::ValuesIn(kFirstUses),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
