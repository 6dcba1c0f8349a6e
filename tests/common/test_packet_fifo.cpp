// Packet queue: handles, first-in-first-out order and copies, the overflow rule, waits with
// and without filters, draining, destruction under waiters, and concurrent use.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aPacketFifo.h"

namespace {

using PacketPtr = SerialPacket::PacketPtr;

// Bounds on waits that should end at once; they only keep a broken build from hanging.
constexpr auto kHangGuard = std::chrono::seconds(30);
// A wait that outlasts any test ("forever" in practice), in ms.
constexpr uint64_t kLongWaitMs = 60000;
// Time given to a thread to settle into a blocking wait that cannot be observed, in ms.
constexpr auto kSettle = std::chrono::milliseconds(50);
// A wait that is meant to run out, in ms.
constexpr uint64_t kShortWaitMs = 20;
// Poll time-out of the stress consumers, in ms.
constexpr uint64_t kPollMs = 5;

// A packet whose first two data bytes are a tag and a sequence number.
PacketPtr MakePacket(uint8_t tag, uint8_t sequence = 0) {
  const uint8_t data[] = {tag, sequence, 0x55};
  return PacketPtr(aPacket_CreateWithData(0x04, sizeof(data), data));
}

uint8_t Tag(const aPacket* packet) { return packet->data[0]; }
uint8_t Sequence(const aPacket* packet) { return packet->data[1]; }

aErr PutTagged(uint64_t handle, uint8_t tag, uint8_t sequence = 0) {
  PacketPtr packet = MakePacket(tag, sequence);
  return aPacketFifo_Put(handle, packet.get());
}

// A queue for the length of a test.
struct Fifo {
  uint64_t handle;
  Fifo() : handle(aPacketFifo_Create()) {}
  ~Fifo() {
    if (handle != 0) aPacketFifo_Destroy(&handle);
  }
  Fifo(const Fifo&) = delete;
  Fifo& operator=(const Fifo&) = delete;
};

// Selects packets whose tag equals the byte the reference points at.
uint8_t TagIs(const aPacket* packet, const void* reference) {
  return Tag(packet) == *static_cast<const uint8_t*>(reference) ? 1 : 0;
}

uint8_t SelectAll(const aPacket*, const void*) { return 1; }

// The tags left in the queue, taking them out in order.
std::vector<uint8_t> TakeAllTags(uint64_t handle) {
  std::vector<uint8_t> tags;
  while (PacketPtr packet{aPacketFifo_Get(handle)}) tags.push_back(Tag(packet.get()));
  return tags;
}

// A filter's reference: selects one tag and records how often each tag was offered, so that a
// test can wait until a waiter has looked at a packet.
struct OfferLog {
  uint8_t wanted = 0;
  std::mutex mutex;
  std::condition_variable offered;
  std::map<uint8_t, int> offers;

  static uint8_t Filter(const aPacket* packet, const void* reference) {
    auto* log = static_cast<OfferLog*>(const_cast<void*>(reference));
    std::lock_guard<std::mutex> lock(log->mutex);
    ++log->offers[Tag(packet)];
    log->offered.notify_all();
    return Tag(packet) == log->wanted ? 1 : 0;
  }

  // Waits until the tag has been offered at least once; false after kHangGuard.
  bool waitForOffer(uint8_t tag) {
    std::unique_lock<std::mutex> lock(mutex);
    return offered.wait_for(lock, kHangGuard, [&] { return offers[tag] > 0; });
  }

