// Broker discovery: the checks of a broker's record, the loopback exchange against stand-in
// responders on plain sockets, and the beacon exchange against the beacon stand-in (plain
// CZMQ) across a veth pair. The exchanges run inside network namespaces of the test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "aBeaconInterface.h"
#include "aBrokerDiscovery.h"
#include "aDebug.h"
#include "aDiscovery.h"
#include "sim_module_process.h"
#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSlots = 50;
constexpr uint16_t kRequestPortBase = 9850;
constexpr uint16_t kAnswerPortBase = 9950;
constexpr int kResponderPollMs = 20;    // ms a stand-in responder waits per look for requests
constexpr long kQuickSearchMs = 900;    // ms a loopback search without a silent slot stays under
constexpr long kSilentSlotMs = 1000;    // ms a slot whose answer never comes costs
constexpr long kBeaconSearchMs = 2200;  // ms a beacon search lasts
constexpr long kBeaconSlackMs = 3000;   // ms a beacon search may run past its deadline
constexpr long kTickMs = 1;             // the search counts whole ms: it can end up to one ms short
constexpr long kRefusedSearchMs = 500;  // ms a refused beacon search stays under
const uint8_t kRequest[4] = {0xBA, 0xDC, 0xCD, 0xAB};
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
const uint32_t kGroup = inet_addr("224.0.0.7");
const uint32_t kSecondAddress = inet_addr("10.250.0.1");  // on lo inside the namespace

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

linkSpec Spec(uint32_t type, uint32_t serial, uint32_t module, uint32_t model, uint32_t address,
              uint32_t port) {
  linkSpec spec{};
  spec.type = type;
  spec.serialNumber = serial;
  spec.module = module;
  spec.model = model;
  spec.address = address;
  spec.port = port;
  return spec;
}

void PutLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// A record as a broker sends it, padded or cut to size bytes: 32-bit fields little-endian,
// the address as its four bytes in network order.
std::vector<uint8_t> Wire(const linkSpec& spec, size_t size = LINKSPEC_SIZE) {
  std::vector<uint8_t> bytes(LINKSPEC_SIZE, 0);
  PutLe32(&bytes[0], spec.type);
  PutLe32(&bytes[4], spec.serialNumber);
  PutLe32(&bytes[8], spec.module);
  PutLe32(&bytes[12], spec.router);
  PutLe32(&bytes[16], spec.routerSerialNumber);
  PutLe32(&bytes[20], spec.model);
  memcpy(&bytes[24], &spec.address, 4);
  PutLe32(&bytes[28], spec.port);
  bytes.resize(size, 0);
  return bytes;
}

void ExpectSame(const linkSpec& actual, const linkSpec& expected) {
  EXPECT_EQ(actual.type, expected.type);
  EXPECT_EQ(actual.serialNumber, expected.serialNumber);
  EXPECT_EQ(actual.module, expected.module);
  EXPECT_EQ(actual.router, 0u);
  EXPECT_EQ(actual.routerSerialNumber, 0u);
  EXPECT_EQ(actual.model, expected.model);
  EXPECT_EQ(actual.address, expected.address);
  EXPECT_EQ(actual.port, expected.port);
}

// What a search handed to the callback.
struct Found {
  std::vector<linkSpec> records;
  bool takenClearOnEntry = true;
  size_t stopAfter = SIZE_MAX;  // returns false once this many records came
  bool take = true;
};

bool Collect(const linkSpec* spec, bool* taken, void* reference) {
  Found* found = static_cast<Found*>(reference);
  if (*taken) found->takenClearOnEntry = false;
  found->records.push_back(*spec);
  *taken = found->take;
  return found->records.size() < found->stopAfter;
}

std::set<uint32_t> Ports(const Found& found) {
  std::set<uint32_t> ports;
  for (const linkSpec& spec : found.records) ports.insert(spec.port);
  return ports;
}

