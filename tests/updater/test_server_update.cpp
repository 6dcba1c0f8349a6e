// The update server on the update road: -U without -b asks the stand-in update server for the
// module's latest build and installs it from the store, falls back to the recorded builds when
// the server's build is missing or the server does not answer; and -G -U downloads a build and
// installs exactly that one. In process against a stand-in module on the simulated USB bus,
// and with the updater program against the stand-in module program over TCP/IP inside a
// network namespace of the test's own.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Updater.h"
#include "bird_gen.h"
#include "server_command_test_support.h"
#include "sim_module_process.h"
#include "sim_update_server.h"
#include "sim_upgrade.h"
#include "support.h"
#include "update_test_support.h"

namespace {

using namespace server_test;
using kvsim::Bytes;

constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kFirmwareAddress = 0x00008000;
constexpr uint32_t kSerialOffset = 0x00008100;
constexpr uint32_t kDescriptorOffset = 0x00008200;
constexpr uint8_t kUpgrade = 0x5F;

const char* const kNewFirmware =
    "New firmware is available.  Updater will proceed if valid firmware is found locally.";

// A build's file: its image differs per build, so the flash shows which one was installed.
struct Build {
  uint32_t number;

  Bytes image() const { return birdgen::PatternBytes(1500, number); }
  birdgen::Builder file() const {
    birdgen::Builder b;
    b.loader(kLoaderAddress, birdgen::PatternBytes(200, 3))
        .firmware(kFirmwareAddress, image())
        .offsets(kSerialOffset, kDescriptorOffset)
        .descriptor({std::to_string(number), "2.15.3", "00000000", "Alder"});
    return b;
  }
  Bytes installed() const {
    return update_test::Personalised(image(), kFirmwareAddress, kSerialOffset, kDescriptorOffset,
                                     kSerial);
  }
};

// --- In process, over the simulated USB bus ------------------------------------------------------

class ServerRoad : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ClearClientEnvironment(); }

  void SetUp() override {
    ASSERT_TRUE(server.ready()) << server.error();
    updater.Set_UEIBytes_Load(true);
    sim = &usb.add(update_test::StandIn{});
  }

  std::string ModuleDir() const { return store.file(kSerialText); }

  void Store(const Build& build) {
    ASSERT_EQ(std::system(("mkdir -p " + ModuleDir()).c_str()), 0);
    ASSERT_TRUE(build.file().write(ModuleDir() + "/" + std::to_string(build.number) + ".bird"));
  }

  void Record(const std::string& settings) {
    ASSERT_EQ(std::system(("mkdir -p " + ModuleDir()).c_str()), 0);
    std::ofstream(ModuleDir() + "/.settings") << settings;
  }

  // The stand-in names this build as the latest.
  void Latest(uint32_t build) {
    ASSERT_TRUE(server.setBody("qu", "ok\n" + std::to_string(build) + "\nfw-1\n"));
  }

  Bytes Flash(size_t length) {
    return sim->withParts([&](kvsim::ModuleParts& parts) {
      return parts.upgrade->flash().read(kFirmwareAddress, length);
    });
  }

  bool UpgradeTraffic() { return !update_test::ReceivedCommands(*sim, kUpgrade).empty(); }

  std::string Settings() const { return ReadText(ModuleDir() + "/.settings"); }

  kvsim::SimUpdateServer server;
  TempDir store;
  TempDir files;
  ServerDisplay display;
  Updater updater{server.baseUrl(kPath).c_str(), store.path().c_str(), display};
  update_test::SimulatedUsb usb;
  kvsim::SimUsbModule* sim = nullptr;
};

