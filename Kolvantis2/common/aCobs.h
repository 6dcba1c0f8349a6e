// COBS byte stuffing and the CRC-8 of the framed serial link.
//
// COBS: the output begins with a code byte; a code byte k (1 to 254) is followed by k - 1
// non-zero bytes and stands for one zero byte after them unless its block ends the buffer;
// the code byte 255 is followed by 254 non-zero bytes and stands for no zero. The encoders
// write no trailing zero of their own.
//
// CRC-8: reflected polynomial 0x8C, initial value 0, no final inversion; "123456789" gives
// 0xA1.
#pragma once

#include <cstddef>
#include <cstdint>

// Encodes n bytes into a separate destination, which must hold n + n / 254 + 1 bytes.
// Returns the encoded length (n + 1 for inputs below 254 bytes); 0 for a null pointer.
size_t cobs_encode(const uint8_t* source, size_t n, uint8_t* destination);

// Encodes n bytes in place through a 10-byte look-ahead; the buffer must have room for the
// encoded length. Returns that length, or 0 when the output would overwrite input not yet
// read (inputs with ten or more full 254-byte runs and more input behind them).
size_t cobs_encode_inplace(uint8_t* buffer, size_t n);

// Decodes n bytes into a destination of at least n bytes. Returns the decoded length, or 0
// for input that is not COBS: a code byte whose block runs past the end, or any zero byte.
size_t cobs_decode(const uint8_t* source, size_t n, uint8_t* destination);

// cobs_decode with the buffer as source and destination (the output never passes the input).
size_t cobs_decode_inplace(uint8_t* buffer, size_t n);

// The CRC after one more byte: the table entry for crc XOR byte.
uint8_t crc8_update(uint8_t crc, uint8_t byte);
// CRC-8 of n bytes, starting from 0; 0 for no bytes or a null pointer.
uint8_t crc8_create(const uint8_t* data, size_t n);
// True when crc8_create of the data equals expected.
bool crc8_check(const uint8_t* data, size_t n, uint8_t expected);
