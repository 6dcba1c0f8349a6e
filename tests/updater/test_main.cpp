// The updater program as a subprocess: what each kind of run prints, where, and its
// exit status. Every run gets a temporary store directory with -i and a temporary HOME.

#include <ostream>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "Params.h"
#include "support.h"

namespace {

const std::string kHeader =
    "\nApplication Usage:\nUpdater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n    [-d "
    "serial_num]\n"
    "    [-t transport] [-r router_serial]\n    [-s serial_port] [-o baud_rate]\n\n"
    "  Kolvantis Update and Maintenance Application\n    -H -h or --help for full usage "
    "information.\n\n";

std::string VersionLine() { return std::string("Updater (") + _app_version_text() + ")\n"; }

std::string NoticeLine() { return std::string(APP_NOTICE) + "\n"; }

bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The update server every run is given: a closed loopback port, so no request leaves the host.
const std::string& Server() {
  static const std::string server = "127.0.0.1:" + std::to_string(ClosedLoopbackPort());
  return server;
}

// Stands for Server() in the expected texts.
const std::string kServerMark = "<server>";

std::string WithServer(std::string text) {
  for (size_t at = text.find(kServerMark); at != std::string::npos; at = text.find(kServerMark, at))
    text.replace(at, kServerMark.size(), Server());
  return text;
}

// Runs the program with -i <store> and -u <Server()> first, then the given words, HOME a
// temp dir.
class Program {
 public:
  RunResult run(const std::vector<std::string>& words) const {
    std::vector<std::string> argv = {KV_UPDATER_BINARY, "-i", store_.path(), "-u", Server()};
    argv.insert(argv.end(), words.begin(), words.end());
    return RunProgram(argv, {"HOME=" + home_.path()});
  }
  const TempDir& store() const { return store_; }
  const TempDir& home() const { return home_; }

