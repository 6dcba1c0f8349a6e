#include "sim_usb_module.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kvsim {

std::string usbSerialString(uint32_t serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(serial));
  return text;
}

SimUsbModule::SimUsbModule(ModuleConfig config) : core_(std::move(config)) {
  core_.startConnection();
}

SimUsbModule::~SimUsbModule() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (timer_.joinable()) timer_.join();
}

std::string SimUsbModule::setUp(const ModuleSetup& setup) {
  std::lock_guard<std::mutex> guard(lock_);
  std::string error;
  if (!setUpModule(core_, setup, &parts_, &error)) return error;
  for (std::shared_ptr<TimedWork>& work : timedWork(parts_)) timed_.push_back(std::move(work));
  if (parts_.upgrade || !timed_.empty()) startTimerLocked();
  return "";
}

void SimUsbModule::keepTimed(std::shared_ptr<TimedWork> work) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    timed_.push_back(std::move(work));
    startTimerLocked();
  }
  wake_.notify_all();  // the timer may be asleep for its full poll interval
}

void SimUsbModule::startTimerLocked() {
  if (!timer_.joinable()) timer_ = std::thread([this] { runTimer(); });
}

DeviceSpec SimUsbModule::deviceSpec() const {
  std::lock_guard<std::mutex> guard(lock_);
  DeviceSpec spec;
  spec.serial = usbSerialString(parts_.upgrade ? parts_.upgrade->serial() : core_.config().serial);
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
  pollUpgradeLocked();  // a drop may be due at once
}

size_t SimUsbModule::supply(uint8_t* data, size_t capacity) {
  std::lock_guard<std::mutex> guard(lock_);
  for (Segment& segment : core_.takeSegments()) outgoing_.push_back(std::move(segment.bytes));
  if (outgoing_.empty() || capacity == 0) return 0;
  Bytes& front = outgoing_.front();
  size_t count = std::min(capacity, front.size());
  std::memcpy(data, front.data(), count);
  front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(count));
  if (front.empty()) outgoing_.pop_front();
  return count;
}

void SimUsbModule::detached() {
  std::lock_guard<std::mutex> guard(lock_);
  device_ = nullptr;
}

void SimUsbModule::drop() {
  std::lock_guard<std::mutex> guard(lock_);
  dropLocked();
}

void SimUsbModule::dropLocked() {
  if (device_ != nullptr) device_->vanish();
  outgoing_.clear();
  core_.startConnection();
}

void SimUsbModule::comeBack() {
  std::lock_guard<std::mutex> guard(lock_);
  if (device_ != nullptr) device_->comeBack();
}

void SimUsbModule::pollUpgradeLocked() {
  if (!parts_.upgrade) return;
  // Late replies and the loader's announcement land in the core's output, which the next IN
  // transfer takes.
  for (const UpgradeAction& action : parts_.upgrade->poll()) {
    if (action.kind == UpgradeAction::Kind::Drop)
      dropLocked();
    else if (device_ != nullptr)
      device_->comeBack(usbSerialString(action.serial));
  }
}

void SimUsbModule::runTimer() {
  std::unique_lock<std::mutex> held(lock_);
  while (!stopping_) {
    pollUpgradeLocked();
    auto wakeAt = TimedWork::Clock::now() + std::chrono::milliseconds(kUsbUpgradePollMs);
    for (const std::shared_ptr<TimedWork>& work : timed_) {
      work->poll();
      if (std::optional<TimedWork::Clock::time_point> next = work->nextDue())
        wakeAt = std::min(wakeAt, *next);
    }
    // Woken early by keepTimed and the destructor, which change what the wait is for.
    wake_.wait_until(held, wakeAt);
  }
}

}  // namespace kvsim
