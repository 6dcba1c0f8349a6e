// The recovery (Updater::Recover_Firmware): the fingerprint, the update server's recovery
// information, the firmware file from the store, a download or a given path, and then the LPC
// flash programming through the ISP stand-in on a pty (the blocks decoded with the
// fingerprint) or the firmware phase with the i.MX recovery loader on the simulated USB bus;
// and each way this ends early.

#include <termios.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <string>
#include <vector>

#include "Updater.h"
#include "recover_test_support.h"
#include "sim_update_server.h"

namespace {

using namespace recovery_test;

constexpr uint32_t SERIAL = 0x0012ABCD;
constexpr uint32_t OTHER_SERIAL = 0x0BADF00D;
constexpr uint32_t BUILD = 1300;
constexpr uint32_t BAUD = 115200;
constexpr uint32_t SECOND_BLOCK = 0x10000;
constexpr uint8_t ERASED = 0xFF;
const char* const FIX_ANSWER = "ok\n0012ABCD\n1300\n";

Bytes FlashAt(const kvsim::LpcBytes& flash, uint32_t address, size_t length) {
  return Bytes(flash.begin() + address, flash.begin() + address + length);
}

bool AllErased(const Bytes& bytes) {
  for (uint8_t byte : bytes)
    if (byte != ERASED) return false;
  return true;
}

bool Ran(const std::vector<std::string>& commands, const std::string& line) {
  for (const std::string& command : commands)
    if (command == line) return true;
  return false;
}

class Recovery : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ready()) << server.error();
    ASSERT_TRUE(server.setBody("fix", FIX_ANSWER));
    ASSERT_TRUE(server.setBody("builds", "ok\n1300;2.15.3\n1234;2.15.2\n"));
  }
  ~Recovery() override { kvsim::HidBus::reset(); }

  bool Recover(const std::string& port, uint32_t build = 0, uint32_t serial = 0,
               const std::string& path = "", uint32_t baud = BAUD) {
    Updater updater(server.baseUrl().c_str(), root.path().c_str(), display);
    updater.Set_UEIBytes_Load(true);
    return updater.Recover_Firmware(port, build, baud, serial, path, false);
  }

  bool AskedForRecoveryInformation() {
    for (const std::string& target : server.targets())
      if (target.find("op=fix&") != std::string::npos) return true;
    return false;
  }

  bool EndsWithTheTime() const {
    return !display.infos.empty() && update_test::IsUpdateTimeLine(display.infos.back());
  }

  TempDir root;
  StoreDir store{root.path()};
  kvsim::SimUpdateServer server;
  update_test::RecordingDisplay display;
};

// An LPC chip with its default device serial number, and firmware encoded for it.
class LpcRecovery : public Recovery {
 protected:
  const uint32_t* Key() const { return config.serial; }

  // Two blocks: one of 4100 bytes at 0 (a full chunk and a short one), one at 0x10000.
  birdgen::Builder Firmware() const {
    birdgen::Builder b;
    b.encodedFirmware(0, imageA, Key()).encodedFirmware(SECOND_BLOCK, imageB, Key());
    b.descriptor({"1300", "2.15.3", "0012ABCD", "Alder"});
    return b;
  }

  kvsim::LpcConfig config;
  Bytes imageA = birdgen::PatternBytes(4100, 51);
  Bytes imageB = birdgen::PatternBytes(700, 52);
};

