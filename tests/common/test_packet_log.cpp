// Packet log: the ring's limits (capacity, records too large, short buffers, wrap-around,
// argument errors), the per-link operations and their answers, and a link over TCP to the
// stand-in module that records what it sends and receives, keeps its log and user filter
// through resets while a consumer reads, and frees the log under a reading thread on destroy.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkTable.h"
#include "aPacketLog.h"
#include "link_test_support.h"
#include "sim_module_process.h"

namespace {

using Bytes = std::vector<uint8_t>;
using coretest::Eventually;
using coretest::ReadLog;
using Record = coretest::LogRecord;

constexpr int kConsumerIdleMs = 1;  // ms a test consumer rests on an empty log

constexpr uint32_t kSerial = 0x00001096;
constexpr uint8_t kAddress = 0x02;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
const uint32_t kUnknownLink = 0xFFFFFF00u;

struct LogDeleter {
  void operator()(aPacketLog* log) const { aPacketLog_Destroy(&log); }
};
using LogPtr = std::unique_ptr<aPacketLog, LogDeleter>;

LogPtr MakeLog(uint32_t size) { return LogPtr(aPacketLog_Create(size)); }

aErr Put(aPacketLog* log, uint8_t type, const Bytes& bytes) {
  return aPacketLog_Put(log, type, static_cast<uint32_t>(bytes.size()), bytes.data());
}

// Every record, oldest first, taken out of the ring.
std::vector<Record> Drain(aPacketLog* log) {
  std::vector<Record> out;
  for (;;) {
    uint32_t type = 0;
    uint32_t length = aPACKETLOG_MAXRECORD;
    uint8_t buffer[aPACKETLOG_MAXRECORD];
    const aErr got = aPacketLog_Get(log, &type, &length, buffer);
    if (got == aErrNotFound) return out;
    EXPECT_EQ(got, aErrNone);
    if (got != aErrNone) return out;
    out.push_back({type, Bytes(buffer, buffer + length)});
  }
}

Bytes Filled(size_t count, uint8_t value) { return Bytes(count, value); }

// --- ring ----------------------------------------------------------------------------------------

TEST(PacketLogRing, ADefaultRingHolds2047ThirtyByteRecordsAndTheNextDropsTheOldest) {
  LogPtr log = MakeLog(aPACKETLOG_DEFAULTSIZE);
  ASSERT_TRUE(log);
  EXPECT_EQ(log->enabled.load(), 0);
  for (int i = 0; i < 2047; ++i) {
    ASSERT_EQ(Put(log.get(), aPACKETLOG_SENT, Filled(30, static_cast<uint8_t>(i))), aErrNone);
  }
  // 2047 records of 32 bytes leave exactly 32 bytes free: not enough, one byte stays free.
  EXPECT_EQ(log->readPos, 0u);
  ASSERT_EQ(Put(log.get(), aPACKETLOG_RECEIVED, Filled(30, 0xEE)), aErrNone);
  EXPECT_EQ(log->readPos, 32u);  // the oldest record went

  const std::vector<Record> records = Drain(log.get());
  ASSERT_EQ(records.size(), 2047u);
  EXPECT_EQ(records.front(), (Record{aPACKETLOG_SENT, Filled(30, 1)}));
  EXPECT_EQ(records[2045], (Record{aPACKETLOG_SENT, Filled(30, static_cast<uint8_t>(2046))}));
  EXPECT_EQ(records.back(), (Record{aPACKETLOG_RECEIVED, Filled(30, 0xEE)}));
}

TEST(PacketLogRing, ARecordAsLargeAsTheRingIsRefusedAndTheLogStaysAsItWas) {
  struct Row {
    uint32_t size;
    size_t length;
    aErr expected;
  };
  const Row rows[] = {
      {10, 8, aErrOverrun},     // record of 10 bytes = ring size
      {10, 9, aErrOverrun},     // larger
      {10, 7, aErrNone},        // 9 bytes fit when the rest goes
      {257, 255, aErrOverrun},  // the largest record needs a ring of 258
      {258, 255, aErrNone},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.size << " / " << row.length);
    LogPtr log = MakeLog(row.size);
    ASSERT_TRUE(log);
    ASSERT_EQ(Put(log.get(), aPACKETLOG_TEXT, {0x41}), aErrNone);
    const uint32_t readBefore = log->readPos;
    const uint32_t writeBefore = log->writePos;
    EXPECT_EQ(Put(log.get(), aPACKETLOG_SENT, Filled(row.length, 0x5A)), row.expected);
    if (row.expected != aErrNone) {
      EXPECT_EQ(log->readPos, readBefore);
      EXPECT_EQ(log->writePos, writeBefore);
      EXPECT_EQ(Drain(log.get()), (std::vector<Record>{{aPACKETLOG_TEXT, {0x41}}}));
    } else {
      EXPECT_EQ(Drain(log.get()),
                (std::vector<Record>{{aPACKETLOG_SENT, Filled(row.length, 0x5A)}}));
    }
  }
}

