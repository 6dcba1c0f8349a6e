// -D end to end: the updater program's exact output and status over real USB (no modules
// here), over the simulated USB bus of its test build, and over TCP/IP with stand-in modules
// inside a network namespace of the test's own, directly and behind a router.

#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Updater.h"
#include "discover_test_support.h"
#include "sim_module_process.h"
#include "support.h"

namespace {

using discover_test::RecordingDisplay;
using discover_test::SimulatedUsb;
using discover_test::StandIn;

const std::string kUsbHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)    Device Name\n";
const std::string kIpHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]       "
    "Device Name\n";
constexpr const char* kModulesVariable = "KV_SIM_USB_MODULES";

std::string VersionLine() {
  RunResult run = RunProgram({KV_UPDATER_BINARY});
  return run.out.substr(0, run.out.find('\n') + 1);
}

// Runs a build of the program with -i <temp dir> and the words.
RunResult RunUpdater(const char* program, const std::vector<std::string>& words,
                     const std::vector<std::string>& env = {}) {
  TempDir store;
  std::vector<std::string> argv = {program, "-i", store.path()};
  argv.insert(argv.end(), words.begin(), words.end());
  return RunProgram(argv, env);
}

void ExpectOutput(const RunResult& run, const std::string& out) {
  EXPECT_TRUE(run.exitedWith(0)) << "exit " << run.exitCode << " signal " << run.termSignal << "\n"
                                 << run.err;
  EXPECT_EQ(run.out, VersionLine() + out);
  EXPECT_EQ(run.err, "");
}

TEST(DiscoverProgram, FindsNoModuleOverRealUsb) {
  ExpectOutput(
      RunUpdater(KV_UPDATER_BINARY, {"-D"}),
      "Searching for Kolvantis devices\nDiscovered Devices: (USB)\n    No devices found.\n");
}

TEST(DiscoverProgram, ListsTheModulesOfTheSimulatedBus) {
  const std::string modules =
      "serial=40F5849A,address=6,model=17,build=4660,version=2.15.3,name=Bench%2C A;"
      "serial=0000BEEF,address=8,model=4,busy;"
      "serial=12345678,address=2,model=4,build=99528558,version=2.10.3,name=old;"
      "serial=0BADF00D,address=10,model=5,version=2.10.4,name=%1B[2J%07tty";
  ExpectOutput(
      RunUpdater(KV_UPDATER_SIMUSB_BINARY, {"-D"}, {std::string(kModulesVariable) + "=" + modules}),
      "Searching for Kolvantis devices\nDiscovered Devices: (USB)\n" + kUsbHeader +
          "    40F5849A  06       00      Ginkgo         2.15.3 (      4660)         Bench, A\n"
          "    0000BEEF  [Error (25): Device in use. Close all other Zentrova associated "
          "applications.]\n"
          "    12345678  02       00      Alder          2.10.3 (  99528558)         \n"
          "    0BADF00D  0A       00      Birch          2.10.4 (      4660)         ?[2J?tty\n");
}

TEST(DiscoverProgram, ListsTheModulesBehindARouterOfTheSimulatedBus) {
  // Without -t the router's link type is looked up: USB finds it, and the rows keep the USB
  // form under the header of an unknown type.
  const std::string modules =
      "serial=0000BEEF,address=2,model=17;"
      "serial=D272031D,address=4,model=21,behind=0x0C:2181F0EE:20:one,"
      "behind=0x0E:00C0FFEE:0,behind=0xFC:0000FCFC:5:last";
  ExpectOutput(RunUpdater(KV_UPDATER_SIMUSB_BINARY, {"-D", "-r", "D272031D"},
                          {std::string(kModulesVariable) + "=" + modules}),
               "Searching for Kolvantis Network devices connected to D272031D\nDiscovered Devices: "
               "(Unknown)\n" +
                   kIpHeader +
                   "    2181F0EE  0C       04      Juniper        2.15.3 (      4660)         \n"
                   "    00C0FFEE  0E       04      Unknown        2.15.3 (      4660)         \n"
                   "    0000FCFC  FC       04      Birch          2.15.3 (      4660)         \n");
}

TEST(DiscoverProgram, RouterNotOnTheBusListsNothing) {
  const std::string modules = "serial=D272031D,address=4,model=21,behind=0x0C:2181F0EE:20";
  ExpectOutput(
      RunUpdater(KV_UPDATER_SIMUSB_BINARY, {"-D", "-r", "0BADF00D", "-t", "USB"},
                 {std::string(kModulesVariable) + "=" + modules}),
      "Searching for Kolvantis Network devices connected to 0BADF00D\nDiscovered Devices: (USB)\n"
      "    No devices found.\n");
}

TEST(DiscoverProgram, TestBuildRefusesADescriptionItCannotRead) {
  RunResult run = RunUpdater(KV_UPDATER_SIMUSB_BINARY, {"-D"},
                             {std::string(kModulesVariable) + "=serial=12zz"});
  EXPECT_TRUE(run.exitedWith(2));
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, std::string(kModulesVariable) + ": bad value for serial: 12zz\n");
}

