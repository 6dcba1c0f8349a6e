// The router of the stand-in module and its setup, in process: I2C transfers on its bus, the
// modules behind it answering over its link from their own addresses, their knobs, the text
// forms of the program's options, and the router behind the simulated USB bus.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "exchange_test_support.h"
#include "sim_module_core.h"
#include "sim_module_process.h"
#include "sim_module_setup.h"
#include "sim_router.h"
#include "sim_uei.h"
#include "sim_usb_module.h"

namespace {

using kvsim::BehindSpec;
using kvsim::Bytes;
using kvsim::ModuleConfig;
using kvsim::ModuleCore;
using kvsim::ModuleParts;
using kvsim::ModuleSetup;
using kvsim::Packet;
using kvsim::Presence;

constexpr uint8_t kRouter = 4;
constexpr uint8_t kFirst = 0x10;   // a module behind, present
constexpr uint8_t kSilent = 0x12;  // a module behind that never answers
constexpr uint8_t kGone = 0x14;    // a module behind that is missing
constexpr uint8_t kFree = 0x16;    // nobody at this address
constexpr uint8_t kError = kvsim::kI2cStatusError;

BehindSpec at(uint8_t address, uint32_t serial) {
  BehindSpec spec;
  spec.address = address;
  spec.serial = serial;
  return spec;
}

ModuleSetup routerSetup() {
  ModuleSetup setup;
  setup.behind = {{kFirst, 0x0000BEEF, 0x13, "first", Presence::Present},
                  {kSilent, 0x0000CAFE, 0x11, "", Presence::Silent},
                  {kGone, 0x0000F00D, 0x11, "", Presence::Missing}};
  return setup;
}

struct SimRouter : ::testing::Test {
  SimRouter() : core(config()) {
    std::string error;
    EXPECT_TRUE(kvsim::setUpModule(core, routerSetup(), &parts, &error)) << error;
  }
  static ModuleConfig config() {
    ModuleConfig c;
    c.address = kRouter;
    c.serial = 0x00001111;
    return c;
  }
  std::vector<Packet> ask(uint8_t address, const Bytes& data) {
    core.receive(Packet{address, data}.wire());
    return kvsim::sentPackets(core);
  }
  // The one reply's data, or {0xEE} when there was not exactly one.
  Bytes askOne(uint8_t address, const Bytes& data) {
    auto replies = ask(address, data);
    return replies.size() == 1 ? replies[0].data : Bytes{0xEE};
  }
  ModuleCore core;
  ModuleParts parts;
};

struct BusCase {
  const char* what;
  Bytes request;
  Bytes reply;
};

TEST_F(SimRouter, BusTransfersAnswerInTheI2cReplyLayout) {
  Bytes readOf23{8, 0, kFirst | 1, 23, 0, 0xA1, 0xA2, 0xA3};
  readOf23.resize(5 + 23, 0);
  const BusCase cases[] = {
      {"probe write, present", {8, 0, kFirst, 2, 3, 0, 0}, {8, 0, kFirst, 0, 0}},
      {"probe write, silent module acknowledges",
       {8, 0, kSilent, 2, 3, 0, 0},
       {8, 0, kSilent, 0, 0}},
      {"probe write, missing module",
       {8, 0, kGone, 2, 3, 0, 0},
       {8, 0, kGone, 0, kError | kvsim::kI2cErrNoDevice}},
      {"probe write, free address",
       {8, 0, kFree, 2, 3, 0, 0},
       {8, 0, kFree, 0, kError | kvsim::kI2cErrNoDevice}},
      {"probe write, the router's own address",
       {8, 0, kRouter, 2, 3, 0, 0},
       {8, 0, kRouter, 0, kError | kvsim::kI2cErrNoDevice}},
      {"write three bytes", {8, 0, kFirst, 3, 0, 0xA1, 0xA2, 0xA3}, {8, 0, kFirst, 0, 0}},
      {"read them back, padded",
       {8, 0, kFirst | 1, 5, 0},
       {8, 0, kFirst | 1, 5, 0, 0xA1, 0xA2, 0xA3, 0, 0}},
      {"read fewer", {8, 0, kFirst | 1, 2, 1}, {8, 0, kFirst | 1, 2, 0, 0xA1, 0xA2}},
      {"read of nobody",
       {8, 0, kFree | 1, 2, 0},
       {8, 0, kFree | 1, 0, kError | kvsim::kI2cErrNoDevice}},
      {"read of 23 bytes", {8, 0, kFirst | 1, 23, 0}, readOf23},
      {"read of 24 bytes",
       {8, 0, kFirst | 1, 24, 0},
       {8, 0, kFirst | 1, 0, kError | kvsim::kI2cErrTooLong}},
      {"other bus", {8, 1, kFirst, 2, 3, 0, 0}, {8, 1, kFirst, 0, kError | kvsim::kI2cErrBadBus}},
      {"write shorter than its length byte",
       {8, 0, kFirst, 3, 0, 1},
       {8, 0, kFirst, 0, kError | kvsim::kI2cErrBadRequest}},
      {"read with data",
       {8, 0, kFirst | 1, 1, 0, 9},
       {8, 0, kFirst | 1, 0, kError | kvsim::kI2cErrBadRequest}},
      {"pullup on", {8, 0, 1, 1}, {8, 0, 1, 1, 0}},
      {"pullup on another bus", {8, 2, 1, 0}, {8, 2, 1, 0, kError | kvsim::kI2cErrBadBus}},
  };
  for (const BusCase& c : cases) {
    auto replies = ask(kRouter, c.request);
    ASSERT_EQ(replies.size(), 1u) << c.what;
    EXPECT_EQ(replies[0].address, kRouter) << c.what;
    EXPECT_EQ(replies[0].data, c.reply) << c.what;
  }
  EXPECT_TRUE(parts.router->pullup());
  EXPECT_EQ(askOne(kRouter, {8, 0, 1, 0}), (Bytes{8, 0, 1, 0, 0}));
  EXPECT_FALSE(parts.router->pullup());
  EXPECT_TRUE(ask(kRouter, {8, 0}).empty()) << "too short to answer";
}

TEST_F(SimRouter, BusSweepAcknowledgesExactlyTheModulesOnTheBus) {
  std::vector<uint8_t> acknowledged;
  for (int a = 2; a <= 252; a += 2) {
    if (a == kRouter) continue;
    uint8_t address = static_cast<uint8_t>(a);
    Bytes reply = askOne(kRouter, {8, 0, address, 2, 3, 0, 0});
    ASSERT_EQ(reply.size(), 5u) << a;
    if (reply[4] == 0) acknowledged.push_back(address);
  }
  EXPECT_EQ(acknowledged, (std::vector<uint8_t>{kFirst, kSilent}));
}

TEST_F(SimRouter, ModuleBehindAnswersOverTheRouterLinkFromItsOwnAddress) {
  const BusCase cases[] = {
      {"serial number", {3, 9 | 0x40, 0x20}, {3, 9, 0, 0x00, 0x00, 0xBE, 0xEF}},
      {"module address", {3, 1 | 0x40, 0x20}, {3, 1, 0, kFirst}},
      {"router address", {3, 2 | 0x40, 0x20}, {3, 2, 0, kRouter}},
      {"model", {3, 8 | 0x40, 0x20}, {3, 8, 0, 0x13}},
      {"name", {3, 32 | 0x40, 0x20}, {3, 32, 0, 'f', 'i', 'r', 's', 't', 0x00}},
      {"build query", {0x49, 0xFF}, {0x49, 0xFF, 0x00, 0x00, 0x12, 0x34}},
      {"echo", {23, 5, 6}, {23, 5, 6}},
  };
  for (const BusCase& c : cases) {
    auto replies = ask(kFirst, c.request);
    ASSERT_EQ(replies.size(), 1u) << c.what;
    EXPECT_EQ(replies[0].address, kFirst) << c.what;
    EXPECT_EQ(replies[0].data, c.reply) << c.what;
  }
  // The router keeps its own identity and answers the sync probe itself.
  EXPECT_EQ(askOne(kRouter, {3, 9 | 0x40, 0x20}), (Bytes{3, 9, 0, 0x00, 0x00, 0x11, 0x11}));
  auto probe = ask(kvsim::kSyncProbeAddress, {});
  ASSERT_EQ(probe.size(), 1u);
  EXPECT_EQ(probe[0].address, kRouter);
  // The module behind saw the request; the router's record holds both directions.
  EXPECT_EQ(kvsim::countRecords(parts.router->module(kFirst)->records(), kvsim::Direction::In,
                                Packet{kFirst, {3, 9 | 0x40, 0x20}}.wire()),
            1u);
  EXPECT_EQ(kvsim::countRecords(core.records(), kvsim::Direction::Out,
                                Packet{kFirst, {3, 9, 0, 0x00, 0x00, 0xBE, 0xEF}}.wire()),
            1u);
}

TEST_F(SimRouter, PacketsForSilentMissingOrFreeAddressesGetNoAnswer) {
  for (uint8_t address : {kSilent, kGone, kFree}) {
    EXPECT_TRUE(ask(address, {3, 9 | 0x40, 0x20}).empty()) << int(address);
    EXPECT_TRUE(ask(address, {0x49, 0xFF}).empty()) << int(address);
  }
  // Knobs change at run time: the silent one speaks, the present one goes.
  ASSERT_TRUE(parts.router->setPresence(kSilent, Presence::Present));
  ASSERT_TRUE(parts.router->setPresence(kFirst, Presence::Missing));
  EXPECT_EQ(askOne(kSilent, {3, 9 | 0x40, 0x20}), (Bytes{3, 9, 0, 0x00, 0x00, 0xCA, 0xFE}));
  EXPECT_TRUE(ask(kFirst, {3, 9 | 0x40, 0x20}).empty());
  EXPECT_EQ(askOne(kRouter, {8, 0, kFirst, 2, 3, 0, 0}),
            (Bytes{8, 0, kFirst, 0, kError | kvsim::kI2cErrNoDevice}));
  EXPECT_FALSE(parts.router->setPresence(kFree, Presence::Present));
}

TEST_F(SimRouter, UeiFaultsOfAModuleBehindStayItsOwn) {
  parts.router->store(kFirst)->setFault(3, 0, 9, kvsim::UeiFault::OtherAddress, 1, 0x30);
  auto replies = ask(kFirst, {3, 9 | 0x40, 0x20});
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].address, 0x30);
  EXPECT_EQ(askOne(kRouter, {3, 9 | 0x40, 0x20}), (Bytes{3, 9, 0, 0x00, 0x00, 0x11, 0x11}));
  ASSERT_EQ(ask(kFirst, {3, 9 | 0x40, 0x20}).at(0).address, kFirst) << "one exchange only";
}

