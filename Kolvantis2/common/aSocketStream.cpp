// TCP socket transport: a non-blocking client connection read one byte at a time. A connection
// that the peer resets or closes is made again by the next read or write.
#include "aSocketStream.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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
constexpr uint32_t aSOCKET_POLL_SLICE_MS = 5;     // ms per poll while waiting

struct SocketStream {
  uint16_t port;                      // host byte order
  sockaddr_in address;                // AF_INET, port and address in network byte order
  std::atomic<int> sock;              // descriptor; -1 when closed
  std::atomic<uint32_t> flags;        // kConnected
  uint16_t check;                     // kSocketStreamCheck while valid
  aMutex* lock;                       // held around each use of the descriptor and reconnecting
  std::atomic<uint32_t> connections;  // counts connections made, so a writer sees a new one
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

// Waits up to timeoutMs for the descriptor to take more bytes.
void sWaitWritable(int fd, uint32_t timeoutMs) {
  pollfd entry{fd, POLLOUT, 0};
  poll(&entry, 1, static_cast<int>(timeoutMs));
}

aErr sSocketStreamClose(SocketStream* ss) {
  ss->flags.fetch_and(~kConnected);
  const int fd = ss->sock.exchange(-1);
  if (fd >= 0) {
    close(fd);
    aTime_MSSleep(aSOCKET_CLOSE_PAUSE_MS);
  }
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

// Closes an open socket and connects anew. The caller holds the record's lock.
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
  return options;
}

aErr sSocketStreamGet(uint8_t* byte, void* reference) {
  SocketStream* ss = static_cast<SocketStream*>(reference);
  if (!aVALIDSS(ss) || byte == nullptr) return aErrParam;

  RecordLock hold(ss->lock);
  if (!sIsConnected(ss)) return aErrConnection;

  ssize_t peeked = recv(ss->sock.load(), byte, 1, MSG_PEEK);
  int error = errno;
  // No bytes from a peek means the peer closed its side; that is handled like a reset.
  if (peeked == 0 || (peeked < 0 && sIsLostOnRead(error))) {
    ss->flags.fetch_and(~kConnected);
    const aErr reconnected = sSocketStreamReset(ss);
    if (reconnected != aErrNone) return reconnected;
    peeked = recv(ss->sock.load(), byte, 1, MSG_PEEK);
    error = errno;
    if (peeked == 0 || (peeked < 0 && (sWouldBlock(error) || error == EINTR))) {
      return aErrNotReady;
    }
  } else if (peeked < 0) {
    return sWouldBlock(error) || error == EINTR ? aErrNotReady : aErrConnection;
  }

  const ssize_t got = recv(ss->sock.load(), byte, 1, 0);
  if (got == 1) return aErrNone;
  if (got == 0) return aErrNotReady;
  error = errno;
  if (sWouldBlock(error)) return aErrEOF;
  if (sIsLostOnRead(error)) return aErrNotReady;
  return aErrIO;
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
    int fd = -1;
    {
      RecordLock hold(ss->lock);
      if (!sIsConnected(ss)) return aErrConnection;
      if (!started || ss->connections.load() != connection) {
        connection = ss->connections.load();
        sent = 0;
        started = true;
      }
      fd = ss->sock.load();
      result = send(fd, data + sent, n - sent, MSG_NOSIGNAL);
      error = errno;
      if (result < 0 && sIsLostOnSend(error)) {
        ss->flags.fetch_and(~kConnected);
        const aErr reset = sSocketStreamReset(ss);
        if (reset != aErrNone) return reset;
        connection = ss->connections.load();
        fd = ss->sock.load();
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
          sWaitWritable(fd, static_cast<uint32_t>(
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
    sWaitWritable(fd, aSOCKET_RETRY_DELAY_MS);
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
  aMutex_Destroy(&ss->lock);
  delete ss;
  return aErrNone;
}

// Polls in short slices, so that a descriptor replaced by a reconnect is picked up.
aErr sSocketStreamWait(uint32_t timeoutMs, void* reference) {
  SocketStream* ss = static_cast<SocketStream*>(reference);
  if (!aVALIDSS(ss)) return aErrParam;

  const uint64_t deadline = aTime_GetMonotonicMSTicks() + timeoutMs;
  for (;;) {
    if (!sIsConnected(ss)) {
      // The bit is also clear while the other thread reconnects, which holds the lock.
      RecordLock hold(ss->lock);
      if (!sIsConnected(ss)) return aErrConnection;
    }
    const uint64_t now = aTime_GetMonotonicMSTicks();
    const uint64_t left = now < deadline ? deadline - now : 0;
    pollfd entry{ss->sock.load(), POLLIN, 0};
    const int ready =
        poll(&entry, 1, static_cast<int>(std::min<uint64_t>(left, aSOCKET_POLL_SLICE_MS)));
    // Input, a closed or reset connection and a replaced descriptor are all for get to handle.
    if (ready > 0) return aErrNone;
    if (ready < 0 && errno != EINTR) return aErrIO;
    if (left == 0) return aErrTimeout;
  }
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
  ss->lock = aMutex_Create("aSocketStream");
  if (ss->lock == nullptr) {
    ss->check = 0;
    delete ss;
    return aErrResource;
  }

  aErr connected = aErrNone;
  {
    RecordLock hold(ss->lock);
    connected = sSocketStreamReset(ss);
  }
  aStream* stream = connected == aErrNone
                        ? aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                         sSocketStreamDelete, ss)
                        : nullptr;
  if (stream == nullptr) {
    sSocketStreamDelete(ss);
    return aErrResource;
  }
  aStream_SetWaitProc(stream, sSocketStreamWait);
  *out = stream;
  return aErrNone;
}
