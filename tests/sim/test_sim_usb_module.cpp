// The stand-in module behind the simulated USB bus, driven through the bus's own backend calls
// as a host would make them.
#include <gtest/gtest.h>

#include <vector>

#include "sim_usb_module.h"

namespace {

using kvsim::Bytes;
using kvsim::ModuleConfig;
using kvsim::SimUsbModule;

constexpr uint8_t kOut = 0x01;
constexpr uint8_t kIn = 0x81;
constexpr unsigned kInTimeoutMs = 200;  // ms an IN transfer waits for the module
constexpr int kInCapacity = 1024;

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
    if (bus_.getDeviceList(context_, &list) < 1)
      return false;
    bool opened = bus_.open(list[0], &handle_) == LIBUSB_SUCCESS && bus_.claimInterface(handle_, 0) == 0;
    bus_.freeDeviceList(list, true);
    return opened;
  }

  int write(const Bytes& bytes) {
    Bytes copy = bytes;
    int moved = 0;
    return bus_.bulkTransfer(handle_, kOut, copy.data(), static_cast<int>(copy.size()), &moved, kInTimeoutMs);
  }

  // One IN transfer; its bytes, or the error in *result.
  Bytes read(int* result = nullptr) {
    Bytes buffer(kInCapacity);
    int moved = 0;
    int status = bus_.bulkTransfer(handle_, kIn, buffer.data(), kInCapacity, &moved, kInTimeoutMs);
    if (result)
      *result = status;
    buffer.resize(static_cast<size_t>(moved));
    return buffer;
  }

 private:
  void closeHandle() {
    if (handle_ != nullptr)
      bus_.close(handle_);
    handle_ = nullptr;
  }

  kvsim::UsbBus& bus_;
  KvUsbContext* context_ = nullptr;
  KvUsbHandle* handle_ = nullptr;
};

const Bytes kProbe{0xAD, 0x00};

Bytes repeat(const Bytes& bytes, int times) {
  Bytes all;
  for (int i = 0; i < times; ++i)
    all.insert(all.end(), bytes.begin(), bytes.end());
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
  for (uint8_t expected : {0x02, 0x02, 0x00, 0x01})
    EXPECT_EQ(host.read(), Bytes{expected});
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

}  // namespace
