// The user packet filter: the compare-and-swap replacement that lets an owner replace or
// remove only the filter it installed, and a link reset that keeps the installed filter.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkTable.h"
#include "sim_module_process.h"

namespace {

using kvsim::Bytes;

// Longest wait for something the link or the module is about to do; only reached on failure.
constexpr auto kHangGuard = std::chrono::seconds(20);
constexpr int kPollMs = 5;  // ms between the tries of a poll

constexpr uint32_t kSerial = 0x0000F17E;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

bool Eventually(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + kHangGuard;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return true;
}

struct Seen {
  std::mutex lock;
  std::vector<Bytes> packets;
  size_t count() {
    std::lock_guard<std::mutex> hold(lock);
    return packets.size();
  }
};

uint8_t FilterA(const aPacket* packet, void* reference) {
  Seen* seen = static_cast<Seen*>(reference);
  std::lock_guard<std::mutex> hold(seen->lock);
  Bytes bytes{packet->address, packet->dataSize};
  bytes.insert(bytes.end(), packet->data, packet->data + packet->dataSize);
  seen->packets.push_back(bytes);
  return 0;
}

uint8_t FilterB(const aPacket* packet, void* reference) { return FilterA(packet, reference); }

struct LinkGuard {
  uint32_t id = 0;
  ~LinkGuard() {
    if (id != 0) aLink_Destroy(&id);
  }
};

// The filter installed in the record, read under its mutex.
void Installed(uint32_t id, aUserPacketFilter* filter, void** reference) {
  std::shared_ptr<aLink> link = sGetLink(id);
  ASSERT_TRUE(link);
  ASSERT_EQ(aMutex_Lock(link->filterMutex), aErrNone);
  *filter = link->userFilter;
  *reference = link->userFilterRef;
  aMutex_Unlock(link->filterMutex);
}

TEST(UserFilterSwap, ReplacesOnlyTheExpectedFilterAndReference) {
  kvsim::SimModuleProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  LinkGuard link{aLink_CreateTCPIP(kSerial, kLoopback, static_cast<uint16_t>(sim.port()))};
  ASSERT_NE(link.id, 0u);
  Seen one;
  Seen two;

  // From none to A.
  EXPECT_EQ(aLink_SwapUserPacketFilter(link.id, FilterA, &one, FilterA, &one), aErrBusy);
  EXPECT_EQ(aLink_SwapUserPacketFilter(link.id, nullptr, nullptr, FilterA, &one), aErrNone);
  // Someone else's filter is never replaced: wrong function, wrong reference, or none expected.
  EXPECT_EQ(aLink_SwapUserPacketFilter(link.id, FilterB, &one, FilterB, &two), aErrBusy);
  EXPECT_EQ(aLink_SwapUserPacketFilter(link.id, FilterA, &two, FilterB, &two), aErrBusy);
  EXPECT_EQ(aLink_SwapUserPacketFilter(link.id, nullptr, nullptr, FilterB, &two), aErrBusy);
  aUserPacketFilter filter = nullptr;
  void* reference = nullptr;
  Installed(link.id, &filter, &reference);
  EXPECT_EQ(filter, &FilterA);
  EXPECT_EQ(reference, &one);

  // A to B, then removed by its owner.
  EXPECT_EQ(aLink_SwapUserPacketFilter(link.id, FilterA, &one, FilterB, &two), aErrNone);
  Installed(link.id, &filter, &reference);
  EXPECT_EQ(filter, &FilterB);
  EXPECT_EQ(reference, &two);
  EXPECT_EQ(aLink_SwapUserPacketFilter(link.id, FilterA, &one, nullptr, nullptr), aErrBusy);
  EXPECT_EQ(aLink_SwapUserPacketFilter(link.id, FilterB, &two, nullptr, nullptr), aErrNone);
  Installed(link.id, &filter, &reference);
  EXPECT_EQ(filter, nullptr);
  EXPECT_EQ(reference, nullptr);

  EXPECT_EQ(aLink_SwapUserPacketFilter(0xFFFFFF00u, nullptr, nullptr, FilterA, &one), aErrParam);
}

// Installed through a swap, the filter sees the packets the reader receives.
TEST(UserFilterSwap, TheSwappedInFilterRuns) {
  kvsim::SimModuleProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  LinkGuard link{aLink_CreateTCPIP(kSerial, kLoopback, static_cast<uint16_t>(sim.port()))};
  ASSERT_NE(link.id, 0u);
  Seen seen;
  ASSERT_EQ(aLink_SwapUserPacketFilter(link.id, nullptr, nullptr, FilterA, &seen), aErrNone);
  ASSERT_TRUE(sim.command("HB 0")) << sim.error();
  EXPECT_TRUE(Eventually([&] { return seen.count() >= 1; }));
  EXPECT_EQ(aLink_SwapUserPacketFilter(link.id, FilterA, &seen, nullptr, nullptr), aErrNone);
}

// A reset re-initialises the record; the filter installed before it stays and keeps running.
TEST(UserFilterReset, ALinkResetKeepsTheUserFilter) {
  kvsim::SimModuleProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  LinkGuard link{aLink_CreateTCPIP(kSerial, kLoopback, static_cast<uint16_t>(sim.port()))};
  ASSERT_NE(link.id, 0u);
  Seen seen;
  ASSERT_EQ(aLink_InstallUserPacketFilter(link.id, FilterA, &seen), aErrNone);

  ASSERT_EQ(aLink_Reset(link.id), aErrNone);
  aUserPacketFilter filter = nullptr;
  void* reference = nullptr;
  Installed(link.id, &filter, &reference);
  EXPECT_EQ(filter, &FilterA);
  EXPECT_EQ(reference, &seen);

  const Bytes heartbeat = {0x02, 0x02, 0x00, 0x01};
  ASSERT_TRUE(sim.command("HB 1")) << sim.error();
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> hold(seen.lock);
    for (const Bytes& packet : seen.packets) {
      if (packet == heartbeat) return true;
    }
    return false;
  }));
  // The owner can still remove it after the reset.
  EXPECT_EQ(aLink_SwapUserPacketFilter(link.id, FilterA, &seen, nullptr, nullptr), aErrNone);
}

}  // namespace
