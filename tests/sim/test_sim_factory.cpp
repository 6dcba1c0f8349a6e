// Factory data of the stand-in module (command 0x5E), checked byte for byte against the
// transfer layouts: reads and writes of 0, 26 and 30 bytes, the end-of-transfer count, the
// error replies, each fault knob, and the text forms of kinds and faults.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "exchange_test_support.h"
#include "parts_test_support.h"
#include "sim_factory.h"
#include "sim_module_core.h"
#include "sim_module_setup.h"

namespace {

using kvsim::Bytes;
using kvsim::counting;
using kvsim::FactoryData;
using kvsim::FactoryFault;
using kvsim::FactoryPacket;
using kvsim::join;
using kvsim::ModuleConfig;
using kvsim::ModuleCore;
using kvsim::Packet;

constexpr uint8_t kAddress = 6;
constexpr uint8_t kKind = 3;
constexpr uint8_t kCode = 0x1D;

Bytes piece(const Bytes& bytes, size_t from, size_t count) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

Bytes endOf(size_t count) {
  return {0x5E, 0x20, static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)};
}

struct SimFactory : ::testing::Test {
  SimFactory() : core(kvsim::configAt(kAddress)), factory(FactoryData::attach(core)) {}
  std::vector<Bytes> ask(const Bytes& data) { return kvsim::askData(core, kAddress, data); }
  Bytes one(const Bytes& data) { return kvsim::askOne(core, kAddress, data); }
  // The host's read: first, then next while the reply held 28 data bytes; the data read.
  Bytes read(uint8_t kind) {
    Bytes data;
    Bytes reply;
    bool first = true;
    do {
      reply = one({0x5E, static_cast<uint8_t>(first ? kind | 0x40 : kind)});
      first = false;
      EXPECT_GE(reply.size(), 2u);
      if (reply.size() < 2) break;
      EXPECT_EQ(reply[0], 0x5E);
      EXPECT_EQ(reply[1], kind);
      data.insert(data.end(), reply.begin() + 2, reply.end());
    } while (reply.size() == 28);
    return data;
  }
  ModuleCore core;
  std::shared_ptr<FactoryData> factory;
};

TEST_F(SimFactory, ReadsGoInPiecesOf26AndEndOnAShorterReply) {
  for (size_t length : {0u, 26u, 30u}) {
    const Bytes data = counting(length, 0x40);
    factory->setKind(kKind, data);
    std::vector<size_t> pieces;
    Bytes got;
    Bytes reply = one({0x5E, kKind | 0x40});
    for (;;) {
      pieces.push_back(reply.size() - 2);
      got.insert(got.end(), reply.begin() + 2, reply.end());
      if (reply.size() < 28) break;
      reply = one({0x5E, kKind});
    }
    EXPECT_EQ(got, data) << length;
    const std::vector<size_t> expected = length == 0    ? std::vector<size_t>{0}
                                         : length == 26 ? std::vector<size_t>{26, 0}
                                                        : std::vector<size_t>{26, 4};
    EXPECT_EQ(pieces, expected) << length;
    EXPECT_EQ(one(endOf(length)), (Bytes{0x5E, 0x00})) << length;
  }
}

TEST_F(SimFactory, WritesTakeEffectAtTheirEndOfTransfer) {
  for (size_t length : {26u, 30u}) {
    const Bytes data = counting(length, static_cast<uint8_t>(length));
    factory->setKind(kKind, {1, 2, 3});
    EXPECT_EQ(one(join({0x5E, kKind | 0x50}, piece(data, 0, 26))), (Bytes{0x5E, kKind})) << length;
    if (length > 26) {
      EXPECT_EQ(one(join({0x5E, kKind | 0x10}, piece(data, 26, length - 26))), (Bytes{0x5E, kKind}))
          << length;
    }
    EXPECT_EQ(factory->kind(kKind), (Bytes{1, 2, 3})) << "staged until the end";
    EXPECT_EQ(one(endOf(length)), (Bytes{0x5E, 0x00})) << length;
    EXPECT_EQ(factory->kind(kKind), data) << length;
    EXPECT_EQ(read(kKind), data) << length;
    EXPECT_EQ(one(endOf(length)), (Bytes{0x5E, 0x00}));
  }
  EXPECT_EQ(one(endOf(0)), (Bytes{0x5E, 0x00})) << "a write of nothing sends only the end";
  EXPECT_EQ(factory->kind(kKind), counting(30, 30));
}

