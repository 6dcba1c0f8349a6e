// Factory data of a module (command 0x5E) through Link: reads and writes in 26-byte pieces
// closed by the end of transfer with its count, the room the caller's buffer must leave, each
// reply fault of the stand-in module, stale and foreign replies, and the argument checks; each
// over TCP to the stand-in program and on the simulated USB bus.
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
constexpr uint8_t kFactory = 0x5E;
constexpr uint8_t kEnd = 0x20;
constexpr size_t kRoom = 64;  // a buffer larger than any kind's data here

Bytes Pattern(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + 5 * i);
  return bytes;
}

// Kind 3 holds 30 bytes, kind 4 exactly one piece (26), kind 5 nothing.
const Bytes kKind3 = Pattern(30, 0x10);
const Bytes kKind4 = Pattern(26, 0x80);

StandInSpec FactoryModule() {
  StandInSpec spec;
  spec.factoryData = true;
  spec.factory = {"3:" + linktest::HexText(kKind3), "4:" + linktest::HexText(kKind4), "5:"};
  return spec;
}

Bytes EndOfTransfer(size_t count) {
  return {kFactory, kEnd, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
}

Bytes Join(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

Bytes Slice(const Bytes& bytes, size_t from, size_t to) {
  return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to));
}

class FactoryDataTest : public ::testing::TestWithParam<Transport>,
                        protected linktest::StandInUser {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(start(GetParam(), FactoryModule())); }

  std::vector<Bytes> requests() { return standIn().received(kModule, kFactory); }
  std::vector<Bytes> requestsSince(size_t before) {
    const std::vector<Bytes> all = requests();
    return std::vector<Bytes>(all.begin() + static_cast<long>(before), all.end());
  }
};

TEST_P(FactoryDataTest, ReadsAskUntilAShortPieceAndEndWithTheCount) {
  struct Case {
    uint8_t kind;
    size_t capacity;
    aErr result;
    Bytes data;  // what the buffer receives, count included
    std::vector<Bytes> requests;
  };
  const Case cases[] = {
      {5, kRoom, aErrNone, {}, {{kFactory, 0x45}, EndOfTransfer(0)}},
      // One full piece: asked once more, the empty answer ends it.
      {4, kRoom, aErrNone, kKind4, {{kFactory, 0x44}, {kFactory, 4}, EndOfTransfer(26)}},
      {3, kRoom, aErrNone, kKind3, {{kFactory, 0x43}, {kFactory, 3}, EndOfTransfer(30)}},
      // The buffer must hold one byte more than the data.
      {3, 31, aErrNone, kKind3, {{kFactory, 0x43}, {kFactory, 3}, EndOfTransfer(30)}},
      {3, 30, aErrOverrun, {}, {{kFactory, 0x43}, {kFactory, 3}}},
      {4, 26, aErrOverrun, {}, {{kFactory, 0x44}}},
      {5, 0, aErrOverrun, {}, {{kFactory, 0x45}}},
  };
  constexpr uint8_t kUntouched = 0xEE;
  auto link = connected();
  for (const Case& c : cases) {
    SCOPED_TRACE("kind " + std::to_string(c.kind) + " into " + std::to_string(c.capacity));
    const size_t before = requests().size();
    Bytes buffer(kRoom, kUntouched);
    size_t count = 99;
    EXPECT_EQ(link->getFactoryData(kModule, c.kind, buffer.data(), c.capacity, &count), c.result);
    EXPECT_EQ(count, c.data.size());
    EXPECT_EQ(Slice(buffer, 0, c.data.size()), c.data);
    for (size_t i = c.capacity; i < buffer.size(); ++i) {
      ASSERT_EQ(buffer[i], kUntouched) << "byte " << i << " is beyond the buffer's capacity";
    }
    EXPECT_EQ(requestsSince(before), c.requests);
  }
}

TEST_P(FactoryDataTest, WritesGoOutInPiecesOf26WithFirstAndNextOptionsThenTheEnd) {
  auto link = connected();
  for (size_t length : {size_t{0}, size_t{26}, size_t{30}}) {
    SCOPED_TRACE("write of " + std::to_string(length) + " bytes");
    const Bytes data = Pattern(length, static_cast<uint8_t>(length + 1));
    std::vector<Bytes> expected;
    if (length > 0)
      expected.push_back(Join({kFactory, 0x53}, Slice(data, 0, length < 26 ? length : 26)));
    if (length > 26) expected.push_back(Join({kFactory, 0x13}, Slice(data, 26, length)));
    expected.push_back(EndOfTransfer(length));
    const size_t before = requests().size();
    const uint8_t none = 0;
    EXPECT_EQ(link->setFactoryData(kModule, 3, length ? data.data() : &none, length), aErrNone);
    EXPECT_EQ(requestsSince(before), expected);
    // A write of nothing sends only the end, which leaves the kind as it was.
    EXPECT_EQ(standIn().factoryKind(3), length > 0 ? data : kKind3);
  }
}

