// The stand-in module behind the simulated USB bus: OUT transfers feed a ModuleCore, IN
// transfers take its output. Each IN transfer carries one segment at most (a coalesced batch,
// one packet, or one byte of a split packet), as the module's USB side sends them one by one.
//
// A test reaches the core through withCore() and what setUp() attached (UEI values, modules
// behind a router, the upgrade persona) through withParts(); both hold the module's lock: the
// bus calls the peer from the host's reader and writer threads.
//
// With the upgrade conversation the module polls its persona after each OUT transfer and from
// a timer thread of its own: a drop takes the device off the bus (output the host has not yet
// taken goes with it, so a LOAD answer needs drop:MS to be read), a come-back puts it on the
// bus again as a new attachment whose serial string is the come-back's serial number as
// "%08X" (DEADDEAD after a come-back under the default serial number).
//
// Timed work of the other parts (late store-slot replies, stream samples) runs on the same
// timer thread: setUp() hands it what it attached, and a test that attaches a part itself
// under withCore() passes it to keepTimed(). Samples asked for at once (emitSamples under
// withCore) need no timer.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "sim_module_core.h"
#include "sim_module_setup.h"
#include "sim_timed.h"
#include "sim_usb_bus.h"

namespace kvsim {

constexpr unsigned kUsbUpgradePollMs = 5;  // ms between two polls of the upgrade persona
                                           // and, at most, of the other timed work

// The USB serial string of a serial number: eight upper-case hex digits.
std::string usbSerialString(uint32_t serial);

class SimUsbModule : public UsbPeer {
 public:
  explicit SimUsbModule(ModuleConfig config = {});
  ~SimUsbModule() override;
  SimUsbModule(const SimUsbModule&) = delete;
  SimUsbModule& operator=(const SimUsbModule&) = delete;

  // Attaches UEI values, fault knobs, modules behind and the upgrade persona; the reason when
  // setup cannot be.
  std::string setUp(const ModuleSetup& setup);

  // The bus description of this module: its serial string is the serial number it shows as
  // "%08X", the low byte of its product id the model.
  DeviceSpec deviceSpec() const;
  // The bus device this module answers on; needed for drops (dropAfter and the upgrade's
  // included).
  void attach(SimDevice& device) {
    std::lock_guard<std::mutex> guard(lock_);
    device_ = &device;
  }

  // UsbPeer
  void received(const uint8_t* data, size_t length) override;
  size_t supply(uint8_t* data, size_t capacity) override;
  void detached() override;

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

  // Polls work from the timer thread from now on (kept alive until the module goes).
  void keepTimed(std::shared_ptr<TimedWork> work);

  // Unplugs: the device leaves the bus and the module forgets the connection.
  void drop();
  // Plugs in again, as a new attachment.
  void comeBack();

 private:
  void dropLocked();
  void pollUpgradeLocked();
  void startTimerLocked();
  void runTimer();

  mutable std::mutex lock_;
  ModuleCore core_;
  ModuleParts parts_;
  SimDevice* device_ = nullptr;
  std::deque<Bytes> outgoing_;    // segments not yet taken by an IN transfer
  std::condition_variable wake_;  // ends the timer's wait early when stopping
  bool stopping_ = false;
  std::vector<std::shared_ptr<TimedWork>> timed_;
  std::thread timer_;  // runs only with the upgrade persona or timed work
};

}  // namespace kvsim