TEST(PacketLogRing, AShortBufferGetsTheLengthAndTheRecordStays) {
  LogPtr log = MakeLog(256);
  ASSERT_TRUE(log);
  Bytes thirty(30);
  for (size_t i = 0; i < thirty.size(); ++i) thirty[i] = static_cast<uint8_t>(i + 1);
  ASSERT_EQ(Put(log.get(), aPACKETLOG_RECEIVED, thirty), aErrNone);
  ASSERT_EQ(Put(log.get(), aPACKETLOG_SENT, {0x07}), aErrNone);

  uint32_t type = 0;
  uint32_t length = 10;
  uint8_t buffer[64] = {};
  EXPECT_EQ(aPacketLog_Get(log.get(), &type, &length, buffer), aErrOverrun);
  EXPECT_EQ(length, 30u);
  EXPECT_EQ(buffer[0], 0);  // nothing copied

  length = 30;  // exactly the record's length is enough
  ASSERT_EQ(aPacketLog_Get(log.get(), &type, &length, buffer), aErrNone);
  EXPECT_EQ(type, static_cast<uint32_t>(aPACKETLOG_RECEIVED));
  EXPECT_EQ(Bytes(buffer, buffer + length), thirty);
  EXPECT_EQ(Drain(log.get()), (std::vector<Record>{{aPACKETLOG_SENT, {0x07}}}));
}

TEST(PacketLogRing, AnEmptyLogGivesNotFound) {
  LogPtr log = MakeLog(64);
  ASSERT_TRUE(log);
  uint32_t type = 99;
  uint32_t length = 64;
  uint8_t buffer[64];
  EXPECT_EQ(aPacketLog_Get(log.get(), &type, &length, buffer), aErrNotFound);
  ASSERT_EQ(Put(log.get(), aPACKETLOG_TEXT, {}), aErrNone);  // a record of no bytes
  EXPECT_EQ(Drain(log.get()), (std::vector<Record>{{aPACKETLOG_TEXT, {}}}));
  EXPECT_EQ(aPacketLog_Get(log.get(), &type, &length, buffer), aErrNotFound);
}

TEST(PacketLogRing, BadArgumentsWriteNothing) {
  LogPtr log = MakeLog(1024);
  ASSERT_TRUE(log);
  const Bytes big = Filled(256, 1);
  EXPECT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_TEXT, 256, big.data()), aErrParam);
  EXPECT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_TEXT, 0xFFFFFFFFu, big.data()), aErrParam);
  EXPECT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_TEXT, 1, nullptr), aErrParam);
  EXPECT_EQ(aPacketLog_Put(nullptr, aPACKETLOG_TEXT, 1, big.data()), aErrParam);
  EXPECT_EQ(log->writePos, 0u);
  EXPECT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_TEXT, 0, nullptr), aErrNone);
  EXPECT_EQ(aPacketLog_Put(log.get(), aPACKETLOG_TEXT, 255, big.data()), aErrNone);

  uint32_t type = 0;
  uint32_t length = 8;
  uint8_t buffer[8];
  EXPECT_EQ(aPacketLog_Get(nullptr, &type, &length, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.get(), nullptr, &length, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.get(), &type, nullptr, buffer), aErrParam);
  EXPECT_EQ(aPacketLog_Get(log.get(), &type, &length, nullptr), aErrParam);
  length = 0;  // no buffer is needed for a record of no bytes
  EXPECT_EQ(aPacketLog_Get(log.get(), &type, &length, nullptr), aErrNone);
  EXPECT_EQ(Drain(log.get()), (std::vector<Record>{{aPACKETLOG_TEXT, Filled(255, 1)}}));
}

