// The stand-in module program's upgrade conversation, reached over TCP by raw sockets with the
// bytes the updater sends: the options that shape the answers, LOAD's drop and come-back (under
// the own serial number, under DEADDEAD, or never), the loader's announcement after a silent
// drop, REBOOT's drop with the flash dump, a port that refuses connections while the module is
// away and listens again once it is back, and the discovery reply after a come-back (inside a
// network namespace of its own).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "exchange_test_support.h"
#include "sim_module_core.h"
#include "sim_module_process.h"
#include "sim_upgrade.h"
#include "support.h"

namespace {

using kvsim::Bytes;
using kvsim::expectExchange;
using kvsim::LinkSocket;
using kvsim::SimModuleProcess;
using kvsim::wire;

constexpr uint8_t kAddress = 6;
constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kCmd = 0x5F;
constexpr int kEndTimeoutMs = 5000;        // ms for the module to end a connection it drops
constexpr int kNeverMs = 1500;             // ms of silence that show a module stays away
constexpr int kReturnMsValue = 1000;       // ms away after LOAD's drop: well past kQuietMs
constexpr const char* kReturnMs = "1000";  // the same, as the option takes it
constexpr int kTimingSlackMs = 300;        // ms a come-back may seem early or late by
constexpr int kBackWithinMs = 5000;        // ms to wait for a module to take connections again

Bytes join(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes word(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// Packets to and from the module at kAddress.
Bytes packet(const Bytes& data) { return wire(kAddress, data); }
const Bytes kProbe{0xAD, 0x00};
const Bytes kProbeAnswer{kAddress, 0x00};
const Bytes kGetSerial = packet({3, 9 | 0x40, 0x20});
Bytes serialReply(uint32_t serial) { return packet(join({{3, 9, 0}, word(serial)})); }
const Bytes kGetFeatures = packet({3, 45 | 0x40, 0x20});
Bytes featuresReply(uint32_t features) { return packet(join({{3, 45, 0}, word(features)})); }
const Bytes kHasUeiData = packet({0x49, 1, kCmd, 10, 0, 0x80});
Bytes hasUeiReply(uint8_t answer) { return packet({0x49, 1, kCmd, 10, 0, answer}); }

const Bytes kInit = packet({kCmd, 0});
Bytes initReply(uint32_t base) { return packet(join({{kCmd, 0}, word(base)})); }
Bytes prepare(uint32_t address) { return packet(join({{kCmd, 3, 0}, word(address)})); }
Bytes data(const Bytes& payload) { return packet(join({{kCmd, 1}, payload})); }
Bytes dataReply(size_t count) { return packet({kCmd, 1, static_cast<uint8_t>(count)}); }
const Bytes kSum = packet({kCmd, 4});
Bytes write(uint16_t length) {
  return packet({kCmd, 5, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
}
const Bytes kLoad = packet({kCmd, 2});  // the loader's answer carries the same bytes
const Bytes kReboot = packet({kCmd, 6});
Bytes status(const Bytes& rest) { return packet(join({{kCmd, 7}, rest})); }

// A module at kAddress with kSerial that takes the upgrade conversation over TCP.
std::vector<std::string> upgradeModule(const std::vector<std::string>& extra) {
  std::vector<std::string> arguments{"--tcp", "0",        "--upgrade", "--address",
                                     "6",     "--serial", "40F5849A"};
  arguments.insert(arguments.end(), extra.begin(), extra.end());
  return arguments;
}

// Sends the request and expects exactly these bytes back; no wait for silence afterwards.
void exchange(LinkSocket& link, const Bytes& request, const Bytes& expected,
              const std::string& what) {
  ASSERT_TRUE(link.send(request)) << what;
  EXPECT_EQ(link.read(expected.size()), expected) << what;
}

// Expects the module to end the connection with nothing more on it.
void expectEnd(LinkSocket& link, const std::string& what) {
  EXPECT_EQ(link.read(SIZE_MAX, kEndTimeoutMs), Bytes{}) << what;
  EXPECT_TRUE(link.ended()) << what << ": the module should have ended the connection";
}

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The host's end of the kernel-node front end, open for its lifetime.
class Node {
 public:
  explicit Node(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    if (fd_ < 0 || !PtyPair::makeRaw(fd_)) ADD_FAILURE() << "cannot open the node " << path;
  }
  ~Node() {
    if (fd_ >= 0) close(fd_);
  }
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // Sends the request and reads up to count bytes of the answer.
  Bytes exchange(const Bytes& request, size_t count) {
    Bytes answer;
    if (fd_ < 0 ||
        ::write(fd_, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
      return answer;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEndTimeoutMs);
    while (answer.size() < count && std::chrono::steady_clock::now() < deadline) {
      uint8_t byte = 0;
      if (read(fd_, &byte, 1) == 1)  // a read without a byte comes back after a short wait
        answer.push_back(byte);
    }
    return answer;
  }

 private:
  int fd_;
};

// --- Command line ---------------------------------------------------------------------------

TEST(SimUpgradeProgram, HelpListsTheUpgradeOptionsKnobsAndTheFlashCommand) {
  RunResult run = RunProgram({KV_SIM_MODULE_BINARY, "--help"});
  ASSERT_TRUE(run.exitedWith(0)) << run.err;
  std::vector<std::string> words{"--upgrade",
                                 "--loader",
                                 "--after-load stay|drop:MS|silent-drop",
                                 "--return same|deadbead|never",
                                 "--return-quiet",
                                 "--return-ms",
                                 "--reboot-drop-ms",
                                 "--block-size",
                                 "--load-base",
                                 "--no-uei",
                                 "--no-pooled",
                                 "--late-ms",
                                 "--flash-dump",
                                 "--upgrade-fault",
                                 "--loader-fault",
                                 "FLASH PATH",
                                 "Control commands"};
  for (kvsim::UpgradeFault fault : kvsim::kAllUpgradeFaults)
    words.push_back(kvsim::upgradeFaultName(fault));
  for (const std::string& word : words) EXPECT_NE(run.out.find(word), std::string::npos) << word;
}

TEST(SimUpgradeProgram, BadUpgradeOptionsAreRefusedNamingTheOption) {
  struct Case {
    std::vector<std::string> arguments;
    const char* named;  // the option the message must name
  };
  const Case cases[] = {
      {{"--after-load", "stay"}, "--after-load"},  // without --upgrade
      {{"--flash-dump", "x"}, "--flash-dump"},
      {{"--upgrade", "--after-load", "later"}, "--after-load"},
      {{"--upgrade", "--after-load", "drop:soon"}, "--after-load"},
      {{"--upgrade", "--return", "sometimes"}, "--return"},
      {{"--upgrade", "--upgrade-fault", "bogus"}, "--upgrade-fault"},
      {{"--upgrade", "--upgrade-fault", "late-sum:x"}, "--upgrade-fault"},
      {{"--upgrade", "--loader-fault", "bogus:1"}, "--loader-fault"},
      {{"--loader-fault", "late-sum"}, "--loader-fault"},  // without --upgrade
      {{"--upgrade", "--block-size", "0"}, "--block-size"},
      {{"--upgrade", "--block-size", "70000"}, "--block-size"},
      {{"--upgrade", "--load-base", "xyz"}, "--load-base"},
      {{"--upgrade", "--late-ms", "700000"}, "--late-ms"},
      {{"--upgrade", "--reboot-drop-ms"}, "--reboot-drop-ms"},
      {{"--upgrade", "--flash-dump", ""}, "--flash-dump"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{KV_SIM_MODULE_BINARY, "--tcp", "0"};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    RunResult run = RunProgram(argv);
    EXPECT_TRUE(run.exitedWith(2)) << testing::PrintToString(c.arguments) << ": " << run.err;
    EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
  }
}

// --- The conversation's answers -------------------------------------------------------------

// Options from the command line, then the steps: a request (none: only wait) and exactly what
// comes back.
struct AnswerCase {
  const char* name;
  std::vector<std::string> arguments;
  std::vector<std::pair<Bytes, Bytes>> steps;
};

class SimUpgradeProgramAnswers : public testing::TestWithParam<AnswerCase> {};

TEST_P(SimUpgradeProgramAnswers, OptionsShapeTheReplies) {
  const AnswerCase& c = GetParam();
  SimModuleProcess sim(upgradeModule(c.arguments));
  ASSERT_TRUE(sim.ready()) << sim.error();
  LinkSocket link(sim.port());
  ASSERT_TRUE(link.connected());
  for (size_t i = 0; i < c.steps.size(); ++i)
    expectExchange(link, c.steps[i].first, c.steps[i].second, "step " + std::to_string(i));
  EXPECT_EQ(sim.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Options, SimUpgradeProgramAnswers,
    testing::Values(
        AnswerCase{"Defaults",
                   {},
                   {{kInit, initReply(kvsim::kDefaultLoadBase)},
                    {prepare(0x1000), status({0, 0x01, 0x00})},
                    {kGetFeatures, featuresReply(kvsim::kPooledPacketsFeature)},
                    {kHasUeiData, hasUeiReply(0)},
                    {kLoad, kLoad},
                    {kProbe, kProbeAnswer},  // stays connected
                    {kInit, {}},             // the loader takes no INIT
                    {write(0), status({kvsim::kUpgradeNoBlock})}}},
        AnswerCase{"LoadBaseAndBlockSize",
                   {"--load-base", "8000", "--block-size", "64"},
                   {{kInit, initReply(0x8000)}, {prepare(0x1000), status({0, 0x00, 0x40})}}},
        AnswerCase{"NeitherUeiDataNorPooledPackets",
                   {"--no-uei", "--no-pooled"},
                   {{kGetFeatures, featuresReply(0)}, {kHasUeiData, hasUeiReply(1)}}},
        AnswerCase{"LoaderFromTheStart",
                   {"--loader"},
                   {{kInit, {}}, {write(0), status({kvsim::kUpgradeNoBlock})}}},
        AnswerCase{"PrepareErrorOnce",
                   {"--upgrade-fault", "prepare-error:1"},
                   {{prepare(0x1000), status({kvsim::kUpgradeRefused, 0, 0})},
                    {prepare(0x1000), status({0, 0x01, 0x00})}}},
        AnswerCase{"LoaderFaultWaitsForTheLoader",
                   {"--loader-fault", "prepare-error:1"},
                   {{prepare(0x1000), status({0, 0x01, 0x00})},
                    {kLoad, kLoad},
                    {prepare(0x1000), status({kvsim::kUpgradeRefused, 0, 0})},
                    {prepare(0x1000), status({0, 0x01, 0x00})}}},
        AnswerCase{"LoaderFaultFromTheStartWithLoader",
                   {"--loader", "--loader-fault", "prepare-error:1"},
                   {{prepare(0x1000), status({kvsim::kUpgradeRefused, 0, 0})},
                    {prepare(0x1000), status({0, 0x01, 0x00})}}},
        AnswerCase{"ShortStatusAlways",
                   {"--upgrade-fault", "short-status"},
                   {{prepare(0x1000), status({0, 0x01})}, {prepare(0x1000), status({0, 0x01})}}},
        AnswerCase{"LateSumComesLateMsAfterTheRequest",
                   {"--upgrade-fault", "late-sum:1", "--late-ms", "1000"},
                   {{prepare(0x1000), status({0, 0x01, 0x00})},
                    {data({1, 2, 3}), dataReply(3)},
                    {kSum, {}},
                    {{}, status(join({{0}, word(6)}))}}}),
    [](const testing::TestParamInfo<AnswerCase>& param) { return param.param.name; });

// --- Drops and come-backs -------------------------------------------------------------------

struct ReturnCase {
  const char* name;
  const char* returnAs;
  std::optional<uint32_t> serial;  // the serial number it comes back under; none: never back
};

class SimUpgradeProgramReturn : public testing::TestWithParam<ReturnCase> {};

TEST_P(SimUpgradeProgramReturn, LoadAnswersDropsAndTheModuleComesBackAsScripted) {
  const ReturnCase& c = GetParam();
  SimModuleProcess sim(upgradeModule(
      {"--after-load", "drop:100", "--return", c.returnAs, "--return-ms", kReturnMs}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  {
    LinkSocket link(sim.port());
    ASSERT_TRUE(link.connected());
    exchange(link, kGetSerial, serialReply(kSerial), "serial number before");
    exchange(link, kLoad, kLoad, "LOAD is answered before the drop");
    expectEnd(link, "the drop after LOAD");
  }

  const auto ended = std::chrono::steady_clock::now();
  LinkSocket refused(sim.port());
  EXPECT_FALSE(refused.connected()) << "the port refuses connections while the module is away";
  if (!c.serial) {
    LinkSocket later(sim.port(), kNeverMs);
    EXPECT_FALSE(later.connected()) << "never back";
    return;
  }
  LinkSocket again(sim.port(), kBackWithinMs);  // the same port once the module is back
  ASSERT_TRUE(again.connected());
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  ended)
                .count(),
            kReturnMsValue - kTimingSlackMs)
      << "away for --return-ms";
  ASSERT_TRUE(again.send(kGetSerial));
  EXPECT_EQ(again.read(serialReply(*c.serial).size()), serialReply(*c.serial))
      << "the system entity reads the serial number it came back under";
  exchange(again, write(0), status({kvsim::kUpgradeNoBlock}), "the loader runs");
  EXPECT_EQ(sim.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Returns, SimUpgradeProgramReturn,
    testing::Values(ReturnCase{"OwnSerial", "same", kSerial},
                    ReturnCase{"DefaultSerial", "deadbead", kvsim::kDefaultSerial},
                    ReturnCase{"Never", "never", std::nullopt}),
    [](const testing::TestParamInfo<ReturnCase>& param) { return param.param.name; });

TEST(SimUpgradeProgram, AfterASilentDropTheLoaderAnnouncesItselfUnlessQuiet) {
  for (bool quiet : {false, true}) {
    SCOPED_TRACE(quiet ? "--return-quiet" : "announcing");
    std::vector<std::string> extra{"--after-load", "silent-drop", "--return-ms", "100"};
    if (quiet) extra.push_back("--return-quiet");
    SimModuleProcess sim(upgradeModule(extra));
    ASSERT_TRUE(sim.ready()) << sim.error();
    {
      LinkSocket link(sim.port());
      ASSERT_TRUE(link.send(kLoad));
      expectEnd(link, "LOAD goes unanswered and the link drops");
    }
    LinkSocket again(sim.port(), kBackWithinMs);
    exchange(again, kProbe, kProbeAnswer, "back after --return-ms");
    if (quiet)
      EXPECT_EQ(again.readFor(static_cast<int>(kvsim::kAnnounceDelayMs) + kvsim::kQuietMs),
                Bytes{});
    else
      EXPECT_EQ(again.read(kLoad.size()), kLoad) << "the loader's own [5F][02]";
  }
}

TEST(SimUpgradeProgram, RebootDropsTheLinkAndTheFlashDumpHoldsTheWrittenChunks) {
  TempDir dir;
  const std::string dump = dir.file("flash.txt");
  SimModuleProcess sim(upgradeModule({"--loader", "--block-size", "8", "--flash-dump", dump,
                                      "--reboot-drop-ms", "50", "--return-ms", "100"}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  const Bytes first{1, 2, 3, 4, 5, 6, 7, 8}, second{9, 10, 11};
  {
    LinkSocket link(sim.port());
    exchange(link, prepare(0x1000), status({0, 0x00, 0x08}), "PREPARE");
    exchange(link, data(first), dataReply(8), "first chunk");
    exchange(link, kSum, status(join({{0}, word(36)})), "first sum");
    exchange(link, write(8), status({0}), "first WRITE");
    exchange(link, data(second), dataReply(3), "second chunk");
    exchange(link, kSum, status(join({{0}, word(30)})), "second sum");
    exchange(link, write(3), status({0}), "second WRITE");
    ASSERT_TRUE(link.send(kReboot));
    expectEnd(link, "REBOOT drops the link");
  }
  LinkSocket refused(sim.port());
  EXPECT_FALSE(refused.connected()) << "the port refuses while the module restarts";
  const std::string expected = "00001000 0102030405060708090A0B\n";
  EXPECT_EQ(readFile(dump), expected) << "written at REBOOT";

  LinkSocket again(sim.port(), kBackWithinMs);
  exchange(again, kInit, initReply(kvsim::kDefaultLoadBase), "the application runs again");
  exchange(again, kGetSerial, serialReply(kSerial), "under its own serial number");

  const std::string now = dir.file("now.txt");
  ASSERT_TRUE(sim.command("FLASH " + now)) << sim.error();
  EXPECT_EQ(readFile(now), expected);

  ASSERT_EQ(std::remove(dump.c_str()), 0);
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_EQ(readFile(dump), expected) << "written again at exit";
}

TEST(SimUpgradeProgram, FlashDumpsThatCannotBeWrittenAreReported) {
  TempDir dir;
  const std::string unreachable = dir.file("missing/flash.txt");
  SimModuleProcess sim(upgradeModule({"--flash-dump", unreachable}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  EXPECT_FALSE(sim.command("FLASH " + unreachable));
  EXPECT_NE(sim.error().find(unreachable), std::string::npos) << sim.error();
  EXPECT_FALSE(sim.command("FLASH")) << "a path is needed";
  EXPECT_EQ(sim.stop(), 1) << "the dump at exit failed";

  SimModuleProcess plain({"--tcp", "0"});
  ASSERT_TRUE(plain.ready()) << plain.error();
  EXPECT_FALSE(plain.command("FLASH " + dir.file("flash.txt"))) << "no upgrade conversation";
  EXPECT_EQ(plain.stop(), 0);
}

// The kernel-node front end: the drop closes the pty, the come-back makes a new one behind the
// same name.
TEST(SimUpgradeProgram, NodeComesBackAsANewPtyBehindTheSameName) {
  TempDir dir;
  const std::string name = dir.file("kolvantis.40F5849A");
  SimModuleProcess sim({"--node", name, "--upgrade", "--address", "6", "--serial", "40F5849A",
                        "--after-load", "drop:50", "--return", "deadbead", "--return-ms", "100"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  const std::string first = sim.ptyPath();
  Node before(name);  // held open across the drop, so the new pty cannot take its number
  ASSERT_EQ(before.exchange(kLoad, kLoad.size()), kLoad);
  ASSERT_TRUE(sim.awaitNewPty(first)) << sim.error();
  Node after(name);
  EXPECT_EQ(after.exchange(kGetSerial, serialReply(kvsim::kDefaultSerial).size()),
            serialReply(kvsim::kDefaultSerial));
}

// --- Discovery after a come-back ------------------------------------------------------------

constexpr int kDiscoveryWaitMs = 400;  // ms a search collects replies
constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr uint16_t kDiscoveryRequestPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr size_t kDiscoveryDatagram = 16;

// One discovery request to the group, sent from the reply port; the serial numbers of the
// replies that came within kDiscoveryWaitMs.
std::vector<uint32_t> discoverSerials() {
  std::vector<uint32_t> serials;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int one = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(kDiscoveryReplyPort);
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(kDiscoveryRequestPort);
  inet_pton(AF_INET, kDiscoveryGroup, &group.sin_addr);
  uint8_t request[kDiscoveryDatagram] = {1};
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group), sizeof group) !=
          static_cast<ssize_t>(sizeof request)) {
    ADD_FAILURE() << "cannot send a discovery request";
    if (fd >= 0) close(fd);
    return serials;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDiscoveryWaitMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    uint8_t reply[kDiscoveryDatagram + 1];
    ssize_t got = recv(fd, reply, sizeof reply, 0);
    if (got == static_cast<ssize_t>(kDiscoveryDatagram) && reply[0] == 1)
      serials.push_back(static_cast<uint32_t>(reply[4] | reply[5] << 8 | reply[6] << 16) |
                        static_cast<uint32_t>(reply[7]) << 24);
  }
  close(fd);
  return serials;
}

TEST(SimUpgradeDiscoveryInNamespace, DiscoveryFollowsTheSerialNumberOfTheComeBack) {
  if (!InsideTestNamespace())
    GTEST_SKIP() << "runs only inside the network namespace that "
                    "SimUpgradeProgram.DiscoveryRunsInsideANetworkNamespace makes";
  SimModuleProcess sim(upgradeModule(
      {"--discovery", "--after-load", "drop:0", "--return", "deadbead", "--return-ms", "1500"}));
  ASSERT_TRUE(sim.ready()) << sim.error();
  EXPECT_EQ(discoverSerials(), std::vector<uint32_t>{kSerial});
  {
    LinkSocket link(sim.port());
    exchange(link, kLoad, kLoad, "LOAD is answered before the drop");
    expectEnd(link, "the drop after LOAD");
  }
  EXPECT_EQ(discoverSerials(), std::vector<uint32_t>{}) << "off the network while away";
  LinkSocket refused(sim.port());
  EXPECT_FALSE(refused.connected()) << "its port refuses while away";

  LinkSocket again(sim.port(), kBackWithinMs);
  exchange(again, kGetSerial, serialReply(kvsim::kDefaultSerial), "back under DEADDEAD");
  EXPECT_EQ(discoverSerials(), std::vector<uint32_t>{kvsim::kDefaultSerial});
  EXPECT_EQ(sim.stop(), 0);
}

// Runs the test above in a copy of this program inside a fresh network namespace, so that no
// discovery datagram can leave through a real interface.
TEST(SimUpgradeProgram, DiscoveryRunsInsideANetworkNamespace) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespace("SimUpgradeDiscoveryInNamespace.*");
}

}  // namespace
