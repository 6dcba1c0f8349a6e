// Stream registration and delivery of a Link, end to end against the streaming stand-in
// module: over TCP loopback to the kv_sim_module program and in process on the simulated USB
// bus. Registration and its refusals, the value cache, the status rows, unregistering while
// samples flow, callbacks that unregister themselves, a full callback queue, jobs queued for a
// registration whose callback is replaced, the core link's filter (installed once per core
// link, never over someone else's, gone with the last Link), several Links on one routed core
// link, two Links' callbacks acting on each other, and a process that exits while a Link
// streams.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EntityClass.h"
#include "Link.h"
#include "Module.h"
#include "aLink.h"
#include "stream_test_support.h"

using kvsim::Bytes;
using Zentrova::Kolvantis::EntityClass;
using Zentrova::Kolvantis::Link;
using Zentrova::Kolvantis::Module;
using namespace streamtest;

namespace {

constexpr uint8_t kModule = apitest::kAddress;
constexpr int kTag = 1;
constexpr int kOtherTag = 2;
constexpr uint8_t kGetBit = 0x40;
constexpr size_t kUsableJobs = 499;  // a callback queue of 500 slots

uint64_t Key(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
  return Link::createStreamKey(module, command, option, index, subindex);
}

// The 32-bit value of a u32 sample's data (bytes 12 to 15).
uint32_t U32Value(const Bytes& data) {
  return static_cast<uint32_t>(data[12]) << 24 | static_cast<uint32_t>(data[13]) << 16 |
         static_cast<uint32_t>(data[14]) << 8 | data[15];
}

// Every 0x5D request the module got, whatever address it went to.
size_t StreamRequests(StreamStandIn& standIn) {
  size_t n = 0;
  for (const kvsim::Record& record : standIn.records())
    if (record.direction == kvsim::Direction::In && record.bytes.size() > 2 &&
        record.bytes[2] == kStreamCommand)
      ++n;
  return n;
}

bool Received(StreamStandIn& standIn, const Bytes& data) {
  for (const Bytes& got : standIn.received(kModule, data[0]))
    if (got == data) return true;
  return false;
}

// Lets one callback hold the worker until the test lets it go.
class Gate {
 public:
  void enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
  }
  bool awaitEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, apitest::kHangGuard, [&] { return entered_; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool open_ = false;
};

StandInSpec Sources(std::vector<std::pair<std::string, std::string>> options) {
  StandInSpec spec;
  spec.options = std::move(options);
  return spec;
}

class LinkStreamTest : public ::testing::TestWithParam<Transport>,
                       protected linktest::StandInFixture<StreamStandIn> {
 protected:
  void start(const StandInSpec& spec) { StandInFixture::start(GetParam(), spec); }
};

// A registration with any option and a u32 sample of option 8.
TEST_P(LinkStreamTest, WildcardRegistrationRunsCallbackOnceAndCachesFreshThenStaleValue) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}})));
  auto link = connected();
  CallbackLog log;
  int reference = 0;
  ASSERT_EQ(
      link->registerStreamCallback(kModule, kSystem, kAny, 0, true, log.callback(kTag), &reference),
      aErrNone);
  EXPECT_TRUE(Received(standIn(), SwitchRequest(true, kModule, kSystem, kAny, 0)));
  Sentinel sentinel(*link, standIn(), log);

  ASSERT_TRUE(standIn().control("EMIT 1"));
  ASSERT_TRUE(sentinel.flush());
  const auto calls = log.calls();
  ASSERT_EQ(log.count(kTag), 1u);
  const auto& call = calls.front();
  EXPECT_EQ(call.address, kModule);
  EXPECT_EQ(call.reference, &reference);
  ASSERT_EQ(call.data.size(), 17u);
  EXPECT_EQ(call.data[0], kSystem);
  EXPECT_EQ(call.data[1], 8);
  EXPECT_EQ(U32Value(call.data), 1u);

  uint32_t value = 0;
  EXPECT_EQ(link->getStreamValue(kModule, kSystem, 8, 0, 0, &value), aErrNone);
  EXPECT_EQ(value, 1u);
  value = 0;
  EXPECT_EQ(link->getStreamValue(kModule, kSystem, 8, 0, 0, &value), aErrStreamStale);
  EXPECT_EQ(value, 1u);
  EXPECT_EQ(link->getStreamValue(kModule, kSystem, 8, 0, 0, nullptr), aErrParam);
  EXPECT_EQ(link->getStreamValue(kModule, kSystem, 9, 0, 0, &value), aErrNotFound);
  EXPECT_EQ(link->getStreamValue(kModule, kSystem, kAny, 0, kAny, &value), aErrNotFound)
      << "a registration no sample reached holds no value";

  ASSERT_TRUE(standIn().control("EMIT 1"));
  ASSERT_TRUE(sentinel.flush());
  EXPECT_EQ(link->getStreamValue(kModule, kSystem, 8, 0, 0, &value), aErrNone);
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(log.count(kTag), 2u);
}

TEST_P(LinkStreamTest, UncoveredStreamPacketIsConsumedAndCachesNothing) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--streaming", ""}})));
  auto link = connected();
  CallbackLog log;
  ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, log.callback(kTag), nullptr),
            aErrNone);
  Sentinel sentinel(*link, standIn(), log);
  standIn().inject(*link, {Wire(kModule, SampleData(kSystem, 9, 0, 3, 5)),
                           Wire(0x0C, SampleData(kSystem, 8, 0, 3, 6))});
  ASSERT_TRUE(sentinel.flush());
  EXPECT_EQ(log.count(kTag), 0u);
  uint32_t value = 0;
  EXPECT_EQ(link->getStreamValue(kModule, kSystem, 9, 0, 0, &value), aErrNotFound);
  EXPECT_EQ(link->getStreamValue(0x0C, kSystem, 8, 0, 0, &value), aErrNotFound);
  EXPECT_EQ(QueuedStreamPackets(standIn().coreLinkId()), 0u);
}

