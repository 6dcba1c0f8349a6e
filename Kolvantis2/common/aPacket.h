// Device packet record: one packet [address][length][data] as it is assembled from received
// bytes, made from data by a sender, copied through queues and turned back into bytes.
//
// A packet belongs to one thread at a time; whoever receives one from a create, copy, get or
// await operation owns it and frees it with aPacket_Destroy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aDefs.h"
#include "aError.h"

#define aPACKETCHECK 0xBEEF
// Largest data length of a packet.
#define aPACKETMAXDATA 28
// Largest packet on the wire: address, length and data.
#define aPACKETMAXBYTES (aPACKETMAXDATA + 2)

struct aPacket {
  uint16_t check;     // aPACKETCHECK while the record is a packet
  uint8_t byteCount;  // bytes added so far, address and length bytes included
  uint8_t address;    // module address; 0 until the first byte arrives
  uint8_t dataSize;   // data length, 0 to 28 in a well-formed packet
  uint8_t data[aPACKETMAXDATA];
};

#define aVALIDPACKET(p) aDefs_ValidRecord((p), aPACKETCHECK)

// New empty packet; null when memory is short.
aPacket* aPacket_Create(void);
// New complete packet holding a copy of length data bytes; null when data is null, length > 28
// or memory is short.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// New complete packet with the source's address, data length and data; null when the source is
// not valid, its data length is above 28, or memory is short.
aPacket* aPacket_Copy(const aPacket* packet);

// Command byte data[0].
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out);
// Option number: data[1] & 0x3F.
aErr aPacket_GetOption(const aPacket* packet, uint8_t* out);
// Entity index: data[2] & 0x1F.
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out);

// Clears everything but the check word.
aErr aPacket_Reset(aPacket* packet);
// Adds one received byte: the address, then the length, then the data bytes. Every byte counts,
// refused ones included; the count stops at 255 and never wraps. Gives aErrOverrun past 30
// bytes, aErrPacket for a zero address, a length above 28 (which stays stored) or a data byte
// beyond the length. A failed byte leaves the partial packet for the caller to reset or keep.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
bool aPacket_IsComplete(const aPacket* packet);
// Writes the wire form into buffer and sets *written (when non-null) to its size. aErrOverrun
// when the buffer is too small, aErrPacket for a data length above 28; nothing is written then.
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* written);
// Frees the packet and nulls the caller's pointer; the check word is not looked at.
aErr aPacket_Destroy(aPacket** packet);
