// bench_broker: the cost of sharing a module through the broker on this machine, each figure
// beside a floor measured in the same run.
//
//   bench_broker [--quick]
//
// 1. Round trips: a request put on a broker-client link in this process and its answer
//    awaited, through the broker of the share tool (kv_share_tool, a process of its own) to the
//    stand-in module program over TCP loopback. Beside it the floor: a direct TCP/IP link's
//    round trip to the same kind of module program, plus a bare ZeroMQ DEALER->ROUTER echo
//    round trip (the ROUTER in a process of its own), plus one in-process relay hop (a frame
//    from one thread through a relay thread and back, over in-process DEALER pairs). The
//    ratio broker / floor has the goal of 1.2 at most. For the breakdown, a broker-client link
//    against the echo ROUTER shows the client side's own share.
// 2. Idle CPU of the share tool's process while two broker clients of this process sit
//    connected and send nothing: the run time of each of its threads (the kernel's per-thread
//    scheduler clock) over the idle time; the goal is under 0.1% of one core.
//
// All traffic stays on 127.0.0.1 and in-process endpoints. Figures only: no pass or fail beyond
// "the measurement could not run".
#include <arpa/inet.h>
#include <czmq.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aPacket.h"
#include "bench_support.h"
#include "share_process.h"
#include "sim_module_process.h"

namespace {

using bench::failed;
using bench::Measure;
using bench::secondsSince;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kSerial = 0x0B0CE001;
constexpr uint8_t kAddress = 4;
constexpr uint8_t kEchoCommand = 23;  // the module program echoes such packets
// Round-trip request: 8 data bytes, 10 bytes on the wire (a frame of 10 bytes to the broker).
constexpr uint8_t kRequestData[] = {kEchoCommand, 1, 2, 3, 4, 5, 6, 7};
constexpr size_t kRequestWireBytes = sizeof kRequestData + 2;

constexpr uint64_t kReplyTimeoutMs = 2000;  // ms for one answer; only reached on failure
constexpr int kReplyTimeoutMsInt = static_cast<int>(kReplyTimeoutMs);
constexpr auto kPhaseLimit = std::chrono::seconds(60);  // a measurement ends early after this
constexpr int kIdleClients = 2;
constexpr int kWarmUpTrips = 100;   // round trips before each measurement
constexpr int kRouterPollMs = 200;  // the echo ROUTER's wait, after which it checks its parent
constexpr size_t kPortTextBytes = 16;
constexpr size_t kEndpointBytes = 256;
constexpr const char kStopFrame[] = "stop";
constexpr uint8_t kControlAddress = 0xAF;  // force-route packets a link sends as it starts

struct Settings {
  uint64_t roundTrips;
  int idleMs;
};
constexpr Settings kFullRun{20000, 10000};
constexpr Settings kQuickRun{2000, 3000};

const char kUsage[] =
    "usage: bench_broker [--quick]\n"
    "Round trips through the sharing broker (kv_share_tool) to kv_sim_module over 127.0.0.1\n"
    "beside a floor from the same run, and the broker process's idle CPU with two clients.\n"
    "--quick: shorter runs.\n";

std::string Hex(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

std::vector<std::string> ModuleArguments() {
  return {"--tcp", "0", "--serial", Hex(kSerial), "--address", std::to_string(kAddress), "--uei"};
}

// --- the echo ROUTER, a process of its own ---------------------------------------------------

// Runs in the child made at the very start, before this process has made any thread or
// ZeroMQ context: echoes every frame to its sender until the stop frame or the parent's end.
[[noreturn]] void RunEchoRouter(int portPipe) {
  void* context = zmq_ctx_new();
  void* router = zmq_socket(context, ZMQ_ROUTER);
  const int linger = 0;
  zmq_setsockopt(router, ZMQ_LINGER, &linger, sizeof linger);
  char endpoint[kEndpointBytes] = {};
  size_t size = sizeof endpoint;
  if (zmq_bind(router, "tcp://127.0.0.1:*") != 0 ||
      zmq_getsockopt(router, ZMQ_LAST_ENDPOINT, endpoint, &size) != 0) {
    _exit(1);
  }
  const char* colon = std::strrchr(endpoint, ':');
  const std::string port = colon != nullptr ? colon + 1 : "0";
  if (write(portPipe, port.c_str(), port.size()) < 0) _exit(1);
  close(portPipe);
  const pid_t parent = getppid();
  for (;;) {
    zmq_pollitem_t item{router, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, kRouterPollMs) <= 0) {
      if (getppid() != parent) break;
      continue;
    }
    zmq_msg_t identity;
    zmq_msg_t content;
    zmq_msg_init(&identity);
    zmq_msg_init(&content);
    if (zmq_msg_recv(&identity, router, 0) < 0 || zmq_msg_recv(&content, router, 0) < 0) break;
    const bool stop = zmq_msg_size(&content) == sizeof kStopFrame - 1 &&
                      std::memcmp(zmq_msg_data(&content), kStopFrame, sizeof kStopFrame - 1) == 0;
    if (stop) break;
    // Link control packets (force-route) get no answer, as from the broker.
    const bool control = zmq_msg_size(&content) > 0 &&
                         static_cast<const uint8_t*>(zmq_msg_data(&content))[0] == kControlAddress;
    if (control) {
      zmq_msg_close(&identity);
      zmq_msg_close(&content);
      continue;
    }
    zmq_msg_send(&identity, router, ZMQ_SNDMORE);
    zmq_msg_send(&content, router, 0);
  }
  zmq_close(router);
  zmq_ctx_term(context);
  _exit(0);
}

struct EchoRouter {
  pid_t pid = -1;
  uint16_t port = 0;
};

EchoRouter StartEchoRouter() {
  EchoRouter router;
  int fds[2];
  if (pipe(fds) != 0) return router;
  router.pid = fork();
  if (router.pid == 0) {
    close(fds[0]);
    RunEchoRouter(fds[1]);
  }
  close(fds[1]);
  char text[kPortTextBytes] = {};
  pollfd watched{fds[0], POLLIN, 0};
  if (router.pid > 0 && poll(&watched, 1, kReplyTimeoutMsInt) > 0 &&
      read(fds[0], text, sizeof text - 1) > 0) {
    router.port = static_cast<uint16_t>(std::atoi(text));
  }
  close(fds[0]);
  return router;
}

void StopEchoRouter(const EchoRouter& router) {
  if (router.pid <= 0) return;
  kill(router.pid, SIGTERM);
  waitpid(router.pid, nullptr, 0);
}

// --- the paths ---------------------------------------------------------------------------------

class LinkPath {
 public:
  explicit LinkPath(uint32_t id) : id_(id) {}
  ~LinkPath() {
    if (id_ != 0) aLink_Destroy(&id_);
  }
  LinkPath(const LinkPath&) = delete;
  LinkPath& operator=(const LinkPath&) = delete;

