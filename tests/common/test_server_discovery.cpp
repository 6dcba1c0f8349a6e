// The sharing broker's discovery answers and where its frontend listens: the loopback
// responder (its slot, its answer, the model it waits for, the senders it takes), brokers for
// the network on a given interface, and the beacon answer with one beacon interface per
// process. Everything runs inside network namespaces of the test's own, so that no multicast
// datagram or beacon leaves through a real interface.
#include <arpa/inet.h>
#include <czmq.h>
#include <endian.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "aBeaconInterface.h"
#include "aBrokerDiscovery.h"
#include "broker_test_support.h"
#include "support.h"

namespace {

using brokertest::BrokerOnModule;
using brokertest::BrokerSetup;
using brokertest::Bytes;
using brokertest::Client;
using brokertest::Echo;
using brokertest::kLoopback;
using brokertest::kSilenceMs;
using Clock = std::chrono::steady_clock;

constexpr int kAnswerWaitMs = 1000;    // ms a request waits for its answer, as a searcher does
constexpr long kPromptAnswerMs = 500;  // ms within which a responder answers
constexpr int kBeaconAttempts = 30;    // receives of up to kBeaconReceiveMs for a beacon answer
constexpr int kBeaconReceiveMs = 100;
constexpr int kBeaconIntervalMs = 100;
const uint32_t kGroup = inet_addr(aBROKER_DISCOVERY_GROUP);
const uint32_t kSecondAddress = inet_addr("10.250.0.1");  // on lo inside the namespace
const uint32_t kUnreachable = inet_addr("192.0.2.1");     // on no interface
const uint32_t kSerials[] = {0x00B0C0DE, 0x00B0C0DF, 0x00B0C0E0};

// The record as the broker sent it, its 32-bit fields little-endian.
linkSpec FromWire(const uint8_t* bytes) {
  linkSpec spec;
  std::memcpy(&spec, bytes, sizeof spec);
  spec.type = le32toh(spec.type);
  spec.serialNumber = le32toh(spec.serialNumber);
  spec.module = le32toh(spec.module);
  spec.router = le32toh(spec.router);
  spec.routerSerialNumber = le32toh(spec.routerSerialNumber);
  spec.model = le32toh(spec.model);
  spec.address = le32toh(spec.address);
  spec.port = le32toh(spec.port);
  return spec;
}

void ExpectBroker(const linkSpec& spec, const BrokerOnModule& broker, uint32_t serial,
                  uint32_t address) {
  EXPECT_EQ(spec.type, aLINK_TYPE_SERVED_TCPIP);
  EXPECT_EQ(spec.serialNumber, serial);
  EXPECT_EQ(spec.module, brokertest::kModule);
  EXPECT_EQ(spec.router, 0u);
  EXPECT_EQ(spec.routerSerialNumber, 0u);
  EXPECT_EQ(spec.model, brokertest::kModel);
  EXPECT_EQ(spec.address, address);
  EXPECT_EQ(spec.port, broker.port());
}

// A UDP socket on the loopback group, closed when it goes.
struct Socket {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ~Socket() {
    if (fd >= 0) close(fd);
  }
  bool bindTo(uint32_t address, uint16_t port) {
    const int off = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    local.sin_port = htons(port);
    return bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
  }
  bool onLoopbackGroup() {
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = kGroup;
    membership.imr_interface.s_addr = kLoopback;
    in_addr outgoing{};
    outgoing.s_addr = kLoopback;
    const unsigned char loop = 1;
    return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0 &&
           setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) == 0 &&
           setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0;
  }
};

// True when a receiver could take the slot's request port, i.e. no responder holds it.
bool SlotFree(int slot) {
  Socket probe;
  return probe.bindTo(htonl(INADDR_ANY), static_cast<uint16_t>(aBROKER_REQUEST_PORT_BASE + slot));
}

