#include "base64.h"

#include <array>
#include <cstdint>
#include <cstdlib>

namespace {

const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char PAD = '=';
constexpr uint8_t NOT_BASE64 = 0xFF;  // table value of a character outside the alphabet
constexpr unsigned long GROUP_CHARACTERS = 4;
constexpr unsigned long GROUP_BYTES = 3;

// Six-bit value of every byte value; "=" counts as zero bits.
constexpr std::array<uint8_t, 256> _reverse_table() {
  std::array<uint8_t, 256> table{};
  for (uint8_t& entry : table) entry = NOT_BASE64;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(ALPHABET[i])] = i;
  table[static_cast<unsigned char>(PAD)] = 0;
  return table;
}

constexpr std::array<uint8_t, 256> REVERSE = _reverse_table();

}  // namespace

unsigned char* base64_decode(const char* text, unsigned long length, unsigned long* decodedLength) {
  if (!text) return nullptr;
  if (length > 0 && text[length - 1] == '\r') --length;
  if (length == 0 || length % GROUP_CHARACTERS != 0) return nullptr;
  for (unsigned long i = 0; i < length; ++i)
    if (REVERSE[static_cast<unsigned char>(text[i])] == NOT_BASE64) return nullptr;

  unsigned long n = length / GROUP_CHARACTERS * GROUP_BYTES;
  if (text[length - 1] == PAD) --n;
  if (text[length - 2] == PAD) --n;
  if (decodedLength) *decodedLength = n;

  unsigned char* bytes = static_cast<unsigned char*>(malloc(n + 1));
  if (!bytes) return nullptr;
  bytes[n] = 0;

  unsigned long stored = 0;
  for (unsigned long i = 0; i < length; i += GROUP_CHARACTERS) {
    uint32_t bits = 0;
    for (unsigned long k = 0; k < GROUP_CHARACTERS; ++k)
      bits = bits << 6 | REVERSE[static_cast<unsigned char>(text[i + k])];
    for (int shift = 16; shift >= 0 && stored < n; shift -= 8)
      bytes[stored++] = static_cast<unsigned char>(bits >> shift);
  }
  return bytes;
}

char* base64_encode(const unsigned char* data, unsigned long length, unsigned long* textLength) {
  if (!data && length > 0) return nullptr;
  if (length > (static_cast<unsigned long>(-1) - 1) / GROUP_CHARACTERS * GROUP_BYTES - GROUP_BYTES)
    return nullptr;
  const unsigned long size = GROUP_CHARACTERS * ((length + 2) / GROUP_BYTES);
  if (textLength) *textLength = size;

  char* text = static_cast<char*>(malloc(size + 1));
  if (!text) return nullptr;
  text[size] = '\0';

  unsigned long out = 0;
  for (unsigned long i = 0; i < length; i += GROUP_BYTES) {
    uint32_t bits = static_cast<uint32_t>(data[i]) << 16;
    if (i + 1 < length) bits |= static_cast<uint32_t>(data[i + 1]) << 8;
    if (i + 2 < length) bits |= data[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) text[out++] = ALPHABET[bits >> shift & 0x3F];
  }
  if (length % GROUP_BYTES == 1) {
    text[size - 1] = PAD;
    text[size - 2] = PAD;
  } else if (length % GROUP_BYTES == 2) {
    text[size - 1] = PAD;
  }
  return text;
}
