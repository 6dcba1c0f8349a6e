#include "BirdFile.h"

#include "FileReplace.h"

#include "Log.h"
#include "aFile.h"

#include <zlib.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace {

constexpr size_t kHeaderSize = 6;          // signature and format word
constexpr uint32_t kInflateFactor = 8;     // inflated buffer = this times the body size
constexpr size_t kBlockHeaderSize = 5;     // type byte and length word
constexpr size_t kCountSize = 4;           // reported block count
constexpr size_t kChecksumSize = 4;        // trailing checksum word
constexpr uint32_t kAddressSize = 4;       // load address leading loader and firmware data
constexpr uint32_t kOffsetsMinLength = 8;  // serial-number and descriptor offsets
constexpr uint32_t kStartAddressMinLength = 4;
constexpr size_t kDescriptorLength = 64;
constexpr size_t kDescriptorFieldLength = 16;
constexpr size_t kBuildField = 0;
constexpr size_t kVersionField = 16;
constexpr size_t kSerialField = 32;
constexpr size_t kSerialFieldLength = 8;
constexpr size_t kModelField = 48;
constexpr size_t kNumberChars = 15;          // characters of the build and version fields read
constexpr size_t kSerialTextLength = 8;      // "%08X"
constexpr size_t kDescriptorTextBytes = 16;  // 8 UTF-16LE code units
constexpr uint32_t kSerialWordSize = 4;
constexpr size_t kVectorWords = 8;  // vector-table words summed for the checksum
constexpr size_t kVectorChecksumWord = 7;
constexpr size_t kVectorSkippedWord = 5;
constexpr size_t kKeySize = 16;  // bytes of a fingerprint key
constexpr size_t kFingerprintWords = 4;
constexpr uint32_t kDumpLineBytes = 50;

uint32_t GetInt(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint16_t GetShort(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t GetLittleInt(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void PutLittleInt(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Byte offset inside a loader or firmware block's data of image address `at` when the
// `count` bytes from there lie inside the block's image; -1 otherwise. 64-bit arithmetic
// keeps every sum clear of overflow.
int64_t ImageOffset(const BirdBlock& block, uint32_t at, uint32_t count) {
  const uint64_t begin = block.address;
  const uint64_t end = begin + (uint64_t(block.length) - kAddressSize);
  if (at < begin || uint64_t(at) + count > end) return -1;
  return int64_t(kAddressSize) + int64_t(at - begin);
}

// Smallest data length a block of this type needs before anything may read it.
uint32_t MinimumLength(uint8_t type) {
  switch (type) {
    case BirdFile::BLOCK_LOADER:
    case BirdFile::BLOCK_FIRMWARE:
      return kAddressSize;
    case BirdFile::BLOCK_OFFSETS:
      return kOffsetsMinLength;
    case BirdFile::BLOCK_DESCRIPTOR:
      return kDescriptorLength;
    case BirdFile::BLOCK_START_ADDRESS:
      return kStartAddressMinLength;
    default:
      return 0;
  }
}

}  // namespace

BirdFile::BirdFile()
    : signature(0),
      version(0),
      checksum(0),
      blockCount(0),
      personalisable(false),
      serialNumberOffset(0),
      descriptorOffset(0),
      bufferSize(0) {}

BirdFile::BirdFile(const char* filePath) : BirdFile() {
  path = filePath ? filePath : "";
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::~BirdFile() = default;

BirdFile::BirdFile(BirdFile&& other) noexcept : BirdFile() { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this == &other) return *this;
  path = std::move(other.path);
  signature = other.signature;
  version = other.version;
  checksum = other.checksum;
  blockCount = other.blockCount;
  blocks = std::move(other.blocks);
  personalisable = other.personalisable;
  serialNumberOffset = other.serialNumberOffset;
  descriptorOffset = other.descriptorOffset;
  buffer = std::move(other.buffer);
  bufferSize = other.bufferSize;

  // The source no longer owns a buffer, so it must not claim blocks either.
  other.path.clear();
  other.blocks.clear();
  other.blockCount = 0;
  other.bufferSize = 0;
  other.personalisable = false;
  other.serialNumberOffset = 0;
  other.descriptorOffset = 0;
  return *this;
}

bool BirdFile::VerifyFile(const char* filePath) {
  aFile* file = OpenRegularFile(filePath);
  if (!file) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
             filePath ? filePath : "");
    return false;
  }
  uint8_t header[kHeaderSize] = {};
  size_t count = 0;
  aFile_Read(file, header, sizeof header, &count);
  aFile_Close(&file);
  return count == kHeaderSize &&
         std::memcmp(header, BIRD_FILE_SIGNATURE, sizeof BIRD_FILE_SIGNATURE) == 0 &&
         header[4] != 0 && header[5] != 0;
}

void BirdFile::ClearBlocks() {
  blocks.clear();
  blockCount = 0;
  checksum = 0;
}

bool BirdFile::Load() {
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path.c_str());

  // A load starts from nothing, so no record can outlive the buffer it pointed into.
  ClearBlocks();
  signature = 0;
  version = 0;
  buffer.reset();
  bufferSize = 0;
  personalisable = false;
  serialNumberOffset = 0;
  descriptorOffset = 0;

  if (!aFile_Exists(path.c_str())) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path.c_str());
    return false;
  }
  aFile* file = OpenRegularFile(path.c_str());
  if (!file) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return false;
  }

  size_t size = 0;
  aErr err = aFile_GetSize(file, &size);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(err),
             path.c_str());
    aFile_Close(&file);
    return false;
  }
  if (size > MAX_FILE_SIZE) {
    Log::log(DEBUG_BirdFile,
             "BIRDFILE: Error - bird file %s is too large (%zu bytes, at most %zu)\n", path.c_str(),
             size, size_t(MAX_FILE_SIZE));
    aFile_Close(&file);
    return false;
  }
  if (size < kHeaderSize) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - bird file %s is too short (%zu bytes)\n",
             path.c_str(), size);
    aFile_Close(&file);
    return false;
  }

  std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[size]);
  if (!bytes) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - out of memory reading %s (%zu bytes)\n",
             path.c_str(), size);
    aFile_Close(&file);
    return false;
  }

  bool result = false;
  size_t got = 0;
  err = aFile_Read(file, bytes.get(), size, &got);
  if (err != aErrNone) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(err), path.c_str());
  } else if (got != size) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
             path.c_str(), got, size);
  } else {
    if (size > kHeaderSize) {
      signature = GetInt(bytes.get());
      version = GetShort(bytes.get() + 4);
    }
    if (DecompressData(bytes.get() + kHeaderSize, size - kHeaderSize)) {
      ScanOutcome scan = ScanOutcome::Refused;
      try {
        scan = Scan(bufferSize);
      } catch (const std::bad_alloc&) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - out of memory listing the blocks of %s\n",
                 path.c_str());
        ClearBlocks();
      }
      if (scan != ScanOutcome::Refused) {
        FindSerialNumberOffsets();
        result = true;
      } else {
        buffer.reset();
        bufferSize = 0;
      }
    }
  }

  for (const BirdBlock& block : blocks) {
    if (block.type == BLOCK_OFFSETS) {
      personalisable = true;
      FindSerialNumberOffsets();
      break;
    }
  }
  aFile_Close(&file);
  return result;
}

