#include "sim_imx_serial.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <deque>

namespace kvsim {

namespace {

// A partial command followed by this much silence is line noise (a probe byte of another
// boot protocol, say): the ROM drops it and waits for a command again, unless it keeps
// partial commands.
constexpr auto kStaleCommand = std::chrono::milliseconds(200);

using Clock = PtyClock;

using Chunk = PacedChunk;

}  // namespace

ImxSdpSerialServer::ImxSdpSerialServer(int fd, const ImxSdpConfig& config, uint32_t paceBaud)
    : PtyServerThread(fd), paceBaud_(paceBaud), rom_(config) {}

ImxSdpSerialServer::~ImxSdpSerialServer() { stop(); }

void ImxSdpSerialServer::configure(const std::function<void(ImxSdpConfig&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(rom_.config());
}

void ImxSdpSerialServer::setJumpHook(std::function<void(uint32_t)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

std::vector<SdpLoad> ImxSdpSerialServer::loads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.loads();
}

std::vector<SdpCommand> ImxSdpSerialServer::commands() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.commands();
}

SdpBytes ImxSdpSerialServer::memory(uint32_t address, uint32_t count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.memory(address, count);
}

bool ImxSdpSerialServer::jumped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.jumped();
}

uint32_t ImxSdpSerialServer::jumpAddress() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.jumpAddress();
}

int ImxSdpSerialServer::associations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rom_.associations();
}

SdpBytes ImxSdpSerialServer::line() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return line_;
}

SdpBytes ImxSdpSerialServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<SdpBytes> ImxSdpSerialServer::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

// Cuts the host's bytes into association words, commands and WRITE_FILE data. The caller
// holds the lock.
void ImxSdpSerialServer::take(const uint8_t* bytes, size_t n, std::vector<SdpAnswer>& out) {
  line_.insert(line_.end(), bytes, bytes + n);
  size_t i = 0;
  while (i < n) {
    if (rom_.expectingData()) {
      // Data goes in as one piece; the ROM takes what its count allows.
      size_t end = i;
      while (end < n && rom_.expectingData()) {
        rom_.data(bytes + end, 1, out);
        ++end;
      }
      received_.insert(received_.end(), bytes + i, bytes + end);
      i = end;
      continue;
    }
    pending_.push_back(bytes[i++]);
    const bool association = pending_.size() == kSdpAssociation.size() &&
                             std::equal(pending_.begin(), pending_.end(), kSdpAssociation.begin());
    if (!association && pending_.size() != kSdpCommandBytes) continue;
    received_.insert(received_.end(), pending_.begin(), pending_.end());
    if (association)
      rom_.associate(out);
    else
      rom_.command(pending_.data(), out);
    pending_.clear();
  }
}

void ImxSdpSerialServer::run() {
  std::deque<Chunk> queue;
  const auto byteTime = SerialByteTime(paceBaud_);
  Clock::time_point nextIn = Clock::now();
  Clock::time_point nextOut = Clock::now();
  uint64_t taken = 0;
  bool hookCalled = false;
  Clock::time_point lastByte = Clock::now();

  while (!stopping()) {
    Clock::time_point now = Clock::now();

    const bool wantWrite = SendDue(fd(), queue, now, nextOut, byteTime);

    // How much the ROM takes now: the line's pace and the accept limit.
    int64_t limit = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      limit = rom_.config().acceptLimit;
    }
    size_t room = kPtyReadChunk;
    if (limit >= 0)
      room = static_cast<size_t>(
          std::min<uint64_t>(room, taken >= uint64_t(limit) ? 0 : uint64_t(limit) - taken));
    room = PaceSlots(now, nextIn, byteTime, room);

    now = Clock::now();
    Clock::time_point wakeAt = now + std::chrono::milliseconds(kPtyIdlePollMs);
    if (!queue.empty() && !wantWrite)
      wakeAt = std::min(wakeAt, std::max(queue.front().due, byteTime.count() ? nextOut : now));
    if (room == 0 && byteTime.count() && (limit < 0 || taken < uint64_t(limit)))
      wakeAt = std::min(wakeAt, nextIn);
    const timespec timeout = WaitUntil(wakeAt, now, kPtyIdlePollMs);

    pollfd fds[2] = {{fd(), static_cast<short>((room ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0},
                     {wakeFd(), POLLIN, 0}};
    const int ready = ppoll(fds, 2, &timeout, nullptr);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) {
      uint8_t buffer[kPtyReadChunk];
      const ssize_t got = ::read(fd(), buffer, room);
      if (got <= 0) continue;
      taken += static_cast<uint64_t>(got);
      nextIn += byteTime * got;
      const Clock::time_point arrived = Clock::now();
      const bool afterSilence = arrived - lastByte >= kStaleCommand;
      lastByte = arrived;
      std::vector<SdpAnswer> answers;
      std::function<void(uint32_t)> hook;
      uint32_t jumpAddress = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (afterSilence && !rom_.expectingData() && !pending_.empty() &&
            !rom_.config().keepsPartialCommand) {
          dropped_.push_back(pending_);
          pending_.clear();
        }
        take(buffer, static_cast<size_t>(got), answers);
        if (rom_.jumped() && !hookCalled) {
          hookCalled = true;
          hook = hook_;
          jumpAddress = rom_.jumpAddress();
        }
      }
      const Clock::time_point madeAt = Clock::now();
      for (SdpAnswer& answer : answers) {
        Clock::time_point due = madeAt + std::chrono::milliseconds(answer.delayMs);
        if (!queue.empty() && queue.back().due > due) due = queue.back().due;
        queue.push_back(Chunk{due, std::move(answer.bytes), 0});
      }
      if (hook) hook(jumpAddress);
    } else if (fds[0].revents & (POLLHUP | POLLERR)) {
      // No one holds the slave open (between two clients): nothing to do but wait.
      std::this_thread::sleep_for(std::chrono::milliseconds(kPtyHangupPauseMs));
    }
  }
}

}  // namespace kvsim
