// The sharing broker's stream batches: stream samples that the module sends unasked are
// gathered in the device link's reader and sent, at a heartbeat or once a batch is nearly
// full, to every client that switched streaming on, until it switches all its keys off again
// or goes away; a client that stops reading has at most 64 of them queued at the broker.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <zmq.h>

#include "broker_test_support.h"

namespace {

using brokertest::BrokerOnModule;
using brokertest::Bytes;
using brokertest::Client;
using brokertest::Echo;
using brokertest::kModule;
using brokertest::kSilenceMs;
using brokertest::Packet;

constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint8_t kSourceCommand = 3;
constexpr uint8_t kFirstOption = 1;   // source 3:1:0, 32-bit samples
constexpr uint8_t kSecondOption = 2;  // source 3:2:0, 32-bit samples
constexpr uint8_t kStringOption = 3;  // source 3:3:0, 48-byte strings in two full chunks
constexpr uint8_t kAny = 0xFF;
constexpr size_t kSampleDataBytes = 17;  // a 32-bit sample
constexpr size_t kChunkWireBytes = 30;   // a full chunk of a byte-string sample
// The first batch that passes 4065 bytes: 136 chunks of 30 bytes.
constexpr size_t kChunksInFullBatch = 136;
// Time for the broker to learn that a client's connection went (loopback: at once).
constexpr int kDisconnectNoticedMs = 500;

// [2][7][5D][81 or 82][20][module][command][option][index] and its acknowledgement.
Bytes Switch(uint8_t how, uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  return Packet(kModule, {kStreamCommand, how, 0x20, module, command, option, index});
}
Bytes Enable(uint8_t option) { return Switch(0x81, kModule, kSourceCommand, option, 0); }
Bytes Disable(uint8_t option) { return Switch(0x82, kModule, kSourceCommand, option, 0); }
Bytes Acknowledged(const Bytes& request) {
  Bytes answer = request;
  answer[3] = static_cast<uint8_t>(request[3] | 0x40);
  answer[4] = 0;
  return answer;
}

// The packets of a batch, [address][length][data] back to back; empty when it does not parse.
std::vector<Bytes> PacketsOf(const Bytes& batch) {
  std::vector<Bytes> packets;
  size_t at = 0;
  while (at + 2 <= batch.size()) {
    const size_t size = 2 + static_cast<size_t>(batch[at + 1]);
    if (at + size > batch.size()) return {};
    packets.emplace_back(batch.begin() + static_cast<std::ptrdiff_t>(at),
                         batch.begin() + static_cast<std::ptrdiff_t>(at + size));
    at += size;
  }
  return at == batch.size() ? packets : std::vector<Bytes>{};
}

class BrokerStreaming : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(broker_.ready()) << broker_.error(); }

  // Switches streaming on or off for the client and takes the module's acknowledgement.
  void request(Client& client, const Bytes& packet) {
    ASSERT_TRUE(client.send(packet));
    EXPECT_EQ(client.receive(), Acknowledged(packet));
  }
  // A client that switches the string stream on, takes the acknowledgement and then reads
  // nothing: a receive queue of one message and a 4 KB socket buffer. Null on failure.
  void* stalledStreamClient() {
    constexpr int kTinyBuffer = 4096;  // bytes of the stalled socket
    void* stalled = zmq_socket(broker_.context(), ZMQ_DEALER);
    if (stalled == nullptr) return nullptr;
    const int one = 1;
    const int none = 0;
    zmq_setsockopt(stalled, ZMQ_RCVHWM, &one, sizeof one);
    zmq_setsockopt(stalled, ZMQ_RCVBUF, &kTinyBuffer, sizeof kTinyBuffer);
    zmq_setsockopt(stalled, ZMQ_LINGER, &none, sizeof none);
    const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(broker_.port());
    const Bytes enable = Enable(kStringOption);
    zmq_pollitem_t item{stalled, 0, ZMQ_POLLIN, 0};
    uint8_t acknowledgement[64];
    if (zmq_connect(stalled, endpoint.c_str()) != 0 ||
        zmq_send(stalled, enable.data(), enable.size(), 0) != static_cast<int>(enable.size()) ||
        zmq_poll(&item, 1, brokertest::kAnswerWaitMs) != 1 ||
        zmq_recv(stalled, acknowledgement, sizeof acknowledgement, 0) <= 0) {
      zmq_close(stalled);
      return nullptr;
    }
    return stalled;
  }
  // n samples of the covered sources, then a heartbeat that sends the batch.
  void emitAndBeat(int n) {
    ASSERT_TRUE(broker_.sim().command("EMIT " + std::to_string(n)));
    ASSERT_TRUE(broker_.sim().command("HB 0"));
  }
  // The one batch the client gets, as packets; empty when none (or more than one) comes.
  std::vector<Bytes> batchOf(Client& client) {
    std::optional<Bytes> batch = client.receive();
    if (!batch) return {};
    if (!client.receiveFor(kSilenceMs).empty()) return {};
    return PacketsOf(*batch);
  }

  BrokerOnModule broker_{{"--stream", "3:1:0:3", "--stream", "3:2:0:3", "--stream", "3:3:0:4:48",
                          "--stream-rate", "0"}};
};

