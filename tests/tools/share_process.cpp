#include "share_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace kvshare {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kExitPollInterval = std::chrono::milliseconds(5);  // between checks for the end
constexpr int kExecFailedStatus = 127;
constexpr size_t kReadChunk = 256;
const char kReadyPrefix[] = "share ready ";

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

ShareProcess::ShareProcess(const std::vector<std::string>& arguments, const std::string& program) {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
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
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(kExecFailedStatus);
  }
  close(in[0]);
  close(out[1]);
  input_ = in[1];
  output_ = out[0];
  if (pid_ < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    return;
  }

  std::string text;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kShareReadyTimeoutMs);
  while (text.find('\n') == std::string::npos) {
    pollfd watched{output_, POLLIN, 0};
    const int ready = poll(&watched, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      error_ = "no ready line from the share tool: " + text;
      return;
    }
    char chunk[kReadChunk];
    const ssize_t got = read(output_, chunk, sizeof chunk);
    if (got <= 0) {
      error_ = "the share tool ended before it was ready: " + text;
      return;
    }
    text.append(chunk, static_cast<size_t>(got));
  }
  char dotted[INET_ADDRSTRLEN] = {};
  unsigned port = 0;
  in_addr parsed{};
  if (text.compare(0, sizeof kReadyPrefix - 1, kReadyPrefix) != 0 ||
      std::sscanf(text.c_str(), "share ready address=%15[0-9.] port=%u", dotted, &port) != 2 ||
      inet_pton(AF_INET, dotted, &parsed) != 1 || port == 0 || port > 0xFFFF) {
    error_ = "unexpected ready line: " + text;
    return;
  }
  address_ = parsed.s_addr;
  addressText_ = dotted;
  port_ = static_cast<uint16_t>(port);
  ready_ = true;
}

ShareProcess::~ShareProcess() {
  if (pid_ > 0) stop();
  if (output_ >= 0) close(output_);
}

int ShareProcess::awaitExit() {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kShareStopTimeoutMs);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (done < 0 && errno != EINTR) {
      pid_ = -1;
      return exitStatus_;
    }
    if (Clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
      exitStatus_ = -1;
      return exitStatus_;
    }
    std::this_thread::sleep_for(kExitPollInterval);
  }
  pid_ = -1;
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return exitStatus_;
}

int ShareProcess::stop() {
  if (input_ >= 0) {
    close(input_);
    input_ = -1;
  }
  if (pid_ <= 0) return exitStatus_;
  return awaitExit();
}

int ShareProcess::terminate() {
  if (pid_ <= 0) return exitStatus_;
  kill(pid_, SIGTERM);
  const int status = awaitExit();
  if (input_ >= 0) {
    close(input_);
    input_ = -1;
  }
  return status;
}

}  // namespace kvshare