  bool ok() const { return id_ != 0; }
  bool roundTrip() {
    aPacket* request = aPacket_CreateWithData(kAddress, sizeof kRequestData, kRequestData);
    if (request == nullptr) return false;
    const aErr put = aLink_PutPacket(id_, request);
    aPacket_Destroy(&request);
    if (put != aErrNone) return false;
    aPacket* answer = aLink_AwaitPacket(id_, kReplyTimeoutMs);
    if (answer == nullptr) return false;
    const bool echoed = answer->dataSize == sizeof kRequestData &&
                        std::memcmp(answer->data, kRequestData, sizeof kRequestData) == 0;
    aPacket_Destroy(&answer);
    return echoed;
  }

 private:
  uint32_t id_;
};

// A DEALER of a context of its own, connected to the echo ROUTER.
class ZmqPath {
 public:
  explicit ZmqPath(uint16_t port) : context_(zmq_ctx_new()) {
    socket_ = zmq_socket(context_, ZMQ_DEALER);
    const int linger = 0;
    zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
    ok_ = zmq_connect(socket_, ("tcp://127.0.0.1:" + std::to_string(port)).c_str()) == 0;
  }
  ~ZmqPath() {
    zmq_close(socket_);
    zmq_ctx_term(context_);
  }
  ZmqPath(const ZmqPath&) = delete;
  ZmqPath& operator=(const ZmqPath&) = delete;

