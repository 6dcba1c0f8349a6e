// The ISP commands against a scripted chip: the exact line each command sends, the handling
// of its return code in both echo modes, the arguments refused before anything is sent, and
// the data phases of W and R.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "NXPSerialClass.h"
#include "lpc_test_support.h"
#include "sim_lpc_isp.h"

namespace {

using lpctest::Clock;
using lpctest::MsSince;
using lpctest::ScriptedChip;

constexpr int kQuietMs = 50;  // ms after which a client that sent nothing has sent nothing

struct CommandCase {
  const char* name;
  std::function<aErr(NXPSerialClass&)> call;
  const char* line;
};

const std::vector<CommandCase>& Commands() {
  static const std::vector<CommandCase> cases = {
      {"SetEchoOff", [](NXPSerialClass& c) { return c.SetEcho(false); }, "A 0\r\n"},
      {"SetEchoOn", [](NXPSerialClass& c) { return c.SetEcho(true); }, "A 1\r\n"},
      {"SetBaudRate", [](NXPSerialClass& c) { return c.SetBaudRate(57600); }, "B 57600 1\r\n"},
      {"Unlock", [](NXPSerialClass& c) { return c.Unlock(); }, "U 23130\r\n"},
      {"PrepareAll", [](NXPSerialClass& c) { return c.Prepare(0, 29); }, "P 0 29\r\n"},
      {"EraseOne", [](NXPSerialClass& c) { return c.Erase(3, 3); }, "E 3 3\r\n"},
      {"CopyToFlash", [](NXPSerialClass& c) { return c.CopyToFlash(0x10000, 0x10001000, 4096); },
       "C 65536 268439552 4096\r\n"},
  };
  return cases;
}

struct Reply {
  const char* name;
  std::string line;
  aErr result;
};

const std::vector<Reply>& Replies() {
  static const std::vector<Reply> replies = {
      {"Success", "0\r\n", aErrNone},
      // Codes that begin with the digit of success are refusals all the same.
      {"CompareError", "10\r\n", aErrParam},
      {"InvalidCode", "16\r\n", aErrParam},
      {"Locked", "15\r\n", aErrParam},
      {"NoiseFirst", std::string("\0\r\n0\r\n", 6), aErrNone},
      {"Garbage", "0K\r\n", aErrParam},
      {"Silent", "", aErrNotReady},
  };
  return replies;
}

using CommandParam = std::tuple<size_t, size_t, bool>;

class LpcCommand : public ::testing::TestWithParam<CommandParam> {};

TEST_P(LpcCommand, SendsItsLineAndMapsTheReturnCode) {
  const CommandCase& command = Commands()[std::get<0>(GetParam())];
  const Reply& reply = Replies()[std::get<1>(GetParam())];
  const bool echo = std::get<2>(GetParam());

  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  lpc.echo = echo;
  chip.send((echo ? std::string(command.line) : std::string()) + reply.line);

  EXPECT_EQ(command.call(lpc), reply.result);
  EXPECT_EQ(chip.heard(strlen(command.line)), command.line);
}

// Every command with success and with a refusal whose code begins with the digit of success.
INSTANTIATE_TEST_SUITE_P(AllCommands, LpcCommand,
                         ::testing::Combine(::testing::Range<size_t>(0, 7),
                                            ::testing::Values<size_t>(0, 1), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<CommandParam>& tp) {
                           return std::string(Commands()[std::get<0>(tp.param)].name) + "_" +
                                  Replies()[std::get<1>(tp.param)].name +
                                  (std::get<2>(tp.param) ? "_Echo" : "_NoEcho");
                         });

using ReplyParam = std::tuple<size_t, bool>;

class LpcReturnCode : public ::testing::TestWithParam<ReplyParam> {};

TEST_P(LpcReturnCode, OnlyTheLineZeroIsSuccess) {
  const Reply& reply = Replies()[std::get<0>(GetParam())];
  const bool echo = std::get<1>(GetParam());
  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  lpc.echo = echo;
  chip.send((echo ? std::string("U 23130\r\n") : std::string()) + reply.line);
  EXPECT_EQ(lpc.Unlock(), reply.result);
}

INSTANTIATE_TEST_SUITE_P(Replies, LpcReturnCode,
                         ::testing::Combine(::testing::Range<size_t>(0, 7), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<ReplyParam>& tp) {
                           return std::string(Replies()[std::get<0>(tp.param)].name) +
                                  (std::get<1>(tp.param) ? "_Echo" : "_NoEcho");
                         });

TEST(LpcCommandEcho, FollowsTheChipOnlyWhenItAccepts) {
  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  chip.send("A 0\r\n12\r\n");
  EXPECT_EQ(lpc.SetEcho(false), aErrParam);
  EXPECT_TRUE(lpc.echo);
  chip.send("A 0\r\n0\r\n");
  EXPECT_EQ(lpc.SetEcho(false), aErrNone);
  EXPECT_FALSE(lpc.echo);
  // Echo off: the chip's reply alone.
  chip.send("0\r\n");
  EXPECT_EQ(lpc.SetEcho(true), aErrNone);
  EXPECT_TRUE(lpc.echo);
}

TEST(LpcCommandTiming, EraseAllowsTheChipItsTimePerSector) {
  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  lpc.echo = false;
  // Thirty sectors at about 40 ms each: longer than any one-command deadline, well inside
  // the erase's.
  constexpr int kEraseTakesMs = 1200;
  std::thread slowChip([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(kEraseTakesMs));
    chip.send("0\r\n");
  });
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(lpc.Erase(0, 29), aErrNone);
  EXPECT_GE(MsSince(start), kEraseTakesMs);
  slowChip.join();
}