TEST_F(LpcRecovery, TheServersBuildIsDecodedIntoTheFlashAndTheChipStarted) {
  store.put(SERIAL, "1300.bird", Firmware().file());
  LpcRomOnPty chip(config);

  ASSERT_TRUE(Recover(chip.port())) << Joined(display.errors);
  const kvsim::LpcBytes flash = chip.rom().flash();
  EXPECT_EQ(FlashAt(flash, 0, imageA.size()), imageA);
  // The short last chunk is copied as 256 bytes padded with erased bytes.
  EXPECT_TRUE(
      AllErased(FlashAt(flash, static_cast<uint32_t>(imageA.size()), 0x1100 - imageA.size())));
  EXPECT_EQ(FlashAt(flash, SECOND_BLOCK, imageB.size()), imageB);
  EXPECT_TRUE(chip.rom().running());
  ASSERT_FALSE(chip.rom().commands().empty());
  EXPECT_EQ(chip.rom().commands().back(), "G 0 T");

  char fp[128];
  snprintf(fp, sizeof fp, "/?brief=true&fp=%08X%%20%08X%%20%08X%%20%08X&op=fix&", config.serial[0],
           config.serial[1], config.serial[2], config.serial[3]);
  EXPECT_EQ(server.targets(), std::vector<std::string>{fp});

  const std::vector<std::string> expected = {
      "Recovering firmware with build: 1300",
      "Transferring firmware block 1 of 2, 4100 bytes",
      "Transferring firmware block 2 of 2, 700 bytes",
      "Transferred 2 blocks, 4800 total bytes",
      "Rebooting Device",
  };
  ASSERT_EQ(display.infos.size(), expected.size() + 1) << Joined(display.infos);
  EXPECT_EQ(std::vector<std::string>(display.infos.begin(), display.infos.end() - 1), expected);
  EXPECT_TRUE(EndsWithTheTime());
  EXPECT_TRUE(display.errors.empty()) << Joined(display.errors);
  // One bar per block, each cleared.
  EXPECT_EQ(display.progressSwitches, (std::vector<bool>{true, false, true, false}));
}

TEST_F(LpcRecovery, TheFingerprintIsReadAt115200BaudAndTheFlashProgrammedAtTheGivenRate) {
  constexpr int SAMPLE_MS = 1;          // ms between looks at the port's speed
  constexpr uint32_t LINE_BAUD = 9600;  // the chip's answers take their time, as on a real line
  store.put(SERIAL, "1300.bird", Firmware().file());
  LpcRomOnPty chip(config, LINE_BAUD);
  std::atomic<bool> stop{false};
  std::vector<speed_t> speeds;  // each speed the port had, in order
  std::thread sampler([&] {
    while (!stop) {
      termios settings;
      if (tcgetattr(chip.slave(), &settings) == 0) {
        const speed_t speed = cfgetospeed(&settings);
        if (speeds.empty() || speeds.back() != speed) speeds.push_back(speed);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(SAMPLE_MS));
    }
  });
  const bool recovered = Recover(chip.port(), 0, 0, "", 9600);
  stop = true;
  sampler.join();

  ASSERT_TRUE(recovered) << Joined(display.errors);
  const auto fast = std::find(speeds.begin(), speeds.end(), static_cast<speed_t>(B115200));
  const auto slow = std::find(speeds.begin(), speeds.end(), static_cast<speed_t>(B9600));
  ASSERT_NE(fast, speeds.end());
  ASSERT_NE(slow, speeds.end());
  EXPECT_LT(fast, slow);
  EXPECT_EQ(FlashAt(chip.rom().flash(), 0, imageA.size()), imageA);
}

TEST_F(LpcRecovery, AFourByteImageEndsTheBlocksToWrite) {
  birdgen::Builder b;
  b.encodedFirmware(0, imageA, Key()).encodedFirmware(0x8000, Bytes{1, 2, 3, 4}, Key());
  b.encodedFirmware(SECOND_BLOCK, imageB, Key());
  store.put(SERIAL, "1300.bird", b.file());
  LpcRomOnPty chip(config);

  ASSERT_TRUE(Recover(chip.port())) << Joined(display.errors);
  const kvsim::LpcBytes flash = chip.rom().flash();
  EXPECT_EQ(FlashAt(flash, 0, imageA.size()), imageA);
  EXPECT_TRUE(AllErased(FlashAt(flash, 0x8000, 0x100)));
  EXPECT_TRUE(AllErased(FlashAt(flash, SECOND_BLOCK, imageB.size())));
  EXPECT_TRUE(Shows(display.infos, "Transferred 1 blocks, 4100 total bytes"))
      << Joined(display.infos);
}

TEST_F(LpcRecovery, AFileThatWouldWriteNothingFailsAndLeavesTheChipAlone) {
  birdgen::Builder b;
  b.encodedFirmware(0, Bytes{1, 2, 3, 4}, Key()).encodedFirmware(SECOND_BLOCK, imageB, Key());
  store.put(SERIAL, "1300.bird", b.file());
  LpcRomOnPty chip(config);

  EXPECT_FALSE(Recover(chip.port()));
  EXPECT_EQ(display.errors,
            std::vector<std::string>{"No firmware blocks to write to the chip on " + chip.port()});
  EXPECT_FALSE(Ran(chip.rom().commands(), "E 0 29"));
  EXPECT_FALSE(chip.rom().running());
  EXPECT_FALSE(Shows(display.infos, "Rebooting Device"));
  EXPECT_TRUE(EndsWithTheTime());
}

