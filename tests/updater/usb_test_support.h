// Shared by the discovery and update tests: the simulated USB bus installed as the USB
// driver's backend with stand-in modules on it, and the display that records.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "kvusb.h"
#include "display_test_support.h"
#include "sim_module_core.h"
#include "sim_module_setup.h"
#include "sim_usb_bus.h"
#include "sim_usb_module.h"
#include "support.h"

namespace usb_test {

constexpr unsigned kIdleInWaitMs = 20;  // ms an IN transfer waits when the module has nothing

using display_test::RecordingDisplay;

// The simulated bus as the USB driver's backend, with the modules a test adds; every kernel
// node path points into an empty directory, so no real device is reached.
class SimulatedUsbBus {
 public:
  SimulatedUsbBus() {
    kvusb_SetNodePrefix(nodes_.file("kolvantis.").c_str());
    bus_.setIdleInWaitMs(kIdleInWaitMs);
    kvusb_SetBackend(&bus_);
  }
  ~SimulatedUsbBus() {
    kvusb_SetBackend(nullptr);
    kvusb_SetNodePrefix(nullptr);
  }
  SimulatedUsbBus(const SimulatedUsbBus&) = delete;
  SimulatedUsbBus& operator=(const SimulatedUsbBus&) = delete;

  // A module set up as told and plugged in.
  kvsim::SimUsbModule& plugIn(const kvsim::ModuleConfig& config, const kvsim::ModuleSetup& setup) {
    kvsim::SimUsbModule& module = modules_.emplace_back(config);
    EXPECT_EQ(module.setUp(setup), "");
    devices_.push_back(&bus_.addDevice(module.deviceSpec(), module));
    module.attach(*devices_.back());
    return module;
  }

  kvsim::SimDevice& device(size_t i) { return *devices_.at(i); }
  int openHandles() const { return bus_.openHandles(); }

 private:
  TempDir nodes_;
  std::deque<kvsim::SimUsbModule> modules_;  // outlive the bus, which calls them
  kvsim::UsbBus bus_;
  std::vector<kvsim::SimDevice*> devices_;
};

// The module's address data for a stand-in.
inline kvsim::ModuleConfig StandInConfig(uint32_t serial, uint8_t address, uint8_t model) {
  kvsim::ModuleConfig config;
  config.serial = serial;
  config.address = address;
  config.model = model;
  return config;
}

}  // namespace usb_test