 private:
  TempDir store_;
  TempDir home_;
};

enum class Err { Text, Help, HelpExtended };

struct RunCase {
  const char* name;
  std::vector<std::string> words;
  std::string out;  // after the version line
  std::string err;  // standard error, before the help text when there is one
  Err help;         // whether the full usage follows err
  int status;
  bool storeCreated;  // the store directory exists afterwards
};
void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

const std::string kNoDevices = "Discovered Devices: (USB)\n    No devices found.\n";
const std::string kNoLoader = "Could not download a recovery loader for DEADDEAD\n";
// /dev/null opens, but it is no serial port.
const std::string kNoSerialPort = "Could not open serial port /dev/null ==> aErrIO\n";

const RunCase kRunCases[] = {
    {"NoArguments", {}, NoticeLine(), kHeader, Err::Text, 0, false},
    {"Help", {"-h"}, NoticeLine(), "", Err::Help, 0, false},
    {"LongHelp", {"--help"}, NoticeLine(), "", Err::Help, 0, false},
    {"MaskThenHelp", {"-X", "1", "-h"}, NoticeLine(), "", Err::HelpExtended, 0, false},
    {"HelpThenMask", {"-h", "-X", "1"}, NoticeLine(), "", Err::Help, 0, false},
    {"UnhandledCommand",
     {"-Y"},
     NoticeLine(),
     "Unhandled command: [-Y]\n" + kHeader,
     Err::Text,
     1,
     false},
    {"UnhandledCommandThenHelp",
     {"-Y", "-h"},
     NoticeLine(),
     "Unhandled command: [-Y]\n",
     Err::Help,
     0,
     false},
    {"BadSerial",
     {"-D", "-d", "12zz"},
     NoticeLine(),
     "Invalid format for \"-d\" parameter, unprocessed characters [zz]\n"
     "Invalid serial number obtained from argument [12zz]\n" +
         kHeader,
     Err::Text,
     1,
     false},
    {"OverflowingBuild",
     {"-U", "-d", "1234", "-b", "4294967296"},
     NoticeLine(),
     "Invalid format for \"-b\" parameter, unprocessed characters [4294967296]\n" + kHeader,
     Err::Text,
     1,
     false},
    {"OnlyInertOptions", {"-I"}, "", "", Err::Text, 0, true},
    {"InertOptionsTogether", {"-C", "-Z", "1", "-e", "-n"}, "", "", Err::Text, 0, true},
    {"FingerprintWithoutPort",
     {"-N", "-D"},
     "",
     "Must specify the serial port used for connecting\n",
     Err::Text,
     1,
     true},
    {"DownloadWithoutSerial",
     {"-G", "-U", "-d"},
     "",
     "-G must specify a specific device via -d\n--help for usage information\n",
     Err::Text,
     1,
     true},
    {"UpdateWithoutSerial",
     {"-U"},
     "",
     "Must specify the specific device to be updated\n",
     Err::Text,
     1,
     true},
    {"BuildsWithoutSerial",
     {"-B"},
     "",
     "Error must supply a serial number for the List Builds command\n" + kHeader,
     Err::Text,
     1,
     true},
    {"LocalBuildsWithoutSerial",
     {"-L"},
     "",
     "Error must supply a serial number for the List Local Builds command\n" + kHeader,
     Err::Text,
     1,
     true},
    {"TokenWithoutSerial",
     {"-J"},
     "",
     "Error must supply a serial number for the Get JWT command\n" + kHeader,
     Err::Text,
     1,
     true},
    // Operations this build does not carry: one error line and status 1, even for
    // the commands whose own rule gives 0.
    // Discovery with nothing to find: the empty table and status 0 (no -t: USB only).
    {"Discovery", {"-D"}, "Searching for Kolvantis devices\n" + kNoDevices, "", Err::Text, 0, true},
    {"DiscoveryWinsOverUpdate",
     {"-D", "-U", "-d", "1234"},
     "Searching for Kolvantis devices\n" + kNoDevices,
     "",
     Err::Text,
     0,
     true},
    // The router's link type is given, so no TCP/IP query leaves this machine.
    {"RoutedDiscovery",
     {"-D", "-r", "D272031D", "-t", "USB"},
     "Searching for Kolvantis Network devices connected to D272031D\n" + kNoDevices,
     "",
     Err::Text,
     0,
     true},
    // Server commands with the server unreachable: -G fails, -B, -L and -J show their
    // messages and give 0.
    {"Download",
     {"-G", "-d", "1234"},
     "Retrieving firmware for device with serial number 00001234\nNo build specified\nUsing Latest "
     "build\n",
     "Server request failed for " + kServerMark + "\n",
     Err::Text,
     1,
     true},
    {"DownloadOfABuild",
     {"-G", "-d", "0x40F5849A", "-b", "0099"},
     "Retrieving firmware for device with serial number 40F5849A\nRetrieving firmware build 99\n",
     "Server request failed for " + kServerMark + "\n",
     Err::Text,
     1,
     true},
    {"Builds",
     {"-B", "-d", "1234"},
     "No builds found for device [00001234]\n",
     "Server request failed for " + kServerMark + "\n",
     Err::Text,
     0,
     true},
    {"LocalBuilds",
     {"-L", "-d", "1234"},
     "No builds found for device [00001234]\n",
     "",
     Err::Text,
     0,
     true},
    {"Token",
     {"-J", "-d", "1234"},
     "\n",
     "Server request failed for " + kServerMark + "\n",
     Err::Text,
     0,
     true},
    // An update with the server unreachable and nothing recorded for the module.
    {"Update",
     {"-U", "-d", "1234"},
     "",
     "Could not find valid build for this device.\n",
     Err::Text,
     1,
     true},
    // A port that is no serial port, and the server unreachable: the LPC road cannot open it
    // and no recovery loader can be had for the i.MX road. -N fails and the run goes on with
    // the next command.
    {"Fingerprint",
     {"-N", "-s", "/dev/null"},
     "",
     kNoSerialPort + kNoLoader + "Got no response from chip\n",
     Err::Text,
     1,
     true},
    {"FingerprintThenDiscovery",
     {"-N", "-s", "/dev/null", "-D"},
     "Searching for Kolvantis devices\n" + kNoDevices,
     kNoSerialPort + kNoLoader + "Got no response from chip\n",
     Err::Text,
     0,
     true},
    // A file for the i.MX road needs a serial number, which -N never passes.
    {"FingerprintWithAFile",
     {"-N", "-s", "USB", "-f", "missing.bird"},
     "",
     "Add serial number or remove the bird filename to use a default recovery image.\nGot no "
     "response from chip\n",
     Err::Text,
     1,
     true},
    {"Recovery",
     {"-U", "-t", "RECOVER", "-s", "/dev/null"},
     "",
     kNoSerialPort + kNoLoader + "Could not get Device Identifier\n",
     Err::Text,
     1,
     true},
    {"RecoveryWithAFileThatIsMissing",
     {"-U", "-t", "RECOVER", "-s", "/dev/null", "-d", "1234", "-f", "missing.bird"},
     "",
     kNoSerialPort +
         "Could not load the recovery loader from missing.bird: Failed to load bird data\n"
         "Could not get Device Identifier\n",
     Err::Text,
     1,
     true},
};

class ProgramRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(ProgramRun, OutputAndStatus) {
  const RunCase& c = GetParam();
  Program program;
  RunResult result = program.run(c.words);

