// bench_lpc: how long our ISP client (NXPSerialClass) takes to program a firmware image into
// the stand-in LPC17xx ISP ROM at 115200 baud, beside lpc21isp programming the same image into
// a fresh stand-in in the same run, and beside the line-rate floor.
//
//   bench_lpc [--quick]
//
// The line: the programmer opens the slave of a pty made here; a relay thread carries the
// bytes between the pty's master and the stand-in (run in this process on one end of a socket
// pair). Each direction is paced like a UART: a character leaves one character time (10 bits at
// 115200 baud, 11520 characters per second) after the later of its arrival and the previous
// character's, so both the host's writes and the chip's echo and answers move at line rate.
// The stand-in itself runs unpaced and takes no time to erase or copy, so what is measured is
// the line and the turn-arounds of both ends.
//
// Our side: Connect, Sync and ProgramFlash (unlock, erase, echo off, per 4096-byte chunk W, P
// and C, echo on, G). lpc21isp: the whole program run with -bin, the same port, rate and
// crystal. The image carries a valid vector checksum in its eighth word (the word lpc21isp
// rewrites), so after either run the flash must hold exactly the image, and be erased beyond.
//
// The floor: the image's uuencoded data lines (45 bytes each: a length character, four
// characters per three bytes, CR LF) at 11520 characters per second; no programmer can send
// the data faster. The breakdown splits each session's time by the line: the host's line busy;
// only the chip's line busy (echo and answers); both idle while the chip is to act; both idle
// while the host is to act (its reading, waits and turn-around).
//
// Figures only: no pass or fail beyond "the measurement could not run" or a flash that differs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "NXPSerialClass.h"
#include "bench_support.h"
#include "sim_lpc_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kBaud = 115200;
constexpr int64_t kBitsPerCharacter = 10;  // start bit, 8 data bits, stop bit
constexpr double kCharactersPerSecond = static_cast<double>(kBaud) / kBitsPerCharacter;
constexpr int64_t kCharacterNs = (1000000000LL * kBitsPerCharacter + kBaud / 2) / kBaud;
constexpr const char* kCrystalKHz = "14746";  // what our client announces, given to lpc21isp too
constexpr uint32_t kDataBytesPerLine = 45;    // bytes per uuencoded data line
constexpr size_t kVectorChecksumWord = 7;     // the boot ROM's check over words 0 to 6
constexpr uint8_t kErased = 0xFF;

constexpr size_t kFullImage = 256 * 1024;  // bytes
constexpr size_t kQuickImage = 32 * 1024;  // bytes

constexpr int kPeerTimeoutMs = 600000;    // ms lpc21isp may run before it is killed
constexpr int kStartWaitMs = 2000;        // ms for the chip to take the last command (G)
constexpr int kStartPollMs = 5;           // ms between looks at the chip's state
constexpr int kRelayIdleMs = 50;          // ms between looks at the stop flag while idle
constexpr size_t kRelayReadChunk = 4096;  // bytes per read of either side
constexpr size_t kOutputTail = 600;       // characters of lpc21isp's output shown on failure

const char kUsage[] =
    "usage: bench_lpc [--quick]\n"
    "Programs a 256 KiB image into the stand-in LPC17xx ISP ROM over a pty paced at 115200\n"
    "baud, with our ISP client and with lpc21isp, beside the line-rate floor.\n"
    "--quick: a 32 KiB image.\n";

int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// --- the paced line --------------------------------------------------------------------------

// Delivery times (ns on the steady clock) of every character, per direction.
struct LineLog {
  std::vector<int64_t> toChip;
  std::vector<int64_t> fromChip;
};

// One direction of the line: characters wait here until their character time has passed.
struct Lane {
  int out = -1;                                   // where delivered characters are written
  std::deque<std::pair<int64_t, uint8_t>> queue;  // (due, character), due in order
  int64_t lastDue = 0;
  std::vector<uint8_t> backlog;  // due but not yet taken by the reader
  std::vector<int64_t>* log = nullptr;

