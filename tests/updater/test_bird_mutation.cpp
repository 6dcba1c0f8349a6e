// Seeded mutants of generated BIRD files, each loaded and, when it loads, put through every
// operation. Nothing may read or write outside the inflated data (the sanitizer build checks
// the heap; the checks here cover the bytes between blocks), and mutants whose structure is
// untouched must still load.

#include "BirdFile.h"
#include "Log.h"
#include "bird_gen.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

using birdgen::Builder;
using birdgen::Bytes;

namespace {

constexpr uint32_t kSeed = 0x5EEDB12D;  // fixed: every run makes the same mutants
constexpr int kMutantsPerKind = 600;    // random mutants of each kind and base file
constexpr size_t kMaxFlippedBits = 3;
constexpr size_t kMaxInsertedBytes = 16;
constexpr uint32_t kTestSerial = 0xA1B2C3D4;
constexpr size_t kHeaderSize = 6;

const uint32_t kFingerprint[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};

// Where each block's header and data lie in a generator file's inflated data.
struct Layout {
  size_t header;  // offset of the type byte
  size_t data;    // offset of the data bytes
  size_t length;  // data bytes
};

std::vector<Layout> LayoutOf(const Builder& builder) {
  std::vector<Layout> out;
  size_t at = 4;
  for (const birdgen::Block& block : builder.blocks()) {
    out.push_back({at, at + 5, block.data.size()});
    at += 5 + block.data.size();
  }
  return out;
}

std::vector<Builder> BaseFiles() {
  std::vector<Builder> bases(3);
  bases[0]
      .loader(0x10000000, birdgen::PatternBytes(64, 1), 2)
      .firmware(0x0, birdgen::PatternBytes(96, 2), 1)
      .firmware(0x2000, birdgen::PatternBytes(200, 3))
      .offsets(0x2010, 0x2040)
      .descriptor({"1300", "2.12.4", "0012ABCD", "Alder"})
      .startAddress(0x20200000)
      .raw(3, {1, 2, 3});
  bases[1]
      .encodedFirmware(0x1000, birdgen::PatternBytes(120, 4), kFingerprint)
      .offsets(0x1004, 0x1010)
      .encodedFirmware(0xFFFFFF80, birdgen::PatternBytes(128, 5), kFingerprint, 7)
      .descriptor({"9", "0.0.1 test", "  0x00FF", "Birch"});
  bases[2].firmware(0x1000, {});
  return bases;
}

class Mutator {
 public:
  explicit Mutator(uint32_t seed) : engine_(seed) {}

  // Uniform in [0, n); n > 0. Raw engine output keeps the sequence the same everywhere.
  size_t below(size_t n) { return static_cast<size_t>(engine_() % n); }
  uint8_t byte() { return static_cast<uint8_t>(engine_()); }
  uint32_t word() { return static_cast<uint32_t>(engine_()); }

  void flipBits(Bytes& bytes, size_t from, size_t to) {
    if (to <= from) return;
    const size_t flips = 1 + below(kMaxFlippedBits);
    for (size_t i = 0; i < flips; ++i)
      bytes[from + below(to - from)] ^= static_cast<uint8_t>(1u << below(8));
  }

  void setByte(Bytes& bytes, size_t from, size_t to) {
    static const uint8_t kSpecial[] = {0x00, 0xFF, 0x7F, 0x80, 0x01, 0x1F, 0xE0};
    if (to <= from) return;
    const size_t at = from + below(to - from);
    bytes[at] = below(2) ? kSpecial[below(sizeof kSpecial)] : byte();
  }

 private:
  std::mt19937 engine_;
};

void PutBig(Bytes& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

class BirdMutationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedFh_ = Log::fh;
    savedMask_ = Log::package_bitmask;
    // Every log line is formatted, so the formats run over mutated data too.
    sink_ = std::fopen("/dev/null", "w");
    ASSERT_NE(sink_, nullptr);
    Log::SetOutput(sink_);
    Log::ActivatePackage(DEBUG_BirdFile);
    path_ = dir_.file("mutant.bird");
  }

  void TearDown() override {
    Log::SetOutput(savedFh_);
    Log::package_bitmask = savedMask_;
    if (sink_) std::fclose(sink_);
  }

