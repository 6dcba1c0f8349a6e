// Link over TCP to the stand-in module program on loopback, and the checks a Link makes
// before it touches a core link.
#include "Link.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkRecord.h"
#include "sim_module_process.h"
#include "support.h"

using Zentrova::Kolvantis::_fallbackHelper;
using Zentrova::Kolvantis::isVELNET;
using Zentrova::Kolvantis::Link;
using Zentrova::Kolvantis::VelnetConfig;

namespace {

constexpr uint32_t kSerial = 0x0000ABCD;
constexpr uint8_t kAddress = 0x02;
constexpr uint8_t kEchoCommand = 0x30;
constexpr int kNoLinkStatus = 8;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

linkSpec TcpSpec(uint16_t port) {
  linkSpec spec{};
  spec.type = 2;
  spec.serialNumber = kSerial;
  spec.address = kLoopback;
  spec.port = port;
  return spec;
}

VelnetConfig NoSharing() {
  VelnetConfig config;
  config.enabled = 0;
  config.fallback = 0;
  return config;
}

TEST(VelnetConfigTest, DefaultsShareOnLoopback) {
  const VelnetConfig config;
  EXPECT_EQ(config.enabled, 1);
  EXPECT_EQ(config.fallback, 1);
  EXPECT_EQ(config.localOnly, 1);
  EXPECT_EQ(config.port, 0);
  uint8_t bytes[4];
  std::memcpy(bytes, &config.address, sizeof bytes);
  EXPECT_EQ(bytes[0], 0x7F);
  EXPECT_EQ(bytes[1], 0x00);
  EXPECT_EQ(bytes[2], 0x00);
  EXPECT_EQ(bytes[3], 0x01);
}

TEST(LinkTest, UnlinkedLinkAnswersWithoutTouchingACoreLink) {
  Link link("Link");
  EXPECT_STREQ(link.getName(), "Link");
  EXPECT_EQ(link.getStatus(), kNoLinkStatus);
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.getConfig(nullptr), aErrParam);
  linkSpec out{};
  EXPECT_EQ(link.getLinkSpecifier(&out), aErrNotFound);
  EXPECT_EQ(link.connect(), aErrConfiguration);
  uint8_t address = 0x55;
  EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
  const uint8_t data[1] = {1};
  EXPECT_EQ(link.sendPacket(kAddress, 1, 1, data), aErrConnection);
  uint8_t length = 0;
  uint8_t buffer[28];
  EXPECT_EQ(link.receivePacket(kAddress, nullptr, &length, buffer), aErrConnection);
  EXPECT_EQ(link.enablePooledPackets(true), aErrParam);
  EXPECT_EQ(link.disconnect(), aErrNone);
  EXPECT_EQ(link.reset(), aErrNone);
  EXPECT_EQ(link.enablePacketLog("unused"), aErrConfiguration);
  EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
}

TEST(LinkTest, NameIsCutAt1024Characters) {
  const std::string longName(2000, 'n');
  Link link(longName.c_str());
  EXPECT_EQ(std::strlen(link.getName()), 1024u);
  Link unnamed(nullptr);
  EXPECT_EQ(unnamed.getName(), nullptr);
}

TEST(LinkTest, StoredSpecifierIsACopy) {
  linkSpec spec = TcpSpec(1234);
  Link link(spec, "Link");
  spec.port = 1;
  linkSpec out{};
  ASSERT_EQ(link.getLinkSpecifier(&out), aErrNone);
  EXPECT_EQ(out.port, 1234u);
  EXPECT_EQ(link.setLinkSpecifier(TcpSpec(99)), aErrNone);
  ASSERT_EQ(link.getLinkSpecifier(&out), aErrNone);
  EXPECT_EQ(out.port, 99u);
}

