// USB transport: device lookup, chunked writes, the error tolerance, final failures, the
// shared context and the kernel-node path, against the simulated bus and a pty node.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "aDebug.h"
#include "aUSBStream.h"
#include "kvusb.h"
#include "sim_usb_bus.h"
#include "support.h"

namespace {

using kvsim::DeviceSpec;
using kvsim::SimDevice;

constexpr uint32_t kSerial = 0xABCD;
constexpr const char* kSerialText = "0000ABCD";
constexpr int kPtyReadTimeoutMs = 2000;   // ms to wait for bytes on the pty master
constexpr uint32_t kNodeWaitMs = 2000;    // ms the node stream may wait for input
constexpr uint32_t kIdleNodeWaitMs = 10;  // ms of a wait that is meant to find nothing

DeviceSpec Module(const std::string& serial = kSerialText, uint16_t inMax = 512,
                  uint16_t outMax = 512) {
  DeviceSpec setup;
  setup.serial = serial;
  setup.config = DeviceSpec::VendorConfig(inMax, outMax);
  return setup;
}

std::string Pattern(size_t n) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);
  return bytes;
}

const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

kvusb_device* Driver(aStream* stream) { return static_cast<USBStream*>(stream->procRef)->device; }

// A stream that is destroyed with the test's scope.
struct Stream {
  aStream* s = nullptr;
  ~Stream() {
    if (s != nullptr) aStream_Destroy(&s);
  }
};

// A bus of its own for one case of a table, installed as the backend for the case's scope;
// declared before the case's streams so that they are gone when it checks for leaks.
class CaseBus {
 public:
  explicit CaseBus(kvsim::UsbBus& restore) : restore_(restore) { kvusb_SetBackend(&bus); }
  ~CaseBus() {
    kvusb_SetBackend(&restore_);
    EXPECT_EQ(bus.openHandles(), 0);
    EXPECT_EQ(bus.openLists(), 0);
    EXPECT_EQ(bus.misuses(), 0);
  }
  CaseBus(const CaseBus&) = delete;
  CaseBus& operator=(const CaseBus&) = delete;

  kvsim::UsbBus bus;

 private:
  kvsim::UsbBus& restore_;
};

// The simulated bus installed as the driver's backend for the test, and a temp directory as
// the kernel node prefix so that no node exists unless a test makes one.
class UsbStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = nodes_.file("kolvantis.");
    kvusb_SetNodePrefix(prefix_.c_str());
    kvusb_SetBackend(&bus_);
  }
  void TearDown() override {
    EXPECT_EQ(bus_.openHandles(), 0);
    EXPECT_EQ(bus_.openLists(), 0);
    EXPECT_EQ(bus_.misuses(), 0);
    kvusb_SetBackend(nullptr);
    kvusb_SetNodePrefix(nullptr);
    aKolvantisDebuggingEnable = false;
    aKolvantisDebuggingLevel = 0;
  }

  SimDevice& Add(const DeviceSpec& setup = Module()) { return bus_.addDevice(setup, peer_); }

  // Reads one byte through the stream; the stream's result.
  static aErr Get(aStream* stream, uint8_t* byte) { return aStream_Read(stream, byte, 1); }

  TempDir nodes_;
  std::string prefix_;
  kvsim::BytePeer peer_;
  kvsim::UsbBus bus_;
};

TEST_F(UsbStreamTest, RefusesSerialZeroAndNullOut) {
  aStream* out = reinterpret_cast<aStream*>(&bus_);
  EXPECT_EQ(aStream_CreateUSB(0, &out), aErrParam);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(aStream_CreateUSB(kSerial, nullptr), aErrParam);
  EXPECT_EQ(bus_.calls(), 0);
}

struct SerialCase {
  const char* label;
  const char* deviceSerial;
  aErr expected;
};

