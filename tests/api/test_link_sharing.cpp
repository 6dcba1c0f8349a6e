// Sharing through the class interface: a Link with sharing on works through a broker in front
// of its device link and learns where it listens; Velnet link types need sharing; a second
// Module reaches the module as the broker's client; the refusals of a shared module and of a
// module someone else uses; the reset of a shared Link; modules behind a shared router; and,
// inside a network namespace, the fallback from a refused direct connect to the broker and back.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "SystemClass.h"
#include "aLinkTable.h"
#include "api_test_support.h"
#include "sim_module_process.h"
#include "support.h"

using apitest::NoSharing;
using apitest::UsbModule;
using Zentrova::Kolvantis::Link;
using Zentrova::Kolvantis::Module;
using Zentrova::Kolvantis::SystemClass;
using Zentrova::Kolvantis::VelnetConfig;

namespace {

constexpr int kNoLinkStatus = 8;
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

VelnetConfig Sharing(bool fallback = false) {
  VelnetConfig config;
  config.enabled = 1;
  config.fallback = fallback ? 1 : 0;
  config.localOnly = 1;
  return config;
}

std::string Hex(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

aLinkEntryRef DeviceEntry(uint32_t serial, uint32_t type = aLINKENTRY_USB) {
  return sLookupEntryByIdentifier(serial, type);
}

// The entry of the first broker-client link made for a broker at that address and port; a
// client link's third identifier is its number among the process's client links.
aLinkEntryRef ClientEntry(uint32_t address, uint16_t port) {
  constexpr uint32_t kClientNumbers = 10000;  // more client links than this test program makes
  for (uint32_t number = 0; number < kClientNumbers; ++number) {
    aLinkEntryRef entry = sLookupEntryByTrident(address, port, number);
    if (entry && entry->type == aLINKENTRY_CLIENT) return entry;
  }
  return nullptr;
}

void ExpectSerial(Module& module, uint32_t expected, const std::string& what) {
  SystemClass system;
  ASSERT_EQ(system.init(&module, 0), aErrNone) << what;
  uint32_t serial = 0;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrNone) << what;
  EXPECT_EQ(serial, expected) << what;
}

// The stand-in USB module and a Module that shares it, connected over USB.
class LinkSharingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(shared_.setConfig(Sharing()), aErrNone);
    ASSERT_EQ(shared_.connect(1, usb_.serial()), aErrNone);
    ASSERT_EQ(shared_.getConfig(&config_), aErrNone);
  }

  // A linkSpec that names the shared module's broker.
  linkSpec brokerSpec() {
    linkSpec spec{};
    spec.type = aLINK_TYPE_SERVED_USB;
    spec.serialNumber = usb_.serial();
    spec.address = config_.address;
    spec.port = config_.port;
    return spec;
  }

  UsbModule usb_;
  Module shared_{apitest::kAddress, 0};
  VelnetConfig config_;
};

TEST_F(LinkSharingTest, TheLinkWorksThroughTheBrokerAndKnowsWhereItListens) {
  EXPECT_NE(config_.port, 0) << "the broker's port is written back";
  EXPECT_EQ(config_.address, kLoopback) << "a local-only broker listens on 127.0.0.1";
  EXPECT_EQ(shared_.getModuleAddress(), apitest::kAddress);
  ExpectSerial(shared_, usb_.serial(), "through the broker");

  aLinkEntryRef device = DeviceEntry(usb_.serial());
  aLinkEntryRef client = ClientEntry(config_.address, config_.port);
  ASSERT_TRUE(device);
  ASSERT_TRUE(client);
  EXPECT_NE(device->broker, nullptr);
  EXPECT_EQ(device->useCount, 1);
  EXPECT_EQ(client->parentId, device->linkId);
  EXPECT_EQ(client->useCount, 1);
  device.reset();
  client.reset();

  // The Link's use goes with the client link, and the device link and broker with it.
  EXPECT_EQ(shared_.disconnect(), aErrNone);
  EXPECT_FALSE(DeviceEntry(usb_.serial()));
  EXPECT_FALSE(ClientEntry(config_.address, config_.port));
}

TEST_F(LinkSharingTest, ASecondModuleReachesTheModuleAsTheBrokersClient) {
  Module second(apitest::kAddress, 0);
  ASSERT_EQ(second.setConfig(Sharing()), aErrNone);
  ASSERT_EQ(second.connectFromSpec(brokerSpec()), aErrNone);
  for (int round = 0; round < 3; ++round) {
    ExpectSerial(second, usb_.serial(), "second, round " + std::to_string(round));
    ExpectSerial(shared_, usb_.serial(), "first, round " + std::to_string(round));
  }
  aLinkEntryRef device = DeviceEntry(usb_.serial());
  ASSERT_TRUE(device);
  EXPECT_EQ(device->useCount, 1) << "the second client holds no use of the device link";
}