  // Loads the bytes; when they load, checks the records and runs every operation.
  // Returns whether the file loaded.
  bool Exercise(const Bytes& bytes, const std::string& what) {
    SCOPED_TRACE(what);
    if (!birdgen::WriteFile(path_, bytes)) {
      ADD_FAILURE() << "cannot write " << path_;
      return false;
    }
    BirdFile file;
    file.path = path_;
    const bool loaded = file.Load();
    EXPECT_EQ(file.blockCount, file.blocks.size());
    if (!loaded) {
      EXPECT_TRUE(file.blocks.empty());
      return false;
    }

    const uint8_t* begin = file.buffer.get();
    const uint8_t* end = begin + file.bufferSize;
    // Blocks tile the data exactly: count, headers and data, checksum.
    size_t covered = 8;
    for (const BirdBlock& block : file.blocks) {
      EXPECT_GE(block.data, begin + 9);
      EXPECT_LE(block.data + block.length, end - 4);
      covered += 5 + size_t(block.length);
      uint32_t shortest = 0;
      if (block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE ||
          block.type == BirdFile::BLOCK_START_ADDRESS)
        shortest = 4;
      else if (block.type == BirdFile::BLOCK_OFFSETS)
        shortest = 8;
      else if (block.type == BirdFile::BLOCK_DESCRIPTOR)
        shortest = 64;
      EXPECT_GE(block.length, shortest) << "block type " << int(block.type);
    }
    EXPECT_EQ(covered, file.bufferSize);

    // Reads.
    for (uint8_t type = 0; type < 32; ++type)
      file.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type));
    file.GetBuild();
    file.GetVersion();
    file.GetSerialNumber();
    file.ValidateSerialNumber(kTestSerial);
    file.ValidateModel("Alder");
    file.ValidateModel("");
    unsigned char pattern[] = {0x00, 0x10};
    file.ValidateData(pattern, sizeof pattern);

    // Writes go into firmware images only.
    const Bytes before(begin, end);
    file.ReplaceSerialNumber(kTestSerial);
    const unsigned int fingerprint[4] = {kFingerprint[0], kFingerprint[1], kFingerprint[2],
                                         kFingerprint[3]};
    file.DecodeFirmwareBlocks(fingerprint);
    file.ReplaceVectorChecksum();
    std::vector<bool> writable(before.size(), false);
    for (const BirdBlock& block : file.blocks)
      if (block.type == BirdFile::BLOCK_FIRMWARE)
        for (size_t i = 4; i < block.length; ++i) writable[size_t(block.data - begin) + i] = true;
    size_t strayWrites = 0;
    for (size_t i = 0; i < before.size(); ++i)
      if (!writable[i] && before[i] != begin[i]) ++strayWrites;
    EXPECT_EQ(strayWrites, 0u) << "bytes outside the firmware images changed";
    return true;
  }

  TempDir dir_;
  std::string path_;
  FILE* sink_ = nullptr;
  FILE* savedFh_ = nullptr;
  uint32_t savedMask_ = 0;
};

TEST_F(BirdMutationTest, MutatedFileBytesLoadOrAreRefusedCleanly) {
  Mutator m(kSeed);
  size_t loaded = 0;
  size_t refused = 0;
  for (const Builder& base : BaseFiles()) {
    const Bytes file = base.file();
    for (int i = 0; i < kMutantsPerKind; ++i) {
      Bytes mutant = file;
      std::string what;
      switch (m.below(4)) {
        case 0:
          m.flipBits(mutant, 0, mutant.size());
          what = "bit flips";
          break;
        case 1:
          m.setByte(mutant, 0, mutant.size());
          what = "byte set";
          break;
        case 2:
          mutant.resize(m.below(mutant.size() + 1));
          what = "truncation to " + std::to_string(mutant.size());
          break;
        default:
          // The header alone: a file whose body is untouched must still load.
          m.flipBits(mutant, 0, kHeaderSize);
          what = "header bit flips";
          break;
      }
      const bool ok = Exercise(mutant, what + " of mutant " + std::to_string(i));
      EXPECT_TRUE(ok || what != "header bit flips") << "mutant " << i;
      (ok ? loaded : refused) += 1;
      if (HasFatalFailure()) return;
    }
  }
  // Both roads were taken.
  EXPECT_GT(loaded, 0u);
  EXPECT_GT(refused, 0u);
}