TEST_F(ServerRoad, TheServersLatestBuildIsInstalledFromTheStore) {
  Store(Build{1300});
  Store(Build{1200});
  Record("LATEST_DOWNLOAD=1200.bird\n");
  Latest(1300);

  ASSERT_TRUE(updater.Update_Firmware(kSerial, 0, "", 0, 0, false))
      << ::testing::PrintToString(display.errors);

  EXPECT_TRUE(Flash(Build{1300}.image().size()) == Build{1300}.installed());
  EXPECT_TRUE(display.shows("Updating firmware with build: 1300"));
  EXPECT_FALSE(display.shows(kNewFirmware));
  EXPECT_FALSE(display.shows("Updating with the Latest Download"));
  EXPECT_EQ(SettingsValue(Settings(), "LATEST_TRANSFER"), "1300.bird");
  // The update asks for the latest build only; it never downloads.
  EXPECT_EQ(server.targets(), std::vector<std::string>{std::string(kPath) + "?op=qu&sn=1234ABCD&"});
}

TEST_F(ServerRoad, ANewerBuildThatIsNotStoredIsAnnouncedAndTheLatestDownloadInstalled) {
  Store(Build{1200});
  Record("LATEST_DOWNLOAD=1200.bird\n");
  Latest(1300);

  ASSERT_TRUE(updater.Update_Firmware(kSerial, 0, "", 0, 0, false))
      << ::testing::PrintToString(display.errors);

  EXPECT_TRUE(Flash(Build{1200}.image().size()) == Build{1200}.installed());
  const std::vector<std::string>& infos = display.infos;
  const auto announced = std::find(infos.begin(), infos.end(), kNewFirmware);
  ASSERT_NE(announced, infos.end());
  ASSERT_NE(announced + 1, infos.end());
  EXPECT_EQ(*(announced + 1), "Updating with the Latest Download");
  EXPECT_TRUE(display.shows("Updating firmware with build: 1200"));
  EXPECT_EQ(Entries(ModuleDir()), (std::vector<std::string>{".settings", "1200.bird"}));
}

TEST_F(ServerRoad, AStoredServerBuildThatIsNoFirmwareFileIsAnnouncedLikeAMissingOne) {
  Store(Build{1200});
  Record("LATEST_DOWNLOAD=1200.bird\n");
  std::ofstream(ModuleDir() + "/1300.bird") << "not a firmware file";
  Latest(1300);

  ASSERT_TRUE(updater.Update_Firmware(kSerial, 0, "", 0, 0, false))
      << ::testing::PrintToString(display.errors);

  EXPECT_TRUE(display.shows(kNewFirmware));
  EXPECT_TRUE(Flash(Build{1200}.image().size()) == Build{1200}.installed());
}

struct SilentServerCase {
  const char* name;
  const char* op;  // "" for a server that refuses connections
  const char* fault;
  const char* body;  // the latest-build answer, when not faulted
};
std::ostream& operator<<(std::ostream& out, const SilentServerCase& c) { return out << c.name; }

class ServerRoadWithoutALatestBuild : public ServerRoad,
                                      public ::testing::WithParamInterface<SilentServerCase> {};

TEST_P(ServerRoadWithoutALatestBuild, FallsBackToTheRecordedBuildWithoutAnnouncingAnything) {
  const SilentServerCase& c = GetParam();
  Store(Build{1200});
  Record("LATEST_DOWNLOAD=1200.bird\n");
  if (c.body != nullptr)
    ASSERT_TRUE(server.setBody("qu", c.body));
  else if (c.op[0] == '\0')
    ASSERT_TRUE(server.refuseConnections());
  else
    ASSERT_TRUE(server.addFault(c.op, c.fault));

  ASSERT_TRUE(updater.Update_Firmware(kSerial, 0, "", 0, 0, false))
      << ::testing::PrintToString(display.errors);

  EXPECT_FALSE(display.shows(kNewFirmware));
  EXPECT_TRUE(display.shows("Updating with the Latest Download"));
  EXPECT_TRUE(Flash(Build{1200}.image().size()) == Build{1200}.installed());
}

INSTANTIATE_TEST_SUITE_P(
    Road, ServerRoadWithoutALatestBuild,
    ::testing::Values(SilentServerCase{"refused", "", "", nullptr},
                      SilentServerCase{"status_500", "qu", "status 500", nullptr},
                      SilentServerCase{"answers_no", "qu", "no", nullptr},
                      SilentServerCase{"closed", "qu", "close", nullptr},
                      SilentServerCase{"only_ok", nullptr, nullptr, "ok\n"},
                      SilentServerCase{"no_number", nullptr, nullptr, "ok\nlatest\nfw-1\n"},
                      SilentServerCase{"beyond_32_bits", nullptr, nullptr,
                                       "ok\n4294967296\nfw-1\n"}),
    [](const ::testing::TestParamInfo<SilentServerCase>& p) { return std::string(p.param.name); });

