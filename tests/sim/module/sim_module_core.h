// The stand-in module's logic, over bytes only: a front end (TCP, pty, simulated USB) feeds it
// what the host sent and writes out the segments it hands back.
//
// What the module does:
//   - parses [address][length][data] packets from the byte stream, however it is cut; a zero
//     byte where an address is due is padding and skipped;
//   - answers every sync probe [0xAD][0] with [A][0] from its own address A;
//   - takes force-route packets [0xAF][1][x] without answer and records x;
//   - sends heartbeats [A][2][0][x] on request and records the host's answers [A][2][0][y];
//   - hands packets for other addresses to its forwarder when it has one (a router passes
//     them to the modules behind it), and sends the forwarder's replies as its answers;
//   - passes any other packet with data to the handler of its first data byte (none by
//     default: no reply);
//   - records every packet in and out with a monotonic time stamp in milliseconds.
//
// Fault knobs:
//   silent                    automatic answers (sync answers, handler replies) are not sent;
//                             packets asked for explicitly (heartbeat, send, flood) still are
//   fault odd-address N       address byte of the next N packets sent made odd
//   fault zero-address N      ... made 0
//   fault oversize-length N   length byte of the next N packets sent is 29 (one past the limit)
//   fault garbage N           a run of garbageLength bytes (odd, never 0) before each of the
//                             next N packets; on a framed link the run ends with 0x00, so it
//                             arrives as one bad frame
//   fault split N             the next N packets go out one byte per segment, splitGapMs apart
//   fault bad-frame N         framed links: the next N frames carry a wrong check byte
//   (N is a count of packets, or kEvery for all of them; 0 switches the knob off)
//   coalesce                  everything ready at once goes out as one segment
//   floodOnConnect N          the first packet of each connection is followed by a flood
//   dropAfter N               the connection is dropped on its N-th received packet, whose
//                             answer goes with it
// Drops and come-backs themselves are the front end's: it calls startConnection() for each
// new connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim_framing.h"

namespace kvsim {

constexpr uint8_t kSyncProbeAddress = 0xAD;
constexpr uint8_t kForceRouteAddress = 0xAF;
constexpr size_t kMaxPacketData = 28;
constexpr uint8_t kOversizeLength = 29;      // length byte sent by the oversize-length fault
constexpr uint8_t kFloodCommand = 0xF0;      // first data byte of flood packets
constexpr size_t kDefaultGarbageLength = 8;  // bytes per garbage run
constexpr unsigned kDefaultSplitGapMs = 2;   // ms between the bytes of a split packet
constexpr int kEvery = -1;                   // fault count: every packet from now on
constexpr uint8_t kDefaultModel = 0x11;      // model number unless one is given

struct Packet {
  uint8_t address = 0;
  Bytes data;

  Bytes wire() const;  // [address][length][data]
};

enum class Direction { In, Out };

struct Record {
  uint64_t ms;  // since the module was made
  Direction direction;
  Bytes bytes;  // packet as it went on the wire; for a garbage run its bytes
};

// "<ms> <in|out> <hex>", hex as upper-case digits without spaces.
std::string formatRecord(const Record& record);
std::string toHex(const Bytes& bytes);
// Hex digits, spaces between bytes allowed; nullopt for anything else.
std::optional<Bytes> parseHex(const std::string& text);

enum class Fault { OddAddress, ZeroAddress, OversizeLength, Garbage, Split, BadFrame };
// The fault's name as the command line and the control channel spell it, and back.
const char* faultName(Fault fault);
std::optional<Fault> faultByName(const std::string& name);
constexpr Fault kAllFaults[] = {Fault::OddAddress, Fault::ZeroAddress, Fault::OversizeLength,
                                Fault::Garbage,    Fault::Split,       Fault::BadFrame};

enum class DropMode { Close, Reset };

struct ModuleConfig {
  uint8_t address = 2;
  uint32_t serial = 0;
  uint8_t model = kDefaultModel;  // in the discovery reply, the UEI identity, the USB product id
  bool framed = false;            // COBS + CRC-8 frames both ways
  bool silent = false;
  bool coalesce = false;
  size_t garbageLength = kDefaultGarbageLength;
  unsigned splitGapMs = kDefaultSplitGapMs;
  unsigned floodOnConnect = 0;
  unsigned dropAfter = 0;  // 0: never
  DropMode dropMode = DropMode::Close;
  std::map<Fault, int> faults;  // count per fault at start
};

// Bytes for the transport to write in one go, after waiting delayMs since the previous write.
struct Segment {
  Bytes bytes;
  unsigned delayMs = 0;
};

class ModuleCore {
 public:
  // Replies to one request; each is sent from the packet's own address.
  using Handler = std::function<std::vector<Packet>(const Packet& request)>;
  // Takes a packet that is not a sync probe or force-route: true when it is someone else's
  // (then *replies, possibly none, are sent as the answer and nothing else happens).
  using Forwarder = std::function<bool(const Packet& packet, std::vector<Packet>* replies)>;

