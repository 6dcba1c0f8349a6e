// The record of one UEI exchange: a get or set of one value of a module, addressed by command
// (entity class), entity index and option, and the byte-string transfers of the same form.
//
// Requests:  get [command][option | 0x40][index | 0x20] (+ a one-byte subindex)
//            set [command][option | 0x80][index | 0x20] (+ subindex) + value (0, 1, 2, 4 bytes)
// Replies:   get [command][option][index][value], set [command][option | 0xC0][index][value];
//            specifier bit 7 marks an error reply whose byte 3 is the module's error code.
// Byte strings travel in chunks [command][option][specifier][up to 24 bytes][sequence], the
// sequence byte holding the chunk number modulo 128, with bit 7 set while more chunks follow.
// Multi-byte values are big-endian on the wire and in host order in the record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Zentrova {
namespace Kolvantis {

// Value types of uei::type.
constexpr uint32_t ueiTypeNone = 0;
constexpr uint32_t ueiTypeU8 = 1;
constexpr uint32_t ueiTypeU16 = 2;
constexpr uint32_t ueiTypeU32 = 4;
constexpr uint32_t ueiTypeBytes = 5;

// Bits of the option and specifier bytes.
constexpr uint8_t ueiOptionGet = 0x40;
constexpr uint8_t ueiOptionSet = 0x80;
constexpr uint8_t ueiOptionAck = 0xC0;
constexpr uint8_t ueiOptionMask = 0x3F;
constexpr uint8_t ueiSpecifierRequest = 0x20;
constexpr uint8_t ueiSpecifierError = 0x80;
constexpr uint8_t ueiIndexMask = 0x1F;
// Largest entity index a specifier can carry.
constexpr uint8_t ueiMaxIndex = ueiIndexMask;

// Byte strings.
constexpr size_t ueiChunkBytes = 24;       // string bytes in one chunk
constexpr uint8_t ueiChunkMore = 0x80;     // sequence-byte bit: more chunks follow
constexpr uint8_t ueiSequenceMask = 0x7F;  // sequence-byte bits: chunk number modulo 128

struct uei {
  uint8_t module;     // module address of the exchange; even and nonzero
  uint8_t command;    // entity class
  uint8_t option;     // option byte as sent, or as expected in the reply
  uint8_t specifier;  // index in bits 0-4; 0x20 on requests; bit 7 on an error reply
  union {
    uint8_t byteVal;
    uint16_t shortVal;
    uint32_t intVal;
    uint8_t* bytes;   // byte strings: the next byte to send or to fill
  } value;            // after an error reply byteVal holds the error code
  uint8_t sequence;   // byte-string receive: number of the chunk expected next
  uint8_t continued;  // byte-string receive: continue flag of the last chunk taken
  size_t length;      // byte string: bytes to send, or capacity of the receive buffer
  size_t* received;   // byte-string receive: bytes taken so far
  uint32_t type;      // ueiType...
};

}  // namespace Kolvantis
}  // namespace Zentrova
