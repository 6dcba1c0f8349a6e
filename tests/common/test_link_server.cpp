// A sharing broker put in front of a device link (aLink_CreateServer) over the simulated USB
// bus, TCP and a COBS-framed pty: the client link it hands back and its hold on the device
// link, the refusals of further direct creates and of devices that cannot be shared, a broker
// that cannot learn the module's details, and the reset of a broker-client link.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "aLink.h"
#include "aLinkTable.h"
#include "kvusb.h"
#include "link_test_support.h"
#include "sim_module_process.h"
#include "sim_uei.h"
#include "sim_usb_bus.h"
#include "sim_usb_module.h"
#include "support.h"

namespace {

using coretest::Bytes;
using coretest::LinkGuard;

constexpr uint32_t kSerial = 0x5EA7ED01;
constexpr uint8_t kAddress = 0x04;
constexpr unsigned kSimUsbIdleInMs = 20;  // ms an idle simulated IN transfer waits
constexpr uint64_t kAnswerWaitMs = 3000;  // ms for the module's answer through the broker
constexpr uint8_t kLocalOnly = 1;
constexpr uint32_t kSerialBaud = 115200;
// UEI get of the system entity's serial number (option 9, index 0).
const Bytes kSerialQuery = {3, 0x40 | 9, 0x20};

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

std::string Hex(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

enum class Transport { SimUsb, Tcp, CobsPty };

const char* Name(Transport transport) {
  switch (transport) {
    case Transport::SimUsb:
      return "SimUsb";
    case Transport::Tcp:
      return "Tcp";
    case Transport::CobsPty:
      return "CobsPty";
  }
  return "?";
}

// A stand-in module that answers the system entity, behind one transport.
class Device {
 public:
  virtual ~Device() = default;
  virtual bool ready() = 0;
  virtual std::string error() = 0;
  // The direct create for the transport: the link ID, or 0 when refused.
  virtual uint32_t create() = 0;
  virtual uint32_t type() = 0;
};

class ProcessDevice : public Device {
 public:
  ProcessDevice(Transport transport, const std::vector<std::string>& extra = {})
      : transport_(transport) {
    std::vector<std::string> arguments = {"--serial", Hex(kSerial), "--address",
                                          std::to_string(kAddress), "--uei"};
    if (transport == Transport::Tcp) {
      arguments.insert(arguments.end(), {"--tcp", "0"});
    } else {
      arguments.insert(arguments.end(), {"--pty", "--cobs"});
    }
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<kvsim::SimModuleProcess>(arguments);
  }
  bool ready() override { return sim_->ready(); }
  std::string error() override { return sim_->error(); }
  uint32_t create() override {
    if (transport_ == Transport::Tcp) {
      return aLink_CreateTCPIP(kSerial, kLoopback, static_cast<uint16_t>(sim_->port()));
    }
    return aLink_CreateSerial(kSerial, sim_->ptyPath().c_str(), kSerialBaud);
  }
  uint32_t type() override {
    return transport_ == Transport::Tcp ? aLINKENTRY_TCPIP : aLINKENTRY_SERIAL;
  }

 private:
  Transport transport_;
  std::unique_ptr<kvsim::SimModuleProcess> sim_;
};

class UsbDevice : public Device {
 public:
  UsbDevice() : module_(Config()) {
    kvusb_SetNodePrefix(nodes_.file("kolvantis.").c_str());
    device_ = &bus_.addDevice(module_.deviceSpec(), module_);
    module_.attach(*device_);
    bus_.setIdleInWaitMs(kSimUsbIdleInMs);
    store_ = module_.withCore([](kvsim::ModuleCore& core) {
      auto store = kvsim::UeiStore::attach(core);
      store->addSystemEntity();
      return store;
    });
    kvusb_SetBackend(&bus_);
  }
  ~UsbDevice() override {
    kvusb_SetBackend(nullptr);
    kvusb_SetNodePrefix(nullptr);
  }
  bool ready() override { return true; }
  std::string error() override { return ""; }
  uint32_t create() override { return aLink_CreateUSB(kSerial); }
  uint32_t type() override { return aLINKENTRY_USB; }

 private:
  static kvsim::ModuleConfig Config() {
    kvsim::ModuleConfig config;
    config.address = kAddress;
    config.serial = kSerial;
    return config;
  }

  TempDir nodes_;
  kvsim::SimUsbModule module_;
  kvsim::UsbBus bus_;
  kvsim::SimDevice* device_ = nullptr;
  std::shared_ptr<kvsim::UeiStore> store_;
};

std::unique_ptr<Device> MakeDevice(Transport transport) {
  if (transport == Transport::SimUsb) return std::make_unique<UsbDevice>();
  return std::make_unique<ProcessDevice>(transport);
}

aLinkEntryRef Entry(uint32_t linkId) { return sLookupEntryByID(linkId); }

// The module's serial number asked through the link: true when the answer names it.
bool AnswersSerial(uint32_t linkId) {
  aLink_DrainPackets(
      linkId, [](const aPacket*, const void*) -> uint8_t { return 1; }, nullptr);
  aPacket* request = aPacket_CreateWithData(kAddress, static_cast<uint8_t>(kSerialQuery.size()),
                                            kSerialQuery.data());
  if (request == nullptr) return false;
  const aErr put = aLink_PutPacket(linkId, request);
  aPacket_Destroy(&request);
  if (put != aErrNone) return false;
  aPacket* answer = aLink_AwaitPacket(linkId, kAnswerWaitMs);
  if (answer == nullptr) return false;
  const bool named = answer->address == kAddress && answer->dataSize == 7 &&
                     answer->data[0] == kSerialQuery[0] &&
                     ((uint32_t{answer->data[3]} << 24) | (uint32_t{answer->data[4]} << 16) |
                      (uint32_t{answer->data[5]} << 8) | answer->data[6]) == kSerial;
  aPacket_Destroy(&answer);
  return named;
}

class LinkServerTest : public testing::TestWithParam<Transport> {};

TEST_P(LinkServerTest, TheClientLinkHoldsTheDeviceLinkAndDirectCreatesAreRefused) {
  auto device = MakeDevice(GetParam());
  ASSERT_TRUE(device->ready()) << device->error();
  uint32_t deviceId = device->create();
  ASSERT_NE(deviceId, 0u);

  uint16_t port = 0;
  uint32_t networkInterface = 0;
  LinkGuard client;
  client.id = aLink_CreateServer(deviceId, &port, &networkInterface, kLocalOnly);
  ASSERT_NE(client.id, 0u);
  EXPECT_NE(port, 0);
  EXPECT_EQ(networkInterface, kLoopback) << "a local-only broker listens on 127.0.0.1";

  aLinkEntryRef shared = Entry(deviceId);
  aLinkEntryRef clientEntry = Entry(client.id);
  ASSERT_TRUE(shared);
  ASSERT_TRUE(clientEntry);
  EXPECT_NE(shared->broker, nullptr);
  EXPECT_EQ(shared->useCount, 1) << "the client link holds the caller's use";
  EXPECT_EQ(clientEntry->type, aLINKENTRY_CLIENT);
  EXPECT_EQ(clientEntry->parentId, deviceId);
  EXPECT_EQ(clientEntry->useCount, 1);
  EXPECT_TRUE(AnswersSerial(client.id)) << "requests reach the module through the broker";

  // Every direct create of the shared device is refused and changes nothing.
  EXPECT_EQ(device->create(), 0u);
  EXPECT_EQ(shared->useCount, 1);
  EXPECT_TRUE(AnswersSerial(client.id));

  // The client link's last use ends the device link and its broker.
  shared.reset();
  clientEntry.reset();
  ASSERT_EQ(aLink_Destroy(&client.id), aErrNone);
  EXPECT_FALSE(Entry(deviceId));
  EXPECT_FALSE(sLookupEntryByIdentifier(kSerial, device->type()));

  // Without the broker a direct create makes a link of its own again.
  LinkGuard direct;
  direct.id = device->create();
  ASSERT_NE(direct.id, 0u);
  EXPECT_NE(direct.id, deviceId);
  EXPECT_TRUE(AnswersSerial(direct.id));
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkServerTest,
                         testing::Values(Transport::SimUsb, Transport::Tcp, Transport::CobsPty),
                         [](const testing::TestParamInfo<Transport>& param) {
                           return std::string(Name(param.param));
                         });

TEST(LinkServer, ARequestForADeviceThatCannotBeSharedMakesNoBroker) {
  UsbDevice device;
  LinkGuard deviceLink;
  deviceLink.id = device.create();
  ASSERT_NE(deviceLink.id, 0u);
  LinkGuard second;  // another user of the same device link
  LinkGuard client;  // a broker-client link (no device link)
  client.id = aLink_CreateClient(kLoopback, ClosedLoopbackPort(), 0);
  ASSERT_NE(client.id, 0u);

  uint16_t port = 0;
  uint32_t networkInterface = 0;
  struct Case {
    const char* what;
    uint32_t linkId;
    uint16_t* port;
    uint32_t* networkInterface;
    bool secondUse;
    bool foreignFilter;  // the device link's owner filters its packets already
  };
  const Case cases[] = {
      {"no port pointer", deviceLink.id, nullptr, &networkInterface, false, false},
      {"no interface pointer", deviceLink.id, &port, nullptr, false, false},
      {"link ID 0", 0, &port, &networkInterface, false, false},
      {"a link ID the table does not hold", deviceLink.id + 1000, &port, &networkInterface, false,
       false},
      {"a broker-client link", client.id, &port, &networkInterface, false, false},
      {"a device link whose packets another filter takes", deviceLink.id, &port, &networkInterface,
       false, true},
      {"a device link with a second use", deviceLink.id, &port, &networkInterface, true, false},
  };
  int owner = 0;  // the foreign filter's reference
  const aUserPacketFilter foreign = [](const aPacket*, void*) -> uint8_t { return 0; };
  for (const Case& c : cases) {
    if (c.secondUse) second.id = device.create();
    if (c.foreignFilter) {
      ASSERT_EQ(aLink_InstallUserPacketFilter(deviceLink.id, foreign, &owner), aErrNone);
    }
    port = 7;
    networkInterface = kLoopback;
    EXPECT_EQ(aLink_CreateServer(c.linkId, c.port, c.networkInterface, kLocalOnly), 0u) << c.what;
    EXPECT_EQ(port, 7) << c.what;
    EXPECT_EQ(networkInterface, kLoopback) << c.what;
    aLinkEntryRef entry = Entry(deviceLink.id);
    ASSERT_TRUE(entry) << c.what;
    EXPECT_EQ(entry->broker, nullptr) << c.what;
    EXPECT_EQ(entry->useCount, c.secondUse ? 2 : 1) << c.what;
    if (c.foreignFilter) {
      // Still the owner's, and only the owner takes it away.
      EXPECT_EQ(aLink_SwapUserPacketFilter(deviceLink.id, foreign, &owner, nullptr, nullptr),
                aErrNone)
          << c.what;
    }
  }
  // The second user's use is the only other one: a direct create still adds a use.
  EXPECT_EQ(device.create(), deviceLink.id);
  uint32_t extra = deviceLink.id;
  aLink_Destroy(&extra);

  // A device already shared cannot get a second broker.
  aLink_Destroy(&second.id);
  LinkGuard shared;
  shared.id = aLink_CreateServer(deviceLink.id, &port, &networkInterface, kLocalOnly);
  ASSERT_NE(shared.id, 0u);
  const uint32_t deviceId = deviceLink.id;
  deviceLink.id = 0;  // its use went to the client link
  uint16_t otherPort = 0;
  uint32_t otherInterface = 0;
  EXPECT_EQ(aLink_CreateServer(deviceId, &otherPort, &otherInterface, kLocalOnly), 0u);
  EXPECT_TRUE(AnswersSerial(shared.id)) << "the first broker still serves";
}

TEST(LinkServer, ABrokerThatCannotLearnTheModulesDetailsIsTakenBackWhole) {
  // The module takes the link but never answers.
  ProcessDevice device(Transport::Tcp, {"--silent"});
  ASSERT_TRUE(device.ready()) << device.error();
  LinkGuard deviceLink;
  deviceLink.id = device.create();
  ASSERT_NE(deviceLink.id, 0u);

  uint16_t port = 7;
  uint32_t networkInterface = kLoopback;
  EXPECT_EQ(aLink_CreateServer(deviceLink.id, &port, &networkInterface, kLocalOnly), 0u);
  EXPECT_EQ(port, 7);
  // The caller keeps its use of a link that is not shared, and no client link is left.
  aLinkEntryRef entry = Entry(deviceLink.id);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->broker, nullptr);
  EXPECT_EQ(entry->useCount, 1);
  EXPECT_EQ(aLink_GetStatus(deviceLink.id), aLINK_STATUS_RUNNING);
  EXPECT_FALSE(sLookupEntryByIdentifier(kLoopback, aLINKENTRY_CLIENT));
  EXPECT_EQ(device.create(), deviceLink.id) << "a device without a broker is not refused";
  uint32_t extra = deviceLink.id;
  aLink_Destroy(&extra);
}

TEST(LinkServer, AResetBrokerClientLinkReachesTheModuleAgain) {
  UsbDevice device;
  uint32_t deviceId = device.create();
  ASSERT_NE(deviceId, 0u);
  uint16_t port = 0;
  uint32_t networkInterface = 0;
  LinkGuard client;
  client.id = aLink_CreateServer(deviceId, &port, &networkInterface, kLocalOnly);
  ASSERT_NE(client.id, 0u);
  ASSERT_TRUE(AnswersSerial(client.id));

  ASSERT_EQ(aLink_Reset(client.id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(client.id), aLINK_STATUS_RUNNING);
  aLinkEntryRef entry = Entry(client.id);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->useCount, 1);
  EXPECT_EQ(entry->parentId, deviceId);
  EXPECT_TRUE(AnswersSerial(client.id));
}

}  // namespace
