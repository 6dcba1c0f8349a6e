// Shared pieces of the stream tests: a streaming stand-in module reached the same way over
// both transports (the kv_sim_module program over TCP loopback, or the in-process module on
// the simulated USB bus), stream packets written out by hand, and a log of the callbacks a
// Link ran, with a sentinel stream whose callback shows that the worker got through every job
// queued before it (callbacks run in the order the reader queued them).
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Link.h"
#include "aLink.h"
#include "aLinkTable.h"
#include "api_test_support.h"
#include "kvusb.h"
#include "sim_data_options.h"
#include "sim_module_process.h"
#include "sim_module_setup.h"
#include "sim_usb_bus.h"
#include "sim_usb_module.h"
#include "support.h"

namespace streamtest {

using kvsim::Bytes;
using Zentrova::Kolvantis::Link;

constexpr uint8_t kAny = 0xFF;
constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kSystem = 3;  // the system entity's command, streamed by the stand-in
constexpr uint8_t kSentinelCommand = 0x30;
constexpr uint8_t kMarkerCommand = 0x7E;

enum class Transport { Tcp, Usb };

inline const auto kTransports = ::testing::Values(Transport::Tcp, Transport::Usb);

inline std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
  return info.param == Transport::Tcp ? "TcpProgram" : "SimulatedUsb";
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

// --- stream packets by hand ----------------------------------------------------------------------

// The data bytes of a sample: [command][option][0x40|index][kind](subindex)[timestamp, 8]
// [value, width of the kind][0], big-endian.
inline Bytes SampleData(uint8_t command, uint8_t option, uint8_t index, uint8_t kind,
                        uint32_t value, uint64_t timestamp = 0, uint8_t subindex = 0) {
  Bytes data{command, option, static_cast<uint8_t>(0x40 | index), kind};
  if (kind >= 5) data.push_back(subindex);
  for (int shift = 56; shift >= 0; shift -= 8) data.push_back(static_cast<uint8_t>(timestamp >> shift));
  const int width = (kind == 1 || kind == 5) ? 1 : (kind == 2 || kind == 6) ? 2 : 4;
  for (int byte = width - 1; byte >= 0; --byte) data.push_back(static_cast<uint8_t>(value >> (8 * byte)));
  data.push_back(0);
  return data;
}

inline Bytes Wire(uint8_t address, const Bytes& data) {
  Bytes wire{address, static_cast<uint8_t>(data.size())};
  wire.insert(wire.end(), data.begin(), data.end());
  return wire;
}

// The enable and disable requests a registration sends, as the module gets them.
inline Bytes SwitchRequest(bool enable, uint8_t module, uint8_t command, uint8_t option,
                           uint8_t index) {
  return {kStreamCommand, static_cast<uint8_t>(enable ? 0x81 : 0x82), 0x20, module, command,
          option, index};
}

// --- the stand-in ----------------------------------------------------------------------------------

// What the stand-in carries, as the program's options (name and value; value empty for a
// flag), e.g. {"--stream", "3:8:0:3"}; timed samples are off unless "--stream-rate" says.
struct StandInSpec {
  uint8_t address = apitest::kAddress;
  uint32_t serial = apitest::kSerial;
  bool uei = false;
  std::vector<std::string> behind;  // ADDR:SERIAL[:MODEL]: the module is a router
  std::vector<std::pair<std::string, std::string>> options;
};

struct StreamStat {
  uint64_t samples = 0;
  uint64_t packets = 0;
  bool enabled = false;
};

class StreamStandIn {
 public:
  StreamStandIn(Transport transport, const StandInSpec& spec)
      : transport_(transport), serial_(spec.serial), address_(spec.address) {
    StandInSpec withRate = spec;
    bool rateGiven = false;
    for (const auto& option : spec.options) rateGiven |= option.first == "--stream-rate";
    if (!rateGiven) withRate.options.emplace_back("--stream-rate", "0");
    if (transport == Transport::Tcp) {
      startProgram(withRate);
    } else {
      startInProcess(withRate);
    }
  }
  ~StreamStandIn() {
    if (usb_) {
      kvusb_SetBackend(nullptr);
      kvusb_SetNodePrefix(nullptr);
    }
  }
  StreamStandIn(const StreamStandIn&) = delete;
  StreamStandIn& operator=(const StreamStandIn&) = delete;

