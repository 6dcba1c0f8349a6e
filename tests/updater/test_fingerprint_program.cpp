// -N end to end: the updater program against the LPC ISP stand-in on a pty and against a port
// on which nothing answers, and the updater built over the simulated USB bus against the i.MX
// ROM stand-in behind hidapi's calls, whose jump brings up the recovery loader. Also a port
// that cannot be opened, for -N and for the recovery, whose first step is the fingerprint.
// Every run has its own store (-i) and an update server address on which nothing listens.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "recover_test_support.h"

namespace {

using namespace recovery_test;
using Clock = std::chrono::steady_clock;

constexpr double SILENT_PORT_LIMIT_S = 20.0;  // s a run against a silent port may take

std::string VersionLinePrefix() { return "Updater (Version: "; }

class FingerprintProgram : public ::testing::Test {
 protected:
  FingerprintProgram() : server("127.0.0.1:" + std::to_string(ClosedLoopbackPort())) {}

  RunResult Run(const std::string& binary, const std::vector<std::string>& words,
                const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {binary, "-i", dir.path(), "-u", server};
    argv.insert(argv.end(), words.begin(), words.end());
    return RunProgram(argv, env);
  }

  // The recovery loader stored for the default serial number.
  void StoreLoader() {
    store.put(kDeadDead, "77.bird", LoaderFile().bytes());
    store.settings(kDeadDead, "LATEST_DOWNLOAD=77.bird\n");
  }

  TempDir dir;
  StoreDir store{dir.file("updater")};
  std::string server;
};

TEST_F(FingerprintProgram, AnLpcChipsDeviceSerialNumberIsPrintedOnOneLine) {
  kvsim::LpcConfig config;
  LpcRomOnPty chip(config);
  const RunResult result = Run(KV_UPDATER_BINARY, {"-N", "-s", chip.port()});
  char line[64];
  snprintf(line, sizeof line, "[ %08X %08X %08X %08X ]\n", config.serial[0], config.serial[1],
           config.serial[2], config.serial[3]);
  EXPECT_TRUE(result.exitedWith(0)) << result.err;
  EXPECT_EQ(result.out.rfind(VersionLinePrefix(), 0), 0u) << result.out;
  EXPECT_EQ(result.out.substr(result.out.find('\n') + 1), line);
  EXPECT_EQ(result.err, "");
}

TEST_F(FingerprintProgram, ASilentPortGetsNoResponseAndStatusOne) {
  StoreLoader();
  SilentPort port;
  const Clock::time_point start = Clock::now();
  const RunResult result = Run(KV_UPDATER_BINARY, {"-N", "-s", port.port()});
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), SILENT_PORT_LIMIT_S);
  EXPECT_TRUE(result.exitedWith(1)) << result.err;
  const std::string last = "Got no response from chip\n";
  ASSERT_GE(result.err.size(), last.size()) << result.err;
  EXPECT_EQ(result.err.substr(result.err.size() - last.size()), last) << result.err;
}

TEST_F(FingerprintProgram, AnImxChipOnUsbReportsTheStartedLoadersIdentifier) {
  StoreLoader();
  const RunResult result =
      Run(KV_UPDATER_SIMUSB_BINARY, {"-N", "-s", "USB"},
          {"KV_SIM_IMX_ROM=usb", "KV_SIM_IMX_LOADER=serial=DEADDEAD,upgrade,loader"});
  // The stand-in loader's identifier words for subindexes 0 to 3 are 10203040 to 10203043.
  EXPECT_TRUE(result.exitedWith(0)) << result.err;
  EXPECT_EQ(result.out.substr(result.out.find('\n') + 1),
            "[ 10203043 10203042 10203041 10203040 ]\n");
  EXPECT_EQ(result.err, "");
}

// A port that cannot be opened as a serial port (a typo, a missing adapter, a path that is no
// serial device) is named on the console as soon as the LPC road fails to open it, before the
// i.MX road runs (which still asks for a loader) and the command's own failure. "USB" is the
// i.MX HID transport: that the LPC road cannot open it as a path is no news to the user.
enum class PortKind { Missing, DevNull, RegularFile, Usb };

struct PortCase {
  const char* name;
  PortKind kind;
  const char* reason;  // the open's error as the message names it; null: no message
};

const PortCase kPortCases[] = {
    {"MissingPath", PortKind::Missing, "aErrNotFound"},
    {"DevNull", PortKind::DevNull, "aErrIO"},
    {"RegularFile", PortKind::RegularFile, "aErrIO"},
    {"UsbIsTheHidTransport", PortKind::Usb, nullptr},
};

struct CommandCase {
  const char* name;
  std::vector<std::string> words;  // before "-s PORT"
  const char* lastLine;            // the command's own failure, last on standard error
};

const CommandCase kCommandCases[] = {
    {"Fingerprint", {"-N"}, "Got no response from chip"},
    {"Recovery", {"-U", "-t", "RECOVER"}, "Could not get Device Identifier"},
};

void PrintTo(const PortCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class UnopenablePort : public FingerprintProgram,
                       public ::testing::WithParamInterface<std::tuple<PortCase, CommandCase>> {
 protected:
  std::string PortPath(PortKind kind) {
    switch (kind) {
      case PortKind::Missing:
        return dir.file("ttyNOSUCH");
      case PortKind::DevNull:
        return "/dev/null";
      case PortKind::RegularFile: {
        const std::string path = dir.file("plain-file");
        EXPECT_TRUE(WriteText(path, "not a serial port\n"));
        return path;
      }
      case PortKind::Usb:
        return "USB";
    }
    return "";
  }
};

TEST_P(UnopenablePort, IsNamedOnTheConsoleBeforeTheImxRoad) {
  const PortCase& port = std::get<0>(GetParam());
  const CommandCase& command = std::get<1>(GetParam());
  const std::string path = PortPath(port.kind);
  std::vector<std::string> words = command.words;
  words.insert(words.end(), {"-s", path});
  const RunResult result = Run(KV_UPDATER_BINARY, words);

  EXPECT_TRUE(result.exitedWith(1)) << result.err;
  const std::string shown = "Could not open serial port ";
  if (port.reason != nullptr) {
    const std::string line = shown + path + " ==> " + port.reason + "\n";
    EXPECT_EQ(result.err.substr(0, line.size()), line) << result.err;
  } else {
    EXPECT_EQ(result.err.find(shown), std::string::npos) << result.err;
  }
  // The i.MX road still runs: it asks the server for a loader for the default serial number.
  EXPECT_NE(result.err.find("Could not download a recovery loader for DEADDEAD\n"),
            std::string::npos)
      << result.err;
  const std::string last = std::string(command.lastLine) + "\n";
  ASSERT_GE(result.err.size(), last.size()) << result.err;
  EXPECT_EQ(result.err.substr(result.err.size() - last.size()), last) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Program, UnopenablePort,
    ::testing::Combine(::testing::ValuesIn(kPortCases), ::testing::ValuesIn(kCommandCases)),
    [](const ::testing::TestParamInfo<std::tuple<PortCase, CommandCase>>& param) {
      return std::string(std::get<1>(param.param).name) + "_" + std::get<0>(param.param).name;
    });

}  // namespace
