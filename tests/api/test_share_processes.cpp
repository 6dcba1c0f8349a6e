// Sharing across processes: the stand-in module program over TCP loopback, shared by the share
// tool's broker in a process of its own, and clients in this process and in a copy of it that
// send at the same time and each get their own answers in order; the tool's end with its
// input or SIGTERM, which gives the module back; the tool's refusals; and, inside a network
// namespace, a share for the network on an interface given.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "SystemClass.h"
#include "api_test_support.h"
#include "share_process.h"
#include "sim_module_process.h"
#include "support.h"

using apitest::NoSharing;
using Zentrova::Kolvantis::Link;
using Zentrova::Kolvantis::Module;
using Zentrova::Kolvantis::SystemClass;
using Zentrova::Kolvantis::VelnetConfig;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSerial = 0x5AA2E001;
constexpr uint8_t kAddress = 4;
constexpr uint8_t kEchoCommand = 23;  // the module sends such packets back as they came
constexpr int kRequests = 300;        // per client
constexpr int kWindow = 8;            // requests a client has on its way at once
constexpr auto kStartGuard = std::chrono::seconds(20);  // for the other client to be ready
constexpr auto kFilePollInterval = std::chrono::milliseconds(2);
constexpr int kChildRunTimeoutMs = 60000;
constexpr uint8_t kParentTag = 1;
constexpr uint8_t kChildTag = 2;

// The child copy of this program is told where the broker is and where to meet the parent.
constexpr const char* kBrokerVariable = "KV_SHARE_TEST_BROKER";  // "A.B.C.D:PORT"
constexpr const char* kMeetVariable = "KV_SHARE_TEST_MEET";      // a directory
constexpr const char* kChildFilter = "ShareClientChild.SendsAndChecksItsAnswers";

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

std::string Hex(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

std::string SelfPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void Touch(const std::string& path) { std::ofstream(path).put('\n'); }

bool AwaitFile(const std::string& path) {
  const auto end = Clock::now() + kStartGuard;
  while (!Exists(path)) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(kFilePollInterval);
  }
  return true;
}

// One client of the broker: kRequests echo requests [23][tag][n high][n low], kWindow on their
// way at once, each answer checked to be the next one of its own. The count of answers that
// came right, in order.
int SendAndCheck(Link& link, uint8_t tag) {
  int sent = 0;
  int answered = 0;
  while (answered < kRequests) {
    while (sent < kRequests && sent - answered < kWindow) {
      const uint8_t data[] = {tag, static_cast<uint8_t>(sent >> 8), static_cast<uint8_t>(sent)};
      if (link.sendPacket(kAddress, kEchoCommand, sizeof data, data) != aErrNone) return answered;
      ++sent;
    }
    const uint8_t pattern[] = {kEchoCommand};
    uint8_t length = sizeof pattern;
    uint8_t reply[28];
    if (link.receivePacket(kAddress, pattern, &length, reply) != aErrNone) return answered;
    const uint8_t expected[] = {kEchoCommand, tag, static_cast<uint8_t>(answered >> 8),
                                static_cast<uint8_t>(answered)};
    if (length != sizeof expected || std::memcmp(reply, expected, sizeof expected) != 0) {
      return answered;
    }
    ++answered;
  }
  return answered;
}

VelnetConfig ClientConfig() {
  VelnetConfig config;
  config.enabled = 1;
  config.fallback = 0;
  return config;
}

// A Link connected as a client of the broker at that address and port.
aErr ConnectClient(Link& link, uint32_t address, uint16_t port) {
  link.setConfig(ClientConfig());
  linkSpec spec{};
  spec.type = aLINK_TYPE_CLIENT;
  spec.address = address;
  spec.port = port;
  link.setLinkSpecifier(spec);
  return link.connect();
}

