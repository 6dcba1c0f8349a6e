// Serial port transport: a POSIX serial port as a raw byte stream, and the same port under the
// COBS framing.
#include "aSerialStream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "aCobsStream.h"
#include "aDefs.h"
#include "aPacket.h"
#include "aTime.h"

namespace {

constexpr uint16_t aSERIALSTREAMCHECK = 0xBEEF;
constexpr size_t sPORTPATHSIZE = 4096;
// Descriptor value of a record whose port is not open (0 is a valid descriptor).
constexpr int sNO_PORT = -1;
// Time a write may wait for the port to take more bytes before it gives up.
constexpr uint64_t kSerialWriteStallTimeoutMs = 2000;  // ms
// Bytes taken from the port in one read.
constexpr size_t kSerialReceiveBytes = 4096;

struct SerialStream {
  uint32_t baudIndex;
  char portPath[sPORTPATHSIZE];
  int fd;
  termios savedTermios;    // the port's settings before opening, put back on close
  termios appliedTermios;  // the settings applied
  uint16_t check;
  int wakeFd;  // eventfd that ends a wait
  // Bytes read from the port and not handed out yet (reading thread only).
  uint8_t rx[kSerialReceiveBytes];
  size_t rxHead;
  size_t rxCount;
};

#define aVALIDSS(s) aDefs_ValidRecord((s), aSERIALSTREAMCHECK)

const speed_t sSpeeds[aSERIAL_MAXBAUDINDEX + 1] = {B2400,  B4800,  B9600,   B19200,
                                                   B38400, B57600, B115200, B230400};

bool sArgumentsOk(const char* path, uint32_t baudIndex, uint32_t dataBits, uint32_t stopBits,
                  aStream** out) {
  if (path == nullptr || out == nullptr) return false;
  if (baudIndex > aSERIAL_MAXBAUDINDEX || dataBits > aSERIAL_MAXMODE ||
      stopBits > aSERIAL_MAXMODE) {
    return false;
  }
  // A path that does not fit would be cut to another path.
  return strnlen(path, sPORTPATHSIZE) < sPORTPATHSIZE;
}

aErr sOpenError(int error) {
  switch (error) {
    case ENOENT:
      return aErrNotFound;
    case EACCES:
      return aErrPermission;
    default:
      return aErrIO;
  }
}

int sRemainingMs(uint64_t deadline) {
  const uint64_t now = aTime_GetMonotonicMSTicks();
  if (now >= deadline) return 0;
  const uint64_t left = deadline - now;
  return left > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
}

// Waits for the events on the descriptor until the deadline (none when forever), or until the
// wake descriptor (when not -1) is signalled. aErrNone when they came or on a wake, aErrTimeout
// when the deadline passed, aErrIO for a hang-up, an error or a failed poll.
aErr sPollUntil(int fd, short events, uint64_t deadline, int wakeFd = -1, bool forever = false) {
  for (;;) {
    pollfd entries[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    const int ready = poll(entries, wakeFd >= 0 ? 2 : 1, forever ? -1 : sRemainingMs(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return aErrIO;
    }
    if (ready == 0) {
      if (forever) continue;
      return aErrTimeout;
    }
    if (wakeFd >= 0 && entries[1].revents != 0) {
      uint64_t count = 0;
      const ssize_t drained = read(wakeFd, &count, sizeof count);
      (void)drained;
      if (entries[0].revents == 0) return aErrNone;
    }
    const pollfd& entry = entries[0];
    if ((entry.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) return aErrNone;
    // A hung-up port may still hold input that arrived before; it is read first.
    int pending = 0;
    if ((events & POLLIN) && ioctl(fd, FIONREAD, &pending) == 0 && pending > 0) return aErrNone;
    return aErrIO;
  }
}

// Opens the port of the record and applies the raw settings. On failure nothing stays open.
// The descriptor stays non-blocking: reads return at once in any case (VMIN and VTIME 0), and
// a write then never blocks past its deadline.
aErr sStreamOpenSerial(SerialStream* port, bool parity, uint32_t dataBits, uint32_t stopBits) {
  const int fd = open(port->portPath, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return sOpenError(errno);

  if (tcgetattr(fd, &port->savedTermios) != 0) {
    close(fd);
    return aErrIO;
  }

  termios applied = port->savedTermios;
  applied.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  applied.c_oflag = 0;
  applied.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) |
                    (stopBits == 1 ? CSTOPB : 0);
  applied.c_lflag = 0;
  applied.c_cc[VMIN] = 0;
  applied.c_cc[VTIME] = 0;
  const speed_t speed = sSpeeds[port->baudIndex];
  if (cfsetispeed(&applied, speed) != 0 || cfsetospeed(&applied, speed) != 0 ||
      tcsetattr(fd, TCSANOW, &applied) != 0) {
    tcsetattr(fd, TCSANOW, &port->savedTermios);
    close(fd);
    return aErrIO;
  }
  port->appliedTermios = applied;

  if (tcflush(fd, TCIOFLUSH) != 0) {
    tcsetattr(fd, TCSANOW, &port->savedTermios);
    close(fd);
    return aErrIO;
  }
  port->fd = fd;
  return aErrNone;
}

// True when poll reports the port hung up or in error. A non-blocking read on a hung-up tty
// answers 0 bytes, as it does when no byte has come yet, so only poll tells the two apart.
bool sPortHungUp(int fd) {
  pollfd entry = {fd, POLLIN, 0};
  if (poll(&entry, 1, 0) <= 0) return false;
  return (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// Bytes from the port: what the buffer holds, else what one read gives (up to the buffer's
// size). aErrNone with *got of 1 or more, aErrNotReady when none is there yet, aErrConnection
// when the port is gone (hung up or in error, or a read answering EIO or ENXIO, as when a USB
// serial adapter is pulled), aErrIO for any other failure. Bytes that came before a hang-up
// are handed out before it is reported.
aErr sReadPort(SerialStream* port, uint8_t* buffer, size_t size, size_t* got) {
  *got = 0;
  if (port->fd == sNO_PORT) return aErrIO;
  if (port->rxCount == 0) {
    const ssize_t count = read(port->fd, port->rx, sizeof port->rx);
    if (count == 0) return sPortHungUp(port->fd) ? aErrConnection : aErrNotReady;
    if (count < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return aErrNotReady;
      if (errno == EIO || errno == ENXIO) return aErrConnection;
      return aErrIO;
    }
    port->rxHead = 0;
    port->rxCount = static_cast<size_t>(count);
  }
  const size_t taken = size < port->rxCount ? size : port->rxCount;
  std::memcpy(buffer, port->rx + port->rxHead, taken);
  port->rxHead += taken;
  port->rxCount -= taken;
  if (port->rxCount == 0) port->rxHead = 0;
  *got = taken;
  return aErrNone;
}

aErr sReadPortByte(SerialStream* port, uint8_t* byte) {
  size_t got = 0;
  return sReadPort(port, byte, 1, &got);
}

// The raw stream reports a port that is gone as a failed read.
aErr sSerialStreamGet(uint8_t* byte, void* reference) {
  SerialStream* port = static_cast<SerialStream*>(reference);
  if (!aVALIDSS(port) || byte == nullptr) return aErrParam;
  const aErr got = sReadPortByte(port, byte);
  return got == aErrConnection ? aErrIO : got;
}

aErr sSerialStreamReadSome(uint8_t* buffer, size_t size, size_t* got, void* reference) {
  SerialStream* port = static_cast<SerialStream*>(reference);
  if (got != nullptr) *got = 0;
  if (!aVALIDSS(port) || buffer == nullptr || got == nullptr) return aErrParam;
  const aErr read = sReadPort(port, buffer, size, got);
  return read == aErrConnection ? aErrIO : read;
}

// Under the framing a port that is gone stays aErrConnection, which the framing passes on (any
// other failure reads there as no byte yet).
aErr sSerialStreamGetFramed(uint8_t* byte, void* reference) {
  SerialStream* port = static_cast<SerialStream*>(reference);
  if (!aVALIDSS(port) || byte == nullptr) return aErrParam;
  return sReadPortByte(port, byte);
}

// Writes every byte, waiting for the port whenever it takes no more, then waits until the
// bytes have left the port. aErrTimeout when the port takes nothing for the stall time-out.
aErr sSerialStreamWrite(const uint8_t* data, size_t length, void* reference) {
  SerialStream* port = static_cast<SerialStream*>(reference);
  if (!aVALIDSS(port) || (data == nullptr && length > 0)) return aErrParam;
  if (port->fd == sNO_PORT) return aErrIO;

  size_t sent = 0;
  while (sent < length) {
    const ssize_t written = write(port->fd, data + sent, length - sent);
    if (written > 0) {
      sent += static_cast<size_t>(written);
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const uint64_t deadline = aTime_GetMonotonicMSTicks() + kSerialWriteStallTimeoutMs;
      const aErr ready = sPollUntil(port->fd, POLLOUT, deadline);
      if (ready != aErrNone) return ready;
      continue;
    }
    return aErrIO;
  }

  while (tcdrain(port->fd) != 0) {
    if (errno != EINTR) return aErrIO;
  }
  return aErrNone;
}

aErr sSerialStreamPut(const uint8_t* byte, void* reference) {
  if (byte == nullptr) return aErrParam;
  return sSerialStreamWrite(byte, 1, reference);
}

aErr sSerialStreamWait(uint32_t timeoutMs, void* reference) {
  SerialStream* port = static_cast<SerialStream*>(reference);
  if (!aVALIDSS(port)) return aErrParam;
  if (port->fd == sNO_PORT) return aErrIO;
  if (port->rxCount > 0) return aErrNone;
  return sPollUntil(port->fd, POLLIN, aTime_GetMonotonicMSTicks() + timeoutMs, port->wakeFd,
                    timeoutMs == aSTREAM_WAIT_FOREVER);
}

aErr sSerialStreamWake(void* reference) {
  SerialStream* port = static_cast<SerialStream*>(reference);
  if (!aVALIDSS(port)) return aErrParam;
  const uint64_t one = 1;
  // A full counter already wakes the waiter; nothing else can fail here.
  const ssize_t written = write(port->wakeFd, &one, sizeof one);
  (void)written;
  return aErrNone;
}

aErr sSerialStreamDelete(void* reference) {
  SerialStream* port = static_cast<SerialStream*>(reference);
  if (!aVALIDSS(port)) return aErrParam;
  if (port->fd != sNO_PORT) {
    tcsetattr(port->fd, TCSANOW, &port->savedTermios);
    close(port->fd);
    port->fd = sNO_PORT;
    std::memset(&port->savedTermios, 0, sizeof(port->savedTermios));
  }
  if (port->wakeFd >= 0) close(port->wakeFd);
  port->check = 0;
  std::free(port);
  return aErrNone;
}

// A new record with its port opened, or the error; arguments already checked.
aErr sSerialPortOpen(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                     uint32_t stopBits, SerialStream** out) {
  SerialStream* port = static_cast<SerialStream*>(std::calloc(1, sizeof(SerialStream)));
  if (port == nullptr) return aErrResource;
  port->baudIndex = baudIndex;
  std::strncpy(port->portPath, path, sizeof(port->portPath) - 1);
  port->fd = sNO_PORT;
  port->wakeFd = -1;
  const aErr opened = sStreamOpenSerial(port, parity, dataBits, stopBits);
  if (opened != aErrNone) {
    std::free(port);
    return opened;
  }
  // Made after the port, which thus gets the lowest free descriptor, as a caller may expect.
  port->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (port->wakeFd < 0) {
    tcsetattr(port->fd, TCSANOW, &port->savedTermios);
    close(port->fd);
    std::free(port);
    return aErrResource;
  }
  port->check = aSERIALSTREAMCHECK;
  *out = port;
  return aErrNone;
}

// Opens the port and hands it to make, which wraps it into a stream; the port is closed again
// when that fails.
template <typename Make>
aErr sCreateSerialStream(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                         uint32_t stopBits, aStream** out, Make make) {
  if (!sArgumentsOk(path, baudIndex, dataBits, stopBits, out)) return aErrResource;
  SerialStream* port = nullptr;
  const aErr opened = sSerialPortOpen(path, baudIndex, parity, dataBits, stopBits, &port);
  if (opened != aErrNone) return opened;
  aStream* stream = nullptr;
  const aErr made = make(port, &stream);
  if (made != aErrNone) {
    sSerialStreamDelete(port);
    return made;
  }
  *out = stream;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStream** out) {
  return sCreateSerialStream(
      path, baudIndex, parity, dataBits, stopBits, out, [](SerialStream* port, aStream** made) {
        aStream* stream = aStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                         sSerialStreamDelete, port);
        if (stream == nullptr) return aErrResource;
        aStream_SetWaitProc(stream, sSerialStreamWait);
        aStream_SetWakeProc(stream, sSerialStreamWake);
        aStream_SetReadSomeProc(stream, sSerialStreamReadSome);
        *made = stream;
        return aErrNone;
      });
}

aErr aStream_CreateSerial_Packetized(const char* path, uint32_t baudIndex, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStream** out) {
  return sCreateSerialStream(path, baudIndex, parity, dataBits, stopBits, out,
                             [](SerialStream* port, aStream** made) {
                               const aErr framed = aStream_CreateCobsEncodingWithWait(
                                   sSerialStreamGetFramed, sSerialStreamPut, sSerialStreamWrite,
                                   sSerialStreamDelete, sSerialStreamWait, port, made);
                               if (framed == aErrNone)
                                 aStream_SetCobsInnerWake(*made, sSerialStreamWake);
                               return framed;
                             });
}
