#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "Log.h"
#include "Serial_SDPLoader.h"

namespace {

constexpr unsigned SETTLE_MS = 1000;          // ms the line settles after the settings change
constexpr unsigned WRITE_RETRY_PAUSE_MS = 1;  // ms between two tries of a write the port refused
constexpr unsigned WRITE_SLACK_MS = 1000;     // ms a report may take beyond its line time
constexpr unsigned DRAIN_POLL_MS = 1;         // ms between two looks at the output queue
constexpr unsigned LINE_BAUD = 115200;
constexpr unsigned BITS_PER_BYTE = 10;            // start bit, 8 data bits, stop bit
constexpr size_t MAX_READ_BYTES_PER_CALL = 4096;  // a chip that keeps sending cannot hold a read
constexpr unsigned MAX_WORD_OFFSET = 15;
constexpr unsigned STATUS_OFFSET = 4;  // after the HAB mode word
// The probe of the other boot protocol ("?", one byte) reaches the port first. A ROM that
// counts it into its next command would be one byte off for every command after it. Zeros
// that complete such a merged command make it no command (other bytes could complete a
// register write, WRITE_FILE or a jump); a ROM that drops a partial command after a silence
// drops the zeros as well.
constexpr size_t COMMAND_BYTES = 16;
constexpr size_t PROBE_BYTES = 1;
constexpr size_t FILLER_BYTES = COMMAND_BYTES - PROBE_BYTES;
// ms of quiet after the zeros: longer than a dropping ROM's silence window, and time for an
// answer to the merged command, which the input flush then discards.
constexpr unsigned FILLER_QUIET_MS = 500;

using Clock = std::chrono::steady_clock;

// ms that bytes take on the line.
unsigned LineMs(size_t bytes) {
  return static_cast<unsigned>((uint64_t(bytes) * BITS_PER_BYTE * 1000 + LINE_BAUD - 1) /
                               LINE_BAUD);
}

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

class PrivateSerial_SDPLoader {
 public:
  explicit PrivateSerial_SDPLoader(const char* portPath) : path(portPath ? portPath : "") {}

  void close() {
    if (fd < 0) return;
    tcflush(fd, TCIOFLUSH);
    ::close(fd);
    fd = -1;
  }

  // Waits until the port's output queue is empty, up to its line time and a slack.
  void drain() {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(LineMs(size_t(queued)) + WRITE_SLACK_MS);
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
      if (Clock::now() >= deadline) {
        Log::log(DEBUG_iMXSerial, "Error: %s still holds %d bytes to send\n", path.c_str(), queued);
        return;
      }
      SleepMs(DRAIN_POLL_MS);
    }
  }

  // Writes n bytes, within their line time and a slack, and waits until they left the
  // port's buffer: n, or -1 when the port failed or did not take them all in time.
  long writeAll(const uint8_t* bytes, size_t n) {
    size_t position = 0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(LineMs(n) + WRITE_SLACK_MS);
    while (position < n) {
      const ssize_t written = write(fd, bytes + position, n - position);
      if (written > 0) {
        position += static_cast<size_t>(written);
        continue;
      }
      if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        Log::log(DEBUG_iMXSerial, "Error: write to %s failed: %s\n", path.c_str(), strerror(errno));
        return -1;
      }
      if (Clock::now() >= deadline) {
        Log::log(DEBUG_iMXSerial, "Error: %s took only %zu of %zu bytes in %u ms\n", path.c_str(),
                 position, n, LineMs(n) + WRITE_SLACK_MS);
        return -1;
      }
      SleepMs(WRITE_RETRY_PAUSE_MS);
    }
    drain();
    return static_cast<long>(position);
  }

  // Puts a ROM that took the probe byte into its next command back on the command grid:
  // the filler, the quiet time, then whatever came meanwhile is discarded.
  void realign() {
    const uint8_t filler[FILLER_BYTES] = {};
    if (writeAll(filler, sizeof filler) < 0)
      Log::log(DEBUG_iMXSerial, "Warning: %s did not take the %zu filler bytes\n", path.c_str(),
               sizeof filler);
    SleepMs(FILLER_QUIET_MS);
    tcflush(fd, TCIFLUSH);
  }

  int fd = -1;       // the open port; -1 while closed
  std::string path;  // the device path
  termios tio{};     // the settings init applies
};

Serial_SDPLoader::Serial_SDPLoader(const char* path) : d(new PrivateSerial_SDPLoader(path)) {}

Serial_SDPLoader::~Serial_SDPLoader() {
  d->close();
  delete d;
}

bool Serial_SDPLoader::init() {
  d->close();
  if (d->path.empty()) {
    Log::log(DEBUG_iMXSerial, "Error: no serial port given\n");
    return false;
  }
  d->fd = open(d->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (d->fd < 0) {
    Log::log(DEBUG_iMXSerial, "Error: cannot open serial port %s: %s\n", d->path.c_str(),
             strerror(errno));
    return false;
  }
  if (!isatty(d->fd)) {
    Log::log(DEBUG_iMXSerial, "Error: %s is not a serial port\n", d->path.c_str());
    ::close(d->fd);
    d->fd = -1;
    return false;
  }

  // Raw 8N1 at 115200: no processing, no echo, reads return at once.
  memset(&d->tio, 0, sizeof d->tio);
  d->tio.c_cflag = CS8 | CREAD | CLOCAL;
  cfsetispeed(&d->tio, B115200);
  cfsetospeed(&d->tio, B115200);
  if (tcsetattr(d->fd, TCSAFLUSH, &d->tio) != 0)
    Log::log(DEBUG_iMXSerial, "Warning: cannot apply the settings to %s: %s\n", d->path.c_str(),
             strerror(errno));

  SleepMs(SETTLE_MS);
  tcflush(d->fd, TCIOFLUSH);
  d->realign();
  return true;
}

long Serial_SDPLoader::writeData(const std::vector<uint8_t>& report) {
  if (d->fd < 0) return -1;
  // The report ID never goes on the line.
  if (report.size() <= 1) return 0;
  return d->writeAll(report.data() + 1, report.size() - 1);
}

long Serial_SDPLoader::readData(std::vector<uint8_t>& out, unsigned int timeoutMs) {
  if (d->fd < 0) return 0;
  SleepMs(timeoutMs);
  long total = 0;
  uint8_t buffer[256];
  while (size_t(total) < MAX_READ_BYTES_PER_CALL) {
    const size_t want = std::min(sizeof buffer, MAX_READ_BYTES_PER_CALL - size_t(total));
    const ssize_t n = read(d->fd, buffer, want);
    if (n <= 0) break;
    out.insert(out.end(), buffer, buffer + n);
    total += n;
  }
  return total;
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& answer, unsigned int offset,
                                         unsigned int& value) {
  if (offset > MAX_WORD_OFFSET || answer.size() < 4 * (size_t(offset) + 2)) return false;
  const size_t at = offset + STATUS_OFFSET;
  value |= unsigned(answer[at]) | unsigned(answer[at + 1]) << 8 | unsigned(answer[at + 2]) << 16 |
           unsigned(answer[at + 3]) << 24;
  return true;
}
