// The update of a running module (Updater::Update_Firmware) against stand-in modules on the
// simulated USB bus: the build choice from the store and the attribute file, the firmware
// file with its personalisation and validation, the loader phase and the module's ways back
// after LOAD, the firmware phase with and without byte strings, each fault knob of the
// stand-in, routed updates through a stand-in router, and what is recorded afterwards.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "KeyValueStore.h"
#include "Updater.h"
#include "sim_module_process.h"
#include "sim_router.h"
#include "update_test_support.h"

namespace {

using kvsim::Bytes;
using update_test::Eventually;
using update_test::Personalised;
using update_test::ReceivedCommands;
using update_test::ReceivedRequests;
using update_test::RecordingDisplay;
using update_test::SimulatedUsb;
using update_test::StandIn;
using Clock = std::chrono::steady_clock;

constexpr uint32_t SERIAL = 0x1234ABCD;
constexpr uint32_t OTHER_SERIAL = 0x0BADF00D;
constexpr uint32_t LOADER_ADDRESS = 0x20000000;
constexpr uint32_t FIRMWARE_ADDRESS = 0x00008000;
constexpr uint32_t SERIAL_OFFSET = 0x00008100;
constexpr uint32_t DESCRIPTOR_OFFSET = 0x00008200;
constexpr uint8_t DATA_OPTION = 1;
constexpr uint8_t DATA_UEI_SET = 0x80 | 10;
constexpr uint8_t UPGRADE = 0x5F;
constexpr const char* SERIAL_DIR = "1234ABCD";

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

using update_test::ReadText;

// What a BIRD file made for a test holds.
struct Firmware {
  Bytes loader = birdgen::PatternBytes(300, 11);
  Bytes image = birdgen::PatternBytes(1200, 23);
  bool personalisable = true;
  std::string model = "Alder";
  std::string serialText = "00000000";
  bool withFirmware = true;

  birdgen::Builder builder() const {
    birdgen::Builder b;
    b.loader(LOADER_ADDRESS, loader, 1);
    if (withFirmware) b.firmware(FIRMWARE_ADDRESS, image, 2);
    if (personalisable) b.offsets(SERIAL_OFFSET, DESCRIPTOR_OFFSET);
    b.descriptor({"1300", "2.15.3", serialText, model});
    return b;
  }

  // The image the module's flash must hold after the update.
  Bytes installed(uint32_t serial) const {
    return personalisable
               ? Personalised(image, FIRMWARE_ADDRESS, SERIAL_OFFSET, DESCRIPTOR_OFFSET, serial)
               : image;
  }
};

class RoadBench : public ::testing::Test {
 protected:
  // The update server's address names a closed loopback port: no request leaves the host.
  RoadBench()
      : server("127.0.0.1:" + std::to_string(ClosedLoopbackPort())),
        updater(server.c_str(), store.path().c_str(), display) {
    updater.Set_UEIBytes_Load(true);
  }

  kvsim::SimUsbModule& Add(const StandIn& standIn) {
    kvsim::SimUsbModule& module = usb.add(standIn);
    if (sim == nullptr) sim = &module;
    return module;
  }

  // A file in the store as the module's build.
  void Store(uint32_t build, const Firmware& firmware = {}) {
    ASSERT_EQ(std::system(("mkdir -p " + ModuleDir()).c_str()), 0);
    ASSERT_TRUE(firmware.builder().write(ModuleDir() + "/" + std::to_string(build) + ".bird"));
  }

  void Attribute(const char* key, const char* value) {
    ASSERT_EQ(std::system(("mkdir -p " + ModuleDir()).c_str()), 0);
    KeyValueStore settings((ModuleDir() + "/.settings").c_str());
    settings.Add(key, value);
    settings.Save(nullptr);
  }

  std::string GivenFile(const Firmware& firmware = {}) {
    const std::string path = files.file("given.bird");
    EXPECT_TRUE(firmware.builder().write(path));
    return path;
  }

  std::string ModuleDir() const { return store.path() + "/" + SERIAL_DIR; }
  std::string Settings() const { return ReadText(ModuleDir() + "/.settings"); }

  Bytes Flash(kvsim::SimUsbModule& module, uint32_t address, size_t length) {
    return module.withParts(
        [&](kvsim::ModuleParts& parts) { return parts.upgrade->flash().read(address, length); });
  }

  bool UpgradeTraffic(kvsim::SimUsbModule& module) {
    return !ReceivedCommands(module, UPGRADE).empty();
  }

  std::string Errors() const {
    std::string all;
    for (const std::string& line : display.errors) all += line + "\n";
    return all;
  }

