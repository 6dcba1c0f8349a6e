// Discovery through the controller over the simulated USB bus, with stand-in modules that
// answer the module queries and UEI values: what each record holds, which probe step left
// which error, and the search behind a router module on its I2C bus.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "Log.h"
#include "Module.h"
#include "Updater.h"
#include "discover_test_support.h"
#include "sim_module_core.h"
#include "sim_module_setup.h"
#include "sim_usb_module.h"
#include "support.h"

namespace {

using discover_test::Current;
using discover_test::Legacy;
using discover_test::RecordingDisplay;
using discover_test::SimulatedUsb;
using discover_test::StandIn;
using kvsim::Bytes;
using kvsim::Direction;

constexpr uint8_t kSystem = 3;
constexpr uint8_t kGet = 0x40;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kNameOption = 32;
constexpr uint8_t kRouteToMeOption = 20;
constexpr uint8_t kI2c = 8;

// Packets the module received whose data begin with these bytes.
size_t Received(kvsim::SimUsbModule& module, const Bytes& leading) {
  return module.withCore([&](kvsim::ModuleCore& core) {
    size_t count = 0;
    for (const kvsim::Record& record : core.records()) {
      const Bytes& wire = record.bytes;  // [address][length][data]
      if (record.direction == Direction::In && wire.size() >= 2 + leading.size() &&
          std::equal(leading.begin(), leading.end(), wire.begin() + 2))
        ++count;
    }
    return count;
  });
}

// Data of every packet the module received, in order.
std::vector<Bytes> ReceivedData(kvsim::SimUsbModule& module) {
  return module.withCore([](kvsim::ModuleCore& core) {
    std::vector<Bytes> data;
    for (const kvsim::Record& record : core.records())
      if (record.direction == Direction::In && record.bytes.size() >= 2)
        data.emplace_back(record.bytes.begin() + 2, record.bytes.end());
    return data;
  });
}

class DiscoverUsb : public ::testing::Test {
 protected:
  std::vector<DeviceInfo> discover(linkType type = 1) { return updater_.Discover_Devices(type); }

  SimulatedUsb usb_;
  TempDir store_;
  RecordingDisplay display_;
  Updater updater_{"", store_.path().c_str(), display_};
};

TEST_F(DiscoverUsb, ListsEveryModuleInBusOrderWithWhatItReports) {
  usb_.add({0x40F5849A, 6, 17, Current(2, 15, 3), 4660, "Bench A"});
  usb_.add({0x0000BEEF, 8, 4, Legacy(2, 10, 4), 99528558, "x"});

  std::vector<DeviceInfo> list = discover();

  ASSERT_EQ(list.size(), 2u);
  const DeviceInfo& a = list[0];
  EXPECT_EQ(a.spec.type, 1u);
  EXPECT_EQ(a.spec.serialNumber, 0x40F5849Au);
  EXPECT_EQ(a.spec.address, 0x40F5849Au);
  EXPECT_EQ(a.spec.module, 6u) << "the module's own address";
  EXPECT_EQ(a.spec.router, 0u);
  EXPECT_EQ(a.spec.routerSerialNumber, 0u);
  EXPECT_EQ(a.spec.model, 17u);
  EXPECT_EQ(a.networkAddress, 0u);
  EXPECT_EQ(a.modelName, "Ginkgo");
  EXPECT_EQ(a.major, 2);
  EXPECT_EQ(a.minor, 15);
  EXPECT_EQ(a.patch, 3u);
  EXPECT_EQ(a.build, 4660u);
  EXPECT_EQ(a.deviceName, "Bench A");
  EXPECT_EQ(a.error, 0);

  const DeviceInfo& b = list[1];
  EXPECT_EQ(b.spec.serialNumber, 0x0000BEEFu);
  EXPECT_EQ(b.spec.module, 8u);
  EXPECT_EQ(b.spec.model, 4u);
  EXPECT_EQ(b.modelName, "Alder");
  EXPECT_EQ(b.major, 2);
  EXPECT_EQ(b.minor, 10);
  EXPECT_EQ(b.patch, 4u);
  EXPECT_EQ(b.build, 99528558u);
  EXPECT_EQ(b.deviceName, "x");
  EXPECT_EQ(b.error, 0);

  EXPECT_TRUE(display_.errors.empty());
  EXPECT_EQ(usb_.openHandles(), 0) << "every probe connection is closed again";
}

TEST_F(DiscoverUsb, NoModuleGivesAnEmptyList) {
  EXPECT_TRUE(discover().empty());
  EXPECT_TRUE(display_.errors.empty());
}

struct NameCase {
  const char* name;
  uint32_t version;
  bool named;  // the name is asked for and listed
};

void PrintTo(const NameCase& c, std::ostream* os) { *os << c.name; }

class DiscoverUsbName : public DiscoverUsb, public ::testing::WithParamInterface<NameCase> {};

TEST_P(DiscoverUsbName, IsReadOnlyFromFirmware2_10_4On) {
  const NameCase& c = GetParam();
  kvsim::SimUsbModule& module = usb_.add({0x12345678, 2, 17, c.version, 7, "rack 3"});

  std::vector<DeviceInfo> list = discover();

  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].error, 0);
  EXPECT_EQ(list[0].deviceName, c.named ? "rack 3" : "");
  EXPECT_EQ(Received(module, {kSystem, kNameOption | kGet}), c.named ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, DiscoverUsbName,
    ::testing::Values(NameCase{"Legacy2_10_3", Legacy(2, 10, 3), false},
                      NameCase{"Legacy2_10_4", Legacy(2, 10, 4), true},
                      NameCase{"Legacy2_9_200", Legacy(2, 9, 200), false},
                      NameCase{"Legacy1_15_9", Legacy(1, 15, 9), false},
                      NameCase{"Legacy2_11_0", Legacy(2, 11, 0), true},
                      // A patch beyond one byte is newer than 2.10.4, not a wrapped small one.
                      NameCase{"Legacy2_10_256", Legacy(2, 10, 256), true},
                      NameCase{"Legacy2_10_259", Legacy(2, 10, 259), true},
                      NameCase{"Current2_15_0", Current(2, 15, 0), true},
                      NameCase{"Current3_0_0", Current(3, 0, 0), true}),
    [](const ::testing::TestParamInfo<NameCase>& param) { return std::string(param.param.name); });