// Random records against a model of the ring (a queue of records and the bytes they take):
// every record comes back with its bytes across many passes over the ring's end.
TEST(PacketLogRing, RecordsWrapAroundTheRingEndIntact) {
  constexpr uint32_t kSize = 61;  // prime, so that records start at every index
  LogPtr log = MakeLog(kSize);
  ASSERT_TRUE(log);
  std::deque<Record> model;
  size_t modelBytes = 0;
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  bool wrapped = false;
  for (int step = 0; step < 5000; ++step) {
    if (next() % 3 != 0) {
      Record record{1 + next() % 3, Bytes(next() % 40)};
      for (uint8_t& byte : record.bytes) byte = static_cast<uint8_t>(next());
      const size_t needed = record.bytes.size() + 2;
      const uint32_t writeBefore = log->writePos;
      ASSERT_EQ(Put(log.get(), static_cast<uint8_t>(record.type), record.bytes), aErrNone);
      if (log->writePos < writeBefore) wrapped = true;
      while (modelBytes + needed > kSize - 1) {
        modelBytes -= model.front().bytes.size() + 2;
        model.pop_front();
      }
      model.push_back(record);
      modelBytes += needed;
    } else {
      uint32_t type = 0;
      uint32_t length = aPACKETLOG_MAXRECORD;
      uint8_t buffer[aPACKETLOG_MAXRECORD];
      const aErr got = aPacketLog_Get(log.get(), &type, &length, buffer);
      if (model.empty()) {
        ASSERT_EQ(got, aErrNotFound);
        continue;
      }
      ASSERT_EQ(got, aErrNone) << "step " << step;
      ASSERT_EQ((Record{type, Bytes(buffer, buffer + length)}), model.front()) << "step " << step;
      modelBytes -= model.front().bytes.size() + 2;
      model.pop_front();
    }
  }
  EXPECT_TRUE(wrapped);
  EXPECT_EQ(Drain(log.get()), std::vector<Record>(model.begin(), model.end()));
}

TEST(PacketLogRing, CreateNeedsThreeBytesAndDestroyClearsThePointer) {
  EXPECT_EQ(aPacketLog_Create(0), nullptr);
  EXPECT_EQ(aPacketLog_Create(2), nullptr);
  aPacketLog* log = aPacketLog_Create(3);
  ASSERT_NE(log, nullptr);
  // Three bytes hold one record of no bytes at a time.
  EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_TEXT, 0, nullptr), aErrNone);
  EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_SENT, 0, nullptr), aErrNone);
  const uint8_t one = 1;
  EXPECT_EQ(aPacketLog_Put(log, aPACKETLOG_SENT, 1, &one), aErrOverrun);
  EXPECT_EQ(Drain(log), (std::vector<Record>{{aPACKETLOG_SENT, {}}}));
  log->enabled.store(1);
  EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
  EXPECT_EQ(log, nullptr);
  EXPECT_EQ(aPacketLog_Destroy(&log), aErrNone);
  EXPECT_EQ(aPacketLog_Destroy(nullptr), aErrNone);
}

// --- per-link operations on a bare-stream link --------------------------------------------------

// A transport with nothing to read that takes every write.
aErr QuietGet(uint8_t*, void*) { return aErrNotReady; }
aErr QuietPut(const uint8_t*, void*) { return aErrNone; }
aErr QuietWrite(const uint8_t*, size_t, void*) { return aErrNone; }
aErr QuietDelete(void*) { return aErrNone; }
aErr QuietWait(uint32_t timeoutMs, void*) {
  std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
  return aErrTimeout;
}

struct QuietLink {
  QuietLink() {
    aStream* stream = aStream_Create(QuietGet, QuietPut, QuietWrite, QuietDelete, nullptr);
    aStream_SetWaitProc(stream, QuietWait);
    id = aLink_Create(stream);
  }
  ~QuietLink() {
    if (id != 0) aLink_Destroy(&id);
  }
  QuietLink(const QuietLink&) = delete;
  QuietLink& operator=(const QuietLink&) = delete;

  // Ring size of the link's log; 0 without one.
  uint32_t logSize() const {
    std::shared_ptr<aLink> link = sGetLink(id);
    aPacketLog* log = link ? link->packetLog.load() : nullptr;
    return log != nullptr ? log->size : 0;
  }
  uint32_t id = 0;
};