  bool ok() const { return ok_; }
  bool roundTrip() {
    uint8_t frame[kRequestWireBytes] = {kAddress, sizeof kRequestData};
    std::memcpy(frame + 2, kRequestData, sizeof kRequestData);
    if (zmq_send(socket_, frame, sizeof frame, 0) != static_cast<int>(sizeof frame)) return false;
    zmq_pollitem_t item{socket_, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, kReplyTimeoutMsInt) <= 0) return false;
    uint8_t answer[kRequestWireBytes + 1];
    return zmq_recv(socket_, answer, sizeof answer, 0) == static_cast<int>(sizeof frame);
  }

 private:
  void* context_;
  void* socket_ = nullptr;
  bool ok_ = false;
};

// A frame from this thread through a relay thread and back, over two in-process DEALER pairs,
// with the relay waiting in a poller as the client stream's does.
class RelayPath {
 public:
  RelayPath() {
    toRelay_ = zsock_new(ZMQ_DEALER);
    relayIn_ = zsock_new(ZMQ_DEALER);
    relayOut_ = zsock_new(ZMQ_DEALER);
    fromRelay_ = zsock_new(ZMQ_DEALER);
    ok_ = toRelay_ != nullptr && relayIn_ != nullptr && relayOut_ != nullptr &&
          fromRelay_ != nullptr && zsock_bind(toRelay_, "inproc://bench-relay-out") == 0 &&
          zsock_connect(relayIn_, "inproc://bench-relay-out") == 0 &&
          zsock_bind(fromRelay_, "inproc://bench-relay-in") == 0 &&
          zsock_connect(relayOut_, "inproc://bench-relay-in") == 0;
    poller_ = zpoller_new(fromRelay_, nullptr);
    if (ok_) relay_ = std::thread([this] { relay(); });
  }
  ~RelayPath() {
    if (relay_.joinable()) {
      zstr_send(toRelay_, kStopFrame);
      relay_.join();
    }
    zpoller_destroy(&poller_);
    zsock_destroy(&toRelay_);
    zsock_destroy(&relayIn_);
    zsock_destroy(&relayOut_);
    zsock_destroy(&fromRelay_);
  }
  RelayPath(const RelayPath&) = delete;
  RelayPath& operator=(const RelayPath&) = delete;

  bool ok() const { return ok_ && poller_ != nullptr; }
  bool roundTrip() {
    zframe_t* frame = zframe_new(kRequestData, sizeof kRequestData);
    if (frame == nullptr || zframe_send(&frame, toRelay_, 0) != 0) {
      zframe_destroy(&frame);
      return false;
    }
    if (zpoller_wait(poller_, kReplyTimeoutMsInt) != fromRelay_) return false;
    zframe_t* back = zframe_recv(fromRelay_);
    const bool whole = back != nullptr && zframe_size(back) == sizeof kRequestData;
    zframe_destroy(&back);
    return whole;
  }

 private:
  void relay() {
    zpoller_t* poller = zpoller_new(relayIn_, nullptr);
    while (poller != nullptr) {
      if (zpoller_wait(poller, kReplyTimeoutMsInt) != relayIn_) continue;
      zframe_t* frame = zframe_recv(relayIn_);
      if (frame == nullptr) continue;
      if (zframe_streq(frame, kStopFrame)) {
        zframe_destroy(&frame);
        break;
      }
      if (zframe_send(&frame, relayOut_, ZFRAME_DONTWAIT) != 0) zframe_destroy(&frame);
    }
    zpoller_destroy(&poller);
  }

  zsock_t* toRelay_ = nullptr;
  zsock_t* relayIn_ = nullptr;
  zsock_t* relayOut_ = nullptr;
  zsock_t* fromRelay_ = nullptr;
  zpoller_t* poller_ = nullptr;
  std::thread relay_;
  bool ok_ = false;
};

template <class Path>
Measure MeasureRoundTrips(Path& path, uint64_t count) {
  for (int i = 0; i < kWarmUpTrips; ++i)
    if (!path.roundTrip()) return failed("no answer while warming up");
  Measure m;
  const auto start = Clock::now();
  for (; m.count < count && Clock::now() - start < kPhaseLimit; ++m.count)
    if (!path.roundTrip()) return failed("no answer after " + std::to_string(m.count));
  m.seconds = secondsSince(start);
  m.ok = true;
  return m;
}