  int count(uint8_t tag) {
    std::lock_guard<std::mutex> lock(mutex);
    return offers[tag];
  }
};

// A packet from another thread, or nothing when it did not come within kHangGuard.
struct Received {
  bool arrived;
  PacketPtr packet;
};

Received Collect(std::future<aPacket*>& pending) {
  if (pending.wait_for(kHangGuard) != std::future_status::ready) return {false, nullptr};
  return {true, PacketPtr(pending.get())};
}

// Starts AwaitFirst on another thread and returns once it has looked at a probe packet (tag
// kProbe), so the caller knows the waiter is inside its wait.
constexpr uint8_t kProbe = 0xEE;

std::future<aPacket*> StartAwaitFirst(uint64_t handle, OfferLog& log, uint64_t timeoutMs) {
  auto pending = std::async(std::launch::async, [handle, &log, timeoutMs] {
    return aPacketFifo_AwaitFirst(handle, OfferLog::Filter, &log, timeoutMs);
  });
  EXPECT_EQ(PutTagged(handle, kProbe), aErrNone);
  EXPECT_TRUE(log.waitForOffer(kProbe));
  return pending;
}

// --- handles ---------------------------------------------------------------------------------

// Exit status 0 when the first handle of a fresh process is 1 and later handles keep
// increasing after a destroy.
int CheckFirstHandles() {
  std::string problems;
  uint64_t first = aPacketFifo_Create();
  if (first != 1) problems += "first handle " + std::to_string(first) + "\n";
  uint64_t destroyed = first;
  aPacketFifo_Destroy(&destroyed);
  uint64_t previous = first;
  for (int i = 0; i < 5; ++i) {
    uint64_t next = aPacketFifo_Create();
    if (next <= previous) problems += "handle " + std::to_string(next) + " not increasing\n";
    previous = next;
  }
  std::fputs(problems.c_str(), stderr);
  return problems.empty() ? 0 : 1;
}

TEST(PacketFifoHandles, FirstHandleIsOneAndHandlesAreNeverReused) {
  // A fresh process, so that no earlier test has taken handles yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(CheckFirstHandles()), testing::ExitedWithCode(0), "");
}

TEST(PacketFifoHandles, CounterPassesOverZeroWhenItWraps) {
  struct Row {
    uint64_t start;
    uint64_t first;
    uint64_t second;
  };
  const Row rows[] = {
      {1, 1, 2},
      {0, 1, 2},  // wrapped: 0 means none and is never handed out
      {UINT64_MAX, UINT64_MAX, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "start " << row.start);
    std::atomic<uint64_t> counter{row.start};
    EXPECT_EQ(sNextFifoHandle(counter), row.first);
    EXPECT_EQ(sNextFifoHandle(counter), row.second);
  }
}

TEST(PacketFifoHandles, UnknownHandlesAreRefusedByEveryOperation) {
  uint64_t destroyed = aPacketFifo_Create();
  ASSERT_NE(destroyed, 0u);
  const uint64_t stale = destroyed;
  ASSERT_EQ(aPacketFifo_Destroy(&destroyed), aErrNone);

  const uint8_t any = 1;
  PacketPtr packet = MakePacket(1);
  for (uint64_t handle : {uint64_t{0}, stale, stale + 1000000}) {
    SCOPED_TRACE(testing::Message() << "handle " << handle);
    EXPECT_EQ(aPacketFifo_Put(handle, packet.get()), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(handle), nullptr);
    EXPECT_EQ(aPacketFifo_Await(handle, 0), nullptr);
    EXPECT_EQ(aPacketFifo_Await(handle, kLongWaitMs), nullptr);  // answers at once
    EXPECT_EQ(aPacketFifo_GetFirst(handle, TagIs, &any), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(handle, TagIs, &any, kLongWaitMs), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(handle, SelectAll, nullptr), 0u);
    EXPECT_EQ(aPacketFifo_GetLength(handle), 0u);
    uint64_t copy = handle;
    EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
    EXPECT_EQ(copy, handle);  // left as it was
  }
}

TEST(PacketFifoDestroy, ResultCodes) {
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);

  uint64_t handle = aPacketFifo_Create();
  ASSERT_NE(handle, 0u);
  ASSERT_EQ(PutTagged(handle, 1), aErrNone);  // freed with the queue
  ASSERT_EQ(PutTagged(handle, 2), aErrNone);
  EXPECT_EQ(aPacketFifo_Destroy(&handle), aErrNone);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(aPacketFifo_Destroy(&handle), aErrNotFound);
  EXPECT_EQ(handle, 0u);
}

