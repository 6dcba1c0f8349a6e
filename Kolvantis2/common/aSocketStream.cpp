// TCP socket transport: a non-blocking client connection. Reads take what the socket holds in
// one system call into the stream's own buffer and hand it out from there. A connection that
// the peer resets or closes is made again by the next read or write, and the reader is told of
// each new one. Every close, failed or successful replacement of the connection wakes a
// waiting reader.
#include "aSocketStream.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "aDefs.h"
#include "aMutex.h"
#include "aTime.h"

namespace {

constexpr uint16_t kSocketStreamCheck = 0xDEAD;
constexpr uint32_t kConnected = 0x1;  // flags bit 0

constexpr int aSOCKET_MAX_SEND_RETRY = 10;        // failed sends per write
constexpr uint32_t aSOCKET_RETRY_DELAY_MS = 60;   // ms after a failed send
constexpr uint32_t aSOCKET_CLOSE_PAUSE_MS = 10;   // ms after a socket was closed
constexpr uint32_t aSOCKET_SEND_STALL_MS = 2000;  // ms a partly sent block may make no progress
constexpr uint32_t aSOCKET_POLL_SLICE_MS = 5;     // ms per poll while a write waits
// Bytes taken from the socket in one receive: a broker batch or a burst of stream samples.
constexpr size_t aSOCKET_RECEIVE_BYTES = 8192;

struct SocketStream {
  uint16_t port;                      // host byte order
  sockaddr_in address;                // AF_INET, port and address in network byte order
  std::atomic<int> sock;              // descriptor; -1 when closed
  std::atomic<uint32_t> flags;        // kConnected
  uint16_t check;                     // kSocketStreamCheck while valid
  aMutex* lock;                       // held around each use of the descriptor and reconnecting
  std::atomic<uint32_t> connections;  // counts connections made, so a writer sees a new one
  int wakeFd;                         // eventfd that ends a wait: a wake or a new connection
  // Received bytes not handed out yet; used by the reading thread only. They belong to the
  // connection counted in rxConnection and are dropped once another one replaced it.
  uint8_t rx[aSOCKET_RECEIVE_BYTES];
  size_t rxHead;
  size_t rxCount;
  uint32_t rxConnection;
  // Reading thread only: the connection its last read met, and the last one it was told of.
  uint32_t readConnection;
  uint32_t toldConnection;
};

#define aVALIDSS(s) aDefs_ValidRecord((s), kSocketStreamCheck)

// Holds the record's lock for one scope.
class RecordLock {
 public:
  explicit RecordLock(aMutex* mutex) : mutex_(mutex) { aMutex_Lock(mutex_); }
  ~RecordLock() { aMutex_Unlock(mutex_); }
  RecordLock(const RecordLock&) = delete;
  RecordLock& operator=(const RecordLock&) = delete;

 private:
  aMutex* mutex_;
};

bool sIsConnected(const SocketStream* ss) { return (ss->flags.load() & kConnected) != 0; }

bool sWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// The peer reset the connection or it is gone.
bool sIsLostOnRead(int error) {
  return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

bool sIsLostOnSend(int error) { return error == EPIPE || error == ECONNRESET || error == ENOTCONN; }

// A descriptor of its own on the current connection, for a wait outside the record's lock; the
// caller closes it. A close by the other thread then leaves the wait's descriptor open and never
// hands its number to another one; the connection ends when the wait closes its descriptor too.
// Taken under the lock, so that a reconnect under way is waited for. aErrConnection without a
// connection, aErrIO when no descriptor is to be had.
aErr sBorrowSocket(SocketStream* ss, int* fd) {
  RecordLock hold(ss->lock);
  if (!sIsConnected(ss)) return aErrConnection;
  *fd = fcntl(ss->sock.load(), F_DUPFD_CLOEXEC, 0);
  return *fd >= 0 ? aErrNone : aErrIO;
}

// Waits up to timeoutMs for the connection to take more bytes.
void sWaitWritable(SocketStream* ss, uint32_t timeoutMs) {
  int fd = -1;
  if (sBorrowSocket(ss, &fd) != aErrNone) {
    aTime_MSSleep(timeoutMs);  // the next send finds out why
    return;
  }
  pollfd entry{fd, POLLOUT, 0};
  poll(&entry, 1, static_cast<int>(timeoutMs));
  close(fd);
}

// Ends a wait that runs now or comes next.
void sSignalWake(const SocketStream* ss) {
  if (ss->wakeFd < 0) return;
  const uint64_t one = 1;
  // A full counter already wakes the waiter; nothing else can fail here.
  const ssize_t written = write(ss->wakeFd, &one, sizeof one);
  (void)written;
}

void sDrainWake(const SocketStream* ss) {
  uint64_t count = 0;
  const ssize_t got = read(ss->wakeFd, &count, sizeof count);
  (void)got;
}

// A waiting reader is woken: it turns to the next connection or finds that there is none.
aErr sSocketStreamClose(SocketStream* ss) {
  ss->flags.fetch_and(~kConnected);
  const int fd = ss->sock.exchange(-1);
  if (fd >= 0) {
    close(fd);
    aTime_MSSleep(aSOCKET_CLOSE_PAUSE_MS);
  }
  sSignalWake(ss);
  return aErrNone;
}

aErr sSocketStreamSetOptions(SocketStream* ss) {
  if (!aVALIDSS(ss)) return aErrIO;
  const int fd = ss->sock.load();
  const int on = 1;
  const timeval noTimeout{0, 0};
  const linger dropAtClose{1, 0};  // closing resets the connection at once
  int nonBlocking = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &dropAtClose, sizeof dropAtClose) != 0 ||
      ioctl(fd, FIONBIO, &nonBlocking) != 0) {
    return aErrIO;
  }
  return aErrNone;
}

