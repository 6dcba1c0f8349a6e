// Store slots, factory data and streams of the stand-in module program, reached over TCP by a
// raw socket as a host reaches a module: the options that set them up and arm their knobs,
// the control commands that change them at run time, and the command lines it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exchange_test_support.h"
#include "parts_test_support.h"
#include "sim_module_core.h"
#include "sim_module_process.h"
#include "support.h"

namespace {

using kvsim::Bytes;
using kvsim::counting;
using kvsim::expectExchange;
using kvsim::join;
using kvsim::LinkSocket;
using kvsim::Packet;
using kvsim::SimModuleProcess;
using kvsim::wire;
using kvsim::withTcp;

constexpr uint8_t kAny = 0xFF;

// One packet off the link; address 0 and no data when none comes in time.
Packet readPacket(LinkSocket& link) {
  Bytes head = link.read(2);
  if (head.size() < 2) return {};
  return {head[0], link.read(head[1])};
}

// A sample's bytes with its time stamp (data bytes 4 to 11 of kinds 1 to 3) zeroed.
Bytes withoutTimestamp(Bytes data) {
  for (size_t i = 4; i < 12 && i < data.size(); ++i) data[i] = 0;
  return data;
}

Bytes enable(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  return {0x5D, 0x81, 0x20, module, command, option, index};
}

TEST(SimDataProgram, StoreSlotsAnswerAndTheirKnobsAndCommandsWork) {
  SimModuleProcess sim(
      withTcp({"--slot", "1:2:64:0A0B0C", "--slot-fault", "error-code:read:1:0x1D"}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  LinkSocket link(sim.port());
  ASSERT_TRUE(link.connected());
  expectExchange(link, wire(2, {4, 1, 1, 2}), wire(2, {4, 1, 1, 2, 0, 64}), "capacity");
  expectExchange(link, wire(2, {4, 2, 1, 2}), wire(2, {4, 2, 1, 2, 0, 3}), "size");
  expectExchange(link, wire(2, {4, 3, 1, 2}), wire(2, {4, 3, 1, 2, 1}), "open for reading");
  expectExchange(link, wire(2, {4, 6, 1}), wire(2, {4, 0x86, 1, 0x1D}), "the armed error");
  expectExchange(link, wire(2, {4, 6, 1}), wire(2, {4, 6, 1, 0x0A, 0x0B, 0x0C}), "read");
  expectExchange(link, wire(2, {4, 8, 1}), wire(2, {4, 8, 1, 0}), "close");
  expectExchange(link, wire(2, {4, 4, 1, 2}), wire(2, {4, 4, 1, 2, 1}), "open for writing");
  expectExchange(link, wire(2, {4, 7, 1, 1, 2, 3}), wire(2, {4, 7, 1, 6}), "write");
  ASSERT_TRUE(sim.command("SLOTFAULT silence:close:1")) << sim.error();
  expectExchange(link, wire(2, {4, 8, 1}), {}, "silenced close");
  std::vector<std::string> lines;
  ASSERT_TRUE(sim.command("SLOTGET 1:2", &lines)) << sim.error();
  EXPECT_EQ(lines, std::vector<std::string>{"SLOT 010203"});

  ASSERT_TRUE(sim.command("SLOT 1:3:5:FF")) << sim.error();
  expectExchange(link, wire(2, {4, 2, 1, 3}), wire(2, {4, 2, 1, 3, 0, 1}),
                 "a slot set at run time");
  ASSERT_TRUE(sim.command("SLOTFAULT late:size:1")) << sim.error();
  expectExchange(link, wire(2, {4, 2, 1, 3}), {}, "late: nothing within the quiet time");
  EXPECT_EQ(link.read(8), wire(2, {4, 2, 1, 3, 0, 1})) << "the late reply";

  for (const char* bad : {"SLOT 1:2", "SLOTGET 9:9", "SLOTGET 1", "SLOTFAULT wrong-sum:read:1",
                          "SLOTFAULT late:read"})
    EXPECT_FALSE(sim.command(bad)) << bad;
}

TEST(SimDataProgram, FactoryDataAnswerAndTheirKnobsAndCommandsWork) {
  const Bytes data = counting(30, 0x30);
  SimModuleProcess sim(
      withTcp({"--factory", "3:" + kvsim::toHex(data), "--factory-fault", "silence:end:1"}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  LinkSocket link(sim.port());
  ASSERT_TRUE(link.connected());
  expectExchange(link, wire(2, {0x5E, 0x43}), wire(2, join({0x5E, 3}, counting(26, 0x30))),
                 "first piece");
  expectExchange(link, wire(2, {0x5E, 0x03}), wire(2, join({0x5E, 3}, counting(4, 0x30 + 26))),
                 "last piece");
  expectExchange(link, wire(2, {0x5E, 0x20, 0, 30}), {}, "the silenced end");
  expectExchange(link, wire(2, {0x5E, 0x20, 0, 30}), wire(2, {0x5E, 0x80, 14}),
                 "the transfer had ended");

  expectExchange(link, wire(2, {0x5E, 0x55, 0xAA}), wire(2, {0x5E, 5}), "write");
  expectExchange(link, wire(2, {0x5E, 0x20, 0, 1}), wire(2, {0x5E, 0}), "end of the write");
  std::vector<std::string> lines;
  ASSERT_TRUE(sim.command("FACTORYGET 5", &lines)) << sim.error();
  EXPECT_EQ(lines, std::vector<std::string>{"FACTORY AA"});
  ASSERT_TRUE(sim.command("FACTORYFAULT ack-length:write:1")) << sim.error();
  expectExchange(link, wire(2, {0x5E, 0x55, 0xBB}), wire(2, {0x5E, 5, 0}),
                 "a long acknowledgement");
  ASSERT_TRUE(sim.command("FACTORY 7:0102")) << sim.error();
  expectExchange(link, wire(2, {0x5E, 0x47}), wire(2, {0x5E, 7, 1, 2}), "a kind set at run time");

  for (const char* bad : {"FACTORY 16:00", "FACTORYGET 16", "FACTORYFAULT ack-length:read:1"})
    EXPECT_FALSE(sim.command(bad)) << bad;
}

TEST(SimDataProgram, StreamsSendSamplesOnCommandAndAtTheRateWhileEnabled) {
  SimModuleProcess sim(
      withTcp({"--stream", "3:8:0:2", "--stream-rate", "0", "--stream-fault", "long:1"}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  LinkSocket link(sim.port());
  ASSERT_TRUE(link.connected());
  expectExchange(link, wire(2, {0x5D, 0x41, 0x20}), wire(2, {0x5D, 0x01, 0x00, 0}),
                 "not streaming");
  EXPECT_FALSE(sim.command("EMIT 1")) << "nothing enabled";
  expectExchange(link, wire(2, enable(2, 3, kAny, 0)), wire(2, {0x5D, 0xC1, 0x00, 2, 3, kAny, 0}),
                 "enable");
  expectExchange(link, wire(2, {0x5D, 0x41, 0x20}), wire(2, {0x5D, 0x01, 0x00, 1}), "streaming");

  ASSERT_TRUE(sim.command("EMIT 2")) << sim.error();
  Packet first = readPacket(link);
  Packet second = readPacket(link);
  EXPECT_EQ(first.address, 2);
  EXPECT_EQ(withoutTimestamp(first.data),
            (Bytes{3, 8, 0x40, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0}))
      << "one byte long";
  EXPECT_EQ(withoutTimestamp(second.data), (Bytes{3, 8, 0x40, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0}));
  ASSERT_TRUE(sim.command("BURST 3")) << sim.error();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(readPacket(link).data.size(), 15u) << i;
  std::vector<std::string> lines;
  ASSERT_TRUE(sim.command("STREAMSTAT", &lines)) << sim.error();
  EXPECT_EQ(lines, std::vector<std::string>{"STREAM samples=5 packets=5 enabled=1"});

  ASSERT_TRUE(sim.command("STREAMRATE 100")) << sim.error();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(readPacket(link).data.size(), 15u) << "timed sample " << i;
  ASSERT_TRUE(link.send(wire(2, {0x5D, 0x82, 0x20, 2, kAny, kAny, kAny})));
  const Bytes ack{0x5D, 0xC2, 0x00, 2, kAny, kAny, kAny};
  Packet packet;
  do packet = readPacket(link);
  while (!packet.data.empty() && packet.data != ack);
  EXPECT_EQ(packet.data, ack);
  EXPECT_EQ(link.readFor(kvsim::kQuietMs), Bytes{}) << "no samples after the disable";

  ASSERT_TRUE(sim.command("STREAMFAULT refuse:1:0x1D")) << sim.error();
  expectExchange(link, wire(2, enable(2, 3, 8, 0)), wire(2, {0x5D, 0xC1, 0x80, 0x1D}), "refused");
  for (const char* bad :
       {"STREAMRATE 100001", "STREAMFAULT refuse:1", "EMIT x", "EMIT @16 1", "BURST"})
    EXPECT_FALSE(sim.command(bad)) << bad;
}

TEST(SimDataProgram, AModuleBehindStreamsOverTheRoutersLink) {
  SimModuleProcess sim(
      withTcp({"--behind", "0x10:1234", "--behind-stream", "0x10:3:8:0:1", "--stream-rate", "0"}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  LinkSocket link(sim.port());
  ASSERT_TRUE(link.connected());
  expectExchange(link, wire(0x10, enable(0x10, 3, kAny, kAny)),
                 wire(0x10, {0x5D, 0xC1, 0x00, 0x10, 3, kAny, kAny}),
                 "enable of the module behind");
  ASSERT_TRUE(sim.command("EMIT @16 2")) << sim.error();
  for (uint8_t value = 1; value <= 2; ++value) {
    Packet sample = readPacket(link);
    EXPECT_EQ(sample.address, 0x10);
    EXPECT_EQ(withoutTimestamp(sample.data),
              (Bytes{3, 8, 0x40, 1, 0, 0, 0, 0, 0, 0, 0, 0, value, 0}));
  }
  std::vector<std::string> lines;
  ASSERT_TRUE(sim.command("STREAMSTAT @16", &lines)) << sim.error();
  EXPECT_EQ(lines, std::vector<std::string>{"STREAM samples=2 packets=2 enabled=1"});
  EXPECT_FALSE(sim.command("EMIT 1")) << "the router itself has no streams";
  EXPECT_FALSE(sim.command("EMIT @18 1"));
  expectExchange(link, wire(2, enable(2, kAny, kAny, kAny)), {},
                 "the router does not answer streams");
}

TEST(SimDataProgram, CommandsOfPartsNotSetUpAreRefused) {
  SimModuleProcess sim(withTcp({}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  for (const char* command : {"SLOT 1:2:3", "SLOTGET 1:2", "FACTORY 1:00", "FACTORYGET 1",
                              "STREAMRATE 5", "EMIT 1", "STREAMSTAT"})
    EXPECT_FALSE(sim.command(command)) << command;
  LinkSocket link(sim.port());
  expectExchange(link, wire(2, {4, 1, 1, 2}), {}, "no store slots");
  expectExchange(link, wire(2, {0x5E, 0x43}), {}, "no factory data");
  expectExchange(link, wire(2, {0x5D, 0x41, 0x20}), {}, "no streams");
}

TEST(SimDataProgram, BadSlotFactoryAndStreamCommandLinesAreRefused) {
  const std::vector<std::vector<std::string>> cases{
      {"--slot", "1:2"},
      {"--slot", "1:2:1:0A0B"},
      {"--slot-fault", "bogus:read:1"},
      {"--slot-fault", "error-code:read:1"},
      {"--factory", "16:00"},
      {"--factory-fault", "ack-length:read:1"},
      {"--stream", "3:8:0:9"},
      {"--stream", "3:8:0:4:24"},
      {"--behind-stream", "0x10:3:8:0:1"},  // no module behind there
      {"--stream-rate", "100001"},
      {"--stream-burst", "0"},
      {"--stream-fault", "refuse:1"},
      {"--stream"},
  };
  kvsim::expectRefusedCommandLines(cases);
}

}  // namespace