TEST_F(SimFactory, AnEndWhoseCountIsNotTheBytesMovedIsRefusedAndDropsTheWrite) {
  factory->setKind(kKind, {9});
  EXPECT_EQ(one(join({0x5E, kKind | 0x50}, counting(5))), (Bytes{0x5E, kKind}));
  EXPECT_EQ(one(endOf(6)), (Bytes{0x5E, 0x80, kvsim::kFactoryErrCount}));
  EXPECT_EQ(factory->kind(kKind), (Bytes{9}));
  EXPECT_EQ(one(endOf(5)), (Bytes{0x5E, 0x80, kvsim::kFactoryErrCount})) << "the transfer ended";
  factory->setKind(kKind, counting(3));
  read(kKind);
  EXPECT_EQ(one(endOf(4)), (Bytes{0x5E, 0x80, kvsim::kFactoryErrCount})) << "reads are counted too";
}

TEST_F(SimFactory, PacketsOutsideATransferOrOfNoShapeGetErrorReplies) {
  struct Case {
    const char* what;
    Bytes request;
    Bytes reply;
  };
  const Case cases[] = {
      {"read next without a first",
       {0x5E, kKind},
       {0x5E, kKind | 0x80, kvsim::kFactoryErrSequence}},
      {"write next without a first",
       {0x5E, kKind | 0x10, 1},
       {0x5E, kKind | 0x80, kvsim::kFactoryErrSequence}},
      {"read with data", {0x5E, kKind | 0x40, 0}, {0x5E, kKind | 0x80, kvsim::kFactoryErrParam}},
      {"unknown option", {0x5E, 0x63}, {0x5E, 0x83, kvsim::kFactoryErrParam}},
      {"end too short", {0x5E, 0x20, 0}, {0x5E, 0x80, kvsim::kFactoryErrParam}},
  };
  for (const Case& c : cases) EXPECT_EQ(one(c.request), c.reply) << c.what;
  EXPECT_EQ(one({0x5E, 0x45}), (Bytes{0x5E, 5}));
  EXPECT_EQ(one({0x5E, 0x06}), (Bytes{0x5E, 0x86, kvsim::kFactoryErrSequence}))
      << "next of another kind";
  EXPECT_TRUE(ask({0x5E, 0x83, 1}).empty()) << "a reply of a peer gets no answer";
}

struct KnobCase {
  const char* name;
  FactoryPacket packet;
  FactoryFault fault;
  Bytes reply;  // empty: none
};

class SimFactoryKnob : public SimFactory, public ::testing::WithParamInterface<KnobCase> {};

