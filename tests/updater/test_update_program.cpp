// -U end to end with the updater program: the build choice that fails before any module is
// reached, and updates over TCP/IP of the stand-in module program inside a network namespace
// of the test's own (USB finds nothing here, so the update falls through to TCP/IP): the
// stand-in's flash afterwards, the attribute file, the messages and the exit status.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bird_gen.h"
#include "sim_module_process.h"
#include "sim_upgrade.h"
#include "support.h"
#include "update_test_support.h"

namespace {

using kvsim::Bytes;

constexpr const char* SERIAL_TEXT = "1234ABCD";
constexpr uint32_t SERIAL = 0x1234ABCD;
constexpr uint32_t LOADER_ADDRESS = 0x20000000;
constexpr uint32_t FIRMWARE_ADDRESS = 0x00008000;
constexpr uint32_t SERIAL_OFFSET = 0x00008100;
constexpr uint32_t DESCRIPTOR_OFFSET = 0x00008200;
constexpr uint8_t UPGRADE = 0x5F;
constexpr uint8_t DATA_UEI_SET = 0x80 | 10;
// ms for a run whose module never comes back after LOAD: its port refuses, so the updater
// goes through all its reconnect tries, each with two discoveries.
constexpr int NEVER_BACK_RUN_TIMEOUT_MS = 180000;

using update_test::ReadText;

const Bytes& Image() {
  static const Bytes image = birdgen::PatternBytes(1500, 41);
  return image;
}

birdgen::Builder Firmware(const std::string& model = "Alder") {
  birdgen::Builder b;
  b.loader(LOADER_ADDRESS, birdgen::PatternBytes(200, 3))
      .firmware(FIRMWARE_ADDRESS, Image())
      .offsets(SERIAL_OFFSET, DESCRIPTOR_OFFSET)
      .descriptor({"1300", "2.15.3", "00000000", model});
  return b;
}

Bytes Installed() {
  return update_test::Personalised(Image(), FIRMWARE_ADDRESS, SERIAL_OFFSET, DESCRIPTOR_OFFSET,
                                   SERIAL);
}

// The updater program with -i <store> and the words.
RunResult RunUpdater(const std::string& store, const std::vector<std::string>& words,
                     int timeoutMs = kDefaultRunTimeoutMs) {
  // The update server's address names a closed loopback port: no request leaves the host.
  static const std::string server = "127.0.0.1:" + std::to_string(ClosedLoopbackPort());
  std::vector<std::string> argv = {KV_UPDATER_BINARY, "-i", store, "-u", server};
  argv.insert(argv.end(), words.begin(), words.end());
  return RunProgram(argv, {}, timeoutMs);
}

std::string ModuleDir(const TempDir& store) { return store.path() + "/updater/" + SERIAL_TEXT; }

void Prepare(const TempDir& store, const std::string& settings,
             const std::vector<uint32_t>& builds) {
  ASSERT_EQ(std::system(("mkdir -p " + ModuleDir(store)).c_str()), 0);
  for (uint32_t build : builds)
    ASSERT_TRUE(Firmware().write(ModuleDir(store) + "/" + std::to_string(build) + ".bird"));
  if (!settings.empty()) {
    std::ofstream out(ModuleDir(store) + "/.settings");
    out << settings;
  }
}

// --- No module reached ---------------------------------------------------------------------------

TEST(UpdateProgram, WithoutAnyRecordedBuildNothingIsInstalled) {
  TempDir store;
  const RunResult run = RunUpdater(store.path(), {"-U", "-d", SERIAL_TEXT});

  EXPECT_TRUE(run.exitedWith(1)) << run.out << run.err;
  EXPECT_EQ(run.err, "Could not find valid build for this device.\n");
  EXPECT_EQ(run.out.find("New firmware is available"), std::string::npos) << run.out;
  // The module got its directory and attribute file all the same.
  EXPECT_NE(ReadText(ModuleDir(store) + "/.settings").find("CREATED_TIME="), std::string::npos);
}

TEST(UpdateProgram, AGivenBuildThatIsNotStoredFailsWithoutDownloading) {
  TempDir store;
  Prepare(store, "", {1300});
  const RunResult run = RunUpdater(store.path(), {"-U", "-d", SERIAL_TEXT, "-b", "1250"});

  EXPECT_TRUE(run.exitedWith(1)) << run.out << run.err;
  EXPECT_EQ(run.err, "Failed to load bird file\n");
  EXPECT_NE(run.out.find("Updating firmware with build: 1250\n"), std::string::npos) << run.out;
}

// --- Over TCP/IP, inside a network namespace -----------------------------------------------------

class UpdateInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace())
      GTEST_SKIP() << "runs only inside the network namespace that "
                      "UpdateProgram.RunsInsideANetworkNamespace makes";
    for (const std::string& name : InterfaceNames())
      ASSERT_EQ(name, "lo") << "not inside the test's namespace: no discovery traffic is sent";
    ASSERT_TRUE(RepliesComeFromLoopback());
  }

  // The stand-in with the upgrade conversation, writing its flash to a file at REBOOT.
  void StartModule(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(),
                     {"--tcp", "0", "--discovery", "--upgrade", "--serial", SERIAL_TEXT,
                      "--address", "6", "--model", "4", "--flash-dump", FlashPath()});
    module = std::make_unique<kvsim::SimModuleProcess>(arguments);
    ASSERT_TRUE(module->ready()) << module->error();
  }

  std::string FlashPath() const { return files.file("flash.txt"); }

  // The stand-in's flash at the firmware's address.
  Bytes Flash(size_t length) const {
    std::optional<kvsim::SimMemory> memory = kvsim::parseMemoryDump(ReadText(FlashPath()));
    return memory ? memory->read(FIRMWARE_ADDRESS, length) : Bytes{};
  }

  // Upgrade requests with that option in the stand-in's record.
  size_t RequestsReceived(uint8_t option) {
    size_t count = 0;
    for (const kvsim::Record& record : module->dump())
      if (record.direction == kvsim::Direction::In && record.bytes.size() >= 4 &&
          record.bytes[2] == UPGRADE && record.bytes[3] == option)
        ++count;
    return count;
  }

  void ExpectInstalled(const RunResult& run, const std::string& transfer) {
    EXPECT_TRUE(run.exitedWith(0)) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    const size_t last = run.out.rfind('\n', run.out.size() >= 2 ? run.out.size() - 2 : 0);
    EXPECT_TRUE(!run.out.empty() && run.out.back() == '\n' &&
                update_test::IsUpdateTimeLine(run.out.substr(last + 1, run.out.size() - last - 2)))
        << run.out;
    EXPECT_EQ(Flash(Image().size()), Installed());
    const std::string settings = ReadText(ModuleDir(store) + "/.settings");
    EXPECT_EQ(update_test::SettingsValue(settings, "LATEST_TRANSFER"), transfer) << settings;
    EXPECT_TRUE(update_test::IsTimeText(update_test::SettingsValue(settings, "LAST_TRANSFER_DATE")))
        << settings;
  }

  TempDir store;
  TempDir files;
  std::unique_ptr<kvsim::SimModuleProcess> module;
};