TEST_P(LinkStreamTest, RefusedModuleAddressesChangeAndSendNothing) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--streaming", ""}})));
  auto link = connected();
  struct Refusal {
    uint8_t module;
    aErr result;
  };
  const Refusal refusals[] = {
      {3, aErrParam}, {0xFF, aErrParam}, {0x41, aErrParam}, {0, aErrPacket}};
  CallbackLog log;
  for (const Refusal& r : refusals) {
    for (bool enable : {true, false}) {
      SCOPED_TRACE(std::to_string(r.module) + (enable ? " enable" : " disable"));
      EXPECT_EQ(link->registerStreamCallback(r.module, kSystem, 8, 0, enable, log.callback(kTag),
                                             nullptr),
                r.result);
      EXPECT_EQ(link->enableStream(r.module, kSystem, 8, 0, enable), r.result);
    }
  }
  EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
  EXPECT_EQ(StreamRequests(standIn()), 0u);
  EXPECT_TRUE(NoUserFilter(standIn().coreLinkId()));
}

// A registration that the module refuses or never acknowledges takes back only what it did.
struct FailureCase {
  const char* name;
  const char* arm;     // control command that makes the next switch fail
  const char* disarm;  // and the one that ends it (empty: none needed)
  aErr result;
};

const FailureCase kFailures[] = {
    {"error_reply", "STREAMFAULT refuse:1:29", "", static_cast<aErr>(29)},
    {"no_reply", "SILENT on", "SILENT off", aErrTimeout},
};

TEST_P(LinkStreamTest, FailedRegistrationErasesOnlyWhatThatCallAdded) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}, {"--stream", "3:9:0:1"}})));
  auto link = connected();
  CallbackLog log;
  constexpr int kReplaced = 3;
  constexpr int kWider = 4;
  ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, log.callback(kTag), nullptr),
            aErrNone);
  Sentinel sentinel(*link, standIn(), log);
  ASSERT_TRUE(standIn().control("EMIT 1"));
  ASSERT_TRUE(sentinel.flush());
  const auto before = link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true);
  const std::vector<uint64_t> expected = {
      Key(kModule, kSystem, 8, 0, 0), Key(kModule, kSentinelCommand, 0, 0, 0),
      Key(kModule, kSystem, 8, 0, kAny), Key(kModule, kSentinelCommand, 0, 0, kAny)};
  ASSERT_EQ(before, expected) << "two cache rows, the registration and the sentinel's";

  for (const FailureCase& failure : kFailures) {
    SCOPED_TRACE(failure.name);
    const auto attempt = [&](uint8_t option, int tag) {
      EXPECT_TRUE(standIn().control(failure.arm));
      const aErr result = link->registerStreamCallback(kModule, kSystem, option, 0, true,
                                                       log.callback(tag), nullptr);
      if (failure.disarm[0] != '\0') {
        EXPECT_TRUE(standIn().control(failure.disarm));
      }
      return result;
    };
    EXPECT_EQ(attempt(9, kOtherTag), failure.result) << "a new registration";
    EXPECT_EQ(attempt(8, kReplaced), failure.result) << "a replaced callback";
    EXPECT_EQ(attempt(kAny, kWider), failure.result) << "a registration covering the cache row";
    EXPECT_EQ(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true), before);
  }

  // A switch the module took without answering still covers option 9: one sample of each.
  ASSERT_TRUE(standIn().control("EMIT 2"));
  ASSERT_TRUE(sentinel.flush());
  EXPECT_EQ(log.count(kTag), 2u) << "the callback that was replaced is back";
  EXPECT_EQ(log.count(kOtherTag) + log.count(kReplaced) + log.count(kWider), 0u);
}

TEST_P(LinkStreamTest, FilterInstalledBySomeoneElseAnswersBusyAndStaysInstalled) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}})));
  auto link = connected();
  const uint32_t id = standIn().coreLinkId();
  struct Foreign {
    std::atomic<int> seen{0};
    static uint8_t filter(const aPacket*, void* reference) {
      ++static_cast<Foreign*>(reference)->seen;
      return 0;
    }
  } foreign;
  ASSERT_EQ(aLink_InstallUserPacketFilter(id, Foreign::filter, &foreign), aErrNone);
  CallbackLog log;
  EXPECT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, log.callback(kTag), nullptr),
            aErrBusy);
  EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
  EXPECT_EQ(StreamRequests(standIn()), 0u) << "refused before anything is sent";
  EXPECT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, false, nullptr, nullptr), aErrNone)
      << "an unregister leaves someone else's filter alone";

  const int seen = foreign.seen.load();
  standIn().inject(*link, {Wire(kModule, SampleData(kSystem, 8, 0, 3, 1))});
  EXPECT_GT(foreign.seen.load(), seen);
  EXPECT_EQ(aLink_SwapUserPacketFilter(id, Foreign::filter, &foreign, Foreign::filter, &foreign),
            aErrNone);
  EXPECT_EQ(QueuedStreamPackets(id), 1u) << "the foreign filter let the sample through";

  ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
  EXPECT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, log.callback(kTag), nullptr),
            aErrNone);
  EXPECT_EQ(QueuedStreamPackets(id), 0u) << "queued stream packets go when the filter goes in";
}

