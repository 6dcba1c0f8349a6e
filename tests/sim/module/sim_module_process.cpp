#include "sim_module_process.h"

#include "sim_lines.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace kvsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRecordPollInterval = std::chrono::milliseconds(5);     // between DUMPs of an await
constexpr auto kExitPollInterval = std::chrono::milliseconds(5);       // between checks for the end
constexpr auto kConnectRetryInterval = std::chrono::milliseconds(20);  // between connect tries
constexpr size_t kReadChunk = 4096;
constexpr int kExecFailedStatus = 127;

}  // namespace

size_t countRecords(const std::vector<Record>& records, Direction direction, const Bytes& bytes) {
  size_t count = 0;
  for (const Record& record : records)
    if (record.direction == direction && record.bytes == bytes) ++count;
  return count;
}

LinkSocket::LinkSocket(int port, int retryForMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(retryForMs);
  for (;;) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (fd_ < 0) return;
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return;
    close(fd_);
    fd_ = -1;
    if (Clock::now() >= deadline) return;
    std::this_thread::sleep_for(kConnectRetryInterval);
  }
}

LinkSocket::~LinkSocket() {
  if (fd_ >= 0) close(fd_);
}

bool LinkSocket::send(const Bytes& bytes) {
  size_t done = 0;
  while (fd_ >= 0 && done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return fd_ >= 0;
}

Bytes LinkSocket::read(size_t count, int timeoutMs) {
  Bytes bytes;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (fd_ >= 0 && bytes.size() < count) {
    pollfd p{fd_, POLLIN, 0};
    int ready = poll(&p, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    uint8_t chunk[kReadChunk];
    ssize_t n = ::read(fd_, chunk, std::min(sizeof chunk, count - bytes.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended_ = true;
      break;
    }
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

Bytes LinkSocket::readFor(int ms) { return read(SIZE_MAX, ms); }

SimModuleProcess::SimModuleProcess(const std::vector<std::string>& arguments,
                                   const std::string& program) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    error_ = std::string("socketpair: ") + std::strerror(errno);
    return;
  }
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec.
    dup2(pair[1], STDIN_FILENO);
    dup2(pair[1], STDOUT_FILENO);
    close_range(3, ~0U, 0);
    execv(argv[0], argv.data());
    _exit(kExecFailedStatus);
  }
  close(pair[1]);
  socket_ = pair[0];
  if (pid_ < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    return;
  }

  auto deadline = Clock::now() + std::chrono::milliseconds(kSimReadyTimeoutMs);
  std::string line;
  while (port_ < 0 && ptyPath_.empty()) {
    if (!readLine(&line, RemainingMs(deadline))) {
      error_ = "no ready line from " + program;
      return;
    }
    takeAnnouncement(line);
  }
  ready_ = true;
}

SimModuleProcess::~SimModuleProcess() { stop(); }

void SimModuleProcess::takeAnnouncement(const std::string& line) {
  if (line.rfind("PORT ", 0) == 0)
    port_ = std::atoi(line.c_str() + 5);
  else if (line.rfind("PTY ", 0) == 0)
    ptyPath_ = line.substr(4);
}

bool SimModuleProcess::readLine(std::string* line, int timeoutMs) {
  return ReadLine(socket_, buffer_, line, timeoutMs);
}

bool SimModuleProcess::isAnnouncement(const std::string& line) {
  return line.rfind("PORT ", 0) == 0 || line.rfind("PTY ", 0) == 0;
}

bool SimModuleProcess::readAnswerLine(std::string* line, int timeoutMs) {
  if (!heldAnswers_.empty()) {
    *line = heldAnswers_.front();
    heldAnswers_.pop_front();
    return true;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (readLine(line, RemainingMs(deadline))) {
    if (!isAnnouncement(*line)) return true;
    takeAnnouncement(*line);
  }
  return false;
}

bool SimModuleProcess::awaitNewPty(const std::string& previous, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string line;
  while (ptyPath_ == previous) {
    if (!readLine(&line, RemainingMs(deadline))) return false;
    if (isAnnouncement(line))
      takeAnnouncement(line);
    else
      heldAnswers_.push_back(line);  // for the next command's answer
  }
  return true;
}

bool SimModuleProcess::command(const std::string& line, std::vector<std::string>* output) {
  if (!ready_) {
    error_ = "the program is not running";
    return false;
  }
  std::string text = line + "\n";
  if (!SendAll(socket_, text)) {
    error_ = "cannot send \"" + line + "\": " + std::strerror(errno);
    return false;
  }
  std::string errLine;
  if (AwaitCommandAnswer(
          [this](std::string* answer, int timeoutMs) { return readAnswerLine(answer, timeoutMs); },
          kSimCommandTimeoutMs, output, &errLine))
    return true;
  error_ = errLine.empty() ? "no answer to \"" + line + "\"" : "\"" + line + "\": " + errLine;
  return false;
}

std::vector<Record> SimModuleProcess::dump() {
  std::vector<std::string> lines;
  std::vector<Record> records;
  if (!command("DUMP", &lines)) return records;
  for (const std::string& line : lines) {
    std::istringstream words(line);
    Record record{};
    std::string direction, hex;
    words >> record.ms >> direction >> hex;
    auto bytes = parseHex(hex);
    if (!bytes) continue;
    record.direction = direction == "in" ? Direction::In : Direction::Out;
    record.bytes = *bytes;
    records.push_back(std::move(record));
  }
  return records;
}

bool SimModuleProcess::awaitRecords(
    const std::function<bool(const std::vector<Record>&)>& predicate, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (predicate(dump())) return true;
    if (Clock::now() >= deadline || !ready_) return false;
    std::this_thread::sleep_for(kRecordPollInterval);
  }
}

bool SimModuleProcess::awaitRecord(Direction direction, const Bytes& bytes, size_t count,
                                   int timeoutMs) {
  return awaitRecords(
      [&](const std::vector<Record>& records) {
        return countRecords(records, direction, bytes) >= count;
      },
      timeoutMs);
}

int SimModuleProcess::stop() {
  if (pid_ <= 0) return exitStatus_;
  if (socket_ >= 0) {
    static const char kQuit[] = "QUIT\n";
    send(socket_, kQuit, sizeof kQuit - 1, MSG_NOSIGNAL);
    shutdown(socket_, SHUT_WR);
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(kSimStopTimeoutMs);
  int status = 0;
  pid_t ended = 0;
  while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(kExitPollInterval);
  if (ended == 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    exitStatus_ = -1;
  } else {
    exitStatus_ = ended > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_ = -1;
  ready_ = false;
  if (socket_ >= 0) close(socket_);
  socket_ = -1;
  return exitStatus_;
}

}  // namespace kvsim
