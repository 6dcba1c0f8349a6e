// Reader of BIRD firmware files (".bird"): a short header and a zlib body that inflates to a
// block count, typed blocks (loader, firmware, personalisation offsets, descriptor, recovery
// start address) and a trailing checksum word.
//
// A loaded file owns its inflated data in one buffer and every BirdBlock points into it, so a
// BirdFile is moved, never copied, and block records are valid only while their file lives.
// Personalisation and decoding change the inflated data in memory only; the file on disk is
// never written.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct BirdBlock {
  uint8_t type;      // block type, 0-31
  uint8_t flags;     // block flags, 0-7
  uint32_t length;   // length L of the block data
  uint32_t address;  // load address for loader and firmware blocks; 0 for every other type
  uint8_t* data;     // the L data bytes (address bytes included) inside the file's buffer
};

class BirdFile {
 public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_OFFSETS = 2,
    BLOCK_DESCRIPTOR = 4,
    BLOCK_START_ADDRESS = 5,
  };

  static constexpr uint8_t BIRD_FILE_SIGNATURE[4] = {'b', 'i', 'r', 'd'};
  static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

  // Largest file, in bytes, that Load reads; a larger one is refused before it is read.
  static constexpr uint64_t MAX_FILE_SIZE = 64ull * 1024 * 1024;

  // An empty object: empty path, all numbers 0, no blocks, no buffer.
  BirdFile();
  // Stores the path and loads it; throws std::runtime_error("Failed to load bird data")
  // when the load fails.
  explicit BirdFile(const char* path);
  ~BirdFile();

  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  // True when the file opens and its first 6 bytes are "bird" and two non-zero format bytes.
  // The body is not looked at. Only a regular file is opened (OpenRegularFile): anything
  // else is refused at once, with a line naming it.
  static bool VerifyFile(const char* path);

  // Reads, inflates and scans the file named by path. The signature and format bytes are
  // not checked (VerifyFile does that). False for a file that cannot be read or is not a
  // regular file (refused at once, with a line naming it), does not inflate, or whose blocks
  // do not fit inside the inflated data.
  bool Load();
  // Inflates length bytes into a new buffer of 8 times that size.
  bool DecompressData(const unsigned char* data, unsigned long length);
  // Splits inflated data into block records inside the file's buffer (other data is copied
  // into a new buffer first). False when the reported count differs (the blocks found are
  // kept) or when the blocks do not fit inside the data (no blocks are kept).
  bool ScanBlocks(const unsigned char* data, unsigned int size);
  // Takes the serial-number and descriptor offsets from the first offsets block.
  bool FindSerialNumberOffsets();

  // Copies of the records of that type, in file order.
  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;

  // Writes the serial number into the firmware images at the personalisation offsets.
  bool ReplaceSerialNumber(unsigned int serial);
  // Decodes the firmware images in place with the four words of a chip fingerprint.
  bool DecodeFirmwareBlocks(const unsigned int* fingerprint);
  // Rewrites the vector-table checksum (word 7) of firmware images loaded at address 0.
  bool ReplaceVectorChecksum();
  // True when any firmware block's data holds the byte pattern.
  bool ValidateData(unsigned char* pattern, unsigned int length);

  // Descriptor fields; 0, "" or false when the file has no descriptor block.
  unsigned int GetBuild() const;
  std::string GetVersion() const;
  unsigned int GetSerialNumber() const;
  bool ValidateSerialNumber(unsigned int serial) const;
  bool ValidateModel(const char* model) const;

  // Hex dump of every block of the type to standard output.
  bool DumpBlocks(BLOCK_TYPE type) const;

  std::string path;
  uint32_t signature;   // bytes 0-3 as a big-endian word
  uint32_t version;     // the format word, bytes 4-5
  uint32_t checksum;    // trailing word of the inflated data
  uint32_t blockCount;  // blocks the scan produced
  std::vector<BirdBlock> blocks;
  bool personalisable;                // the file holds an offsets block
  uint32_t serialNumberOffset;        // image address of the serial number, 0 for none
  uint32_t descriptorOffset;          // image address of the descriptor text, 0 for none
  std::unique_ptr<uint8_t[]> buffer;  // the inflated data
  uint32_t bufferSize;                // inflated size; 0 after a failed inflation

 private:
  enum class ScanOutcome { Ok, CountMismatch, Refused };
  // The scan of the first size bytes of the buffer behind ScanBlocks: Refused when a block
  // or the checksum word does not lie inside them or a typed block is too short to read;
  // no blocks are kept then.
  ScanOutcome Scan(unsigned int size);
  const BirdBlock* FirstBlock(BLOCK_TYPE type) const;
  void ClearBlocks();
};
