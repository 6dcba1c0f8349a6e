// The SDP HID transport and the client over it, against stand-in devices behind hidapi's calls:
// opening and closing through the library, reports with their IDs, the 70-byte answers, and
// the ROM's faults ending in clear results within bounded time.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "HID_SDPLoader.h"
#include "sdp_test_support.h"
#include "sim_imx_hidapi.h"

namespace {

using namespace sdptest;
using kvsim::HidBus;
using kvsim::ImxSdpConfig;

constexpr unsigned kAnswerWaitMs = 100;  // ms the client waits for an answer to a command

Bytes Command(std::initializer_list<int> sixteen) {
  Bytes report = {1};
  for (int v : sixteen) report.push_back(static_cast<uint8_t>(v));
  report.resize(MAX_COMMAND_BYTES, 0);
  return report;
}

struct HidRig {
  explicit HidRig(const ImxSdpConfig& config = ImxSdpConfig()) {
    HidBus::reset();
    chip = HidBus::plug(IMX1050::VID, IMX1050::PID, config);
    client.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
  }

  std::shared_ptr<kvsim::ImxSdpHidDevice> chip;
  SDPLoader client;
};

TEST(HidTransport, WithoutTheDeviceInitFailsAndTheLibraryIsStillReleased) {
  HidBus::reset();
  HidBus::plug(IMX1050::VID, 0x0135);  // another product of the vendor
  {
    HID_SDPLoader port(IMX1050::VID, IMX1050::PID);
    EXPECT_FALSE(port.init());
    Bytes answer;
    EXPECT_EQ(port.writeData(Command({0x05, 0x05})), -1);
    EXPECT_EQ(port.readData(answer, 0), 0);
  }
  const kvsim::HidCalls calls = HidBus::calls();
  EXPECT_EQ(calls.init, 1);
  EXPECT_EQ(calls.open, 1);
  EXPECT_EQ(calls.exit, 1);
  EXPECT_EQ(calls.openHandles, 0);

  SDPLoader client;
  client.setLoader(new HID_SDPLoader(IMX1050::VID, IMX1050::PID));
  EXPECT_EQ(client.init(), SDP_OPEN_FAILED);
}

TEST(HidTransport, TheDeviceIsOpenedByItsIdsOnceAndClosedWithTheTransport) {
  HidBus::reset();
  HidBus::plug(IMX1050::VID, IMX1050::PID);
  {
    HID_SDPLoader port(IMX1050::VID, IMX1050::PID);
    EXPECT_EQ(HidBus::calls().open, 0);  // the constructor does not touch the device
    ASSERT_TRUE(port.init());
    ASSERT_TRUE(port.init());
    EXPECT_EQ(HidBus::calls().openHandles, 1);
  }
  const kvsim::HidCalls calls = HidBus::calls();
  EXPECT_EQ(calls.close, 2);
  EXPECT_EQ(calls.exit, 1);
  EXPECT_EQ(calls.openHandles, 0);
}

TEST(HidTransport, AReportGoesOutWholeWithItsIdAndTheAnswerIsSeventyBytes) {
  ImxSdpConfig config;
  config.errorStatus = 0x88888888;
  HidBus::reset();
  auto chip = HidBus::plug(IMX1050::VID, IMX1050::PID, config);
  HID_SDPLoader port(IMX1050::VID, IMX1050::PID);
  ASSERT_TRUE(port.init());

  const Bytes command = Command({0x05, 0x05});
  EXPECT_EQ(port.writeData(command), 17);
  ASSERT_EQ(chip->reports().size(), 1u);
  EXPECT_EQ(chip->reports()[0], command);

  Bytes answer;
  EXPECT_EQ(port.readData(answer, kAnswerWaitMs), 70);
  ASSERT_EQ(answer.size(), 70u);
  EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 10),
            Hex({3, 0x56, 0x78, 0x78, 0x56, 4, 0x88, 0x88, 0x88, 0x88}));
  unsigned word = 0;
  EXPECT_TRUE(port.getDataFromBuffer(answer, 0, word));
  EXPECT_EQ(word, 0x88888888u);
}

TEST(HidTransport, TheHabReportAloneIsNotAnAnswer) {
  HidBus::reset();
  HidBus::plug(IMX1050::VID, IMX1050::PID);
  HID_SDPLoader port(IMX1050::VID, IMX1050::PID);
  ASSERT_TRUE(port.init());
  // A jump is answered with the HAB mode word only, and the ROM is gone.
  ASSERT_EQ(port.writeData(Command({0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00})), 17);
  Bytes answer;
  EXPECT_EQ(port.readData(answer, kAnswerWaitMs), 5);
  EXPECT_EQ(answer, Hex({3, 0x56, 0x78, 0x78, 0x56}));
  unsigned word = 0;
  EXPECT_FALSE(port.getDataFromBuffer(answer, 0, word));
  EXPECT_EQ(port.writeData(Command({0x05, 0x05})), -1);
}

