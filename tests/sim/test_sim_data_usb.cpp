// Store slots and streams of the stand-in module behind the simulated USB bus, driven through
// the module's pipe ends: the timer thread sends the timed samples and the late replies that
// setUp() attached or keepTimed() was given, and samples asked for at once need no timer.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "exchange_test_support.h"
#include "sim_module_setup.h"
#include "sim_slots.h"
#include "sim_stream.h"
#include "sim_usb_module.h"

namespace {

using kvsim::Bytes;
using kvsim::Packet;
using kvsim::SimUsbModule;

constexpr uint8_t kAddress = 2;
constexpr unsigned kFastRate = 200;  // samples per second: enough to see several soon
constexpr size_t kSamplesToSee = 5;
constexpr unsigned kShortLateMs = 20;                  // ms a late reply waits here
constexpr auto kHangGuard = std::chrono::seconds(20);  // reached only on failure
constexpr auto kPollInterval = std::chrono::milliseconds(2);

kvsim::ModuleConfig config() {
  kvsim::ModuleConfig c;
  c.address = kAddress;
  return c;
}

// Takes what the module supplies, cut into packets, until done() holds for them or the guard
// passes.
std::vector<Packet> collect(SimUsbModule& module,
                            const std::function<bool(const std::vector<Packet>&)>& done) {
  Bytes all;
  std::vector<Packet> packets;
  const auto end = std::chrono::steady_clock::now() + kHangGuard;
  while (!done(packets) && std::chrono::steady_clock::now() < end) {
    uint8_t buffer[512];
    size_t got = module.supply(buffer, sizeof buffer);
    if (got == 0) {
      std::this_thread::sleep_for(kPollInterval);
      continue;
    }
    all.insert(all.end(), buffer, buffer + got);
    packets.clear();
    for (size_t at = 0; at + 2 <= all.size() && at + 2 + all[at + 1] <= all.size();
         at += 2 + all[at + 1])
      packets.push_back(
          {all[at], Bytes(all.begin() + static_cast<std::ptrdiff_t>(at + 2),
                          all.begin() + static_cast<std::ptrdiff_t>(at + 2 + all[at + 1]))});
  }
  return packets;
}

void send(SimUsbModule& module, const Bytes& data) {
  Bytes wire = Packet{kAddress, data}.wire();
  module.received(wire.data(), wire.size());
}

TEST(SimDataUsb, TimedSamplesOfASetUpStreamFlowOverTheBus) {
  SimUsbModule module(config());
  kvsim::ModuleSetup setup;
  kvsim::StreamSource source;
  source.command = 3;
  source.option = 8;
  source.kind = 1;
  setup.streams.push_back(source);
  setup.streamRate = kFastRate;
  ASSERT_EQ(module.setUp(setup), "");
  send(module, {0x5D, 0x81, 0x20, kAddress, 3, 8, 0});
  std::vector<Packet> packets =
      collect(module, [](const std::vector<Packet>& got) { return got.size() > kSamplesToSee; });
  ASSERT_GT(packets.size(), kSamplesToSee);
  EXPECT_EQ(packets[0].data, (Bytes{0x5D, 0xC1, 0x00, kAddress, 3, 8, 0}));
  for (size_t i = 1; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].data.size(), 14u);
    EXPECT_EQ(packets[i].data[12], i) << "the value counts up";
  }
}

TEST(SimDataUsb, KeepTimedSendsTheLateReplyOfSlotsAttachedInProcess) {
  SimUsbModule module(config());
  auto slots =
      module.withCore([](kvsim::ModuleCore& core) { return kvsim::SlotStore::attach(core); });
  module.withCore([&](kvsim::ModuleCore&) {
    slots->setSlot(1, 2, 300);
    slots->setFault(kvsim::SlotStep::Capacity, kvsim::SlotFault::Late, 1, kShortLateMs);
  });
  module.keepTimed(slots);
  send(module, {4, 1, 1, 2});
  std::vector<Packet> packets =
      collect(module, [](const std::vector<Packet>& got) { return !got.empty(); });
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].data, (Bytes{4, 1, 1, 2, 0x01, 0x2C}));
}

TEST(SimDataUsb, SamplesAskedForAtOnceNeedNoTimer) {
  SimUsbModule module(config());
  auto streamer =
      module.withCore([](kvsim::ModuleCore& core) { return kvsim::Streamer::attach(core); });
  module.withCore([&](kvsim::ModuleCore&) {
    kvsim::StreamSource source;
    source.command = 3;
    source.option = 8;
    source.kind = 7;
    streamer->addSource(source);
  });
  send(module, {0x5D, 0x81, 0x20, kAddress, 3, 0xFF, 0xFF});
  EXPECT_EQ(module.withCore([&](kvsim::ModuleCore&) { return streamer->emitSamples(3, true); }),
            3u);
  std::vector<Packet> packets =
      collect(module, [](const std::vector<Packet>& got) { return got.size() >= 4; });
  ASSERT_EQ(packets.size(), 4u) << "the acknowledgement and three samples";
  for (size_t i = 1; i < packets.size(); ++i) EXPECT_EQ(packets[i].data.size(), 18u);
  EXPECT_EQ(module.withCore([&](kvsim::ModuleCore&) { return streamer->samplesSent(); }), 3u);
}

}  // namespace
