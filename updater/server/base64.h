#pragma once

// The standard base64 alphabet (A-Z, a-z, 0-9, "+", "/") with "=" padding, without line
// breaks. The update server sends firmware files in this form.

// The bytes of a base64 text, in a new block that ends with one extra 0 byte (release it
// with free); *decodedLength receives their count. A single carriage return at the end (of
// a CRLF answer) is dropped first. Null, with *decodedLength untouched, for a text of
// length 0, a length that is not a multiple of 4, a character outside the alphabet and "=",
// or when memory runs out. An "=" stands for six zero bits wherever it stands.
unsigned char* base64_decode(const char* text, unsigned long length, unsigned long* decodedLength);

// The base64 text of the bytes, in a new 0-terminated block (release it with free);
// *textLength receives its length, also when the block cannot be had (then null).
char* base64_encode(const unsigned char* data, unsigned long length, unsigned long* textLength);
