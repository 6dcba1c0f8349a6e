// Byte framing of the serial device link, written for the stand-in module: CRC-8 (reflected
// polynomial 0x8C, initial value 0, no final inversion) and COBS frames of the form
// COBS(packet bytes + CRC-8) followed by one 0x00 byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvsim {

using Bytes = std::vector<uint8_t>;

uint8_t crc8(const uint8_t* data, size_t length);
inline uint8_t crc8(const Bytes& data) { return crc8(data.data(), data.size()); }

// COBS encoding without a closing zero byte.
Bytes cobsEncode(const Bytes& data);
// Decodes one COBS body (no zero bytes in it); false for a zero byte or a code byte that
// points past the end.
bool cobsDecode(const Bytes& body, Bytes* decoded);

// The frame of one packet: COBS(packet + CRC-8) and 0x00. A spoiled frame carries a wrong
// check byte.
Bytes frameEncode(const Bytes& packet, bool spoilCheck = false);

// Cuts a byte stream into frames and checks each one.
class FrameDecoder {
 public:
  // Takes one byte; true when it closed a good frame, whose packet bytes are then in *packet.
  // An empty frame (two zero bytes in a row) is skipped; a bad one is counted.
  bool feed(uint8_t byte, Bytes* packet);
  void reset() {
    body_.clear();
    overlong_ = false;
  }
  unsigned badFrames() const { return badFrames_; }

 private:
  // Longest body kept: a 28-byte packet with its check byte and COBS code is 32 bytes; longer
  // bodies are cut and fail the checks.
  static constexpr size_t kMaxBody = 32;
  Bytes body_;
  bool overlong_ = false;
  unsigned badFrames_ = 0;
};

}  // namespace kvsim