TEST(HidTransport, AReadWithoutTimeOutAndNothingPendingReturnsAtOnce) {
  HidBus::reset();
  HidBus::plug(IMX1050::VID, IMX1050::PID);
  HID_SDPLoader port(IMX1050::VID, IMX1050::PID);
  ASSERT_TRUE(port.init());
  Bytes answer = {0xEE};
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(port.readData(answer, 0), 0);
  EXPECT_LT(MsSince(start), 50);
  EXPECT_EQ(answer, Bytes({0xEE}));
}

TEST(HidTransport, ADeviceThatKeepsSendingCannotHoldARead) {
  HidBus::reset();
  HidBus::plug(IMX1050::VID, IMX1050::PID);
  HID_SDPLoader port(IMX1050::VID, IMX1050::PID);
  ASSERT_TRUE(port.init());
  // READ_REGISTER of 2560 bytes: the HAB report and 40 data reports.
  ASSERT_EQ(port.writeData(Command({0x01, 0x01, 0x20, 0, 0, 0, 0x20, 0, 0, 0x0A, 0x00})), 17);
  Bytes answer;
  EXPECT_EQ(port.readData(answer, kAnswerWaitMs), 5 + 15 * 65);
}

struct WordCase {
  const char* name;
  size_t size;
  unsigned offset;
  bool parses;
  unsigned word;  // value after the call, from 0x1
};

class HidStatusWord : public ::testing::TestWithParam<WordCase> {};

TEST_P(HidStatusWord, TheWordAtSixPlusOffsetIsOredIntoTheValue) {
  Bytes answer(GetParam().size);
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(i);
  HID_SDPLoader port(IMX1050::VID, IMX1050::PID);
  unsigned value = 0x1;
  EXPECT_EQ(port.getDataFromBuffer(answer, GetParam().offset, value), GetParam().parses);
  EXPECT_EQ(value, GetParam().word);
}

INSTANTIATE_TEST_SUITE_P(Answers, HidStatusWord,
                         ::testing::Values(WordCase{"Offset0", 70, 0, true, 0x09080707},
                                           WordCase{"Offset15", 70, 15, true, 0x18171615},
                                           WordCase{"Offset16", 70, 16, false, 0x1},
                                           WordCase{"OneShort", 69, 0, false, 0x1},
                                           WordCase{"OneOver", 71, 0, false, 0x1},
                                           WordCase{"HabOnly", 5, 0, false, 0x1}),
                         [](const ::testing::TestParamInfo<WordCase>& param) {
                           return std::string(param.param.name);
                         });

struct ReportCase {
  size_t imageSize;
  std::vector<size_t> dataReports;  // sizes, report ID included
};

class SdpOverHidReports : public ::testing::TestWithParam<ReportCase> {};

TEST_P(SdpOverHidReports, TheImageGoesAsDataReportsOfUpTo1025Bytes) {
  HidRig rig;
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  const Bytes image = Pattern(GetParam().imageSize, 3);
  ASSERT_EQ(rig.client.writeLoader(image, 0x20000000), SDP_SUCCESS);

  const std::vector<Bytes> reports = rig.chip->reports();
  ASSERT_EQ(reports.size(), 2 + GetParam().dataReports.size());
  EXPECT_EQ(reports[0], Command({0x05, 0x05}));
  const uint32_t n = static_cast<uint32_t>(image.size());
  EXPECT_EQ(reports[1], Command({0x04, 0x04, 0x20, 0x00, 0x00, 0x00, 0x20, int(n >> 24),
                                 int(n >> 16 & 0xFF), int(n >> 8 & 0xFF), int(n & 0xFF)}));
  Bytes sent;
  for (size_t i = 0; i < GetParam().dataReports.size(); ++i) {
    const Bytes& report = reports[2 + i];
    EXPECT_EQ(report.size(), GetParam().dataReports[i]);
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(report[0], 2);
    sent.insert(sent.end(), report.begin() + 1, report.end());
  }
  EXPECT_EQ(sent, image);
  EXPECT_EQ(rig.chip->loads().at(0).bytes, image);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SdpOverHidReports,
                         ::testing::Values(ReportCase{0, {}}, ReportCase{1024, {1025}},
                                           ReportCase{1025, {1025, 2}},
                                           ReportCase{4096, {1025, 1025, 1025, 1025}}),
                         [](const ::testing::TestParamInfo<ReportCase>& param) {
                           return "Image" + std::to_string(param.param.imageSize);
                         });