  const std::string& error() const { return error_; }
  uint8_t address() const { return address_; }

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

  // The core link to this module, for the core's own view of it (user filter, input queue).
  uint32_t coreLinkId() const {
    aLinkEntryRef entry = sLookupEntryByIdentifier(
        serial_, transport_ == Transport::Tcp ? aLINKENTRY_TCPIP : aLINKENTRY_USB);
    return entry ? entry->linkId : 0;
  }

  // One control command of the program ("EMIT 5", "STREAMFAULT refuse:1:29", "SILENT on",
  // "SEND <hex>"), in process as well; lines printed before the answer go to *output.
  bool control(const std::string& line, std::vector<std::string>* output = nullptr) {
    if (process_) {
      if (process_->command(line, output)) return true;
      ADD_FAILURE() << "stand-in refused \"" << line << "\": " << process_->error();
      return false;
    }
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
    std::string refused;
    if (verb == "SILENT") {
      usb_->module.withCore([&](kvsim::ModuleCore& core) { core.setSilent(argument == "on"); });
    } else if (verb == "SEND") {
      auto bytes = kvsim::parseHex(argument);
      if (!bytes) refused = "not hex";
      else usb_->module.withCore([&](kvsim::ModuleCore& core) { core.sendRaw(*bytes); });
    } else {
      std::vector<std::string> lines;
      auto answer = usb_->module.withParts([&](kvsim::ModuleParts& parts) {
        return kvsim::dataControl(parts, verb, argument, &lines);
      });
      if (!answer) refused = "unknown command";
      else refused = *answer;
      if (output != nullptr) *output = lines;
    }
    if (refused.empty()) return true;
    ADD_FAILURE() << "stand-in refused \"" << line << "\": " << refused;
    return false;
  }

  // The streamer's counts (at: 0 this module's, else the module behind at that address).
  StreamStat stat(uint8_t at = 0) {
    std::vector<std::string> lines;
    StreamStat stat;
    if (!control(at == 0 ? "STREAMSTAT" : "STREAMSTAT @" + std::to_string(at), &lines)) return stat;
    for (const std::string& text : lines) {
      unsigned long long samples = 0, packets = 0;
      int enabled = 0;
      if (std::sscanf(text.c_str(), "STREAM samples=%llu packets=%llu enabled=%d", &samples,
                      &packets, &enabled) == 3) {
        stat.samples = samples;
        stat.packets = packets;
        stat.enabled = enabled != 0;
      }
    }
    return stat;
  }

  std::vector<kvsim::Record> records() {
    if (process_) return process_->dump();
    return usb_->module.withCore([](kvsim::ModuleCore& core) { return core.records(); });
  }
  // Data bytes of the packets to address that start with command, as the module got them.
  std::vector<Bytes> received(uint8_t address, uint8_t command) {
    std::vector<Bytes> found;
    for (const kvsim::Record& record : records()) {
      if (record.direction != kvsim::Direction::In || record.bytes.size() < 3) continue;
      if (record.bytes[0] != address || record.bytes[2] != command) continue;
      found.emplace_back(record.bytes.begin() + 2, record.bytes.end());
    }
    return found;
  }

  // The module sends these packets (wire bytes) on its own; returns once the link has queued
  // a marker sent after them, so the reader has handled them all.
  void inject(Link& link, const std::vector<Bytes>& wires) {
    ++markers_;
    std::vector<Bytes> all = wires;
    all.push_back({address_, 2, kMarkerCommand, markers_});
    for (const Bytes& wire : all) ASSERT_TRUE(control("SEND " + HexText(wire)));
    const uint8_t pattern[2] = {kMarkerCommand, markers_};
    uint8_t length = sizeof pattern;
    uint8_t data[aPACKETMAXDATA];
    ASSERT_EQ(link.receivePacketFrom(address_, pattern, &length, data), aErrNone);
  }

 private:
  struct InProcess {
    explicit InProcess(const kvsim::ModuleConfig& config) : module(config) {}
    TempDir nodes;
    kvsim::SimUsbModule module;
    kvsim::UsbBus bus;
  };