// --- put and get -----------------------------------------------------------------------------

TEST(PacketFifoPut, PacketsComeOutOldestFirstAsCopies) {
  Fifo fifo;
  PacketPtr original = MakePacket(7, 1);
  ASSERT_EQ(aPacketFifo_Put(fifo.handle, original.get()), aErrNone);
  original->data[0] = 99;  // the queue holds its own copy
  ASSERT_EQ(PutTagged(fifo.handle, 8), aErrNone);
  ASSERT_EQ(PutTagged(fifo.handle, 9), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 3u);

  PacketPtr first{aPacketFifo_Get(fifo.handle)};
  ASSERT_NE(first, nullptr);
  EXPECT_NE(first.get(), original.get());
  EXPECT_TRUE(aPacket_IsComplete(first.get()));
  EXPECT_EQ(first->address, 0x04);
  EXPECT_EQ(first->dataSize, 3);
  EXPECT_EQ(Tag(first.get()), 7);
  EXPECT_EQ(Sequence(first.get()), 1);
  EXPECT_EQ(TakeAllTags(fifo.handle), (std::vector<uint8_t>{8, 9}));
  EXPECT_EQ(aPacketFifo_Get(fifo.handle), nullptr);
}

TEST(PacketFifoPut, InvalidPacketsAreRefusedAndNothingIsQueued) {
  Fifo fifo;
  aPacket badCheck = *MakePacket(1);
  badCheck.check = 0xDEAD;
  aPacket oversize = *MakePacket(1);  // cannot be copied
  oversize.dataSize = aPACKETMAXDATA + 1;
  const aPacket* rows[] = {nullptr, &badCheck, &oversize};
  for (const aPacket* packet : rows) {
    EXPECT_EQ(aPacketFifo_Put(fifo.handle, packet), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 0u);
  }
  // The queue still works normally afterwards.
  ASSERT_EQ(PutTagged(fifo.handle, 3), aErrNone);
  EXPECT_EQ(TakeAllTags(fifo.handle), (std::vector<uint8_t>{3}));
}

TEST(PacketFifoPut, PutPastTheLimitEmptiesTheQueue) {
  Fifo fifo;
  for (int i = 0; i < aPACKETFIFO_MAXPACKETS; ++i) {
    ASSERT_EQ(PutTagged(fifo.handle, 1, static_cast<uint8_t>(i)), aErrNone);
  }
  EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), static_cast<size_t>(aPACKETFIFO_MAXPACKETS));

  EXPECT_EQ(PutTagged(fifo.handle, 2), aErrNone);  // reported as success
  EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 0u);
  EXPECT_EQ(aPacketFifo_Get(fifo.handle), nullptr);

  // The queue starts again from empty.
  ASSERT_EQ(PutTagged(fifo.handle, 3), aErrNone);
  EXPECT_EQ(TakeAllTags(fifo.handle), (std::vector<uint8_t>{3}));
}

TEST(PacketFifoPut, OverflowingPutWakesNoWaiter) {
  Fifo fifo;
  constexpr uint8_t kDropped = 0x77;
  constexpr uint8_t kLater = 0x78;
  OfferLog log;
  log.wanted = kDropped;
  auto pending = StartAwaitFirst(fifo.handle, log, kLongWaitMs);  // queue now holds the probe

  for (int i = 1; i < aPACKETFIFO_MAXPACKETS; ++i) ASSERT_EQ(PutTagged(fifo.handle, 1), aErrNone);
  ASSERT_EQ(PutTagged(fifo.handle, kDropped), aErrNone);  // the 1001st: empties the queue
  EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 0u);

  // The waiter never saw the dropped packet and is still waiting; the next selected packet
  // ends its wait.
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    log.wanted = kLater;
  }
  ASSERT_EQ(PutTagged(fifo.handle, kLater), aErrNone);
  Received received = Collect(pending);
  ASSERT_TRUE(received.arrived);
  ASSERT_NE(received.packet, nullptr);
  EXPECT_EQ(Tag(received.packet.get()), kLater);
  EXPECT_EQ(log.count(kDropped), 0);
}

