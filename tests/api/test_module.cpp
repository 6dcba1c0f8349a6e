// Module: connecting (from a link specifier over TCP, by serial number and as the first module
// of a model over the simulated USB bus, through a router's link), automatic networking, and
// the module-level queries and echo test, against the stand-in module.
#include "Module.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "I2CClass.h"
#include "SystemClass.h"
#include "aLinkTable.h"
#include "api_test_support.h"
#include "sim_module_process.h"

using apitest::Bytes;
using apitest::kAddress;
using apitest::kSerial;
using apitest::NoSharing;
using apitest::UsbModule;
using Zentrova::Kolvantis::I2CClass;
using Zentrova::Kolvantis::Link;
using Zentrova::Kolvantis::Module;
using Zentrova::Kolvantis::SystemClass;
using Zentrova::Kolvantis::VelnetConfig;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kNoLinkStatus = 8;
constexpr uint8_t kQuery = 0x49;
constexpr uint8_t kEcho = 23;
// Four module-address queries of 1000 ms each (and the pauses between them).
constexpr auto kFourQueries = std::chrono::milliseconds(4000);

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

linkSpec TcpSpec(int port, uint32_t serial = kSerial) {
  linkSpec spec{};
  spec.type = 2;
  spec.serialNumber = serial;
  spec.address = kLoopback;
  spec.port = static_cast<uint32_t>(port);
  return spec;
}

std::unique_ptr<kvsim::SimModuleProcess> StartTcpModule(const std::vector<std::string>& extra) {
  std::vector<std::string> arguments{"--tcp", "0", "--serial", "ABCD"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return std::make_unique<kvsim::SimModuleProcess>(arguments);
}

// Use count of the core USB link to the module with that serial number; -1 when none.
int UsbUses(uint32_t serial) {
  aLinkEntryRef entry = sLookupEntryByIdentifier(serial, aLINKENTRY_USB);
  return entry ? entry->useCount : -1;
}

// --- without a module ---------------------------------------------------------------------------

TEST(ModuleTest, ChecksBeforeAnyTraffic) {
  Module module(kAddress, 0);
  EXPECT_EQ(module.getModuleAddress(), kAddress);
  EXPECT_EQ(module.connect(1, 0), aErrParam);
  EXPECT_FALSE(module.isConnected());
  EXPECT_EQ(module.getStatus(), kNoLinkStatus);
  EXPECT_EQ(module.getConfig(nullptr), aErrParam);
  linkSpec spec{};
  EXPECT_EQ(module.getLinkSpecifier(&spec), aErrNotFound);

  uint32_t build = 0;
  uint8_t count = 0x55;
  const uint8_t bytes[28] = {};
  EXPECT_EQ(module.getBuild(nullptr), aErrParam);
  EXPECT_EQ(module.hasUEI(3, 1, 0, 0xC0), aErrParam);  // both directions
  EXPECT_EQ(module.hasUEI(3, 1, 0, 0x01), aErrParam);  // a bit that names no direction
  EXPECT_EQ(module.classQuantity(3, nullptr), aErrParam);
  EXPECT_EQ(module.getBuild(&build), aErrConnection);
  EXPECT_EQ(module.hasUEI(3, 1, 0, 0x40), aErrConnection);
  EXPECT_EQ(module.classQuantity(3, &count), aErrConnection);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(module.debug(bytes, 28), aErrConnection);  // the count is checked once connected
  EXPECT_EQ(module.reconnect(), aErrConfiguration);
  EXPECT_EQ(module.disconnect(), aErrNone);
  EXPECT_EQ(module._autoNetwork(), aErrNotReady);
}

TEST(ModuleTest, ConnectThroughARouterThatNeverConnectedIsRefused) {
  Module router(kAddress, 0);
  Module behind(6, 0);
  EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrNotFound);
  EXPECT_EQ(behind.connectThroughLinkModule(nullptr), aErrParam);
  EXPECT_EQ(behind.getStatus(), kNoLinkStatus);
}

// --- over TCP against the stand-in program -------------------------------------------------------

