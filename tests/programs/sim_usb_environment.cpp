// Test build of the updater program: before main runs, a simulated USB bus replaces the real
// one, holding the stand-in modules that the environment variable KV_SIM_USB_MODULES
// describes. Without the variable the bus is empty, so the program never reaches real USB.
//
//   KV_SIM_USB_MODULES="serial=40F5849A,address=6,model=17,version=2.15.3,name=Bench A;serial=BEEF,busy"
//
// One module per ";"-separated entry, its fields separated by ",":
//   serial=HEX       serial number (required)
//   address=N        module address (default 2)
//   model=N          model number: the low byte of the USB product id and the UEI model
//   build=N          firmware build number
//   version=A.B.C    firmware version, packed as the module packs it (the new layout from
//                    2.15 on, the legacy one below); or the raw version word as a number
//   name=TEXT        device name
//   busy             another program holds the device: claiming its interface fails
//   behind=ADDR:SERIAL[:MODEL[:NAME]]   a module behind this one on its I2C bus, which makes
//                    it a router (repeat for several)
// Numbers are decimal or 0x-prefixed hex. In values, %HH stands for the byte 0xHH (%2C for
// ",", %3B for ";", %25 for "%"). A description that cannot be read ends the program with
// status 2 and the reason on standard error before main runs.

#include <libusb.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "kvusb_backend.h"
#include "sim_module_setup.h"
#include "sim_usb_bus.h"
#include "sim_usb_module.h"

namespace {

constexpr const char* kVariable = "KV_SIM_USB_MODULES";
constexpr unsigned kIdleInWaitMs = 20;  // ms an IN transfer waits when the module has nothing
constexpr int kExitBadDescription = 2;

// The bus and its modules live as long as the process: the driver may use them until exit.
struct SimulatedUsb {
  kvsim::UsbBus bus;
  std::deque<kvsim::SimUsbModule> modules;  // a deque never moves its elements
};

[[noreturn]] void refuse(const std::string& reason) {
  std::fprintf(stderr, "%s: %s\n", kVariable, reason.c_str());
  std::exit(kExitBadDescription);
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    int high = i + 2 < text.size() ? hexDigit(text[i + 1]) : -1;
    int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
    if (high < 0 || low < 0) refuse("a % must be followed by two hex digits in " + text);
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::optional<unsigned long> number(const std::string& text, unsigned long limit, int base = 0) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value > limit) return std::nullopt;
  return value;
}

unsigned long required(const std::string& key, const std::string& text, unsigned long limit,
                       int base = 0) {
  std::optional<unsigned long> value = number(text, limit, base);
  if (!value) refuse("bad value for " + key + ": " + text);
  return *value;
}

// The module's packed version word: 0x2F, major, minor, patch from 2.15 on; below, major and
// a 4-bit minor in the top byte and a 24-bit patch.
uint32_t versionWord(const std::string& text) {
  std::vector<std::string> parts = split(text, '.');
  if (parts.size() == 1) return static_cast<uint32_t>(required("version", text, 0xFFFFFFFFUL));
  if (parts.size() != 3) refuse("a version is A.B.C or a number, not " + text);
  uint32_t major = static_cast<uint32_t>(required("version", parts[0], 0xFF, 10));
  uint32_t minor = static_cast<uint32_t>(required("version", parts[1], 0xFF, 10));
  uint32_t patch = static_cast<uint32_t>(required("version", parts[2], 0xFFFFFF, 10));
  if (major > 2 || (major == 2 && minor > 14)) {
    if (patch > 0xFF) refuse("the patch of a version from 2.15 on is one byte: " + text);
    return 0x2F000000u | major << 16 | minor << 8 | patch;
  }
  if (major > 0xF || minor > 0xF) refuse("a version below 2.15 has 4-bit fields: " + text);
  return major << 28 | minor << 24 | patch;
}

struct Description {
  kvsim::ModuleConfig config;
  kvsim::ModuleSetup setup;
  bool busy = false;
};

Description describe(const std::string& entry) {
  Description d;
  d.setup.uei = true;
  bool haveSerial = false;
  for (const std::string& field : split(entry, ',')) {
    size_t equals = field.find('=');
    const std::string key = field.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : unescape(field.substr(equals + 1));
    if (key == "busy" && equals == std::string::npos) {
      d.busy = true;
    } else if (equals == std::string::npos) {
      refuse("a field is KEY=VALUE or busy, not " + field);
    } else if (key == "serial") {
      d.config.serial = static_cast<uint32_t>(required(key, value, 0xFFFFFFFFUL, 16));
      haveSerial = true;
    } else if (key == "address") {
      d.config.address = static_cast<uint8_t>(required(key, value, 0xFF));
    } else if (key == "model") {
      d.config.model = static_cast<uint8_t>(required(key, value, 0xFF));
    } else if (key == "build") {
      d.setup.identity.build = static_cast<uint32_t>(required(key, value, 0xFFFFFFFFUL));
    } else if (key == "version") {
      d.setup.identity.version = versionWord(value);
    } else if (key == "name") {
      d.setup.identity.name = value;
    } else if (key == "behind") {
      std::string error;
      std::optional<kvsim::BehindSpec> behind = kvsim::parseBehind(value, &error);
      if (!behind) refuse(error);
      d.setup.behind.push_back(*behind);
    } else {
      refuse("unknown field " + key);
    }
  }
  if (!haveSerial) refuse("a module needs serial=HEX: " + entry);
  return d;
}

SimulatedUsb* install() {
  SimulatedUsb* usb = new SimulatedUsb;
  const char* text = std::getenv(kVariable);
  if (text != nullptr && *text != '\0') {
    for (const std::string& entry : split(text, ';')) {
      Description d = describe(entry);
      kvsim::SimUsbModule& module = usb->modules.emplace_back(d.config);
      std::string reason = module.setUp(d.setup);
      if (!reason.empty()) refuse(reason);
      kvsim::SimDevice& device = usb->bus.addDevice(module.deviceSpec(), module);
      module.attach(device);
      if (d.busy) device.failClaim(LIBUSB_ERROR_BUSY);
    }
  }
  usb->bus.setIdleInWaitMs(kIdleInWaitMs);
  kvusb_SetBackend(&usb->bus);
  return usb;
}

SimulatedUsb* const gSimulatedUsb = install();

}  // namespace
