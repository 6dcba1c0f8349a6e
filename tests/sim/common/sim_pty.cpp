#include "sim_pty.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kvsim {

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;
constexpr unsigned kStopPollUs = 20000;  // us between looks at the stop flag
constexpr size_t kPtyNameBytes = 256;

volatile sig_atomic_t gStop = 0;
void OnStopSignal(int) { gStop = 1; }

}  // namespace

std::chrono::nanoseconds SerialByteTime(uint32_t baud) {
  return std::chrono::nanoseconds(baud ? kNanosPerSecond * kSerialBitsPerByte / baud : 0);
}

timespec WaitUntil(PtyClock::time_point when, PtyClock::time_point now, int capMs) {
  auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(when - now);
  left = std::max(left, std::chrono::nanoseconds(0));
  left = std::min<std::chrono::nanoseconds>(left, std::chrono::milliseconds(capMs));
  timespec ts;
  ts.tv_sec = static_cast<time_t>(left.count() / kNanosPerSecond);
  ts.tv_nsec = static_cast<long>(left.count() % kNanosPerSecond);
  return ts;
}

size_t PaceSlots(PtyClock::time_point now, PtyClock::time_point& next,
                 std::chrono::nanoseconds byteTime, size_t wanted) {
  if (byteTime.count() == 0) return wanted;
  next = std::max(next, now - std::chrono::milliseconds(kPtyPaceSlackMs));
  if (now < next) return 0;
  return std::min(wanted, static_cast<size_t>((now - next) / byteTime) + 1);
}

bool SendDue(int fd, std::deque<PacedChunk>& queue, PtyClock::time_point now,
             PtyClock::time_point& next, std::chrono::nanoseconds byteTime) {
  while (!queue.empty() && queue.front().due <= now) {
    PacedChunk& chunk = queue.front();
    const size_t left = chunk.bytes.size() - chunk.sent;
    const size_t allowed = PaceSlots(now, next, byteTime, left);
    if (allowed == 0 && left > 0) return false;
    const ssize_t written = ::write(fd, chunk.bytes.data() + chunk.sent, allowed);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    chunk.sent += static_cast<size_t>(written);
    next += byteTime * written;
    if (chunk.sent == chunk.bytes.size()) queue.pop_front();
  }
  return false;
}

PtyServerThread::~PtyServerThread() { stop(); }

bool PtyServerThread::start() {
  if (thread_.joinable()) return true;
  if (wake_[0] < 0 && pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  const int flags = fcntl(fd_, F_GETFL);
  if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  stop_ = false;
  thread_ = std::thread([this] { run(); });
  return true;
}

void PtyServerThread::stop() {
  if (thread_.joinable()) {
    stop_ = true;
    const char wake = 1;
    (void)!::write(wake_[1], &wake, 1);
    thread_.join();
  }
  for (int& end : wake_) {
    if (end >= 0) close(end);
    end = -1;
  }
}

bool OpenProgramPty(const char* program, ProgramPty& pty) {
  char name[kPtyNameBytes] = {};
  if (openpty(&pty.master, &pty.slave, name, nullptr, nullptr) != 0) {
    fprintf(stderr, "%s: cannot open a pseudo-terminal: %s\n", program, strerror(errno));
    return false;
  }
  pty.name = name;
  termios raw;
  if (tcgetattr(pty.slave, &raw) == 0) {
    cfmakeraw(&raw);
    tcsetattr(pty.slave, TCSANOW, &raw);
  }
  return true;
}

void CloseProgramPty(ProgramPty& pty) {
  for (int* end : {&pty.slave, &pty.master}) {
    if (*end >= 0) close(*end);
    *end = -1;
  }
}

bool ParseNumber(const char* text, uint64_t* value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != 0) return false;
  *value = number;
  return true;
}

bool ParseWord(const char* text, uint32_t* word) {
  uint64_t value = 0;
  if (!ParseNumber(text, &value) || value > UINT32_MAX) return false;
  *word = static_cast<uint32_t>(value);
  return true;
}

bool ServeUntilStopped(const char* program, PtyServerThread& server, const ProgramPty& pty) {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  if (!server.start()) {
    fprintf(stderr, "%s: cannot start the chip's thread\n", program);
    return false;
  }
  printf("PTY %s\n", pty.name.c_str());
  fflush(stdout);
  while (!gStop) usleep(kStopPollUs);
  server.stop();
  return true;
}

bool WriteDump(const char* program, const std::string& path, const uint8_t* bytes, size_t size,
               const char* what) {
  FILE* out = fopen(path.c_str(), "wb");
  bool written = out && fwrite(bytes, 1, size, out) == size;
  if (out && fclose(out) != 0) written = false;
  if (!written) {
    fprintf(stderr, "%s: cannot write %s to %s\n", program, what, path.c_str());
    return false;
  }
  printf("DUMPED %s\n", path.c_str());
  return true;
}

}  // namespace kvsim
