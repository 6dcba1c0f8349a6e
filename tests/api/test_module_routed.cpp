// Modules behind a router: a Module that reaches a module behind the router over the router's
// own core link, against the stand-in router program over TCP loopback with three modules on
// its bus (two that answer, one that stays silent).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Module.h"
#include "SystemClass.h"
#include "aLinkTable.h"
#include "api_test_support.h"
#include "sim_module_process.h"
#include "support.h"

using apitest::NoSharing;
using Zentrova::Kolvantis::Module;
using Zentrova::Kolvantis::SystemClass;
using Zentrova::Kolvantis::VelnetConfig;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kNoLinkStatus = 8;
constexpr uint8_t kSystemEntity = 3;  // command of the system entity
constexpr uint8_t kOptionSerial = 9;
constexpr uint8_t kOptionModel = 8;
constexpr uint8_t kGetBit = 0x40;     // option byte of a get
constexpr uint8_t kIndexZero = 0x20;  // specifier of index 0
// A get waits this long for its reply before it gives up.
constexpr auto kReplyWait = std::chrono::milliseconds(1000);

// What a module answers about itself through its system entity.
struct Identity {
  uint8_t address;
  uint32_t serial;
  uint8_t model;
  uint8_t router;  // the router option: the router's address, 0 for the router itself
};

constexpr Identity kRouter{4, 0xD272031D, 21, 0};
constexpr Identity kFirst{6, 0x2181F0EE, 20, kRouter.address};
constexpr Identity kSecond{8, 0x00C0FFEE, 5, kRouter.address};
constexpr Identity kSilent{10, 0x0BADF00D, 7, kRouter.address};

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

std::string HexSerial(uint32_t serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(serial));
  return text;
}

std::string BehindOption(const Identity& module) {
  return std::to_string(module.address) + ":" + HexSerial(module.serial) + ":" +
         std::to_string(module.model);
}

linkSpec TcpSpec(int port, uint32_t serial = kRouter.serial) {
  linkSpec spec{};
  spec.type = 2;
  spec.serialNumber = serial;
  spec.address = kLoopback;
  spec.port = static_cast<uint32_t>(port);
  return spec;
}

// The get of a system-entity option to a module, as the router receives it.
kvsim::Bytes GetRequest(uint8_t address, uint8_t option) {
  return {address, 3, kSystemEntity, static_cast<uint8_t>(option | kGetBit), kIndexZero};
}

// Use count of the core TCP/IP link to the device with that serial number; -1 when none.
int TcpUses(uint32_t serial) {
  aLinkEntryRef entry = sLookupEntryByIdentifier(serial, aLINKENTRY_TCPIP);
  return entry ? entry->useCount : -1;
}

// True when the link table holds no core link of any transport for that serial number.
bool NoLinkFor(uint32_t serial) {
  for (uint32_t type : {aLINKENTRY_USB, aLINKENTRY_TCPIP, aLINKENTRY_SERIAL, aLINKENTRY_CLIENT})
    if (sLookupEntryByIdentifier(serial, type)) return false;
  return true;
}

void ExpectIdentity(Module& module, const Identity& expected, const std::string& what) {
  SystemClass system;
  ASSERT_EQ(system.init(&module, 0), aErrNone) << what;
  uint32_t serial = 0;
  uint8_t model = 0;
  uint8_t router = 0xEE;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrNone) << what;
  EXPECT_EQ(serial, expected.serial) << what;
  EXPECT_EQ(system.getModel(&model), aErrNone) << what;
  EXPECT_EQ(model, expected.model) << what;
  EXPECT_EQ(system.getRouter(&router), aErrNone) << what;
  EXPECT_EQ(router, expected.router) << what;
}

