#include "aUEI.h"

#include <cstring>

namespace {

constexpr uint8_t sTRAILER_MORE = 0x80;
constexpr uint8_t sTRAILER_SEQUENCE = 0x7F;
// Data lengths that count as a chunk of the largest size.
constexpr uint8_t sFULL_CHUNK_SHORT = 27;
constexpr uint8_t sFULL_CHUNK_LONG = 28;
// Commands that are not UEI requests or replies.
const uint8_t sNON_UEI_COMMANDS[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
constexpr uint8_t sSTREAM_MIN_DATA = 5;
constexpr uint8_t sSTREAM_OPTION_MASK = 0xC0;
constexpr uint8_t sSTREAM_SPECIFIER_BIT = 0x40;

// Data length within the record's data bytes and at least one byte.
bool sHasWellFormedData(const aPacket* packet) {
  return packet->dataSize > 0 && packet->dataSize <= aPACKETMAXDATA;
}

// The chunk trailer, or 0 when the packet has none.
uint8_t sTrailer(const aPacket* packet) {
  if (packet == nullptr || !sHasWellFormedData(packet)) return 0;
  return packet->data[packet->dataSize - 1];
}

}  // namespace

uint16_t aUEI_RetrieveShort(const uint8_t* p) {
  if (p == nullptr) return 0;
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void aUEI_StoreShort(uint8_t* p, uint16_t value) {
  if (p == nullptr) return;
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

uint32_t aUEI_RetrieveInt(const uint8_t* p) {
  if (p == nullptr) return 0;
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void aUEI_StoreInt(uint8_t* p, uint32_t value) {
  if (p == nullptr) return;
  p[0] = static_cast<uint8_t>(value >> 24);
  p[1] = static_cast<uint8_t>(value >> 16);
  p[2] = static_cast<uint8_t>(value >> 8);
  p[3] = static_cast<uint8_t>(value);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t n) {
  if (words == nullptr) return;
  for (size_t i = 0; i < n; ++i) {
    uint8_t bytes[sizeof(uint32_t)];
    std::memcpy(bytes, &words[i], sizeof(bytes));
    words[i] = aUEI_RetrieveInt(bytes);
  }
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
  return sTrailer(packet) & sTRAILER_SEQUENCE;
}

bool aUEI_getBytesContinue(const aPacket* packet) {
  return (sTrailer(packet) & sTRAILER_MORE) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
  return packet != nullptr &&
         (packet->dataSize == sFULL_CHUNK_SHORT || packet->dataSize == sFULL_CHUNK_LONG);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
  if (packet == nullptr) return false;
  // Without a command byte of its own a packet is no UEI payload.
  if (!sHasWellFormedData(packet)) return true;
  for (uint8_t command : sNON_UEI_COMMANDS) {
    if (packet->data[0] == command) return true;
  }
  return false;
}

bool aUEI_isUEIPayload(const aPacket* packet) {
  return packet != nullptr && !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
  return packet != nullptr && packet->dataSize >= sSTREAM_MIN_DATA && aUEI_isUEIPayload(packet) &&
         (packet->data[1] & sSTREAM_OPTION_MASK) == 0 &&
         (packet->data[2] & sSTREAM_SPECIFIER_BIT) != 0;
}
