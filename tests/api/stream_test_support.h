// Shared pieces of the stream tests: a streaming stand-in module reached the same way over
// both transports (the kv_sim_module program over TCP loopback, or the in-process module on
// the simulated USB bus; built on linktest::StandInBase), stream packets written out by hand,
// and a log of the callbacks a Link ran, with a sentinel stream whose callback shows that the
// worker got through every job queued before it (callbacks run in the order the reader
// queued them).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
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
#include "sim_data_options.h"
#include "sim_module_process.h"
#include "sim_module_setup.h"
#include "sim_usb_module.h"
#include "standin_test_support.h"

namespace streamtest {

using kvsim::Bytes;
using linktest::HexText;
using linktest::kMarkerCommand;
using linktest::kTransports;
using linktest::Transport;
using linktest::TransportName;
using Zentrova::Kolvantis::Link;

constexpr uint8_t kAny = 0xFF;
constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kSystem = 3;  // the system entity's command, streamed by the stand-in
constexpr uint8_t kSentinelCommand = 0x30;

// --- stream packets by hand ----------------------------------------------------------------------

// The data bytes of a sample: [command][option][0x40|index][kind](subindex)[timestamp, 8]
// [value, width of the kind][0], big-endian.
inline Bytes SampleData(uint8_t command, uint8_t option, uint8_t index, uint8_t kind,
                        uint32_t value, uint64_t timestamp = 0, uint8_t subindex = 0) {
  Bytes data{command, option, static_cast<uint8_t>(0x40 | index), kind};
  if (kind >= 5) data.push_back(subindex);
  for (int shift = 56; shift >= 0; shift -= 8)
    data.push_back(static_cast<uint8_t>(timestamp >> shift));
  const int width = (kind == 1 || kind == 5) ? 1 : (kind == 2 || kind == 6) ? 2 : 4;
  for (int byte = width - 1; byte >= 0; --byte)
    data.push_back(static_cast<uint8_t>(value >> (8 * byte)));
  data.push_back(0);
  return data;
}

inline Bytes Wire(uint8_t address, const Bytes& data) {
  Bytes wire(data.size() + 2);
  wire[0] = address;
  wire[1] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), wire.begin() + 2);
  return wire;
}

// The enable and disable requests a registration sends, as the module gets them.
inline Bytes SwitchRequest(bool enable, uint8_t module, uint8_t command, uint8_t option,
                           uint8_t index) {
  return {kStreamCommand, static_cast<uint8_t>(enable ? 0x81 : 0x82), 0x20, module, command, option,
          index};
}

// --- the stand-in --------------------------------------------------------------------------------

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

class StreamStandIn : public linktest::StandInBase {
 public:
  using Spec = StandInSpec;

  StreamStandIn(Transport transport, const StandInSpec& spec)
      : StandInBase(transport, spec.serial, spec.address) {
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
      if (!bytes)
        refused = "not hex";
      else
        usb_->module.withCore([&](kvsim::ModuleCore& core) { core.sendRaw(*bytes); });
    } else {
      std::vector<std::string> lines;
      auto answer = usb_->module.withParts([&](kvsim::ModuleParts& parts) {
        return kvsim::dataControl(parts, verb, argument, &lines);
      });
      if (!answer)
        refused = "unknown command";
      else
        refused = *answer;
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

 private:
  void startProgram(const StandInSpec& spec) {
    std::vector<std::string> options;
    if (spec.uei) options.push_back("--uei");
    for (const std::string& behind : spec.behind) {
      options.push_back("--behind");
      options.push_back(behind);
    }
    for (const auto& option : spec.options) {
      options.push_back(option.first);
      if (!option.second.empty()) options.push_back(option.second);
    }
    startProgramWith(options);
  }

  void startInProcess(const StandInSpec& spec) {
    kvsim::ModuleSetup setup;
    setup.uei = spec.uei;
    parseEach(spec.behind, kvsim::parseBehind, &setup.behind);
    std::string why;
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
    startInProcessWith(setup);
  }
};

// --- callbacks -----------------------------------------------------------------------------------

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
      calls_.push_back(
          {tag, packet->address, Bytes(packet->data, packet->data + packet->dataSize), reference});
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
    standIn_.inject(link_, {Wire(standIn_.address(), SampleData(kSentinelCommand, 0, 0, 1,
                                                                static_cast<uint32_t>(sent_)))});
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