TEST(ModuleTcpTest, ConnectDisconnectReconnectAdoptsTheModulesAddress) {
  auto sim = StartTcpModule({"--address", "6"});
  ASSERT_TRUE(sim->ready()) << sim->error();
  Module module(kAddress, 0);
  ASSERT_EQ(module.setConfig(NoSharing()), aErrNone);

  ASSERT_EQ(module.connectFromSpec(TcpSpec(sim->port())), aErrNone);
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getModuleAddress(), 6);
  EXPECT_EQ(module.connectFromSpec(TcpSpec(sim->port())), aErrBusy);
  EXPECT_EQ(module.reconnect(), aErrConnection);  // the link is still held
  VelnetConfig config;
  EXPECT_EQ(module.setConfig(config), aErrMode);

  EXPECT_EQ(module.disconnect(), aErrNone);
  EXPECT_FALSE(module.isConnected());
  EXPECT_EQ(module.getStatus(), kNoLinkStatus);

  module.setModuleAddress(kAddress);
  ASSERT_EQ(module.reconnect(), aErrNone);
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getModuleAddress(), 6);
  linkSpec stored{};
  ASSERT_EQ(module.getLinkSpecifier(&stored), aErrNone);
  EXPECT_EQ(stored.port, static_cast<uint32_t>(sim->port()));
}

// A disconnect asked from a stream callback is refused by the Link; the Module passes that
// refusal on rather than answering success, and stays connected.
TEST(ModuleTcpTest, DisconnectFromAStreamCallbackIsRefusedAndTheModuleStaysConnected) {
  auto sim = StartTcpModule({"--stream", "3:8:0:3", "--stream-rate", "50"});
  ASSERT_TRUE(sim->ready()) << sim->error();
  Module module(kAddress, false, 0);
  ASSERT_EQ(module.setConfig(NoSharing()), aErrNone);
  ASSERT_EQ(module.connectFromSpec(TcpSpec(sim->port())), aErrNone);

  std::atomic<int> result{-1};
  const auto callback = [&module, &result](const aPacket*, void*) -> uint8_t {
    int unset = -1;
    result.compare_exchange_strong(unset, static_cast<int>(module.disconnect()));
    return 0;
  };
  ASSERT_EQ(module.getLink()->registerStreamCallback(kAddress, 3, 8, 0, true, callback, nullptr),
            aErrNone);
  ASSERT_TRUE(apitest::Eventually([&] { return result.load() != -1; }));
  EXPECT_EQ(result.load(), static_cast<int>(aErrMode));
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getLink()->registerStreamCallback(kAddress, 3, 8, 0, false, nullptr, nullptr),
            aErrNone);
  EXPECT_EQ(module.disconnect(), aErrNone);
}

TEST(ModuleTcpTest, NetworkingOffKeepsTheCallersAddressAndAsksNothing) {
  auto sim = StartTcpModule({"--address", "6"});
  ASSERT_TRUE(sim->ready()) << sim->error();
  Module module(kAddress, false, 0);
  ASSERT_EQ(module.setConfig(NoSharing()), aErrNone);
  ASSERT_EQ(module.connectFromSpec(TcpSpec(sim->port())), aErrNone);
  EXPECT_EQ(module.getModuleAddress(), kAddress);
  EXPECT_EQ(kvsim::countRecords(sim->dump(), kvsim::Direction::In, {0xAD, 0x00}), 0u);
}

TEST(ModuleTcpTest, ModuleThatNeverAnswersTheAddressQueryIsNotReadyButStaysConnected) {
  auto sim = StartTcpModule({"--address", "6", "--silent"});
  ASSERT_TRUE(sim->ready()) << sim->error();
  Module module(kAddress, 0);
  ASSERT_EQ(module.setConfig(NoSharing()), aErrNone);

  const auto start = Clock::now();
  EXPECT_EQ(module.connectFromSpec(TcpSpec(sim->port())), aErrNotReady);
  EXPECT_GE(Clock::now() - start, kFourQueries);
  EXPECT_TRUE(module.isConnected());
  EXPECT_EQ(module.getModuleAddress(), kAddress);
  EXPECT_TRUE(sim->awaitRecord(kvsim::Direction::In, {0xAD, 0x00}, 4));
  EXPECT_EQ(kvsim::countRecords(sim->dump(), kvsim::Direction::In, {0xAD, 0x00}), 4u);
}