TEST_F(UsbStreamTest, SerialIsLookedUpAsEightUpperCaseHexDigits) {
  const SerialCase cases[] = {
      {"exact text", "0000ABCD", aErrNone},
      {"lower-case digits", "0000abcd", aErrNotFound},
      {"without leading zeros", "ABCD", aErrNotFound},
  };
  for (const SerialCase& c : cases) {
    SCOPED_TRACE(c.label);
    CaseBus local(bus_);
    kvsim::UsbBus& bus = local.bus;
    SimDevice& device = bus.addDevice(Module(c.deviceSerial), peer_);
    {
      Stream stream;
      EXPECT_EQ(aStream_CreateUSB(kSerial, &stream.s), c.expected);
      EXPECT_EQ(stream.s != nullptr, c.expected == aErrNone);
      EXPECT_EQ(device.opens(), 1);
    }
  }
}

TEST_F(UsbStreamTest, PicksTheDeviceWithTheSerialAmongOthers) {
  SimDevice& other = Add(Module("00001234"));
  SimDevice& wanted = Add(Module(kSerialText));
  Stream stream;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  EXPECT_EQ(other.opens(), 1);  // looked at, closed again
  EXPECT_EQ(wanted.opens(), 1);
  EXPECT_EQ(bus_.openHandles(), 1);
  EXPECT_STREQ(Driver(stream.s)->serial, kSerialText);
}

struct ForeignCase {
  uint16_t vendor;
  uint16_t product;
  bool family;
};

TEST_F(UsbStreamTest, OnlyFamilyDevicesAreOpened) {
  const ForeignCase cases[] = {
      {0x1234, 0x0011, false}, {0x24FF, 0x8000, false}, {0x24FF, 0xFFFF, false},
      {0x24FE, 0x0011, false}, {0x24FF, 0x7FFF, true},  {0x24FF, 0x0000, true},
  };
  for (const ForeignCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.vendor << ":" << c.product);
    CaseBus local(bus_);
    kvsim::UsbBus& bus = local.bus;
    DeviceSpec setup = Module();
    setup.vendorId = c.vendor;
    setup.productId = c.product;
    SimDevice& device = bus.addDevice(setup, peer_);
    {
      Stream stream;
      EXPECT_EQ(aStream_CreateUSB(kSerial, &stream.s), c.family ? aErrNone : aErrNotFound);
      EXPECT_EQ(device.opens(), c.family ? 1 : 0);
    }
  }
}

struct ChunkCase {
  uint16_t outMax;
  size_t length;
  std::vector<int> chunks;
};

TEST_F(UsbStreamTest, WritesGoOutInChunksOfTheMaxPacketButNever512) {
  const ChunkCase cases[] = {
      {512, 1024, {511, 511, 2}},
      {64, 1024, std::vector<int>(16, 64)},
      {1024, 1024, {1024}},
      {1024, 512, {511, 1}},
      {512, 2, {2}},
  };
  for (const ChunkCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "max " << c.outMax << ", " << c.length << " bytes");
    kvsim::BytePeer peer;
    CaseBus local(bus_);
    kvsim::UsbBus& bus = local.bus;
    SimDevice& device = bus.addDevice(Module(kSerialText, 512, c.outMax), peer);
    {
      Stream stream;
      ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
      const std::string data = Pattern(c.length);
      EXPECT_EQ(aStream_Write(stream.s, Bytes(data), data.size()), aErrNone);
      std::vector<int> chunks;
      for (const kvsim::OutTransfer& t : device.outTransfers()) chunks.push_back(t.requested);
      EXPECT_EQ(chunks, c.chunks);
      EXPECT_EQ(peer.receivedBytes(), data);
    }
  }
}

TEST_F(UsbStreamTest, TimeOutAfterPartOfAChunkContinuesAfterTheSentBytes) {
  SimDevice& device = Add();
  Stream stream;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  device.queueOutFault(LIBUSB_ERROR_TIMEOUT, 100);
  device.queueOutFault(LIBUSB_ERROR_TIMEOUT, 0);
  const std::string data = Pattern(1024);

  EXPECT_EQ(aStream_Write(stream.s, Bytes(data), data.size()), aErrNone);

  EXPECT_EQ(peer_.receivedBytes(), data);  // nothing repeated, nothing lost
  const std::vector<kvsim::OutTransfer> transfers = device.outTransfers();
  ASSERT_EQ(transfers.size(), 4u);
  EXPECT_EQ(transfers[0].requested, 511);
  EXPECT_EQ(transfers[0].transferred, 100);
  EXPECT_EQ(transfers[1].requested, 511);  // starts at byte 100
  EXPECT_EQ(transfers[1].transferred, 0);
  EXPECT_EQ(transfers[2].requested, 511);
  EXPECT_EQ(transfers[3].requested, 413);
}