struct BuildReplyCase {
  const char* name;
  Bytes reply;
};

void PrintTo(const BuildReplyCase& c, std::ostream* os) { *os << c.name; }

class DiscoverUsbBuildReply : public DiscoverUsb,
                              public ::testing::WithParamInterface<BuildReplyCase> {};

TEST_P(DiscoverUsbBuildReply, OfAnotherLengthGivesBuildZeroAndNoError) {
  kvsim::SimUsbModule& module = usb_.add({0x12345678, 2, 17, Current(2, 15, 3), 7, "n"});
  module.withCore([&](kvsim::ModuleCore& core) { core.script(0x49, {GetParam().reply}); });

  std::vector<DeviceInfo> list = discover();

  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].build, 0u);
  EXPECT_EQ(list[0].error, 0);
  EXPECT_EQ(list[0].patch, 3u) << "the probe goes on after the build";
  EXPECT_EQ(list[0].deviceName, "n");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, DiscoverUsbBuildReply,
    ::testing::Values(BuildReplyCase{"FiveBytes", {0x49, 0xFF, 0x00, 0x12, 0x34}},
                      BuildReplyCase{"SevenBytes", {0x49, 0xFF, 0x00, 0x00, 0x12, 0x34, 0x00}},
                      BuildReplyCase{"OnlyThePattern", {0x49, 0xFF}}),
    [](const ::testing::TestParamInfo<BuildReplyCase>& param) {
      return std::string(param.param.name);
    });

TEST_F(DiscoverUsb, BuildIsTheBigEndianWordOfASixByteReply) {
  kvsim::SimUsbModule& module = usb_.add({0x12345678, 2, 17, Current(2, 15, 3), 0, "n"});
  module.withCore([](kvsim::ModuleCore& core) {
    core.script(0x49, {{0x49, 0xFF, 0xF0, 0x12, 0x34, 0x56}});
  });

  std::vector<DeviceInfo> list = discover();

  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].build, 0xF0123456u);
}

TEST_F(DiscoverUsb, ModuleHeldElsewhereIsListedWithTheConnectionError) {
  usb_.add({0x0000BEEF, 8, 4, Legacy(2, 10, 4), 99, "free"});
  usb_.add({0x40F5849A, 6, 17, Current(2, 15, 3), 4660, "held"});
  usb_.device(1).failClaim(LIBUSB_ERROR_BUSY);

  std::vector<DeviceInfo> list = discover();

  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].error, 0);
  EXPECT_EQ(list[0].deviceName, "free");
  EXPECT_EQ(list[1].spec.serialNumber, 0x40F5849Au);
  EXPECT_EQ(list[1].error, aErrConnection);
  EXPECT_EQ(list[1].build, 0u);
  EXPECT_EQ(list[1].deviceName, "");
  EXPECT_EQ(list[1].modelName, "Ginkgo");
}