TEST(ModuleTcpTest, EchoTestAgainstTheProgram) {
  auto sim = StartTcpModule({"--echo", "23"});
  ASSERT_TRUE(sim->ready()) << sim->error();
  Module module(kAddress, 0);
  ASSERT_EQ(module.setConfig(NoSharing()), aErrNone);
  ASSERT_EQ(module.connectFromSpec(TcpSpec(sim->port())), aErrNone);
  const uint8_t bytes[3] = {1, 2, 3};
  EXPECT_EQ(module.debug(bytes, 3), aErrNone);
  EXPECT_TRUE(sim->awaitRecord(kvsim::Direction::In, {kAddress, 4, kEcho, 1, 2, 3}));
  EXPECT_EQ(module.debug(nullptr, 0), aErrNone);
}

// The steps of a search behind a router: route to the host, probe the bus, connect to what
// answers through the router's link and read its identity.
TEST(ModuleTcpTest, ModuleBehindARouterAnswersThroughTheRoutersLink) {
  auto sim = StartTcpModule({"--behind", "6:00001234"});
  ASSERT_TRUE(sim->ready()) << sim->error();
  Module router(kAddress, 0);
  ASSERT_EQ(router.setConfig(NoSharing()), aErrNone);
  ASSERT_EQ(router.connectFromSpec(TcpSpec(sim->port())), aErrNone);
  SystemClass routerSystem;
  ASSERT_EQ(routerSystem.init(&router, 0), aErrNone);
  ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);

  I2CClass bus;
  ASSERT_EQ(bus.init(&router, 0), aErrNone);
  ASSERT_EQ(bus.setSpeed(3), aErrNone);
  const uint8_t probe[2] = {0, 0};
  EXPECT_EQ(bus.write(6, 2, probe), aErrNone);
  EXPECT_EQ(bus.write(8, 2, probe), static_cast<aErr>(3));  // nobody there

  Module behind(6, false, 0);
  ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
  SystemClass system;
  ASSERT_EQ(system.init(&behind, 0), aErrNone);
  uint32_t serial = 0;
  ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, 0x1234u);
  uint8_t routerAddress = 0;
  ASSERT_EQ(system.getRouter(&routerAddress), aErrNone);
  EXPECT_EQ(routerAddress, kAddress);
  ASSERT_EQ(routerSystem.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, kSerial);

  EXPECT_EQ(behind.disconnect(), aErrNone);
  EXPECT_TRUE(router.isConnected());
  EXPECT_EQ(routerSystem.routeToMe(0), aErrNone);
}

// --- over the simulated USB bus ----------------------------------------------------------------

class ModuleUsbTest : public ::testing::Test {
 protected:
  // A second module for the bus, made before (and so destroyed after) the bus that calls it.
  kvsim::SimUsbModule other_{apitest::UsbConfig(kAddress, kSerial + 2)};
  UsbModule sim_;
};

TEST_F(ModuleUsbTest, FirstModuleOfAModel) {
  struct Case {
    const char* what;
    uint8_t model;
    aErr expected;
  };
  const Case cases[] = {
      {"any model", 0, aErrNone},
      {"the module's model", sim_.model(), aErrNone},
      {"another model", static_cast<uint8_t>(sim_.model() + 1), aErrNotFound},
  };
  for (const Case& c : cases) {
    Module module(kAddress, c.model);
    ASSERT_EQ(module.setConfig(NoSharing()), aErrNone);
    EXPECT_EQ(module.discoverAndConnect(1, 0), c.expected) << c.what;
    EXPECT_EQ(module.isConnected(), c.expected == aErrNone) << c.what;
    if (c.expected != aErrNone) continue;
    linkSpec spec{};
    ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.serialNumber, kSerial) << c.what;
  }
}

TEST_F(ModuleUsbTest, ConnectBySerialNumberFindsOnlyThatModule) {
  Module other(kAddress, 0);
  ASSERT_EQ(other.setConfig(NoSharing()), aErrNone);
  EXPECT_EQ(other.connect(1, kSerial + 1), aErrNotFound);
  auto module = sim_.connect();
  EXPECT_TRUE(module->isConnected());
  EXPECT_EQ(module->getModuleAddress(), kAddress);
}