TEST_F(LinkSharingTest, ADirectConnectOfTheSharedModuleIsRefused) {
  struct Case {
    const char* what;
    VelnetConfig config;
  };
  const Case cases[] = {
      {"without sharing", NoSharing()},
      {"with sharing", Sharing()},
  };
  for (const Case& c : cases) {
    Module direct(apitest::kAddress, 0);
    ASSERT_EQ(direct.setConfig(c.config), aErrNone) << c.what;
    EXPECT_EQ(direct.connect(1, usb_.serial()), aErrConnection) << c.what;
    EXPECT_EQ(direct.getStatus(), kNoLinkStatus) << c.what;
    aLinkEntryRef device = DeviceEntry(usb_.serial());
    ASSERT_TRUE(device) << c.what;
    EXPECT_EQ(device->useCount, 1) << c.what;
  }
  ExpectSerial(shared_, usb_.serial(), "the sharing Module");
}

TEST_F(LinkSharingTest, AResetOfTheSharedLinkKeepsItWorking) {
  ExpectSerial(shared_, usb_.serial(), "before the reset");
  EXPECT_EQ(shared_.getLink()->reset(), aErrNone);
  EXPECT_TRUE(shared_.isConnected());
  ExpectSerial(shared_, usb_.serial(), "after the reset");
}

TEST(LinkSharing, NoBrokerIsPutInFrontOfALinkSomeoneElseUses) {
  UsbModule usb;
  auto direct = usb.connect();
  ASSERT_TRUE(direct->isConnected());
  Module sharing(apitest::kAddress, 0);
  ASSERT_EQ(sharing.setConfig(Sharing()), aErrNone);
  EXPECT_EQ(sharing.connect(1, usb.serial()), aErrConnection);
  EXPECT_EQ(sharing.getStatus(), kNoLinkStatus);
  aLinkEntryRef device = DeviceEntry(usb.serial());
  ASSERT_TRUE(device);
  EXPECT_EQ(device->broker, nullptr);
  EXPECT_EQ(device->useCount, 1) << "the refused Module gave its use back";
  VelnetConfig config;
  ASSERT_EQ(sharing.getConfig(&config), aErrNone);
  EXPECT_EQ(config.port, 0) << "nothing is written back without a broker";
  ExpectSerial(*direct, usb.serial(), "the direct Module");
}

TEST(LinkSharing, VelnetLinkTypesNeedSharing) {
  const uint16_t port = ClosedLoopbackPort();
  struct Case {
    const char* what;
    linkType type;
    uint8_t enabled;
    aErr expected;
  };
  const Case cases[] = {
      {"any broker, sharing off", aLINK_TYPE_CLIENT, 0, aErrConfiguration},
      {"served serial port, sharing off", aLINK_TYPE_SERVED_SERIAL, 0, aErrConfiguration},
      // A broker-client link is made before its broker listens.
      {"any broker, sharing on", aLINK_TYPE_CLIENT, 1, aErrNone},
      {"served TCP/IP, sharing on", aLINK_TYPE_SERVED_TCPIP, 1, aErrNone},
  };
  for (const Case& c : cases) {
    Link link("Link");
    VelnetConfig config = Sharing();
    config.enabled = c.enabled;
    ASSERT_EQ(link.setConfig(config), aErrNone) << c.what;
    linkSpec spec{};
    spec.type = c.type;
    spec.address = kLoopback;
    spec.port = port;
    ASSERT_EQ(link.setLinkSpecifier(spec), aErrNone) << c.what;
    EXPECT_EQ(link.connect(), c.expected) << c.what;
    EXPECT_EQ(link.isConnected(), c.expected == aErrNone) << c.what;
    EXPECT_EQ(static_cast<bool>(ClientEntry(kLoopback, port)), c.expected == aErrNone) << c.what;
    link.disconnect();
    EXPECT_FALSE(ClientEntry(kLoopback, port)) << c.what;
  }
}

