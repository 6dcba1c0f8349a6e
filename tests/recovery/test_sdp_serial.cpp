// The SDP serial transport on a pty: opening and setting up the port, reports on the line
// without their report ID, collecting answers, where the status word sits, and the bounds on
// its reads and writes.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "sdp_test_support.h"

namespace {

using namespace sdptest;

constexpr int kIoTimeoutMs = 2000;      // ms to wait for bytes that are expected on the master
constexpr int kReadyTimeoutMs = 10000;  // ms for the stand-in program's first line
constexpr size_t kFillerBytes = 15;     // zeros init sends: a command's 16 bytes minus a probe byte
constexpr uint8_t kProbeByte = '?';     // what the other boot protocol's probe leaves on the line

int OpenDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

struct OpenCase {
  const char* name;
  std::string (*path)(const TempDir&);
};

class SerialOpenRefused : public ::testing::TestWithParam<OpenCase> {};

TEST_P(SerialOpenRefused, APathThatIsNoTerminalGivesFalseAndKeepsNothingOpen) {
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

TEST(SerialTransport, ANullPathIsRefused) {
  Serial_SDPLoader port(nullptr);
  EXPECT_FALSE(port.init());
}

TEST(SerialTransport, InitSetsRaw8N1At115200AndDropsWhatCameBefore) {
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

TEST(SerialTransport, OpeningAgainAndClosingLeaveNoDescriptorBehind) {
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

TEST(SerialTransport, ReportsGoOnTheLineWithoutTheirReportId) {
  PtyPair pty;
  Serial_SDPLoader port(pty.slaveName().c_str());
  EXPECT_EQ(port.writeData(Hex({1, 5, 5})), -1);  // not open yet
  ASSERT_TRUE(port.init());

  Bytes command(MAX_COMMAND_BYTES, 0);
  command[0] = 1;
  command[1] = command[2] = 0x05;
  // The filler of init came first.
  EXPECT_EQ(pty.read(kFillerBytes, kIoTimeoutMs), std::string(kFillerBytes, '\0'));
  EXPECT_EQ(port.writeData(command), 16);
  EXPECT_EQ(pty.read(16, kIoTimeoutMs), Text(Bytes(command.begin() + 1, command.end())));

  Bytes report = Pattern(1 + MAX_WRITE_BYTES);
  report[0] = 2;
  EXPECT_EQ(port.writeData(report), 1024);
  EXPECT_EQ(pty.read(1024, kIoTimeoutMs), Text(Bytes(report.begin() + 1, report.end())));
}

TEST(SerialTransport, ReadDataWaitsItsTimeOutThenTakesWhatCame) {
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

TEST(SerialTransport, AChipThatFloodsTheLineCannotHoldARead) {
  PtyPair pty;
  Serial_SDPLoader port(pty.slaveName().c_str());
  ASSERT_TRUE(port.init());
  pty.write(std::string(10000, 'x'));
  Bytes answer;
  EXPECT_EQ(port.readData(answer, 20), 4096);
  EXPECT_EQ(answer.size(), 4096u);
}

TEST(SerialTransport, APortThatTakesNoMoreDataFailsTheWriteInBoundedTime) {
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

TEST(SerialTransport, InitSendsFifteenZerosAfterTheSettleAndNothingElse) {
  PtyPair pty;
  Serial_SDPLoader port(pty.slaveName().c_str());
  ASSERT_TRUE(port.init());
  // Asking for one byte more shows that nothing follows the zeros.
  EXPECT_EQ(pty.read(kFillerBytes + 1, kIoTimeoutMs), std::string(kFillerBytes, '\0'));
}

// How a ROM on the line may take a probe byte of another boot protocol and a command it does
// not know.
struct RomCase {
  const char* name;
  bool keepsPartialCommand;
  bool silentOnUnknown;
};

const RomCase kRomCases[] = {
    {"DropsPartialAnswersUnknown", false, false},
    {"DropsPartialSilentOnUnknown", false, true},
    {"KeepsPartialAnswersUnknown", true, false},
    {"KeepsPartialSilentOnUnknown", true, true},
};

class ProbeByteBeforeTheTransport : public ::testing::TestWithParam<RomCase> {};

TEST_P(ProbeByteBeforeTheTransport, TheFingerprintTheLoaderAndTheJumpStayOnTheCommandGrid) {
  kvsim::ImxSdpConfig config;
  config.keepsPartialCommand = GetParam().keepsPartialCommand;
  config.silentOnUnknown = GetParam().silentOnUnknown;
  config.registers[kCfg0] = 0x89ABCDEF;
  config.registers[kCfg1] = 0x01234567;
  SerialRig rig(config);
  // The probe of the other boot protocol, sent on the port before the transport opens it.
  ASSERT_EQ(::write(rig.pty.slave(), &kProbeByte, 1), 1);
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);

  uint64_t fingerprint = 0;
  ASSERT_EQ(rig.client.getFingerprint(fingerprint), SDP_SUCCESS);
  EXPECT_EQ(fingerprint, 0x0123456789ABCDEFull);
  const Bytes image = Pattern(3000);
  ASSERT_EQ(rig.client.writeLoader(image, kLoadAddress), SDP_SUCCESS);
  rig.client.startLoader(kJumpAddress);

  ASSERT_EQ(rig.chip.loads().size(), 1u);
  EXPECT_EQ(rig.chip.loads()[0].address, kLoadAddress);
  EXPECT_EQ(rig.chip.loads()[0].bytes, image);
  EXPECT_TRUE(rig.chip.jumped());
  EXPECT_EQ(rig.chip.jumpAddress(), kJumpAddress);

  Bytes merged(1 + kFillerBytes, 0);
  merged[0] = kProbeByte;
  std::vector<kvsim::SdpCommand> commands = rig.chip.commands();
  if (GetParam().keepsPartialCommand) {
    // The probe byte and the zeros made one command of no known type.
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(Raw(commands[0]), merged);
    commands.erase(commands.begin());
    EXPECT_TRUE(rig.chip.dropped().empty());
  } else {
    EXPECT_EQ(rig.chip.dropped(), (std::vector<Bytes>{Bytes{kProbeByte}, Bytes(kFillerBytes, 0)}));
  }
  EXPECT_EQ(Types(commands), (std::vector<uint16_t>{kvsim::kSdpErrorStatus, kvsim::kSdpReadRegister,
                                                    kvsim::kSdpReadRegister, kvsim::kSdpErrorStatus,
                                                    kvsim::kSdpWriteFile, kvsim::kSdpJumpAddress}));
}

INSTANTIATE_TEST_SUITE_P(Roms, ProbeByteBeforeTheTransport, ::testing::ValuesIn(kRomCases),
                         [](const ::testing::TestParamInfo<RomCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(SdpSimProgram, HelpListsTheKnobsForPartialAndUnknownCommands) {
  const RunResult help = RunProgram({KV_SIM_IMX_BINARY, "--help"});
  ASSERT_TRUE(help.exitedWith(0));
  for (const char* knob : {"--keep-partial", "--silent-unknown"})
    EXPECT_NE(help.out.find(knob), std::string::npos) << knob;
}

TEST(SdpSimProgram,
     ARomThatKeepsPartialCommandsAndIgnoresUnknownOnesTakesTheLoaderAfterAProbeByte) {
  rectest::BackgroundProgram chip(KV_SIM_IMX_BINARY, {"--keep-partial", "--silent-unknown"});
  const std::string ready = chip.line(kReadyTimeoutMs);
  ASSERT_EQ(ready.rfind("PTY ", 0), 0u) << ready;
  const std::string port = ready.substr(4);

  // The probe goes out through a descriptor of its own, open until the loader is in.
  const int probe = open(port.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(probe, 0) << port;
  ASSERT_EQ(::write(probe, &kProbeByte, 1), 1);
  const Bytes image = Pattern(3000, 5);
  {
    SDPLoader client;
    ASSERT_TRUE(client.setLoader(new Serial_SDPLoader(port.c_str())));
    EXPECT_EQ(client.init(), SDP_SUCCESS);
    EXPECT_EQ(client.writeLoader(image, kLoadAddress), SDP_SUCCESS);
    client.startLoader(kJumpAddress);
  }
  close(probe);
  EXPECT_EQ(chip.line(kReadyTimeoutMs), "JUMPED 0x20000400");
  EXPECT_EQ(chip.stop(), 0);
  EXPECT_EQ(chip.line(kReadyTimeoutMs), "LOADED 0x20000000 3000");
}

struct WordCase {
  const char* name;
  Bytes answer;
  unsigned offset;
  bool parses;
  unsigned word;  // value after the call, from 0x1
};

class SerialStatusWord : public ::testing::TestWithParam<WordCase> {};

TEST_P(SerialStatusWord, TheWordAfterTheHabModeIsOredIntoTheValue) {
  Serial_SDPLoader port("/dev/null");
  unsigned value = 0x1;
  EXPECT_EQ(port.getDataFromBuffer(GetParam().answer, GetParam().offset, value), GetParam().parses);
  EXPECT_EQ(value, GetParam().word);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SerialStatusWord,
    ::testing::Values(
        WordCase{"Complete", Hex({0x12, 0x34, 0x56, 0x78, 0x88, 0x88, 0x88, 0x88}), 0, true,
                 0x88888889},
        WordCase{"LittleEndian", Hex({0x56, 0x78, 0x78, 0x56, 0x78, 0x56, 0x34, 0x12}), 0, true,
                 0x12345679},
        WordCase{"SevenBytes", Hex({0x12, 0x34, 0x56, 0x78, 0x88, 0x88, 0x88}), 0, false, 0x1},
        WordCase{"Empty", Bytes(), 0, false, 0x1},
        // Shifted by one byte: the word at bytes 5 to 8; 12 bytes are needed.
        WordCase{"OffsetOne", Hex({0, 0, 0, 0, 0, 0x10, 0x20, 0x30, 0x40, 0, 0, 0}), 1, true,
                 0x40302011},
        WordCase{"OffsetOneShort", Hex({0, 0, 0, 0, 0, 0x10, 0x20, 0x30, 0x40, 0, 0}), 1, false,
                 0x1},
        WordCase{"OffsetSixteen", Bytes(80, 0xFF), 16, false, 0x1}),
    [](const ::testing::TestParamInfo<WordCase>& param) { return std::string(param.param.name); });

}  // namespace