TEST_F(BrokerStreaming, BatchesReachEachClientThatSwitchedStreamingOnOnce) {
  Client first(broker_.context(), broker_.port());
  Client second(broker_.context(), broker_.port());
  Client bystander(broker_.context(), broker_.port());
  request(first, Enable(kFirstOption));
  request(first, Enable(kFirstOption));
  request(second, Enable(kFirstOption));
  bystander.send(Echo(3));
  ASSERT_EQ(bystander.receive(), Echo(3));

  emitAndBeat(3);
  for (Client* client : {&first, &second}) {
    const std::vector<Bytes> packets = batchOf(*client);
    ASSERT_EQ(packets.size(), 3u);
    for (const Bytes& packet : packets) {
      ASSERT_EQ(packet.size(), 2 + kSampleDataBytes);
      EXPECT_EQ(packet[0], kModule);
      EXPECT_EQ(packet[2], kSourceCommand);
      EXPECT_EQ(packet[3], kFirstOption);
      EXPECT_EQ(packet[4], 0x40);
    }
  }
  EXPECT_TRUE(bystander.receiveFor(kSilenceMs).empty());

  // A heartbeat with nothing gathered sends nothing; requests go on as before.
  ASSERT_TRUE(broker_.sim().command("HB 0"));
  EXPECT_TRUE(first.receiveFor(kSilenceMs).empty());
  first.send(Echo(1));
  EXPECT_EQ(first.receive(), Echo(1));
  EXPECT_EQ(first.multipartMessages(), 0);
}

TEST_F(BrokerStreaming, ABatchGoesOutWithoutAHeartbeatOnceItPasses4065Bytes) {
  Client client(broker_.context(), broker_.port());
  request(client, Enable(kStringOption));
  // Each sample is two chunks of 30 bytes.
  ASSERT_TRUE(broker_.sim().command("EMIT " + std::to_string(kChunksInFullBatch / 2)));
  std::optional<Bytes> batch = client.receive();
  ASSERT_TRUE(batch);
  EXPECT_EQ(batch->size(), kChunksInFullBatch * kChunkWireBytes);
  const std::vector<Bytes> packets = PacketsOf(*batch);
  ASSERT_EQ(packets.size(), kChunksInFullBatch);
  for (const Bytes& packet : packets) EXPECT_EQ(packet.size(), kChunkWireBytes);
  EXPECT_TRUE(client.receiveFor(kSilenceMs).empty());
}

