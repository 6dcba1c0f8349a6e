// bench_update: how long a full update of a running module takes through the stand-in module
// program (kv_sim_module --upgrade) over TCP on 127.0.0.1, beside floors measured on the same
// stand-in and link in the same run.
//
//   bench_update [--quick] [--cpu N | --spread]
//
// Each run starts a fresh stand-in. Before anything else a plain TCP socket measures the probe
// round trip to it (transport and stand-in alone); then a Module connects (sharing off, as the
// updater's target) and the link is measured on that very connection: request/reply round
// trips shaped like a DATA exchange (28 data bytes out, 3 back) with pooled writes off and on,
// and the outbound throughput of 30-byte packets with pooled writes on. The round trip is
// measured once more right before each phase, with pooled writes as the phase has them, and
// the floor of a phase comes from the figure next to it.
//
// This process, its threads and the stand-in run on one CPU (the one the bench starts on, or
// --cpu N), where every wake-up is a switch on that CPU. Left to the scheduler (--spread), a
// round trip wakes threads on other CPUs; where that is slow (virtual machines) the round
// trip jumps between two speeds as the threads move (on the machine this was written on: 7
// and 70 us over a plain socket, 17 and 90 us over the link), also within one phase, and the
// ratios then say more about the scheduler than about the update.
//
// Then the module is updated from one BIRD file (a 32 KiB loader block and a 256 KiB firmware
// block, not personalisable):
//   loader phase    INIT, PREPARE, the loader payload as DATA packets, SUM, LOAD, as the
//                   updater's loader transfer does it (always DATA packets);
//   firmware phase  _transfer_firmware, the updater's own: byte strings off (DATA packets) in
//                   run 1, on in runs 2 and 3 (DATA_UEI chunks, and pooled writes once the
//                   module offers them), ending with REBOOT.
// Run 3 differs from run 2 only in the stand-in's block size (4096 instead of 256); it is
// there to show how much of run 2 is the per-chunk conversation.
//
// Two waits belong to the protocol, not to the transfer, and are printed apart from the timed
// phases: after LOAD the stand-in drops its link and comes back as the loader (the bench
// connects again from the stored link specifier, as the updater's LOAD reconnection does);
// after REBOOT the updater waits for the link to drop.
//
// Round trips, packets and bytes are counted from the stand-in's own packet record: a trip is
// one answer of the module; a host packet followed by another host packet went without waiting
// for an answer (the packets of a byte string). Floors:
//   DATA            round trips x the round-trip time measured before the phase;
//   DATA_UEI        bytes on the wire / the link's measured throughput; as each chunk still
//                   waits for its acknowledgement, SUM and WRITE, the table also gives the
//                   protocol's floor: round trips x the (pooled) round-trip time + the bytes
//                   sent without waiting / throughput.
// The stand-in's record carries millisecond stamps; summed over many answers, the stamps of
// request and answer give the stand-in's mean handling time per answer.
// After each run the stand-in's flash must hold exactly the firmware image.
//
// All traffic stays on 127.0.0.1. Figures only: no pass or fail beyond "the measurement could
// not run" or a flash that differs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "BirdFile.h"
#include "bench_support.h"
#include "Link.h"
#include "Module.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterEntity.h"
#include "aError.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "bird_gen.h"
#include "sim_module_process.h"
#include "sim_upgrade.h"