TEST(BrokerRecord, OnlyARecordThatCanNameABrokerIsValid) {
  const linkSpec good = Spec(5, 0x40F5849A, 6, 0x11, kLoopback, 4000);
  struct Row {
    const char* what;
    linkSpec spec;
    bool valid;
  };
  const Row rows[] = {
      {"USB broker", good, true},
      {"TCP/IP broker", Spec(6, 1, 2, 0, kLoopback, 1), true},
      {"serial broker", Spec(7, 1, 0xFE, 0, 0, 0xFFFF), true},
      {"any broker", Spec(4, 1, 6, 0, kLoopback, 4000), false},
      {"TCP/IP module", Spec(2, 1, 6, 0, kLoopback, 4000), false},
      {"no link", Spec(8, 1, 6, 0, kLoopback, 4000), false},
      {"port 0", Spec(5, 1, 6, 0, kLoopback, 0), false},
      {"port beyond 16 bits", Spec(5, 1, 6, 0, kLoopback, 0x10000), false},
      {"module 0", Spec(5, 1, 0, 0, kLoopback, 4000), false},
      {"odd module", Spec(5, 1, 7, 0, kLoopback, 4000), false},
      {"module beyond 8 bits", Spec(5, 1, 0x106, 0, kLoopback, 4000), false},
  };
  for (const Row& row : rows)
    EXPECT_EQ(aBrokerDiscovery_IsValidRecord(&row.spec), row.valid) << row.what;
  EXPECT_FALSE(aBrokerDiscovery_IsValidRecord(nullptr));
}

TEST(BrokerRecord, ANullCallbackSearchesNothing) {
  EXPECT_EQ(aDiscovery_Enumerate_VelnetModules(nullptr, nullptr, 0), 0);
}

// One datagram a stand-in responder sends in answer to a request, and the local address it
// sends it from.
struct Answer {
  std::vector<uint8_t> bytes;
  uint32_t source = htonl(INADDR_LOOPBACK);
};

// Stand-in for a local broker's responder, on plain sockets: holds the first free request port
// 9850 + slot as a member of 224.0.0.7 on 127.0.0.1 and answers each request with its answers,
// in order, sent to the group on port 9950 + slot.
class LoopbackResponder {
 public:
  explicit LoopbackResponder(std::vector<Answer> answers) : answers_(std::move(answers)) {
    for (int slot = 0; slot < kSlots && requestFd_ < 0; ++slot) {
      const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in any{};
      any.sin_family = AF_INET;
      any.sin_port = htons(static_cast<uint16_t>(kRequestPortBase + slot));
      ip_mreq membership{};
      membership.imr_multiaddr.s_addr = kGroup;
      membership.imr_interface.s_addr = kLoopback;
      if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 &&
          setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0) {
        requestFd_ = fd;
        slot_ = slot;
      } else {
        close(fd);
      }
    }
    if (requestFd_ >= 0) thread_ = std::thread([this] { run(); });
  }
  ~LoopbackResponder() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (requestFd_ >= 0) close(requestFd_);
  }
  LoopbackResponder(const LoopbackResponder&) = delete;
  LoopbackResponder& operator=(const LoopbackResponder&) = delete;

  bool ready() const { return requestFd_ >= 0; }
  int requests() const { return requests_; }

 private:
  void run() {
    while (!stop_) {
      pollfd ready{requestFd_, POLLIN, 0};
      if (poll(&ready, 1, kResponderPollMs) <= 0) continue;
      uint8_t request[16];
      const ssize_t got = recv(requestFd_, request, sizeof request, 0);
      if (got != sizeof kRequest || memcmp(request, kRequest, sizeof kRequest) != 0) continue;
      ++requests_;
      for (const Answer& answer : answers_) send(answer);
    }
  }

  void send(const Answer& answer) const {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = answer.source;
    in_addr face{};
    face.s_addr = kLoopback;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(kAnswerPortBase + slot_));
    to.sin_addr.s_addr = kGroup;
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &face, sizeof face) == 0)
      sendto(fd, answer.bytes.data(), answer.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
             sizeof to);
    close(fd);
  }

  std::vector<Answer> answers_;
  int requestFd_ = -1;
  int slot_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

class LoopbackDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace())
      GTEST_SKIP() << "runs only inside the network namespace that "
                      "BrokerDiscovery.LoopbackRunsInsideANetworkNamespace makes";
    for (const std::string& name : InterfaceNames())
      ASSERT_EQ(name, "lo") << "not inside the test's namespace: no discovery traffic is sent";
  }

  // Starts a stand-in responder, kept until the test ends.
  LoopbackResponder& responder(std::vector<Answer> answers) {
    responders_.push_back(std::make_unique<LoopbackResponder>(std::move(answers)));
    EXPECT_TRUE(responders_.back()->ready());
    return *responders_.back();
  }
  LoopbackResponder& responder(const linkSpec& spec) { return responder({{Wire(spec)}}); }

  std::vector<std::unique_ptr<LoopbackResponder>> responders_;
};

TEST_F(LoopbackDiscoveryTest, WithoutABrokerTheSearchFindsNothingAtOnce) {
  for (uint32_t face : {0u, kLoopback}) {
    Found found;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(aDiscovery_Enumerate_VelnetModules(Collect, &found, face), 0);
    EXPECT_LT(ElapsedMs(start), kQuickSearchMs);
    EXPECT_TRUE(found.records.empty());
  }
}

// Two brokers of one module on different ports are two records; a third broker that gives the
// same record as the first is the same broker again.
TEST_F(LoopbackDiscoveryTest, FindsEachLocalBrokerOnceWhicheverBrokerTypeIsAsked) {
  const linkSpec first = Spec(5, 0x40F5849A, 6, 0x11, kLoopback, 4000);
  const linkSpec second = Spec(5, 0x40F5849A, 6, 0x11, kLoopback, 4001);
  const linkSpec third = Spec(7, 0x0000BEEF, 8, 0x22, kLoopback, 4100);
  responder(first);
  responder(second);
  responder(first);
  responder(third);
  for (linkType type : {aLINK_TYPE_CLIENT, aLINK_TYPE_SERVED_USB, aLINK_TYPE_SERVED_TCPIP,
                        aLINK_TYPE_SERVED_SERIAL}) {
    Found found;
    EXPECT_EQ(aDiscovery_EnumerateModules(type, Collect, &found, kLoopback), 3) << type;
    ASSERT_EQ(found.records.size(), 3u) << type;
    EXPECT_TRUE(found.takenClearOnEntry);
    ExpectSame(found.records[0], first);
    ExpectSame(found.records[1], second);
    ExpectSame(found.records[2], third);
  }
  // Interface 0, and any interface on a host whose interface list is empty (only lo here),
  // search the local host.
  for (uint32_t face : {0u, kSecondAddress}) {
    Found found;
    EXPECT_EQ(aDiscovery_Enumerate_VelnetModules(Collect, &found, face), 3);
    EXPECT_EQ(Ports(found), (std::set<uint32_t>{4000, 4001, 4100}));
  }
}

