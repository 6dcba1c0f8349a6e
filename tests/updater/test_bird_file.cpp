#include "BirdFile.h"
#include "Log.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "bird_gen.h"
#include "support.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

using birdgen::Builder;
using birdgen::Bytes;

namespace {

// Sends the reader's log lines to a temporary file for the life of the object.
class LogCapture {
 public:
  LogCapture() : file_(std::tmpfile()), savedFh_(Log::fh), savedMask_(Log::package_bitmask) {
    Log::SetOutput(file_);
    Log::ActivatePackage(DEBUG_BirdFile);
  }
  ~LogCapture() {
    Log::SetOutput(savedFh_);
    Log::package_bitmask = savedMask_;
    std::fclose(file_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const {
    std::fflush(file_);
    std::string out;
    std::rewind(file_);
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) out.append(chunk, n);
    return out;
  }

 private:
  FILE* file_;
  FILE* savedFh_;
  uint32_t savedMask_;
};

class BirdFileTest : public ::testing::Test {
 protected:
  std::string Write(const Bytes& bytes, const std::string& name = "fw.bird") {
    const std::string path = dir_.file(name);
    EXPECT_TRUE(birdgen::WriteFile(path, bytes)) << path;
    return path;
  }

  // Loads through an empty object, the way the program's callers do.
  static bool LoadInto(BirdFile& file, const std::string& path) {
    file.path = path;
    return file.Load();
  }

