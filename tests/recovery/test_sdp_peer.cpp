// The stand-in SDP ROM checked from outside: an independent host tool (imx_uart, from Debian's
// imx-usb-loader package) loads an image into it, and the stand-in as a program (kv_sim_imx)
// takes a loader from the client and tells of the jump.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "recovery_test_support.h"
#include "sdp_test_support.h"

namespace {

using namespace sdptest;

constexpr int kPeerTimeoutMs = 30000;   // ms the peer tool may take for a small image
constexpr int kReadyTimeoutMs = 10000;  // ms for the program's first line
constexpr uint32_t kIvtOffset = 0x400;  // where the image's header sits in the file
const char kPeerTool[] = "/usr/bin/imx_uart";

void PutLittleEndian(Bytes& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A bootable image for the peer tool: an image vector table at 0x400 naming the entry point
// and boot data (load address and size) that covers the whole file.
Bytes BootImage(size_t size, uint32_t loadAddress) {
  Bytes image = Pattern(size, 11);
  std::fill(image.begin() + kIvtOffset, image.begin() + kIvtOffset + 0x40, 0);
  const uint32_t ivt = loadAddress + kIvtOffset;
  image[kIvtOffset + 0] = 0xD1;  // header tag, big-endian length 0x20, version
  image[kIvtOffset + 1] = 0x00;
  image[kIvtOffset + 2] = 0x20;
  image[kIvtOffset + 3] = 0x41;
  PutLittleEndian(image, kIvtOffset + 4, ivt + 0x100);  // entry
  PutLittleEndian(image, kIvtOffset + 16, ivt + 0x20);  // boot data
  PutLittleEndian(image, kIvtOffset + 20, ivt);         // self
  PutLittleEndian(image, kIvtOffset + 0x20, loadAddress);
  PutLittleEndian(image, kIvtOffset + 0x24, static_cast<uint32_t>(size));
  return image;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

TEST(SdpPeerTool, LoadsAnImageIntoTheStandInAndJumpsToIt) {
  if (access(kPeerTool, X_OK) != 0)
    GTEST_SKIP()
        << "imx_uart is not installed (Debian package imx-usb-loader; scripts/deps.sh installs it)";

  TempDir dir;
  const std::string config = dir.file("sim.conf");
  std::ofstream(config) << "sim\nhid,1024,0x20000000,0x20000000,512K\n";
  const Bytes image = BootImage(6 * 1024 + 100, 0x20000000);
  const std::string imagePath = dir.file("loader.imx");
  WriteFile(imagePath, image);

  PtyPair pty;
  kvsim::ImxSdpSerialServer chip(pty.master());
  // Once started, the loaded code speaks on the line; the tool reads that after its jump.
  const int master = pty.master();
  chip.setJumpHook([master](uint32_t) {
    const char hello[] = "loader up\r\n";
    (void)!::write(master, hello, sizeof hello - 1);
  });
  ASSERT_TRUE(chip.start());

  // -n: a pty has no RTS/CTS lines.
  const RunResult run =
      RunProgram({kPeerTool, "-n", pty.slaveName(), config, imagePath}, {}, kPeerTimeoutMs);
  EXPECT_TRUE(run.exitedWith(0)) << run.out << run.err;
  // The tool's own verdict on the write: the ROM's HAB mode and completion status.
  EXPECT_NE(run.out.find("succeeded (security 0x56787856, status 0x88888888)"), std::string::npos)
      << run.out;
  EXPECT_GE(chip.associations(), 1);
  const auto loads = chip.loads();
  ASSERT_EQ(loads.size(), 1u) << run.out << run.err;
  EXPECT_EQ(loads[0].address, 0x20000000u);
  EXPECT_EQ(loads[0].bytes, image);
  EXPECT_TRUE(chip.jumped());
  EXPECT_EQ(chip.jumpAddress(), 0x20000000u + kIvtOffset);
}

constexpr int kAnswerTimeoutMs = 5000;  // ms for the ROM's answers on the line
constexpr int kLinePollMs = 10;         // ms per wait for more of them

// A 16-byte command as the host sends it: type twice, address, format, count, data, reserved.
Bytes Command(uint16_t type, uint32_t address, uint32_t count) {
  Bytes command(16, 0);
  command[0] = command[1] = static_cast<uint8_t>(type >> 8);
  for (int i = 0; i < 4; ++i) {
    command[2 + i] = static_cast<uint8_t>(address >> (24 - 8 * i));
    command[7 + i] = static_cast<uint8_t>(count >> (24 - 8 * i));
  }
  command[6] = 0x20;  // 32-bit format
  return command;
}

// Reads from fd until count bytes came or the time-out passed.
Bytes ReadUpTo(int fd, size_t count, int timeoutMs) {
  Bytes got;
  const Clock::time_point start = Clock::now();
  while (got.size() < count && MsSince(start) < timeoutMs) {
    pollfd wait = {fd, POLLIN, 0};
    if (poll(&wait, 1, kLinePollMs) <= 0) continue;
    uint8_t chunk[64];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    got.insert(got.end(), chunk, chunk + n);
  }
  return got;
}

TEST(SdpSerialStandIn, AReadOfNoBytesHoldsUpNoLaterAnswer) {
  PtyPair pty;
  ASSERT_TRUE(PtyPair::makeRaw(pty.slave()));
  kvsim::ImxSdpSerialServer chip(pty.master());
  ASSERT_TRUE(chip.start());

  Bytes commands = Command(kvsim::kSdpReadRegister, kLoadAddress, 0);
  const Bytes status = Command(kvsim::kSdpErrorStatus, 0, 0);
  commands.insert(commands.end(), status.begin(), status.end());
  ASSERT_EQ(::write(pty.slave(), commands.data(), commands.size()),
            static_cast<ssize_t>(commands.size()));

  // The HAB word alone for the empty read, then the HAB word and the error status.
  const Bytes hab = Hex({0x56, 0x78, 0x78, 0x56});
  Bytes expected = hab;
  expected.insert(expected.end(), hab.begin(), hab.end());
  const Bytes answers = ReadUpTo(pty.slave(), expected.size() + 4, kAnswerTimeoutMs);
  ASSERT_EQ(answers.size(), expected.size() + 4);
  EXPECT_EQ(Bytes(answers.begin(), answers.begin() + 8), expected);
  EXPECT_EQ(chip.commands().size(), 2u);
}

// The stand-in i.MX ROM program running in the background.
class SimImxProgram : public rectest::BackgroundProgram {
 public:
  explicit SimImxProgram(const std::vector<std::string>& arguments)
      : BackgroundProgram(KV_SIM_IMX_BINARY, arguments) {}
};

TEST(SdpSimProgram, HelpListsEveryKnobAndBadOptionsAreRefused) {
  const RunResult help = RunProgram({KV_SIM_IMX_BINARY, "--help"});
  ASSERT_TRUE(help.exitedWith(0));
  for (const char* knob :
       {"--silent", "--silent-after", "--complete-status", "--delay-ms", "--stray-after", "--stray",
        "--accept-limit", "--baud-pace", "--register", "--dump"})
    EXPECT_NE(help.out.find(knob), std::string::npos) << knob;
  EXPECT_TRUE(RunProgram({KV_SIM_IMX_BINARY, "--delay-ms"}).exitedWith(2));
  EXPECT_TRUE(RunProgram({KV_SIM_IMX_BINARY, "--stray", "ABC"}).exitedWith(2));
  EXPECT_TRUE(RunProgram({KV_SIM_IMX_BINARY, "--register", "0x10"}).exitedWith(2));
}

TEST(SdpSimProgram, TakesALoaderFromTheClientTellsOfTheJumpAndDumpsTheImage) {
  TempDir dir;
  const std::string dump = dir.file("image.bin");
  SimImxProgram chip({"--dump", dump, "--register", "0x401F4410=0x44332211", "--register",
                      "0x401F4420=0x88776655"});
  const std::string ready = chip.line(kReadyTimeoutMs);
  ASSERT_EQ(ready.rfind("PTY ", 0), 0u) << ready;
  const std::string port = ready.substr(4);

  const Bytes image = Pattern(3000, 5);
  {
    SDPLoader client;
    ASSERT_TRUE(client.setLoader(new Serial_SDPLoader(port.c_str())));
    ASSERT_EQ(client.init(), SDP_SUCCESS);
    uint64_t fingerprint = 0;
    ASSERT_EQ(client.getFingerprint(fingerprint), SDP_SUCCESS);
    EXPECT_EQ(fingerprint, 0x8877665544332211ull);
    ASSERT_EQ(client.writeLoader(image, 0x20002000), SDP_SUCCESS);
    client.startLoader(0x20002400);
  }
  EXPECT_EQ(chip.line(kReadyTimeoutMs), "JUMPED 0x20002400");
  EXPECT_EQ(chip.stop(), 0);
  EXPECT_EQ(chip.line(kReadyTimeoutMs), "LOADED 0x20002000 3000");
  EXPECT_EQ(chip.line(kReadyTimeoutMs), "DUMPED " + dump);
  std::ifstream in(dump, std::ios::binary);
  const Bytes dumped((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(dumped, image);
}

}  // namespace
