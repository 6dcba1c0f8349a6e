// Link engine over a scripted transport: heartbeat answers, the user filter, the sync
// handshake and its probe rate, a new connection of the transport, waits on a link that is not
// running, pooled writes, stop and its final flush, failed-queue recovery, idle cost and the
// answers for unknown link IDs.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkTable.h"
#include "aPacketFifo.h"
#include "aPacketLog.h"
#include "aTime.h"
#include "link_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

using coretest::Eventually;
using coretest::kHangGuard;
using coretest::ReadLog;
using LoggedRecord = coretest::LogRecord;

// The engine's probe interval, as the link promises it, in ms.
constexpr uint64_t kProbeIntervalMs = 100;

const Bytes kProbe = {0xAD, 0x00};
const Bytes kForceRouteOn = {0xAF, 0x01, 0x01};
const Bytes kForceRouteOff = {0xAF, 0x01, 0x00};
// The packet FakeLink::holdWriter holds the writer in.
const Bytes kBlocker = {0x02, 0x01, 0xEE};

// The transport's state, shared by the stream (which owns a handle to it) and the test.
struct Script {
  struct Get {
    aErr result;
    uint8_t byte;
    bool newConnection;  // this read is the first on a new connection of the transport
  };

  std::mutex lock;
  std::condition_variable changed;
  std::deque<Get> gets;           // answers of the next reads; NotReady once empty
  std::vector<Bytes> writes;      // every write (and put) that reached the transport
  std::vector<uint64_t> writeMs;  // monotonic time of each
  std::deque<aErr> writeResults;  // results of the next writes; aErrNone once empty
  int writesEntered = 0;          // writes begun, the blocked one included
  bool gateClosed = false;        // writes wait while it is closed
  uint64_t reads = 0;             // reads of any kind
  uint64_t emptyReadsSincePush = 0;
  uint64_t waits = 0;
  std::vector<uint32_t> waitTimeouts;  // the time-out of every wait, in order
  uint64_t wakes = 0;
  bool woken = false;             // a wake not yet taken by a wait
  bool connectionUntold = false;  // a read met a new connection the reader was not told of
  bool deleted = false;

  void push(const Bytes& bytes) {
    std::lock_guard<std::mutex> hold(lock);
    for (uint8_t byte : bytes) gets.push_back({aErrNone, byte, false});
    emptyReadsSincePush = 0;
    changed.notify_all();
  }
  // A new connection, then its first bytes; without bytes an empty read meets it.
  void pushNewConnection(const Bytes& bytes) {
    std::lock_guard<std::mutex> hold(lock);
    if (bytes.empty()) gets.push_back({aErrNotReady, 0, true});
    for (size_t i = 0; i < bytes.size(); ++i) gets.push_back({aErrNone, bytes[i], i == 0});
    emptyReadsSincePush = 0;
    changed.notify_all();
  }
  // A read answering result, then the bytes, all read without an empty read between.
  void pushResult(aErr result, const Bytes& then = {}) {
    std::lock_guard<std::mutex> hold(lock);
    gets.push_back({result, 0, false});
    for (uint8_t byte : then) gets.push_back({aErrNone, byte, false});
    emptyReadsSincePush = 0;
    changed.notify_all();
  }
  // True once everything pushed was read and the reader came back for more, so every byte
  // has been handled.
  bool awaitIdle() {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, kHangGuard,
                            [this] { return gets.empty() && emptyReadsSincePush > 0; });
  }
  bool awaitWrites(size_t count) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, kHangGuard, [&] { return writes.size() >= count; });
  }
  bool awaitWrite(const Bytes& bytes) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, kHangGuard, [&] {
      return std::find(writes.begin(), writes.end(), bytes) != writes.end();
    });
  }
  bool awaitEnteredWrites(int count) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, kHangGuard, [&] { return writesEntered >= count; });
  }
  bool awaitEmptyReads(uint64_t count) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, kHangGuard, [&] { return emptyReadsSincePush >= count; });
  }
  void setGate(bool closed) {
    std::lock_guard<std::mutex> hold(lock);
    gateClosed = closed;
    changed.notify_all();
  }
  std::vector<Bytes> writtenCopy() {
    std::lock_guard<std::mutex> hold(lock);
    return writes;
  }
  size_t count(const Bytes& bytes) {
    std::lock_guard<std::mutex> hold(lock);
    return static_cast<size_t>(std::count(writes.begin(), writes.end(), bytes));
  }
};

struct Handle {
  std::shared_ptr<Script> script;
};

Script& ScriptOf(void* reference) { return *static_cast<Handle*>(reference)->script; }

aErr FakeGet(uint8_t* byte, void* reference) {
  Script& s = ScriptOf(reference);
  std::lock_guard<std::mutex> hold(s.lock);
  ++s.reads;
  if (s.gets.empty()) {
    ++s.emptyReadsSincePush;
    s.changed.notify_all();
    return aErrNotReady;
  }
  const Script::Get get = s.gets.front();
  s.gets.pop_front();
  if (get.newConnection) s.connectionUntold = true;
  if (get.result == aErrNone) *byte = get.byte;
  return get.result;
}

bool FakeNewConnection(void* reference) {
  Script& s = ScriptOf(reference);
  std::lock_guard<std::mutex> hold(s.lock);
  const bool untold = s.connectionUntold;
  s.connectionUntold = false;
  return untold;
}

aErr FakeWrite(const uint8_t* data, size_t length, void* reference) {
  Script& s = ScriptOf(reference);
  std::unique_lock<std::mutex> hold(s.lock);
  ++s.writesEntered;
  s.changed.notify_all();
  s.changed.wait(hold, [&] { return !s.gateClosed; });
  aErr result = aErrNone;
  if (!s.writeResults.empty()) {
    result = s.writeResults.front();
    s.writeResults.pop_front();
  }
  if (result == aErrNone) {
    s.writes.emplace_back(data, data + length);
    s.writeMs.push_back(aTime_GetMonotonicMSTicks());
  }
  s.changed.notify_all();
  return result;
}

