// The download of a build (Updater::Download_Firmware) against the stand-in update server over
// loopback HTTP: the requests in order, what is stored and recorded, the checks a download
// passes before it is stored, the worker thread and the spinner, and every scripted fault of
// the stand-in ending in its message within a bounded time. Also the fingerprint variant.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "HTTPRequest.h"
#include "Updater.h"
#include "bird_gen.h"
#include "server_command_test_support.h"
#include "sim_update_server.h"
#include "support.h"

namespace {

using namespace server_test;

constexpr long kQuickFailureMs = 5000;  // ms within which a refused or broken answer must fail
// ms within which a body over the cap must fail: the cap's 32 MiB cross loopback first, slowly
// under the sanitizers
constexpr long kOverTheCapFailureMs = 30000;
constexpr long kStallBoundMs = 15000 + 5000 + 5000;  // ms: the client's stall bound, libcurl's
                                                     // speed window and slack for start-up
constexpr long kSpinnerTurnMs = 100;  // ms between spinner turns while a download runs

std::string Target(const std::string& query) { return std::string(kPath) + "?" + query; }

const std::string kPing = Target("op=hi&rv=2&");
const std::string kQuery = Target("op=qu&sn=1234ABCD&");
const std::string kBuilds = Target("op=builds&sn=1234ABCD&");

std::string BirdTarget(const std::string& build, const std::string& noCal = "false") {
  return Target("bld=" + build + "&fw=" + kToken + "&no_cal=" + noCal + "&op=bird&sn=1234ABCD&");
}

class Download : public kvsim::StandInServerSuite<> {
 protected:
  void SetUp() override {
    StandInServerSuite::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(Serve(Firmware("1234", "1.2.3")));
  }

  // op=bird answers with this file.
  bool Serve(const birdgen::Builder& file) {
    served = AsText(file.file());
    return file.write(files.file("served.bird")) && server->setBirdFile(files.file("served.bird"));
  }

  std::string url() const { return server->baseUrl(kPath); }
  std::string ModuleDir() const { return store.file(kSerialText); }
  std::string Stored(const std::string& name) const { return ReadText(ModuleDir() + "/" + name); }
  std::string Settings() const { return Stored(".settings"); }

  // A module that already has a good download: 1200.bird, recorded as the latest.
  void StoreEarlierDownload() {
    ASSERT_EQ(mkdir(ModuleDir().c_str(), 0755), 0);
    ASSERT_TRUE(Firmware("1200", "1.2.0", 99).write(ModuleDir() + "/1200.bird"));
    ASSERT_TRUE(Firmware("1234", "1.2.3", 98).write(ModuleDir() + "/1234.bird"));
    std::ofstream(ModuleDir() + "/.settings") << "LATEST_DOWNLOAD=1200.bird\n";
  }

  TempDir store;
  TempDir files;
  std::string served;
  ServerDisplay display;
  Updater updater{url().c_str(), store.path().c_str(), display};
};

// --- The road of a good download --------------------------------------------------------------

TEST_F(Download, FetchesTheLatestBuildStoresItAndRecordsIt) {
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), kLatest);

  EXPECT_EQ(display.errors, std::vector<std::string>{});
  EXPECT_EQ(display.infos,
            (std::vector<std::string>{"Retrieving build 1234", "Validating build 1234 with server",
                                      "Build 1234 is valid"}));
  // The pairs of each request in key order, unescaped, with the last "&".
  EXPECT_EQ(server->targets(),
            (std::vector<std::string>{kPing, kQuery, kBuilds, BirdTarget("1234")}));
  EXPECT_TRUE(Stored("1234.bird") == served);
  const std::string settings = Settings();
  EXPECT_EQ(SettingsValue(settings, "LATEST_DOWNLOAD"), "1234.bird");
  EXPECT_TRUE(IsTimeText(SettingsValue(settings, "LAST_DOWNLOAD_DATE"))) << settings;
  EXPECT_TRUE(IsTimeText(SettingsValue(settings, "UPDATED_TIME"))) << settings;
  // No temporary file is left beside the stored one.
  EXPECT_EQ(Entries(ModuleDir()), (std::vector<std::string>{".settings", "1234.bird"}));
}