  void startProgram(const StandInSpec& spec) {
    std::vector<std::string> arguments{"--tcp", "0", "--serial", HexSerial(spec.serial),
                                       "--address", std::to_string(spec.address)};
    if (spec.uei) arguments.push_back("--uei");
    for (const std::string& behind : spec.behind) {
      arguments.push_back("--behind");
      arguments.push_back(behind);
    }
    for (const auto& option : spec.options) {
      arguments.push_back(option.first);
      if (!option.second.empty()) arguments.push_back(option.second);
    }
    process_ = std::make_unique<kvsim::SimModuleProcess>(arguments);
    if (!process_->ready()) error_ = "program: " + process_->error();
  }

  void startInProcess(const StandInSpec& spec) {
    usb_ = std::make_unique<InProcess>(apitest::UsbConfig(spec.address, spec.serial));
    kvsim::ModuleSetup setup;
    setup.uei = spec.uei;
    std::string why;
    for (const std::string& text : spec.behind) {
      auto behind = kvsim::parseBehind(text, &why);
      if (!behind) error_ = why;
      else setup.behind.push_back(*behind);
    }
    for (const auto& option : spec.options) {
      const std::string value = option.second;
      auto taken = kvsim::parseDataOption(
          option.first,
          [&](std::string* out) {
            *out = value;
            return !value.empty();
          },
          &setup, &why);
      if (taken != kvsim::OptionTaken::Yes) error_ = option.first + ": " + why;
    }
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

// --- callbacks ---------------------------------------------------------------------------------------

// The callbacks a Link ran, in order: which registration (its tag) and the packet's data.
class CallbackLog {
 public:
  struct Call {
    int tag;
    uint8_t address;
    Bytes data;
    void* reference;
  };

  // A callback that logs itself under tag.
  Link::streamCallback callback(int tag) {
    return [this, tag](const aPacket* packet, void* reference) -> uint8_t {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back({tag, packet->address,
                        Bytes(packet->data, packet->data + packet->dataSize), reference});
      changed_.notify_all();
      return 0;
    };
  }

  std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  size_t count(int tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const Call& call : calls_) n += call.tag == tag ? 1 : 0;
    return n;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
  }
  // Waits (bounded by the hang guard) until tag has run at least n times.
  bool await(int tag, size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, apitest::kHangGuard, [&] {
      size_t seen = 0;
      for (const Call& call : calls_) seen += call.tag == tag ? 1 : 0;
      return seen >= n;
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
};

constexpr int kSentinelTag = -1;

// A registration of a stream no source has (command 0x30); its samples, sent by the test
// after others, come back through the worker after every job queued before them.
class Sentinel {
 public:
  Sentinel(Link& link, StreamStandIn& standIn, CallbackLog& log)
      : link_(link), standIn_(standIn), log_(log) {
    EXPECT_EQ(link.registerStreamCallback(standIn.address(), kSentinelCommand, 0, 0, true,
                                          log.callback(kSentinelTag), nullptr),
              aErrNone);
  }

  // Sends one sentinel sample and waits until its callback ran.
  bool flush() {
    ++sent_;
    standIn_.inject(link_, {Wire(standIn_.address(),
                                 SampleData(kSentinelCommand, 0, 0, 1, static_cast<uint32_t>(sent_)))});
    return log_.await(kSentinelTag, sent_);
  }

 private:
  Link& link_;
  StreamStandIn& standIn_;
  CallbackLog& log_;
  size_t sent_ = 0;
};

// Stream packets waiting in the core link's input queue (none are taken out).
inline size_t QueuedStreamPackets(uint32_t linkId) {
  struct Counter {
    size_t n = 0;
  } counter;
  aLink_GetFirst(
      linkId,
      [](const aPacket* packet, const void* reference) -> uint8_t {
        if (Link::isStreamPacket(packet)) ++static_cast<Counter*>(const_cast<void*>(reference))->n;
        return 0;
      },
      &counter);
  return counter.n;
}

// True when no user filter is installed on the core link (the swap from none to none is
// taken only then).
inline bool NoUserFilter(uint32_t linkId) {
  return aLink_SwapUserPacketFilter(linkId, nullptr, nullptr, nullptr, nullptr) == aErrNone;
}

}  // namespace streamtest