namespace {

using Clock = std::chrono::steady_clock;
using Zentrova::Kolvantis::Link;
using Zentrova::Kolvantis::Module;

constexpr uint32_t kSerial = 0x5EED0042;
constexpr const char* kSerialText = "5EED0042";
constexpr uint8_t kModuleAddress = 6;
constexpr uint8_t kAnyModel = 0;
constexpr linkType kTcpLinkType = 2;
constexpr uint32_t kLoaderAddress = 0x20000000;
constexpr uint32_t kFirmwareAddress = 0x00008000;
constexpr uint8_t kLoaderFlags = 1;
constexpr uint8_t kFirmwareFlags = 2;
constexpr uint16_t kLargeBlockSize = 4096;  // run 3's block size

// The round-trip probe: a full DATA packet's size out (the command and 27 bytes), answered by
// the stand-in (--reply) with three data bytes, as a DATA echo is.
constexpr uint8_t kProbeCommand = 0x30;
constexpr uint8_t kProbeArguments = aPACKETMAXDATA - 1;
constexpr uint8_t kProbeReply[] = {kProbeCommand, 0x01, kProbeArguments};
constexpr const char* kProbeReplyHex = "30011B";
static_assert(kProbeArguments == 0x1B, "the reply text names the argument count");
constexpr uint8_t kProbePattern = 2;  // bytes of the reply a wait compares
// Throughput packets: the same size, to a command without handler (taken without answer).
constexpr uint8_t kSinkCommand = 0x31;
constexpr size_t kPacketWireBytes = aPACKETMAXDATA + 2;
constexpr uint64_t kTripBatches = 10;  // round-trip measurements are cut into this many

// Packets per throughput window; two windows and their probes stay below the queues' limit.
constexpr size_t kWindow = 400;
static_assert(2 * (kWindow + 1) < aPACKETFIFO_MAXPACKETS, "two windows must fit in a queue");

constexpr unsigned kStandInAwayMs = 50;  // ms the stand-in stays away after LOAD's drop
constexpr unsigned kRebootDropMs = 100;  // ms from REBOOT to the stand-in's drop (its default)
constexpr unsigned kUpdaterRebootPollMs =
    250;                                  // ms between the updater's looks after REBOOT (text only)
constexpr int kDropPollMs = 1;            // ms between looks at the link after LOAD
constexpr int kDropLimitMs = 5000;        // ms LOAD's drop may take before the run fails
constexpr int kReconnectPauseMs = 5;      // ms between connection attempts after LOAD
constexpr int kReconnectLimitMs = 10000;  // ms the loader may take to be reachable again

const char kUsage[] =
    "usage: bench_update [--quick] [--cpu N | --spread]\n"
    "A full update (32 KiB loader, 256 KiB firmware) of the stand-in module over TCP on\n"
    "127.0.0.1, with DATA packets and with DATA_UEI and pooled writes, beside the link's\n"
    "round-trip and throughput floors measured in the same run.\n"
    "--quick: a 4 KiB loader, 32 KiB firmware and shorter link measurements.\n"
    "This program, its threads and the stand-in run on the CPU it starts on, or:\n"
    "--cpu N: on CPU N;  --spread: wherever the scheduler puts them.\n";

struct Settings {
  size_t loaderBytes;
  size_t firmwareBytes;
  uint64_t probeTrips;  // per round-trip measurement
  uint64_t packets;     // throughput measurement
};
constexpr Settings kFullRun{32 * 1024, 256 * 1024, 5000, 100000};
constexpr Settings kQuickRun{4 * 1024, 32 * 1024, 1000, 20000};

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::string errorText(aErr err) {
  return std::to_string(static_cast<int>(err)) + " " + aError_GetErrorText(err);
}

// --- the updater's display, with the time of each information ------------------------------

class TimingDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char* text) override { infos_.emplace_back(Clock::now(), text); }
  void error_message(const char* text) override { errors_.emplace_back(text); }

  // When the last information beginning with head was shown.
  std::optional<Clock::time_point> lastShown(const std::string& head) const {
    for (auto it = infos_.rbegin(); it != infos_.rend(); ++it)
      if (it->second.compare(0, head.size(), head) == 0) return it->first;
    return std::nullopt;
  }
  std::string errors() const {
    std::string all;
    for (const std::string& line : errors_) all += (all.empty() ? "" : "; ") + line;
    return all;
  }

 private:
  std::vector<std::pair<Clock::time_point, std::string>> infos_;
  std::vector<std::string> errors_;
};

// The information _transfer_firmware shows after the last block, just before REBOOT.
const char kBlocksDoneInfo[] = "Transferred ";

// --- the link's floors ------------------------------------------------------------------------

// Seconds per trip: the median over kTripBatches batches, so that a burst of load elsewhere on
// the machine does not set the floor; 0 when a trip failed.
template <class Trip>
double medianTrip(Trip trip, uint64_t count) {
  if (!trip()) return 0;
  const uint64_t perBatch = std::max<uint64_t>(1, count / kTripBatches);
  std::vector<double> batches;
  for (uint64_t b = 0; b < kTripBatches; ++b) {
    const auto start = Clock::now();
    for (uint64_t i = 0; i < perBatch; ++i)
      if (!trip()) return 0;
    batches.push_back(secondsBetween(start, Clock::now()) / static_cast<double>(perBatch));
  }
  std::sort(batches.begin(), batches.end());
  return batches[batches.size() / 2];
}

