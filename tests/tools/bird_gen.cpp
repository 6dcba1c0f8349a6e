#include "bird_gen.h"

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <stdexcept>

namespace birdgen {

namespace {

constexpr size_t kFieldSize = 16;
constexpr uint8_t kTypeMask = 0x1F;
constexpr uint8_t kFlagMask = 0x07;
constexpr int kFlagShift = 5;
constexpr size_t kKeySize = 16;

void PutBig(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void PutField(Bytes& out, const std::string& text) {
  for (size_t i = 0; i < kFieldSize; ++i)
    out.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : ' ');
}

Bytes AddressAndImage(uint32_t address, const Bytes& image) {
  Bytes data;
  PutBig(data, address);
  data.insert(data.end(), image.begin(), image.end());
  return data;
}

uint8_t TypeByte(uint8_t type, uint8_t flags) {
  return static_cast<uint8_t>((type & kTypeMask) | ((flags & kFlagMask) << kFlagShift));
}

}  // namespace

Bytes DescriptorBytes(const Descriptor& d) {
  Bytes out;
  PutField(out, d.build);
  PutField(out, d.version);
  PutField(out, d.serial);
  PutField(out, d.model);
  return out;
}

std::string SerialText(uint32_t serial) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", serial);
  return text;
}

Bytes EncodeImage(const Bytes& plain, const uint32_t fingerprint[4]) {
  uint8_t key[kKeySize];
  for (size_t w = 0; w < 4; ++w)
    for (size_t b = 0; b < 4; ++b)
      key[4 * w + b] = static_cast<uint8_t>(fingerprint[w] >> (24 - 8 * b));
  Bytes stored(plain.size());
  uint8_t previous = 0;
  for (size_t i = 0; i < plain.size(); ++i) {
    stored[i] = static_cast<uint8_t>(plain[i] ^ key[i % kKeySize] ^ previous);
    previous = plain[i];
  }
  return stored;
}

Bytes PatternBytes(size_t n, uint32_t seed) {
  // xorshift32; a zero state would stay zero.
  uint32_t state = seed ? seed : 0x9E3779B9u;
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    out[i] = static_cast<uint8_t>(state);
  }
  return out;
}

Builder& Builder::add(uint8_t typeByte, Bytes data) {
  Block block;
  block.typeByte = typeByte;
  block.data = std::move(data);
  blocks_.push_back(std::move(block));
  return *this;
}

Builder& Builder::loader(uint32_t address, const Bytes& image, uint8_t flags) {
  return add(TypeByte(kLoader, flags), AddressAndImage(address, image));
}

Builder& Builder::firmware(uint32_t address, const Bytes& image, uint8_t flags) {
  return add(TypeByte(kFirmware, flags), AddressAndImage(address, image));
}

Builder& Builder::encodedFirmware(uint32_t address, const Bytes& plainImage,
                                  const uint32_t fingerprint[4], uint8_t flags) {
  return firmware(address, EncodeImage(plainImage, fingerprint), flags);
}

Builder& Builder::offsets(uint32_t serialNumberOffset, uint32_t descriptorOffset) {
  Bytes data;
  PutBig(data, serialNumberOffset);
  PutBig(data, descriptorOffset);
  return add(TypeByte(kOffsets, 0), data);
}

Builder& Builder::descriptor(const Descriptor& d) {
  return add(TypeByte(kDescriptor, 0), DescriptorBytes(d));
}

Builder& Builder::startAddress(uint32_t address) {
  Bytes data;
  PutBig(data, address);
  return add(TypeByte(kStartAddress, 0), data);
}

Builder& Builder::raw(uint8_t type, const Bytes& data, uint8_t flags) {
  return add(TypeByte(type, flags), data);
}

Builder& Builder::rawTypeByte(uint8_t typeByte, const Bytes& data) { return add(typeByte, data); }

Builder& Builder::lyingLength(size_t index, uint32_t length) {
  if (index >= blocks_.size())
    throw std::out_of_range("bird_gen: no block " + std::to_string(index) + " to give a length");
  blocks_[index].lengthField = length;
  return *this;
}

Builder& Builder::reportedCount(uint32_t count) {
  count_ = count;
  return *this;
}

Builder& Builder::checksum(uint32_t word) {
  checksum_ = word;
  return *this;
}

Builder& Builder::trailer(const Bytes& bytes) {
  trailer_ = bytes;
  return *this;
}

Builder& Builder::withoutChecksum() {
  withChecksum_ = false;
  return *this;
}

Builder& Builder::formatWord(uint16_t word) {
  formatWord_ = word;
  return *this;
}

Builder& Builder::signature(const std::string& fourBytes) {
  signature_ = fourBytes;
  return *this;
}

Builder& Builder::compressionLevel(int level) {
  level_ = level;
  return *this;
}

Bytes Builder::inflated() const {
  Bytes out;
  PutBig(out, count_ ? *count_ : static_cast<uint32_t>(blocks_.size()));
  for (const Block& block : blocks_) {
    out.push_back(block.typeByte);
    PutBig(out, block.lengthField ? *block.lengthField : static_cast<uint32_t>(block.data.size()));
    out.insert(out.end(), block.data.begin(), block.data.end());
  }
  if (withChecksum_) {
    const uint32_t word =
        checksum_ ? *checksum_
                  : static_cast<uint32_t>(crc32(0L, out.data(), static_cast<uInt>(out.size())));
    PutBig(out, word);
  }
  out.insert(out.end(), trailer_.begin(), trailer_.end());
  return out;
}

Bytes Builder::file() const {
  return WrapBody(Deflate(inflated(), level_), formatWord_, signature_);
}

bool Builder::write(const std::string& path) const { return WriteFile(path, file()); }

Bytes Deflate(const Bytes& data, int level) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  Bytes out(size);
  const int rc = compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), level);
  if (rc != Z_OK) throw std::runtime_error("bird_gen: compress2 failed with " + std::to_string(rc));
  out.resize(size);
  return out;
}

Bytes WrapBody(const Bytes& body, uint16_t formatWord, const std::string& signature) {
  Bytes out;
  for (size_t i = 0; i < 4; ++i)
    out.push_back(i < signature.size() ? static_cast<uint8_t>(signature[i]) : 0);
  out.push_back(static_cast<uint8_t>(formatWord >> 8));
  out.push_back(static_cast<uint8_t>(formatWord));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes WrapInflated(const Bytes& inflated, uint16_t formatWord, int level) {
  return WrapBody(Deflate(inflated, level), formatWord);
}

Bytes Truncated(const Bytes& file, size_t length) {
  return Bytes(file.begin(),
               file.begin() + static_cast<std::ptrdiff_t>(std::min(length, file.size())));
}

Bytes NonZlibBody(size_t bodyLength, uint32_t seed) {
  Bytes body = PatternBytes(bodyLength, seed);
  // A first byte whose low nibble is not 8 is no deflate-method zlib header.
  if (!body.empty()) body[0] = 0x00;
  return WrapBody(body);
}

Bytes OversizeRatioFile(size_t imageBytes) {
  return Builder().firmware(0x1000, Bytes(imageBytes, 0)).file();
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace birdgen
