// The stand-in module behind the simulated USB bus, driven through the bus's own backend calls
// as a host would make them: its answers, drops, and the upgrade persona's drops and
// come-backs (under another serial string too).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim_upgrade.h"
#include "sim_usb_module.h"

namespace {

using kvsim::Bytes;
using kvsim::ModuleConfig;
using kvsim::SimUsbModule;

constexpr uint8_t kOut = 0x01;
constexpr uint8_t kIn = 0x81;
constexpr unsigned kInTimeoutMs = 200;  // ms an IN transfer waits for the module
constexpr int kInCapacity = 1024;
constexpr int kSerialCapacity = 64;
constexpr uint8_t kSerialIndex = 3;  // string index of the serial number on the bus's devices
constexpr auto kBusChangeTimeout = std::chrono::seconds(10);     // for a device to leave or return
constexpr auto kReopenInterval = std::chrono::milliseconds(10);  // between two tries to open

// One host: a context and an open, claimed handle on the first device of the bus.
class Host {
 public:
  explicit Host(kvsim::UsbBus& bus) : bus_(bus) {
    EXPECT_EQ(bus_.init(&context_), LIBUSB_SUCCESS);
    open();
  }
  ~Host() {
    closeHandle();
    bus_.exit(context_);
  }

  bool open() {
    closeHandle();
    KvUsbDevice** list = nullptr;
    if (bus_.getDeviceList(context_, &list) < 1) return false;
    bool opened =
        bus_.open(list[0], &handle_) == LIBUSB_SUCCESS && bus_.claimInterface(handle_, 0) == 0;
    bus_.freeDeviceList(list, true);
    return opened;
  }

  int write(const Bytes& bytes) {
    Bytes copy = bytes;
    int moved = 0;
    return bus_.bulkTransfer(handle_, kOut, copy.data(), static_cast<int>(copy.size()), &moved,
                             kInTimeoutMs);
  }

  // The serial string through the open handle; empty with the error in *result.
  std::string serial(int* result = nullptr) {
    unsigned char text[kSerialCapacity] = {};
    int got = bus_.getStringDescriptorAscii(handle_, kSerialIndex, text, kSerialCapacity);
    if (result) *result = got < 0 ? got : LIBUSB_SUCCESS;
    return got < 0 ? std::string()
                   : std::string(reinterpret_cast<char*>(text), static_cast<size_t>(got));
  }

  // IN transfers until one says the device is gone; false when it stays past the time-out.
  bool awaitGone() {
    auto deadline = std::chrono::steady_clock::now() + kBusChangeTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int result = 0;
      read(&result);
      if (result == LIBUSB_ERROR_NO_DEVICE) return true;
    }
    return false;
  }

  // Opens the first device as soon as one is on the bus; false when none comes in time.
  bool awaitOpen() {
    auto deadline = std::chrono::steady_clock::now() + kBusChangeTimeout;
    while (!open()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(kReopenInterval);
    }
    return true;
  }

  // One IN transfer; its bytes, or the error in *result.
  Bytes read(int* result = nullptr) {
    Bytes buffer(kInCapacity);
    int moved = 0;
    int status = bus_.bulkTransfer(handle_, kIn, buffer.data(), kInCapacity, &moved, kInTimeoutMs);
    if (result) *result = status;
    buffer.resize(static_cast<size_t>(moved));
    return buffer;
  }

 private:
  void closeHandle() {
    if (handle_ != nullptr) bus_.close(handle_);
    handle_ = nullptr;
  }

  kvsim::UsbBus& bus_;
  KvUsbContext* context_ = nullptr;
  KvUsbHandle* handle_ = nullptr;
};

const Bytes kProbe{0xAD, 0x00};

Bytes repeat(const Bytes& bytes, int times) {
  Bytes all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), bytes.begin(), bytes.end());
  return all;
}

