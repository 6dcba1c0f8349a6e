// Byte streams over a POSIX serial port: raw, or COBS-framed with a CRC-8 per device packet.
//
// Framed, each device packet [address][length][data] travels as the COBS encoding of its
// bytes and their CRC-8, followed by one zero byte: 5 to 33 bytes per frame for packets of 0
// to 28 data bytes. Received frames are checked and handed back as packet bytes.
#pragma once

#include <cstdint>

#include "aError.h"
#include "aCobsStream.h"
#include "aStream.h"

// Speed indexes: 0 2400, 1 4800, 2 9600, 3 19200, 4 38400, 5 57600, 6 115200, 7 230400 baud.
#define aSERIAL_MAXBAUDINDEX 7
// Data-bit modes: 0 eight bits, 1 seven bits. Stop-bit modes: 0 one bit, 1 two bits.
#define aSERIAL_MAXMODE 1

// Opens the port raw (no echo, no line editing, no flow control; reads return at once) at the
// speed index with the given parity, data bits and stop bits, and wraps it as a stream with a
// wait operation that polls the port. The former settings are put back when the stream is
// destroyed. aErrResource for a null or over-long path, a null out, a speed index above 7, a
// mode above 1 or a memory shortage; aErrNotFound, aErrPermission or aErrIO when the port
// cannot be opened or set up. out is set only on success.
aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStream** out);

// A read from a port that is gone (hung up or in error, or answering EIO or ENXIO, as when a
// USB serial adapter is pulled) gives aErrIO on the raw stream and aErrConnection on the framed
// one, where the link then reports a read error.

// The same port wrapped in the COBS framing; the framing's wait is the port's. Results as for
// aStream_CreateSerial, and the framing's error when it cannot be made (the port is then closed
// and its settings put back).
aErr aStream_CreateSerial_Packetized(const char* path, uint32_t baudIndex, bool parity,
                                     uint32_t dataBits, uint32_t stopBits, aStream** out);
