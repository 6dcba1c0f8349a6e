#include "sim_factory.h"

#include <algorithm>

namespace kvsim {

namespace {

constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kFirstBit = 0x40;  // the first packet of a transfer
constexpr uint8_t kWriteBit = 0x10;
constexpr uint8_t kEndOption = 0x20;
constexpr uint8_t kKindMask = 0x0F;
constexpr uint8_t kModeMask = 0xF0;
constexpr size_t kOverhead = 2;  // [5E][option] ahead of the data
constexpr size_t kEndBytes = 4;  // [5E][20][count, 2]
constexpr uint32_t kCountMask = 0xFFFF;

struct PacketEntry {
  FactoryPacket packet;
  const char* name;
};
constexpr PacketEntry kPacketNames[] = {
    {FactoryPacket::Read, "read"}, {FactoryPacket::Write, "write"}, {FactoryPacket::End, "end"}};

struct FaultEntry {
  FactoryFault fault;
  const char* name;
};
constexpr FaultEntry kFaultNames[] = {
    {FactoryFault::ErrorCode, "error-code"},
    {FactoryFault::CutError, "cut-error"},
    {FactoryFault::Silence, "silence"},
    {FactoryFault::AckLength, "ack-length"},
};

}  // namespace

const char* factoryPacketName(FactoryPacket packet) {
  for (const PacketEntry& entry : kPacketNames)
    if (entry.packet == packet) return entry.name;
  return "?";
}

std::optional<FactoryPacket> factoryPacketByName(const std::string& name) {
  for (const PacketEntry& entry : kPacketNames)
    if (name == entry.name) return entry.packet;
  return std::nullopt;
}

const char* factoryFaultName(FactoryFault fault) {
  for (const FaultEntry& entry : kFaultNames)
    if (entry.fault == fault) return entry.name;
  return "?";
}

std::optional<FactoryFault> factoryFaultByName(const std::string& name) {
  for (const FaultEntry& entry : kFaultNames)
    if (name == entry.name) return entry.fault;
  return std::nullopt;
}

std::shared_ptr<FactoryData> FactoryData::attach(ModuleCore& core) {
  std::shared_ptr<FactoryData> data(new FactoryData(core));
  core.setHandler(kFactoryCommand, [data](const Packet& request) { return data->handle(request); });
  return data;
}

void FactoryData::setKind(uint8_t kind, Bytes data) {
  if (kind < kFactoryKinds) kinds_[kind] = std::move(data);
}

void FactoryData::setFault(FactoryPacket packet, FactoryFault fault, int count, uint8_t code) {
  faults_[{packet, fault}] = {count, code};
}

bool FactoryData::takeFault(FactoryPacket packet, FactoryFault fault, uint8_t* code) {
  auto entry = faults_.find({packet, fault});
  if (entry == faults_.end() || entry->second.count == 0) return false;
  if (entry->second.count > 0) --entry->second.count;
  if (code) *code = entry->second.code;
  return true;
}

std::vector<Packet> FactoryData::handle(const Packet& request) {
  const Bytes& d = request.data;
  if (d.size() < kOverhead || (d[1] & kErrorBit))
    return {};  // a reply of a peer, or no option to answer
  const uint8_t option = d[1];
  const FactoryPacket packet = option == kEndOption        ? FactoryPacket::End
                               : (option & kWriteBit) != 0 ? FactoryPacket::Write
                                                           : FactoryPacket::Read;
  const uint8_t replyOption = static_cast<uint8_t>(option & kKindMask);
  auto error = [&](std::optional<uint8_t> code) {
    Bytes reply{kFactoryCommand, static_cast<uint8_t>(replyOption | kErrorBit)};
    if (code) reply.push_back(*code);
    return reply;
  };

  uint8_t code = 0;
  Bytes reply;
  if (takeFault(packet, FactoryFault::ErrorCode, &code)) {
    reply = error(code);
  } else if (takeFault(packet, FactoryFault::CutError)) {
    reply = error(std::nullopt);
  } else {
    std::optional<uint8_t> refused;
    reply = answer(packet, d, &refused);
    if (refused)
      reply = error(refused);
    else if (packet != FactoryPacket::Read && takeFault(packet, FactoryFault::AckLength))
      reply.push_back(0);
  }
  if (takeFault(packet, FactoryFault::Silence)) return {};
  return {{core_.address(), std::move(reply)}};
}

Bytes FactoryData::answer(FactoryPacket packet, const Bytes& d, std::optional<uint8_t>* refused) {
  const uint8_t option = d[1];
  const uint8_t kind = static_cast<uint8_t>(option & kKindMask);
  const uint8_t mode = static_cast<uint8_t>(option & kModeMask);
  const bool first = (option & kFirstBit) != 0;

  if (packet == FactoryPacket::End) {
    if (d.size() != kEndBytes) {
      *refused = kFactoryErrParam;
      return {};
    }
    const uint32_t count = static_cast<uint32_t>(d[2]) << 8 | d[3];
    std::optional<Transfer> done = std::move(transfer_);
    transfer_.reset();
    const uint32_t moved = done ? done->moved & kCountMask : 0;
    if (count != moved) {
      *refused = kFactoryErrCount;
      return {};
    }
    if (done && done->write) kinds_[done->kind] = std::move(done->staged);
    return {kFactoryCommand, 0};
  }

  const bool write = packet == FactoryPacket::Write;
  const bool known =
      write ? mode == (kFirstBit | kWriteBit) || mode == kWriteBit : mode == kFirstBit || mode == 0;
  if (!known || (!write && d.size() != kOverhead) || d.size() > kOverhead + kFactoryChunkBytes) {
    *refused = kFactoryErrParam;
    return {};
  }
  if (first) {
    transfer_ = Transfer{write, kind, 0, {}};
  } else if (!transfer_ || transfer_->write != write || transfer_->kind != kind) {
    *refused = kFactoryErrSequence;
    return {};
  }
  Transfer& transfer = *transfer_;
  if (write) {
    transfer.staged.insert(transfer.staged.end(), d.begin() + kOverhead, d.end());
    transfer.moved += static_cast<uint32_t>(d.size() - kOverhead);
    return {kFactoryCommand, kind};
  }
  const Bytes& bytes = kinds_[kind];
  const size_t from = std::min<size_t>(transfer.moved, bytes.size());
  const size_t count = std::min(kFactoryChunkBytes, bytes.size() - from);
  Bytes reply{kFactoryCommand, kind};
  reply.insert(reply.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
  transfer.moved += static_cast<uint32_t>(count);
  return reply;
}

}  // namespace kvsim
