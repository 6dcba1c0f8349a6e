// Store slots of a module (command 4) through Link: capacity and size, writes in chunks each
// checked against the module's sum, reads into the caller's buffer, every reply fault of the
// stand-in module, late and foreign replies, and the argument checks; each over TCP to the
// stand-in program and on the simulated USB bus.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "Link.h"
#include "api_test_support.h"
#include "standin_test_support.h"

using linktest::Bytes;
using linktest::Link;
using linktest::StandInSpec;
using linktest::Transport;

namespace {

constexpr uint8_t kModule = apitest::kAddress;
constexpr uint8_t kSlotCommand = 4;
// Steps as byte 1 of a request.
constexpr uint8_t kCapacity = 1;
constexpr uint8_t kSize = 2;
constexpr uint8_t kOpenRead = 3;
constexpr uint8_t kOpenWrite = 4;
constexpr uint8_t kRead = 6;
constexpr uint8_t kWrite = 7;
constexpr uint8_t kClose = 8;

// Store 1: slot 0 empty with room for 64 bytes (written by the tests), slot 1 full with 40;
// store 2 slot 3 with a capacity above one byte.
constexpr size_t kWritableCapacity = 64;
constexpr size_t kFullLength = 40;
constexpr size_t kWideCapacity = 300;

Bytes Pattern(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + 7 * i);
  return bytes;
}

const Bytes kFullContent = Pattern(kFullLength, 0x31);

StandInSpec SlotModule() {
  StandInSpec spec;
  spec.slots = {"1:0:" + std::to_string(kWritableCapacity),
                "1:1:" + std::to_string(kFullLength) + ":" + linktest::HexText(kFullContent),
                "2:3:" + std::to_string(kWideCapacity)};
  return spec;
}

// The steps (byte 1) of the slot requests the module got, in order.
std::vector<uint8_t> Steps(const std::vector<Bytes>& requests) {
  return linktest::SecondBytes(requests);
}

class StoreSlotTest : public ::testing::TestWithParam<Transport>, protected linktest::StandInUser {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(start(GetParam(), SlotModule())); }

  std::vector<Bytes> requests() { return standIn().received(kModule, kSlotCommand); }
};

TEST_P(StoreSlotTest, CapacityAndSizeAreTheModulesBigEndianAnswers) {
  auto link = connected();
  size_t value = 0;
  EXPECT_EQ(link->storeSlotCapacity(kModule, 2, 3, &value), aErrNone);
  EXPECT_EQ(value, kWideCapacity);
  EXPECT_EQ(link->storeSlotCapacity(kModule, 1, 1, &value), aErrNone);
  EXPECT_EQ(value, kFullLength);
  EXPECT_EQ(link->storeSlotSize(kModule, 1, 1, &value), aErrNone);
  EXPECT_EQ(value, kFullLength);
  EXPECT_EQ(link->storeSlotSize(kModule, 1, 0, &value), aErrNone);
  EXPECT_EQ(value, 0u);
  // No such slot: the module's own error code.
  EXPECT_EQ(link->storeSlotSize(kModule, 9, 9, &value), aErrNotFound);
  EXPECT_EQ(requests(), (std::vector<Bytes>{{4, kCapacity, 2, 3},
                                            {4, kCapacity, 1, 1},
                                            {4, kSize, 1, 1},
                                            {4, kSize, 1, 0},
                                            {4, kSize, 9, 9}}));
}

