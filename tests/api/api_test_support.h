// Shared pieces of the class-interface tests: the in-process stand-in module on the simulated
// USB bus (installed as the USB driver's backend while the fixture lives), with the module's
// UEI values attached, scripted replies for one command, and views of what the module got.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "kvusb.h"
#include "sim_uei.h"
#include "sim_usb_bus.h"
#include "sim_usb_module.h"
#include "support.h"

namespace apitest {

using kvsim::Bytes;

constexpr uint32_t kSerial = 0x0000ABCD;
constexpr uint8_t kAddress = 0x02;
// Idle wait of a simulated IN transfer, in ms (instead of the driver's 1000 ms).
constexpr unsigned kSimUsbIdleInMs = 20;
// Longest wait for something the module or the link is about to do; reached only on failure.
constexpr auto kHangGuard = std::chrono::seconds(20);
constexpr int kPollMs = 2;  // ms between the tries of a poll

inline bool Eventually(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + kHangGuard;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return true;
}

inline Zentrova::Kolvantis::VelnetConfig NoSharing() {
  Zentrova::Kolvantis::VelnetConfig config;
  config.enabled = 0;
  config.fallback = 0;
  return config;
}

inline kvsim::ModuleConfig UsbConfig(uint8_t address = kAddress, uint32_t serial = kSerial) {
  kvsim::ModuleConfig config;
  config.address = address;
  config.serial = serial;
  return config;
}

// Replies of one command, one list per request in order; a request past the end (or an empty
// list) gets no reply.
struct Script {
  std::deque<std::vector<kvsim::Packet>> replies;
};

// The stand-in module on the simulated bus, with the system entity's UEI values.
class UsbModule {
 public:
  explicit UsbModule(const kvsim::ModuleConfig& config = UsbConfig()) : module_(config) {
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
  ~UsbModule() {
    kvusb_SetBackend(nullptr);
    kvusb_SetNodePrefix(nullptr);
  }
  UsbModule(const UsbModule&) = delete;
  UsbModule& operator=(const UsbModule&) = delete;

  uint8_t address() {
    return module_.withCore([](kvsim::ModuleCore& core) { return core.address(); });
  }
  uint8_t model() const { return static_cast<uint8_t>(module_.deviceSpec().productId & 0xFF); }
  kvsim::UsbBus& bus() { return bus_; }

  // f(ModuleCore&) and f(UeiStore&) under the module's lock.
  template <typename F>
  auto withCore(F&& f) {
    return module_.withCore(std::forward<F>(f));
  }
  template <typename F>
  auto withStore(F&& f) {
    return module_.withCore([&](kvsim::ModuleCore&) { return f(*store_); });
  }

  // Answers command from now on with the script (which the test may extend under withCore).
  std::shared_ptr<Script> script(uint8_t command) {
    auto script = std::make_shared<Script>();
    withCore([&](kvsim::ModuleCore& core) {
      core.setHandler(command, [script](const kvsim::Packet&) {
        if (script->replies.empty()) return std::vector<kvsim::Packet>{};
        std::vector<kvsim::Packet> replies = std::move(script->replies.front());
        script->replies.pop_front();
        return replies;
      });
    });
    return script;
  }

  // Data bytes of every packet with data the module received whose first data byte is command.
  std::vector<Bytes> received(uint8_t command) {
    return withCore([command](kvsim::ModuleCore& core) {
      std::vector<Bytes> found;
      for (const kvsim::Record& record : core.records()) {
        if (record.direction != kvsim::Direction::In || record.bytes.size() < 3) continue;
        if (record.bytes[2] != command) continue;
        found.emplace_back(record.bytes.begin() + 2, record.bytes.end());
      }
      return found;
    });
  }
  // How many module-address queries (zero-length packets to 0xAD) the module received.
  size_t addressQueries() {
    return withCore([](kvsim::ModuleCore& core) {
      size_t count = 0;
      for (const kvsim::Record& record : core.records()) {
        if (record.direction == kvsim::Direction::In && record.bytes == Bytes{0xAD, 0x00}) {
          ++count;
        }
      }
      return count;
    });
  }
  bool awaitReceived(uint8_t command, size_t count) {
    return Eventually([&] { return received(command).size() >= count; });
  }

  // The module sends these packets on its own; returns once the link has queued them all (a
  // marker packet sent after them has come through).
  void inject(Zentrova::Kolvantis::Link& link, const std::vector<kvsim::Packet>& packets) {
    static constexpr uint8_t kMarkerCommand = 0x7E;
    const uint8_t own = address();
    withCore([&](kvsim::ModuleCore& core) {
      for (const kvsim::Packet& packet : packets) core.sendPacket(packet);
      core.sendPacket({own, {kMarkerCommand, ++markers_}});
    });
    const uint8_t pattern[2] = {kMarkerCommand, markers_};
    uint8_t length = sizeof pattern;
    uint8_t data[28];
    ASSERT_EQ(link.receivePacketFrom(own, pattern, &length, data), aErrNone);
  }

  // A Module on this module's serial number over USB, without sharing, connected.
  std::unique_ptr<Zentrova::Kolvantis::Module> connect(uint8_t address = kAddress) {
    auto module = std::make_unique<Zentrova::Kolvantis::Module>(address, 0);
    EXPECT_EQ(module->setConfig(NoSharing()), aErrNone);
    EXPECT_EQ(module->connect(1, serial()), aErrNone);
    return module;
  }

  uint32_t serial() {
    return withCore([](kvsim::ModuleCore& core) { return core.config().serial; });
  }

 private:
  TempDir nodes_;
  kvsim::SimUsbModule module_;
  kvsim::UsbBus bus_;
  kvsim::SimDevice* device_ = nullptr;
  std::shared_ptr<kvsim::UeiStore> store_;
  uint8_t markers_ = 0;
};

}  // namespace apitest