TEST_P(FactoryDataTest, AWritePast65535BytesEndsWithTheLow16BitsOfItsCount) {
  // 0x1001E bytes: the end carries 0x001E, which is what the module counts too.
  constexpr size_t kLongLength = 0x10000 + 30;
  const Bytes data = Pattern(kLongLength, 3);
  auto link = connected();
  EXPECT_EQ(link->setFactoryData(kModule, 3, data.data(), data.size()), aErrNone);
  const std::vector<Bytes> sent = requests();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back(), (Bytes{kFactory, kEnd, 0x00, 0x1E}));
  constexpr size_t kPieceBytes = 26;
  EXPECT_EQ(sent.size(), (kLongLength + kPieceBytes - 1) / kPieceBytes + 1)
      << "pieces of 26 and the end";
  // The module keeps a write only at an end whose count matches.
  EXPECT_EQ(standIn().factoryKind(3), data);
}

TEST_P(FactoryDataTest, StaleRepliesQueuedBeforeARequestAreDrained) {
  auto link = connected();
  ASSERT_NO_FATAL_FAILURE(standIn().inject(*link, {{kModule, 4, kFactory, 3, 0xAA, 0xBB},
                                                   {kModule, 2, kFactory, 0x00},
                                                   {kModule, 3, kFactory, 0x83, 12}}));
  Bytes buffer(kRoom);
  size_t count = 0;
  EXPECT_EQ(link->getFactoryData(kModule, 3, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(Slice(buffer, 0, count), kKind3);
}

TEST_P(FactoryDataTest, ArgumentsThenConnectionThenModuleAddressAreCheckedBeforeAnythingIsSent) {
  auto link = connected();
  Link idle("Idle");
  uint8_t buffer[8] = {};
  size_t count = 0;
  const std::vector<linktest::RefusedCall> calls = {
      {"read without buffer", [&](Link& l) { return l.getFactoryData(3, 3, nullptr, 8, &count); },
       true, aErrParam},
      {"read without count", [&](Link& l) { return l.getFactoryData(0, 3, buffer, 8, nullptr); },
       false, aErrParam},
      {"write without data", [&](Link& l) { return l.setFactoryData(3, 3, nullptr, 0); }, true,
       aErrParam},
      // A kind above 15 would turn into the option bits of other requests.
      {"read of kind 16", [&](Link& l) { return l.getFactoryData(kModule, 16, buffer, 8, &count); },
       false, aErrParam},
      {"write of kind 0x10", [&](Link& l) { return l.setFactoryData(kModule, 0x10, buffer, 8); },
       false, aErrParam},
      {"read unconnected", [&](Link& l) { return l.getFactoryData(3, 3, buffer, 8, &count); }, true,
       aErrConnection},
      {"write unconnected", [&](Link& l) { return l.setFactoryData(0, 3, buffer, 8); }, true,
       aErrConnection},
      {"read of module 0", [&](Link& l) { return l.getFactoryData(0, 3, buffer, 8, &count); },
       false, aErrPacket},
      {"write to an odd module", [&](Link& l) { return l.setFactoryData(7, 3, buffer, 8); }, false,
       aErrPacket},
  };
  linktest::ExpectRefusedBeforeSending(calls, *link, idle, standIn(), kFactory);
}

INSTANTIATE_TEST_SUITE_P(Transports, FactoryDataTest, linktest::kTransports,
                         linktest::TransportName);

// --- reply faults ----------------------------------------------------------------------------

enum class Operation { Read, ReadWithoutRoom, Write30 };

struct FaultCase {
  const char* name;
  const char* fault;  // the stand-in's knob, armed for one packet
  Operation operation;
  aErr expected;
  std::vector<uint8_t> options;  // byte 1 of each request the module got
};

const FaultCase kFaultCases[] = {
    {"ReadErrorGivesTheModulesCode", "error-code:read:1:9", Operation::Read, aErrRead, {0x43}},
    {"ReadErrorGivesItsCodeBeforeTheRoomIsChecked",
     "error-code:read:1:9",
     Operation::ReadWithoutRoom,
     aErrRead,
     {0x43}},
    {"ReadErrorWithoutItsCodeIsUnknown", "cut-error:read:1", Operation::Read, aErrUnknown, {0x43}},
    {"ReadUnansweredTimesOut", "silence:read:1", Operation::Read, aErrTimeout, {0x43}},
    {"EndOfAReadRefusedGivesItsCode",
     "error-code:end:1:12",
     Operation::Read,
     aErrPermission,
     {0x43, 0x03, kEnd}},
    {"EndOfAReadRefusedWithoutItsCodeIsUnknown",
     "cut-error:end:1",
     Operation::Read,
     aErrUnknown,
     {0x43, 0x03, kEnd}},
    {"EndOfAReadUnansweredTimesOut",
     "silence:end:1",
     Operation::Read,
     aErrTimeout,
     {0x43, 0x03, kEnd}},
    {"EndAcknowledgedWithExtraBytesStillSucceeds",
     "ack-length:end:1",
     Operation::Read,
     aErrNone,
     {0x43, 0x03, kEnd}},
    {"WriteErrorGivesTheModulesCodeAndEndsNothing",
     "error-code:write:1:12",
     Operation::Write30,
     aErrPermission,
     {0x53}},
    {"WriteErrorWithoutItsCodeIsUnknown",
     "cut-error:write:1",
     Operation::Write30,
     aErrUnknown,
     {0x53}},
    {"WriteUnansweredTimesOut", "silence:write:1", Operation::Write30, aErrTimeout, {0x53}},
    {"WriteAcknowledgementOfAnotherLengthIsASizeError",
     "ack-length:write:1",
     Operation::Write30,
     aErrSize,
     {0x53}},
    {"EndOfAWriteRefusedGivesItsCode",
     "error-code:end:1:12",
     Operation::Write30,
     aErrPermission,
     {0x53, 0x13, kEnd}},
    {"EndOfAWriteUnansweredTimesOut",
     "silence:end:1",
     Operation::Write30,
     aErrTimeout,
     {0x53, 0x13, kEnd}},
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name << " (" << c.fault << ")"; }

using FactoryDataFaultTest =
    linktest::FaultCaseTest<FaultCase, FactoryModule, &StandInSpec::factoryFaults>;

TEST_P(FactoryDataFaultTest, AnswersTheFaultAndSendsNothingAfterIt) {
  const FaultCase& c = faultCase();
  auto link = connected();
  aErr result = aErrNone;
  Bytes buffer(kRoom);
  size_t count = 99;
  switch (c.operation) {
    case Operation::Read:
      result = link->getFactoryData(kModule, 3, buffer.data(), buffer.size(), &count);
      EXPECT_EQ(count, result == aErrNone ? kKind3.size() : 0u);
      break;
    case Operation::ReadWithoutRoom:
      result = link->getFactoryData(kModule, 3, buffer.data(), 0, &count);
      EXPECT_EQ(count, 0u);
      break;
    case Operation::Write30: {
      const Bytes data = Pattern(30, 9);
      result = link->setFactoryData(kModule, 3, data.data(), data.size());
      break;
    }
  }
  EXPECT_EQ(result, c.expected);
  EXPECT_EQ(linktest::SecondBytes(standIn().received(kModule, kFactory)), c.options);
}

INSTANTIATE_TEST_SUITE_P(Faults, FactoryDataFaultTest,
                         linktest::FaultCasesOnTransports(kFaultCases),
                         linktest::FaultCaseName<FaultCase>);

// --- modules behind a router -----------------------------------------------------------------

using linktest::kBehind;
using linktest::kRouter;

class RoutedFactoryDataTest : public ::testing::TestWithParam<Transport>,
                              protected linktest::StandInUser {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(start(GetParam(), linktest::RouterSpec(FactoryModule())));
  }
};

TEST_P(RoutedFactoryDataTest, TheRoutersAnswersOnTheSharedLinkAreNotTheRoutedModules) {
  auto router = connected("Router");
  auto behind = routedThrough(*router);
  // The router answers a read of its own; that answer waits on the shared link while the
  // module behind (which has no factory data) is asked for the same kind.
  ASSERT_NO_FATAL_FAILURE(standIn().inject(
      *router, {{kRouter, 4, kFactory, 3, 0xAA, 0xBB}, {kRouter, 2, kFactory, 0x00}}));
  Bytes buffer(kRoom);
  size_t count = 0;
  EXPECT_EQ(behind->getFactoryData(kBehind, 3, buffer.data(), buffer.size(), &count), aErrTimeout);
  EXPECT_EQ(standIn().received(kBehind, kFactory), (std::vector<Bytes>{{kFactory, 0x43}}));
  // The router's own read drains them and gets its data.
  EXPECT_EQ(router->getFactoryData(kRouter, 3, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(Slice(buffer, 0, count), kKind3);
}

INSTANTIATE_TEST_SUITE_P(Transports, RoutedFactoryDataTest, linktest::kTransports,
                         linktest::TransportName);

}  // namespace