// Registrations come and go while the module streams; once an unregister returns, that
// registration's callback never runs again, even as the same stream is registered again at once.
TEST_P(LinkStreamTest, UnregisterWhileSamplesFlowEndsItsCallbacksBeforeReturning) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}, {"--stream-rate", "2000"}})));
  auto link = connected();
  CallbackLog sentinelLog;
  Sentinel sentinel(*link, standIn(), sentinelLog);
  constexpr int kRounds = 20;
  constexpr size_t kCallsPerRound = 3;
  struct Round {
    std::atomic<size_t> calls{0};
    std::atomic<bool> unregistered{false};
    std::atomic<size_t> late{0};
  };
  std::vector<Round> rounds(kRounds);
  const auto callback = [](const aPacket*, void* reference) -> uint8_t {
    auto* round = static_cast<Round*>(reference);
    if (round->unregistered) ++round->late;
    ++round->calls;
    return 0;
  };
  std::vector<size_t> callsAtReturn(kRounds);
  for (int r = 0; r < kRounds; ++r) {
    ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, callback, &rounds[r]),
              aErrNone);
    ASSERT_TRUE(apitest::Eventually([&] { return rounds[r].calls >= kCallsPerRound; }));
    ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, false, nullptr, nullptr),
              aErrNone);
    rounds[r].unregistered = true;
    callsAtReturn[r] = rounds[r].calls;
  }
  ASSERT_TRUE(sentinel.flush());
  for (int r = 0; r < kRounds; ++r) {
    EXPECT_EQ(rounds[r].late, 0u) << "round " << r;
    EXPECT_EQ(rounds[r].calls, callsAtReturn[r]) << "round " << r;
  }
}

TEST_P(LinkStreamTest, CallbackMayUnregisterItsOwnStream) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}})));
  auto link = connected();
  struct Self {
    Link* link;
    std::atomic<int> calls{0};
    std::atomic<int> result{-1};
    std::atomic<bool> done{false};
  } self{link.get()};
  const auto callback = [](const aPacket*, void* reference) -> uint8_t {
    auto* s = static_cast<Self*>(reference);
    if (++s->calls == 1) {
      s->result = s->link->registerStreamCallback(kModule, kSystem, 8, 0, false, nullptr, nullptr);
      s->done = true;
    }
    return 0;
  };
  ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, callback, &self), aErrNone);
  ASSERT_TRUE(standIn().control("EMIT 1"));
  ASSERT_TRUE(apitest::Eventually([&] { return self.done.load(); }));
  EXPECT_EQ(self.result, aErrNone);
  EXPECT_TRUE(Received(standIn(), SwitchRequest(false, kModule, kSystem, 8, 0)));
  EXPECT_FALSE(standIn().stat().enabled);
  EXPECT_TRUE(link->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
  const uint32_t id = standIn().coreLinkId();
  EXPECT_TRUE(NoUserFilter(id)) << "the last registration took the filter with it";
  standIn().inject(*link, {Wire(kModule, SampleData(kSystem, 8, 0, 3, 9))});
  EXPECT_EQ(QueuedStreamPackets(id), 1u);
  EXPECT_EQ(self.calls, 1);

  // The worker that ran the callback serves a new registration.
  CallbackLog log;
  ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, log.callback(kTag), nullptr),
            aErrNone);
  ASSERT_TRUE(standIn().control("EMIT 1"));
  EXPECT_TRUE(log.await(kTag, 1));
}

// With 499 jobs waiting the next one is dropped, the reader goes on and the cache still takes
// the sample.
TEST_P(LinkStreamTest, FullCallbackQueueDropsTheJobAndNeverStallsTheLink) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}})));
  auto link = connected();
  CallbackLog log;
  Sentinel sentinel(*link, standIn(), log);
  Gate gate;
  std::atomic<size_t> calls{0};
  const auto callback = [&](const aPacket*, void*) -> uint8_t {
    if (calls++ == 0) gate.enter();
    return 0;
  };
  ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, callback, nullptr),
            aErrNone);
  ASSERT_TRUE(standIn().control("EMIT 1"));
  ASSERT_TRUE(gate.awaitEntered());
  ASSERT_TRUE(standIn().control("BURST " + std::to_string(kUsableJobs + 1)));
  standIn().inject(*link, {});
  EXPECT_EQ(link->getDroppedStreamJobs(), 1u);
  uint32_t value = 0;
  EXPECT_EQ(link->getStreamValue(kModule, kSystem, 8, 0, 0, &value), aErrNone);
  EXPECT_EQ(value, kUsableJobs + 2) << "the dropped job's sample is cached all the same";
  gate.open();
  // The queue is full until the worker takes jobs again, so the sentinel goes in afterwards.
  ASSERT_TRUE(apitest::Eventually([&] { return calls >= kUsableJobs + 1; }));
  ASSERT_TRUE(sentinel.flush());
  EXPECT_EQ(calls, kUsableJobs + 1);
}

// Jobs still queued when the Link goes are freed (the leak checker of the sanitizer build
// watches this), and the callbacks end before the Link does.
TEST_P(LinkStreamTest, DestroyingLinkWithQueuedJobsEndsItsWorkerFirst) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}})));
  auto link = connected();
  Gate gate;
  std::atomic<size_t> calls{0};
  std::atomic<bool> gone{false};
  std::atomic<bool> ranAfterGone{false};
  const auto callback = [&](const aPacket*, void*) -> uint8_t {
    if (gone) ranAfterGone = true;
    if (calls++ == 0) gate.enter();
    return 0;
  };
  ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, callback, nullptr),
            aErrNone);
  ASSERT_TRUE(standIn().control("EMIT 1"));
  ASSERT_TRUE(gate.awaitEntered());
  ASSERT_TRUE(standIn().control("BURST 100"));
  standIn().inject(*link, {});
  gate.open();
  link.reset();
  gone = true;
  EXPECT_FALSE(ranAfterGone);
  EXPECT_LE(calls, 101u);
}

