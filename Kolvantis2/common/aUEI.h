// UEI payload helpers: big-endian values inside a payload, the byte-string chunk trailer and
// the packet classes that the UEI protocol and the sharing broker tell apart.
//
// A UEI payload holds the command in data[0], the option byte in data[1] (option number in its
// low 6 bits) and the specifier in data[2] (entity index in its low 5 bits), then the value.
// A byte-string chunk ends with a trailer byte: bit 7 set when more chunks follow, the chunk's
// sequence number in bits 0-6.
//
// The packet tests look for a null packet but not at the check word. A packet without data
// bytes or with a data length above 28 carries no trailer and no command: the trailer readers
// give 0 and false for it, and it is not a UEI payload.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aPacket.h"

uint16_t aUEI_RetrieveShort(const uint8_t* p);
void aUEI_StoreShort(uint8_t* p, uint16_t value);
uint32_t aUEI_RetrieveInt(const uint8_t* p);
void aUEI_StoreInt(uint8_t* p, uint32_t value);
// Turns n words read as raw big-endian bytes into host values, in place.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t n);

// Sequence number of the chunk trailer (the last data byte).
uint8_t aUEI_getBytesSequence(const aPacket* packet);
// True when the chunk trailer says that more chunks follow.
bool aUEI_getBytesContinue(const aPacket* packet);
// True for a chunk of the largest size (27 or 28 data bytes).
bool aUEI_getBytesFullPacket(const aPacket* packet);

// True for a packet whose command is one of the module's non-UEI commands
// (0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175); false for a null packet.
bool aUEI_isNotUEIPayload(const aPacket* packet);
// True for a non-null packet that is not one of the above.
bool aUEI_isUEIPayload(const aPacket* packet);
// True for a UEI payload of more than 4 data bytes with option bits 6-7 clear and specifier
// bit 6 set.
bool aUEI_isStreamPacket(const aPacket* packet);
