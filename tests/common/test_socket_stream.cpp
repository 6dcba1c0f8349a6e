// TCP socket stream against a listener on 127.0.0.1 that the test runs: connecting, reading
// without waiting, both directions, reconnecting after a reset or close, long writes, waiting
// for input and closing.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "aSocketStream.h"
#include "aStream.h"

namespace {

constexpr int kPeerWaitMs = 10000;        // ms the test's peer waits for anything before giving up
constexpr int kStreamPatienceMs = 10000;  // ms the test keeps asking the stream for a byte
constexpr uint32_t kWaitSliceMs = 20;     // ms per wait for input while the test polls

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A listening socket on a free loopback port.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 8) != 0) {
      Close();
      return;
    }
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~Listener() { Close(); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  bool ok() const { return fd_ >= 0; }
  uint16_t port() const { return port_; }

  // The next connection, or -1 when none comes within kPeerWaitMs.
  int Accept(int waitMs = kPeerWaitMs) const {
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, waitMs) <= 0) return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }
  // True when a connection is waiting to be accepted right now.
  bool HasPending() const {
    pollfd entry{fd_, POLLIN, 0};
    return poll(&entry, 1, 0) > 0;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Closes the peer's end with a reset instead of an orderly close.
void ResetClose(int fd) {
  const linger drop{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &drop, sizeof drop);
  close(fd);
}

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads until count bytes came, the peer closed or nothing came for kPeerWaitMs.
std::string ReceiveBytes(int fd, size_t count) {
  std::string got;
  char chunk[4096];
  while (got.size() < count) {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, kPeerWaitMs) <= 0) break;
    const ssize_t n = recv(fd, chunk, std::min(sizeof chunk, count - got.size()), 0);
    if (n <= 0) break;
    got.append(chunk, static_cast<size_t>(n));
  }
  return got;
}

class SocketStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener_.ok());
    ASSERT_EQ(aStream_CreateSocket(kLoopback, listener_.port(), &stream_), aErrNone);
    ASSERT_NE(stream_, nullptr);
    peer_ = listener_.Accept();
    ASSERT_GE(peer_, 0);
  }
  void TearDown() override {
    if (stream_ != nullptr) aStream_Destroy(&stream_);
    if (peer_ >= 0) close(peer_);
  }

  // Gets one byte, waiting for input between tries; the last result when no byte came.
  aErr GetByte(uint8_t* byte) {
    aErr result = aErrNotReady;
    for (int waited = 0; waited < kStreamPatienceMs; waited += kWaitSliceMs) {
      result = aStream_Read(stream_, byte, 1);
      if (result != aErrNotReady) return result;
      const aErr waitResult = aStream_WaitForInput(stream_, kWaitSliceMs);
      if (waitResult != aErrNone && waitResult != aErrTimeout) return waitResult;
    }
    return result;
  }
  std::string GetBytes(size_t n) {
    std::string got;
    uint8_t byte = 0;
    while (got.size() < n && GetByte(&byte) == aErrNone) got.push_back(static_cast<char>(byte));
    return got;
  }

  Listener listener_;
  aStream* stream_ = nullptr;
  int peer_ = -1;
};

TEST(SocketStreamCreate, ClosedPortGivesResourceErrorAndNullOut) {
  uint16_t port = 0;
  {
    Listener gone;  // a port that was free a moment ago and has no listener now
    ASSERT_TRUE(gone.ok());
    port = gone.port();
  }
  aStream sentinel{};
  aStream* out = &sentinel;
  EXPECT_EQ(aStream_CreateSocket(kLoopback, port, &out), aErrResource);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(aStream_CreateSocket(kLoopback, port, nullptr), aErrResource);
}

TEST_F(SocketStreamTest, GetWithoutDataAnswersNotReadyAtOnce) {
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
}

TEST_F(SocketStreamTest, BytesGoBothWays) {
  const std::string toModule = std::string("\x04\x02\x00\x01", 4);
  ASSERT_EQ(
      aStream_Write(stream_, reinterpret_cast<const uint8_t*>(toModule.data()), toModule.size()),
      aErrNone);
  const uint8_t single = 0x7E;
  ASSERT_EQ(aStream_Write(stream_, &single, 1), aErrNone);
  EXPECT_EQ(ReceiveBytes(peer_, 5), toModule + "\x7E");

  const std::string fromModule = std::string("\x05\x03\x00\xFF\x10", 5);
  ASSERT_TRUE(SendAll(peer_, fromModule));
  EXPECT_EQ(GetBytes(fromModule.size()), fromModule);
}

TEST_F(SocketStreamTest, WaitForInputReportsArrivingBytes) {
  EXPECT_EQ(aStream_WaitForInput(stream_, 0), aErrTimeout);
  EXPECT_EQ(aStream_WaitForInput(stream_, kWaitSliceMs), aErrTimeout);

  ASSERT_TRUE(SendAll(peer_, "k"));
  EXPECT_EQ(aStream_WaitForInput(stream_, kPeerWaitMs), aErrNone);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 'k');
}

TEST_F(SocketStreamTest, PeerResetIsFollowedByANewConnection) {
  ResetClose(peer_);
  peer_ = -1;
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);  // reconnected, nothing yet

  peer_ = listener_.Accept();
  ASSERT_GE(peer_, 0);
  ASSERT_TRUE(SendAll(peer_, "N"));
  ASSERT_EQ(GetByte(&byte), aErrNone);
  EXPECT_EQ(byte, 'N');
  const uint8_t reply = 'r';
  ASSERT_EQ(aStream_Write(stream_, &reply, 1), aErrNone);
  EXPECT_EQ(ReceiveBytes(peer_, 1), "r");
}

