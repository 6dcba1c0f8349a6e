// A stand-in module for Link tests that run the same way over both transports: the
// kv_sim_module program over TCP loopback, or the in-process module on the simulated USB bus.
// The module is described once, in the text forms of the program's options, and faults are
// armed, contents read and packets injected through one interface. StandInBase holds what
// every such stand-in shares (the stream tests build theirs on it too), StandInFixture the
// fixture side of a test.
//
//   class SlotTest : public ::testing::TestWithParam<linktest::Transport>,
//                    protected linktest::StandInUser {};
//   TEST_P(SlotTest, ...) {
//     ASSERT_NO_FATAL_FAILURE(start(GetParam(), spec));
//     auto link = connected();
//   }
//   INSTANTIATE_TEST_SUITE_P(Transports, SlotTest, linktest::kTransports, linktest::TransportName);
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "Link.h"
#include "aLinkTable.h"
#include "api_test_support.h"
#include "kvusb.h"
#include "sim_module_process.h"
#include "sim_module_setup.h"
#include "sim_usb_bus.h"
#include "sim_usb_module.h"
#include "support.h"

namespace linktest {

using kvsim::Bytes;
using Zentrova::Kolvantis::Link;

// First data byte of the marker packets StandInBase::inject sends after the injected ones.
constexpr uint8_t kMarkerCommand = 0x7E;

enum class Transport { Tcp, Usb };

inline const auto kTransports = ::testing::Values(Transport::Tcp, Transport::Usb);

inline std::string TransportText(Transport transport) {
  return transport == Transport::Tcp ? "TcpProgram" : "SimulatedUsb";
}

inline void PrintTo(Transport transport, std::ostream* out) { *out << TransportText(transport); }

inline std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
  return TransportText(info.param);
}

inline std::string HexSerial(uint32_t serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(serial));
  return text;
}

inline std::string HexText(const Bytes& bytes) {
  std::string text;
  char byte[3];
  for (uint8_t b : bytes) {
    std::snprintf(byte, sizeof byte, "%02X", static_cast<unsigned>(b));
    text += byte;
  }
  return text;
}

// The data bytes of the packets in records that went in the direction, to the address (or
// from it, for packets sent) and start with command, in order.
inline std::vector<Bytes> PacketsOf(const std::vector<kvsim::Record>& records,
                                    kvsim::Direction direction, uint8_t address, uint8_t command) {
  std::vector<Bytes> found;
  for (const kvsim::Record& record : records) {
    if (record.direction != direction || record.bytes.size() < 3) continue;
    if (record.bytes[0] != address || record.bytes[2] != command) continue;
    found.emplace_back(record.bytes.begin() + 2, record.bytes.end());
  }
  return found;
}

// The module over either transport: the program started with the given options, or the
// in-process module set up and installed as the USB driver's backend while it lives. A
// derived stand-in builds the options or the setup and adds its own commands.
class StandInBase {
 public:
  StandInBase(const StandInBase&) = delete;
  StandInBase& operator=(const StandInBase&) = delete;

  // Empty while the module runs, else why it does not.
  const std::string& error() const { return error_; }
  uint8_t address() const { return address_; }

  // How a Link reaches the module.
  linkSpec linkSpecifier() const {
    linkSpec spec{};
    spec.serialNumber = serial_;
    if (transport_ == Transport::Tcp) {
      spec.type = 2;
      spec.address = htonl(INADDR_LOOPBACK);
      spec.port = static_cast<uint32_t>(process_->port());
    } else {
      spec.type = 1;
    }
    return spec;
  }

  // The core link to this module, for the core's own view of it (user filter, input queue,
  // packet log); 0 when there is none.
  uint32_t coreLinkId() const {
    aLinkEntryRef entry = sLookupEntryByIdentifier(
        serial_, transport_ == Transport::Tcp ? aLINKENTRY_TCPIP : aLINKENTRY_USB);
    return entry ? entry->linkId : 0;
  }

  // Every packet the module took in and sent so far.
  std::vector<kvsim::Record> records() {
    if (process_) return process_->dump();
    return usb_->module.withCore([](kvsim::ModuleCore& core) { return core.records(); });
  }
  // Data bytes of the packets for address that start with command, as the module got them.
  std::vector<Bytes> received(uint8_t address, uint8_t command) {
    return PacketsOf(records(), kvsim::Direction::In, address, command);
  }

