// The stand-in ISP ROM as a program (kv_sim_lpc): its pty, its knobs, pacing, and the flash
// dump it writes when it is stopped, reached through the ISP client.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "NXPSerialClass.h"
#include "lpc_test_support.h"
#include "recovery_test_support.h"

namespace {

constexpr int kReadyTimeoutMs = 10000;  // ms for the program's first line

// The stand-in ISP ROM program running in the background.
class SimLpcProgram : public rectest::BackgroundProgram {
 public:
  explicit SimLpcProgram(const std::vector<std::string>& arguments)
      : BackgroundProgram(KV_SIM_LPC_BINARY, arguments) {}
};

std::string PortOf(const std::string& ready) {
  return ready.rfind("PTY ", 0) == 0 ? ready.substr(4) : std::string();
}

TEST(LpcSimProgram, HelpListsEveryKnob) {
  const RunResult help = RunProgram({KV_SIM_LPC_BINARY, "--help"});
  ASSERT_TRUE(help.exitedWith(0)) << help.err;
  for (const char* knob : {"--dump", "--baud-pace", "--erase-ms", "--serial", "--flash-fill",
                           "--silent", "--noise", "--resend", "--refuse", "--ignore", "--babble"})
    EXPECT_NE(help.out.find(knob), std::string::npos) << knob;
  EXPECT_TRUE(RunProgram({KV_SIM_LPC_BINARY, "--noise"}).exitedWith(2));
  EXPECT_TRUE(RunProgram({KV_SIM_LPC_BINARY, "--serial", "1,2,3"}).exitedWith(2));
}

TEST(LpcSimProgram, ServesTheClientOnItsPtyAndDumpsItsFlashWhenStopped) {
  TempDir dir;
  const std::string dump = dir.file("flash.bin");
  SimLpcProgram sim(
      {"--dump", dump, "--serial", "1,A2,B3,C4D5E6F7", "--baud-pace", "115200", "--noise", "2"});
  const std::string port = PortOf(sim.line(kReadyTimeoutMs));
  ASSERT_FALSE(port.empty());

  const std::vector<uint8_t> image = lpctest::Pattern(3000, 77);
  {
    NXPSerialClass lpc;
    ASSERT_EQ(lpc.Connect(port.c_str(), 115200), aErrNone);
    ASSERT_EQ(lpc.Sync(), aErrNone);
    ASSERT_EQ(lpc.GetDeviceID(), aErrNone);
    EXPECT_EQ(lpc.deviceId[0], 1u);
    EXPECT_EQ(lpc.deviceId[1], 0xA2u);
    EXPECT_EQ(lpc.deviceId[2], 0xB3u);
    EXPECT_EQ(lpc.deviceId[3], 0xC4D5E6F7u);
    const std::vector<NXPFlashBlock> blocks = {
        {0x2000, image.data(), static_cast<uint32_t>(image.size())}};
    std::string message;
    ASSERT_EQ(lpc.ProgramFlash(blocks, nullptr, &message), aErrNone) << message;
  }
  ASSERT_EQ(sim.stop(), 0);
  EXPECT_EQ(sim.line(kReadyTimeoutMs), "DUMPED " + dump);

  std::ifstream in(dump, std::ios::binary);
  const std::vector<uint8_t> flash((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  ASSERT_EQ(flash.size(), 0x80000u);
  std::vector<uint8_t> expected(0x80000, 0xFF);
  std::copy(image.begin(), image.end(), expected.begin() + 0x2000);
  EXPECT_TRUE(flash == expected);
}

TEST(LpcSimProgram, ASilentProgramLeavesTheClientWithoutSynchronisation) {
  SimLpcProgram sim({"--silent"});
  const std::string port = PortOf(sim.line(kReadyTimeoutMs));
  ASSERT_FALSE(port.empty());
  NXPSerialClass lpc;
  ASSERT_EQ(lpc.Connect(port.c_str(), 115200), aErrNone);
  EXPECT_EQ(lpc.Sync(), aErrNotReady);
  EXPECT_EQ(sim.stop(), 0);
}

}  // namespace