TEST(PacketDebug, SetLogSizeTakesASignedSizeUntilTheLogExists) {
  struct Row {
    const char* name;
    uint32_t size;
    aErr result;
    uint32_t made;  // ring size the next enable makes
  };
  const Row rows[] = {
      {"explicit", 100, aErrNone, 100},
      {"largest", aPACKETLOG_MAXSIZE, aErrNone, aPACKETLOG_MAXSIZE},
      {"one byte more", aPACKETLOG_MAXSIZE + 1, aErrParam, aPACKETLOG_DEFAULTSIZE},
      {"minus one", 0xFFFFFFFFu, aErrNone, aPACKETLOG_DEFAULTSIZE},
      {"most negative", 0x80000000u, aErrNone, aPACKETLOG_DEFAULTSIZE},
      {"zero", 0, aErrNone, aPACKETLOG_DEFAULTSIZE},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    QuietLink link;
    ASSERT_NE(link.id, 0u);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id, row.size), row.result);
    EXPECT_EQ(link.logSize(), 0u);  // nothing is made before the enable
    ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
    EXPECT_EQ(link.logSize(), row.made);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id, 100), aErrBusy);
    ASSERT_EQ(aLink_PacketDebug_Disable(link.id), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(link.id, 100), aErrBusy);  // disabling keeps it
    EXPECT_EQ(link.logSize(), row.made);
  }
}

TEST(PacketDebug, AnEnableThatCannotMakeTheLogFailsAndALaterOneTriesAgain) {
  QuietLink link;
  ASSERT_NE(link.id, 0u);
  ASSERT_EQ(aLink_PacketDebug_SetLogSize(link.id, 2), aErrNone);  // no ring is that small
  EXPECT_EQ(aLink_PacketDebug_Enable(link.id), aErrResource);
  EXPECT_EQ(aLink_PacketDebug_Disable(link.id), aErrNotReady);
  ASSERT_EQ(aLink_PacketDebug_SetLogSize(link.id, 64), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  EXPECT_EQ(link.logSize(), 64u);
  EXPECT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);  // again: the same log
  EXPECT_EQ(link.logSize(), 64u);
}

TEST(PacketDebug, ALinkWithoutALogAndAnUnknownLinkAreAnswered) {
  QuietLink link;
  ASSERT_NE(link.id, 0u);
  uint32_t type = 0;
  uint32_t length = 8;
  uint8_t buffer[8];
  const uint8_t byte = 1;
  EXPECT_EQ(aLink_PacketDebug_Disable(link.id), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Read(link.id, &type, &length, buffer), aErrNotReady);
  EXPECT_EQ(aLink_PacketDebug_Write(link.id, aPACKETLOG_TEXT, 1, &byte), aErrNotReady);

  EXPECT_EQ(aLink_PacketDebug_SetLogSize(kUnknownLink, 100), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Enable(kUnknownLink), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Disable(kUnknownLink), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Read(kUnknownLink, &type, &length, buffer), aErrParam);
  EXPECT_EQ(aLink_PacketDebug_Write(kUnknownLink, aPACKETLOG_TEXT, 1, &byte), aErrParam);
}

TEST(PacketDebug, TheStartTextIsReadBackWithItsTerminatingZero) {
  QuietLink link;
  ASSERT_NE(link.id, 0u);
  // The link's threads would record their sync probes among the texts: stop them first.
  ASSERT_EQ(aLink_Stop(sGetLink(link.id).get()), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  const char start[] = "START";
  ASSERT_EQ(aLink_PacketDebug_Write(link.id, aPACKETLOG_TEXT, sizeof start,
                                    reinterpret_cast<const uint8_t*>(start)),
            aErrNone);
  uint32_t type = 0;
  uint32_t length = aPACKETLOG_MAXRECORD;
  uint8_t buffer[aPACKETLOG_MAXRECORD];
  ASSERT_EQ(aLink_PacketDebug_Read(link.id, &type, &length, buffer), aErrNone);
  EXPECT_EQ(type, static_cast<uint32_t>(aPACKETLOG_TEXT));
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(std::memcmp(buffer, start, sizeof start), 0);
  EXPECT_EQ(aLink_PacketDebug_Read(link.id, &type, &length, buffer), aErrNotFound);
  // The ring's own answers come through: a bad length, a short buffer.
  const Bytes big = Filled(256, 0);
  EXPECT_EQ(aLink_PacketDebug_Write(link.id, aPACKETLOG_TEXT, 256, big.data()), aErrParam);
  ASSERT_EQ(aLink_PacketDebug_Write(link.id, aPACKETLOG_TEXT, 20, big.data()), aErrNone);
  length = 4;
  EXPECT_EQ(aLink_PacketDebug_Read(link.id, &type, &length, buffer), aErrOverrun);
  EXPECT_EQ(length, 20u);
  // Written and read while disabled too: only the link's own recording stops.
  ASSERT_EQ(aLink_PacketDebug_Disable(link.id), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_Read(link.id, &type, &length, buffer), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_Write(link.id, aPACKETLOG_TEXT, 1, big.data()), aErrNone);
}

// --- recording on a link over TCP to the stand-in module ----------------------------------------

size_t IndexOf(const std::vector<Record>& records, const Record& wanted) {
  for (size_t i = 0; i < records.size(); ++i) {
    if (records[i] == wanted) return i;
  }
  return records.size();
}

size_t CountOf(const std::vector<Record>& records, const Record& wanted) {
  size_t count = 0;
  for (const Record& record : records) count += record == wanted ? 1 : 0;
  return count;
}

std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (uint8_t byte : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
  }
  return out;
}

