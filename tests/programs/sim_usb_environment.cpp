// Test build of the updater program: before main runs, a simulated USB bus replaces the real
// one, holding the stand-in modules that the environment variable KV_SIM_USB_MODULES
// describes. Without the variable the bus is empty, so the program never reaches real USB.
//
//   KV_SIM_USB_MODULES="serial=40F5849A,model=17,version=2.15.3,name=Bench A;serial=BEEF,busy"
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
//   out-record=PATH  when the program ends, one line per OUT transfer the module's device
//                    took: "OUT <bytes requested> <bytes moved> <libusb result>"
//   upgrade          the module takes the upgrade conversation (command 95) with a simulated
//                    flash; it leaves the bus at LOAD's and REBOOT's drops and comes back on
//                    its own. The fields below go with it:
//   loader           the loader runs from the start (a recovery loader)
//   after-load=stay|drop:MS|silent-drop   what LOAD does (default stay)
//   return=same|deadbead|never            under which serial number the module comes back
//                    after LOAD's drop (deadbead: DEADDEAD)
//   return-quiet     after a silent drop the loader does not send [5F][02] of its own accord
//   return-ms=MS     ms away after LOAD's and REBOOT's drops
//   reboot-drop-ms=MS  ms from REBOOT to the drop
//   block-size=N     block size PREPARE answers (at least 1)
//   load-base=HEX    load base INIT answers
//   no-uei           option 10 of command 95 is absent (chunks go as DATA packets)
//   no-pooled        protocol features without bit 31 (no pooled packets)
//   late-ms=MS       how late a late SUM reply comes
//   flash-dump=PATH  the flash is written there at REBOOT and when the program ends, one line
//                    per 32 bytes: "AAAAAAAA HEX"
//   upgrade-fault=NAME[:COUNT]   a fault knob of the conversation (repeat for several):
//                    wrong-echo, late-sum, prepare-error, block-size-0, short-status,
//                    sum-mismatch; COUNT a number of replies or all (default all)
//   loader-fault=NAME[:COUNT]    the same, armed the first time the loader runs: faults
//                    of the firmware blocks only
// Numbers are decimal or 0x-prefixed hex. In values, %HH stands for the byte 0xHH (%2C for
// ",", %3B for ";", %25 for "%"). A description that cannot be read ends the program with
// status 2 and the reason on standard error before main runs.
//
// The program can also play an i.MX chip in its ROM boot loader, and the recovery loader that
// the ROM starts:
//   KV_SIM_IMX_ROM=usb           the ROM behind hidapi's calls, as the USB HID device 1FC9:0130
//   KV_SIM_IMX_ROM=serial=PATH   the ROM on a pseudo-terminal; PATH is made a symbolic link to
//                                its slave, the port to give the program
//   KV_SIM_IMX_LOADER=ENTRY      one module as above (e.g. "serial=DEADDEAD,upgrade,loader,
//                                flash-dump=PATH"), away from the bus until the ROM takes its
//                                jump
// Without KV_SIM_IMX_ROM hidapi finds no device, so the program never reaches a real one.

#include <libusb.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kvusb_backend.h"
#include "sim_imx_hidapi.h"
#include "sim_imx_serial.h"
#include "sim_module_setup.h"
#include "sim_usb_bus.h"
#include "sim_usb_module.h"

