#pragma once

// Helpers of the ISP client's tests: a scripted chip on the master side of a pty (the test
// writes the chip's bytes and reads back what the client sent), a log capture, and small
// byte helpers.

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "recovery_test_support.h"
#include "support.h"

namespace lpctest {

constexpr int kIoTimeoutMs = 5000;  // ms to wait for bytes that are expected
constexpr int kSettleMs = 30;       // ms after which bytes already written have been read
constexpr int kReaderPollMs = 10;   // ms between looks at the stop flag of the reader
constexpr uint32_t kBaud = 115200;

using rectest::Clock;
using rectest::LogCapture;
using rectest::MsSince;
using rectest::Pattern;

// The chip side of a pty as a script: what the test sends is what the client reads; a thread
// collects everything the client writes.
class ScriptedChip {
 public:
  ScriptedChip() {
    PtyPair::makeRaw(pty_.slave());
    reader_ = std::thread([this] { collect(); });
  }
  ~ScriptedChip() {
    stop_ = true;
    reader_.join();
  }
  ScriptedChip(const ScriptedChip&) = delete;
  ScriptedChip& operator=(const ScriptedChip&) = delete;

  const char* port() const { return pty_.slaveName().c_str(); }
  void send(const std::string& bytes) { pty_.write(bytes); }

  // What the client wrote so far, once at least atLeast bytes came (or the time-out passed)
  // and a moment more for the rest of the same write.
  std::string heard(size_t atLeast = 0, int timeoutMs = kIoTimeoutMs) {
    const Clock::time_point start = Clock::now();
    while (size() < atLeast && MsSince(start) < timeoutMs)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_;
  }
  void forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    heard_.clear();
  }

 private:
  size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_.size();
  }
  void collect() {
    while (!stop_) {
      pollfd fd = {pty_.master(), POLLIN, 0};
      if (poll(&fd, 1, kReaderPollMs) <= 0 || !(fd.revents & POLLIN)) continue;
      char buffer[4096];
      const ssize_t got = ::read(pty_.master(), buffer, sizeof buffer);
      if (got > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        heard_.append(buffer, static_cast<size_t>(got));
      }
    }
  }

  PtyPair pty_;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::string heard_;
};

}  // namespace lpctest