TEST(SimRouterSetup, AddRefusesAddressesNoModuleCanHave) {
  ModuleConfig config;
  config.address = kRouter;
  ModuleCore core(config);
  auto router = kvsim::I2cRouter::attach(core);
  EXPECT_EQ(router->add(at(kFirst, 1)), "");
  for (uint8_t address : {uint8_t{0}, uint8_t{0x11}, uint8_t{0xFF}, kRouter, kFirst}) {
    std::string reason = router->add(at(address, 2));
    EXPECT_FALSE(reason.empty()) << int(address);
  }
  EXPECT_NE(router->add(at(kRouter, 2)).find("router's own"), std::string::npos);
  EXPECT_EQ(router->add(at(254, 3)), "");
  EXPECT_EQ(router->addresses(), (std::vector<uint8_t>{kFirst, 254}));
}

TEST(SimRouterSetup, SetUpAttachesWhatTheSetupAsksFor) {
  struct Case {
    const char* what;
    ModuleSetup setup;
    bool ok;
    bool store;
    bool router;
  };
  ModuleSetup faultOnly;
  faultOnly.ueiFaults.push_back({kvsim::UeiFault::Silence, 3, 0, 9, 1, 0});
  ModuleSetup duplicate;
  duplicate.behind = {at(kFirst, 1), at(kFirst, 2)};
  ModuleSetup uei;
  uei.uei = true;
  ModuleSetup router;
  router.behind = {at(kFirst, 1)};
  const Case cases[] = {
      {"nothing", ModuleSetup{}, true, false, false},
      {"UEI values", uei, true, true, false},
      {"a router implies UEI values", router, true, true, true},
      {"faults without UEI values", faultOnly, false, false, false},
      {"two modules at one address", duplicate, false, true, true},
  };
  for (const Case& c : cases) {
    ModuleCore core;
    ModuleParts parts;
    std::string error;
    EXPECT_EQ(kvsim::setUpModule(core, c.setup, &parts, &error), c.ok) << c.what;
    EXPECT_EQ(c.ok, error.empty()) << c.what << ": " << error;
    EXPECT_EQ(parts.store != nullptr, c.store) << c.what;
    EXPECT_EQ(parts.router != nullptr, c.router) << c.what;
  }
}