  explicit ModuleCore(ModuleConfig config = {});

  const ModuleConfig& config() const { return config_; }
  uint8_t address() const { return config_.address; }

  // A new connection: the partial packet, pending output and per-connection counts go.
  void startConnection();
  // Bytes from the host (frames when framed).
  void receive(const uint8_t* data, size_t length);
  void receive(const Bytes& bytes) { receive(bytes.data(), bytes.size()); }
  // What is ready to go out, framed, faulted and cut as the knobs say.
  std::vector<Segment> takeSegments();
  bool hasOutput() const { return !pending_.empty(); }
  // True once dropAfter packets came in on this connection; cleared by startConnection.
  bool dropDue() const { return dropDue_; }

  // Packets the module sends of its own accord.
  void sendHeartbeat(uint8_t x);
  void sendPacket(const Packet& packet);
  void sendRaw(const Bytes& wire);  // verbatim bytes, as one packet
  void flood(unsigned count);       // [A][3][kFloodCommand][seq high][seq low], seq 0 to count-1

  // Replies.
  void setHandler(uint8_t command, Handler handler);
  void removeHandler(uint8_t command);
  void echo(uint8_t command);                                  // replies with the request's data
  void script(uint8_t command, std::vector<Bytes> replyData);  // the same replies each time
  void setForwarder(Forwarder forwarder) { forwarder_ = std::move(forwarder); }

  // Knobs.
  void setSilent(bool silent) { config_.silent = silent; }
  void setFault(Fault fault, int count) { config_.faults[fault] = count; }
  int faultCount(Fault fault) const;

  // What happened.
  const std::vector<Record>& records() const { return records_; }
  const std::vector<uint8_t>& forceRoutes() const { return forceRoutes_; }
  const std::vector<uint8_t>& heartbeatAnswers() const { return heartbeatAnswers_; }
  unsigned badFramesIn() const { return frames_.badFrames(); }
  unsigned connections() const { return connections_; }

 private:
  struct Output {
    Bytes bytes;
    bool packet = true;  // false: a garbage run
    bool split = false;
    bool badFrame = false;
  };

  void takeByte(uint8_t byte);
  void handle(const Packet& packet);
  void answer(const Packet& packet);  // an automatic answer: nothing while silent
  void emit(Bytes wire);
  bool takeFault(Fault fault);
  uint64_t nowMs() const;

  ModuleConfig config_;
  std::chrono::steady_clock::time_point start_;
  std::map<uint8_t, Handler> handlers_;
  Forwarder forwarder_;

  // Packet being parsed.
  Bytes partial_;
  FrameDecoder frames_;

  std::vector<Output> pending_;
  unsigned packetsThisConnection_ = 0;
  bool dropDue_ = false;
  unsigned connections_ = 0;

  std::vector<Record> records_;
  std::vector<uint8_t> forceRoutes_;
  std::vector<uint8_t> heartbeatAnswers_;
};

}  // namespace kvsim