const Record kStart{aPACKETLOG_TEXT, {'S', 'T', 'A', 'R', 'T', 0}};
const Bytes kForceRouteOn = {0xAF, 0x01, 0x01};
const Bytes kForceRouteOff = {0xAF, 0x01, 0x00};

Bytes Heartbeat(uint8_t x) { return {kAddress, 0x02, 0x00, x}; }
Bytes HeartbeatAnswer(uint8_t x) { return {kAddress, 0x02, 0x00, static_cast<uint8_t>(x + 2)}; }

aErr WriteStart(uint32_t id) {
  return aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, static_cast<uint32_t>(kStart.bytes.size()),
                                 kStart.bytes.data());
}

aErr PutBytes(uint32_t id, const Bytes& wire) {
  aPacket* packet = aPacket_CreateWithData(wire[0], wire[1], wire.data() + 2);
  const aErr put = aLink_PutPacket(id, packet);
  aPacket_Destroy(&packet);
  return put;
}

class TcpLink {
 public:
  TcpLink() : sim_({"--tcp", "0"}) {
    if (!sim_.ready()) return;
    id = aLink_CreateTCPIP(kSerial, kLoopback, static_cast<uint16_t>(sim_.port()));
    // The start's force-route on is written before any test enables the log.
    if (id != 0 && !sim_.awaitRecord(kvsim::Direction::In, kForceRouteOn)) aLink_Destroy(&id);
  }
  ~TcpLink() {
    if (id != 0) aLink_Destroy(&id);
  }
  TcpLink(const TcpLink&) = delete;
  TcpLink& operator=(const TcpLink&) = delete;

  bool ready() const { return id != 0; }
  std::string error() const { return sim_.error(); }
  kvsim::SimModuleProcess& sim() { return sim_; }

  // The module sends the heartbeat x and has the link's answer.
  bool heartbeat(uint8_t x) {
    const size_t before =
        kvsim::countRecords(sim_.dump(), kvsim::Direction::In, HeartbeatAnswer(x));
    return sim_.command("HB " + std::to_string(x)) &&
           sim_.awaitRecord(kvsim::Direction::In, HeartbeatAnswer(x), before + 1);
  }
  // The link sends the packet and the module has it.
  bool send(const Bytes& wire) {
    const size_t before = kvsim::countRecords(sim_.dump(), kvsim::Direction::In, wire);
    return PutBytes(id, wire) == aErrNone &&
           sim_.awaitRecord(kvsim::Direction::In, wire, before + 1);
  }

  uint32_t id = 0;

 private:
  kvsim::SimModuleProcess sim_;
};