TEST_P(LinkStreamTest, StatusReportsCacheRowsInKeyOrderWithinCapacity) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:10:0:5:3"},
                                         {"--stream", "3:10:0:5:5"},
                                         {"--stream", "3:10:0:5:7"},
                                         {"--stream", "3:8:0:3"}})));
  auto link = connected();
  CallbackLog log;
  ASSERT_EQ(
      link->registerStreamCallback(kModule, kSystem, 10, 0, true, log.callback(kTag), nullptr),
      aErrNone);
  Sentinel sentinel(*link, standIn(), log);
  ASSERT_TRUE(standIn().control("EMIT 3"));
  ASSERT_TRUE(sentinel.flush());

  Link::StreamStatusEntry rows[4] = {};
  size_t count = 99;
  EXPECT_EQ(link->getStreamStatus(kModule, kSystem, kAny, 0, kAny, rows, 2, &count), aErrSize);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(rows[0].key, Key(kModule, kSystem, 10, 0, 3));
  EXPECT_EQ(rows[1].key, Key(kModule, kSystem, 10, 0, 5));
  EXPECT_EQ(rows[0].value, 1u);
  EXPECT_EQ(link->getStreamStatus(kModule, kSystem, kAny, 0, kAny, rows, 4, &count), aErrNone);
  ASSERT_EQ(count, 3u) << "registrations (rows with 0xFF) are never reported";
  EXPECT_EQ(rows[2].key, Key(kModule, kSystem, 10, 0, 7));
  EXPECT_EQ(link->getStreamStatus(kModule, kSystem, 10, 0, 5, rows, 4, &count), aErrNone);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(rows[0].key, Key(kModule, kSystem, 10, 0, 5));
  EXPECT_EQ(link->getStreamStatus(kModule, kSystem, 8, 0, kAny, rows, 4, &count), aErrNone);
  EXPECT_EQ(count, 0u);
  uint32_t value = 0;
  EXPECT_EQ(link->getStreamValue(kModule, kSystem, 10, 0, 5, &value), aErrNone)
      << "status reads leave the fresh flags as they are";

  EXPECT_EQ(link->getStreamStatus(kModule, kSystem, kAny, 0, kAny, nullptr, 4, &count), aErrParam);
  EXPECT_EQ(link->getStreamStatus(kModule, kSystem, kAny, 0, kAny, rows, 4, nullptr), aErrParam);
  EXPECT_EQ(link->getStreamStatus(kModule, kSystem, kAny, 0, kAny, rows, 0, &count), aErrParam);
  Link unconnected("Unconnected");
  EXPECT_EQ(unconnected.getStreamStatus(kModule, kSystem, kAny, 0, kAny, rows, 4, &count),
            aErrConnection);
}

TEST_P(LinkStreamTest, UnregisterWithAnyOptionErasesEveryRowOfTheEntity) {
  ASSERT_NO_FATAL_FAILURE(start(
      Sources({{"--stream", "3:8:0:3"}, {"--stream", "3:10:0:5:4"}, {"--stream", "3:8:1:3"}})));
  auto link = connected();
  CallbackLog log;
  ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, log.callback(kTag), nullptr),
            aErrNone);
  ASSERT_EQ(
      link->registerStreamCallback(kModule, kSystem, 10, 0, true, log.callback(kTag), nullptr),
      aErrNone);
  ASSERT_EQ(
      link->registerStreamCallback(kModule, kSystem, 8, 1, true, log.callback(kOtherTag), nullptr),
      aErrNone);
  Sentinel sentinel(*link, standIn(), log);
  ASSERT_TRUE(standIn().control("EMIT 3"));
  ASSERT_TRUE(sentinel.flush());
  ASSERT_EQ(link->filterActiveStreamKeys(kModule, kSystem, kAny, 0, kAny, true).size(), 4u);

  ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, kAny, 0, false, nullptr, nullptr),
            aErrNone);
  EXPECT_TRUE(Received(standIn(), SwitchRequest(false, kModule, kSystem, kAny, 0)));
  EXPECT_TRUE(link->filterActiveStreamKeys(kModule, kSystem, kAny, 0, kAny, true).empty());
  EXPECT_EQ(link->filterActiveStreamKeys(kModule, kSystem, kAny, 1, kAny, true).size(), 2u)
      << "index 1 keeps its registration and cache row";
}

TEST_P(LinkStreamTest, StreamPacketsQueuedWithoutFilterAreDrainedAtEachEnd) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}, {"--stream-rate", "1000"}})));
  auto link = connected();
  const uint32_t id = standIn().coreLinkId();
  standIn().inject(*link, {Wire(kModule, SampleData(kSystem, 8, 0, 3, 1)),
                           Wire(kModule, SampleData(kSystem, 9, 0, 1, 2))});
  ASSERT_EQ(QueuedStreamPackets(id), 2u);
  CallbackLog log;
  ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, log.callback(kTag), nullptr),
            aErrNone);
  EXPECT_EQ(QueuedStreamPackets(id), 0u) << "drained when the filter went in";
  ASSERT_TRUE(log.await(kTag, 20));
  // Samples keep coming until the module takes the disable, after the filter went.
  ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, false, nullptr, nullptr),
            aErrNone);
  EXPECT_TRUE(NoUserFilter(id));
  EXPECT_EQ(QueuedStreamPackets(id), 0u) << "drained once the disable was acknowledged";
}

TEST_P(LinkStreamTest, StreamingQueryFollowsTheModulesSwitch) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}})));
  auto link = connected();
  uint8_t answer = 0xEE;
  EXPECT_EQ(link->isLinkStreaming(kModule, &answer), aErrNone);
  EXPECT_EQ(answer, 0);
  EXPECT_TRUE(Received(standIn(), {kStreamCommand, 0x41, 0x20}));
  ASSERT_EQ(link->enableStream(kModule, kSystem, 8, 0, true), aErrNone);
  EXPECT_EQ(link->isLinkStreaming(kModule, &answer), aErrNone);
  EXPECT_EQ(answer, 1);
  ASSERT_EQ(link->enableStream(kModule, kSystem, 8, 0, false), aErrNone);
  EXPECT_EQ(link->isLinkStreaming(kModule, &answer), aErrNone);
  EXPECT_EQ(answer, 0);
  EXPECT_EQ(link->isLinkStreaming(kModule, nullptr), aErrParam);
  EXPECT_EQ(link->isLinkStreaming(3, &answer), aErrPacket);
  Link unconnected("Unconnected");
  EXPECT_EQ(unconnected.isLinkStreaming(kModule, &answer), aErrConnection);
}