bool BirdFile::DecompressData(const unsigned char* data, unsigned long length) {
  ClearBlocks();
  buffer.reset();
  bufferSize = static_cast<uint32_t>(uint64_t(length) * kInflateFactor);
  buffer.reset(new (std::nothrow) uint8_t[bufferSize]);
  if (!buffer) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - out of memory inflating bird file (%u bytes).\n",
             bufferSize);
    bufferSize = 0;
    return false;
  }
  uLongf inflated = bufferSize;
  // zlib versions differ in the code they give for an empty input; it is always reported
  // as the buffer error, the code of an output buffer without room.
  const int rc = length == 0 ? Z_BUF_ERROR : uncompress(buffer.get(), &inflated, data, length);
  if (rc != Z_OK) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
    bufferSize = 0;
    return false;
  }
  bufferSize = static_cast<uint32_t>(inflated);
  return true;
}

bool BirdFile::ScanBlocks(const unsigned char* data, unsigned int size) {
  if (data == nullptr) {
    ClearBlocks();
    return false;
  }
  if (data == buffer.get() && size > bufferSize) {
    ClearBlocks();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %u bytes asked of a %u byte buffer.\n", size,
             bufferSize);
    return false;
  }
  // Records point into the owned buffer, so data from elsewhere is copied into one first.
  if (data != buffer.get()) {
    ClearBlocks();
    std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[size]);
    if (!copy) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error - out of memory copying %u bytes of block data.\n",
               size);
      return false;
    }
    std::memcpy(copy.get(), data, size);
    buffer = std::move(copy);
    bufferSize = size;
  }
  return Scan(size) == ScanOutcome::Ok;
}