struct BuildCase {
  const char* name;
  const char* text;  // the build text handed in
  bool override;
  uint32_t result;      // 0: refused before anything was asked of the server
  const char* fetched;  // the bld value sent
};
std::ostream& operator<<(std::ostream& out, const BuildCase& c) { return out << c.name; }

class DownloadBuildText : public Download, public ::testing::WithParamInterface<BuildCase> {};

TEST_P(DownloadBuildText, ChoosesTheBuildToFetch) {
  const BuildCase& c = GetParam();
  const uint32_t result = updater.Download_Firmware(kSerial, c.text, c.override, false);

  EXPECT_EQ(result, c.result);
  if (c.result == 0) {
    EXPECT_EQ(display.errors, std::vector<std::string>{"Build number '" + std::string(c.text) +
                                                       "' must be an number"});
    EXPECT_EQ(server->targets(), std::vector<std::string>{});
    return;
  }
  EXPECT_EQ(display.errors, std::vector<std::string>{});
  const std::vector<std::string> targets = server->targets();
  ASSERT_FALSE(targets.empty());
  EXPECT_EQ(targets.back(), BirdTarget(c.fetched));
  // With override the build list is not asked for.
  EXPECT_EQ(std::count(targets.begin(), targets.end(), kBuilds), c.override ? 0 : 1);
  EXPECT_EQ(SettingsValue(Settings(), "LATEST_DOWNLOAD"), std::string(c.fetched) + ".bird");
}

INSTANTIATE_TEST_SUITE_P(
    Builds, DownloadBuildText,
    ::testing::Values(BuildCase{"zero_is_the_latest", "0", false, 1234, "1234"},
                      BuildCase{"a_listed_build", "1200", false, 1200, "1200"},
                      BuildCase{"leading_blanks", "  1100", false, 1100, "1100"},
                      BuildCase{"digits_then_letters", "12abc", true, 12, "12"},
                      BuildCase{"unlisted_with_override", "777", true, 777, "777"},
                      BuildCase{"no_number", "abc", false, 0, ""},
                      BuildCase{"negative", "-5", false, 0, ""},
                      BuildCase{"beyond_32_bits", "4294967296", true, 0, ""}),
    [](const ::testing::TestParamInfo<BuildCase>& p) { return std::string(p.param.name); });

TEST_F(Download, OverrideSkipsTheValidationAndSaysSo) {
  EXPECT_EQ(updater.Download_Firmware(kSerial, "1100", true, false), 1100u);
  EXPECT_EQ(display.infos,
            (std::vector<std::string>{"Retrieving build 1100",
                                      "Override specified, skipping validation of build 1100"}));
  EXPECT_EQ(server->targets(), (std::vector<std::string>{kPing, kQuery, BirdTarget("1100")}));
}

TEST_F(Download, NoCalIsSentAsAsked) {
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, true), kLatest);
  EXPECT_EQ(server->targets().back(), BirdTarget("1234", "true"));
}

TEST_F(Download, AnUnlistedBuildIsRefusedWithoutFetching) {
  EXPECT_EQ(updater.Download_Firmware(kSerial, "999", false, false), 0u);
  EXPECT_EQ(display.errors, std::vector<std::string>{"No valid build 999"});
  EXPECT_EQ(server->targets(), (std::vector<std::string>{kPing, kQuery, kBuilds}));
  EXPECT_EQ(SettingsValue(Settings(), "LATEST_DOWNLOAD"), "<none>");
}

