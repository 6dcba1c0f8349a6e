#include "sim_stream.h"

#include <algorithm>
#include <utility>

#include "sim_uei.h"

namespace kvsim {

namespace {

constexpr uint8_t kGetBit = 0x40;
constexpr uint8_t kSetBit = 0x80;
constexpr uint8_t kKindBits = 0xC0;
constexpr uint8_t kRequestBit = 0x20;
constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kStreamBit = 0x40;  // specifier of a stream packet
constexpr uint8_t kIndexMask = 0x1F;
constexpr uint8_t kOptionMask = 0x3F;
constexpr uint8_t kAny = 0xFF;
constexpr uint8_t kEnableOption = 1;  // set: enable; get: the streaming state
constexpr uint8_t kDisableOption = 2;
constexpr size_t kStateRequestBytes = 3;   // [5D][41][20]
constexpr size_t kSwitchRequestBytes = 7;  // [5D][81|82][20][value, 4]
constexpr uint8_t kFirstSubindexKind = 5;
constexpr uint8_t kLastKind = 7;
constexpr long long kNanosecondsPerSecond = 1000000000LL;
constexpr auto kMaxCatchUp = std::chrono::milliseconds(100);  // further behind: skip ahead

struct FaultEntry {
  StreamFault fault;
  const char* name;
};
constexpr FaultEntry kFaultNames[] = {
    {StreamFault::Long, "long"}, {StreamFault::Short, "short"}, {StreamFault::Refuse, "refuse"}};

uint8_t field(uint32_t value, int byte) { return static_cast<uint8_t>(value >> (8 * byte)); }

// Each field of pattern is kAny or the same in value (bytes 3 to 0: module, command, option,
// index).
bool matches(uint32_t pattern, uint32_t value) {
  for (int byte = 0; byte < 4; ++byte)
    if (field(pattern, byte) != kAny && field(pattern, byte) != field(value, byte)) return false;
  return true;
}

size_t valueWidth(uint8_t kind) {
  switch (kind) {
    case 1:
    case 5:
      return 1;
    case 2:
    case 6:
      return 2;
    default:
      return 4;
  }
}

}  // namespace

std::string checkStreamSource(const StreamSource& source) {
  if (source.option > kOptionMask || source.index > kIndexMask)
    return "a stream's option is at most 63 and its index at most 31";
  if (source.kind < 1 || source.kind > kLastKind) return "a stream's kind is 1 to 7";
  if (source.kind == kStreamByteString &&
      (source.stringBytes < kMinStreamStringBytes || source.stringBytes > kMaxStreamStringBytes))
    return "a byte-string stream has 25 to 255 bytes";
  return "";
}

Bytes streamSample(const StreamSource& source, uint32_t value, uint64_t timestamp) {
  if (!checkStreamSource(source).empty() || source.kind == kStreamByteString) return {};
  Bytes data{source.command, static_cast<uint8_t>(source.option & kOptionMask),
             static_cast<uint8_t>(kStreamBit | (source.index & kIndexMask)), source.kind};
  if (source.kind >= kFirstSubindexKind) data.push_back(source.subindex);
  for (int shift = 56; shift >= 0; shift -= 8)
    data.push_back(static_cast<uint8_t>(timestamp >> shift));
  for (int shift = static_cast<int>(valueWidth(source.kind) - 1) * 8; shift >= 0; shift -= 8)
    data.push_back(static_cast<uint8_t>(value >> shift));
  data.push_back(0);  // the trailer of a value that is no byte string
  return data;
}

std::vector<Bytes> streamStringChunks(const StreamSource& source, uint32_t value) {
  if (!checkStreamSource(source).empty() || source.kind != kStreamByteString) return {};
  Bytes bytes;
  for (size_t i = 0; i < source.stringBytes; ++i) bytes.push_back(static_cast<uint8_t>(value + i));
  return ueiChunks(source.command, static_cast<uint8_t>(source.option & kOptionMask),
                   static_cast<uint8_t>(kStreamBit | (source.index & kIndexMask)), bytes);
}

const char* streamFaultName(StreamFault fault) {
  for (const FaultEntry& entry : kFaultNames)
    if (entry.fault == fault) return entry.name;
  return "?";
}

std::optional<StreamFault> streamFaultByName(const std::string& name) {
  for (const FaultEntry& entry : kFaultNames)
    if (name == entry.name) return entry.fault;
  return std::nullopt;
}

Streamer::Streamer(ModuleCore& core, ModuleCore* carrier)
    : core_(core), carrier_(carrier ? *carrier : core), start_(Clock::now()) {}

std::shared_ptr<Streamer> Streamer::attach(ModuleCore& core, ModuleCore* carrier) {
  std::shared_ptr<Streamer> streamer(new Streamer(core, carrier));
  core.setHandler(kStreamCommand,
                  [streamer](const Packet& request) { return streamer->handle(request); });
  return streamer;
}

bool Streamer::addSource(const StreamSource& source) {
  if (!checkStreamSource(source).empty()) return false;
  sources_.push_back(source);
  values_.push_back(0);
  return true;
}

void Streamer::setRate(unsigned perSecond) {
  rate_ = std::min(perSecond, kMaxStreamRate);
  next_.reset();
  if (streaming() && rate_ > 0) next_ = Clock::now() + period();
}

void Streamer::setBurst(unsigned samples) {
  burst_ = std::max(1u, std::min(samples, kMaxStreamBurst));
  setRate(rate_);
}

void Streamer::setFault(StreamFault fault, int count, uint8_t code) {
  faults_[fault] = {count, code};
}

bool Streamer::takeFault(StreamFault fault, uint8_t* code) {
  auto entry = faults_.find(fault);
  if (entry == faults_.end() || entry->second.count == 0) return false;
  if (entry->second.count > 0) --entry->second.count;
  if (code) *code = entry->second.code;
  return true;
}

// One timed step: a burst of burst_ rounds.
Streamer::Clock::duration Streamer::period() const {
  if (rate_ == 0) return Clock::duration::max();
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(kNanosecondsPerSecond / rate_ * burst_));
}