TEST_F(LpcRecovery, AChipThatWillNotSwitchItsEchoBackOnIsNotStartedAndTheRecoveryFails) {
  store.put(SERIAL, "1300.bird", Firmware().file());
  config.refuse.push_back({"A 1", 12});
  LpcRomOnPty chip(config);

  EXPECT_FALSE(Recover(chip.port()));
  ASSERT_EQ(display.errors.size(), 1u);
  EXPECT_EQ(display.errors[0].rfind("Recovery Error transfering data to device ==> [", 0), 0u)
      << display.errors[0];
  // The flash holds the firmware, but the chip was not started.
  EXPECT_EQ(FlashAt(chip.rom().flash(), 0, imageA.size()), imageA);
  EXPECT_FALSE(chip.rom().running());
  EXPECT_FALSE(Shows(display.infos, "Rebooting Device"));
  EXPECT_TRUE(EndsWithTheTime());
}

TEST_F(LpcRecovery, AFailedStepNamesTheStepAndThePort) {
  const struct {
    const char* prefix;
    const char* message;
  } cases[] = {
      {"U ", "Could not unlock the flash of the chip on "},
      {"E ", "Could not erase the flash of the chip on "},
      {"C ", "Could not copy "},
  };
  for (const auto& c : cases) {
    kvsim::LpcConfig refusing = config;
    refusing.refuse.push_back({c.prefix, 12});
    store.put(SERIAL, "1300.bird", Firmware().file());
    LpcRomOnPty chip(refusing);
    display.errors.clear();
    EXPECT_FALSE(Recover(chip.port())) << c.prefix;
    ASSERT_EQ(display.errors.size(), 1u) << c.prefix;
    EXPECT_EQ(display.errors[0].rfind(c.message, 0), 0u) << display.errors[0];
    EXPECT_NE(display.errors[0].find(chip.port()), std::string::npos) << display.errors[0];
    EXPECT_FALSE(chip.rom().running());
  }
}

TEST_F(LpcRecovery, AGivenFileNeedsNoServerAndTheBuildArgumentHasNoEffect) {
  const std::string path = root.file("given.bird");
  ASSERT_TRUE(Firmware().write(path));
  LpcRomOnPty chip(config);

  ASSERT_TRUE(Recover(chip.port(), 999, 0, path)) << Joined(display.errors);
  EXPECT_TRUE(server.targets().empty());
  EXPECT_EQ(FlashAt(chip.rom().flash(), 0, imageA.size()), imageA);
  ASSERT_FALSE(display.infos.empty());
  EXPECT_EQ(display.infos[0], "Recovering from Birdfile: " + path);
}

TEST_F(LpcRecovery, TheBuildArgumentReplacesTheServersBuild) {
  store.put(SERIAL, "1300.bird", Firmware().file());
  Bytes other = birdgen::PatternBytes(512, 53);
  birdgen::Builder b;
  b.encodedFirmware(0, other, Key());
  store.put(SERIAL, "1250.bird", b.file());
  LpcRomOnPty chip(config);

  ASSERT_TRUE(Recover(chip.port(), 1250)) << Joined(display.errors);
  EXPECT_TRUE(AskedForRecoveryInformation());
  EXPECT_EQ(FlashAt(chip.rom().flash(), 0, other.size()), other);
  EXPECT_TRUE(Shows(display.infos, "Recovering firmware with build: 1250"))
      << Joined(display.infos);
}

TEST_F(LpcRecovery, APersonalisableFileIsRefusedBeforeTheChipIsTouched) {
  birdgen::Builder b = Firmware();
  b.offsets(0x100, 0x200);
  store.put(SERIAL, "1300.bird", b.file());
  LpcRomOnPty chip(config);

  EXPECT_FALSE(Recover(chip.port()));
  EXPECT_EQ(display.errors, std::vector<std::string>{"Updater does not support offline recovery"});
  EXPECT_FALSE(EndsWithTheTime());
  EXPECT_EQ(chip.rom().commands(), std::vector<std::string>{"N"});
}