bool awaitProbeReply(Link& link) {
  uint8_t length = kProbePattern;
  uint8_t reply[aPACKETMAXDATA] = {};
  return link.receivePacketFrom(kModuleAddress, kProbeReply, &length, reply) == aErrNone &&
         length == sizeof kProbeReply && std::memcmp(reply, kProbeReply, sizeof kProbeReply) == 0;
}

bool sendProbeShaped(Link& link, uint8_t command) {
  uint8_t arguments[kProbeArguments];
  for (uint8_t i = 0; i < kProbeArguments; ++i) arguments[i] = i;
  return link.sendPacket(kModuleAddress, command, kProbeArguments, arguments) == aErrNone;
}

// The probe through the class interface, the way the upgrade conversation sends and waits.
double measureLinkTrip(Link& link, uint64_t count) {
  return medianTrip(
      [&link] { return sendProbeShaped(link, kProbeCommand) && awaitProbeReply(link); }, count);
}

// The same probe over a plain TCP socket, without the link's threads and queues.
double measureRawTrip(int port, uint64_t count) {
  kvsim::LinkSocket socket(port);
  if (!socket.connected()) return 0;
  kvsim::Bytes request{kModuleAddress, aPACKETMAXDATA, kProbeCommand};
  for (uint8_t i = 0; i < kProbeArguments; ++i) request.push_back(i);
  kvsim::Bytes reply{kModuleAddress, sizeof kProbeReply};
  reply.insert(reply.end(), std::begin(kProbeReply), std::end(kProbeReply));
  return medianTrip([&] { return socket.send(request) && socket.read(reply.size()) == reply; },
                    count);
}

// Windows of sink packets, each closed by a probe; the probe of window w is awaited after
// window w + 1 has been put, so at most two windows are on their way. Bytes per second of the
// host's packets; 0 when a probe went unanswered.
double measureThroughput(Link& link, uint64_t total) {
  if (!sendProbeShaped(link, kProbeCommand) || !awaitProbeReply(link)) return 0;
  uint64_t sent = 0;
  uint64_t windows = 0;
  const auto start = Clock::now();
  while (sent < total) {
    const uint64_t size = std::min<uint64_t>(kWindow, total - sent);
    for (uint64_t i = 0; i < size; ++i)
      if (!sendProbeShaped(link, kSinkCommand)) return 0;
    if (!sendProbeShaped(link, kProbeCommand)) return 0;
    sent += size;
    if (++windows > 1 && !awaitProbeReply(link)) return 0;
  }
  if (!awaitProbeReply(link)) return 0;
  const double seconds = secondsBetween(start, Clock::now());
  return static_cast<double>((sent + windows) * kPacketWireBytes) / seconds;
}

struct LinkFloors {
  double rawTrip = 0;         // s per probe trip over a plain socket
  double trip = 0;            // s per probe trip over the link, pooled writes off
  double pooledTrip = 0;      // the same with pooled writes on
  double bytesPerSecond = 0;  // outbound, pooled writes on
};

// --- the stand-in's record -----------------------------------------------------------------

struct Traffic {
  size_t trips = 0;  // the module's answers (packets with data)
  size_t hostPackets = 0;
  size_t chunks = 0;            // WRITE requests
  uint64_t wireBytes = 0;       // both directions
  uint64_t unawaitedBytes = 0;  // host packets followed by another host packet
  uint64_t answerMs = 0;        // sum over the answers of their stamp less the request's
};

bool isProbe(const kvsim::Record& r) { return r.bytes.size() > 2 && r.bytes[2] == kProbeCommand; }

bool isUpgradeRequest(const kvsim::Record& r, uint8_t option) {
  return r.direction == kvsim::Direction::In && r.bytes.size() >= 4 &&
         r.bytes[2] == kvsim::kUpgradeCommand && r.bytes[3] == option;
}

Traffic countTraffic(const std::vector<kvsim::Record>& records) {
  Traffic t;
  const size_t to = records.size();
  uint64_t lastRequestMs = 0;
  for (size_t i = 0; i < to; ++i) {
    const kvsim::Record& r = records[i];
    t.wireBytes += r.bytes.size();
    if (r.direction == kvsim::Direction::Out) {
      if (r.bytes.size() > 2) {
        ++t.trips;
        t.answerMs += r.ms - std::min(r.ms, lastRequestMs);
      }
      continue;
    }
    lastRequestMs = r.ms;
    ++t.hostPackets;
    if (isUpgradeRequest(r, kvsim::kUpgradeWrite)) ++t.chunks;
    if (i + 1 < to && records[i + 1].direction == kvsim::Direction::In)
      t.unawaitedBytes += r.bytes.size();
  }
  return t;
}