  // The module sends these packets (wire bytes) on its own; returns once the link has queued
  // them all (a marker packet sent after them has come through), so the reader has handled
  // them.
  void inject(Link& link, const std::vector<Bytes>& packets) {
    ++markers_;
    std::vector<Bytes> all = packets;
    all.push_back({address_, 2, kMarkerCommand, markers_});
    for (const Bytes& wire : all) {
      if (process_) {
        ASSERT_TRUE(process_->command("SEND " + HexText(wire))) << process_->error();
      } else {
        usb_->module.withCore([&](kvsim::ModuleCore& core) { core.sendRaw(wire); });
      }
    }
    const uint8_t pattern[2] = {kMarkerCommand, markers_};
    uint8_t length = sizeof pattern;
    uint8_t data[aPACKETMAXDATA];
    ASSERT_EQ(link.receivePacketFrom(address_, pattern, &length, data), aErrNone);
  }

 protected:
  StandInBase(Transport transport, uint32_t serial, uint8_t address)
      : transport_(transport), serial_(serial), address_(address) {}
  ~StandInBase() {
    if (usb_) {
      kvusb_SetBackend(nullptr);
      kvusb_SetNodePrefix(nullptr);
    }
  }

  struct InProcess {
    explicit InProcess(const kvsim::ModuleConfig& config) : module(config) {}
    TempDir nodes;
    kvsim::SimUsbModule module;
    kvsim::UsbBus bus;
  };

  // Starts the program on a free TCP port with the module's serial number and address, and
  // the options after them.
  void startProgramWith(const std::vector<std::string>& options) {
    std::vector<std::string> arguments{
        "--tcp", "0", "--serial", HexSerial(serial_), "--address", std::to_string(address_)};
    arguments.insert(arguments.end(), options.begin(), options.end());
    process_ = std::make_unique<kvsim::SimModuleProcess>(arguments);
    if (!process_->ready()) error_ = "program: " + process_->error();
  }

  // Each text parsed into *into; a text that does not parse leaves its reason in error().
  template <typename Parse, typename Value>
  void parseEach(const std::vector<std::string>& texts, Parse parse, std::vector<Value>* into) {
    std::string why;
    for (const std::string& text : texts) {
      auto value = parse(text, &why);
      if (!value)
        error_ = why;
      else
        into->push_back(*value);
    }
  }

  // Makes the in-process module and, unless a text of its setup was refused, sets it up and
  // puts it on the bus.
  void startInProcessWith(const kvsim::ModuleSetup& setup) {
    usb_ = std::make_unique<InProcess>(apitest::UsbConfig(address_, serial_));
    if (!error_.empty()) return;
    const std::string refused = usb_->module.setUp(setup);
    if (!refused.empty()) {
      error_ = refused;
      return;
    }
    kvusb_SetNodePrefix(usb_->nodes.file("kolvantis.").c_str());
    usb_->module.attach(usb_->bus.addDevice(usb_->module.deviceSpec(), usb_->module));
    usb_->bus.setIdleInWaitMs(apitest::kSimUsbIdleInMs);
    kvusb_SetBackend(&usb_->bus);
  }

  Transport transport_;
  uint32_t serial_;
  uint8_t address_;
  std::unique_ptr<kvsim::SimModuleProcess> process_;
  std::unique_ptr<InProcess> usb_;
  std::string error_;
  uint8_t markers_ = 0;
};

// What the stand-in carries, in the text forms of the program's options.
struct StandInSpec {
  uint8_t address = apitest::kAddress;
  uint32_t serial = apitest::kSerial;
  std::vector<std::string> slots;          // STORE:SLOT:CAPACITY[:HEX]
  std::vector<std::string> slotFaults;     // NAME:STEP:COUNT[:PARAM]
  bool factoryData = false;                // answer factory data with empty kinds
  std::vector<std::string> factory;        // KIND:HEX
  std::vector<std::string> factoryFaults;  // NAME:PACKET:COUNT[:CODE]
  std::vector<std::string> behind;         // ADDR:SERIAL[:MODEL] (the module is a router)
};

// The stand-in with store slots and factory data.
class StandIn : public StandInBase {
 public:
  using Spec = StandInSpec;

  StandIn(Transport transport, const StandInSpec& spec)
      : StandInBase(transport, spec.serial, spec.address) {
    if (transport == Transport::Tcp) {
      startProgram(spec);
    } else {
      startInProcess(spec);
    }
  }