TEST_F(BrokerStreaming, AClientThatWentAwayGetsNoBatchesUnderItsIdentity) {
  Client staying(broker_.context(), broker_.port());
  auto going = std::make_unique<Client>(broker_.context(), broker_.port(), "stream-client");
  request(staying, Enable(kFirstOption));
  request(*going, Enable(kFirstOption));
  emitAndBeat(1);
  EXPECT_EQ(batchOf(staying).size(), 1u);
  EXPECT_EQ(batchOf(*going).size(), 1u);

  going.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(kDisconnectNoticedMs));
  emitAndBeat(1);  // its send to the client that went fails: the client is no longer listed
  EXPECT_EQ(batchOf(staying).size(), 1u);

  // A new client under the same identity has switched nothing on.
  Client returning(broker_.context(), broker_.port(), "stream-client");
  returning.send(Echo(2));
  ASSERT_EQ(returning.receive(), Echo(2));
  emitAndBeat(1);
  EXPECT_EQ(batchOf(staying).size(), 1u);
  EXPECT_TRUE(returning.receiveFor(kSilenceMs).empty());
  request(returning, Enable(kFirstOption));
  emitAndBeat(1);
  EXPECT_EQ(batchOf(returning).size(), 1u);
}

TEST_F(BrokerStreaming, AClientGetsBatchesUntilItDisablesEveryKeyItEnabled) {
  Client client(broker_.context(), broker_.port());
  Client other(broker_.context(), broker_.port());
  request(client, Enable(kFirstOption));
  request(client, Enable(kSecondOption));
  request(other, Enable(kFirstOption));

  // One key of two off: still listed (the module streams the other source only).
  request(client, Disable(kFirstOption));
  emitAndBeat(1);
  EXPECT_EQ(batchOf(client).size(), 1u);
  EXPECT_EQ(batchOf(other).size(), 1u);

  // A switch the broker does not know changes nothing.
  const Bytes unknown = Switch(0x83, kModule, kSourceCommand, kSecondOption, 0);
  client.send(unknown);
  ASSERT_TRUE(client.receive());
  emitAndBeat(1);
  EXPECT_EQ(batchOf(client).size(), 1u);
  EXPECT_EQ(batchOf(other).size(), 1u);

  // Every key off ("any" in each field): no longer listed, while another client streams on.
  request(client, Switch(0x82, kModule, kAny, kAny, kAny));
  request(other, Enable(kFirstOption));
  emitAndBeat(1);
  EXPECT_EQ(batchOf(other).size(), 1u);
  EXPECT_TRUE(client.receiveFor(kSilenceMs).empty());
}

// A stream client that stops reading fills its queue at the broker (and the sockets' buffers
// behind it); the broker's non-waiting sends then drop its batches, and every other client is
// served as before. A send that waited would hold the broker thread until the client read.
TEST_F(BrokerStreaming, AClientThatStopsReadingNeverHoldsUpTheBroker) {
  // Batches to fill ZeroMQ's queue of 1000 messages for the client and the buffers after it.
  constexpr int kBatches = 1500;
  constexpr int kSamplesPerBatch = kChunksInFullBatch / 2;  // two chunks per string sample
  // Longest time the samples may hold up an answer on the module's connection.
  constexpr auto kBacklogDeadline = std::chrono::seconds(60);
  void* stalled = stalledStreamClient();
  ASSERT_NE(stalled, nullptr);
  // From here on the stalled client reads nothing.

  Client other(broker_.context(), broker_.port());
  ASSERT_TRUE(broker_.sim().command("EMIT " + std::to_string(kBatches * kSamplesPerBatch)));
  // The requests go on while the batches pile up. An answer may come behind the samples on the
  // module's connection, later than the broker waits for it (on a slow, instrumented build):
  // such a request is asked again, until the deadline.
  for (uint8_t round = 1; round <= 3; ++round) {
    const auto deadline = std::chrono::steady_clock::now() + kBacklogDeadline;
    std::optional<Bytes> answer;
    while (!answer && std::chrono::steady_clock::now() < deadline) {
      ASSERT_TRUE(other.send(Echo(round)));
      answer = other.receive();
    }
    ASSERT_EQ(answer, Echo(round)) << "round " << int(round);
  }
  zmq_close(stalled);
}