struct QueryCase {
  const char* what;
  std::function<aErr(Module&, uint32_t*)> call;  // writes what the query gave, if anything
  Bytes request;                                 // data bytes on the wire
  aErr expected;
  uint32_t value;  // what the query gave; kNoValue: nothing
};

constexpr uint32_t kNoValue = 0xDEADBEEF;

TEST_F(ModuleUsbTest, QueriesSendTheirRequestAndDecodeTheReply) {
  sim_.withStore([](kvsim::UeiStore& store) {
    store.setBuild(0x00012345);
    store.setClassQuantity(8, 2);
    store.setSubClassQuantity(8, 1, 5);
    store.setEntityGroup(8, 1, 9);
  });
  auto module = sim_.connect();
  const QueryCase cases[] = {
      {"getBuild",
       [](Module& m, uint32_t* v) { return m.getBuild(v); },
       {kQuery, 0xFF},
       aErrNone,
       0x00012345},
      {"hasUEI get of the serial number",
       [](Module& m, uint32_t*) { return m.hasUEI(3, 9, 0, 0x40); },
       {kQuery, 1, 3, 9, 0, 0x40},
       aErrNone,
       kNoValue},
      {"hasUEI set of the serial number (read-only)",
       [](Module& m, uint32_t*) { return m.hasUEI(3, 9, 0, 0x80); },
       {kQuery, 1, 3, 9, 0, 0x80},
       static_cast<aErr>(1),
       kNoValue},
      {"hasUEI of an absent option",
       [](Module& m, uint32_t*) { return m.hasUEI(95, 10, 0, 0x80); },
       {kQuery, 1, 95, 10, 0, 0x80},
       static_cast<aErr>(1),
       kNoValue},
      {"classQuantity",
       [](Module& m, uint32_t* v) {
         uint8_t out = 0xEE;
         const aErr r = m.classQuantity(8, &out);
         *v = out;
         return r;
       },
       {kQuery, 4, 8},
       aErrNone,
       2},
      {"subClassQuantity",
       [](Module& m, uint32_t* v) {
         uint8_t out = 0xEE;
         const aErr r = m.subClassQuantity(8, 1, &out);
         *v = out;
         return r;
       },
       {kQuery, 5, 8, 1},
       aErrNone,
       5},
      {"entityGroup",
       [](Module& m, uint32_t* v) {
         uint8_t out = 0xEE;
         const aErr r = m.entityGroup(8, 1, &out);
         *v = out;
         return r;
       },
       {kQuery, 6, 8, 1},
       aErrNone,
       9},
  };
  for (const QueryCase& c : cases) {
    const size_t before = sim_.received(kQuery).size();
    uint32_t value = kNoValue;
    EXPECT_EQ(c.call(*module, &value), c.expected) << c.what;
    EXPECT_EQ(value, c.value) << c.what;
    const std::vector<Bytes> requests = sim_.received(kQuery);
    ASSERT_EQ(requests.size(), before + 1) << c.what;
    EXPECT_EQ(requests.back(), c.request) << c.what;
  }
}

TEST_F(ModuleUsbTest, MalformedQueryRepliesAreRefused) {
  auto module = sim_.connect();
  const uint8_t own = sim_.address();
  auto script = sim_.script(kQuery);
  auto build = [](Module& m, uint32_t* v) { return m.getBuild(v); };
  auto quantity = [](Module& m, uint32_t* v) {
    uint8_t out = 0xEE;
    const aErr r = m.classQuantity(3, &out);
    *v = out;
    return r;
  };
  struct Case {
    const char* what;
    Bytes reply;
    std::function<aErr(Module&, uint32_t*)> call;
    aErr expected;
    uint32_t value;
  };
  const Case cases[] = {
      {"build", {kQuery, 0xFF, 0x00, 0x00, 0x12, 0x34}, build, aErrNone, 0x1234},
      {"build reply too short", {kQuery, 0xFF, 0x00, 0x12}, build, aErrSize, kNoValue},
      {"build reply too long", {kQuery, 0xFF, 0, 0, 0, 1, 0}, build, aErrSize, kNoValue},
      {"hasUEI reply without the answer byte",
       {kQuery, 1, 3, 9, 0},
       [](Module& m, uint32_t*) { return m.hasUEI(3, 9, 0, 0); },
       aErrUnknown,
       kNoValue},
      {"classQuantity reply too long", {kQuery, 4, 3, 1, 0}, quantity, aErrUnknown, 0},
      {"no reply", {}, quantity, aErrTimeout, 0},
  };
  for (const Case& c : cases) {
    sim_.withCore([&](kvsim::ModuleCore&) {
      script->replies.clear();
      if (!c.reply.empty()) script->replies.push_back({{own, c.reply}});
    });
    uint32_t value = kNoValue;
    EXPECT_EQ(c.call(*module, &value), c.expected) << c.what;
    EXPECT_EQ(value, c.value) << c.what;
  }
}