TEST(PacketLogRecording, SentAndReceivedPacketsAreRecordedWithTheirWireBytes) {
  TcpLink link;
  ASSERT_TRUE(link.ready()) << link.error();
  ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  ASSERT_EQ(WriteStart(link.id), aErrNone);

  const Bytes sent = {kAddress, 0x03, 0x77, 0x01, 0x02};
  ASSERT_TRUE(link.send(sent));
  ASSERT_TRUE(link.heartbeat(0));
  Bytes largest = {kAddress, 28};
  for (uint8_t i = 0; i < 28; ++i) largest.push_back(static_cast<uint8_t>(0xC0 + i));
  ASSERT_TRUE(link.sim().command("SEND " + Hex(largest))) << link.sim().error();
  aPacket* got = aLink_AwaitPacket(link.id, 10000);
  ASSERT_NE(got, nullptr);
  aPacket_Destroy(&got);

  const std::vector<Record> records = ReadLog(link.id);
  const Record receivedHeartbeat{aPACKETLOG_RECEIVED, Heartbeat(0)};
  const Record sentAnswer{aPACKETLOG_SENT, HeartbeatAnswer(0)};
  ASSERT_EQ(records.size(), 5u) << testing::PrintToString(records);
  EXPECT_EQ(records[0], kStart);  // force-route on went out before the enable
  EXPECT_EQ(records[1], (Record{aPACKETLOG_SENT, sent}));
  EXPECT_EQ(records[2], receivedHeartbeat);  // recorded before its answer is even queued
  EXPECT_EQ(records[3], sentAnswer);
  EXPECT_EQ(records[4], (Record{aPACKETLOG_RECEIVED, largest}));
}

TEST(PacketLogRecording, NothingIsRecordedWhileTheLogIsDisabled) {
  TcpLink link;
  ASSERT_TRUE(link.ready()) << link.error();
  ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  ASSERT_EQ(aLink_PacketDebug_Disable(link.id), aErrNone);
  ASSERT_TRUE(link.send({kAddress, 0x01, 0x10}));
  ASSERT_TRUE(link.heartbeat(1));
  EXPECT_TRUE(ReadLog(link.id).empty());

  ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  ASSERT_TRUE(link.send({kAddress, 0x01, 0x11}));
  ASSERT_TRUE(link.heartbeat(3));
  EXPECT_EQ(ReadLog(link.id), (std::vector<Record>{{aPACKETLOG_SENT, {kAddress, 0x01, 0x11}},
                                                   {aPACKETLOG_RECEIVED, Heartbeat(3)},
                                                   {aPACKETLOG_SENT, HeartbeatAnswer(3)}}));
}

// Reads the link's log as a logger thread does, until told to stop; what it read, in order.
class Consumer {
 public:
  explicit Consumer(uint32_t id) : id_(id), thread_([this] { run(); }) {}
  ~Consumer() { stop(); }
  Consumer(const Consumer&) = delete;
  Consumer& operator=(const Consumer&) = delete;

  void stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  // Stops at the first answer that names no link (its link was destroyed).
  void runUntilUnknown() { untilUnknown_.store(true); }
  bool sawUnknown() const { return sawUnknown_.load(); }
  size_t reads() const { return reads_.load(); }
  std::vector<Record> records() {
    std::lock_guard<std::mutex> hold(lock_);
    return records_;
  }

 private:
  void run() {
    while (!stop_.load()) {
      uint32_t type = 0;
      uint32_t length = aPACKETLOG_MAXRECORD;
      uint8_t buffer[aPACKETLOG_MAXRECORD];
      const aErr got = aLink_PacketDebug_Read(id_, &type, &length, buffer);
      reads_.fetch_add(1);
      if (got == aErrNone) {
        std::lock_guard<std::mutex> hold(lock_);
        records_.push_back({type, Bytes(buffer, buffer + length)});
        continue;
      }
      if (got == aErrParam && untilUnknown_.load()) {
        sawUnknown_.store(true);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(kConsumerIdleMs));
    }
  }

  uint32_t id_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> untilUnknown_{false};
  std::atomic<bool> sawUnknown_{false};
  std::atomic<size_t> reads_{0};
  std::mutex lock_;
  std::vector<Record> records_;
  std::thread thread_;
};

