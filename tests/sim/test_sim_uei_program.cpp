// UEI values of the stand-in module program, reached over TCP by a raw socket as a host
// reaches a module: the identity options, each reply fault knob, and the control commands
// that change faults and values at run time. Bytes are compared exactly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_module_core.h"
#include "exchange_test_support.h"
#include "parts_test_support.h"
#include "sim_module_process.h"
#include "sim_uei.h"
#include "support.h"

namespace {

using kvsim::Bytes;
using kvsim::expectExchange;
using kvsim::LinkSocket;
using kvsim::Packet;
using kvsim::SimModuleProcess;
using kvsim::wire;
using kvsim::withTcp;

Bytes join(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Bytes kGetModel = wire(2, {3, 8 | 0x40, 0x20});
const Bytes kModel = wire(2, {3, 8, 0, 0x11});
const Bytes kGetSerial = wire(2, {3, 9 | 0x40, 0x20});
const Bytes kSerial = wire(2, {3, 9, 0, 0x00, 0x00, 0xAB, 0xCD});

TEST(SimUeiProgram, IdentityOptionsAreWhatTheModuleAnswers) {
  SimModuleProcess sim(
      withTcp({"--uei", "--address", "6", "--serial", "40F5849A", "--model", "0x13", "--build",
               "4660", "--version", "0x2F020A04", "--name", "probe", "--features", "0x1"}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  LinkSocket link(sim.port());
  ASSERT_TRUE(link.connected());
  struct Case {
    const char* what;
    Bytes request;
    Bytes reply;
  };
  const Case cases[] = {
      {"address probe", {}, {}},
      {"serial number", {3, 9 | 0x40, 0x20}, {3, 9, 0, 0x40, 0xF5, 0x84, 0x9A}},
      {"module address", {3, 1 | 0x40, 0x20}, {3, 1, 0, 6}},
      {"model", {3, 8 | 0x40, 0x20}, {3, 8, 0, 0x13}},
      {"version", {3, 7 | 0x40, 0x20}, {3, 7, 0, 0x2F, 0x02, 0x0A, 0x04}},
      {"build option", {3, 43 | 0x40, 0x20}, {3, 43, 0, 0x00, 0x00, 0x12, 0x34}},
      {"features", {3, 45 | 0x40, 0x20}, {3, 45, 0, 0x00, 0x00, 0x00, 0x01}},
      {"name", {3, 32 | 0x40, 0x20}, {3, 32, 0, 'p', 'r', 'o', 'b', 'e', 0x00}},
      {"route to me", {3, 20 | 0x80, 0x20, 1}, {3, 20 | 0xC0, 0}},
      {"build query", {0x49, 0xFF}, {0x49, 0xFF, 0x00, 0x00, 0x12, 0x34}},
      {"has UEI", {0x49, 1, 3, 9, 0, 0x40}, {0x49, 1, 3, 9, 0, 0}},
      {"echo", {23, 1, 2}, {23, 1, 2}},
  };
  for (const Case& c : cases) {
    Bytes request = c.request.empty() ? Bytes{0xAD, 0x00} : wire(6, c.request);
    expectExchange(link, request, wire(6, c.reply), c.what);
  }
}

TEST(SimUeiProgram, WithoutUeiTheModuleAnswersNoUeiRequest) {
  SimModuleProcess sim(withTcp({}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  LinkSocket link(sim.port());
  expectExchange(link, kGetSerial, {}, "serial number");
  expectExchange(link, {0xAD, 0x00}, {0x02, 0x00}, "the link still answers");
}

// One knob armed from the command line, then the steps: a request and exactly what comes back.
struct FaultCase {
  const char* name;
  std::vector<std::string> arguments;
  std::vector<std::pair<Bytes, Bytes>> steps;
};

class SimUeiProgramFault : public testing::TestWithParam<FaultCase> {};

TEST_P(SimUeiProgramFault, KnobShapesTheReplies) {
  const FaultCase& c = GetParam();
  std::vector<std::string> arguments{"--uei", "--serial", "ABCD"};
  arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
  SimModuleProcess sim(withTcp(arguments));
  ASSERT_TRUE(sim.ready()) << sim.error();
  LinkSocket link(sim.port());
  ASSERT_TRUE(link.connected());
  for (size_t i = 0; i < c.steps.size(); ++i)
    expectExchange(link, c.steps[i].first, c.steps[i].second, "step " + std::to_string(i));
}

const Bytes kName30(30, 'n');
const Bytes kGetName = wire(2, {3, 32 | 0x40, 0x20});
Bytes nameChunk(size_t count, uint8_t sequence) {
  Bytes data{3, 32, 0};
  data.insert(data.end(), count, 'n');
  data.push_back(sequence);
  return wire(2, data);
}

INSTANTIATE_TEST_SUITE_P(
    Knobs, SimUeiProgramFault,
    testing::Values(
        FaultCase{"WrongLength",
                  {"--uei-fault", "wrong-length:3:0:8:1"},
                  {{kGetModel, wire(2, {3, 8, 0, 0x11, 0x00})}, {kGetModel, kModel}}},
        FaultCase{"ErrorCode",
                  {"--uei-fault", "error-code:3:0:8:1:0x1D"},
                  {{kGetModel, wire(2, {3, 8, 0x80, 0x1D})}, {kGetModel, kModel}}},
        FaultCase{"ErrorCodeOnASet",
                  {"--uei-fault", "error-code:3:0:20:every:5"},
                  {{wire(2, {3, 20 | 0x80, 0x20, 1}), wire(2, {3, 20 | 0xC0, 0x80, 5})},
                   {wire(2, {3, 20 | 0x80, 0x20, 0}), wire(2, {3, 20 | 0xC0, 0x80, 5})}}},
        FaultCase{"OtherAddress",
                  {"--uei-fault", "other-address:3:0:8:1:6"},
                  {{kGetModel, wire(6, {3, 8, 0, 0x11})}, {kGetModel, kModel}}},
        FaultCase{"Late",
                  {"--uei-fault", "late:3:0:8:1"},
                  {{kGetModel, {}}, {kGetSerial, join({kModel, kSerial})}}},
        FaultCase{"Duplicate",
                  {"--uei-fault", "duplicate:3:0:8:1"},
                  {{kGetModel, join({kModel, kModel})}, {kGetModel, kModel}}},
        FaultCase{"OutOfSequence",
                  {"--name", std::string(kName30.begin(), kName30.end()), "--uei-fault",
                   "out-of-sequence:3:0:32:1"},
                  {{kGetName, join({nameChunk(6, 0x01), nameChunk(24, 0x80)})},
                   {kGetName, join({nameChunk(24, 0x80), nameChunk(6, 0x01)})}}},
        FaultCase{"SilenceOnce",
                  {"--uei-fault", "silence:3:0:8:1"},
                  {{kGetModel, {}}, {kGetModel, kModel}}},
        FaultCase{"SilenceEveryTimeLeavesOtherOptions",
                  {"--uei-fault", "silence:3:0:8:every"},
                  {{kGetModel, {}}, {kGetModel, {}}, {kGetSerial, kSerial}}},
        FaultCase{
            "TwoKnobsOnTwoOptions",
            {"--uei-fault", "silence:3:0:8:1", "--uei-fault", "duplicate:3:0:9:1"},
            {{join({kGetModel, kGetSerial}), join({kSerial, kSerial})}, {kGetModel, kModel}}}),
    [](const testing::TestParamInfo<FaultCase>& param) { return param.param.name; });

TEST(SimUeiProgram, ControlCommandsArmFaultsAndSetValues) {
  SimModuleProcess sim(withTcp({"--uei", "--serial", "ABCD"}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  LinkSocket link(sim.port());

  ASSERT_TRUE(sim.command("UEIFAULT error-code:3:0:9:1:0x1D")) << sim.error();
  expectExchange(link, kGetSerial, wire(2, {3, 9, 0x80, 0x1D}), "armed at run time");
  expectExchange(link, kGetSerial, kSerial, "for one exchange");
  ASSERT_TRUE(sim.command("UEIFAULT silence:3:0:9:every")) << sim.error();
  expectExchange(link, kGetSerial, {}, "silenced");
  ASSERT_TRUE(sim.command("UEIFAULT silence:3:0:9:0")) << sim.error();
  expectExchange(link, kGetSerial, kSerial, "disarmed with count 0");

  ASSERT_TRUE(sim.command("UEISET 3:0:9 0x01020304")) << sim.error();
  expectExchange(link, kGetSerial, wire(2, {3, 9, 0, 1, 2, 3, 4}), "new serial number");
  ASSERT_TRUE(sim.command("UEISET 3:0:32 \"a b\"")) << sim.error();
  expectExchange(link, kGetName, wire(2, {3, 32, 0, 'a', ' ', 'b', 0x00}), "name as text");
  ASSERT_TRUE(sim.command("UEISET 3:0:32 01 02")) << sim.error();
  expectExchange(link, kGetName, wire(2, {3, 32, 0, 1, 2, 0x00}), "name as hex bytes");
  ASSERT_TRUE(sim.command("UEISET 3:0:43 77")) << sim.error();
  expectExchange(link, wire(2, {0x49, 0xFF}), wire(2, {0x49, 0xFF, 0, 0, 0, 77}),
                 "build query follows");
  ASSERT_TRUE(sim.command("UEISET 3:0:39:1 5")) << sim.error();
  expectExchange(link, wire(2, {3, 39 | 0x40, 0x20, 1}), wire(2, {3, 39, 0, 0, 0, 0, 5}),
                 "subindexed word");

  for (const char* bad :
       {"UEIFAULT", "UEIFAULT bogus:3:0:9:1", "UEIFAULT silence:3:0:9:1 extra",
        "UEIFAULT @16 silence:3:0:9:1", "UEISET 3:0:9", "UEISET 3:0:4 300", "UEISET 3:0:99 1",
        "UEISET 3:5:9 1", "UEISET 3:0:10 1", "BEHIND 16 present"})
    EXPECT_FALSE(sim.command(bad)) << bad;
  EXPECT_NE(sim.error().find("no module behind"), std::string::npos) << sim.error();
  expectExchange(link, kGetModel, kModel, "the module still answers after refusals");
}

TEST(SimUeiProgram, ControlCommandsWithoutUeiValuesAreRefused) {
  SimModuleProcess sim(withTcp({}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  EXPECT_FALSE(sim.command("UEIFAULT silence:3:0:9:1"));
  EXPECT_NE(sim.error().find("--uei"), std::string::npos) << sim.error();
  EXPECT_FALSE(sim.command("UEISET 3:0:9 1"));
}

TEST(SimUeiProgram, BadUeiAndRouterCommandLinesAreRefused) {
  const std::vector<std::vector<std::string>> cases{
      {"--uei-fault", "silence:3:0:9:1"},  // without --uei
      {"--build", "1"},
      {"--name", "x"},
      {"--uei", "--uei-fault", "bogus:3:0:9:1"},
      {"--uei", "--uei-fault", "error-code:3:0:9:1"},
      {"--uei", "--uei-fault", "silence:3:0:9"},
      {"--uei", "--build", "0x100000000"},
      {"--uei", "--version"},
      {"--behind", "0x11:1"},
      {"--behind", "0x02:1"},  // the router's own address
      {"--behind", "0x10:1", "--behind", "0x10:2"},
      {"--behind", "0x10"},
      {"--behind-silent", "0x10"},
      {"--behind", "0x10:1", "--behind-missing", "0x12"},
  };
  kvsim::expectRefusedCommandLines(cases);
}

}  // namespace