// The records from..to without the probes measured just before a phase.
std::vector<kvsim::Record> withoutProbes(const std::vector<kvsim::Record>& records, size_t from,
                                         size_t to) {
  std::vector<kvsim::Record> kept;
  for (size_t i = from; i < to && i < records.size(); ++i)
    if (!isProbe(records[i])) kept.push_back(records[i]);
  return kept;
}

// Mean ms the stand-in took to answer the probes among the records.
double meanProbeAnswerMs(const std::vector<kvsim::Record>& records, size_t to) {
  uint64_t sum = 0;
  size_t count = 0;
  for (size_t i = 1; i < to && i < records.size(); ++i) {
    const kvsim::Record& r = records[i];
    const kvsim::Record& before = records[i - 1];
    if (r.direction == kvsim::Direction::Out && r.bytes.size() == sizeof kProbeReply + 2 &&
        r.bytes[2] == kProbeCommand && before.direction == kvsim::Direction::In) {
      sum += r.ms - std::min(r.ms, before.ms);
      ++count;
    }
  }
  return count > 0 ? static_cast<double>(sum) / static_cast<double>(count) : 0.0;
}

// Index just past the module's answer to LOAD ([A][2][5F][02]) at or after from.
std::optional<size_t> pastLoadAnswer(const std::vector<kvsim::Record>& records, size_t from) {
  for (size_t i = from; i < records.size(); ++i) {
    const kvsim::Bytes& b = records[i].bytes;
    if (records[i].direction == kvsim::Direction::Out && b.size() == 4 && b[1] == 2 &&
        b[2] == kvsim::kUpgradeCommand && b[3] == kvsim::kUpgradeLoad)
      return i + 1;
  }
  return std::nullopt;
}

// --- one update --------------------------------------------------------------------------

struct Phase {
  double seconds = 0;
  double rtt = 0;  // s per probe trip just before the phase, pooled as the phase runs
  Traffic traffic;
};

struct Run {
  bool ok = false;
  std::string failure;
  LinkFloors floors;
  double probeAnswerMs = 0;  // the stand-in's mean time to answer a probe
  Phase loader;
  Phase firmware;
  double loadWait = 0;    // s from LOAD answered to the loader reachable again
  double rebootWait = 0;  // s from the last block done to the link seen dropped
};

Run failed(const std::string& why) {
  Run r;
  r.failure = why;
  return r;
}

// A directory under /tmp for the BIRD file and the flash dumps, removed at the end.
class WorkDir : public bench::WorkDir {
 public:
  WorkDir() : bench::WorkDir("bench_update") {}
};

using bench::readFile;

// Empty when the stand-in's flash holds exactly the image at the firmware address.
std::string checkFlash(kvsim::SimModuleProcess& standIn, const std::string& dumpPath,
                       const kvsim::Bytes& image) {
  if (!standIn.command("FLASH " + dumpPath)) return "FLASH " + dumpPath + ": " + standIn.error();
  const std::optional<kvsim::SimMemory> flash = kvsim::parseMemoryDump(readFile(dumpPath));
  if (!flash) return "the flash dump " + dumpPath + " does not parse";
  if (flash->regions().size() != 1 || flash->regions().begin()->first != kFirmwareAddress)
    return "the flash holds " + std::to_string(flash->regions().size()) +
           " runs, not one at the image's address";
  const kvsim::Bytes held = flash->read(kFirmwareAddress, image.size() + 1);
  const auto differs = std::mismatch(image.begin(), image.end(), held.begin());
  if (differs.first != image.end()) {
    char text[96];
    std::snprintf(text, sizeof text, "the flash differs from the image at 0x%08zX",
                  kFirmwareAddress + static_cast<size_t>(differs.first - image.begin()));
    return text;
  }
  if (held.back() != kvsim::kErasedByte) return "the flash holds more than the image";
  return std::string();
}

