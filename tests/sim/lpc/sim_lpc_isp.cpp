#include "sim_lpc_isp.h"

#include <algorithm>
#include <cstring>

namespace kvsim {

namespace {

constexpr uint32_t kLocalRamStart = 0x10000000;
constexpr uint32_t kLocalRamSize = 0x8000;
constexpr uint32_t kAhbRamStart = 0x2007C000;
constexpr uint32_t kAhbRamSize = 0x8000;
constexpr uint32_t kCopyAlignment = 256;
constexpr uint8_t kErased = 0xFF;
const uint8_t kNoisePattern[] = {0x00, '\r', '\n'};
const uint32_t kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};

// Sector k: 4 KiB sectors up to 0x10000, 32 KiB sectors after.
uint32_t sectorStart(int k) {
  return k < 16 ? static_cast<uint32_t>(k) * 0x1000
                : 0x10000 + static_cast<uint32_t>(k - 16) * 0x8000;
}

uint32_t sectorSize(int k) { return k < 16 ? 0x1000 : 0x8000; }

int sectorOf(uint32_t address) {
  for (int k = 0; k < kLpcSectorCount; ++k) {
    if (address >= sectorStart(k) && address - sectorStart(k) < sectorSize(k)) return k;
  }
  return -1;
}

bool parseNumber(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

// Both arguments as numbers: the sector range first..last, inside the flash.
bool parseSectors(const std::vector<std::string>& args, uint32_t* first, uint32_t* last,
                  int* code) {
  if (args.size() != 2 || !parseNumber(args[0], first) || !parseNumber(args[1], last)) {
    *code = kLpcParamError;
    return false;
  }
  if (*first > *last || *last >= static_cast<uint32_t>(kLpcSectorCount)) {
    *code = kLpcInvalidSector;
    return false;
  }
  return true;
}

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && text[at] == ' ') ++at;
    size_t end = at;
    while (end < text.size() && text[end] != ' ') ++end;
    if (end > at) words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

char encodeSix(uint32_t six) {
  six &= 0x3F;
  return six == 0 ? '`' : static_cast<char>(six + 0x20);
}

uint32_t decodeSix(char c) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(c)) - 0x20) & 0x3F;
}

uint32_t byteSum(const uint8_t* data, size_t count) {
  uint32_t total = 0;
  for (size_t i = 0; i < count; ++i) total += data[i];
  return total;
}

}  // namespace

std::string LpcUuencode(const uint8_t* data, size_t count) {
  std::string text(1, encodeSix(static_cast<uint32_t>(count)));
  for (size_t i = 0; i < count; i += 3) {
    const uint32_t v = static_cast<uint32_t>(data[i]) << 16 |
                       static_cast<uint32_t>(i + 1 < count ? data[i + 1] : 0) << 8 |
                       static_cast<uint32_t>(i + 2 < count ? data[i + 2] : 0);
    text += encodeSix(v >> 18);
    text += encodeSix(v >> 12);
    text += encodeSix(v >> 6);
    text += encodeSix(v);
  }
  return text;
}

LpcBytes LpcUudecode(const std::string& line) {
  LpcBytes bytes;
  if (line.empty()) return bytes;
  const uint32_t announced = decodeSix(line[0]);
  for (size_t at = 1; at + 4 <= line.size() && bytes.size() < announced; at += 4) {
    const uint32_t v = decodeSix(line[at]) << 18 | decodeSix(line[at + 1]) << 12 |
                       decodeSix(line[at + 2]) << 6 | decodeSix(line[at + 3]);
    for (int shift = 16; shift >= 0 && bytes.size() < announced; shift -= 8)
      bytes.push_back(static_cast<uint8_t>(v >> shift));
  }
  return bytes;
}

LpcIspRom::LpcIspRom(const LpcConfig& config)
    : config_(config),
      echo_(config.echo),
      flash_(kLpcFlashSize, config.flashFill),
      localRam_(kLocalRamSize, 0),
      ahbRam_(kAhbRamSize, 0) {}

void LpcIspRom::answer(std::vector<LpcOutput>& out, const std::string& text, uint32_t delayMs) {
  if (config_.silent) return;
  LpcOutput output;
  output.delayMs = delayMs;
  for (size_t i = 0; i < config_.noise; ++i)
    output.bytes.push_back(kNoisePattern[i % sizeof kNoisePattern]);
  output.bytes.insert(output.bytes.end(), text.begin(), text.end());
  out.push_back(output);
}

