// Broker-client links against a plain ZeroMQ ROUTER on TCP loopback, which plays the broker:
// packets both ways, pooled writes one packet per frame, an empty frame that is no read
// error, the use counting of aLink_CreateClient and the reset that connects anew.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstdint>
#include <vector>

#include "aLink.h"
#include "aLinkTable.h"
#include "link_test_support.h"
#include "support.h"
#include "zmq_router_test_support.h"

namespace {

using coretest::Bytes;
using coretest::LinkGuard;
using coretest::Router;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr uint64_t kAnswerWaitMs = 5000;  // ms for an answer on its way; reached only on failure
constexpr int kSilenceMs = 200;           // how long a check that nothing arrives listens
constexpr uint8_t kModule = 2;
constexpr uint8_t kEcho = 0x23;

bool IsForceRoute(const Bytes& frame) {
  return frame.size() == 3 && frame[0] == aLINK_FORCEROUTE_ADDRESS && frame[1] == 1;
}

// The next frame from a client that is not a force-route packet (which every link sends as it
// starts and stops).
bool NextRequest(Router& router, Bytes* frame, int timeoutMs = coretest::kRouterArrivalMs) {
  while (router.receive(frame, timeoutMs)) {
    if (!IsForceRoute(*frame)) return true;
  }
  return false;
}

aErr Put(uint32_t linkId, const Bytes& data, uint8_t address = kModule) {
  aPacket* packet = aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
  if (packet == nullptr) return aErrMemory;
  const aErr put = aLink_PutPacket(linkId, packet);
  aPacket_Destroy(&packet);
  return put;
}

Bytes Wire(const aPacket* packet) {
  Bytes bytes{packet->address, packet->dataSize};
  bytes.insert(bytes.end(), packet->data, packet->data + packet->dataSize);
  return bytes;
}

// The next packet the link received, as wire bytes; empty when none came.
Bytes Await(uint32_t linkId) {
  aPacket* packet = aLink_AwaitPacket(linkId, kAnswerWaitMs);
  if (packet == nullptr) return {};
  Bytes bytes = Wire(packet);
  aPacket_Destroy(&packet);
  return bytes;
}

int16_t Uses(uint32_t linkId) {
  aLinkEntryRef entry = sLookupEntryByID(linkId);
  return entry ? entry->useCount : -1;
}

class BrokerClientLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(router_.bound());
    link_.id = aLink_CreateClient(kLoopback, router_.port(), 0);
    ASSERT_NE(link_.id, 0u);
    ASSERT_EQ(aLink_GetStatus(link_.id), aLINK_STATUS_RUNNING);
  }

  // A request through the link to the router and the router's answer back.
  void ExpectRoundTrip(uint8_t tag, const char* what) {
    const Bytes request{kEcho, tag};
    ASSERT_EQ(Put(link_.id, request), aErrNone) << what;
    Bytes got;
    ASSERT_TRUE(NextRequest(router_, &got)) << what;
    const Bytes wire{kModule, 2, kEcho, tag};
    EXPECT_EQ(got, wire) << what;
    ASSERT_TRUE(router_.send(wire)) << what;
    EXPECT_EQ(Await(link_.id), wire) << what;
  }

  Router router_;
  LinkGuard link_;
};

TEST_F(BrokerClientLinkTest, PacketsTravelBothWays) {
  ExpectRoundTrip(1, "first request");
  // Answers the broker sends in a row come out as packets in that order.
  const std::vector<Bytes> answers = {{kModule, 1, 0x31}, {kModule, 0}, {4, 2, 0x32, 7}};
  for (const Bytes& answer : answers) ASSERT_TRUE(router_.send(answer));
  for (const Bytes& answer : answers) EXPECT_EQ(Await(link_.id), answer);
}