TEST(SdpOverHid, TheJumpLeavesTheRomAtTheAddress) {
  HidRig rig;
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  uint32_t jumpedTo = 0;
  rig.chip->setJumpHook([&](uint32_t address) { jumpedTo = address; });
  rig.client.startLoader(0x20000400);
  ASSERT_EQ(rig.chip->reports().size(), 1u);
  EXPECT_EQ(rig.chip->reports()[0], Command({0x0B, 0x0B, 0x20, 0x00, 0x04, 0x00}));
  EXPECT_EQ(jumpedTo, 0x20000400u);
  EXPECT_TRUE(rig.chip->gone());
}

TEST(SdpOverHid, TheFingerprintComesFromTheFuseWords) {
  ImxSdpConfig config;
  config.registers[kCfg0] = 0xCAFEF00D;
  config.registers[kCfg1] = 0x00C0FFEE;
  HidRig rig(config);
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  uint64_t fingerprint = 0;
  ASSERT_EQ(rig.client.getFingerprint(fingerprint), SDP_SUCCESS);
  EXPECT_EQ(fingerprint, 0x00C0FFEECAFEF00Dull);
}

struct FaultCase {
  const char* name;
  void (*configure)(ImxSdpConfig&);
  size_t imageSize;
  uint8_t result;
  long long withinMs;  // bound on the call, before the machine's slack
};

class SdpOverHidFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SdpOverHidFaults, EndsInItsResultWithinBoundedTime) {
  ImxSdpConfig config;
  GetParam().configure(config);
  HidRig rig(config);
  LogCapture log;
  ASSERT_EQ(rig.client.init(), SDP_SUCCESS);
  const Bytes image = Pattern(GetParam().imageSize);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(rig.client.writeLoader(image, kLoadAddress), GetParam().result) << log.text();
  EXPECT_LT(MsSince(start), GetParam().withinMs + kMachineSlackMs);

  const auto loads = rig.chip->loads();
  switch (GetParam().result) {
    case SDP_SUCCESS:
      ASSERT_EQ(loads.size(), 1u);
      EXPECT_EQ(loads[0].bytes, image);
      break;
    case SDP_NO_ANSWER:
      EXPECT_TRUE(loads.empty());
      EXPECT_EQ(Types(rig.chip->commands()), std::vector<uint16_t>(5, kvsim::kSdpErrorStatus));
      break;
    case SDP_INTERRUPTED:
    case SDP_WRITE_FAILED:
      ASSERT_EQ(loads.size(), 1u);
      EXPECT_LT(loads[0].bytes.size(), image.size());
      break;
    default:
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Knobs, SdpOverHidFaults,
    ::testing::Values(
        FaultCase{"Silent", [](ImxSdpConfig& c) { c.silent = true; }, 4096, SDP_NO_ANSWER,
                  kSilentChipMs},
        FaultCase{"BadStatus", [](ImxSdpConfig& c) { c.completeStatus = 0x12345678; }, 4096,
                  SDP_BAD_STATUS, kQuickMs},
        FaultCase{"MissingFinalStatus", [](ImxSdpConfig& c) { c.silentAfter = 1; }, 4096,
                  SDP_BAD_STATUS, FinalStatusMs(4096)},
        FaultCase{"AnswerMidTransfer", [](ImxSdpConfig& c) { c.strayAfterData = 1024; }, 8192,
                  SDP_INTERRUPTED, kQuickMs},
        // Two status commands, the late answers dropped, and the final status 150 ms late.
        FaultCase{"LateAnswers", [](ImxSdpConfig& c) { c.answerDelayMs = 150; }, 4096, SDP_SUCCESS,
                  2 * 100 + 150 + 150},
        FaultCase{"FarTooLate", [](ImxSdpConfig& c) { c.answerDelayMs = 3000; }, 4096,
                  SDP_NO_ANSWER, kSilentChipMs},
        // A stray report before every answer: no answer has the shape of one.
        FaultCase{"StrayReports", [](ImxSdpConfig& c) { c.stray = {0xAA}; }, 4096, SDP_NO_ANSWER,
                  kSilentChipMs},
        // The device refuses the second data report.
        FaultCase{"RefusedReport", [](ImxSdpConfig& c) { c.acceptLimit = 17 + 17 + 1025; }, 4096,
                  SDP_WRITE_FAILED, kQuickMs}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

}  // namespace