TEST_F(Download, SerialNumberZeroAsksNothing) {
  EXPECT_EQ(updater.Download_Firmware(0, "", false, false), 0u);
  EXPECT_EQ(display.errors, std::vector<std::string>{"Serial Number must be non-zero"});
  EXPECT_EQ(server->targets(), std::vector<std::string>{});
}

TEST_F(Download, ANewModuleHasItsDirectoryBeforeTheLatestBuildIsAsked) {
  ASSERT_TRUE(server->addFault("qu", "status 500"));
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);
  EXPECT_EQ(display.errors, std::vector<std::string>{"No build information for device"});
  EXPECT_TRUE(IsTimeText(SettingsValue(Settings(), "CREATED_TIME")));
  EXPECT_EQ(Entries(ModuleDir()), std::vector<std::string>{".settings"});
}

TEST_F(Download, ALatestAnswerWithoutANumberFetchesNothing) {
  // "ok" and nothing more, and "ok" with a word: neither names a build.
  for (const char* body : {"ok\n", "ok\nlatest\nfwtoken-1\n"}) {
    ASSERT_TRUE(server->setBody("qu", body));
    ASSERT_TRUE(server->forget());
    display.errors.clear();
    EXPECT_EQ(updater.Download_Firmware(kSerial, "", true, false), 0u) << body;
    EXPECT_EQ(display.errors, std::vector<std::string>{"No build information for device"}) << body;
    EXPECT_EQ(server->targets(), (std::vector<std::string>{kPing, kQuery})) << body;
  }
  EXPECT_EQ(SettingsValue(Settings(), "LATEST_DOWNLOAD"), "<none>");
}

// --- A download is checked before it is stored ---------------------------------------------------

struct BadFileCase {
  const char* name;
  std::string body;  // the op=bird answer
  std::string error;
};
std::ostream& operator<<(std::ostream& out, const BadFileCase& c) { return out << c.name; }

std::string Base64(const birdgen::Bytes& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) group |= bytes[i + 2];
    text += alphabet[group >> 18 & 63];
    text += alphabet[group >> 12 & 63];
    text += i + 1 < bytes.size() ? alphabet[group >> 6 & 63] : '=';
    text += i + 2 < bytes.size() ? alphabet[group & 63] : '=';
  }
  return text;
}

const std::string kNotStored =
    "Build 1234 from the server is not a valid BIRD file; nothing was stored";

std::vector<BadFileCase> BadFiles() {
  const birdgen::Bytes good = Firmware("1234", "1.2.3").file();
  birdgen::Bytes wrongSignature = good;
  wrongSignature[0] = 'B';
  return {
      {"length_not_a_multiple_of_four", "ok\nYmlyZA=\n",
       "Build 1234 from the server is not valid base64 text; nothing was stored"},
      {"character_outside_the_alphabet", "ok\nYml*ZA==\n",
       "Build 1234 from the server is not valid base64 text; nothing was stored"},
      {"no_signature", "ok\n" + Base64(wrongSignature) + "\n", kNotStored},
      {"not_a_zlib_body", "ok\n" + Base64(birdgen::NonZlibBody(300, 5)) + "\n", kNotStored},
      {"cut_short", "ok\n" + Base64(birdgen::Truncated(good, good.size() / 2)) + "\n", kNotStored},
      {"header_only", "ok\n" + Base64(birdgen::Truncated(good, 6)) + "\n", kNotStored},
  };
}

class DownloadBadFile : public Download, public ::testing::WithParamInterface<BadFileCase> {};

TEST_P(DownloadBadFile, FailsAndLeavesTheStoredFilesAndRecordAlone) {
  StoreEarlierDownload();
  const std::string before1234 = Stored("1234.bird");
  const std::string before1200 = Stored("1200.bird");
  const std::string settingsBefore = Settings();
  ASSERT_TRUE(server->setBody("bird", GetParam().body));

  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);

  EXPECT_EQ(display.errors, std::vector<std::string>{GetParam().error});
  EXPECT_TRUE(Stored("1234.bird") == before1234);
  EXPECT_TRUE(Stored("1200.bird") == before1200);
  EXPECT_EQ(Settings(), settingsBefore);
  EXPECT_EQ(Entries(ModuleDir()),
            (std::vector<std::string>{".settings", "1200.bird", "1234.bird"}));
}

