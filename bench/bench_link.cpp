// bench_link: speed and idle cost of core links on this machine, against the stand-in module
// program (kv_sim_module), each link figure beside a raw-socket baseline from the same run.
//
//   bench_link [--quick]
//
// 1. Round trips: a request packet put on a TCP/IP link and its echo awaited, beside a raw TCP
//    socket doing the same ping-pong with the same bytes against the same module program, and
//    beside the hand-off floor: a path of the link's thread shape (caller -> writer thread ->
//    socket -> reader thread -> caller, each hand-off a mutex and a condition variable) with
//    no per-byte cost, which two cross-thread hand-offs cannot beat without busy waiting.
// 2. Throughput: small packets out (the module takes them without answer) and in (the module's
//    FLOOD command), with pooled writes off and on, beside raw-socket writes and reads of the
//    same bytes. A packet queue empties itself when a put would go past
//    aPACKETFIFO_MAXPACKETS, so the traffic moves in windows with at most two in flight; each
//    outbound window ends with a marker packet that the module echoes.
//    Inbound also reports the CPU time (user + system) of this process per packet, and the
//    packet queue's own floor: the same packets put by one thread and awaited by another.
// 3. Idle CPU: user+sys time of this process while one link sits open, over TCP and over a
//    COBS-framed pty.
// 4. The goals, each beside its figure. Every figure is the median of kRepeats runs.
//
// Every module program is a process of its own (its CPU time is not this process's), and each
// measurement gets a fresh one. All traffic stays on 127.0.0.1 and on ptys. Figures only: no
// pass or fail beyond "the measurement could not run".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "bench_support.h"
#include "sim_module_process.h"

namespace {

using bench::failed;
using bench::Measure;
using bench::secondsSince;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kAddress = 2;         // the module program's default address
constexpr uint8_t kEchoCommand = 23;    // the module echoes packets with this first data byte
constexpr uint8_t kSinkCommand = 0x10;  // no handler in the module: taken without answer
// Round-trip request: 8 data bytes, 10 bytes on the wire.
constexpr uint8_t kRequestData[] = {kEchoCommand, 1, 2, 3, 4, 5, 6, 7};
// Throughput packets [A][3][command][index high][index low], the shape of the module's flood.
constexpr uint8_t kStreamDataLength = 3;
constexpr size_t kStreamWireBytes = kStreamDataLength + 2;

// Packets per window; two windows and their markers stay below the queues' limit.
constexpr size_t kWindow = 400;
static_assert(2 * (kWindow + 1) < aPACKETFIFO_MAXPACKETS, "two windows must fit in a queue");

constexpr uint64_t kReplyTimeoutMs = 2000;  // ms for one expected packet; only reached on failure
constexpr int kReplyTimeoutMsInt = static_cast<int>(kReplyTimeoutMs);
constexpr auto kPhaseLimit = std::chrono::seconds(60);  // a measurement ends early after this
constexpr uint32_t kSerialBaud = 115200;
constexpr uint32_t kFirstSerialNumber = 0x00B0E000;  // one per link, so no link is reused
constexpr size_t kRawReadChunk = 65536;              // bytes per raw-socket read
constexpr int kRepeats = 3;                          // runs per figure; the median is printed

// The goals of the summary.
constexpr double kGoalTripToFloor = 0.85;  // link round trip rate / hand-off floor
constexpr double kGoalInbound = 0.5;       // inbound pooled link / raw reads of 64 KiB
constexpr double kGoalOutbound = 0.8;      // outbound pooled link / raw one write per window
constexpr double kGoalIdlePercent = 0.05;  // % of one core for one idle link
struct Settings {
  uint64_t roundTrips;
  uint64_t packets;  // per throughput measurement
  int idleMs;        // per idle link
};
constexpr Settings kFullRun{20000, 200000, 5000};
constexpr Settings kQuickRun{2000, 20000, 2000};

const char kUsage[] =
    "usage: bench_link [--quick]\n"
    "Round trips, packet throughput and idle CPU of core links over 127.0.0.1 and a pty,\n"
    "against kv_sim_module, beside raw-socket baselines. --quick: shorter runs.\n";

// One packet as it travels: [address][length][data].
struct Wire {
  uint8_t bytes[aPACKETMAXBYTES] = {};
  size_t size = 0;
};

Wire streamPacket(uint8_t command, uint16_t index) {
  Wire wire;
  const uint8_t bytes[kStreamWireBytes] = {kAddress, kStreamDataLength, command,
                                           static_cast<uint8_t>(index >> 8),
                                           static_cast<uint8_t>(index)};
  std::memcpy(wire.bytes, bytes, sizeof bytes);
  wire.size = sizeof bytes;
  return wire;
}

bool isStreamPacket(const Wire& wire, uint8_t command, uint16_t index) {
  const Wire expected = streamPacket(command, index);
  return wire.size == expected.size && std::memcmp(wire.bytes, expected.bytes, wire.size) == 0;
}

Wire requestPacket() {
  Wire wire;
  wire.bytes[0] = kAddress;
  wire.bytes[1] = sizeof kRequestData;
  std::memcpy(wire.bytes + 2, kRequestData, sizeof kRequestData);
  wire.size = sizeof kRequestData + 2;
  return wire;
}

// --- the two paths: a core link and a raw socket ---------------------------------------------

class Module {
 public:
  explicit Module(const std::vector<std::string>& arguments) : process_(arguments) {}
  bool ready() const { return process_.ready(); }
  std::string error() const { return "module program: " + process_.error(); }
  kvsim::SimModuleProcess& process() { return process_; }
  bool flood(size_t count) { return process_.command("FLOOD " + std::to_string(count)); }

