#pragma once

// Helpers of the SDP client's tests: the stand-in ROM on a pty with the client's serial
// transport opened on it, a log capture, and small byte helpers.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Log.h"
#include "SDPLoader.h"
#include "recovery_test_support.h"
#include "Serial_SDPLoader.h"
#include "sim_imx_serial.h"
#include "support.h"

namespace sdptest {

using Bytes = std::vector<uint8_t>;
using rectest::Clock;
using rectest::MsSince;
using rectest::Pattern;

constexpr uint32_t kLoadAddress = 0x20000000;
constexpr uint32_t kJumpAddress = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
constexpr uint32_t kCfg0 = IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG0_OFFSET;
constexpr uint32_t kCfg1 = IMX1050::OCOTP_BASE_ADDRESS + IMX1050::CFG1_OFFSET;
constexpr uint32_t kLineBaud = 115200;
// What a silent chip may cost writeLoader: five status commands of 100 ms each, and the
// machine's slack.
constexpr long long kSilentChipMs = 5 * 100;
constexpr long long kMachineSlackMs = 700;  // ms a busy test machine may add to a bounded call
// The client's and the serial transport's own bounds.
constexpr long long kFinalStatusBaseMs =
    500;  // ms a final status is awaited beyond the image's line time
constexpr long long kLineMsPerKiB = 90;    // ms one KiB takes at 115200 baud
constexpr long long kWriteSlackMs = 1000;  // ms a serial report may take beyond its line time
constexpr long long kSettleMs = 1000;      // ms the serial line settles when opened
constexpr long long kQuickMs = 100;        // ms a call that waits for nothing may take

// How long a transfer of size bytes may wait for its final status.
constexpr long long FinalStatusMs(size_t size) {
  return kFinalStatusBaseMs + static_cast<long long>((size + 1023) / 1024) * kLineMsPerKiB;
}

inline Bytes Hex(std::initializer_list<int> values) {
  Bytes bytes;
  for (int v : values) bytes.push_back(static_cast<uint8_t>(v));
  return bytes;
}

// The 16 bytes of a command as the ROM received it.
inline Bytes Raw(const kvsim::SdpCommand& command) {
  return Bytes(command.raw.begin(), command.raw.end());
}

inline std::vector<uint16_t> Types(const std::vector<kvsim::SdpCommand>& commands) {
  std::vector<uint16_t> types;
  for (const kvsim::SdpCommand& command : commands) types.push_back(command.type);
  return types;
}

// Sends the log of the i.MX client into a temporary file for the life of the object.
class LogCapture : public rectest::LogCapture {
 public:
  LogCapture() : rectest::LogCapture(DEBUG_iMXSerial) {}
};

// The stand-in ROM on a pty and an SDPLoader with the serial transport on its slave.
struct SerialRig {
  explicit SerialRig(const kvsim::ImxSdpConfig& config = kvsim::ImxSdpConfig(),
                     uint32_t paceBaud = 0)
      : chip(pty.master(), config, paceBaud) {
    chip.start();
    client.setLoader(new Serial_SDPLoader(pty.slaveName().c_str()));
  }

  PtyPair pty;
  kvsim::ImxSdpSerialServer chip;
  SDPLoader client;
};

}  // namespace sdptest
