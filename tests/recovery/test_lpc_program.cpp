// The ISP client against the stand-in ISP ROM on a pty: the fingerprint dialogue, data
// through the chip's RAM, and programming firmware blocks into its flash, compared with the
// chip's flash dump; silent, noisy, slow and refusing chips.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "NXPSerialClass.h"
#include "lpc_test_support.h"
#include "sim_lpc_server.h"

namespace {

using kvsim::LpcBytes;
using kvsim::LpcConfig;
using kvsim::LpcIspServer;
using lpctest::Clock;
using lpctest::MsSince;

constexpr uint8_t kOldFirmware = 0x00;  // flash contents before a recovery
constexpr uint32_t kRam = NXPSerialClass::WRITE_ADDRESS;

struct Block {
  uint32_t address;
  std::vector<uint8_t> bytes;
};

std::vector<NXPFlashBlock> AsFlashBlocks(const std::vector<Block>& blocks) {
  std::vector<NXPFlashBlock> list;
  for (const Block& block : blocks)
    list.push_back(NXPFlashBlock{block.address, block.bytes.data(),
                                 static_cast<uint32_t>(block.bytes.size())});
  return list;
}

// The flash after a programming: erased but for the blocks.
LpcBytes Expected(const std::vector<Block>& blocks) {
  LpcBytes flash(kvsim::kLpcFlashSize, 0xFF);
  for (const Block& block : blocks)
    std::copy(block.bytes.begin(), block.bytes.end(), flash.begin() + block.address);
  return flash;
}

// The first offset where two flash images differ, for readable failures.
std::string FirstDifference(const LpcBytes& a, const LpcBytes& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (a[i] != b[i]) {
      char text[64];
      snprintf(text, sizeof text, "differ at 0x%05zX: %02X != %02X", i, a[i], b[i]);
      return text;
    }
  }
  return a.size() == b.size() ? "same" : "sizes differ";
}

const std::vector<Block>& ThreeBlocks() {
  // A first block whose last chunk is short and not a multiple of 4, one of 4 KiB and 4
  // bytes, one near the end of the flash.
  static const std::vector<Block> blocks = {
      {0x00000, lpctest::Pattern(5001, 1)},
      {0x10000, lpctest::Pattern(4100, 2)},
      {0x7F000, lpctest::Pattern(300, 3)},
  };
  return blocks;
}

struct Recorded : NXPFlashProgress {
  std::vector<std::string> events;
  void blockStarted(int number, int count, uint32_t size, uint32_t address) override {
    events.push_back("start " + std::to_string(number) + "/" + std::to_string(count) + " " +
                     std::to_string(size) + "@" + std::to_string(address));
  }
  void blockProgress(double fraction) override {
    events.push_back("progress " + std::to_string(fraction));
  }
  void blockFinished() override { events.push_back("finished"); }
};

class LpcChip : public ::testing::Test {
 protected:
  void SetUp() override { PtyPair::makeRaw(pty.slave()); }

  // Starts the stand-in and connects the client at baud; with sync, also synchronises.
  void start(const LpcConfig& config, bool sync = true, uint32_t paceBaud = 0,
             uint32_t baud = lpctest::kBaud) {
    chip = std::make_unique<LpcIspServer>(pty.master(), config, paceBaud);
    ASSERT_TRUE(chip->start());
    ASSERT_EQ(lpc.Connect(pty.slaveName().c_str(), baud), aErrNone);
    if (sync) {
      ASSERT_EQ(lpc.Sync(), aErrNone);
    }
  }

  static LpcConfig OldFirmware() {
    LpcConfig config;
    config.flashFill = kOldFirmware;
    return config;
  }

  PtyPair pty;
  std::unique_ptr<LpcIspServer> chip;
  NXPSerialClass lpc;
};

TEST_F(LpcChip, FingerprintDialogueReadsTheFourSerialNumberWords) {
  LpcConfig config;
  config.serial[0] = 0xDEADBEEF;
  config.serial[3] = 7;
  start(config);
  ASSERT_EQ(lpc.GetDeviceID(), aErrNone);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(lpc.deviceId[k], config.serial[k]);
  EXPECT_EQ(chip->commands(), (std::vector<std::string>{"N"}));
}

TEST_F(LpcChip, NoiseBeforeEveryAnswerIsDropped) {
  LpcConfig config;
  config.noise = 5;
  start(config);
  ASSERT_EQ(lpc.GetDeviceID(), aErrNone);
  EXPECT_EQ(lpc.deviceId[1], config.serial[1]);
  long part = 0;
  EXPECT_EQ(lpc.GetPartNumber(&part), aErrNone);
  EXPECT_EQ(part, static_cast<long>(kvsim::kLpcDefaultPartId));
}