 private:
  kvsim::SimModuleProcess process_;
};

// The module program as a TCP module on 127.0.0.1 that echoes kEchoCommand; throughput modules
// write everything they have ready in one go, so that their own write calls do not set the pace.
std::vector<std::string> tcpModuleArguments(bool coalesce) {
  std::vector<std::string> arguments{"--tcp", "0", "--echo", std::to_string(kEchoCommand)};
  if (coalesce) arguments.push_back("--coalesce");
  return arguments;
}

uint32_t nextSerialNumber() {
  static uint32_t serial = kFirstSerialNumber;
  return serial++;
}

// A core link held for one measurement.
class LinkPath {
 public:
  explicit LinkPath(uint32_t id) : id_(id) {}
  ~LinkPath() {
    if (id_ != 0) aLink_Destroy(&id_);
  }
  LinkPath(const LinkPath&) = delete;
  LinkPath& operator=(const LinkPath&) = delete;

  static std::unique_ptr<LinkPath> overTcp(int port) {
    return std::make_unique<LinkPath>(
        aLink_CreateTCPIP(nextSerialNumber(), htonl(INADDR_LOOPBACK), static_cast<uint16_t>(port)));
  }
  static std::unique_ptr<LinkPath> overSerial(const std::string& pty) {
    return std::make_unique<LinkPath>(
        aLink_CreateSerial(nextSerialNumber(), pty.c_str(), kSerialBaud));
  }

  bool ok() const { return id_ != 0; }
  uint32_t id() const { return id_; }
  bool pool(bool on) { return aLink_EnablePooledPackets(id_, on) == aErrNone; }

  // A caller's put: a packet made, put (the link copies it) and freed.
  bool put(const Wire& wire) {
    aPacket* packet = aPacket_CreateWithData(wire.bytes[0], wire.bytes[1], wire.bytes + 2);
    if (packet == nullptr) return false;
    const aErr put = aLink_PutPacket(id_, packet);
    aPacket_Destroy(&packet);
    return put == aErrNone;
  }
  bool flush() { return true; }  // the link's writer sends on its own
  bool await(Wire* wire) {
    aPacket* packet = aLink_AwaitPacket(id_, kReplyTimeoutMs);
    if (packet == nullptr) return false;
    const aErr got = aPacket_GetBytes(packet, wire->bytes, sizeof wire->bytes, &wire->size);
    aPacket_Destroy(&packet);
    return got == aErrNone;
  }