TEST_F(LoopbackDiscoveryTest, ForgedAndMalformedAnswersAreNotTaken) {
  const linkSpec good = Spec(5, 0x40F5849A, 6, 0x11, kLoopback, 4300);
  const std::vector<std::vector<uint8_t>> malformed = {
      Wire(Spec(4, 0x0BAD0001, 6, 0x11, kLoopback, 4201)),       // names no broker
      Wire(Spec(8, 0x0BAD0002, 6, 0x11, kLoopback, 4202)),       // names no link
      Wire(Spec(5, 0x0BAD0003, 6, 0x11, kLoopback, 0)),          // port 0
      Wire(Spec(5, 0x0BAD0004, 0, 0x11, kLoopback, 4204)),       // module 0
      Wire(Spec(5, 0x0BAD0005, 7, 0x11, kLoopback, 4205)),       // odd module
      Wire(Spec(5, 0x0BAD0006, 6, 0x11, kLoopback, 4206), 129),  // longer than a record
      Wire(Spec(5, 0x0BAD0007, 6, 0x11, kLoopback, 4207), 200),  // much longer
      Wire(Spec(5, 0x0BAD0008, 6, 0x11, kLoopback, 4208), 127),  // shorter
      Wire(Spec(5, 0x0BAD0009, 6, 0x11, kSecondAddress, 4209)),  // a broker on another address
  };
  for (const std::vector<uint8_t>& bytes : malformed) responder({{bytes}});
  // A valid record sent from an address outside 127.0.0.0/8.
  responder({{Wire(Spec(5, 0x0BAD000A, 6, 0x11, kLoopback, 4210)), kSecondAddress}});
  responder(good);

  Found found;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(aDiscovery_Enumerate_VelnetModules(Collect, &found, kLoopback), 1);
  ASSERT_EQ(found.records.size(), 1u);
  ExpectSame(found.records[0], good);
  for (const auto& standIn : responders_) EXPECT_EQ(standIn->requests(), 1);
  // Only the slot whose answer came from outside waited for a loopback one.
  EXPECT_GE(ElapsedMs(start), kSilentSlotMs - 10);
  EXPECT_LT(ElapsedMs(start), kSilentSlotMs + kQuickSearchMs);
}

TEST_F(LoopbackDiscoveryTest, ADatagramFromOutsideDoesNotHideTheAnswerBehindIt) {
  const linkSpec forged = Spec(5, 0x0BAD000B, 6, 0x11, kLoopback, 4200);
  const linkSpec good = Spec(5, 0x40F5849A, 6, 0x11, kLoopback, 4201);
  responder({{Wire(forged), kSecondAddress}, {Wire(good)}});
  Found found;
  EXPECT_EQ(aDiscovery_Enumerate_VelnetModules(Collect, &found, kLoopback), 1);
  ASSERT_EQ(found.records.size(), 1u);
  ExpectSame(found.records[0], good);
}

TEST_F(LoopbackDiscoveryTest, TheCallbackDecidesWhatCountsAndWhenTheSearchEnds) {
  responder(Spec(5, 0x40F5849A, 6, 0x11, kLoopback, 4000));
  LoopbackResponder& later = responder(Spec(6, 0x0000BEEF, 8, 0x22, kLoopback, 4100));

  Found first;
  first.stopAfter = 1;
  EXPECT_EQ(aDiscovery_Enumerate_VelnetModules(Collect, &first, kLoopback), 1);
  EXPECT_EQ(first.records.size(), 1u);
  EXPECT_EQ(later.requests(), 0);  // the search ended before the next slot was asked

  Found untaken;
  untaken.take = false;
  EXPECT_EQ(aDiscovery_Enumerate_VelnetModules(Collect, &untaken, kLoopback), 0);
  EXPECT_EQ(untaken.records.size(), 2u);
}

// The beacon stand-in on the veth pair's second end, and searches from its first end.
class BeaconDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespaceWithVeth()) GTEST_SKIP() << kVethSkipReason;
    ASSERT_EQ(InterfaceBeyondTheVethPair(), "") << "not inside the test's namespace";
    broker_ = std::make_unique<kvsim::SimModuleProcess>(
        std::vector<std::string>{
            "--interface", kVethSecondAddress,                   //
            "--record", "5,0x40F5849A,6,0x11,self,4000",         //
            "--record", "5,0x40F5849A,6,0x11,self,4001",         // same module, 2nd port
            "--record", "6,0x0000BEEF,8,0x22,self,4100",         //
            "--record", "5,0x0BAD0001,6,0x11,10.250.1.77,4002",  // not its sender's
            "--record", "4,0x0BAD0002,6,0x11,self,4003",         // names no broker
            "--record", "5,0x0BAD0003,7,0x11,self,4004",         // odd module
            "--record", "5,0x0BAD0004,6,0x11,self,0",            // port 0
            "--record", "5,0x0BAD0005,6,0x11,self,4005,129"},    // longer than a record
        KV_SIM_BEACON_BROKER_BINARY);
    ASSERT_TRUE(broker_->ready()) << broker_->error();
  }
  void TearDown() override {
    if (broker_) broker_->stop();
    aKolvantisDebuggingEnable = false;
    aKolvantisDebuggingLevel = 0;
  }

  void expectTheThreeBrokers(const Found& found) {
    ASSERT_EQ(found.records.size(), 3u);
    EXPECT_TRUE(found.takenClearOnEntry);
    const uint32_t sender = inet_addr(kVethSecondAddress);
    for (const linkSpec& spec : found.records) {
      if (spec.port == 4100)
        ExpectSame(spec, Spec(6, 0x0000BEEF, 8, 0x22, sender, 4100));
      else
        ExpectSame(spec, Spec(5, 0x40F5849A, 6, 0x11, sender, spec.port));
    }
    EXPECT_EQ(Ports(found), (std::set<uint32_t>{4000, 4001, 4100}));
  }

  const uint32_t searchFrom_ = inet_addr(kVethFirstAddress);
  std::unique_ptr<kvsim::SimModuleProcess> broker_;
};

