#pragma once

// Writer of BIRD firmware files for tests: a stand-in built from the format description
// alone, without the program's reader.
//
// File: "bird", a two-byte format word, then one zlib stream of the inflated data:
//   [block count, 4 bytes][blocks][checksum word, 4 bytes]
// Block: [type in bits 0-4, flags in bits 5-7][length L, 4 bytes][L data bytes].
// All numbers are big-endian. Loader and firmware data start with their 4-byte load address.
//
// Besides well-formed files it makes malformed ones on purpose: lying block lengths, short
// typed blocks, wrong counts, truncated or non-zlib bodies, bodies that inflate too far.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace birdgen {

using Bytes = std::vector<uint8_t>;

enum BlockType : uint8_t {
  kLoader = 0,
  kFirmware = 1,
  kOffsets = 2,
  kDescriptor = 4,
  kStartAddress = 5,
};

constexpr uint16_t kFormatWord = 0x0101;
constexpr size_t kDescriptorSize = 64;
constexpr size_t kInflateLimitFactor = 8;  // a reader's buffer is this times the body size

// The four 16-byte text fields of a descriptor block; each is cut to 16 characters and
// filled with spaces.
struct Descriptor {
  std::string build;    // decimal build number
  std::string version;  // version text, e.g. "2.12.4"
  std::string serial;   // 8 hexadecimal digits
  std::string model;    // model name
};

// The 64 bytes of a descriptor block.
Bytes DescriptorBytes(const Descriptor& d);
// Serial-number text as a descriptor holds it: "%08X".
std::string SerialText(uint32_t serial);

// Encodes an image for a chip fingerprint: stored = plain ^ key[k] ^ previous plain byte,
// where the key is the four words big-endian and k runs modulo 16, starting afresh per image.
Bytes EncodeImage(const Bytes& plain, const uint32_t fingerprint[4]);

// Deterministic filler bytes for images.
Bytes PatternBytes(size_t n, uint32_t seed);

// One block as it goes into the file.
struct Block {
  uint8_t typeByte = 0;                 // type | flags << 5, or any raw byte
  Bytes data;                           // the data bytes (address included for loader/firmware)
  std::optional<uint32_t> lengthField;  // written instead of data.size(): a lying length
};

class Builder {
 public:
  // Loader or firmware block: the address word, then the image. flags are 0-7.
  Builder& loader(uint32_t address, const Bytes& image, uint8_t flags = 0);
  Builder& firmware(uint32_t address, const Bytes& image, uint8_t flags = 0);
  // Firmware image encoded with a chip fingerprint.
  Builder& encodedFirmware(uint32_t address, const Bytes& plainImage, const uint32_t fingerprint[4],
                           uint8_t flags = 0);
  Builder& offsets(uint32_t serialNumberOffset, uint32_t descriptorOffset);
  Builder& descriptor(const Descriptor& d);
  Builder& startAddress(uint32_t address);
  // Any type (0-31) and flags with raw data, e.g. a typed block shorter than it should be.
  Builder& raw(uint8_t type, const Bytes& data, uint8_t flags = 0);
  Builder& rawTypeByte(uint8_t typeByte, const Bytes& data);

  // Writes this length field for block `index` instead of its true length.
  Builder& lyingLength(size_t index, uint32_t length);
  // Reported block count; the true count when not set.
  Builder& reportedCount(uint32_t count);
  // Trailing checksum word; CRC-32 of the preceding inflated bytes when not set.
  Builder& checksum(uint32_t word);
  // Bytes appended after the checksum word (trailing junk inside the inflated data).
  Builder& trailer(const Bytes& bytes);
  // Leaves the checksum word out of the inflated data.
  Builder& withoutChecksum();
  Builder& formatWord(uint16_t word);
  Builder& signature(const std::string& fourBytes);
  Builder& compressionLevel(int level);

  const std::vector<Block>& blocks() const { return blocks_; }

  // Count, blocks and checksum, as a reader inflates them.
  Bytes inflated() const;
  // The whole file: header and deflated body.
  Bytes file() const;
  bool write(const std::string& path) const;

 private:
  Builder& add(uint8_t typeByte, Bytes data);

  std::vector<Block> blocks_;
  std::optional<uint32_t> count_;
  std::optional<uint32_t> checksum_;
  Bytes trailer_;
  bool withChecksum_ = true;
  uint16_t formatWord_ = kFormatWord;
  std::string signature_ = "bird";
  int level_ = 9;
};

// zlib stream (RFC 1950) of the bytes.
Bytes Deflate(const Bytes& data, int level = 9);
// Header ("bird" unless given, format word) followed by body bytes as they are.
Bytes WrapBody(const Bytes& body, uint16_t formatWord = kFormatWord,
               const std::string& signature = "bird");
// Header followed by the deflated inflated data.
Bytes WrapInflated(const Bytes& inflated, uint16_t formatWord = kFormatWord, int level = 9);

// Malformed files.
Bytes Truncated(const Bytes& file, size_t length);    // the first `length` bytes
Bytes NonZlibBody(size_t bodyLength, uint32_t seed);  // header, then bytes that are no zlib stream
// A well-formed file whose inflated data is more than 8 times its body: one firmware block
// of `imageBytes` zero bytes.
Bytes OversizeRatioFile(size_t imageBytes);

bool WriteFile(const std::string& path, const Bytes& bytes);

}  // namespace birdgen