 private:
  uint32_t id_;
};

// A plain TCP client on 127.0.0.1 with the link's socket options (TCP_NODELAY), writing each
// packet at once or a whole window in one write, and cutting what it reads into packets.
class RawPath {
 public:
  RawPath(int port, bool writePerPacket) : perPacket_(writePerPacket) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    int one = 1;
    if (fd_ >= 0 && (setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
                     connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)) {
      close(fd_);
      fd_ = -1;
    }
    in_.resize(kRawReadChunk);
  }
  ~RawPath() {
    if (fd_ >= 0) close(fd_);
  }
  RawPath(const RawPath&) = delete;
  RawPath& operator=(const RawPath&) = delete;

  bool ok() const { return fd_ >= 0; }

  bool put(const Wire& wire) {
    if (perPacket_) return sendAll(wire.bytes, wire.size);
    out_.insert(out_.end(), wire.bytes, wire.bytes + wire.size);
    return true;
  }
  bool flush() {
    const bool sent = out_.empty() || sendAll(out_.data(), out_.size());
    out_.clear();
    return sent;
  }
  // Waits up to timeoutMs (-1: until the socket is shut down) for each receive.
  bool await(Wire* wire, int timeoutMs = kReplyTimeoutMsInt) {
    for (;;) {
      while (head_ < tail_ && in_[head_] == 0) ++head_;  // padding between packets
      if (tail_ - head_ >= 2 && in_[head_ + 1] <= aPACKETMAXDATA) {
        const size_t size = in_[head_ + 1] + 2u;
        if (tail_ - head_ >= size) {
          std::memcpy(wire->bytes, &in_[head_], size);
          wire->size = size;
          head_ += size;
          return true;
        }
      } else if (tail_ - head_ >= 2) {
        return false;  // not a packet: the stream is out of step
      }
      if (!fill(timeoutMs)) return false;
    }
  }
  void shutdownRead() {
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
  }

 private:
  bool sendAll(const uint8_t* data, size_t size) {
    while (size > 0) {
      const ssize_t sent = send(fd_, data, size, MSG_NOSIGNAL);
      if (sent <= 0) return false;
      data += sent;
      size -= static_cast<size_t>(sent);
    }
    return true;
  }
  bool fill(int timeoutMs) {
    if (head_ > 0) {  // keep the partial packet at the front
      std::memmove(in_.data(), in_.data() + head_, tail_ - head_);
      tail_ -= head_;
      head_ = 0;
    }
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0) return false;
    const ssize_t got = recv(fd_, in_.data() + tail_, in_.size() - tail_, 0);
    if (got <= 0) return false;
    tail_ += static_cast<size_t>(got);
    return true;
  }

  int fd_ = -1;
  bool perPacket_;
  std::vector<uint8_t> out_;
  std::vector<uint8_t> in_;
  size_t head_ = 0;
  size_t tail_ = 0;
};

// The link's thread shape without its per-byte work: puts go through a locked queue to a
// writer thread that sends each packet, a reader thread blocks in poll, cuts what one receive
// gives into packets and hands them through a second locked queue to the caller.
class HandoffPath {
 public:
  explicit HandoffPath(int port) : raw_(port, true) {
    if (!raw_.ok()) return;
    writer_ = std::thread([this] { writeLoop(); });
    reader_ = std::thread([this] { readLoop(); });
  }
  ~HandoffPath() {
    {
      std::lock_guard<std::mutex> hold(outLock_);
      stop_ = true;
    }
    outReady_.notify_one();
    if (writer_.joinable()) writer_.join();
    raw_.shutdownRead();  // ends the reader's poll
    if (reader_.joinable()) reader_.join();
  }
  HandoffPath(const HandoffPath&) = delete;
  HandoffPath& operator=(const HandoffPath&) = delete;