// --- runs --------------------------------------------------------------------------------------

struct Shared {
  std::unique_ptr<kvsim::SimModuleProcess> module;
  std::unique_ptr<kvshare::ShareProcess> share;
  std::string failure;
};

Shared StartShare() {
  Shared shared;
  shared.module = std::make_unique<kvsim::SimModuleProcess>(ModuleArguments());
  if (!shared.module->ready()) {
    shared.failure = "module program: " + shared.module->error();
    return shared;
  }
  shared.share = std::make_unique<kvshare::ShareProcess>(std::vector<std::string>{
      "--tcp", "127.0.0.1:" + std::to_string(shared.module->port()), "--serial", Hex(kSerial)});
  if (!shared.share->ready()) shared.failure = "share tool: " + shared.share->error();
  return shared;
}

Measure BrokerTrips(uint64_t count) {
  Shared shared = StartShare();
  if (!shared.failure.empty()) return failed(shared.failure);
  LinkPath link(aLink_CreateClient(shared.share->address(), shared.share->port(), 0));
  if (!link.ok()) return failed("aLink_CreateClient failed");
  return MeasureRoundTrips(link, count);
}

Measure DirectTrips(uint64_t count) {
  kvsim::SimModuleProcess module(ModuleArguments());
  if (!module.ready()) return failed("module program: " + module.error());
  LinkPath link(
      aLink_CreateTCPIP(kSerial, htonl(INADDR_LOOPBACK), static_cast<uint16_t>(module.port())));
  if (!link.ok()) return failed("aLink_CreateTCPIP failed");
  return MeasureRoundTrips(link, count);
}

Measure ZmqTrips(const EchoRouter& router, uint64_t count) {
  if (router.port == 0) return failed("the echo ROUTER did not start");
  ZmqPath path(router.port);
  if (!path.ok()) return failed("cannot connect to the echo ROUTER");
  return MeasureRoundTrips(path, count);
}

// A broker-client link of this process against the echo ROUTER: the client side's own share of
// a round trip through the broker (the ROUTER answers every frame as it came).
Measure ClientEchoTrips(const EchoRouter& router, uint64_t count) {
  if (router.port == 0) return failed("the echo ROUTER did not start");
  LinkPath link(aLink_CreateClient(htonl(INADDR_LOOPBACK), router.port, 0));
  if (!link.ok()) return failed("aLink_CreateClient failed");
  return MeasureRoundTrips(link, count);
}

Measure RelayTrips(uint64_t count) {
  RelayPath path;
  if (!path.ok()) return failed("in-process pairs not made");
  return MeasureRoundTrips(path, count);
}

double MicrosPerTrip(const Measure& m) { return m.rate() > 0 ? 1e6 / m.rate() : 0.0; }

// --- idle CPU ----------------------------------------------------------------------------------

struct ThreadClock {
  std::string name;
  uint64_t runNs = 0;
};

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// Run time of every thread of the process, by thread ID: the scheduler's clock in ns where the
// kernel has it, else user + system ticks of the thread's stat.
std::map<int, ThreadClock> ThreadClocks(pid_t pid) {
  std::map<int, ThreadClock> clocks;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return clocks;
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string task = tasks + "/" + entry->d_name;
    ThreadClock clock;
    clock.name = ReadLine(task + "/comm");
    std::istringstream schedstat(ReadLine(task + "/schedstat"));
    if (!(schedstat >> clock.runNs)) {
      // Fields 14 and 15 of stat, after the name in parentheses.
      const std::string stat = ReadLine(task + "/stat");
      std::istringstream rest(stat.substr(stat.rfind(')') + 2));
      std::string field;
      uint64_t user = 0;
      uint64_t system = 0;
      for (int i = 3; i < 14 && rest >> field; ++i) {
      }
      rest >> user >> system;
      clock.runNs = (user + system) * 1000000000ull / static_cast<uint64_t>(ticksPerSecond);
    }
    clocks[std::atoi(entry->d_name)] = clock;
  }
  closedir(dir);
  return clocks;
}

