// The multicast socket of the broker discovery exchange: one receiver per port on the host,
// senders without a port, the direction and null checks, the one-second receive time-out, cut
// datagrams, the sender's address, and delivery to another process. Everything that opens a
// socket runs inside a network namespace of the test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "aMulticast.h"
#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kPort = 9850;
constexpr int kReceiveTimeoutMs = 1000;  // ms the socket waits for a datagram
constexpr int kTimeoutSlackMs = 400;     // ms a timed-out receive may run late
constexpr int kSignalAfterMs = 200;      // ms into a receive at which the signal comes
constexpr int kDatagramAfterMs = 500;    // ms into a receive at which the datagram comes
constexpr int kQuickMs = 100;            // ms a refused call may take at most
const uint32_t kLoopback = htonl(INADDR_LOOPBACK);
const uint32_t kGroup = inet_addr("224.0.0.7");
const uint32_t kSecondAddress = inet_addr("10.250.0.1");  // on lo inside the namespace

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A socket of the wrapper, destroyed with its owner.
struct Socket {
  Socket(uint32_t networkInterface, uint16_t port, bool isSender)
      : handle(aMulticast_Create(networkInterface, kGroup, port, isSender)) {}
  ~Socket() {
    if (handle != nullptr) aMulticast_Destroy(&handle);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  aMulticast* handle;
};

TEST(MulticastHandles, NullIsRefused) {
  uint8_t byte = 0;
  uint32_t from = 0;
  EXPECT_EQ(aMulticast_Send(nullptr, &byte, 1), aMULTICAST_NULL);
  EXPECT_EQ(aMulticast_Receive(nullptr, &byte, 1), aMULTICAST_NULL);
  EXPECT_EQ(aMulticast_ReceiveFrom(nullptr, &byte, 1, &from), aMULTICAST_NULL);
  EXPECT_EQ(aMulticast_Descriptor(nullptr), -1);
  aMulticast* none = nullptr;
  EXPECT_EQ(aMulticast_Destroy(&none), aMULTICAST_NULL);
  EXPECT_EQ(aMulticast_Destroy(nullptr), aMULTICAST_NULL);
}

class MulticastSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace())
      GTEST_SKIP() << "runs only inside the network namespace that "
                      "MulticastSocket.RunsInsideANetworkNamespace makes";
    for (const std::string& name : InterfaceNames())
      ASSERT_EQ(name, "lo") << "not inside the test's namespace: no multicast is sent";
  }
};

TEST_F(MulticastSocketTest, ASecondReceiverOfAPortFailsUntilTheFirstIsGone) {
  aMulticast* first = aMulticast_Create(kLoopback, kGroup, kPort, false);
  ASSERT_NE(first, nullptr);
  errno = 0;
  aMulticast* second = aMulticast_Create(kLoopback, kGroup, kPort, false);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(errno, EADDRINUSE);
  // Interface 0 is 127.0.0.1: the same port is just as taken.
  EXPECT_EQ(aMulticast_Create(0, kGroup, kPort, false), nullptr);

  EXPECT_EQ(aMulticast_Destroy(&first), 0);
  EXPECT_EQ(first, nullptr);
  second = aMulticast_Create(0, kGroup, kPort, false);
  EXPECT_NE(second, nullptr);
  aMulticast_Destroy(&second);
}

TEST_F(MulticastSocketTest, SendersNeedNoFreePort) {
  Socket receiver(kLoopback, kPort, false);
  Socket first(kLoopback, kPort, true);
  Socket second(kLoopback, kPort, true);
  ASSERT_NE(receiver.handle, nullptr);
  EXPECT_NE(first.handle, nullptr);
  EXPECT_NE(second.handle, nullptr);
}

TEST_F(MulticastSocketTest, TheWrongDirectionIsRefusedAtOnce) {
  Socket receiver(kLoopback, kPort, false);
  Socket sender(kLoopback, kPort, true);
  ASSERT_NE(receiver.handle, nullptr);
  ASSERT_NE(sender.handle, nullptr);
  uint8_t bytes[4] = {1, 2, 3, 4};
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(aMulticast_Send(receiver.handle, bytes, sizeof bytes), aMULTICAST_WRONG_DIRECTION);
  EXPECT_EQ(aMulticast_Receive(sender.handle, bytes, sizeof bytes), aMULTICAST_WRONG_DIRECTION);
  uint32_t from = 0;
  EXPECT_EQ(aMulticast_ReceiveFrom(sender.handle, bytes, sizeof bytes, &from),
            aMULTICAST_WRONG_DIRECTION);
  EXPECT_LT(ElapsedMs(start), kQuickMs);
  // Nothing went out from the receiver.
  pollfd ready{aMulticast_Descriptor(receiver.handle), POLLIN, 0};
  EXPECT_EQ(poll(&ready, 1, 0), 0);
}

TEST_F(MulticastSocketTest, WithoutADatagramAReceiveEndsAfterOneSecond) {
  Socket receiver(kLoopback, kPort, false);
  ASSERT_NE(receiver.handle, nullptr);
  uint8_t buffer[16];
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(aMulticast_Receive(receiver.handle, buffer, sizeof buffer), aMULTICAST_FAILED);
  const long took = ElapsedMs(start);
  EXPECT_GE(took, kReceiveTimeoutMs - 10);
  EXPECT_LT(took, kReceiveTimeoutMs + kTimeoutSlackMs);
}

