// COBS byte stuffing, the CRC-8, and the packet framing stream over an in-memory transport.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "aCobs.h"
#include "aSerialStream.h"
#include "aStream.h"

namespace {

using Bytes = std::vector<uint8_t>;

const uint8_t* Text(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

// Largest encoded size of n bytes.
size_t EncodedBound(size_t n) { return n + n / 254 + 1; }

Bytes Encode(const Bytes& input) {
  Bytes out(EncodedBound(input.size()));
  const size_t length = cobs_encode(input.data(), input.size(), out.data());
  EXPECT_LE(length, out.size());
  out.resize(length);
  return out;
}

Bytes EncodeInPlace(const Bytes& input, size_t room) {
  Bytes buffer(room);
  std::copy(input.begin(), input.end(), buffer.begin());
  const size_t length = cobs_encode_inplace(buffer.data(), input.size());
  buffer.resize(length);
  return buffer;
}

// Decodes into a destination of exactly the encoded size; empty for a refused input.
Bytes Decode(const Bytes& encoded) {
  Bytes out(encoded.size());
  out.resize(cobs_decode(encoded.data(), encoded.size(), out.data()));
  return out;
}

Bytes NonZeroRun(size_t n, uint8_t first = 1) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i % 255);
  for (uint8_t& byte : bytes) {
    if (byte == 0) byte = 0x80;
  }
  return bytes;
}

// Bitwise reference of the reflected polynomial 0x8C.
uint8_t BitwiseCrc(const Bytes& data) {
  uint8_t crc = 0;
  for (uint8_t byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1;
  }
  return crc;
}

// The frame a packet travels as: COBS(packet + CRC) and a zero byte.
Bytes FrameOf(const Bytes& packet) {
  Bytes body = packet;
  body.push_back(BitwiseCrc(packet));
  Bytes frame = Encode(body);
  frame.push_back(0);
  return frame;
}

TEST(Crc8, CheckValues) {
  EXPECT_EQ(crc8_create(Text("123456789"), 9), 0xA1);
  EXPECT_EQ(crc8_create(Text("123456789"), 0), 0);
  EXPECT_EQ(crc8_create(nullptr, 5), 0);
  const uint8_t emptyPacket[] = {0x04, 0x00};
  EXPECT_EQ(crc8_create(emptyPacket, 2), 0x3B);
  EXPECT_TRUE(crc8_check(Text("123456789"), 9, 0xA1));
  EXPECT_FALSE(crc8_check(Text("123456789"), 9, 0xA0));
  EXPECT_TRUE(crc8_check(nullptr, 0, 0));
}

TEST(Crc8, TableMatchesThePolynomial) {
  // The first entries of the published table.
  const uint8_t published[16] = {0,   94,  188, 226, 97,  63,  221, 131,
                                 194, 156, 126, 32,  163, 253, 31,  65};
  for (unsigned i = 0; i < 16; ++i)
    EXPECT_EQ(crc8_update(0, static_cast<uint8_t>(i)), published[i]);
  for (unsigned i = 0; i < 256; ++i) {
    EXPECT_EQ(crc8_update(0, static_cast<uint8_t>(i)), BitwiseCrc({static_cast<uint8_t>(i)}))
        << "entry " << i;
  }
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    Bytes data(random() % 64);
    for (uint8_t& byte : data) byte = static_cast<uint8_t>(random());
    EXPECT_EQ(crc8_create(data.data(), data.size()), BitwiseCrc(data));
  }
}