// The stand-in publishes each record every 100 ms: each broker is still reported once, and the
// search lasts its fixed time.
TEST_F(BeaconDiscoveryTest, FindsTheBrokersThatAnswerItsBeaconEachOnce) {
  const std::string before = zBeaconInterface_get();
  Found found;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(aDiscovery_EnumerateModules(aLINK_TYPE_CLIENT, Collect, &found, searchFrom_), 3);
  const long took = ElapsedMs(start);
  expectTheThreeBrokers(found);
  EXPECT_GE(took, kBeaconSearchMs - kTickMs);
  EXPECT_LT(took, kBeaconSearchMs + kBeaconSlackMs);
  EXPECT_EQ(zBeaconInterface_get(), before);  // the setting was put back
}

TEST_F(BeaconDiscoveryTest, ACallbackThatStopsEndsTheSearchEarly) {
  Found found;
  found.stopAfter = 1;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(aDiscovery_Enumerate_VelnetModules(Collect, &found, searchFrom_), 1);
  EXPECT_LT(ElapsedMs(start), kBeaconSearchMs);
  EXPECT_EQ(found.records.size(), 1u);
}

// While a beacon on another interface lives, a search makes no beacon of its own; one on the
// same interface does not stop it.
TEST_F(BeaconDiscoveryTest, ASearchIsRefusedWhileABeaconOnAnotherInterfaceLives) {
  ASSERT_TRUE(zBeaconInterface_claim(kVethSecondAddress));
  aKolvantisDebuggingEnable = true;
  aKolvantisDebuggingLevel = aDEBUG_DISCOVERY;
  Found refused;
  testing::internal::CaptureStdout();
  const Clock::time_point start = Clock::now();
  const uint8_t count = aDiscovery_Enumerate_VelnetModules(Collect, &refused, searchFrom_);
  const long took = ElapsedMs(start);
  const std::string out = testing::internal::GetCapturedStdout();
  aKolvantisDebuggingEnable = false;
  zBeaconInterface_release();
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(refused.records.empty());
  EXPECT_LT(took, kRefusedSearchMs);
  EXPECT_NE(out.find("Beacon search on 10.250.1.1 refused"), std::string::npos) << out;

  ASSERT_TRUE(zBeaconInterface_claim(kVethFirstAddress));
  Found found;
  EXPECT_EQ(aDiscovery_Enumerate_VelnetModules(Collect, &found, searchFrom_), 3);
  zBeaconInterface_release();
  expectTheThreeBrokers(found);
}

// Runs the loopback tests in a copy of this program inside a fresh network namespace, so that
// no discovery datagram can leave through a real interface.
TEST(BrokerDiscovery, LoopbackRunsInsideANetworkNamespace) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespace("LoopbackDiscoveryTest.*");
}

// The same for the beacon tests, with a veth pair in the namespace: no beacon may go out on a
// real interface.
TEST(BrokerDiscovery, BeaconRunsInsideANetworkNamespaceWithAVethPair) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespaceWithVeth("BeaconDiscoveryTest.*");
}

}  // namespace
