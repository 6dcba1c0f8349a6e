// Shared by the discovery tests: stand-in modules on the simulated USB bus installed as the
// USB driver's backend, version words as modules pack them, and a display that records.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"
#include "kvusb.h"
#include "sim_module_core.h"
#include "sim_module_setup.h"
#include "sim_usb_bus.h"
#include "sim_usb_module.h"
#include "support.h"
#include "usb_test_support.h"

namespace discover_test {

using usb_test::RecordingDisplay;

// Legacy version words (below 2.15): major and a 4-bit minor in the top byte, 24-bit patch.
constexpr uint32_t Legacy(uint32_t major, uint32_t minor, uint32_t patch) {
  return major << 28 | minor << 24 | patch;
}
// From 2.15 on: 0x2F, then one byte each.
constexpr uint32_t Current(uint32_t major, uint32_t minor, uint32_t patch) {
  return 0x2F000000u | major << 16 | minor << 8 | patch;
}

struct StandIn {
  uint32_t serial;
  uint8_t address;
  uint8_t model;
  uint32_t version = Current(2, 15, 3);
  uint32_t build = 0x1234;
  std::string name = "stand-in module";
  std::vector<kvsim::BehindSpec> behind = {};
};

// The simulated bus with stand-ins that answer discovery.
class SimulatedUsb : public usb_test::SimulatedUsbBus {
 public:
  kvsim::SimUsbModule& add(const StandIn& standIn) {
    kvsim::ModuleSetup setup;
    setup.uei = true;
    setup.identity.version = standIn.version;
    setup.identity.build = standIn.build;
    setup.identity.name = standIn.name;
    setup.behind = standIn.behind;
    return plugIn(usb_test::StandInConfig(standIn.serial, standIn.address, standIn.model), setup);
  }
};

}  // namespace discover_test
