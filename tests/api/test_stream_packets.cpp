// Stream keys, wildcard masks and the decoding of stream packets, and what a Link makes of
// each kind of packet: which callbacks run and what the value cache holds afterwards.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Link.h"
#include "aPacket.h"
#include "stream_test_support.h"

using kvsim::Bytes;
using streamtest::SampleData;
using Zentrova::Kolvantis::Link;

namespace {

aPacket MakePacket(uint8_t address, const Bytes& data) {
  aPacket packet{};
  packet.check = aPACKETCHECK;
  packet.address = address;
  packet.dataSize = static_cast<uint8_t>(data.size());
  for (size_t i = 0; i < data.size() && i < aPACKETMAXDATA; ++i) packet.data[i] = data[i];
  packet.byteCount = static_cast<uint8_t>(data.size() + 2);
  return packet;
}

// A sample one byte longer (a 0x00 before the trailer) or shorter (its last value byte gone).
Bytes Longer(Bytes data) {
  data.insert(data.end() - 1, 0x00);
  return data;
}
Bytes Shorter(Bytes data) {
  data.erase(data.end() - 2);
  return data;
}
Bytes WithTrailer(Bytes data, uint8_t trailer) {
  data.back() = trailer;
  return data;
}
Bytes WithByte(Bytes data, size_t at, uint8_t value) {
  data[at] = value;
  return data;
}

constexpr uint64_t kStamp = 0x0102030405060708ull;

struct PacketCase {
  const char* name;
  Bytes data;
  bool stream;       // getStreamPacketType holds (the filter consumes it)
  int kind;          // the kind it gives
  aErr sample;       // getStreamSample's answer
  uint32_t value;    // with aErrNone
  uint8_t subindex;  // with aErrNone
};

// Every packet of the table uses its own option, so each has a cache key of its own.
std::vector<PacketCase> PacketCases() {
  return {
      {"u8", SampleData(3, 1, 0, 1, 0xAB, kStamp), true, 1, aErrNone, 0xAB, 0},
      {"u8_long", Longer(SampleData(3, 2, 0, 1, 0xAB, kStamp)), true, 1, aErrPacket, 0, 0},
      {"u8_short", Shorter(SampleData(3, 3, 0, 1, 0xAB, kStamp)), true, 1, aErrPacket, 0, 0},
      {"u16", SampleData(3, 4, 0, 2, 0xBEEF, kStamp), true, 2, aErrNone, 0xBEEF, 0},
      {"u16_long", Longer(SampleData(3, 5, 0, 2, 0xBEEF, kStamp)), true, 2, aErrPacket, 0, 0},
      {"u16_short", Shorter(SampleData(3, 6, 0, 2, 0xBEEF, kStamp)), true, 2, aErrPacket, 0, 0},
      {"u32", SampleData(3, 7, 0, 3, 0xFEEDF00D, kStamp), true, 3, aErrNone, 0xFEEDF00D, 0},
      {"u32_long", Longer(SampleData(3, 8, 0, 3, 1, kStamp)), true, 3, aErrPacket, 0, 0},
      {"u32_short", Shorter(SampleData(3, 9, 0, 3, 1, kStamp)), true, 3, aErrPacket, 0, 0},
      {"u8_sub", SampleData(3, 10, 0, 5, 0x5A, kStamp, 9), true, 5, aErrNone, 0x5A, 9},
      {"u8_sub_long", Longer(SampleData(3, 11, 0, 5, 1, kStamp, 9)), true, 5, aErrPacket, 0, 0},
      {"u8_sub_short", Shorter(SampleData(3, 12, 0, 5, 1, kStamp, 9)), true, 5, aErrPacket, 0, 0},
      {"u16_sub", SampleData(3, 13, 0, 6, 0x1234, kStamp, 2), true, 6, aErrNone, 0x1234, 2},
      {"u16_sub_long", Longer(SampleData(3, 14, 0, 6, 1, kStamp, 2)), true, 6, aErrPacket, 0, 0},
      {"u16_sub_short", Shorter(SampleData(3, 15, 0, 6, 1, kStamp, 2)), true, 6, aErrPacket, 0, 0},
      {"u32_sub", SampleData(3, 16, 0, 7, 0xFFFFFFFF, kStamp, 31), true, 7, aErrNone, 0xFFFFFFFF,
       31},
      {"u32_sub_long", Longer(SampleData(3, 17, 0, 7, 1, kStamp, 3)), true, 7, aErrPacket, 0, 0},
      {"u32_sub_short", Shorter(SampleData(3, 18, 0, 7, 1, kStamp, 3)), true, 7, aErrPacket, 0, 0},
      // Byte-string chunks: a trailer with a sequence number or the continuation bit.
      {"bytes_sequence", WithTrailer(SampleData(3, 19, 0, 3, 1), 0x01), true, 4, aErrSize, 0, 0},
      {"bytes_continued", WithTrailer(SampleData(3, 20, 0, 1, 1), 0x80), true, 4, aErrSize, 0, 0},
      {"bytes_both", WithTrailer(SampleData(3, 21, 0, 2, 1), 0x85), true, 4, aErrSize, 0, 0},
      {"bytes_by_kind", SampleData(3, 22, 0, 4, 1), true, 4, aErrSize, 0, 0},
      {"bytes_short_chunk", {3, 23, 0x40, 0xAA, 0x81}, true, 4, aErrSize, 0, 0},
      // Stream packets of no kind, and packets that are no stream packets at all.
      {"kind_0", SampleData(3, 24, 0, 0, 1), false, 0, aErrPacket, 0, 0},
      {"kind_8", WithByte(SampleData(3, 25, 0, 3, 1), 3, 8), false, 0, aErrPacket, 0, 0},
      {"option_get_bit", WithByte(SampleData(3, 26, 0, 3, 1), 1, 0x40 | 26), false, 0, aErrPacket,
       0, 0},
      {"option_set_bit", WithByte(SampleData(3, 27, 0, 3, 1), 1, 0x80 | 27), false, 0, aErrPacket,
       0, 0},
      {"no_stream_bit", WithByte(SampleData(3, 28, 0, 3, 1), 2, 0x20), false, 0, aErrPacket, 0, 0},
      {"four_bytes", {3, 29, 0x40, 1}, false, 0, aErrPacket, 0, 0},
      {"not_uei_command", SampleData(4, 30, 0, 3, 1), false, 0, aErrPacket, 0, 0},
  };
}

TEST(StreamPackets, EachKindLengthAndTrailerDecodesAsSpecified) {
  for (const PacketCase& c : PacketCases()) {
    SCOPED_TRACE(c.name);
    const aPacket packet = MakePacket(2, c.data);
    Link::STREAM_PACKET kind = Link::STREAM_U32;
    EXPECT_EQ(Link::getStreamPacketType(&packet, &kind), c.stream);
    EXPECT_EQ(static_cast<int>(kind), c.kind);
    EXPECT_EQ(Link::isStreamSample(&packet), c.sample == aErrNone);
    uint64_t timestamp = 0;
    uint32_t value = 0xDEAD;
    uint8_t subindex = 0xEE;
    EXPECT_EQ(Link::getStreamSample(&packet, &timestamp, &value, &subindex), c.sample);
    if (c.sample == aErrNone) {
      EXPECT_EQ(value, c.value);
      EXPECT_EQ(timestamp, kStamp);
      EXPECT_EQ(subindex, c.subindex);
    } else {
      EXPECT_EQ(value, 0xDEADu) << "a failed decode writes nothing";
    }
  }
}

TEST(StreamPackets, SampleOutputsMayEachBeLeftOut) {
  const aPacket packet = MakePacket(2, SampleData(3, 1, 0, 6, 0x4321, kStamp, 7));
  EXPECT_EQ(Link::getStreamSample(&packet, nullptr, nullptr, nullptr), aErrNone);
  uint8_t subindex = 0;
  EXPECT_EQ(Link::getStreamSample(&packet, nullptr, nullptr, &subindex), aErrNone);
  EXPECT_EQ(subindex, 7);
  EXPECT_FALSE(Link::getStreamPacketType(nullptr, nullptr));
  EXPECT_EQ(Link::getStreamSample(nullptr, nullptr, nullptr, nullptr), aErrPacket);
}

// A length byte above the packet's room must not make the decoder read past its data.
TEST(StreamPackets, OversizedDataLengthIsNoStreamPacket) {
  aPacket packet = MakePacket(2, SampleData(3, 1, 0, 3, 1));
  packet.dataSize = aPACKETMAXDATA + 1;
  EXPECT_FALSE(Link::isStreamPacket(&packet));
  EXPECT_FALSE(Link::getStreamPacketType(&packet, nullptr));
  EXPECT_EQ(Link::getStreamSample(&packet, nullptr, nullptr, nullptr), aErrPacket);
}

TEST(StreamPackets, TimestampSplitsIntoItsHalves) {
  uint32_t high = 0, low = 0;
  EXPECT_EQ(Link::getTimestampParts(kStamp, &high, &low), aErrNone);
  EXPECT_EQ(high, 0x01020304u);
  EXPECT_EQ(low, 0x05060708u);
  EXPECT_EQ(Link::getTimestampParts(kStamp, nullptr, &low), aErrNone);
  EXPECT_EQ(Link::getTimestampParts(kStamp, &high, nullptr), aErrNone);
}

TEST(StreamKeys, FieldsSitWhereTheKeyLayoutPutsThem) {
  const uint64_t key = Link::createStreamKey(0x02, 0x03, 0x08, 0x01, 0x05);
  EXPECT_EQ(key, 0x0502030801ull);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::MODULE), 0x02);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::COMMAND), 0x03);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::OPTION), 0x08);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::INDEX), 0x01);
  EXPECT_EQ(Link::getStreamKeyElement(key, Link::SUBINDEX), 0x05);
  EXPECT_EQ(Link::getStreamKeyElement(key, static_cast<Link::STREAM_KEY>(5)), 0);
  EXPECT_EQ(Link::createStreamKey(0xFF, 0xFF, 0xFF, 0xFF, 0xFF), 0xFFFFFFFFFFull);
}