aErr FakePut(const uint8_t* byte, void* reference) { return FakeWrite(byte, 1, reference); }

aErr FakeWait(uint32_t timeoutMs, void* reference) {
  Script& s = ScriptOf(reference);
  std::unique_lock<std::mutex> hold(s.lock);
  ++s.waits;
  s.waitTimeouts.push_back(timeoutMs);
  s.changed.notify_all();
  const bool ready = s.changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                        [&] { return !s.gets.empty() || s.woken; });
  s.woken = false;
  return ready ? aErrNone : aErrTimeout;
}

aErr FakeWake(void* reference) {
  Script& s = ScriptOf(reference);
  std::lock_guard<std::mutex> hold(s.lock);
  ++s.wakes;
  s.woken = true;
  s.changed.notify_all();
  return aErrNone;
}

aErr FakeDelete(void* reference) {
  Handle* handle = static_cast<Handle*>(reference);
  {
    std::lock_guard<std::mutex> hold(handle->script->lock);
    handle->script->deleted = true;
  }
  delete handle;
  return aErrNone;
}

aPacket* MakePacket(const Bytes& wire) {
  return aPacket_CreateWithData(wire[0], wire[1], wire.data() + 2);
}

// A bare-stream link over a scripted transport; destroyed with the fixture.
class FakeLink {
 public:
  explicit FakeLink(bool withWait = true, bool withWake = false)
      : script(std::make_shared<Script>()) {
    aStream* stream = aStream_Create(FakeGet, FakePut, FakeWrite, FakeDelete, new Handle{script});
    if (withWait) aStream_SetWaitProc(stream, FakeWait);
    if (withWake) aStream_SetWakeProc(stream, FakeWake);
    aStream_SetNewConnectionProc(stream, FakeNewConnection);
    id = aLink_Create(stream);
    record = sGetLink(id);
  }
  ~FakeLink() {
    script->setGate(false);
    record.reset();
    if (id != 0) aLink_Destroy(&id);
  }
  FakeLink(const FakeLink&) = delete;
  FakeLink& operator=(const FakeLink&) = delete;

  // The link has started and written its force-route-on packet.
  bool started() { return id != 0 && script->awaitWrite(kForceRouteOn); }

  // Queues a marker packet and waits until it is written: everything the link queued for
  // writing before it has been written by then.
  bool flushWrites() {
    static uint8_t next = 0;
    const uint8_t data[1] = {next++};
    aPacket* marker = aPacket_CreateWithData(0x7E, 1, data);
    const bool put = aLink_PutPacket(id, marker) == aErrNone;
    aPacket_Destroy(&marker);
    return put && script->awaitWrite({0x7E, 0x01, data[0]});
  }

  // Puts the packet (wire bytes) in the output queue.
  void put(const Bytes& wire) {
    aPacket* packet = MakePacket(wire);
    ASSERT_EQ(aLink_PutPacket(id, packet), aErrNone);
    aPacket_Destroy(&packet);
  }

  // On a started link: closes the gate and waits until the writer is held in the write of
  // kBlocker, so that what is put next waits in the output queue.
  void holdWriter() {
    script->setGate(true);
    ASSERT_NO_FATAL_FAILURE(put(kBlocker));
    ASSERT_TRUE(script->awaitEnteredWrites(2));  // force-route on, then the blocker
  }

  // Writes other than force-route on and the flush markers.
  std::vector<Bytes> traffic() {
    std::vector<Bytes> out;
    for (const Bytes& write : script->writtenCopy()) {
      if (write == kForceRouteOn || (write.size() == 3 && write[0] == 0x7E)) continue;
      out.push_back(write);
    }
    return out;
  }

  uint64_t inputQueue() const { return record->inputQueue.load(); }
  uint64_t outputQueue() const { return record->outputQueue.load(); }

  std::shared_ptr<Script> script;
  uint32_t id = 0;
  std::shared_ptr<aLink> record;
};

Bytes Wire(const aPacket* packet) {
  Bytes bytes(packet->data, packet->data + packet->dataSize);
  bytes.insert(bytes.begin(), {packet->address, packet->dataSize});
  return bytes;
}

// Received packets, oldest first, taken out of the link.
std::vector<Bytes> TakeReceived(uint32_t id) {
  std::vector<Bytes> out;
  while (aPacket* packet = aLink_GetPacket(id)) {
    out.push_back(Wire(packet));
    aPacket_Destroy(&packet);
  }
  return out;
}

// --- heartbeats ----------------------------------------------------------------------------------

TEST(LinkHeartbeat, HeartbeatsAreAnsweredAndOtherPacketsQueued) {
  struct Row {
    Bytes received;
    Bytes answer;  // empty: none
  };
  const Row rows[] = {
      {{0x02, 0x02, 0x00, 0x00}, {0x02, 0x02, 0x00, 0x02}},  // up
      {{0x02, 0x02, 0x00, 0x01}, {0x02, 0x02, 0x00, 0x03}},  // down
      {{0x04, 0x02, 0x00, 0x05}, {0x04, 0x02, 0x00, 0x07}},  // other values are answered too
      {{0x02, 0x02, 0x00, 0xFF}, {0x02, 0x02, 0x00, 0x01}},  // modulo 256
      {{0x02, 0x02, 0x01, 0x00}, {}},                        // first data byte not 0
      {{0x02, 0x03, 0x00, 0x00, 0x00}, {}},                  // length not 2
  };
  FakeLink link;
  ASSERT_TRUE(link.started());
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.received));
    const size_t before = link.traffic().size();
    link.script->push(row.received);
    ASSERT_TRUE(link.script->awaitIdle());
    ASSERT_TRUE(link.flushWrites());
    const std::vector<Bytes> traffic = link.traffic();
    const std::vector<Bytes> fresh(traffic.begin() + static_cast<long>(before), traffic.end());
    const std::vector<Bytes> received = TakeReceived(link.id);
    if (row.answer.empty()) {
      EXPECT_TRUE(fresh.empty());
      EXPECT_EQ(received, std::vector<Bytes>{row.received});
    } else {
      EXPECT_EQ(fresh, std::vector<Bytes>{row.answer});
      EXPECT_TRUE(received.empty());
    }
    EXPECT_EQ(link.record->heartbeatState.load(), aLINK_HB_IDLE);
  }
}