TEST_F(UsbStreamTest, StalledWriteClearsTheHaltAndResends) {
  SimDevice& device = Add();
  Stream stream;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  device.queueOutFault(LIBUSB_ERROR_PIPE, 0);
  const std::string data = Pattern(20);
  EXPECT_EQ(aStream_Write(stream.s, Bytes(data), data.size()), aErrNone);
  EXPECT_EQ(device.clearedHalts(), std::vector<uint8_t>{0x01});
  EXPECT_EQ(peer_.receivedBytes(), data);
}

TEST_F(UsbStreamTest, StalledReadClearsTheInHaltAndReportsNotReady) {
  SimDevice& device = Add();
  Stream stream;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  device.queueInFault(LIBUSB_ERROR_PIPE, 0);
  uint8_t byte = 0;
  EXPECT_EQ(Get(stream.s, &byte), aErrNotReady);
  EXPECT_EQ(device.clearedHalts(), std::vector<uint8_t>{0x81});
  EXPECT_EQ(Driver(stream.s)->state.load(), KVUSB_STATE_OPEN);
}

TEST_F(UsbStreamTest, FourReadErrorsAreForgivenTheFifthFailsTheRecord) {
  SimDevice& device = Add();
  Stream stream;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  uint8_t byte = 0;

  // A success between errors restarts the count.
  for (int i = 0; i < 3; ++i) device.queueInFault(LIBUSB_ERROR_IO, 0);
  peer_.queueInput("a");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Get(stream.s, &byte), aErrNotReady);
  ASSERT_EQ(Get(stream.s, &byte), aErrNone);
  EXPECT_EQ(byte, 'a');

  for (int i = 0; i < 5; ++i) device.queueInFault(LIBUSB_ERROR_IO, 0);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Get(stream.s, &byte), aErrNotReady);
    EXPECT_EQ(Driver(stream.s)->state.load(), KVUSB_STATE_OPEN);
  }
  EXPECT_EQ(Get(stream.s, &byte), aErrIO);
  EXPECT_EQ(Driver(stream.s)->state.load(), KVUSB_STATE_FAILED);

  // Failed is final: the module sending again changes nothing, however long it goes on.
  peer_.queueInput("b");
  const std::string data = Pattern(4);
  const int transfersBefore = device.inTransfers();
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(Get(stream.s, &byte), aErrIO);
    ASSERT_EQ(aStream_Write(stream.s, Bytes(data), data.size()), aErrIO);
  }
  EXPECT_EQ(device.inTransfers(), transfersBefore);
  EXPECT_TRUE(device.outTransfers().empty());
}

TEST_F(UsbStreamTest, FailedWritesCountTowardTheToleranceAndReportTheLoss) {
  SimDevice& device = Add();
  Stream stream;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  const std::string data = Pattern(8);
  constexpr int kTransfersPerWrite = 10;  // failed transfers after which a write gives up

  for (int write = 0; write < 4; ++write) {
    for (int i = 0; i < kTransfersPerWrite; ++i) device.queueOutFault(LIBUSB_ERROR_IO, 0);
    EXPECT_EQ(aStream_Write(stream.s, Bytes(data), data.size()), aErrWrite);
    EXPECT_EQ(Driver(stream.s)->state.load(), KVUSB_STATE_OPEN);
  }
  for (int i = 0; i < kTransfersPerWrite; ++i) device.queueOutFault(LIBUSB_ERROR_IO, 0);
  EXPECT_EQ(aStream_Write(stream.s, Bytes(data), data.size()), aErrIO);
  EXPECT_EQ(Driver(stream.s)->state.load(), KVUSB_STATE_FAILED);
  EXPECT_TRUE(peer_.receivedBytes().empty());
}

