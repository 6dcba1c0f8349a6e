// -U end to end with the updater program built over the simulated USB bus: a stand-in module
// with the upgrade conversation takes the loader and the firmware, leaves the bus as its loader
// starts and again at REBOOT, and comes back on its own. Checked from outside, as a user would:
// the flash the stand-in wrote, the module's attribute file, the messages, the exit status, and
// the OUT transfers its device took (pooled writes carry more than one packet).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bird_gen.h"
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
constexpr size_t IMAGE_BYTES = 1500;
constexpr size_t LARGEST_PACKET_BYTES = 30;    // [address][length][28 data bytes]
constexpr int UPDATE_RUN_TIMEOUT_MS = 60000;   // ms for a whole update that succeeds
constexpr int FAILURE_RUN_TIMEOUT_MS = 45000;  // ms within which a failing update must end

using update_test::ReadText;

const Bytes& Image() {
  static const Bytes image = birdgen::PatternBytes(IMAGE_BYTES, 41);
  return image;
}

Bytes Installed() {
  return update_test::Personalised(Image(), FIRMWARE_ADDRESS, SERIAL_OFFSET, DESCRIPTOR_OFFSET,
                                   SERIAL);
}

// A value in the module description: the separators and "%" as %HH.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%' || c == ',' || c == ';') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

bool ContainsLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

class UpdateUsbProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(birdgen::Builder()
                    .loader(LOADER_ADDRESS, birdgen::PatternBytes(200, 3))
                    .firmware(FIRMWARE_ADDRESS, Image())
                    .offsets(SERIAL_OFFSET, DESCRIPTOR_OFFSET)
                    .descriptor({"1300", "2.15.3", "00000000", "Alder"})
                    .write(BirdPath()));
  }

  std::string BirdPath() const { return files.file("firmware.bird"); }
  std::string FlashPath() const { return files.file("flash.txt"); }
  std::string OutRecordPath() const { return files.file("out.txt"); }
  std::string Settings() const {
    return ReadText(store.path() + "/updater/" + SERIAL_TEXT + "/.settings");
  }

  // updater_simusb -i <store> -u <closed port> -U -d SERIAL -f FILE, the words and -X for the
  // update's, the upgrade conversation's and the reconnect attempts' log lines, over one stand-in
  // module with these extra description fields.
  RunResult Update(const std::string& fields, const std::vector<std::string>& words,
                   int timeoutMs) {
    static const std::string server = "127.0.0.1:" + std::to_string(ClosedLoopbackPort());
    std::vector<std::string> argv = {KV_UPDATER_SIMUSB_BINARY,
                                     "-i",
                                     store.path(),
                                     "-u",
                                     server,
                                     "-U",
                                     "-d",
                                     SERIAL_TEXT,
                                     "-f",
                                     BirdPath(),
                                     "-X",
                                     "0x501"};
    argv.insert(argv.end(), words.begin(), words.end());
    const std::string modules = std::string("KV_SIM_USB_MODULES=serial=") + SERIAL_TEXT +
                                ",address=6,model=" + std::to_string(update_test::kAlderModel) +
                                ",upgrade,flash-dump=" + Escaped(FlashPath()) +
                                ",out-record=" + Escaped(OutRecordPath()) + fields;
    const auto start = std::chrono::steady_clock::now();
    RunResult run = RunProgram(argv, {modules}, timeoutMs);
    elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start)
                    .count();
    return run;
  }

  // The stand-in's flash at the firmware's address; empty when it wrote none.
  Bytes Flash() const {
    std::optional<kvsim::SimMemory> memory = kvsim::parseMemoryDump(ReadText(FlashPath()));
    return memory && !memory->empty() ? memory->read(FIRMWARE_ADDRESS, IMAGE_BYTES) : Bytes{};
  }

  // OUT transfers that carried more than one packet's worth of bytes.
  int PooledTransfers() const {
    std::istringstream lines(ReadText(OutRecordPath()));
    std::string word;
    int requested = 0, moved = 0, result = 0, pooled = 0;
    while (lines >> word >> requested >> moved >> result)
      if (word == "OUT" && requested > static_cast<int>(LARGEST_PACKET_BYTES)) ++pooled;
    return pooled;
  }

  TempDir store;
  TempDir files;
  long long elapsedMs = 0;
};

// --- Updates that succeed ------------------------------------------------------------------