  TempDir store;
  TempDir files;
  RecordingDisplay display;
  std::string server;
  Updater updater;
  SimulatedUsb usb;
  kvsim::SimUsbModule* sim = nullptr;
};

// --- A given file --------------------------------------------------------------------------------

TEST_F(RoadBench, InstallsAGivenFilePersonalisedAndRecordsItsPath) {
  Add(StandIn{});
  const Firmware firmware;
  const std::string path = GivenFile(firmware);

  ASSERT_TRUE(updater.Update_Firmware(SERIAL, 0, path, 0, 0, false)) << Errors();

  EXPECT_EQ(Flash(*sim, FIRMWARE_ADDRESS, firmware.image.size()), firmware.installed(SERIAL));
  // The blocks as the stand-in saw them opened: the loader's into the running firmware, the
  // firmware's into the loader, each with its address and flags.
  const std::vector<kvsim::PreparedBlock> prepared =
      sim->withParts([](kvsim::ModuleParts& parts) { return parts.upgrade->prepared(); });
  ASSERT_EQ(prepared.size(), 2u);
  EXPECT_EQ(prepared[0].address, LOADER_ADDRESS);
  EXPECT_EQ(prepared[0].flags, 1);
  EXPECT_FALSE(prepared[0].loader);
  EXPECT_EQ(prepared[1].address, FIRMWARE_ADDRESS);
  EXPECT_EQ(prepared[1].flags, 2);
  EXPECT_TRUE(prepared[1].loader);
  EXPECT_TRUE(display.errors.empty()) << Errors();
  EXPECT_TRUE(display.shows("Updating from Birdfile: " + path));
  EXPECT_TRUE(display.shows("Transferring loader to device"));
  EXPECT_TRUE(display.shows("Transferring loader block 1 of 1, 304 bytes"));
  EXPECT_TRUE(display.shows("Starting Load on Device"));
  EXPECT_TRUE(display.shows("Transferring firmware block 1 of 1, 1204 bytes"));
  EXPECT_TRUE(display.shows("Transferred 1 blocks, 1204 total bytes"));
  ASSERT_FALSE(display.infos.empty());
  EXPECT_TRUE(update_test::IsUpdateTimeLine(display.infos.back())) << display.infos.back();
  const std::string settings = Settings();
  EXPECT_EQ(update_test::SettingsValue(settings, "LATEST_TRANSFER"), path) << settings;
  EXPECT_TRUE(update_test::IsTimeText(update_test::SettingsValue(settings, "LAST_TRANSFER_DATE")))
      << settings;
}

TEST_F(RoadBench, RefusesAFileWithoutFirmwareBeforeAnythingIsSent) {
  Add(StandIn{});
  Firmware firmware;
  firmware.withFirmware = false;
  firmware.personalisable = false;

  EXPECT_FALSE(updater.Update_Firmware(SERIAL, 0, GivenFile(firmware), 0, 0, true));

  ASSERT_EQ(display.errors.size(), 1u);
  EXPECT_NE(display.errors[0].find("holds no firmware blocks"), std::string::npos)
      << display.errors[0];
  EXPECT_TRUE(ReceivedCommands(*sim, UPGRADE).empty());
  EXPECT_EQ(Settings().find("LATEST_TRANSFER="), std::string::npos);
}

TEST_F(RoadBench, AFileWhoseSerialNumberSlotCannotBeFilledIsRefused) {
  Add(StandIn{});
  birdgen::Builder builder;
  builder.loader(LOADER_ADDRESS, birdgen::PatternBytes(40, 1))
      .firmware(FIRMWARE_ADDRESS, birdgen::PatternBytes(600, 2))
      .offsets(0, 0x00100000)  // only a descriptor slot, outside every firmware image
      .descriptor({"1300", "2.15.3", "00000000", "Alder"});
  const std::string path = files.file("slotless.bird");
  ASSERT_TRUE(builder.write(path));

  EXPECT_FALSE(updater.Update_Firmware(SERIAL, 0, path, 0, 0, false));

  EXPECT_EQ(
      display.errors,
      (std::vector<std::string>{"Could not write the serial number 1234ABCD into the firmware "
                                "of " +
                                path + "; nothing was sent"}));
  EXPECT_FALSE(UpgradeTraffic(*sim));
}

TEST_F(RoadBench, AFileThatDoesNotLoadFails) {
  Add(StandIn{});
  const std::string path = files.file("broken.bird");
  ASSERT_TRUE(birdgen::WriteFile(path, birdgen::NonZlibBody(200, 5)));

  EXPECT_FALSE(updater.Update_Firmware(SERIAL, 0, path, 0, 0, false));

  EXPECT_EQ(display.errors, (std::vector<std::string>{"Failed to load bird file"}));
  EXPECT_FALSE(UpgradeTraffic(*sim));
}

TEST_F(RoadBench, SerialNumberZeroIsRefused) {
  EXPECT_FALSE(updater.Update_Firmware(0, 0, "", 0, 0, false));
  EXPECT_EQ(display.errors,
            (std::vector<std::string>{"Update command must specify the specific device"}));
}

// --- The build choice ----------------------------------------------------------------------------

TEST_F(RoadBench, AGivenBuildIsTakenFromTheStore) {
  Add(StandIn{});
  const Firmware firmware;
  Store(1300, firmware);

  ASSERT_TRUE(updater.Update_Firmware(SERIAL, 1300, "", 0, 0, false)) << Errors();

  EXPECT_TRUE(display.shows("Updating firmware with build: 1300"));
  EXPECT_FALSE(display.shows("Updating with the Latest Download"));
  EXPECT_EQ(Flash(*sim, FIRMWARE_ADDRESS, firmware.image.size()), firmware.installed(SERIAL));
  EXPECT_NE(Settings().find("LATEST_TRANSFER=1300.bird\n"), std::string::npos) << Settings();
}

TEST_F(RoadBench, AGivenBuildThatIsNotStoredIsNotDownloaded) {
  Add(StandIn{});
  Store(1300);

  EXPECT_FALSE(updater.Update_Firmware(SERIAL, 1250, "", 0, 0, false));

  EXPECT_EQ(display.errors, (std::vector<std::string>{"Failed to load bird file"}));
  EXPECT_FALSE(UpgradeTraffic(*sim));
}

struct ChoiceCase {
  const char* name;
  const char* latestDownload;  // attribute values; null: not set
  const char* latestTransfer;
  const char* announcement;  // the information naming the choice; null: none
  uint32_t build;            // the build installed; 0: none found
};

void PrintTo(const ChoiceCase& c, std::ostream* out) { *out << c.name; }

class BuildChoice : public RoadBench, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(BuildChoice, FallsBackToTheRecordedBuilds) {
  const ChoiceCase c = GetParam();
  Add(StandIn{});
  Store(1200);
  Store(1100);
  if (c.latestDownload != nullptr) Attribute("LATEST_DOWNLOAD", c.latestDownload);
  if (c.latestTransfer != nullptr) Attribute("LATEST_TRANSFER", c.latestTransfer);