// Bytes that the kernel holds on this process's TCP connections of the port: unsent or
// unacknowledged on the sending side, unread on the receiving side.
size_t KernelHeldBytes(uint16_t port) {
  size_t held = 0;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return 0;
  while (const dirent* entry = readdir(fds)) {
    const int fd = std::atoi(entry->d_name);
    int type = 0;
    socklen_t size = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) continue;
    sockaddr_in local{};
    sockaddr_in peer{};
    socklen_t localSize = sizeof local;
    socklen_t peerSize = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        local.sin_family != AF_INET ||
        getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
      continue;
    int bytes = 0;
    if (ntohs(local.sin_port) == port && ioctl(fd, SIOCOUTQ, &bytes) == 0) held += bytes;
    if (ntohs(peer.sin_port) == port && ioctl(fd, SIOCINQ, &bytes) == 0) held += bytes;
  }
  closedir(fds);
  return held;
}

// Counts the messages the socket gets, each within waitMs, up to the first one shorter than
// shortBelow bytes. Their bytes are never looked at (ThreadSanitizer would check every copy).
size_t CountMessages(void* socket, int waitMs, size_t shortBelow = 0) {
  size_t count = 0;
  zmq_pollitem_t item{socket, 0, ZMQ_POLLIN, 0};
  while (zmq_poll(&item, 1, waitMs) == 1) {
    zmq_msg_t message;
    zmq_msg_init(&message);
    if (zmq_msg_recv(&message, socket, 0) < 0) {
      zmq_msg_close(&message);
      break;
    }
    const size_t size = zmq_msg_size(&message);
    zmq_msg_close(&message);
    ++count;
    if (size < shortBelow) break;
  }
  return count;
}

// A stream client that stops reading has at most 64 batches queued for it at the broker, besides
// what the connection's kernel buffers hold; the broker drops the others and keeps the client
// listed. With ZeroMQ's default the broker kept 1000 (4 MB) for it.
TEST_F(BrokerStreaming, AClientThatStopsReadingHasAtMost64BatchesQueuedForIt) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer checks each copy ZeroMQ makes of a batch, slowly: fewer, still more than the
  // queue holds.
  constexpr int kBatches = 200;
#else
  // More than a kernel's send buffer of 4 MB and ZeroMQ's default queue of 1000 hold.
  constexpr int kBatches = 2500;
#endif
  constexpr size_t kBatchBytes = kChunksInFullBatch * kChunkWireBytes;
  constexpr int kSamplesPerBatch = kChunksInFullBatch / 2;  // two chunks per string sample
  constexpr size_t kBatchesQueued = 64;
  // Besides the queue and the kernel's buffers: a batch cut between them, the stalled socket's
  // queue of one, and ZeroMQ's 8 KB batches on either side.
  constexpr size_t kBatchesElsewhere = 8;

  void* stalled = stalledStreamClient();
  ASSERT_NE(stalled, nullptr);
  zmq_pollitem_t item{stalled, 0, ZMQ_POLLIN, 0};
  uint8_t frame[2 * aSERVER_MAX_MESSAGE];
  Client reader(broker_.context(), broker_.port());
  request(reader, Enable(kStringOption));

  // From here on the stalled client reads nothing until the stream has ended at the reader: its
  // last batch, which a heartbeat sends with one sample, or none for a while (in a burst past
  // its queue the reader loses batches too).
  ASSERT_TRUE(broker_.sim().command("EMIT " + std::to_string(kBatches * kSamplesPerBatch)));
  emitAndBeat(1);
  EXPECT_GT(CountMessages(reader.socket(), brokertest::kAnswerWaitMs, kBatchBytes), 0u);
  const size_t inKernel = KernelHeldBytes(broker_.port()) / kBatchBytes + 1;

  const size_t held = CountMessages(stalled, kSilenceMs);
  EXPECT_GT(held, 0u);
  EXPECT_LE(held, kBatchesQueued + inKernel + kBatchesElsewhere) << inKernel << " in the kernel";

  // Still listed: the next batch reaches it.
  emitAndBeat(1);
  ASSERT_EQ(zmq_poll(&item, 1, brokertest::kAnswerWaitMs), 1);
  EXPECT_GT(zmq_recv(stalled, frame, sizeof frame, 0), 0);
  zmq_close(stalled);
}

}  // namespace
