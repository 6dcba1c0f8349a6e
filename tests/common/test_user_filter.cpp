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
#include "link_test_support.h"
#include "sim_module_process.h"

namespace {

using coretest::LinkGuard;
using kvsim::Bytes;
using Seen = coretest::SeenPackets;

constexpr int kPollMs = 5;  // ms between the tries of a poll

constexpr uint32_t kSerial = 0x0000F17E;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

bool Eventually(const std::function<bool()>& condition) {
  return coretest::Eventually(condition, kPollMs);
}

// Two filters that do the same but are not the same function.
uint8_t FilterA(const aPacket* packet, void* reference) {
  return coretest::SeeingFilter(packet, reference);
}
uint8_t FilterB(const aPacket* packet, void* reference) { return FilterA(packet, reference); }

// The filter installed in the record, read under its mutex.
void Installed(uint32_t id, aUserPacketFilter* filter, void** reference) {
  std::shared_ptr<aLink> link = sGetLink(id);
  ASSERT_TRUE(link);
  ASSERT_EQ(aMutex_Lock(link->filterMutex), aErrNone);
  *filter = link->userFilter;
  *reference = link->userFilterRef;
  aMutex_Unlock(link->filterMutex);
}

// The stand-in program over TCP and a link to it, which ends first.
class LinkToProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.ready()) << sim.error();
    link.id = aLink_CreateTCPIP(kSerial, kLoopback, static_cast<uint16_t>(sim.port()));
    ASSERT_NE(link.id, 0u);
  }

  kvsim::SimModuleProcess sim{{"--tcp", "0"}};
  LinkGuard link;
};

class UserFilterSwap : public LinkToProgram {};
class UserFilterReset : public LinkToProgram {};

TEST_F(UserFilterSwap, ReplacesOnlyTheExpectedFilterAndReference) {
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
TEST_F(UserFilterSwap, TheSwappedInFilterRuns) {
  Seen seen;
  ASSERT_EQ(aLink_SwapUserPacketFilter(link.id, nullptr, nullptr, FilterA, &seen), aErrNone);
  ASSERT_TRUE(sim.command("HB 0")) << sim.error();
  EXPECT_TRUE(Eventually([&] { return seen.count() >= 1; }));
  EXPECT_EQ(aLink_SwapUserPacketFilter(link.id, FilterA, &seen, nullptr, nullptr), aErrNone);
}

// A reset re-initialises the record; the filter installed before it stays and keeps running.
TEST_F(UserFilterReset, ALinkResetKeepsTheUserFilter) {
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
  ASSERT_TRUE(Eventually([&] { return seen.saw(heartbeat); }));
  // The owner can still remove it after the reset.
  EXPECT_EQ(aLink_SwapUserPacketFilter(link.id, FilterA, &seen, nullptr, nullptr), aErrNone);
}

}  // namespace