TEST(StreamKeys, WildcardMasksInTheirOrder) {
  const uint64_t expected[] = {0xFF,         0xFF00,       0xFFFF,       0xFF0000,
                               0xFF00FF,     0xFFFF00,     0xFFFFFF,     0xFF00000000,
                               0xFF000000FF, 0xFF0000FF00, 0xFF0000FFFF, 0xFF00FF0000,
                               0xFF00FF00FF, 0xFF00FFFF00, 0xFF00FFFFFF};
  for (uint8_t n = 0; n < 15; ++n)
    EXPECT_EQ(Link::_getGenericStreamKeyMask(n), expected[n]) << int(n);
  EXPECT_EQ(Link::_getGenericStreamKeyMask(15), 0u);
  EXPECT_EQ(Link::_getGenericStreamKeyMask(0xFF), 0u);
  EXPECT_TRUE(Link::isSubindexType(Link::STREAM_U8_SUBINDEX));
  EXPECT_TRUE(Link::isSubindexType(Link::STREAM_U32_SUBINDEX));
  EXPECT_FALSE(Link::isSubindexType(Link::STREAM_U32));
  EXPECT_FALSE(Link::isSubindexType(Link::STREAM_BYTES));
}

// The streaming stand-in on the simulated USB bus and a Link connected to it without sharing.
class StreamingOnUsb {
 public:
  void start() {
    streamtest::StandInSpec spec;
    spec.options = {{"--streaming", ""}};
    standIn_ = std::make_unique<streamtest::StreamStandIn>(streamtest::Transport::Usb, spec);
    ASSERT_TRUE(standIn_->error().empty()) << standIn_->error();
    link_ = std::make_unique<Link>(standIn_->linkSpecifier(), "Link");
    ASSERT_EQ(link_->setConfig(apitest::NoSharing()), aErrNone);
    ASSERT_EQ(link_->connect(), aErrNone);
  }
  streamtest::StreamStandIn& standIn() { return *standIn_; }
  Link& link() { return *link_; }