  std::string err = WithServer(c.err);
  if (c.help != Err::Text) err += _usage_text(c.help == Err::HelpExtended, true);
  EXPECT_TRUE(result.exitedWith(c.status))
      << "exit " << result.exitCode << " signal " << result.termSignal;
  EXPECT_EQ(result.out, VersionLine() + c.out);
  EXPECT_EQ(result.err, err);
  EXPECT_EQ(IsDirectory(program.store().file("updater")), c.storeCreated);
  EXPECT_FALSE(IsDirectory(program.home().file(".zentrova")));
}

INSTANTIATE_TEST_SUITE_P(Updater, ProgramRun, ::testing::ValuesIn(kRunCases),
                         [](const ::testing::TestParamInfo<RunCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(ProgramUsage, HelpBlocksInOrder) {
  const struct {
    bool extended;
    bool full;
    std::vector<const char*> present;
    std::vector<const char*> absent;
  } cases[] = {
      {false, false, {}, {"  Parameters to commands:", "  Extended Parameters:", " Sample usage:"}},
      {false,
       true,
       {"  Parameters to commands:", "  Commands:", " Sample usage:",
        " Sample usage for network discovery and updates:"},
       {"  Extended Parameters:", "  Extended Commands:"}},
      {true,
       true,
       {"  Parameters to commands:", "  Commands:", "  Extended Parameters:",
        "  Extended Commands:", " Sample usage:"},
       {}},
      {true, false, {}, {"  Parameters to commands:", "  Extended Parameters:", " Sample usage:"}},
  };
  for (const auto& c : cases) {
    std::string text = _usage_text(c.extended, c.full);
    EXPECT_EQ(text.rfind(kHeader, 0), 0u);
    size_t last = 0;
    for (const char* heading : c.present) {
      size_t at = text.find(std::string("\n") + heading + "\n");
      ASSERT_NE(at, std::string::npos) << heading;
      EXPECT_GT(at, last) << heading;
      last = at;
    }
    for (const char* heading : c.absent)
      EXPECT_EQ(text.find(std::string("\n") + heading + "\n"), std::string::npos) << heading;
  }
}

TEST(ProgramUsage, EntriesAreAligned) {
  std::string text = _usage_text(true, true);
  for (const char* line :
       {"     -i <zentrova_directory>  - ",
        "     -t <transport type>      - "
        "communications method [USB,TCP,RECOVER].\n",
        "     -N                       - Get fingerprint from a device, requires -s\n",
        "     -X <BIT_MASK>            - Bitmask for Logging\n"
        "                                DEBUG_Updater       0x00000001\n",
        "                                DEBUG_iMXSerial     0x10000000\n",
        "                                DEBUG_Network       0x00000100\n",
        "\n  -G -U -d 2181F0EE -r D272031D\n                               "})
    EXPECT_NE(text.find(line), std::string::npos) << line;
}

TEST(ProgramStore, StoreDirectoryIsMadeUnderTheGivenDirectory) {
  TempDir home;
  TempDir base;
  std::string nested = base.file("two/levels");
  RunResult result = RunProgram({KV_UPDATER_BINARY, "-i", nested, "-I"}, {"HOME=" + home.path()});
  EXPECT_TRUE(result.exitedWith(0));
  EXPECT_EQ(result.out, VersionLine());
  EXPECT_EQ(result.err, "");
  ASSERT_TRUE(IsDirectory(nested + "/updater"));
  struct stat info;
  ASSERT_EQ(stat((nested + "/updater").c_str(), &info), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(info.st_mode & 0777u, 0755u & ~mask);
  EXPECT_FALSE(IsDirectory(home.file(".zentrova")));
}

TEST(ProgramStore, StoreUnderARegularFileFails) {
  TempDir home;
  TempDir base;
  std::string file = base.file("plain");
  std::ofstream(file) << "not a directory";
  RunResult result = RunProgram({KV_UPDATER_BINARY, "-i", file, "-D"}, {"HOME=" + home.path()});
  EXPECT_TRUE(result.exitedWith(1));
  EXPECT_EQ(result.out, VersionLine());
  EXPECT_EQ(result.err, "Could not find updater directory at " + file + "/updater\n");
}

TEST(ProgramStore, LaterStoreOptionWins) {
  Program program;
  TempDir other;
  RunResult result = program.run({"-i=" + other.path(), "-I"});
  EXPECT_TRUE(result.exitedWith(0));
  EXPECT_TRUE(IsDirectory(other.file("updater")));
  EXPECT_FALSE(IsDirectory(program.store().file("updater")));
}

}  // namespace