// The loopback request to a slot, sent from source, and the answer of its responder.
std::optional<linkSpec> Ask(int slot, uint32_t source = kLoopback, long* elapsedMs = nullptr) {
  Socket answers;
  Socket requests;
  if (!answers.bindTo(htonl(INADDR_ANY), static_cast<uint16_t>(aBROKER_ANSWER_PORT_BASE + slot)) ||
      !answers.onLoopbackGroup() || !requests.bindTo(source, 0) || !requests.onLoopbackGroup())
    return std::nullopt;
  timeval wait{kAnswerWaitMs / 1000, (kAnswerWaitMs % 1000) * 1000};
  setsockopt(answers.fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  const uint32_t magic = htole32(aBROKER_DISCOVERY_MAGIC);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = kGroup;
  to.sin_port = htons(static_cast<uint16_t>(aBROKER_REQUEST_PORT_BASE + slot));
  const auto start = Clock::now();
  if (sendto(requests.fd, &magic, sizeof magic, 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to) != sizeof magic)
    return std::nullopt;
  uint8_t answer[LINKSPEC_SIZE + 1];
  const ssize_t got = recv(answers.fd, answer, sizeof answer, 0);
  if (elapsedMs != nullptr)
    *elapsedMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  if (got != LINKSPEC_SIZE) return std::nullopt;
  return FromWire(answer);
}

BrokerSetup ForModule(int which, bool advertise = true) {
  BrokerSetup setup;
  setup.serial = kSerials[which];
  setup.advertise = advertise;
  return setup;
}

// --- the loopback responder, inside a namespace with lo alone ----------------------------------

class BrokerResponderInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace() || getenv(kNamespaceVethVariable) != nullptr)
      GTEST_SKIP() << "runs only inside the network namespace that "
                      "BrokerDiscovery.ResponderRunsInsideANetworkNamespace makes";
    for (const std::string& name : InterfaceNames())
      ASSERT_EQ(name, "lo") << "not inside the test's namespace: no discovery traffic is sent";
  }
};

TEST_F(BrokerResponderInNamespace, AnswersAtOnceButOnlyOnceTheModelIsSet) {
  BrokerOnModule broker(ForModule(0, false));
  ASSERT_TRUE(broker.ready()) << broker.error();
  ASSERT_FALSE(SlotFree(0));
  EXPECT_FALSE(Ask(0)) << "no answer while the model is not known";

  broker.advertise();
  long elapsed = 0;
  std::optional<linkSpec> answer = Ask(0, kLoopback, &elapsed);
  ASSERT_TRUE(answer);
  ExpectBroker(*answer, broker, kSerials[0], kLoopback);
  EXPECT_LT(elapsed, kPromptAnswerMs);
}

TEST_F(BrokerResponderInNamespace, TakesRequestsFromThisHostOnly) {
  BrokerOnModule broker(ForModule(0));
  ASSERT_TRUE(broker.ready()) << broker.error();
  EXPECT_FALSE(Ask(0, kSecondAddress)) << "a request from 10.250.0.1 is not answered";
  EXPECT_TRUE(Ask(0));
}

TEST_F(BrokerResponderInNamespace, TwoBrokersTakeSlotsZeroAndOneAndAFreedSlotIsTakenAgain) {
  auto first = std::make_unique<BrokerOnModule>(ForModule(0));
  BrokerOnModule second(ForModule(1));
  ASSERT_TRUE(first->ready()) << first->error();
  ASSERT_TRUE(second.ready()) << second.error();
  std::optional<linkSpec> zero = Ask(0);
  std::optional<linkSpec> one = Ask(1);
  ASSERT_TRUE(zero);
  ASSERT_TRUE(one);
  ExpectBroker(*zero, *first, kSerials[0], kLoopback);
  ExpectBroker(*one, second, kSerials[1], kLoopback);
  EXPECT_TRUE(SlotFree(2));

  first.reset();
  EXPECT_TRUE(SlotFree(0));
  BrokerOnModule third(ForModule(2));
  ASSERT_TRUE(third.ready()) << third.error();
  zero = Ask(0);
  ASSERT_TRUE(zero);
  ExpectBroker(*zero, third, kSerials[2], kLoopback);
}

// Not local-only on a host without broadcast interfaces: responder mode, and the frontend on
// the interface given, which the answers name.
TEST_F(BrokerResponderInNamespace, ABrokerForTheNetworkListensOnTheInterfaceGiven) {
  BrokerSetup setup = ForModule(0);
  setup.localOnly = false;
  setup.networkInterface = kSecondAddress;
  BrokerOnModule broker(setup);
  ASSERT_TRUE(broker.ready()) << broker.error();
  uint32_t address = 0;
  EXPECT_EQ(aServer_GetInterface(broker.server(), &address), aErrNone);
  EXPECT_EQ(address, kSecondAddress);

  Client there(broker.context(), broker.port(), "", "10.250.0.1");
  there.send(Echo(1));
  EXPECT_EQ(there.receive(), Echo(1));
  Client loopback(broker.context(), broker.port());
  loopback.send(Echo(2));
  EXPECT_FALSE(loopback.receive(kSilenceMs)) << "nothing listens on 127.0.0.1";

  std::optional<linkSpec> answer = Ask(0);
  ASSERT_TRUE(answer);
  ExpectBroker(*answer, broker, kSerials[0], kSecondAddress);
}

TEST_F(BrokerResponderInNamespace, AStartWhoseFrontendCannotBindFails) {
  BrokerSetup setup = ForModule(0);
  setup.localOnly = false;
  setup.networkInterface = kUnreachable;
  BrokerOnModule broker(setup);
  EXPECT_FALSE(broker.ready());
  EXPECT_EQ(broker.startResult(), aErrResource);
}