TEST(SimRouterSetup, IdentityAndAssignedValuesAreWhatTheModuleAnswers) {
  ModuleConfig config;
  config.address = 6;
  config.serial = 0x40F5849A;
  config.model = 0x1A;
  ModuleCore core(config);
  ModuleSetup setup;
  setup.uei = true;
  setup.identity.build = 99;
  setup.identity.name = "n";
  ModuleParts parts;
  std::string error;
  ASSERT_TRUE(kvsim::setUpModule(core, setup, &parts, &error)) << error;
  auto answer = [&](const Bytes& data) {
    core.receive(Packet{6, data}.wire());
    auto replies = kvsim::sentPackets(core);
    return replies.size() == 1 ? replies[0].data : Bytes{0xEE};
  };
  EXPECT_EQ(answer({3, 8 | 0x40, 0x20}), (Bytes{3, 8, 0, 0x1A}));
  EXPECT_EQ(answer({0x49, 0xFF}), (Bytes{0x49, 0xFF, 0, 0, 0, 99}));

  struct Assignment {
    const char* key;
    const char* value;
    const char* refusal;  // nullptr: accepted
  };
  const Assignment assignments[] = {
      {"3:0:43", "0x1234", nullptr},      {"3:0:32", "\"two words\"", nullptr},
      {"3:0:31", "01 00 00 00", nullptr}, {"3:0:4", "256", "up to 255"},
      {"3:0:10", "1", "holds no value"},  {"3:0:32", "zz", "hex bytes"},
      {"3:0:39:2", "7", nullptr},         {"3:1:8", "1", "no UEI option 3:1:8"},
  };
  for (const Assignment& a : assignments) {
    std::string keyError;
    auto key = kvsim::parseUeiOptionKey(a.key, &keyError);
    ASSERT_TRUE(key) << a.key << ": " << keyError;
    std::string reason = kvsim::assignUeiValue(*parts.store, *key, a.value);
    if (a.refusal)
      EXPECT_NE(reason.find(a.refusal), std::string::npos)
          << a.key << " " << a.value << ": " << reason;
    else
      EXPECT_EQ(reason, "") << a.key << " " << a.value;
  }
  EXPECT_EQ(answer({0x49, 0xFF}), (Bytes{0x49, 0xFF, 0, 0, 0x12, 0x34}))
      << "the build query follows option 43";
  EXPECT_EQ(answer({3, 32 | 0x40, 0x20}),
            (Bytes{3, 32, 0, 't', 'w', 'o', ' ', 'w', 'o', 'r', 'd', 's', 0}));
  EXPECT_EQ(answer({3, 39 | 0x40, 0x20, 2}), (Bytes{3, 39, 0, 0, 0, 0, 7}));
  for (const char* bad :
       {"3:0", "3:0:64", "3:32:1", "256:0:1", "3:0:1:256", "3:0:1:2:3", "a:b:c"}) {
    std::string keyError;
    EXPECT_FALSE(kvsim::parseUeiOptionKey(bad, &keyError)) << bad;
    EXPECT_FALSE(keyError.empty()) << bad;
  }
}