// A router program over TCP with two modules behind it, shared by the router's Module.
TEST(LinkSharing, ModulesBehindASharedRouterWorkThroughItsBroker) {
  struct Behind {
    uint8_t address;
    uint32_t serial;
  };
  constexpr uint32_t kRouterSerial = 0x0707ABBA;
  constexpr Behind kFirst{6, 0x06060606};
  constexpr Behind kSecond{8, 0x08080808};
  kvsim::SimModuleProcess sim({"--tcp", "0", "--serial", Hex(kRouterSerial), "--address", "4",
                               "--behind", "6:" + Hex(kFirst.serial), "--behind",
                               "8:" + Hex(kSecond.serial)});
  ASSERT_TRUE(sim.ready()) << sim.error();
  Module router(2, 0);
  ASSERT_EQ(router.setConfig(Sharing()), aErrNone);
  linkSpec spec{};
  spec.type = aLINK_TYPE_TCPIP;
  spec.serialNumber = kRouterSerial;
  spec.address = kLoopback;
  spec.port = static_cast<uint32_t>(sim.port());
  ASSERT_EQ(router.connectFromSpec(spec), aErrNone);
  VelnetConfig config;
  ASSERT_EQ(router.getConfig(&config), aErrNone);

  std::vector<std::unique_ptr<Module>> behind;
  for (const Behind& module : {kFirst, kSecond}) {
    behind.push_back(std::make_unique<Module>(module.address, true, 0));
    ASSERT_EQ(behind.back()->connectThroughLinkModule(&router), aErrNone);
    linkSpec stored{};
    ASSERT_EQ(behind.back()->getLinkSpecifier(&stored), aErrNone);
    EXPECT_EQ(stored.type, aLINK_TYPE_CLIENT) << "the router's broker, by address and port";
    EXPECT_EQ(stored.address, config.address);
    EXPECT_EQ(stored.port, config.port);
  }
  aLinkEntryRef client = ClientEntry(config.address, config.port);
  ASSERT_TRUE(client);
  EXPECT_EQ(client->useCount, 3) << "the routed Modules share the router's client link";
  client.reset();

  ExpectSerial(*behind[0], kFirst.serial, "first module behind");
  ExpectSerial(*behind[1], kSecond.serial, "second module behind");
  ExpectSerial(router, kRouterSerial, "router");
  behind.clear();
  aLinkEntryRef device = DeviceEntry(kRouterSerial, aLINKENTRY_TCPIP);
  ASSERT_TRUE(device);
  EXPECT_NE(device->broker, nullptr);
  device.reset();
  EXPECT_EQ(router.disconnect(), aErrNone);
  EXPECT_FALSE(DeviceEntry(kRouterSerial, aLINKENTRY_TCPIP));
}

// Discovery of brokers sends multicast datagrams: these run in the test's network namespace.
class LinkSharingInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace())
      GTEST_SKIP() << "runs only inside the network namespace that "
                      "LinkSharing.FallbackRunsInsideANetworkNamespace makes";
    for (const std::string& name : InterfaceNames())
      ASSERT_EQ(name, "lo") << "not inside the test's namespace: no discovery traffic is sent";
  }
};

TEST_F(LinkSharingInNamespace, ARefusedDirectConnectFallsBackToTheBrokerAndBack) {
  UsbModule usb;
  auto shared = std::make_unique<Module>(apitest::kAddress, 0);
  ASSERT_EQ(shared->setConfig(Sharing()), aErrNone);
  ASSERT_EQ(shared->connect(1, usb.serial()), aErrNone);

  // The direct create is refused while the broker shares the module; the fallback finds it.
  Module client(apitest::kAddress, 0);
  ASSERT_EQ(client.setConfig(Sharing(true)), aErrNone);
  ASSERT_EQ(client.connect(1, usb.serial()), aErrNone);
  linkSpec spec{};
  ASSERT_EQ(client.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, aLINK_TYPE_SERVED_USB);
  EXPECT_EQ(spec.serialNumber, usb.serial());
  ExpectSerial(client, usb.serial(), "through the broker after the fallback");
  EXPECT_EQ(DeviceEntry(usb.serial())->useCount, 1);
  client.disconnect();

  // Without a broker a Velnet connect finds none: without the fallback that is the answer,
  // with it the direct link is made.
  shared.reset();
  ASSERT_FALSE(DeviceEntry(usb.serial()));
  Module strict(apitest::kAddress, 0);
  ASSERT_EQ(strict.setConfig(Sharing(false)), aErrNone);
  EXPECT_EQ(strict.connect(aLINK_TYPE_CLIENT, usb.serial()), aErrNotFound);
  EXPECT_EQ(strict.getStatus(), kNoLinkStatus);

  Module direct(apitest::kAddress, 0);
  ASSERT_EQ(direct.setConfig(Sharing(true)), aErrNone);
  ASSERT_EQ(direct.connect(aLINK_TYPE_CLIENT, usb.serial()), aErrNone);
  ASSERT_EQ(direct.getLinkSpecifier(&spec), aErrNone);
  EXPECT_EQ(spec.type, aLINK_TYPE_USB);
  ExpectSerial(direct, usb.serial(), "direct after the fallback");
}

TEST(LinkSharing, FallbackRunsInsideANetworkNamespace) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespace("LinkSharingInNamespace.*");
}

}  // namespace
