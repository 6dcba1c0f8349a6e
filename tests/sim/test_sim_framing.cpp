// The stand-in's own CRC-8 and COBS framing against known vectors.
#include <gtest/gtest.h>

#include <string>

#include "sim_framing.h"

namespace {

using kvsim::Bytes;

Bytes textBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(SimFramingCrc, KnownVectors) {
  EXPECT_EQ(kvsim::crc8(textBytes("123456789")), 0xA1);
  EXPECT_EQ(kvsim::crc8(Bytes{}), 0x00);
  EXPECT_EQ(kvsim::crc8(Bytes{0x04, 0x00}), 0x3B);
}

struct CobsCase {
  const char* name;
  Bytes plain;
  Bytes encoded;
};

class SimFramingCobs : public testing::TestWithParam<CobsCase> {};

TEST_P(SimFramingCobs, EncodesAndDecodesBack) {
  const CobsCase& c = GetParam();
  EXPECT_EQ(kvsim::cobsEncode(c.plain), c.encoded);
  Bytes decoded;
  ASSERT_TRUE(kvsim::cobsDecode(c.encoded, &decoded));
  EXPECT_EQ(decoded, c.plain);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, SimFramingCobs,
    testing::Values(
        CobsCase{"ZeroInside", {0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
        CobsCase{"EmptyPacketWithCheck", {0x04, 0x00, 0x3B}, {0x02, 0x04, 0x02, 0x3B}},
        CobsCase{"TrailingZero", {0x11, 0x00}, {0x02, 0x11, 0x01}},
        CobsCase{"OnlyZeros", {0x00, 0x00}, {0x01, 0x01, 0x01}},
        CobsCase{"NoZero", {0x05, 0x06}, {0x03, 0x05, 0x06}}),
    [](const testing::TestParamInfo<CobsCase>& param) { return param.param.name; });

TEST(SimFramingCobs, CodePastTheEndIsRefused) {
  Bytes decoded;
  EXPECT_FALSE(kvsim::cobsDecode({0x05, 0x11}, &decoded));
}

TEST(SimFramingFrame, EmptyPacketFramesAsFiveKnownBytes) {
  EXPECT_EQ(kvsim::frameEncode({0x04, 0x00}), (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
}

TEST(SimFramingFrame, FullPacketIsOneFrameOf33BytesAndComesBackWhole) {
  Bytes packet{0x02, 28};
  for (uint8_t i = 0; i < 28; ++i)
    packet.push_back(static_cast<uint8_t>(i * 9));  // includes a zero byte
  Bytes frame = kvsim::frameEncode(packet);
  ASSERT_EQ(frame.size(), 33u);
  EXPECT_EQ(frame.back(), 0x00);

  kvsim::FrameDecoder decoder;
  Bytes out;
  bool done = false;
  for (uint8_t byte : frame) done = decoder.feed(byte, &out);
  EXPECT_TRUE(done);
  EXPECT_EQ(out, packet);
}

// Feeds a byte stream and collects the packets of its good frames.
std::vector<Bytes> decodeStream(kvsim::FrameDecoder& decoder, const Bytes& stream) {
  std::vector<Bytes> packets;
  Bytes packet;
  for (uint8_t byte : stream)
    if (decoder.feed(byte, &packet)) packets.push_back(packet);
  return packets;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(SimFramingDecoder, EmptyFramesAreSkippedWithoutCountingAsBad) {
  kvsim::FrameDecoder decoder;
  auto packets = decodeStream(decoder, join({{0x00, 0x00}, kvsim::frameEncode({0x04, 0x00})}));
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0], (Bytes{0x04, 0x00}));
  EXPECT_EQ(decoder.badFrames(), 0u);
}

TEST(SimFramingDecoder, BadFrameIsCountedOnceAndTheNextArrivesIntact) {
  struct Case {
    const char* name;
    Bytes badFrame;
  };
  Bytes overlong(40, 0x11);
  overlong.push_back(0x00);
  Bytes shortData{0x04, 0x02, 0x01};  // says two data bytes, has one; its check byte is right
  shortData.push_back(kvsim::crc8(shortData));
  const Case cases[] = {
      {"wrong check", kvsim::frameEncode({0x04, 0x00}, true)},
      {"length byte disagrees", join({kvsim::cobsEncode(shortData), {0x00}})},
      {"too short", {0x02, 0x04, 0x00}},
      {"over-long", overlong},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kvsim::FrameDecoder decoder;
    auto packets =
        decodeStream(decoder, join({c.badFrame, kvsim::frameEncode({0x02, 0x01, 0x17})}));
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], (Bytes{0x02, 0x01, 0x17}));
    EXPECT_EQ(decoder.badFrames(), 1u);
  }
}

}  // namespace