TEST(LinkHeartbeat, FailedAnswerDoesNotLeaveTheStatePending) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  // The answer's put fails while the output queue is replaced by a dead handle.
  uint64_t dead = aPacketFifo_Create();
  const uint64_t deadHandle = dead;
  aPacketFifo_Destroy(&dead);
  const uint64_t real = link.record->outputQueue.exchange(deadHandle);
  link.script->push({0x02, 0x02, 0x00, 0x00});
  ASSERT_TRUE(link.script->awaitIdle());
  EXPECT_EQ(link.record->heartbeatState.load(), aLINK_HB_IDLE);
  link.record->outputQueue.store(real);

  link.script->push({0x02, 0x02, 0x00, 0x01});
  EXPECT_TRUE(link.script->awaitWrite({0x02, 0x02, 0x00, 0x03}));
  EXPECT_EQ(link.script->count({0x02, 0x02, 0x00, 0x02}), 0u);
  EXPECT_TRUE(TakeReceived(link.id).empty());
}

// --- user filter ---------------------------------------------------------------------------------

struct FilterLog {
  std::mutex lock;
  std::vector<Bytes> seen;
  uint8_t result = 0;
};

uint8_t RecordingFilter(const aPacket* packet, void* reference) {
  FilterLog* log = static_cast<FilterLog*>(reference);
  std::lock_guard<std::mutex> hold(log->lock);
  log->seen.push_back(Wire(packet));
  return log->result;
}

TEST(LinkUserFilter, OnlyAResultOfOneConsumesThePacket) {
  struct Row {
    uint8_t result;
    Bytes received;
    bool answered;
    bool queued;
  };
  const Row rows[] = {
      {1, {0x02, 0x02, 0x00, 0x00}, false, false},  // a consumed heartbeat is not answered
      {1, {0x02, 0x01, 0x33}, false, false},
      {2, {0x02, 0x02, 0x00, 0x00}, true, false},  // 2 does not consume
      {2, {0x02, 0x01, 0x33}, false, true},
      {0, {0x02, 0x01, 0x33}, false, true},
  };
  FakeLink link;
  ASSERT_TRUE(link.started());
  FilterLog log;
  ASSERT_EQ(aLink_InstallUserPacketFilter(link.id, RecordingFilter, &log), aErrNone);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << int(row.result) << " " << testing::PrintToString(row.received));
    {
      std::lock_guard<std::mutex> hold(log.lock);
      log.result = row.result;
      log.seen.clear();
    }
    const size_t before = link.traffic().size();
    link.script->push(row.received);
    ASSERT_TRUE(link.script->awaitIdle());
    ASSERT_TRUE(link.flushWrites());
    {
      std::lock_guard<std::mutex> hold(log.lock);
      EXPECT_EQ(log.seen, std::vector<Bytes>{row.received});
    }
    EXPECT_EQ(link.traffic().size() - before, row.answered ? 1u : 0u);
    EXPECT_EQ(TakeReceived(link.id).size(), row.queued ? 1u : 0u);
  }

  // Removed: the reader calls it no more.
  ASSERT_EQ(aLink_InstallUserPacketFilter(link.id, nullptr, nullptr), aErrNone);
  {
    std::lock_guard<std::mutex> hold(log.lock);
    log.seen.clear();
  }
  link.script->push({0x02, 0x01, 0x44});
  ASSERT_TRUE(link.script->awaitIdle());
  std::lock_guard<std::mutex> hold(log.lock);
  EXPECT_TRUE(log.seen.empty());
}

// --- sync handshake ------------------------------------------------------------------------------

// Puts the link into status 4 as aLink_Sync does and waits for the first burst of probes.
void BeginSync(FakeLink& link) {
  link.record->status.store(aLINK_STATUS_SYNCING);
  ASSERT_TRUE(Eventually([&] { return link.script->count(kProbe) >= aLINK_SYNC_PROBES; }));
}

