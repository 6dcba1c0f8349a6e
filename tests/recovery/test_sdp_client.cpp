// The SDP client over its serial transport against the stand-in ROM on a pty: the commands'
// exact bytes, loading images of every size class, the jump, the fuse read, and the ROM's
// faults (silence, bad status, late answers, stray bytes, a slow or stalled line) ending in
// clear results within bounded time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sdp_test_support.h"

namespace {

using namespace sdptest;
using kvsim::ImxSdpConfig;

// Counts the transports alive, to see who deletes them.
class CountingTransport : public SDPLoader_Interface {
 public:
  explicit CountingTransport(bool opens) : opens_(opens) { ++alive; }
  ~CountingTransport() override { --alive; }
  bool init() override { return opens_; }
  long writeData(const std::vector<uint8_t>&) override { return -1; }
  long readData(std::vector<uint8_t>&, unsigned int) override { return 0; }
  bool getDataFromBuffer(const std::vector<uint8_t>&, unsigned int, unsigned int&) override {
    return false;
  }

  static int alive;

 private:
  bool opens_;
};
int CountingTransport::alive = 0;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
    ++n;
  return n;
}

TEST(SdpLoaderTransport, TheClientOwnsItsTransportAndDeletesItOnce) {
  {
    SDPLoader client;
    EXPECT_FALSE(client.setLoader(nullptr));
    EXPECT_TRUE(client.setLoader(new CountingTransport(true)));
    EXPECT_EQ(CountingTransport::alive, 1);
    EXPECT_EQ(client.init(), SDP_SUCCESS);
  }
  EXPECT_EQ(CountingTransport::alive, 0);
}

TEST(SdpLoaderTransport, ASecondTransportIsRefusedAndTheFirstStaysInUse) {
  SerialRig rig;
  CountingTransport* second = new CountingTransport(false);
  EXPECT_FALSE(rig.client.setLoader(second));
  delete second;  // not taken, still the caller's
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  EXPECT_EQ(rig.client.writeLoader(Pattern(10), kLoadAddress), SDP_SUCCESS);
  ASSERT_EQ(rig.chip.loads().size(), 1u);
}

TEST(SdpLoaderTransport, WithoutATransportEveryOperationSaysSo) {
  SDPLoader client;
  uint64_t fingerprint = 0;
  EXPECT_EQ(client.init(), SDP_NO_TRANSPORT);
  EXPECT_EQ(client.writeLoader(Pattern(10), kLoadAddress), SDP_NO_TRANSPORT);
  EXPECT_EQ(client.getFingerprint(fingerprint), SDP_NO_TRANSPORT);
  client.startLoader(kJumpAddress);  // nothing to send it to, and no crash
}

TEST(SdpLoaderTransport, APortThatCannotBeOpenedGivesOpenFailed) {
  TempDir dir;
  SDPLoader client;
  const std::string missing = dir.file("no-such-port");
  ASSERT_TRUE(client.setLoader(new Serial_SDPLoader(missing.c_str())));
  EXPECT_EQ(client.init(), SDP_OPEN_FAILED);
}