// Two Links on one core link: one dispatcher hands each packet to both, each Link keeps its own
// table, and the filter goes only with the last of them; disconnect() takes a Link off first.
TEST_P(LinkStreamTest, LinksSharingACoreLinkEachGetTheirStreamsUntilTheyLeave) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}, {"--stream", "3:9:0:1"}})));
  auto first = connected("First");
  auto second = routedThrough(*first, "Shared");
  const uint32_t id = standIn().coreLinkId();
  CallbackLog firstLog, secondLog;
  ASSERT_EQ(
      first->registerStreamCallback(kModule, kSystem, 8, 0, true, firstLog.callback(kTag), nullptr),
      aErrNone);
  ASSERT_EQ(second->registerStreamCallback(kModule, kSystem, kAny, 0, true,
                                           secondLog.callback(kTag), nullptr),
            aErrNone);
  ASSERT_TRUE(standIn().control("EMIT 4"));
  ASSERT_TRUE(firstLog.await(kTag, 2));
  ASSERT_TRUE(secondLog.await(kTag, 4));
  uint32_t value = 0;
  EXPECT_EQ(first->getStreamValue(kModule, kSystem, 9, 0, 0, &value), aErrNotFound);
  EXPECT_EQ(second->getStreamValue(kModule, kSystem, 9, 0, 0, &value), aErrNone);

  ASSERT_EQ(first->disconnect(), aErrNone);
  EXPECT_TRUE(first->filterActiveStreamKeys(kAny, kAny, kAny, kAny, kAny, true).empty());
  EXPECT_FALSE(NoUserFilter(id)) << "the second Link still streams";
  ASSERT_TRUE(standIn().control("EMIT 2"));
  ASSERT_TRUE(secondLog.await(kTag, 6));
  EXPECT_EQ(firstLog.count(kTag), 2u);

  ASSERT_EQ(first->connectThroughLinkModule(*second), aErrNone);
  ASSERT_EQ(first->registerStreamCallback(kModule, kSystem, 8, 0, true,
                                          firstLog.callback(kOtherTag), nullptr),
            aErrNone)
      << "a Link that left may come back, with a new worker";
  ASSERT_TRUE(standIn().control("EMIT 2"));
  ASSERT_TRUE(firstLog.await(kOtherTag, 1));

  ASSERT_EQ(second->registerStreamCallback(kModule, kSystem, kAny, 0, false, nullptr, nullptr),
            aErrNone);
  EXPECT_FALSE(NoUserFilter(id));
  ASSERT_EQ(first->disconnect(), aErrNone);
  EXPECT_TRUE(NoUserFilter(id)) << "the last Link took the filter with it";
}

TEST_P(LinkStreamTest, LinkResetKeepsStreamDelivery) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}})));
  auto link = connected();
  CallbackLog log;
  ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, log.callback(kTag), nullptr),
            aErrNone);
  ASSERT_TRUE(standIn().control("EMIT 1"));
  ASSERT_TRUE(log.await(kTag, 1));
  ASSERT_EQ(link->reset(), aErrNone);
  ASSERT_TRUE(apitest::Eventually([&] { return link->isConnected(); }));
  EXPECT_FALSE(NoUserFilter(standIn().coreLinkId()));
  ASSERT_TRUE(standIn().control("EMIT 1"));
  EXPECT_TRUE(log.await(kTag, 2));
}

// EntityClass reads the stream cache before it asks the module: a streamed option answers
// without any packet, fresh once and stale until the next sample.
TEST_P(LinkStreamTest, EntityGetsAnswerFromTheStreamCacheWithoutAsking) {
  StandInSpec spec = Sources({{"--stream", "3:8:0:3"}, {"--stream", "3:10:0:5:4"}});
  spec.uei = true;
  ASSERT_NO_FATAL_FAILURE(start(spec));
  Module module(kModule, 0);
  ASSERT_EQ(module.setConfig(apitest::NoSharing()), aErrNone);
  ASSERT_EQ(module.connectFromSpec(standIn().linkSpecifier()), aErrNone);
  EntityClass entity;
  ASSERT_EQ(entity.init(&module, kSystem, 0), aErrNone);
  ASSERT_EQ(entity.setStreamEnabled(1), aErrNone);
  EXPECT_TRUE(Received(standIn(), SwitchRequest(true, kModule, kSystem, kAny, 0)));
  CallbackLog log;
  int reference = 0;
  ASSERT_EQ(entity.registerOptionCallback(8, true, log.callback(kTag), &reference), aErrNone);
  EXPECT_TRUE(Received(standIn(), SwitchRequest(true, kModule, kSystem, 8, 0)));
  ASSERT_TRUE(standIn().control("EMIT 2"));
  ASSERT_TRUE(log.await(kTag, 1));
  EXPECT_EQ(log.calls().front().reference, &reference);
  Link::StreamStatusEntry rows[4] = {};
  size_t count = 0;
  ASSERT_TRUE(apitest::Eventually(
      [&] { return entity.getStreamStatus(rows, 4, &count) == aErrNone && count == 2; }));
  EXPECT_EQ(rows[0].key, Key(kModule, kSystem, 8, 0, 0));
  EXPECT_EQ(rows[1].key, Key(kModule, kSystem, 10, 0, 4));

  const size_t gets = standIn().received(kModule, kSystem).size();
  uint32_t value = 0;
  EXPECT_EQ(entity.getUEI32(8, &value), aErrNone);
  EXPECT_EQ(value, 1u);
  value = 0;
  EXPECT_EQ(entity.getUEI32(8, &value), aErrStreamStale);
  EXPECT_EQ(value, 1u);
  uint8_t byte = 0;
  EXPECT_EQ(entity.getUEI8(10, 4, &byte), aErrNone);
  EXPECT_EQ(byte, 1);
  EXPECT_EQ(standIn().received(kModule, kSystem).size(), gets) << "no request went out";
  EXPECT_EQ(entity.getUEI32(7, &value), aErrNone) << "an option nobody streams is asked for";
  EXPECT_TRUE(Received(standIn(), {kSystem, 7 | kGetBit, 0x20}));

  ASSERT_EQ(entity.setStreamEnabled(0), aErrNone);
  EXPECT_TRUE(Received(standIn(), SwitchRequest(false, kModule, kSystem, kAny, 0)));
  EXPECT_EQ(entity.getStreamStatus(rows, 4, &count), aErrNone);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(entity.getUEI32(8, &value), aErrNone);
  EXPECT_TRUE(Received(standIn(), {kSystem, 8 | kGetBit, 0x20})) << "asked once the cache is gone";

  EntityClass unbound;
  EXPECT_EQ(unbound.setStreamEnabled(1), aErrResource);
  EXPECT_EQ(unbound.registerOptionCallback(8, true, log.callback(kTag), nullptr), aErrResource);
  EXPECT_EQ(unbound.getStreamStatus(rows, 4, &count), aErrResource);
}

