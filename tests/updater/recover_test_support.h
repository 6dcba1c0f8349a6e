// Shared by the fingerprint and recovery tests: a chip in its ROM boot loader (the LPC ISP
// stand-in or the i.MX serial downloader stand-in, on a pty or behind hidapi's calls), the
// recovery loader that shows up on the simulated USB bus once the i.MX ROM jumped, the
// firmware files, the store and a display that records what was shown.
#pragma once

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bird_gen.h"
#include "sim_imx_hidapi.h"
#include "sim_imx_serial.h"
#include "sim_lpc_server.h"
#include "sim_uei.h"
#include "support.h"
#include "update_test_support.h"

namespace recovery_test {

using birdgen::Bytes;

constexpr uint16_t kImxVendorId = 0x1FC9;  // the i.MX ROM's USB HID device
constexpr uint16_t kImxProductId = 0x0130;
constexpr uint32_t kDeadDead = 0xDEADDEAD;       // serial number of the recovery loader
constexpr uint32_t kLoaderAddress = 0x20000000;  // where the recovery loader's image goes
constexpr uint32_t kDefaultStart = 0x20000400;   // its start when the file names none
constexpr uint32_t kFirmwareAddress = 0x00008000;
constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kUniqueIdOption = 39;  // the chip's identifier, a word per subindex
constexpr uint8_t kResetOption = 11;
constexpr uint8_t kLoaderModuleAddress = 2;

// The words the stand-in loader reports for subindexes 0 to 3.
constexpr uint32_t kUniqueId[4] = {0xA0A1A2A3, 0xB0B1B2B3, 0xC0C1C2C3, 0xD0D1D2D3};

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  return static_cast<bool>(out.flush());
}

// A store directory for a module, holding firmware files and attributes written directly in
// the store's layout (not through the code under test).
class StoreDir {
 public:
  explicit StoreDir(const std::string& root) : root_(root) {}

  std::string directory(uint32_t serial) const { return root_ + "/" + birdgen::SerialText(serial); }

  // name in the module's directory, made when missing.
  std::string put(uint32_t serial, const std::string& name, const Bytes& bytes) const {
    mkdir(root_.c_str(), 0755);
    mkdir(directory(serial).c_str(), 0755);
    const std::string path = directory(serial) + "/" + name;
    EXPECT_TRUE(birdgen::WriteFile(path, bytes)) << path;
    return path;
  }
  // The module's ".settings" holding these lines.
  void settings(uint32_t serial, const std::string& lines) const {
    mkdir(root_.c_str(), 0755);
    mkdir(directory(serial).c_str(), 0755);
    EXPECT_TRUE(WriteText(directory(serial) + "/.settings", lines));
  }
  std::string settingsText(uint32_t serial) const {
    return ReadText(directory(serial) + "/.settings");
  }

 private:
  std::string root_;
};

// The recovery loader: two loader blocks, a start-address block when asked for, and a
// firmware block for the module that the loader then programs.
struct LoaderFile {
  Bytes loaderA = birdgen::PatternBytes(1500, 11);
  Bytes loaderB = birdgen::PatternBytes(300, 12);
  uint32_t addressB = kLoaderAddress + 0x1000;
  bool withStart = false;
  uint32_t start = 0x20002000;
  bool withLoader = true;
  Bytes firmware = birdgen::PatternBytes(700, 13);

  birdgen::Builder builder() const {
    birdgen::Builder b;
    if (withLoader) b.loader(kLoaderAddress, loaderA).loader(addressB, loaderB);
    if (withStart) b.startAddress(start);
    b.firmware(kFirmwareAddress, firmware).descriptor({"77", "1.0.0", "DEADDEAD", "Alder"});
    return b;
  }
  Bytes bytes() const { return builder().file(); }
};

