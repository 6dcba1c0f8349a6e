// A stand-in module for Link tests that run the same way over both transports: the
// kv_sim_module program over TCP loopback, or the in-process module on the simulated USB bus.
// The module is described once, in the text forms of the program's options, and faults are
// armed, contents read and packets injected through one interface.
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
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Link.h"
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

// First data byte of the marker packets StandIn::inject sends after the injected ones.
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

class StandIn {
 public:
  StandIn(Transport transport, const StandInSpec& spec)
      : transport_(transport), serial_(spec.serial), address_(spec.address) {
    if (transport == Transport::Tcp) {
      startProgram(spec);
    } else {
      startInProcess(spec);
    }
  }
  ~StandIn() {
    if (usb_) {
      kvusb_SetBackend(nullptr);
      kvusb_SetNodePrefix(nullptr);
    }
  }
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;

  // Empty while the module runs, else why it does not.
  const std::string& error() const { return error_; }

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

  // Arms a fault knob of the slots or of the factory data (the option texts).
  bool slotFault(const std::string& text) {
    if (process_) return process_->command("SLOTFAULT " + text) || fail(process_->error());
    std::string why;
    auto fault = kvsim::parseSlotFault(text, &why);
    if (!fault) return fail(why);
    return usb_->module.withParts([&](kvsim::ModuleParts& parts) {
      if (!parts.slots) return fail("no store slots");
      parts.slots->setFault(*fault);
      return true;
    });
  }
  bool factoryFault(const std::string& text) {
    if (process_) return process_->command("FACTORYFAULT " + text) || fail(process_->error());
    std::string why;
    auto fault = kvsim::parseFactoryFault(text, &why);
    if (!fault) return fail(why);
    return usb_->module.withParts([&](kvsim::ModuleParts& parts) {
      if (!parts.factory) return fail("no factory data");
      parts.factory->setFault(*fault);
      return true;
    });
  }
  // Makes or replaces a slot (STORE:SLOT:CAPACITY[:HEX]).
  bool setSlot(const std::string& text) {
    if (process_) return process_->command("SLOT " + text) || fail(process_->error());
    std::string why;
    auto slot = kvsim::parseSlotSpec(text, &why);
    if (!slot) return fail(why);
    return usb_->module.withParts([&](kvsim::ModuleParts& parts) {
      if (!parts.slots) return fail("no store slots");
      parts.slots->setSlot(*slot);
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

  // Every packet the module took in and sent so far.
  std::vector<kvsim::Record> records() {
    if (process_) return process_->dump();
    return usb_->module.withCore([](kvsim::ModuleCore& core) { return core.records(); });
  }
  // Data bytes of the packets for address that start with command, as the module got them.
  std::vector<Bytes> received(uint8_t address, uint8_t command) {
    return PacketsOf(records(), kvsim::Direction::In, address, command);
  }
  // Waits until the module has sent a packet with exactly these wire bytes.
  bool awaitSent(const Bytes& wire) {
    return apitest::Eventually(
        [&] { return kvsim::countRecords(records(), kvsim::Direction::Out, wire) > 0; });
  }

  // The module sends these packets (wire bytes) on its own; returns once the link has queued
  // them all (a marker packet sent after them has come through).
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

  // The module sends n packets [A][3][0xF0][seq high][seq low] at once.
  bool flood(unsigned n) {
    if (process_) return process_->command("FLOOD " + std::to_string(n)) || fail(process_->error());
    usb_->module.withCore([&](kvsim::ModuleCore& core) { core.flood(n); });
    return true;
  }

 private:
  struct InProcess {
    explicit InProcess(const kvsim::ModuleConfig& config) : module(config) {}
    TempDir nodes;
    kvsim::SimUsbModule module;
    kvsim::UsbBus bus;
  };

  void startProgram(const StandInSpec& spec) {
    std::vector<std::string> arguments{"--tcp",     "0",
                                       "--serial",  HexSerial(spec.serial),
                                       "--address", std::to_string(spec.address)};
    const auto add = [&](const char* option, const std::vector<std::string>& values) {
      for (const std::string& value : values) {
        arguments.push_back(option);
        arguments.push_back(value);
      }
    };
    add("--slot", spec.slots);
    add("--slot-fault", spec.slotFaults);
    add("--factory", spec.factory);
    add("--factory-fault", spec.factoryFaults);
    add("--behind", spec.behind);
    if (spec.factoryData) arguments.push_back("--factory-data");
    process_ = std::make_unique<kvsim::SimModuleProcess>(arguments);
    if (!process_->ready()) error_ = "program: " + process_->error();
  }

  void startInProcess(const StandInSpec& spec) {
    usb_ = std::make_unique<InProcess>(apitest::UsbConfig(spec.address, spec.serial));
    kvsim::ModuleSetup setup;
    std::string why;
    for (const std::string& text : spec.slots) {
      auto slot = kvsim::parseSlotSpec(text, &why);
      if (!slot)
        error_ = why;
      else
        setup.slots.push_back(*slot);
    }
    for (const std::string& text : spec.slotFaults) {
      auto fault = kvsim::parseSlotFault(text, &why);
      if (!fault)
        error_ = why;
      else
        setup.slotFaults.push_back(*fault);
    }
    for (const std::string& text : spec.factory) {
      auto kind = kvsim::parseFactoryKind(text, &why);
      if (!kind)
        error_ = why;
      else
        setup.factory.push_back(*kind);
    }
    for (const std::string& text : spec.factoryFaults) {
      auto fault = kvsim::parseFactoryFault(text, &why);
      if (!fault)
        error_ = why;
      else
        setup.factoryFaults.push_back(*fault);
    }
    for (const std::string& text : spec.behind) {
      auto behind = kvsim::parseBehind(text, &why);
      if (!behind)
        error_ = why;
      else
        setup.behind.push_back(*behind);
    }
    setup.factoryData = spec.factoryData;
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

  Transport transport_;
  uint32_t serial_;
  uint8_t address_;
  std::unique_ptr<kvsim::SimModuleProcess> process_;
  std::unique_ptr<InProcess> usb_;
  std::string error_;
  uint8_t markers_ = 0;
};

// A test's stand-in and the Links it connects to it. Links a test keeps locally end before
// the stand-in, which ends with the fixture.
class StandInUser {
 protected:
  void start(Transport transport, const StandInSpec& spec) {
    standIn_ = std::make_unique<StandIn>(transport, spec);
    ASSERT_TRUE(standIn_->error().empty()) << standIn_->error();
  }

  StandIn& standIn() { return *standIn_; }

  // A Link to the module without sharing, connected.
  std::unique_ptr<Link> connected(const char* name = "Link") {
    auto link = std::make_unique<Link>(standIn_->linkSpecifier(), name);
    EXPECT_EQ(link->setConfig(apitest::NoSharing()), aErrNone);
    EXPECT_EQ(link->connect(), aErrNone);
    return link;
  }

  // A Link over the router's core link (for a module behind the router).
  std::unique_ptr<Link> routedThrough(Link& router, const char* name = "Routed") {
    auto link = std::make_unique<Link>(standIn_->linkSpecifier(), name);
    EXPECT_EQ(link->setConfig(apitest::NoSharing()), aErrNone);
    EXPECT_EQ(link->connectThroughLinkModule(router), aErrNone);
    return link;
  }

  std::unique_ptr<StandIn> standIn_;
};

}  // namespace linktest