TEST_F(BirdMutationTest, EveryLengthFieldEditIsSafe) {
  // Lengths around each block's true length and the values that break sums.
  for (const Builder& base : BaseFiles()) {
    const Bytes inflated = base.inflated();
    const std::vector<Layout> layout = LayoutOf(base);
    for (size_t b = 0; b < layout.size(); ++b) {
      const uint32_t truth = static_cast<uint32_t>(layout[b].length);
      const uint32_t toEnd = static_cast<uint32_t>(inflated.size() - layout[b].data);
      const std::vector<uint32_t> lengths = {0,          1,          3,
                                             4,          5,          7,
                                             8,          9,          63,
                                             64,         65,         truth - 1,
                                             truth + 1,  truth - 4,  truth + 4,
                                             truth - 5,  truth + 5,  toEnd,
                                             toEnd - 4,  toEnd - 3,  toEnd + 1,
                                             0x7FFFFFFF, 0x80000000, 0xFFFFFFFF,
                                             0xFFFFFFFB, 0xFFFFFFFC, 0xFFFFFFFF - truth,
                                             truth};
      for (uint32_t length : lengths) {
        Bytes mutant = inflated;
        PutBig(mutant, layout[b].header + 1, length);
        const bool ok =
            Exercise(birdgen::WrapInflated(mutant),
                     "block " + std::to_string(b) + " length " + std::to_string(length));
        EXPECT_TRUE(ok || length != truth) << "block " << b << " with its own length";
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST_F(BirdMutationTest, MutatedInflatedDataLoadsOrIsRefusedCleanly) {
  Mutator m(kSeed ^ 0xA5A5A5A5u);
  size_t loaded = 0;
  size_t refused = 0;
  for (const Builder& base : BaseFiles()) {
    const Bytes inflated = base.inflated();
    const std::vector<Layout> layout = LayoutOf(base);
    for (int i = 0; i < kMutantsPerKind; ++i) {
      Bytes mutant = inflated;
      std::string what;
      bool structureKept = false;
      switch (m.below(7)) {
        case 0:
          m.flipBits(mutant, 0, mutant.size());
          what = "bit flips";
          break;
        case 1:
          m.setByte(mutant, 0, mutant.size());
          what = "byte set";
          break;
        case 2: {
          const size_t at = m.below(mutant.size() + 1);
          const size_t n = 1 + m.below(kMaxInsertedBytes);
          for (size_t k = 0; k < n; ++k)
            mutant.insert(mutant.begin() + static_cast<std::ptrdiff_t>(at), m.byte());
          what = "insertion";
          break;
        }
        case 3: {
          const size_t at = m.below(mutant.size());
          const size_t n = 1 + m.below(std::min(kMaxInsertedBytes, mutant.size() - at));
          mutant.erase(mutant.begin() + static_cast<std::ptrdiff_t>(at),
                       mutant.begin() + static_cast<std::ptrdiff_t>(at + n));
          what = "deletion";
          break;
        }
        case 4:
          mutant.resize(m.below(mutant.size() + 1));
          what = "truncation";
          break;
        case 5: {
          // A type byte or the count: blocks change meaning, lengths stay.
          if (m.below(2) == 0 || layout.empty()) {
            PutBig(mutant, 0,
                   m.below(2) ? m.word() : static_cast<uint32_t>(layout.size() + m.below(3) - 1));
            what = "count";
            structureKept = true;
          } else {
            mutant[layout[m.below(layout.size())].header] = m.byte();
            what = "type byte";
          }
          break;
        }
        default: {
          // Data bytes only: the file must load with the same blocks.
          const Layout& block = layout[m.below(layout.size())];
          const size_t from = block.data;
          m.flipBits(mutant, from, from + block.length);
          m.setByte(mutant, from, from + block.length);
          what = "block data";
          structureKept = true;
          break;
        }
      }
      const bool ok =
          Exercise(birdgen::WrapInflated(mutant), what + " of mutant " + std::to_string(i));
      EXPECT_TRUE(ok || !structureKept) << what << " of mutant " << i;
      (ok ? loaded : refused) += 1;
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GT(loaded, 0u);
  EXPECT_GT(refused, 0u);
}

TEST_F(BirdMutationTest, BodiesNearTheInflateRatioLoadOnlyWithinIt) {
  // Zero runs compress far below an eighth of their size; the reader's buffer is eight
  // times the body, so a long enough run does not fit.
  Mutator m(kSeed + 1);
  bool sawFit = false;
  bool sawOverflow = false;
  for (size_t run : {0, 16, 64, 256, 1024, 4096, 65536}) {
    for (int level : {0, 1, 9}) {
      Builder builder;
      builder.firmware(0x1000, Bytes(run, 0)).raw(3, birdgen::PatternBytes(m.below(64), 9));
      const Bytes inflated = builder.inflated();
      const Bytes body = birdgen::Deflate(inflated, level);
      const bool fits = inflated.size() <= body.size() * birdgen::kInflateLimitFactor;
      EXPECT_EQ(Exercise(birdgen::WrapBody(body),
                         "run " + std::to_string(run) + " level " + std::to_string(level)),
                fits);
      (fits ? sawFit : sawOverflow) = true;
    }
  }
  EXPECT_TRUE(sawFit);
  EXPECT_TRUE(sawOverflow);
}

}  // namespace
