#include "sim_imx_hidapi.h"

#include <hidapi.h>

#include <algorithm>
#include <cstring>

// The handle hidapi hands out: one open of a plugged device.
struct hid_device_ {
  std::shared_ptr<kvsim::ImxSdpHidDevice> device;
};

namespace kvsim {

namespace {

constexpr uint8_t kCommandReport = 1;
constexpr uint8_t kDataReport = 2;
constexpr uint8_t kHabReport = 3;
constexpr uint8_t kStatusReport = 4;

std::mutex gBusMutex;  // guards gDevices and gCalls
std::vector<std::shared_ptr<ImxSdpHidDevice>> gDevices;
HidCalls gCalls;

}  // namespace

ImxSdpHidDevice::ImxSdpHidDevice(uint16_t vendorId, uint16_t productId, const ImxSdpConfig& config)
    : vendorId_(vendorId), productId_(productId), rom_(config) {}

void ImxSdpHidDevice::configure(const std::function<void(ImxSdpConfig&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(rom_.config());
}

void ImxSdpHidDevice::setJumpHook(std::function<void(uint32_t)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

std::vector<SdpLoad> ImxSdpHidDevice::loads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.loads();
}

std::vector<SdpCommand> ImxSdpHidDevice::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.commands();
}

SdpBytes ImxSdpHidDevice::memory(uint32_t address, uint32_t count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.memory(address, count);
}

bool ImxSdpHidDevice::jumped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.jumped();
}

uint32_t ImxSdpHidDevice::jumpAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.jumpAddress();
}

std::vector<SdpBytes> ImxSdpHidDevice::reports() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

bool ImxSdpHidDevice::gone() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.jumped();
}

// Frames the ROM's answers as input reports. The caller holds the lock.
void ImxSdpHidDevice::queue(std::vector<SdpAnswer>& answers) {
  const Clock::time_point now = Clock::now();
  for (SdpAnswer& answer : answers) {
    Clock::time_point due = now + std::chrono::milliseconds(answer.delayMs);
    if (!inputs_.empty()) due = std::max(due, inputs_.back().due);
    if (answer.kind == SdpAnswer::Kind::Hab) {
      SdpBytes report = {kHabReport};
      report.insert(report.end(), answer.bytes.begin(), answer.bytes.end());
      inputs_.push_back(Input{due, std::move(report)});
      continue;
    }
    // Payload and stray bytes: reports 4 of 64 zero-padded data bytes each.
    for (size_t at = 0; at < answer.bytes.size(); at += kSdpHidReportData) {
      SdpBytes report(1 + kSdpHidReportData, 0);
      report[0] = kStatusReport;
      const size_t n = std::min(kSdpHidReportData, answer.bytes.size() - at);
      std::copy(answer.bytes.begin() + at, answer.bytes.begin() + at + n, report.begin() + 1);
      inputs_.push_back(Input{due, std::move(report)});
    }
  }
  arrived_.notify_all();
}

int ImxSdpHidDevice::write(const uint8_t* data, size_t length) {
  std::function<void(uint32_t)> hook;
  uint32_t jumpAddress = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (rom_.jumped() || data == nullptr || length == 0) return -1;
    const int64_t limit = rom_.config().acceptLimit;
    if (limit >= 0 && accepted_ + length > uint64_t(limit)) return -1;
    accepted_ += length;
    reports_.emplace_back(data, data + length);
    std::vector<SdpAnswer> answers;
    if (data[0] == kCommandReport) {
      uint8_t command[kSdpCommandBytes] = {};
      std::memcpy(command, data + 1, std::min(length - 1, kSdpCommandBytes));
      rom_.command(command, answers);
      if (rom_.jumped()) {
        hook = hook_;
        jumpAddress = rom_.jumpAddress();
      }
    } else if (data[0] == kDataReport) {
      rom_.data(data + 1, length - 1, answers);
    }
    queue(answers);
  }
  if (hook) hook(jumpAddress);
  return static_cast<int>(length);
}

int ImxSdpHidDevice::read(uint8_t* data, size_t length, int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0));
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (!inputs_.empty() && inputs_.front().due <= now) {
      const SdpBytes report = std::move(inputs_.front().bytes);
      inputs_.pop_front();
      const size_t n = std::min(length, report.size());
      std::copy(report.begin(), report.begin() + n, data);
      return static_cast<int>(n);
    }
    if (inputs_.empty() && rom_.jumped()) return -1;
    if (milliseconds >= 0 && now >= deadline) return 0;
    Clock::time_point wakeAt = milliseconds >= 0 ? deadline : Clock::time_point::max();
    if (!inputs_.empty()) wakeAt = std::min(wakeAt, inputs_.front().due);
    if (wakeAt == Clock::time_point::max())
      arrived_.wait(lock);
    else
      arrived_.wait_until(lock, wakeAt);
  }
}

std::shared_ptr<ImxSdpHidDevice> HidBus::plug(uint16_t vendorId, uint16_t productId,
                                              const ImxSdpConfig& config) {
  auto device = std::make_shared<ImxSdpHidDevice>(vendorId, productId, config);
  std::lock_guard<std::mutex> lock(gBusMutex);
  gDevices.push_back(device);
  return device;
}

void HidBus::reset() {
  std::lock_guard<std::mutex> lock(gBusMutex);
  gDevices.clear();
  gCalls = HidCalls();
}

HidCalls HidBus::calls() {
  std::lock_guard<std::mutex> lock(gBusMutex);
  return gCalls;
}

}  // namespace kvsim

// The library's calls, answered by the plugged devices.

int hid_init(void) {
  std::lock_guard<std::mutex> lock(kvsim::gBusMutex);
  ++kvsim::gCalls.init;
  return 0;
}

int hid_exit(void) {
  std::lock_guard<std::mutex> lock(kvsim::gBusMutex);
  ++kvsim::gCalls.exit;
  return 0;
}

hid_device* hid_open(unsigned short vendor_id, unsigned short product_id,
                     const wchar_t* serial_number) {
  std::lock_guard<std::mutex> lock(kvsim::gBusMutex);
  ++kvsim::gCalls.open;
  if (serial_number != nullptr) return nullptr;  // the stand-in devices have no serial number
  for (const auto& device : kvsim::gDevices) {
    if (device->vendorId() == vendor_id && device->productId() == product_id && !device->gone()) {
      ++kvsim::gCalls.openHandles;
      return new hid_device_{device};
    }
  }
  return nullptr;
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
  return dev ? dev->device->write(data, length) : -1;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
  return dev && data ? dev->device->read(data, length, milliseconds) : -1;
}

void hid_close(hid_device* dev) {
  if (dev == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(kvsim::gBusMutex);
    ++kvsim::gCalls.close;
    --kvsim::gCalls.openHandles;
  }
  delete dev;
}
