// Streams of the stand-in module (command 0x5D): a host enables streaming of entity values,
// and while an enable covers one of the module's sources the module sends stream samples of
// it on its own, at a rate, each with a value that counts up and a time stamp.
//
// Requests and replies (data bytes; the 32-bit value is [module][command][option][index],
// 0xFF in command, option or index meaning any):
//   enable   [5D][81][20][value, 4]  -> [5D][C1][00][value, 4]
//   disable  [5D][82][20][value, 4]  -> [5D][C2][00][value, 4]
//   query    [5D][41][20]            -> [5D][01][00][1 while an enable is in force, else 0]
//   error    [5D][option][index|0x80][code], option as the reply would carry it
// An enable covers a source when its module byte is the module's address and each of its
// other fields is 0xFF or the source's. A disable removes every enable it covers field by
// field (0xFF any, the module byte included); a wider enable stays in force.
//
// Stream samples (data bytes, big-endian), the value in the width of the kind:
//   kinds 1, 2, 3  [cmd][opt][0x40|idx][kind][ts high, 4][ts low, 4][value, 1/2/4][0]
//   kinds 5, 6, 7  [cmd][opt][0x40|idx][kind][subindex][ts high, 4][ts low, 4][value][0]
//   (data lengths 14, 15, 17 and 15, 16, 18)
//   kind 4         a byte string of stringBytes bytes (at least 25, so it takes more than one
//                  chunk and every chunk's last byte is nonzero or has bit 7 set), as the
//                  chunks [cmd][opt][0x40|idx][up to 24 bytes][sequence]; the bytes count up
//                  from the sample's value
// The time stamp counts microseconds since the streamer was made; each source's value counts
// 1, 2, 3, ... from its first sample.
//
// Timed samples: every 1/rate s one sample of each covered source; with a burst of N, N such
// rounds every N/rate s in one write. emitSamples() sends samples at once, without the timer.
// Samples are the module's own packets: they go out while the core is silent too.
//
// Fault knobs (count of samples or requests, or kEvery; 0 switches the knob off):
//   long    samples one byte longer (a 0x00 before the trailer)
//   short   samples one byte shorter (the value's last byte left out, the trailer stays)
//   refuse  enables and disables answered with an error reply with the knob's code
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim_module_core.h"
#include "sim_timed.h"

namespace kvsim {

constexpr uint8_t kStreamCommand = 0x5D;
constexpr unsigned kDefaultStreamRate = 10;       // samples per second of each covered source
constexpr unsigned kMaxStreamRate = 100000;       // samples per second
constexpr unsigned kMaxStreamBurst = 1000;        // samples in one write
constexpr size_t kDefaultStreamStringBytes = 30;  // kind 4: two chunks, of 24 and 6 bytes
constexpr size_t kMinStreamStringBytes = 25;      // kind 4: more than one chunk
constexpr size_t kMaxStreamStringBytes = 255;
constexpr uint8_t kStreamByteString = 4;

// Error codes the stream entity answers with (they share the library's error numbering).
constexpr uint8_t kStreamErrParam = 2;     // a request of the wrong length or entity index
constexpr uint8_t kStreamErrNotFound = 3;  // an option the entity does not have

struct StreamSource {
  uint8_t command = 0;                             // a UEI command
  uint8_t option = 0;                              // 0 to 63
  uint8_t index = 0;                               // 0 to 31
  uint8_t kind = 3;                                // 1 to 7
  uint8_t subindex = 0;                            // kinds 5 to 7
  size_t stringBytes = kDefaultStreamStringBytes;  // kind 4
};
// The reason when a source cannot be sent, empty when it can.
std::string checkStreamSource(const StreamSource& source);

// The data bytes of one sample (kinds 1 to 3, 5 to 7), and the chunks of one byte string
// (kind 4), as the module sends them.
Bytes streamSample(const StreamSource& source, uint32_t value, uint64_t timestamp);
std::vector<Bytes> streamStringChunks(const StreamSource& source, uint32_t value);

enum class StreamFault { Long, Short, Refuse };
const char* streamFaultName(StreamFault fault);
std::optional<StreamFault> streamFaultByName(const std::string& name);

struct StreamFaultSpec {
  StreamFault fault = StreamFault::Long;
  int count = 0;
  uint8_t code = 0;  // refuse only
};

class Streamer : public TimedWork {
 public:
  // Takes command 0x5D on core; the streamer is kept alive by the handler. Samples go out from
  // core's address through carrier (the router's core for a module behind a router), core when
  // null.
  static std::shared_ptr<Streamer> attach(ModuleCore& core, ModuleCore* carrier = nullptr);

  // Sources that checkStreamSource refuses are not added (false).
  bool addSource(const StreamSource& source);
  const std::vector<StreamSource>& sources() const { return sources_; }
  void setRate(unsigned perSecond);  // at most kMaxStreamRate; 0: no timed samples
  unsigned rate() const { return rate_; }
  void setBurst(unsigned samples);  // 1 to kMaxStreamBurst
  void setFault(StreamFault fault, int count, uint8_t code = 0);
  void setFault(const StreamFaultSpec& spec) { setFault(spec.fault, spec.count, spec.code); }

  bool streaming() const { return !enables_.empty(); }
  const std::vector<uint32_t>& enables() const { return enables_; }

  // n samples now, one after the other over the covered sources; oneWrite: all of them in
  // one transport write. The samples sent: 0 when no enable covers a source.
  size_t emitSamples(size_t n, bool oneWrite = false);
  uint64_t samplesSent() const { return samplesSent_; }  // a byte string counts once
  uint64_t packetsSent() const { return packetsSent_; }  // each chunk counts

  // TimedWork: the timed samples.
  void poll(Clock::time_point now = Clock::now()) override;
  std::optional<Clock::time_point> nextDue() const override;

 private:
  struct Knob {
    int count = 0;
    uint8_t code = 0;
  };

  Streamer(ModuleCore& core, ModuleCore* carrier);
  std::vector<Packet> handle(const Packet& request);
  bool covers(uint32_t enable, const StreamSource& source) const;
  std::vector<size_t> covered() const;  // positions in sources_
  // The packets of one sample of sources_[at], with the knobs applied.
  std::vector<Packet> sample(size_t at);
  void send(const std::vector<Packet>& packets, bool oneWrite);
  Clock::duration period() const;
  bool takeFault(StreamFault fault, uint8_t* code = nullptr);

  ModuleCore& core_;
  ModuleCore& carrier_;
  Clock::time_point start_;
  std::vector<StreamSource> sources_;
  std::vector<uint32_t> values_;  // last value sent, per source
  std::vector<uint32_t> enables_;
  unsigned rate_ = kDefaultStreamRate;
  unsigned burst_ = 1;
  std::optional<Clock::time_point> next_;  // next timed burst while streaming
  size_t nextSource_ = 0;                  // emitSamples goes on with this one
  uint64_t samplesSent_ = 0;
  uint64_t packetsSent_ = 0;
  std::map<StreamFault, Knob> faults_;
};

}  // namespace kvsim
