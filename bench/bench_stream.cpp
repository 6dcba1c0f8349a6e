// bench_stream: speed and idle cost of a Link's stream delivery on this machine, against the
// stand-in module program (kv_sim_module) over TCP on 127.0.0.1.
//
//   bench_stream [--quick]
//
// 1. Delivery: the module sends the same stream samples (u32, 19 bytes on the wire) three
//    ways, each to a fresh module program:
//      - to a raw TCP socket that only counts bytes: how fast the stand-in can send;
//      - to a Link with no stream registered (the module switched on by a raw request): the
//        samples reach the caller as plain inbound packets of the link (AwaitPacket);
//      - to a Link with a registered stream: through the stream filter, the value cache, the
//        callback queue and the worker into a callback.
//    The samples come in windows (the module's BURST: one write each), two at most in flight,
//    because a link's input queue empties itself past 1000 packets. The two link paths take
//    turns in rounds of a tenth of the samples each. Delivered callbacks and jobs the full
//    callback queue dropped are counted apart; the ratio uses delivered ones.
//    Goal: streams / plain inbound at least 0.9, with the stand-in's rate above both.
// 2. Idle cost: CPU time of the stream worker thread itself (its scheduler run time) while a
//    stream is registered and no sample arrives. Goal: under 0.05% of one core over 5 s.
//
// Figures only, never run by ctest; a failure to measure ends with status 1.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Link.h"
#include "aLink.h"
#include "aLinkTable.h"
#include "aPacket.h"
#include "bench_support.h"
#include "sim_module_process.h"

namespace {

using bench::failed;
// count: samples delivered; dropped: callback jobs dropped by the full queue.
using bench::Measure;
using bench::secondsSince;
using Clock = std::chrono::steady_clock;
using Zentrova::Kolvantis::Link;
using Zentrova::Kolvantis::VelnetConfig;

constexpr uint8_t kAddress = 2;  // the module program's default address
constexpr uint8_t kCommand = 3;  // the streamed source: command 3, option 8, index 0
constexpr uint8_t kOption = 8;
constexpr uint8_t kIndex = 0;
constexpr size_t kSampleWireBytes = 19;  // a u32 sample: 17 data bytes
constexpr uint8_t kStreamCommand = 0x5D;
constexpr uint32_t kFirstSerial = 0x00B5E000;  // one per link, so no core link is reused

constexpr size_t kWindow = 400;              // samples per BURST; two at most in flight
constexpr uint64_t kPacketTimeoutMs = 2000;  // ms for one expected packet; reached only on failure
constexpr auto kWindowTimeout = std::chrono::milliseconds(5000);  // for a window's callbacks
constexpr auto kDropPoll = std::chrono::milliseconds(1);          // re-check of the drop count
constexpr int kRawReadTimeoutMs = 2000;                           // ms a raw read waits for bytes
constexpr size_t kRawReadChunk = 65536;
constexpr const char* kWorkerName = "kv-stream";  // the stream worker's thread name
constexpr int kRounds = 10;                       // turns each link path takes
constexpr double kDeliveryGoal = 0.9;
constexpr double kIdleGoalPercent = 0.05;

struct Settings {
  uint64_t samples;  // per delivery measurement
  int idleMs;
};
constexpr Settings kFullRun{200000, 5000};
constexpr Settings kQuickRun{20000, 1000};

const char kUsage[] =
    "usage: bench_stream [--quick]\n"
    "Stream delivery against plain inbound packets of the same link, the stand-in's own\n"
    "send rate, and the stream worker's idle CPU, over 127.0.0.1 against kv_sim_module.\n"
    "--quick: shorter runs.\n";

std::vector<std::string> moduleArguments() {
  return {"--tcp", "0", "--stream", "3:8:0:3", "--stream-rate", "0"};
}

// Asks the module for windows of samples, at most two ahead of what was taken in. A run ends
// when all of its samples are taken, not when the taker has caught up with the windows asked
// so far (a fast taker does so between two asks).
class Windows {
 public:
  Windows(kvsim::SimModuleProcess& module, uint64_t total) : module_(module), total_(total) {}
  bool ask() {
    const uint64_t size = std::min<uint64_t>(kWindow, total_ - asked_);
    asked_ += size;
    return size == 0 || module_.command("BURST " + std::to_string(size));
  }
  uint64_t asked() const { return asked_; }
  // Where the window that holds the sample after taken ends.
  uint64_t windowEnd(uint64_t taken) const {
    return std::min<uint64_t>(asked_, (taken / kWindow + 1) * kWindow);
  }