void LpcIspRom::returnCode(std::vector<LpcOutput>& out, int code, uint32_t delayMs) {
  answer(out, std::to_string(code) + "\r\n", delayMs);
}

void LpcIspRom::receive(uint8_t byte, std::vector<LpcOutput>& out) {
  if (state_ == State::Running) return;
  if (state_ == State::Autobaud) {
    // The chip measures the rate on the question mark and answers it; other bytes are lost.
    if (byte == '?') {
      state_ = State::SyncLine;
      line_.clear();
      answer(out, "Synchronized\r\n");
    }
    return;
  }
  if (echo_ && !config_.silent) out.push_back(LpcOutput{0, LpcBytes{byte}});
  if (byte == '\n') {
    this->line(out);
    line_.clear();
    return;
  }
  if (line_.size() < kLpcMaxLine) line_ += static_cast<char>(byte);
}

void LpcIspRom::line(std::vector<LpcOutput>& out) {
  std::string text = line_;
  if (!text.empty() && text.back() == '\r') text.pop_back();
  switch (state_) {
    case State::SyncLine:
      if (text == "Synchronized") {
        state_ = State::Crystal;
        answer(out, "OK\r\n");
      } else {
        state_ = State::Autobaud;
      }
      break;
    case State::Crystal: {
      uint32_t kHz = 0;
      if (parseNumber(text, &kHz)) {
        state_ = State::Command;
        answer(out, "OK\r\n");
      } else {
        state_ = State::Autobaud;
      }
      break;
    }
    case State::Command:
      if (!text.empty()) {
        commands_.push_back(text);
        command(text, out);
      }
      break;
    case State::WriteData:
      writeDataLine(text, out);
      break;
    case State::ReadAck:
      readAck(text, out);
      break;
    case State::Autobaud:
    case State::Running:
      break;
  }
}

