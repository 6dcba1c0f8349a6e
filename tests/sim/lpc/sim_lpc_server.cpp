#include "sim_lpc_server.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <deque>

namespace kvsim {

namespace {

constexpr int kBabbleIntervalMs = 1;  // ms between two garbage bytes
const uint8_t kBabble[] = {'x', 0x00, '\r', 0xFF, '\n', '#', 'O', 'K'};

using Clock = PtyClock;

using Chunk = PacedChunk;

}  // namespace

LpcIspServer::LpcIspServer(int fd, const LpcConfig& config, uint32_t paceBaud)
    : PtyServerThread(fd), paceBaud_(paceBaud), rom_(config) {}

LpcIspServer::~LpcIspServer() { stop(); }

void LpcIspServer::configure(const std::function<void(LpcConfig&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(rom_.config());
}

LpcBytes LpcIspServer::flash() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.flash();
}

bool LpcIspServer::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.running();
}

uint32_t LpcIspServer::startAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.startAddress();
}

bool LpcIspServer::echo() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.echo();
}

std::vector<std::string> LpcIspServer::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.commands();
}

int LpcIspServer::resendsSent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.resendsSent();
}

std::string LpcIspServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void LpcIspServer::run() {
  std::deque<Chunk> queue;
  std::deque<uint8_t> input;
  Clock::time_point busyUntil = Clock::now();
  Clock::time_point nextSlot = Clock::now();
  Clock::time_point nextBabble = Clock::now();
  size_t babbleIndex = 0;
  const auto byteTime = SerialByteTime(paceBaud_);

  while (!stopping()) {
    Clock::time_point now = Clock::now();

    // The chip takes input only while it is not working on a command.
    while (!input.empty() && now >= busyUntil) {
      const uint8_t byte = input.front();
      input.pop_front();
      std::vector<LpcOutput> outputs;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        rom_.receive(byte, outputs);
      }
      for (LpcOutput& output : outputs) {
        Clock::time_point due = now + std::chrono::milliseconds(output.delayMs);
        if (!queue.empty() && queue.back().due > due) due = queue.back().due;
        if (output.delayMs > 0) busyUntil = due;
        if (!queue.empty() && queue.back().due == due && queue.back().sent == 0) {
          queue.back().bytes.insert(queue.back().bytes.end(), output.bytes.begin(),
                                    output.bytes.end());
        } else {
          Chunk chunk;
          chunk.due = due;
          chunk.bytes = std::move(output.bytes);
          queue.push_back(std::move(chunk));
        }
      }
    }

    if (babble_ && now >= nextBabble) {
      const uint8_t garbage = kBabble[babbleIndex++ % sizeof kBabble];
      (void)!::write(fd(), &garbage, 1);
      nextBabble = now + std::chrono::milliseconds(kBabbleIntervalMs);
    }

    const bool wantWrite = SendDue(fd(), queue, now, nextSlot, byteTime);

    // Sleep until input comes, output is due or the stop flag is raised.
    now = Clock::now();
    Clock::time_point wakeAt = now + std::chrono::milliseconds(kPtyIdlePollMs);
    if (!queue.empty() && !wantWrite)
      wakeAt = std::min(wakeAt, std::max(queue.front().due, paceBaud_ ? nextSlot : now));
    if (!input.empty()) wakeAt = std::min(wakeAt, busyUntil);
    if (babble_) wakeAt = std::min(wakeAt, nextBabble);
    const timespec timeout = WaitUntil(wakeAt, now, kPtyIdlePollMs);

    pollfd fds[2] = {{fd(), static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
                     {wakeFd(), POLLIN, 0}};
    const int ready = ppoll(fds, 2, &timeout, nullptr);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) {
      uint8_t buffer[kPtyReadChunk];
      const ssize_t got = ::read(fd(), buffer, sizeof buffer);
      if (got > 0) {
        input.insert(input.end(), buffer, buffer + got);
        std::lock_guard<std::mutex> lock(mutex_);
        received_.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(got));
      }
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      // No one holds the slave open (between two clients): nothing to do but wait.
      std::this_thread::sleep_for(std::chrono::milliseconds(kPtyHangupPauseMs));
    }
  }
}

}  // namespace kvsim