// --- waits -----------------------------------------------------------------------------------

TEST(PacketFifoAwait, ZeroTimeoutAnswersAtOnce) {
  Fifo fifo;
  const uint8_t wanted = 5;
  EXPECT_EQ(aPacketFifo_Await(fifo.handle, 0), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.handle, TagIs, &wanted, 0), nullptr);

  ASSERT_EQ(PutTagged(fifo.handle, 4), aErrNone);
  ASSERT_EQ(PutTagged(fifo.handle, 5), aErrNone);
  ASSERT_EQ(PutTagged(fifo.handle, 6), aErrNone);
  PacketPtr selected{aPacketFifo_AwaitFirst(fifo.handle, TagIs, &wanted, 0)};
  ASSERT_NE(selected, nullptr);
  EXPECT_EQ(Tag(selected.get()), 5);
  PacketPtr oldest{aPacketFifo_Await(fifo.handle, 0)};
  ASSERT_NE(oldest, nullptr);
  EXPECT_EQ(Tag(oldest.get()), 4);
  EXPECT_EQ(TakeAllTags(fifo.handle), (std::vector<uint8_t>{6}));
}

// Time-outs near the top of the range must mean a long wait, not a deadline that has wrapped
// into the past.
const uint64_t kHugeTimeouts[] = {UINT64_MAX, UINT64_MAX - 1, uint64_t{INT64_MAX},
                                  uint64_t{INT64_MAX} / 1000000, uint64_t{1} << 40};

TEST(PacketFifoAwait, HugeTimeoutsWaitForAPacket) {
  for (uint64_t timeout : kHugeTimeouts) {
    SCOPED_TRACE(testing::Message() << "timeout " << timeout);
    Fifo fifo;
    auto pending = std::async(std::launch::async,
                              [&fifo, timeout] { return aPacketFifo_Await(fifo.handle, timeout); });
    std::this_thread::sleep_for(kSettle);
    ASSERT_EQ(PutTagged(fifo.handle, 3), aErrNone);
    Received received = Collect(pending);
    ASSERT_TRUE(received.arrived);
    ASSERT_NE(received.packet, nullptr);
    EXPECT_EQ(Tag(received.packet.get()), 3);
  }
}

TEST(PacketFifoAwaitFirst, HugeTimeoutsWaitForASelectedPacket) {
  for (uint64_t timeout : kHugeTimeouts) {
    SCOPED_TRACE(testing::Message() << "timeout " << timeout);
    Fifo fifo;
    OfferLog log;
    log.wanted = 3;
    auto pending = StartAwaitFirst(fifo.handle, log, timeout);
    ASSERT_EQ(PutTagged(fifo.handle, 3), aErrNone);
    Received received = Collect(pending);
    ASSERT_TRUE(received.arrived);
    ASSERT_NE(received.packet, nullptr);
    EXPECT_EQ(Tag(received.packet.get()), 3);
  }
}

TEST(PacketFifoAwait, WaiterGetsAPacketPutLater) {
  Fifo fifo;
  auto pending = std::async(std::launch::async,
                            [&fifo] { return aPacketFifo_Await(fifo.handle, kLongWaitMs); });
  std::this_thread::sleep_for(kSettle);
  ASSERT_EQ(PutTagged(fifo.handle, 9), aErrNone);
  Received received = Collect(pending);
  ASSERT_TRUE(received.arrived);
  ASSERT_NE(received.packet, nullptr);
  EXPECT_EQ(Tag(received.packet.get()), 9);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 0u);
}