  bool ok() const { return raw_.ok(); }
  bool put(const Wire& wire) {
    {
      std::lock_guard<std::mutex> hold(outLock_);
      out_.push_back(wire);
    }
    outReady_.notify_one();
    return true;
  }
  bool flush() { return true; }
  bool await(Wire* wire) {
    std::unique_lock<std::mutex> hold(inLock_);
    if (!inReady_.wait_for(hold, std::chrono::milliseconds(kReplyTimeoutMs),
                           [this] { return !in_.empty(); }))
      return false;
    *wire = in_.front();
    in_.pop_front();
    return true;
  }

 private:
  void writeLoop() {
    std::unique_lock<std::mutex> hold(outLock_);
    for (;;) {
      outReady_.wait(hold, [this] { return stop_ || !out_.empty(); });
      if (stop_) return;
      Wire wire = out_.front();
      out_.pop_front();
      hold.unlock();
      raw_.put(wire);
      hold.lock();
    }
  }
  void readLoop() {
    Wire wire;
    while (raw_.await(&wire, -1)) {
      {
        std::lock_guard<std::mutex> hold(inLock_);
        in_.push_back(wire);
      }
      inReady_.notify_one();
    }
  }

  RawPath raw_;
  std::mutex outLock_;
  std::condition_variable outReady_;
  std::deque<Wire> out_;
  bool stop_ = false;
  std::mutex inLock_;
  std::condition_variable inReady_;
  std::deque<Wire> in_;
  std::thread writer_;
  std::thread reader_;
};

// --- the measurements, the same for every path ------------------------------------------------

template <class Path>
bool roundTrip(Path& path, const Wire& request) {
  Wire reply;
  return path.put(request) && path.flush() && path.await(&reply) && reply.size == request.size &&
         std::memcmp(reply.bytes, request.bytes, request.size) == 0;
}

template <class Path>
Measure measureRoundTrips(Path& path, uint64_t count) {
  const Wire request = requestPacket();
  if (!roundTrip(path, request)) return failed("no echo for the first request");
  Measure m;
  const auto start = Clock::now();
  for (; m.count < count && Clock::now() - start < kPhaseLimit; ++m.count)
    if (!roundTrip(path, request)) return failed("no echo after " + std::to_string(m.count));
  m.seconds = secondsSince(start);
  m.ok = true;
  return m;
}

// Windows of packets, each followed by a marker that the module echoes; the marker of window w
// is awaited after window w + 1 has been put, so at most two windows are on their way.
// The caller's own time in its puts, in microseconds per packet, of the last outbound run.
thread_local double lastPutMicrosPerPacket = 0;

template <class Path>
Measure measureOutbound(Path& path, uint64_t total) {
  const Wire request = requestPacket();
  if (!roundTrip(path, request)) return failed("no echo for the first request");
  auto awaitMarker = [&path](uint16_t window) {
    Wire wire;
    return path.await(&wire) && isStreamPacket(wire, kEchoCommand, window);
  };
  Measure m;
  const auto start = Clock::now();
  Clock::duration inPuts{};
  uint16_t window = 0;
  for (;; ++window) {
    const uint64_t size = std::min<uint64_t>(kWindow, total - m.count);
    const auto putsStart = Clock::now();
    for (uint64_t i = 0; i < size; ++i)
      if (!path.put(streamPacket(kSinkCommand, static_cast<uint16_t>(i))))
        return failed("put failed after " + std::to_string(m.count + i));
    if (!path.put(streamPacket(kEchoCommand, window)) || !path.flush())
      return failed("marker put failed");
    inPuts += Clock::now() - putsStart;
    m.count += size;
    if (window > 0 && !awaitMarker(static_cast<uint16_t>(window - 1)))
      return failed("marker " + std::to_string(window - 1) + " not echoed");
    if (m.count >= total || Clock::now() - start >= kPhaseLimit) break;
  }
  if (!awaitMarker(window)) return failed("last marker not echoed");
  m.seconds = secondsSince(start);
  m.ok = true;
  lastPutMicrosPerPacket =
      std::chrono::duration<double, std::micro>(inPuts).count() / static_cast<double>(m.count);
  return m;
}

