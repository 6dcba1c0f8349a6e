// An independent check of the stand-in ISP ROM: Debian's lpc21isp, a programmer written apart
// from this project, programs an image into it, and the stand-in's flash must hold the image.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lpc_test_support.h"
#include "sim_lpc_server.h"

namespace {

constexpr int kPeerTimeoutMs = 120000;  // ms the programmer may take for one image
constexpr uint32_t kVectorChecksumWord = 7;
constexpr size_t kSmallSector = 0x1000;
constexpr size_t kLargeSector = 0x8000;
constexpr size_t kLargeSectorsFrom = 0x10000;

std::string FindInPath(const std::string& program) {
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t at = 0;
  while (at <= dirs.size()) {
    const size_t end = std::min(dirs.find(':', at), dirs.size());
    const std::string candidate = dirs.substr(at, end - at) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    at = end + 1;
  }
  return std::string();
}

uint32_t Word(const std::vector<uint8_t>& bytes, size_t index) {
  const size_t at = index * 4;
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// The image as the programmer puts it into the flash: the vector table's eighth word made the
// two's complement of the sum of the first seven, so the boot ROM takes the code as valid.
std::vector<uint8_t> WithVectorChecksum(std::vector<uint8_t> image) {
  uint32_t sum = 0;
  for (uint32_t k = 0; k < kVectorChecksumWord; ++k) sum += Word(image, k);
  const uint32_t check = 0u - sum;
  for (int b = 0; b < 4; ++b)
    image[kVectorChecksumWord * 4 + static_cast<size_t>(b)] =
        static_cast<uint8_t>(check >> (8 * b));
  return image;
}

// End of the flash sector that holds the last byte of an image of n bytes from 0.
size_t SectorEnd(size_t n) {
  const size_t last = n - 1;
  if (last < kLargeSectorsFrom) return (last / kSmallSector + 1) * kSmallSector;
  return kLargeSectorsFrom + ((last - kLargeSectorsFrom) / kLargeSector + 1) * kLargeSector;
}

class LpcPeer : public ::testing::TestWithParam<size_t> {};

TEST_P(LpcPeer, Lpc21ispProgramsTheStandInAndItsFlashHoldsTheImage) {
  const std::string programmer = FindInPath("lpc21isp");
  if (programmer.empty())
    GTEST_SKIP() << "lpc21isp is not installed (scripts/deps.sh installs the Debian package)";

  const size_t size = GetParam();
  const std::vector<uint8_t> image = lpctest::Pattern(size, static_cast<uint32_t>(size));
  TempDir dir;
  const std::string file = dir.file("image.bin");
  FILE* out = fopen(file.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(fwrite(image.data(), 1, image.size(), out), image.size());
  ASSERT_EQ(fclose(out), 0);

  PtyPair pty;
  PtyPair::makeRaw(pty.slave());
  kvsim::LpcIspServer chip(pty.master());
  ASSERT_TRUE(chip.start());
  const RunResult run = RunProgram({programmer, "-bin", file, pty.slaveName(), "115200", "14746"},
                                   {}, kPeerTimeoutMs);
  ASSERT_TRUE(run.exitedWith(0)) << run.out << run.err;

  const kvsim::LpcBytes flash = chip.flash();
  const std::vector<uint8_t> expected = WithVectorChecksum(image);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), flash.begin()))
      << "the image differs in the flash";
  // Beyond the sectors the image touched the flash is still erased.
  const size_t end = SectorEnd(size);
  EXPECT_TRUE(std::all_of(flash.begin() + static_cast<long>(end), flash.end(),
                          [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(chip.running());
  EXPECT_EQ(chip.startAddress(), 0u);
}

// A few sectors of 4 KiB; and an image that reaches into the 32 KiB sectors.
INSTANTIATE_TEST_SUITE_P(Images, LpcPeer, ::testing::Values<size_t>(5000, 70000),
                         [](const auto& tp) { return std::to_string(tp.param) + "Bytes"; });

}  // namespace