TEST(BrokerDiscovery, ResponderRunsInsideANetworkNamespace) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespace("BrokerResponderInNamespace.*");
}

// --- the beacon answer, inside a namespace with a veth pair ------------------------------------

class BrokerBeaconInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespaceWithVeth()) GTEST_SKIP() << kVethSkipReason;
    ASSERT_EQ(InterfaceBeyondTheVethPair(), "") << "not inside the test's namespace";
  }

  static BrokerSetup OnInterface(int which, const char* address) {
    BrokerSetup setup = ForModule(which);
    setup.localOnly = false;
    setup.networkInterface = inet_addr(address);
    return setup;
  }
};

// A searcher's beacon on the broker's interface, and the 128-byte answers it hears.
std::vector<linkSpec> SearchByBeacon(const char* interfaceText) {
  std::vector<linkSpec> heard;
  if (!zBeaconInterface_claim(interfaceText)) return heard;
  zactor_t* beacon = nullptr;
  if (zBeaconInterface_setAndLock(interfaceText) == 1) {
    beacon = zactor_new(zbeacon, nullptr);
    if (beacon != nullptr) {
      zsock_send(beacon, "si", "CONFIGURE", aBROKER_BEACON_PORT);
      char* hostname = zstr_recv(beacon);
      zstr_free(&hostname);
    }
    zBeaconInterface_unlock();
  }
  if (beacon != nullptr) {
    zsock_send(beacon, "sbi", "PUBLISH", aBROKER_BEACON_TEXT, aBROKER_BEACON_TEXT_SIZE,
               kBeaconIntervalMs);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", 0);
    zsock_set_rcvtimeo(beacon, kBeaconReceiveMs);
    for (int attempt = 0; attempt < kBeaconAttempts && heard.empty(); ++attempt) {
      zmsg_t* message = zmsg_recv(beacon);
      if (message == nullptr) continue;
      zframe_t* sender = zmsg_first(message);
      zframe_t* content = sender != nullptr ? zmsg_next(message) : nullptr;
      if (content != nullptr && zframe_size(content) == LINKSPEC_SIZE)
        heard.push_back(FromWire(zframe_data(content)));
      zmsg_destroy(&message);
    }
    zstr_send(beacon, "SILENCE");
    zactor_destroy(&beacon);
  }
  zBeaconInterface_release();
  return heard;
}

TEST_F(BrokerBeaconInNamespace, ABeaconHeardIsAnsweredWithTheBrokersRecord) {
  BrokerOnModule broker(OnInterface(0, kVethFirstAddress));
  ASSERT_TRUE(broker.ready()) << broker.error();
  uint32_t address = 0;
  EXPECT_EQ(aServer_GetInterface(broker.server(), &address), aErrNone);
  EXPECT_EQ(address, inet_addr(kVethFirstAddress));
  const std::vector<linkSpec> heard = SearchByBeacon(kVethFirstAddress);
  ASSERT_FALSE(heard.empty());
  ExpectBroker(heard.front(), broker, kSerials[0], inet_addr(kVethFirstAddress));

  Client client(broker.context(), broker.port(), "", kVethFirstAddress);
  client.send(Echo(1));
  EXPECT_EQ(client.receive(), Echo(1));
}

TEST_F(BrokerBeaconInNamespace, WithoutAnInterfaceTheBrokerTakesTheHostsFirst) {
  BrokerSetup setup = ForModule(0);
  setup.localOnly = false;
  BrokerOnModule broker(setup);
  ASSERT_TRUE(broker.ready()) << broker.error();
  uint32_t address = 0;
  EXPECT_EQ(aServer_GetInterface(broker.server(), &address), aErrNone);
  EXPECT_TRUE(address == inet_addr(kVethFirstAddress) || address == inet_addr(kVethSecondAddress))
      << std::hex << address;
}

TEST_F(BrokerBeaconInNamespace, ABrokerOnAnotherInterfaceThanALivingBeaconsIsRefused) {
  auto first = std::make_unique<BrokerOnModule>(OnInterface(0, kVethFirstAddress));
  ASSERT_TRUE(first->ready()) << first->error();
  {
    BrokerOnModule other(OnInterface(1, kVethSecondAddress));
    EXPECT_EQ(other.startResult(), aErrResource);
  }
  BrokerOnModule same(OnInterface(1, kVethFirstAddress));
  EXPECT_TRUE(same.ready()) << same.error();
  first.reset();
  {
    BrokerOnModule stillRefused(OnInterface(2, kVethSecondAddress));
    EXPECT_EQ(stillRefused.startResult(), aErrResource) << "a beacon on the first still lives";
  }
}

TEST(BrokerDiscovery, BeaconRunsInsideANetworkNamespaceWithAVethPair) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespaceWithVeth("BrokerBeaconInNamespace.*");
}

}  // namespace