TEST(SimUsbModule, DeviceSpecCarriesTheSerialNumberAsEightUpperCaseHexDigits) {
  ModuleConfig config;
  config.serial = 0xABCD;
  SimUsbModule module(config);
  EXPECT_EQ(module.deviceSpec().serial, "0000ABCD");
  EXPECT_EQ(module.deviceSpec().vendorId, 0x24FF);
}

TEST(SimUsbModule, EachInTransferCarriesOneAnswerUnlessCoalesced) {
  for (bool coalesce : {false, true}) {
    SCOPED_TRACE(coalesce);
    ModuleConfig config;
    config.coalesce = coalesce;
    SimUsbModule module(config);
    kvsim::UsbBus bus;
    module.attach(bus.addDevice(module.deviceSpec(), module));
    Host host(bus);

    ASSERT_EQ(host.write(repeat(kProbe, 6)), LIBUSB_SUCCESS);
    Bytes answers;
    int transfers = 0;
    while (answers.size() < 12) {
      int result = 0;
      Bytes got = host.read(&result);
      ASSERT_EQ(result, LIBUSB_SUCCESS);
      answers.insert(answers.end(), got.begin(), got.end());
      ++transfers;
    }
    EXPECT_EQ(answers, repeat({0x02, 0x00}, 6));
    EXPECT_EQ(transfers, coalesce ? 1 : 6);
  }
}

TEST(SimUsbModule, SplitAnswerArrivesOneBytePerTransfer) {
  ModuleConfig config;
  config.faults[kvsim::Fault::Split] = 1;
  SimUsbModule module(config);
  kvsim::UsbBus bus;
  module.attach(bus.addDevice(module.deviceSpec(), module));
  Host host(bus);

  module.withCore([](kvsim::ModuleCore& core) { core.sendHeartbeat(1); });
  for (uint8_t expected : {0x02, 0x02, 0x00, 0x01}) EXPECT_EQ(host.read(), Bytes{expected});
  int result = 0;
  EXPECT_TRUE(host.read(&result).empty());
  EXPECT_EQ(result, LIBUSB_ERROR_TIMEOUT);
}

TEST(SimUsbModule, HeartbeatAnswersAndForceRoutesAreRecorded) {
  SimUsbModule module;
  kvsim::UsbBus bus;
  module.attach(bus.addDevice(module.deviceSpec(), module));
  Host host(bus);

  module.withCore([](kvsim::ModuleCore& core) { core.sendHeartbeat(0); });
  EXPECT_EQ(host.read(), (Bytes{0x02, 0x02, 0x00, 0x00}));
  ASSERT_EQ(host.write({0x02, 0x02, 0x00, 0x02, 0xAF, 0x01, 0x01}), LIBUSB_SUCCESS);
  EXPECT_EQ(module.withCore([](kvsim::ModuleCore& core) { return core.heartbeatAnswers(); }),
            std::vector<uint8_t>{2});
  EXPECT_EQ(module.withCore([](kvsim::ModuleCore& core) { return core.forceRoutes(); }),
            std::vector<uint8_t>{1});
}

TEST(SimUsbModule, DroppedModuleIsGoneForTheOldHandleAndAnswersANewOne) {
  SimUsbModule module;
  kvsim::UsbBus bus;
  module.attach(bus.addDevice(module.deviceSpec(), module));
  Host host(bus);
  module.withCore([](kvsim::ModuleCore& core) { core.sendHeartbeat(0); });  // lost with the drop

  module.drop();
  int result = 0;
  host.read(&result);
  EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE);

  module.comeBack();
  EXPECT_EQ(host.write(kProbe), LIBUSB_ERROR_NO_DEVICE) << "the old handle stays gone";
  ASSERT_TRUE(host.open());
  ASSERT_EQ(host.write(kProbe), LIBUSB_SUCCESS);
  EXPECT_EQ(host.read(), (Bytes{0x02, 0x00}));
  EXPECT_EQ(module.withCore([](kvsim::ModuleCore& core) { return core.connections(); }), 2u);
}