void LpcIspRom::command(const std::string& text, std::vector<LpcOutput>& out) {
  for (const std::string& prefix : config_.ignore) {
    if (text.compare(0, prefix.size(), prefix) == 0) return;
  }
  for (const auto& rule : config_.refuse) {
    if (text.compare(0, rule.first.size(), rule.first) == 0) {
      returnCode(out, rule.second);
      return;
    }
  }

  std::vector<std::string> args = split(text);
  const std::string name = args.empty() ? std::string() : args.front();
  if (!args.empty()) args.erase(args.begin());
  if (name.size() != 1) {
    returnCode(out, kLpcInvalidCommand);
    return;
  }

  uint32_t a = 0;
  uint32_t b = 0;
  switch (name[0]) {
    case 'U':
      returnCode(out, unlock(args));
      break;
    case 'A':
      if (args.size() != 1 || (args[0] != "0" && args[0] != "1")) {
        returnCode(out, kLpcParamError);
        break;
      }
      echo_ = args[0] == "1";
      returnCode(out, kLpcSuccess);
      break;
    case 'B':
      if (args.size() != 2 || !parseNumber(args[0], &a) || !parseNumber(args[1], &b))
        returnCode(out, kLpcParamError);
      else if (std::find(std::begin(kBaudRates), std::end(kBaudRates), a) == std::end(kBaudRates))
        returnCode(out, kLpcInvalidBaudRate);
      else if (b != 1 && b != 2)
        returnCode(out, kLpcInvalidStopBit);
      else
        returnCode(out, kLpcSuccess);
      break;
    case 'J':
      if (!args.empty()) {
        returnCode(out, kLpcParamError);
        break;
      }
      returnCode(out, kLpcSuccess);
      answer(out, std::to_string(config_.partId) + "\r\n");
      break;
    case 'K':
      if (!args.empty()) {
        returnCode(out, kLpcParamError);
        break;
      }
      returnCode(out, kLpcSuccess);
      answer(out, std::to_string(config_.bootMajor) + "\r\n");
      answer(out, std::to_string(config_.bootMinor) + "\r\n");
      break;
    case 'N':
      if (!args.empty()) {
        returnCode(out, kLpcParamError);
        break;
      }
      returnCode(out, kLpcSuccess);
      for (uint32_t word : config_.serial) answer(out, std::to_string(word) + "\r\n");
      break;
    case 'P':
      returnCode(out, prepare(args));
      break;
    case 'E': {
      uint32_t delayMs = 0;
      const int code = erase(args, &delayMs);
      returnCode(out, code, delayMs);
      break;
    }
    case 'C':
      returnCode(out, copy(args));
      break;
    case 'W':
      if (args.size() != 2 || !parseNumber(args[0], &a) || !parseNumber(args[1], &b)) {
        returnCode(out, kLpcParamError);
      } else if (a % 4 != 0) {
        returnCode(out, kLpcAddrError);
      } else if (b == 0 || b % 4 != 0) {
        returnCode(out, kLpcCountError);
      } else if (!memoryAt(a, b, false, true)) {
        returnCode(out, kLpcAddrNotMapped);
      } else {
        writeAddress_ = a;
        writeCount_ = b;
        writeDone_ = 0;
        writePending_.clear();
        writeLines_ = 0;
        state_ = State::WriteData;
        returnCode(out, kLpcSuccess);
      }
      break;
    case 'R':
      if (args.size() != 2 || !parseNumber(args[0], &a) || !parseNumber(args[1], &b)) {
        returnCode(out, kLpcParamError);
      } else if (a % 4 != 0) {
        returnCode(out, kLpcAddrError);
      } else if (b == 0 || b % 4 != 0) {
        returnCode(out, kLpcCountError);
      } else if (!memoryAt(a, b, true, true)) {
        returnCode(out, kLpcAddrNotMapped);
      } else {
        readAddress_ = a;
        readCount_ = b;
        readDone_ = 0;
        returnCode(out, kLpcSuccess);
        sendReadBlock(out);
      }
      break;
    case 'G':
      if (args.size() != 2 || !parseNumber(args[0], &a) || args[1] != "T")
        returnCode(out, kLpcParamError);
      else if (!unlocked_)
        returnCode(out, kLpcCmdLocked);
      else if (a % 4 != 0)
        returnCode(out, kLpcAddrError);
      else if (!memoryAt(a, 4, true, true))
        returnCode(out, kLpcAddrNotMapped);
      else {
        returnCode(out, kLpcSuccess);
        startAddress_ = a;
        state_ = State::Running;
      }
      break;
    default:
      returnCode(out, kLpcInvalidCommand);
      break;
  }
}

int LpcIspRom::unlock(const std::vector<std::string>& args) {
  uint32_t code = 0;
  if (args.size() != 1 || !parseNumber(args[0], &code)) return kLpcParamError;
  if (code != kLpcUnlockCode) return kLpcInvalidCode;
  unlocked_ = true;
  return kLpcSuccess;
}

int LpcIspRom::prepare(const std::vector<std::string>& args) {
  uint32_t first = 0;
  uint32_t last = 0;
  int code = kLpcSuccess;
  if (!parseSectors(args, &first, &last, &code)) return code;
  for (uint32_t k = first; k <= last; ++k) prepared_[k] = true;
  return kLpcSuccess;
}

int LpcIspRom::erase(const std::vector<std::string>& args, uint32_t* delayMs) {
  uint32_t first = 0;
  uint32_t last = 0;
  int code = kLpcSuccess;
  if (!parseSectors(args, &first, &last, &code)) return code;
  if (!unlocked_) return kLpcCmdLocked;
  for (uint32_t k = first; k <= last; ++k) {
    if (!prepared_[k]) return kLpcSectorNotPrepared;
  }
  for (uint32_t k = first; k <= last; ++k) {
    const int sector = static_cast<int>(k);
    std::fill_n(flash_.begin() + sectorStart(sector), sectorSize(sector), kErased);
  }
  std::fill(std::begin(prepared_), std::end(prepared_), false);
  *delayMs = (last - first + 1) * config_.eraseMsPerSector;
  return kLpcSuccess;
}