// The module floods windows of packets; the next window is asked for once one is taken in,
// so at most two are on their way.
template <class Path>
Measure measureInbound(Path& path, Module& module, uint64_t total) {
  const Wire request = requestPacket();
  if (!roundTrip(path, request)) return failed("no echo for the first request");
  Measure m;
  uint64_t asked = 0;
  auto ask = [&]() {
    const uint64_t size = std::min<uint64_t>(kWindow, total - asked);
    asked += size;
    return size == 0 || module.flood(size);
  };
  const auto start = Clock::now();
  if (!ask() || !ask()) return failed("FLOOD refused");
  while (m.count < asked) {
    const uint64_t windowEnd = std::min<uint64_t>(asked, (m.count / kWindow + 1) * kWindow);
    for (uint16_t index = 0; m.count < windowEnd; ++index, ++m.count) {
      Wire wire;
      if (!path.await(&wire) || !isStreamPacket(wire, kvsim::kFloodCommand, index))
        return failed("flood packet " + std::to_string(m.count) + " missing");
    }
    if (Clock::now() - start < kPhaseLimit && !ask()) return failed("FLOOD refused");
  }
  m.seconds = secondsSince(start);
  m.ok = true;
  return m;
}

// --- runs: a fresh module and path for each figure ---------------------------------------------

enum class Kind { Link, LinkPooled, RawPerPacket, RawPerWindow, Handoff };

template <class Run>
Measure overTcp(Kind kind, bool coalesce, Run run) {
  Module module(tcpModuleArguments(coalesce));
  if (!module.ready()) return failed(module.error());
  if (kind == Kind::Link || kind == Kind::LinkPooled) {
    auto link = LinkPath::overTcp(module.process().port());
    if (!link->ok()) return failed("aLink_CreateTCPIP failed");
    if (kind == Kind::LinkPooled && !link->pool(true)) return failed("pooling refused");
    return run(*link, module);
  }
  if (kind == Kind::Handoff) {
    HandoffPath handoff(module.process().port());
    if (!handoff.ok()) return failed("cannot connect to the module");
    return run(handoff, module);
  }
  RawPath raw(module.process().port(), kind == Kind::RawPerPacket);
  if (!raw.ok()) return failed("cannot connect to the module");
  return run(raw, module);
}

// The figure of a run: a Measure itself, or the `rate` of a run that carries more.
const Measure& figureOf(const Measure& m) { return m; }
template <class Run>
const Measure& figureOf(const Run& run) {
  return run.rate;
}

// The median of kRepeats runs of one figure (by rate); a failed run is the figure.
template <class Run>
auto median(Run run) {
  using Result = decltype(run());
  std::vector<Result> runs;
  for (int i = 0; i < kRepeats; ++i) {
    runs.push_back(run());
    if (!figureOf(runs.back()).ok) return runs.back();
  }
  std::sort(runs.begin(), runs.end(), [](const Result& a, const Result& b) {
    return figureOf(a).rate() < figureOf(b).rate();
  });
  return runs[runs.size() / 2];
}

double cpuMicros() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
         usage.ru_stime.tv_usec;
}

Measure roundTrips(Kind kind, uint64_t count) {
  return median([&] {
    return overTcp(kind, false,
                   [count](auto& path, Module&) { return measureRoundTrips(path, count); });
  });
}

// Outbound, with the caller's time in its puts per packet (for the raw path its puts and its
// one send per window).
struct Outbound {
  Measure rate;
  double putMicrosPerPacket = 0;
};
Outbound outbound(Kind kind, uint64_t total) {
  return median([&] {
    Outbound run;
    run.rate =
        overTcp(kind, true, [total](auto& path, Module&) { return measureOutbound(path, total); });
    run.putMicrosPerPacket = lastPutMicrosPerPacket;
    return run;
  });
}