TEST(LinkHandshake, CompletesOnlyOnTwoZeroLengthAnswersFromOneEvenAddress) {
  struct Row {
    const char* name;
    std::vector<Bytes> pushes;  // pushed one after the other, each read completely
    bool completes;
  };
  const Row rows[] = {
      {"answers", {{0x02, 0x00, 0x02, 0x00}}, true},
      {"two addresses", {{0x02, 0x00, 0x04, 0x00}}, false},
      {"odd first byte", {{0x03}}, false},
      {"length byte not zero", {{0x02, 0x01, 0x02, 0x00}}, false},
      {"coalesced answers of a burst", {{0x02, 0x00, 0x02, 0x00, 0x02, 0x00, 0x02, 0x00}}, true},
      {"one byte per read", {{0x02}, {0x00}, {0x02}, {0x00}}, true},
      {"garbage first", {{0x03, 0x07, 0x00, 0x05, 0x02, 0x00, 0x02, 0x00}}, true},
      {"wrong address after a good answer",
       {{0x02, 0x00, 0x04, 0x00, 0x02, 0x00, 0x02, 0x00}},
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeLink link;
    ASSERT_TRUE(link.started());
    BeginSync(link);
    for (const Bytes& bytes : row.pushes) {
      link.script->push(bytes);
      ASSERT_TRUE(link.script->awaitIdle());
    }
    EXPECT_EQ(aLink_GetStatus(link.id),
              row.completes ? aLINK_STATUS_RUNNING : aLINK_STATUS_SYNCING);
    if (row.completes) {
      EXPECT_EQ(link.record->syncAddress.load(), 0x02);
      EXPECT_EQ(link.record->syncState.load(), aLINK_SYNC_IDLE);
    }
  }
}

TEST(LinkHandshake, AWrongByteRestartsAndTheNextAnswersComplete) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  BeginSync(link);
  link.script->push({0x02, 0x00, 0x04, 0x00});
  ASSERT_TRUE(link.script->awaitIdle());
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_SYNCING);
  EXPECT_EQ(link.record->syncState.load(),
            aLINK_SYNC_WAIT_ADDRESS);  // restarted: waiting for an answer again
  link.script->push({0x03});
  ASSERT_TRUE(link.script->awaitIdle());
  EXPECT_EQ(link.record->syncState.load(), aLINK_SYNC_WAIT_ADDRESS);
  link.script->push({0x02, 0x00, 0x02, 0x00});
  ASSERT_TRUE(link.script->awaitIdle());
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
}

TEST(LinkHandshake, LostStepInARunningLinkRestartsTheHandshake) {
  struct Row {
    const char* name;
    Bytes bytes;
  };
  const Row rows[] = {
      {"odd address", {0x03, 0x00}},
      {"oversize length", {0x02, 0x1D}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeLink link;
    ASSERT_TRUE(link.started());
    link.script->push(row.bytes);
    ASSERT_TRUE(link.script->awaitIdle());
    EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_SYNCING);
    EXPECT_TRUE(link.script->awaitWrites(1 + aLINK_SYNC_PROBES));
    link.script->push({0x02, 0x00, 0x02, 0x00, 0x02, 0x01, 0x55});
    ASSERT_TRUE(link.script->awaitIdle());
    EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
    EXPECT_EQ(TakeReceived(link.id), (std::vector<Bytes>{{0x02, 0x01, 0x55}}));
  }
}

// The bytes right after a bad frame already go to the new handshake; after a read error they
// would be taken as packets.
TEST(LinkHandshake, ABadFrameIsLostStepNotAReadError) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  link.script->pushResult(aErrPacket, {0x02, 0x00, 0x02, 0x00});
  ASSERT_TRUE(link.script->awaitIdle());
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
  EXPECT_TRUE(TakeReceived(link.id).empty());
}

TEST(LinkHandshake, AReadErrorIsFollowedByANewHandshake) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  link.script->pushResult(aErrIO);
  ASSERT_TRUE(Eventually([&] { return link.script->count(kProbe) >= aLINK_SYNC_PROBES; }));
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_SYNCING);
  link.script->push({0x02, 0x00, 0x02, 0x00});
  ASSERT_TRUE(link.script->awaitIdle());
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
}

// Bursts go out at most once per interval: n bursts need at least (n - 1) intervals, whatever
// the machine's speed, so the bound below holds for any pace of the test.
TEST(LinkHandshake, ProbesGoOutAtMostOncePerInterval) {
  struct Row {
    const char* name;
    bool garbage;  // every byte restarts the handshake
  };
  const Row rows[] = {{"no answer", false}, {"a flood of odd bytes", true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeLink link;
    ASSERT_TRUE(link.started());
    const uint64_t begin = aTime_GetMonotonicMSTicks();
    link.record->status.store(aLINK_STATUS_SYNCING);
    for (int round = 0; round < 15; ++round) {
      link.script->push(row.garbage ? Bytes(200, 0x03) : Bytes{});
      ASSERT_TRUE(link.script->awaitEmptyReads(2));
    }
    ASSERT_TRUE(link.flushWrites());
    const uint64_t elapsed = aTime_GetMonotonicMSTicks() - begin;
    const size_t bursts = (link.script->count(kProbe) + aLINK_SYNC_PROBES - 1) / aLINK_SYNC_PROBES;
    EXPECT_GE(bursts, 1u);
    EXPECT_LE(bursts, elapsed / kProbeIntervalMs + 1) << "elapsed " << elapsed << " ms";
  }
}

TEST(LinkHandshake, ProbesNeverEmptyTheOutputQueue) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  ASSERT_NO_FATAL_FAILURE(link.holdWriter());

  constexpr int kQueued = 990;
  for (int i = 0; i < kQueued; ++i) {
    const uint8_t data[2] = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    aPacket* packet = aPacket_CreateWithData(0x02, 2, data);
    ASSERT_EQ(aLink_PutPacket(link.id, packet), aErrNone);
    aPacket_Destroy(&packet);
  }
  link.record->status.store(aLINK_STATUS_SYNCING);
  // Idle reads over several probe intervals, each a chance to send probes.
  for (int round = 0; round < 20; ++round) {
    link.script->push({});
    ASSERT_TRUE(link.script->awaitEmptyReads(3));
  }
  EXPECT_LT(aPacketFifo_GetLength(link.outputQueue()), static_cast<size_t>(aPACKETFIFO_MAXPACKETS));
  link.script->setGate(false);
  ASSERT_TRUE(link.flushWrites());

  int next = 0;
  for (const Bytes& write : link.traffic()) {
    if (write.size() != 4 || write[0] != 0x02 || write[1] != 0x02) continue;
    EXPECT_EQ((write[2] << 8) | write[3], next);
    ++next;
  }
  EXPECT_EQ(next, kQueued);
}