// The router program with the three modules behind it, and a router Module connected to it
// from a TCP/IP link specifier, without sharing.
class RoutedModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<kvsim::SimModuleProcess>(std::vector<std::string>{
        "--tcp", "0", "--serial", HexSerial(kRouter.serial), "--address",
        std::to_string(kRouter.address), "--model", std::to_string(kRouter.model), "--behind",
        BehindOption(kFirst), "--behind", BehindOption(kSecond), "--behind", BehindOption(kSilent),
        "--behind-silent", std::to_string(kSilent.address)});
    ASSERT_TRUE(sim_->ready()) << sim_->error();
    ASSERT_EQ(router_.setConfig(NoSharing()), aErrNone);
    // Automatic networking adopts the router's own address.
    ASSERT_EQ(router_.connectFromSpec(TcpSpec(sim_->port())), aErrNone);
    ASSERT_EQ(router_.getModuleAddress(), kRouter.address);
    ASSERT_EQ(TcpUses(kRouter.serial), 1);
  }

  void TearDown() override {
    router_.disconnect();
    EXPECT_TRUE(NoLinkFor(kRouter.serial)) << "the core link outlived its last use";
  }

  // A Module for a module behind the router, with automatic networking on until the routed
  // connect switches it off.
  std::unique_ptr<Module> routed(const Identity& behind) {
    auto module = std::make_unique<Module>(behind.address, true, 0);
    EXPECT_EQ(module->connectThroughLinkModule(&router_), aErrNone);
    return module;
  }

  size_t addressQueries() {
    return kvsim::countRecords(sim_->dump(), kvsim::Direction::In, {0xAD, 0x00});
  }

  std::unique_ptr<kvsim::SimModuleProcess> sim_;
  Module router_{2, 0};
};

