// -U -t RECOVER end to end. An LPC chip: the updater program against the ISP stand-in on a pty
// and the update-server stand-in, which gives the recovery information and the firmware encoded
// for the chip. An i.MX chip: the updater built over the simulated USB bus, with the i.MX ROM
// stand-in behind hidapi's calls ("USB") or on a pty, and the recovery loader that the ROM's
// jump brings onto the bus, whose flash the run leaves in a file. Every run has its own store
// (-i).

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "recover_test_support.h"
#include "sim_update_server.h"
#include "sim_upgrade.h"

namespace {

using namespace recovery_test;

constexpr uint32_t SERIAL = 0x0012ABCD;
constexpr uint32_t SECOND_BLOCK = 0x10000;

class RecoverProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ready()) << server.error();
    ASSERT_TRUE(server.setBody("fix", "ok\n0012ABCD\n1300\n"));
    ASSERT_TRUE(server.setBody("builds", "ok\n1300;2.15.3\n"));
  }

  RunResult Run(const std::string& binary, const std::vector<std::string>& words,
                const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {binary, "-i", dir.path(), "-u", server.baseUrl()};
    argv.insert(argv.end(), words.begin(), words.end());
    return RunProgram(argv, env);
  }

  static bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
  }

  TempDir dir;
  StoreDir store{dir.file("updater")};
  kvsim::SimUpdateServer server;
};

TEST_F(RecoverProgram, AnLpcChipGetsTheServersFirmwareDecodedIntoItsFlash) {
  kvsim::LpcConfig config;
  const Bytes imageA = birdgen::PatternBytes(4100, 71);
  const Bytes imageB = birdgen::PatternBytes(1000, 72);
  birdgen::Builder b;
  b.encodedFirmware(0, imageA, config.serial).encodedFirmware(SECOND_BLOCK, imageB, config.serial);
  b.descriptor({"1300", "2.15.3", "0012ABCD", "Alder"});
  const std::string served = dir.file("served.bird");
  ASSERT_TRUE(b.write(served));
  ASSERT_TRUE(server.setBirdFile(served));
  LpcRomOnPty chip(config);

  const RunResult result = Run(KV_UPDATER_BINARY, {"-U", "-t", "RECOVER", "-s", chip.port()});
  EXPECT_TRUE(result.exitedWith(0)) << result.out << result.err;
  const kvsim::LpcBytes flash = chip.rom().flash();
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + imageA.size()), imageA);
  EXPECT_EQ(Bytes(flash.begin() + SECOND_BLOCK, flash.begin() + SECOND_BLOCK + imageB.size()),
            imageB);
  ASSERT_FALSE(chip.rom().commands().empty());
  EXPECT_EQ(chip.rom().commands().back(), "G 0 T");
  EXPECT_TRUE(HasLine(result.out, "Rebooting Device")) << result.out;
  EXPECT_NE(result.out.find("\nUpdate time: "), std::string::npos) << result.out;
}

// The i.MX road: the recovery loader stored for the default serial number, the module's
// firmware stored under the server's build.
class ImxRecoverProgram : public RecoverProgram {
 protected:
  void SetUp() override {
    RecoverProgram::SetUp();
    store.put(kDeadDead, "77.bird", LoaderFile().bytes());
    store.settings(kDeadDead, "LATEST_DOWNLOAD=77.bird\n");
    birdgen::Builder b;
    b.firmware(kFirmwareAddress, image).descriptor({"1300", "2.15.3", "0012ABCD", "Alder"});
    store.put(SERIAL, "1300.bird", b.file());
  }

  void ExpectRecovered(const RunResult& result) {
    EXPECT_TRUE(result.exitedWith(0)) << result.out << result.err;
    std::optional<kvsim::SimMemory> flash = kvsim::parseMemoryDump(ReadText(flashDump));
    ASSERT_TRUE(flash.has_value()) << "no flash dump at " << flashDump;
    EXPECT_EQ(flash->read(kFirmwareAddress, image.size()), image);
    EXPECT_NE(result.out.find("\nUpdate time: "), std::string::npos) << result.out;
  }

  std::string LoaderVariable() const {
    return "KV_SIM_IMX_LOADER=serial=DEADDEAD,upgrade,loader,flash-dump=" + flashDump;
  }

  Bytes image = birdgen::PatternBytes(2500, 73);
  std::string flashDump = dir.file("flash.txt");
};

TEST_F(ImxRecoverProgram, OverUsbTheFirmwareEndsInTheLoadersFlash) {
  const RunResult result = Run(KV_UPDATER_SIMUSB_BINARY, {"-U", "-t", "RECOVER", "-s", "USB"},
                               {"KV_SIM_IMX_ROM=usb", LoaderVariable()});
  ExpectRecovered(result);
}

TEST_F(ImxRecoverProgram, OverASerialPortTheFirmwareEndsInTheLoadersFlash) {
  const std::string port = dir.file("imx-port");
  const RunResult result = Run(KV_UPDATER_SIMUSB_BINARY, {"-U", "-t", "RECOVER", "-s", port},
                               {"KV_SIM_IMX_ROM=serial=" + port, LoaderVariable()});
  ExpectRecovered(result);
}

}  // namespace
