// The stand-in module program as a router, over TCP with a raw socket: its I2C bus answers
// the probes a routed discovery makes, the modules behind it answer over its link from their
// own addresses, and their knobs work from the command line and the control channel.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_module_core.h"
#include "exchange_test_support.h"
#include "sim_module_process.h"
#include "sim_router.h"

namespace {

using kvsim::Bytes;
using kvsim::Direction;
using kvsim::expectExchange;
using kvsim::LinkSocket;
using kvsim::Packet;
using kvsim::SimModuleProcess;
using kvsim::wire;

constexpr uint8_t kRouter = 4;
constexpr uint8_t kNack = kvsim::kI2cStatusError | kvsim::kI2cErrNoDevice;

Bytes probe(uint8_t address) { return wire(kRouter, {8, 0, address, 2, 3, 0, 0}); }
Bytes probeReply(uint8_t address, uint8_t status) {
  return wire(kRouter, {8, 0, address, 0, status});
}
Bytes getSerial(uint8_t address) { return wire(address, {3, 9 | 0x40, 0x20}); }
Bytes serialReply(uint8_t address, uint32_t serial) {
  return wire(address,
              {3, 9, 0, static_cast<uint8_t>(serial >> 24), static_cast<uint8_t>(serial >> 16),
               static_cast<uint8_t>(serial >> 8), static_cast<uint8_t>(serial)});
}

class SimRouterProgram : public testing::Test {
 protected:
  SimRouterProgram()
      : sim_({"--tcp", "0", "--address", "4", "--serial", "1111", "--behind",
              "0x10:BEEF:0x13:first", "--behind", "0x12:CAFE", "--behind", "0x14:F00D", "--behind",
              "254:0000FE00", "--behind-silent", "0x12", "--behind-missing", "0x14"}) {}
  SimModuleProcess sim_;
};

TEST_F(SimRouterProgram, RoutedDiscoverySweepFindsThePresentAndSilentModules) {
  ASSERT_TRUE(sim_.ready()) << sim_.error();
  LinkSocket link(sim_.port());
  expectExchange(link, {0xAD, 0x00}, {kRouter, 0x00}, "the router's own address");
  expectExchange(link, wire(kRouter, {3, 20 | 0x80, 0x20, 1}), wire(kRouter, {3, 20 | 0xC0, 0}),
                 "route to me");

  Bytes sweep, expected;
  for (int a = 2; a <= 252; a += 2) {
    if (a == kRouter) continue;
    uint8_t address = static_cast<uint8_t>(a);
    Bytes request = probe(address);
    sweep.insert(sweep.end(), request.begin(), request.end());
    Bytes reply = probeReply(address, address == 0x10 || address == 0x12 ? 0 : kNack);
    expected.insert(expected.end(), reply.begin(), reply.end());
  }
  expectExchange(link, sweep, expected, "one probe per even address");
  expectExchange(link, probe(254), probeReply(254, 0), "254 is on the bus, only never probed");

  expectExchange(link, getSerial(0x10), serialReply(0x10, 0xBEEF), "present module");
  expectExchange(link, getSerial(0x12), {}, "silent module");
  expectExchange(link, getSerial(0x14), {}, "missing module");
  expectExchange(link, getSerial(0x16), {}, "free address");
  EXPECT_TRUE(sim_.awaitRecord(Direction::Out, serialReply(0x10, 0xBEEF)))
      << "the router's record holds the forwarded reply";
}

TEST_F(SimRouterProgram, ModuleBehindAnswersItsIdentityProbes) {
  ASSERT_TRUE(sim_.ready()) << sim_.error();
  LinkSocket link(sim_.port());
  struct Case {
    const char* what;
    Bytes request;
    Bytes reply;
  };
  const Case cases[] = {
      {"build query", {0x49, 0xFF}, {0x49, 0xFF, 0x00, 0x00, 0x12, 0x34}},
      {"version", {3, 7 | 0x40, 0x20}, {3, 7, 0, 0x2F, 0x02, 0x0F, 0x03}},
      {"module address", {3, 1 | 0x40, 0x20}, {3, 1, 0, 0x10}},
      {"router address", {3, 2 | 0x40, 0x20}, {3, 2, 0, kRouter}},
      {"model", {3, 8 | 0x40, 0x20}, {3, 8, 0, 0x13}},
      {"name", {3, 32 | 0x40, 0x20}, {3, 32, 0, 'f', 'i', 'r', 's', 't', 0x00}},
  };
  for (const Case& c : cases)
    expectExchange(link, wire(0x10, c.request), wire(0x10, c.reply), c.what);
  expectExchange(link, getSerial(kRouter), serialReply(kRouter, 0x1111),
                 "the router keeps its own identity");
  expectExchange(link, wire(kRouter, {3, 2 | 0x40, 0x20}), wire(kRouter, {3, 2, 0, 0}),
                 "the router has no router");
}

TEST_F(SimRouterProgram, BusReadWriteAndPullup) {
  ASSERT_TRUE(sim_.ready()) << sim_.error();
  LinkSocket link(sim_.port());
  expectExchange(link, wire(kRouter, {8, 0, 0x10, 2, 1, 0xC1, 0xC2}),
                 wire(kRouter, {8, 0, 0x10, 0, 0}), "write");
  expectExchange(link, wire(kRouter, {8, 0, 0x11, 3, 1}),
                 wire(kRouter, {8, 0, 0x11, 3, 0, 0xC1, 0xC2, 0x00}), "read");
  expectExchange(link, wire(kRouter, {8, 0, 0x15, 1, 1}), wire(kRouter, {8, 0, 0x15, 0, kNack}),
                 "read of a missing one");
  expectExchange(link, wire(kRouter, {8, 0, 1, 1}), wire(kRouter, {8, 0, 1, 1, 0}), "pullup");
}

TEST_F(SimRouterProgram, ControlChannelChangesModulesBehind) {
  ASSERT_TRUE(sim_.ready()) << sim_.error();
  LinkSocket link(sim_.port());
  ASSERT_TRUE(sim_.command("BEHIND 0x12 present")) << sim_.error();
  expectExchange(link, getSerial(0x12), serialReply(0x12, 0xCAFE), "silent one back");
  ASSERT_TRUE(sim_.command("BEHIND 0x10 missing")) << sim_.error();
  expectExchange(link, probe(0x10), probeReply(0x10, kNack), "gone from the bus");
  expectExchange(link, getSerial(0x10), {}, "gone from the link");
  ASSERT_TRUE(sim_.command("BEHIND 16 silent")) << sim_.error();
  expectExchange(link, probe(0x10), probeReply(0x10, 0), "acknowledges again");
  expectExchange(link, getSerial(0x10), {}, "but says nothing");
  ASSERT_TRUE(sim_.command("BEHIND 16 present")) << sim_.error();

  ASSERT_TRUE(sim_.command("UEIFAULT @0x10 error-code:3:0:9:1:0x1D")) << sim_.error();
  expectExchange(link, getSerial(0x10), wire(0x10, {3, 9, 0x80, 0x1D}),
                 "fault of the module behind");
  expectExchange(link, getSerial(kRouter), serialReply(kRouter, 0x1111), "not of the router");
  ASSERT_TRUE(sim_.command("UEISET @0x10 3:0:9 0x12345678")) << sim_.error();
  expectExchange(link, getSerial(0x10), serialReply(0x10, 0x12345678),
                 "value of the module behind");

  for (const char* bad : {"BEHIND 0x16 present", "BEHIND 0x10 gone", "BEHIND",
                          "UEISET @0x16 3:0:9 1", "UEIFAULT @x silence:3:0:9:1"})
    EXPECT_FALSE(sim_.command(bad)) << bad;
}

}  // namespace