TEST(PacketFifoAwait, TimeoutWithoutAPacketGivesNull) {
  Fifo fifo;
  const uint8_t wanted = 1;
  ASSERT_EQ(PutTagged(fifo.handle, 2), aErrNone);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.handle, TagIs, &wanted, kShortWaitMs), nullptr);
  EXPECT_EQ(TakeAllTags(fifo.handle), (std::vector<uint8_t>{2}));  // the rejected one stayed
  EXPECT_EQ(aPacketFifo_Await(fifo.handle, kShortWaitMs), nullptr);
}

// Destroying a queue wakes its waiters, which return null; ASan checks that the queue's memory
// outlives them.
TEST(PacketFifoDestroy, WaiterInAwaitReturnsNull) {
  for (uint64_t timeout : {kLongWaitMs, UINT64_MAX}) {
    uint64_t handle = aPacketFifo_Create();
    ASSERT_NE(handle, 0u);
    auto pending = std::async(std::launch::async,
                              [handle, timeout] { return aPacketFifo_Await(handle, timeout); });
    std::this_thread::sleep_for(kSettle);
    ASSERT_EQ(aPacketFifo_Destroy(&handle), aErrNone);
    Received received = Collect(pending);
    EXPECT_TRUE(received.arrived);
    EXPECT_EQ(received.packet, nullptr);
  }
}

TEST(PacketFifoDestroy, WaiterInAwaitFirstReturnsNull) {
  for (uint64_t timeout : {kLongWaitMs, UINT64_MAX}) {
    uint64_t handle = aPacketFifo_Create();
    ASSERT_NE(handle, 0u);
    OfferLog log;
    log.wanted = 1;
    auto pending = StartAwaitFirst(handle, log, timeout);  // surely waiting now
    ASSERT_EQ(aPacketFifo_Destroy(&handle), aErrNone);
    Received received = Collect(pending);
    EXPECT_TRUE(received.arrived);
    EXPECT_EQ(received.packet, nullptr);
  }
}

TEST(PacketFifoDestroy, SeveralWaitersAllReturnNull) {
  uint64_t handle = aPacketFifo_Create();
  ASSERT_NE(handle, 0u);
  std::vector<OfferLog> logs(3);
  std::vector<std::future<aPacket*>> pending;
  for (OfferLog& log : logs) {
    log.wanted = 1;
    pending.push_back(StartAwaitFirst(handle, log, kLongWaitMs));
  }
  ASSERT_EQ(aPacketFifo_Destroy(&handle), aErrNone);
  for (auto& waiter : pending) {
    Received received = Collect(waiter);
    EXPECT_TRUE(received.arrived);
    EXPECT_EQ(received.packet, nullptr);
  }
}

// --- filters ---------------------------------------------------------------------------------

TEST(PacketFifoAwaitFirst, EachPacketIsOfferedOncePerCall) {
  Fifo fifo;
  OfferLog log;
  log.wanted = 0x50;
  auto pending = StartAwaitFirst(fifo.handle, log, kLongWaitMs);
  // Each put wakes the waiter; it looks only at the new packet.
  for (uint8_t tag : {0x10, 0x11, 0x12}) {
    ASSERT_EQ(PutTagged(fifo.handle, tag), aErrNone);
    ASSERT_TRUE(log.waitForOffer(tag));
  }
  ASSERT_EQ(PutTagged(fifo.handle, 0x50), aErrNone);
  Received received = Collect(pending);
  ASSERT_TRUE(received.arrived);
  ASSERT_NE(received.packet, nullptr);
  EXPECT_EQ(Tag(received.packet.get()), 0x50);
  for (uint8_t tag : {kProbe, uint8_t{0x10}, uint8_t{0x11}, uint8_t{0x12}, uint8_t{0x50}}) {
    EXPECT_EQ(log.count(tag), 1) << "tag " << int(tag);
  }

  // A new call starts again from the oldest queued packet.
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.handle, OfferLog::Filter, &log, 0), nullptr);
  for (uint8_t tag : {kProbe, uint8_t{0x10}, uint8_t{0x11}, uint8_t{0x12}}) {
    EXPECT_EQ(log.count(tag), 2) << "tag " << int(tag);
  }
  EXPECT_EQ(TakeAllTags(fifo.handle), (std::vector<uint8_t>{kProbe, 0x10, 0x11, 0x12}));
}