  void arrive(const uint8_t* bytes, size_t n, int64_t now) {
    for (size_t i = 0; i < n; ++i) {
      lastDue = std::max(lastDue, now) + kCharacterNs;
      queue.emplace_back(lastDue, bytes[i]);
      log->push_back(lastDue);
    }
  }
  // Hands on what is due; false when the reader's side failed.
  bool deliver(int64_t now) {
    while (!queue.empty() && queue.front().first <= now) {
      backlog.push_back(queue.front().second);
      queue.pop_front();
    }
    while (!backlog.empty()) {
      const ssize_t written = ::write(out, backlog.data(), backlog.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
      }
      backlog.erase(backlog.begin(), backlog.begin() + written);
    }
    return true;
  }
  int64_t nextDue() const { return queue.empty() ? INT64_MAX : queue.front().first; }
};

// A pty for the programmer, a socket for the chip, and the relay thread between them.
class PacedLine {
 public:
  PacedLine() = default;
  ~PacedLine() {
    stop();
    for (int fd : {master_, slave_, hostEnd_, chipEnd_, wake_[0], wake_[1]})
      if (fd >= 0) close(fd);
  }
  PacedLine(const PacedLine&) = delete;
  PacedLine& operator=(const PacedLine&) = delete;

  // Makes the pty and the socket pair and starts the relay; false with the reason.
  bool open(std::string* why) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[256] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
      *why = std::string("cannot make a pseudo-terminal: ") + strerror(errno);
      return false;
    }
    slavePath_ = name;
    // Held open here as well, so the master sees no hang-up while the programmers come and go;
    // raw, so the pty itself neither echoes nor translates before a programmer sets it up.
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave_ < 0 || tcgetattr(slave_, &raw) != 0) {
      *why = "cannot open the pty slave " + slavePath_ + ": " + strerror(errno);
      return false;
    }
    cfmakeraw(&raw);
    int pair[2];
    if (tcsetattr(slave_, TCSANOW, &raw) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0 ||
        pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
      *why = std::string("cannot set up the line: ") + strerror(errno);
      return false;
    }
    hostEnd_ = pair[0];
    chipEnd_ = pair[1];
    for (int fd : {master_, hostEnd_}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    relay_ = std::thread([this] { run(); });
    return true;
  }

  const std::string& hostPort() const { return slavePath_; }
  int chipFd() const { return chipEnd_; }
  bool failed() const { return failed_; }

  LineLog log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }

  void stop() {
    if (!relay_.joinable()) return;
    stop_ = true;
    const char wake = 1;
    (void)!::write(wake_[1], &wake, 1);
    relay_.join();
  }

 private:
  void run() {
    prctl(PR_SET_TIMERSLACK, 1UL);  // wake-ups to the microsecond: a character is 87 us
    Lane toChip, fromChip;
    toChip.out = hostEnd_;
    toChip.log = &log_.toChip;
    fromChip.out = master_;
    fromChip.log = &log_.fromChip;
    while (!stop_) {
      const int64_t now = nowNs();
      if (!toChip.deliver(now) || !fromChip.deliver(now)) {
        failed_ = true;
        return;
      }
      const int64_t due = std::min(toChip.nextDue(), fromChip.nextDue());
      const int64_t waitNs =
          std::min<int64_t>(std::max<int64_t>(due - nowNs(), 0), kRelayIdleMs * 1000000LL);
      const timespec timeout{static_cast<time_t>(waitNs / 1000000000),
                             static_cast<long>(waitNs % 1000000000)};
      pollfd fds[3] = {
          {master_, static_cast<short>(POLLIN | (fromChip.backlog.empty() ? 0 : POLLOUT)), 0},
          {hostEnd_, static_cast<short>(POLLIN | (toChip.backlog.empty() ? 0 : POLLOUT)), 0},
          {wake_[0], POLLIN, 0}};
      const int ready = ppoll(fds, 3, &timeout, nullptr);
      if (ready < 0 && errno != EINTR) {
        failed_ = true;
        return;
      }
      if (ready <= 0) continue;
      if (!take(fds[0], master_, toChip) || !take(fds[1], hostEnd_, fromChip)) {
        failed_ = true;
        return;
      }
    }
  }

  // Reads what one side sent into the lane towards the other; false when the side failed.
  bool take(const pollfd& polled, int fd, Lane& lane) {
    if (!(polled.revents & POLLIN)) return true;
    uint8_t buffer[kRelayReadChunk];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      std::lock_guard<std::mutex> lock(mutex_);
      lane.arrive(buffer, static_cast<size_t>(got), nowNs());
    }
    return got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
  }

  int master_ = -1;
  int slave_ = -1;
  int hostEnd_ = -1;  // the relay's end of the socket pair
  int chipEnd_ = -1;  // the stand-in's end
  int wake_[2] = {-1, -1};
  std::string slavePath_;
  std::thread relay_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  mutable std::mutex mutex_;  // guards log_
  LineLog log_;
};