INSTANTIATE_TEST_SUITE_P(Checks, DownloadBadFile, ::testing::ValuesIn(BadFiles()),
                         [](const ::testing::TestParamInfo<BadFileCase>& p) {
                           return std::string(p.param.name);
                         });

TEST_F(Download, AGoodFileReplacesTheStoredOneOfItsBuild) {
  StoreEarlierDownload();
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), kLatest);
  EXPECT_TRUE(Stored("1234.bird") == served);
  EXPECT_EQ(SettingsValue(Settings(), "LATEST_DOWNLOAD"), "1234.bird");
}

TEST_F(Download, LinksInTheStoreAreReplacedAndTheirTargetsLeftAlone) {
  ASSERT_EQ(mkdir(ModuleDir().c_str(), 0755), 0);
  const std::string settingsTarget = files.file("settings-elsewhere");
  const std::string buildTarget = files.file("build-elsewhere");
  std::ofstream(settingsTarget) << "LATEST_DOWNLOAD=1200.bird\n";
  std::ofstream(buildTarget) << "not the store's";
  ASSERT_EQ(symlink(settingsTarget.c_str(), (ModuleDir() + "/.settings").c_str()), 0);
  ASSERT_EQ(symlink(buildTarget.c_str(), (ModuleDir() + "/1234.bird").c_str()), 0);

  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), kLatest);

  EXPECT_EQ(ReadText(settingsTarget), "LATEST_DOWNLOAD=1200.bird\n");
  EXPECT_EQ(ReadText(buildTarget), "not the store's");
  for (const char* name : {"/.settings", "/1234.bird"}) {
    struct stat info;
    ASSERT_EQ(lstat((ModuleDir() + name).c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << name;
  }
  EXPECT_TRUE(Stored("1234.bird") == served);
  EXPECT_EQ(SettingsValue(Settings(), "LATEST_DOWNLOAD"), "1234.bird");
}

TEST_F(Download, AFileThatCannotBeWrittenFailsAndIsNotRecorded) {
  StoreEarlierDownload();
  // A directory where the file would go: it cannot be replaced by the file.
  ASSERT_EQ(mkdir((ModuleDir() + "/1100.bird").c_str(), 0755), 0);
  const std::string settingsBefore = Settings();

  EXPECT_EQ(updater.Download_Firmware(kSerial, "1100", false, false), 0u);

  ASSERT_EQ(display.errors.size(), 1u);
  EXPECT_EQ(display.errors[0].rfind("Failed to write file with ", 0), 0u) << display.errors[0];
  EXPECT_NE(display.errors[0], "Failed to write file with 0");
  EXPECT_EQ(Settings(), settingsBefore);
  EXPECT_EQ(Entries(ModuleDir()),
            (std::vector<std::string>{".settings", "1100.bird", "1200.bird", "1234.bird"}));
}

// --- Scripted faults of the stand-in ------------------------------------------------------------

struct FaultCase {
  const char* name;
  const char* op;
  std::string fault;
  std::vector<std::string> errors;  // "URL" stands for the server's base URL
  uint32_t result;
  long withinMs = kQuickFailureMs;  // the failure's bound
};
std::ostream& operator<<(std::ostream& out, const FaultCase& c) { return out << c.name; }

const std::vector<std::string> kFetchFailed = {"Download failed",
                                               "Failed to retrieve a valid BIRD file"};
const std::vector<std::string> kUnreachable = {"Server request failed for URL"};

class DownloadFault : public Download, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DownloadFault, EndsWithItsMessageQuickly) {
  const FaultCase& c = GetParam();
  ASSERT_TRUE(server->addFault(c.op, c.fault));
  const auto start = std::chrono::steady_clock::now();

  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), c.result);

  EXPECT_LT(ElapsedMs(start), c.withinMs);
  std::vector<std::string> errors = c.errors;
  for (std::string& error : errors)
    if (error.size() >= 3 && error.compare(error.size() - 3, 3, "URL") == 0)
      error = error.substr(0, error.size() - 3) + url();
  EXPECT_EQ(display.errors, errors);
  if (c.result == 0) {
    EXPECT_EQ(SettingsValue(Settings(), "LATEST_DOWNLOAD"), "<none>");
  }
  // Whatever happened, the spinner was stopped on the calling thread.
  if (!display.spins.empty()) {
    EXPECT_FALSE(display.spins.back().on);
    EXPECT_EQ(display.spins.back().thread, std::this_thread::get_id());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DownloadFault,
    ::testing::Values(
        FaultCase{"ping_status_500", "hi", "status 500", kUnreachable, 0},
        FaultCase{"ping_answers_no", "hi", "no", kUnreachable, 0},
        FaultCase{"ping_closed", "hi", "close", kUnreachable, 0},
        FaultCase{"ping_cut_off", "hi", "cut", kUnreachable, 0},
        FaultCase{"latest_status_404", "qu", "status 404", {"No build information for device"}, 0},
        FaultCase{"latest_closed", "qu", "close", {"No build information for device"}, 0},
        FaultCase{"latest_answer_only_ok", "qu", "lines 1", {"No build information for device"}, 0},
        FaultCase{"list_answers_no", "builds", "no", {"No valid build 1234"}, 0},
        FaultCase{"list_cut_off", "builds", "cut", {"No valid build 1234"}, 0},
        FaultCase{"file_status_500", "bird", "status 500", kFetchFailed, 0},
        FaultCase{"file_answers_no", "bird", "no", kFetchFailed, 0},
        FaultCase{"file_closed", "bird", "close", kFetchFailed, 0},
        FaultCase{"file_cut_off", "bird", "cut", kFetchFailed, 0},
        FaultCase{
            "file_line_missing", "bird", "lines 1", {"Failed to retrieve a valid BIRD file"}, 0},
        FaultCase{"file_of_zero_bytes", "bird", "oversize 100", {kNotStored}, 0},
        FaultCase{"file_over_the_body_cap", "bird",
                  "oversize-unsized " + std::to_string(HTTP_MAX_BODY_BYTES), kFetchFailed, 0,
                  kOverTheCapFailureMs},
        // A CR LF answer still decodes: the carriage return is not part of the text.
        FaultCase{"file_with_crlf", "bird", "crlf", {}, kLatest},
        FaultCase{"every_answer_crlf", "*", "crlf", {}, kLatest}),
    [](const ::testing::TestParamInfo<FaultCase>& p) { return std::string(p.param.name); });

