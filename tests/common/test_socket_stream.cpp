// TCP socket stream against a listener on 127.0.0.1 that the test runs: connecting, reading
// without waiting, both directions, reconnecting after a reset or close and telling the reader
// of it, a reconnect that fails, long writes, waiting for input, waking a wait, the stream's own
// receive buffer and closing.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aSocketStream.h"
#include "aStream.h"

namespace {

constexpr int kPeerWaitMs = 10000;        // ms the test's peer waits for anything before giving up
constexpr int kStreamPatienceMs = 10000;  // ms the test keeps asking the stream for a byte
constexpr uint32_t kWaitSliceMs = 20;     // ms per wait for input while the test polls
// A wait that must answer without waiting: long enough that a poll of the socket would time out
// and give another result.
constexpr uint32_t kWouldTimeOutMs = 2000;
constexpr auto kHangGuard = std::chrono::seconds(20);  // only reached when a wake is lost

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A listening socket on a free loopback port. A receive buffer size above 0 is given to the
// connections it accepts (set before listening, so that the window they offer is that small).
class Listener {
 public:
  explicit Listener(int receiveBufferBytes = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = kLoopback;
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBufferBytes > 0) {
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    }
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

// True once the connection of fd was closed or reset by the other end, within waitMs.
bool SeesClose(int fd, int waitMs) {
  pollfd entry{fd, POLLRDHUP, 0};
  return poll(&entry, 1, waitMs) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
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

// --- the stream's receive buffer ------------------------------------------------------------

// Bytes of a pattern that shows any byte lost, doubled or out of order.
std::string Pattern(size_t count) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return bytes;
}

TEST_F(SocketStreamTest, EveryByteSentBeforeAnOrderlyCloseComesBeforeTheReconnect) {
  const std::string sent = Pattern(20000);  // more than one receive takes
  ASSERT_TRUE(SendAll(peer_, sent));
  close(peer_);
  peer_ = -1;
  EXPECT_TRUE(GetBytes(sent.size()) == sent);
  EXPECT_FALSE(listener_.HasPending());  // no reconnect while bytes were left

  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);  // the close, then a new connection
  peer_ = listener_.Accept();
  ASSERT_GE(peer_, 0);
}

// The writer replaces a connection that the peer reset while the reader still holds bytes of it;
// those belong to the old connection, as the kernel's unread bytes do, and are never handed out.
TEST_F(SocketStreamTest, BufferedBytesOfAReplacedConnectionAreDropped) {
  ASSERT_TRUE(SendAll(peer_, "AAAAAAAAAA"));
  uint8_t byte = 0;
  ASSERT_EQ(GetByte(&byte), aErrNone);
  ASSERT_EQ(byte, 'A');  // the other nine wait in the stream

  ResetClose(peer_);
  peer_ = -1;
  const uint8_t request[] = {0x02, 0x01, 0x77};
  ASSERT_EQ(aStream_Write(stream_, request, sizeof request), aErrNone);  // reconnects
  peer_ = listener_.Accept();
  ASSERT_GE(peer_, 0);
  EXPECT_EQ(ReceiveBytes(peer_, sizeof request), std::string("\x02\x01\x77"));
  ASSERT_TRUE(SendAll(peer_, "B"));
  ASSERT_EQ(GetByte(&byte), aErrNone);
  EXPECT_EQ(byte, 'B');
  EXPECT_EQ(aStream_Read(stream_, &byte, 1), aErrNotReady);
}

// A read of more bytes than have come keeps them (pushback) and hands them out first, in order,
// whether they came from the stream's buffer or after it.
TEST_F(SocketStreamTest, PushbackAfterABufferedReadKeepsTheOrder) {
  ASSERT_TRUE(SendAll(peer_, "xyz"));
  ASSERT_EQ(aStream_WaitForInput(stream_, kPeerWaitMs), aErrNone);
  uint8_t five[5] = {};
  ASSERT_EQ(aStream_Read(stream_, five, sizeof five), aErrNotReady);

  ASSERT_TRUE(SendAll(peer_, "12"));
  aErr read = aErrNotReady;
  for (int waited = 0; waited < kStreamPatienceMs && read == aErrNotReady; waited += 5) {
    read = aStream_Read(stream_, five, sizeof five);
    if (read == aErrNotReady) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(read, aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(five), sizeof five), "xyz12");

  // Pushed-back bytes come first out of a read of what is there, too.
  ASSERT_TRUE(SendAll(peer_, "pq"));
  ASSERT_EQ(aStream_WaitForInput(stream_, kPeerWaitMs), aErrNone);
  uint8_t two[2] = {};
  ASSERT_EQ(aStream_Read(stream_, two, 1), aErrNone);  // 'p'
  uint8_t three[3] = {};
  ASSERT_EQ(aStream_Read(stream_, three, sizeof three), aErrNotReady);  // 'q' pushed back
  size_t got = 0;
  ASSERT_EQ(aStream_ReadSome(stream_, two, sizeof two, &got), aErrNone);
  ASSERT_EQ(got, 1u);
  EXPECT_EQ(two[0], 'q');
  EXPECT_EQ(aStream_ReadSome(stream_, two, sizeof two, &got), aErrNotReady);
  EXPECT_EQ(got, 0u);
}

TEST_F(SocketStreamTest, WaitAnswersAtOnceWhileTheStreamHoldsBytes) {
  ASSERT_TRUE(SendAll(peer_, "ab"));
  uint8_t byte = 0;
  ASSERT_EQ(GetByte(&byte), aErrNone);  // 'b' is now held by the stream, none by the socket
  EXPECT_EQ(aStream_WaitForInput(stream_, kWouldTimeOutMs), aErrNone);
  ASSERT_EQ(aStream_Read(stream_, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 'b');
  EXPECT_EQ(aStream_WaitForInput(stream_, 0), aErrTimeout);
}

// A wait without a time-out ends on a wake, also on one that came before it.
TEST_F(SocketStreamTest, AWakeEndsAWaitWithoutTimeOut) {
  ASSERT_TRUE(aStream_CanWake(stream_));
  auto waiting = std::async(std::launch::async,
                            [this] { return aStream_WaitForInput(stream_, aSTREAM_WAIT_FOREVER); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  ASSERT_EQ(aStream_Wake(stream_), aErrNone);
  ASSERT_EQ(waiting.wait_for(kHangGuard), std::future_status::ready);
  EXPECT_EQ(waiting.get(), aErrNone);

  ASSERT_EQ(aStream_Wake(stream_), aErrNone);
  EXPECT_EQ(aStream_WaitForInput(stream_, kWouldTimeOutMs), aErrNone);
  EXPECT_EQ(aStream_WaitForInput(stream_, 0), aErrTimeout);  // one wake, one wait
}

// --- a new connection and a failed one -----------------------------------------------------

// The reader is told of a new connection once, with the read that meets it, whichever thread
// made it; it is not told of the first.
TEST(SocketStreamNewConnection, TheReaderIsToldOnceWhicheverThreadReconnects) {
  struct Row {
    const char* name;
    bool reset;     // the peer resets the connection (else it closes in order)
    bool byWriter;  // a write reconnects before the reader reads again
  };
  const Row rows[] = {
      {"the reader, after an orderly close", false, false},
      {"the reader, after a reset", true, false},
      {"the writer, after a reset", true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Listener listener;
    ASSERT_TRUE(listener.ok());
    aStream* stream = nullptr;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, listener.port(), &stream), aErrNone);
    int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    uint8_t bytes[8] = {};
    size_t got = 0;
    // Reads until bytes come; the result of the read that brought them, or the last one.
    auto readSome = [&] {
      aErr read = aErrNotReady;
      for (int waited = 0; waited < kStreamPatienceMs && read == aErrNotReady;
           waited += kWaitSliceMs) {
        read = aStream_ReadSome(stream, bytes, sizeof bytes, &got);
        if (read == aErrNotReady) aStream_WaitForInput(stream, kWaitSliceMs);
      }
      return read;
    };

    ASSERT_TRUE(SendAll(peer, "a"));
    ASSERT_EQ(readSome(), aErrNone);
    EXPECT_FALSE(aStream_TakeNewConnection(stream));

    if (row.reset) {
      ResetClose(peer);
    } else {
      close(peer);
    }
    // The close has reached the stream (the wait ends on it without using it up) before the
    // read or write that is to meet it.
    ASSERT_EQ(aStream_WaitForInput(stream, kPeerWaitMs), aErrNone);
    if (row.byWriter) {
      const uint8_t request = 'w';
      ASSERT_EQ(aStream_Write(stream, &request, 1), aErrNone);
      EXPECT_FALSE(aStream_TakeNewConnection(stream));  // no read has met it yet
    } else {
      EXPECT_EQ(aStream_ReadSome(stream, bytes, sizeof bytes, &got), aErrNotReady);
      EXPECT_TRUE(aStream_TakeNewConnection(stream));
      EXPECT_FALSE(aStream_TakeNewConnection(stream));
    }
    peer = listener.Accept();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(SendAll(peer, "b"));
    ASSERT_EQ(readSome(), aErrNone);
    EXPECT_EQ(bytes[0], 'b');
    EXPECT_EQ(aStream_TakeNewConnection(stream), row.byWriter);
    EXPECT_FALSE(aStream_TakeNewConnection(stream));

    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    close(peer);
  }
}

// A peer that stopped taking bytes, with nothing listening any more: the writer's reset after
// the stall cannot connect. The reader, waiting without a time-out, is woken and finds the
// connection gone, and the peer sees the close at once (the wait holds no descriptor open).
TEST(SocketStreamFailedReconnect, AFailedResetByTheWriterEndsAWaitWithoutTimeOut) {
  constexpr int kPeerReceiveBytes = 4096;  // a small window fills soon
  constexpr size_t kBlockBytes = 64 * 1024;
  constexpr int kMostBlocks = 1000;  // far more than the socket buffers hold
  Listener listener(kPeerReceiveBytes);
  ASSERT_TRUE(listener.ok());
  aStream* stream = nullptr;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, listener.port(), &stream), aErrNone);
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  listener.Close();

  auto waiting = std::async(
      std::launch::async, [stream] { return aStream_WaitForInput(stream, aSTREAM_WAIT_FOREVER); });
  const std::vector<uint8_t> block(kBlockBytes, 0x55);
  aErr written = aErrNone;
  for (int i = 0; i < kMostBlocks && written == aErrNone; ++i) {
    written = aStream_Write(stream, block.data(), block.size());
  }
  EXPECT_EQ(written, aErrConnection);
  const bool closeSeen = SeesClose(peer, kPeerWaitMs);
  const bool woken = waiting.wait_for(kHangGuard) == std::future_status::ready;
  if (!woken) aStream_Wake(stream);  // lets the test end
  EXPECT_TRUE(woken);
  EXPECT_TRUE(closeSeen);
  waiting.get();
  size_t got = 0;
  uint8_t byte = 0;
  EXPECT_EQ(aStream_ReadSome(stream, &byte, 1, &got), aErrConnection);
  EXPECT_EQ(aStream_WaitForInput(stream, aSTREAM_WAIT_FOREVER), aErrConnection);
  EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
  close(peer);
}

// --- a link over the stream: packets however the bytes are cut ------------------------------

using Bytes = std::vector<uint8_t>;

// A module on the far end of a link: answers every sync probe [0xAD][0] with [2][0] and, when
// asked, sends bytes in the pieces given, each piece a send of its own after a short pause, so
// that the pieces mostly arrive in reads of their own.
class SegmentingModule {
 public:
  static constexpr int kPieceGapMs = 1;  // ms between two pieces