  const bool updated = updater.Update_Firmware(SERIAL, 0, "", 0, 0, false);

  EXPECT_EQ(updated, c.build != 0) << Errors();
  // No server answered, so nothing announces new firmware.
  EXPECT_FALSE(display.shows(
      "New firmware is available.  Updater will proceed if valid firmware is found locally."));
  if (c.build == 0) {
    EXPECT_EQ(display.errors,
              (std::vector<std::string>{"Could not find valid build for this device."}));
    EXPECT_FALSE(UpgradeTraffic(*sim));
    return;
  }
  EXPECT_TRUE(display.shows(c.announcement));
  EXPECT_TRUE(display.shows("Updating firmware with build: " + std::to_string(c.build)));
  EXPECT_NE(Settings().find("LATEST_TRANSFER=" + std::to_string(c.build) + ".bird\n"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Road, BuildChoice,
    ::testing::Values(ChoiceCase{"latest_download", "1200.bird", "1100.bird",
                                 "Updating with the Latest Download", 1200},
                      ChoiceCase{"latest_transfer", nullptr, "1100.bird",
                                 "Updating with the Latest Transfer", 1100},
                      ChoiceCase{"transfer_after_an_empty_download", "", "1100.bird",
                                 "Updating with the Latest Transfer", 1100},
                      ChoiceCase{"a_path_is_no_build", nullptr, "/tmp/given.bird", nullptr, 0},
                      ChoiceCase{"nothing_recorded", nullptr, nullptr, nullptr, 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(RoadBench, AModuleNewToTheStoreGetsItsDirectoryBeforeTheBuildIsChosen) {
  Add(StandIn{});

  EXPECT_FALSE(updater.Update_Firmware(SERIAL, 0, "", 0, 0, false));

  const std::string settings = Settings();
  EXPECT_NE(settings.find("CREATED_TIME="), std::string::npos) << settings;
}

// --- Validation ----------------------------------------------------------------------------------

struct ValidationCase {
  const char* name;
  bool personalisable;
  const char* model;
  const char* serialText;
  bool override;
  std::vector<std::string> errors;  // empty: the update succeeds
};

void PrintTo(const ValidationCase& c, std::ostream* out) { *out << c.name; }

class Validation : public RoadBench, public ::testing::WithParamInterface<ValidationCase> {};

TEST_P(Validation, ChecksModelAndSerialNumberUnlessOverridden) {
  const ValidationCase c = GetParam();
  Add(StandIn{});
  Firmware firmware;
  firmware.personalisable = c.personalisable;
  firmware.model = c.model;
  firmware.serialText = c.serialText;

  const bool updated = updater.Update_Firmware(SERIAL, 0, GivenFile(firmware), 0, 0, c.override);

  EXPECT_EQ(updated, c.errors.empty());
  EXPECT_EQ(display.errors, c.errors);
  if (c.errors.empty()) {
    EXPECT_EQ(Flash(*sim, FIRMWARE_ADDRESS, firmware.image.size()), firmware.installed(SERIAL));
  } else {
    EXPECT_FALSE(UpgradeTraffic(*sim));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Road, Validation,
    ::testing::Values(
        ValidationCase{"model_of_the_module", true, "Alder", "00000000", false, {}},
        ValidationCase{"another_model",
                       true,
                       "Juniper",
                       "00000000",
                       false,
                       {"Connected device model and Bird file model do not match [Alder] (0)",
                        "Birdfile failed validation"}},
        ValidationCase{"another_model_overridden", true, "Juniper", "00000000", true, {}},
        ValidationCase{"fixed_serial_of_the_module", false, "Alder", "1234ABCD", false, {}},
        ValidationCase{"fixed_serial_of_another_module",
                       false,
                       "Alder",
                       "0BADF00D",
                       false,
                       {"Birdfile failed validation"}},
        ValidationCase{
            "fixed_serial_of_another_module_overridden", false, "Alder", "0BADF00D", true, {}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(RoadBench, AModuleReportingAnotherSerialNumberFailsValidation) {
  StandIn standIn;
  Add(standIn);
  sim->withParts([](kvsim::ModuleParts& parts) {
    parts.store->option(3, 0, 9)->number = OTHER_SERIAL;
    return 0;
  });

  EXPECT_FALSE(updater.Update_Firmware(SERIAL, 0, GivenFile(), 0, 0, false));

  EXPECT_EQ(display.errors, (std::vector<std::string>{"Birdfile failed validation"}));
  EXPECT_FALSE(UpgradeTraffic(*sim));
}

// --- The ways back after LOAD --------------------------------------------------------------------

struct ReturnCase {
  const char* name;
  kvsim::AfterLoad afterLoad;
  kvsim::ReturnAs returnAs;
  bool announce;
  bool updated;
};

void PrintTo(const ReturnCase& c, std::ostream* out) { *out << c.name; }

class AfterLoad : public RoadBench, public ::testing::WithParamInterface<ReturnCase> {};

TEST_P(AfterLoad, TheFirmwareReachesTheLoaderHoweverItComesBack) {
  const ReturnCase c = GetParam();
  StandIn standIn;
  standIn.upgrade.afterLoad = c.afterLoad;
  standIn.upgrade.dropDelayMs = 300;
  standIn.upgrade.returnAs = c.returnAs;
  standIn.upgrade.returnMs = 700;
  standIn.upgrade.announceOnReturn = c.announce;
  Add(standIn);
  const Firmware firmware;
  const auto start = Clock::now();

  EXPECT_EQ(updater.Update_Firmware(SERIAL, 0, GivenFile(firmware), 0, 0, false), c.updated)
      << Errors();

  EXPECT_LT(Seconds(start), 60.0);
  if (c.updated) {
    EXPECT_TRUE(display.errors.empty()) << Errors();
    EXPECT_EQ(Flash(*sim, FIRMWARE_ADDRESS, firmware.image.size()), firmware.installed(SERIAL));
  } else {
    ASSERT_EQ(display.errors.size(), 1u) << Errors();
    EXPECT_NE(display.errors[0].find("may be waiting in its loader"), std::string::npos)
        << display.errors[0];
    EXPECT_EQ(Settings().find("LATEST_TRANSFER="), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Road, AfterLoad,
    ::testing::Values(
        ReturnCase{"stays_connected", kvsim::AfterLoad::Stay, kvsim::ReturnAs::Same, true, true},
        ReturnCase{"drops_and_returns", kvsim::AfterLoad::Drop, kvsim::ReturnAs::Same, true, true},
        ReturnCase{"drops_and_returns_as_deaddead", kvsim::AfterLoad::Drop,
                   kvsim::ReturnAs::DefaultSerial, true, true},
        ReturnCase{"drops_unanswered", kvsim::AfterLoad::SilentDrop, kvsim::ReturnAs::Same, true,
                   true},
        ReturnCase{"drops_unanswered_returns_as_deaddead", kvsim::AfterLoad::SilentDrop,
                   kvsim::ReturnAs::DefaultSerial, true, true},
        ReturnCase{"drops_unanswered_never_announces", kvsim::AfterLoad::SilentDrop,
                   kvsim::ReturnAs::Same, false, true},
        ReturnCase{"drops_and_never_returns", kvsim::AfterLoad::Drop, kvsim::ReturnAs::Never, true,
                   false}),
    [](const auto& p) { return std::string(p.param.name); });

// --- The record of the transfer ------------------------------------------------------------------

// A display that puts a directory in place of the module's attribute file once the wait after
// REBOOT is over, so that the record of the transfer cannot be saved.
class SettingsBlockingDisplay : public RecordingDisplay {
 public:
  explicit SettingsBlockingDisplay(std::string settings) : settings_(std::move(settings)) {}
  void update_spinner(bool on, const char* label) override {
    RecordingDisplay::update_spinner(on, label);
    if (!on && !blocked_) {
      blocked_ = true;
      std::remove(settings_.c_str());
      EXPECT_EQ(mkdir(settings_.c_str(), 0700), 0) << settings_;
    }
  }

 private:
  std::string settings_;
  bool blocked_ = false;
};

TEST_F(RoadBench, ARecordOfTheTransferThatCannotBeSavedIsReported) {
  Add(StandIn{});
  const Firmware firmware;
  const std::string path = GivenFile(firmware);
  SettingsBlockingDisplay blocking(ModuleDir() + "/.settings");
  Updater blocked(server.c_str(), store.path().c_str(), blocking);
  blocked.Set_UEIBytes_Load(true);

  // The module is updated all the same.
  EXPECT_TRUE(blocked.Update_Firmware(SERIAL, 0, path, 0, 0, false));

  EXPECT_EQ(blocking.errors, (std::vector<std::string>{"Failed to record the transfer of " + path +
                                                       " in " + ModuleDir() + "/.settings"}));
  EXPECT_EQ(Flash(*sim, FIRMWARE_ADDRESS, firmware.image.size()), firmware.installed(SERIAL));
}

// A display that holds the update once the firmware blocks are through, just before REBOOT goes
// out, until the stand-in has dropped the link and the host's reader has had time to see that.
class HoldBeforeRebootDisplay : public RecordingDisplay {
 public:
  // ms the stand-in may take to drop the link after its last WRITE answer
  static constexpr int DROP_TIMEOUT_MS = 5000;
  // ms for the host's reader, which polls the bus every millisecond, to find the device gone
  static constexpr int HOST_SEES_DROP_MS = 500;

  explicit HoldBeforeRebootDisplay(std::function<bool()> dropped) : dropped_(std::move(dropped)) {}

  void info_message(const char* text) override {
    RecordingDisplay::info_message(text);
    const std::string line(text);
    if (line.rfind("Transferring firmware block", 0) == 0) firmwareSent_ = true;
    if (!firmwareSent_ || line.rfind("Transferred ", 0) != 0) return;
    EXPECT_TRUE(Eventually(dropped_, DROP_TIMEOUT_MS)) << "the stand-in kept the link";
    std::this_thread::sleep_for(std::chrono::milliseconds(HOST_SEES_DROP_MS));
  }

 private:
  std::function<bool()> dropped_;
  bool firmwareSent_ = false;
};

// The loader restarts by itself right after its last WRITE, so REBOOT finds the link gone: the
// firmware is in the flash, but nothing confirms that the module runs it.
TEST_F(RoadBench, ARebootThatCannotBeSentFailsTheUpdateWithoutARecord) {
  const Firmware firmware;
  StandIn standIn;
  standIn.upgrade.restartAfterWrites = static_cast<unsigned>(
      (firmware.image.size() + kvsim::kDefaultBlockSize - 1) / kvsim::kDefaultBlockSize);
  standIn.upgrade.rebootDropMs = 300;  // time enough for the host to read the last answer
  Add(standIn);
  const unsigned connections =
      sim->withCore([](kvsim::ModuleCore& core) { return core.connections(); });
  HoldBeforeRebootDisplay holding([&] {
    return sim->withCore([](kvsim::ModuleCore& core) { return core.connections(); }) > connections;
  });
  Updater held(server.c_str(), store.path().c_str(), holding);
  held.Set_UEIBytes_Load(true);
  const std::string path = GivenFile(firmware);
  const auto start = Clock::now();

  EXPECT_FALSE(held.Update_Firmware(SERIAL, 0, path, 0, 0, false));

  // No wait for a link that is already gone.
  EXPECT_LT(Seconds(start), 30.0);
  EXPECT_EQ(Flash(*sim, FIRMWARE_ADDRESS, firmware.image.size()), firmware.installed(SERIAL));
  EXPECT_TRUE(ReceivedRequests(*sim, kvsim::kUpgradeReboot).empty());
  ASSERT_EQ(holding.errors.size(), 1u) << ::testing::PrintToString(holding.errors);
  const std::string& error = holding.errors[0];
  const std::string head =
      "The firmware of module [1234ABCD] is written in full, but the request to reboot could "
      "not be sent (";
  const std::string tail =
      "); check that it restarts with the new firmware, and power-cycle it if it does not";
  EXPECT_EQ(error.compare(0, head.size(), head), 0) << error;
  EXPECT_TRUE(error.size() > head.size() + tail.size() &&
              error.compare(error.size() - tail.size(), tail.size(), tail) == 0)
      << error;
  const std::string settings = Settings();
  EXPECT_EQ(settings.find("LATEST_TRANSFER="), std::string::npos) << settings;
  EXPECT_EQ(settings.find("LAST_TRANSFER_DATE="), std::string::npos) << settings;
  for (const std::string& line : holding.infos)
    EXPECT_FALSE(update_test::IsUpdateTimeLine(line)) << line;
}

// --- The firmware phase --------------------------------------------------------------------------

TEST_F(RoadBench, ByteStringsCarryTheChunksWhenTheModuleTakesThem) {
  Add(StandIn{});
  const Firmware firmware;

  ASSERT_TRUE(updater.Update_Firmware(SERIAL, 0, GivenFile(firmware), 0, 0, false)) << Errors();

  EXPECT_FALSE(ReceivedRequests(*sim, DATA_UEI_SET).empty());
  // The loader phase always sends DATA packets: 300 bytes in 12 of them.
  EXPECT_EQ(ReceivedRequests(*sim, DATA_OPTION).size(), 12u);
  EXPECT_EQ(Flash(*sim, FIRMWARE_ADDRESS, firmware.image.size()), firmware.installed(SERIAL));
}

TEST_F(RoadBench, DataPacketsCarryTheChunksWithoutByteStrings) {
  Add(StandIn{});
  updater.Set_UEIBytes_Load(false);
  const Firmware firmware;

  ASSERT_TRUE(updater.Update_Firmware(SERIAL, 0, GivenFile(firmware), 0, 0, false)) << Errors();

  EXPECT_TRUE(ReceivedRequests(*sim, DATA_UEI_SET).empty());
  EXPECT_GT(ReceivedRequests(*sim, DATA_OPTION).size(), 12u + 1200u / 26u);
  EXPECT_EQ(Flash(*sim, FIRMWARE_ADDRESS, firmware.image.size()), firmware.installed(SERIAL));
}

TEST_F(RoadBench, EveryFirmwareBlockIsSent) {
  Add(StandIn{});
  const Bytes second = birdgen::PatternBytes(500, 77);
  birdgen::Builder builder;
  builder.loader(LOADER_ADDRESS, birdgen::PatternBytes(40, 1))
      .firmware(FIRMWARE_ADDRESS, birdgen::PatternBytes(600, 2))
      .firmware(0x00010000, second)
      .descriptor({"1300", "2.15.3", "1234ABCD", "Alder"});
  const std::string path = files.file("two.bird");
  ASSERT_TRUE(builder.write(path));

  ASSERT_TRUE(updater.Update_Firmware(SERIAL, 0, path, 0, 0, false)) << Errors();

  EXPECT_TRUE(display.shows("Transferring firmware block 2 of 2, 504 bytes"));
  EXPECT_TRUE(display.shows("Transferred 2 blocks, 1108 total bytes"));
  EXPECT_EQ(Flash(*sim, 0x00010000, second.size()), second);
}

// Each fault knob of the stand-in, turned for the loader phase or, once the loader runs, for the
// firmware phase, ends the update with a clear outcome in bounded time.
struct KnobCase {
  kvsim::UpgradeFault fault;
  int count;
  bool firmwarePhase;
  bool updated;
  bool retried;  // "  Retry 1" was shown
};

// DATA echoes are what the wrong-echo knob spoils, so the firmware phase sends DATA packets then.
bool NeedsDataPackets(const KnobCase& c) { return c.fault == kvsim::UpgradeFault::WrongEcho; }

void PrintTo(const KnobCase& c, std::ostream* out) {
  *out << kvsim::upgradeFaultName(c.fault) << " " << c.count
       << (c.firmwarePhase ? " firmware" : " loader");
}

class Knobs : public RoadBench, public ::testing::WithParamInterface<KnobCase> {};

TEST_P(Knobs, EndTheUpdateClearly) {
  const KnobCase c = GetParam();
  StandIn standIn;
  standIn.upgrade.lateMs = 1500;
  if (!c.firmwarePhase) standIn.upgrade.faults[c.fault] = c.count;
  Add(standIn);
  updater.Set_UEIBytes_Load(!NeedsDataPackets(c));
  std::atomic<bool> done{false};
  std::thread arm([&] {
    if (!c.firmwarePhase) return;
    Eventually(
        [&] {
          return done || sim->withParts([](kvsim::ModuleParts& parts) {
            return parts.upgrade->mode() == kvsim::UpgradePersona::Mode::Loader;
          });
        },
        30000);
    sim->withParts([&](kvsim::ModuleParts& parts) {
      parts.upgrade->setFault(c.fault, c.count);
      return 0;
    });
  });
  const Firmware firmware;
  const auto start = Clock::now();

  const bool updated = updater.Update_Firmware(SERIAL, 0, GivenFile(firmware), 0, 0, false);
  done = true;
  arm.join();

  EXPECT_EQ(updated, c.updated) << Errors();
  EXPECT_LT(Seconds(start), 60.0);
  EXPECT_EQ(display.shows("  Retry 1"), c.retried);
  if (c.updated) {
    EXPECT_EQ(Flash(*sim, FIRMWARE_ADDRESS, firmware.image.size()), firmware.installed(SERIAL));
    return;
  }
  // One error that says which phase failed.
  ASSERT_EQ(display.errors.size(), 1u) << Errors();
  EXPECT_NE(
      display.errors[0].find(c.firmwarePhase ? "may be waiting in its loader" : "loader block"),
      std::string::npos)
      << display.errors[0];
}

constexpr int ALL = kvsim::kEvery;
INSTANTIATE_TEST_SUITE_P(
    Road, Knobs,
    ::testing::Values(KnobCase{kvsim::UpgradeFault::WrongEcho, 1, false, true, false},
                      KnobCase{kvsim::UpgradeFault::WrongEcho, ALL, false, false, false},
                      KnobCase{kvsim::UpgradeFault::LateSum, 1, false, false, false},
                      KnobCase{kvsim::UpgradeFault::PrepareError, 1, false, false, false},
                      KnobCase{kvsim::UpgradeFault::ShortStatus, 1, false, false, false},
                      KnobCase{kvsim::UpgradeFault::SumMismatch, 1, false, false, false},
                      KnobCase{kvsim::UpgradeFault::WrongEcho, 1, true, true, false},
                      KnobCase{kvsim::UpgradeFault::WrongEcho, ALL, true, false, true},
                      KnobCase{kvsim::UpgradeFault::LateSum, 1, true, true, true},
                      KnobCase{kvsim::UpgradeFault::SumMismatch, 1, true, true, true},
                      KnobCase{kvsim::UpgradeFault::SumMismatch, ALL, true, false, true},
                      KnobCase{kvsim::UpgradeFault::PrepareError, 1, true, false, false},
                      KnobCase{kvsim::UpgradeFault::BlockSizeZero, 1, true, false, false},
                      KnobCase{kvsim::UpgradeFault::ShortStatus, 1, true, false, false}),
    [](const auto& p) {
      std::string name =
          std::string(kvsim::upgradeFaultName(p.param.fault)) + "_" +
          (p.param.count == ALL ? std::string("all") : std::to_string(p.param.count)) +
          (p.param.firmwarePhase ? "_firmware" : "_loader");
      for (char& ch : name)
        if (ch == '-') ch = '_';
      return name;
    });

// --- Connections ---------------------------------------------------------------------------------

TEST_F(RoadBench, AModuleThatCannotBeOpenedIsNotLookedForOverTcp) {
  Add(StandIn{});
  usb.device(0).failClaim(LIBUSB_ERROR_BUSY);

  EXPECT_FALSE(updater.Update_Firmware(SERIAL, 0, GivenFile(), 0, 0, false));

  EXPECT_EQ(display.errors, (std::vector<std::string>{"Failed to connect to module [1234ABCD]"}));
}

// The same, with the module also answering over TCP/IP, inside a network namespace of the test's
// own (discovery over TCP/IP is multicast): a road that fell through to TCP/IP would reach it.
class RoadInNamespace : public RoadBench {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace())
      GTEST_SKIP() << "runs only inside the network namespace that "
                      "UpdateRoad.RunsInsideANetworkNamespace makes";
    for (const std::string& name : InterfaceNames())
      ASSERT_EQ(name, "lo") << "not inside the test's namespace: no discovery traffic is sent";
    ASSERT_TRUE(RepliesComeFromLoopback());
  }
};

TEST_F(RoadInNamespace, AModuleThatCannotBeOpenedIsNotLookedForOverTcp) {
  kvsim::SimModuleProcess overTcp({"--tcp", "0", "--discovery", "--upgrade", "--serial", SERIAL_DIR,
                                   "--address", "6", "--model", "4"});
  ASSERT_TRUE(overTcp.ready()) << overTcp.error();
  Add(StandIn{});
  usb.device(0).failClaim(LIBUSB_ERROR_BUSY);

  EXPECT_FALSE(updater.Update_Firmware(SERIAL, 0, GivenFile(), 0, 0, false));

  EXPECT_EQ(display.errors, (std::vector<std::string>{"Failed to connect to module [1234ABCD]"}));
  EXPECT_TRUE(overTcp.dump().empty()) << "the module was reached over TCP/IP";
}

// Runs the tests above in a copy of this program inside a fresh network namespace, so that no
// discovery datagram can leave through a real interface.
TEST(UpdateRoad, RunsInsideANetworkNamespace) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespace("RoadInNamespace.*");
}

// A router on the bus with a module behind it that takes the upgrade conversation.
class RoutedRoad : public RoadBench {
 protected:
  static constexpr uint32_t ROUTER_SERIAL = 0xD272031D;
  static constexpr uint8_t BEHIND_ADDRESS = 0x0C;

  void AddRouter(std::vector<kvsim::BehindSpec> behind) {
    StandIn router;
    router.serial = ROUTER_SERIAL;
    router.address = 4;
    router.model = 21;
    router.withUpgrade = false;
    router.behind = std::move(behind);
    routerModule = &Add(router);
  }

  // Gives the module behind at the address the upgrade conversation.
  void GiveUpgrade(uint8_t address, kvsim::UpgradeConfig config = {}) {
    routerModule->withParts([&](kvsim::ModuleParts& parts) {
      behindPersona = kvsim::UpgradePersona::attach(*parts.router->module(address),
                                                    parts.router->store(address), config);
      return 0;
    });
  }

  Bytes BehindFlash(size_t length) {
    return routerModule->withParts(
        [&](kvsim::ModuleParts&) { return behindPersona->flash().read(FIRMWARE_ADDRESS, length); });
  }

  kvsim::SimUsbModule* routerModule = nullptr;
  std::shared_ptr<kvsim::UpgradePersona> behindPersona;
};

TEST_F(RoutedRoad, UpdatesTheModuleBehindTheRouterAtTheAddressItAnswersAt) {
  AddRouter({kvsim::BehindSpec{0x0A, OTHER_SERIAL, 4, "first"},
             kvsim::BehindSpec{BEHIND_ADDRESS, SERIAL, 4, "target"}});
  GiveUpgrade(BEHIND_ADDRESS);
  const Firmware firmware;
  const auto start = Clock::now();

  ASSERT_TRUE(updater.Update_Firmware(SERIAL, 0, GivenFile(firmware), 0, ROUTER_SERIAL, false))
      << Errors();

  EXPECT_LT(Seconds(start), 60.0);
  EXPECT_EQ(BehindFlash(firmware.image.size()), firmware.installed(SERIAL));
  EXPECT_NE(Settings().find("LATEST_TRANSFER="), std::string::npos);
}

TEST_F(RoutedRoad, AModuleNotBehindTheRouterIsReported) {
  AddRouter({kvsim::BehindSpec{0x0A, OTHER_SERIAL, 4, "first"}});

  EXPECT_FALSE(updater.Update_Firmware(SERIAL, 0, GivenFile(), 0, ROUTER_SERIAL, false));

  EXPECT_EQ(display.errors,
            (std::vector<std::string>{"Module address required for indirect firmware update, could "
                                      "not find serial number [0x1234ABCD] on network"}));
}

}  // namespace