 private:
  kvsim::SimModuleProcess& module_;
  uint64_t total_;
  uint64_t asked_ = 0;
};

// --- the stand-in's own rate: a raw socket that counts bytes -----------------------------------

Measure standInRate(uint64_t total) {
  kvsim::SimModuleProcess module(moduleArguments());
  if (!module.ready()) return failed("module program: " + module.error());
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(module.port()));
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (fd >= 0) close(fd);
    return failed("cannot connect to the module");
  }
  std::vector<uint8_t> buffer(kRawReadChunk);
  uint64_t bytes = 0;
  auto readSome = [&]() {
    pollfd entry{fd, POLLIN, 0};
    if (poll(&entry, 1, kRawReadTimeoutMs) <= 0) return false;
    const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
    if (got <= 0) return false;
    bytes += static_cast<uint64_t>(got);
    return true;
  };
  // Switch the source on, as a Link's registration would, and take the 9-byte answer.
  const uint8_t enable[] = {kAddress, 7,        kStreamCommand, 0x81,  0x20,
                            kAddress, kCommand, kOption,        kIndex};
  constexpr uint64_t kEnableAnswerBytes = 9;
  if (send(fd, enable, sizeof enable, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof enable)) {
    close(fd);
    return failed("enable not sent");
  }
  while (bytes < kEnableAnswerBytes)
    if (!readSome()) {
      close(fd);
      return failed("no answer to the enable");
    }
  bytes -= kEnableAnswerBytes;
  Windows windows(module, total);
  Measure m;
  const auto start = Clock::now();
  if (!windows.ask() || !windows.ask()) {
    close(fd);
    return failed("BURST refused");
  }
  while (bytes / kSampleWireBytes < total) {
    const uint64_t end = windows.windowEnd(bytes / kSampleWireBytes);
    while (bytes / kSampleWireBytes < end)
      if (!readSome()) {
        close(fd);
        return failed("samples missing after " + std::to_string(bytes / kSampleWireBytes));
      }
    if (!windows.ask()) {
      close(fd);
      return failed("BURST refused");
    }
  }
  m.seconds = secondsSince(start);
  m.count = bytes / kSampleWireBytes;
  m.ok = true;
  close(fd);
  return m;
}

// --- a Link to a fresh module program --------------------------------------------------------

VelnetConfig noSharing() {
  VelnetConfig config;
  config.enabled = 0;
  config.fallback = 0;
  return config;
}

// A Link connected to the started module program; null, with *failure saying why, when the
// program did not start or the Link did not connect.
std::unique_ptr<Link> connectLink(kvsim::SimModuleProcess& module, std::string* failure) {
  if (!module.ready()) {
    *failure = "module program: " + module.error();
    return nullptr;
  }
  static uint32_t serial = kFirstSerial;
  linkSpec spec{};
  spec.type = 2;
  spec.serialNumber = serial++;
  spec.address = htonl(INADDR_LOOPBACK);
  spec.port = static_cast<uint32_t>(module.port());
  auto link = std::make_unique<Link>(spec, "Bench");
  if (link->setConfig(noSharing()) != aErrNone || link->connect() != aErrNone) {
    *failure = "link not connected";
    return nullptr;
  }
  return link;
}