std::vector<Packet> Streamer::handle(const Packet& request) {
  const Bytes& d = request.data;
  if (d.size() < kStateRequestBytes || !(d[2] & kRequestBit)) return {};  // not a request
  const uint8_t kind = d[1] & kKindBits;
  const uint8_t option = d[1] & kOptionMask;
  const uint8_t index = d[2] & kIndexMask;
  if (kind != kGetBit && kind != kSetBit) return {};
  const uint8_t replyOption = kind == kGetBit ? option : static_cast<uint8_t>(option | kKindBits);
  auto reply = [&](Bytes bytes) {
    return std::vector<Packet>{{core_.address(), std::move(bytes)}};
  };
  auto error = [&](uint8_t code) {
    return reply({kStreamCommand, replyOption, static_cast<uint8_t>(index | kErrorBit), code});
  };

  if (kind == kGetBit) {
    if (option != kEnableOption) return error(kStreamErrNotFound);
    if (d.size() != kStateRequestBytes || index != 0) return error(kStreamErrParam);
    return reply({kStreamCommand, option, 0, static_cast<uint8_t>(streaming() ? 1 : 0)});
  }
  if (option != kEnableOption && option != kDisableOption) return error(kStreamErrNotFound);
  if (d.size() != kSwitchRequestBytes || index != 0) return error(kStreamErrParam);
  uint8_t code = 0;
  if (takeFault(StreamFault::Refuse, &code)) return error(code);

  const uint32_t value = static_cast<uint32_t>(d[3]) << 24 | static_cast<uint32_t>(d[4]) << 16 |
                         static_cast<uint32_t>(d[5]) << 8 | d[6];
  const bool was = streaming();
  if (option == kEnableOption) {
    if (std::find(enables_.begin(), enables_.end(), value) == enables_.end())
      enables_.push_back(value);
  } else {
    enables_.erase(std::remove_if(enables_.begin(), enables_.end(),
                                  [value](uint32_t enable) { return matches(value, enable); }),
                   enables_.end());
  }
  if (was != streaming()) setRate(rate_);
  return reply({kStreamCommand, replyOption, 0, d[3], d[4], d[5], d[6]});
}

bool Streamer::covers(uint32_t enable, const StreamSource& source) const {
  const uint32_t concrete = static_cast<uint32_t>(core_.address()) << 24 |
                            static_cast<uint32_t>(source.command) << 16 |
                            static_cast<uint32_t>(source.option) << 8 | source.index;
  return field(enable, 3) == core_.address() && matches(enable, concrete);
}

std::vector<size_t> Streamer::covered() const {
  std::vector<size_t> positions;
  for (size_t at = 0; at < sources_.size(); ++at)
    for (uint32_t enable : enables_)
      if (covers(enable, sources_[at])) {
        positions.push_back(at);
        break;
      }
  return positions;
}

std::vector<Packet> Streamer::sample(size_t at) {
  const StreamSource& source = sources_[at];
  const uint32_t value = ++values_[at];
  const uint8_t address = core_.address();
  std::vector<Packet> packets;
  ++samplesSent_;
  if (source.kind == kStreamByteString) {
    for (Bytes& chunk : streamStringChunks(source, value))
      packets.push_back({address, std::move(chunk)});
    packetsSent_ += packets.size();
    return packets;
  }
  const uint64_t timestamp = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count());
  Bytes data = streamSample(source, value, timestamp);
  if (takeFault(StreamFault::Long))
    data.insert(data.end() - 1, 0);
  else if (takeFault(StreamFault::Short))
    data.erase(data.end() - 2);
  ++packetsSent_;
  packets.push_back({address, std::move(data)});
  return packets;
}

void Streamer::send(const std::vector<Packet>& packets, bool oneWrite) {
  if (!oneWrite || packets.size() < 2) {
    for (const Packet& packet : packets) carrier_.sendPacket(packet);
    return;
  }
  Bytes all;
  for (const Packet& packet : packets) {
    Bytes wire = packet.wire();
    all.insert(all.end(), wire.begin(), wire.end());
  }
  carrier_.sendRaw(all);
}

size_t Streamer::emitSamples(size_t n, bool oneWrite) {
  const std::vector<size_t> positions = covered();
  if (positions.empty()) return 0;
  std::vector<Packet> packets;
  for (size_t i = 0; i < n; ++i) {
    std::vector<Packet> more = sample(positions[nextSource_++ % positions.size()]);
    packets.insert(packets.end(), more.begin(), more.end());
  }
  send(packets, oneWrite);
  return n;
}

void Streamer::poll(Clock::time_point now) {
  if (!next_ || now < *next_) return;
  if (now - *next_ > kMaxCatchUp)
    next_ = now;  // held up for long: no flood of samples that are long overdue
  const std::vector<size_t> positions = covered();
  for (; *next_ <= now; *next_ += period()) {
    std::vector<Packet> packets;
    for (unsigned round = 0; round < burst_; ++round)
      for (size_t at : positions) {
        std::vector<Packet> more = sample(at);
        packets.insert(packets.end(), more.begin(), more.end());
      }
    send(packets, burst_ > 1);
  }
}

std::optional<TimedWork::Clock::time_point> Streamer::nextDue() const { return next_; }

}  // namespace kvsim