TEST(Cobs, Vectors) {
  struct Row {
    Bytes input;
    Bytes encoded;
  };
  const Row rows[] = {
      {{}, {0x01}},
      {{0x00}, {0x01, 0x01}},
      {{0x00, 0x00}, {0x01, 0x01, 0x01}},
      {{0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
      {{0x11, 0x22, 0x33, 0x44}, {0x05, 0x11, 0x22, 0x33, 0x44}},
      {{0x11, 0x00, 0x00, 0x00}, {0x02, 0x11, 0x01, 0x01, 0x01}},
      {{0x04, 0x00, 0x3B}, {0x02, 0x04, 0x02, 0x3B}},
      {{0x00, 0x11, 0x00}, {0x01, 0x02, 0x11, 0x01}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "input of " << row.input.size() << " bytes");
    EXPECT_EQ(Encode(row.input), row.encoded);
    EXPECT_EQ(EncodeInPlace(row.input, row.encoded.size()), row.encoded);
    EXPECT_EQ(Decode(row.encoded), row.input);
    Bytes buffer = row.encoded;
    buffer.resize(cobs_decode_inplace(buffer.data(), buffer.size()));
    EXPECT_EQ(buffer, row.input);
  }
}

TEST(Cobs, FullBlocks) {
  struct Row {
    size_t run;         // non-zero bytes
    bool trailingZero;  // one zero byte after the run
    size_t encodedLength;
    uint8_t secondCode;  // code byte after the first full block (0: only one block)
  };
  const Row rows[] = {
      {253, false, 254, 0},     // one block, code 254
      {254, false, 256, 0x01},  // code 255, then an empty closing block
      {255, false, 257, 0x02},  // code 255, then a block of one byte
      {254, true, 257, 0x01},   // the zero closes the empty block after code 255
      {508, false, 511, 0xFF}, {509, false, 512, 0xFF},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "run " << row.run << (row.trailingZero ? " + zero" : ""));
    Bytes input = NonZeroRun(row.run);
    if (row.trailingZero) input.push_back(0);
    const Bytes encoded = Encode(input);
    ASSERT_EQ(encoded.size(), row.encodedLength);
    if (row.secondCode != 0) {
      EXPECT_EQ(encoded[0], 0xFF);
      EXPECT_EQ(encoded[255], row.secondCode);
    }
    for (uint8_t byte : encoded) EXPECT_NE(byte, 0);
    EXPECT_EQ(Decode(encoded), input);
    EXPECT_EQ(EncodeInPlace(input, EncodedBound(input.size())), encoded);
  }
  // The short form of a full block without the closing code byte decodes alike.
  Bytes shortForm = {0xFF};
  const Bytes run = NonZeroRun(254);
  shortForm.insert(shortForm.end(), run.begin(), run.end());
  EXPECT_EQ(Decode(shortForm), run);
}

TEST(Cobs, DecodeRefusesMalformedInput) {
  const Bytes rows[] = {
      {0x05, 0x11},              // code points past the end
      {0x02},                    // block missing its byte
      {0x00},                    // zero code byte
      {0x02, 0x11, 0x00, 0x01},  // zero code byte after a block
      {0x03, 0x11, 0x00},        // zero inside a block
      {0xFF, 0x11},              // full block cut short
  };
  for (const Bytes& row : rows) {
    SCOPED_TRACE(testing::Message() << "input of " << row.size() << " bytes");
    Bytes out(row.size(), 0xEE);
    EXPECT_EQ(cobs_decode(row.data(), row.size(), out.data()), 0u);
    Bytes buffer = row;
    EXPECT_EQ(cobs_decode_inplace(buffer.data(), buffer.size()), 0u);
  }
  uint8_t out[4];
  EXPECT_EQ(cobs_decode(nullptr, 3, out), 0u);
  EXPECT_EQ(cobs_decode(out, 0, out), 0u);
  EXPECT_EQ(cobs_encode(nullptr, 3, out), 0u);
  EXPECT_EQ(cobs_encode_inplace(nullptr, 3), 0u);
}

TEST(Cobs, InPlaceEncoderNeverOverwritesUnreadInput) {
  // Every full block adds a byte of output; after ten of them the output would reach input
  // still outside the look-ahead.
  const Bytes tooLong = NonZeroRun(254 * 11);
  Bytes buffer(EncodedBound(tooLong.size()));
  std::copy(tooLong.begin(), tooLong.end(), buffer.begin());
  EXPECT_EQ(cobs_encode_inplace(buffer.data(), tooLong.size()), 0u);

  for (size_t run : {254u * 9, 254u * 10, 254u * 10 + 5}) {
    const Bytes input = NonZeroRun(run, 3);
    EXPECT_EQ(EncodeInPlace(input, EncodedBound(run)), Encode(input)) << "run " << run;
  }
}

TEST(Cobs, RandomRoundTrips) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 2000; ++round) {
    const size_t n = random() % 1200;
    const unsigned zeroPercent = (round % 4 == 0) ? 0 : random() % 101;
    Bytes input(n);
    for (uint8_t& byte : input) {
      byte = (random() % 100 < zeroPercent) ? 0 : static_cast<uint8_t>(1 + random() % 255);
    }
    SCOPED_TRACE(testing::Message() << "round " << round << " length " << n);
    const Bytes encoded = Encode(input);
    ASSERT_GE(encoded.size(), n + 1);
    for (uint8_t byte : encoded) ASSERT_NE(byte, 0);
    ASSERT_EQ(Decode(encoded), input);
    const Bytes inPlace = EncodeInPlace(input, EncodedBound(n));
    ASSERT_TRUE(inPlace.empty() || inPlace == encoded);
  }
}

