// The stand-in module behind the simulated USB bus: OUT transfers feed a ModuleCore, IN
// transfers take its output. Each IN transfer carries one segment at most (a coalesced batch,
// one packet, or one byte of a split packet), as the module's USB side sends them one by one.
//
// A test reaches the core through withCore() and what setUp() attached (UEI values, modules
// behind a router) through withParts(); both hold the module's lock: the bus calls the peer
// from the host's reader and writer threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "sim_module_core.h"
#include "sim_module_setup.h"
#include "sim_usb_bus.h"

namespace kvsim {

class SimUsbModule : public UsbPeer {
 public:
  explicit SimUsbModule(ModuleConfig config = {});

  // Attaches UEI values, fault knobs and modules behind; the reason when setup cannot be.
  std::string setUp(const ModuleSetup& setup);

  // The bus description of this module: its serial string is the serial number as "%08X",
  // the low byte of its product id the model.
  DeviceSpec deviceSpec() const;
  // The bus device this module answers on; needed for drops (dropAfter included).
  void attach(SimDevice& device) {
    std::lock_guard<std::mutex> guard(lock_);
    device_ = &device;
  }

  // UsbPeer
  void received(const uint8_t* data, size_t length) override;
  size_t supply(uint8_t* data, size_t capacity) override;

  // Runs f(ModuleCore&) under the module's lock and returns its result.
  template <typename F>
  auto withCore(F&& f) {
    std::lock_guard<std::mutex> guard(lock_);
    return std::forward<F>(f)(core_);
  }

  // Runs f(ModuleParts&) under the module's lock and returns its result.
  template <typename F>
  auto withParts(F&& f) {
    std::lock_guard<std::mutex> guard(lock_);
    return std::forward<F>(f)(parts_);
  }

  // Unplugs: the device leaves the bus and the module forgets the connection.
  void drop();
  // Plugs in again, as a new attachment.
  void comeBack();

 private:
  void dropLocked();

  mutable std::mutex lock_;
  ModuleCore core_;
  ModuleParts parts_;
  SimDevice* device_ = nullptr;
  std::deque<Bytes> outgoing_;  // segments not yet taken by an IN transfer
};

}  // namespace kvsim