TEST(SimUsbModule, DropAfterUnplugsAndComesBackAtOnce) {
  ModuleConfig config;
  config.dropAfter = 1;
  SimUsbModule module(config);
  kvsim::UsbBus bus;
  module.attach(bus.addDevice(module.deviceSpec(), module));
  Host host(bus);

  ASSERT_EQ(host.write(kProbe), LIBUSB_SUCCESS);
  int result = 0;
  host.read(&result);
  EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE) << "the answer went with the connection";
  ASSERT_TRUE(host.open());
  ASSERT_EQ(host.write({0x02, 0x01, 0x17}), LIBUSB_SUCCESS);
  EXPECT_EQ(module.withCore([](kvsim::ModuleCore& core) { return core.connections(); }), 3u);
}

// --- The bus's come-back under another serial string -----------------------------------------

TEST(SimUsbBus, ComeBackUnderAnotherSerialStringIsANewAttachment) {
  kvsim::BytePeer peer;
  kvsim::UsbBus bus;
  kvsim::DeviceSpec spec;
  spec.serial = "0000ABCD";
  kvsim::SimDevice& device = bus.addDevice(spec, peer);
  Host host(bus);
  EXPECT_EQ(host.serial(), "0000ABCD");

  device.vanish();
  device.comeBack("DEADDEAD");
  int result = 0;
  EXPECT_EQ(host.serial(&result), "");
  EXPECT_EQ(result, LIBUSB_ERROR_NO_DEVICE) << "the old handle stays gone";
  ASSERT_TRUE(host.open());
  EXPECT_EQ(host.serial(), "DEADDEAD");
  EXPECT_EQ(device.opens(), 2);

  device.vanish();
  device.comeBack();
  ASSERT_TRUE(host.open());
  EXPECT_EQ(host.serial(), "DEADDEAD") << "a plain come-back keeps the serial string";
}

// --- The upgrade persona on USB ---------------------------------------------------------------

constexpr uint8_t kUpgradeAddress = 6;
constexpr uint32_t kUpgradeSerial = 0x40F5849A;

Bytes packet(const Bytes& data) {
  Bytes wire(2 + data.size());
  wire[0] = kUpgradeAddress;
  wire[1] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), wire.begin() + 2);
  return wire;
}

// A module at kUpgradeAddress with kUpgradeSerial that takes the upgrade conversation, on a bus
// of its own (the bus goes first, as its peers must outlive it).
class UsbUpgrade {
 public:
  explicit UsbUpgrade(const kvsim::UpgradeConfig& upgrade) : module_(config()) {
    kvsim::ModuleSetup setup;
    setup.upgrade = upgrade;
    EXPECT_EQ(module_.setUp(setup), "");
    bus_ = std::make_unique<kvsim::UsbBus>();
    module_.attach(bus_->addDevice(module_.deviceSpec(), module_));
    host_ = std::make_unique<Host>(*bus_);
  }
  ~UsbUpgrade() { removeBus(); }

  // The host and the bus go; the module stays.
  void removeBus() {
    host_.reset();
    bus_.reset();
  }

  SimUsbModule& module() { return module_; }
  Host& host() { return *host_; }
  // Runs f(UpgradePersona&) under the module's lock: its timer thread polls the persona.
  template <typename F>
  auto withPersona(F&& f) {
    return module_.withParts([&](kvsim::ModuleParts& parts) { return f(*parts.upgrade); });
  }

  // One request and its whole answer.
  Bytes ask(const Bytes& data) {
    EXPECT_EQ(host_->write(packet(data)), LIBUSB_SUCCESS);
    return host_->read();
  }

 private:
  static ModuleConfig config() {
    ModuleConfig config;
    config.address = kUpgradeAddress;
    config.serial = kUpgradeSerial;
    return config;
  }

  SimUsbModule module_;
  std::unique_ptr<kvsim::UsbBus> bus_;
  std::unique_ptr<Host> host_;
};

const Bytes kGetSerial{3, 9 | 0x40, 0x20};