  // Arms a fault knob of the slots or of the factory data (the option texts).
  bool slotFault(const std::string& text) {
    return change("SLOTFAULT", text, kvsim::parseSlotFault,
                  [&](kvsim::ModuleParts& parts, const kvsim::SlotFaultSpec& fault) {
                    if (!parts.slots) return fail("no store slots");
                    parts.slots->setFault(fault);
                    return true;
                  });
  }
  bool factoryFault(const std::string& text) {
    return change("FACTORYFAULT", text, kvsim::parseFactoryFault,
                  [&](kvsim::ModuleParts& parts, const kvsim::FactoryFaultSpec& fault) {
                    if (!parts.factory) return fail("no factory data");
                    parts.factory->setFault(fault);
                    return true;
                  });
  }
  // Makes or replaces a slot (STORE:SLOT:CAPACITY[:HEX]).
  bool setSlot(const std::string& text) {
    return change("SLOT", text, kvsim::parseSlotSpec,
                  [&](kvsim::ModuleParts& parts, const kvsim::SlotSpec& slot) {
                    if (!parts.slots) return fail("no store slots");
                    parts.slots->setSlot(slot);
                    return true;
                  });
  }

  // The bytes the module holds in a slot or for a factory-data kind; nullopt when it cannot
  // say.
  std::optional<Bytes> slotContent(uint8_t store, uint8_t slot) {
    if (process_) {
      return lastHexLine("SLOTGET " + std::to_string(store) + ":" + std::to_string(slot), "SLOT");
    }
    return usb_->module.withParts([&](kvsim::ModuleParts& parts) -> std::optional<Bytes> {
      if (!parts.slots || parts.slots->content(store, slot) == nullptr) return std::nullopt;
      return *parts.slots->content(store, slot);
    });
  }
  std::optional<Bytes> factoryKind(uint8_t kind) {
    if (process_) return lastHexLine("FACTORYGET " + std::to_string(kind), "FACTORY");
    return usb_->module.withParts([&](kvsim::ModuleParts& parts) -> std::optional<Bytes> {
      if (!parts.factory) return std::nullopt;
      return parts.factory->kind(kind);
    });
  }

  // Waits until the module has sent a packet with exactly these wire bytes.
  bool awaitSent(const Bytes& wire) {
    return apitest::Eventually(
        [&] { return kvsim::countRecords(records(), kvsim::Direction::Out, wire) > 0; });
  }

  // The module sends n packets [A][3][0xF0][seq high][seq low] at once.
  bool flood(unsigned n) {
    if (process_) return process_->command("FLOOD " + std::to_string(n)) || fail(process_->error());
    usb_->module.withCore([&](kvsim::ModuleCore& core) { core.flood(n); });
    return true;
  }

 private:
  void startProgram(const StandInSpec& spec) {
    std::vector<std::string> options;
    const auto add = [&](const char* option, const std::vector<std::string>& values) {
      for (const std::string& value : values) {
        options.push_back(option);
        options.push_back(value);
      }
    };
    add("--slot", spec.slots);
    add("--slot-fault", spec.slotFaults);
    add("--factory", spec.factory);
    add("--factory-fault", spec.factoryFaults);
    add("--behind", spec.behind);
    if (spec.factoryData) options.push_back("--factory-data");
    startProgramWith(options);
  }

  void startInProcess(const StandInSpec& spec) {
    kvsim::ModuleSetup setup;
    parseEach(spec.slots, kvsim::parseSlotSpec, &setup.slots);
    parseEach(spec.slotFaults, kvsim::parseSlotFault, &setup.slotFaults);
    parseEach(spec.factory, kvsim::parseFactoryKind, &setup.factory);
    parseEach(spec.factoryFaults, kvsim::parseFactoryFault, &setup.factoryFaults);
    parseEach(spec.behind, kvsim::parseBehind, &setup.behind);
    setup.factoryData = spec.factoryData;
    startInProcessWith(setup);
  }

  // One change of the module: the program's command "<verb> <text>", or in process the text
  // parsed and applied to the module's parts.
  template <typename Parse, typename Apply>
  bool change(const std::string& verb, const std::string& text, Parse parse, Apply apply) {
    if (process_) return process_->command(verb + " " + text) || fail(process_->error());
    std::string why;
    auto value = parse(text, &why);
    if (!value) return fail(why);
    return usb_->module.withParts([&](kvsim::ModuleParts& parts) { return apply(parts, *value); });
  }

  // The bytes of the program's "<tag> <hex>" answer line to a command.
  std::optional<Bytes> lastHexLine(const std::string& line, const std::string& tag) {
    std::vector<std::string> output;
    if (!process_->command(line, &output)) return std::nullopt;
    for (const std::string& text : output) {
      if (text == tag) return Bytes{};
      if (text.rfind(tag + " ", 0) == 0) return kvsim::parseHex(text.substr(tag.size() + 1));
    }
    return std::nullopt;
  }