// --- where the time goes ---------------------------------------------------------------------

struct Breakdown {
  double hostLine = 0;   // s the host's line (to the chip) carried characters
  double chipLine = 0;   // s only the chip's line carried characters
  double chipTurn = 0;   // s both idle, the chip to act
  double hostTurn = 0;   // s both idle, the host to act
  size_t hostTurns = 0;  // separate stretches of hostTurn
  size_t toChip = 0;     // characters each way within the session
  size_t fromChip = 0;
};

struct Span {
  int64_t start, end;
};

// Busy stretches of one direction from its delivery times, clipped to [from, to].
std::vector<Span> busySpans(const std::vector<int64_t>& delivered, int64_t from, int64_t to,
                            size_t* count) {
  std::vector<Span> spans;
  *count = 0;
  for (int64_t end : delivered) {
    const int64_t start = std::max(end - kCharacterNs, from);
    end = std::min(end, to);
    if (end <= from || start >= to) continue;
    ++*count;
    if (!spans.empty() && start <= spans.back().end)
      spans.back().end = std::max(spans.back().end, end);
    else
      spans.push_back({start, end});
  }
  return spans;
}

Breakdown breakDown(const LineLog& log, int64_t from, int64_t to) {
  Breakdown b;
  const std::vector<Span> host = busySpans(log.toChip, from, to, &b.toChip);
  const std::vector<Span> chip = busySpans(log.fromChip, from, to, &b.fromChip);
  std::vector<int64_t> points{from, to};
  for (const auto* spans : {&host, &chip})
    for (const Span& s : *spans) {
      points.push_back(s.start);
      points.push_back(s.end);
    }
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());

  size_t h = 0, c = 0;  // first span of each direction not yet ended at the segment's start
  bool inHostTurn = false;
  for (size_t i = 0; i + 1 < points.size(); ++i) {
    const int64_t p = points[i], q = points[i + 1];
    while (h < host.size() && host[h].end <= p) ++h;
    while (c < chip.size() && chip[c].end <= p) ++c;
    const bool hostBusy = h < host.size() && host[h].start <= p;
    const bool chipBusy = c < chip.size() && chip[c].start <= p;
    const double seconds = static_cast<double>(q - p) / 1e9;
    bool hostToAct = false;
    if (hostBusy) {
      b.hostLine += seconds;
    } else if (chipBusy) {
      b.chipLine += seconds;
    } else {
      // Whoever received the last character is to act; before the first one, the host.
      const int64_t lastToChip = h > 0 ? host[h - 1].end : INT64_MIN;
      const int64_t lastFromChip = c > 0 ? chip[c - 1].end : INT64_MIN;
      hostToAct = lastFromChip >= lastToChip;
      (hostToAct ? b.hostTurn : b.chipTurn) += seconds;
      if (hostToAct && !inHostTurn) ++b.hostTurns;
    }
    inHostTurn = hostToAct;
  }
  return b;
}

// --- the image and the checks ----------------------------------------------------------------

