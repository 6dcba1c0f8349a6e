// The ISP client's line layer on a pty with a scripted chip: opening the port, the
// synchronisation, echo handling, answers and lines, their deadlines, and the uuencoding.
#include <gtest/gtest.h>
#include <termios.h>

#include <cstring>
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

// An answer waits its transfer time plus 100 ms of slack; a little more is allowed for the
// machine.
constexpr long long kSlackMs = 100;
constexpr long long kLateMs = 400;  // ms a call may end after its deadline on a busy machine
// Deadlines count whole milliseconds of the monotonic clock, so a wait measured on a finer clock
// can end up to one millisecond short of its nominal length.
constexpr long long kTickMs = 1;

std::string Str(const char* bytes, size_t n) { return std::string(bytes, n); }

struct BaudCase {
  uint32_t requested;
  uint32_t chosen;
  speed_t speed;
};

void PrintTo(const BaudCase& c, std::ostream* os) { *os << "requested " << c.requested; }

class ConnectBaud : public ::testing::TestWithParam<BaudCase> {};

TEST_P(ConnectBaud, OpensThePortAtTheFirstTableRateNotBelowTheRequest) {
  PtyPair pty;
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(pty.slaveName().c_str(), GetParam().requested), aErrNone);
  EXPECT_EQ(lpc.baudRate, GetParam().chosen);
  ASSERT_NE(lpc.serialStream(), nullptr);
  termios settings{};
  ASSERT_EQ(tcgetattr(pty.slave(), &settings), 0);
  EXPECT_EQ(cfgetospeed(&settings), GetParam().speed);
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, ConnectBaud,
                         ::testing::Values(BaudCase{0, 2400, B2400}, BaudCase{1, 2400, B2400},
                                           BaudCase{2400, 2400, B2400}, BaudCase{2401, 4800, B4800},
                                           BaudCase{100000, 115200, B115200},
                                           BaudCase{115200, 115200, B115200},
                                           BaudCase{230400, 230400, B230400},
                                           // Above the fastest rate the port falls back to 9600.
                                           BaudCase{230401, 9600, B9600},
                                           BaudCase{1000000, 9600, B9600}));

TEST(LpcConnect, MissingPortLeavesTheClientClosed) {
  NXPSerialClass lpc;
  EXPECT_EQ(lpc.Connect("/dev/no-such-port-for-lpc", 115200), aErrNotFound);
  EXPECT_EQ(lpc.serialStream(), nullptr);
  char line[32];
  size_t count = 0;
  EXPECT_NE(lpc.GetLine(line, sizeof line, &count, 10), aErrNone);
  EXPECT_EQ(lpc.Disconnect(), aErrNone);
}

TEST(LpcConnect, ReconnectingClosesThePortFirstAndRestoresItsSettings) {
  PtyPair pty;
  termios before{};
  ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
  {
    NXPSerialClass lpc;
    ASSERT_EQ(lpc.Connect(pty.slaveName().c_str(), 9600), aErrNone);
    ASSERT_EQ(lpc.Connect(pty.slaveName().c_str(), 57600), aErrNone);
    EXPECT_EQ(lpc.baudRate, 57600u);
  }
  termios after{};
  ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

class LpcLine : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(lpc.Connect(chip.port(), lpctest::kBaud), aErrNone); }
  ScriptedChip chip;
  NXPSerialClass lpc;
};

struct ResponseCase {
  const char* name;
  std::string input;
  std::string stored;
};

void PrintTo(const ResponseCase& c, std::ostream* os) { *os << c.name; }

class LpcResponse : public LpcLine, public ::testing::WithParamInterface<ResponseCase> {};