TEST(LpcCommandTiming, AQuickCommandOnASilentChipFailsWithinItsShortDeadline) {
  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(lpc.Unlock(), aErrNotReady);
  // The echo's deadline and the reply's, about 100 ms each.
  EXPECT_LT(MsSince(start), 700);
}

struct RefusedCase {
  const char* name;
  std::function<aErr(NXPSerialClass&)> call;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class LpcRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(LpcRefused, ArgumentsRefusedBeforeAnythingIsSent) {
  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  EXPECT_EQ(GetParam().call(lpc), aErrParam);
  std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
  EXPECT_EQ(chip.heard(), "");
}

uint8_t gBuffer[64];

INSTANTIATE_TEST_SUITE_P(
    Arguments, LpcRefused,
    ::testing::Values(
        RefusedCase{"PrepareBackwards", [](NXPSerialClass& c) { return c.Prepare(5, 4); }},
        RefusedCase{"EraseBackwards", [](NXPSerialClass& c) { return c.Erase(5, 4); }},
        RefusedCase{"CopyUnaligned",
                    [](NXPSerialClass& c) { return c.CopyToFlash(0x180, 0x10001000, 256); }},
        RefusedCase{"CopyOddSize",
                    [](NXPSerialClass& c) { return c.CopyToFlash(0x10000, 0x10001000, 2048); }},
        RefusedCase{"WriteSix", [](NXPSerialClass& c) { return c.Write(0x10001000, 6, gBuffer); }},
        RefusedCase{"WriteNone", [](NXPSerialClass& c) { return c.Write(0x10001000, 0, gBuffer); }},
        RefusedCase{"ReadSix", [](NXPSerialClass& c) { return c.Read(0, 6, gBuffer); }},
        RefusedCase{"ReadNone", [](NXPSerialClass& c) { return c.Read(0, 0, gBuffer); }}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(LpcExecute, SendsGoInThumbModeAndReadsNoReply) {
  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  lpc.echo = false;
  chip.send("0\r\n");
  EXPECT_EQ(lpc.ExecuteFrom(0), aErrNone);
  EXPECT_EQ(chip.heard(7), "G 0 T\r\n");
  // The reply is still there: ExecuteFrom did not take it.
  char line[16];
  size_t count = 0;
  EXPECT_EQ(lpc.GetLine(line, sizeof line, &count, 200), aErrNone);
  EXPECT_STREQ(line, "0\r\n");
}

struct DeviceIdCase {
  const char* name;
  std::string chip;
  aErr result;
  uint32_t words[4];
};

void PrintTo(const DeviceIdCase& c, std::ostream* os) { *os << c.name; }

class LpcDeviceId : public ::testing::TestWithParam<DeviceIdCase> {};

TEST_P(LpcDeviceId, NeedsSuccessAndFourNumbers) {
  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  lpc.deviceId[0] = 0xAAAAAAAA;
  chip.send("N\r\n" + GetParam().chip);
  EXPECT_EQ(lpc.GetDeviceID(), GetParam().result);
  EXPECT_EQ(chip.heard(3), "N\r\n");
  for (int k = 0; k < 4; ++k) EXPECT_EQ(lpc.deviceId[k], GetParam().words[k]) << "word " << k;
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LpcDeviceId,
    ::testing::Values(
        DeviceIdCase{"FourNumbers",
                     "0\r\n1\r\n305419896\r\n4294967295\r\n0\r\n",
                     aErrNone,
                     {1, 0x12345678, 0xFFFFFFFF, 0}},
        DeviceIdCase{"Refused", "1\r\n", aErrParam, {0, 0, 0, 0}},
        DeviceIdCase{"Silent", "", aErrNotReady, {0, 0, 0, 0}},
        DeviceIdCase{"ThreeNumbers", "0\r\n1\r\n2\r\n3\r\n", aErrNotReady, {0, 0, 0, 0}},
        DeviceIdCase{"NotANumber", "0\r\n1\r\n2\r\nabc\r\n4\r\n", aErrParse, {0, 0, 0, 0}},
        DeviceIdCase{"TooLarge", "0\r\n1\r\n2\r\n4294967296\r\n4\r\n", aErrParse, {0, 0, 0, 0}}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(LpcPartAndVersion, ReadTheNumbersAfterSuccessAndFailWithoutThem) {
  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  lpc.echo = false;
  long part = 0;
  chip.send("0\r\n637615927\r\n");
  EXPECT_EQ(lpc.GetPartNumber(&part), aErrNone);
  EXPECT_EQ(part, 0x26013F37);
  uint8_t major = 0;
  uint8_t minor = 0;
  chip.send("0\r\n4\r\n1\r\n");
  EXPECT_EQ(lpc.GetBootLoaderVersion(&major, &minor), aErrNone);
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 1);
  EXPECT_EQ(chip.heard(6), "J\r\nK\r\n");

  chip.send("1\r\n");
  EXPECT_EQ(lpc.GetPartNumber(&part), aErrParam);
  chip.send("0\r\n4\r\n");
  EXPECT_EQ(lpc.GetBootLoaderVersion(&major, &minor), aErrNotReady);
}

// The lines of a W data phase as the client sent them, after the command line.
struct DataPhase {
  std::vector<std::string> lines;
};

DataPhase SplitLines(const std::string& sent) {
  DataPhase phase;
  size_t at = 0;
  while (at < sent.size()) {
    const size_t end = sent.find("\r\n", at);
    if (end == std::string::npos) break;
    phase.lines.push_back(sent.substr(at, end - at));
    at = end + 2;
  }
  return phase;
}

class LpcWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
    lpc.echo = false;
  }
  ScriptedChip chip;
  NXPSerialClass lpc;
};

TEST_F(LpcWrite, FourKiBGoAsNinetyTwoLinesWithFiveChecksums) {
  const std::vector<uint8_t> data = lpctest::Pattern(4096, 7);
  chip.send("0\r\nOK\r\nOK\r\nOK\r\nOK\r\nOK\r\n");
  ASSERT_EQ(lpc.Write(NXPSerialClass::WRITE_ADDRESS, 4096, data.data()), aErrNone);

  const DataPhase phase = SplitLines(chip.heard());
  ASSERT_EQ(phase.lines.size(), 1u + 92u + 5u);
  EXPECT_EQ(phase.lines[0], "W 268439552 4096");
  std::vector<uint8_t> decoded;
  std::vector<size_t> checksumAt;
  uint32_t sinceCheck = 0;
  for (size_t i = 1; i < phase.lines.size(); ++i) {
    const std::string& line = phase.lines[i];
    if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
      checksumAt.push_back(i);
      EXPECT_EQ(std::stoul(line), sinceCheck) << "checksum line " << i;
      sinceCheck = 0;
      continue;
    }
    const std::vector<uint8_t> bytes = kvsim::LpcUudecode(line);
    for (uint8_t b : bytes) sinceCheck += b;
    decoded.insert(decoded.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(decoded, data);
  // After 20, 40, 60, 80 and 92 data lines.
  EXPECT_EQ(checksumAt, (std::vector<size_t>{21, 42, 63, 84, 97}));
  EXPECT_EQ(std::stoul(phase.lines[21]), NXPSerialClass::sum(data.data(), 900));
}

struct WriteAnswers {
  const char* name;
  std::string answers;
  aErr result;
  size_t lineCount;  // lines sent after the command line
};

void PrintTo(const WriteAnswers& c, std::ostream* os) { *os << c.name; }

class LpcWriteAnswers : public LpcWrite, public ::testing::WithParamInterface<WriteAnswers> {};

TEST_P(LpcWriteAnswers, ResendsTheLinesSinceTheLastCheckpointWithinTheBudget) {
  // 900 bytes: 20 lines and one checksum per round.
  const std::vector<uint8_t> data = lpctest::Pattern(900, 3);
  chip.send("0\r\n" + GetParam().answers);
  EXPECT_EQ(lpc.Write(NXPSerialClass::WRITE_ADDRESS, 900, data.data()), GetParam().result);
  const DataPhase phase = SplitLines(chip.heard());
  EXPECT_EQ(phase.lines.size(), 1 + GetParam().lineCount);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LpcWriteAnswers,
    ::testing::Values(WriteAnswers{"Ok", "OK\r\n", aErrNone, 21},
                      WriteAnswers{"TwoResends", "RESEND\r\nRESEND\r\nOK\r\n", aErrNone, 63},
                      WriteAnswers{"ThreeResends", "RESEND\r\nRESEND\r\nRESEND\r\n", aErrTimeout,
                                   63},
                      WriteAnswers{"LowerCase", "ok\r\n", aErrIO, 21},
                      WriteAnswers{"NoAnswer", "", aErrIO, 21}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(LpcWrite, TheRetryBudgetIsNotRefilledByAcceptedChecksums) {
  const std::vector<uint8_t> data = lpctest::Pattern(2700, 5);  // three rounds of 20 lines
  chip.send("0\r\nRESEND\r\nOK\r\nRESEND\r\nOK\r\nRESEND\r\n");
  EXPECT_EQ(lpc.Write(NXPSerialClass::WRITE_ADDRESS, 2700, data.data()), aErrTimeout);
}

TEST_F(LpcWrite, RefusedCommandSendsNoData) {
  const std::vector<uint8_t> data = lpctest::Pattern(8, 5);
  chip.send("14\r\n");
  EXPECT_EQ(lpc.Write(0x40000000, 8, data.data()), aErrParam);
  EXPECT_EQ(chip.heard(), "W 1073741824 8\r\n");
}

TEST(LpcWriteEcho, TakesTheEchoOfEveryLine) {
  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  const std::vector<uint8_t> data = lpctest::Pattern(100, 9);
  // The chip's side: the echo of everything, then its answers.
  std::string expected = "W 268439552 100\r\n";
  std::string chipBytes = expected + "0\r\n";
  uint32_t total = 0;
  for (size_t at = 0; at < data.size(); at += 45) {
    const size_t n = std::min<size_t>(45, data.size() - at);
    const std::string line = kvsim::LpcUuencode(data.data() + at, n) + "\r\n";
    expected += line;
    chipBytes += line;
    for (size_t i = 0; i < n; ++i) total += data[at + i];
  }
  const std::string checksum = std::to_string(total) + "\r\n";
  expected += checksum;
  chipBytes += checksum + "OK\r\n";
  chip.send(chipBytes);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(lpc.Write(NXPSerialClass::WRITE_ADDRESS, 100, data.data()), aErrNone);
  EXPECT_EQ(chip.heard(expected.size()), expected);
  // Every echo was there: no wait ran into its deadline.
  EXPECT_LT(MsSince(start), 300);
}

// The chip's bytes of an R data phase: lines of 45 bytes, a checksum after each 20 lines.
std::string ReadPhase(const std::vector<uint8_t>& data, bool echoOk,
                      uint32_t corruptFirstChecksum = 0) {
  std::string bytes = "0\r\n";
  for (size_t block = 0; block < data.size(); block += 900) {
    const size_t end = std::min(data.size(), block + 900);
    uint32_t total = 0;
    for (size_t at = block; at < end; at += 45) {
      const size_t n = std::min<size_t>(45, end - at);
      bytes += kvsim::LpcUuencode(data.data() + at, n) + "\r\n";
      for (size_t i = 0; i < n; ++i) total += data[at + i];
    }
    if (block == 0 && corruptFirstChecksum) {
      bytes += std::to_string(total + corruptFirstChecksum) + "\r\n";
      // The host asks again: the same block once more.
      bytes += echoOk ? "RESEND\r\n" : "";
      for (size_t at = block; at < end; at += 45)
        bytes += kvsim::LpcUuencode(data.data() + at, std::min<size_t>(45, end - at)) + "\r\n";
    }
    bytes += std::to_string(total) + "\r\n";
    if (echoOk) bytes += "OK\r\n";
  }
  return bytes;
}

class LpcRead : public ::testing::TestWithParam<bool> {};

TEST_P(LpcRead, DecodesTheLinesAndAcknowledgesEachChecksum) {
  const bool echo = GetParam();
  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  lpc.echo = echo;
  const std::vector<uint8_t> data = lpctest::Pattern(2000, 11);
  chip.send((echo ? std::string("R 0 2000\r\n") : std::string()) + ReadPhase(data, echo));
  std::vector<uint8_t> out(2000, 0);
  const Clock::time_point start = Clock::now();
  ASSERT_EQ(lpc.Read(0, 2000, out.data()), aErrNone);
  EXPECT_EQ(out, data);
  EXPECT_EQ(chip.heard(), "R 0 2000\r\nOK\r\nOK\r\nOK\r\n");
  // Without echo nothing waits for an echo of the OK lines.
  EXPECT_LT(MsSince(start), 300);
}

TEST_P(LpcRead, AWrongChecksumIsAnsweredWithResendAndTheBlockTakenAgain) {
  const bool echo = GetParam();
  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  lpc.echo = echo;
  const std::vector<uint8_t> data = lpctest::Pattern(1200, 13);
  chip.send((echo ? std::string("R 4096 1200\r\n") : std::string()) + ReadPhase(data, echo, 1));
  std::vector<uint8_t> out(1200, 0);
  ASSERT_EQ(lpc.Read(4096, 1200, out.data()), aErrNone);
  EXPECT_EQ(out, data);
  EXPECT_EQ(chip.heard(), "R 4096 1200\r\nRESEND\r\nOK\r\nOK\r\n");
}

INSTANTIATE_TEST_SUITE_P(EchoModes, LpcRead, ::testing::Bool(),
                         [](const auto& tp) { return std::string(tp.param ? "Echo" : "NoEcho"); });

TEST(LpcReadFailure, AMissingDataLineEndsTheRead) {
  ScriptedChip chip;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone);
  lpc.echo = false;
  const std::vector<uint8_t> data = lpctest::Pattern(45, 1);
  chip.send("0\r\n" + kvsim::LpcUuencode(data.data(), 45) + "\r\n");
  std::vector<uint8_t> out(96, 0);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(lpc.Read(0, 96, out.data()), aErrNotReady);
  EXPECT_LT(MsSince(start), 700);
}

struct CopyLengthCase {
  uint32_t length;
  uint32_t copy;
};

void PrintTo(const CopyLengthCase& c, std::ostream* os) { *os << "length " << c.length; }

class LpcCopyLength : public ::testing::TestWithParam<CopyLengthCase> {};

TEST_P(LpcCopyLength, IsTheSmallestCopySizeThatHoldsTheLength) {
  EXPECT_EQ(NXPSerialClass::CopyLength(GetParam().length), GetParam().copy);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LpcCopyLength,
                         ::testing::Values(CopyLengthCase{0, 256}, CopyLengthCase{1, 256},
                                           CopyLengthCase{256, 256}, CopyLengthCase{257, 512},
                                           CopyLengthCase{1000, 1024}, CopyLengthCase{1025, 4096},
                                           CopyLengthCase{4096, 4096}, CopyLengthCase{4097, 4097}));

struct SectorCase {
  uint32_t address;
  uint32_t sector;
};

void PrintTo(const SectorCase& c, std::ostream* os) { *os << "address " << c.address; }

class LpcSector : public ::testing::TestWithParam<SectorCase> {};

TEST_P(LpcSector, MapsAddressesToTheFlashSectors) {
  EXPECT_EQ(NXPSerialClass::SectorFromAddress(GetParam().address), GetParam().sector);
}

INSTANTIATE_TEST_SUITE_P(Addresses, LpcSector,
                         ::testing::Values(SectorCase{0, 0}, SectorCase{0xFFF, 0},
                                           SectorCase{0x1000, 1}, SectorCase{0xFFFF, 15},
                                           SectorCase{0x10000, 16}, SectorCase{0x17FFF, 16},
                                           SectorCase{0x70000, 28}, SectorCase{0x7FFFF, 29},
                                           SectorCase{0x80000, 30}, SectorCase{0xFFFFFFFF, 30}));

}  // namespace