// INIT, each loader block's PREPARE and payload, LOAD: the updater's loader transfer.
aErr sendLoader(Module& module, BirdFile& file) {
  UpdaterEntity entity;
  entity.init(&module, 0, true, false);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) return err;
  for (const BirdBlock& block : file.FindBlocks(BirdFile::BLOCK_LOADER)) {
    uint16_t size = 0;
    err = entity.TransferPrepare(block.data, block.length, block.flags, size);
    if (err != aErrNone && err != aErrTimeout) return err;  // a loader may leave PREPARE unanswered
    err = entity.LoaderTransfer(block.data, block.length);
    if (err != aErrNone) return err;
  }
  return entity.LoaderStart();
}

// The stand-in drops its link after answering LOAD and comes back as the loader: waits for
// the drop, then connects again from the stored link specifier. False when either takes too
// long.
bool awaitLoader(Module& module) {
  const auto dropBy = Clock::now() + std::chrono::milliseconds(kDropLimitMs);
  while (module.isConnected()) {
    if (Clock::now() >= dropBy) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kDropPollMs));
  }
  const auto backBy = Clock::now() + std::chrono::milliseconds(kReconnectLimitMs);
  for (;;) {
    module.disconnect();  // a failed attempt keeps its link ID, which would refuse the next
    if (module.reconnect() == aErrNone) return true;
    if (Clock::now() >= backBy) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kReconnectPauseMs));
  }
}

Run runUpdate(const Settings& settings, bool ueiBytes, uint16_t blockSize,
              const std::string& birdPath, const kvsim::Bytes& image,
              const std::string& flashDump) {
  kvsim::SimModuleProcess standIn({"--tcp", "0", "--upgrade", "--serial", kSerialText, "--address",
                                   std::to_string(kModuleAddress), "--block-size",
                                   std::to_string(blockSize), "--after-load", "drop:0",
                                   "--return-ms", std::to_string(kStandInAwayMs),
                                   "--reboot-drop-ms", std::to_string(kRebootDropMs), "--reply",
                                   std::to_string(kProbeCommand) + "=" + kProbeReplyHex});
  if (!standIn.ready()) return failed("stand-in module: " + standIn.error());

  BirdFile file;
  try {
    file = BirdFile(birdPath.c_str());
  } catch (const std::runtime_error& e) {
    return failed("cannot load " + birdPath + ": " + e.what());
  }

  Run run;
  run.floors.rawTrip = measureRawTrip(standIn.port(), settings.probeTrips);
  if (run.floors.rawTrip <= 0) return failed("no probe answer over a plain socket");

  TimingDisplay display;
  Module module(0, kAnyModel);  // the address comes from the module, as for the updater's target
  if (_disableEther(module, display) != aErrNone)
    return failed("sharing could not be switched off");
  linkSpec spec{};
  spec.type = kTcpLinkType;
  spec.serialNumber = kSerial;
  spec.address = htonl(INADDR_LOOPBACK);
  spec.port = static_cast<uint32_t>(standIn.port());
  const aErr connected = module.connectFromSpec(spec);
  if (connected != aErrNone)
    return failed("cannot connect to the stand-in on 127.0.0.1:" + std::to_string(standIn.port()) +
                  ": " + errorText(connected));
  if (module.getModuleAddress() != kModuleAddress)
    return failed("the stand-in did not tell its address");
  Link& link = *module.getLink();

  run.floors.trip = measureLinkTrip(link, settings.probeTrips);
  if (link.enablePooledPackets(true) != aErrNone) return failed("pooled writes refused");
  run.floors.bytesPerSecond = measureThroughput(link, settings.packets);
  run.floors.pooledTrip = measureLinkTrip(link, settings.probeTrips);
  if (link.enablePooledPackets(false) != aErrNone) return failed("pooled writes not switched off");
  if (run.floors.trip <= 0 || run.floors.pooledTrip <= 0 || run.floors.bytesPerSecond <= 0)
    return failed("the stand-in did not answer a link probe");
  const size_t beforeUpdate = standIn.dump().size();

  // The round-trip time right before each phase: it changes with where the scheduler puts
  // the threads of both processes, so a figure from the start of the run may not hold later.
  run.loader.rtt = measureLinkTrip(link, settings.probeTrips);
  if (run.loader.rtt <= 0) return failed("the stand-in did not answer a link probe");
  const auto loaderStart = Clock::now();
  const aErr loaded = sendLoader(module, file);
  const auto loadAnswered = Clock::now();
  if (loaded != aErrNone) return failed("loader phase: " + errorText(loaded));
  if (!awaitLoader(module)) return failed("the loader did not come back after LOAD");
  const auto loaderBack = Clock::now();
  const size_t beforeFirmware = standIn.dump().size();

  // Pooled writes as the phase will have them: _transfer_firmware switches them on itself.
  if (ueiBytes && link.enablePooledPackets(true) != aErrNone)
    return failed("pooled writes refused");
  run.firmware.rtt = measureLinkTrip(link, settings.probeTrips);
  if (ueiBytes && link.enablePooledPackets(false) != aErrNone)
    return failed("pooled writes not switched off");
  if (run.firmware.rtt <= 0) return failed("the loader did not answer a link probe");
  const auto firmwareStart = Clock::now();
  const aErr sent = _transfer_firmware(display, module, file, false, ueiBytes);
  const auto firmwareEnd = Clock::now();
  if (sent != aErrNone)
    return failed("firmware phase: " + errorText(sent) + " " + display.errors());
  const std::optional<Clock::time_point> blocksDone = display.lastShown(kBlocksDoneInfo);
  if (!blocksDone) return failed("no \"Transferred ...\" information before REBOOT");

  const std::vector<kvsim::Record> records = standIn.dump();
  const std::optional<size_t> loaderEnd = pastLoadAnswer(records, beforeUpdate);
  if (!loaderEnd || *loaderEnd > beforeFirmware)
    return failed("no answer to LOAD in the stand-in's record");
  const std::string flash = checkFlash(standIn, flashDump, image);
  if (!flash.empty()) return failed(flash);

  run.probeAnswerMs = meanProbeAnswerMs(records, beforeUpdate);
  const std::vector<kvsim::Record> loaderRecords = withoutProbes(records, beforeUpdate, *loaderEnd);
  const std::vector<kvsim::Record> firmwareRecords =
      withoutProbes(records, beforeFirmware, records.size());
  run.loader.seconds = secondsBetween(loaderStart, loadAnswered);
  run.loader.traffic = countTraffic(loaderRecords);
  run.firmware.seconds = secondsBetween(firmwareStart, *blocksDone);
  run.firmware.traffic = countTraffic(firmwareRecords);
  run.loadWait = secondsBetween(loadAnswered, loaderBack);
  run.rebootWait = secondsBetween(*blocksDone, firmwareEnd);
  run.ok = true;
  return run;
}

