// A chip's fingerprint (Updater::Get_Fingerprint): an LPC chip's device serial number from the
// ISP stand-in on a pty; on an i.MX chip the recovery loader chosen from the store, a given
// file or a download, written through the SDP stand-in (behind hidapi's calls, or on a pty),
// started, found on the simulated USB bus and asked for its identifier words; and each way
// this fails.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "Updater.h"
#include "recover_test_support.h"
#include "sim_update_server.h"

namespace {

using namespace recovery_test;
using Clock = std::chrono::steady_clock;

constexpr uint32_t OTHER_SERIAL = 0x0BADF00D;
constexpr uint32_t ANY_BAUD = 115200;
constexpr const char* USB = "USB";
constexpr uint8_t IMX_ERROR_REPLY = 9;  // error code the stand-in answers for a knocked-out option

// The identifier as the loader's words give it: subindex 3 first.
Fingerprint Expected() {
  Fingerprint f;
  for (int k = 0; k < 4; ++k) f.word[k] = kUniqueId[3 - k];
  return f;
}

bool Same(const Fingerprint& a, const Fingerprint& b) {
  for (int k = 0; k < 4; ++k)
    if (a.word[k] != b.word[k]) return false;
  return true;
}

std::string Text(const Fingerprint& f) {
  char text[64];
  snprintf(text, sizeof text, "[ %08X %08X %08X %08X ]", f.word[0], f.word[1], f.word[2],
           f.word[3]);
  return text;
}

class Fingerprints : public ::testing::Test {
 protected:
  Fingerprints() : url("127.0.0.1:" + std::to_string(ClosedLoopbackPort())) {}
  ~Fingerprints() override { kvsim::HidBus::reset(); }

  // The store holding the recovery loader for serial, recorded as the latest download.
  void StoreLoader(uint32_t serial, const Bytes& file) {
    store.put(serial, "77.bird", file);
    store.settings(serial, "LATEST_DOWNLOAD=77.bird\n");
  }

  bool Run(const std::string& port, uint32_t serial, const std::string& birdPath = "",
           bool reset = false) {
    Updater updater(url.c_str(), root.path().c_str(), display);
    return updater.Get_Fingerprint(out, port, serial, birdPath, ANY_BAUD, reset);
  }

