#include "sim_imx_sdp.h"

#include <algorithm>

namespace kvsim {

namespace {

uint32_t BigEndian(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

}  // namespace

SdpBytes SdpWord(uint32_t word) {
  return {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)};
}

ImxSdpRom::ImxSdpRom(const ImxSdpConfig& config) : config_(config) {}

void ImxSdpRom::answer(std::vector<SdpAnswer>& out, SdpAnswer::Kind kind, SdpBytes bytes) {
  if (config_.silent) return;
  if (config_.silentAfter >= 0 && commands_.size() > uint64_t(config_.silentAfter)) return;
  if (!config_.stray.empty() && kind == SdpAnswer::Kind::Hab) {
    SdpAnswer garbage;
    garbage.kind = SdpAnswer::Kind::Stray;
    garbage.bytes = config_.stray;
    garbage.delayMs = config_.answerDelayMs;
    out.push_back(std::move(garbage));
  }
  SdpAnswer part;
  part.kind = kind;
  part.bytes = std::move(bytes);
  part.delayMs = config_.answerDelayMs;
  out.push_back(std::move(part));
}

void ImxSdpRom::status(std::vector<SdpAnswer>& out, uint32_t word) {
  answer(out, SdpAnswer::Kind::Hab, SdpWord(config_.habMode));
  answer(out, SdpAnswer::Kind::Payload, SdpWord(word));
}

void ImxSdpRom::associate(std::vector<SdpAnswer>& out) {
  if (jumped_) return;
  ++associations_;
  if (!config_.silent)
    out.push_back(SdpAnswer{SdpAnswer::Kind::Payload,
                            SdpBytes(kSdpAssociation.begin(), kSdpAssociation.end()),
                            config_.answerDelayMs});
}

void ImxSdpRom::command(const uint8_t* bytes, std::vector<SdpAnswer>& out) {
  if (jumped_) return;
  SdpCommand cmd;
  std::copy(bytes, bytes + kSdpCommandBytes, cmd.raw.begin());
  cmd.type = static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
  cmd.address = BigEndian(bytes + 2);
  cmd.format = bytes[6];
  cmd.count = BigEndian(bytes + 7);
  cmd.data = BigEndian(bytes + 11);
  commands_.push_back(cmd);

  switch (cmd.type) {
    case kSdpErrorStatus:
      status(out, config_.errorStatus);
      break;
    case kSdpReadRegister:
      answer(out, SdpAnswer::Kind::Hab, SdpWord(config_.habMode));
      answer(out, SdpAnswer::Kind::Payload, memory(cmd.address, cmd.count));
      break;
    case kSdpWriteFile:
      loads_.push_back(SdpLoad{cmd.address, {}});
      dataLeft_ = cmd.count;
      dataSeen_ = 0;
      strayed_ = false;
      if (dataLeft_ == 0) status(out, config_.completeStatus);
      break;
    case kSdpJumpAddress:
      answer(out, SdpAnswer::Kind::Hab, SdpWord(config_.habMode));
      jumped_ = true;
      jumpAddress_ = cmd.address;
      if (jumpHook_) jumpHook_(cmd.address);
      break;
    default:
      if (!config_.silentOnUnknown) status(out, kSdpUnknownCommand);
      break;
  }
}

void ImxSdpRom::data(const uint8_t* bytes, size_t n, std::vector<SdpAnswer>& out) {
  if (jumped_ || dataLeft_ == 0 || loads_.empty()) return;
  const size_t taken = std::min<size_t>(n, dataLeft_);
  SdpLoad& load = loads_.back();
  load.bytes.insert(load.bytes.end(), bytes, bytes + taken);
  dataLeft_ -= static_cast<uint32_t>(taken);
  dataSeen_ += taken;
  if (config_.strayAfterData >= 0 && !strayed_ &&
      dataSeen_ >= static_cast<uint64_t>(config_.strayAfterData) && dataLeft_ > 0) {
    strayed_ = true;
    status(out, kSdpChipError);
  }
  if (dataLeft_ == 0) status(out, config_.completeStatus);
}

SdpBytes ImxSdpRom::memory(uint32_t address, uint32_t count) const {
  SdpBytes bytes(count, 0);
  for (uint32_t i = 0; i < count; i += 4) {
    auto reg = config_.registers.find(address + i);
    if (reg == config_.registers.end()) continue;
    const SdpBytes word = SdpWord(reg->second);
    std::copy(word.begin(), word.begin() + std::min<uint32_t>(4, count - i), bytes.begin() + i);
  }
  // Later loads cover earlier ones.
  for (const SdpLoad& load : loads_) {
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t at = uint64_t(address) + i;
      if (at >= load.address && at < uint64_t(load.address) + load.bytes.size())
        bytes[i] = load.bytes[at - load.address];
    }
  }
  return bytes;
}

}  // namespace kvsim
