#include "sim_module_core.h"

#include <cctype>
#include <cstdio>
#include <utility>

namespace kvsim {

namespace {

// Garbage bytes are odd (never a module address) and never 0 (never a frame end or padding).
constexpr uint8_t kGarbagePattern[] = {0x55, 0xFF, 0xA5, 0x13, 0xC3, 0x7F, 0x99, 0x31};

struct FaultEntry {
  Fault fault;
  const char* name;
};
constexpr FaultEntry kFaultNames[] = {
    {Fault::OddAddress, "odd-address"},
    {Fault::ZeroAddress, "zero-address"},
    {Fault::OversizeLength, "oversize-length"},
    {Fault::Garbage, "garbage"},
    {Fault::Split, "split"},
    {Fault::BadFrame, "bad-frame"},
};

bool isHeartbeatShape(const Packet& packet) {
  return packet.data.size() == 2 && packet.data[0] == 0;
}

}  // namespace

Bytes Packet::wire() const {
  Bytes bytes;
  bytes.reserve(data.size() + 2);
  bytes.push_back(address);
  bytes.push_back(static_cast<uint8_t>(data.size()));
  for (uint8_t byte : data) bytes.push_back(byte);
  return bytes;
}

std::string toHex(const Bytes& bytes) {
  std::string text;
  char digits[3];
  for (uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text;
}

std::optional<Bytes> parseHex(const std::string& text) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (high >= 0) return std::nullopt;  // a lone digit
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    int value = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | value));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

std::string formatRecord(const Record& record) {
  return std::to_string(record.ms) + (record.direction == Direction::In ? " in " : " out ") +
         toHex(record.bytes);
}

const char* faultName(Fault fault) {
  for (const FaultEntry& entry : kFaultNames)
    if (entry.fault == fault) return entry.name;
  return "?";
}

std::optional<Fault> faultByName(const std::string& name) {
  for (const FaultEntry& entry : kFaultNames)
    if (name == entry.name) return entry.fault;
  return std::nullopt;
}

ModuleCore::ModuleCore(ModuleConfig config)
    : config_(std::move(config)), start_(std::chrono::steady_clock::now()) {}

uint64_t ModuleCore::nowMs() const {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start_)
                                   .count());
}

void ModuleCore::startConnection() {
  partial_.clear();
  frames_.reset();
  pending_.clear();
  packetsThisConnection_ = 0;
  dropDue_ = false;
  ++connections_;
}

void ModuleCore::receive(const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (!config_.framed) {
      takeByte(data[i]);
      continue;
    }
    Bytes packet;
    if (frames_.feed(data[i], &packet))
      for (uint8_t byte : packet) takeByte(byte);
  }
}

void ModuleCore::takeByte(uint8_t byte) {
  if (partial_.empty() && byte == 0) return;  // padding between packets
  partial_.push_back(byte);
  if (partial_.size() == 2 && partial_[1] > kMaxPacketData) {
    partial_.clear();  // not a packet: start again with the next byte
    return;
  }
  if (partial_.size() < 2 || partial_.size() < static_cast<size_t>(partial_[1]) + 2) return;
  Packet packet{partial_[0], Bytes(partial_.begin() + 2, partial_.end())};
  partial_.clear();
  handle(packet);
}

void ModuleCore::handle(const Packet& packet) {
  records_.push_back({nowMs(), Direction::In, packet.wire()});
  if (packet.address == kSyncProbeAddress && packet.data.empty()) {
    answer({config_.address, {}});
  } else if (packet.address == kForceRouteAddress && packet.data.size() == 1) {
    forceRoutes_.push_back(packet.data[0]);
  } else if (std::vector<Packet> forwarded; forwarder_ && forwarder_(packet, &forwarded)) {
    for (const Packet& reply : forwarded) answer(reply);
  } else if (isHeartbeatShape(packet)) {
    heartbeatAnswers_.push_back(packet.data[1]);  // the host never sends heartbeats itself
  } else if (!packet.data.empty()) {
    auto handler = handlers_.find(packet.data[0]);
    if (handler != handlers_.end())
      for (const Packet& reply : handler->second(packet)) answer(reply);
  }

  ++packetsThisConnection_;
  if (packetsThisConnection_ == 1 && config_.floodOnConnect > 0) flood(config_.floodOnConnect);
  if (config_.dropAfter > 0 && packetsThisConnection_ >= config_.dropAfter) dropDue_ = true;
}

