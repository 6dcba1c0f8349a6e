// SystemClass against the stand-in module's system entity on the simulated USB bus: every
// option method's request bytes and decoded value, the byte-string options and the subindexed
// words of option 39.
#include "SystemClass.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "api_test_support.h"
#include "sim_module_process.h"

using apitest::Bytes;
using apitest::UsbModule;
using Zentrova::Kolvantis::Module;
using Zentrova::Kolvantis::SystemClass;

namespace {

constexpr uint8_t kSystem = 3;
constexpr uint8_t kIndex = 0;
constexpr uint8_t kSpec = kIndex | 0x20;
constexpr uint32_t kSerial = 0x01020304;
constexpr uint32_t kUntouched = 0xDEADBEEF;

enum class Kind { Get8, Get32, GetSigned, Set8, Set32, Call };

struct Case {
  const char* name;
  uint8_t option;
  Kind kind;
  std::function<aErr(SystemClass&, int64_t*)> call;
  int64_t value;  // a get: what the module holds and the method gives; a set: what it sends
};

// Wraps a getter of any output type into the table's shape.
template <typename T>
std::function<aErr(SystemClass&, int64_t*)> Get(aErr (SystemClass::*method)(T*)) {
  return [method](SystemClass& system, int64_t* out) {
    T value = static_cast<T>(kUntouched);
    const aErr result = (system.*method)(&value);
    *out = value;
    return result;
  };
}

template <typename T>
std::function<aErr(SystemClass&, int64_t*)> Set(aErr (SystemClass::*method)(T), T value) {
  return [method, value](SystemClass& system, int64_t*) { return (system.*method)(value); };
}

std::function<aErr(SystemClass&, int64_t*)> Call(aErr (SystemClass::*method)()) {
  return [method](SystemClass& system, int64_t*) { return (system.*method)(); };
}

Bytes BigEndian(uint32_t value, size_t width) {
  Bytes bytes;
  for (size_t i = width; i-- > 0;) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return bytes;
}

class SystemClassTest : public ::testing::Test {
 protected:
  SystemClassTest() : sim_(apitest::UsbConfig(apitest::kAddress, kSerial)) {}

  void SetUp() override {
    module_ = sim_.connect();
    ASSERT_TRUE(module_->isConnected());
    ASSERT_EQ(system_.init(module_.get(), kIndex), aErrNone);
  }

  // Gives an option of the system entity a new number, keeping its kind.
  void hold(uint8_t option, uint32_t number) {
    sim_.withStore([&](kvsim::UeiStore& store) {
      kvsim::UeiValue value = *store.option(kSystem, kIndex, option);
      value.number = number;
      store.setOption(kSystem, kIndex, option, value);
    });
  }
  uint32_t held(uint8_t option) {
    return sim_.withStore(
        [&](kvsim::UeiStore& store) { return store.option(kSystem, kIndex, option)->number; });
  }
  Bytes heldBytes(uint8_t option) {
    return sim_.withStore(
        [&](kvsim::UeiStore& store) { return store.option(kSystem, kIndex, option)->bytes; });
  }
  void holdBytes(uint8_t option, const Bytes& bytes) {
    sim_.withStore([&](kvsim::UeiStore& store) {
      kvsim::UeiValue value = *store.option(kSystem, kIndex, option);
      value.bytes = bytes;
      store.setOption(kSystem, kIndex, option, value);
    });
  }
  unsigned calls(uint8_t option) {
    return sim_.withStore([&](kvsim::UeiStore& store) {
      auto found = store.calls().find({kSystem, kIndex, option});
      return found == store.calls().end() ? 0u : found->second;
    });
  }