struct FaultTextCase {
  const char* text;
  bool ok;
  kvsim::UeiFault fault;
  int count;
  uint8_t parameter;
};

TEST(SimRouterSetup, UeiFaultTextForms) {
  const FaultTextCase cases[] = {
      {"silence:3:0:9:1", true, kvsim::UeiFault::Silence, 1, 0},
      {"error-code:3:0:9:every:0x1D", true, kvsim::UeiFault::ErrorCode, kvsim::kEvery, 0x1D},
      {"other-address:95:31:63:2:6", true, kvsim::UeiFault::OtherAddress, 2, 6},
      {"out-of-sequence:3:0:32:0", true, kvsim::UeiFault::OutOfSequence, 0, 0},
      {"error-code:3:0:9:1", false, {}, 0, 0},  // needs its code
      {"late:3:0:9:1:5", false, {}, 0, 0},      // takes none
      {"bogus:3:0:9:1", false, {}, 0, 0},
      {"silence:3:32:9:1", false, {}, 0, 0},  // index over 31
      {"silence:3:0:64:1", false, {}, 0, 0},  // option over 63
      {"silence:256:0:9:1", false, {}, 0, 0},
      {"silence:3:0:9:-1", false, {}, 0, 0},
      {"silence:3:0:9:all", false, {}, 0, 0},
      {"silence:3:0:9", false, {}, 0, 0},
      {"error-code:3:0:9:1:300", false, {}, 0, 0},
      {"error-code:3:0:9:1:2:3", false, {}, 0, 0},
  };
  for (const FaultTextCase& c : cases) {
    std::string error;
    auto spec = kvsim::parseUeiFault(c.text, &error);
    ASSERT_EQ(spec.has_value(), c.ok) << c.text << ": " << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(spec->fault, c.fault) << c.text;
    EXPECT_EQ(spec->count, c.count) << c.text;
    EXPECT_EQ(spec->parameter, c.parameter) << c.text;
  }
  std::string error;
  auto spec = kvsim::parseUeiFault("duplicate:0x5F:1:10:3", &error);
  ASSERT_TRUE(spec) << error;
  EXPECT_EQ(spec->command, 0x5F);
  EXPECT_EQ(spec->index, 1);
  EXPECT_EQ(spec->option, 10);
}