TEST_P(StoreSlotTest, WritesGoOutInChunksOfAtMost25BytesAndLandInTheSlot) {
  struct Case {
    size_t length;
    std::vector<size_t> chunks;
  };
  const Case cases[] = {{0, {}}, {25, {25}}, {60, {25, 25, 10}}};
  auto link = connected();
  for (const Case& c : cases) {
    SCOPED_TRACE("write of " + std::to_string(c.length) + " bytes");
    const Bytes data = Pattern(c.length, static_cast<uint8_t>(c.length));
    const size_t before = requests().size();
    // A non-null pointer also for no bytes: null is refused.
    const uint8_t none = 0;
    EXPECT_EQ(link->loadStoreSlot(kModule, 1, 0, c.length ? data.data() : &none, c.length),
              aErrNone);

    const std::vector<Bytes> all = requests();
    ASSERT_GE(all.size(), before + 2);
    const std::vector<Bytes> sent(all.begin() + static_cast<long>(before), all.end());
    EXPECT_EQ(sent.front(), (Bytes{4, kOpenWrite, 1, 0}));
    const uint8_t handle = sent.back().size() > 2 ? sent.back()[2] : 0;
    EXPECT_EQ(sent.back(), (Bytes{4, kClose, handle}));
    ASSERT_EQ(sent.size(), c.chunks.size() + 2);
    size_t offset = 0;
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      const Bytes& write = sent[i + 1];
      ASSERT_EQ(write.size(), 3 + c.chunks[i]) << "chunk " << i;
      EXPECT_EQ(write[1], kWrite);
      EXPECT_EQ(write[2], handle);
      EXPECT_EQ(Bytes(write.begin() + 3, write.end()),
                Bytes(data.begin() + static_cast<long>(offset),
                      data.begin() + static_cast<long>(offset + c.chunks[i])));
      offset += c.chunks[i];
    }
    EXPECT_EQ(standIn().slotContent(1, 0), data);
  }
}

TEST_P(StoreSlotTest, ReadsCopyNoMoreThanTheCallersBufferAndSayWhenItWasShort) {
  struct Case {
    uint8_t slot;
    size_t capacity;
    aErr result;
    size_t count;
    std::vector<uint8_t> steps;
  };
  const Case cases[] = {
      {1, 30, aErrOverrun, 30, {kSize, kOpenRead, kRead, kRead, kClose}},
      {1, 40, aErrNone, 40, {kSize, kOpenRead, kRead, kRead, kClose}},
      {1, 64, aErrNone, 40, {kSize, kOpenRead, kRead, kRead, kClose}},
      {0, 64, aErrNone, 0, {kSize, kOpenRead, kClose}},
  };
  constexpr uint8_t kUntouched = 0xEE;
  auto link = connected();
  for (const Case& c : cases) {
    SCOPED_TRACE("slot " + std::to_string(c.slot) + " into " + std::to_string(c.capacity));
    const size_t before = requests().size();
    Bytes buffer(kWritableCapacity, kUntouched);
    size_t count = 99;
    EXPECT_EQ(link->unloadStoreSlot(kModule, 1, c.slot, buffer.data(), c.capacity, &count),
              c.result);
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(c.count)),
              Bytes(kFullContent.begin(), kFullContent.begin() + static_cast<long>(c.count)));
    for (size_t i = c.count; i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], kUntouched) << "byte " << i << " written past what was read";
    }
    const std::vector<Bytes> all = requests();
    EXPECT_EQ(Steps(std::vector<Bytes>(all.begin() + static_cast<long>(before), all.end())),
              c.steps);
  }
}

TEST_P(StoreSlotTest, ALateReplyToAnAbandonedStepDoesNotAnswerTheNextRequest) {
  auto link = connected();
  ASSERT_TRUE(standIn().slotFault("late:capacity:1"));
  size_t capacity = 0;
  EXPECT_EQ(link->storeSlotCapacity(kModule, 1, 1, &capacity), aErrTimeout);
  // The slot grows while the late answer (the old capacity) is on its way; once it is queued
  // on the link, the next request must get the new capacity.
  ASSERT_TRUE(standIn().setSlot("1:1:50"));
  ASSERT_TRUE(standIn().awaitSent({kModule, 6, 4, kCapacity, 1, 1, 0, kFullLength}));
  ASSERT_NO_FATAL_FAILURE(standIn().inject(*link, {}));
  EXPECT_EQ(link->storeSlotCapacity(kModule, 1, 1, &capacity), aErrNone);
  EXPECT_EQ(capacity, 50u);
}