TEST_F(LpcChip, ASilentChipFailsTheSynchronisationAtOnce) {
  LpcConfig config;
  config.silent = true;
  start(config, false);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(lpc.Sync(), aErrNotReady);
  EXPECT_LT(MsSince(start), 600);
  EXPECT_EQ(chip->received(), "?");
}

TEST_F(LpcChip, APortThatOnlySendsGarbageEndsEveryCallWithinItsDeadline) {
  start(LpcConfig());
  chip->configure([](LpcConfig& c) { c.silent = true; });
  chip->setBabble(true);
  const Clock::time_point start = Clock::now();
  EXPECT_NE(lpc.GetDeviceID(), aErrNone);
  EXPECT_EQ(lpc.deviceId[0], 0u);
  EXPECT_NE(lpc.Unlock(), aErrNone);
  EXPECT_LT(MsSince(start), 2000);
}

TEST_F(LpcChip, APortThatOnlySendsGarbageNeverSynchronises) {
  LpcConfig config;
  config.silent = true;
  start(config, false);
  chip->setBabble(true);
  const Clock::time_point start = Clock::now();
  EXPECT_NE(lpc.Sync(), aErrNone);
  EXPECT_LT(MsSince(start), 2000);
}

TEST_F(LpcChip, ACommandTheChipNeverAnswersFailsOnceItsDeadlinePassed) {
  LpcConfig config;
  config.ignore = {"N"};
  start(config);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(lpc.GetDeviceID(), aErrNotReady);
  EXPECT_LT(MsSince(start), 600);
  for (uint32_t word : lpc.deviceId) EXPECT_EQ(word, 0u);
}

TEST_F(LpcChip, AnEraseSlowerThanItsDeadlineFails) {
  LpcConfig config;
  config.eraseMsPerSector = 1500;  // far beyond what a sector may take
  start(config);
  ASSERT_EQ(lpc.Unlock(), aErrNone);
  ASSERT_EQ(lpc.Prepare(3, 3), aErrNone);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(lpc.Erase(3, 3), aErrNotReady);
  EXPECT_LT(MsSince(start), 1200);
}

class LpcRam : public LpcChip, public ::testing::WithParamInterface<bool> {};