// aLink_Sync drops its own probes and the answers to them, nothing else.
TEST(LinkHandshake, SyncDrainsOnlyProbesAndTheirAnswers) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  ASSERT_NO_FATAL_FAILURE(link.holdWriter());
  ASSERT_EQ(aLink_ForceRoute(link.id, 1), aErrNone);
  link.script->push({0x02, 0x02, 0x00, 0x00});  // a heartbeat: its answer waits in the queue
  ASSERT_TRUE(link.script->awaitIdle());
  ASSERT_EQ(aPacketFifo_GetLength(link.outputQueue()), 2u);

  std::future<aErr> sync = std::async(std::launch::async, [&] { return aLink_Sync(link.id); });
  ASSERT_TRUE(Eventually([&] { return aPacketFifo_GetLength(link.outputQueue()) == 8u; }));
  // Completion, two surplus answers, then packets that must stay.
  link.script->push({0x02, 0x00, 0x02, 0x00, 0x02, 0x00, 0x02, 0x00, 0x02, 0x01, 0x55, 0x04, 0x00});
  EXPECT_EQ(sync.get(), aErrNone);

  EXPECT_EQ(TakeReceived(link.id), (std::vector<Bytes>{{0x02, 0x01, 0x55}, {0x04, 0x00}}));
  link.script->setGate(false);
  ASSERT_TRUE(link.flushWrites());
  const std::vector<Bytes> writes = link.script->writtenCopy();
  ASSERT_EQ(writes.size(), 5u);  // force-route on, then what was queued, then the marker
  EXPECT_EQ(std::vector<Bytes>(writes.begin() + 1, writes.begin() + 4),
            (std::vector<Bytes>{{0x02, 0x01, 0xEE}, kForceRouteOn, {0x02, 0x02, 0x00, 0x02}}));
}

// --- a new connection of the transport ----------------------------------------------------------

// What a lost connection left of a packet is dropped and the new connection's first byte begins
// one; the running link keeps running (no handshake, no probes), and only the read that met the
// new connection cuts: a packet split across later reads still comes whole.
TEST(LinkNewConnection, APacketCutOffIsDroppedAndTheRunningLinkKeepsRunning) {
  struct Step {
    bool newConnection;  // the bytes are the first of a new connection
    Bytes bytes;
  };
  struct Row {
    const char* name;
    std::vector<Step> steps;  // pushed one after the other, each read completely
    std::vector<Bytes> expected;
  };
  const Row rows[] = {
      {"a packet cut after two data bytes",
       {{false, {0x04, 0x05, 0xA0, 0xB0}}, {true, {0x04, 0x02, 0x11, 0x22, 0x04, 0x00}}},
       {{0x04, 0x02, 0x11, 0x22}, {0x04, 0x00}}},
      {"the new connection met by an empty read",
       {{false, {0x04, 0x05, 0xA0, 0xB0}}, {true, {}}, {false, {0x04, 0x02, 0x11, 0x22}}},
       {{0x04, 0x02, 0x11, 0x22}}},
      {"a packet cut after its address", {{false, {0x04}}, {true, {0x04, 0x00}}}, {{0x04, 0x00}}},
      {"a packet split across reads after the new connection",
       {{false, {0x04, 0x05, 0xA0}}, {true, {0x04, 0x02, 0x11}}, {false, {0x22}}},
       {{0x04, 0x02, 0x11, 0x22}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeLink link;
    ASSERT_TRUE(link.started());
    for (const Step& step : row.steps) {
      if (step.newConnection) {
        link.script->pushNewConnection(step.bytes);
      } else {
        link.script->push(step.bytes);
      }
      ASSERT_TRUE(link.script->awaitIdle());
    }
    EXPECT_EQ(TakeReceived(link.id), row.expected);
    EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
    ASSERT_TRUE(link.flushWrites());
    EXPECT_EQ(link.script->count(kProbe), 0u);
  }
}

// Answers that came on the lost connection do not count towards the handshake: it starts over,
// with new probes, and completes on two answers of the new connection.
TEST(LinkNewConnection, AHandshakeUnderWayStartsOver) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  BeginSync(link);
  link.script->push({0x02, 0x00});  // one answer of two
  ASSERT_TRUE(link.script->awaitIdle());
  link.script->pushNewConnection({0x02, 0x00});
  ASSERT_TRUE(link.script->awaitIdle());
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_SYNCING);
  EXPECT_TRUE(Eventually([&] { return link.script->count(kProbe) >= 2 * aLINK_SYNC_PROBES; }));

  link.script->push({0x02, 0x00, 0x02, 0x00});
  ASSERT_TRUE(link.script->awaitIdle());
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
}

// --- waits and status ----------------------------------------------------------------------------

uint8_t SelectAll(const aPacket*, const void*) { return 1; }

TEST(LinkWaits, AwaitFirstOnALinkThatIsNotRunningReturnsAtOnce) {
  const uint32_t statuses[] = {aLINK_STATUS_SYNCING, aLINK_STATUS_READERROR,
                               aLINK_STATUS_QUEUEFAILED};
  for (uint32_t status : statuses) {
    SCOPED_TRACE(status);
    FakeLink link;
    ASSERT_TRUE(link.started());
    aPacket* packet = MakePacket({0x02, 0x01, 0x11});
    ASSERT_EQ(aPacketFifo_Put(link.inputQueue(), packet), aErrNone);
    aPacket_Destroy(&packet);
    link.record->status.store(status);
    // An hour's time-out: returning at all shows it did not wait.
    EXPECT_EQ(aLink_AwaitFirst(link.id, SelectAll, nullptr, 3600000), nullptr);
    // AwaitPacket takes what is there whatever the status.
    aPacket* got = aLink_AwaitPacket(link.id, 3600000);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(Wire(got), (Bytes{0x02, 0x01, 0x11}));
    aPacket_Destroy(&got);
  }
}