TEST_F(ModuleUsbTest, QueryTakesOnlyItsOwnReplyFromItsOwnModule) {
  auto module = sim_.connect();
  const uint8_t own = sim_.address();
  auto script = sim_.script(kQuery);
  sim_.withCore([&](kvsim::ModuleCore&) {
    script->replies.push_back({
        {8, {kQuery, 1, 3, 9, 0, 0}},    // another module's answer to the same question
        {own, {kQuery, 1, 3, 8, 0, 0}},  // an answer about another option
        {own, {kQuery, 4, 3, 0}},        // an answer to another query
        {own, {kQuery, 1, 3, 9, 0, 7}},  // the answer
    });
  });
  EXPECT_EQ(module->hasUEI(3, 9, 0, 0x40), static_cast<aErr>(7));
}

TEST_F(ModuleUsbTest, LateReplyDoesNotAnswerTheNextQuestion) {
  auto module = sim_.connect();
  const uint8_t own = sim_.address();
  auto script = sim_.script(kQuery);
  uint8_t count = 0;
  EXPECT_EQ(module->classQuantity(3, &count), aErrTimeout);  // no reply in time
  // The reply turns up after the wait gave up; the next question gets its own answer.
  sim_.inject(*module->getLink(), {{own, {kQuery, 4, 3, 7}}});
  sim_.withCore([&](kvsim::ModuleCore&) { script->replies.push_back({{own, {kQuery, 4, 3, 2}}}); });
  EXPECT_EQ(module->classQuantity(3, &count), aErrNone);
  EXPECT_EQ(count, 2);

  // The same for the build query and the echo test.
  sim_.inject(*module->getLink(), {{own, {kQuery, 0xFF, 0, 0, 0, 1}}, {own, {kEcho, 9}}});
  sim_.withCore([&](kvsim::ModuleCore&) {
    script->replies.push_back({{own, {kQuery, 0xFF, 0, 0, 0, 2}}});
  });
  uint32_t build = 0;
  EXPECT_EQ(module->getBuild(&build), aErrNone);
  EXPECT_EQ(build, 2u);
  const uint8_t bytes[1] = {5};
  EXPECT_EQ(module->debug(bytes, 1), aErrNone);
}

TEST_F(ModuleUsbTest, EchoTestComparesEveryByte) {
  auto module = sim_.connect();
  const uint8_t own = sim_.address();
  const uint8_t bytes[3] = {1, 2, 3};
  EXPECT_EQ(module->debug(bytes, 3), aErrNone);
  EXPECT_EQ(sim_.received(kEcho).back(), (Bytes{kEcho, 1, 2, 3}));
  uint8_t longest[27];
  for (uint8_t i = 0; i < sizeof longest; ++i) longest[i] = i;
  EXPECT_EQ(module->debug(longest, 27), aErrNone);
  EXPECT_EQ(module->debug(longest, 28), aErrParam);

  auto script = sim_.script(kEcho);
  struct Case {
    const char* what;
    Bytes reply;
  };
  const Case cases[] = {
      {"a changed byte", {kEcho, 1, 2, 4}},
      {"a byte short", {kEcho, 1, 2}},
      {"a byte more", {kEcho, 1, 2, 3, 0}},
  };
  for (const Case& c : cases) {
    sim_.withCore([&](kvsim::ModuleCore&) { script->replies.push_back({{own, c.reply}}); });
    EXPECT_EQ(module->debug(bytes, 3), aErrIO) << c.what;
  }
}

