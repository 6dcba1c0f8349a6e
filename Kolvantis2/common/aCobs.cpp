#include "aCobs.h"

namespace {

// Largest code byte: a block of 254 non-zero bytes that stands for no zero.
constexpr uint8_t sCOBS_FULL_BLOCK = 0xFF;
// Input bytes the in-place encoder holds ahead of its output.
constexpr size_t sLOOKAHEAD = 10;

// Table of the reflected polynomial 0x8C, one entry per byte value.
struct Crc8Table {
  uint8_t entry[256];
};

constexpr Crc8Table sMakeCrc8Table() {
  Crc8Table table{};
  for (unsigned value = 0; value < 256; ++value) {
    uint8_t crc = static_cast<uint8_t>(value);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint8_t>((crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1);
    }
    table.entry[value] = crc;
  }
  return table;
}

constexpr Crc8Table _crc8LUT = sMakeCrc8Table();

}  // namespace

size_t cobs_encode(const uint8_t* source, size_t n, uint8_t* destination) {
  if (destination == nullptr || (source == nullptr && n > 0)) return 0;
  size_t codeAt = 0;
  size_t out = 1;
  uint8_t code = 1;
  for (size_t i = 0; i < n; ++i) {
    if (source[i] == 0) {
      destination[codeAt] = code;
      codeAt = out++;
      code = 1;
      continue;
    }
    destination[out++] = source[i];
    if (++code == sCOBS_FULL_BLOCK) {
      destination[codeAt] = code;
      codeAt = out++;
      code = 1;
    }
  }
  destination[codeAt] = code;
  return out;
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t n) {
  if (buffer == nullptr) return 0;

  uint8_t ring[sLOOKAHEAD];
  size_t ringHead = 0;
  size_t ringCount = 0;
  size_t nextRead = 0;  // index of the next input byte to take into the ring
  auto refill = [&]() {
    while (ringCount < sLOOKAHEAD && nextRead < n) {
      ring[(ringHead + ringCount) % sLOOKAHEAD] = buffer[nextRead++];
      ++ringCount;
    }
  };
  // A position may be written once its input byte is in the ring, or past the input.
  auto put = [&](size_t at, uint8_t value) {
    if (at >= nextRead && nextRead < n) return false;
    buffer[at] = value;
    return true;
  };

  refill();
  size_t codeAt = 0;
  size_t out = 1;
  uint8_t code = 1;
  while (ringCount > 0) {
    const uint8_t byte = ring[ringHead];
    ringHead = (ringHead + 1) % sLOOKAHEAD;
    --ringCount;
    refill();
    if (byte == 0) {
      if (!put(codeAt, code)) return 0;
      codeAt = out++;
      code = 1;
      continue;
    }
    if (!put(out++, byte)) return 0;
    if (++code == sCOBS_FULL_BLOCK) {
      if (!put(codeAt, code)) return 0;
      codeAt = out++;
      code = 1;
    }
  }
  if (!put(codeAt, code)) return 0;
  return out;
}

size_t cobs_decode(const uint8_t* source, size_t n, uint8_t* destination) {
  if (source == nullptr || destination == nullptr) return 0;
  size_t in = 0;
  size_t out = 0;
  while (in < n) {
    const uint8_t code = source[in];
    // Encoded data holds no zero byte; a zero code would also never advance.
    if (code == 0) return 0;
    const size_t blockEnd = in + code;
    if (blockEnd > n) return 0;
    // Byte by byte: in place the output stays behind the input.
    for (size_t i = in + 1; i < blockEnd; ++i) {
      if (source[i] == 0) return 0;
      destination[out++] = source[i];
    }
    in = blockEnd;
    if (code != sCOBS_FULL_BLOCK && in < n) destination[out++] = 0;
  }
  return out;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t n) { return cobs_decode(buffer, n, buffer); }

uint8_t crc8_update(uint8_t crc, uint8_t byte) { return _crc8LUT.entry[crc ^ byte]; }

uint8_t crc8_create(const uint8_t* data, size_t n) {
  uint8_t crc = 0;
  if (data == nullptr) return crc;
  for (size_t i = 0; i < n; ++i) crc = crc8_update(crc, data[i]);
  return crc;
}

bool crc8_check(const uint8_t* data, size_t n, uint8_t expected) {
  return crc8_create(data, n) == expected;
}