TEST_F(LpcRecovery, WithoutRecoveryInformationNothingIsWritten) {
  const char* answers[] = {"no\n", "ok\n"};
  for (const char* answer : answers) {
    ASSERT_TRUE(server.setBody("fix", answer));
    LpcRomOnPty chip(config);
    display.errors.clear();
    EXPECT_FALSE(Recover(chip.port())) << answer;
    EXPECT_EQ(
        display.errors,
        std::vector<std::string>{"Failed to retrieve recovery information from Zentrova server"})
        << answer;
    EXPECT_EQ(chip.rom().commands(), std::vector<std::string>{"N"}) << answer;
  }
}

TEST_F(LpcRecovery, AStoredFileThatDoesNotLoadFails) {
  store.put(SERIAL, "1300.bird", birdgen::NonZlibBody(300, 3));
  ASSERT_TRUE(server.addFault("bird", "no"));
  LpcRomOnPty chip(config);
  EXPECT_FALSE(Recover(chip.port()));
  ASSERT_FALSE(display.errors.empty());
  EXPECT_EQ(display.errors.back(), "Failed to load bird file");
  EXPECT_EQ(chip.rom().commands(), std::vector<std::string>{"N"});
}

TEST_F(LpcRecovery, AMissingBuildIsDownloadedFirst) {
  const std::string served = root.file("served.bird");
  ASSERT_TRUE(Firmware().write(served));
  ASSERT_TRUE(server.setBirdFile(served));
  LpcRomOnPty chip(config);

  ASSERT_TRUE(Recover(chip.port())) << Joined(display.errors);
  EXPECT_TRUE(Shows(display.infos, "Downloading firmware build 1300")) << Joined(display.infos);
  EXPECT_EQ(FlashAt(chip.rom().flash(), 0, imageA.size()), imageA);
}

TEST_F(LpcRecovery, BuildZeroTakesTheFileUnderTheNumberTheDownloadReturns) {
  ASSERT_TRUE(server.setBody("fix", "ok\n0012ABCD\n0\n"));
  const std::string served = root.file("served.bird");
  ASSERT_TRUE(Firmware().write(served));
  ASSERT_TRUE(server.setBirdFile(served));
  LpcRomOnPty chip(config);

  ASSERT_TRUE(Recover(chip.port())) << Joined(display.errors);
  // The stand-in's latest build is 1234.
  EXPECT_TRUE(Shows(display.infos, "Recovering firmware with build: 1234"))
      << Joined(display.infos);
  EXPECT_FALSE(ReadText(store.directory(SERIAL) + "/1234.bird").empty());
  EXPECT_EQ(FlashAt(chip.rom().flash(), 0, imageA.size()), imageA);
}

TEST_F(Recovery, WithoutAFingerprintNothingElseHappens) {
  store.put(kDeadDead, "77.bird", LoaderFile().bytes());
  store.settings(kDeadDead, "LATEST_DOWNLOAD=77.bird\n");
  SilentPort port;
  EXPECT_FALSE(Recover(port.port()));
  ASSERT_FALSE(display.errors.empty());
  EXPECT_EQ(display.errors.back(), "Could not get Device Identifier");
  EXPECT_FALSE(AskedForRecoveryInformation());
  EXPECT_FALSE(EndsWithTheTime());
}

// An i.MX chip on USB whose recovery loader is stored under the serial number the recovery
// is given (or the default one), and the module's firmware stored under the server's answer.
class ImxRecovery : public Recovery {
 protected:
  void StoreFiles(uint32_t loaderSerial) {
    store.put(loaderSerial, "77.bird", LoaderFile().bytes());
    store.settings(loaderSerial, "LATEST_DOWNLOAD=77.bird\n");
    birdgen::Builder b;
    b.firmware(kFirmwareAddress, image).firmware(0x00020000, tail);
    b.descriptor({"1300", "2.15.3", "0012ABCD", "Alder"});
    store.put(SERIAL, "1300.bird", b.file());
  }

  Bytes image = birdgen::PatternBytes(1800, 61);
  Bytes tail = birdgen::PatternBytes(300, 62);
};