TEST_F(ModuleUsbTest, RoutedModuleSharesTheRoutersLinkAndKeepsItsAddress) {
  auto router = sim_.connect();
  ASSERT_TRUE(router->isConnected());
  EXPECT_EQ(UsbUses(kSerial), 1);

  Module behind(6, 0);  // automatic networking on until the routed connect
  ASSERT_EQ(behind.connectThroughLinkModule(router.get()), aErrNone);
  EXPECT_TRUE(behind.isConnected());
  EXPECT_EQ(behind.getModuleAddress(), 6);
  EXPECT_EQ(UsbUses(kSerial), 2);
  VelnetConfig config;
  ASSERT_EQ(behind.getConfig(&config), aErrNone);
  EXPECT_EQ(config.enabled, 0);  // the router's settings

  // Already connected: nothing changes.
  EXPECT_EQ(behind.connectThroughLinkModule(router.get()), aErrNone);
  EXPECT_EQ(UsbUses(kSerial), 2);

  // Networking stays off: a reconnect asks the module nothing and keeps the address.
  const size_t queries = sim_.addressQueries();
  EXPECT_EQ(behind.disconnect(), aErrNone);
  EXPECT_EQ(UsbUses(kSerial), 1);
  ASSERT_EQ(behind.reconnect(), aErrNone);
  EXPECT_EQ(UsbUses(kSerial), 2);
  EXPECT_EQ(behind.getModuleAddress(), 6);
  EXPECT_EQ(sim_.addressQueries(), queries);

  // Each gives back its own use.
  EXPECT_EQ(router->disconnect(), aErrNone);
  EXPECT_TRUE(behind.isConnected());
  EXPECT_EQ(UsbUses(kSerial), 1);
  EXPECT_EQ(behind.disconnect(), aErrNone);
  EXPECT_EQ(UsbUses(kSerial), -1);
}

TEST_F(ModuleUsbTest, FailedRoutedConnectsNeitherTakeNorDropAUse) {
  auto router = sim_.connect();
  ASSERT_EQ(UsbUses(kSerial), 1);
  Link* routerLink = router->getLink();

  // No stored specifier.
  Link bare("Link");
  ASSERT_EQ(bare.setConfig(NoSharing()), aErrNone);
  EXPECT_EQ(bare.connectThroughLinkModule(*routerLink), aErrConfiguration);
  EXPECT_EQ(bare.getStatus(), kNoLinkStatus);
  EXPECT_EQ(bare.disconnect(), aErrNone);
  EXPECT_EQ(UsbUses(kSerial), 1);

  // A specifier naming a device that cannot be reached.
  linkSpec unreachable = TcpSpec(ClosedLoopbackPort(), kSerial + 1);
  Link refused(unreachable, "Link");
  ASSERT_EQ(refused.setConfig(NoSharing()), aErrNone);
  EXPECT_EQ(refused.connectThroughLinkModule(*routerLink), aErrConnection);
  EXPECT_EQ(refused.getStatus(), kNoLinkStatus);

  // A specifier naming another device: its link is given back at once.
  kvsim::SimDevice& otherDevice = sim_.bus().addDevice(other_.deviceSpec(), other_);
  other_.attach(otherDevice);
  linkSpec elsewhere{};
  elsewhere.type = 1;
  elsewhere.serialNumber = kSerial + 2;
  Link wrong(elsewhere, "Link");
  ASSERT_EQ(wrong.setConfig(NoSharing()), aErrNone);
  EXPECT_EQ(wrong.connectThroughLinkModule(*routerLink), aErrConnection);
  EXPECT_EQ(wrong.getStatus(), kNoLinkStatus);
  EXPECT_EQ(UsbUses(kSerial + 2), -1);

  // A Link that already holds a link keeps it.
  linkSpec own{};
  own.type = 1;
  own.serialNumber = kSerial;
  Link holding(own, "Link");
  ASSERT_EQ(holding.setConfig(NoSharing()), aErrNone);
  ASSERT_EQ(holding.connect(), aErrNone);
  EXPECT_EQ(UsbUses(kSerial), 2);
  EXPECT_EQ(holding.connectThroughLinkModule(*routerLink), aErrConnection);
  EXPECT_EQ(UsbUses(kSerial), 2);
  EXPECT_EQ(holding.disconnect(), aErrNone);

  EXPECT_EQ(UsbUses(kSerial), 1);
  EXPECT_TRUE(router->isConnected());
}

}  // namespace
