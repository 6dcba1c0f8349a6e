// Shared by the update tests: stand-in modules with the upgrade conversation on the simulated
// USB bus installed as the USB driver's backend, a display that records what the update shows,
// BIRD files made by the test generator, and the module's packet record.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "UpdaterDisplayInterface.h"
#include "bird_gen.h"
#include "kvusb.h"
#include "sim_module_core.h"
#include "sim_module_setup.h"
#include "sim_router.h"
#include "sim_upgrade.h"
#include "sim_usb_bus.h"
#include "sim_usb_module.h"
#include "support.h"
#include "usb_test_support.h"

namespace update_test {

constexpr uint8_t kUpgradeCommand = 0x5F;
constexpr uint8_t kAlderModel = 4;          // model number whose name is "Alder"
constexpr uint32_t kDeadDead = 0xDEADDEAD;  // serial number of a module that cannot read its own

using usb_test::RecordingDisplay;

struct StandIn {
  uint32_t serial = 0x1234ABCD;
  uint8_t address = 6;
  uint8_t model = kAlderModel;
  bool withUpgrade = true;
  kvsim::UpgradeConfig upgrade = {};
  std::vector<kvsim::BehindSpec> behind = {};  // not empty: a router with these modules behind it
};

// The simulated bus with stand-ins that have the upgrade conversation.
class SimulatedUsb : public usb_test::SimulatedUsbBus {
 public:
  kvsim::SimUsbModule& add(const StandIn& standIn) {
    kvsim::ModuleSetup setup;
    setup.uei = true;
    if (standIn.withUpgrade) setup.upgrade = standIn.upgrade;
    setup.behind = standIn.behind;
    return plugIn(usb_test::StandInConfig(standIn.serial, standIn.address, standIn.model), setup);
  }
};

// A whole file as text.
inline std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The data of the packets the module received whose first data byte is the command.
inline std::vector<kvsim::Bytes> ReceivedCommands(kvsim::SimUsbModule& module, uint8_t command) {
  return module.withCore([command](kvsim::ModuleCore& core) {
    std::vector<kvsim::Bytes> found;
    for (const kvsim::Record& record : core.records()) {
      if (record.direction != kvsim::Direction::In || record.bytes.size() < 3 ||
          record.bytes[2] != command)
        continue;
      found.emplace_back(record.bytes.begin() + 2, record.bytes.end());
    }
    return found;
  });
}

// Those of them whose option byte is option.
inline std::vector<kvsim::Bytes> ReceivedRequests(kvsim::SimUsbModule& module, uint8_t option) {
  std::vector<kvsim::Bytes> found;
  for (const kvsim::Bytes& data : ReceivedCommands(module, kUpgradeCommand))
    if (data.size() >= 2 && data[1] == option) found.push_back(data);
  return found;
}

// Waits up to timeoutMs for the condition; true when it held.
inline bool Eventually(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// "Update time: S.SSSS sec" with any whole seconds and four decimals.
inline bool IsUpdateTimeLine(const std::string& line) {
  const std::string head = "Update time: ";
  const std::string tail = " sec";
  if (line.size() < head.size() + tail.size() + 6 || line.compare(0, head.size(), head) != 0 ||
      line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
    return false;
  const std::string number = line.substr(head.size(), line.size() - head.size() - tail.size());
  const size_t point = number.find('.');
  if (point == std::string::npos || point == 0 || number.size() - point - 1 != 4) return false;
  for (size_t i = 0; i < number.size(); ++i)
    if (i != point && !std::isdigit(static_cast<unsigned char>(number[i]))) return false;
  return true;
}

// The attribute file's time text: "Www Mmm dd hh:mm:ss yyyy".
inline bool IsTimeText(const std::string& text) {
  if (text.size() != 24) return false;
  const char* form = "Aaa Aaa _9 99:99:99 9999";
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (form[i]) {
      case 'A':
        if (!std::isupper(c)) return false;
        break;
      case 'a':
        if (!std::islower(c)) return false;
        break;
      case '9':
        if (!std::isdigit(c)) return false;
        break;
      case '_':
        if (c != ' ' && !std::isdigit(c)) return false;
        break;
      default:
        if (text[i] != form[i]) return false;
    }
  }
  return true;
}

// The value of KEY in an attribute file's text; empty when the key is missing.
inline std::string SettingsValue(const std::string& settings, const std::string& key) {
  const std::string lines = "\n" + settings;
  const size_t at = lines.find("\n" + key + "=");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 2;
  return lines.substr(start, lines.find('\n', start) - start);
}

inline uint32_t ByteSum(const birdgen::Bytes& bytes) {
  uint32_t sum = 0;
  for (uint8_t byte : bytes) sum += byte;
  return sum;
}

// The serial number written into an image as the module's firmware expects it: a
// little-endian word at the serial-number offset and the eight hex digits in the low bytes
// of the 16-bit units at the descriptor offset.
inline birdgen::Bytes Personalised(birdgen::Bytes image, uint32_t imageAddress,
                                   uint32_t serialOffset, uint32_t descriptorOffset,
                                   uint32_t serial) {
  const size_t at = serialOffset - imageAddress;
  for (int i = 0; i < 4; ++i)
    image.at(at + static_cast<size_t>(i)) = static_cast<uint8_t>(serial >> (8 * i));
  const std::string text = birdgen::SerialText(serial);
  const size_t text_at = descriptorOffset - imageAddress;
  for (size_t i = 0; i < text.size(); ++i)
    image.at(text_at + 2 * i) = static_cast<uint8_t>(text[i]);
  return image;
}

}  // namespace update_test