BirdFile::ScanOutcome BirdFile::Scan(unsigned int size) {
  ClearBlocks();
  uint8_t* const data = buffer.get();
  if (size < kCountSize + kChecksumSize) {
    Log::log(DEBUG_BirdFile,
             "BIRDFILE: Error - inflated data of %u bytes holds no block count and checksum.\n",
             size);
    return ScanOutcome::Refused;
  }

  const uint32_t reported = GetInt(data);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(reported));
  size_t position = kCountSize;
  size_t remaining = size - kCountSize;
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  std::vector<BirdBlock> found;
  while (remaining > kChecksumSize) {
    // More than 4 bytes remain, so the 5 header bytes are there.
    const uint8_t typeByte = data[position];
    BirdBlock block;
    block.type = typeByte & BIRD_FILE_TYPE_MASK;
    block.flags = static_cast<uint8_t>((typeByte & BIRD_FILE_FLAG_MASK) >> 5);
    block.length = GetInt(data + position + 1);
    block.address = 0;
    block.data = data + position + kBlockHeaderSize;
    const size_t room = remaining - kBlockHeaderSize;
    if (block.length > room) {
      Log::log(DEBUG_BirdFile,
               "BIRDFILE: Error - block %u (type %02X) of %u bytes runs past the end of the data "
               "(%zu bytes left).\n",
               unsigned(found.size()), block.type, block.length, room);
      return ScanOutcome::Refused;
    }
    if (block.length < MinimumLength(block.type)) {
      Log::log(DEBUG_BirdFile,
               "BIRDFILE: Error - block %u (type %02X) is too short: %u bytes, at least %u.\n",
               unsigned(found.size()), block.type, block.length, MinimumLength(block.type));
      return ScanOutcome::Refused;
    }
    if (block.type == BLOCK_LOADER || block.type == BLOCK_FIRMWARE)
      block.address = GetInt(block.data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
             int(block.length));
    if (block.type == BLOCK_DESCRIPTOR) {
      for (size_t field = 0; field < kDescriptorLength; field += kDescriptorFieldLength)
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                 reinterpret_cast<const char*>(block.data + field));
    }
    position += kBlockHeaderSize + block.length;
    remaining -= kBlockHeaderSize + block.length;
    found.push_back(block);
  }

  if (remaining < kChecksumSize) {
    Log::log(DEBUG_BirdFile,
             "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             int(remaining));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - the checksum word lies outside the data.\n");
    return ScanOutcome::Refused;
  }
  checksum = GetInt(data + position);
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
  blocks = std::move(found);
  blockCount = static_cast<uint32_t>(blocks.size());

  if (blockCount != reported) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
             int(blockCount), int(reported));
    return ScanOutcome::CountMismatch;
  }
  return ScanOutcome::Ok;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount == 0) return false;
  const BirdBlock* offsets = FirstBlock(BLOCK_OFFSETS);
  if (!offsets || !offsets->data || offsets->length < kOffsetsMinLength) return false;
  serialNumberOffset = GetInt(offsets->data);
  descriptorOffset = GetInt(offsets->data + 4);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
           int(serialNumberOffset), int(descriptorOffset));
  return true;
}

const BirdBlock* BirdFile::FirstBlock(BLOCK_TYPE type) const {
  for (const BirdBlock& block : blocks)
    if (block.type == type) return &block;
  return nullptr;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
  std::vector<BirdBlock> found;
  for (const BirdBlock& block : blocks)
    if (block.type == type) found.push_back(block);
  return found;
}

bool BirdFile::ReplaceSerialNumber(unsigned int serial) {
  char text[kSerialTextLength + 1];
  std::snprintf(text, sizeof text, "%08X", serial);

  bool result = false;
  for (BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE) continue;
    if (serialNumberOffset != 0) {
      result = true;
      const int64_t at = ImageOffset(block, serialNumberOffset, kSerialWordSize);
      if (at >= 0) {
        uint8_t* word = block.data + at;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                 GetLittleInt(word), serial);
        PutLittleInt(word, serial);
      }
    }
    if (descriptorOffset != 0) {
      const int64_t at = ImageOffset(block, descriptorOffset, kDescriptorTextBytes);
      if (at >= 0) {
        uint8_t* units = block.data + at;
        for (size_t i = 0; i < kSerialTextLength; ++i) units[2 * i] = static_cast<uint8_t>(text[i]);
        result = true;
      }
    }
  }
  return result;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned int* fingerprint) {
  if (!fingerprint) return false;
  uint8_t key[kKeySize];
  for (size_t w = 0; w < kFingerprintWords; ++w) {
    const uint32_t word = fingerprint[w];
    key[4 * w] = static_cast<uint8_t>(word >> 24);
    key[4 * w + 1] = static_cast<uint8_t>(word >> 16);
    key[4 * w + 2] = static_cast<uint8_t>(word >> 8);
    key[4 * w + 3] = static_cast<uint8_t>(word);
  }
  for (BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE) continue;
    uint8_t previous = 0;
    size_t k = 0;
    uint8_t* payload = block.data + kAddressSize;
    for (uint32_t i = 0; i < block.length - kAddressSize; ++i) {
      const uint8_t plain = static_cast<uint8_t>(payload[i] ^ key[k] ^ previous);
      payload[i] = plain;
      previous = plain;
      k = (k + 1) % kKeySize;
    }
  }
  return true;
}