  TempDir root;
  StoreDir store{root.path()};
  std::string url;
  update_test::RecordingDisplay display;
  Fingerprint out;
};

TEST_F(Fingerprints, AnLpcChipGivesTheFourWordsOfItsDeviceSerialNumber) {
  kvsim::LpcConfig config;
  LpcRomOnPty chip(config);
  ASSERT_TRUE(Run(chip.port(), kDeadDead));
  for (int k = 0; k < 4; ++k) EXPECT_EQ(out.word[k], config.serial[k]) << k;
  EXPECT_EQ(chip.rom().commands(), std::vector<std::string>{"N"});
  // The i.MX road did not run: no store entry was looked for or made.
  EXPECT_TRUE(ReadText(store.directory(kDeadDead) + "/.settings").empty());
  EXPECT_TRUE(display.errors.empty()) << Joined(display.errors);
}

TEST_F(Fingerprints, AnImxChipOnUsbRunsTheStoredLoaderAndReportsItsIdentifierLastWordFirst) {
  LoaderFile loaderFile;
  StoreLoader(kDeadDead, loaderFile.bytes());
  LoaderOnUsb loader;
  auto rom = PlugImxRom(&loader);

  ASSERT_TRUE(Run(USB, 0)) << Joined(display.errors);
  EXPECT_TRUE(Same(out, Expected())) << Text(out);
  const std::vector<kvsim::SdpLoad> loads = rom->loads();
  ASSERT_EQ(loads.size(), 2u);
  EXPECT_EQ(loads[0].address, kLoaderAddress);
  EXPECT_EQ(loads[0].bytes, loaderFile.loaderA);
  EXPECT_EQ(loads[1].address, loaderFile.addressB);
  EXPECT_EQ(loads[1].bytes, loaderFile.loaderB);
  EXPECT_TRUE(rom->jumped());
  EXPECT_EQ(loader.identifierReads(), (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(loader.resets(), 0u);
  EXPECT_TRUE(display.errors.empty()) << Joined(display.errors);
}

TEST_F(Fingerprints, TheLoaderStartsAtTheFilesStartAddressElseAtTheDefault) {
  const struct {
    bool withStart;
    uint32_t jump;
  } cases[] = {{false, kDefaultStart}, {true, 0x20002000}};
  for (const auto& c : cases) {
    LoaderFile loaderFile;
    loaderFile.withStart = c.withStart;
    StoreLoader(kDeadDead, loaderFile.bytes());
    LoaderOnUsb loader;
    auto rom = PlugImxRom(&loader);
    EXPECT_TRUE(Run(USB, 0)) << Joined(display.errors);
    EXPECT_EQ(rom->jumpAddress(), c.jump) << c.withStart;
  }
}

TEST_F(Fingerprints, AResetRestartsTheLoaderOnceItsWordsWereRead) {
  StoreLoader(kDeadDead, LoaderFile().bytes());
  LoaderOnUsb loader;
  auto rom = PlugImxRom(&loader);
  ASSERT_TRUE(Run(USB, kDeadDead, "", true)) << Joined(display.errors);
  EXPECT_EQ(loader.resets(), 1u);
}

TEST_F(Fingerprints, ALoaderShowingTheGivenSerialNumberIsFoundToo) {
  StoreLoader(OTHER_SERIAL, LoaderFile().bytes());
  LoaderOnUsb loader(OTHER_SERIAL);
  auto rom = PlugImxRom(&loader);
  ASSERT_TRUE(Run(USB, OTHER_SERIAL)) << Joined(display.errors);
  EXPECT_TRUE(Same(out, Expected())) << Text(out);
}

TEST_F(Fingerprints, AGivenFileIsLoadedFromItsPathWhenASerialNumberIsGiven) {
  LoaderFile loaderFile;
  loaderFile.loaderA = birdgen::PatternBytes(900, 21);
  const std::string path = root.file("given.bird");
  ASSERT_TRUE(birdgen::WriteFile(path, loaderFile.bytes()));
  StoreLoader(OTHER_SERIAL, LoaderFile().bytes());  // not this one
  LoaderOnUsb loader;
  auto rom = PlugImxRom(&loader);
  ASSERT_TRUE(Run(USB, OTHER_SERIAL, path)) << Joined(display.errors);
  ASSERT_FALSE(rom->loads().empty());
  EXPECT_EQ(rom->loads()[0].bytes, loaderFile.loaderA);
}

TEST_F(Fingerprints, AGivenFileWithoutASerialNumberIsRefusedBeforeTheChipIsTouched) {
  const std::string path = root.file("given.bird");
  ASSERT_TRUE(birdgen::WriteFile(path, LoaderFile().bytes()));
  for (uint32_t serial : {0u, kDeadDead}) {
    auto rom = PlugImxRom(nullptr);
    display.errors.clear();
    EXPECT_FALSE(Run(USB, serial, path));
    const std::string refusal =
        "Add serial number or remove the bird filename to use a default recovery image.";
    EXPECT_EQ(display.errors, std::vector<std::string>{refusal});
    EXPECT_TRUE(rom->commands().empty());
  }
}

TEST_F(Fingerprints, AFileThatDoesNotLoadIsReportedWithItsPath) {
  const std::string path = root.file("broken.bird");
  ASSERT_TRUE(birdgen::WriteFile(path, birdgen::NonZlibBody(200, 5)));
  auto rom = PlugImxRom(nullptr);
  EXPECT_FALSE(Run(USB, OTHER_SERIAL, path));
  ASSERT_EQ(display.errors.size(), 1u);
  EXPECT_EQ(display.errors[0].rfind("Could not load the recovery loader from " + path + ": ", 0),
            0u)
      << display.errors[0];
  EXPECT_TRUE(rom->commands().empty());
}

TEST_F(Fingerprints, AFileWithoutLoaderBlocksIsRefusedBeforeTheChipIsTouched) {
  LoaderFile loaderFile;
  loaderFile.withLoader = false;
  StoreLoader(kDeadDead, loaderFile.bytes());
  auto rom = PlugImxRom(nullptr);
  EXPECT_FALSE(Run(USB, 0));
  EXPECT_EQ(display.errors,
            std::vector<std::string>{"Firmware file " + store.directory(kDeadDead) +
                                     "/77.bird holds no recovery loader; nothing was sent to "
                                     "the chip on USB"});
  EXPECT_TRUE(rom->commands().empty());
}

TEST_F(Fingerprints, NoBootLoaderDeviceOnUsbIsReported) {
  StoreLoader(kDeadDead, LoaderFile().bytes());
  kvsim::HidBus::reset();
  EXPECT_FALSE(Run(USB, 0));
  EXPECT_EQ(display.errors, std::vector<std::string>{"Could not open the i.MX boot loader on USB"});
}

TEST_F(Fingerprints, ABootLoaderThatRefusesTheLoaderIsReported) {
  const struct {
    const char* name;
    kvsim::ImxSdpConfig config;
  } cases[] = {
      {"silent",
       [] {
         kvsim::ImxSdpConfig c;
         c.silent = true;
         return c;
       }()},
      {"bad final status",
       [] {
         kvsim::ImxSdpConfig c;
         c.completeStatus = 0x12345678;
         return c;
       }()},
      {"error during the data",
       [] {
         kvsim::ImxSdpConfig c;
         c.strayAfterData = 1024;
         return c;
       }()},
  };
  StoreLoader(kDeadDead, LoaderFile().bytes());
  for (const auto& c : cases) {
    auto rom = PlugImxRom(nullptr, c.config);
    display.errors.clear();
    EXPECT_FALSE(Run(USB, 0)) << c.name;
    EXPECT_EQ(display.errors,
              std::vector<std::string>{"The i.MX boot loader on USB did not take the recovery "
                                       "loader from " +
                                       store.directory(kDeadDead) + "/77.bird"})
        << c.name;
    EXPECT_FALSE(rom->jumped()) << c.name;
  }
}

TEST_F(Fingerprints, AnIdentifierWordThatCannotBeReadFailsTheRoad) {
  StoreLoader(kDeadDead, LoaderFile().bytes());
  LoaderOnUsb loader;
  loader.module().withParts([](kvsim::ModuleParts& parts) {
    parts.store->setFault(kSystemCommand, 0, kUniqueIdOption, kvsim::UeiFault::ErrorCode,
                          kvsim::kEvery, IMX_ERROR_REPLY);
    return 0;
  });
  auto rom = PlugImxRom(&loader);
  EXPECT_FALSE(Run(USB, 0));
  ASSERT_EQ(display.errors.size(), 1u);
  EXPECT_EQ(
      display.errors[0].rfind("Could not read identifier word 0 from the recovery loader ==> ", 0),
      0u)
      << display.errors[0];
}

TEST_F(Fingerprints, ALoaderThatNeverShowsUpIsLookedForFifteenTimesAndNoOtherModuleIsTaken) {
  StoreLoader(kDeadDead, LoaderFile().bytes());
  LoaderOnUsb loader;
  kvsim::SimUsbModule& bystander = loader.bystander(OTHER_SERIAL);
  auto rom = PlugImxRom(nullptr);  // the jump brings nothing

  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(Run(USB, 0));
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GE(seconds, 13.5);  // 14 pauses of a second between the 15 attempts
  EXPECT_LT(seconds, 30.0);
  EXPECT_TRUE(rom->jumped());
  EXPECT_EQ(display.errors,
            std::vector<std::string>{"The recovery loader started on USB did not appear on USB"});
  EXPECT_EQ(PacketsIn(bystander), 0u);
}

TEST_F(Fingerprints, ASilentSerialPortFailsBothRoads) {
  StoreLoader(kDeadDead, LoaderFile().bytes());
  SilentPort port;
  EXPECT_FALSE(Run(port.port(), 0));
  EXPECT_EQ(display.errors, std::vector<std::string>{"The i.MX boot loader on " + port.port() +
                                                     " did not take the recovery loader from " +
                                                     store.directory(kDeadDead) + "/77.bird"});
}

TEST_F(Fingerprints, AnImxChipOnASerialPortTakesTheLoaderAfterTheLpcProbe) {
  LoaderFile loaderFile;
  StoreLoader(kDeadDead, loaderFile.bytes());
  LoaderOnUsb loader;
  ImxRomOnPty rom(&loader);
  ASSERT_TRUE(Run(rom.port(), 0)) << Joined(display.errors);
  EXPECT_TRUE(Same(out, Expected())) << Text(out);
  const std::vector<kvsim::SdpLoad> loads = rom.rom().loads();
  ASSERT_EQ(loads.size(), 2u);
  EXPECT_EQ(loads[0].bytes, loaderFile.loaderA);
  EXPECT_EQ(loads[1].bytes, loaderFile.loaderB);
  EXPECT_EQ(rom.rom().jumpAddress(), kDefaultStart);
  // The LPC probe's single question mark came first.
  const kvsim::SdpBytes received = rom.rom().line();
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received[0], '?');
}

// The i.MX serial road against each way a ROM may take the LPC probe's byte and a command it
// does not know.
class ImxSerialFingerprint : public Fingerprints,
                             public ::testing::WithParamInterface<ImxLineRom> {};

TEST_P(ImxSerialFingerprint, TheLoaderGoesInWholeAfterTheProbeByteWhateverTheRomDoesWithIt) {
  LoaderFile loaderFile;
  StoreLoader(kDeadDead, loaderFile.bytes());
  LoaderOnUsb loader;
  ImxRomOnPty rom(&loader, GetParam().config());
  ASSERT_TRUE(Run(rom.port(), 0)) << Joined(display.errors);
  EXPECT_TRUE(Same(out, Expected())) << Text(out);
  const std::vector<kvsim::SdpLoad> loads = rom.rom().loads();
  ASSERT_EQ(loads.size(), 2u);
  EXPECT_EQ(loads[0].address, kLoaderAddress);
  EXPECT_EQ(loads[0].bytes, loaderFile.loaderA);
  EXPECT_EQ(loads[1].address, loaderFile.addressB);
  EXPECT_EQ(loads[1].bytes, loaderFile.loaderB);
  EXPECT_EQ(rom.rom().jumpAddress(), kDefaultStart);
  ExpectCommandsOnTheGrid(rom.rom(), GetParam(), LoaderRoadCommands());
  EXPECT_TRUE(display.errors.empty()) << Joined(display.errors);
}

INSTANTIATE_TEST_SUITE_P(Roms, ImxSerialFingerprint, ::testing::ValuesIn(ImxLineRoms()),
                         ImxLineRomName);

// The loader from the update server: the store has no usable one for the serial number.
class DownloadedLoader : public Fingerprints {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ready()) << server.error();
    url = server.baseUrl();
    const std::string path = root.file("served.bird");
    ASSERT_TRUE(birdgen::WriteFile(path, served.bytes()));
    ASSERT_TRUE(server.setBirdFile(path));
  }