struct InstallCase {
  const char* name;
  std::string fields;              // extra fields of the module description
  std::vector<std::string> words;  // extra command-line words
  bool ueiChunks;                  // the chunks travel as UEI byte strings
  bool pooled;                     // with pooled writes on the link
  std::vector<std::string> lines;  // further lines the run must show (standard output or log)
};

class UpdateUsbInstall : public UpdateUsbProgram,
                         public ::testing::WithParamInterface<InstallCase> {};

TEST_P(UpdateUsbInstall, TheFirmwareIsInstalledPersonalisedAndRecorded) {
  const InstallCase& c = GetParam();
  const RunResult run = Update(c.fields, c.words, UPDATE_RUN_TIMEOUT_MS);

  ASSERT_TRUE(run.exitedWith(0)) << run.out << run.err;
  EXPECT_EQ(Flash(), Installed())
      << "the image with the serial number as a little-endian word and as "
         "hex digits in the descriptor";
  EXPECT_TRUE(ContainsLine(run.out, "Updating from Birdfile: " + BirdPath())) << run.out;
  const size_t last = run.out.rfind('\n', run.out.size() >= 2 ? run.out.size() - 2 : 0);
  EXPECT_TRUE(!run.out.empty() && run.out.back() == '\n' &&
              update_test::IsUpdateTimeLine(run.out.substr(last + 1, run.out.size() - last - 2)))
      << run.out;
  const std::string settings = Settings();
  EXPECT_EQ(update_test::SettingsValue(settings, "LATEST_TRANSFER"), BirdPath()) << settings;
  EXPECT_TRUE(update_test::IsTimeText(update_test::SettingsValue(settings, "LAST_TRANSFER_DATE")))
      << settings;

  const bool uei = run.err.find("val_UPGRADE_DATA_UEI") != std::string::npos;
  EXPECT_EQ(uei, c.ueiChunks) << run.err;
  EXPECT_EQ(PooledTransfers() > 0, c.pooled) << ReadText(OutRecordPath());
  for (const std::string& line : c.lines)
    EXPECT_TRUE(ContainsLine(run.out, line) || ContainsLine(run.err, line)) << line << "\n"
                                                                            << run.out << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Modules, UpdateUsbInstall,
    ::testing::Values(
        InstallCase{"UeiChunksWithPooledWritesAfterTheLoaderDrops",
                    ",after-load=drop:200",
                    {},
                    true,
                    true,
                    {"Link dropped as the loader started."}},
        InstallCase{"DataPacketsWithMZero", ",after-load=drop:200", {"-m", "0"}, false, false, {}},
        InstallCase{"DataPacketsForAModuleWithoutUeiDataOrPooledPackets",
                    ",no-uei,no-pooled,block-size=100",
                    {},
                    false,
                    false,
                    {"NETWORK: Loader validated firmware init [100 block size]"}},
        InstallCase{"UeiChunksWithoutPooledWrites", ",no-pooled", {}, true, false, {}},
        InstallCase{"AModuleThatReturnsAsDeadDead",
                    ",after-load=silent-drop,return=deadbead",
                    {},
                    true,
                    true,
                    {"NETWORK: Attempting to reconnect DEFAULT sn. Attempt: 1 of 5",
                     "NETWORK: Loader validated start (Reconnect)"}},
        InstallCase{"AChunkWhoseSumFailsIsSentAgain",
                    ",loader-fault=sum-mismatch:1",
                    {},
                    true,
                    true,
                    {"  Retry 1"}}),
    [](const ::testing::TestParamInfo<InstallCase>& param) { return param.param.name; });

// --- Updates that fail -----------------------------------------------------------------------

struct FailureCase {
  const char* name;
  std::string fields;
  std::string message;  // the line of standard error that tells what failed
  bool flashWritten;    // the module wrote some firmware before the failure
};

class UpdateUsbFailure : public UpdateUsbProgram,
                         public ::testing::WithParamInterface<FailureCase> {};

TEST_P(UpdateUsbFailure, EndsWithAClearMessageAndStatusOne) {
  const FailureCase& c = GetParam();
  const RunResult run = Update(c.fields, {}, FAILURE_RUN_TIMEOUT_MS);

  EXPECT_TRUE(run.exitedWith(1)) << "ran " << elapsedMs << " ms\n" << run.out << run.err;
  EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("Update time:"), std::string::npos) << run.out;
  EXPECT_EQ(Settings().find("LATEST_TRANSFER="), std::string::npos) << Settings();
  EXPECT_NE(Flash(), Installed());
  EXPECT_EQ(Flash().empty(), !c.flashWritten);
}

