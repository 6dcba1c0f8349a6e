// The stand-in module's logic over bytes: what it answers, what it records, and what each
// fault knob does to the bytes it sends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_module_core.h"

namespace {

using kvsim::Bytes;
using kvsim::Direction;
using kvsim::Fault;
using kvsim::ModuleConfig;
using kvsim::ModuleCore;

const Bytes kProbe{0xAD, 0x00};

Bytes join(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Everything the module has ready, as one byte string.
Bytes output(ModuleCore& core) {
  Bytes all;
  for (const kvsim::Segment& segment : core.takeSegments())
    all.insert(all.end(), segment.bytes.begin(), segment.bytes.end());
  return all;
}

std::vector<Bytes> recorded(const ModuleCore& core, Direction direction) {
  std::vector<Bytes> packets;
  for (const kvsim::Record& record : core.records())
    if (record.direction == direction) packets.push_back(record.bytes);
  return packets;
}

ModuleCore connected(ModuleConfig config = {}) {
  ModuleCore core(std::move(config));
  core.startConnection();
  return core;
}

TEST(SimModuleCore, AnswersEachSyncProbeFromItsOwnAddress) {
  for (uint8_t address : {0x02, 0x04, 0x7E}) {
    SCOPED_TRACE(address);
    ModuleConfig config;
    config.address = address;
    ModuleCore core = connected(config);
    core.receive(join({kProbe, kProbe, kProbe, kProbe, kProbe, kProbe}));
    Bytes answer{address, 0x00};
    EXPECT_EQ(output(core), join({answer, answer, answer, answer, answer, answer}));
  }
}

// The same stream of host packets, cut in different ways, is read as the same packets.
struct Cut {
  const char* name;
  std::vector<size_t> sizes;  // chunk sizes; the rest goes in one last chunk
};

class SimModuleCoreSplitInput : public testing::TestWithParam<Cut> {};

TEST_P(SimModuleCoreSplitInput, PacketsSurviveAnyCut) {
  const Bytes stream = join({kProbe,
                             {0xAF, 0x01, 0x01},
                             {0x02, 0x03, 0x17, 0x00, 0x05},
                             kProbe,
                             {0x02, 0x02, 0x00, 0x02}});
  ModuleCore core = connected();
  core.echo(0x17);
  size_t at = 0;
  for (size_t size : GetParam().sizes) {
    core.receive(stream.data() + at, size);
    at += size;
  }
  core.receive(stream.data() + at, stream.size() - at);

  std::vector<Bytes> expected{
      kProbe, {0xAF, 0x01, 0x01}, {0x02, 0x03, 0x17, 0x00, 0x05}, kProbe, {0x02, 0x02, 0x00, 0x02}};
  EXPECT_EQ(recorded(core, Direction::In), expected);
  EXPECT_EQ(output(core), join({{0x02, 0x00}, {0x02, 0x03, 0x17, 0x00, 0x05}, {0x02, 0x00}}));
}

std::vector<size_t> ones(size_t count) { return std::vector<size_t>(count, 1); }

INSTANTIATE_TEST_SUITE_P(Cuts, SimModuleCoreSplitInput,
                         testing::Values(Cut{"Whole", {}}, Cut{"OneByteAtATime", ones(16)},
                                         Cut{"AfterAddress", {1}}, Cut{"InsideData", {8, 2}},
                                         Cut{"StraddlingPackets", {3, 4, 5}}),
                         [](const testing::TestParamInfo<Cut>& param) { return param.param.name; });

TEST(SimModuleCore, ZeroBytesBetweenPacketsArePadding) {
  ModuleCore core = connected();
  core.receive(join({kProbe, Bytes(20, 0x00), kProbe, {0x00}}));
  EXPECT_EQ(recorded(core, Direction::In), (std::vector<Bytes>{kProbe, kProbe}));
}

TEST(SimModuleCore, LengthOverTheLimitIsDroppedAndLaterPacketsAreRead) {
  ModuleCore core = connected();
  core.receive(join({{0x02, 29}, kProbe}));
  EXPECT_EQ(recorded(core, Direction::In), (std::vector<Bytes>{kProbe}));
}

TEST(SimModuleCore, ForceRouteIsRecordedAndNotAnswered) {
  ModuleCore core = connected();
  core.receive(join({{0xAF, 0x01, 0x01}, {0xAF, 0x01, 0x00}}));
  EXPECT_EQ(core.forceRoutes(), (std::vector<uint8_t>{1, 0}));
  EXPECT_FALSE(core.hasOutput());
}

TEST(SimModuleCore, HeartbeatGoesOutAndTheLinksAnswersAreRecorded) {
  ModuleCore core = connected();
  core.sendHeartbeat(0);
  core.sendHeartbeat(1);
  EXPECT_EQ(output(core), join({{0x02, 0x02, 0x00, 0x00}, {0x02, 0x02, 0x00, 0x01}}));
  core.receive(join({{0x02, 0x02, 0x00, 0x02}, {0x02, 0x02, 0x00, 0x03}}));
  EXPECT_EQ(core.heartbeatAnswers(), (std::vector<uint8_t>{2, 3}));
  EXPECT_FALSE(core.hasOutput());
}

TEST(SimModuleCore, RepliesComeFromTheHandlerOfTheFirstDataByte) {
  ModuleCore core = connected();
  core.receive({0x02, 0x02, 0x17, 0x01});
  EXPECT_FALSE(core.hasOutput()) << "no handler: no reply";

  core.echo(0x17);
  core.script(0x49, {{0x49, 0x01}, {0x49, 0x02, 0x03}});
  core.receive(join({{0x02, 0x02, 0x17, 0x01}, {0x02, 0x01, 0x49}, {0x02, 0x01, 0x48}}));
  EXPECT_EQ(
      output(core),
      join({{0x02, 0x02, 0x17, 0x01}, {0x02, 0x02, 0x49, 0x01}, {0x02, 0x03, 0x49, 0x02, 0x03}}));

  core.removeHandler(0x17);
  core.receive({0x02, 0x02, 0x17, 0x01});
  EXPECT_FALSE(core.hasOutput());
}

TEST(SimModuleCore, SilentSendsNoAnswersButExplicitPacketsStillGo) {
  ModuleConfig config;
  config.silent = true;
  ModuleCore core = connected(config);
  core.echo(0x17);
  core.receive(join({kProbe, {0x02, 0x01, 0x17}}));
  EXPECT_FALSE(core.hasOutput());
  core.sendHeartbeat(0);
  core.sendRaw({0x02, 0x01, 0x55});
  EXPECT_EQ(output(core), join({{0x02, 0x02, 0x00, 0x00}, {0x02, 0x01, 0x55}}));

  core.setSilent(false);
  core.receive(kProbe);
  EXPECT_EQ(output(core), (Bytes{0x02, 0x00}));
}

TEST(SimModuleCore, FloodSendsNumberedPacketsAtOnce) {
  ModuleCore core = connected();
  core.flood(300);
  Bytes all = output(core);
  ASSERT_EQ(all.size(), 300u * 5);
  EXPECT_EQ(Bytes(all.begin(), all.begin() + 5),
            (Bytes{0x02, 0x03, kvsim::kFloodCommand, 0x00, 0x00}));
  EXPECT_EQ(Bytes(all.end() - 5, all.end()), (Bytes{0x02, 0x03, kvsim::kFloodCommand, 0x01, 0x2B}));
}

TEST(SimModuleCore, FloodOnConnectFollowsTheFirstPacketOfEachConnection) {
  ModuleConfig config;
  config.floodOnConnect = 3;
  ModuleCore core = connected(config);
  core.receive(join({kProbe, kProbe}));
  EXPECT_EQ(output(core).size(), 2u + 3 * 5 + 2u);
  core.startConnection();
  core.receive(kProbe);
  EXPECT_EQ(output(core).size(), 2u + 3 * 5);
}

TEST(SimModuleCore, DropIsDueAfterTheConfiguredPacketAndANewConnectionStartsClean) {
  ModuleConfig config;
  config.dropAfter = 2;
  ModuleCore core = connected(config);
  core.receive(kProbe);
  EXPECT_FALSE(core.dropDue());
  core.receive(join({kProbe, {0x02}}));  // the second packet and a partial third
  EXPECT_TRUE(core.dropDue());

  core.startConnection();
  EXPECT_FALSE(core.dropDue());
  EXPECT_FALSE(core.hasOutput()) << "answers of the old connection are gone";
  core.receive({0x00});  // would complete the old partial packet as [02][00]
  EXPECT_EQ(recorded(core, Direction::In).size(), 2u);
  EXPECT_EQ(core.connections(), 2u);
}

// A fault armed for one packet changes the first packet sent and leaves the second alone.
struct FaultCase {
  const char* name;
  Fault fault;
  bool framed;
  Bytes firstOut;  // the bytes of the first answer
};

class SimModuleCoreFault : public testing::TestWithParam<FaultCase> {};

TEST_P(SimModuleCoreFault, AppliesToTheArmedNumberOfPackets) {
  const FaultCase& c = GetParam();
  ModuleConfig config;
  config.address = 4;
  config.framed = c.framed;
  config.faults[c.fault] = 1;
  config.garbageLength = 3;
  ModuleCore core = connected(config);
  Bytes probe = c.framed ? kvsim::frameEncode(kProbe) : kProbe;
  Bytes normal = c.framed ? kvsim::frameEncode({0x04, 0x00}) : Bytes{0x04, 0x00};

  core.receive(probe);
  EXPECT_EQ(output(core), c.firstOut);
  EXPECT_EQ(core.faultCount(c.fault), 0);
  core.receive(probe);
  EXPECT_EQ(output(core), normal);
}

INSTANTIATE_TEST_SUITE_P(
    Knobs, SimModuleCoreFault,
    testing::Values(
        FaultCase{"OddAddress", Fault::OddAddress, false, {0x05, 0x00}},
        FaultCase{"ZeroAddress", Fault::ZeroAddress, false, {0x00, 0x00}},
        FaultCase{"OversizeLength", Fault::OversizeLength, false, {0x04, kvsim::kOversizeLength}},
        FaultCase{"Garbage", Fault::Garbage, false, {0x55, 0xFF, 0xA5, 0x04, 0x00}},
        FaultCase{"GarbageFramedIsABadFrameOfItsOwn",
                  Fault::Garbage,
                  true,
                  {0x55, 0xFF, 0xA5, 0x00, 0x02, 0x04, 0x02, 0x3B, 0x00}},
        FaultCase{"Split", Fault::Split, false, {0x04, 0x00}},
        FaultCase{"BadFrame", Fault::BadFrame, true, {0x02, 0x04, 0x02, 0xC4, 0x00}},
        FaultCase{"OddAddressFramed", Fault::OddAddress, true, kvsim::frameEncode({0x05, 0x00})}),
    [](const testing::TestParamInfo<FaultCase>& param) { return param.param.name; });

TEST(SimModuleCore, FaultForEveryPacketStaysArmed) {
  ModuleConfig config;
  config.faults[Fault::OddAddress] = kvsim::kEvery;
  ModuleCore core = connected(config);
  core.receive(join({kProbe, kProbe, kProbe}));
  EXPECT_EQ(output(core), join({{0x03, 0x00}, {0x03, 0x00}, {0x03, 0x00}}));
  core.setFault(Fault::OddAddress, 0);
  core.receive(kProbe);
  EXPECT_EQ(output(core), (Bytes{0x02, 0x00}));
}

TEST(SimModuleCore, SplitPacketGoesOutOneBytePerSegmentWithGaps) {
  ModuleConfig config;
  config.splitGapMs = 7;
  config.faults[Fault::Split] = 1;
  ModuleCore core = connected(config);
  core.sendRaw({0x02, 0x02, 0x17, 0x01});
  core.receive(kProbe);
  auto segments = core.takeSegments();
  ASSERT_EQ(segments.size(), 5u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(segments[i].bytes.size(), 1u);
    EXPECT_EQ(segments[i].delayMs, 7u);
  }
  EXPECT_EQ(segments[4].bytes, (Bytes{0x02, 0x00}));
  EXPECT_EQ(segments[4].delayMs, 0u);
}

TEST(SimModuleCore, PacketsGoOutOneSegmentEachUnlessCoalesced) {
  for (bool coalesce : {false, true}) {
    SCOPED_TRACE(coalesce);
    ModuleConfig config;
    config.coalesce = coalesce;
    ModuleCore core = connected(config);
    core.receive(join({kProbe, kProbe, kProbe, kProbe, kProbe, kProbe}));
    auto segments = core.takeSegments();
    ASSERT_EQ(segments.size(), coalesce ? 1u : 6u);
    EXPECT_EQ(segments[0].bytes.size(), coalesce ? 12u : 2u);
  }
}

TEST(SimModuleCore, FramedModuleAnswersFramesWithFrames) {
  ModuleConfig config;
  config.address = 4;
  config.framed = true;
  ModuleCore core = connected(config);
  Bytes badProbe = kvsim::frameEncode(kProbe, true);
  core.receive(join({badProbe, {0x00}, kvsim::frameEncode(kProbe)}));
  EXPECT_EQ(output(core), (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
  EXPECT_EQ(core.badFramesIn(), 1u);
  EXPECT_EQ(recorded(core, Direction::In), (std::vector<Bytes>{kProbe}));
}

TEST(SimModuleCore, RecordsCarryNonDecreasingTimeAndWireBytes) {
  ModuleConfig config;
  config.faults[Fault::OddAddress] = 1;
  ModuleCore core = connected(config);
  core.receive(kProbe);
  core.sendHeartbeat(0);
  const auto& records = core.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].bytes, (Bytes{0x03, 0x00})) << "an answer is recorded as it went out";
  for (size_t i = 1; i < records.size(); ++i) EXPECT_LE(records[i - 1].ms, records[i].ms);
  std::string line = kvsim::formatRecord(records[0]);
  EXPECT_EQ(line.substr(line.find(' ')), " in AD00");
  EXPECT_EQ(kvsim::formatRecord({12, Direction::Out, {0x02, 0x02, 0x00, 0x0A}}), "12 out 0202000A");
}

TEST(SimModuleCore, HexParsing) {
  struct Case {
    const char* text;
    bool valid;
    Bytes bytes;
  };
  const Case cases[] = {
      {"02021701", true, {0x02, 0x02, 0x17, 0x01}},
      {"02 02 17 01", true, {0x02, 0x02, 0x17, 0x01}},
      {"ad00", true, {0xAD, 0x00}},
      {"", true, {}},
      {"0", false, {}},
      {"0 2", false, {}},
      {"0x02", false, {}},
      {"zz", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto bytes = kvsim::parseHex(c.text);
    ASSERT_EQ(bytes.has_value(), c.valid);
    if (c.valid) {
      EXPECT_EQ(*bytes, c.bytes);
    }
  }
}

TEST(SimModuleCore, FaultNamesRoundTrip) {
  for (Fault fault : kvsim::kAllFaults)
    EXPECT_EQ(kvsim::faultByName(kvsim::faultName(fault)), fault);
  EXPECT_FALSE(kvsim::faultByName("no-such-knob"));
}

}  // namespace