int LpcIspRom::copy(const std::vector<std::string>& args) {
  uint32_t destination = 0;
  uint32_t source = 0;
  uint32_t count = 0;
  if (args.size() != 3 || !parseNumber(args[0], &destination) || !parseNumber(args[1], &source) ||
      !parseNumber(args[2], &count))
    return kLpcParamError;
  if (!unlocked_) return kLpcCmdLocked;
  if (count != 256 && count != 512 && count != 1024 && count != 4096) return kLpcCountError;
  if (destination % kCopyAlignment != 0) return kLpcDstAddrError;
  if (source % 4 != 0) return kLpcSrcAddrError;
  uint8_t* target = memoryAt(destination, count, true, false);
  if (!target) return kLpcDstAddrNotMapped;
  const uint8_t* from = memoryAt(source, count, false, true);
  if (!from) return kLpcSrcAddrNotMapped;
  for (int k = sectorOf(destination); k <= sectorOf(destination + count - 1); ++k) {
    if (!prepared_[k]) return kLpcSectorNotPrepared;
  }
  for (uint32_t i = 0; i < count; ++i) target[i] &= from[i];
  std::fill(std::begin(prepared_), std::end(prepared_), false);
  return kLpcSuccess;
}

uint8_t* LpcIspRom::memoryAt(uint32_t address, uint32_t count, bool flashAllowed, bool ramAllowed) {
  const uint64_t end = static_cast<uint64_t>(address) + count;
  if (flashAllowed && end <= kLpcFlashSize) return flash_.data() + address;
  if (ramAllowed && address >= kLocalRamStart &&
      end <= static_cast<uint64_t>(kLocalRamStart) + kLocalRamSize)
    return localRam_.data() + (address - kLocalRamStart);
  if (ramAllowed && address >= kAhbRamStart &&
      end <= static_cast<uint64_t>(kAhbRamStart) + kAhbRamSize)
    return ahbRam_.data() + (address - kAhbRamStart);
  return nullptr;
}

void LpcIspRom::writeDataLine(const std::string& text, std::vector<LpcOutput>& out) {
  const bool checksumDue =
      writeLines_ >= kLpcLinesPerChecksum || writeDone_ + writePending_.size() >= writeCount_;
  if (!checksumDue) {
    const LpcBytes bytes = LpcUudecode(text);
    const size_t room = writeCount_ - writeDone_ - writePending_.size();
    writePending_.insert(writePending_.end(), bytes.begin(),
                         bytes.begin() + static_cast<long>(std::min(room, bytes.size())));
    ++writeLines_;
    return;
  }

  writeLines_ = 0;
  uint32_t checksum = 0;
  const bool matches = parseNumber(text, &checksum) &&
                       checksum == byteSum(writePending_.data(), writePending_.size());
  if (config_.resend > 0 || !matches) {
    if (config_.resend > 0) --config_.resend;
    ++resendsSent_;
    writePending_.clear();
    answer(out, "RESEND\r\n");
    return;
  }
  uint8_t* target = memoryAt(writeAddress_ + writeDone_,
                             static_cast<uint32_t>(writePending_.size()), false, true);
  if (target) std::copy(writePending_.begin(), writePending_.end(), target);
  writeDone_ += static_cast<uint32_t>(writePending_.size());
  writePending_.clear();
  answer(out, "OK\r\n");
  if (writeDone_ >= writeCount_) state_ = State::Command;
}

void LpcIspRom::sendReadBlock(std::vector<LpcOutput>& out) {
  const uint32_t left = readCount_ - readDone_;
  readBlock_ = std::min<uint32_t>(left, kLpcBytesPerLine * kLpcLinesPerChecksum);
  const uint8_t* data = memoryAt(readAddress_ + readDone_, readBlock_, true, true);
  for (uint32_t at = 0; at < readBlock_; at += kLpcBytesPerLine)
    answer(out, LpcUuencode(data + at, std::min(kLpcBytesPerLine, readBlock_ - at)) + "\r\n");
  answer(out, std::to_string(byteSum(data, readBlock_)) + "\r\n");
  state_ = State::ReadAck;
}

void LpcIspRom::readAck(const std::string& text, std::vector<LpcOutput>& out) {
  if (text == "OK") {
    readDone_ += readBlock_;
    if (readDone_ >= readCount_)
      state_ = State::Command;
    else
      sendReadBlock(out);
  } else if (text == "RESEND") {
    sendReadBlock(out);
  } else {
    state_ = State::Command;
  }
}

}  // namespace kvsim