// The stand-in module program and the share tool's broker in front of it.
class ShareProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<kvsim::SimModuleProcess>(std::vector<std::string>{
        "--tcp", "0", "--serial", Hex(kSerial), "--address", std::to_string(kAddress), "--uei"});
    ASSERT_TRUE(sim_->ready()) << sim_->error();
    share_ = std::make_unique<kvshare::ShareProcess>(std::vector<std::string>{
        "--tcp", "127.0.0.1:" + std::to_string(sim_->port()), "--serial", Hex(kSerial)});
    ASSERT_TRUE(share_->ready()) << share_->error();
    EXPECT_EQ(share_->addressText(), "127.0.0.1") << "local-only by default";
  }

  // The order in which the module got the clients' echo requests, as their tags.
  std::vector<uint8_t> requestTags() {
    std::vector<uint8_t> tags;
    for (const kvsim::Record& record : sim_->dump()) {
      if (record.direction == kvsim::Direction::In && record.bytes.size() == 6 &&
          record.bytes[2] == kEchoCommand) {
        tags.push_back(record.bytes[3]);
      }
    }
    return tags;
  }

  std::unique_ptr<kvsim::SimModuleProcess> sim_;
  std::unique_ptr<kvshare::ShareProcess> share_;
};

TEST_F(ShareProcessesTest, TwoClientProcessesSendAtOnceAndEachGetsItsOwnAnswersInOrder) {
  TempDir meet;
  Link link("Link");
  ASSERT_EQ(ConnectClient(link, share_->address(), share_->port()), aErrNone);

  const std::string broker = share_->addressText() + ":" + std::to_string(share_->port());
  auto child = std::async(std::launch::async, [&] {
    return RunProgram({SelfPath(), "--gtest_filter=" + std::string(kChildFilter)},
                      {std::string(kBrokerVariable) + "=" + broker,
                       std::string(kMeetVariable) + "=" + meet.path()},
                      kChildRunTimeoutMs);
  });
  ASSERT_TRUE(AwaitFile(meet.file("ready"))) << "the child client did not connect";
  Touch(meet.file("go"));
  EXPECT_EQ(SendAndCheck(link, kParentTag), kRequests);

  const RunResult run = child.get();
  EXPECT_TRUE(run.exitedWith(0)) << run.out << run.err;
  EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out;

  // The requests of both reached the module mixed: the clients did send at the same time.
  const std::vector<uint8_t> tags = requestTags();
  EXPECT_EQ(tags.size(), static_cast<size_t>(2 * kRequests));
  size_t switches = 0;
  for (size_t i = 1; i < tags.size(); ++i) switches += tags[i] != tags[i - 1] ? 1 : 0;
  EXPECT_GT(switches, 2u) << "the two clients' requests did not overlap";
}

TEST_F(ShareProcessesTest, TheShareEndsWithItsInputOrSIGTERMAndGivesTheModuleBack) {
  struct Case {
    const char* what;
    bool bySignal;
  };
  const Case cases[] = {
      {"standard input closed", false},
      {"SIGTERM", true},
  };
  for (const Case& c : cases) {
    if (!share_) {
      share_ = std::make_unique<kvshare::ShareProcess>(std::vector<std::string>{
          "--tcp", "127.0.0.1:" + std::to_string(sim_->port()), "--serial", Hex(kSerial)});
      ASSERT_TRUE(share_->ready()) << c.what << ": " << share_->error();
    }
    {
      Module client(kAddress, 0);
      ASSERT_EQ(client.setConfig(ClientConfig()), aErrNone) << c.what;
      linkSpec spec{};
      spec.type = aLINK_TYPE_SERVED_TCPIP;
      spec.serialNumber = kSerial;
      spec.address = share_->address();
      spec.port = share_->port();
      ASSERT_EQ(client.connectFromSpec(spec), aErrNone) << c.what;
      SystemClass system;
      ASSERT_EQ(system.init(&client, 0), aErrNone) << c.what;
      uint32_t serial = 0;
      EXPECT_EQ(system.getSerialNumber(&serial), aErrNone) << c.what;
      EXPECT_EQ(serial, kSerial) << c.what;
    }
    EXPECT_EQ(c.bySignal ? share_->terminate() : share_->stop(), 0) << c.what;
    share_.reset();

    // The module takes a direct connection again.
    Module direct(kAddress, 0);
    ASSERT_EQ(direct.setConfig(NoSharing()), aErrNone) << c.what;
    linkSpec spec{};
    spec.type = aLINK_TYPE_TCPIP;
    spec.serialNumber = kSerial;
    spec.address = kLoopback;
    spec.port = static_cast<uint32_t>(sim_->port());
    ASSERT_EQ(direct.connectFromSpec(spec), aErrNone) << c.what;
    EXPECT_EQ(direct.getModuleAddress(), kAddress) << c.what;
  }
}