TEST(PacketFifoAwaitFirst, PacketsTakenByOthersDuringTheWaitAreNotMissed) {
  Fifo fifo;
  OfferLog log;
  log.wanted = 0x50;
  auto pending = StartAwaitFirst(fifo.handle, log, kLongWaitMs);
  // Another consumer removes the probe: the window moves, the waiter keeps its place.
  PacketPtr probe{aPacketFifo_Get(fifo.handle)};
  ASSERT_NE(probe, nullptr);
  ASSERT_EQ(PutTagged(fifo.handle, 0x20), aErrNone);
  ASSERT_TRUE(log.waitForOffer(0x20));
  ASSERT_EQ(PutTagged(fifo.handle, 0x50), aErrNone);
  Received received = Collect(pending);
  ASSERT_TRUE(received.arrived);
  ASSERT_NE(received.packet, nullptr);
  EXPECT_EQ(Tag(received.packet.get()), 0x50);
  EXPECT_EQ(log.count(0x20), 1);
}

// Tags with sequence numbers: 5/1, 6/1, 5/2, 7/1, 5/3.
void FillMixed(uint64_t handle) {
  const uint8_t rows[][2] = {{5, 1}, {6, 1}, {5, 2}, {7, 1}, {5, 3}};
  for (const auto& row : rows) ASSERT_EQ(PutTagged(handle, row[0], row[1]), aErrNone);
}

TEST(PacketFifoGetFirst, OldestSelectedPacketIsTaken) {
  using Take = aPacket* (*)(uint64_t, const uint8_t*);
  struct Row {
    const char* name;
    Take take;
  };
  const Row rows[] = {
      {"GetFirst", [](uint64_t h, const uint8_t* t) { return aPacketFifo_GetFirst(h, TagIs, t); }},
      {"AwaitFirst",
       [](uint64_t h, const uint8_t* t) { return aPacketFifo_AwaitFirst(h, TagIs, t, 0); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Fifo fifo;
    FillMixed(fifo.handle);
    const uint8_t five = 5;
    const uint8_t seven = 7;
    const uint8_t none = 9;
    PacketPtr first{row.take(fifo.handle, &five)};
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Sequence(first.get()), 1);
    PacketPtr second{row.take(fifo.handle, &five)};
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Sequence(second.get()), 2);
    PacketPtr middle{row.take(fifo.handle, &seven)};
    ASSERT_NE(middle, nullptr);
    EXPECT_EQ(Tag(middle.get()), 7);
    EXPECT_EQ(row.take(fifo.handle, &none), nullptr);
    EXPECT_EQ(TakeAllTags(fifo.handle), (std::vector<uint8_t>{6, 5}));
  }
}

TEST(PacketFifoDrain, RemovesSelectedPacketsAndKeepsTheOrderOfTheRest) {
  struct Row {
    std::vector<uint8_t> queued;
    uint8_t drained;
    size_t count;
    std::vector<uint8_t> left;
  };
  const Row rows[] = {
      {{}, 1, 0, {}},
      {{1, 2, 1, 3, 1}, 1, 3, {2, 3}},
      {{2, 1, 3}, 1, 1, {2, 3}},
      {{2, 3, 4}, 1, 0, {2, 3, 4}},
      {{1, 1, 1}, 1, 3, {}},
      {{1, 2, 2, 2, 1}, 2, 3, {1, 1}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "drain " << int(row.drained) << " of " << row.queued.size());
    Fifo fifo;
    for (uint8_t tag : row.queued) ASSERT_EQ(PutTagged(fifo.handle, tag), aErrNone);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo.handle, TagIs, &row.drained), row.count);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), row.left.size());
    // A wait after the drain still sees everything that is left and what comes next.
    ASSERT_EQ(PutTagged(fifo.handle, 0x60), aErrNone);
    const uint8_t wanted = 0x60;
    PacketPtr next{aPacketFifo_AwaitFirst(fifo.handle, TagIs, &wanted, 0)};
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(TakeAllTags(fifo.handle), row.left);
  }
}