TEST_P(StoreSlotTest, StaleRepliesQueuedBeforeARequestAreDrained) {
  auto link = connected();
  // Answers of every step to requests this Link never made.
  ASSERT_NO_FATAL_FAILURE(standIn().inject(*link, {{kModule, 6, 4, kCapacity, 1, 1, 0x12, 0x34},
                                                   {kModule, 6, 4, kSize, 1, 1, 0x00, 0x05},
                                                   {kModule, 5, 4, kOpenRead, 1, 1, 0x77}}));
  size_t capacity = 0;
  EXPECT_EQ(link->storeSlotCapacity(kModule, 1, 1, &capacity), aErrNone);
  EXPECT_EQ(capacity, kFullLength);
  Bytes buffer(kFullLength);
  size_t count = 0;
  EXPECT_EQ(link->unloadStoreSlot(kModule, 1, 1, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(count, kFullLength);
  EXPECT_EQ(buffer, kFullContent);
}

TEST_P(StoreSlotTest, ArgumentsThenConnectionThenModuleAddressAreCheckedBeforeAnythingIsSent) {
  auto link = connected();
  Link idle("Idle");
  size_t value = 0;
  uint8_t buffer[8] = {};
  const std::vector<linktest::RefusedCall> calls = {
      {"capacity without output", [](Link& l) { return l.storeSlotCapacity(3, 1, 1, nullptr); },
       true, aErrParam},
      {"size without output", [](Link& l) { return l.storeSlotSize(0, 1, 1, nullptr); }, false,
       aErrParam},
      {"write without data", [](Link& l) { return l.loadStoreSlot(3, 1, 0, nullptr, 0); }, true,
       aErrParam},
      {"read without buffer",
       [&](Link& l) { return l.unloadStoreSlot(3, 1, 1, nullptr, 8, &value); }, true, aErrParam},
      {"read without count",
       [&](Link& l) { return l.unloadStoreSlot(0, 1, 1, buffer, 8, nullptr); }, false, aErrParam},
      {"capacity unconnected", [&](Link& l) { return l.storeSlotCapacity(3, 1, 1, &value); }, true,
       aErrConnection},
      {"write unconnected", [&](Link& l) { return l.loadStoreSlot(0, 1, 0, buffer, 8); }, true,
       aErrConnection},
      {"read unconnected", [&](Link& l) { return l.unloadStoreSlot(3, 1, 1, buffer, 8, &value); },
       true, aErrConnection},
      {"capacity of module 0", [&](Link& l) { return l.storeSlotCapacity(0, 1, 1, &value); }, false,
       aErrPacket},
      {"size of an odd module", [&](Link& l) { return l.storeSlotSize(3, 1, 1, &value); }, false,
       aErrPacket},
      {"write to an odd module", [&](Link& l) { return l.loadStoreSlot(5, 1, 0, buffer, 8); },
       false, aErrPacket},
      {"read of module 0", [&](Link& l) { return l.unloadStoreSlot(0, 1, 1, buffer, 8, &value); },
       false, aErrPacket},
  };
  linktest::ExpectRefusedBeforeSending(calls, *link, idle, standIn(), kSlotCommand);
}

INSTANTIATE_TEST_SUITE_P(Transports, StoreSlotTest, linktest::kTransports, linktest::TransportName);

// --- reply faults ----------------------------------------------------------------------------

enum class Operation { Capacity, Write30, Read40 };

struct FaultCase {
  const char* name;
  const char* fault;  // the stand-in's knob, armed for one request
  Operation operation;
  aErr expected;
  std::vector<uint8_t> steps;       // the requests the module got
  size_t count;                     // reads: the count reported
  const char* alsoArmed = nullptr;  // a second knob armed with the first, or none
};

const FaultCase kFaultCases[] = {
    {"OpenForWritingUnansweredIsNoHandleAndSendsNothingMore",
     "silence:open-write:1",
     Operation::Write30,
     aErrMedia,
     {kOpenWrite},
     0},
    {"OpenForReadingUnansweredIsNoHandle",
     "silence:open-read:1",
     Operation::Read40,
     aErrMedia,
     {kSize, kOpenRead},
     0},
    {"OpenRefusedIsNoHandle",
     "error-code:open-write:1:5",
     Operation::Write30,
     aErrMedia,
     {kOpenWrite},
     0},
    {"OpenReplyCutBeforeItsCodeIsNoHandle",
     "cut-error:open-read:1",
     Operation::Read40,
     aErrMedia,
     {kSize, kOpenRead},
     0},
    {"OpenForWritingAnsweredWithoutItsHandleIsNoHandle",
     "cut-handle:open-write:1",
     Operation::Write30,
     aErrMedia,
     {kOpenWrite},
     0},
    {"OpenForReadingAnsweredWithoutItsHandleIsNoHandle",
     "cut-handle:open-read:1",
     Operation::Read40,
     aErrMedia,
     {kSize, kOpenRead},
     0},
    {"SizeUnansweredTimesOutAndSendsNoOpen",
     "silence:size:1",
     Operation::Read40,
     aErrTimeout,
     {kSize},
     0},
    {"SizeErrorWithCodeZeroIsUnknownNotSuccess",
     "error-code:size:1:0",
     Operation::Read40,
     aErrUnknown,
     {kSize},
     0},
    {"CapacityErrorGivesTheModulesCode",
     "error-code:capacity:1:13",
     Operation::Capacity,
     aErrRange,
     {kCapacity},
     0},
    {"CapacityErrorWithoutItsCodeIsUnknown",
     "cut-error:capacity:1",
     Operation::Capacity,
     aErrUnknown,
     {kCapacity},
     0},
    {"WrongSumFailsTheWriteAndTheSlotIsStillClosed",
     "wrong-sum:write:1",
     Operation::Write30,
     aErrIO,
     {kOpenWrite, kWrite, kClose},
     0},
    {"WriteAnsweredWithoutItsSumFailsTheWriteAndCloses",
     "cut-sum:write:1",
     Operation::Write30,
     aErrIO,
     {kOpenWrite, kWrite, kClose},
     0},
    // A longer answer is judged by its byte 3 all the same.
    {"WriteAnsweredLongerWithTheRightSumSucceeds",
     "long-write:write:1",
     Operation::Write30,
     aErrNone,
     {kOpenWrite, kWrite, kWrite, kClose},
     0},
    {"WriteAnsweredLongerWithAWrongSumFailsTheWriteAndCloses",
     "long-write:write:1",
     Operation::Write30,
     aErrIO,
     {kOpenWrite, kWrite, kClose},
     0,
     "wrong-sum:write:1"},
    {"WriteErrorGivesTheModulesCodeAndCloses",
     "error-code:write:1:15",
     Operation::Write30,
     aErrOverrun,
     {kOpenWrite, kWrite, kClose},
     0},
    {"WriteErrorWithoutItsCodeIsUnknown",
     "cut-error:write:1",
     Operation::Write30,
     aErrUnknown,
     {kOpenWrite, kWrite, kClose},
     0},
    {"WriteUnansweredTimesOutAndCloses",
     "silence:write:1",
     Operation::Write30,
     aErrTimeout,
     {kOpenWrite, kWrite, kClose},
     0},
    {"CloseOfAWrittenSlotUnansweredTimesOut",
     "silence:close:1",
     Operation::Write30,
     aErrTimeout,
     {kOpenWrite, kWrite, kWrite, kClose},
     0},
    {"CloseOfAWrittenSlotRefusedGivesItsCode",
     "error-code:close:1:8",
     Operation::Write30,
     aErrWrite,
     {kOpenWrite, kWrite, kWrite, kClose},
     0},
    {"CloseOfAReadSlotUnansweredKeepsResultAndCount",
     "silence:close:1",
     Operation::Read40,
     aErrNone,
     {kSize, kOpenRead, kRead, kRead, kClose},
     kFullLength},
    {"CloseOfAReadSlotRefusedGivesItsCode",
     "error-code:close:1:9",
     Operation::Read40,
     aErrRead,
     {kSize, kOpenRead, kRead, kRead, kClose},
     0},
    {"ReadErrorGivesTheModulesCodeAndCloses",
     "error-code:read:1:9",
     Operation::Read40,
     aErrRead,
     {kSize, kOpenRead, kRead, kClose},
     0},
    {"ReadErrorWithoutItsCodeIsUnknown",
     "cut-error:read:1",
     Operation::Read40,
     aErrUnknown,
     {kSize, kOpenRead, kRead, kClose},
     0},
    {"ReadUnansweredTimesOutAndCloses",
     "silence:read:1",
     Operation::Read40,
     aErrTimeout,
     {kSize, kOpenRead, kRead, kClose},
     0},
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.name << " (" << c.fault;
  if (c.alsoArmed) *out << ", " << c.alsoArmed;
  *out << ")";
}

using StoreSlotFaultTest = linktest::FaultCaseTest<FaultCase, SlotModule, &StandInSpec::slotFaults>;

TEST_P(StoreSlotFaultTest, AnswersTheFaultAndSendsOnlyTheStepsThatStillMakeSense) {
  const FaultCase& c = faultCase();
  if (c.alsoArmed) {
    ASSERT_TRUE(standIn().slotFault(c.alsoArmed));
  }
  auto link = connected();
  aErr result = aErrNone;
  size_t count = 99;
  switch (c.operation) {
    case Operation::Capacity: {
      size_t capacity = 0;
      result = link->storeSlotCapacity(kModule, 1, 1, &capacity);
      break;
    }
    case Operation::Write30: {
      const Bytes data = Pattern(30, 1);
      result = link->loadStoreSlot(kModule, 1, 0, data.data(), data.size());
      if (result == aErrNone) {
        EXPECT_EQ(standIn().slotContent(1, 0), data);
      }
      break;
    }
    case Operation::Read40: {
      Bytes buffer(kFullLength);
      result = link->unloadStoreSlot(kModule, 1, 1, buffer.data(), buffer.size(), &count);
      if (result == aErrNone) {
        EXPECT_EQ(buffer, kFullContent);
      }
      break;
    }
  }
  EXPECT_EQ(result, c.expected);
  if (c.operation == Operation::Read40) {
    EXPECT_EQ(count, c.count);
  }
  EXPECT_EQ(Steps(standIn().received(kModule, kSlotCommand)), c.steps);
}

INSTANTIATE_TEST_SUITE_P(Faults, StoreSlotFaultTest, linktest::FaultCasesOnTransports(kFaultCases),
                         linktest::FaultCaseName<FaultCase>);

// --- modules behind a router -----------------------------------------------------------------

using linktest::kBehind;
using linktest::kRouter;
// The router's late answer goes out half-way through the routed module's own wait.
constexpr unsigned kRouterLateMs = 1500;

class RoutedStoreSlotTest : public ::testing::TestWithParam<Transport>,
                            protected linktest::StandInUser {
 protected:
  void SetUp() override {
    StandInSpec spec;
    spec.slots = {"1:0:" + std::to_string(kWritableCapacity)};
    spec.slotFaults = {"late:capacity:1:" + std::to_string(kRouterLateMs)};
    ASSERT_NO_FATAL_FAILURE(start(GetParam(), linktest::RouterSpec(spec)));
  }
};

TEST_P(RoutedStoreSlotTest, RepliesFromAnotherModuleOnTheSharedLinkAreNotTaken) {
  auto router = connected("Router");
  auto behind = routedThrough(*router);
  size_t capacity = 0;
  EXPECT_EQ(router->storeSlotCapacity(kRouter, 1, 0, &capacity), aErrTimeout);
  // The module behind has no slots; the router's late answer to the same store and slot
  // arrives on the shared link while the routed module waits, and is not its answer.
  EXPECT_EQ(behind->storeSlotCapacity(kBehind, 1, 0, &capacity), aErrTimeout);
  // A marker sent once the routed wait is over shows that the late answer came within it.
  ASSERT_NO_FATAL_FAILURE(standIn().inject(*router, {}));
  const Bytes late{kRouter, 6, 4, kCapacity, 1, 0, 0, kWritableCapacity};
  const Bytes routedRequest{kBehind, 4, 4, kCapacity, 1, 0};
  const std::vector<kvsim::Record> records = standIn().records();
  size_t routedAt = records.size();
  size_t lateAt = records.size();
  size_t markerAt = records.size();
  for (size_t i = 0; i < records.size(); ++i) {
    const kvsim::Record& record = records[i];
    if (record.direction == kvsim::Direction::In && record.bytes == routedRequest) routedAt = i;
    if (record.direction != kvsim::Direction::Out) continue;
    if (record.bytes == late) lateAt = i;
    if (record.bytes.size() > 2 && record.bytes[2] == linktest::kMarkerCommand) markerAt = i;
  }
  ASSERT_LT(routedAt, records.size()) << "the routed request never reached the router";
  ASSERT_LT(lateAt, markerAt) << "the late answer came after the routed wait: nothing tested";
  // The router's own next request still gets its answer.
  EXPECT_EQ(router->storeSlotCapacity(kRouter, 1, 0, &capacity), aErrNone);
  EXPECT_EQ(capacity, kWritableCapacity);
}

INSTANTIATE_TEST_SUITE_P(Transports, RoutedStoreSlotTest, linktest::kTransports,
                         linktest::TransportName);

}  // namespace
