// Streams of the stand-in module (command 0x5D), checked byte for byte: enable, disable and
// the streaming-state query, which sources an enable covers, the sample layout of every kind,
// samples asked for at once and in one write, the timed samples on an explicit clock, each
// fault knob, samples of a module behind a router, and the text forms.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "exchange_test_support.h"
#include "parts_test_support.h"
#include "sim_module_core.h"
#include "sim_module_setup.h"
#include "sim_router.h"
#include "sim_stream.h"

namespace {

using kvsim::Bytes;
using kvsim::ModuleConfig;
using kvsim::ModuleCore;
using kvsim::Packet;
using kvsim::Streamer;
using kvsim::StreamFault;
using kvsim::StreamSource;
using Clock = kvsim::TimedWork::Clock;

constexpr uint8_t kAddress = 2;
constexpr uint8_t kAny = 0xFF;
constexpr uint8_t kCode = 0x1D;
constexpr unsigned kRate = 10;                                     // samples per second
constexpr auto kPeriod = std::chrono::milliseconds(1000 / kRate);  // between two rounds
constexpr unsigned kBurst = 3;                                     // rounds per write

Bytes enable(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  return {0x5D, 0x81, 0x20, module, command, option, index};
}
Bytes disable(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  return {0x5D, 0x82, 0x20, module, command, option, index};
}
const Bytes kQuery{0x5D, 0x41, 0x20};

StreamSource source(uint8_t command, uint8_t option, uint8_t index, uint8_t kind,
                    uint8_t subindex = 0) {
  StreamSource s;
  s.command = command;
  s.option = option;
  s.index = index;
  s.kind = kind;
  s.subindex = subindex;
  return s;
}

struct SimStream : ::testing::Test {
  SimStream() : core(kvsim::configAt(kAddress)), streamer(Streamer::attach(core)) {}
  std::vector<Bytes> sent() { return kvsim::sentData(core, kAddress); }
  Bytes one(const Bytes& request) { return kvsim::askOne(core, kAddress, request); }
  // (command, option, index) of each sample sent.
  std::vector<std::vector<uint8_t>> sampled() {
    std::vector<std::vector<uint8_t>> keys;
    for (const Bytes& data : sent())
      keys.push_back({data[0], data[1], static_cast<uint8_t>(data[2] & 0x1F)});
    return keys;
  }
  ModuleCore core;
  std::shared_ptr<Streamer> streamer;
};

TEST_F(SimStream, EnableAndDisableAreAcknowledgedWithTheirValueAndSwitchTheState) {
  EXPECT_EQ(one(kQuery), (Bytes{0x5D, 0x01, 0x00, 0}));
  EXPECT_EQ(one(enable(kAddress, 3, kAny, 0)), (Bytes{0x5D, 0xC1, 0x00, kAddress, 3, kAny, 0}));
  EXPECT_EQ(one(kQuery), (Bytes{0x5D, 0x01, 0x00, 1}));
  EXPECT_EQ(one(disable(kAddress, 3, kAny, 0)), (Bytes{0x5D, 0xC2, 0x00, kAddress, 3, kAny, 0}));
  EXPECT_EQ(one(kQuery), (Bytes{0x5D, 0x01, 0x00, 0}));
}

TEST_F(SimStream, RequestsOfNoShapeGetUeiErrorReplies) {
  struct Case {
    const char* what;
    Bytes request;
    Bytes reply;
  };
  const Case cases[] = {
      {"enable without its value",
       {0x5D, 0x81, 0x20, kAddress},
       {0x5D, 0xC1, 0x80, kvsim::kStreamErrParam}},
      {"enable of entity 1",
       {0x5D, 0x81, 0x21, kAddress, 3, 8, 0},
       {0x5D, 0xC1, 0x81, kvsim::kStreamErrParam}},
      {"query with a subindex", {0x5D, 0x41, 0x20, 0}, {0x5D, 0x01, 0x80, kvsim::kStreamErrParam}},
      {"set of option 3", {0x5D, 0x83, 0x20, 1}, {0x5D, 0xC3, 0x80, kvsim::kStreamErrNotFound}},
      {"get of option 2", {0x5D, 0x42, 0x20}, {0x5D, 0x02, 0x80, kvsim::kStreamErrNotFound}},
  };
  for (const Case& c : cases) EXPECT_EQ(one(c.request), c.reply) << c.what;
  EXPECT_FALSE(streamer->streaming());
  core.receive(Packet{kAddress, {0x5D, 0xC1, 0x00, kAddress, 3, 8, 0}}.wire());
  EXPECT_TRUE(sent().empty()) << "a reply of a peer gets no answer";
}

struct LayoutCase {
  uint8_t kind;
  size_t length;
  Bytes valueBytes;  // of the value 0x11223344 in the kind's width
};

TEST(SimStreamLayout, SamplesOfEveryKindCarryTimestampValueAndTrailer) {
  const LayoutCase cases[] = {
      {1, 14, {0x44}}, {2, 15, {0x33, 0x44}}, {3, 17, {0x11, 0x22, 0x33, 0x44}},
      {5, 15, {0x44}}, {6, 16, {0x33, 0x44}}, {7, 18, {0x11, 0x22, 0x33, 0x44}},
  };
  const uint64_t timestamp = 0x0102030405060708ULL;
  for (const LayoutCase& c : cases) {
    Bytes expected{50, 0x08, 0x40 | 0x03, c.kind};
    if (c.kind >= 5) expected.push_back(0x09);
    expected.insert(expected.end(), {1, 2, 3, 4, 5, 6, 7, 8});
    expected.insert(expected.end(), c.valueBytes.begin(), c.valueBytes.end());
    expected.push_back(0);
    const Bytes sample = kvsim::streamSample(source(50, 8, 3, c.kind, 9), 0x11223344, timestamp);
    EXPECT_EQ(sample, expected) << int(c.kind);
    EXPECT_EQ(sample.size(), c.length) << int(c.kind);
  }
  EXPECT_TRUE(kvsim::streamSample(source(50, 8, 3, 4), 1, timestamp).empty())
      << "kind 4 has chunks";
}

TEST(SimStreamLayout, ByteStringsGoInChunksWhoseLastByteMarksAChunk) {
  StreamSource strings = source(50, 8, 3, 4);
  for (size_t length : {25u, 30u, 49u}) {
    strings.stringBytes = length;
    const std::vector<Bytes> chunks = kvsim::streamStringChunks(strings, 0x10);
    ASSERT_EQ(chunks.size(), (length + 23) / 24) << length;
    Bytes gathered;
    for (size_t i = 0; i < chunks.size(); ++i) {
      const Bytes& chunk = chunks[i];
      EXPECT_EQ(Bytes(chunk.begin(), chunk.begin() + 3), (Bytes{50, 8, 0x43})) << length;
      const uint8_t trailer = chunk.back();
      EXPECT_EQ(trailer, (i + 1 < chunks.size() ? 0x80 : 0x00) | i) << length << " chunk " << i;
      EXPECT_TRUE(trailer != 0) << "the stream packet reads as a byte string";
      gathered.insert(gathered.end(), chunk.begin() + 3, chunk.end() - 1);
    }
    Bytes expected;
    for (size_t i = 0; i < length; ++i) expected.push_back(static_cast<uint8_t>(0x10 + i));
    EXPECT_EQ(gathered, expected) << length;
  }
}

TEST_F(SimStream, AnEnableCoversTheSourcesItsFieldsMatch) {
  streamer->addSource(source(3, 8, 0, 3));
  streamer->addSource(source(3, 9, 0, 1));
  streamer->addSource(source(3, 8, 1, 2));
  streamer->addSource(source(4, 8, 0, 5, 7));
  streamer->setRate(0);
  struct Case {
    const char* what;
    Bytes enable;
    std::vector<std::vector<uint8_t>> samples;  // of emitSamples(4)
  };
  const Case cases[] = {
      {"one stream", enable(kAddress, 3, 8, 0), {{3, 8, 0}, {3, 8, 0}, {3, 8, 0}, {3, 8, 0}}},
      {"any option", enable(kAddress, 3, kAny, 0), {{3, 8, 0}, {3, 9, 0}, {3, 8, 0}, {3, 9, 0}}},
      {"any index", enable(kAddress, 3, 8, kAny), {{3, 8, 0}, {3, 8, 1}, {3, 8, 0}, {3, 8, 1}}},
      {"everything",
       enable(kAddress, kAny, kAny, kAny),
       {{3, 8, 0}, {3, 9, 0}, {3, 8, 1}, {4, 8, 0}}},
      {"another module's", enable(4, kAny, kAny, kAny), {}},
      {"nothing of that", enable(kAddress, 9, kAny, kAny), {}},
  };
  for (const Case& c : cases) {
    one(c.enable);
    EXPECT_EQ(streamer->emitSamples(4), c.samples.size()) << c.what;
    EXPECT_EQ(sampled(), c.samples) << c.what;
    one(disable(kAny, kAny, kAny, kAny));
    EXPECT_FALSE(streamer->streaming()) << c.what;
  }
}

TEST_F(SimStream, ADisableRemovesTheEnablesItCoversAndLeavesWiderOnes) {
  streamer->addSource(source(3, 8, 0, 3));
  streamer->addSource(source(3, 9, 0, 3));
  streamer->setRate(0);
  one(enable(kAddress, 3, 8, 0));
  one(enable(kAddress, 3, kAny, 0));
  one(enable(kAddress, 3, kAny, 0));  // the same again: one enable
  one(disable(kAddress, 3, 8, 0));
  EXPECT_EQ(streamer->enables(), (std::vector<uint32_t>{0x0203FF00}));
  EXPECT_EQ(streamer->emitSamples(2), 2u) << "the wider enable still covers both";
  sent();
  one(disable(kAddress, 3, kAny, kAny));
  EXPECT_FALSE(streamer->streaming());
  EXPECT_EQ(streamer->emitSamples(2), 0u);
  EXPECT_TRUE(sent().empty());
}

TEST_F(SimStream, EmittedSamplesCountUpPerSourceAndAreCounted) {
  streamer->addSource(source(3, 8, 0, 2));
  streamer->addSource(source(3, 9, 0, 4));
  streamer->setRate(0);
  one(enable(kAddress, 3, kAny, 0));
  EXPECT_EQ(streamer->emitSamples(4), 4u);
  const std::vector<Bytes> data = sent();
  ASSERT_EQ(data.size(), 6u) << "2 samples and 2 strings of 2 chunks";
  EXPECT_EQ(Bytes(data[0].end() - 3, data[0].end()), (Bytes{0x00, 0x01, 0x00}));
  EXPECT_EQ(data[1][3], 0x01) << "the string of value 1 starts with byte 1";
  EXPECT_EQ(Bytes(data[3].end() - 3, data[3].end()), (Bytes{0x00, 0x02, 0x00}));
  EXPECT_EQ(data[4][3], 0x02);
  EXPECT_EQ(streamer->samplesSent(), 4u);
  EXPECT_EQ(streamer->packetsSent(), 6u);
  auto timestamp = [](const Bytes& sample) {
    uint64_t value = 0;
    for (size_t i = 4; i < 12; ++i) value = value << 8 | sample[i];
    return value;
  };
  EXPECT_LE(timestamp(data[0]), timestamp(data[3])) << "time stamps never go back";
}

TEST_F(SimStream, SamplesInOneWriteAreOneSegment) {
  streamer->addSource(source(3, 8, 0, 1));
  streamer->setRate(0);
  one(enable(kAddress, 3, 8, 0));
  streamer->emitSamples(5, true);
  std::vector<kvsim::Segment> burst = core.takeSegments();
  ASSERT_EQ(burst.size(), 1u);
  EXPECT_EQ(burst[0].bytes.size(), 5u * 16) << "five packets of 14 data bytes";
  streamer->emitSamples(5);
  EXPECT_EQ(core.takeSegments().size(), 5u);
}

TEST_F(SimStream, TimedSamplesGoOutAtTheRateWhileEnabled) {
  streamer->addSource(source(3, 8, 0, 3));
  streamer->addSource(source(3, 9, 0, 1));
  streamer->setRate(kRate);
  EXPECT_FALSE(streamer->nextDue()) << "nothing enabled";
  const Clock::time_point before = Clock::now();
  one(enable(kAddress, 3, kAny, 0));
  ASSERT_TRUE(streamer->nextDue());
  EXPECT_GE(*streamer->nextDue(), before + kPeriod);
  streamer->poll(*streamer->nextDue() - std::chrono::milliseconds(1));
  EXPECT_TRUE(sent().empty());
  for (int round = 0; round < 3; ++round) {
    const Clock::time_point due = *streamer->nextDue();
    streamer->poll(due);
    EXPECT_EQ(sampled(), (std::vector<std::vector<uint8_t>>{{3, 8, 0}, {3, 9, 0}}))
        << "one of each per round";
    EXPECT_EQ(*streamer->nextDue(), due + kPeriod);
  }
  streamer->poll(*streamer->nextDue() + std::chrono::seconds(10));
  EXPECT_EQ(sent().size(), 2u) << "long overdue rounds are skipped";

  const Clock::time_point beforeBurst = Clock::now();
  streamer->setBurst(kBurst);
  const Clock::time_point due = *streamer->nextDue();
  EXPECT_GE(due, beforeBurst + kBurst * kPeriod);
  streamer->poll(due);
  std::vector<kvsim::Segment> written = core.takeSegments();
  ASSERT_EQ(written.size(), 1u) << "a burst is one write";
  EXPECT_EQ(written[0].bytes.size(), kBurst * (19 + 16)) << "rounds of a 17- and a 14-byte sample";

  streamer->setRate(0);
  EXPECT_FALSE(streamer->nextDue());
  streamer->setRate(kRate);
  one(disable(kAddress, kAny, kAny, kAny));
  EXPECT_FALSE(streamer->nextDue()) << "disabled";
}

TEST_F(SimStream, KnobsLengthenShortenAndRefuse) {
  streamer->addSource(source(3, 8, 0, 7, 4));
  streamer->setRate(0);
  streamer->setFault(StreamFault::Refuse, 1, kCode);
  EXPECT_EQ(one(enable(kAddress, 3, 8, 0)), (Bytes{0x5D, 0xC1, 0x80, kCode}));
  EXPECT_FALSE(streamer->streaming()) << "a refused enable takes no effect";
  EXPECT_EQ(one(enable(kAddress, 3, 8, 0)).size(), 7u) << "the knob fired once";
  streamer->setFault(StreamFault::Refuse, 1, kCode);
  EXPECT_EQ(one(disable(kAddress, 3, 8, 0)), (Bytes{0x5D, 0xC2, 0x80, kCode}));
  EXPECT_TRUE(streamer->streaming());

  streamer->setFault(StreamFault::Long, 1);
  streamer->setFault(StreamFault::Short, 2);
  streamer->emitSamples(4);
  const std::vector<Bytes> data = sent();
  ASSERT_EQ(data.size(), 4u);
  const size_t lengths[] = {19, 17, 17, 18};
  for (size_t i = 0; i < data.size(); ++i) {
    EXPECT_EQ(data[i].size(), lengths[i]) << i;
    EXPECT_EQ(data[i][3], 7) << "still of its kind";
    EXPECT_EQ(data[i].back(), 0) << "trailer kept";
  }
  EXPECT_EQ(Bytes(data[0].end() - 6, data[0].end()), (Bytes{0, 0, 0, 1, 0, 0}))
      << "0x00 before the trailer";
  EXPECT_EQ(Bytes(data[1].end() - 4, data[1].end()), (Bytes{0, 0, 0, 0}))
      << "value 2 lost its last byte";
}

TEST(SimStreamBehind, ModuleBehindStreamsOverTheRoutersLinkFromItsAddress) {
  ModuleConfig config;
  config.address = kAddress;
  ModuleCore router(config);
  auto bus = kvsim::I2cRouter::attach(router);
  kvsim::BehindSpec behind;
  behind.address = 0x10;
  ASSERT_EQ(bus->add(behind), "");
  auto own = Streamer::attach(router);
  auto theirs = Streamer::attach(*bus->module(0x10), &router);
  own->addSource(source(3, 8, 0, 1));
  theirs->addSource(source(3, 8, 0, 1));
  own->setRate(0);
  theirs->setRate(0);

  router.receive(Packet{0x10, enable(0x10, 3, kAny, kAny)}.wire());
  std::vector<Packet> ack = kvsim::sentPackets(router);
  ASSERT_EQ(ack.size(), 1u);
  EXPECT_EQ(ack[0].address, 0x10);
  EXPECT_EQ(ack[0].data, (Bytes{0x5D, 0xC1, 0x00, 0x10, 3, kAny, kAny}));
  EXPECT_FALSE(own->streaming()) << "the switch is per module";
  router.receive(Packet{kAddress, enable(kAddress, 3, kAny, kAny)}.wire());
  kvsim::sentPackets(router);

  EXPECT_EQ(theirs->emitSamples(2), 2u);
  EXPECT_EQ(own->emitSamples(1), 1u);
  std::vector<Packet> samples = kvsim::sentPackets(router);
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_EQ(samples[0].address, 0x10);
  EXPECT_EQ(samples[1].address, 0x10);
  EXPECT_EQ(samples[2].address, kAddress);
  EXPECT_TRUE(kvsim::sentPackets(*bus->module(0x10)).empty())
      << "nothing waits on the module behind";
}

TEST(SimStreamSetup, SetUpAttachesStreamersOfTheModuleAndOfModulesBehind) {
  ModuleConfig config;
  config.address = kAddress;
  ModuleCore core(config);
  kvsim::ModuleSetup setup;
  kvsim::BehindSpec behind;
  behind.address = 0x10;
  setup.behind.push_back(behind);
  setup.streams.push_back(source(3, 8, 0, 3));
  setup.behindStreams.push_back({0x10, source(3, 8, 0, 1)});
  setup.streamRate = 25;
  setup.slots.push_back({1, 2, 10, {}});
  kvsim::ModuleParts parts;
  std::string error;
  ASSERT_TRUE(kvsim::setUpModule(core, setup, &parts, &error)) << error;
  ASSERT_TRUE(parts.streamer);
  ASSERT_EQ(parts.behindStreamers.count(0x10), 1u);
  EXPECT_EQ(parts.behindStreamers[0x10]->rate(), 25u);
  EXPECT_EQ(kvsim::streamerAt(parts, 0), parts.streamer);
  EXPECT_EQ(kvsim::streamerAt(parts, 0x10), parts.behindStreamers[0x10]);
  EXPECT_FALSE(kvsim::streamerAt(parts, 0x12));
  EXPECT_EQ(kvsim::timedWork(parts).size(), 3u) << "slots and two streamers";
  EXPECT_FALSE(parts.factory);

  kvsim::ModuleSetup stray;
  stray.behindStreams.push_back({0x10, source(3, 8, 0, 1)});
  ModuleCore lone(config);
  EXPECT_FALSE(kvsim::setUpModule(lone, stray, &parts, &error));
  EXPECT_NE(error.find("behind"), std::string::npos) << error;
}

TEST(SimStreamText, SourceAndFaultForms) {
  std::string error;
  auto plain = kvsim::parseStreamSource("3:8:0:3", &error);
  ASSERT_TRUE(plain) << error;
  EXPECT_EQ(plain->command, 3);
  EXPECT_EQ(plain->option, 8);
  EXPECT_EQ(plain->kind, 3);
  auto sub = kvsim::parseStreamSource("0x32:63:31:6:9", &error);
  ASSERT_TRUE(sub) << error;
  EXPECT_EQ(sub->subindex, 9);
  auto strings = kvsim::parseStreamSource("3:8:0:4:40", &error);
  ASSERT_TRUE(strings) << error;
  EXPECT_EQ(strings->stringBytes, 40u);
  auto refuse = kvsim::parseStreamFault("refuse:every:0x1D", &error);
  ASSERT_TRUE(refuse) << error;
  EXPECT_EQ(refuse->count, kvsim::kEvery);
  EXPECT_EQ(refuse->code, 0x1D);
  auto shortened = kvsim::parseStreamFault("short:3", &error);
  ASSERT_TRUE(shortened) << error;
  EXPECT_EQ(shortened->fault, StreamFault::Short);

  for (const char* bad :
       {"3:8:0", "3:64:0:3", "3:8:32:3", "3:8:0:8", "3:8:0:0", "3:8:0:4:24", "3:8:0:3:1:2"})
    EXPECT_FALSE(kvsim::parseStreamSource(bad, &error)) << bad;
  for (const char* bad : {"long", "refuse:1", "long:1:2", "bogus:1", "refuse:1:256"})
    EXPECT_FALSE(kvsim::parseStreamFault(bad, &error)) << bad;
}

}  // namespace