TEST_F(Download, AServerThatRefusesConnectionsFailsAtTheFirstRequest) {
  kvsim::SimUpdateServer gone;
  ASSERT_TRUE(gone.ready()) << gone.error();
  ASSERT_TRUE(gone.refuseConnections());
  Updater offline(gone.baseUrl(kPath).c_str(), store.path().c_str(), display);
  const auto start = std::chrono::steady_clock::now();

  EXPECT_EQ(offline.Download_Firmware(kSerial, "", false, false), 0u);

  EXPECT_LT(ElapsedMs(start), kQuickFailureMs);
  EXPECT_EQ(display.errors,
            std::vector<std::string>{"Server request failed for " + gone.baseUrl(kPath)});
  // Nothing was asked before the ping, so the store was not touched.
  EXPECT_EQ(Entries(store.path()), std::vector<std::string>{});
}

// --- The worker thread and the spinner --------------------------------------------------------

TEST_F(Download, TheSpinnerTurnsOnTheCallingThreadAndStopsOnce) {
  const size_t threadsBefore = ThreadCount();
  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), kLatest);

  ASSERT_GE(display.spins.size(), 2u);
  for (size_t i = 0; i + 1 < display.spins.size(); ++i) EXPECT_TRUE(display.spins[i].on) << i;
  EXPECT_FALSE(display.spins.back().on);
  for (const ServerDisplay::Spin& spin : display.spins) {
    EXPECT_EQ(spin.label, "Downloading");
    EXPECT_EQ(spin.thread, std::this_thread::get_id());
  }
  // The worker was joined before the call returned.
  EXPECT_EQ(ThreadCount(), threadsBefore);
}