TEST_F(DiscoverUsb, FailedVersionReadKeepsTheBuildAndAsksNoName) {
  kvsim::SimUsbModule& module = usb_.add({0x12345678, 2, 17, Current(2, 15, 3), 4660, "n"});
  module.withParts([](kvsim::ModuleParts& parts) {
    parts.store->setFault(kSystem, 0, 7, kvsim::UeiFault::ErrorCode, kvsim::kEvery, aErrMode);
  });

  std::vector<DeviceInfo> list = discover();

  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].error, aErrMode) << "the module's own error code";
  EXPECT_EQ(list[0].build, 4660u);
  EXPECT_EQ(list[0].major, 0);
  EXPECT_EQ(Received(module, {kSystem, kNameOption | kGet}), 0u);
}

TEST_F(DiscoverUsb, NameThatCannotBeReadIsTheRecordsError) {
  kvsim::SimUsbModule& module = usb_.add({0x12345678, 2, 17, Current(2, 15, 3), 4660, "n"});
  module.withParts([](kvsim::ModuleParts& parts) {
    parts.store->setFault(kSystem, 0, kNameOption, kvsim::UeiFault::Silence, kvsim::kEvery);
  });

  std::vector<DeviceInfo> list = discover();

  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].error, aErrTimeout);
  EXPECT_EQ(list[0].patch, 3u);
  EXPECT_EQ(list[0].deviceName, "");
}

// --- behind a router -------------------------------------------------------------------------

constexpr uint32_t kRouterSerial = 0xD272031D;
constexpr uint8_t kRouterAddress = 4;

StandIn Router(std::vector<kvsim::BehindSpec> behind) {
  StandIn router{kRouterSerial, kRouterAddress, 21, Current(2, 16, 0), 77, "router"};
  router.behind = std::move(behind);
  return router;
}

kvsim::BehindSpec Behind(uint8_t address, uint32_t serial, uint8_t model,
                         kvsim::Presence presence = kvsim::Presence::Present) {
  kvsim::BehindSpec spec;
  spec.address = address;
  spec.serial = serial;
  spec.model = model;
  spec.presence = presence;
  return spec;
}

// The bus addresses the router was asked to write the two-byte probe to, at speed 3.
std::set<unsigned> ProbedAddresses(kvsim::SimUsbModule& router) {
  std::set<unsigned> addresses;
  for (const Bytes& data : ReceivedData(router))
    if (data.size() == 7 && data[0] == kI2c && data[1] == 0 && data[3] == 2 && data[4] == 3 &&
        data[5] == 0 && data[6] == 0)
      addresses.insert(data[2]);
  return addresses;
}

// The values of the route-to-host sets the router received, in order.
std::vector<unsigned> RouteToMeValues(kvsim::SimUsbModule& router) {
  std::vector<unsigned> values;
  for (const Bytes& data : ReceivedData(router))
    if (data.size() == 4 && data[0] == kSystem && data[1] == (kRouteToMeOption | kSet))
      values.push_back(data[3]);
  return values;
}

class DiscoverBehindRouter : public DiscoverUsb {
 protected:
  void TearDown() override {
    Log::DeactivatePackage(DEBUG_Network_Link | DEBUG_Updater);
    Log::SetOutput(nullptr);
  }
};

