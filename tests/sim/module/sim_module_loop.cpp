#include "sim_module_loop.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "sim_module_program.h"

namespace kvsim {

namespace {

constexpr int kExitFailure = 1;

}  // namespace

ProgramLoop::ProgramLoop(const ProgramOptions& options, std::unique_ptr<Transport> transport,
                         std::unique_ptr<DiscoveryResponder> discovery)
    : core_(options.config),
      transport_(std::move(transport)),
      returnMs_(options.returnMs),
      flashDumpPath_(options.upgradeConfig.flashDumpPath),
      discovery_(std::move(discovery)),
      control_(core_, parts_, *this) {
  // UEI values first: --echo and --reply take over the commands they name.
  setUpOk_ = setUpModule(core_, options.setup, &parts_, &setUpError_);
  timed_ = timedWork(parts_);
  for (uint8_t command : options.echoes) core_.echo(command);
  std::map<uint8_t, std::vector<Bytes>> scripted;
  for (const auto& [command, data] : options.replies) scripted[command].push_back(data);
  for (auto& [command, replies] : scripted) core_.script(command, std::move(replies));
}

bool ProgramLoop::setUp(std::string* error) const {
  *error = setUpError_;
  return setUpOk_;
}

int ProgramLoop::run(const volatile sig_atomic_t& stop) {
  std::string error;
  // Joined before the ready line, so a search started after it finds this module.
  if (discovery_ && !discovery_->open(&error)) {
    complain(error);
    return kExitFailure;
  }
  if (!transport_->open(&error)) {
    complain(error);
    return kExitFailure;
  }
  if (transport_->dataFd() >= 0) core_.startConnection();
  while (!quit_ && !stop) {
    comeBackWhenDue();
    pollUpgrade();
    pollTimed();
    std::vector<pollfd> fds;
    if (stdinOpen_) fds.push_back({STDIN_FILENO, POLLIN, 0});
    int listener = transport_->listenFd();
    if (listener >= 0) fds.push_back({listener, POLLIN, 0});
    int data = transport_->dataFd();
    // Decided once: a segment that falls due between two looks must still wake the poll.
    bool due = writeDue();
    if (data >= 0) fds.push_back({data, static_cast<short>(POLLIN | (due ? POLLOUT : 0)), 0});
    if (discovery_) fds.push_back({discovery_->fd(), POLLIN, 0});
    if (poll(fds.data(), fds.size(), pollTimeoutMs(due)) < 0 && errno != EINTR) return kExitFailure;
    // The link first: a command may drop the connection its descriptor belongs to.
    for (const pollfd& fd : fds)
      if (fd.fd == data && (fd.revents & (POLLIN | POLLHUP | POLLERR))) readLink();
    for (const pollfd& fd : fds) {
      if (fd.revents == 0) continue;
      if (fd.fd == STDIN_FILENO)
        readControl();
      else if (fd.fd == listener && transport_->accept())
        core_.startConnection();
      else if (discovery_ && fd.fd == discovery_->fd())
        discovery_->answer(!awayForUpgrade(), core_.address(), transport_->listenPort(), serial(),
                           core_.config().model);
    }
    if (core_.dropDue()) drop(core_.config().dropMode);
    flushOutput();
  }
  return finish();
}

void ProgramLoop::readLink() {
  uint8_t buffer[kReadChunk];
  ssize_t got = read(transport_->dataFd(), buffer, sizeof buffer);
  if (got > 0) {
    core_.receive(buffer, static_cast<size_t>(got));
    pollUpgrade();  // a LOAD or REBOOT may have scheduled a drop that is due at once
  } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
    // The host went away: ready for the next one at once.
    transport_->drop(DropMode::Close);
    transport_->comeBack();
    queue_.clear();
  }
}

void ProgramLoop::readControl() {
  if (!control_.read(STDIN_FILENO)) {
    stdinOpen_ = false;
    quit_ = true;  // nobody left to control us
  }
}