TEST(LinkWaits, AwaitFirstOnARunningLinkWaitsForAMatch) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  struct Wanted {
    static uint8_t second(const aPacket* packet, const void*) {
      return packet->dataSize == 1 && packet->data[0] == 0x22;
    }
  };
  std::future<aPacket*> waiter = std::async(std::launch::async, [&] {
    return aLink_AwaitFirst(link.id, Wanted::second, nullptr, 3600000);
  });
  link.script->push({0x02, 0x01, 0x11, 0x02, 0x01, 0x22});
  aPacket* got = waiter.get();
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(Wire(got), (Bytes{0x02, 0x01, 0x22}));
  aPacket_Destroy(&got);
  EXPECT_EQ(TakeReceived(link.id), (std::vector<Bytes>{{0x02, 0x01, 0x11}}));
}

TEST(LinkStatus, AFailedQueuePutDoesNotStick) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  uint64_t dead = aPacketFifo_Create();
  const uint64_t deadHandle = dead;
  aPacketFifo_Destroy(&dead);
  const uint64_t real = link.record->inputQueue.exchange(deadHandle);
  link.script->push({0x02, 0x01, 0x11});
  ASSERT_TRUE(link.script->awaitIdle());
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_QUEUEFAILED);

  link.record->inputQueue.store(real);
  link.script->push({0x02, 0x01, 0x22});
  ASSERT_TRUE(link.script->awaitIdle());
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
  EXPECT_EQ(TakeReceived(link.id), (std::vector<Bytes>{{0x02, 0x01, 0x22}}));
}

// --- writer --------------------------------------------------------------------------------------

TEST(LinkWriter, PooledWritesPackUpTo4096Bytes) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  ASSERT_NO_FATAL_FAILURE(link.holdWriter());
  ASSERT_EQ(aLink_EnablePooledPackets(link.id, true), aErrNone);

  constexpr int kPackets = 200;
  Bytes expected;
  for (int i = 0; i < kPackets; ++i) {
    Bytes data(28, static_cast<uint8_t>(i));
    aPacket* packet = aPacket_CreateWithData(0x02, 28, data.data());
    ASSERT_EQ(aLink_PutPacket(link.id, packet), aErrNone);
    aPacket_Destroy(&packet);
    expected.insert(expected.end(), {0x02, 28});
    expected.insert(expected.end(), data.begin(), data.end());
  }
  link.script->setGate(false);
  ASSERT_TRUE(link.script->awaitWrites(4));  // force-route on, blocker, two pooled writes

  const std::vector<Bytes> writes = link.script->writtenCopy();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[2].size(), 4080u);  // 136 packets
  EXPECT_EQ(writes[3].size(), 1920u);  // the other 64
  Bytes joined = writes[2];
  joined.insert(joined.end(), writes[3].begin(), writes[3].end());
  EXPECT_EQ(joined, expected);
}

TEST(LinkWriter, StopOnAStoppedLinkSendsNothing) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  ASSERT_EQ(aLink_Stop(link.record.get()), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_STOPPED);
  const size_t written = link.script->writtenCopy().size();
  const size_t queued = aPacketFifo_GetLength(link.outputQueue());
  EXPECT_EQ(aLink_Stop(link.record.get()), aErrNone);
  EXPECT_EQ(aPacketFifo_GetLength(link.outputQueue()), queued);
  EXPECT_EQ(link.script->writtenCopy().size(), written);
  EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
}

// What is still queued when the link stops is written one packet per write, ending with the
// force-route-off packet of a link still in the table; the input queue keeps its packets.
TEST(LinkWriter, StopFlushesTheOutputQueueUntilTheFirstWriteError) {
  struct Row {
    const char* name;
    int failingWrite;  // index among the flushed writes that fails; -1: none
    size_t flushedWritten;
  };
  const Row rows[] = {{"all written", -1, 6}, {"third write fails", 2, 2}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeLink link;
    ASSERT_TRUE(link.started());
    ASSERT_NO_FATAL_FAILURE(link.holdWriter());
    std::vector<Bytes> queued;
    for (uint8_t i = 0; i < 5; ++i) {
      queued.push_back({0x02, 0x01, i});
      ASSERT_NO_FATAL_FAILURE(link.put(queued.back()));
    }
    queued.push_back(kForceRouteOff);
    aPacket* kept = MakePacket({0x02, 0x01, 0x77});
    ASSERT_EQ(aPacketFifo_Put(link.inputQueue(), kept), aErrNone);
    aPacket_Destroy(&kept);
    {
      std::lock_guard<std::mutex> hold(link.script->lock);
      link.script->writeResults.push_back(aErrNone);  // the blocker
      if (row.failingWrite >= 0) {
        for (int i = 0; i < row.failingWrite; ++i) link.script->writeResults.push_back(aErrNone);
        link.script->writeResults.push_back(aErrIO);
      }
    }

    std::future<aErr> stopped =
        std::async(std::launch::async, [&] { return aLink_Stop(link.record.get()); });
    ASSERT_TRUE(Eventually([&] { return link.record->running.load() == 0; }));
    link.script->setGate(false);
    EXPECT_EQ(stopped.get(), aErrNone);

    const std::vector<Bytes> writes = link.script->writtenCopy();
    ASSERT_GE(writes.size(), 2u);
    const std::vector<Bytes> flushed(writes.begin() + 2, writes.end());
    EXPECT_EQ(flushed, std::vector<Bytes>(queued.begin(),
                                          queued.begin() + static_cast<long>(row.flushedWritten)));
    {
      std::lock_guard<std::mutex> hold(link.script->lock);
      // Nothing is tried after the failing write.
      EXPECT_EQ(link.script->writesEntered,
                static_cast<int>(2 + row.flushedWritten + (row.failingWrite >= 0 ? 1 : 0)));
    }
    EXPECT_EQ(aPacketFifo_GetLength(link.inputQueue()), 1u);
  }
}