  bool Downloaded() {
    for (const std::string& target : server.targets())
      if (target.find("op=bird&") != std::string::npos) return true;
    return false;
  }

  kvsim::SimUpdateServer server;
  LoaderFile served = [] {
    LoaderFile f;
    f.loaderA = birdgen::PatternBytes(1100, 31);
    return f;
  }();
};

TEST_F(DownloadedLoader, WithoutAStoreEntryTheLatestBuildIsDownloadedQuietlyAndRun) {
  LoaderOnUsb loader;
  auto rom = PlugImxRom(&loader);
  ASSERT_TRUE(Run(USB, 0)) << Joined(display.errors);
  EXPECT_TRUE(Downloaded());
  ASSERT_FALSE(rom->loads().empty());
  EXPECT_EQ(rom->loads()[0].bytes, served.loaderA);
  // The stand-in's latest build is 1234: the file is kept under that number.
  EXPECT_FALSE(ReadText(store.directory(kDeadDead) + "/1234.bird").empty());
  // The download's own messages stayed quiet.
  EXPECT_TRUE(display.infos.empty()) << Joined(display.infos);
  EXPECT_TRUE(display.errors.empty()) << Joined(display.errors);
}

TEST_F(DownloadedLoader, AStoreEntryWithoutAUsableLatestDownloadFallsBackToTheDownload) {
  const struct {
    const char* name;
    const char* settings;
    bool storeFile;
    Bytes file;
  } cases[] = {
      {"no key", "CREATED_TIME=x\n", false, {}},
      {"empty key", "LATEST_DOWNLOAD=\n", false, {}},
      {"missing file", "LATEST_DOWNLOAD=77.bird\n", false, {}},
      {"not a firmware file", "LATEST_DOWNLOAD=77.bird\n", true, Bytes{'n', 'o', 'p', 'e'}},
      {"outside the directory", "LATEST_DOWNLOAD=../77.bird\n", false, {}},
  };
  for (const auto& c : cases) {
    TempDir fresh;
    StoreDir local(fresh.path());
    if (c.storeFile) local.put(kDeadDead, "77.bird", c.file);
    local.settings(kDeadDead, c.settings);
    // A loader that would load, were the name followed outside the module's directory.
    ASSERT_TRUE(birdgen::WriteFile(fresh.file("77.bird"), LoaderFile().bytes()));
    ASSERT_TRUE(server.forget());
    LoaderOnUsb loader;
    auto rom = PlugImxRom(&loader);
    Updater updater(url.c_str(), fresh.path().c_str(), display);
    EXPECT_TRUE(updater.Get_Fingerprint(out, USB, 0, "", ANY_BAUD, false))
        << c.name << Joined(display.errors);
    EXPECT_TRUE(Downloaded()) << c.name;
    ASSERT_FALSE(rom->loads().empty()) << c.name;
    EXPECT_EQ(rom->loads()[0].bytes, served.loaderA) << c.name;
  }
}

TEST_F(DownloadedLoader, MessagesAreShownAgainAfterAFailedDownload) {
  ASSERT_TRUE(server.addFault("*", "status 500"));
  auto rom = PlugImxRom(nullptr);
  EXPECT_FALSE(Run(USB, 0));
  // Only the road's own error: the download's messages were muted, and muting ended.
  EXPECT_EQ(display.errors,
            std::vector<std::string>{"Could not download a recovery loader for DEADDEAD"});
  EXPECT_TRUE(rom->commands().empty());
}

TEST_F(DownloadedLoader, MessagesAreShownAgainAfterASuccessfulDownload) {
  kvsim::ImxSdpConfig silent;
  silent.silent = true;
  auto rom = PlugImxRom(nullptr, silent);
  EXPECT_FALSE(Run(USB, 0));
  EXPECT_TRUE(Downloaded());
  EXPECT_EQ(display.errors.size(), 1u) << Joined(display.errors);
  EXPECT_NE(Joined(display.errors).find("did not take the recovery loader"), std::string::npos);
}

}  // namespace