TEST_P(LpcResponse, DropsLeadingLineEndsAndZerosAndStopsAtTheLineEnd) {
  chip.send(GetParam().input);
  char buffer[64];
  size_t count = 99;
  EXPECT_EQ(lpc.Response(buffer, sizeof buffer, &count, "OK\r\n", 4), aErrNone);
  EXPECT_EQ(Str(buffer, count), GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, LpcResponse,
    ::testing::Values(ResponseCase{"LeadingLineFeed", "\nOK\r\n", "OK\r\n"},
                      ResponseCase{"LeadingReturnAndZero", std::string("\r\0OK\r\n", 6), "OK\r\n"},
                      ResponseCase{"ZerosAmongTheFirstThree", std::string("O\0\0K\r\n", 6),
                                   "OK\r\n"},
                      // A differing answer is kept, so the caller can tell it apart.
                      ResponseCase{"DifferentAnswerKept", "NO\r\nOK\r\n", "NO\r\n"},
                      // The expected length bounds the read; the rest stays for the next one.
                      ResponseCase{"LongerAnswerCut", "OKAY\r\n", "OKAY"}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(LpcLine, ResponseOnASilentPortEndsAtItsDeadlineWithNotReady) {
  char buffer[64];
  size_t count = 99;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(lpc.Response(buffer, sizeof buffer, &count, "OK\r\n", 4), aErrNotReady);
  const long long took = MsSince(start);
  EXPECT_EQ(count, 0u);
  EXPECT_GE(took, kSlackMs - kTickMs);
  EXPECT_LT(took, kSlackMs + kLateMs);
}

TEST_F(LpcLine, ResponseGivesUpOnAFloodOfDroppedBytesBeforeItsDeadline) {
  chip.send(std::string(4000, '\n'));
  char buffer[64];
  size_t count = 0;
  EXPECT_EQ(lpc.Response(buffer, sizeof buffer, &count, "OK\r\n", 4), aErrIO);
  EXPECT_EQ(count, 0u);
}

TEST_F(LpcLine, GetLineDropsLeadingLineEndsAndNoiseAndReturnsTheTerminatedLine) {
  chip.send(std::string("\n\r\0\n", 4) + "abc\r\nnext\r\n");
  char line[32];
  size_t count = 0;
  EXPECT_EQ(lpc.GetLine(line, sizeof line, &count, 200), aErrNone);
  EXPECT_STREQ(line, "abc\r\n");
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(lpc.GetLine(line, sizeof line, &count, 200), aErrNone);
  EXPECT_STREQ(line, "next\r\n");
}

TEST_F(LpcLine, GetLineDoesNotEndAtReturnReturnLineFeed) {
  chip.send("ab\r\r\ncd\r\n");
  char line[32];
  size_t count = 0;
  EXPECT_EQ(lpc.GetLine(line, sizeof line, &count, 200), aErrNone);
  EXPECT_STREQ(line, "ab\r\r\ncd\r\n");
}

TEST_F(LpcLine, GetLineStoresAtMostSizeMinusOneAndReportsTheOverrun) {
  chip.send(std::string(40, 'x') + "\r\n");
  char line[32];
  size_t count = 0;
  EXPECT_EQ(lpc.GetLine(line, sizeof line, &count, 200), aErrOverrun);
  EXPECT_EQ(count, 31u);
  EXPECT_EQ(strlen(line), 31u);
}

TEST_F(LpcLine, GetLineOnASilentPortEndsAtItsDeadline) {
  constexpr uint32_t kDeadlineMs = 150;
  char line[32];
  size_t count = 99;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(lpc.GetLine(line, sizeof line, &count, kDeadlineMs), aErrNotReady);
  const long long took = MsSince(start);
  EXPECT_EQ(count, 0u);
  EXPECT_STREQ(line, "");
  EXPECT_GE(took, static_cast<long long>(kDeadlineMs) - kTickMs);
  EXPECT_LT(took, kDeadlineMs + kLateMs);
}

TEST_F(LpcLine, GetLineEndsAtItsDeadlineWhileAChipKeepsSendingLineEnds) {
  constexpr uint32_t kDeadlineMs = 200;
  std::atomic<bool> stop{false};
  std::thread chatter([&] {
    while (!stop) {
      chip.send("\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  char line[32];
  size_t count = 0;
  const Clock::time_point start = Clock::now();
  const aErr result = lpc.GetLine(line, sizeof line, &count, kDeadlineMs);
  const long long took = MsSince(start);
  stop = true;
  chatter.join();
  EXPECT_EQ(result, aErrNotReady);
  EXPECT_LT(took, kDeadlineMs + kLateMs);
}

TEST_F(LpcLine, GetEchoDropsBytesThatDoNotMatch) {
  const char text[] = "P 0 29\r\n";
  chip.send("XP 0 29\r");
  size_t count = 0;
  EXPECT_EQ(lpc.GetEcho(text, 7, &count), aErrNone);
  EXPECT_EQ(count, 7u);
}

TEST_F(LpcLine, GetEchoOfASilentChipEndsAtItsDeadlineWithWhatCame) {
  chip.send("P 0");
  size_t count = 0;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(lpc.GetEcho("P 0 29\r\n", 7, &count), aErrNotReady);
  EXPECT_EQ(count, 3u);
  EXPECT_LT(MsSince(start), kSlackMs + kLateMs);
}

TEST_F(LpcLine, GetEchoGivesUpOnEndlessForeignBytes) {
  chip.send(std::string(4000, 'X'));
  size_t count = 0;
  EXPECT_EQ(lpc.GetEcho("P 0 29\r\n", 7, &count), aErrIO);
  EXPECT_EQ(count, 0u);
}

TEST_F(LpcLine, SendCommandTakesTheEchoUpToTheReturnAndLeavesTheLineFeed) {
  chip.send("U 23130\r\n0\r\n");
  EXPECT_EQ(lpc.SendCommand("U 23130\r\n", 0), aErrNone);
  EXPECT_EQ(chip.heard(9), "U 23130\r\n");
  char line[32];
  size_t count = 0;
  ASSERT_EQ(lpc.GetLine(line, sizeof line, &count, 200), aErrNone);
  EXPECT_STREQ(line, "0\r\n");
}

TEST_F(LpcLine, SendCommandWithoutEchoReadsNothing) {
  lpc.echo = false;
  chip.send("0\r\n");
  EXPECT_EQ(lpc.SendCommand("J\r\n", 0), aErrNone);
  EXPECT_EQ(chip.heard(3), "J\r\n");
  char line[32];
  size_t count = 0;
  ASSERT_EQ(lpc.GetLine(line, sizeof line, &count, 200), aErrNone);
  EXPECT_STREQ(line, "0\r\n");
}

TEST_F(LpcLine, SyncSendsQuestionMarkSynchronizedAndTheCrystalInKiloHertz) {
  chip.send("Synchronized\r\nSynchronized\r\nOK\r\n14746\r\nOK\r\n");
  EXPECT_EQ(lpc.Sync(), aErrNone);
  EXPECT_EQ(chip.heard(22), "?Synchronized\r\n14746\r\n");
}

struct SyncFailure {
  const char* name;
  std::string chip;
  aErr result;
};

void PrintTo(const SyncFailure& c, std::ostream* os) { *os << c.name; }

class LpcSyncFailure : public LpcLine, public ::testing::WithParamInterface<SyncFailure> {};

TEST_P(LpcSyncFailure, EndsWithTheFailureOfTheStepThatWentWrong) {
  chip.send(GetParam().chip);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(lpc.Sync(), GetParam().result);
  EXPECT_LT(MsSince(start), 2000);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LpcSyncFailure,
    ::testing::Values(
        SyncFailure{"Silent", "", aErrNotReady},
        SyncFailure{"SynchronisationLineRefused", "Synchronized\r\nSynchronized\r\nNO\r\n", aErrIO},
        SyncFailure{"NoAnswerToTheSynchronisationLine", "Synchronized\r\n", aErrNotReady},
        SyncFailure{"CrystalRefused", "Synchronized\r\nSynchronized\r\nOK\r\n14746\r\nERR\r\n",
                    aErrIO},
        SyncFailure{"NoAnswerToTheCrystal", "Synchronized\r\nSynchronized\r\nOK\r\n14746\r\n",
                    aErrNotReady}),
    [](const auto& tp) { return std::string(tp.param.name); });

struct ErrorTextCase {
  const char* line;
  const char* text;
};

void PrintTo(const ErrorTextCase& c, std::ostream* os) {
  *os << "line " << ::testing::PrintToString(std::string(c.line));
}

class LpcErrorText : public ::testing::TestWithParam<ErrorTextCase> {};

TEST_P(LpcErrorText, NamesTheCodeAtTheStartOfTheLine) {
  EXPECT_STREQ(NXPSerialClass::GetErrorText(GetParam().line), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Lines, LpcErrorText,
                         ::testing::Values(ErrorTextCase{"0\r\n", "CMD_SUCCESS"},
                                           ErrorTextCase{"9\r\n",
                                                         "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION"},
                                           ErrorTextCase{"19\r\n", "CODE_READ_PROTECTION_ENABLED"},
                                           ErrorTextCase{"20\r\n", "Unknown error"},
                                           ErrorTextCase{"-3\r\n", "Unknown error"},
                                           ErrorTextCase{"  12\r\n", "PARAM_ERROR"},
                                           ErrorTextCase{"0x0F\r\n", "CMD_LOCKED"},
                                           ErrorTextCase{"junk\r\n", "CMD_SUCCESS"}));

TEST(LpcUuencode, FortyFiveBytesMakeSixtyOneCharactersStartingWithM) {
  const std::vector<uint8_t> data = lpctest::Pattern(45, 1);
  char line[128];
  EXPECT_EQ(NXPSerialClass::uuencode(line, data.data(), 45), 45);
  EXPECT_EQ(strlen(line), 61u);
  EXPECT_EQ(line[0], 'M');
  // The stand-in's decoder, written apart from the client, gets the bytes back.
  EXPECT_EQ(kvsim::LpcUudecode(line), data);
}

struct UuCase {
  std::vector<uint8_t> bytes;
  const char* line;
};

void PrintTo(const UuCase& c, std::ostream* os) { *os << c.line; }

class LpcUuVector : public ::testing::TestWithParam<UuCase> {};

TEST_P(LpcUuVector, EncodesAndDecodesTheKnownLine) {
  const UuCase& c = GetParam();
  char line[128];
  EXPECT_EQ(NXPSerialClass::uuencode(line, c.bytes.data(), static_cast<uint32_t>(c.bytes.size())),
            static_cast<long>(c.bytes.size()));
  EXPECT_STREQ(line, c.line);
  uint8_t out[64] = {};
  ASSERT_EQ(NXPSerialClass::uudecode(out, sizeof out, (std::string(c.line) + "\r\n").c_str()),
            static_cast<int>(c.bytes.size()));
  EXPECT_EQ(std::vector<uint8_t>(out, out + c.bytes.size()), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Vectors, LpcUuVector,
                         ::testing::Values(UuCase{{0xFF}, "!_P``"},
                                           UuCase{{'a', 'b', 'c'}, "#86)C"},
                                           UuCase{{0, 0, 0}, "#````"},
                                           UuCase{{1, 2, 3, 4}, "$`0(#!```"}));

TEST(LpcUudecode, ReportsTheBytesActuallyDecodedFromAShortLine) {
  // "M" announces 45 bytes; two groups hold six.
  uint8_t out[64];
  memset(out, 0xEE, sizeof out);
  EXPECT_EQ(NXPSerialClass::uudecode(out, sizeof out, "M86)C86)C\r\n"), 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 6), "abcabc");
  EXPECT_EQ(out[6], 0xEE);
}

TEST(LpcUudecode, WritesNothingWhenTheLineAnnouncesMoreThanTheRoom) {
  uint8_t out[8];
  memset(out, 0xEE, sizeof out);
  EXPECT_EQ(NXPSerialClass::uudecode(out, 2, "#86)C"), 0);
  EXPECT_EQ(out[0], 0xEE);
  EXPECT_EQ(NXPSerialClass::uudecode(out, sizeof out, ""), 0);
}

TEST(LpcSum, AddsBytesInThirtyTwoBits) {
  const std::vector<uint8_t> ones(900, 0xFF);
  EXPECT_EQ(NXPSerialClass::sum(ones.data(), 900), 900u * 255u);
  EXPECT_EQ(NXPSerialClass::sum(ones.data(), 0), 0u);
}

}  // namespace
