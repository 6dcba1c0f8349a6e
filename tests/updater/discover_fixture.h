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

namespace discover_test {

constexpr unsigned kIdleInWaitMs = 20; // ms an IN transfer waits when the module has nothing

// Legacy version words (below 2.15): major and a 4-bit minor in the top byte, 24-bit patch.
constexpr uint32_t Legacy(uint32_t major, uint32_t minor, uint32_t patch)
{
    return major << 28 | minor << 24 | patch;
}
// From 2.15 on: 0x2F, then one byte each.
constexpr uint32_t Current(uint32_t major, uint32_t minor, uint32_t patch)
{
    return 0x2F000000u | major << 16 | minor << 8 | patch;
}

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { infos.emplace_back(text); }
    void error_message(const char* text) override { errors.emplace_back(text); }

    std::vector<std::string> infos;
    std::vector<std::string> errors;
};

struct StandIn {
    uint32_t serial;
    uint8_t address;
    uint8_t model;
    uint32_t version = Current(2, 15, 3);
    uint32_t build = 0x1234;
    std::string name = "stand-in module";
    std::vector<kvsim::BehindSpec> behind = {};
};

// The simulated bus as the USB driver's backend, with the modules a test adds; every kernel
// node path points into an empty directory, so no real device is reached.
class SimulatedUsb {
public:
    SimulatedUsb()
    {
        kvusb_SetNodePrefix(nodes_.file("kolvantis.").c_str());
        bus_.setIdleInWaitMs(kIdleInWaitMs);
        kvusb_SetBackend(&bus_);
    }
    ~SimulatedUsb()
    {
        kvusb_SetBackend(nullptr);
        kvusb_SetNodePrefix(nullptr);
    }

    kvsim::SimUsbModule& add(const StandIn& standIn)
    {
        kvsim::ModuleConfig config;
        config.serial = standIn.serial;
        config.address = standIn.address;
        config.model = standIn.model;
        kvsim::ModuleSetup setup;
        setup.uei = true;
        setup.identity.version = standIn.version;
        setup.identity.build = standIn.build;
        setup.identity.name = standIn.name;
        setup.behind = standIn.behind;
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
    std::deque<kvsim::SimUsbModule> modules_; // outlive the bus, which calls them
    kvsim::UsbBus bus_;
    std::vector<kvsim::SimDevice*> devices_;
};

} // namespace discover_test