 private:
  std::unique_ptr<streamtest::StreamStandIn> standIn_;
  std::unique_ptr<Link> link_;  // ends before the stand-in
};

// The same table through a Link on the simulated USB bus under a registration that covers
// every option of the entity: stream packets run the callback and never reach the input
// queue, and only whole samples leave a value in the cache.
TEST(StreamPackets, LinkRunsCallbacksForStreamPacketsAndCachesOnlySamples) {
  StreamingOnUsb usb;
  ASSERT_NO_FATAL_FAILURE(usb.start());
  streamtest::StreamStandIn& standIn = usb.standIn();
  Link& link = usb.link();
  streamtest::CallbackLog log;
  constexpr int kTag = 1;
  ASSERT_EQ(link.registerStreamCallback(2, 3, 0xFF, 0, true, log.callback(kTag), nullptr),
            aErrNone);
  streamtest::Sentinel sentinel(link, standIn, log);

  std::vector<Bytes> wires;
  for (const PacketCase& c : PacketCases()) wires.push_back(streamtest::Wire(2, c.data));
  standIn.inject(link, wires);
  ASSERT_TRUE(sentinel.flush());

  std::vector<Bytes> delivered;
  for (const auto& call : log.calls())
    if (call.tag == kTag) delivered.push_back(call.data);
  std::vector<Bytes> expected;
  for (const PacketCase& c : PacketCases())
    if (c.stream && c.data[0] == 3) expected.push_back(c.data);
  EXPECT_EQ(delivered, expected) << "each covered stream packet once, in order";

  const uint32_t id = standIn.coreLinkId();
  for (const PacketCase& c : PacketCases()) {
    SCOPED_TRACE(c.name);
    uint32_t value = 0;
    const uint8_t option = c.data[1] & 0x3F;
    const aErr cached = link.getStreamValue(2, c.data[0], option, 0, c.subindex, &value);
    if (c.sample == aErrNone) {
      EXPECT_EQ(cached, aErrNone);
      EXPECT_EQ(value, c.value);
    } else {
      EXPECT_EQ(cached, aErrNotFound);
    }
    // Packets the filter does not consume wait in the input queue, the others never get there.
    const uint8_t pattern[2] = {c.data[0], c.data[1]};
    uint8_t length = sizeof pattern;
    uint8_t data[aPACKETMAXDATA];
    if (!c.stream) {
      EXPECT_EQ(link.receivePacketFrom(2, pattern, &length, data), aErrNone);
    }
  }
  EXPECT_EQ(streamtest::QueuedStreamPackets(id), 0u);
}

