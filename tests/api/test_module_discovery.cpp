// Module connects through TCP/IP discovery: by serial number, as the first module of a model,
// and the refusals (nothing found without a fallback, serial number 0), against several
// stand-in modules that answer the multicast query inside a network namespace of the test's
// own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Module.h"
#include "SystemClass.h"
#include "aDiscovery.h"
#include "api_test_support.h"
#include "kvusb.h"
#include "sim_module_process.h"
#include "sim_usb_bus.h"
#include "support.h"

using apitest::NoSharing;
using Zentrova::Kolvantis::Module;
using Zentrova::Kolvantis::SystemClass;
using Zentrova::Kolvantis::VelnetConfig;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kNoLinkStatus = 8;
// A TCP/IP query lasts its receive time-out after the last reply.
constexpr auto kOneQuery = std::chrono::milliseconds(2000);
// A refusal before any search comes back well within this.
constexpr auto kNoSearch = std::chrono::milliseconds(500);

struct StandIn {
  uint8_t address;
  uint32_t serial;
  uint8_t model;
};

constexpr StandIn kFirst{6, 0x40F5849A, 0x11};
constexpr StandIn kSecond{8, 0x0000BEEF, 0x22};
constexpr StandIn kThird{10, 0x00C0FFEE, 0x33};
constexpr StandIn kStandIns[] = {kFirst, kSecond, kThird};
constexpr uint32_t kNobodysSerial = 0x7E57AB1E;
constexpr uint8_t kNobodysModel = 0x44;

std::string Hex(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

// A member of the discovery group on the request port: counts the query requests sent.
class RequestWatch {
 public:
  RequestWatch() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(DISCOVERY_REQUEST_PORT);
    ip_mreq membership{};
    inet_pton(AF_INET, DISCOVERY_MULTICAST_GROUP, &membership.imr_multiaddr);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    open_ = fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
            setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
  }
  ~RequestWatch() {
    if (fd_ >= 0) close(fd_);
  }
  RequestWatch(const RequestWatch&) = delete;
  RequestWatch& operator=(const RequestWatch&) = delete;

  bool open() const { return open_; }

  // The requests that arrived since the last call.
  int take() {
    int requests = 0;
    uint8_t datagram[DISCOVERY_REQUEST_SIZE + 1];
    ssize_t got;
    while ((got = recv(fd_, datagram, sizeof datagram, 0)) >= 0)
      if (got == DISCOVERY_REQUEST_SIZE && datagram[0] == 1) ++requests;
    return requests;
  }

 private:
  int fd_ = -1;
  bool open_ = false;
};

// Three stand-in modules of different serial numbers and models that answer discovery, an
// empty simulated USB bus as the USB driver's backend, and a watch on the query requests.
class ModuleDiscoveryInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace())
      GTEST_SKIP() << "runs only inside the network namespace that "
                      "ModuleDiscovery.RunsInsideANetworkNamespace makes";
    for (const std::string& name : InterfaceNames())
      ASSERT_EQ(name, "lo") << "not inside the test's namespace: no discovery traffic is sent";
    ASSERT_TRUE(RepliesComeFromLoopback());
    for (const StandIn& module : kStandIns) {
      sims_.push_back(std::make_unique<kvsim::SimModuleProcess>(std::vector<std::string>{
          "--tcp", "0", "--discovery", "--uei", "--serial", Hex(module.serial), "--address",
          std::to_string(module.address), "--model", std::to_string(module.model)}));
      ASSERT_TRUE(sims_.back()->ready()) << sims_.back()->error();
    }
    ASSERT_TRUE(watch_.open());
    kvusb_SetBackend(&bus_);
  }

  void TearDown() override {
    kvusb_SetBackend(nullptr);
    for (auto& sim : sims_) sim->stop();
  }

  // The TCP port of that stand-in; sims_ follows the order of kStandIns.
  int portOf(const StandIn& module) const {
    for (size_t i = 0; i < sims_.size(); ++i)
      if (kStandIns[i].serial == module.serial) return sims_[i]->port();
    return -1;
  }

  // The Module reaches that stand-in: the stored specifier names it, automatic networking
  // adopted its address, and its system entity answers with its identity.
  void expectReached(Module& module, const StandIn& expected, const std::string& what) {
    EXPECT_TRUE(module.isConnected()) << what;
    EXPECT_EQ(module.getModuleAddress(), expected.address) << what;
    linkSpec spec{};
    ASSERT_EQ(module.getLinkSpecifier(&spec), aErrNone) << what;
    EXPECT_EQ(spec.type, 2u) << what;
    EXPECT_EQ(spec.serialNumber, expected.serial) << what;
    EXPECT_EQ(spec.model, expected.model) << what;
    EXPECT_EQ(spec.address, htonl(INADDR_LOOPBACK)) << what;
    EXPECT_EQ(spec.port, static_cast<uint32_t>(portOf(expected))) << what;
    SystemClass system;
    ASSERT_EQ(system.init(&module, 0), aErrNone) << what;
    uint32_t serial = 0;
    uint8_t model = 0;
    EXPECT_EQ(system.getSerialNumber(&serial), aErrNone) << what;
    EXPECT_EQ(serial, expected.serial) << what;
    EXPECT_EQ(system.getModel(&model), aErrNone) << what;
    EXPECT_EQ(model, expected.model) << what;
  }

  // True when no stand-in has seen a single packet of a link.
  bool noLinkTraffic() {
    for (auto& sim : sims_)
      if (!sim->dump().empty()) return false;
    return true;
  }

  std::vector<std::unique_ptr<kvsim::SimModuleProcess>> sims_;
  RequestWatch watch_;
  kvsim::UsbBus bus_;
};