// The core link a Link holds, found by its serial number.
uint32_t coreLinkId(Link& link) {
  linkSpec spec{};
  if (link.getLinkSpecifier(&spec) != aErrNone) return 0;
  aLinkEntryRef entry = sLookupEntryByIdentifier(spec.serialNumber, aLINKENTRY_TCPIP);
  return entry ? entry->linkId : 0;
}

// Plain inbound: the module switched on by a raw enable (no stream filter on the link), each
// sample taken from the link's input queue.
class PlainPath {
 public:
  PlainPath() : module_(moduleArguments()) {
    link_ = connectLink(module_, &failure_);
    if (!link_) return;
    const uint8_t enable[] = {0x81, 0x20, kAddress, kCommand, kOption, kIndex};
    const uint8_t ack[] = {kStreamCommand, 0xC1};
    uint8_t length = sizeof ack;
    uint8_t data[aPACKETMAXDATA];
    if (link_->sendPacket(kAddress, kStreamCommand, sizeof enable, enable) != aErrNone ||
        link_->receivePacketFrom(kAddress, ack, &length, data) != aErrNone) {
      failure_ = "the module did not take the enable";
      return;
    }
    id_ = coreLinkId(*link_);
  }
  const std::string& failure() const { return failure_; }

  Measure run(uint64_t total) {
    if (!failure_.empty()) return failed(failure_);
    Windows windows(module_, total);
    Measure m;
    const auto start = Clock::now();
    if (!windows.ask() || !windows.ask()) return failed("BURST refused");
    while (m.count < total) {
      const uint64_t end = windows.windowEnd(m.count);
      for (; m.count < end; ++m.count) {
        aPacket* packet = aLink_AwaitPacket(id_, kPacketTimeoutMs);
        if (packet == nullptr) return failed("sample " + std::to_string(m.count) + " missing");
        const bool sample = Link::isStreamSample(packet);
        aPacket_Destroy(&packet);
        if (!sample) return failed("not a sample at " + std::to_string(m.count));
      }
      if (!windows.ask()) return failed("BURST refused");
    }
    m.seconds = secondsSince(start);
    m.ok = true;
    return m;
  }

 private:
  kvsim::SimModuleProcess module_;
  std::unique_ptr<Link> link_;
  uint32_t id_ = 0;
  std::string failure_;
};

// Streams: a registered callback takes each sample (and the filter keeps the value cache).
class StreamPath {
 public:
  StreamPath() : module_(moduleArguments()) {
    link_ = connectLink(module_, &failure_);
    if (!link_) return;
    // A callback of the kind a user writes: it decodes its sample.
    const auto callback = [this](const aPacket* packet, void*) -> uint8_t {
      uint32_t value = 0;
      if (Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone) value_ = value;
      // Jobs dropped count as taken: a window whose last jobs were dropped is complete too.
      if (++delivered_ + link_->getDroppedStreamJobs() >= target_) {
        std::lock_guard<std::mutex> lock(mutex_);
        reached_.notify_all();
      }
      return 0;
    };
    if (link_->registerStreamCallback(kAddress, kCommand, kOption, kIndex, true, callback,
                                      nullptr) != aErrNone)
      failure_ = "registration refused";
  }
  ~StreamPath() { link_.reset(); }  // the worker ends before the counters go
  const std::string& failure() const { return failure_; }

  Measure run(uint64_t total) {
    if (!failure_.empty()) return failed(failure_);
    const uint64_t deliveredBefore = delivered_.load();
    const uint64_t droppedBefore = link_->getDroppedStreamJobs();
    auto took = [&]() {
      return delivered_.load() - deliveredBefore + link_->getDroppedStreamJobs() - droppedBefore;
    };
    Windows windows(module_, total);
    Measure m;
    const auto start = Clock::now();
    if (!windows.ask() || !windows.ask()) return failed("BURST refused");
    while (took() < total) {
      const uint64_t end = windows.windowEnd(took());
      target_ = deliveredBefore + droppedBefore + end;
      std::unique_lock<std::mutex> lock(mutex_);
      const auto deadline = Clock::now() + kWindowTimeout;
      while (took() < end) {
        if (Clock::now() > deadline)
          return failed("samples missing after " + std::to_string(took()));
        reached_.wait_for(lock, kDropPoll);
      }
      lock.unlock();
      if (!windows.ask()) return failed("BURST refused");
    }
    m.seconds = secondsSince(start);
    m.count = delivered_.load() - deliveredBefore;
    m.dropped = link_->getDroppedStreamJobs() - droppedBefore;
    sent_ += total;
    uint32_t cached = 0;
    if (link_->getStreamValue(kAddress, kCommand, kOption, kIndex, 0, &cached) != aErrNone ||
        cached != sent_)
      return failed("the value cache does not hold the last sample");
    m.ok = true;
    return m;
  }