void ModuleCore::answer(const Packet& packet) {
  if (!config_.silent) emit(packet.wire());
}

bool ModuleCore::takeFault(Fault fault) {
  auto entry = config_.faults.find(fault);
  if (entry == config_.faults.end() || entry->second == 0) return false;
  if (entry->second > 0) --entry->second;
  return true;
}

int ModuleCore::faultCount(Fault fault) const {
  auto entry = config_.faults.find(fault);
  return entry == config_.faults.end() ? 0 : entry->second;
}

void ModuleCore::emit(Bytes wire) {
  if (takeFault(Fault::Garbage)) {
    Output garbage;
    garbage.packet = false;
    for (size_t i = 0; i < config_.garbageLength; ++i)
      garbage.bytes.push_back(kGarbagePattern[i % sizeof kGarbagePattern]);
    records_.push_back({nowMs(), Direction::Out, garbage.bytes});
    pending_.push_back(std::move(garbage));
  }
  if (!wire.empty() && takeFault(Fault::OddAddress)) wire[0] |= 1;
  if (!wire.empty() && takeFault(Fault::ZeroAddress)) wire[0] = 0;
  if (wire.size() >= 2 && takeFault(Fault::OversizeLength)) wire[1] = kOversizeLength;
  Output out;
  out.split = takeFault(Fault::Split);
  out.badFrame = takeFault(Fault::BadFrame);
  records_.push_back({nowMs(), Direction::Out, wire});
  out.bytes = std::move(wire);
  pending_.push_back(std::move(out));
}

std::vector<Segment> ModuleCore::takeSegments() {
  std::vector<Segment> segments;
  bool lastJoinable = false;  // the last segment may take more bytes
  for (Output& out : pending_) {
    Bytes bytes = out.bytes;
    if (config_.framed && out.packet)
      bytes = frameEncode(out.bytes, out.badFrame);
    else if (config_.framed)
      bytes.push_back(0);  // the garbage run closes as a frame of its own
    if (out.split) {
      for (uint8_t byte : bytes) segments.push_back({{byte}, config_.splitGapMs});
      lastJoinable = false;
    } else if (config_.coalesce && lastJoinable) {
      Bytes& last = segments.back().bytes;
      last.insert(last.end(), bytes.begin(), bytes.end());
    } else {
      segments.push_back({std::move(bytes), 0});
      lastJoinable = true;
    }
  }
  pending_.clear();
  return segments;
}

void ModuleCore::sendHeartbeat(uint8_t x) { emit({config_.address, 2, 0, x}); }

void ModuleCore::sendPacket(const Packet& packet) { emit(packet.wire()); }

void ModuleCore::sendRaw(const Bytes& wire) { emit(wire); }

void ModuleCore::flood(unsigned count) {
  for (unsigned seq = 0; seq < count; ++seq)
    emit({config_.address, 3, kFloodCommand, static_cast<uint8_t>(seq >> 8),
          static_cast<uint8_t>(seq)});
}

void ModuleCore::setHandler(uint8_t command, Handler handler) {
  handlers_[command] = std::move(handler);
}

void ModuleCore::removeHandler(uint8_t command) { handlers_.erase(command); }

void ModuleCore::echo(uint8_t command) {
  setHandler(command, [address = config_.address](const Packet& request) {
    return std::vector<Packet>{{address, request.data}};
  });
}

void ModuleCore::script(uint8_t command, std::vector<Bytes> replyData) {
  setHandler(command, [address = config_.address, replies = std::move(replyData)](const Packet&) {
    std::vector<Packet> packets;
    for (const Bytes& data : replies) packets.push_back({address, data});
    return packets;
  });
}

}  // namespace kvsim