TEST_F(ServerRoad, AGivenBuildAsksTheServerNothing) {
  Store(Build{1200});
  Latest(1300);

  ASSERT_TRUE(updater.Update_Firmware(kSerial, 1200, "", 0, 0, false))
      << ::testing::PrintToString(display.errors);

  EXPECT_EQ(server.targets(), std::vector<std::string>{});
  EXPECT_TRUE(Flash(Build{1200}.image().size()) == Build{1200}.installed());
}

TEST_F(ServerRoad, ADownloadedBuildIsTheOneInstalled) {
  // What main does for -G -U: the download's build number becomes the update's build.
  ASSERT_TRUE(Build{1234}.file().write(files.file("served.bird")));
  ASSERT_TRUE(server.setBirdFile(files.file("served.bird")));
  Store(Build{1200});
  Record("LATEST_DOWNLOAD=1200.bird\n");

  const uint32_t build = updater.Download_Firmware(kSerial, "", false, false);
  ASSERT_EQ(build, kLatest) << ::testing::PrintToString(display.errors);
  ASSERT_TRUE(updater.Update_Firmware(kSerial, build, "", 0, 0, false))
      << ::testing::PrintToString(display.errors);

  EXPECT_TRUE(Flash(Build{1234}.image().size()) == Build{1234}.installed());
  const std::string settings = Settings();
  EXPECT_EQ(SettingsValue(settings, "LATEST_DOWNLOAD"), "1234.bird");
  EXPECT_EQ(SettingsValue(settings, "LATEST_TRANSFER"), "1234.bird");
}

TEST_F(ServerRoad, AFailedDownloadLeavesTheUpdateItsOwnChoice) {
  ASSERT_TRUE(server.addFault("bird", "status 500"));
  Store(Build{1200});
  Record("LATEST_DOWNLOAD=1200.bird\n");

  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
  // 1234 is the server's latest, but it is not stored: the recorded download goes in.
  ASSERT_TRUE(updater.Update_Firmware(kSerial, 0, "", 0, 0, false))
      << ::testing::PrintToString(display.errors);

  EXPECT_TRUE(display.shows(kNewFirmware));
  EXPECT_TRUE(Flash(Build{1200}.image().size()) == Build{1200}.installed());
}

// --- The program over TCP/IP, inside a network namespace -----------------------------------------

constexpr int kFlashPollMs = 20;      // ms between looks for the stand-in's flash file
constexpr int kRebootSettleMs = 300;  // ms for the stand-in to drop its link after REBOOT

class ServerUpdateInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace())
      GTEST_SKIP() << "runs only inside the network namespace that "
                      "ServerUpdateProgram.RunsInsideANetworkNamespace makes";
    ASSERT_EQ(Entries("/sys/class/net"), std::vector<std::string>{"lo"})
        << "not inside the test's namespace: no discovery traffic is sent";
    // Replies to a search sent from the namespace's second address name 127.0.0.1, where
    // the stand-in module listens.
    ASSERT_TRUE(RunProgram({"ip", "route", "replace", "local", "10.250.0.1", "dev", "lo", "table",
                            "local", "proto", "kernel", "scope", "host", "src", "127.0.0.1"})
                    .exitedWith(0));
    ClearClientEnvironment();
    server = std::make_unique<kvsim::SimUpdateServer>();
    ASSERT_TRUE(server->ready()) << server->error();
    module = std::make_unique<kvsim::SimModuleProcess>(std::vector<std::string>{
        "--tcp", "0", "--discovery", "--upgrade", "--serial", kSerialText, "--address", "6",
        "--model", "4", "--after-load", "drop:200", "--flash-dump", files.file("flash.txt")});
    ASSERT_TRUE(module->ready()) << module->error();
  }

  // Runs the updater; once the stand-in has written its flash at REBOOT it is stopped, so
  // that its port refuses connections as a restarting module's does.
  RunResult RunUntilReboot(const std::vector<std::string>& words) {
    std::vector<std::string> argv = {KV_UPDATER_BINARY, "-i", store.path(), "-u",
                                     server->baseUrl(kPath)};
    argv.insert(argv.end(), words.begin(), words.end());
    RunResult run;
    std::atomic<bool> finished{false};
    std::thread updater([&] {
      run = RunProgram(argv);
      finished = true;
    });
    struct stat info = {};
    while (!finished && stat(files.file("flash.txt").c_str(), &info) != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(kFlashPollMs));
    if (!finished) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kRebootSettleMs));
      module->stop();
    }
    updater.join();
    return run;
  }

  Bytes Flash(size_t length) const {
    std::optional<kvsim::SimMemory> memory =
        kvsim::parseMemoryDump(ReadText(files.file("flash.txt")));
    return memory ? memory->read(kFirmwareAddress, length) : Bytes{};
  }

  std::string ModuleDir() const { return store.file("updater/" + std::string(kSerialText)); }

  TempDir store;
  TempDir files;
  std::unique_ptr<kvsim::SimUpdateServer> server;
  std::unique_ptr<kvsim::SimModuleProcess> module;
};

TEST_F(ServerUpdateInNamespace, DownloadThenUpdateInstallsTheDownloadedBuild) {
  ASSERT_TRUE(Build{1234}.file().write(files.file("served.bird")));
  ASSERT_TRUE(server->setBirdFile(files.file("served.bird")));

  const RunResult run = RunUntilReboot({"-G", "-U", "-d", kSerialText});

  EXPECT_TRUE(run.exitedWith(0)) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("Build 1234 is valid\nUpdating firmware with build: 1234\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\nUpdate time: "), std::string::npos) << run.out;
  EXPECT_TRUE(Flash(Build{1234}.image().size()) == Build{1234}.installed());
  const std::string settings = ReadText(ModuleDir() + "/.settings");
  EXPECT_EQ(SettingsValue(settings, "LATEST_DOWNLOAD"), "1234.bird");
  EXPECT_EQ(SettingsValue(settings, "LATEST_TRANSFER"), "1234.bird");
  // The update took the downloaded build as given: it did not ask for the latest again.
  const std::vector<std::string> targets = server->targets();
  EXPECT_EQ(std::count(targets.begin(), targets.end(), std::string(kPath) + "?op=qu&sn=1234ABCD&"),
            1);
}

TEST_F(ServerUpdateInNamespace, UpdateWithoutABuildInstallsTheServersLatestFromTheStore) {
  ASSERT_EQ(std::system(("mkdir -p " + ModuleDir()).c_str()), 0);
  ASSERT_TRUE(Build{1300}.file().write(ModuleDir() + "/1300.bird"));
  ASSERT_TRUE(Build{1200}.file().write(ModuleDir() + "/1200.bird"));
  std::ofstream(ModuleDir() + "/.settings") << "LATEST_DOWNLOAD=1200.bird\n";
  ASSERT_TRUE(server->setBody("qu", "ok\n1300\nfw-1\n"));

  const RunResult run = RunUntilReboot({"-U", "-d", kSerialText});

  EXPECT_TRUE(run.exitedWith(0)) << run.out << run.err;
  EXPECT_EQ(run.out.find("New firmware"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Updating firmware with build: 1300\n"), std::string::npos) << run.out;
  EXPECT_TRUE(Flash(Build{1300}.image().size()) == Build{1300}.installed());
  EXPECT_EQ(SettingsValue(ReadText(ModuleDir() + "/.settings"), "LATEST_TRANSFER"), "1300.bird");
}

// Runs the tests above in a copy of this program inside a fresh network namespace, so that no
// discovery datagram can leave through a real interface.
TEST(ServerUpdateProgram, RunsInsideANetworkNamespace) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespace("ServerUpdateInNamespace.*");
}

}  // namespace