 private:
  kvsim::SimModuleProcess module_;
  std::unique_ptr<Link> link_;
  std::mutex mutex_;
  std::condition_variable reached_;
  std::atomic<uint64_t> delivered_{0};
  std::atomic<uint64_t> target_{0};
  std::atomic<uint32_t> value_{0};
  uint64_t sent_ = 0;
  std::string failure_;
};

// Adds one round's figures to the total.
void accumulate(Measure* total, const Measure& round) {
  if (!round.ok) {
    *total = round;
    return;
  }
  total->ok = true;
  total->count += round.count;
  total->dropped += round.dropped;
  total->seconds += round.seconds;
}

// --- idle cost of the worker ---------------------------------------------------------------------

std::set<int> threadIds() {
  std::set<int> ids;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return ids;
  while (dirent* entry = readdir(tasks))
    if (entry->d_name[0] != '.') ids.insert(std::atoi(entry->d_name));
  closedir(tasks);
  return ids;
}

std::string threadName(int tid) {
  std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

// The thread's time on a CPU in ns (the scheduler's own count); -1 when it cannot be read.
long long threadRunNs(int tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  long long ns = -1;
  if (!(stat >> ns)) return -1;
  return ns;
}

struct IdleCost {
  Measure wall;
  double workerMs = 0;
  double beforeMs = 0;  // the worker's run time up to the idle span (start, one sample)
};

IdleCost workerIdle(int idleMs) {
  IdleCost cost;
  kvsim::SimModuleProcess module(moduleArguments());
  std::string failure;
  auto link = connectLink(module, &failure);
  if (!link) {
    cost.wall = failed(failure);
    return cost;
  }
  const std::set<int> before = threadIds();
  std::atomic<uint64_t> calls{0};
  const auto callback = [&calls](const aPacket*, void*) -> uint8_t {
    ++calls;
    return 0;
  };
  if (link->registerStreamCallback(kAddress, kCommand, kOption, kIndex, true, callback, nullptr) !=
      aErrNone) {
    cost.wall = failed("registration refused");
    return cost;
  }
  // One sample, so that the worker has woken and slept once before the measurement.
  if (!module.command("BURST 1")) {
    cost.wall = failed("BURST refused");
    return cost;
  }
  const auto deadline = Clock::now() + kWindowTimeout;
  while (calls == 0 && Clock::now() < deadline) std::this_thread::sleep_for(kDropPoll);
  int worker = 0;
  for (int tid : threadIds())
    if (before.count(tid) == 0 && threadName(tid) == kWorkerName) worker = tid;
  if (worker == 0 || calls == 0) {
    cost.wall = failed("no stream worker thread found");
    return cost;
  }
  const long long start = threadRunNs(worker);
  cost.beforeMs = static_cast<double>(start) / 1e6;
  const auto wallStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(idleMs));
  const long long end = threadRunNs(worker);
  cost.wall.seconds = secondsSince(wallStart);
  if (start < 0 || end < 0) {
    cost.wall = failed("the worker's run time cannot be read");
    return cost;
  }
  cost.workerMs = static_cast<double>(end - start) / 1e6;
  cost.wall.ok = true;
  return cost;
}

// --- printing ------------------------------------------------------------------------------------