std::vector<uint8_t> makeImage(size_t size) {
  std::vector<uint8_t> image(size);
  uint32_t x = 0x2545F491u;
  for (uint8_t& byte : image) {
    x = x * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(x >> 16);
  }
  // A valid vector checksum: the eighth word makes the sum of the first eight zero.
  uint32_t sum = 0;
  for (size_t w = 0; w < kVectorChecksumWord; ++w)
    sum += static_cast<uint32_t>(image[4 * w]) | static_cast<uint32_t>(image[4 * w + 1]) << 8 |
           static_cast<uint32_t>(image[4 * w + 2]) << 16 |
           static_cast<uint32_t>(image[4 * w + 3]) << 24;
  const uint32_t check = 0u - sum;
  for (size_t k = 0; k < 4; ++k)
    image[4 * kVectorChecksumWord + k] = static_cast<uint8_t>(check >> (8 * k));
  return image;
}

// Characters of the image as uuencoded data lines with their CR LF.
size_t uuencodedCharacters(size_t bytes) {
  size_t characters = 0;
  for (size_t at = 0; at < bytes; at += kDataBytesPerLine) {
    const size_t n = std::min<size_t>(kDataBytesPerLine, bytes - at);
    characters += 1 + 4 * ((n + 2) / 3) + 2;
  }
  return characters;
}

// Empty when the flash holds the image from 0 and is erased beyond it.
std::string checkFlash(const kvsim::LpcBytes& flash, const std::vector<uint8_t>& image) {
  char text[128];
  const auto differs = std::mismatch(image.begin(), image.end(), flash.begin());
  if (differs.first != image.end()) {
    snprintf(text, sizeof text, "flash differs from the image at 0x%05zX",
             static_cast<size_t>(differs.first - image.begin()));
    return text;
  }
  const auto written = std::find_if(flash.begin() + static_cast<long>(image.size()), flash.end(),
                                    [](uint8_t b) { return b != kErased; });
  if (written != flash.end()) {
    snprintf(text, sizeof text, "flash not erased beyond the image at 0x%05zX",
             static_cast<size_t>(written - flash.begin()));
    return text;
  }
  return std::string();
}

bool awaitStart(const kvsim::LpcIspServer& chip) {
  const auto until = Clock::now() + std::chrono::milliseconds(kStartWaitMs);
  while (!chip.running() && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(kStartPollMs));
  return chip.running();
}

// --- the runs --------------------------------------------------------------------------------

struct Result {
  bool ok = false;
  std::string failure;
  double seconds = 0;
  Breakdown breakdown;
};

Result failed(const std::string& why) {
  Result r;
  r.failure = why;
  return r;
}

// A fresh line and stand-in for one programmer; session() runs it on the port and says why it
// failed (empty when it did not).
template <class Session>
Result measure(const std::vector<uint8_t>& image, Session session) {
  PacedLine line;
  std::string why;
  if (!line.open(&why)) return failed(why);
  kvsim::LpcIspServer chip(line.chipFd());
  if (!chip.start()) return failed("cannot start the stand-in's thread");

  const int64_t start = nowNs();
  why = session(line.hostPort());
  const int64_t end = nowNs();
  if (!why.empty()) return failed(why);
  if (!awaitStart(chip)) return failed("the chip was not started (no G) after programming");
  if (line.failed()) return failed("the relay of the line failed");
  chip.stop();
  line.stop();
  why = checkFlash(chip.flash(), image);
  if (!why.empty()) return failed(why);

  Result r;
  r.ok = true;
  r.seconds = static_cast<double>(end - start) / 1e9;
  r.breakdown = breakDown(line.log(), start, end);
  return r;
}

Result runOurs(const std::vector<uint8_t>& image) {
  return measure(image, [&image](const std::string& port) -> std::string {
    NXPSerialClass lpc;
    aErr result = lpc.Connect(port.c_str(), kBaud);
    if (result != aErrNone) return "Connect on " + port + ": " + aError_GetErrorText(result);
    result = lpc.Sync();
    if (result != aErrNone) return "Sync on " + port + ": " + aError_GetErrorText(result);
    const std::vector<NXPFlashBlock> blocks = {
        {0, image.data(), static_cast<uint32_t>(image.size())}};
    std::string message;
    result = lpc.ProgramFlash(blocks, nullptr, &message);
    if (result != aErrNone) return "ProgramFlash: " + message;
    return std::string();
  });
}