// --- idle cost -----------------------------------------------------------------------------------

// An idle reader waits for input instead of asking the transport again and again; with a
// transport that cannot wait it still rests between reads. Bounds on the number of reads per
// elapsed millisecond, which only a spinning reader can break.
TEST(LinkIdle, AnIdleReaderDoesNotSpin) {
  struct Row {
    const char* name;
    bool withWait;
    uint32_t status;
  };
  const Row rows[] = {
      {"waiting transport, running", true, aLINK_STATUS_RUNNING},
      {"waiting transport, syncing", true, aLINK_STATUS_SYNCING},
      {"transport without a wait", false, aLINK_STATUS_RUNNING},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    FakeLink link(row.withWait);
    ASSERT_TRUE(link.started());
    link.record->status.store(row.status);
    uint64_t readsBefore = 0;
    {
      std::lock_guard<std::mutex> hold(link.script->lock);
      readsBefore = link.script->reads;
    }
    const uint64_t begin = aTime_GetMonotonicMSTicks();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const uint64_t elapsed = aTime_GetMonotonicMSTicks() - begin;
    std::lock_guard<std::mutex> hold(link.script->lock);
    const uint64_t reads = link.script->reads - readsBefore;
    EXPECT_LE(reads, elapsed + 2) << "elapsed " << elapsed << " ms";
    if (row.withWait) {
      EXPECT_GT(link.script->waits, 0u);
    }
  }
}

// A transport that can be woken: while the link runs the idle reader waits without a bound (no
// periodic wake-ups); while it syncs a silent module, its waits end with each probe burst.
TEST(LinkIdle, AWakeableReaderWaitsUnboundedWhileRunningAndByTheProbeRateWhileSyncing) {
  FakeLink link(true, true);
  ASSERT_TRUE(link.started());
  auto waitsSoFar = [&link] {
    std::lock_guard<std::mutex> hold(link.script->lock);
    return link.script->waitTimeouts;
  };
  ASSERT_TRUE(Eventually([&] { return !waitsSoFar().empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::vector<uint32_t> running = waitsSoFar();
  // One wait since the start (a second when the force-route write's wake-up came after it).
  EXPECT_LE(running.size(), 2u);
  EXPECT_EQ(running.back(), aSTREAM_WAIT_FOREVER);

  auto sync = std::async(std::launch::async, [&link] { return aLink_Sync(link.id); });
  constexpr size_t kBursts = 3;
  ASSERT_TRUE(Eventually([&] { return link.script->count(kProbe) >= kBursts * aLINK_SYNC_PROBES; }))
      << "probes stopped while syncing a silent module";
  const std::vector<uint32_t> syncing = waitsSoFar();
  for (size_t i = running.size(); i < syncing.size(); ++i) {
    EXPECT_LE(syncing[i], kProbeIntervalMs) << "wait " << i;
  }
  link.script->push({0x02, 0x00, 0x02, 0x00});  // the module answers: in step again
  ASSERT_EQ(sync.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(sync.get(), aErrNone);
  ASSERT_TRUE(Eventually([&] { return waitsSoFar().back() == aSTREAM_WAIT_FOREVER; }));
}

// The reader waits without a time-out: only the stop's wake can end that wait, so a stop that
// returns shows the wake.
TEST(LinkStop, AStopWakesAReaderThatWaitsWithoutTimeOut) {
  FakeLink link(true, true);
  ASSERT_TRUE(link.started());
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> hold(link.script->lock);
    return !link.script->waitTimeouts.empty() &&
           link.script->waitTimeouts.back() == aSTREAM_WAIT_FOREVER;
  }));
  auto stop = std::async(std::launch::async, [&link] { return aLink_Stop(link.record.get()); });
  ASSERT_EQ(stop.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(stop.get(), aErrNone);
  std::lock_guard<std::mutex> hold(link.script->lock);
  EXPECT_GE(link.script->wakes, 1u);
}

// --- unknown links -------------------------------------------------------------------------------

TEST(LinkUnknownId, EveryOperationAnswersAnUnknownLink) {
  const uint32_t unknown = 0xFFFFFF00u;
  aPacket* packet = MakePacket({0x02, 0x01, 0x11});
  EXPECT_EQ(aLink_GetStatus(unknown), aLINK_STATUS_NOSTREAM);
  EXPECT_EQ(aLink_PutPacket(unknown, packet), aErrParam);
  EXPECT_EQ(aLink_GetPacket(unknown), nullptr);
  EXPECT_EQ(aLink_AwaitPacket(unknown, 3600000), nullptr);
  EXPECT_EQ(aLink_GetFirst(unknown, SelectAll, nullptr), nullptr);
  EXPECT_EQ(aLink_AwaitFirst(unknown, SelectAll, nullptr, 3600000), nullptr);
  EXPECT_EQ(aLink_DrainPackets(unknown, SelectAll, nullptr), 0u);
  EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, RecordingFilter, nullptr), aErrParam);
  EXPECT_EQ(aLink_EnablePooledPackets(unknown, true), aErrParam);
  EXPECT_EQ(aLink_Init(unknown, nullptr), 0u);
  EXPECT_EQ(aLink_Start(unknown), aErrParam);
  EXPECT_EQ(aLink_Sync(unknown), aErrParam);
  EXPECT_EQ(aLink_ForceRoute(unknown, 1), aErrNotFound);
  EXPECT_EQ(aLink_Reset(unknown), aErrParam);
  uint32_t id = unknown;
  EXPECT_EQ(aLink_Destroy(&id), aErrParam);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
  aPacket_Destroy(&packet);
}