bool BirdFile::ReplaceVectorChecksum() {
  for (BirdBlock& block : blocks) {
    if (block.type != BLOCK_FIRMWARE || GetInt(block.data) != 0) continue;
    uint8_t* payload = block.data + kAddressSize;
    if (block.length - kAddressSize < kVectorWords * 4) {
      Log::log(DEBUG_BirdFile,
               "BIRDFILE: image of %u bytes at address 0 holds no vector table; left alone\n",
               block.length - kAddressSize);
      continue;
    }
    uint32_t sum = 0;
    for (size_t w = 0; w < kVectorChecksumWord; ++w)
      if (w != kVectorSkippedWord) sum += GetLittleInt(payload + 4 * w);
    const uint32_t updated = 0u - sum;
    uint8_t* word = payload + 4 * kVectorChecksumWord;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
             GetLittleInt(word), updated);
    PutLittleInt(word, updated);
  }
  return true;
}

bool BirdFile::ValidateData(unsigned char* pattern, unsigned int length) {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", path.c_str());
  bool found = false;
  if (pattern && length > 0) {
    for (const BirdBlock& block : blocks) {
      if (block.type != BLOCK_FIRMWARE || length > block.length) continue;
      for (uint32_t i = 0; i <= block.length - length; ++i) {
        if (std::memcmp(block.data + i, pattern, length) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", int(i));
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}

unsigned int BirdFile::GetBuild() const {
  const BirdBlock* descriptor = FirstBlock(BLOCK_DESCRIPTOR);
  if (!descriptor) return 0;
  const char* text = reinterpret_cast<const char*>(descriptor->data + kBuildField);
  size_t i = 0;
  while (i < kNumberChars && IsSpace(text[i])) ++i;
  uint64_t value = 0;
  for (; i < kNumberChars && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10 + uint64_t(text[i] - '0');
  return static_cast<unsigned int>(value);
}

std::string BirdFile::GetVersion() const {
  const BirdBlock* descriptor = FirstBlock(BLOCK_DESCRIPTOR);
  if (!descriptor) return "";
  const char* text = reinterpret_cast<const char*>(descriptor->data + kVersionField);
  size_t n = 0;
  while (n < kNumberChars && text[n] != ' ' && text[n] != '\0') ++n;
  return std::string(text, n);
}

unsigned int BirdFile::GetSerialNumber() const {
  const BirdBlock* descriptor = FirstBlock(BLOCK_DESCRIPTOR);
  if (!descriptor) return 0;
  const char* text = reinterpret_cast<const char*>(descriptor->data + kSerialField);
  size_t i = 0;
  while (i < kSerialFieldLength && IsSpace(text[i])) ++i;
  if (i + 2 < kSerialFieldLength && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      HexValue(text[i + 2]) >= 0)
    i += 2;
  uint32_t value = 0;
  for (; i < kSerialFieldLength && HexValue(text[i]) >= 0; ++i)
    value = (value << 4) | uint32_t(HexValue(text[i]));
  return value;
}

bool BirdFile::ValidateSerialNumber(unsigned int serial) const {
  // Without a descriptor there is nothing to match, not even a serial number of 0.
  return FirstBlock(BLOCK_DESCRIPTOR) != nullptr && serial == GetSerialNumber();
}

bool BirdFile::ValidateModel(const char* model) const {
  const BirdBlock* descriptor = FirstBlock(BLOCK_DESCRIPTOR);
  if (!descriptor || !model) return false;
  char field[kDescriptorFieldLength + 1] = {};
  std::memcpy(field, descriptor->data + kModelField, kDescriptorFieldLength);
  size_t n = kDescriptorFieldLength;
  while (n > 0 && field[n - 1] == ' ') field[--n] = '\0';
  if (std::strncmp(field, model, std::strlen(model)) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, model);
  return true;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
  std::printf("BIRDFILE: BLOCK DUMP [%s]\n", path.c_str());
  std::string text;
  for (const BirdBlock& block : blocks) {
    if (block.type != type) continue;
    for (uint32_t i = 0; i < block.length; ++i) {
      if (i % kDumpLineBytes == 0) {
        std::printf(" %s\r\n%06d: ", text.c_str(), int(i));
        text.clear();
      }
      const uint8_t byte = block.data[i];
      text += std::isprint(byte) ? char(byte) : ' ';
      std::printf("%02X ", byte);
    }
    std::printf(" %s\n", text.c_str());
    text.clear();
  }
  std::printf("\n");
  return true;
}
