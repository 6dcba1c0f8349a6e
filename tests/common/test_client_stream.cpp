// Broker client stream against a plain ZeroMQ ROUTER on TCP loopback, which plays the broker:
// frames handed out byte by byte, empty frames skipped, one frame per packet on a pooled
// write, single bytes refused, and a broker that is not (yet) there.
#include <arpa/inet.h>
#include <czmq.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "aClientStream.h"
#include "aServer.h"
#include "aStream.h"
#include "support.h"
#include "zmq_router_test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using coretest::Router;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
constexpr int kArrivalMs = coretest::kRouterArrivalMs;
// How long a check that nothing (more) arrives listens.
constexpr int kSilenceMs = 200;
// Slice of one wait of the stream for input, as the link's reader waits.
constexpr uint32_t kWaitSliceMs = 20;

// A client stream that is destroyed with the test.
struct StreamGuard {
  aStream* stream = nullptr;
  ~StreamGuard() {
    if (stream != nullptr) aStream_Destroy(&stream);
  }
};

// The next byte as the link's reader gets it: a get, and after aErrNotReady a wait slice and
// another get. Every result other than aErrNone goes to *others.
aErr NextByte(aStream* stream, uint8_t* byte, std::vector<aErr>* others = nullptr) {
  const auto end = Clock::now() + std::chrono::milliseconds(kArrivalMs);
  for (;;) {
    const aErr got = aStream_Read(stream, byte, 1);
    if (got == aErrNone) return got;
    if (others != nullptr) others->push_back(got);
    if (got != aErrNotReady || Clock::now() > end) return got;
    aStream_WaitForInput(stream, kWaitSliceMs);
  }
}

Bytes ReadBytes(aStream* stream, size_t count, std::vector<aErr>* others = nullptr) {
  Bytes bytes;
  uint8_t byte = 0;
  while (bytes.size() < count && NextByte(stream, &byte, others) == aErrNone) bytes.push_back(byte);
  return bytes;
}

Bytes Pattern(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  return bytes;
}

Bytes Packet(uint8_t address, const Bytes& data) {
  Bytes packet{address, static_cast<uint8_t>(data.size())};
  packet.insert(packet.end(), data.begin(), data.end());
  return packet;
}

class ClientStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(router_.bound());
    ASSERT_EQ(aStream_CreateClient(kLoopback, router_.port(), &guard_.stream), aErrNone);
    ASSERT_NE(guard_.stream, nullptr);
    // The broker learns the client by its first request.
    const Bytes hello{2, 1, 0x10};
    ASSERT_EQ(aStream_Write(guard_.stream, hello.data(), hello.size()), aErrNone);
    Bytes got;
    ASSERT_TRUE(router_.receive(&got));
    ASSERT_EQ(got, hello);
  }

  aStream* stream() { return guard_.stream; }

  Router router_;
  StreamGuard guard_;
};

TEST_F(ClientStreamTest, AFrameIsHandedOutWholeAndTheNextGetWaitsForANewOne) {
  struct Case {
    const char* what;
    size_t size;
  };
  const Case cases[] = {
      {"a full answer packet", 30},
      {"a stream batch", 4000},
  };
  for (const Case& c : cases) {
    const Bytes frame = Pattern(c.size);
    ASSERT_TRUE(router_.send(frame)) << c.what;
    std::vector<aErr> others;
    EXPECT_EQ(ReadBytes(stream(), c.size, &others), frame) << c.what;
    // Only the first byte of a frame may have had to wait.
    for (aErr other : others) EXPECT_EQ(other, aErrNotReady) << c.what;
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(stream(), &byte, 1), aErrNotReady) << c.what;
    EXPECT_EQ(aStream_WaitForInput(stream(), kWaitSliceMs), aErrTimeout) << c.what;
  }
}

TEST_F(ClientStreamTest, FramesComeInTheOrderTheBrokerSentThem) {
  const Bytes first{2, 2, 0x20, 1};
  const Bytes second{2, 0};
  const Bytes third{4, 3, 0x30, 2, 3};
  for (const Bytes& frame : {first, second, third}) ASSERT_TRUE(router_.send(frame));
  Bytes expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  expected.insert(expected.end(), third.begin(), third.end());
  EXPECT_EQ(ReadBytes(stream(), expected.size()), expected);
}

// A frame over the broker's message bound ends the connection before ZeroMQ keeps it (a process
// that answers the loopback discovery could push frames of hundreds of MB): none of it, nor
// anything behind it, is handed out. A frame of the bound passes whole.
TEST_F(ClientStreamTest, AFrameOverTheMessageBoundIsNeverHandedOut) {
  const Bytes largest = Pattern(aSERVER_MAX_MESSAGE);
  ASSERT_TRUE(router_.send(largest));
  EXPECT_EQ(ReadBytes(stream(), largest.size()), largest);
  ASSERT_TRUE(router_.send(Pattern(aSERVER_MAX_MESSAGE + 1)));
  ASSERT_TRUE(router_.send({2, 1, 0x23}));
  EXPECT_EQ(aStream_WaitForInput(stream(), kSilenceMs), aErrTimeout);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream(), &byte, 1), aErrNotReady);
}