TEST(LinkAccess, PutPacketRefusesAnInvalidPacketAndCopiesAGoodOne) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  aPacket bad = {};
  EXPECT_EQ(aLink_PutPacket(link.id, &bad), aErrParam);
  EXPECT_EQ(aLink_PutPacket(link.id, nullptr), aErrParam);
  aPacket* packet = MakePacket({0x04, 0x02, 0x10, 0x20});
  ASSERT_EQ(aLink_PutPacket(link.id, packet), aErrNone);
  packet->data[0] = 0x99;  // the link sends its own copy
  EXPECT_TRUE(link.script->awaitWrite({0x04, 0x02, 0x10, 0x20}));
  aPacket_Destroy(&packet);
}

TEST(LinkAccess, DrainAndGetFirstTakeOnlySelectedPackets) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  link.script->push({0x02, 0x01, 0x01, 0x02, 0x01, 0x02, 0x02, 0x01, 0x01, 0x02, 0x01, 0x03});
  ASSERT_TRUE(link.script->awaitIdle());
  struct Ones {
    static uint8_t select(const aPacket* packet, const void*) { return packet->data[0] == 1; }
  };
  aPacket* first = aLink_GetFirst(link.id, Ones::select, nullptr);
  ASSERT_NE(first, nullptr);
  aPacket_Destroy(&first);
  EXPECT_EQ(aLink_DrainPackets(link.id, Ones::select, nullptr), 1u);
  EXPECT_EQ(TakeReceived(link.id), (std::vector<Bytes>{{0x02, 0x01, 0x02}, {0x02, 0x01, 0x03}}));
}

TEST(LinkCreateBare, TheLinkOwnsItsStreamAndANullStreamMakesNoLink) {
  EXPECT_EQ(aLink_Create(nullptr), 0u);
  std::shared_ptr<Script> script;
  {
    FakeLink link;
    ASSERT_TRUE(link.started());
    EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
    script = link.script;
  }
  std::lock_guard<std::mutex> hold(script->lock);
  EXPECT_TRUE(script->deleted);
}

// --- packet log ----------------------------------------------------------------------------------

// Every packet of a pooled write is recorded, not only the first.
TEST(LinkPacketLog, EveryPacketOfAPooledWriteIsRecorded) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  ASSERT_NO_FATAL_FAILURE(link.holdWriter());
  ASSERT_EQ(aLink_EnablePooledPackets(link.id, true), aErrNone);

  constexpr int kPackets = 200;
  std::vector<LoggedRecord> expected = {{aPACKETLOG_SENT, kBlocker}};
  for (int i = 0; i < kPackets; ++i) {
    Bytes wire = {0x04, 28};
    for (int j = 0; j < 28; ++j) wire.push_back(static_cast<uint8_t>(i + j));
    ASSERT_NO_FATAL_FAILURE(link.put(wire));
    expected.push_back({aPACKETLOG_SENT, wire});
  }
  link.script->setGate(false);
  ASSERT_TRUE(link.script->awaitWrites(4));  // force-route on, blocker, two pooled writes
  ASSERT_EQ(link.script->writtenCopy()[2].size(), 4080u);
  EXPECT_EQ(ReadLog(link.id), expected);
}

// The final flush of a stop is recorded packet by packet; the wake-up packet never is.
TEST(LinkPacketLog, TheFinalFlushIsRecordedAndTheWakeUpPacketIsNot) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  ASSERT_NO_FATAL_FAILURE(link.holdWriter());
  std::vector<LoggedRecord> expected = {{aPACKETLOG_SENT, kBlocker}};
  for (uint8_t i = 0; i < 3; ++i) {
    const Bytes wire = {0x02, 0x01, i};
    ASSERT_NO_FATAL_FAILURE(link.put(wire));
    expected.push_back({aPACKETLOG_SENT, wire});
  }
  expected.push_back({aPACKETLOG_SENT, kForceRouteOff});

  std::future<aErr> stopped =
      std::async(std::launch::async, [&] { return aLink_Stop(link.record.get()); });
  ASSERT_TRUE(Eventually([&] { return link.record->running.load() == 0; }));
  link.script->setGate(false);
  ASSERT_EQ(stopped.get(), aErrNone);
  EXPECT_EQ(ReadLog(link.id), expected);
}

TEST(LinkPacketLog, NothingIsRecordedWhileDisabledAndRecordingResumesOnEnable) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Disable(link.id), aErrNone);
  link.script->push({0x02, 0x01, 0x31});
  ASSERT_TRUE(link.script->awaitIdle());
  ASSERT_TRUE(link.flushWrites());
  EXPECT_TRUE(ReadLog(link.id).empty());

  ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  link.script->push({0x02, 0x01, 0x32});
  ASSERT_TRUE(link.script->awaitIdle());
  const std::vector<LoggedRecord> records = ReadLog(link.id);
  EXPECT_EQ(records, (std::vector<LoggedRecord>{{aPACKETLOG_RECEIVED, {0x02, 0x01, 0x32}}}));
  EXPECT_EQ(TakeReceived(link.id).size(), 2u);  // the log takes nothing from the queue
}

// A link whose log was never enabled has none: its traffic makes no log.
TEST(LinkPacketLog, ALinkWithoutALogRecordsNothing) {
  FakeLink link;
  ASSERT_TRUE(link.started());
  link.script->push({0x02, 0x01, 0x33});
  ASSERT_TRUE(link.script->awaitIdle());
  ASSERT_TRUE(link.flushWrites());
  EXPECT_EQ(link.record->packetLog.load(), nullptr);
  uint32_t type = 0;
  uint32_t length = 0;
  EXPECT_EQ(aLink_PacketDebug_Read(link.id, &type, &length, nullptr), aErrNotReady);
}

}  // namespace
