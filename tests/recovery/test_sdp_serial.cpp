// The SDP serial transport on a pty: opening and setting up the port, reports on the line
// without their report ID, collecting answers, where the status word sits, and the bounds on
// its reads and writes.
#include <gtest/gtest.h>
#include <dirent.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "sdp_test_support.h"

namespace {

using namespace sdptest;

constexpr int kIoTimeoutMs = 2000;  // ms to wait for bytes that are expected on the master

int OpenDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

std::string Text(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

struct OpenCase {
    const char* name;
    std::string (*path)(const TempDir&);
};

class SerialOpenRefused : public ::testing::TestWithParam<OpenCase> {};

TEST_P(SerialOpenRefused, APathThatIsNoTerminalGivesFalseAndKeepsNothingOpen)
{
    TempDir dir;
    std::ofstream(dir.file("plain")) << "not a port";
    const std::string path = GetParam().path(dir);
    const int before = OpenDescriptors();
    Serial_SDPLoader port(path.c_str());
    EXPECT_FALSE(port.init());
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(port.writeData(Hex({1, 2, 3})), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SerialOpenRefused,
    ::testing::Values(OpenCase{"RegularFile", [](const TempDir& d) { return d.file("plain"); }},
                      OpenCase{"MissingPath", [](const TempDir& d) { return d.file("missing"); }},
                      OpenCase{"Directory", [](const TempDir& d) { return d.path(); }},
                      OpenCase{"EmptyPath", [](const TempDir&) { return std::string(); }}),
    [](const ::testing::TestParamInfo<OpenCase>& param) { return std::string(param.param.name); });

TEST(SerialTransport, ANullPathIsRefused)
{
    Serial_SDPLoader port(nullptr);
    EXPECT_FALSE(port.init());
}

TEST(SerialTransport, InitSetsRaw8N1At115200AndDropsWhatCameBefore)
{
    PtyPair pty;
    pty.write("stale bytes");
    Serial_SDPLoader port(pty.slaveName().c_str());
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(port.init());
    EXPECT_GE(MsSince(start), kSettleMs);

    termios settings{};
    ASSERT_EQ(tcgetattr(pty.slave(), &settings), 0);
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(settings.c_iflag, 0u);
    EXPECT_EQ(settings.c_oflag, 0u);
    EXPECT_EQ(settings.c_lflag, 0u);

    Bytes answer;
    EXPECT_EQ(port.readData(answer, 0), 0);
    EXPECT_TRUE(answer.empty());
}

TEST(SerialTransport, OpeningAgainAndClosingLeaveNoDescriptorBehind)
{
    PtyPair pty;
    const int before = OpenDescriptors();
    {
        Serial_SDPLoader port(pty.slaveName().c_str());
        ASSERT_TRUE(port.init());
        const int open = OpenDescriptors();
        ASSERT_TRUE(port.init());
        EXPECT_EQ(OpenDescriptors(), open);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(SerialTransport, ReportsGoOnTheLineWithoutTheirReportId)
{
    PtyPair pty;
    Serial_SDPLoader port(pty.slaveName().c_str());
    EXPECT_EQ(port.writeData(Hex({1, 5, 5})), -1);  // not open yet
    ASSERT_TRUE(port.init());

    Bytes command(MAX_COMMAND_BYTES, 0);
    command[0] = 1;
    command[1] = command[2] = 0x05;
    EXPECT_EQ(port.writeData(command), 16);
    EXPECT_EQ(pty.read(16, kIoTimeoutMs), Text(Bytes(command.begin() + 1, command.end())));

    Bytes report = Pattern(1 + MAX_WRITE_BYTES);
    report[0] = 2;
    EXPECT_EQ(port.writeData(report), 1024);
    EXPECT_EQ(pty.read(1024, kIoTimeoutMs), Text(Bytes(report.begin() + 1, report.end())));
}

TEST(SerialTransport, ReadDataWaitsItsTimeOutThenTakesWhatCame)
{
    PtyPair pty;
    Serial_SDPLoader port(pty.slaveName().c_str());
    ASSERT_TRUE(port.init());
    Bytes answer = {0xEE};
    EXPECT_EQ(port.readData(answer, 0), 0);
    EXPECT_EQ(answer, Bytes({0xEE}));

    pty.write(std::string("\x12\x34\x56\x78\x88\x88\x88\x88", 8));
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(port.readData(answer, 50), 8);
    EXPECT_GE(MsSince(start), 50);
    EXPECT_EQ(answer, Hex({0xEE, 0x12, 0x34, 0x56, 0x78, 0x88, 0x88, 0x88, 0x88}));
}

TEST(SerialTransport, AChipThatFloodsTheLineCannotHoldARead)
{
    PtyPair pty;
    Serial_SDPLoader port(pty.slaveName().c_str());
    ASSERT_TRUE(port.init());
    pty.write(std::string(10000, 'x'));
    Bytes answer;
    EXPECT_EQ(port.readData(answer, 20), 4096);
    EXPECT_EQ(answer.size(), 4096u);
}

TEST(SerialTransport, APortThatTakesNoMoreDataFailsTheWriteInBoundedTime)
{
    PtyPair pty;  // nothing reads the master: the pty's buffers fill
    Serial_SDPLoader port(pty.slaveName().c_str());
    ASSERT_TRUE(port.init());
    Bytes report = Pattern(1 + MAX_WRITE_BYTES);
    report[0] = 2;
    long result = 0;
    int reports = 0;
    for (; reports < 256 && result >= 0; ++reports) {
        const Clock::time_point start = Clock::now();
        result = port.writeData(report);
        // The report's line time and the write slack at the most.
        EXPECT_LT(MsSince(start), kWriteSlackMs + kLineMsPerKiB + kMachineSlackMs);
    }
    EXPECT_EQ(result, -1);
    EXPECT_LT(reports, 256);
}

struct WordCase {
    const char* name;
    Bytes answer;
    unsigned offset;
    bool parses;
    unsigned word;  // value after the call, from 0x1
};

class SerialStatusWord : public ::testing::TestWithParam<WordCase> {};

TEST_P(SerialStatusWord, TheWordAfterTheHabModeIsOredIntoTheValue)
{
    Serial_SDPLoader port("/dev/null");
    unsigned value = 0x1;
    EXPECT_EQ(port.getDataFromBuffer(GetParam().answer, GetParam().offset, value), GetParam().parses);
    EXPECT_EQ(value, GetParam().word);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SerialStatusWord,
    ::testing::Values(WordCase{"Complete", Hex({0x12, 0x34, 0x56, 0x78, 0x88, 0x88, 0x88, 0x88}), 0, true, 0x88888889},
                      WordCase{"LittleEndian", Hex({0x56, 0x78, 0x78, 0x56, 0x78, 0x56, 0x34, 0x12}), 0, true, 0x12345679},
                      WordCase{"SevenBytes", Hex({0x12, 0x34, 0x56, 0x78, 0x88, 0x88, 0x88}), 0, false, 0x1},
                      WordCase{"Empty", Bytes(), 0, false, 0x1},
                      // Shifted by one byte: the word at bytes 5 to 8; 12 bytes are needed.
                      WordCase{"OffsetOne", Hex({0, 0, 0, 0, 0, 0x10, 0x20, 0x30, 0x40, 0, 0, 0}), 1, true, 0x40302011},
                      WordCase{"OffsetOneShort", Hex({0, 0, 0, 0, 0, 0x10, 0x20, 0x30, 0x40, 0, 0}), 1, false, 0x1},
                      WordCase{"OffsetSixteen", Bytes(80, 0xFF), 16, false, 0x1}),
    [](const ::testing::TestParamInfo<WordCase>& param) { return std::string(param.param.name); });

} // namespace