  TempDir dir_;
};

Bytes Image(size_t n, uint32_t seed = 7) { return birdgen::PatternBytes(n, seed); }

const uint8_t* Payload(const BirdBlock& block) { return block.data + 4; }

uint32_t LittleWord(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t GetIntOf(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void PutLittleWord(Bytes& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// ---------------------------------------------------------------------------------------
// Round trips of well-formed files

TEST_F(BirdFileTest, EveryBlockTypeRoundTripsWithFlagsAddressesAndData) {
  const Bytes loaderImage = Image(40, 1);
  const Bytes firmwareImage = Image(300, 2);
  const Bytes oddData = {0xDE, 0xAD};
  const birdgen::Descriptor descriptor{"1300", "2.12.4", "0012ABCD", "Alder"};
  Builder builder;
  builder.loader(0x10000000, loaderImage, 3)
      .firmware(0x00002000, firmwareImage, 5)
      .offsets(0x2010, 0x2020)
      .descriptor(descriptor)
      .startAddress(0x20200000)
      .raw(3, oddData, 7)
      .checksum(0xCAFEF00D);
  const std::string path = Write(builder.file());

  BirdFile file(path.c_str());
  EXPECT_EQ(file.path, path);
  EXPECT_EQ(file.signature, 0x62697264u);  // "bird"
  EXPECT_EQ(file.version, 0x0101u);
  EXPECT_EQ(file.checksum, 0xCAFEF00Du);
  EXPECT_EQ(file.bufferSize, builder.inflated().size());
  ASSERT_EQ(file.blockCount, 6u);
  ASSERT_EQ(file.blocks.size(), 6u);

  struct Expected {
    uint8_t type, flags;
    uint32_t address;
    Bytes data;
  };
  Bytes loaderData = {0x10, 0x00, 0x00, 0x00};
  loaderData.insert(loaderData.end(), loaderImage.begin(), loaderImage.end());
  Bytes firmwareData = {0x00, 0x00, 0x20, 0x00};
  firmwareData.insert(firmwareData.end(), firmwareImage.begin(), firmwareImage.end());
  const std::vector<Expected> expected = {
      {0, 3, 0x10000000, loaderData},
      {1, 5, 0x2000, firmwareData},
      {2, 0, 0, {0, 0, 0x20, 0x10, 0, 0, 0x20, 0x20}},
      {4, 0, 0, birdgen::DescriptorBytes(descriptor)},
      {5, 0, 0, {0x20, 0x20, 0x00, 0x00}},
      {3, 7, 0, oddData},
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("block " + std::to_string(i));
    const BirdBlock& block = file.blocks[i];
    EXPECT_EQ(block.type, expected[i].type);
    EXPECT_EQ(block.flags, expected[i].flags);
    EXPECT_EQ(block.address, expected[i].address);
    ASSERT_EQ(block.length, expected[i].data.size());
    EXPECT_EQ(Bytes(block.data, block.data + block.length), expected[i].data);
    EXPECT_GE(block.data, file.buffer.get());
    EXPECT_LE(block.data + block.length, file.buffer.get() + file.bufferSize);
  }

  EXPECT_TRUE(file.personalisable);
  EXPECT_EQ(file.serialNumberOffset, 0x2010u);
  EXPECT_EQ(file.descriptorOffset, 0x2020u);
  EXPECT_EQ(file.GetBuild(), 1300u);
  EXPECT_EQ(file.GetVersion(), "2.12.4");
  EXPECT_EQ(file.GetSerialNumber(), 0x0012ABCDu);
  EXPECT_TRUE(file.ValidateSerialNumber(0x0012ABCD));
  EXPECT_FALSE(file.ValidateSerialNumber(0x0012ABCE));
  EXPECT_TRUE(file.ValidateModel("Alder"));

  const std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(firmware.size(), 1u);
  EXPECT_EQ(firmware[0].data, file.blocks[1].data);
  EXPECT_EQ(file.FindBlocks(BirdFile::BLOCK_START_ADDRESS).size(), 1u);
}

TEST_F(BirdFileTest, BlocksOfOneTypeComeBackInFileOrder) {
  Builder builder;
  builder.firmware(0x3000, Image(8, 1))
      .loader(0x100, Image(4, 2))
      .firmware(0x1000, Image(8, 3))
      .firmware(0x2000, {});
  BirdFile file(Write(builder.file()).c_str());

  const std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(firmware.size(), 3u);
  EXPECT_EQ(firmware[0].address, 0x3000u);
  EXPECT_EQ(firmware[1].address, 0x1000u);
  EXPECT_EQ(firmware[2].address, 0x2000u);
  EXPECT_EQ(firmware[2].length, 4u);  // an address and no image
  EXPECT_TRUE(file.FindBlocks(BirdFile::BLOCK_DESCRIPTOR).empty());
  EXPECT_FALSE(file.personalisable);
}

struct TypeByteCase {
  uint8_t typeByte;
  uint8_t type, flags;
  uint32_t address;  // what the record carries for a data word of 0x00001000
};

void PrintTo(const TypeByteCase& c, std::ostream* os) { *os << "type byte " << int(c.typeByte); }

class BirdTypeByteTest : public BirdFileTest, public ::testing::WithParamInterface<TypeByteCase> {};

TEST_P(BirdTypeByteTest, TypeAndFlagsSplitFromOneByte) {
  const TypeByteCase& c = GetParam();
  // One block with length 8: the word 0x00001000 and a 4-byte payload.
  const Bytes data = {0x00, 0x00, 0x10, 0x00, 0xA1, 0xB2, 0xC3, 0xD4};
  const std::string path = Write(Builder().rawTypeByte(c.typeByte, data).file());

  BirdFile file;
  ASSERT_TRUE(LoadInto(file, path));
  ASSERT_EQ(file.blockCount, 1u);
  EXPECT_EQ(file.blocks[0].type, c.type);
  EXPECT_EQ(file.blocks[0].flags, c.flags);
  EXPECT_EQ(file.blocks[0].length, 8u);
  EXPECT_EQ(file.blocks[0].address, c.address);
  EXPECT_FALSE(file.personalisable);
  EXPECT_EQ(file.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(c.type)).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    TypeBytes, BirdTypeByteTest,
    ::testing::Values(TypeByteCase{0x01, 1, 0, 0x1000}, TypeByteCase{0x21, 1, 1, 0x1000},
                      TypeByteCase{0xE1, 1, 7, 0x1000}, TypeByteCase{0xA0, 0, 5, 0x1000},
                      TypeByteCase{0x05, 5, 0, 0}, TypeByteCase{0x03, 3, 0, 0},
                      TypeByteCase{0xFF, 31, 7, 0}, TypeByteCase{0x46, 6, 2, 0}));

TEST_F(BirdFileTest, WrongReportedCountStillLoadsAndIsLogged) {
  LogCapture log;
  const std::string path = Write(Builder().firmware(0x1000, Image(4)).reportedCount(2).file());

  BirdFile file;
  ASSERT_TRUE(LoadInto(file, path));
  EXPECT_EQ(file.blockCount, 1u);
  EXPECT_NE(log.text().find("BIRDFILE: Block parsing mismatch in number of blocks. (1 != 2)\n"),
            std::string::npos)
      << log.text();

  // Scanned on its own, the same data reports the mismatch.
  EXPECT_FALSE(file.ScanBlocks(file.buffer.get(), file.bufferSize));
  EXPECT_EQ(file.blockCount, 1u);
}

TEST_F(BirdFileTest, ScanBlocksOfOutsideDataKeepsRecordsInTheFilesOwnBuffer) {
  const Bytes inflated = Builder()
                             .firmware(0x1000, Image(12))
                             .descriptor({"5", "1.0.0", "00000001", "Alder"})
                             .inflated();
  BirdFile file;
  ASSERT_TRUE(file.ScanBlocks(inflated.data(), static_cast<unsigned>(inflated.size())));
  ASSERT_EQ(file.blockCount, 2u);
  EXPECT_EQ(file.bufferSize, inflated.size());
  for (const BirdBlock& block : file.blocks) {
    EXPECT_GE(block.data, file.buffer.get());
    EXPECT_LE(block.data + block.length, file.buffer.get() + file.bufferSize);
  }
  EXPECT_EQ(file.GetBuild(), 5u);
  EXPECT_FALSE(file.ScanBlocks(nullptr, 0));
  EXPECT_EQ(file.blockCount, 0u);
}

TEST_F(BirdFileTest, LoadingAgainReplacesTheBlocks) {
  const std::string first =
      Write(Builder().firmware(0x1000, Image(8)).offsets(0x1000, 0).file(), "a.bird");
  const std::string second = Write(Builder().loader(0x2000, Image(8)).file(), "b.bird");

  BirdFile file;
  ASSERT_TRUE(LoadInto(file, first));
  EXPECT_TRUE(file.personalisable);
  ASSERT_TRUE(LoadInto(file, second));
  ASSERT_EQ(file.blockCount, 1u);
  EXPECT_EQ(file.blocks[0].type, BirdFile::BLOCK_LOADER);
  EXPECT_FALSE(file.personalisable);
  EXPECT_EQ(file.serialNumberOffset, 0u);

  // A failed load leaves nothing behind either.
  EXPECT_FALSE(LoadInto(file, dir_.file("missing.bird")));
  EXPECT_EQ(file.blockCount, 0u);
  EXPECT_TRUE(file.blocks.empty());
}

// ---------------------------------------------------------------------------------------
// Object life: empty, path constructor, moves

TEST_F(BirdFileTest, EmptyObjectHasNothing) {
  BirdFile file;
  EXPECT_TRUE(file.path.empty());
  EXPECT_EQ(file.signature, 0u);
  EXPECT_EQ(file.version, 0u);
  EXPECT_EQ(file.checksum, 0u);
  EXPECT_EQ(file.blockCount, 0u);
  EXPECT_TRUE(file.blocks.empty());
  EXPECT_FALSE(file.personalisable);
  EXPECT_EQ(file.buffer, nullptr);
  EXPECT_EQ(file.bufferSize, 0u);
  EXPECT_EQ(file.GetVersion(), "");
  EXPECT_TRUE(file.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty());
  EXPECT_FALSE(file.ReplaceSerialNumber(1));
}

TEST_F(BirdFileTest, PathConstructorThrowsWhenTheFileDoesNotLoad) {
  LogCapture log;
  const std::string missing = dir_.file("nothing.bird");
  try {
    BirdFile file(missing.c_str());
    FAIL() << "loaded a missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed to load bird data");
  }
  EXPECT_NE(log.text().find("BIRDFILE: Loading File [" + missing + "]\n"), std::string::npos);
  EXPECT_NE(log.text().find("BIRDFILE: BIRD file not found [" + missing + "]\n"),
            std::string::npos);

  // A directory is not a file.
  EXPECT_THROW(BirdFile(dir_.path().c_str()), std::runtime_error);
}

TEST_F(BirdFileTest, AFifoIsRefusedWithoutWaitingWithALineNamingIt) {
  LogCapture log;
  const std::string fifo = dir_.file("fifo.bird");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  EXPECT_FALSE(BirdFile::VerifyFile(fifo.c_str()));
  EXPECT_THROW(BirdFile(fifo.c_str()), std::runtime_error);
  EXPECT_NE(log.text().find("Refused " + fifo + ": not a regular file\n"), std::string::npos)
      << log.text();
}

// Records nothing: the load of a given file shows only its opening line.
class QuietDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

TEST_F(BirdFileTest, AFileGivenForTheUpdateIsLoadedWithoutTheSignatureCheck) {
  const std::string path = Write(Builder().signature("BIRD").firmware(0x1000, Image(16)).file());
  ASSERT_FALSE(BirdFile::VerifyFile(path.c_str()));

  TempDir store;
  QuietDisplay display;
  Updater updater("", store.path().c_str(), display);
  const BirdFile file = updater.load_bird("Updating", path, 0x1234ABCD, 0, false);
  EXPECT_EQ(file.path, path);
  EXPECT_EQ(file.signature, 0x42495244u);  // "BIRD"
  ASSERT_EQ(file.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
}

TEST_F(BirdFileTest, MovingHandsOverTheBufferSoRecordsStayValid) {
  const std::string path = Write(Builder().firmware(0x1000, Image(16)).offsets(0x1004, 0).file());
  BirdFile source(path.c_str());
  const uint8_t* data = source.blocks[0].data;
  const Bytes bytes(data, data + source.blocks[0].length);

  BirdFile target;
  target = std::move(source);
  ASSERT_EQ(target.blockCount, 2u);
  EXPECT_EQ(target.blocks[0].data, data);
  EXPECT_EQ(Bytes(target.blocks[0].data, target.blocks[0].data + target.blocks[0].length), bytes);
  EXPECT_EQ(target.path, path);
  EXPECT_TRUE(target.personalisable);
  EXPECT_EQ(target.serialNumberOffset, 0x1004u);
  EXPECT_TRUE(source.blocks.empty());  // the source is left empty
  EXPECT_EQ(source.buffer, nullptr);

  BirdFile constructed(std::move(target));
  EXPECT_EQ(constructed.blocks[0].data, data);
  EXPECT_TRUE(constructed.ReplaceSerialNumber(0x11223344));
  EXPECT_EQ(LittleWord(Payload(constructed.blocks[0]) + 4), 0x11223344u);
}

// ---------------------------------------------------------------------------------------
// VerifyFile

struct VerifyCase {
  const char* name;
  Bytes bytes;
  bool verified;
};

void PrintTo(const VerifyCase& c, std::ostream* os) { *os << c.name; }

class BirdVerifyTest : public BirdFileTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(BirdVerifyTest, LooksOnlyAtTheSixHeaderBytes) {
  EXPECT_EQ(BirdFile::VerifyFile(Write(GetParam().bytes).c_str()), GetParam().verified);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, BirdVerifyTest,
    ::testing::Values(VerifyCase{"WellFormed", Builder().firmware(0, {}).file(), true},
                      VerifyCase{"HeaderWithoutBody", {'b', 'i', 'r', 'd', 1, 1}, true},
                      VerifyCase{"AnyNonZeroFormat", {'b', 'i', 'r', 'd', 0xFF, 0x02, 0x00}, true},
                      VerifyCase{"JunkBody", {'b', 'i', 'r', 'd', 1, 1, 9, 9, 9}, true},
                      VerifyCase{"ByteFourZero", {'b', 'i', 'r', 'd', 0, 1, 0x78}, false},
                      VerifyCase{"ByteFiveZero", {'b', 'i', 'r', 'd', 1, 0, 0x78}, false},
                      VerifyCase{"FiveBytes", {'b', 'i', 'r', 'd', 1}, false},
                      VerifyCase{"Empty", {}, false},
                      VerifyCase{"WrongSignature", {'B', 'I', 'R', 'D', 1, 1}, false}),
    [](const ::testing::TestParamInfo<VerifyCase>& p) { return std::string(p.param.name); });

TEST_F(BirdFileTest, VerifyFileLogsAFileThatCannotBeOpened) {
  LogCapture log;
  const std::string missing = dir_.file("gone.bird");
  EXPECT_FALSE(BirdFile::VerifyFile(missing.c_str()));
  EXPECT_NE(log.text().find("BIRDFILE: Error - cannot open bird file: '" + missing + "'\n"),
            std::string::npos);
  EXPECT_FALSE(BirdFile::VerifyFile(nullptr));
}

TEST_F(BirdFileTest, VerifiedHeaderWithoutBodyStillFailsToLoad) {
  LogCapture log;
  const std::string path = Write({'b', 'i', 'r', 'd', 1, 1});
  EXPECT_TRUE(BirdFile::VerifyFile(path.c_str()));
  BirdFile file;
  EXPECT_FALSE(LoadInto(file, path));
  EXPECT_NE(log.text().find("BIRDFILE: Error (-5) decompressing bird file.\n"), std::string::npos)
      << log.text();
  EXPECT_EQ(file.bufferSize, 0u);
}

// ---------------------------------------------------------------------------------------
// Malformed files

struct MalformedCase {
  const char* name;
  std::function<Bytes()> make;
  bool loads;
  const char* logged;  // a line fragment the load must log
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

Bytes FileOfInflated(const Bytes& inflated) { return birdgen::WrapInflated(inflated); }

// Inflated data by hand: count, then raw bytes (block headers and data), nothing added.
Bytes Inflated(uint32_t count, const Bytes& rest) {
  Bytes out(4 + rest.size());
  out[0] = uint8_t(count >> 24);
  out[1] = uint8_t(count >> 16);
  out[2] = uint8_t(count >> 8);
  out[3] = uint8_t(count);
  std::copy(rest.begin(), rest.end(), out.begin() + 4);
  return out;
}

Bytes Typed(uint8_t type, size_t length) { return Builder().raw(type, Bytes(length, 0x11)).file(); }

Bytes LyingLength(uint32_t length) {
  return Builder().firmware(0x1000, Image(16)).lyingLength(0, length).file();
}

const char kRunsPast[] = "runs past the end of the data";
const char kTooShort[] = "is too short";
const char kChecksumOutside[] = "the checksum word lies outside the data";
const char kNoCount[] = "holds no block count and checksum";
const char kInflateFailed[] = "decompressing bird file.";

class BirdMalformedTest : public BirdFileTest,
                          public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(BirdMalformedTest, LoadsOnlyWhatLiesInsideTheInflatedData) {
  const MalformedCase& c = GetParam();
  LogCapture log;
  const std::string path = Write(c.make());

  BirdFile file;
  EXPECT_EQ(LoadInto(file, path), c.loads);
  EXPECT_NE(log.text().find(c.logged), std::string::npos) << log.text();
  EXPECT_EQ(file.blockCount, file.blocks.size());
  for (const BirdBlock& block : file.blocks) {
    EXPECT_GE(block.data, file.buffer.get());
    EXPECT_LE(block.data + block.length, file.buffer.get() + file.bufferSize);
  }
  if (!c.loads) {
    EXPECT_TRUE(file.blocks.empty());
    EXPECT_FALSE(file.personalisable);
    EXPECT_THROW(BirdFile(path.c_str()), std::runtime_error);
  }
}

const Bytes kSmallValid =
    Builder().firmware(0x1000, Image(64)).descriptor({"1", "1.0.0", "00000001", "Alder"}).file();

INSTANTIATE_TEST_SUITE_P(
    Files, BirdMalformedTest,
    ::testing::Values(
        // Too short to hold a header, or a body that does not inflate.
        MalformedCase{"EmptyFile", [] { return Bytes(); }, false, "is too short (0 bytes)"},
        MalformedCase{"FiveByteFile",
                      [] {
                        return Bytes{'b', 'i', 'r', 'd', 1};
                      },
                      false, "is too short (5 bytes)"},
        MalformedCase{"HeaderOnly", [] { return Bytes{'b', 'i', 'r', 'd', 1, 1}; }, false,
                      "Error (-5) decompressing"},
        MalformedCase{"TruncatedBody",
                      [] { return birdgen::Truncated(kSmallValid, kSmallValid.size() - 3); }, false,
                      kInflateFailed},
        MalformedCase{"BodyCutAfterHeader", [] { return birdgen::Truncated(kSmallValid, 8); },
                      false, kInflateFailed},
        MalformedCase{"NonZlibBody", [] { return birdgen::NonZlibBody(200, 3); }, false,
                      kInflateFailed},
        MalformedCase{"InflatesPastEightTimesItsBody",
                      [] { return birdgen::OversizeRatioFile(256 * 1024); }, false,
                      "Error (-5) decompressing"},
        // Inflated data too short for a count and a checksum.
        MalformedCase{"InflatesToNothing", [] { return FileOfInflated({}); }, false, kNoCount},
        MalformedCase{"InflatesToCountOnly", [] { return FileOfInflated(Inflated(0, {})); }, false,
                      kNoCount},
        MalformedCase{"InflatesToSevenBytes",
                      [] {
                        return FileOfInflated(Inflated(0, {1, 2, 3}));
                      },
                      false, kNoCount},
        MalformedCase{"CountAndChecksumOnly",
                      [] {
                        return FileOfInflated(Inflated(0, {1, 2, 3, 4}));
                      },
                      true, "File checksum 01020304"},
        // Block lengths that do not fit, including sums that would wrap at 32 bits.
        MalformedCase{"LengthOneByteTooLong", [] { return LyingLength(20 + 1 + 4); }, false,
                      kRunsPast},
        MalformedCase{"LengthPastTheData", [] { return LyingLength(4096); }, false, kRunsPast},
        MalformedCase{"LengthAllOnes", [] { return LyingLength(0xFFFFFFFF); }, false, kRunsPast},
        MalformedCase{"LengthWrapsWithHeader", [] { return LyingLength(0xFFFFFFFB); }, false,
                      kRunsPast},
        MalformedCase{"LengthTopBit", [] { return LyingLength(0x80000000); }, false, kRunsPast},
        MalformedCase{"LengthEatsTheChecksum", [] { return LyingLength(20 + 4); }, false,
                      kChecksumOutside},
        MalformedCase{"LengthLeavesTwoChecksumBytes", [] { return LyingLength(20 + 2); }, false,
                      kChecksumOutside},
        MalformedCase{"NoChecksumWord",
                      [] { return Builder().firmware(0x1000, Image(8)).withoutChecksum().file(); },
                      false, kChecksumOutside},
        MalformedCase{"HeaderWithoutRoom",
                      [] {
                        return FileOfInflated(Inflated(1, {0x03, 0, 0, 0, 0}));
                      },
                      false, kChecksumOutside},
        // Typed blocks too short for what their readers take from them.
        MalformedCase{"LoaderOfThreeBytes", [] { return Typed(0, 3); }, false, kTooShort},
        MalformedCase{"FirmwareOfNoBytes", [] { return Typed(1, 0); }, false, kTooShort},
        MalformedCase{"OffsetsOfSevenBytes", [] { return Typed(2, 7); }, false, kTooShort},
        MalformedCase{"DescriptorOfSixtyThreeBytes", [] { return Typed(4, 63); }, false, kTooShort},
        MalformedCase{"StartAddressOfThreeBytes", [] { return Typed(5, 3); }, false, kTooShort},
        MalformedCase{
            "ShortBlockAfterGoodOnes",
            [] {
              return Builder().firmware(0x1000, Image(8)).offsets(0x1000, 0).raw(1, {1, 2}).file();
            },
            false, kTooShort},
        // The shortest lengths that are enough, and types no operation reads.
        MalformedCase{"LoaderOfFourBytes", [] { return Typed(0, 4); }, true,
                      "BIRDFILE:\t\t 00   00   4\n"},
        MalformedCase{"FirmwareOfFourBytes", [] { return Typed(1, 4); }, true,
                      "BIRDFILE:\t\t 01   00   4\n"},
        MalformedCase{"OffsetsOfEightBytes", [] { return Typed(2, 8); }, true,
                      "BIRDFILE: Offsets: Serial number"},
        MalformedCase{"DescriptorOfSixtyFourBytes", [] { return Typed(4, 64); }, true,
                      "BIRDFILE:\t\t 04   00   64\n"},
        MalformedCase{"StartAddressOfFourBytes", [] { return Typed(5, 4); }, true,
                      "BIRDFILE:\t\t 05   00   4\n"},
        MalformedCase{"UnknownTypeOfNoBytes", [] { return Typed(3, 0); }, true,
                      "BIRDFILE:\t\t 03   00   0\n"},
        MalformedCase{"CountTooHigh",
                      [] { return Builder().firmware(0, Image(8)).reportedCount(7).file(); }, true,
                      "(1 != 7)"},
        MalformedCase{
            "CountTooLow",
            [] { return Builder().firmware(0, {}).firmware(4, {}).reportedCount(0).file(); }, true,
            "(2 != 0)"}),
    [](const ::testing::TestParamInfo<MalformedCase>& p) { return std::string(p.param.name); });

TEST_F(BirdFileTest, FileAboveTheSizeCapIsRefusedBeforeItIsRead) {
  LogCapture log;
  const std::string path = dir_.file("huge.bird");
  {
    std::ofstream out(path, std::ios::binary);
    out.write("bird\x01\x01", 6);
  }
  // Sparse: the size is there without the disk space.
  ASSERT_EQ(truncate(path.c_str(), off_t(BirdFile::MAX_FILE_SIZE) + 1), 0);

  BirdFile file;
  EXPECT_FALSE(LoadInto(file, path));
  EXPECT_NE(log.text().find("is too large"), std::string::npos) << log.text();
  EXPECT_EQ(file.signature, 0u);  // nothing was read
}

TEST_F(BirdFileTest, AllocationFailureIsAFailedLoad) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "an address-space limit cannot be set under a sanitizer's shadow memory";
#else
  constexpr size_t kBodyBytes = 40u * 1024 * 1024;  // inflating needs 8 times this
  constexpr rlim_t kHeadroomBytes =
      160u * 1024 * 1024;  // room for the file bytes, not the inflation
  Bytes bytes = birdgen::WrapBody(Bytes(kBodyBytes, 0));
  const std::string path = Write(bytes);
  bytes.clear();
  bytes.shrink_to_fit();

  const RunResult run = RunInChild(
      [&] {
        long pages = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        if (!statm || std::fscanf(statm, "%ld", &pages) != 1)
          throw std::runtime_error("no /proc/self/statm");
        std::fclose(statm);
        const rlimit limit{rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + kHeadroomBytes,
                           RLIM_INFINITY};
        if (setrlimit(RLIMIT_AS, &limit) != 0) throw std::runtime_error("setrlimit failed");
        Log::SetOutput(stderr);
        Log::ActivatePackage(DEBUG_BirdFile);
        BirdFile file;
        file.path = path;
        if (file.Load() || file.bufferSize != 0 || !file.blocks.empty())
          throw std::runtime_error("loaded without the memory");
      },
      Stdout::Pipe);
  EXPECT_TRUE(run.exitedWith(0)) << run.err;
  EXPECT_NE(run.err.find("BIRDFILE: Error - out of memory inflating bird file"), std::string::npos)
      << run.err;
#endif
}

// ---------------------------------------------------------------------------------------
// Personalisation

class BirdPersonaliseTest : public BirdFileTest {
 protected:
  // Firmware at 0x1000 of length 0x104 (image 0x1000-0x10FF) and a second at 0x2000.
  BirdFile Make(uint32_t serialOffset, uint32_t descriptorOffset) {
    Builder builder;
    builder.firmware(0x1000, first_)
        .offsets(serialOffset, descriptorOffset)
        .firmware(0x2000, second_);
    return BirdFile(Write(builder.file()).c_str());
  }

  static Bytes PayloadOf(const BirdFile& file, size_t firmwareIndex) {
    const BirdBlock block = file.FindBlocks(BirdFile::BLOCK_FIRMWARE).at(firmwareIndex);
    return Bytes(Payload(block), Payload(block) + block.length - 4);
  }

  const Bytes first_ = Image(0x100, 11);
  const Bytes second_ = Image(0x40, 12);
};

TEST_F(BirdPersonaliseTest, SerialNumberAndDescriptorTextGoIntoTheCoveringImage) {
  BirdFile file = Make(0x1010, 0x1020);
  ASSERT_TRUE(file.personalisable);
  EXPECT_TRUE(file.ReplaceSerialNumber(0x0000ABCD));

  Bytes expected = first_;
  PutLittleWord(expected, 0x10, 0x0000ABCD);
  const char* digits = "0000ABCD";
  for (size_t i = 0; i < 8; ++i)
    expected[0x20 + 2 * i] = static_cast<uint8_t>(digits[i]);  // high bytes stay as they were
  EXPECT_EQ(PayloadOf(file, 0), expected);
  EXPECT_EQ(PayloadOf(file, 1), second_);
}

struct OffsetCase {
  const char* name;
  uint32_t serialOffset, descriptorOffset;
  bool result;
  int serialAt;      // payload byte of the first image that gets the serial word, -1 for none
  int descriptorAt;  // payload byte of the first image that gets the text, -1 for none
};

void PrintTo(const OffsetCase& c, std::ostream* os) { *os << c.name; }

class BirdOffsetTest : public BirdPersonaliseTest,
                       public ::testing::WithParamInterface<OffsetCase> {};

TEST_P(BirdOffsetTest, WritesOnlyWhatLiesWhollyInsideAnImage) {
  const OffsetCase& c = GetParam();
  constexpr uint32_t kSerial = 0x89ABCDEF;
  BirdFile file = Make(c.serialOffset, c.descriptorOffset);
  EXPECT_EQ(file.ReplaceSerialNumber(kSerial), c.result);

  Bytes expected = first_;
  if (c.serialAt >= 0) PutLittleWord(expected, size_t(c.serialAt), kSerial);
  if (c.descriptorAt >= 0)
    for (size_t i = 0; i < 8; ++i)
      expected[size_t(c.descriptorAt) + 2 * i] = static_cast<uint8_t>("89ABCDEF"[i]);
  EXPECT_EQ(PayloadOf(file, 0), expected);
  EXPECT_EQ(PayloadOf(file, 1), second_);
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, BirdOffsetTest,
    ::testing::Values(OffsetCase{"BothZero", 0, 0, false, -1, -1},
                      // A serial offset counts as done even where no image covers it.
                      OffsetCase{"SerialNowhere", 0x5000, 0, true, -1, -1},
                      OffsetCase{"SerialAtImageStart", 0x1000, 0, true, 0, -1},
                      OffsetCase{"SerialInLastFourBytes", 0x10FC, 0, true, 0xFC, -1},
                      OffsetCase{"SerialStraddlesImageEnd", 0x10FD, 0, true, -1, -1},
                      OffsetCase{"SerialBeforeImage", 0x0FFE, 0, true, -1, -1},
                      OffsetCase{"SerialNearTopOfAddressSpace", 0xFFFFFFFE, 0, true, -1, -1},
                      OffsetCase{"DescriptorOnly", 0, 0x1040, true, -1, 0x40},
                      OffsetCase{"DescriptorInLastSixteenBytes", 0, 0x10F0, true, -1, 0xF0},
                      OffsetCase{"DescriptorStraddlesImageEnd", 0, 0x10F1, false, -1, -1},
                      OffsetCase{"DescriptorNowhere", 0, 0x7000, false, -1, -1},
                      OffsetCase{"SerialNowhereDescriptorInside", 0x9000, 0x1000, true, -1, 0}),
    [](const ::testing::TestParamInfo<OffsetCase>& p) { return std::string(p.param.name); });

TEST_F(BirdFileTest, ImageAtTheTopOfTheAddressSpaceIsPersonalisedWithoutWrapping) {
  // Image 0xFFFFFF00-0xFFFFFFFF: its end lies past 32 bits.
  const Bytes image = Image(0x100, 5);
  BirdFile inside(
      Write(Builder().firmware(0xFFFFFF00, image).offsets(0xFFFFFFFC, 0xFFFFFFE0).file(), "a.bird")
          .c_str());
  EXPECT_TRUE(inside.ReplaceSerialNumber(0x01020304));
  const uint8_t* payload = Payload(inside.blocks[0]);
  EXPECT_EQ(LittleWord(payload + 0xFC), 0x01020304u);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(payload[0xE0 + 2 * i], "01020304"[i]);

  // Offsets whose bytes would run past the top are not written.
  BirdFile past(
      Write(Builder().firmware(0xFFFFFF00, image).offsets(0xFFFFFFFD, 0xFFFFFFF1).file(), "b.bird")
          .c_str());
  EXPECT_TRUE(past.ReplaceSerialNumber(0x01020304));
  EXPECT_EQ(Bytes(Payload(past.blocks[0]), Payload(past.blocks[0]) + image.size()), image);
}

TEST_F(BirdFileTest, WithoutFirmwareBlocksASerialOffsetDoesNothing) {
  BirdFile file(Write(Builder().loader(0x1000, Image(16)).offsets(0x1004, 0x1004).file()).c_str());
  EXPECT_TRUE(file.personalisable);
  EXPECT_FALSE(file.ReplaceSerialNumber(42));
}

// ---------------------------------------------------------------------------------------
// Decoding, vector checksum, pattern search

TEST_F(BirdFileTest, ZeroFingerprintChainsEachByteWithThePreviousOne) {
  const Bytes image = {0x5A, 0x0F, 0xF0};
  Builder builder;
  builder.firmware(0x1000, image).loader(0x3000, {0xAA, 0xBB}).checksum(0x01020304);
  BirdFile file(Write(builder.file()).c_str());
  const Bytes before(file.buffer.get(), file.buffer.get() + file.bufferSize);

  const unsigned int zero[4] = {0, 0, 0, 0};
  EXPECT_TRUE(file.DecodeFirmwareBlocks(zero));

  Bytes after(file.buffer.get(), file.buffer.get() + file.bufferSize);
  const size_t payload = size_t(Payload(file.blocks[0]) - file.buffer.get());
  EXPECT_EQ(after[payload], 0x5A);
  EXPECT_EQ(after[payload + 1], 0x5A ^ 0x0F);
  EXPECT_EQ(after[payload + 2], 0x5A ^ 0x0F ^ 0xF0);
  // Everything else, the address, the loader and the checksum word included, is unchanged.
  for (size_t i = 0; i < 3; ++i) after[payload + i] = before[payload + i];
  EXPECT_EQ(after, before);
}

TEST_F(BirdFileTest, FingerprintDecodesWhatTheGeneratorEncoded) {
  const uint32_t fingerprint[4] = {0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978};
  const Bytes first = Image(100, 21);  // longer than one key round
  const Bytes second = Image(37, 22);  // the chain starts afresh per block
  const Bytes loaderImage = Image(20, 23);
  Builder builder;
  builder.encodedFirmware(0x0, first, fingerprint)
      .loader(0x4000, loaderImage)
      .encodedFirmware(0x8000, second, fingerprint);
  BirdFile file(Write(builder.file()).c_str());
  std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(firmware.size(), 2u);
  EXPECT_NE(Bytes(Payload(firmware[0]), Payload(firmware[0]) + first.size()), first);

  const unsigned int words[4] = {fingerprint[0], fingerprint[1], fingerprint[2], fingerprint[3]};
  EXPECT_TRUE(file.DecodeFirmwareBlocks(words));
  EXPECT_EQ(Bytes(Payload(firmware[0]), Payload(firmware[0]) + first.size()), first);
  EXPECT_EQ(Bytes(Payload(firmware[1]), Payload(firmware[1]) + second.size()), second);
  EXPECT_EQ(firmware[1].address, 0x8000u);
  const BirdBlock loader = file.FindBlocks(BirdFile::BLOCK_LOADER)[0];
  EXPECT_EQ(Bytes(Payload(loader), Payload(loader) + loaderImage.size()), loaderImage);

  EXPECT_FALSE(file.DecodeFirmwareBlocks(nullptr));
}

TEST_F(BirdFileTest, VectorChecksumMakesTheTableSumToZeroAtAddressZeroOnly) {
  Bytes vectors = Image(64, 31);
  Builder builder;
  builder.firmware(0x0, vectors)
      .firmware(0x4000, vectors)
      .firmware(0x0, {1, 2, 3})  // too short for a table
      .firmware(0x0, {});
  BirdFile file(Write(builder.file()).c_str());
  const Bytes untouched(file.buffer.get(), file.buffer.get() + file.bufferSize);
  EXPECT_TRUE(file.ReplaceVectorChecksum());

  const std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  const uint8_t* table = Payload(firmware[0]);
  uint32_t sum = 0;
  for (size_t w : {0, 1, 2, 3, 4, 6, 7}) sum += LittleWord(table + 4 * w);
  EXPECT_EQ(sum, 0u);
  EXPECT_EQ(LittleWord(table + 20), LittleWord(vectors.data() + 20));  // word 5 is not part of it
  EXPECT_EQ(Bytes(table + 32, table + 64), Bytes(vectors.begin() + 32, vectors.end()));

  // Only word 7 of the first block changed.
  Bytes after(file.buffer.get(), file.buffer.get() + file.bufferSize);
  const size_t word7 = size_t(table - file.buffer.get()) + 28;
  for (size_t i = 0; i < 4; ++i) after[word7 + i] = untouched[word7 + i];
  EXPECT_EQ(after, untouched);
}

TEST_F(BirdFileTest, VectorChecksumIgnoresWordFive) {
  Bytes a = Image(32, 41);
  Bytes b = a;
  PutLittleWord(b, 20, LittleWord(a.data() + 20) + 12345);
  BirdFile fa(Write(Builder().firmware(0, a).file(), "a.bird").c_str());
  BirdFile fb(Write(Builder().firmware(0, b).file(), "b.bird").c_str());
  fa.ReplaceVectorChecksum();
  fb.ReplaceVectorChecksum();
  EXPECT_EQ(LittleWord(Payload(fa.blocks[0]) + 28), LittleWord(Payload(fb.blocks[0]) + 28));
}

struct PatternCase {
  const char* name;
  Bytes pattern;
  bool found;
};

void PrintTo(const PatternCase& c, std::ostream* os) { *os << c.name; }

class BirdPatternTest : public BirdFileTest, public ::testing::WithParamInterface<PatternCase> {};

TEST_P(BirdPatternTest, SearchesTheFirmwareDataAsStored) {
  // Firmware data: 00 00 10 00 | 11 22 33 44 55; the loader holds 99 98 97 96.
  Builder builder;
  builder.firmware(0x1000, {0x11, 0x22, 0x33, 0x44, 0x55}).loader(0x99989796, {0xEE, 0xEF});
  BirdFile file(Write(builder.file()).c_str());
  Bytes pattern = GetParam().pattern;
  EXPECT_EQ(file.ValidateData(pattern.data(), static_cast<unsigned>(pattern.size())),
            GetParam().found);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, BirdPatternTest,
    ::testing::Values(PatternCase{"InImage", {0x22, 0x33}, true},
                      PatternCase{"AcrossAddressAndImage", {0x10, 0x00, 0x11}, true},
                      PatternCase{"AtTheVeryEnd", {0x44, 0x55}, true},
                      PatternCase{"WholeData", {0, 0, 0x10, 0, 0x11, 0x22, 0x33, 0x44, 0x55}, true},
                      PatternCase{"LongerThanData", Bytes(10, 0), false},
                      PatternCase{"Absent", {0x55, 0x44}, false},
                      PatternCase{"OnlyInLoader", {0xEE, 0xEF}, false},
                      PatternCase{"Empty", {}, false}),
    [](const ::testing::TestParamInfo<PatternCase>& p) { return std::string(p.param.name); });

TEST_F(BirdFileTest, PatternSearchLogsEveryMatch) {
  LogCapture log;
  BirdFile file(Write(Builder().firmware(0xABAB, {0xAB, 0x00, 0xAB}).file()).c_str());
  unsigned char pattern[] = {0xAB};
  EXPECT_TRUE(file.ValidateData(pattern, 1));
  const std::string text = log.text();
  for (const char* at :
       {"Found data at 2\n", "Found data at 3\n", "Found data at 4\n", "Found data at 6\n"})
    EXPECT_NE(text.find(at), std::string::npos) << at;
  EXPECT_EQ(text.find("Found data at 5\n"), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// Descriptor fields

TEST_F(BirdFileTest, DescriptorFieldsReadTheirCharacters) {
  struct Case {
    birdgen::Descriptor descriptor;
    unsigned build;
    std::string version;
    unsigned serial;
  };
  const std::vector<Case> cases = {
      {{"1234", "2.12.4 beta", "0012ABCD", "Alder"}, 1234, "2.12.4", 0x0012ABCD},
      {{"0000000000012345", "1.0.0-rc1", "ffffffff", "Alder"},
       1234,
       "1.0.0-rc1",
       0xFFFFFFFF},  // 15 digits count
      {{"  77x9", "123456789012345X", "  0x12AB", "Alder"}, 77, "123456789012345", 0x12AB},
      {{"build", "", "12AB zz9", "Alder"}, 0, "", 0x12AB},
      {{"", " 1.2", "", "Alder"}, 0, "", 0},
      {{"4294967297", "9", "G0000001", "Alder"}, 1, "9", 0},  // kept to 32 bits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.descriptor.build + "|" + c.descriptor.version + "|" + c.descriptor.serial);
    BirdFile file(Write(Builder().descriptor(c.descriptor).file()).c_str());
    EXPECT_EQ(file.GetBuild(), c.build);
    EXPECT_EQ(file.GetVersion(), c.version);
    EXPECT_EQ(file.GetSerialNumber(), c.serial);
    EXPECT_TRUE(file.ValidateSerialNumber(c.serial));
  }
}

TEST_F(BirdFileTest, OnlyTheFirstDescriptorCounts) {
  Builder builder;
  builder.descriptor({"10", "1.0.0", "00000010", "Alder"})
      .descriptor({"20", "2.0.0", "00000020", "Birch"});
  BirdFile file(Write(builder.file()).c_str());
  EXPECT_EQ(file.GetBuild(), 10u);
  EXPECT_EQ(file.GetVersion(), "1.0.0");
  EXPECT_FALSE(file.ValidateModel("Birch"));
}

TEST_F(BirdFileTest, ModelMatchesTheStartOfTheTrimmedField) {
  struct Case {
    const char* field;
    const char* name;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"Alder", "Alder", true},
      {"Alder", "Birch", false},
      {"Alder2", "Alder", true},
      {"Alder", "Alder2", false},
      {"Alder", "", true},
      {"Alder ", "Alder ", false},
      {"ThisIsSixteenChr", "ThisIsSixteenChr", true},
      {"alder", "Alder", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " vs " + c.name);
    LogCapture log;
    BirdFile file(Write(Builder().descriptor({"1", "1", "1", c.field}).file()).c_str());
    EXPECT_EQ(file.ValidateModel(c.name), c.matches);
    const std::string line =
        std::string("Model matches model number ([") + c.field + "] == [" + c.name + "])\n";
    EXPECT_EQ(log.text().find(line) != std::string::npos, c.matches) << log.text();
  }
}

TEST_F(BirdFileTest, WithoutDescriptorEveryFieldIsEmptyAndEveryCheckFails) {
  BirdFile file(Write(Builder().firmware(0, Image(8)).file()).c_str());
  EXPECT_EQ(file.GetVersion(), "");
  EXPECT_EQ(file.GetBuild(), 0u);
  EXPECT_EQ(file.GetSerialNumber(), 0u);
  EXPECT_FALSE(file.ValidateModel("Alder"));
  EXPECT_FALSE(file.ValidateModel(""));
  EXPECT_FALSE(file.ValidateSerialNumber(0));
  EXPECT_FALSE(file.ValidateModel(nullptr));
}

// ---------------------------------------------------------------------------------------
// Dump

TEST_F(BirdFileTest, DumpShowsFiftyBytesPerLineWithTheirText) {
  Bytes data(51, 0x00);
  data[0] = 'A';
  data[1] = 'B';
  data[50] = 'Z';
  const std::string path =
      Write(Builder().raw(3, data).raw(3, {0x7F}).raw(4, Bytes(64, 'x')).file());

  const RunResult run = RunInChild(
      [&] {
        BirdFile file(path.c_str());
        file.DumpBlocks(static_cast<BirdFile::BLOCK_TYPE>(3));
      },
      Stdout::Pipe);
  ASSERT_TRUE(run.exitedWith(0)) << run.err;

  std::string firstLine = "41 42 ";
  for (int i = 2; i < 50; ++i) firstLine += "00 ";
  const std::string expected = "BIRDFILE: BLOCK DUMP [" + path + "]\n" +
                               " \r\n000000: " + firstLine + " AB" + std::string(48, ' ') +
                               "\r\n000050: 5A  Z\n" + " \r\n000000: 7F   \n" + "\n";
  EXPECT_EQ(run.out, expected);
}

// ---------------------------------------------------------------------------------------
// The generator's command-line tool, as the stand-ins and end-to-end tests use it

TEST_F(BirdFileTest, GeneratorToolWritesTheBlocksItsOptionsName) {
  const std::string path = dir_.file("tool.bird");
  const RunResult run =
      RunProgram({KV_BIRD_GEN_TOOL, "--loader", "0x100:40:2", "--fingerprint",
                  "0x11111111,0x22222222,0x33333333,0x44444444", "--firmware", "0:64:1",
                  "--offsets", "0x10:0x20", "--descriptor", "1300,2.12.4,0012ABCD,Alder",
                  "--start-address", "0x20000000", "--raw", "3:DEAD", path});
  ASSERT_TRUE(run.exitedWith(0)) << run.err;
  ASSERT_TRUE(BirdFile::VerifyFile(path.c_str()));

  BirdFile file(path.c_str());
  ASSERT_EQ(file.blockCount, 6u);
  const std::vector<BirdBlock>& b = file.blocks;
  EXPECT_EQ(b[0].type, BirdFile::BLOCK_LOADER);
  EXPECT_EQ(b[0].flags, 2);
  EXPECT_EQ(b[0].address, 0x100u);
  EXPECT_EQ(b[0].length, 44u);
  EXPECT_EQ(b[1].type, BirdFile::BLOCK_FIRMWARE);
  EXPECT_EQ(b[1].flags, 1);
  EXPECT_EQ(b[1].length, 68u);
  EXPECT_EQ(b[5].type, 3);
  EXPECT_EQ(Bytes(b[5].data, b[5].data + b[5].length), (Bytes{0xDE, 0xAD}));
  EXPECT_EQ(GetIntOf(b[4].data), 0x20000000u);
  EXPECT_TRUE(file.personalisable);
  EXPECT_EQ(file.serialNumberOffset, 0x10u);
  EXPECT_EQ(file.GetBuild(), 1300u);
  EXPECT_EQ(file.GetSerialNumber(), 0x0012ABCDu);

  // The loader's filler is the first seed's pattern, the firmware's the next one, encoded.
  EXPECT_EQ(Bytes(Payload(b[0]), Payload(b[0]) + 40), birdgen::PatternBytes(40, 1));
  const unsigned int words[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444};
  file.DecodeFirmwareBlocks(words);
  EXPECT_EQ(Bytes(Payload(b[1]), Payload(b[1]) + 64), birdgen::PatternBytes(64, 2));
}

TEST_F(BirdFileTest, GeneratorToolFaultKnobsMakeFilesThatDoNotLoad) {
  for (const char* fault : {"truncated", "non-zlib", "lying-length", "short-firmware",
                            "no-checksum", "oversize-ratio"}) {
    SCOPED_TRACE(fault);
    const std::string path = dir_.file(std::string(fault) + ".bird");
    const RunResult run =
        RunProgram({KV_BIRD_GEN_TOOL, "--firmware", "0x1000:32", "--fault", fault, path});
    ASSERT_TRUE(run.exitedWith(0)) << run.err;
    BirdFile file;
    EXPECT_FALSE(LoadInto(file, path));
  }

  // A wrong count is only logged.
  LogCapture log;
  const std::string path = dir_.file("count.bird");
  ASSERT_TRUE(
      RunProgram({KV_BIRD_GEN_TOOL, "--firmware", "0x1000:32", "--fault", "wrong-count", path})
          .exitedWith(0));
  BirdFile file;
  EXPECT_TRUE(LoadInto(file, path));
  EXPECT_NE(log.text().find("(1 != 2)"), std::string::npos);

  const RunResult bad =
      RunProgram({KV_BIRD_GEN_TOOL, "--fault", "no-such-fault", dir_.file("x.bird")});
  EXPECT_TRUE(bad.exitedWith(2));
  EXPECT_NE(bad.err.find("unknown fault 'no-such-fault'"), std::string::npos) << bad.err;
}

}  // namespace