// Inbound, with this process's CPU time (user + system) per packet.
struct Inbound {
  Measure rate;
  double cpuPerPacketUs = 0;
};
Inbound inbound(Kind kind, uint64_t total) {
  return median([&] {
    Inbound run;
    run.rate = overTcp(kind, true, [&run, total](auto& path, Module& module) {
      const double start = cpuMicros();
      Measure measured = measureInbound(path, module, total);
      if (measured.ok && measured.count > 0)
        run.cpuPerPacketUs = (cpuMicros() - start) / static_cast<double>(measured.count);
      return measured;
    });
    return run;
  });
}

// The packet queue alone: one thread puts the inbound packets, another awaits them, in windows
// of kWindow as the link's input queue sees them (a queue empties itself past its bound).
Measure queueFloor(uint64_t total) {
  return median([total] {
    uint64_t queue = aPacketFifo_Create();
    if (queue == 0) return failed("no queue");
    std::atomic<uint64_t> taken{0};
    std::atomic<bool> lost{false};
    const auto start = Clock::now();
    std::thread consumer([&] {
      for (uint64_t i = 0; i < total; ++i) {
        aPacket* packet = aPacketFifo_Await(queue, kReplyTimeoutMs);
        if (packet == nullptr) {
          lost = true;
          return;
        }
        aPacket_Destroy(&packet);
        taken.store(i + 1, std::memory_order_release);
      }
    });
    const Wire wire = streamPacket(kvsim::kFloodCommand, 0);
    aPacket* packet = aPacket_CreateWithData(wire.bytes[0], wire.bytes[1], wire.bytes + 2);
    for (uint64_t put = 0; put < total && packet != nullptr && !lost; ++put) {
      // At most two windows queued, as in the inbound measurement.
      while (put - taken.load(std::memory_order_acquire) >= 2 * kWindow && !lost)
        std::this_thread::yield();
      aPacketFifo_Put(queue, packet);
    }
    consumer.join();
    Measure m;
    m.seconds = secondsSince(start);
    m.count = taken.load();
    m.ok = !lost && packet != nullptr;
    if (packet != nullptr) aPacket_Destroy(&packet);
    aPacketFifo_Destroy(&queue);
    if (!m.ok) return failed("packets lost in the queue");
    return m;
  });
}

struct IdleCost {
  Measure wall;  // seconds idle
  double userMs = 0;
  double systemMs = 0;
};

double rusageMs(const timeval& time) { return time.tv_sec * 1e3 + time.tv_usec / 1e3; }

// CPU time of this process while the link sits open and nothing is sent; the caller's thread
// sleeps, so what is counted is the link's reader and writer.
IdleCost idleCost(LinkPath& link, int idleMs) {
  IdleCost cost;
  if (!link.ok()) {
    cost.wall = failed("link not made");
    return cost;
  }
  if (!roundTrip(link, requestPacket())) {
    cost.wall = failed("no echo over the link");
    return cost;
  }
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(idleMs));
  getrusage(RUSAGE_SELF, &after);
  cost.wall.seconds = secondsSince(start);
  cost.wall.ok = true;
  cost.userMs = rusageMs(after.ru_utime) - rusageMs(before.ru_utime);
  cost.systemMs = rusageMs(after.ru_stime) - rusageMs(before.ru_stime);
  return cost;
}

IdleCost idleTcp(int idleMs) {
  Module module(tcpModuleArguments(false));
  if (!module.ready()) return {failed(module.error())};
  auto link = LinkPath::overTcp(module.process().port());
  return idleCost(*link, idleMs);
}

IdleCost idleSerial(int idleMs) {
  Module module({"--pty", "--cobs", "--echo", std::to_string(kEchoCommand)});
  if (!module.ready()) return {failed(module.error())};
  auto link = LinkPath::overSerial(module.process().ptyPath());
  return idleCost(*link, idleMs);
}