TEST_F(UsbStreamTest, ReadsAndWritesShareTheErrorCount) {
  SimDevice& device = Add();
  Stream stream;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  const std::string data = Pattern(8);
  uint8_t byte = 0;
  for (int i = 0; i < 2; ++i) device.queueInFault(LIBUSB_ERROR_IO, 0);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Get(stream.s, &byte), aErrNotReady);
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 10; ++i) device.queueOutFault(LIBUSB_ERROR_IO, 0);
    EXPECT_EQ(aStream_Write(stream.s, Bytes(data), data.size()), aErrWrite);
  }
  device.queueInFault(LIBUSB_ERROR_IO, 0);
  EXPECT_EQ(Get(stream.s, &byte), aErrIO);
  EXPECT_EQ(Driver(stream.s)->state.load(), KVUSB_STATE_FAILED);
}

TEST_F(UsbStreamTest, InTimeOutWithSomeBytesHandsThemOutOnePerCall) {
  SimDevice& device = Add();
  Stream stream;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  peer_.queueInput("abcdef");
  device.queueInFault(LIBUSB_ERROR_TIMEOUT, 3);
  uint8_t byte = 0;
  for (char expected : std::string("abc")) {
    ASSERT_EQ(Get(stream.s, &byte), aErrNone);
    EXPECT_EQ(byte, expected);
    EXPECT_EQ(device.inTransfers(), 1);
  }
  device.queueInFault(LIBUSB_ERROR_TIMEOUT, 0);
  EXPECT_EQ(Get(stream.s, &byte), aErrNotReady);
  EXPECT_EQ(device.inTransfers(), 2);
  ASSERT_EQ(Get(stream.s, &byte), aErrNone);  // an ordinary transfer takes the rest
  EXPECT_EQ(byte, 'd');
  EXPECT_EQ(device.inTransfers(), 3);
}

// A module that sends back whatever it receives.
class EchoPeer : public kvsim::BytePeer {
 public:
  void received(const uint8_t* data, size_t length) override {
    BytePeer::received(data, length);
    queueInput(std::string(reinterpret_cast<const char*>(data), length));
  }
};

TEST_F(UsbStreamTest, ReaderAndWriterThreadsShareOneRecord) {
  constexpr int kPackets = 200;
  constexpr size_t kPacketBytes = 30;
  constexpr int kIdleReadsAllowed = 1000;    // empty reads before the reader gives up
  constexpr unsigned int kIdleInWaitMs = 2;  // ms an empty IN transfer waits
  EchoPeer echo;
  CaseBus local(bus_);
  local.bus.setIdleInWaitMs(kIdleInWaitMs);
  local.bus.addDevice(Module(kSerialText, 64, 64), echo);
  Stream stream;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);

  const std::string packet = Pattern(kPacketBytes);
  std::string got;
  std::thread reader([&] {
    int idle = 0;
    while (got.size() < kPackets * kPacketBytes && idle < kIdleReadsAllowed) {
      uint8_t byte = 0;
      const aErr result = kvusb_get_from_device(Driver(stream.s), &byte);
      if (result == aErrNone)
        got.push_back(static_cast<char>(byte));
      else
        ++idle;
    }
  });
  for (int i = 0; i < kPackets; ++i)
    EXPECT_EQ(aStream_Write(stream.s, Bytes(packet), packet.size()), aErrNone);
  reader.join();

  std::string expected;
  for (int i = 0; i < kPackets; ++i) expected += packet;
  EXPECT_EQ(got, expected);
  EXPECT_EQ(Driver(stream.s)->state.load(), KVUSB_STATE_OPEN);
}

enum class Op { Read, Write };