  UsbModule sim_;
  std::unique_ptr<Module> module_;
  SystemClass system_;
};

TEST_F(SystemClassTest, EveryOptionMethodOnTheWire) {
  using S = SystemClass;
  const Case cases[] = {
      {"getModule", 1, Kind::Get8, Get(&S::getModule), 0x12},
      {"getRouter", 2, Kind::Get8, Get(&S::getRouter), 0x14},
      {"setRouter", 2, Kind::Set8, Set<uint8_t>(&S::setRouter, 0x16), 0x16},
      {"getHBInterval", 3, Kind::Get8, Get(&S::getHBInterval), 25},
      {"setHBInterval", 3, Kind::Set8, Set<uint8_t>(&S::setHBInterval, 50), 50},
      {"getLED", 4, Kind::Get8, Get(&S::getLED), 1},
      {"setLED", 4, Kind::Set8, Set<uint8_t>(&S::setLED, 0), 0},
      {"getBootSlot", 6, Kind::Get8, Get(&S::getBootSlot), 3},
      {"setBootSlot", 6, Kind::Set8, Set<uint8_t>(&S::setBootSlot, 2), 2},
      {"getVersion", 7, Kind::Get32, Get(&S::getVersion), 0x2F020F03},
      {"getModel", 8, Kind::Get8, Get(&S::getModel), 0x11},
      {"getSerialNumber", 9, Kind::Get32, Get(&S::getSerialNumber), 16909060},
      {"save", 10, Kind::Call, Call(&S::save), 0},
      {"reset", 11, Kind::Call, Call(&S::reset), 0},
      {"getInputVoltage", 12, Kind::Get32, Get(&S::getInputVoltage), 5000000},
      {"getModuleHardwareOffset", 13, Kind::Get8, Get(&S::getModuleHardwareOffset), 4},
      {"getModuleBaseAddress", 14, Kind::Get8, Get(&S::getModuleBaseAddress), 2},
      {"getModuleSoftwareOffset", 15, Kind::Get8, Get(&S::getModuleSoftwareOffset), 6},
      {"setModuleSoftwareOffset", 15, Kind::Set8, Set<uint8_t>(&S::setModuleSoftwareOffset, 8), 8},
      {"getRouterAddressSetting", 16, Kind::Get8, Get(&S::getRouterAddressSetting), 1},
      {"routeToMe", 20, Kind::Set8, Set<uint8_t>(&S::routeToMe, 1), 1},
      {"getInputCurrent", 21, Kind::Get32, Get(&S::getInputCurrent), 250000},
      {"getUptime", 22, Kind::Get32, Get(&S::getUptime), 0x01000000},
      {"getMaximumTemperature", 23, Kind::GetSigned, Get(&S::getMaximumTemperature), 45000},
      {"logEvents", 24, Kind::Call, Call(&S::logEvents), 0},
      {"getUnregulatedVoltage", 25, Kind::GetSigned, Get(&S::getUnregulatedVoltage), -5},
      {"getUnregulatedCurrent", 26, Kind::GetSigned, Get(&S::getUnregulatedCurrent), 260000},
      {"getTemperature", 27, Kind::GetSigned, Get(&S::getTemperature), -2},
      {"getMinimumTemperature", 28, Kind::GetSigned, Get(&S::getMinimumTemperature), -2000},
      {"getInputPowerSource", 29, Kind::Get8, Get(&S::getInputPowerSource), 2},
      {"getInputPowerBehavior", 30, Kind::Get8, Get(&S::getInputPowerBehavior), 1},
      {"setInputPowerBehavior", 30, Kind::Set8, Set<uint8_t>(&S::setInputPowerBehavior, 3), 3},
      {"getPowerLimit", 33, Kind::Get32, Get(&S::getPowerLimit), 10000},
      {"getPowerLimitMax", 34, Kind::Get32, Get(&S::getPowerLimitMax), 12000},
      {"setPowerLimitMax", 34, Kind::Set32, Set<uint32_t>(&S::setPowerLimitMax, 0x0A0B0C0D),
       0x0A0B0C0D},
      {"getPowerLimitState", 35, Kind::Get32, Get(&S::getPowerLimitState), 2},
      {"resetDeviceToFactoryDefaults", 37, Kind::Call, Call(&S::resetDeviceToFactoryDefaults), 0},
      {"getLinkInterface", 38, Kind::Get8, Get(&S::getLinkInterface), 1},
      {"setLinkInterface", 38, Kind::Set8, Set<uint8_t>(&S::setLinkInterface, 2), 2},
      {"getHardwareVersion", 40, Kind::Get32, Get(&S::getHardwareVersion), 0x00010002},
      {"getErrors", 41, Kind::Get32, Get(&S::getErrors), 0x80000001},
      {"getLEDMaxBrightness", 42, Kind::Get8, Get(&S::getLEDMaxBrightness), 200},
      {"setLEDMaxBrightness", 42, Kind::Set8, Set<uint8_t>(&S::setLEDMaxBrightness, 100), 100},
      {"getBuild", 43, Kind::Get32, Get(&S::getBuild), 0x1234},
      {"getProtocolFeatures", 45, Kind::Get32, Get(&S::getProtocolFeatures), 0x80000000},
  };
  for (const Case& c : cases) {
    const bool get = c.kind == Kind::Get8 || c.kind == Kind::Get32 || c.kind == Kind::GetSigned;
    if (get) hold(c.option, static_cast<uint32_t>(c.value));
    const unsigned callsBefore = calls(c.option);

    int64_t value = 0;
    ASSERT_EQ(c.call(system_, &value), aErrNone) << c.name;

    Bytes request{kSystem, static_cast<uint8_t>(c.option | (get ? 0x40 : 0x80)), kSpec};
    if (c.kind == Kind::Set8) request.push_back(static_cast<uint8_t>(c.value));
    if (c.kind == Kind::Set32) {
      const Bytes bytes = BigEndian(static_cast<uint32_t>(c.value), 4);
      request.insert(request.end(), bytes.begin(), bytes.end());
    }
    EXPECT_EQ(sim_.received(kSystem).back(), request) << c.name;
    if (get) {
      EXPECT_EQ(value, c.value) << c.name;
    } else if (c.kind == Kind::Call) {
      EXPECT_EQ(calls(c.option), callsBefore + 1) << c.name;
    } else {
      EXPECT_EQ(held(c.option), static_cast<uint32_t>(c.value)) << c.name;
    }
  }
}

TEST_F(SystemClassTest, NullOutputsAreRefusedWithoutTraffic) {
  EXPECT_EQ(system_.getSerialNumber(nullptr), aErrParam);
  EXPECT_EQ(system_.getModel(nullptr), aErrParam);
  EXPECT_EQ(system_.getTemperature(nullptr), aErrParam);
  EXPECT_EQ(system_.getName(nullptr, 4, nullptr), aErrParam);
  size_t count = 0;
  EXPECT_EQ(system_.getInputPowerBehaviorConfig(nullptr, 2, &count), aErrParam);
  EXPECT_TRUE(sim_.received(kSystem).empty());
}

TEST_F(SystemClassTest, FailedGetLeavesTheOutputAlone) {
  sim_.withStore([](kvsim::UeiStore& store) {
    store.setFault(kSystem, kIndex, 27, kvsim::UeiFault::ErrorCode, 1, 7);
  });
  int32_t temperature = 12345;
  EXPECT_EQ(system_.getTemperature(&temperature), aErrMode);
  EXPECT_EQ(temperature, 12345);
}

TEST_F(SystemClassTest, NameIsAByteStringWithoutTerminator) {
  const Bytes name = {'r', 'i', 'g', ' ', '7'};
  ASSERT_EQ(system_.setName(name.data(), name.size()), aErrNone);
  EXPECT_EQ(heldBytes(32), name);
  uint8_t buffer[32];
  std::memset(buffer, 0xAA, sizeof buffer);
  size_t length = 0;
  ASSERT_EQ(system_.getName(buffer, sizeof buffer, &length), aErrNone);
  EXPECT_EQ(length, name.size());
  EXPECT_EQ(Bytes(buffer, buffer + length), name);
  EXPECT_EQ(buffer[length], 0xAA);
}

TEST_F(SystemClassTest, PowerBehaviorConfigKeepsTheWordsBytesAsTheyLie) {
  const Bytes eight = {1, 2, 3, 4, 5, 6, 7, 8};
  holdBytes(31, eight);
  uint32_t words[2] = {};
  size_t count = 0;
  ASSERT_EQ(system_.getInputPowerBehaviorConfig(words, 2, &count), aErrNone);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(std::memcmp(words, eight.data(), eight.size()), 0);

  holdBytes(31, {1, 2, 3, 4, 5, 6});
  EXPECT_EQ(system_.getInputPowerBehaviorConfig(words, 2, &count), aErrMemory);
  holdBytes(31, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  EXPECT_EQ(system_.getInputPowerBehaviorConfig(words, 2, &count), aErrMemory);  // too many

  const uint32_t out[3] = {0x11223344, 0x55667788, 0x99AABBCC};
  ASSERT_EQ(system_.setInputPowerBehaviorConfig(out, 3), aErrNone);
  Bytes expected(sizeof out);
  std::memcpy(expected.data(), out, sizeof out);
  EXPECT_EQ(heldBytes(31), expected);
}

TEST_F(SystemClassTest, SubindexedWordsOfOption39) {
  for (uint8_t word = 0; word < 4; ++word) {
    uint32_t value = 0;
    ASSERT_EQ(system_.getUEI32(39, word, &value), aErrNone);
    EXPECT_EQ(value, 0x10203040u + word);
    EXPECT_EQ(sim_.received(kSystem).back(), (Bytes{kSystem, 39 | 0x40, kSpec, word}));
  }
}

TEST_F(SystemClassTest, IndexNamesTheEntity) {
  SystemClass other;
  ASSERT_EQ(other.init(module_.get(), 2), aErrNone);
  uint8_t model = 0;
  EXPECT_EQ(other.getModel(&model), aErrNotFound);  // the module has only entity 0
  EXPECT_EQ(sim_.received(kSystem).back(), (Bytes{kSystem, 8 | 0x40, 0x22}));
  EXPECT_EQ(other.init(module_.get(), 32), aErrParam);
}

// The same system entity served by the stand-in program over TCP, with a reply fault armed
// on the serial number.
TEST(SystemClassTcpTest, IdentityFromTheProgramAndAFaultyReply) {
  kvsim::SimModuleProcess sim({"--tcp", "0", "--serial", "01020304", "--uei", "--model", "0x2A",
                               "--build", "777", "--uei-fault", "wrong-length:3:0:9:1"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  linkSpec spec{};
  spec.type = 2;
  spec.serialNumber = kSerial;
  spec.address = htonl(INADDR_LOOPBACK);
  spec.port = static_cast<uint32_t>(sim.port());
  Module module(apitest::kAddress, 0);
  ASSERT_EQ(module.setConfig(apitest::NoSharing()), aErrNone);
  ASSERT_EQ(module.connectFromSpec(spec), aErrNone);
  SystemClass system;
  ASSERT_EQ(system.init(&module, 0), aErrNone);

  uint32_t serial = kUntouched;
  EXPECT_EQ(system.getSerialNumber(&serial), aErrSize);  // one byte too many: never a value
  EXPECT_EQ(serial, kUntouched);
  ASSERT_EQ(system.getSerialNumber(&serial), aErrNone);
  EXPECT_EQ(serial, kSerial);
  uint8_t model = 0;
  ASSERT_EQ(system.getModel(&model), aErrNone);
  EXPECT_EQ(model, 0x2A);
  uint32_t build = 0;
  ASSERT_EQ(system.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 777u);
  ASSERT_EQ(module.getBuild(&build), aErrNone);
  EXPECT_EQ(build, 777u);
}

}  // namespace