std::string findInPath(const std::string& program) {
  const char* path = getenv("PATH");
  const std::string dirs = path ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    const size_t end = std::min(dirs.find(':', at), dirs.size());
    const std::string candidate = dirs.substr(at, end - at) + "/" + program;
    if (end > at && access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return std::string();
}

using bench::readFile;

// A directory under /tmp for the image file and lpc21isp's output, removed at the end.
class WorkDir : public bench::WorkDir {
 public:
  WorkDir() : bench::WorkDir("bench_lpc") {}
};

// lpc21isp -bin <image> <port> 115200 14746, its output into a file, killed after the time-out.
Result runPeer(const std::string& program, const std::vector<uint8_t>& image, WorkDir& dir,
               std::string* output) {
  const std::string imageFile = dir.file("image.bin");
  const std::string outputFile = dir.file("lpc21isp.out");
  FILE* out = fopen(imageFile.c_str(), "wb");
  bool written = out && fwrite(image.data(), 1, image.size(), out) == image.size();
  if (out && fclose(out) != 0) written = false;
  if (!written) return failed("cannot write the image to " + imageFile);

  return measure(image, [&](const std::string& port) -> std::string {
    const std::string baud = std::to_string(kBaud);
    std::vector<std::string> argv = {program, "-bin", imageFile, port, baud, kCrystalKHz};
    std::vector<char*> cArgs;
    for (std::string& a : argv) cArgs.push_back(&a[0]);
    cArgs.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) return std::string("cannot start lpc21isp: ") + strerror(errno);
    if (pid == 0) {
      const int sink = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (sink < 0 || chdir(dir.path().c_str()) != 0) _exit(127);
      dup2(sink, STDOUT_FILENO);
      dup2(sink, STDERR_FILENO);
      execv(cArgs[0], cArgs.data());
      _exit(127);
    }
    // A watchdog kills it after the time-out; the wait itself blocks, so the time is exact.
    std::mutex mutex;
    std::condition_variable done;
    bool ended = false;
    bool killed = false;
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> lock(mutex);
      if (!done.wait_for(lock, std::chrono::milliseconds(kPeerTimeoutMs), [&] { return ended; })) {
        killed = true;
        kill(pid, SIGKILL);
      }
    });
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      ended = true;
    }
    done.notify_one();
    watchdog.join();

    *output = readFile(outputFile);
    if (killed)
      return "lpc21isp did not end within " + std::to_string(kPeerTimeoutMs / 1000) + " s";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      const std::string tail =
          output->size() > kOutputTail ? output->substr(output->size() - kOutputTail) : *output;
      return "lpc21isp ended with status " +
             std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "; its last output:\n" +
             tail;
    }
    return std::string();
  });
}

// "lpc21isp 1.97" from the first line it prints ("lpc21isp version 1.97"), or just the name.
std::string peerName(const std::string& output) {
  const char kBanner[] = "lpc21isp version ";
  const size_t at = output.rfind(kBanner, 0);
  if (at == std::string::npos) return "lpc21isp";
  const size_t from = at + strlen(kBanner);
  const size_t end = output.find_first_of(" \r\n", from);
  return "lpc21isp " +
         output.substr(from, end == std::string::npos ? std::string::npos : end - from);
}

// --- printing --------------------------------------------------------------------------------

