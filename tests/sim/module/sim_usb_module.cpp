#include "sim_usb_module.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kvsim {

SimUsbModule::SimUsbModule(ModuleConfig config) : core_(std::move(config)) {
  core_.startConnection();
}

std::string SimUsbModule::setUp(const ModuleSetup& setup) {
  std::lock_guard<std::mutex> guard(lock_);
  std::string error;
  return setUpModule(core_, setup, &parts_, &error) ? std::string() : error;
}

DeviceSpec SimUsbModule::deviceSpec() const {
  std::lock_guard<std::mutex> guard(lock_);
  DeviceSpec spec;
  char serial[9];
  std::snprintf(serial, sizeof serial, "%08X", static_cast<unsigned>(core_.config().serial));
  spec.serial = serial;
  spec.productId = core_.config().model;
  spec.config = DeviceSpec::VendorConfig();
  return spec;
}

void SimUsbModule::received(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> guard(lock_);
  core_.receive(data, length);
  if (core_.dropDue() && device_ != nullptr) {
    // A module that drops off USB comes back at once as a new attachment; tests that want a
    // gap call drop() and comeBack() themselves.
    dropLocked();
    device_->comeBack();
  }
}

size_t SimUsbModule::supply(uint8_t* data, size_t capacity) {
  std::lock_guard<std::mutex> guard(lock_);
  for (Segment& segment : core_.takeSegments())
    outgoing_.push_back(std::move(segment.bytes));
  if (outgoing_.empty() || capacity == 0)
    return 0;
  Bytes& front = outgoing_.front();
  size_t count = std::min(capacity, front.size());
  std::memcpy(data, front.data(), count);
  front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(count));
  if (front.empty())
    outgoing_.pop_front();
  return count;
}

void SimUsbModule::drop() {
  std::lock_guard<std::mutex> guard(lock_);
  dropLocked();
}

void SimUsbModule::dropLocked() {
  if (device_ != nullptr)
    device_->vanish();
  outgoing_.clear();
  core_.startConnection();
}

void SimUsbModule::comeBack() {
  std::lock_guard<std::mutex> guard(lock_);
  if (device_ != nullptr)
    device_->comeBack();
}

}  // namespace kvsim