TEST_F(DiscoverBehindRouter, ListsTheModulesThatAnswerWithTheRouterAsTheirWay) {
  kvsim::SimUsbModule& router = usb_.add(Router(
      {Behind(0x0C, 0x2181F0EE, 20), Behind(0x0E, 0x00C0FFEE, 0),
       Behind(0x20, 0x0000A5A5, 17, kvsim::Presence::Silent),
       Behind(0x22, 0x0000B6B6, 17, kvsim::Presence::Missing), Behind(0xFC, 0x0000FCFC, 5)}));

  std::vector<DeviceInfo> list = updater_.Discover_KVNetwork_Devices(kRouterSerial, 1);

  ASSERT_EQ(list.size(), 3u) << "the router, the silent and the missing module are left out";
  const DeviceInfo& first = list[0];
  EXPECT_EQ(first.spec.type, 1u);
  EXPECT_EQ(first.spec.serialNumber, 0x2181F0EEu);
  EXPECT_EQ(first.spec.module, 0x0Cu);
  EXPECT_EQ(first.spec.router, kRouterAddress);
  EXPECT_EQ(first.spec.routerSerialNumber, kRouterSerial);
  EXPECT_EQ(first.spec.address, kRouterSerial) << "the router's own way of being reached";
  EXPECT_EQ(first.spec.model, 20u);
  EXPECT_EQ(first.modelName, "Juniper");
  EXPECT_EQ(first.networkAddress, 0x0C);
  EXPECT_EQ(first.major, 2);
  EXPECT_EQ(first.minor, 15);
  EXPECT_EQ(first.patch, 3u);
  EXPECT_EQ(first.build, 0x1234u);
  EXPECT_EQ(first.deviceName, "") << "no name is read behind a router";
  EXPECT_EQ(first.error, 0);

  EXPECT_EQ(list[1].spec.serialNumber, 0x00C0FFEEu);
  EXPECT_EQ(list[1].networkAddress, 0x0E);
  EXPECT_EQ(list[1].modelName, "Unknown");
  EXPECT_EQ(list[2].spec.serialNumber, 0x0000FCFCu);
  EXPECT_EQ(list[2].networkAddress, 0xFC);
  EXPECT_EQ(list[2].modelName, "Birch");
  EXPECT_TRUE(display_.errors.empty());

  std::set<unsigned> expected;
  for (unsigned address = 2; address <= 252; address += 2)
    if (address != kRouterAddress) expected.insert(address);
  EXPECT_EQ(ProbedAddresses(router), expected) << "even addresses 2 to 252 but the router's own";

  EXPECT_EQ(RouteToMeValues(router), (std::vector<unsigned>{1, 0}));
  const std::vector<Bytes> received = ReceivedData(router);
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.back(), (Bytes{kSystem, kRouteToMeOption | kSet, 0x20, 0}))
      << "the route to the host is reset last, after the last module's probe";
  EXPECT_EQ(usb_.openHandles(), 0);
}

// On the router's one link every module's replies queue up together: a build reply sent
// from another module's address is no answer for this module, and later no answer for that
// module's own query either.
TEST_F(DiscoverBehindRouter, BuildIsTakenOnlyFromTheModuleAsked) {
  kvsim::SimUsbModule& router =
      usb_.add(Router({Behind(0x0C, 0x2181F0EE, 20), Behind(0x0E, 0x00C0FFEE, 5)}));
  router.withParts([](kvsim::ModuleParts& parts) {
    parts.router->module(0x0C)->setHandler(0x49, [](const kvsim::Packet&) {
      return std::vector<kvsim::Packet>{{0x0E, {0x49, 0xFF, 0x00, 0x00, 0x00, 0x09}}};
    });
    parts.router->store(0x0E)->setBuild(0x00ABCDEF);
  });

  std::vector<DeviceInfo> list = updater_.Discover_KVNetwork_Devices(kRouterSerial, 1);

  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].networkAddress, 0x0C);
  EXPECT_EQ(list[0].build, 0u);
  EXPECT_EQ(list[0].error, 0);
  EXPECT_EQ(list[1].networkAddress, 0x0E);
  EXPECT_EQ(list[1].build, 0x00ABCDEFu);
}

TEST_F(DiscoverBehindRouter, WithoutTypeTheRoutersLinkTypeIsLookedUpFirst) {
  usb_.add({0x0000BEEF, 2, 17});
  usb_.add(Router({Behind(0x0C, 0x2181F0EE, 20)}));
  TempDir logDir;
  FILE* logFile = fopen(logDir.file("log").c_str(), "w+");
  ASSERT_NE(logFile, nullptr);
  Log::SetOutput(logFile);
  Log::ActivatePackage(DEBUG_Network_Link | DEBUG_Updater);

  std::vector<DeviceInfo> list = updater_.Discover_KVNetwork_Devices(kRouterSerial, 0);

  Log::DeactivatePackage(DEBUG_Network_Link | DEBUG_Updater);
  Log::SetOutput(nullptr);
  fflush(logFile);
  rewind(logFile);
  std::string log;
  char chunk[4096];
  size_t n = 0;
  while ((n = fread(chunk, 1, sizeof chunk, logFile)) > 0) log.append(chunk, n);
  fclose(logFile);

  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].spec.type, 1u);
  EXPECT_EQ(list[0].spec.serialNumber, 0x2181F0EEu);
  EXPECT_EQ(log.find("NETWORK: Found device [D272031D] via link type [1]\n"), 0u) << log;
  EXPECT_NE(log.find("Found Link Module"), std::string::npos) << log;
  EXPECT_NE(log.find("Searching Address 0x02\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Searching Address 0x04\n"), std::string::npos) << "the router's own address";
  EXPECT_NE(log.find("Attempt Connect on address: 0x0c\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Got Serial [0x2181F0EE]\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Searching Address 0xfc\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Searching Address 0xfe\n"), std::string::npos) << log;
}