TEST_F(UsbStreamTest, VanishedDeviceIsFinalOnTheFirstTransfer) {
  for (Op op : {Op::Read, Op::Write}) {
    SCOPED_TRACE(op == Op::Read ? "read" : "write");
    kvsim::BytePeer peer;
    CaseBus local(bus_);
    kvsim::UsbBus& bus = local.bus;
    SimDevice& device = bus.addDevice(Module(), peer);
    {
      Stream stream;
      ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
      const std::string data = Pattern(8);
      uint8_t byte = 0;
      if (op == Op::Read) {
        device.queueInFault(LIBUSB_ERROR_NO_DEVICE, 0);
        EXPECT_EQ(Get(stream.s, &byte), aErrIO);
      } else {
        device.queueOutFault(LIBUSB_ERROR_NO_DEVICE, 0);
        EXPECT_EQ(aStream_Write(stream.s, Bytes(data), data.size()), aErrIO);
        EXPECT_EQ(device.outTransfers().size(), 1u);  // no further tries
      }
      EXPECT_EQ(Driver(stream.s)->state.load(), KVUSB_STATE_FAILED);
      peer.queueInput("x");
      EXPECT_EQ(Get(stream.s, &byte), aErrIO);
      EXPECT_EQ(aStream_Write(stream.s, Bytes(data), data.size()), aErrIO);
    }
  }
}

TEST_F(UsbStreamTest, DeviceThatVanishesAndComesBackIsReachedByANewStream) {
  SimDevice& device = Add();
  Stream first;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &first.s), aErrNone);
  device.vanish();
  uint8_t byte = 0;
  EXPECT_EQ(Get(first.s, &byte), aErrIO);
  EXPECT_EQ(Driver(first.s)->state.load(), KVUSB_STATE_FAILED);

  Stream whileGone;
  EXPECT_EQ(aStream_CreateUSB(kSerial, &whileGone.s), aErrNotFound);

  device.comeBack();
  EXPECT_EQ(Get(first.s, &byte), aErrIO);  // the old record stays failed
  Stream second;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &second.s), aErrNone);
  peer_.queueInput("z");
  ASSERT_EQ(Get(second.s, &byte), aErrNone);
  EXPECT_EQ(byte, 'z');
  const std::string data = Pattern(3);
  EXPECT_EQ(aStream_Write(second.s, Bytes(data), data.size()), aErrNone);
  EXPECT_EQ(peer_.receivedBytes(), data);
}

struct ClaimCase {
  int libusbError;
  aErr expected;
};

TEST_F(UsbStreamTest, ClaimFailuresCloseTheDevice) {
  const ClaimCase cases[] = {
      {LIBUSB_ERROR_BUSY, aErrBusy},
      {LIBUSB_ERROR_NO_DEVICE, aErrBusy},
      {LIBUSB_ERROR_ACCESS, aErrPermission},
      {LIBUSB_ERROR_OTHER, aErrUnknown},
  };
  for (const ClaimCase& c : cases) {
    SCOPED_TRACE(c.libusbError);
    CaseBus local(bus_);
    kvsim::UsbBus& bus = local.bus;
    bus.addDevice(Module(), peer_).failClaim(c.libusbError);
    aStream* out = nullptr;
    EXPECT_EQ(aStream_CreateUSB(kSerial, &out), c.expected);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(bus.openHandles(), 0);
  }
}

TEST_F(UsbStreamTest, SecondStreamOnAClaimedDeviceIsBusy) {
  Add();
  Stream first;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &first.s), aErrNone);
  aStream* second = nullptr;
  EXPECT_EQ(aStream_CreateUSB(kSerial, &second), aErrBusy);
  EXPECT_EQ(second, nullptr);
  aStream_Destroy(&first.s);
  Stream third;  // the released claim can be had again
  EXPECT_EQ(aStream_CreateUSB(kSerial, &third.s), aErrNone);
}

TEST_F(UsbStreamTest, DeviceTheUserMayNotOpenIsSkipped) {
  SimDevice& denied = Add();
  denied.failOpen(LIBUSB_ERROR_ACCESS);
  aStream* out = nullptr;
  EXPECT_EQ(aStream_CreateUSB(kSerial, &out), aErrNotFound);

  SimDevice& allowed = Add();  // the same serial further down the list
  Stream stream;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  EXPECT_EQ(allowed.opens(), 1);
}

struct ConfigCase {
  const char* label;
  uint16_t inMax;
  uint16_t outMax;
  bool unreadableConfig;
  bool noVendorInterface;
};