// A sample field of 0xFF gives the key of a wildcard registration too; each row still runs
// its callback once for the packet.
TEST(StreamPackets, RowMatchedByTwoKeysRunsItsCallbackOnce) {
  StreamingOnUsb usb;
  ASSERT_NO_FATAL_FAILURE(usb.start());
  streamtest::StreamStandIn& standIn = usb.standIn();
  Link& link = usb.link();
  streamtest::CallbackLog log;
  constexpr int kAnyCommand = 1;
  constexpr int kExact = 2;
  ASSERT_EQ(link.registerStreamCallback(2, 0xFF, 0xFF, 0, true, log.callback(kAnyCommand), nullptr),
            aErrNone);
  ASSERT_EQ(link.registerStreamCallback(2, 3, 8, 0, true, log.callback(kExact), nullptr), aErrNone);
  streamtest::Sentinel sentinel(link, standIn, log);

  standIn.inject(link, {streamtest::Wire(2, SampleData(0xFF, 8, 0, 3, 1)),
                        streamtest::Wire(2, SampleData(3, 8, 0, 5, 2, 0, 0xFF))});
  ASSERT_TRUE(sentinel.flush());
  // The command-0xFF sample: the any-command row. The subindex-0xFF sample of (3, 8, 0): both
  // rows, the exact one holding its value. (The any-command row covers the sentinel too.)
  size_t anyCommand = 0;
  for (const auto& call : log.calls())
    if (call.tag == kAnyCommand && call.data[0] != streamtest::kSentinelCommand) ++anyCommand;
  EXPECT_EQ(anyCommand, 2u);
  EXPECT_EQ(log.count(kExact), 1u);
  uint32_t value = 0;
  EXPECT_EQ(link.getStreamValue(2, 3, 8, 0, 0xFF, &value), aErrNone);
  EXPECT_EQ(value, 2u);
}

}  // namespace