TEST_F(DiscoverBehindRouter, UnknownRouterGivesAnEmptyListWithoutAMessage) {
  usb_.add(Router({Behind(0x0C, 0x2181F0EE, 20)}));
  EXPECT_TRUE(updater_.Discover_KVNetwork_Devices(0x0BADF00D, 1).empty());
  EXPECT_TRUE(display_.errors.empty());
  EXPECT_TRUE(display_.infos.empty());
}

TEST_F(DiscoverBehindRouter, RouterThatCannotBeConnectedEndsTheSearch) {
  usb_.add(Router({Behind(0x0C, 0x2181F0EE, 20)}));
  usb_.device(0).failClaim(LIBUSB_ERROR_BUSY);

  EXPECT_TRUE(updater_.Discover_KVNetwork_Devices(kRouterSerial, 1).empty());
  EXPECT_EQ(display_.errors, (std::vector<std::string>{"Error 25 on connectFromSpec"}));
}

TEST_F(DiscoverBehindRouter, RouterThatRefusesToRouteEndsTheSearchDisconnected) {
  kvsim::SimUsbModule& router = usb_.add(Router({Behind(0x0C, 0x2181F0EE, 20)}));
  router.withParts([](kvsim::ModuleParts& parts) {
    parts.store->setFault(kSystem, 0, kRouteToMeOption, kvsim::UeiFault::ErrorCode, kvsim::kEvery,
                          aErrMode);
  });

  EXPECT_TRUE(updater_.Discover_KVNetwork_Devices(kRouterSerial, 1).empty());
  EXPECT_EQ(display_.errors, (std::vector<std::string>{"Error 7 on route to me"}));
  EXPECT_TRUE(ProbedAddresses(router).empty());
  EXPECT_EQ(usb_.openHandles(), 0);
}

// --- the controller's own helpers ------------------------------------------------------------

TEST(DisableEther, TurnsSharingAndFallbackOffAndKeepsTheRest) {
  RecordingDisplay display;
  Zentrova::Kolvantis::Module module(2, 0);
  ASSERT_EQ(_disableEther(module, display), aErrNone);
  Zentrova::Kolvantis::VelnetConfig config;
  ASSERT_EQ(module.getConfig(&config), aErrNone);
  EXPECT_EQ(config.enabled, 0);
  EXPECT_EQ(config.fallback, 0);
  EXPECT_EQ(config.localOnly, 1);
  EXPECT_EQ(config.port, 0);
  EXPECT_EQ(config.address, Zentrova::Kolvantis::VelnetConfig().address);
  EXPECT_TRUE(display.errors.empty());
}

TEST(DisableEther, RefusalIsReportedAndReturned) {
  SimulatedUsb usb;
  usb.add({0x12345678, 2, 17});
  RecordingDisplay display;
  Zentrova::Kolvantis::Module module(2, 0);
  ASSERT_EQ(_disableEther(module, display), aErrNone);
  ASSERT_EQ(module.connect(1, 0x12345678), aErrNone);

  EXPECT_EQ(_disableEther(module, display), aErrMode) << "settings cannot change while connected";
  EXPECT_EQ(display.errors, (std::vector<std::string>{"Failed to SET network configuration"}));
  module.disconnect();
}

TEST(CreateUpdaterStore, RootsTheStoreAtTheDirectory) {
  TempDir base;
  RecordingDisplay display;
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, base.file("updater"), "Update_Firmware");
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(std::string(store->BasePath()), base.file("updater"));
  EXPECT_TRUE(display.errors.empty());
}

TEST(CreateUpdaterStore, StoreThatCannotBeMadeIsAMessageAndNoStore) {
  TempDir base;
  FILE* plain = fopen(base.file("plain").c_str(), "w");
  ASSERT_NE(plain, nullptr);
  fclose(plain);
  RecordingDisplay display;

  EXPECT_EQ(_createUpdaterStore(display, base.file("plain"), "load_bird"), nullptr);
  ASSERT_EQ(display.errors.size(), 1u);
  EXPECT_EQ(display.errors[0].rfind("Failed to Create UpdaterStore in: load_bird - Exception: ", 0),
            0u)
      << display.errors[0];
  EXPECT_GT(display.errors[0].size(),
            std::string("Failed to Create UpdaterStore in: load_bird - Exception: ").size())
      << "the reason follows";
}

}  // namespace