// A reset re-initialises the record while a consumer reads the log: the log, its records and
// the user filter stay, and recording goes on after the restart.
TEST(PacketLogRecording, AResetWhileLoggingKeepsTheLogItsRecordsAndTheUserFilter) {
  constexpr int kResets = 3;
  TcpLink link;
  ASSERT_TRUE(link.ready()) << link.error();
  ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  ASSERT_EQ(WriteStart(link.id), aErrNone);
  coretest::SeenPackets seen;
  ASSERT_EQ(aLink_InstallUserPacketFilter(link.id, coretest::SeeingFilter, &seen), aErrNone);
  const aPacketLog* log = sGetLink(link.id)->packetLog.load();
  ASSERT_NE(log, nullptr);

  Consumer consumer(link.id);
  ASSERT_TRUE(link.heartbeat(10));
  for (int reset = 0; reset < kResets; ++reset) {
    SCOPED_TRACE(reset);
    ASSERT_EQ(aLink_Reset(link.id), aErrNone);
    EXPECT_EQ(sGetLink(link.id)->packetLog.load(), log);
    const uint8_t x = static_cast<uint8_t>(20 + reset);
    ASSERT_TRUE(link.heartbeat(x));
    EXPECT_TRUE(Eventually([&] { return seen.saw(Heartbeat(x)); }));  // the filter still runs
  }
  ASSERT_TRUE(Eventually([&] {
    return CountOf(consumer.records(), {aPACKETLOG_SENT, HeartbeatAnswer(20 + kResets - 1)}) == 1;
  }));
  consumer.stop();
  std::vector<Record> records = consumer.records();
  const std::vector<Record> rest = ReadLog(link.id);
  records.insert(records.end(), rest.begin(), rest.end());

  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.front(), kStart);
  EXPECT_EQ(CountOf(records, {aPACKETLOG_RECEIVED, Heartbeat(10)}), 1u);
  EXPECT_EQ(CountOf(records, {aPACKETLOG_SENT, HeartbeatAnswer(10)}), 1u);
  // Each reset's stop flushed force-route off, and each restart sent force-route on.
  EXPECT_EQ(CountOf(records, {aPACKETLOG_SENT, kForceRouteOff}), static_cast<size_t>(kResets));
  EXPECT_EQ(CountOf(records, {aPACKETLOG_SENT, kForceRouteOn}), static_cast<size_t>(kResets));
  size_t last = 0;
  for (int reset = 0; reset < kResets; ++reset) {
    const uint8_t x = static_cast<uint8_t>(20 + reset);
    const size_t received = IndexOf(records, {aPACKETLOG_RECEIVED, Heartbeat(x)});
    const size_t answered = IndexOf(records, {aPACKETLOG_SENT, HeartbeatAnswer(x)});
    EXPECT_LT(last, received);
    EXPECT_LT(received, answered);
    EXPECT_LT(answered, records.size());
    last = answered;
  }
  EXPECT_EQ(aLink_InstallUserPacketFilter(link.id, nullptr, nullptr), aErrNone);
}

// The destroy frees the log under the log mutex while a consumer reads it and another caller
// switches it and writes to it; they see the link go (AddressSanitizer and ThreadSanitizer
// watch for freed memory and races).
TEST(PacketLogRecording, DestroyFreesTheLogUnderAReadingThread) {
  TcpLink link;
  ASSERT_TRUE(link.ready()) << link.error();
  ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  ASSERT_EQ(WriteStart(link.id), aErrNone);
  const uint32_t id = link.id;

  Consumer consumer(id);
  consumer.runUntilUnknown();
  std::atomic<bool> stop{false};
  std::thread switcher([&] {
    const uint8_t byte = 0x42;
    while (!stop.load()) {
      if (aLink_PacketDebug_Enable(id) == aErrParam) break;
      aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, 1, &byte);
      aLink_PacketDebug_Disable(id);
      aLink_PacketDebug_Enable(id);
      std::this_thread::yield();
    }
  });
  ASSERT_TRUE(link.heartbeat(5));
  const size_t before = consumer.reads();
  ASSERT_TRUE(Eventually([&] { return consumer.reads() > before + 10; }));

  uint32_t destroyed = link.id;
  EXPECT_EQ(aLink_Destroy(&destroyed), aErrNone);
  link.id = 0;
  EXPECT_TRUE(Eventually([&] { return consumer.sawUnknown(); }));
  stop.store(true);
  switcher.join();
  consumer.stop();
  EXPECT_EQ(consumer.records().front(), kStart);
  EXPECT_EQ(aLink_PacketDebug_Enable(id), aErrParam);
}

// A caller that still holds the record after the destroy finds no log and cannot make one.
TEST(PacketLogRecording, ADestroyedRecordKeepsNoLog) {
  TcpLink link;
  ASSERT_TRUE(link.ready()) << link.error();
  ASSERT_EQ(aLink_PacketDebug_Enable(link.id), aErrNone);
  std::shared_ptr<aLink> record = sGetLink(link.id);
  ASSERT_NE(record->packetLog.load(), nullptr);
  uint32_t destroyed = link.id;
  ASSERT_EQ(aLink_Destroy(&destroyed), aErrNone);
  link.id = 0;
  EXPECT_EQ(record->packetLog.load(), nullptr);
  EXPECT_NE(record->logMutex, nullptr);  // goes with the record
}

}  // namespace