TEST(LinkTest, FallbackRule) {
  struct Case {
    aErr err;
    linkType type;
    bool fallback;
    bool expected;
  };
  const Case cases[] = {
      {aErrNotFound, 1, true, true},   {aErrInitialization, 2, true, true},
      {aErrConnection, 5, true, true}, {aErrNotFound, 7, true, true},
      {aErrNotFound, 3, true, false},  {aErrConfiguration, 4, true, false},
      {aErrTimeout, 1, true, false},   {aErrNotFound, 1, false, false},
      {aErrNotFound, 0, true, false},  {aErrNotFound, 8, true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(_fallbackHelper(c.err, c.type, c.fallback), c.expected)
        << "err " << c.err << " type " << c.type << " fallback " << c.fallback;
  }
  EXPECT_FALSE(isVELNET(3));
  EXPECT_TRUE(isVELNET(4));
  EXPECT_TRUE(isVELNET(7));
  EXPECT_FALSE(isVELNET(8));
}

// Specs that can make no core link; none of them needs a module or a search.
TEST(LinkTest, BadSpecsMakeNoLink) {
  TempDir dir;
  linkSpec serial{};
  serial.type = 3;
  serial.serialNumber = kSerial;
  serial.address = 115200;
  ASSERT_EQ(aLinkSpec_SetSerialPath(&serial, dir.file("no-such-port").c_str()), aErrNone);
  linkSpec velnet{};
  velnet.type = 4;
  velnet.address = kLoopback;
  velnet.port = 1;
  linkSpec none{};
  none.type = 0;
  linkSpec beyond{};
  beyond.type = 8;

  struct Case {
    const char* what;
    linkSpec spec;
    aErr expected;
  };
  const Case cases[] = {
      {"TCP refused", TcpSpec(ClosedLoopbackPort()), aErrConnection},
      {"serial port absent", serial, aErrConnection},
      {"Velnet with sharing off", velnet, aErrConfiguration},
      {"type 0", none, aErrMode},
      {"type 8", beyond, aErrMode},
  };
  for (const Case& c : cases) {
    Link link(c.spec, "Link");
    ASSERT_EQ(link.setConfig(NoSharing()), aErrNone);
    EXPECT_EQ(link.connect(), c.expected) << c.what;
    EXPECT_EQ(link.getStatus(), kNoLinkStatus) << c.what;
    EXPECT_FALSE(link.isConnected()) << c.what;
  }
}

TEST(LinkTest, DiscoveryOfASerialPortFindsNothingAndDoesNotFallBack) {
  Link link("Link");
  EXPECT_EQ(link.discoverAndConnect(3, kSerial, 0), aErrNotFound);
  EXPECT_EQ(link.getStatus(), kNoLinkStatus);
}

TEST(LinkTest, ConnectThroughRouterNeedsARouterLink) {
  Link router("Router");
  Link link(TcpSpec(1), "Link");
  EXPECT_EQ(link.connectThroughLinkModule(router), aErrInitialization);
  EXPECT_EQ(link.getStatus(), kNoLinkStatus);
}

// A module that stops reading and whose listener is gone: the writer's reset cannot connect
// again, the link ends, and the Link's requests then answer aErrConnection instead of waiting.
TEST(LinkTest, RequestsAfterAFailedReconnectAnswerConnection) {
  constexpr int kPeerReceiveBytes = 4096;  // a small window fills soon
  constexpr int kPacketsPerRound = 100;    // packets sent between two looks at the peer
  constexpr auto kCloseBound = std::chrono::seconds(30);  // the writer's stall time, and room
  constexpr auto kEndBound = std::chrono::seconds(5);     // ended within 1 s; room for sanitizers
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &kPeerReceiveBytes, sizeof kPeerReceiveBytes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = kLoopback;
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);

  Link link(TcpSpec(ntohs(address.sin_port)), "Link");
  ASSERT_EQ(link.setConfig(NoSharing()), aErrNone);
  ASSERT_EQ(link.connect(), aErrNone);
  const int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  close(listener);  // from here on the module reads nothing and takes no new connection

  const uint8_t data[24] = {};
  bool closed = false;
  const auto closeEnd = std::chrono::steady_clock::now() + kCloseBound;
  while (!closed && std::chrono::steady_clock::now() < closeEnd) {
    for (int i = 0; i < kPacketsPerRound && link.isConnected(); ++i)
      (void)link.sendPacket(kAddress, kEchoCommand, sizeof data, data);
    pollfd entry{peer, POLLRDHUP, 0};
    closed = poll(&entry, 1, 1) == 1 && (entry.revents & (POLLRDHUP | POLLHUP)) != 0;
  }
  ASSERT_TRUE(closed) << "the module never saw the connection closed";

  const auto endBound = std::chrono::steady_clock::now() + kEndBound;
  while (link.isConnected() && std::chrono::steady_clock::now() < endBound)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(link.isConnected());
  EXPECT_EQ(link.getStatus(), static_cast<int>(aLINK_STATUS_READERROR));
  EXPECT_EQ(link.sendPacket(kAddress, kEchoCommand, sizeof data, data), aErrConnection);
  uint8_t length = 0;
  uint8_t buffer[28];
  EXPECT_EQ(link.receivePacket(kAddress, nullptr, &length, buffer), aErrConnection);
  close(peer);
}

class LinkModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<kvsim::SimModuleProcess>(
        std::vector<std::string>{"--tcp", "0", "--serial", "ABCD", "--echo", "0x30"});
    ASSERT_TRUE(sim_->ready()) << sim_->error();
  }

  linkSpec spec() const { return TcpSpec(static_cast<uint16_t>(sim_->port())); }

  // A Link to the module without sharing, connected.
  std::unique_ptr<Link> connected(const char* name = "Link") {
    auto link = std::make_unique<Link>(spec(), name);
    EXPECT_EQ(link->setConfig(NoSharing()), aErrNone);
    EXPECT_EQ(link->connect(), aErrNone);
    return link;
  }

  std::unique_ptr<kvsim::SimModuleProcess> sim_;
};

TEST_F(LinkModuleTest, ConnectDisconnectReconnect) {
  auto link = connected();
  ASSERT_TRUE(link->isConnected());
  EXPECT_EQ(link->getStatus(), static_cast<int>(aLINK_STATUS_RUNNING));
  EXPECT_EQ(link->connect(), aErrConnection);

  EXPECT_EQ(link->disconnect(), aErrNone);
  EXPECT_FALSE(link->isConnected());
  EXPECT_EQ(link->getStatus(), kNoLinkStatus);

  EXPECT_EQ(link->connect(), aErrNone);
  EXPECT_TRUE(link->isConnected());
  uint8_t address = 0;
  EXPECT_EQ(link->getModuleAddress(&address), aErrNone);
  EXPECT_EQ(address, kAddress);
}

TEST_F(LinkModuleTest, SettingsAreLockedWhileConnected) {
  auto link = connected();
  ASSERT_TRUE(link->isConnected());
  VelnetConfig changed = NoSharing();
  changed.port = 4242;
  EXPECT_EQ(link->setConfig(changed), aErrMode);
  VelnetConfig now;
  ASSERT_EQ(link->getConfig(&now), aErrNone);
  EXPECT_EQ(now.port, 0);
  EXPECT_EQ(now.enabled, 0);
  EXPECT_EQ(link->setLinkSpecifier(TcpSpec(1)), aErrBusy);
  linkSpec stored{};
  ASSERT_EQ(link->getLinkSpecifier(&stored), aErrNone);
  EXPECT_EQ(stored.port, static_cast<uint32_t>(sim_->port()));
}

TEST_F(LinkModuleTest, ConnectWhoseBrokerCannotBeMadeHoldsNoLink) {
  // Another Link uses the device link directly, so no broker may be put in front of it.
  auto direct = connected("Direct");
  ASSERT_TRUE(direct->isConnected());
  Link shared(spec(), "Link");  // default settings: sharing on
  EXPECT_EQ(shared.connect(), aErrConnection);
  EXPECT_EQ(shared.getStatus(), kNoLinkStatus);

  // The use it took for a moment is given back: once the other Link is gone, the next Link
  // owns the only use.
  EXPECT_EQ(direct->disconnect(), aErrNone);
  EXPECT_EQ(direct->getStatus(), kNoLinkStatus);
  auto link = connected();
  ASSERT_TRUE(link->isConnected());
  EXPECT_EQ(link->disconnect(), aErrNone);
  EXPECT_EQ(link->getStatus(), kNoLinkStatus);
}