// --- printing -----------------------------------------------------------------------------

struct Scored {
  double floor = 0;     // s
  double protocol = 0;  // s, DATA_UEI only: trips x pooled RTT + unawaited bytes / throughput
};

Scored score(const Run& run, const Phase& phase, bool byteStrings) {
  const LinkFloors& f = run.floors;
  const Traffic& t = phase.traffic;
  Scored s;
  if (!byteStrings) {
    s.floor = static_cast<double>(t.trips) * phase.rtt;
  } else {
    s.floor = static_cast<double>(t.wireBytes) / f.bytesPerSecond;
    s.protocol = static_cast<double>(t.trips) * phase.rtt +
                 static_cast<double>(t.unawaitedBytes) / f.bytesPerSecond;
  }
  return s;
}

void printPhase(const char* label, const Phase& p, const Scored& s, const char* basis) {
  const Traffic& t = p.traffic;
  std::printf("  %-38s %8.3f %6zu %7.1f %7.1f %6zu %8.1f %7.3f %6.2f  %s\n", label, p.seconds,
              t.trips, t.trips > 0 ? 1e6 * p.seconds / static_cast<double>(t.trips) : 0.0,
              1e6 * p.rtt, t.hostPackets, static_cast<double>(t.wireBytes) / 1024.0, s.floor,
              s.floor > 0 ? p.seconds / s.floor : 0.0, basis);
  if (s.protocol > 0)
    std::printf("  %-38s %8s %6s %7s %7s %6s %8s %7.3f %6.2f  %s\n", "  the same, protocol's floor",
                "", "", "", "", "", "", s.protocol, p.seconds / s.protocol,
                "trips x RTT + unawaited bytes / throughput");
}