// A router with two modules behind it: the router's Link and one Link per routed module share
// the router's core link and stream at once, each getting the samples of its own module.
TEST_P(LinkStreamTest, RoutedLinksOnOneCoreLinkStreamAtOnce) {
  constexpr uint8_t kRouter = 4, kFirst = 6, kSecond = 8;
  StandInSpec spec = Sources({{"--stream", "3:8:0:3"},
                              {"--behind-stream", "6:3:8:0:3"},
                              {"--behind-stream", "8:3:8:0:1"},
                              {"--stream-rate", "500"}});
  spec.address = kRouter;
  spec.serial = 0xD272031D;
  spec.behind = {"6:2181F0EE:20", "8:00C0FFEE:5"};
  ASSERT_NO_FATAL_FAILURE(start(spec));
  auto router = connected("Router");
  auto first = routedThrough(*router, "First");
  auto second = routedThrough(*router, "Second");
  const uint32_t id = standIn().coreLinkId();
  CallbackLog routerLog, firstLog, secondLog;
  ASSERT_EQ(router->registerStreamCallback(kRouter, kSystem, 8, 0, true, routerLog.callback(kTag),
                                           nullptr),
            aErrNone);
  ASSERT_EQ(
      first->registerStreamCallback(kFirst, kSystem, 8, 0, true, firstLog.callback(kTag), nullptr),
      aErrNone);
  ASSERT_EQ(second->registerStreamCallback(kSecond, kSystem, 8, 0, true, secondLog.callback(kTag),
                                           nullptr),
            aErrNone);
  constexpr size_t kEach = 30;
  ASSERT_TRUE(routerLog.await(kTag, kEach));
  ASSERT_TRUE(firstLog.await(kTag, kEach));
  ASSERT_TRUE(secondLog.await(kTag, kEach));
  for (auto* log : {&routerLog, &firstLog, &secondLog}) {
    const uint8_t expected = log == &routerLog ? kRouter : log == &firstLog ? kFirst : kSecond;
    for (const auto& call : log->calls()) EXPECT_EQ(call.address, expected);
  }
  uint32_t value = 0;
  EXPECT_EQ(second->getStreamValue(kSecond, kSystem, 8, 0, 0, &value), aErrNone);
  EXPECT_EQ(second->getStreamValue(kFirst, kSystem, 8, 0, 0, &value), aErrNotFound);

  ASSERT_EQ(first->disconnect(), aErrNone);
  const size_t secondSoFar = secondLog.count(kTag);
  ASSERT_TRUE(secondLog.await(kTag, secondSoFar + kEach)) << "the others stream on";
  EXPECT_FALSE(NoUserFilter(id));
  ASSERT_EQ(second->registerStreamCallback(kSecond, kSystem, kAny, 0, false, nullptr, nullptr),
            aErrNone);
  ASSERT_EQ(router->registerStreamCallback(kRouter, kSystem, kAny, 0, false, nullptr, nullptr),
            aErrNone);
  EXPECT_TRUE(NoUserFilter(id));
  EXPECT_FALSE(standIn().stat().enabled);
}

// A call that replaces, or takes away, the registration of a callback that is running, with
// jobs of that registration queued behind it.
struct ReplaceCase {
  const char* name;
  bool enable;        // false: the call unregisters
  bool withCallback;  // the replacing registration has a callback
  const char* arm;    // control command that keeps the module from acknowledging ("": none)
  const char* disarm;
  aErr result;
  int finalTag;        // the callback the row holds once the call returned (0: none)
  bool queuedRun;      // the queued jobs run (each the callback the row holds then)
  bool queuedCounted;  // the queued jobs are counted as dropped
};

constexpr int kFirst = 1;   // the running callback
constexpr int kSecond = 2;  // the replacing one

const ReplaceCase kReplaceCases[] = {
    {"replaced", true, true, "", "", aErrNone, kSecond, true, false},
    {"replaced_without_callback", true, false, "", "", aErrNone, 0, false, true},
    {"replacement_unacknowledged", true, true, "SILENT on", "SILENT off", aErrTimeout, kFirst, true,
     false},
    {"unregistered", false, false, "", "", aErrNone, 0, false, false},
};

size_t ReceivedCount(StreamStandIn& standIn, const Bytes& data) {
  size_t n = 0;
  for (const Bytes& got : standIn.received(kModule, data[0])) n += got == data ? 1 : 0;
  return n;
}