// The share tool's threads in the order it makes them: its main thread, the device link's
// reader and writer, then ZeroMQ's own threads and the broker's, then the client link it works
// through (its stream's relay thread, named, then its reader and writer).
enum class Part { Main, DeviceLink, ZeroMQ, Broker, ClientLink };

const char* PartName(Part part) {
  switch (part) {
    case Part::Main:
      return "main thread";
    case Part::DeviceLink:
      return "device link (reader, writer)";
    case Part::ZeroMQ:
      return "ZeroMQ I/O and reaper";
    case Part::Broker:
      return "broker (broker, sync, discovery)";
    case Part::ClientLink:
      return "own client link (relay, reader, writer)";
  }
  return "?";
}

constexpr const char kRelayName[] = "kv-client-relay";
constexpr const char kZeroMQPrefix[] = "ZMQbg";
constexpr int kLinkThreads = 2;  // reader and writer of a link

std::map<int, Part> Classify(pid_t pid, const std::map<int, ThreadClock>& threads) {
  std::map<int, Part> parts;
  int deviceLeft = kLinkThreads;
  int clientLeft = 0;
  bool relaySeen = false;
  for (const auto& [tid, clock] : threads) {  // ascending thread IDs: the order of making
    if (tid == pid) {
      parts[tid] = Part::Main;
    } else if (clock.name == kRelayName) {
      parts[tid] = Part::ClientLink;
      relaySeen = true;
      clientLeft = kLinkThreads;
    } else if (clientLeft > 0) {
      parts[tid] = Part::ClientLink;
      --clientLeft;
    } else if (deviceLeft > 0 && !relaySeen) {
      parts[tid] = Part::DeviceLink;
      --deviceLeft;
    } else if (clock.name.rfind(kZeroMQPrefix, 0) == 0) {
      parts[tid] = Part::ZeroMQ;
    } else {
      parts[tid] = Part::Broker;
    }
  }
  return parts;
}

struct IdleCost {
  Measure wall;
  std::vector<std::pair<std::string, double>> threads;  // name and ms run while idle
  std::map<Part, double> parts;                         // ms run while idle
  double totalMs = 0;
};

IdleCost IdleShare(int idleMs) {
  IdleCost cost;
  Shared shared = StartShare();
  if (!shared.failure.empty()) {
    cost.wall = failed(shared.failure);
    return cost;
  }
  std::vector<std::unique_ptr<LinkPath>> clients;
  for (int i = 0; i < kIdleClients; ++i) {
    clients.push_back(std::make_unique<LinkPath>(
        aLink_CreateClient(shared.share->address(), shared.share->port(), 0)));
    if (!clients.back()->ok() || !clients.back()->roundTrip()) {
      cost.wall = failed("a client could not reach the module");
      return cost;
    }
  }
  const std::map<int, ThreadClock> before = ThreadClocks(shared.share->pid());
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::milliseconds(idleMs));
  const std::map<int, ThreadClock> after = ThreadClocks(shared.share->pid());
  cost.wall.seconds = secondsSince(start);
  if (before.empty() || after.empty()) {
    cost.wall = failed("cannot read the share tool's thread clocks");
    return cost;
  }
  const std::map<int, Part> parts = Classify(shared.share->pid(), after);
  for (const auto& [tid, clock] : after) {
    const auto earlier = before.find(tid);
    const uint64_t from = earlier != before.end() ? earlier->second.runNs : 0;
    const double ms = static_cast<double>(clock.runNs - from) / 1e6;
    const Part part = parts.at(tid);
    cost.threads.emplace_back(clock.name + " " + std::to_string(tid) + ": " + PartName(part), ms);
    cost.parts[part] += ms;
    cost.totalMs += ms;
  }
  cost.wall.count = after.size();
  cost.wall.ok = true;
  return cost;
}