void printRun(const char* title, const Run& run, bool byteStrings) {
  std::printf("\n  %s\n", title);
  if (!run.ok) {
    std::printf("  failed: %s\n", run.failure.c_str());
    std::fflush(stdout);
    return;
  }
  printPhase("loader phase: INIT .. LOAD answered", run.loader, score(run, run.loader, false),
             "trips x RTT");
  printPhase(byteStrings ? "firmware phase: checks .. last WRITE"
                         : "firmware phase: PREPARE .. last WRITE",
             run.firmware, score(run, run.firmware, byteStrings),
             byteStrings ? "wire bytes / throughput" : "trips x RTT");
  std::printf("  %-38s %8.3f   not timed: LOAD answered to the loader reachable again\n",
              "wait after LOAD", run.loadWait);
  std::printf("  %-38s %8.3f   not timed: REBOOT to the link seen dropped\n", "wait after REBOOT",
              run.rebootWait);
  std::printf("  %-38s %8.3f   %zu chunks; flash holds the image\n", "timed phases",
              run.loader.seconds + run.firmware.seconds, run.firmware.traffic.chunks);
  std::fflush(stdout);
}

void printFloors(const char* label, const Run& run) {
  if (!run.ok) return;
  const LinkFloors& f = run.floors;
  std::printf("  %-40s %9.1f %9.1f %9.1f %9.1f\n", label, 1e6 * f.rawTrip, 1e6 * f.trip,
              1e6 * f.pooledTrip, f.bytesPerSecond / 1e6);
}