TEST_F(UsbStreamTest, UnusableConfigurationIsRefusedAndLeavesTheRecordClosed) {
  const ConfigCase cases[] = {
      {"OUT max packet 0", 512, 0, false, false},
      {"IN max packet 0", 0, 512, false, false},
      {"configuration unreadable", 512, 512, true, false},
      {"no vendor interface", 512, 512, false, true},
  };
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.label);
    CaseBus local(bus_);
    kvsim::UsbBus& bus = local.bus;
    DeviceSpec setup = Module(kSerialText, c.inMax, c.outMax);
    if (c.noVendorInterface) setup.config.interfaces[0].altsettings[0].bInterfaceSubClass = 0x00;
    bus.addDevice(setup, peer_).failConfigDescriptor(c.unreadableConfig);

    kvusb_device* device = kvusb_create_usb(KVUSB_ACCESS_LIBUSB);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(kvusb_open_kolvantis_device(device, kSerialText), aErrConfiguration);
    EXPECT_EQ(device->state.load(), KVUSB_STATE_CLOSED);
    EXPECT_EQ(device->handle, nullptr);
    EXPECT_EQ(bus.openHandles(), 0);
    EXPECT_EQ(kvusb_destroy(&device), aErrNone);
    EXPECT_EQ(device, nullptr);
  }
}

TEST_F(UsbStreamTest, RecordNotOpenAnswersByStateAndNeverFails) {
  Add();
  kvusb_device* created = kvusb_create_usb(KVUSB_ACCESS_LIBUSB);
  ASSERT_NE(created, nullptr);
  const uint8_t data[2] = {1, 2};
  uint8_t byte = 0;
  EXPECT_EQ(kvusb_write_to_device(created, data, 2), aErrNotReady);
  EXPECT_EQ(kvusb_get_from_device(created, &byte), aErrNotReady);
  EXPECT_EQ(kvusb_close_kolvantis_device(created), aErrMode);  // nothing to close

  kvusb_device* closed = kvusb_create_usb(KVUSB_ACCESS_LIBUSB);
  ASSERT_NE(closed, nullptr);
  ASSERT_EQ(kvusb_open_kolvantis_device(closed, kSerialText), aErrNone);
  ASSERT_EQ(kvusb_close_kolvantis_device(closed), aErrNone);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(kvusb_write_to_device(closed, data, 2), aErrConnection);
    EXPECT_EQ(kvusb_get_from_device(closed, &byte), aErrConnection);
  }
  EXPECT_EQ(closed->state.load(), KVUSB_STATE_CLOSED);
  EXPECT_EQ(created->state.load(), KVUSB_STATE_CREATED);
  kvusb_destroy(&created);
  kvusb_destroy(&closed);
}

TEST_F(UsbStreamTest, ModeSpecificFunctionsRefuseTheOtherMode) {
  kvusb_device* usb = kvusb_create_usb(KVUSB_ACCESS_LIBUSB);
  kvusb_device* node = kvusb_create_usb(KVUSB_ACCESS_KERNEL);
  ASSERT_NE(usb, nullptr);
  ASSERT_NE(node, nullptr);
  const uint8_t data[2] = {1, 2};
  uint8_t byte = 0;
  EXPECT_EQ(kvusb_open_kolvantis_kernel_device(usb, kSerialText), aErrMode);
  EXPECT_EQ(kvusb_write_to_kernel_device(usb, data, 2), aErrMode);
  EXPECT_EQ(kvusb_get_from_kernel_device(usb, &byte), aErrMode);
  EXPECT_EQ(kvusb_open_kolvantis_USBlib_device(node, kSerialText), aErrMode);
  EXPECT_EQ(kvusb_write_to_USBlib_device(node, data, 2), aErrMode);
  EXPECT_EQ(kvusb_get_from_USBlib_device(node, &byte), aErrMode);
  // A node record without a descriptor.
  EXPECT_EQ(kvusb_write_to_kernel_device(node, data, 2), aErrMode);
  EXPECT_EQ(kvusb_get_from_kernel_device(node, &byte), aErrMode);
  EXPECT_EQ(kvusb_close_kolvantis_kernel_device(node), aErrNone);
  EXPECT_EQ(kvusb_create_usb(7), nullptr);
  EXPECT_EQ(kvusb_destroy(&usb), aErrNone);
  EXPECT_EQ(kvusb_destroy(&node), aErrNone);
  EXPECT_EQ(kvusb_destroy(&node), aErrParam);
}