TEST(Cobs, DecoderSurvivesRandomInput) {
  std::mt19937 random(99);
  for (int round = 0; round < 5000; ++round) {
    Bytes input(random() % 600);
    const unsigned zeroPercent = random() % 10;
    for (uint8_t& byte : input) {
      const unsigned pick = random() % 100;
      byte = pick < zeroPercent ? 0 : pick < 15 ? 0xFF : static_cast<uint8_t>(random());
    }
    Bytes out(input.size());
    ASSERT_LE(cobs_decode(input.data(), input.size(), out.data()), input.size());
    ASSERT_LE(cobs_decode_inplace(input.data(), input.size()), input.size());
  }
}

// ---------------------------------------------------------------------------------------------
// Framing stream over an in-memory transport
// ---------------------------------------------------------------------------------------------

// Inner transport: input bytes to hand out (kPause hands out "not ready" once), and a record
// of what was written and which operations ran. The test owns it; delete only counts.
constexpr int kPause = -1;

struct FakeWire {
  std::deque<int> input;
  size_t consumed = 0;  // input bytes handed out
  aErr getError = aErrNone;
  Bytes output;
  std::vector<size_t> writeSizes;
  aErr writeError = aErrNone;
  aErr waitResult = aErrTimeout;
  uint32_t waitedMs = 0;
  int deletes = 0;
  aErr deleteResult = aErrNone;

  void feed(const Bytes& bytes) { input.insert(input.end(), bytes.begin(), bytes.end()); }
};

aErr WireGet(uint8_t* byte, void* reference) {
  FakeWire* wire = static_cast<FakeWire*>(reference);
  if (wire->getError != aErrNone) return wire->getError;
  if (wire->input.empty()) return aErrNotReady;
  const int next = wire->input.front();
  wire->input.pop_front();
  if (next == kPause) return aErrNotReady;
  *byte = static_cast<uint8_t>(next);
  ++wire->consumed;
  return aErrNone;
}

aErr WirePut(const uint8_t* byte, void* reference) {
  FakeWire* wire = static_cast<FakeWire*>(reference);
  wire->output.push_back(*byte);
  wire->writeSizes.push_back(1);
  return wire->writeError;
}

aErr WireWrite(const uint8_t* data, size_t length, void* reference) {
  FakeWire* wire = static_cast<FakeWire*>(reference);
  wire->output.insert(wire->output.end(), data, data + length);
  wire->writeSizes.push_back(length);
  return wire->writeError;
}

aErr WireWait(uint32_t timeoutMs, void* reference) {
  FakeWire* wire = static_cast<FakeWire*>(reference);
  wire->waitedMs = timeoutMs;
  return wire->waitResult;
}

aErr WireDelete(void* reference) {
  FakeWire* wire = static_cast<FakeWire*>(reference);
  ++wire->deletes;
  return wire->deleteResult;
}

class FramingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(aStream_CreateCobsEncodingWithWait(WireGet, WirePut, WireWrite, WireDelete, WireWait,
                                                 &wire_, &stream_),
              aErrNone);
  }
  void TearDown() override {
    if (stream_ != nullptr) aStream_Destroy(&stream_);
  }

  // One get through the stream's transport.
  aErr Get(uint8_t* byte) { return stream_->getProc(byte, stream_->procRef); }

  aErr Write(const Bytes& bytes) { return aStream_Write(stream_, bytes.data(), bytes.size()); }

  // Everything the stream delivers until it reports nothing ready: the packet bytes, and
  // each result other than 0 and 11.
  struct Delivery {
    Bytes bytes;
    std::vector<aErr> errors;
  };
  Delivery Drain() {
    Delivery delivery;
    for (;;) {
      uint8_t byte = 0;
      const aErr err = Get(&byte);
      if (err == aErrNone) {
        delivery.bytes.push_back(byte);
      } else if (err == aErrNotReady) {
        if (wire_.input.empty()) return delivery;
      } else {
        delivery.errors.push_back(err);
      }
    }
  }

  FakeWire wire_;
  aStream* stream_ = nullptr;
};