void ProgramLoop::drop(DropMode mode, bool timedReturn) {
  if (!timedReturn) transport_->refuseConnections();
  transport_->drop(mode);
  queue_.clear();
  core_.startConnection();  // nothing of the old connection goes out on the next one
  away_ = true;
  returnAt_.reset();
  if (timedReturn) returnAt_ = Clock::now() + std::chrono::milliseconds(returnMs_);
}

void ProgramLoop::comeBack() {
  if (!transport_->comeBack()) {
    // The port could not be taken again yet (the reason is on standard error): try later.
    returnAt_ = Clock::now() + std::chrono::milliseconds(kComeBackRetryMs);
    return;
  }
  away_ = false;
  returnAt_.reset();
  if (transport_->dataFd() >= 0) core_.startConnection();
}

void ProgramLoop::comeBackWhenDue() {
  if (away_ && returnAt_ && Clock::now() >= *returnAt_) comeBack();
}

uint32_t ProgramLoop::serial() const {
  return parts_.upgrade ? parts_.upgrade->serial() : core_.config().serial;
}

// The persona's timed work that has fallen due, and its drops and come-backs in order.
void ProgramLoop::pollUpgrade() {
  if (!parts_.upgrade) return;
  for (const UpgradeAction& action : parts_.upgrade->poll()) {
    if (action.kind == UpgradeAction::Kind::Drop) {
      flushBeforeDrop();
      drop(core_.config().dropMode, false);
    } else if (away_) {
      comeBack();
    }
  }
  flushOutput();  // a late reply or the loader's announcement
}

// Late replies and stream samples that have fallen due.
void ProgramLoop::pollTimed() {
  for (const auto& work : timed_) work->poll();
  flushOutput();
}

// What is ready goes out at once, gaps or not; what the transport cannot take now is lost
// with the connection.
void ProgramLoop::flushBeforeDrop() {
  if (transport_->dataFd() < 0) return;
  for (Segment& segment : core_.takeSegments()) queue_.push_back(std::move(segment));
  for (; !queue_.empty(); queue_.pop_front()) {
    Bytes& bytes = queue_.front().bytes;
    ssize_t written = transport_->write(bytes.data(), bytes.size());
    if (written != static_cast<ssize_t>(bytes.size())) return;
  }
}

void ProgramLoop::flushOutput() {
  if (transport_->dataFd() < 0) return;  // output of a connection that is gone was dropped with it
  for (Segment& segment : core_.takeSegments()) queue_.push_back(std::move(segment));
  while (writeDue()) {
    Bytes& bytes = queue_.front().bytes;
    ssize_t written = transport_->write(bytes.data(), bytes.size());
    if (written < 0) return;  // full (poll waits for room) or gone (the read side notices)
    bytes.erase(bytes.begin(), bytes.begin() + written);
    if (!bytes.empty()) return;
    queue_.pop_front();
    lastWrite_ = Clock::now();
  }
}

// At the end of the run: the flash dump, when one was asked for.
int ProgramLoop::finish() {
  std::string error;
  if (!parts_.upgrade || flashDumpPath_.empty() ||
      parts_.upgrade->writeFlashDump(flashDumpPath_, &error))
    return 0;
  complain(error);
  return kExitFailure;
}

ProgramLoop::Clock::time_point ProgramLoop::nextWriteAt() const {
  return lastWrite_ + std::chrono::milliseconds(queue_.front().delayMs);
}

// How long the loop may sleep; due: a write is due now (poll waits for room instead).
int ProgramLoop::pollTimeoutMs(bool due) const {
  auto until = [](Clock::time_point when) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return ms > 0 ? static_cast<int>(ms) + 1 : 0;
  };
  int timeout = -1;
  if (!queue_.empty() && !due) timeout = until(nextWriteAt());
  auto earliest = [&](Clock::time_point when) {
    int ms = until(when);
    timeout = timeout < 0 ? ms : std::min(timeout, ms);
  };
  if (away_ && returnAt_) earliest(*returnAt_);
  if (parts_.upgrade)
    if (std::optional<Clock::time_point> next = parts_.upgrade->nextDue()) earliest(*next);
  for (const auto& work : timed_)
    if (std::optional<Clock::time_point> next = work->nextDue()) earliest(*next);
  return timeout;
}

}  // namespace kvsim