// The simulated USB bus with the recovery loader on it, away until show() (the ROM's jump)
// brings it: it then answers under its serial number with the unique identifier.
class LoaderOnUsb {
 public:
  explicit LoaderOnUsb(uint32_t serial = kDeadDead) {
    update_test::StandIn standIn;
    standIn.serial = serial;
    standIn.address = kLoaderModuleAddress;
    standIn.upgrade.startAsLoader = true;
    module_ = &usb_.add(standIn);
    module_->withParts([](kvsim::ModuleParts& parts) {
      for (int sub = 0; sub < 4; ++sub) {
        kvsim::UeiValue value;
        value.type = kvsim::UeiType::U32;
        value.number = kUniqueId[sub];
        parts.store->setOption(kSystemCommand, 0, kUniqueIdOption, value, sub);
      }
      return 0;
    });
    usb_.device(0).vanish();
  }

  void show() { usb_.device(0).comeBack(); }
  // A module that is not the loader, on the bus from the start.
  kvsim::SimUsbModule& bystander(uint32_t serial) {
    update_test::StandIn standIn;
    standIn.serial = serial;
    standIn.address = 6;
    return usb_.add(standIn);
  }

  kvsim::SimUsbModule& module() { return *module_; }
  kvsim::SimMemory flash() {
    return module_->withParts([](kvsim::ModuleParts& parts) { return parts.upgrade->flash(); });
  }
  unsigned resets() {
    return module_->withParts([](kvsim::ModuleParts& parts) {
      auto calls = parts.store->calls();
      auto found = calls.find({kSystemCommand, 0, kResetOption});
      return found == calls.end() ? 0u : found->second;
    });
  }
  // Requests for the identifier, by subindex, in the order they came.
  std::vector<int> identifierReads() {
    std::vector<int> subindexes;
    for (const kvsim::Bytes& data : update_test::ReceivedCommands(*module_, kSystemCommand))
      if (data.size() >= 4 && data[1] == (kUniqueIdOption | 0x40)) subindexes.push_back(data[3]);
    return subindexes;
  }

 private:
  update_test::SimulatedUsb usb_;
  kvsim::SimUsbModule* module_ = nullptr;
};

// The i.MX ROM behind hidapi's calls; its jump brings the loader onto the bus.
inline std::shared_ptr<kvsim::ImxSdpHidDevice> PlugImxRom(LoaderOnUsb* loader,
                                                          const kvsim::ImxSdpConfig& config = {}) {
  kvsim::HidBus::reset();
  auto rom = kvsim::HidBus::plug(kImxVendorId, kImxProductId, config);
  if (loader) rom->setJumpHook([loader](uint32_t) { loader->show(); });
  return rom;
}

// The i.MX ROM on a pty (serial framing); its jump brings the loader onto the bus.
class ImxRomOnPty {
 public:
  explicit ImxRomOnPty(LoaderOnUsb* loader, const kvsim::ImxSdpConfig& config = {}) {
    PtyPair::makeRaw(pty_.slave());
    rom_ = std::make_unique<kvsim::ImxSdpSerialServer>(pty_.master(), config);
    if (loader) rom_->setJumpHook([loader](uint32_t) { loader->show(); });
    EXPECT_TRUE(rom_->start());
  }
  const std::string& port() const { return pty_.slaveName(); }
  kvsim::ImxSdpSerialServer& rom() { return *rom_; }

 private:
  PtyPair pty_;
  std::unique_ptr<kvsim::ImxSdpSerialServer> rom_;
};

// How an i.MX ROM on a serial line may take the LPC probe's byte and a command it does not
// know: dropping a partial command after a silence or keeping it (then the probe byte becomes
// the first byte of its next command), and answering an unknown command or not.
struct ImxLineRom {
  const char* name;
  bool keepsPartialCommand;
  bool silentOnUnknown;

  kvsim::ImxSdpConfig config() const {
    kvsim::ImxSdpConfig c;
    c.keepsPartialCommand = keepsPartialCommand;
    c.silentOnUnknown = silentOnUnknown;
    return c;
  }
};