TEST(SimUsbModule, LoadAnswersThenTheDeviceLeavesAndReturnsAsDeadDead) {
  kvsim::UpgradeConfig upgrade;
  upgrade.afterLoad = kvsim::AfterLoad::Drop;
  upgrade.dropDelayMs = 100;  // time for the host to take the answer
  upgrade.returnAs = kvsim::ReturnAs::DefaultSerial;
  upgrade.returnMs = 200;
  UsbUpgrade usb(upgrade);
  EXPECT_EQ(usb.host().serial(), "40F5849A");

  EXPECT_EQ(usb.ask({0x5F, 2}), packet({0x5F, 2}));
  ASSERT_TRUE(usb.host().awaitGone()) << "dropped by the module's own timer, no request needed";
  ASSERT_TRUE(usb.host().awaitOpen());
  EXPECT_EQ(usb.host().serial(), "DEADDEAD");
  EXPECT_EQ(usb.module().deviceSpec().serial, "DEADDEAD");
  EXPECT_EQ(usb.ask(kGetSerial), packet({3, 9, 0, 0xDE, 0xAD, 0xDE, 0xAD}));
  EXPECT_EQ(usb.withPersona([](kvsim::UpgradePersona& persona) { return persona.mode(); }),
            kvsim::UpgradePersona::Mode::Loader);
}

TEST(SimUsbModule, RebootLeavesTheBusAndReturnsUnderTheOwnSerialRunningTheApplication) {
  kvsim::UpgradeConfig upgrade;
  upgrade.startAsLoader = true;
  upgrade.blockSize = 4;
  upgrade.rebootDropMs = 50;
  upgrade.returnMs = 100;
  UsbUpgrade usb(upgrade);

  EXPECT_EQ(usb.ask({0x5F, 3, 0, 0x00, 0x00, 0x20, 0x00}), packet({0x5F, 7, 0, 0x00, 0x04}));
  EXPECT_EQ(usb.ask({0x5F, 1, 0xA1, 0xA2, 0xA3, 0xA4}), packet({0x5F, 1, 4}));
  EXPECT_EQ(usb.ask({0x5F, 4}), packet({0x5F, 7, 0, 0x00, 0x00, 0x02, 0x8A}));
  EXPECT_EQ(usb.ask({0x5F, 5, 0x00, 0x04}), packet({0x5F, 7, 0}));
  ASSERT_EQ(usb.host().write(packet({0x5F, 6})), LIBUSB_SUCCESS);
  ASSERT_TRUE(usb.host().awaitGone());
  ASSERT_TRUE(usb.host().awaitOpen());
  EXPECT_EQ(usb.host().serial(), "40F5849A");
  EXPECT_EQ(usb.ask({0x5F, 0}), packet({0x5F, 0, 0x20, 0x00, 0x00, 0x00}))
      << "the application again";
  EXPECT_EQ(usb.withPersona(
                [](kvsim::UpgradePersona& persona) { return persona.flash().read(0x2000, 4); }),
            (Bytes{0xA1, 0xA2, 0xA3, 0xA4}));
}

TEST(SimUsbModule, DropThatFallsDueAfterTheBusIsGoneTouchesNothing) {
  kvsim::UpgradeConfig upgrade;
  upgrade.afterLoad = kvsim::AfterLoad::Drop;
  upgrade.dropDelayMs = 20;
  upgrade.returnMs = 20;
  UsbUpgrade usb(upgrade);
  ASSERT_EQ(usb.ask({0x5F, 2}), packet({0x5F, 2}));
  usb.removeBus();
  // The module's timer carries out the drop and the come-back without a device to act on.
  auto deadline = std::chrono::steady_clock::now() + kBusChangeTimeout;
  while (usb.withPersona([](kvsim::UpgradePersona& persona) {
    return persona.nextDue().has_value();
  }) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(kReopenInterval);
  EXPECT_FALSE(usb.withPersona(
      [](kvsim::UpgradePersona& persona) { return persona.nextDue().has_value(); }));
  EXPECT_EQ(usb.module().deviceSpec().serial, "40F5849A");
}

}  // namespace