TEST_F(UsbStreamTest, RecordOfNoKnownModeIsRefusedByEveryEntryPoint) {
  kvusb_device odd;
  odd.accessMode = 7;
  const uint8_t data[2] = {1, 2};
  uint8_t byte = 0;
  EXPECT_EQ(kvusb_open_kolvantis_device(&odd, kSerialText), aErrMode);
  EXPECT_EQ(kvusb_open_kolvantis_device(&odd, nullptr), aErrParam);
  EXPECT_EQ(kvusb_write_to_device(&odd, data, 2), aErrMode);
  EXPECT_EQ(kvusb_get_from_device(&odd, &byte), aErrMode);
  EXPECT_EQ(kvusb_get_from_device(&odd, nullptr), aErrParam);
  EXPECT_FALSE(kvusb_device_can_wait(&odd));
  EXPECT_EQ(kvusb_wait_for_device(&odd, 0), aErrMode);
  EXPECT_EQ(kvusb_close_kolvantis_device(&odd), aErrMode);
  EXPECT_EQ(bus_.calls(), 0);
}

// A libusb get waits in its own IN transfer, so its stream has no wait to block in.
TEST_F(UsbStreamTest, LibusbStreamHasNoWaitOfItsOwn) {
  Add();
  Stream stream;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  ASSERT_EQ(Driver(stream.s)->accessMode, KVUSB_ACCESS_LIBUSB);
  EXPECT_FALSE(kvusb_device_can_wait(Driver(stream.s)));
  EXPECT_EQ(kvusb_wait_for_device(Driver(stream.s), 0), aErrMode);
  EXPECT_EQ(stream.s->waitProc, nullptr);
  EXPECT_EQ(aStream_WaitForInput(stream.s, kNodeWaitMs), aErrNone);
}

TEST_F(UsbStreamTest, ExitThenCreateMakesANewContext) {
  Add();
  {
    Stream stream;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  }
  EXPECT_EQ(bus_.contextsMade(), 1);
  Kolvantis_libusb_exit();
  EXPECT_EQ(bus_.liveContexts(), 0);
  Kolvantis_libusb_exit();  // nothing left to release
  {
    Stream stream;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  }
  EXPECT_EQ(bus_.contextsMade(), 2);
  EXPECT_EQ(bus_.liveContexts(), 1);
  EXPECT_EQ(Kolvantis_libusb_init(), Kolvantis_libusb_context());
  EXPECT_EQ(bus_.contextsMade(), 2);
}

TEST_F(UsbStreamTest, FailingInitLeavesNoContextAndOpenReportsIt) {
  Add();
  bus_.failInit(LIBUSB_ERROR_OTHER);
  EXPECT_EQ(Kolvantis_libusb_context(), nullptr);
  aStream* out = nullptr;
  EXPECT_EQ(aStream_CreateUSB(kSerial, &out), aErrResource);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(bus_.liveContexts(), 0);

  bus_.failInit(0);  // the next use tries again
  Stream stream;
  EXPECT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  EXPECT_EQ(bus_.liveContexts(), 1);
}

TEST_F(UsbStreamTest, UsbTracesAppearOnlyUnderTheirDebugBit) {
  Add(Module(kSerialText, 64, 64));
  for (uint32_t level : {aDEBUG_USB, aDEBUG_LINK}) {
    SCOPED_TRACE(level);
    const RunResult run = RunInChild(
        [&] {
          aKolvantisDebuggingEnable = true;
          aKolvantisDebuggingLevel = level;
          aStream* stream = nullptr;
          if (aStream_CreateUSB(kSerial, &stream) != aErrNone) throw 1;
          const uint8_t data[3] = {1, 2, 3};
          aStream_Write(stream, data, 3);
          aStream_Destroy(&stream);
        },
        Stdout::Pipe);
    ASSERT_TRUE(run.exitedWith(0)) << run.err;
    if (level == aDEBUG_USB) {
      EXPECT_EQ(run.out,
                "In Endpoint Max packet: 64\nOut Endpoint Max packet: 64\n"
                "libusb lenSent: 3 - nSize: 3\n");
    } else {
      EXPECT_EQ(run.out, "");
    }
  }
}