  bool fail(const std::string& why) {
    ADD_FAILURE() << "stand-in: " << why;
    return false;
  }
};

// A test's stand-in and the Links it connects to it. Links a test keeps locally end before
// the stand-in, which ends with the fixture.
template <typename StandInType>
class StandInFixture {
 protected:
  void start(Transport transport, const typename StandInType::Spec& spec) {
    standIn_ = std::make_unique<StandInType>(transport, spec);
    ASSERT_TRUE(standIn_->error().empty()) << standIn_->error();
  }

  StandInType& standIn() { return *standIn_; }

  // A Link to the module without sharing, connected.
  std::unique_ptr<Link> connected(const char* name = "Link") {
    auto link = std::make_unique<Link>(standIn_->linkSpecifier(), name);
    EXPECT_EQ(link->setConfig(apitest::NoSharing()), aErrNone);
    EXPECT_EQ(link->connect(), aErrNone);
    return link;
  }

  // A Link over the core link of another (for a module behind a router, or a second Link on
  // the same core link).
  std::unique_ptr<Link> routedThrough(Link& router, const char* name = "Routed") {
    auto link = std::make_unique<Link>(standIn_->linkSpecifier(), name);
    EXPECT_EQ(link->setConfig(apitest::NoSharing()), aErrNone);
    EXPECT_EQ(link->connectThroughLinkModule(router), aErrNone);
    return link;
  }

  std::unique_ptr<StandInType> standIn_;
};

using StandInUser = StandInFixture<StandIn>;

// --- pieces of the slot and factory-data tests -----------------------------------------------

// The stand-in as a router at kRouter with one module behind it at kBehind.
constexpr uint8_t kRouter = 4;
constexpr uint8_t kBehind = 6;

inline StandInSpec RouterSpec(StandInSpec spec) {
  spec.address = kRouter;
  spec.behind = {std::to_string(kBehind) + ":2181F0EE:20"};
  return spec;
}

// Byte 1 of each request (0 where there is none): a slot request's step, a factory-data
// request's option.
inline std::vector<uint8_t> SecondBytes(const std::vector<Bytes>& requests) {
  std::vector<uint8_t> bytes;
  for (const Bytes& request : requests) bytes.push_back(request.size() > 1 ? request[1] : 0);
  return bytes;
}

// A call refused before anything is sent, on the connected Link or on one never connected.
struct RefusedCall {
  const char* what;
  std::function<aErr(Link&)> call;
  bool onIdle;
  aErr expected;
};

// Checks each call's result, then that the module got no packet with command.
inline void ExpectRefusedBeforeSending(const std::vector<RefusedCall>& calls, Link& link,
                                       Link& idle, StandIn& standIn, uint8_t command) {
  for (const RefusedCall& c : calls) {
    EXPECT_EQ(c.call(c.onIdle ? idle : link), c.expected) << c.what;
  }
  for (const kvsim::Record& record : standIn.records()) {
    if (record.direction == kvsim::Direction::In && record.bytes.size() > 2) {
      EXPECT_NE(record.bytes[2], command) << "sent: " << HexText(record.bytes);
    }
  }
}

// A test of one fault case (a struct with a name and the fault knob's text, fault) on one
// transport: the stand-in of Module() with the case's fault as the only one of its Faults.
template <typename Case, StandInSpec (*Module)(), std::vector<std::string> StandInSpec::*Faults>
class FaultCaseTest : public ::testing::TestWithParam<std::tuple<Transport, Case>>,
                      protected StandInUser {
 protected:
  void SetUp() override {
    StandInSpec spec = Module();
    spec.*Faults = {faultCase().fault};
    ASSERT_NO_FATAL_FAILURE(this->start(std::get<0>(this->GetParam()), spec));
  }
  const Case& faultCase() const { return std::get<1>(this->GetParam()); }
};

// Every case on every transport, and the test names made of both.
template <typename Case, size_t N>
auto FaultCasesOnTransports(const Case (&cases)[N]) {
  return ::testing::Combine(kTransports, ::testing::ValuesIn(cases));
}

template <typename Case>
std::string FaultCaseName(const ::testing::TestParamInfo<std::tuple<Transport, Case>>& info) {
  return std::string(std::get<1>(info.param).name) + "_" + TransportText(std::get<0>(info.param));
}

}  // namespace linktest