inline std::vector<ImxLineRom> ImxLineRoms() {
  return {{"DropsPartialAnswersUnknown", false, false},
          {"DropsPartialSilentOnUnknown", false, true},
          {"KeepsPartialAnswersUnknown", true, false},
          {"KeepsPartialSilentOnUnknown", true, true}};
}

inline std::string ImxLineRomName(const ::testing::TestParamInfo<ImxLineRom>& info) {
  return info.param.name;
}

// What reached an i.MX ROM on a serial line first: the LPC probe's single "?", then the 15
// zero bytes the SDP transport sends to complete a command the ROM may have started with it.
inline Bytes ProbeAndFiller() {
  Bytes bytes(16, 0);
  bytes[0] = '?';
  return bytes;
}

// The commands the loader of a LoaderFile costs: a status and a WRITE_FILE per loader block,
// then the jump.
inline std::vector<uint16_t> LoaderRoadCommands() {
  return {kvsim::kSdpErrorStatus, kvsim::kSdpWriteFile, kvsim::kSdpErrorStatus,
          kvsim::kSdpWriteFile, kvsim::kSdpJumpAddress};
}

// The ROM on a serial line parsed the client's commands on their 16-byte grid: the probe byte
// and the filler made one command of no known type (a ROM that keeps partial commands) or two
// partial commands it dropped (a ROM that drops them), and the commands after them are types.
inline void ExpectCommandsOnTheGrid(kvsim::ImxSdpSerialServer& rom, const ImxLineRom& kind,
                                    const std::vector<uint16_t>& types) {
  const kvsim::SdpBytes line = rom.line();
  ASSERT_GE(line.size(), ProbeAndFiller().size());
  EXPECT_EQ(Bytes(line.begin(), line.begin() + ProbeAndFiller().size()), ProbeAndFiller());

  std::vector<kvsim::SdpCommand> commands = rom.commands();
  if (kind.keepsPartialCommand) {
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(Bytes(commands[0].raw.begin(), commands[0].raw.end()), ProbeAndFiller());
    commands.erase(commands.begin());
    EXPECT_TRUE(rom.dropped().empty());
  } else {
    const Bytes both = ProbeAndFiller();
    const kvsim::SdpBytes probe(both.begin(), both.begin() + 1);
    const kvsim::SdpBytes filler(both.begin() + 1, both.end());
    EXPECT_EQ(rom.dropped(), (std::vector<kvsim::SdpBytes>{probe, filler}));
  }
  std::vector<uint16_t> parsed;
  for (const kvsim::SdpCommand& command : commands) parsed.push_back(command.type);
  EXPECT_EQ(parsed, types);
}

// The LPC ISP ROM on a pty.
class LpcRomOnPty {
 public:
  // paceBaud: the chip answers no faster than that line rate (0: at once).
  explicit LpcRomOnPty(const kvsim::LpcConfig& config = {}, uint32_t paceBaud = 0) {
    PtyPair::makeRaw(pty_.slave());
    rom_ = std::make_unique<kvsim::LpcIspServer>(pty_.master(), config, paceBaud);
    EXPECT_TRUE(rom_->start());
  }
  const std::string& port() const { return pty_.slaveName(); }
  int slave() const { return pty_.slave(); }  // shares the port's terminal settings
  kvsim::LpcIspServer& rom() { return *rom_; }

 private:
  PtyPair pty_;
  std::unique_ptr<kvsim::LpcIspServer> rom_;
};

// A pty on which nothing answers.
class SilentPort {
 public:
  SilentPort() { PtyPair::makeRaw(pty_.slave()); }
  const std::string& port() const { return pty_.slaveName(); }

 private:
  PtyPair pty_;
};

// Packets a stand-in module received.
inline size_t PacketsIn(kvsim::SimUsbModule& module) {
  return module.withCore([](kvsim::ModuleCore& core) {
    size_t count = 0;
    for (const kvsim::Record& record : core.records())
      count += record.direction == kvsim::Direction::In ? 1 : 0;
    return count;
  });
}

inline bool Shows(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines)
    if (line == text) return true;
  return false;
}

inline std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

}  // namespace recovery_test