TEST_F(SocketStreamTest, WriteAfterPeerResetGoesWholeToTheNewConnection) {
  ResetClose(peer_);
  peer_ = -1;
  const std::string packet = "\x04\x03\x01\x02\x03";
  ASSERT_EQ(aStream_Write(stream_, reinterpret_cast<const uint8_t*>(packet.data()), packet.size()),
            aErrNone);
  peer_ = listener_.Accept();
  ASSERT_GE(peer_, 0);
  EXPECT_EQ(ReceiveBytes(peer_, packet.size()), packet);
}

TEST_F(SocketStreamTest, PeerOrderlyCloseIsFollowedByANewConnection) {
  close(peer_);
  peer_ = -1;
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
  peer_ = listener_.Accept();
  ASSERT_GE(peer_, 0);
  ASSERT_TRUE(SendAll(peer_, "Q"));
  ASSERT_EQ(GetByte(&byte), aErrNone);
  EXPECT_EQ(byte, 'Q');
}

TEST_F(SocketStreamTest, PeerGoneForGoodGivesReadErrors) {
  struct Case {
    const char* label;
    bool reset;
  };
  for (const Case& c : {Case{"orderly close", false}, Case{"reset", true}}) {
    SCOPED_TRACE(c.label);
    if (stream_ == nullptr) {
      Listener again;
      ASSERT_TRUE(again.ok());
      ASSERT_EQ(aStream_CreateSocket(kLoopback, again.port(), &stream_), aErrNone);
      peer_ = again.Accept();
      ASSERT_GE(peer_, 0);
      // `again` closes here: nothing listens any more.
    } else {
      listener_.Close();
    }
    if (c.reset) {
      ResetClose(peer_);
    } else {
      close(peer_);
    }
    peer_ = -1;

    uint8_t byte = 0;
    EXPECT_EQ(GetByte(&byte), aErrConnection);
    EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrConnection);
    EXPECT_EQ(aStream_Write(stream_, &byte, 1), aErrConnection);
    EXPECT_EQ(aStream_WaitForInput(stream_, kWaitSliceMs), aErrConnection);
    EXPECT_EQ(aStream_Destroy(&stream_), aErrNone);
  }
}

TEST_F(SocketStreamTest, LongWriteArrivesWholeAtASlowReader) {
  constexpr size_t kBytes = 4 * 1024 * 1024;
  constexpr size_t kChunk = 16 * 1024;  // bytes the reader takes at a time
  constexpr int kPauseMs = 1;           // ms the reader rests between chunks
  std::string data(kBytes, '\0');
  for (size_t i = 0; i < kBytes; ++i) data[i] = static_cast<char>((i * 31 + i / 251) & 0xFF);

  std::string received;
  std::thread reader([&] {
    char chunk[kChunk];
    while (received.size() < kBytes) {
      pollfd entry{peer_, POLLIN, 0};
      if (poll(&entry, 1, kPeerWaitMs) <= 0) break;
      const ssize_t n = recv(peer_, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      received.append(chunk, static_cast<size_t>(n));
      std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs));
    }
  });
  const aErr result =
      aStream_Write(stream_, reinterpret_cast<const uint8_t*>(data.data()), data.size());
  reader.join();
  EXPECT_EQ(result, aErrNone);
  ASSERT_EQ(received.size(), kBytes);
  EXPECT_TRUE(received == data);
}

TEST_F(SocketStreamTest, PeerThatNeverReadsEndsWritesWithBusy) {
  constexpr size_t kBlock = 1000;
  const std::vector<uint8_t> block(kBlock, 0x55);
  aErr result = aErrNone;
  // The socket buffers hold a few megabytes at most; far fewer blocks than this fill them.
  for (int i = 0; i < 100000 && result == aErrNone; ++i) {
    result = aStream_Write(stream_, block.data(), block.size());
  }
  EXPECT_EQ(result, aErrBusy);
}

TEST_F(SocketStreamTest, ConcurrentReadAndWriteAfterResetReconnectOnce) {
  ResetClose(peer_);
  peer_ = -1;
  aErr readResult = aErrNone;
  aErr writeResult = aErrNone;
  std::thread reader([&] {
    uint8_t byte = 0;
    readResult = aStream_Read(stream_, &byte, 1);
  });
  std::thread writer([&] {
    const uint8_t byte = 'w';
    writeResult = aStream_Write(stream_, &byte, 1);
  });
  reader.join();
  writer.join();
  EXPECT_EQ(readResult, aErrNotReady);
  EXPECT_EQ(writeResult, aErrNone);

  // A connect completes before it returns, so a second reconnect would be queued by now.
  peer_ = listener_.Accept();
  ASSERT_GE(peer_, 0);
  EXPECT_FALSE(listener_.HasPending());
  const uint8_t byte = 'z';
  ASSERT_EQ(aStream_Write(stream_, &byte, 1), aErrNone);
  EXPECT_EQ(ReceiveBytes(peer_, 2), "wz");
}

TEST_F(SocketStreamTest, DestroyResetsTheConnectionAtOnce) {
  ASSERT_EQ(aStream_Destroy(&stream_), aErrNone);
  EXPECT_EQ(stream_, nullptr);
  pollfd entry{peer_, POLLIN, 0};
  ASSERT_GT(poll(&entry, 1, kPeerWaitMs), 0);
  char byte = 0;
  errno = 0;
  EXPECT_EQ(recv(peer_, &byte, 1, 0), -1);
  EXPECT_EQ(errno, ECONNRESET);
}

}  // namespace