TEST(SimRouterSetup, BehindTextForms) {
  struct Case {
    const char* text;
    bool ok;
    BehindSpec spec;
  };
  const Case cases[] = {
      {"0x10:BEEF", true, {0x10, 0xBEEF, kvsim::kDefaultModel, ""}},
      {"16:0x0000BEEF:0x13", true, {0x10, 0xBEEF, 0x13, ""}},
      {"0x10:FFFFFFFF:19:a name: with colons", true, {0x10, 0xFFFFFFFF, 19, "a name: with colons"}},
      {"0x10", false, {}},
      {"0x10:", false, {}},
      {"0x10:XYZ", false, {}},
      {"0x100:1", false, {}},
      {"0x10:100000000", false, {}},
      {"0x10:1:256", false, {}},
  };
  for (const Case& c : cases) {
    std::string error;
    auto spec = kvsim::parseBehind(c.text, &error);
    ASSERT_EQ(spec.has_value(), c.ok) << c.text << ": " << error;
    if (!c.ok) continue;
    EXPECT_EQ(spec->address, c.spec.address) << c.text;
    EXPECT_EQ(spec->serial, c.spec.serial) << c.text;
    EXPECT_EQ(spec->model, c.spec.model) << c.text;
    EXPECT_EQ(spec->name, c.spec.name) << c.text;
    EXPECT_EQ(spec->presence, Presence::Present) << c.text;
  }
}

// --- Behind the simulated USB bus -----------------------------------------------------------

constexpr uint8_t kOut = 0x01;
constexpr uint8_t kIn = 0x81;
constexpr unsigned kTransferTimeoutMs = 200;  // ms a bulk transfer waits
constexpr int kInCapacity = 1024;

TEST(SimRouterUsb, ModuleBehindAnswersOverTheRoutersUsbLink) {
  ModuleConfig config;
  config.address = kRouter;
  config.serial = 0x0000ABCD;
  config.model = 0x13;
  kvsim::SimUsbModule module(config);
  ModuleSetup setup;
  setup.behind = {{kFirst, 0x0000BEEF, 0x11, "first"}};
  ASSERT_EQ(module.setUp(setup), "");
  EXPECT_EQ(module.deviceSpec().productId, 0x13);

  kvsim::UsbBus bus;
  module.attach(bus.addDevice(module.deviceSpec(), module));
  KvUsbContext* context = nullptr;
  ASSERT_EQ(bus.init(&context), LIBUSB_SUCCESS);
  KvUsbDevice** list = nullptr;
  ASSERT_EQ(bus.getDeviceList(context, &list), 1);
  KvUsbHandle* handle = nullptr;
  ASSERT_EQ(bus.open(list[0], &handle), LIBUSB_SUCCESS);
  bus.freeDeviceList(list, true);
  ASSERT_EQ(bus.claimInterface(handle, 0), 0);

  auto exchange = [&](const Bytes& request) {
    Bytes copy = request;
    int moved = 0;
    EXPECT_EQ(bus.bulkTransfer(handle, kOut, copy.data(), static_cast<int>(copy.size()), &moved,
                               kTransferTimeoutMs),
              LIBUSB_SUCCESS);
    Bytes buffer(kInCapacity);
    EXPECT_EQ(bus.bulkTransfer(handle, kIn, buffer.data(), kInCapacity, &moved, kTransferTimeoutMs),
              LIBUSB_SUCCESS);
    buffer.resize(static_cast<size_t>(moved));
    return buffer;
  };
  EXPECT_EQ(exchange({kRouter, 7, 8, 0, kFirst, 2, 3, 0, 0}),
            (Bytes{kRouter, 5, 8, 0, kFirst, 0, 0}));
  EXPECT_EQ(exchange({kFirst, 3, 3, 9 | 0x40, 0x20}),
            (Bytes{kFirst, 7, 3, 9, 0, 0x00, 0x00, 0xBE, 0xEF}));

  module.withParts([](ModuleParts& parts) { parts.router->setPresence(kFirst, Presence::Silent); });
  Bytes request{kFirst, 3, 3, 9 | 0x40, 0x20};
  int moved = 0;
  ASSERT_EQ(bus.bulkTransfer(handle, kOut, request.data(), static_cast<int>(request.size()), &moved,
                             kTransferTimeoutMs),
            LIBUSB_SUCCESS);
  Bytes buffer(kInCapacity);
  EXPECT_EQ(bus.bulkTransfer(handle, kIn, buffer.data(), kInCapacity, &moved, kTransferTimeoutMs),
            LIBUSB_ERROR_TIMEOUT);

  bus.close(handle);
  bus.exit(context);
}

}  // namespace