TEST_F(ClientStreamTest, AnEmptyFrameIsSkippedWithoutAReadError) {
  const Bytes after{2, 1, 0x42};
  ASSERT_TRUE(router_.send({}));
  ASSERT_TRUE(router_.send(after));
  std::vector<aErr> others;
  EXPECT_EQ(ReadBytes(stream(), after.size(), &others), after);
  for (aErr other : others) EXPECT_EQ(other, aErrNotReady);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream(), &byte, 1), aErrNotReady);
}

TEST_F(ClientStreamTest, AWriteReachesTheBrokerAsOneFramePerPacket) {
  const Bytes largest = Packet(2, Pattern(28));
  struct Case {
    const char* what;
    std::vector<Bytes> frames;  // written back to back in one write
    Bytes tail;                 // then these bytes, which are no whole packet
  };
  const Case cases[] = {
      {"one packet", {{2, 2, 0x23, 9}}, {}},
      {"a pooled write of three packets", {{2, 1, 0x23}, {4, 3, 7, 8, 9}, {6, 0}}, {}},
      {"two packets of 28 data bytes", {largest, largest}, {}},
      {"a packet, then bytes that are no whole packet", {{2, 1, 0x23}}, {4, 5, 1}},
  };
  for (const Case& c : cases) {
    Bytes written;
    std::vector<Bytes> expected = c.frames;
    for (const Bytes& frame : c.frames) written.insert(written.end(), frame.begin(), frame.end());
    written.insert(written.end(), c.tail.begin(), c.tail.end());
    if (!c.tail.empty()) expected.push_back(c.tail);

    ASSERT_EQ(aStream_Write(stream(), written.data(), written.size()), aErrNone) << c.what;
    for (const Bytes& frame : expected) {
      Bytes got;
      ASSERT_TRUE(router_.receive(&got)) << c.what;
      EXPECT_EQ(got, frame) << c.what;
    }
    Bytes extra;
    EXPECT_FALSE(router_.receive(&extra, kSilenceMs)) << c.what;
  }
}

TEST_F(ClientStreamTest, ASingleByteIsNotSent) {
  const uint8_t byte = 0x2A;
  EXPECT_EQ(aStream_Write(stream(), &byte, 1), aErrUnimplemented);
  Bytes got;
  EXPECT_FALSE(router_.receive(&got, kSilenceMs));
}

TEST(ClientStream, CreateWithoutAnOutPointerIsRefused) {
  EXPECT_EQ(aStream_CreateClient(kLoopback, 1, nullptr), aErrParam);
}

TEST(ClientStream, WithoutABrokerTheStreamIsMadeAndStaysSilent) {
  StreamGuard guard;
  ASSERT_EQ(aStream_CreateClient(kLoopback, ClosedLoopbackPort(), &guard.stream), aErrNone);
  ASSERT_NE(guard.stream, nullptr);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(guard.stream, &byte, 1), aErrNotReady);
  EXPECT_EQ(aStream_WaitForInput(guard.stream, kWaitSliceMs), aErrTimeout);
  EXPECT_EQ(aStream_Read(guard.stream, &byte, 1), aErrNotReady);
  const Bytes request{2, 1, 0x23};
  EXPECT_EQ(aStream_Write(guard.stream, request.data(), request.size()), aErrNone);
}

// The link's reader waits without a time-out on a stream it can wake: a wake (a stop, a status
// change) ends that wait, also one that came before it, and leaves no frame behind.
TEST(ClientStream, AWakeEndsAWaitWithoutTimeOut) {
  StreamGuard guard;
  ASSERT_EQ(aStream_CreateClient(kLoopback, ClosedLoopbackPort(), &guard.stream), aErrNone);
  ASSERT_TRUE(aStream_CanWake(guard.stream));
  auto waiting = std::async(std::launch::async, [&guard] {
    return aStream_WaitForInput(guard.stream, aSTREAM_WAIT_FOREVER);
  });
  ASSERT_EQ(aStream_Wake(guard.stream), aErrNone);
  ASSERT_EQ(waiting.wait_for(std::chrono::milliseconds(kArrivalMs)), std::future_status::ready);
  EXPECT_EQ(waiting.get(), aErrNone);

  ASSERT_EQ(aStream_Wake(guard.stream), aErrNone);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(guard.stream, &byte, 1), aErrNotReady);  // the wake stays for the wait
  EXPECT_EQ(aStream_WaitForInput(guard.stream, kWaitSliceMs), aErrNone);
  EXPECT_EQ(aStream_WaitForInput(guard.stream, kWaitSliceMs), aErrTimeout);
}