// The kernel node: a raw pty slave behind a symlink with the node's name.
class UsbNodeTest : public UsbStreamTest {
 protected:
  void SetUp() override {
    UsbStreamTest::SetUp();
    ASSERT_TRUE(PtyPair::makeRaw(pty_.slave()));
    ASSERT_EQ(symlink(pty_.slaveName().c_str(), (prefix_ + kSerialText).c_str()), 0);
  }

  PtyPair pty_;
};

TEST_F(UsbNodeTest, NodeCarriesBytesBothWaysWithoutTouchingTheBus) {
  Add();  // the same module is on the bus too
  EXPECT_TRUE(kvusb_is_kernel_driver_installed(kSerial));
  EXPECT_FALSE(kvusb_is_kernel_driver_installed(kSerial + 1));

  Stream stream;
  ASSERT_EQ(aStream_CreateUSB(kSerial, &stream.s), aErrNone);
  EXPECT_EQ(Driver(stream.s)->accessMode, KVUSB_ACCESS_KERNEL);

  const std::string out = Pattern(300);
  EXPECT_EQ(aStream_Write(stream.s, Bytes(out), out.size()), aErrNone);
  EXPECT_EQ(pty_.read(out.size(), kPtyReadTimeoutMs), out);

  EXPECT_EQ(aStream_WaitForInput(stream.s, kIdleNodeWaitMs), aErrTimeout);
  ASSERT_TRUE(pty_.write("xyz"));
  ASSERT_EQ(aStream_WaitForInput(stream.s, kNodeWaitMs), aErrNone);
  uint8_t in[3] = {};
  ASSERT_EQ(aStream_Read(stream.s, in, 3), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in), 3), "xyz");

  EXPECT_EQ(aStream_Destroy(&stream.s), aErrNone);
  EXPECT_EQ(bus_.calls(), 0);
}

TEST_F(UsbNodeTest, DirectoryWithTheNodeNameIsNoNode) {
  const std::string dir = prefix_ + "00001234";
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  EXPECT_FALSE(kvusb_is_kernel_driver_installed(0x1234));
  aStream* out = nullptr;
  EXPECT_EQ(aStream_CreateUSB(0x1234, &out), aErrNotFound);  // the bus has no such module
  EXPECT_GT(bus_.calls(), 0);
}

TEST_F(UsbNodeTest, DescriptorZeroIsAValidNode) {
  const int savedStdin = dup(STDIN_FILENO);
  ASSERT_GE(savedStdin, 0);
  ASSERT_EQ(close(STDIN_FILENO), 0);

  kvusb_device* device = kvusb_create_usb(KVUSB_ACCESS_KERNEL);
  const aErr opened =
      device != nullptr ? kvusb_open_kolvantis_device(device, kSerialText) : aErrMemory;
  const int fd = device != nullptr ? device->fd : -2;
  const uint8_t data[2] = {'o', 'k'};
  const aErr wrote = opened == aErrNone ? kvusb_write_to_device(device, data, 2) : opened;
  const aErr closed = opened == aErrNone ? kvusb_close_kolvantis_device(device) : opened;
  const int fdAfter = device != nullptr ? device->fd : -2;
  kvusb_destroy(&device);
  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);

  EXPECT_EQ(opened, aErrNone);
  EXPECT_EQ(fd, 0);
  EXPECT_EQ(wrote, aErrNone);
  EXPECT_EQ(closed, aErrNone);
  EXPECT_EQ(fdAfter, KVUSB_NO_FD);
  EXPECT_EQ(pty_.read(2, kPtyReadTimeoutMs), "ok");
}

}  // namespace