TEST_F(UpdateInNamespace, AGivenFileReachesAModuleThatRestartsIntoItsLoader) {
  StartModule({"--after-load", "drop:200"});
  const std::string path = files.file("given.bird");
  ASSERT_TRUE(Firmware().write(path));

  const RunResult run = RunUpdater(store.path(), {"-U", "-d", SERIAL_TEXT, "-f", path});

  ExpectInstalled(run, path);
  EXPECT_NE(run.out.find("Updating from Birdfile: " + path + "\n"), std::string::npos) << run.out;
  EXPECT_GT(RequestsReceived(DATA_UEI_SET), 0u);
}

TEST_F(UpdateInNamespace, AStoredBuildReachesAModuleThatReturnsWithoutItsSerialNumber) {
  StartModule({"--after-load", "drop:200", "--return", "deadbead"});
  Prepare(store, "", {1300});

  const RunResult run = RunUpdater(store.path(), {"-U", "-d", SERIAL_TEXT, "-b", "1300"});

  ExpectInstalled(run, "1300.bird");
  EXPECT_NE(run.out.find("Updating firmware with build: 1300\n"), std::string::npos) << run.out;
}

TEST_F(UpdateInNamespace, TheLatestDownloadGoesAsDataPacketsWithMZero) {
  StartModule({});
  Prepare(store, "LATEST_DOWNLOAD=1200.bird\nLATEST_TRANSFER=1100.bird\n", {1200, 1100});

  const RunResult run = RunUpdater(store.path(), {"-U", "-d", SERIAL_TEXT, "-m", "0"});

  ExpectInstalled(run, "1200.bird");
  EXPECT_NE(run.out.find("Updating with the Latest Download\nUpdating firmware with build: 1200\n"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(RequestsReceived(DATA_UEI_SET), 0u);
}

// LOAD goes unanswered and the link drops: the upgrade conversation itself reconnects over TCP/IP,
// under the module's own serial number or the default one, and takes the loader's announcement.
struct SilentLoadCase {
  const char* name;
  std::vector<std::string> standIn;  // options of the stand-in
};

class UpdateInNamespaceAfterSilentLoad : public UpdateInNamespace,
                                         public ::testing::WithParamInterface<SilentLoadCase> {};

TEST_P(UpdateInNamespaceAfterSilentLoad, TheConversationReconnectsOverTcp) {
  StartModule(GetParam().standIn);
  const std::string path = files.file("given.bird");
  ASSERT_TRUE(Firmware().write(path));

  // The conversation's log (package 0x400) tells how LOAD was answered.
  const RunResult run =
      RunUpdater(store.path(), {"-U", "-d", SERIAL_TEXT, "-f", path, "-X", "0x400"});

  EXPECT_TRUE(run.exitedWith(0)) << run.out << run.err;
  EXPECT_EQ(Flash(Image().size()), Installed());
  EXPECT_EQ(RequestsReceived(2), 1u);  // one LOAD
  EXPECT_NE(run.err.find("NETWORK: Loader validated start (Reconnect)\n"), std::string::npos)
      << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Tcp, UpdateInNamespaceAfterSilentLoad,
    ::testing::Values(SilentLoadCase{"same_serial", {"--after-load", "silent-drop"}},
                      SilentLoadCase{"default_serial",
                                     {"--after-load", "silent-drop", "--return", "deadbead"}}),
    [](const ::testing::TestParamInfo<SilentLoadCase>& param) {
      return std::string(param.param.name);
    });

TEST_F(UpdateInNamespace, AFileForAnotherModelIsRefusedUnlessOverridden) {
  StartModule({});
  const std::string path = files.file("other.bird");
  ASSERT_TRUE(Firmware("Juniper").write(path));

  const RunResult refused = RunUpdater(store.path(), {"-U", "-d", SERIAL_TEXT, "-f", path});

  EXPECT_TRUE(refused.exitedWith(1)) << refused.out << refused.err;
  EXPECT_EQ(refused.err,
            "Connected device model and Bird file model do not match [Alder] (0)\nBirdfile failed "
            "validation\n");
  EXPECT_EQ(RequestsReceived(0), 0u);  // no INIT

  const RunResult overridden =
      RunUpdater(store.path(), {"-U", "-d", SERIAL_TEXT, "-f", path, "-OVERRIDE"});

  ExpectInstalled(overridden, path);
}

TEST_F(UpdateInNamespace, AModuleThatNeverComesBackLeavesOneMessage) {
  StartModule({"--after-load", "drop:200", "--return", "never"});
  const std::string path = files.file("given.bird");
  ASSERT_TRUE(Firmware().write(path));

  const RunResult run =
      RunUpdater(store.path(), {"-U", "-d", SERIAL_TEXT, "-f", path}, NEVER_BACK_RUN_TIMEOUT_MS);

  EXPECT_TRUE(run.exitedWith(1)) << run.out << run.err;
  const std::string head = "Update of module [1234ABCD] failed after its loader was started (";
  const std::string tail =
      "); the module may be waiting in its loader. Power-cycle the module, then run the "
      "update again; if it does not start, recover it with -U -t RECOVER.\n";
  EXPECT_EQ(run.err.compare(0, head.size(), head), 0) << run.err;
  EXPECT_TRUE(run.err.size() > head.size() + tail.size() &&
              run.err.compare(run.err.size() - tail.size(), tail.size(), tail) == 0)
      << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  EXPECT_EQ(ReadText(ModuleDir(store) + "/.settings").find("LATEST_TRANSFER="), std::string::npos);
}

// Runs the tests above in a copy of this program inside a fresh network namespace, so that no
// discovery datagram can leave through a real interface.
TEST(UpdateProgram, RunsInsideANetworkNamespace) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespace("UpdateInNamespace.*:*/UpdateInNamespaceAfterSilentLoad.*");
}

}  // namespace