TEST(PacketFifoFilters, NullFilterSelectsNothingAndLeavesTheQueueAlone) {
  Fifo fifo;
  ASSERT_EQ(PutTagged(fifo.handle, 1), aErrNone);
  EXPECT_EQ(aPacketFifo_GetFirst(fifo.handle, nullptr, nullptr), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.handle, nullptr, nullptr, kLongWaitMs), nullptr);
  EXPECT_EQ(aPacketFifo_DrainPackets(fifo.handle, nullptr, nullptr), 0u);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 1u);
}

// --- concurrency (run under ThreadSanitizer too) ---------------------------------------------

TEST(PacketFifoStress, ProducersAndConsumersLoseAndDuplicateNothing) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 200;  // all in flight stays under the overflow limit
  constexpr int kConsumers = 4;
  constexpr int kTotal = kProducers * kPerProducer;
  static_assert(kTotal < aPACKETFIFO_MAXPACKETS, "the queue must never overflow here");

  Fifo fifo;
  std::atomic<int> taken{0};
  std::vector<std::vector<std::pair<uint8_t, uint8_t>>> seen(kConsumers);
  const auto guard = std::chrono::steady_clock::now() + kHangGuard;

  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&fifo, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        PutTagged(fifo.handle, static_cast<uint8_t>(p), static_cast<uint8_t>(i));
      }
    });
  }
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&, c] {
      const uint8_t mine = static_cast<uint8_t>(c % kProducers);
      while (taken < kTotal && std::chrono::steady_clock::now() < guard) {
        aPacket* raw = nullptr;
        switch (c % 4) {
          case 0:
            raw = aPacketFifo_Await(fifo.handle, kPollMs);
            break;
          case 1:
            raw = aPacketFifo_Get(fifo.handle);
            break;
          case 2:
            raw = aPacketFifo_AwaitFirst(fifo.handle, TagIs, &mine, kPollMs);
            break;
          default:
            raw = aPacketFifo_AwaitFirst(fifo.handle, SelectAll, nullptr, kPollMs);
            break;
        }
        PacketPtr packet(raw);
        if (!packet) continue;
        seen[c].emplace_back(Tag(packet.get()), Sequence(packet.get()));
        ++taken;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::map<std::pair<uint8_t, uint8_t>, int> counts;
  for (const auto& consumer : seen) {
    std::map<uint8_t, int> last;  // each consumer sees a producer's packets in order
    for (const auto& [tag, sequence] : consumer) {
      ++counts[{tag, sequence}];
      auto previous = last.find(tag);
      if (previous != last.end()) {
        EXPECT_LT(previous->second, sequence);
      }
      last[tag] = sequence;
    }
  }
  EXPECT_EQ(static_cast<int>(counts.size()), kTotal);
  for (const auto& [packet, count] : counts) EXPECT_EQ(count, 1);
  EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 0u);
}