// Every queued job runs the callback that holds its row when it runs, and none is lost without
// being counted; once the call returns, only that callback runs (the call waited for the one
// running).
TEST_P(LinkStreamTest, QueuedJobsOfAReplacedRegistrationRunTheCallbackThatHoldsTheRow) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}})));
  constexpr size_t kQueued = 50;  // jobs queued behind the running callback
  constexpr size_t kAfter = 3;    // samples sent after the call returned
  for (const ReplaceCase& c : kReplaceCases) {
    SCOPED_TRACE(c.name);
    // What the callbacks use outlives the Link.
    CallbackLog sentinelLog;
    Gate gate;
    std::atomic<bool> returned{false};
    struct Count {
      std::atomic<size_t> calls{0};
      std::atomic<size_t> afterReturn{0};
      std::atomic<bool> gateLeft{false};
    } counts[3];  // by tag
    auto link = connected();
    Sentinel sentinel(*link, standIn(), sentinelLog);
    const auto counting = [&](int tag) -> Link::streamCallback {
      return [&, tag](const aPacket*, void*) -> uint8_t {
        Count& count = counts[tag];
        if (returned) ++count.afterReturn;
        if (count.calls++ == 0 && tag == kFirst) {
          gate.enter();
          count.gateLeft = true;
        }
        return 0;
      };
    };
    ASSERT_EQ(link->registerStreamCallback(kModule, kSystem, 8, 0, true, counting(kFirst), nullptr),
              aErrNone);
    ASSERT_TRUE(standIn().control("EMIT 1"));
    ASSERT_TRUE(gate.awaitEntered());
    ASSERT_TRUE(standIn().control("BURST " + std::to_string(kQueued)));
    standIn().inject(*link, {});
    if (c.arm[0] != '\0') {
      ASSERT_TRUE(standIn().control(c.arm));
    }
    const Bytes enable = SwitchRequest(true, kModule, kSystem, 8, 0);
    const size_t enables = ReceivedCount(standIn(), enable);

    aErr result = aErrUnknown;
    bool firstEndedFirst = false;
    std::thread call([&] {
      result = link->registerStreamCallback(
          kModule, kSystem, 8, 0, c.enable,
          c.withCallback ? counting(kSecond) : Link::streamCallback(), nullptr);
      firstEndedFirst = counts[kFirst].gateLeft;
      returned = true;
    });
    // The gate opens once the call has changed the row: its enable reached the module, or the
    // row is gone.
    EXPECT_TRUE(apitest::Eventually([&] {
      return c.enable ? ReceivedCount(standIn(), enable) > enables
                      : link->filterActiveStreamKeys(kModule, kSystem, 8, 0, kAny, true).empty();
    }));
    gate.open();
    call.join();
    if (c.disarm[0] != '\0') {
      EXPECT_TRUE(standIn().control(c.disarm));
    }
    EXPECT_EQ(result, c.result);
    EXPECT_TRUE(firstEndedFirst) << "the call waits for the running callback";
    ASSERT_TRUE(sentinel.flush());
    const size_t ran = counts[kFirst].calls - 1 + counts[kSecond].calls;
    EXPECT_EQ(ran, c.queuedRun ? kQueued : 0u);
    EXPECT_EQ(link->getDroppedStreamJobs(), c.queuedCounted ? kQueued : 0u);

    const size_t before[3] = {0, counts[kFirst].calls, counts[kSecond].calls};
    std::vector<Bytes> samples;
    for (uint32_t v = 0; v < kAfter; ++v)
      samples.push_back(Wire(kModule, SampleData(kSystem, 8, 0, 3, v)));
    standIn().inject(*link, samples);
    ASSERT_TRUE(sentinel.flush());
    for (int tag : {kFirst, kSecond}) {
      SCOPED_TRACE(tag);
      if (tag == c.finalTag) {
        EXPECT_EQ(counts[tag].calls - before[tag], kAfter);
      } else {
        EXPECT_EQ(counts[tag].afterReturn, 0u) << "a callback the row no longer holds ran";
      }
    }
  }
}

// What one Link's callback does to the other Link.
enum class CrossAction { Unregister, Replace, Disconnect };

struct CrossCase {
  const char* name;
  CrossAction first;   // the first Link's callback on the second Link
  CrossAction second;  // the second Link's callback on the first Link
};

const CrossCase kCrossCases[] = {
    {"unregister_unregister", CrossAction::Unregister, CrossAction::Unregister},
    {"register_unregister", CrossAction::Replace, CrossAction::Unregister},
    {"disconnect_disconnect", CrossAction::Disconnect, CrossAction::Disconnect},
};