TEST_F(MulticastSocketTest, ADatagramReachesTheGroupsReceiverWithItsSender) {
  Socket receiver(kLoopback, kPort, false);
  Socket sender(kLoopback, kPort, true);
  ASSERT_NE(receiver.handle, nullptr);
  ASSERT_NE(sender.handle, nullptr);
  const uint8_t request[4] = {0xBA, 0xDC, 0xCD, 0xAB};
  EXPECT_EQ(aMulticast_Send(sender.handle, request, sizeof request), 4);

  pollfd ready{aMulticast_Descriptor(receiver.handle), POLLIN, 0};
  EXPECT_EQ(poll(&ready, 1, kReceiveTimeoutMs), 1);
  uint8_t buffer[16] = {};
  uint32_t from = 0;
  ASSERT_EQ(aMulticast_ReceiveFrom(receiver.handle, buffer, sizeof buffer, &from), 4);
  EXPECT_EQ(memcmp(buffer, request, sizeof request), 0);
  EXPECT_EQ(from, kLoopback);
}

// The receiver binds every address: a datagram from another local address arrives too, and
// ReceiveFrom names that address.
TEST_F(MulticastSocketTest, ReceiveFromNamesAnotherSourceAddress) {
  Socket receiver(kLoopback, kPort, false);
  ASSERT_NE(receiver.handle, nullptr);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = kSecondAddress;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source), 0);
  in_addr face{};
  face.s_addr = kLoopback;
  ASSERT_EQ(setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &face, sizeof face), 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kPort);
  to.sin_addr.s_addr = kGroup;
  const uint8_t byte = 7;
  ASSERT_EQ(sendto(fd, &byte, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 1);
  close(fd);

  uint8_t buffer[4] = {};
  uint32_t from = 0;
  EXPECT_EQ(aMulticast_ReceiveFrom(receiver.handle, buffer, sizeof buffer, &from), 1);
  EXPECT_EQ(from, kSecondAddress);
}

TEST_F(MulticastSocketTest, ALongerDatagramIsCutToTheBufferAndItsRestIsLost) {
  Socket receiver(kLoopback, kPort, false);
  Socket sender(kLoopback, kPort, true);
  ASSERT_NE(receiver.handle, nullptr);
  ASSERT_NE(sender.handle, nullptr);
  std::vector<uint8_t> longer(200);
  for (size_t i = 0; i < longer.size(); ++i) longer[i] = static_cast<uint8_t>(i);
  const uint8_t next[3] = {0xEE, 0xEF, 0xF0};
  ASSERT_EQ(aMulticast_Send(sender.handle, longer.data(), static_cast<unsigned>(longer.size())),
            200);
  ASSERT_EQ(aMulticast_Send(sender.handle, next, sizeof next), 3);

  uint8_t buffer[64] = {};
  ASSERT_EQ(aMulticast_Receive(receiver.handle, buffer, sizeof buffer), 64);
  EXPECT_EQ(memcmp(buffer, longer.data(), sizeof buffer), 0);
  // The next receive gets the next datagram, not the rest of the first.
  ASSERT_EQ(aMulticast_Receive(receiver.handle, buffer, sizeof buffer), 3);
  EXPECT_EQ(memcmp(buffer, next, sizeof next), 0);
}

TEST_F(MulticastSocketTest, ADatagramReachesAReceiverInAnotherProcess) {
  Socket receiver(kLoopback, kPort, false);
  ASSERT_NE(receiver.handle, nullptr);
  const RunResult run = RunInChild(
      [] {
        aMulticast* sender = aMulticast_Create(kLoopback, kGroup, kPort, true);
        const char text[] = "from the child";
        const int sent = aMulticast_Send(sender, text, sizeof text);
        aMulticast_Destroy(&sender);
        if (sent != static_cast<int>(sizeof text)) throw 1;
      },
      Stdout::Pipe);
  ASSERT_TRUE(run.exitedWith(0)) << run.err;
  char buffer[32] = {};
  EXPECT_EQ(aMulticast_Receive(receiver.handle, buffer, sizeof buffer),
            static_cast<int>(sizeof "from the child"));
  EXPECT_STREQ(buffer, "from the child");
}

std::atomic<int> gSignals{0};
void CountSignal(int) { ++gSignals; }

// A signal during the wait does not end the receive: the datagram sent after it is taken.
TEST_F(MulticastSocketTest, ASignalDoesNotEndTheWait) {
  struct sigaction action {};
  action.sa_handler = CountSignal;  // no SA_RESTART: the wait sees EINTR
  sigemptyset(&action.sa_mask);
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &before), 0);
  gSignals = 0;

  Socket receiver(kLoopback, kPort, false);
  Socket sender(kLoopback, kPort, true);
  ASSERT_NE(receiver.handle, nullptr);
  ASSERT_NE(sender.handle, nullptr);
  std::atomic<int> result{0};
  std::thread waiting([&] {
    uint8_t buffer[8];
    result = aMulticast_Receive(receiver.handle, buffer, sizeof buffer);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(kSignalAfterMs));
  pthread_kill(waiting.native_handle(), SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(kDatagramAfterMs - kSignalAfterMs));
  const uint8_t bytes[2] = {1, 2};
  EXPECT_EQ(aMulticast_Send(sender.handle, bytes, sizeof bytes), 2);
  waiting.join();
  sigaction(SIGUSR1, &before, nullptr);
  EXPECT_EQ(gSignals, 1);
  EXPECT_EQ(result, 2);
}

// Runs the tests above in a copy of this program inside a fresh network namespace, so that no
// multicast datagram can leave through a real interface.
TEST(MulticastSocket, RunsInsideANetworkNamespace) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespace("MulticastSocketTest.*");
}

}  // namespace