void printRate(const char* label, const Measure& m, const Measure* baseline, bool withDrops) {
  if (!m.ok) {
    std::printf("  %-36s failed: %s\n", label, m.failure.c_str());
  } else {
    std::printf("  %-36s %9llu", label, static_cast<unsigned long long>(m.count));
    if (withDrops)
      std::printf(" %8llu", static_cast<unsigned long long>(m.dropped));
    else
      std::printf(" %8s", "-");
    std::printf(" %8.3f %12.0f", m.seconds, m.rate());
    if (baseline != nullptr && baseline->ok && baseline->rate() > 0)
      std::printf(" %8.3f", m.rate() / baseline->rate());
    std::printf("\n");
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  const int ended =
      bench::startRun(argc, argv, kUsage, "bench_stream: stream delivery against kv_sim_module",
                      KV_BENCH_BUILD_TYPE, &quick);
  if (ended >= 0) return ended;
  const Settings settings = quick ? kQuickRun : kFullRun;

  std::printf(
      "\n1. Stream samples over TCP, 127.0.0.1: %zu bytes each on the wire, in windows of\n"
      "   %zu (one write each), two at most in flight; a module program per path; the\n"
      "   link paths take %d turns each\n",
      kSampleWireBytes, kWindow, kRounds);
  std::printf("  %-36s %9s %8s %8s %12s %8s\n", "path", "samples", "dropped", "seconds",
              "samples/s", "ratio");
  const Measure standIn = standInRate(settings.samples);
  printRate("stand-in send rate (raw socket)", standIn, nullptr, false);
  // The two link paths take turns, so that load from elsewhere on the machine falls on both.
  Measure plain, streams;
  {
    PlainPath plainPath;
    StreamPath streamPath;
    for (int round = 0; round < kRounds && (round == 0 || (plain.ok && streams.ok)); ++round) {
      accumulate(&plain, plainPath.run(settings.samples / kRounds));
      accumulate(&streams, streamPath.run(settings.samples / kRounds));
    }
  }
  printRate("link, plain inbound (AwaitPacket)", plain, nullptr, false);
  printRate("link, stream callbacks + cache", streams, &plain, true);
  if (streams.ok && plain.ok && plain.rate() > 0) {
    const double ratio = streams.rate() / plain.rate();
    std::printf("  streams / plain inbound: %.3f (goal at least %.1f: %s)\n", ratio, kDeliveryGoal,
                ratio >= kDeliveryGoal ? "met" : "NOT met");
  }
  if (standIn.ok && plain.ok && streams.ok) {
    const bool above = standIn.rate() > plain.rate() && standIn.rate() > streams.rate();
    std::printf("  stand-in rate above both link paths: %s\n", above ? "yes" : "NO");
  }

  std::printf(
      "\n2. Idle stream worker: its own run time (schedstat of its thread) while a stream\n"
      "   is registered and no sample arrives; goal under %.2f%% of one core\n",
      kIdleGoalPercent);
  std::printf("  %-36s %8s %10s %14s\n", "worker", "seconds", "worker ms", "of one core");
  const IdleCost idle = workerIdle(settings.idleMs);
  if (!idle.wall.ok) {
    std::printf("  %-36s failed: %s\n", "TCP, 127.0.0.1", idle.wall.failure.c_str());
  } else {
    const double percent = 100.0 * idle.workerMs / (idle.wall.seconds * 1e3);
    std::printf("  %-36s %8.2f %10.4f %13.4f%%  (goal < %.2f%%: %s)\n", "TCP, 127.0.0.1",
                idle.wall.seconds, idle.workerMs, percent, kIdleGoalPercent,
                percent < kIdleGoalPercent ? "met" : "NOT met");
    std::printf("  (the worker ran %.4f ms before, starting and taking one sample)\n",
                idle.beforeMs);
  }
  std::fflush(stdout);
  return standIn.ok && plain.ok && streams.ok && idle.wall.ok ? 0 : 1;
}