// --- TCP/IP, inside a network namespace -------------------------------------------------------

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

class DiscoverInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace())
      GTEST_SKIP() << "runs only inside the network namespace that "
                      "DiscoverProgram.RunsInsideANetworkNamespace makes";
    for (const std::string& name : InterfaceNames())
      ASSERT_EQ(name, "lo") << "not inside the test's namespace: no discovery traffic is sent";
    ASSERT_TRUE(RepliesComeFromLoopback());
  }

  std::unique_ptr<kvsim::SimModuleProcess> standIn(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--tcp", "0", "--discovery"});
    auto process = std::make_unique<kvsim::SimModuleProcess>(arguments);
    EXPECT_TRUE(process->ready()) << process->error();
    return process;
  }
};

TEST_F(DiscoverInNamespace, NothingAnswersOverTcp) {
  ExpectOutput(
      RunUpdater(KV_UPDATER_BINARY, {"-D", "-t", "TCPIP"}),
      "Searching for Kolvantis devices\nDiscovered Devices: (TCPIP)\n    No devices found.\n");
}

TEST_F(DiscoverInNamespace, ListsTcpModulesWithTheirAddress) {
  auto first = standIn({"--uei", "--serial", "40F5849A", "--address", "6", "--model", "17",
                        "--build", "4660", "--name", "Lab rack"});
  // Its version cannot be read: the row shows what was read before, whatever the error.
  auto second = standIn({"--uei", "--serial", "0000BEEF", "--address", "8", "--model", "4",
                         "--build", "99", "--uei-fault", "error-code:3:0:7:every:7"});

  RunResult run = RunUpdater(KV_UPDATER_BINARY, {"-D", "-t", "TCP"});

  EXPECT_TRUE(run.exitedWith(0)) << run.err;
  EXPECT_EQ(run.err, "");
  std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 6u) << run.out;
  EXPECT_EQ(lines[0] + "\n", VersionLine());
  EXPECT_EQ(lines[1], "Searching for Kolvantis devices");
  EXPECT_EQ(lines[2], "Discovered Devices: (TCPIP)");
  EXPECT_EQ(lines[3] + "\n", kIpHeader);
  // The replies may come in either order.
  std::vector<std::string> rows(lines.begin() + 4, lines.end());
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows[0],
            "    0000BEEF  08       08      Alder          0.0.0 (        99)        [127.0.0.1]"
            "        ");
  EXPECT_EQ(rows[1],
            "    40F5849A  06       00      Ginkgo         2.15.3 (      4660)        [127.0.0.1]"
            "        Lab rack");
}

TEST_F(DiscoverInNamespace, ListsTheModulesBehindATcpRouterWithTheRoutersAddress) {
  auto router =
      standIn({"--serial", "D272031D", "--address", "4", "--model", "21", "--behind",
               "0x0C:2181F0EE:20:one", "--behind", "0x0E:00C0FFEE:5", "--behind-silent", "0x0E"});

  ExpectOutput(
      RunUpdater(KV_UPDATER_BINARY, {"-D", "-t", "TCPIP", "-r", "D272031D"}),
      "Searching for Kolvantis Network devices connected to D272031D\nDiscovered Devices: "
      "(TCPIP)\n" +
          kIpHeader +
          "    2181F0EE  0C       04      Juniper        2.15.3 (      4660)        [127.0.0.1]"
          "        \n");
}

TEST_F(DiscoverInNamespace, BothTypesListUsbModulesFirst) {
  auto tcp = standIn({"--uei", "--serial", "40F5849A", "--address", "6", "--model", "17"});
  SimulatedUsb usb;
  usb.add(StandIn{0x0000BEEF, 8, 4});
  TempDir store;
  RecordingDisplay display;
  Updater updater("", store.path().c_str(), display);

  std::vector<DeviceInfo> list = updater.Discover_Devices(0);

  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].spec.type, 1u);
  EXPECT_EQ(list[0].spec.serialNumber, 0x0000BEEFu);
  EXPECT_EQ(list[0].error, 0);
  EXPECT_EQ(list[1].spec.type, 2u);
  EXPECT_EQ(list[1].spec.serialNumber, 0x40F5849Au);
  EXPECT_EQ(list[1].spec.address, inet_addr("127.0.0.1"));
  EXPECT_EQ(list[1].spec.port, static_cast<uint32_t>(tcp->port()));
  EXPECT_EQ(list[1].error, 0);
  EXPECT_EQ(list[1].patch, 3u);
}

// Runs the tests above in a copy of this program inside a fresh network namespace, so that no
// discovery datagram can leave through a real interface.
TEST(DiscoverProgram, RunsInsideANetworkNamespace) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespace("DiscoverInNamespace.*");
}

}  // namespace