// --- printing -----------------------------------------------------------------------------

void printRate(const char* label, const Measure& m, const Measure* baseline, const char* against,
               bool withMicros) {
  if (!m.ok) {
    std::printf("  %-34s failed: %s\n", label, m.failure.c_str());
  } else {
    std::printf("  %-34s %9llu %8.3f %12.0f", label, static_cast<unsigned long long>(m.count),
                m.seconds, m.rate());
    if (withMicros) std::printf(" %8.1f", m.rate() > 0 ? 1e6 / m.rate() : 0.0);
    if (baseline != nullptr && baseline->ok && baseline->rate() > 0)
      std::printf(" %8.2f%s%s", m.rate() / baseline->rate(), *against != '\0' ? "  " : "", against);
    std::printf("\n");
  }
  std::fflush(stdout);
}

double idlePercent(const IdleCost& cost) {
  if (!cost.wall.ok || cost.wall.seconds <= 0) return 0;
  return 100.0 * (cost.userMs + cost.systemMs) / (cost.wall.seconds * 1e3);
}

void printIdle(const char* label, const IdleCost& cost) {
  if (!cost.wall.ok) {
    std::printf("  %-34s failed: %s\n", label, cost.wall.failure.c_str());
  } else {
    const double busyMs = cost.userMs + cost.systemMs;
    std::printf("  %-34s %8.2f %9.1f %8.1f %12.3f %%\n", label, cost.wall.seconds, cost.userMs,
                cost.systemMs, 100.0 * busyMs / (cost.wall.seconds * 1e3));
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  const int ended =
      bench::startRun(argc, argv, kUsage, "bench_link: core links against kv_sim_module",
                      KV_BENCH_BUILD_TYPE, &quick);
  if (ended >= 0) return ended;
  const Settings settings = quick ? kQuickRun : kFullRun;

  std::printf(
      "\n1. Request/reply round trips over TCP, 127.0.0.1; request %zu bytes on the wire,\n"
      "   echoed by the module program; raw: plain socket, same bytes, same program\n",
      requestPacket().size);
  std::printf("  %-34s %9s %8s %12s %8s %8s\n", "path", "trips", "seconds", "trips/s", "us/trip",
              "link/raw");
  const Measure rawTrips = roundTrips(Kind::RawPerPacket, settings.roundTrips);
  printRate("raw socket ping-pong", rawTrips, nullptr, "", true);
  const Measure floorTrips = roundTrips(Kind::Handoff, settings.roundTrips);
  printRate("hand-off floor (link's threads)", floorTrips, &rawTrips, "", true);
  const Measure linkTrips = roundTrips(Kind::Link, settings.roundTrips);
  printRate("link: PutPacket + AwaitPacket", linkTrips, &rawTrips, "", true);

  std::printf(
      "\n2. Packet throughput over TCP, 127.0.0.1; %zu-byte packets in windows of %zu,\n"
      "   two at most in flight; out: taken by the module program, in: its FLOOD (all\n"
      "   it has ready in one write); raw: plain socket, same bytes, same program\n",
      kStreamWireBytes, kWindow);
  std::printf("  %-34s %9s %8s %12s %8s\n", "path", "packets", "seconds", "packets/s", "link/raw");
  const Measure rawOutSingle = outbound(Kind::RawPerPacket, settings.packets).rate;
  printRate("out  raw, one write per packet", rawOutSingle, nullptr, "", false);
  const Outbound rawOutbound = outbound(Kind::RawPerWindow, settings.packets);
  const Measure& rawOutWindow = rawOutbound.rate;
  printRate("out  raw, one write per window", rawOutWindow, nullptr, "", false);
  const Measure linkOut = outbound(Kind::Link, settings.packets).rate;
  printRate("out  link, unpooled", linkOut, &rawOutSingle, "(to one write per packet)", false);
  const Outbound linkOutbound = outbound(Kind::LinkPooled, settings.packets);
  const Measure& linkOutPooled = linkOutbound.rate;
  printRate("out  link, pooled", linkOutPooled, &rawOutWindow, "(to one write per window)", false);
  std::printf(
      "  caller's own time per outbound packet, pooled: raw %.3f us (append; one send per"
      " window), link %.3f us (aLink_PutPacket)\n",
      rawOutbound.putMicrosPerPacket, linkOutbound.putMicrosPerPacket);
  const Inbound rawInbound = inbound(Kind::RawPerPacket, settings.packets);
  const Measure& rawIn = rawInbound.rate;
  printRate("in   raw, reads of 64 KiB", rawIn, nullptr, "", false);
  const Inbound linkInbound = inbound(Kind::Link, settings.packets);
  const Measure& linkIn = linkInbound.rate;
  printRate("in   link, unpooled", linkIn, &rawIn, "", false);
  const Inbound linkInboundPooled = inbound(Kind::LinkPooled, settings.packets);
  const Measure& linkInPooled = linkInboundPooled.rate;
  printRate("in   link, pooled", linkInPooled, &rawIn, "", false);
  const Measure queue = queueFloor(settings.packets);
  printRate("in   queue floor (put -> await)", queue, &rawIn, "(two threads on one queue)", false);
  std::printf(
      "  CPU of this process per inbound packet (user + system): raw %.2f us, link %.2f us,"
      " link pooled %.2f us\n",
      rawInbound.cpuPerPacketUs, linkInbound.cpuPerPacketUs, linkInboundPooled.cpuPerPacketUs);

  std::printf(
      "\n3. CPU time of one idle open link: user+sys of this process (getrusage) while\n"
      "   it sleeps; goal under %.2f%% of one core\n",
      kGoalIdlePercent);
  std::printf("  %-34s %8s %9s %8s %14s\n", "link", "seconds", "user ms", "sys ms", "of one core");
  const IdleCost tcp = idleTcp(settings.idleMs);
  printIdle("TCP, 127.0.0.1", tcp);
  const IdleCost serial = idleSerial(settings.idleMs);
  printIdle("serial pty, COBS, 115200 baud", serial);

  std::printf("\n4. Goals (each figure beside its goal)\n");
  std::printf("  %-52s %9s %9s %5s\n", "figure", "measured", "goal", "met");
  auto ratio = [](const Measure& a, const Measure& b) {
    return a.ok && b.ok && b.rate() > 0 ? a.rate() / b.rate() : 0.0;
  };
  auto goal = [](const char* label, double value, double target, bool atLeast) {
    const bool met = atLeast ? value >= target : value < target;
    std::printf("  %-52s %9.3f %s%8.3f %5s\n", label, value, atLeast ? ">" : "<", target,
                met ? "yes" : "NO");
  };
  goal("round trip, link / hand-off floor", ratio(linkTrips, floorTrips), kGoalTripToFloor, true);
  std::printf("  %-52s %9.3f\n", "  (round trip, link / raw ping-pong)",
              ratio(linkTrips, rawTrips));
  goal("inbound, link pooled / raw reads of 64 KiB", ratio(linkInPooled, rawIn), kGoalInbound,
       true);
  goal("outbound pooled, link / raw one write per window", ratio(linkOutPooled, rawOutWindow),
       kGoalOutbound, true);
  goal("idle TCP link, % of one core", idlePercent(tcp), kGoalIdlePercent, false);
  goal("idle serial (COBS, pty) link, % of one core", idlePercent(serial), kGoalIdlePercent, false);

  const Measure* all[] = {&rawTrips, &floorTrips,    &linkTrips,  &rawOutSingle, &rawOutWindow,
                          &linkOut,  &linkOutPooled, &rawIn,      &linkIn,       &linkInPooled,
                          &queue,    &tcp.wall,      &serial.wall};
  const bool allRan =
      std::all_of(std::begin(all), std::end(all), [](const Measure* m) { return m->ok; });
  return allRan ? 0 : 1;
}