// Lets two callbacks meet, so that each acts while the other runs; false when the other never
// came.
class Meeting {
 public:
  bool arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++arrived_;
    changed_.notify_all();
    return changed_.wait_for(lock, apitest::kHangGuard, [&] { return arrived_ >= 2; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int arrived_ = 0;
};

// Two Links' callbacks, running at once, each register, unregister or disconnect on the other
// Link: none of these waits for the other Link's callbacks, so neither stalls (a failure shows
// as callbacks that never finish, and the Links are then left alone), and a disconnect from a
// callback is refused and changes nothing.
TEST_P(LinkStreamTest, CallbacksOfTwoLinksActingOnEachOtherNeverStall) {
  ASSERT_NO_FATAL_FAILURE(start(Sources({{"--stream", "3:8:0:3"}, {"--stream", "3:9:0:1"}})));
  struct Side {
    uint8_t option = 0;
    CallbackLog log;
    std::atomic<size_t> calls{0};
    std::atomic<size_t> replacementCalls{0};
    std::atomic<bool> acted{false};
    aErr result = aErrUnknown;
    std::unique_ptr<Link> link;  // goes first, before what its callbacks use
  };
  for (const CrossCase& c : kCrossCases) {
    SCOPED_TRACE(c.name);
    Meeting meeting;
    Side sides[2];
    sides[0].link = connected("First");
    sides[1].link = routedThrough(*sides[0].link, "Second");
    sides[0].option = 8;
    sides[1].option = 9;
    const CrossAction actions[2] = {c.first, c.second};
    for (int i = 0; i < 2; ++i) {
      Side& self = sides[i];
      Side& other = sides[1 - i];
      const CrossAction action = actions[i];
      const auto callback = [&self, &other, &meeting, action](const aPacket*, void*) -> uint8_t {
        if (self.calls++ != 0) return 0;
        if (!meeting.arrive()) {
          self.acted = true;
          return 0;
        }
        switch (action) {
          case CrossAction::Unregister:
            self.result = other.link->registerStreamCallback(kModule, kSystem, other.option, 0,
                                                             false, nullptr, nullptr);
            break;
          case CrossAction::Replace:
            self.result = other.link->registerStreamCallback(
                kModule, kSystem, other.option, 0, true,
                [&other](const aPacket*, void*) -> uint8_t {
                  ++other.replacementCalls;
                  return 0;
                },
                nullptr);
            break;
          case CrossAction::Disconnect:
            self.result = other.link->disconnect();
            break;
        }
        self.acted = true;
        return 0;
      };
      ASSERT_EQ(self.link->registerStreamCallback(kModule, kSystem, self.option, 0, true, callback,
                                                  nullptr),
                aErrNone);
    }
    Sentinel firstSentinel(*sides[0].link, standIn(), sides[0].log);
    Sentinel secondSentinel(*sides[1].link, standIn(), sides[1].log);
    const std::vector<Bytes> samples = {Wire(kModule, SampleData(kSystem, 8, 0, 3, 1)),
                                        Wire(kModule, SampleData(kSystem, 9, 0, 1, 1))};
    standIn().inject(*sides[0].link, samples);
    if (!apitest::Eventually([&] { return sides[0].acted && sides[1].acted; })) {
      ADD_FAILURE() << "the callbacks stalled each other";
      // They hold their workers for good: the Links and the stand-in are left as they are.
      for (Side& side : sides) (void)side.link.release();
      (void)standIn_.release();
      return;
    }
    const aErr expected = c.first == CrossAction::Disconnect ? aErrMode : aErrNone;
    EXPECT_EQ(sides[0].result, expected);
    EXPECT_EQ(sides[1].result, expected);

    // Rows taken away stay away; a refused disconnect changed nothing.
    standIn().inject(*sides[0].link, samples);
    ASSERT_TRUE(firstSentinel.flush());
    ASSERT_TRUE(secondSentinel.flush());
    for (int i = 0; i < 2; ++i) {
      SCOPED_TRACE(i);
      const CrossAction done = actions[1 - i];  // what the other Link's callback did to this one
      EXPECT_EQ(sides[i].calls, done == CrossAction::Disconnect ? 2u : 1u);
      EXPECT_EQ(sides[i].replacementCalls, done == CrossAction::Replace ? 1u : 0u);
      EXPECT_TRUE(sides[i].link->isConnected());
    }
  }
}

// Callbacks of the exit test's child so far; null in any other process.
std::atomic<size_t>* gExitCalls = nullptr;
constexpr size_t kCallsAtExit = 20;  // samples the child's callback takes before and at exit

// Made before the library's static objects (this file is linked ahead of the library) and so
// destroyed after them: in the exit test's child it waits for more samples of the live Link,
// which its core link's reader hands on while the library's static objects are gone. Exit
// status 2 when they stop coming.
struct ExitWatch {
  ~ExitWatch() {
    if (gExitCalls == nullptr) return;
    const size_t seen = gExitCalls->load();
    if (!apitest::Eventually([seen] { return gExitCalls->load() >= seen + kCallsAtExit; })) {
      std::fputs("samples stopped at exit\n", stderr);
      std::_Exit(2);
    }
  }
} gExitWatch;

// Exit status 0 unless a step before the exit fails (1, with the step on standard error): a
// Link connected to the streaming stand-in, a stream registered and its samples reaching the
// callback while the process exits with the Link alive, its core link's reader still running.
int ExitWhileSamplesFlow(Transport transport) {
  // Reachable to the end, so that the leak checker of the sanitizer build passes them over.
  static StreamStandIn* standIn = nullptr;
  static Link* link = nullptr;
  static std::atomic<size_t> calls{0};
  standIn =
      new StreamStandIn(transport, Sources({{"--stream", "3:8:0:3"}, {"--stream-rate", "1000"}}));
  if (!standIn->error().empty()) {
    std::fprintf(stderr, "stand-in: %s\n", standIn->error().c_str());
    return 1;
  }
  link = new Link(standIn->linkSpecifier(), "Exit");
  if (link->setConfig(apitest::NoSharing()) != aErrNone || link->connect() != aErrNone) {
    std::fputs("connect failed\n", stderr);
    return 1;
  }
  const auto callback = [](const aPacket*, void*) -> uint8_t {
    ++calls;
    return 0;
  };
  if (link->registerStreamCallback(kModule, kSystem, 8, 0, true, callback, nullptr) != aErrNone) {
    std::fputs("register failed\n", stderr);
    return 1;
  }
  if (!apitest::Eventually([] { return calls >= kCallsAtExit; })) {
    std::fputs("no samples\n", stderr);
    return 1;
  }
  gExitCalls = &calls;
  return 0;
}

// The library's static objects go at exit while the readers of live core links still hand
// them stream packets, so the dispatchers must outlive them: a use after free shows as a
// crash, a sanitizer report or a reader stuck on a freed lock (samples stop).
// It relies on the static library being linked after this test's object, so that ExitWatch
// is destroyed after the library's statics; a plain build may miss a freed object that is
// still readable, and the case is strongest under AddressSanitizer.
TEST_P(LinkStreamTest, ProcessExitsCleanlyWhileALiveLinkStreams) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(ExitWhileSamplesFlow(GetParam())), testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkStreamTest, kTransports, TransportName);

}  // namespace