// What the user is told to do for a module that may be left in its loader.
const std::string kAdvice =
    "Power-cycle the module, then run the update again; if it does not start, recover it with -U "
    "-t RECOVER.";
const std::string kLeftInLoader =
    "a module left waiting in its loader by an earlier update refuses a new loader. ";

INSTANTIATE_TEST_SUITE_P(
    Faults, UpdateUsbFailure,
    ::testing::Values(
        FailureCase{"AModuleThatNeverComesBackAfterLoad", ",after-load=drop:200,return=never",
                    "Update of module [1234ABCD] failed after its loader was started (25, "
                    "aErrConnection); the "
                    "module may be waiting in its loader. " +
                        kAdvice + "\n",
                    false},
        FailureCase{"ALoaderThatRefusesEveryFirmwareBlock", ",loader-fault=prepare-error",
                    "Update of module [1234ABCD] failed after its loader was started (29, "
                    "aErrInvalidOption); the "
                    "module may be waiting in its loader. " +
                        kAdvice + "\n",
                    false},
        FailureCase{"AModuleLeftInItsLoaderByAnEarlierUpdate", ",loader",
                    "The module did not take the loader transfer [18, aErrTimeout]; " +
                        kLeftInLoader + kAdvice + "\n",
                    false},
        FailureCase{"ALoaderPhaseRefusedAtItsFirstBlock", ",upgrade-fault=prepare-error:1",
                    "Error preparing loader block 1 [29, aErrInvalidOption]; " + kLeftInLoader +
                        kAdvice + "\n",
                    false},
        FailureCase{
            "ALoaderWhoseStatusRepliesAreCutShort", ",loader-fault=short-status",
            "Update of module [1234ABCD] failed after its loader was started (24, aErrPacket)",
            false},
        FailureCase{"ALoaderBlockWhoseSumNeverMatches", ",upgrade-fault=sum-mismatch",
                    "NETWORK: Unable to validate transfer [00] [", false}),
    [](const ::testing::TestParamInfo<FailureCase>& param) { return param.param.name; });

// --- The module description ----------------------------------------------------------------

TEST(UpdateUsbDescription, UpgradeFieldsThatCannotBeReadEndTheProgramBeforeItRuns) {
  struct Case {
    const char* modules;
    const char* reason;
  };
  const Case cases[] = {
      {"serial=1234ABCD,after-load=stay",
       "after-load goes with upgrade: serial=1234ABCD,after-load=stay"},
      {"serial=1234ABCD,no-uei", "no-uei goes with upgrade: serial=1234ABCD,no-uei"},
      {"serial=1234ABCD,upgrade,return=sometimes",
       "bad value for return: sometimes (same, deadbead or never)"},
      {"serial=1234ABCD,upgrade,upgrade-fault=bogus",
       "bad value for upgrade-fault: bogus (NAME[:COUNT])"},
      {"serial=1234ABCD,upgrade,loader-fault=late-sum:x",
       "bad value for loader-fault: late-sum:x (NAME[:COUNT])"},
      {"serial=1234ABCD,upgrade,block-size=0",
       "block-size must be at least 1 (the block-size-0 fault answers 0)"},
      {"serial=1234ABCD,upgrade,return-ms=soon", "bad value for return-ms: soon"},
      {"serial=1234ABCD,upgrade,no-pooled=1", "no-pooled takes no value"},
      {"serial=1234ABCD,upgrade,flash-dump", "a field is KEY=VALUE, not flash-dump"},
      {"serial=1234ABCD,upgrade,out-record=", "out-record needs a path"},
  };
  for (const Case& c : cases) {
    TempDir store;
    const RunResult run = RunProgram({KV_UPDATER_SIMUSB_BINARY, "-i", store.path(), "-D"},
                                     {std::string("KV_SIM_USB_MODULES=") + c.modules});
    EXPECT_TRUE(run.exitedWith(2)) << c.modules << ": " << run.err;
    EXPECT_EQ(run.out, "") << c.modules;
    EXPECT_EQ(run.err, std::string("KV_SIM_USB_MODULES: ") + c.reason + "\n");
  }
}

}  // namespace