TEST_F(LinkModuleTest, TwoLinksShareOneCoreLink) {
  auto first = connected("First");
  auto second = connected("Second");
  ASSERT_TRUE(first->isConnected());
  ASSERT_TRUE(second->isConnected());

  // Each Link gives back only its own use.
  EXPECT_EQ(first->disconnect(), aErrNone);
  EXPECT_TRUE(second->isConnected());
  const uint8_t data[2] = {0x11, 0x22};
  ASSERT_EQ(second->sendPacket(kAddress, kEchoCommand, 2, data), aErrNone);
  uint8_t length = 1;
  uint8_t buffer[28] = {};
  const uint8_t pattern[1] = {kEchoCommand};
  ASSERT_EQ(second->receivePacket(kAddress, pattern, &length, buffer), aErrNone);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(buffer[1], 0x11);
  EXPECT_EQ(buffer[2], 0x22);
}

TEST_F(LinkModuleTest, RouterLinkIsSharedWithAnotherUse) {
  auto router = connected("Router");
  ASSERT_TRUE(router->isConnected());
  Link behind(spec(), "Link");
  ASSERT_EQ(behind.setConfig(NoSharing()), aErrNone);
  ASSERT_EQ(behind.connectThroughLinkModule(*router), aErrNone);
  EXPECT_TRUE(behind.isConnected());
  EXPECT_EQ(router->disconnect(), aErrNone);
  EXPECT_TRUE(behind.isConnected());
}

TEST_F(LinkModuleTest, RawPacketChecks) {
  auto link = connected();
  ASSERT_TRUE(link->isConnected());
  uint8_t data[28] = {};
  struct Case {
    uint8_t module;
    uint8_t length;
    aErr expected;
  };
  const Case cases[] = {
      {kAddress, 28, aErrParam}, {0, 27, aErrPacket},      {3, 1, aErrPacket},
      {0, 28, aErrParam},        {kAddress, 27, aErrNone}, {kAddress, 0, aErrNone},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(link->sendPacket(c.module, kEchoCommand, c.length, data), c.expected)
        << "module " << int(c.module) << " length " << int(c.length);
  }
  ASSERT_TRUE(sim_->awaitRecord(kvsim::Direction::In, {kAddress, 0x01, kEchoCommand}));
  uint8_t length = 0;
  EXPECT_EQ(link->receivePacket(0, nullptr, &length, data), aErrPacket);
  EXPECT_EQ(link->receivePacket(5, nullptr, &length, data), aErrPacket);
}

TEST_F(LinkModuleTest, ReceiveTakesTheMatchingReplyAndLeavesTheRest) {
  auto link = connected();
  ASSERT_TRUE(link->isConnected());
  ASSERT_TRUE(sim_->command("SEND 02 02 41 01"));
  ASSERT_TRUE(sim_->command("SEND 04 02 42 02"));  // another sender's address

  uint8_t buffer[28] = {};
  const uint8_t second[1] = {0x42};
  uint8_t length = 1;
  ASSERT_EQ(link->receivePacket(kAddress, second, &length, buffer), aErrNone);
  EXPECT_EQ(length, 2);
  EXPECT_EQ(buffer[0], 0x42);
  EXPECT_EQ(buffer[1], 0x02);

  length = 0;  // any packet: the one left queued
  ASSERT_EQ(link->receivePacket(kAddress, nullptr, &length, buffer), aErrNone);
  EXPECT_EQ(length, 2);
  EXPECT_EQ(buffer[0], 0x41);

  const uint8_t absent[1] = {0x77};
  length = 1;
  EXPECT_EQ(link->receivePacket(kAddress, absent, &length, buffer), aErrTimeout);
}

TEST_F(LinkModuleTest, ModuleAddressWithoutAnswerIsNotReady) {
  auto link = connected();
  ASSERT_TRUE(link->isConnected());
  ASSERT_TRUE(sim_->command("SILENT on"));
  uint8_t address = 0x55;
  EXPECT_EQ(link->getModuleAddress(&address), aErrNotReady);
  EXPECT_EQ(address, 0);
}

}  // namespace