TEST_F(BrokerClientLinkTest, PooledWritesReachTheBrokerOnePacketPerFrame) {
  constexpr int kPackets = 200;
  ExpectRoundTrip(1, "before pooling");
  ASSERT_EQ(aLink_EnablePooledPackets(link_.id, true), aErrNone);
  for (int i = 0; i < kPackets; ++i) {
    ASSERT_EQ(Put(link_.id, {kEcho, static_cast<uint8_t>(i), 0x55}), aErrNone);
  }
  for (int i = 0; i < kPackets; ++i) {
    Bytes got;
    ASSERT_TRUE(NextRequest(router_, &got)) << i;
    EXPECT_EQ(got, (Bytes{kModule, 3, kEcho, static_cast<uint8_t>(i), 0x55})) << i;
  }
  Bytes extra;
  EXPECT_FALSE(NextRequest(router_, &extra, kSilenceMs));
}

TEST_F(BrokerClientLinkTest, AnEmptyFrameFromTheBrokerIsNoReadError) {
  ExpectRoundTrip(1, "before the empty frame");
  ASSERT_TRUE(router_.send({}));
  const Bytes after{kModule, 1, 0x44};
  ASSERT_TRUE(router_.send(after));
  EXPECT_EQ(Await(link_.id), after);
  EXPECT_EQ(aLink_GetStatus(link_.id), aLINK_STATUS_RUNNING);
  ExpectRoundTrip(2, "after the empty frame");
}

TEST_F(BrokerClientLinkTest, AResetConnectsAnewToTheSameBroker) {
  ExpectRoundTrip(1, "before the reset");
  const Bytes before = router_.identity();
  ASSERT_EQ(aLink_Reset(link_.id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link_.id), aLINK_STATUS_RUNNING);
  EXPECT_EQ(Uses(link_.id), 1);
  ExpectRoundTrip(2, "after the reset");
  EXPECT_NE(router_.identity(), before) << "the reset made a new connection";
  // An answer still addressed to the connection that went reaches nobody.
  ASSERT_TRUE(router_.sendTo(before, {kModule, 1, 0x66}));
  ExpectRoundTrip(3, "an answer to the old connection is not handed out");
}

TEST(BrokerClientLink, CreatesCountTheirUses) {
  Router router;
  ASSERT_TRUE(router.bound());
  LinkGuard first;
  LinkGuard second;
  first.id = aLink_CreateClient(kLoopback, router.port(), 0);
  second.id = aLink_CreateClient(kLoopback, router.port(), 0);
  ASSERT_NE(first.id, 0u);
  ASSERT_NE(second.id, 0u);
  EXPECT_NE(first.id, second.id) << "every create without a link ID makes a new link";
  EXPECT_EQ(Uses(first.id), 1);

  // With a link ID: one more use of that link, whatever address and port say.
  EXPECT_EQ(aLink_CreateClient(0, 0, first.id), first.id);
  EXPECT_EQ(Uses(first.id), 2);
  uint32_t drop = first.id;
  EXPECT_EQ(aLink_Destroy(&drop), aErrNone);
  EXPECT_EQ(drop, 0u);
  EXPECT_EQ(Uses(first.id), 1);
  EXPECT_EQ(aLink_GetStatus(first.id), aLINK_STATUS_RUNNING);

  const uint32_t gone = second.id;
  ASSERT_EQ(aLink_Destroy(&second.id), aErrNone);
  EXPECT_EQ(aLink_CreateClient(kLoopback, router.port(), gone), 0u)
      << "a link ID the table no longer holds";
}

TEST(BrokerClientLink, IsMadeAndRunsBeforeABrokerListens) {
  LinkGuard link;
  link.id = aLink_CreateClient(kLoopback, ClosedLoopbackPort(), 0);
  ASSERT_NE(link.id, 0u);
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
  EXPECT_EQ(Put(link.id, {kEcho, 1}), aErrNone);
  EXPECT_EQ(aLink_GetPacket(link.id), nullptr);
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
}

}  // namespace