  explicit SegmentingModule(const Listener& listener) : listener_(listener) {
    thread_ = std::thread([this] { Run(); });
  }
  ~SegmentingModule() {
    stop_ = true;
    thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  SegmentingModule(const SegmentingModule&) = delete;
  SegmentingModule& operator=(const SegmentingModule&) = delete;

  void Send(std::vector<Bytes> pieces) {
    std::lock_guard<std::mutex> hold(lock_);
    pending_ = std::move(pieces);
  }

 private:
  void Run() {
    fd_ = listener_.Accept();
    if (fd_ < 0) return;
    Bytes in;
    while (!stop_) {
      std::vector<Bytes> pieces;
      {
        std::lock_guard<std::mutex> hold(lock_);
        pieces.swap(pending_);
      }
      for (const Bytes& piece : pieces) {
        SendAll(fd_, std::string(piece.begin(), piece.end()));
        std::this_thread::sleep_for(std::chrono::milliseconds(kPieceGapMs));
      }
      pollfd entry{fd_, POLLIN, 0};
      if (poll(&entry, 1, kPieceGapMs) <= 0) continue;
      uint8_t chunk[256];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      in.insert(in.end(), chunk, chunk + n);
      // Every whole packet the link sent; probes are answered.
      while (in.size() >= 2 && in.size() >= in[1] + 2u) {
        if (in[0] == 0xAD && in[1] == 0) SendAll(fd_, std::string("\x02\x00", 2));
        in.erase(in.begin(), in.begin() + in[1] + 2);
      }
    }
  }

  const Listener& listener_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::vector<Bytes> pending_;
  int fd_ = -1;
};

// Packets of every length class, none of which the link answers or consumes itself.
std::vector<Bytes> SamplePackets() {
  std::vector<Bytes> packets;
  const uint8_t lengths[] = {1, 5, 28, 3, 0, 28, 17, 4};
  uint8_t value = 0x10;
  for (uint8_t length : lengths) {
    Bytes packet{static_cast<uint8_t>(length == 0 ? 4 : 2), length};
    for (uint8_t i = 0; i < length; ++i) packet.push_back(value++);
    if (length == 2) packet[2] = 1;  // never a heartbeat
    packets.push_back(packet);
  }
  return packets;
}

Bytes Joined(const std::vector<Bytes>& packets) {
  Bytes all;
  for (const Bytes& packet : packets) all.insert(all.end(), packet.begin(), packet.end());
  return all;
}

std::vector<Bytes> Pieces(const Bytes& all, size_t size) {
  std::vector<Bytes> pieces;
  for (size_t at = 0; at < all.size(); at += size)
    pieces.emplace_back(all.begin() + at, all.begin() + std::min(all.size(), at + size));
  return pieces;
}

TEST(LinkOverSocket, PacketsComeWholeAndInOrderHoweverTheirBytesAreCut) {
  const std::vector<Bytes> packets = SamplePackets();
  std::vector<Bytes> burst;  // more bytes than one receive of the stream takes
  while (Joined(burst).size() < 12 * 1024) {
    for (const Bytes& packet : packets) burst.push_back(packet);
  }
  auto cutAfterLength = [](const std::vector<Bytes>& list) {
    std::vector<Bytes> pieces;
    for (const Bytes& packet : list) {
      pieces.emplace_back(packet.begin(), packet.begin() + 2);
      if (packet.size() > 2) pieces.emplace_back(packet.begin() + 2, packet.end());
    }
    return pieces;
  };
  struct Row {
    const char* name;
    std::vector<Bytes> expected;
    std::vector<Bytes> pieces;
  };
  const Row rows[] = {
      {"all in one send", packets, {Joined(packets)}},
      {"one byte per send", packets, Pieces(Joined(packets), 1)},
      {"each packet cut after its length byte", packets, cutAfterLength(packets)},
      {"pieces of 7 bytes across packets", packets, Pieces(Joined(packets), 7)},
      {"a burst larger than one receive", burst, {Joined(burst)}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Listener listener;
    ASSERT_TRUE(listener.ok());
    SegmentingModule module(listener);
    static uint32_t serial = 0x51E60000;
    uint32_t id = aLink_CreateTCPIP(++serial, kLoopback, listener.port());
    ASSERT_NE(id, 0u);
    module.Send(row.pieces);
    std::vector<Bytes> got;
    while (got.size() < row.expected.size()) {
      aPacket* packet = aLink_AwaitPacket(id, kPeerWaitMs);
      if (packet == nullptr) break;
      Bytes wire{packet->address, packet->dataSize};
      wire.insert(wire.end(), packet->data, packet->data + packet->dataSize);
      aPacket_Destroy(&packet);
      if (wire == Bytes{0x02, 0x00}) continue;  // a late answer to a surplus probe
      got.push_back(wire);
    }
    EXPECT_EQ(got, row.expected);
    EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
    aLink_Destroy(&id);
  }
}

// The first connection cuts a packet off and closes; the link makes a new one, whose first
// byte begins a packet: only the new connection's packets are delivered, and the link runs on.
TEST(LinkOverSocket, APacketCutOffByALostConnectionIsNotJoinedToTheNext) {
  Listener listener;
  ASSERT_TRUE(listener.ok());
  uint32_t id = aLink_CreateTCPIP(0x51E70001, kLoopback, listener.port());
  ASSERT_NE(id, 0u);
  int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(SendAll(peer, std::string("\x04\x05\xA0\xB0", 4)));
  close(peer);
  peer = listener.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(SendAll(peer, std::string("\x04\x02\x11\x22\x04\x00", 6)));

  std::vector<Bytes> got;
  while (got.size() < 2) {
    aPacket* packet = aLink_AwaitPacket(id, kPeerWaitMs);
    if (packet == nullptr) break;
    Bytes wire{packet->address, packet->dataSize};
    wire.insert(wire.end(), packet->data, packet->data + packet->dataSize);
    aPacket_Destroy(&packet);
    got.push_back(wire);
  }
  EXPECT_EQ(got, (std::vector<Bytes>{{0x04, 0x02, 0x11, 0x22}, {0x04, 0x00}}));
  EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
  aLink_Destroy(&id);
  close(peer);
}

// The link's writer gives up on a module that stopped reading and cannot connect again: the
// link ends as a read error soon after, and the module sees the connection closed.
TEST(LinkOverSocket, AFailedResetByTheWriterEndsTheLinkAsAReadError) {
  constexpr int kPeerReceiveBytes = 4096;  // a small window fills soon
  constexpr int kPacketsPerRound = 100;    // packets put between two looks at the peer
  constexpr uint8_t kDataBytes = 28;
  // The link answers a failed reset within 1 s; the bound allows for a loaded sanitizer run.
  constexpr int kReadErrorBoundMs = 5000;
  Listener listener(kPeerReceiveBytes);
  ASSERT_TRUE(listener.ok());
  uint32_t id = aLink_CreateTCPIP(0x51E70002, kLoopback, listener.port());
  ASSERT_NE(id, 0u);
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  listener.Close();
  ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);

  const std::vector<uint8_t> data(kDataBytes, 0x66);
  aPacket* packet = aPacket_CreateWithData(0x04, kDataBytes, data.data());
  ASSERT_NE(packet, nullptr);
  const auto end = std::chrono::steady_clock::now() + kHangGuard;
  bool closeSeen = false;
  while (!closeSeen && std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < kPacketsPerRound; ++i) aLink_PutPacket(id, packet);
    closeSeen = SeesClose(peer, 1);
  }
  aPacket_Destroy(&packet);
  ASSERT_TRUE(closeSeen);

  const auto bound =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadErrorBoundMs);
  while (aLink_GetStatus(id) != aLINK_STATUS_READERROR &&
         std::chrono::steady_clock::now() < bound) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_READERROR);
  // A request waiting for its reply on the ended link is answered at once, with none, instead
  // of after its wait. It runs on a thread of its own, left behind should it hang.
  constexpr uint64_t kRequestWaitMs = 600000;  // far past kHangGuard
  auto answer = std::make_shared<std::promise<aPacket*>>();
  std::future<aPacket*> answered = answer->get_future();
  std::thread([id, answer] {
    answer->set_value(aLink_AwaitFirst(
        id, [](const aPacket*, const void*) -> uint8_t { return 1; }, nullptr, kRequestWaitMs));
  }).detach();
  const bool answeredInTime = answered.wait_for(kHangGuard) == std::future_status::ready;
  EXPECT_TRUE(answeredInTime) << "a request on the ended link waits for a reply";
  if (answeredInTime) {
    EXPECT_EQ(answered.get(), nullptr);
  }
  aLink_Destroy(&id);
  close(peer);
}

}  // namespace