aErr sConnectError(int error) {
  switch (error) {
    case EAGAIN:
    case ECONNRESET:
    case ETIMEDOUT:
    case ECONNREFUSED:
      return aErrConnection;
    default:
      return aErrIO;
  }
}

// Connects a new socket to the address within aSOCKET_CONNECT_TIMEOUT_MS; *fd gets it.
aErr sConnectSocket(const sockaddr_in& address, int* fd) {
  const int made = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (made < 0) return aErrIO;

  int failure =
      connect(made, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  if (failure == EINPROGRESS) {
    const uint64_t deadline = aTime_GetMonotonicMSTicks() + aSOCKET_CONNECT_TIMEOUT_MS;
    failure = ETIMEDOUT;
    for (;;) {
      const uint64_t now = aTime_GetMonotonicMSTicks();
      if (now >= deadline) break;
      pollfd entry{made, POLLOUT, 0};
      const int ready = poll(&entry, 1, static_cast<int>(deadline - now));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        failure = errno;
      } else if (ready > 0) {
        socklen_t length = sizeof failure;
        if (getsockopt(made, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) failure = errno;
      }
      break;
    }
  }
  if (failure != 0) {
    close(made);
    aTime_MSSleep(aSOCKET_CLOSE_PAUSE_MS);
    return sConnectError(failure);
  }
  *fd = made;
  return aErrNone;
}

// Closes an open socket and connects anew. The caller holds the record's lock. A waiting
// reader is woken whatever the outcome: by the close, and again by the new connection.
aErr sSocketStreamReset(SocketStream* ss) {
  if (!aVALIDSS(ss)) return aErrInitialization;
  if (ss->sock.load() >= 0) sSocketStreamClose(ss);

  int fd = -1;
  const aErr connected = sConnectSocket(ss->address, &fd);
  if (connected != aErrNone) return connected;
  ss->sock.store(fd);
  ss->flags.fetch_or(kConnected);
  ss->connections.fetch_add(1);
  const aErr options = sSocketStreamSetOptions(ss);
  // A socket without its options (it might block) is not used.
  if (options != aErrNone) sSocketStreamClose(ss);
  sSignalWake(ss);
  return options;
}

// Bytes of the buffer that still belong to the current connection; the rest is dropped.
size_t sBuffered(SocketStream* ss) {
  if (ss->rxCount > 0 && ss->rxConnection != ss->connections.load()) {
    ss->rxCount = 0;
    ss->rxHead = 0;
  }
  return ss->rxCount;
}

size_t sHandOut(SocketStream* ss, uint8_t* buffer, size_t size) {
  const size_t count = std::min(size, ss->rxCount);
  std::memcpy(buffer, ss->rx + ss->rxHead, count);
  ss->rxHead += count;
  ss->rxCount -= count;
  if (ss->rxCount == 0) ss->rxHead = 0;
  return count;
}

// Refills the empty buffer with one receive. aErrNone when bytes came, aErrNotReady when none
// are there, aErrConnection or aErrIO for a failed socket. A peer that closed or reset is
// connected to again (every byte it sent before had been handed out: the buffer was empty).
// The caller holds the record's lock.
aErr sReceive(SocketStream* ss) {
  ssize_t got = recv(ss->sock.load(), ss->rx, sizeof ss->rx, 0);
  int error = errno;
  if (got == 0 || (got < 0 && sIsLostOnRead(error))) {
    ss->flags.fetch_and(~kConnected);
    const aErr reconnected = sSocketStreamReset(ss);
    if (reconnected != aErrNone) return reconnected;
    got = recv(ss->sock.load(), ss->rx, sizeof ss->rx, 0);
    error = errno;
    if (got == 0 || (got < 0 && (sWouldBlock(error) || error == EINTR))) return aErrNotReady;
  }
  if (got < 0) return sWouldBlock(error) || error == EINTR ? aErrNotReady : aErrConnection;
  ss->rxHead = 0;
  ss->rxCount = static_cast<size_t>(got);
  ss->rxConnection = ss->connections.load();
  return aErrNone;
}

// sReceive under the lock; notes which connection the read met, so that the reader can be told
// of a new one before it uses the bytes.
aErr sFill(SocketStream* ss) {
  RecordLock hold(ss->lock);
  if (!sIsConnected(ss)) return aErrConnection;
  const aErr received = sReceive(ss);
  ss->readConnection = ss->connections.load();
  return received;
}

aErr sSocketStreamReadSome(uint8_t* buffer, size_t size, size_t* got, void* reference) {
  SocketStream* ss = static_cast<SocketStream*>(reference);
  if (!aVALIDSS(ss) || buffer == nullptr || got == nullptr) return aErrParam;
  *got = 0;
  if (sBuffered(ss) == 0) {
    const aErr filled = sFill(ss);
    if (filled != aErrNone) return filled;
  }
  *got = sHandOut(ss, buffer, size);
  return aErrNone;
}

aErr sSocketStreamGet(uint8_t* byte, void* reference) {
  size_t got = 0;
  return sSocketStreamReadSome(byte, 1, &got, reference);
}

aErr sSocketStreamWrite(const uint8_t* data, size_t n, void* reference) {
  SocketStream* ss = static_cast<SocketStream*>(reference);
  if (!aVALIDSS(ss) || (data == nullptr && n > 0)) return aErrParam;

  // A block goes out whole on one connection: once part of it is on the wire the rest follows
  // as the peer takes it, and a block cut off by a new connection starts over on that one.
  bool started = false;
  uint32_t connection = 0;
  size_t sent = 0;
  int failedTries = 0;
  uint64_t stallDeadline = 0;
  while (sent < n) {
    ssize_t result = 0;
    int error = 0;
    bool reconnected = false;
    {
      RecordLock hold(ss->lock);
      if (!sIsConnected(ss)) return aErrConnection;
      if (!started || ss->connections.load() != connection) {
        connection = ss->connections.load();
        sent = 0;
        started = true;
      }
      result = send(ss->sock.load(), data + sent, n - sent, MSG_NOSIGNAL);
      error = errno;
      if (result < 0 && sIsLostOnSend(error)) {
        ss->flags.fetch_and(~kConnected);
        const aErr reset = sSocketStreamReset(ss);
        if (reset != aErrNone) return reset;
        connection = ss->connections.load();
        sent = 0;
        reconnected = true;
      }
    }

    if (result > 0) {
      sent += static_cast<size_t>(result);
      stallDeadline = aTime_GetMonotonicMSTicks() + aSOCKET_SEND_STALL_MS;
      continue;
    }
    if (!reconnected) {
      if (result < 0 && !sWouldBlock(error) && error != EINTR) return aErrIO;
      if (sent > 0) {
        const uint64_t now = aTime_GetMonotonicMSTicks();
        if (now < stallDeadline) {
          sWaitWritable(ss, static_cast<uint32_t>(
                                std::min<uint64_t>(stallDeadline - now, aSOCKET_POLL_SLICE_MS)));
          continue;
        }
        // The peer stopped taking bytes in the middle of the block. A new connection keeps the
        // cut-off block from running into whatever is sent next.
        RecordLock hold(ss->lock);
        if (ss->connections.load() == connection) {
          ss->flags.fetch_and(~kConnected);
          const aErr reset = sSocketStreamReset(ss);
          if (reset != aErrNone) return reset;
        }
        return aErrBusy;
      }
    }
    if (++failedTries >= aSOCKET_MAX_SEND_RETRY) return aErrBusy;
    sWaitWritable(ss, aSOCKET_RETRY_DELAY_MS);
  }
  return aErrNone;
}

aErr sSocketStreamPut(const uint8_t* byte, void* reference) {
  return sSocketStreamWrite(byte, 1, reference);
}

aErr sSocketStreamDelete(void* reference) {
  SocketStream* ss = static_cast<SocketStream*>(reference);
  if (!aVALIDSS(ss)) return aErrIO;
  if (ss->sock.load() >= 0) sSocketStreamClose(ss);
  ss->flags.store(0);
  ss->check = 0;
  if (ss->wakeFd >= 0) close(ss->wakeFd);
  aMutex_Destroy(&ss->lock);
  delete ss;
  return aErrNone;
}

// Waits on the connection and the wake descriptor together: a close or reconnect by the writer
// and a wake end the wait, so that the caller turns to the new connection or sees why it was
// woken.
aErr sSocketStreamWait(uint32_t timeoutMs, void* reference) {
  SocketStream* ss = static_cast<SocketStream*>(reference);
  if (!aVALIDSS(ss)) return aErrParam;
  if (sBuffered(ss) > 0) return aErrNone;

  const bool forever = timeoutMs == aSTREAM_WAIT_FOREVER;
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + timeoutMs;
  for (;;) {
    int fd = -1;
    const aErr borrowed = sBorrowSocket(ss, &fd);
    if (borrowed != aErrNone) return borrowed;
    const uint64_t now = aTime_GetMonotonicMSTicks();
    const uint64_t left = now < deadline ? deadline - now : 0;
    pollfd entries[2] = {{fd, POLLIN, 0}, {ss->wakeFd, POLLIN, 0}};
    const int ready =
        poll(entries, 2, forever ? -1 : static_cast<int>(std::min<uint64_t>(left, INT32_MAX)));
    const int pollError = errno;
    close(fd);
    if (ready > 0) {
      if (entries[1].revents != 0) sDrainWake(ss);
      // Input, a closed or reset connection and a replaced descriptor are all for get to handle.
      return aErrNone;
    }
    if (ready < 0 && pollError != EINTR) return aErrIO;
    if (ready == 0 && !forever) return aErrTimeout;
  }
}

aErr sSocketStreamWake(void* reference) {
  SocketStream* ss = static_cast<SocketStream*>(reference);
  if (!aVALIDSS(ss)) return aErrParam;
  sSignalWake(ss);
  return aErrNone;
}

bool sSocketStreamNewConnection(void* reference) {
  SocketStream* ss = static_cast<SocketStream*>(reference);
  if (!aVALIDSS(ss) || ss->readConnection == ss->toldConnection) return false;
  ss->toldConnection = ss->readConnection;
  return true;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t addressNetOrder, uint16_t port, aStream** out) {
  if (out == nullptr) return aErrResource;
  *out = nullptr;

  SocketStream* ss = new (std::nothrow) SocketStream{};
  if (ss == nullptr) return aErrResource;
  ss->port = port;
  ss->address.sin_family = AF_INET;
  ss->address.sin_port = htons(port);
  ss->address.sin_addr.s_addr = addressNetOrder;
  ss->sock.store(-1);
  ss->check = kSocketStreamCheck;
  ss->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ss->lock = aMutex_Create("aSocketStream");
  if (ss->lock == nullptr || ss->wakeFd < 0) {
    if (ss->lock != nullptr) aMutex_Destroy(&ss->lock);
    if (ss->wakeFd >= 0) close(ss->wakeFd);
    ss->check = 0;
    delete ss;
    return aErrResource;
  }

  aErr connected = aErrNone;
  {
    RecordLock hold(ss->lock);
    connected = sSocketStreamReset(ss);
  }
  sDrainWake(ss);  // the first connection replaces none: no wait is to end for it
  ss->readConnection = ss->connections.load();
  ss->toldConnection = ss->readConnection;  // nor is the reader told of it
  aStream* stream = connected == aErrNone
                        ? aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                         sSocketStreamDelete, ss)
                        : nullptr;
  if (stream == nullptr) {
    sSocketStreamDelete(ss);
    return aErrResource;
  }
  aStream_SetWaitProc(stream, sSocketStreamWait);
  aStream_SetWakeProc(stream, sSocketStreamWake);
  aStream_SetReadSomeProc(stream, sSocketStreamReadSome);
  aStream_SetNewConnectionProc(stream, sSocketStreamNewConnection);
  *out = stream;
  return aErrNone;
}
