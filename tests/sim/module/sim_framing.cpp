#include "sim_framing.h"

namespace kvsim {

namespace {
constexpr uint8_t kCrcPolynomial = 0x8C;  // reflected form of x^8 + x^5 + x^4 + 1
constexpr uint8_t kCobsMaxCode = 0xFF;    // a block of 254 data bytes with no zero after it
}  // namespace

uint8_t crc8(const uint8_t* data, size_t length) {
  uint8_t crc = 0;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ kCrcPolynomial)
                      : static_cast<uint8_t>(crc >> 1);
  }
  return crc;
}

Bytes cobsEncode(const Bytes& data) {
  Bytes out{0};
  size_t codeAt = 0;
  uint8_t code = 1;
  auto closeBlock = [&] {
    out[codeAt] = code;
    codeAt = out.size();
    out.push_back(0);
    code = 1;
  };
  for (uint8_t byte : data) {
    if (byte == 0) {
      closeBlock();
      continue;
    }
    out.push_back(byte);
    if (++code == kCobsMaxCode) closeBlock();
  }
  out[codeAt] = code;
  return out;
}

bool cobsDecode(const Bytes& body, Bytes* decoded) {
  decoded->clear();
  size_t i = 0;
  while (i < body.size()) {
    uint8_t code = body[i++];
    if (code == 0 || i + code - 1 > body.size()) return false;
    for (int k = 1; k < code; ++k) {
      if (body[i] == 0) return false;
      decoded->push_back(body[i++]);
    }
    if (code != kCobsMaxCode && i < body.size()) decoded->push_back(0);
  }
  return true;
}

Bytes frameEncode(const Bytes& packet, bool spoilCheck) {
  Bytes withCheck = packet;
  uint8_t check = crc8(packet);
  withCheck.push_back(spoilCheck ? static_cast<uint8_t>(~check) : check);
  Bytes frame = cobsEncode(withCheck);
  frame.push_back(0);
  return frame;
}

bool FrameDecoder::feed(uint8_t byte, Bytes* packet) {
  if (byte != 0) {
    if (body_.size() < kMaxBody)
      body_.push_back(byte);
    else
      overlong_ = true;
    return false;
  }
  if (body_.empty()) return false;
  Bytes decoded;
  bool good = !overlong_ && cobsDecode(body_, &decoded) && decoded.size() >= 3 &&
              decoded.size() == static_cast<size_t>(decoded[1]) + 3 &&
              crc8(decoded.data(), decoded.size() - 1) == decoded.back();
  body_.clear();
  overlong_ = false;
  if (!good) {
    ++badFrames_;
    return false;
  }
  decoded.pop_back();
  *packet = std::move(decoded);
  return true;
}

}  // namespace kvsim