TEST(ClientStream, ARequestWrittenBeforeTheBrokerCameReachesItOnceItListens) {
  const uint16_t port = ClosedLoopbackPort();
  StreamGuard guard;
  ASSERT_EQ(aStream_CreateClient(kLoopback, port, &guard.stream), aErrNone);
  const Bytes request{2, 2, 0x23, 5};
  ASSERT_EQ(aStream_Write(guard.stream, request.data(), request.size()), aErrNone);

  Router late(port);
  ASSERT_TRUE(late.bound()) << "port " << port << " was taken meanwhile";
  Bytes got;
  ASSERT_TRUE(late.receive(&got));
  EXPECT_EQ(got, request);
  const Bytes answer{2, 1, 0x23};
  ASSERT_TRUE(late.send(answer));
  EXPECT_EQ(ReadBytes(guard.stream, answer.size()), answer);
}

TEST(ClientStream, StreamsAreMadeAndEndedOneAfterAnother) {
  // Each stream takes fresh local endpoints; a name just given up is never bound again.
  constexpr int kRounds = 50;
  Router router;
  ASSERT_TRUE(router.bound());
  for (int round = 0; round < kRounds; ++round) {
    StreamGuard guard;
    ASSERT_EQ(aStream_CreateClient(kLoopback, router.port(), &guard.stream), aErrNone) << round;
    const Bytes request{2, 2, 0x23, static_cast<uint8_t>(round)};
    ASSERT_EQ(aStream_Write(guard.stream, request.data(), request.size()), aErrNone) << round;
    Bytes got;
    ASSERT_TRUE(router.receive(&got)) << round;
    EXPECT_EQ(got, request) << round;
  }
}

// The interrupt test runs in a fresh copy of this program (a process whose CZMQ has not yet
// installed its handlers), which this variable tells apart.
constexpr const char* kInterruptChildVariable = "KV_CLIENT_STREAM_INTERRUPT_CHILD";
constexpr auto kHandOverGuard = std::chrono::seconds(5);  // the relay polls once a second
constexpr auto kHandOverPoll = std::chrono::milliseconds(5);

std::atomic<int> sInterrupts{0};
void CountInterrupt(int) { sInterrupts.fetch_add(1); }

TEST(ClientStream, AfterAnInterruptTheStreamStopsRelayingAndTheProcessSeesOneSIGINT) {
  ExpectPassesInFreshCopy("ClientStreamInterruptChild.*",
                          {std::string(kInterruptChildVariable) + "=1"});
}

TEST(ClientStreamInterruptChild, RelayEndsAndSIGINTReachesTheProcessOnce) {
  if (std::getenv(kInterruptChildVariable) == nullptr)
    GTEST_SKIP() << "runs in the copy that "
                    "ClientStream.AfterAnInterruptTheStreamStopsRelayingAndTheProcessSeesOneSIGINT "
                    "starts";
  // The process's own handling, which CZMQ keeps aside when it installs its handlers.
  struct sigaction counting {};
  counting.sa_handler = CountInterrupt;
  sigemptyset(&counting.sa_mask);
  ASSERT_EQ(sigaction(SIGINT, &counting, nullptr), 0);

  Router router;
  ASSERT_TRUE(router.bound());
  StreamGuard guard;
  ASSERT_EQ(aStream_CreateClient(kLoopback, router.port(), &guard.stream), aErrNone);
  const Bytes request{2, 1, 0x23};
  ASSERT_EQ(aStream_Write(guard.stream, request.data(), request.size()), aErrNone);
  Bytes got;
  ASSERT_TRUE(router.receive(&got));

  // CZMQ's handler, installed with the stream's first socket, catches the interrupt; the
  // stream's threads hand it over after their next poll.
  ASSERT_EQ(raise(SIGINT), 0);
  ASSERT_EQ(sInterrupts.load(), 0) << "CZMQ's handler took the signal";
  aStream_WaitForInput(guard.stream, kWaitSliceMs);
  const auto end = Clock::now() + kHandOverGuard;
  while (sInterrupts.load() == 0 && Clock::now() < end) std::this_thread::sleep_for(kHandOverPoll);
  EXPECT_EQ(sInterrupts.load(), 1);
  // Another wait hands nothing over again, and the relay has ended: nothing more is sent.
  std::this_thread::sleep_for(std::chrono::milliseconds(kSilenceMs));
  aStream_WaitForInput(guard.stream, kWaitSliceMs);
  EXPECT_EQ(sInterrupts.load(), 1);
  aStream_Write(guard.stream, request.data(), request.size());
  EXPECT_FALSE(router.receive(&got, kSilenceMs));
  // The stream still ends cleanly.
  EXPECT_EQ(aStream_Destroy(&guard.stream), aErrNone);
}

}  // namespace