TEST_F(ModuleDiscoveryInNamespace, BySerialNumberReachesThatModule) {
  struct Case {
    const char* what;
    const StandIn& module;
    bool throughConnect;  // connect() rather than discoverAndConnect()
  };
  const Case cases[] = {
      {"discoverAndConnect, first module", kFirst, false},
      {"connect, third module", kThird, true},
  };
  for (const Case& c : cases) {
    Module module(2, 0);
    ASSERT_EQ(module.setConfig(NoSharing()), aErrNone);
    const aErr result = c.throughConnect ? module.connect(2, c.module.serial)
                                         : module.discoverAndConnect(2, c.module.serial);
    ASSERT_EQ(result, aErrNone) << c.what;
    expectReached(module, c.module, c.what);
  }
}

TEST_F(ModuleDiscoveryInNamespace, ModelFilterWithoutSerialNumberReachesTheModuleOfThatModel) {
  Module module(2, kSecond.model);
  ASSERT_EQ(module.setConfig(NoSharing()), aErrNone);
  ASSERT_EQ(module.discoverAndConnect(2, 0), aErrNone);
  expectReached(module, kSecond, "model filter");
}

TEST_F(ModuleDiscoveryInNamespace, NothingFoundWithoutFallbackTriesNoOtherLinkType) {
  struct Case {
    const char* what;
    linkType type;
    uint32_t serial;
    uint8_t model;
    uint8_t fallback;
    int requests;  // TCP/IP query requests sent
    bool usb;      // the USB backend was asked
  };
  const Case cases[] = {
      {"a serial number nobody has", 2, kNobodysSerial, 0, 0, 1, false},
      {"a model nobody has", 2, 0, kNobodysModel, 0, 1, false},
      // The contrast: a broker type with fallback on tries USB next.
      {"a broker type with fallback on", 4, kNobodysSerial, 0, 1, 0, true},
  };
  for (const Case& c : cases) {
    watch_.take();
    const int callsBefore = bus_.calls();
    Module module(2, c.model);
    VelnetConfig config = NoSharing();
    config.fallback = c.fallback;
    ASSERT_EQ(module.setConfig(config), aErrNone);

    const auto start = Clock::now();
    EXPECT_EQ(module.discoverAndConnect(c.type, c.serial), aErrNotFound) << c.what;
    const auto elapsed = Clock::now() - start;

    if (c.type == 2) {
      // One query, not two.
      EXPECT_GE(elapsed, kOneQuery) << c.what;
      EXPECT_LT(elapsed, 2 * kOneQuery) << c.what;
    }
    EXPECT_EQ(watch_.take(), c.requests) << c.what;
    EXPECT_EQ(bus_.calls() > callsBefore, c.usb) << c.what;
    EXPECT_FALSE(module.isConnected()) << c.what;
    EXPECT_EQ(module.getStatus(), kNoLinkStatus) << c.what;
    linkSpec spec{};
    EXPECT_EQ(module.getLinkSpecifier(&spec), aErrNotFound) << c.what;
  }
  EXPECT_TRUE(noLinkTraffic());
}

TEST_F(ModuleDiscoveryInNamespace, SerialNumberZeroIsRefusedWithoutTraffic) {
  for (linkType type : {2u, 1u}) {
    watch_.take();
    const int callsBefore = bus_.calls();
    Module module(2, 0);
    ASSERT_EQ(module.setConfig(NoSharing()), aErrNone);
    const auto start = Clock::now();
    EXPECT_EQ(module.connect(type, 0), aErrParam) << type;
    EXPECT_LT(Clock::now() - start, kNoSearch) << type;
    EXPECT_EQ(watch_.take(), 0) << type;
    EXPECT_EQ(bus_.calls(), callsBefore) << type;
    EXPECT_EQ(module.getStatus(), kNoLinkStatus) << type;
    linkSpec spec{};
    EXPECT_EQ(module.getLinkSpecifier(&spec), aErrNotFound) << type;
  }
  EXPECT_TRUE(noLinkTraffic());
}

// Runs the tests above in a copy of this program inside a fresh network namespace, so that no
// discovery datagram can leave through a real interface.
TEST(ModuleDiscovery, RunsInsideANetworkNamespace) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespace("ModuleDiscoveryInNamespace.*");
}

}  // namespace