TEST(PacketFifoStress, DrainRacingPutsAndTakes) {
  constexpr int kRounds = 300;
  constexpr uint8_t kNoise = 0xAA;
  Fifo fifo;
  std::atomic<bool> done{false};
  std::atomic<size_t> drained{0};
  std::atomic<int> kept{0};

  std::thread drainer([&] {
    while (!done) drained += aPacketFifo_DrainPackets(fifo.handle, TagIs, &kNoise);
  });
  std::thread taker([&] {
    const uint8_t wanted = 1;
    while (!done) {
      PacketPtr packet{aPacketFifo_AwaitFirst(fifo.handle, TagIs, &wanted, kPollMs)};
      if (packet) ++kept;
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    ASSERT_EQ(PutTagged(fifo.handle, kNoise), aErrNone);
    ASSERT_EQ(PutTagged(fifo.handle, 1), aErrNone);
  }
  const auto guard = std::chrono::steady_clock::now() + kHangGuard;
  while ((kept < kRounds || aPacketFifo_GetLength(fifo.handle) != 0) &&
         std::chrono::steady_clock::now() < guard) {
    std::this_thread::yield();
  }
  done = true;
  drainer.join();
  taker.join();
  EXPECT_EQ(kept, kRounds);
  EXPECT_EQ(drained, static_cast<size_t>(kRounds));
}

TEST(PacketFifoStress, PutsAndWaitsRacingDestroy) {
  constexpr int kRounds = 200;
  constexpr int kPutters = 3;
  for (int round = 0; round < kRounds; ++round) {
    uint64_t handle = aPacketFifo_Create();
    ASSERT_NE(handle, 0u);
    std::atomic<bool> destroyed{false};
    std::atomic<int> unexpected{0};

    std::vector<std::thread> threads;
    for (int p = 0; p < kPutters; ++p) {
      threads.emplace_back([&, handle] {
        // Stop at the first refusal: from then on the queue is gone for good. A put that starts
        // after the destroy has returned must be refused.
        for (int i = 0; i < aPACKETFIFO_MAXPACKETS / (2 * kPutters); ++i) {
          const bool wasDestroyed = destroyed;
          const aErr result = PutTagged(handle, 1);
          if (result == aErrParam) break;
          if (result != aErrNone || wasDestroyed) ++unexpected;
        }
      });
    }
    threads.emplace_back([&, handle] {
      for (;;) {
        PacketPtr packet{aPacketFifo_Await(handle, kPollMs)};
        if (!packet && destroyed) break;
      }
    });
    threads.emplace_back([&, handle] {
      const uint8_t none = 0;
      if (aPacketFifo_AwaitFirst(handle, TagIs, &none, kLongWaitMs) != nullptr) ++unexpected;
    });
    if (round % 2 == 0) std::this_thread::yield();
    ASSERT_EQ(aPacketFifo_Destroy(&handle), aErrNone);
    destroyed = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(unexpected, 0) << "round " << round;
  }
}

TEST(PacketFifoStress, CreateAndDestroyFromManyThreads) {
  constexpr int kThreads = 6;
  constexpr int kPerThread = 200;
  std::vector<std::vector<uint64_t>> handles(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&handles, t] {
      for (int i = 0; i < kPerThread; ++i) {
        uint64_t handle = aPacketFifo_Create();
        handles[t].push_back(handle);
        PutTagged(handle, 1);
        if (i % 2 == 0) aPacketFifo_Destroy(&handle);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::map<uint64_t, int> counts;
  for (const auto& list : handles) {
    for (uint64_t handle : list) ++counts[handle];
  }
  EXPECT_EQ(counts.size(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_EQ(counts.count(0), 0u);
  for (auto& [handle, count] : counts) {
    EXPECT_EQ(count, 1);
    uint64_t copy = handle;
    aPacketFifo_Destroy(&copy);
  }
}

// Destroys the queue in the window between a put's lookup and its lock, once.
void DestroyDuringThePut(uint64_t handle) {
  aPacketFifo_PutTestHook.store(nullptr);
  uint64_t copy = handle;
  EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNone);
}

TEST(PacketFifoDestroy, APutThatFoundTheQueueBeforeADestroyIsRefused) {
  uint64_t handle = aPacketFifo_Create();
  ASSERT_NE(handle, 0u);
  aPacketFifo_PutTestHook.store(DestroyDuringThePut);
  EXPECT_EQ(PutTagged(handle, 1), aErrParam);
  aPacketFifo_PutTestHook.store(nullptr);
  EXPECT_EQ(aPacketFifo_Destroy(&handle), aErrNotFound);
}

}  // namespace