namespace {

constexpr const char* kVariable = "KV_SIM_USB_MODULES";
constexpr const char* kImxRomVariable = "KV_SIM_IMX_ROM";
constexpr const char* kImxLoaderVariable = "KV_SIM_IMX_LOADER";
constexpr uint16_t kImxVendorId = 0x1FC9;  // the i.MX ROM's USB HID device
constexpr uint16_t kImxProductId = 0x0130;
constexpr unsigned kIdleInWaitMs = 20;  // ms an IN transfer waits when the module has nothing
constexpr int kExitBadDescription = 2;
constexpr unsigned long kMaxDelayMs = 600000;  // longest delay a field takes, in ms

// The bus and its modules live as long as the process: the driver may use them until exit.
struct SimulatedUsb {
  kvsim::UsbBus bus;
  std::deque<kvsim::SimUsbModule> modules;  // a deque never moves its elements
  // Written when the program ends: modules' flash and devices' OUT transfers, with the paths.
  std::vector<std::pair<kvsim::SimUsbModule*, std::string>> flashDumps;
  std::vector<std::pair<kvsim::SimDevice*, std::string>> outRecords;
  // The i.MX ROM, when asked for: over HID, or on a pseudo-terminal (both ends kept open).
  std::shared_ptr<kvsim::ImxSdpHidDevice> imxHid;
  std::unique_ptr<kvsim::ImxSdpSerialServer> imxSerial;
  int imxMaster = -1;
  int imxSlave = -1;
};

const char* gReading = kVariable;  // the variable being read, for the messages

[[noreturn]] void refuse(const std::string& reason) {
  std::fprintf(stderr, "%s: %s\n", gReading, reason.c_str());
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
  std::string outRecordPath;
};

// The fields of the upgrade persona; false when key is none of them.
bool describeUpgrade(const std::string& key, const std::string& value, bool flag,
                     kvsim::UpgradeConfig* upgrade) {
  auto needsValue = [&] {
    if (flag) refuse("a field is KEY=VALUE, not " + key);
  };
  auto isFlag = [&] {
    if (!flag) refuse(key + " takes no value");
  };
  if (key == "loader") {
    isFlag();
    upgrade->startAsLoader = true;
  } else if (key == "no-uei") {
    isFlag();
    upgrade->hasUei = false;
  } else if (key == "no-pooled") {
    isFlag();
    upgrade->pooled = false;
  } else if (key == "return-quiet") {
    isFlag();
    upgrade->announceOnReturn = false;
  } else if (key == "after-load") {
    needsValue();
    if (!kvsim::parseAfterLoad(value, upgrade))
      refuse("bad value for after-load: " + value + " (stay, drop:MS or silent-drop)");
  } else if (key == "return") {
    needsValue();
    if (!kvsim::parseReturnAs(value, upgrade))
      refuse("bad value for return: " + value + " (same, deadbead or never)");
  } else if (key == "upgrade-fault" || key == "loader-fault") {
    needsValue();
    bool parsed = key == "upgrade-fault" ? kvsim::parseUpgradeFault(value, upgrade)
                                         : kvsim::parseLoaderFault(value, upgrade);
    if (!parsed) refuse("bad value for " + key + ": " + value + " (NAME[:COUNT])");
  } else if (key == "return-ms" || key == "reboot-drop-ms" || key == "late-ms") {
    needsValue();
    unsigned ms = static_cast<unsigned>(required(key, value, kMaxDelayMs, 10));
    (key == "return-ms"        ? upgrade->returnMs
     : key == "reboot-drop-ms" ? upgrade->rebootDropMs
                               : upgrade->lateMs) = ms;
  } else if (key == "block-size") {
    needsValue();
    unsigned long size = required(key, value, 0xFFFF);
    if (size == 0) refuse("block-size must be at least 1 (the block-size-0 fault answers 0)");
    upgrade->blockSize = static_cast<uint16_t>(size);
  } else if (key == "load-base") {
    needsValue();
    upgrade->loadBase = static_cast<uint32_t>(required(key, value, 0xFFFFFFFFUL, 16));
  } else if (key == "flash-dump") {
    needsValue();
    if (value.empty()) refuse("flash-dump needs a path");
    upgrade->flashDumpPath = value;
  } else {
    return false;
  }
  return true;
}

Description describe(const std::string& entry) {
  Description d;
  d.setup.uei = true;
  bool haveSerial = false;
  bool upgrade = false;
  kvsim::UpgradeConfig upgradeConfig;
  std::string upgradeOnly;  // a field given that needs upgrade
  for (const std::string& field : split(entry, ',')) {
    size_t equals = field.find('=');
    const bool flag = equals == std::string::npos;
    const std::string key = field.substr(0, equals);
    const std::string value = flag ? "" : unescape(field.substr(equals + 1));
    if (key == "busy" && flag) {
      d.busy = true;
    } else if (key == "upgrade" && flag) {
      upgrade = true;
    } else if (describeUpgrade(key, value, flag, &upgradeConfig)) {
      upgradeOnly = key;
    } else if (flag) {
      refuse("a field is KEY=VALUE, busy or upgrade, not " + field);
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
    } else if (key == "out-record") {
      if (value.empty()) refuse("out-record needs a path");
      d.outRecordPath = value;
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
  if (!upgradeOnly.empty() && !upgrade) refuse(upgradeOnly + " goes with upgrade: " + entry);
  if (upgrade) d.setup.upgrade = upgradeConfig;
  return d;
}

SimulatedUsb* gUsb = nullptr;

// At the end of the program: the flash of each module that asked for a dump, as it is now,
// and the OUT transfers of each device that asked for a record.
void writeRecords() {
  for (auto& [module, path] : gUsb->flashDumps) {
    std::string error;
    bool written = module->withParts(
        [&](kvsim::ModuleParts& parts) { return parts.upgrade->writeFlashDump(path, &error); });
    if (!written) std::fprintf(stderr, "%s: %s\n", kVariable, error.c_str());
  }
  for (auto& [device, path] : gUsb->outRecords) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
      std::fprintf(stderr, "%s: cannot write the OUT record %s\n", kVariable, path.c_str());
      continue;
    }
    for (const kvsim::OutTransfer& transfer : device->outTransfers())
      std::fprintf(file, "OUT %d %d %d\n", transfer.requested, transfer.transferred,
                   transfer.result);
    if (std::fclose(file) != 0)
      std::fprintf(stderr, "%s: cannot write the OUT record %s\n", kVariable, path.c_str());
  }
}

// One module as an entry of KV_SIM_USB_MODULES describes it, on the bus; its device.
kvsim::SimDevice& addModule(SimulatedUsb* usb, const std::string& entry) {
  Description d = describe(entry);
  kvsim::SimUsbModule& module = usb->modules.emplace_back(d.config);
  std::string reason = module.setUp(d.setup);
  if (!reason.empty()) refuse(reason);
  kvsim::SimDevice& device = usb->bus.addDevice(module.deviceSpec(), module);
  module.attach(device);
  if (d.busy) device.failClaim(LIBUSB_ERROR_BUSY);
  if (d.setup.upgrade && !d.setup.upgrade->flashDumpPath.empty())
    usb->flashDumps.emplace_back(&module, d.setup.upgrade->flashDumpPath);
  if (!d.outRecordPath.empty()) usb->outRecords.emplace_back(&device, d.outRecordPath);
  return device;
}

// The i.MX ROM as KV_SIM_IMX_ROM asks; its jump brings the KV_SIM_IMX_LOADER module onto the
// bus.
void installImx(SimulatedUsb* usb) {
  const char* rom = std::getenv(kImxRomVariable);
  if (rom == nullptr || *rom == '\0') return;
  kvsim::SimDevice* loader = nullptr;
  const char* entry = std::getenv(kImxLoaderVariable);
  if (entry != nullptr && *entry != '\0') {
    gReading = kImxLoaderVariable;
    loader = &addModule(usb, entry);
    loader->vanish();
  }
  gReading = kImxRomVariable;
  auto jumped = [loader](uint32_t) {
    if (loader != nullptr) loader->comeBack();
  };
  const std::string text = rom;
  const std::string serial = "serial=";
  if (text == "usb") {
    usb->imxHid = kvsim::HidBus::plug(kImxVendorId, kImxProductId);
    usb->imxHid->setJumpHook(jumped);
  } else if (text.compare(0, serial.size(), serial) == 0 && text.size() > serial.size()) {
    const std::string link = text.substr(serial.size());
    char name[256] = {};
    if (openpty(&usb->imxMaster, &usb->imxSlave, name, nullptr, nullptr) != 0)
      refuse(std::string("cannot open a pseudo-terminal: ") + std::strerror(errno));
    termios raw;
    if (tcgetattr(usb->imxSlave, &raw) == 0) {
      cfmakeraw(&raw);
      tcsetattr(usb->imxSlave, TCSANOW, &raw);
    }
    unlink(link.c_str());
    if (symlink(name, link.c_str()) != 0)
      refuse("cannot make " + link + " point to " + name + ": " + std::strerror(errno));
    usb->imxSerial = std::make_unique<kvsim::ImxSdpSerialServer>(usb->imxMaster);
    usb->imxSerial->setJumpHook(jumped);
    if (!usb->imxSerial->start()) refuse("cannot start the i.MX ROM's thread");
  } else {
    refuse("usb or serial=PATH, not " + text);
  }
}

SimulatedUsb* install() {
  SimulatedUsb* usb = new SimulatedUsb;
  const char* text = std::getenv(kVariable);
  if (text != nullptr && *text != '\0') {
    for (const std::string& entry : split(text, ';')) addModule(usb, entry);
  }
  installImx(usb);
  usb->bus.setIdleInWaitMs(kIdleInWaitMs);
  kvusb_SetBackend(&usb->bus);
  gUsb = usb;
  if (!usb->flashDumps.empty() || !usb->outRecords.empty()) std::atexit(writeRecords);
  return usb;
}

SimulatedUsb* const gSimulatedUsb = install();

}  // namespace
