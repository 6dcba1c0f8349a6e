// The stand-in i.MX ROM over USB HID, behind the six hidapi calls a host uses (hid_init,
// hid_open, hid_write, hid_read_timeout, hid_close, hid_exit). A test program links this in
// place of the hidapi library: the calls then reach the devices that the test plugs here,
// never a real USB device.
//
//   auto chip = kvsim::HidBus::plug(0x1FC9, 0x0130);
//   ... the client opens the device with hid_open and talks to it ...
//   EXPECT_EQ(chip->loads()[0].address, 0x20000000u);
//
// HID framing: output report 1 is a command (report ID and 16 bytes), output report 2 carries
// WRITE_FILE data (report ID and up to 1024 bytes); the ROM answers with input report 3 (report
// ID and the 4-byte HAB word) and input reports 4 (report ID and 64 bytes: a status word or
// READ_REGISTER data, zero-padded). After a jump the ROM leaves USB: the device can no longer
// be opened, writes fail, and reads fail once the reports already sent were read.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "sim_imx_sdp.h"

namespace kvsim {

constexpr size_t kSdpHidReportData = 64;  // data bytes of input report 4

class ImxSdpHidDevice {
 public:
  ImxSdpHidDevice(uint16_t vendorId, uint16_t productId, const ImxSdpConfig& config);

  uint16_t vendorId() const { return vendorId_; }
  uint16_t productId() const { return productId_; }

  void configure(const std::function<void(ImxSdpConfig&)>& change);
  // Called with no lock held, on the thread of the hid_write that carried the jump.
  void setJumpHook(std::function<void(uint32_t)> hook);

  std::vector<SdpLoad> loads() const;
  std::vector<SdpCommand> commands() const;
  SdpBytes memory(uint32_t address, uint32_t count) const;
  bool jumped() const;
  uint32_t jumpAddress() const;
  // Every output report the host wrote, report ID first.
  std::vector<SdpBytes> reports() const;

  // The hidapi side.
  int write(const uint8_t* data, size_t length);
  int read(uint8_t* data, size_t length, int milliseconds);
  bool gone() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Input {
    Clock::time_point due;
    SdpBytes bytes;
  };
  void queue(std::vector<SdpAnswer>& answers);

  const uint16_t vendorId_;
  const uint16_t productId_;
  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable arrived_;
  ImxSdpRom rom_;
  std::deque<Input> inputs_;
  std::vector<SdpBytes> reports_;
  uint64_t accepted_ = 0;  // bytes of output reports taken
  std::function<void(uint32_t)> hook_;
};

// What the host called, for tests of its use of the library.
struct HidCalls {
  int init = 0;
  int exit = 0;
  int open = 0;  // hid_open calls, found or not
  int close = 0;
  int openHandles = 0;  // handles given out and not closed
};

class HidBus {
 public:
  // A new device on the bus (devices with other ids may be there too).
  static std::shared_ptr<ImxSdpHidDevice> plug(uint16_t vendorId, uint16_t productId,
                                               const ImxSdpConfig& config = ImxSdpConfig());
  // Removes every device and resets the call counts.
  static void reset();
  static HidCalls calls();
};

}  // namespace kvsim