TEST_P(LpcRam, BytesWrittenToRamReadBackTheSame) {
  start(LpcConfig());
  if (!GetParam()) {
    ASSERT_EQ(lpc.SetEcho(false), aErrNone);
  }
  const std::vector<uint8_t> data = lpctest::Pattern(2048, 21);
  ASSERT_EQ(lpc.Write(kRam, 2048, data.data()), aErrNone);
  std::vector<uint8_t> back(2048, 0);
  ASSERT_EQ(lpc.Read(kRam, 2048, back.data()), aErrNone);
  EXPECT_EQ(back, data);
  EXPECT_EQ(chip->echo(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(EchoModes, LpcRam, ::testing::Bool(),
                         [](const auto& tp) { return std::string(tp.param ? "Echo" : "NoEcho"); });

TEST_F(LpcChip, APacedLineAtNineThousandSixHundredBaudStillMeetsEveryDeadline) {
  constexpr uint32_t kSlowBaud = 9600;
  start(LpcConfig(), true, kSlowBaud, kSlowBaud);
  const std::vector<uint8_t> data = lpctest::Pattern(180, 4);  // four lines, all echoed
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(lpc.Write(kRam, 180, data.data()), aErrNone);
  // The echo alone is about 270 characters at 960 characters a second.
  EXPECT_GE(MsSince(start), 250);
  ASSERT_EQ(lpc.GetDeviceID(), aErrNone);
}

TEST_F(LpcChip, ProgrammingErasesTheOldFirmwareWritesEveryBlockAndStartsTheChip) {
  start(OldFirmware());
  Recorded progress;
  std::string message;
  ASSERT_EQ(lpc.ProgramFlash(AsFlashBlocks(ThreeBlocks()), &progress, &message), aErrNone)
      << message;
  EXPECT_EQ(message, "");

  const LpcBytes flash = chip->flash();
  EXPECT_TRUE(flash == Expected(ThreeBlocks())) << FirstDifference(flash, Expected(ThreeBlocks()));
  EXPECT_TRUE(chip->running());
  EXPECT_EQ(chip->startAddress(), 0u);
  EXPECT_TRUE(chip->echo());

  const std::vector<std::string> commands = chip->commands();
  ASSERT_GE(commands.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 4),
            (std::vector<std::string>{"U 23130", "P 0 29", "E 0 29", "A 0"}));
  EXPECT_EQ(std::vector<std::string>(commands.end() - 2, commands.end()),
            (std::vector<std::string>{"A 1", "G 0 T"}));

  ASSERT_FALSE(progress.events.empty());
  EXPECT_EQ(progress.events.front(), "start 1/3 5001@0");
  EXPECT_EQ(progress.events.back(), "finished");
  EXPECT_EQ(std::count(progress.events.begin(), progress.events.end(), "progress 1.000000"), 3);
}

TEST_F(LpcChip, EachChunkGoesThroughRamAndTheShortLastOneIsPaddedToItsCopyLength) {
  start(OldFirmware());
  // 4096 + 6 bytes at 0x1000: the second chunk is six bytes, not a multiple of 4, and the
  // staging RAM still holds the first chunk's bytes behind it.
  const std::vector<Block> blocks = {{0x1000, lpctest::Pattern(4102, 9)}};
  std::string message;
  ASSERT_EQ(lpc.ProgramFlash(AsFlashBlocks(blocks), nullptr, &message), aErrNone) << message;
  const LpcBytes flash = chip->flash();
  EXPECT_TRUE(flash == Expected(blocks)) << FirstDifference(flash, Expected(blocks));

  const std::vector<std::string> commands = chip->commands();
  const std::vector<std::string> chunks(commands.begin() + 4, commands.end() - 2);
  EXPECT_EQ(chunks, (std::vector<std::string>{"W 268439552 4096", "P 1 1", "C 4096 268439552 4096",
                                              "W 268439552 256", "P 2 2", "C 8192 268439552 256"}));
}

TEST_F(LpcChip, AChunkAcrossASectorBoundaryPreparesBothSectors) {
  start(LpcConfig());
  const std::vector<Block> blocks = {{0xF00, lpctest::Pattern(4096, 5)}};
  std::string message;
  ASSERT_EQ(lpc.ProgramFlash(AsFlashBlocks(blocks), nullptr, &message), aErrNone) << message;
  const LpcBytes flash = chip->flash();
  EXPECT_TRUE(flash == Expected(blocks)) << FirstDifference(flash, Expected(blocks));
  const std::vector<std::string> commands = chip->commands();
  EXPECT_EQ(commands[5], "P 0 1");
}

struct BadBlocks {
  const char* name;
  std::vector<Block> blocks;
  const char* says;
};

void PrintTo(const BadBlocks& c, std::ostream* os) { *os << c.name; }

class LpcRefusedImage : public LpcChip, public ::testing::WithParamInterface<BadBlocks> {};

TEST_P(LpcRefusedImage, IsRefusedBeforeAnythingIsErased) {
  start(OldFirmware());
  std::string message;
  EXPECT_EQ(lpc.ProgramFlash(AsFlashBlocks(GetParam().blocks), nullptr, &message), aErrParam);
  EXPECT_NE(message.find(GetParam().says), std::string::npos) << message;
  EXPECT_NE(message.find(pty.slaveName()), std::string::npos) << message;
  EXPECT_TRUE(chip->commands().empty());
  EXPECT_EQ(chip->flash(), LpcBytes(kvsim::kLpcFlashSize, kOldFirmware));
}

INSTANTIATE_TEST_SUITE_P(
    Images, LpcRefusedImage,
    ::testing::Values(
        BadBlocks{"NoBlocks", {}, "No firmware blocks"},
        BadBlocks{"EmptyBlock", {{0x0, lpctest::Pattern(64, 1)}, {0x2000, {}}}, "block 2"},
        BadBlocks{"Unaligned", {{0x180, lpctest::Pattern(64, 1)}}, "256-byte boundary"},
        // 300 bytes at 0x7FF00 are copied as 512 and would run past the flash.
        BadBlocks{"CopyPastTheEnd", {{0x7FF00, lpctest::Pattern(300, 1)}}, "does not fit"},
        BadBlocks{"OutsideTheFlash", {{0x80000, lpctest::Pattern(16, 1)}}, "does not fit"},
        // 0x2F0 bytes are copied as 1024 and reach into the next block.
        BadBlocks{"Overlapping",
                  {{0x0, lpctest::Pattern(0x2F0, 1)}, {0x300, lpctest::Pattern(16, 2)}},
                  "blocks 1 and 2 overlap"}),
    [](const auto& tp) { return std::string(tp.param.name); });

struct ChipFault {
  const char* name;
  std::function<void(LpcConfig&)> fault;
  aErr result;
  const char* says;
  bool programmed;  // the flash holds the blocks afterwards
};

void PrintTo(const ChipFault& c, std::ostream* os) { *os << c.name; }

class LpcFaultyChip : public LpcChip, public ::testing::WithParamInterface<ChipFault> {};

TEST_P(LpcFaultyChip, ProgrammingReportsTheFailedStepAndThePort) {
  LpcConfig config = OldFirmware();
  GetParam().fault(config);
  start(config);
  const std::vector<Block> blocks = {{0x0, lpctest::Pattern(1000, 8)}};
  std::string message;
  EXPECT_EQ(lpc.ProgramFlash(AsFlashBlocks(blocks), nullptr, &message), GetParam().result);
  EXPECT_NE(message.find(GetParam().says), std::string::npos) << message;
  EXPECT_FALSE(chip->running());
  if (GetParam().programmed)
    EXPECT_EQ(chip->flash(), Expected(blocks));
  else
    EXPECT_NE(chip->flash(), Expected(blocks));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LpcFaultyChip,
    ::testing::Values(
        ChipFault{"UnlockRefused",
                  [](LpcConfig& c) {
                    c.refuse = {{"U", 16}};
                  },
                  aErrParam, "Could not unlock", false},
        ChipFault{"PrepareRefused",
                  [](LpcConfig& c) {
                    c.refuse = {{"P 0 29", 11}};
                  },
                  aErrParam, "Could not prepare", false},
        ChipFault{"EraseRefused",
                  [](LpcConfig& c) {
                    c.refuse = {{"E", 9}};
                  },
                  aErrParam, "Could not erase", false},
        ChipFault{"WriteResentThreeTimes", [](LpcConfig& c) { c.resend = 3; }, aErrTimeout,
                  "into the RAM", false},
        ChipFault{"CopyRefused",
                  [](LpcConfig& c) {
                    c.refuse = {{"C", 9}};
                  },
                  aErrParam, "Could not copy", false},
        ChipFault{"CopyNeverAnswered", [](LpcConfig& c) { c.ignore = {"C"}; }, aErrNotReady,
                  "Could not copy", false},
        // The flash holds the firmware, but the chip cannot be started without its echo.
        ChipFault{"EchoNotBackOn",
                  [](LpcConfig& c) {
                    c.refuse = {{"A 1", 12}};
                  },
                  aErrParam, "Recovery Error transfering data to device ==> [2, aErrParam]", true}),
    [](const auto& tp) { return std::string(tp.param.name); });

struct Tolerated {
  const char* name;
  std::function<void(LpcConfig&)> fault;
};

void PrintTo(const Tolerated& c, std::ostream* os) { *os << c.name; }

class LpcToleratedFault : public LpcChip, public ::testing::WithParamInterface<Tolerated> {};

TEST_P(LpcToleratedFault, ProgrammingStillSucceeds) {
  LpcConfig config = OldFirmware();
  GetParam().fault(config);
  start(config);
  std::string message;
  ASSERT_EQ(lpc.ProgramFlash(AsFlashBlocks(ThreeBlocks()), nullptr, &message), aErrNone) << message;
  const LpcBytes flash = chip->flash();
  EXPECT_TRUE(flash == Expected(ThreeBlocks())) << FirstDifference(flash, Expected(ThreeBlocks()));
  EXPECT_TRUE(chip->running());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LpcToleratedFault,
    ::testing::Values(Tolerated{"EchoStaysOn",
                                [](LpcConfig& c) {
                                  c.refuse = {{"A 0", 12}};
                                }},
                      Tolerated{"TwoResends", [](LpcConfig& c) { c.resend = 2; }},
                      Tolerated{"NoiseBeforeAnswers", [](LpcConfig& c) { c.noise = 4; }},
                      // Thirty sectors at 40 ms: over a second for the erase of everything.
                      Tolerated{"SlowErase", [](LpcConfig& c) { c.eraseMsPerSector = 40; }}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(LpcChip, ProgrammingWithoutAnOpenPortIsRefused) {
  NXPSerialClass closed;
  std::string message;
  const std::vector<Block> blocks = {{0x0, lpctest::Pattern(16, 1)}};
  EXPECT_EQ(closed.ProgramFlash(AsFlashBlocks(blocks), nullptr, &message), aErrIO);
  EXPECT_FALSE(message.empty());
}

TEST_F(LpcChip, TheLogFollowsTheProgrammingWithDumpsOfTheLines) {
  lpctest::LogCapture log(DEBUG_Updater | DEBUG_Network_Link | DEBUG_NXPSerial | DEBUG_NXPSerial_E |
                          DEBUG_NXPSerial_SR);
  start(LpcConfig());
  const std::vector<Block> blocks = {{0x0, lpctest::Pattern(100, 1)}};
  ASSERT_EQ(lpc.ProgramFlash(AsFlashBlocks(blocks), nullptr, nullptr), aErrNone);
  const std::string text = log.text();
  EXPECT_NE(text.find("\n\tUnlock Memory:\n"), std::string::npos);
  EXPECT_NE(text.find("Sending:[55 20 32 33 31 33 30 0D 0A] [U 23130  ]\n"), std::string::npos);
  EXPECT_NE(text.find("Response: [53 79 6E"), std::string::npos);
  EXPECT_NE(text.find("GetLine() Received: [30 0D 0A] [0  ] 3 term [aErrNone]\n"),
            std::string::npos);
  EXPECT_NE(text.find("Write() valid transfer of 256 of 256 (100%) bytes\n"), std::string::npos);
}

}  // namespace
