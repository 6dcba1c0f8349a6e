#include "aPacket.h"

#include <cstdlib>
#include <cstring>

namespace {

const aPacket sPacketTemplate = {aPACKETCHECK, 0, 0, 0, {0}};

// Count of bytes before the first data byte: address and length.
constexpr uint8_t sHEADER_BYTES = 2;

bool sHasData(const aPacket* packet, uint8_t count) {
  return aVALIDPACKET(packet) && packet->dataSize >= count;
}

}  // namespace

aPacket* aPacket_Create(void) {
  aPacket* packet = static_cast<aPacket*>(std::malloc(sizeof(aPacket)));
  if (packet == nullptr) return nullptr;
  *packet = sPacketTemplate;
  return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (data == nullptr || length > aPACKETMAXDATA) return nullptr;
  aPacket* packet = aPacket_Create();
  if (packet == nullptr) return nullptr;
  packet->address = address;
  packet->dataSize = length;
  packet->byteCount = static_cast<uint8_t>(length + sHEADER_BYTES);
  std::memcpy(packet->data, data, length);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return nullptr;
  return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  if (!sHasData(packet, 1)) return aErrPacket;
  *out = packet->data[0];
  return aErrNone;
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  if (!sHasData(packet, 2)) return aErrPacket;
  *out = packet->data[1] & 0x3F;
  return aErrNone;
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  if (!sHasData(packet, 3)) return aErrPacket;
  *out = packet->data[2] & 0x1F;
  return aErrNone;
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  packet->byteCount = 0;
  packet->address = 0;
  packet->dataSize = 0;
  std::memset(packet->data, 0, sizeof(packet->data));
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) return aErrParam;

  // The count saturates so that a stream of bytes without a reset keeps reporting an overrun
  // instead of wrapping around to an empty-looking count.
  if (packet->byteCount < UINT8_MAX) packet->byteCount++;
  if (packet->byteCount > aPACKETMAXBYTES) return aErrOverrun;

  if (packet->address == 0) {
    if (byte == 0) return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }

  // A length of 0 also stands for a length byte not yet received.
  if (packet->dataSize == 0) {
    packet->dataSize = byte;
    return byte > aPACKETMAXDATA ? aErrPacket : aErrNone;
  }

  if (packet->byteCount > packet->dataSize + sHEADER_BYTES) return aErrPacket;
  // A record whose count disagrees with its header bytes has no place for this byte.
  if (packet->byteCount <= sHEADER_BYTES) return aErrPacket;
  // byteCount is at most 30 here, so the index is at most 27.
  packet->data[packet->byteCount - sHEADER_BYTES - 1] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  return aVALIDPACKET(packet) && packet->byteCount == packet->dataSize + sHEADER_BYTES;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written) {
  if (!aVALIDPACKET(packet) || buffer == nullptr) return aErrParam;
  // An oversize length byte may be stored by the assembler; its data would lie past the record.
  if (packet->dataSize > aPACKETMAXDATA) return aErrPacket;
  const size_t total = static_cast<size_t>(packet->dataSize) + sHEADER_BYTES;
  if (size < total) return aErrOverrun;
  buffer[0] = packet->address;
  buffer[1] = packet->dataSize;
  std::memcpy(buffer + sHEADER_BYTES, packet->data, packet->dataSize);
  if (written != nullptr) *written = total;
  return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet) {
  if (packet == nullptr || *packet == nullptr) return aErrParam;
  std::free(*packet);
  *packet = nullptr;
  return aErrNone;
}