TEST_P(SimFactoryKnob, ShapesOneReplyAndThenSwitchesOff) {
  const KnobCase& c = GetParam();
  factory->setKind(kKind, counting(4));
  factory->setFault(c.packet, c.fault, 1, kCode);
  const bool tookEffect = c.fault != FactoryFault::ErrorCode && c.fault != FactoryFault::CutError;
  const Bytes write = join({0x5E, kKind | 0x50}, {7, 7});
  auto expectReply = [&](const Bytes& request) {
    EXPECT_EQ(ask(request), c.reply.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{c.reply});
  };
  switch (c.packet) {
    case FactoryPacket::Read:
      expectReply({0x5E, kKind | 0x40});
      EXPECT_EQ(one(endOf(tookEffect ? 4 : 0)), (Bytes{0x5E, 0}))
          << "bytes moved: only when it took effect";
      EXPECT_EQ(read(kKind), counting(4)) << "the knob fired once";
      break;
    case FactoryPacket::Write:
      expectReply(write);
      EXPECT_EQ(one(endOf(tookEffect ? 2 : 0)), (Bytes{0x5E, 0}));
      EXPECT_EQ(factory->kind(kKind), tookEffect ? (Bytes{7, 7}) : counting(4));
      EXPECT_EQ(one(write), (Bytes{0x5E, kKind})) << "the knob fired once";
      break;
    case FactoryPacket::End:
      EXPECT_EQ(one(write), (Bytes{0x5E, kKind}));
      expectReply(endOf(2));
      EXPECT_EQ(factory->kind(kKind), tookEffect ? (Bytes{7, 7}) : counting(4));
      EXPECT_EQ(one(endOf(tookEffect ? 0 : 2)), (Bytes{0x5E, 0}))
          << "a refused end leaves the transfer open";
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Knobs, SimFactoryKnob,
    ::testing::Values(
        KnobCase{"ErrorCodeOfRead",
                 FactoryPacket::Read,
                 FactoryFault::ErrorCode,
                 {0x5E, kKind | 0x80, kCode}},
        KnobCase{"ErrorCodeOfWrite",
                 FactoryPacket::Write,
                 FactoryFault::ErrorCode,
                 {0x5E, kKind | 0x80, kCode}},
        KnobCase{
            "ErrorCodeOfEnd", FactoryPacket::End, FactoryFault::ErrorCode, {0x5E, 0x80, kCode}},
        KnobCase{
            "CutErrorOfRead", FactoryPacket::Read, FactoryFault::CutError, {0x5E, kKind | 0x80}},
        KnobCase{"CutErrorOfEnd", FactoryPacket::End, FactoryFault::CutError, {0x5E, 0x80}},
        KnobCase{"SilentRead", FactoryPacket::Read, FactoryFault::Silence, {}},
        KnobCase{"SilentWrite", FactoryPacket::Write, FactoryFault::Silence, {}},
        KnobCase{"SilentEnd", FactoryPacket::End, FactoryFault::Silence, {}},
        KnobCase{"LongWriteAcknowledgement",
                 FactoryPacket::Write,
                 FactoryFault::AckLength,
                 {0x5E, kKind, 0}},
        KnobCase{
            "LongEndAcknowledgement", FactoryPacket::End, FactoryFault::AckLength, {0x5E, 0, 0}}),
    [](const ::testing::TestParamInfo<KnobCase>& param) { return param.param.name; });

TEST(SimFactoryText, KindAndFaultForms) {
  std::string error;
  auto kind = kvsim::parseFactoryKind("15:0102", &error);
  ASSERT_TRUE(kind) << error;
  EXPECT_EQ(kind->first, 15);
  EXPECT_EQ(kind->second, (Bytes{1, 2}));
  auto empty = kvsim::parseFactoryKind("0:", &error);
  ASSERT_TRUE(empty) << error;
  EXPECT_TRUE(empty->second.empty());
  auto fault = kvsim::parseFactoryFault("error-code:end:every:0x1D", &error);
  ASSERT_TRUE(fault) << error;
  EXPECT_EQ(fault->fault, FactoryFault::ErrorCode);
  EXPECT_EQ(fault->packet, FactoryPacket::End);
  EXPECT_EQ(fault->count, kvsim::kEvery);
  EXPECT_EQ(fault->code, 0x1D);

  for (const char* bad : {"16:00", "1", "1:0G", "x:00"})
    EXPECT_FALSE(kvsim::parseFactoryKind(bad, &error)) << bad;
  for (const char* bad : {"silence:read", "silence:open:1", "bogus:read:1", "error-code:read:1",
                          "silence:read:1:5", "ack-length:read:1", "error-code:end:1:256"})
    EXPECT_FALSE(kvsim::parseFactoryFault(bad, &error)) << bad;
}

}  // namespace