TEST(ShareTool, RefusesWhatItCannotShare) {
  struct Case {
    const char* what;
    std::vector<std::string> arguments;
    int status;
  };
  const Case cases[] = {
      {"no module listens",
       {"--tcp", "127.0.0.1:" + std::to_string(ClosedLoopbackPort()), "--serial", Hex(kSerial)},
       1},
      {"no serial number", {"--tcp", "127.0.0.1:9"}, 2},
      {"a port out of range", {"--tcp", "127.0.0.1:70000", "--serial", Hex(kSerial)}, 2},
      {"an interface that is no address",
       {"--tcp", "127.0.0.1:9", "--serial", Hex(kSerial), "--interface", "lo"},
       2},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{KV_SHARE_TOOL};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    const RunResult run = RunProgram(argv);
    EXPECT_TRUE(run.exitedWith(c.status)) << c.what << ": " << run.exitCode << " " << run.err;
    EXPECT_EQ(run.out.find("share ready"), std::string::npos) << c.what;
  }
}

// A share for the network listens on an interface of the host: these run in the test's
// network namespace, whose second address (10.250.0.1) is the interface.
class ShareProcessesInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace())
      GTEST_SKIP() << "runs only inside the network namespace that "
                      "ShareTool.NetworkSharesRunInsideANetworkNamespace makes";
    for (const std::string& name : InterfaceNames())
      ASSERT_EQ(name, "lo") << "not inside the test's namespace: no network share is made";
  }
};

TEST_F(ShareProcessesInNamespace, ANetworkShareListensOnTheInterfaceGiven) {
  constexpr const char* kInterface = "10.250.0.1";
  kvsim::SimModuleProcess sim(
      {"--tcp", "0", "--serial", Hex(kSerial), "--address", std::to_string(kAddress), "--uei"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  kvshare::ShareProcess share({"--tcp", "127.0.0.1:" + std::to_string(sim.port()), "--serial",
                               Hex(kSerial), "--network", "--interface", kInterface});
  ASSERT_TRUE(share.ready()) << share.error();
  EXPECT_EQ(share.addressText(), kInterface);

  Link link("Link");
  ASSERT_EQ(ConnectClient(link, share.address(), share.port()), aErrNone);
  EXPECT_EQ(SendAndCheck(link, kParentTag), kRequests);
  link.disconnect();
  EXPECT_EQ(share.stop(), 0);
}

TEST(ShareTool, NetworkSharesRunInsideANetworkNamespace) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespace("ShareProcessesInNamespace.*");
}

// The second client, in a copy of this program that the test above starts: it connects,
// meets the parent and sends its requests at the same time.
TEST(ShareClientChild, SendsAndChecksItsAnswers) {
  const char* broker = std::getenv(kBrokerVariable);
  const char* meet = std::getenv(kMeetVariable);
  if (broker == nullptr || meet == nullptr)
    GTEST_SKIP()
        << "the child client of "
           "ShareProcessesTest.TwoClientProcessesSendAtOnceAndEachGetsItsOwnAnswersInOrder";
  const std::string where = broker;
  const size_t colon = where.rfind(':');
  ASSERT_NE(colon, std::string::npos);
  in_addr address{};
  ASSERT_EQ(inet_pton(AF_INET, where.substr(0, colon).c_str(), &address), 1);
  const uint16_t port = static_cast<uint16_t>(std::atoi(where.c_str() + colon + 1));

  Link link("Link");
  ASSERT_EQ(ConnectClient(link, address.s_addr, port), aErrNone);
  const std::string dir = meet;
  Touch(dir + "/ready");
  ASSERT_TRUE(AwaitFile(dir + "/go"));
  EXPECT_EQ(SendAndCheck(link, kChildTag), kRequests);
}

}  // namespace