TEST_F(ImxRecovery, TheFirmwareGoesThroughTheStartedLoaderIntoTheModulesFlash) {
  StoreFiles(kDeadDead);
  LoaderOnUsb loader;
  auto rom = PlugImxRom(&loader);

  ASSERT_TRUE(Recover("USB")) << Joined(display.errors);
  const kvsim::SimMemory flash = loader.flash();
  EXPECT_EQ(flash.read(kFirmwareAddress, image.size()), image);
  EXPECT_EQ(flash.read(0x00020000, tail.size()), tail);
  EXPECT_TRUE(rom->jumped());
  EXPECT_TRUE(AskedForRecoveryInformation());
  EXPECT_TRUE(EndsWithTheTime());
  EXPECT_TRUE(display.errors.empty()) << Joined(display.errors);
}

TEST_F(ImxRecovery, ALoaderUnderTheDefaultSerialNumberIsTakenWhenAnotherIsGiven) {
  StoreFiles(OTHER_SERIAL);
  LoaderOnUsb loader;  // shows 0xDEADDEAD
  auto rom = PlugImxRom(&loader);

  ASSERT_TRUE(Recover("USB", 0, OTHER_SERIAL)) << Joined(display.errors);
  EXPECT_EQ(loader.flash().read(kFirmwareAddress, image.size()), image);
}

TEST_F(ImxRecovery, AFileWithoutFirmwareBlocksIsRefused) {
  StoreFiles(kDeadDead);
  birdgen::Builder b;
  b.loader(kLoaderAddress, birdgen::PatternBytes(64, 1))
      .descriptor({"1300", "2.15.3", "0012ABCD", "Alder"});
  store.put(SERIAL, "1300.bird", b.file());
  LoaderOnUsb loader;
  auto rom = PlugImxRom(&loader);

  EXPECT_FALSE(Recover("USB"));
  EXPECT_EQ(display.errors,
            std::vector<std::string>{"Bird file " + store.directory(SERIAL) +
                                     "/1300.bird holds no firmware blocks; nothing was sent"});
  EXPECT_TRUE(loader.flash().empty());
  EXPECT_TRUE(EndsWithTheTime());
}

TEST_F(ImxRecovery, AFirmwareTransferTheLoaderRefusesFails) {
  StoreFiles(kDeadDead);
  LoaderOnUsb loader;
  loader.module().withParts([](kvsim::ModuleParts& parts) {
    parts.upgrade->setFault(kvsim::UpgradeFault::PrepareError, kvsim::kEvery);
    return 0;
  });
  auto rom = PlugImxRom(&loader);

  EXPECT_FALSE(Recover("USB"));
  ASSERT_FALSE(display.errors.empty());
  EXPECT_EQ(display.errors.back(), "Failed to transfer firmware");
  EXPECT_TRUE(EndsWithTheTime());
}

// The whole i.MX serial road against each way a ROM may take the LPC probe's byte and a
// command it does not know.
class ImxSerialRecovery : public ImxRecovery, public ::testing::WithParamInterface<ImxLineRom> {};

TEST_P(ImxSerialRecovery, TheFirmwareReachesTheFlashWhateverTheRomDoesWithTheProbeByte) {
  StoreFiles(kDeadDead);
  LoaderOnUsb loader;
  ImxRomOnPty rom(&loader, GetParam().config());

  ASSERT_TRUE(Recover(rom.port())) << Joined(display.errors);
  const kvsim::SimMemory flash = loader.flash();
  EXPECT_EQ(flash.read(kFirmwareAddress, image.size()), image);
  EXPECT_EQ(flash.read(0x00020000, tail.size()), tail);
  const LoaderFile loaderFile;
  const std::vector<kvsim::SdpLoad> loads = rom.rom().loads();
  ASSERT_EQ(loads.size(), 2u);
  EXPECT_EQ(loads[0].bytes, loaderFile.loaderA);
  EXPECT_EQ(loads[1].bytes, loaderFile.loaderB);
  EXPECT_TRUE(rom.rom().jumped());
  ExpectCommandsOnTheGrid(rom.rom(), GetParam(), LoaderRoadCommands());
  EXPECT_TRUE(AskedForRecoveryInformation());
  EXPECT_TRUE(EndsWithTheTime());
  EXPECT_TRUE(display.errors.empty()) << Joined(display.errors);
}

INSTANTIATE_TEST_SUITE_P(Roms, ImxSerialRecovery, ::testing::ValuesIn(ImxLineRoms()),
                         ImxLineRomName);

}  // namespace