// Per answer of the module: the phase's time (less its unawaited bytes at the link's
// throughput), the link's probe RTT, the stand-in's handling beyond a probe's, and the rest,
// which is the updater's own work between answers.
void printWhere(const char* label, const Run& run, const Phase& p) {
  if (!run.ok || p.traffic.trips == 0) return;
  const LinkFloors& f = run.floors;
  const double trips = static_cast<double>(p.traffic.trips);
  const double streamed = static_cast<double>(p.traffic.unawaitedBytes) / f.bytesPerSecond;
  const double perTrip = 1e6 * (p.seconds - streamed) / trips;
  const double rtt = 1e6 * p.rtt;
  const double standIn =
      1e3 * (static_cast<double>(p.traffic.answerMs) / trips - run.probeAnswerMs);
  std::printf("  %-40s %9.1f %9.1f %9.1f %9.1f %9.1f %9.1f\n", label, perTrip, 1e6 * f.rawTrip,
              rtt - 1e6 * f.rawTrip, standIn, perTrip - rtt - standIn, 1e6 * streamed / trips);
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings = kFullRun;
  int cpu = sched_getcpu();  // -1 (no pinning) only where the CPU cannot be told
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--quick") {
      settings = kQuickRun;
      continue;
    }
    if (option == "--spread") {
      cpu = -1;
      continue;
    }
    if (option == "--cpu" && i + 1 < argc) {
      const char* text = argv[++i];
      char* end = nullptr;
      const long value = std::strtol(text, &end, 10);
      if (end != text && *end == '\0' && value >= 0 && value < CPU_SETSIZE) {
        cpu = static_cast<int>(value);
        continue;
      }
    }
    const bool help = option == "--help" || option == "-h";
    std::fputs(kUsage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  signal(SIGPIPE, SIG_IGN);
  if (cpu >= 0) {
    // Threads and child processes made from now on inherit the set.
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) {
      std::fprintf(stderr, "bench_update: cannot run on CPU %d: %s\n", cpu, std::strerror(errno));
      return 1;
    }
  }

  WorkDir dir;
  if (!dir.ok()) {
    std::fprintf(stderr, "bench_update: cannot make a directory under /tmp\n");
    return 1;
  }
  const kvsim::Bytes loader = birdgen::PatternBytes(settings.loaderBytes, 7);
  const kvsim::Bytes image = birdgen::PatternBytes(settings.firmwareBytes, 13);
  const std::string birdPath = dir.file("update.bird");
  birdgen::Builder builder;
  builder.loader(kLoaderAddress, loader, kLoaderFlags)
      .firmware(kFirmwareAddress, image, kFirmwareFlags);
  if (!builder.write(birdPath)) {
    std::fprintf(stderr, "bench_update: cannot write %s\n", birdPath.c_str());
    return 1;
  }

  const bool quick = settings.loaderBytes == kQuickRun.loaderBytes;
  const std::string pinned = cpu >= 0 ? ", all on CPU " + std::to_string(cpu) : "";
  std::printf(
      "bench_update: a full update through kv_sim_module over TCP, 127.0.0.1 (%s build, %u "
      "cores%s%s)\n",
      KV_BENCH_BUILD_TYPE, std::thread::hardware_concurrency(), quick ? ", --quick" : "",
      pinned.c_str());
  std::printf(
      "\n   One BIRD file: a %zu KiB loader block and a %zu KiB firmware block. Each run has a "
      "fresh\n"
      "   stand-in, measured first: RTT = a %u-byte request answered with %zu bytes (as DATA), "
      "median\n"
      "   of %llu batches of %llu trips, over a plain socket and then over the update's own link;\n"
      "   throughput = %zu-byte packets out in windows of %zu, %llu packets, pooled writes.\n"
      "   Not timed (printed apart): after LOAD the stand-in drops its link and is away %u ms;\n"
      "   after REBOOT it drops %u ms later and the updater looks at the link every %u ms.\n"
      "%s",
      settings.loaderBytes / 1024, settings.firmwareBytes / 1024,
      static_cast<unsigned>(aPACKETMAXDATA), sizeof kProbeReply,
      static_cast<unsigned long long>(kTripBatches),
      static_cast<unsigned long long>(settings.probeTrips / kTripBatches), kPacketWireBytes,
      kWindow, static_cast<unsigned long long>(settings.packets), kStandInAwayMs, kRebootDropMs,
      kUpdaterRebootPollMs,
      cpu >= 0 ? ""
               : "   Threads run where the scheduler puts them; where waking another CPU is slow, "
                 "round\n"
                 "   trips move between two speeds within a run, and so do the ratios.\n");
  std::fflush(stdout);

  const uint16_t smallBlock = kvsim::kDefaultBlockSize;
  const Run data = runUpdate(settings, false, smallBlock, birdPath, image, dir.file("flash-1.txt"));
  const Run uei = runUpdate(settings, true, smallBlock, birdPath, image, dir.file("flash-2.txt"));
  const Run large =
      runUpdate(settings, true, kLargeBlockSize, birdPath, image, dir.file("flash-3.txt"));

  std::printf("\n  %-40s %9s %9s %9s %9s\n", "link, measured in each run (us, MB/s)", "raw RTT",
              "RTT", "pool RTT", "pool MB/s");
  printFloors("run 1", data);
  printFloors("run 2", uei);
  printFloors("run 3", large);

  std::printf(
      "\n   Phases: RTT = the link's probe round trip measured just before the phase (pooled "
      "writes as\n"
      "   the phase has them); trips = answers of the module; packets = the host's.\n");
  std::printf("  %-38s %8s %6s %7s %7s %6s %8s %7s %6s  %s\n", "phase", "seconds", "trips",
              "us/trip", "RTT us", "packets", "wire KiB", "floor s", "ratio", "floor");
  char title[128];
  std::snprintf(title, sizeof title, "run 1: firmware as DATA packets, block size %u", smallBlock);
  printRun(title, data, false);
  std::snprintf(title, sizeof title,
                "run 2: firmware as DATA_UEI byte strings + pooled writes, block size %u",
                smallBlock);
  printRun(title, uei, true);
  std::snprintf(title, sizeof title,
                "run 3: as run 2 with block size %u (to show the per-chunk share)",
                kLargeBlockSize);
  printRun(title, large, true);

  std::printf(
      "\n   Where the time goes, us per answer of the module: the phase's time (less its "
      "unawaited\n"
      "   bytes at the throughput) = raw RTT (socket and stand-in) + the link's threads and "
      "queues\n"
      "   (RTT - raw RTT) + the stand-in's handling beyond a probe's (from its ms stamps) + the "
      "rest\n"
      "   (the updater between answers); the last column is the unawaited bytes' share.\n");
  std::printf("  %-40s %9s %9s %9s %9s %9s %9s\n", "phase", "per trip", "raw RTT", "link",
              "stand-in", "rest", "streamed");
  printWhere("run 1 loader (DATA)", data, data.loader);
  printWhere("run 1 firmware (DATA)", data, data.firmware);
  printWhere("run 2 loader (DATA)", uei, uei.loader);
  printWhere("run 2 firmware (DATA_UEI, pooled)", uei, uei.firmware);
  printWhere("run 3 firmware (DATA_UEI, pooled)", large, large.firmware);

  if (!data.ok || !uei.ok || !large.ok) return 1;
  const double dataTimed = data.loader.seconds + data.firmware.seconds;
  const double ueiTimed = uei.loader.seconds + uei.firmware.seconds;
  std::printf("\n  timed phases, run 2 to run 1: %.3f s / %.3f s = %.2f\n", ueiTimed, dataTimed,
              ueiTimed / dataTimed);
  return 0;
}
