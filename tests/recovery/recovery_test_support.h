#pragma once

// Helpers shared by the tests of both recovery clients: time spans, byte patterns, a log
// capture, and a stand-in ROM program run in the background.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Log.h"

namespace rectest {

using Clock = std::chrono::steady_clock;

inline long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// n bytes that look random, the same for the same seed.
inline std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 1) {
  std::vector<uint8_t> bytes(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

// Sends the log of the given packages into a temporary file for the life of the object.
class LogCapture {
 public:
  explicit LogCapture(uint32_t packages) : file_(tmpfile()), packages_(packages) {
    Log::SetOutput(file_);
    Log::ActivatePackage(packages_);
  }
  ~LogCapture() {
    Log::DeactivatePackage(packages_);
    Log::SetOutput(nullptr);
    if (file_) fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() {
    std::string all;
    if (!file_) return all;
    fflush(file_);
    rewind(file_);
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, file_)) > 0) all.append(buffer, got);
    fseek(file_, 0, SEEK_END);
    return all;
  }

 private:
  FILE* file_;
  uint32_t packages_;
};

// A program running in the background with its standard output on a pipe; killed when the
// object goes unless stopped before.
class BackgroundProgram {
 public:
  static constexpr int kStopTimeoutMs = 10000;  // ms for the program to end after SIGTERM
  static constexpr int kReadPollMs = 50;        // ms per wait for more output
  static constexpr int kExitPollUs = 10000;     // us between looks whether it has ended

  BackgroundProgram(const std::string& binary, const std::vector<std::string>& arguments) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    std::vector<std::string> argv = {binary};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_ = fork();
    if (pid_ == 0) {
      dup2(pipeEnds[1], STDOUT_FILENO);
      std::vector<char*> cArgs;
      for (std::string& a : argv) cArgs.push_back(a.data());
      cArgs.push_back(nullptr);
      execv(cArgs[0], cArgs.data());
      _exit(127);
    }
    close(pipeEnds[1]);
    out_ = pipeEnds[0];
  }
  ~BackgroundProgram() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  // The next line of its output, without the line end; empty after the time-out.
  std::string line(int timeoutMs) {
    const Clock::time_point start = Clock::now();
    while (buffer_.find('\n') == std::string::npos && MsSince(start) < timeoutMs) {
      pollfd fd = {out_, POLLIN, 0};
      if (poll(&fd, 1, kReadPollMs) <= 0) continue;
      char chunk[256];
      const ssize_t got = read(out_, chunk, sizeof chunk);
      if (got <= 0) break;
      buffer_.append(chunk, static_cast<size_t>(got));
    }
    const size_t end = buffer_.find('\n');
    if (end == std::string::npos) return std::string();
    const std::string text = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return text;
  }
  // Stops it with SIGTERM; its exit status, or -1 when it did not end in time.
  int stop() {
    if (pid_ <= 0)
      return -1;  // never started: there is nothing to signal (kill(-1) would reach every process)
    kill(pid_, SIGTERM);
    const Clock::time_point start = Clock::now();
    int status = 0;
    while (MsSince(start) < kStopTimeoutMs) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(kExitPollUs);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

}  // namespace rectest