TEST_F(FramingTest, EmptyPacketFrame) {
  EXPECT_EQ(Write({0x04, 0x00}), aErrNone);
  EXPECT_EQ(wire_.output, (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
  EXPECT_EQ(wire_.writeSizes, (std::vector<size_t>{5}));
}

TEST_F(FramingTest, EveryPacketLengthRoundTrips) {
  for (uint8_t length = 0; length <= 28; ++length) {
    SCOPED_TRACE(testing::Message() << "length " << int(length));
    Bytes packet = {0x06, length};
    for (uint8_t i = 0; i < length; ++i) packet.push_back(static_cast<uint8_t>(i * 37));
    wire_.output.clear();
    ASSERT_EQ(Write(packet), aErrNone);
    EXPECT_EQ(wire_.output, FrameOf(packet));
    EXPECT_EQ(wire_.output.size(), length + 5u);
    wire_.feed(wire_.output);
    const Delivery delivery = Drain();
    EXPECT_EQ(delivery.bytes, packet);
    EXPECT_TRUE(delivery.errors.empty());
  }
}

TEST_F(FramingTest, PacketsSplitAcrossWritesAndPutsAreFramedWhole) {
  EXPECT_EQ(Write({0x04}), aErrNone);  // one byte: goes through put
  EXPECT_TRUE(wire_.output.empty());
  EXPECT_EQ(Write({0x03, 0xAA}), aErrNone);
  EXPECT_TRUE(wire_.output.empty());
  EXPECT_EQ(Write({0xBB, 0xCC, 0x06, 0x00}), aErrNone);  // completes one, then a second packet
  Bytes expected = FrameOf({0x04, 0x03, 0xAA, 0xBB, 0xCC});
  const Bytes second = FrameOf({0x06, 0x00});
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(wire_.output, expected);
  EXPECT_EQ(wire_.writeSizes, (std::vector<size_t>{8, 5}));
}

TEST_F(FramingTest, RefusedByteDropsThePartialPacket) {
  struct Row {
    const char* what;
    Bytes bad;
  };
  const Row rows[] = {
      {"length 29", {0x04, 29}},
      {"zero address", {0x00}},
      {"length 200 with data", {0x04, 200}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    wire_.output.clear();
    EXPECT_EQ(Write(row.bad), aErrPacket);
    EXPECT_TRUE(wire_.output.empty());
    const Bytes good = {0x08, 0x02, 0x11, 0x22};
    EXPECT_EQ(Write(good), aErrNone);
    EXPECT_EQ(wire_.output, FrameOf(good));
  }
}

TEST_F(FramingTest, InnerWriteErrorIsReturned) {
  wire_.writeError = aErrIO;
  EXPECT_EQ(Write({0x04, 0x00, 0x06, 0x00}), aErrIO);
  EXPECT_EQ(wire_.writeSizes.size(), 2u);  // the second packet was still sent
}

TEST_F(FramingTest, FirstPacketByteComesWithTheFrameEnd) {
  wire_.feed(FrameOf({0x04, 0x01, 0x55}));
  uint8_t byte = 0;
  ASSERT_EQ(Get(&byte), aErrNone);
  EXPECT_EQ(byte, 0x04);
  EXPECT_TRUE(wire_.input.empty());
  ASSERT_EQ(Get(&byte), aErrNone);
  EXPECT_EQ(byte, 0x01);
  ASSERT_EQ(Get(&byte), aErrNone);
  EXPECT_EQ(byte, 0x55);
  EXPECT_EQ(Get(&byte), aErrNotReady);
}

TEST_F(FramingTest, PartialFrameWaitsForTheRest) {
  const Bytes frame = FrameOf({0x04, 0x02, 0x01, 0x02});
  wire_.feed(Bytes(frame.begin(), frame.begin() + 3));
  uint8_t byte = 0;
  EXPECT_EQ(Get(&byte), aErrNotReady);
  EXPECT_TRUE(wire_.input.empty());
  wire_.feed(Bytes(frame.begin() + 3, frame.end()));
  EXPECT_EQ(Drain().bytes, (Bytes{0x04, 0x02, 0x01, 0x02}));
}

TEST_F(FramingTest, BadFramesAreReportedOnceAndTheNextFrameArrives) {
  const Bytes good = {0x04, 0x03, 0x10, 0x20, 0x30};
  Bytes badCrc = FrameOf(good);
  badCrc[badCrc.size() - 2] ^= 0x01;  // last encoded byte, part of the CRC
  if (badCrc[badCrc.size() - 2] == 0) badCrc[badCrc.size() - 2] = 0x02;

  Bytes wrongLength = FrameOf({0x04, 0x05, 0x10});  // length byte says 5, one byte follows
  Bytes tooShort = {0x02, 0x04, 0x00};              // decodes to one byte
  Bytes notCobs = {0x09, 0x04, 0x00};               // code runs past the frame
  // A well-formed frame of the longest size followed by more bytes: dropped whole.
  Bytes longest = {0x04, 28};
  for (uint8_t i = 0; i < 28; ++i) longest.push_back(static_cast<uint8_t>(0x40 + i));
  Bytes overlong = FrameOf(longest);
  overlong.pop_back();
  overlong.insert(overlong.end(), {0x01, 0x01, 0x01, 0x00});

  struct Row {
    const char* what;
    Bytes frame;
  };
  const Row rows[] = {{"wrong CRC", badCrc},
                      {"wrong length", wrongLength},
                      {"too short", tooShort},
                      {"not COBS", notCobs},
                      {"over-long", overlong}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    wire_.feed(row.frame);
    wire_.feed(FrameOf(good));
    const Delivery delivery = Drain();
    EXPECT_EQ(delivery.errors, (std::vector<aErr>{aErrPacket}));
    EXPECT_EQ(delivery.bytes, good);
  }
}

TEST_F(FramingTest, EmptyFramesAreIgnored) {
  wire_.feed({0x00, 0x00});
  wire_.feed(FrameOf({0x04, 0x00}));
  wire_.feed({0x00});
  const Delivery delivery = Drain();
  EXPECT_TRUE(delivery.errors.empty());
  EXPECT_EQ(delivery.bytes, (Bytes{0x04, 0x00}));
}

TEST_F(FramingTest, InnerReadFailureReadsAsNotReady) {
  wire_.getError = aErrIO;
  uint8_t byte = 0;
  EXPECT_EQ(Get(&byte), aErrNotReady);
  wire_.getError = aErrNone;
  wire_.feed(FrameOf({0x04, 0x00}));
  EXPECT_EQ(Drain().bytes, (Bytes{0x04, 0x00}));
}

TEST_F(FramingTest, AnInnerTransportThatIsGoneIsReported) {
  wire_.getError = aErrConnection;
  uint8_t byte = 0;
  EXPECT_EQ(Get(&byte), aErrConnection);
}

TEST_F(FramingTest, WaitPassesToTheInnerTransport) {
  wire_.waitResult = aErrTimeout;
  EXPECT_EQ(aStream_WaitForInput(stream_, 250), aErrTimeout);
  EXPECT_EQ(wire_.waitedMs, 250u);
  wire_.waitResult = aErrIO;
  EXPECT_EQ(aStream_WaitForInput(stream_, 10), aErrIO);

  // While a packet is being handed out the wait answers at once.
  wire_.feed(FrameOf({0x04, 0x00}));
  uint8_t byte = 0;
  ASSERT_EQ(Get(&byte), aErrNone);
  wire_.waitedMs = 0;
  EXPECT_EQ(aStream_WaitForInput(stream_, 10), aErrNone);
  EXPECT_EQ(wire_.waitedMs, 0u);
}

TEST_F(FramingTest, DestroyReturnsTheInnerDeleteResult) {
  wire_.deleteResult = aErrBusy;
  EXPECT_EQ(aStream_Destroy(&stream_), aErrBusy);
  EXPECT_EQ(stream_, nullptr);
  EXPECT_EQ(wire_.deletes, 1);
}

TEST(FramingCreate, Arguments) {
  FakeWire wire;
  EXPECT_EQ(aStream_CreateCobsEncoding(WireGet, WirePut, WireWrite, WireDelete, &wire, nullptr),
            aErrParam);
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateCobsEncoding(WireGet, WirePut, WireWrite, WireDelete, &wire, &stream),
            aErrNone);
  // Without an inner wait the stream has none either.
  EXPECT_EQ(stream->waitProc, nullptr);
  EXPECT_EQ(aStream_WaitForInput(stream, 10), aErrNone);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  EXPECT_EQ(wire.deletes, 1);
}

// Frames of every kind, many of them broken, fed with random pauses: the stream never hands
// out a packet that does not come from a well-formed frame with a good CRC, and it hands out
// every well-formed one.
TEST_F(FramingTest, RandomFramesNeverDeliverABadPacket) {
  struct Frame {
    size_t end;  // index of the closing zero among the fed bytes
    Bytes encoded;
    bool good;  // built from a packet, unbroken
    Bytes packet;
  };
  std::mt19937 random(4242);
  std::vector<Frame> frames;
  size_t fed = 0;
  auto addFrame = [&](const Bytes& encoded, bool good, const Bytes& packet) {
    for (uint8_t byte : encoded) {
      if (random() % 8 == 0) wire_.input.push_back(kPause);
      wire_.input.push_back(byte);
    }
    wire_.input.push_back(0);
    fed += encoded.size();
    frames.push_back({fed, encoded, good, packet});
    ++fed;
  };

  for (int i = 0; i < 20000; ++i) {
    Bytes packet = {static_cast<uint8_t>(random()), static_cast<uint8_t>(random() % 29)};
    for (uint8_t k = 0; k < packet[1]; ++k) packet.push_back(static_cast<uint8_t>(random()));
    Bytes encoded = FrameOf(packet);
    encoded.pop_back();
    switch (random() % 6) {
      case 0:  // good
        addFrame(encoded, true, packet);
        break;
      case 1: {  // one byte changed
        const size_t at = random() % encoded.size();
        encoded[at] = static_cast<uint8_t>(encoded[at] + 1 + random() % 254);
        if (encoded[at] == 0) encoded[at] = 1;
        addFrame(encoded, false, {});
        break;
      }
      case 2:  // cut short
        encoded.resize(random() % encoded.size());
        addFrame(encoded, false, {});
        break;
      case 3: {  // extra bytes behind a good frame
        const size_t extra = 1 + random() % 300;
        for (size_t k = 0; k < extra; ++k)
          encoded.push_back(static_cast<uint8_t>(1 + random() % 255));
        addFrame(encoded, false, {});
        break;
      }
      default: {  // random bytes, sometimes long runs
        Bytes noise(random() % (random() % 4 == 0 ? 400 : 40));
        for (uint8_t& byte : noise) byte = static_cast<uint8_t>(1 + random() % 255);
        addFrame(noise, false, {});
        break;
      }
    }
  }

  size_t next = 0;  // frames before this index are done with
  auto frameEndingAt = [&](size_t zeroIndex) -> const Frame* {
    while (next < frames.size() && frames[next].end < zeroIndex) ++next;
    return (next < frames.size() && frames[next].end == zeroIndex) ? &frames[next] : nullptr;
  };
  std::vector<bool> delivered(frames.size(), false);
  std::vector<bool> rejected(frames.size(), false);

  for (;;) {
    uint8_t byte = 0;
    const aErr err = Get(&byte);
    if (err == aErrNotReady) {
      if (wire_.input.empty()) break;
      continue;
    }
    const Frame* frame = frameEndingAt(wire_.consumed - 1);
    ASSERT_NE(frame, nullptr);
    const size_t index = static_cast<size_t>(frame - frames.data());
    if (err == aErrPacket) {
      EXPECT_FALSE(frame->good);
      rejected[index] = true;
      continue;
    }
    ASSERT_EQ(err, aErrNone);
    Bytes packet = {byte};
    while (packet.size() < 2 || packet.size() < packet[1] + 2u) {
      ASSERT_EQ(Get(&byte), aErrNone);
      packet.push_back(byte);
    }
    delivered[index] = true;
    ASSERT_LE(frame->encoded.size(), 32u);
    const Bytes decoded = Decode(frame->encoded);
    ASSERT_EQ(decoded.size(), packet.size() + 1);
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), decoded.begin()));
    EXPECT_EQ(BitwiseCrc(packet), decoded.back());
    if (frame->good) {
      EXPECT_EQ(packet, frame->packet);
    }
  }

  for (size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "frame " << i);
    if (frames[i].good) {
      EXPECT_TRUE(delivered[i]);
    }
    // Every frame with bytes in it is either handed out or reported; empty ones are neither.
    EXPECT_EQ(delivered[i] || rejected[i], !frames[i].encoded.empty());
    EXPECT_FALSE(delivered[i] && rejected[i]);
  }
}

}  // namespace