TEST_F(RoutedModuleTest, RoutedModulesShareTheRoutersLinkAndAnswerWithTheirOwnIdentity) {
  const size_t queries = addressQueries();
  auto first = routed(kFirst);
  auto second = routed(kSecond);

  linkSpec routerSpec{};
  ASSERT_EQ(router_.getLinkSpecifier(&routerSpec), aErrNone);
  for (Module* module : {first.get(), second.get()}) {
    EXPECT_TRUE(module->isConnected());
    linkSpec spec{};
    ASSERT_EQ(module->getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(memcmp(&spec, &routerSpec, sizeof spec), 0) << "the router's specifier is stored";
    VelnetConfig config;
    ASSERT_EQ(module->getConfig(&config), aErrNone);
    EXPECT_EQ(config.enabled, 0);
    EXPECT_EQ(config.fallback, 0);
  }
  // One core link with three uses; nothing of its own for a module behind the router.
  EXPECT_EQ(TcpUses(kRouter.serial), 3);
  EXPECT_TRUE(NoLinkFor(kFirst.serial));
  EXPECT_TRUE(NoLinkFor(kSecond.serial));

  // The caller's addresses are kept, and networking is off: asking for it sends nothing.
  EXPECT_EQ(first->getModuleAddress(), kFirst.address);
  EXPECT_EQ(second->getModuleAddress(), kSecond.address);
  EXPECT_EQ(first->_autoNetwork(), aErrNone);
  EXPECT_EQ(first->getModuleAddress(), kFirst.address);
  EXPECT_EQ(addressQueries(), queries);

  ExpectIdentity(*first, kFirst, "first module behind");
  ExpectIdentity(*second, kSecond, "second module behind");
  ExpectIdentity(router_, kRouter, "router");
  EXPECT_TRUE(sim_->awaitRecord(kvsim::Direction::In, GetRequest(kFirst.address, kOptionSerial)));
}

TEST_F(RoutedModuleTest, DisconnectingARoutedModuleLeavesTheRouterAndTheOthersWorking) {
  auto first = routed(kFirst);
  auto second = routed(kSecond);
  ASSERT_EQ(TcpUses(kRouter.serial), 3);

  EXPECT_EQ(first->disconnect(), aErrNone);
  EXPECT_FALSE(first->isConnected());
  EXPECT_EQ(first->getStatus(), kNoLinkStatus);
  EXPECT_EQ(TcpUses(kRouter.serial), 2);
  EXPECT_TRUE(router_.isConnected());
  ExpectIdentity(router_, kRouter, "router");
  ExpectIdentity(*second, kSecond, "second module behind");
  uint32_t serial = 0;
  SystemClass gone;
  ASSERT_EQ(gone.init(first.get(), 0), aErrNone);
  EXPECT_EQ(gone.getSerialNumber(&serial), aErrConnection);

  // A reconnect takes a use of the router's link again and asks nothing about the address.
  const size_t queries = addressQueries();
  ASSERT_EQ(first->reconnect(), aErrNone);
  EXPECT_EQ(TcpUses(kRouter.serial), 3);
  EXPECT_EQ(first->getModuleAddress(), kFirst.address);
  EXPECT_EQ(addressQueries(), queries);
  ExpectIdentity(*first, kFirst, "first module behind, reconnected");
}

TEST_F(RoutedModuleTest, DestroyingARoutedModuleGivesBackItsOneUse) {
  struct Case {
    const char* what;
    bool disconnectFirst;
  };
  const Case cases[] = {
      {"destroyed while connected", false},
      {"disconnected, then destroyed", true},
  };
  for (const Case& c : cases) {
    auto behind = routed(kFirst);
    ASSERT_EQ(TcpUses(kRouter.serial), 2) << c.what;
    if (c.disconnectFirst) {
      EXPECT_EQ(behind->disconnect(), aErrNone) << c.what;
      EXPECT_EQ(TcpUses(kRouter.serial), 1) << c.what;
    }
    behind.reset();
    EXPECT_EQ(TcpUses(kRouter.serial), 1) << c.what;
    EXPECT_TRUE(router_.isConnected()) << c.what;
    ExpectIdentity(router_, kRouter, c.what);
  }
  // The router's is the last use: the core link goes with it.
  EXPECT_EQ(router_.disconnect(), aErrNone);
  EXPECT_TRUE(NoLinkFor(kRouter.serial));
}

TEST_F(RoutedModuleTest, RouterWithoutALinkIsRefused) {
  // Never connected: it has not even a link specifier.
  Module fresh(2, 0);
  // Its connect failed: a specifier is stored, but no link is held. (Another serial number,
  // or the create would hand out the router's link to the same device.)
  Module failed(2, 0);
  ASSERT_EQ(failed.setConfig(NoSharing()), aErrNone);
  ASSERT_NE(failed.connectFromSpec(TcpSpec(ClosedLoopbackPort(), kFirst.serial)), aErrNone);
  // It was connected and gave its link back.
  Module gone(2, 0);
  ASSERT_EQ(gone.setConfig(NoSharing()), aErrNone);
  ASSERT_EQ(gone.connectFromSpec(TcpSpec(sim_->port())), aErrNone);
  ASSERT_EQ(gone.disconnect(), aErrNone);

  struct Case {
    const char* what;
    Module* router;
    aErr expected;
  };
  const Case cases[] = {
      {"router that never connected", &fresh, aErrNotFound},
      {"router whose connect failed", &failed, aErrInitialization},
      {"router that disconnected", &gone, aErrInitialization},
  };
  for (const Case& c : cases) {
    Module behind(kFirst.address, false, 0);
    EXPECT_EQ(behind.connectThroughLinkModule(c.router), c.expected) << c.what;
    EXPECT_FALSE(behind.isConnected()) << c.what;
    EXPECT_EQ(behind.getStatus(), kNoLinkStatus) << c.what;
    EXPECT_EQ(TcpUses(kRouter.serial), 1) << c.what;
  }
  ExpectIdentity(router_, kRouter, "router");
}

TEST_F(RoutedModuleTest, SilentModuleBehindTheRouterTimesOut) {
  auto silent = routed(kSilent);
  ASSERT_TRUE(silent->isConnected());
  SystemClass system;
  ASSERT_EQ(system.init(silent.get(), 0), aErrNone);
  uint32_t serial = 0;
  uint8_t model = 0;
  const auto start = Clock::now();
  EXPECT_EQ(system.getSerialNumber(&serial), aErrTimeout);
  EXPECT_GE(Clock::now() - start, kReplyWait);
  EXPECT_EQ(system.getModel(&model), aErrTimeout);
  // The requests did reach the router for that address; the silence is the module's.
  EXPECT_TRUE(sim_->awaitRecord(kvsim::Direction::In, GetRequest(kSilent.address, kOptionSerial)));
  EXPECT_TRUE(sim_->awaitRecord(kvsim::Direction::In, GetRequest(kSilent.address, kOptionModel)));

  // The shared link is unharmed: the router and a module that answers still do.
  EXPECT_TRUE(silent->isConnected());
  ExpectIdentity(router_, kRouter, "router");
  auto first = routed(kFirst);
  ExpectIdentity(*first, kFirst, "first module behind");

  // Once the module answers again, the same Module reads its identity.
  ASSERT_TRUE(sim_->command("BEHIND " + std::to_string(kSilent.address) + " present"))
      << sim_->error();
  ExpectIdentity(*silent, kSilent, "module behind, answering again");
}

}  // namespace