TEST_F(Download, AStalledFileAnswerEndsWithinTheBoundWhileTheSpinnerTurns) {
  ASSERT_TRUE(server->addFault("bird", "stall-body"));
  const size_t threadsBefore = ThreadCount();
  const auto start = std::chrono::steady_clock::now();

  EXPECT_EQ(updater.Download_Firmware(kSerial, "", false, false), 0u);

  const long elapsed = ElapsedMs(start);
  EXPECT_LT(elapsed, kStallBoundMs);
  EXPECT_EQ(display.errors, kFetchFailed);
  EXPECT_EQ(ThreadCount(), threadsBefore);
  // About one turn per 100 ms of waiting; at least half of them, allowing for slow turns.
  EXPECT_GE(static_cast<long>(display.spins.size()), elapsed / kSpinnerTurnMs / 2);
  ASSERT_FALSE(display.spins.empty());
  EXPECT_FALSE(display.spins.back().on);
  EXPECT_EQ(std::count_if(display.spins.begin(), display.spins.end(),
                          [](const ServerDisplay::Spin& spin) { return !spin.on; }),
            1);
  EXPECT_EQ(SettingsValue(Settings(), "LATEST_DOWNLOAD"), "<none>");
}

// --- The fingerprint variant --------------------------------------------------------------------

const Fingerprint kChip = {{0xDEADBEEF, 0x00000001, 0xABCDEF01, 0x00000000}};
const std::string kFix = Target("brief=true&fp=DEADBEEF%2000000001%20ABCDEF01%2000000000&op=fix&");

TEST_F(Download, AFingerprintFetchesTheBuildOfTheModuleTheServerNames) {
  // The stand-in names module 0012ABCD and build 1234 for any fingerprint.
  EXPECT_EQ(updater.Download_Firmware(kChip, "", false), kLatest);

  EXPECT_EQ(display.errors, std::vector<std::string>{});
  EXPECT_EQ(server->targets(),
            (std::vector<std::string>{
                kFix, kPing, Target("op=qu&sn=0012ABCD&"), Target("op=builds&sn=0012ABCD&"),
                Target("bld=1234&fw=fwtoken-1234&no_cal=false&op=bird&sn=0012ABCD&")}));
  EXPECT_TRUE(ReadText(store.file("0012ABCD/1234.bird")) == served);
}

TEST_F(Download, AFingerprintWithAGivenBuildFetchesThatBuild) {
  EXPECT_EQ(updater.Download_Firmware(kChip, "1200", false), 1200u);
  EXPECT_EQ(server->targets().back(),
            Target("bld=1200&fw=fwtoken-1234&no_cal=false&op=bird&sn=0012ABCD&"));
}

TEST_F(Download, AFingerprintTheServerDoesNotKnowFetchesNothing) {
  ASSERT_TRUE(server->addFault("fix", "no"));
  EXPECT_EQ(updater.Download_Firmware(kChip, "", false), 0u);
  EXPECT_EQ(display.errors,
            std::vector<std::string>{
                "Failed to retrieve recovery information from Zentrova update server"});
  EXPECT_EQ(server->targets(), std::vector<std::string>{kFix});
}

}  // namespace