void PrintTrips(const char* label, const Measure& m) {
  if (!m.ok) {
    std::printf("  %-40s failed: %s\n", label, m.failure.c_str());
  } else {
    std::printf("  %-40s %9llu %8.2f %10.1f\n", label, static_cast<unsigned long long>(m.count),
                m.seconds, MicrosPerTrip(m));
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // The echo ROUTER's process is made before this one has any thread or ZeroMQ context.
  const EchoRouter router = StartEchoRouter();
  bool quick = false;
  const int ended = bench::startRun(
      argc, argv, kUsage, "bench_broker: sharing through the broker against kv_sim_module",
      KV_BENCH_BUILD_TYPE, &quick);
  if (ended >= 0) {
    StopEchoRouter(router);
    return ended;
  }
  const Settings settings = quick ? kQuickRun : kFullRun;

  std::printf(
      "\n1. Request/answer round trips, request %zu bytes on the wire, echoed by the module\n"
      "   program over TCP, 127.0.0.1; floor = direct link + bare ZeroMQ + one relay hop;\n"
      "   goal: broker / floor at most 1.2\n",
      kRequestWireBytes);
  std::printf("  %-40s %9s %8s %10s\n", "path", "trips", "seconds", "us/trip");
  const Measure direct = DirectTrips(settings.roundTrips);
  PrintTrips("direct TCP/IP link", direct);
  const Measure zmq = ZmqTrips(router, settings.roundTrips);
  PrintTrips("bare ZeroMQ DEALER->ROUTER echo", zmq);
  const Measure relay = RelayTrips(settings.roundTrips);
  PrintTrips("one in-process relay hop", relay);
  const Measure broker = BrokerTrips(settings.roundTrips);
  PrintTrips("broker: client -> share tool -> module", broker);
  const Measure clientEcho = ClientEchoTrips(router, settings.roundTrips);
  PrintTrips("(client link -> echo ROUTER, no broker)", clientEcho);
  StopEchoRouter(router);
  const bool tripsRan = direct.ok && zmq.ok && relay.ok && broker.ok;
  if (tripsRan) {
    const double floor = MicrosPerTrip(direct) + MicrosPerTrip(zmq) + MicrosPerTrip(relay);
    std::printf("  %-40s %39.1f\n", "floor", floor);
    std::printf("  %-40s %39.2f\n", "broker / floor", MicrosPerTrip(broker) / floor);
    std::printf("  %-40s %39.2f\n", "broker / direct link",
                MicrosPerTrip(broker) / MicrosPerTrip(direct));
  }

  std::printf(
      "\n2. CPU time of the share tool's process while %d clients sit connected and idle\n"
      "   (per-thread scheduler clocks); goal under 0.1%% of one core\n",
      kIdleClients);
  const IdleCost idle = IdleShare(settings.idleMs);
  if (!idle.wall.ok) {
    std::printf("  failed: %s\n", idle.wall.failure.c_str());
  } else {
    const double idleMs = idle.wall.seconds * 1e3;
    std::printf("  %-64s %9s %13s\n", "thread", "ms", "of one core");
    for (const auto& [name, ms] : idle.threads) {
      std::printf("  %-64s %9.3f %11.4f %%\n", name.c_str(), ms, 100.0 * ms / idleMs);
    }
    std::printf("  %-64s %9s %13s\n", "part", "ms", "of one core");
    for (const auto& [part, ms] : idle.parts) {
      std::printf("  %-64s %9.3f %11.4f %%\n", PartName(part), ms, 100.0 * ms / idleMs);
    }
    const double brokerMs = idle.parts.count(Part::Broker) != 0 ? idle.parts.at(Part::Broker) : 0;
    const double zeromqMs = idle.parts.count(Part::ZeroMQ) != 0 ? idle.parts.at(Part::ZeroMQ) : 0;
    std::printf("  %-64s %9.3f %11.4f %%  (goal < 0.1 %%)\n", "broker's own threads with ZeroMQ's",
                brokerMs + zeromqMs, 100.0 * (brokerMs + zeromqMs) / idleMs);
    std::printf("  %-64s %9.3f %11.4f %%  (%.1f s idle)\n", "whole process", idle.totalMs,
                100.0 * idle.totalMs / idleMs, idle.wall.seconds);
  }
  std::fflush(stdout);
  return tripsRan && idle.wall.ok ? 0 : 1;
}