void printRow(const std::string& label, const Result& r, const Result* peer, double floorSeconds) {
  if (!r.ok) {
    std::printf("  %-32s failed: %s\n", label.c_str(), r.failure.c_str());
    std::fflush(stdout);
    return;
  }
  std::printf("  %-32s %9.2f %9zu %9zu %8.1f %%", label.c_str(), r.seconds, r.breakdown.toChip,
              r.breakdown.fromChip, 100.0 * r.breakdown.hostLine / r.seconds);
  if (peer != nullptr && peer->ok)
    std::printf(" %10.3f", r.seconds / peer->seconds);
  else
    std::printf(" %10s", "");
  std::printf(" %10.3f\n", r.seconds / floorSeconds);
  std::fflush(stdout);
}

void printBreakdown(const std::string& label, const Result& r) {
  if (!r.ok) return;
  const Breakdown& b = r.breakdown;
  std::printf("  %-32s %9.2f %9.2f %9.2f %9.2f %7zu %9.2f\n", label.c_str(), b.hostLine, b.chipLine,
              b.chipTurn, b.hostTurn, b.hostTurns,
              b.hostTurns ? 1e3 * b.hostTurn / static_cast<double>(b.hostTurns) : 0.0);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  size_t imageSize = kFullImage;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--quick") {
      imageSize = kQuickImage;
    } else {
      const bool help = option == "--help" || option == "-h";
      std::fputs(kUsage, help ? stdout : stderr);
      return help ? 0 : 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);

  const std::vector<uint8_t> image = makeImage(imageSize);
  const size_t floorCharacters = uuencodedCharacters(image.size());
  const double floorSeconds = static_cast<double>(floorCharacters) / kCharactersPerSecond;

  std::printf(
      "bench_lpc: a %zu KiB image into the stand-in LPC17xx ISP ROM (%s build, %u cores%s)\n",
      imageSize / 1024, KV_BENCH_BUILD_TYPE, std::thread::hardware_concurrency(),
      imageSize == kQuickImage ? ", --quick" : "");
  std::printf(
      "\n   Line: a pty relayed to the stand-in, each direction paced like a UART at %u baud,\n"
      "   %lld bits per character (%.0f characters/s); the stand-in takes no time to erase or\n"
      "   copy. Floor: the image as uuencoded lines of %u bytes with CR LF, %zu characters.\n"
      "   Every run starts with a fresh chip; its flash must then hold the image exactly.\n\n",
      kBaud, static_cast<long long>(kBitsPerCharacter), kCharactersPerSecond, kDataBytesPerLine,
      floorCharacters);
  std::printf("  %-32s %9s %9s %9s %10s %10s %10s\n", "programmer", "seconds", "to chip",
              "from chip", "host line", "ours/peer", "over floor");
  std::printf("  %-32s %9.2f %9zu %9s %10s %10s %10.3f\n", "line-rate floor", floorSeconds,
              floorCharacters, "", "", "", 1.0);
  std::fflush(stdout);

  const std::string programmer = findInPath("lpc21isp");
  Result peer;
  std::string peerLabel = "lpc21isp";
  if (programmer.empty()) {
    peer = failed("not in PATH");
    std::printf("  %-32s not found in PATH (Debian package lpc21isp): only our side runs\n",
                peerLabel.c_str());
  } else {
    WorkDir dir;
    std::string output;
    peer = dir.ok() ? runPeer(programmer, image, dir, &output)
                    : failed("cannot make a directory under /tmp");
    peerLabel = peerName(output);
    printRow(peerLabel, peer, nullptr, floorSeconds);
  }

  const Result ours = runOurs(image);
  printRow("ours: Connect, Sync, ProgramFlash", ours, &peer, floorSeconds);

  std::printf(
      "\n   Where the time goes (seconds): host line = characters to the chip on the line;\n"
      "   chip line = only the chip's echo and answers on it; chip's turn / host's turn =\n"
      "   the line idle while the side that received last is to act; turns = host's turns\n");
  std::printf("  %-32s %9s %9s %9s %9s %7s %9s\n", "programmer", "host line", "chip line",
              "chip turn", "host turn", "turns", "ms/turn");
  printBreakdown(peerLabel, peer);
  printBreakdown("ours", ours);

  const bool allRan = ours.ok && (peer.ok || programmer.empty());
  return allRan ? 0 : 1;
}