TEST(SdpCommandBytes, StatusWriteFileAndJumpGoOnTheLineExactly) {
  SerialRig rig;
  LogCapture log;
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  uint32_t jumpedTo = 0;
  rig.chip.setJumpHook([&](uint32_t address) { jumpedTo = address; });

  const Bytes image = Pattern(0x1000);
  ASSERT_EQ(rig.client.writeLoader(image, 0x20000000), SDP_SUCCESS);
  rig.client.startLoader(0x20000400);

  const Bytes status = Hex({0x05, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const Bytes writeFile = Hex({0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x10, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0x00});
  const Bytes jump = Hex({0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  Bytes expected = status;
  expected.insert(expected.end(), writeFile.begin(), writeFile.end());
  expected.insert(expected.end(), image.begin(), image.end());
  expected.insert(expected.end(), jump.begin(), jump.end());
  EXPECT_EQ(rig.chip.received(), expected);

  EXPECT_TRUE(rig.chip.jumped());
  EXPECT_EQ(jumpedTo, 0x20000400u);
  // The dump of a command: each byte upper-case hexadecimal without leading zeros.
  EXPECT_NE(log.text().find("bytesWritten: 16\n1 5 5 0 0 0 0 0 0 0 0 0 0 0 0 0 0 \n"),
            std::string::npos);
  EXPECT_NE(log.text().find("1 4 4 20 0 0 0 20 0 0 10 0 0 0 0 0 0 \n"), std::string::npos);
}

TEST(SdpCommandBytes, TheFingerprintReadsBothFuseWords) {
  ImxSdpConfig config;
  config.registers[kCfg0] = 0x89ABCDEF;
  config.registers[kCfg1] = 0x01234567;
  SerialRig rig(config);
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);

  uint64_t fingerprint = 0;
  ASSERT_EQ(rig.client.getFingerprint(fingerprint), SDP_SUCCESS);
  EXPECT_EQ(fingerprint, 0x0123456789ABCDEFull);

  const auto commands = rig.chip.commands();
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0].type, kvsim::kSdpErrorStatus);
  EXPECT_EQ(Raw(commands[1]),
            Hex({0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 0x04, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Raw(commands[2]),
            Hex({0x01, 0x01, 0x40, 0x1F, 0x44, 0x20, 0x20, 0, 0, 0, 0x04, 0, 0, 0, 0, 0}));
}

TEST(SdpCommandBytes, ASilentChipHasNoFingerprint) {
  ImxSdpConfig config;
  config.silent = true;
  SerialRig rig(config);
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  uint64_t fingerprint = 0;
  EXPECT_EQ(rig.client.getFingerprint(fingerprint), SDP_NO_ANSWER);
  EXPECT_EQ(fingerprint, 0u);
}

class SdpImageSizes : public ::testing::TestWithParam<size_t> {};

TEST_P(SdpImageSizes, AnImageArrivesWholeAtItsAddressInReportsOfUpTo1024Bytes) {
  SerialRig rig;
  LogCapture log;
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  const Bytes image = Pattern(GetParam(), 7);
  ASSERT_EQ(rig.client.writeLoader(image, 0x20001000), SDP_SUCCESS);

  const auto loads = rig.chip.loads();
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(loads[0].address, 0x20001000u);
  EXPECT_EQ(loads[0].bytes, image);
  const auto commands = rig.chip.commands();
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[1].count, image.size());
  EXPECT_EQ(Count(log.text(), ", Total: "), (image.size() + 1023) / 1024);
  EXPECT_NE(log.text().find("Loader Transfer Successful\n"), std::string::npos);
}

// Empty, one byte, around one report, and several reports with a short last one.
INSTANTIATE_TEST_SUITE_P(Sizes, SdpImageSizes, ::testing::Values(0, 1, 1023, 1024, 1025, 4099),
                         [](const ::testing::TestParamInfo<size_t>& param) {
                           return "Image" + std::to_string(param.param);
                         });

TEST(SdpTransfers, TwoImagesThenAJumpAreAllTaken) {
  SerialRig rig;
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  const Bytes first = Pattern(3000, 1);
  const Bytes second = Pattern(500, 2);
  ASSERT_EQ(rig.client.writeLoader(first, 0x20000000), SDP_SUCCESS);
  ASSERT_EQ(rig.client.writeLoader(second, 0x20200000), SDP_SUCCESS);
  rig.client.startLoader(0x20000400);

  EXPECT_EQ(rig.chip.memory(0x20000000, 3000), first);
  EXPECT_EQ(rig.chip.memory(0x20200000, 500), second);
  EXPECT_EQ(rig.chip.jumpAddress(), 0x20000400u);
}

TEST(SdpChipFaults, ASilentChipGetsFiveStatusCommandsAndNoWriteFile) {
  ImxSdpConfig config;
  config.silent = true;
  SerialRig rig(config);
  LogCapture log;
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);

  const Clock::time_point start = Clock::now();
  EXPECT_EQ(rig.client.writeLoader(Pattern(2048), kLoadAddress), SDP_NO_ANSWER);
  EXPECT_LT(MsSince(start), kSilentChipMs + kMachineSlackMs);
  EXPECT_EQ(Types(rig.chip.commands()), std::vector<uint16_t>(5, kvsim::kSdpErrorStatus));
  EXPECT_TRUE(rig.chip.loads().empty());
  EXPECT_NE(log.text().find("Error: No ack from iMX device\n"), std::string::npos);
}

TEST(SdpChipFaults, AFinalStatusOtherThanCompleteFailsTheTransfer) {
  ImxSdpConfig config;
  config.completeStatus = 0x12345678;
  SerialRig rig(config);
  LogCapture log;
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  EXPECT_EQ(rig.client.writeLoader(Pattern(2000), kLoadAddress), SDP_BAD_STATUS);
  EXPECT_NE(log.text().find("Loader Transfer Unsuccessful\n"), std::string::npos);
}

TEST(SdpChipFaults, AMissingFinalStatusFailsTheTransferWithinItsDeadline) {
  ImxSdpConfig config;
  config.silentAfter = 1;  // the status command is answered, the write is not
  SerialRig rig(config);
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(rig.client.writeLoader(Pattern(4096), kLoadAddress), SDP_BAD_STATUS);
  EXPECT_LT(MsSince(start), FinalStatusMs(4096) + kMachineSlackMs);
  EXPECT_EQ(rig.chip.loads().at(0).bytes.size(), 4096u);
}

TEST(SdpChipFaults, AnAnswerInTheMiddleOfATransferStopsItBeforeTheRest) {
  // At line speed the host is still writing (the pty's buffers full) when the ROM speaks.
  ImxSdpConfig config;
  config.strayAfterData = 1024;
  SerialRig rig(config, kLineBaud);
  LogCapture log;
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  const size_t size = 64 * 1024;
  EXPECT_EQ(rig.client.writeLoader(Pattern(size), kLoadAddress), SDP_INTERRUPTED);
  EXPECT_LT(rig.chip.loads().at(0).bytes.size(), size);
  EXPECT_NE(log.text().find("Error while transfering loader. Aborting\n"), std::string::npos);
}

TEST(SdpChipFaults, AnswersLateByMoreThanOneWaitStillGiveACleanTransfer) {
  // Each answer comes after the next status command went out: the client takes the first
  // one and must not mistake the others for an error in the middle of the transfer.
  ImxSdpConfig config;
  config.answerDelayMs = 150;
  SerialRig rig(config);
  LogCapture log;
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  const Bytes image = Pattern(5000);
  EXPECT_EQ(rig.client.writeLoader(image, kLoadAddress), SDP_SUCCESS);
  EXPECT_EQ(rig.chip.loads().at(0).bytes, image);
  EXPECT_NE(log.text().find("late answers"), std::string::npos);
}

TEST(SdpChipFaults, AChipAnsweringFarTooLateCountsAsSilent) {
  ImxSdpConfig config;
  config.answerDelayMs = 3000;
  SerialRig rig(config);
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(rig.client.writeLoader(Pattern(100), kLoadAddress), SDP_NO_ANSWER);
  EXPECT_LT(MsSince(start), kSilentChipMs + kMachineSlackMs);
}

TEST(SdpChipFaults, StrayBytesBeforeTheAnswersEndInABadStatus) {
  ImxSdpConfig config;
  config.stray = {0xAA, 0x55};
  SerialRig rig(config);
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(rig.client.writeLoader(Pattern(3000), kLoadAddress), SDP_BAD_STATUS);
  EXPECT_LT(MsSince(start), FinalStatusMs(3000) + kSilentChipMs + kMachineSlackMs);
}

TEST(SdpSlowLine, TheFinalStatusIsAwaitedWhileTheLineStillCarriesTheImage) {
  // The ROM takes the bytes at 115200 baud: the host's writes end long before the image
  // has arrived, and the status comes only then.
  SerialRig rig(ImxSdpConfig(), kLineBaud);
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  const Bytes image = Pattern(12 * 1024);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(rig.client.writeLoader(image, kLoadAddress), SDP_SUCCESS);
  EXPECT_GE(MsSince(start), static_cast<long long>(image.size()) * 10 * 1000 / kLineBaud);
  EXPECT_EQ(rig.chip.loads().at(0).bytes, image);
}

TEST(SdpSlowLine, AChipThatStopsTakingDataEndsTheTransferAsAFailedWrite) {
  ImxSdpConfig config;
  config.acceptLimit = 4096;
  SerialRig rig(config);
  LogCapture log;
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  const Clock::time_point start = Clock::now();
  // More than the pty's buffers hold.
  EXPECT_EQ(rig.client.writeLoader(Pattern(256 * 1024), kLoadAddress), SDP_WRITE_FAILED);
  // One report's line time and a second of slack, after the buffers filled.
  EXPECT_LT(MsSince(start), kWriteSlackMs + kLineMsPerKiB + kMachineSlackMs);
  EXPECT_NE(log.text().find("Error: could not send data report"), std::string::npos);
}

}  // namespace
