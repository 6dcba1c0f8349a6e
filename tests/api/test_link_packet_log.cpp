// The packet log of a Link: the core link's record of sent and received packets copied, one
// text line per record, into a file by a logger thread; switching files, a file that cannot
// be opened, disabling and enabling again, disconnecting or destroying a Link while it logs,
// and a logger that rests once its core link has gone; each over TCP to the stand-in program
// and on the simulated USB bus.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "aFile.h"
#include "aLink.h"
#include "aLinkRecord.h"
#include "aPacketLog.h"
#include "api_test_support.h"
#include "standin_test_support.h"
#include "support.h"

using linktest::Bytes;
using linktest::Link;
using linktest::StandInSpec;
using linktest::Transport;
using Zentrova::Kolvantis::Module;

namespace {

constexpr uint8_t kModule = apitest::kAddress;
constexpr uint8_t kQueryCommand = 0x49;  // a command the stand-in leaves unanswered here
constexpr unsigned kFloodPackets = 400;

const std::string kStartLine = std::string("6 < START") + '\0';
// How long the process's CPU time is watched while a logger has no core link to read, and
// the share of that time it may use at most: a consumer that spins takes a whole core.
constexpr auto kIdleWatch = std::chrono::milliseconds(300);
constexpr double kMostIdleCpuShare = 0.25;

// The lines of a log file, each without its CR LF; a last line without CR LF is kept with a
// marker, so that a cut line shows in the comparison.
std::vector<std::string> FileLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> lines;
  size_t from = 0;
  for (size_t end; (end = text.find("\r\n", from)) != std::string::npos; from = end + 2) {
    lines.push_back(text.substr(from, end - from));
  }
  if (from < text.size()) lines.push_back(text.substr(from) + "<no CR LF>");
  return lines;
}

// The same without the link's own traffic, which may go out after the log is enabled: sync
// probes and module-address queries with their zero-length answers, and force-route on.
std::vector<std::string> LogLines(const std::string& path) {
  std::vector<std::string> lines;
  for (const std::string& line : FileLines(path)) {
    if (line == "2 > 0xAD 0x0 " || line == "2 < 0x2 0x0 " || line == "3 > 0xAF 0x1 0x1 ") {
      continue;
    }
    lines.push_back(line);
  }
  return lines;
}

bool AwaitLines(const std::string& path, const std::vector<std::string>& expected) {
  return apitest::Eventually([&] { return LogLines(path) == expected; });
}

// The line of a packet sent to the module with these data bytes.
std::string SentLine(const Bytes& data) {
  std::ostringstream line;
  line << data.size() + 2 << " > 0x" << std::hex << std::uppercase << unsigned{kModule} << " 0x"
       << data.size() << ' ';
  for (uint8_t byte : data) line << "0x" << unsigned{byte} << ' ';
  return line.str();
}

std::chrono::nanoseconds ProcessCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

std::string TextOf(size_t length) {
  std::string text;
  for (size_t i = 0; i < length; ++i) text += static_cast<char>('a' + i % 26);
  return text;
}

class PacketLogTest : public ::testing::TestWithParam<Transport>, protected linktest::StandInUser {
 protected:
  void SetUp() override {
    StandInSpec spec;
    spec.slots = {"1:1:64"};
    ASSERT_NO_FATAL_FAILURE(start(GetParam(), spec));
  }

  // Sends [0x49][tag] and waits until the module got it (so the writer has recorded it).
  void send(Link& link, uint8_t tag) {
    const size_t before = standIn().received(kModule, kQueryCommand).size();
    ASSERT_EQ(link.sendPacket(kModule, kQueryCommand, 1, &tag), aErrNone);
    ASSERT_TRUE(apitest::Eventually(
        [&] { return standIn().received(kModule, kQueryCommand).size() > before; }));
  }

  TempDir dir_;
};

TEST_P(PacketLogTest, TheFileHoldsStartThenOneLinePerPacketAndTextRecord) {
  auto link = connected();
  const std::string path = dir_.file("packets.log");
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  ASSERT_EQ(link->sendPacket(kModule, kQueryCommand, 0, nullptr), aErrNone);
  size_t capacity = 0;
  ASSERT_EQ(link->storeSlotCapacity(kModule, 1, 1, &capacity), aErrNone);
  // Text records, one of the largest length a record may have.
  const std::string text200 = TextOf(200);
  const std::string text255 = TextOf(aPACKETLOG_MAXRECORD);
  const uint32_t id = standIn().coreLinkId();
  for (const std::string* text : {&text200, &text255}) {
    ASSERT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, static_cast<uint32_t>(text->size()),
                                      reinterpret_cast<const uint8_t*>(text->data())),
              aErrNone);
  }
  const std::vector<std::string> expected{
      kStartLine,
      "3 > 0x2 0x1 0x49 ",
      "6 > 0x2 0x4 0x4 0x1 0x1 0x1 ",
      "8 < 0x2 0x6 0x4 0x1 0x1 0x1 0x0 0x40 ",
      "200 < " + text200,
      "255 < " + text255,
  };
  EXPECT_TRUE(AwaitLines(path, expected));
  EXPECT_EQ(link->disablePacketLog(), aErrNone);
  EXPECT_EQ(LogLines(path), expected);
  // Nothing of the link's own traffic comes before START either.
  ASSERT_FALSE(FileLines(path).empty());
  EXPECT_EQ(FileLines(path).front(), kStartLine);
}

TEST_P(PacketLogTest, EnablingWithAnotherPathMovesTheLogToTheNewFile) {
  auto link = connected();
  const std::string first = dir_.file("first.log");
  const std::string second = dir_.file("second.log");
  ASSERT_EQ(link->enablePacketLog(first.c_str()), aErrNone);
  ASSERT_NO_FATAL_FAILURE(send(*link, 1));
  ASSERT_TRUE(AwaitLines(first, {kStartLine, SentLine({kQueryCommand, 1})}));

  ASSERT_EQ(link->enablePacketLog(second.c_str()), aErrNone);
  ASSERT_NO_FATAL_FAILURE(send(*link, 2));
  EXPECT_TRUE(AwaitLines(second, {kStartLine, SentLine({kQueryCommand, 2})}));
  // The same file again keeps its logger and appends.
  ASSERT_EQ(link->enablePacketLog(second.c_str()), aErrNone);
  EXPECT_TRUE(AwaitLines(second, {kStartLine, SentLine({kQueryCommand, 2}), kStartLine}));
  EXPECT_EQ(link->disablePacketLog(), aErrNone);
  // The first file's logger ended with the switch.
  EXPECT_EQ(LogLines(first), (std::vector<std::string>{kStartLine, SentLine({kQueryCommand, 1})}));
}

TEST_P(PacketLogTest, AFileThatCannotBeOpenedAnswersIOAndLeavesTheCoreLogDisabled) {
  auto link = connected();
  const std::string unopenable = dir_.file("missing/packets.log");
  const uint32_t id = standIn().coreLinkId();
  uint8_t record[aPACKETLOG_MAXRECORD];
  uint32_t type = 0;
  uint32_t length = sizeof record;
  // Never enabled: no log is made at all.
  EXPECT_EQ(link->enablePacketLog(unopenable.c_str()), aErrIO);
  EXPECT_EQ(aLink_PacketDebug_Read(id, &type, &length, record), aErrNotReady);

  const std::string good = dir_.file("packets.log");
  ASSERT_EQ(link->enablePacketLog(good.c_str()), aErrNone);
  ASSERT_NO_FATAL_FAILURE(send(*link, 1));
  ASSERT_TRUE(AwaitLines(good, {kStartLine, SentLine({kQueryCommand, 1})}));
  // A switch to a file that cannot be opened ends the running logger and the recording.
  EXPECT_EQ(link->enablePacketLog(unopenable.c_str()), aErrIO);
  std::shared_ptr<aLink> core = sGetLink(id);
  ASSERT_TRUE(core);
  ASSERT_NE(core->packetLog.load(), nullptr);
  EXPECT_EQ(core->packetLog.load()->enabled.load(), 0);
  ASSERT_NO_FATAL_FAILURE(send(*link, 2));
  length = sizeof record;
  EXPECT_EQ(aLink_PacketDebug_Read(id, &type, &length, record), aErrNotFound);
  EXPECT_EQ(link->disablePacketLog(), aErrParam) << "no logger is left to disable";
  EXPECT_EQ(LogLines(good), (std::vector<std::string>{kStartLine, SentLine({kQueryCommand, 1})}));
}

TEST_P(PacketLogTest, DisablingStopsTheRecordAndEnablingAgainAppendsToTheSameFile) {
  auto link = connected();
  const std::string path = dir_.file("packets.log");
  EXPECT_EQ(link->disablePacketLog(), aErrParam) << "nothing to disable yet";
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  ASSERT_NO_FATAL_FAILURE(send(*link, 1));
  ASSERT_TRUE(AwaitLines(path, {kStartLine, SentLine({kQueryCommand, 1})}));
  EXPECT_EQ(link->disablePacketLog(), aErrNone);
  EXPECT_EQ(link->disablePacketLog(), aErrNone) << "a stopped logger stops again";
  ASSERT_NO_FATAL_FAILURE(send(*link, 2));
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  ASSERT_NO_FATAL_FAILURE(send(*link, 3));
  EXPECT_TRUE(AwaitLines(
      path, {kStartLine, SentLine({kQueryCommand, 1}), kStartLine, SentLine({kQueryCommand, 3})}));
}

TEST_P(PacketLogTest, EnablingAgainKeepsTheRecordsOfTheRunningSession) {
  auto link = connected();
  const std::string path = dir_.file("packets.log");
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  // At once after each packet, before the logger may have read its record.
  for (uint8_t tag = 1; tag <= 3; ++tag) {
    ASSERT_NO_FATAL_FAILURE(send(*link, tag));
    ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  }
  EXPECT_TRUE(AwaitLines(
      path, {kStartLine, SentLine({kQueryCommand, 1}), kStartLine, SentLine({kQueryCommand, 2}),
             kStartLine, SentLine({kQueryCommand, 3}), kStartLine}));
}

TEST_P(PacketLogTest, DisconnectAndDestructionWhileLoggingStopTheLoggerBeforeTheLinkGoes) {
  const std::string path = dir_.file("packets.log");
  const auto allLinesWhole = [&] {
    for (const std::string& line : FileLines(path)) {
      if (line.find("<no CR LF>") != std::string::npos) return false;
    }
    return true;
  };
  auto link = connected();
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  ASSERT_TRUE(standIn().flood(kFloodPackets));
  // Logging is under way: some of the flood is in the file.
  ASSERT_TRUE(apitest::Eventually([&] { return FileLines(path).size() > 10; }));
  EXPECT_EQ(link->disconnect(), aErrNone);
  EXPECT_EQ(standIn().coreLinkId(), 0u) << "the core link outlived its last use";
  EXPECT_EQ(link->disablePacketLog(), aErrConfiguration);
  EXPECT_EQ(link->enablePacketLog(path.c_str()), aErrConfiguration);
  EXPECT_TRUE(allLinesWhole());

  // Connected again, the Link logs again to the same file; then it is destroyed mid-flood.
  ASSERT_EQ(link->connect(), aErrNone);
  const size_t before = FileLines(path).size();
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  ASSERT_TRUE(standIn().flood(kFloodPackets));
  ASSERT_TRUE(apitest::Eventually([&] { return FileLines(path).size() > before + 10; }));
  link.reset();
  EXPECT_EQ(standIn().coreLinkId(), 0u) << "the core link outlived its last use";
  EXPECT_TRUE(allLinesWhole());
  const std::vector<std::string> lines = FileLines(path);
  EXPECT_NE(std::find(lines.begin() + static_cast<long>(before), lines.end(), kStartLine),
            lines.end())
      << "no START of the second session";
}

TEST_P(PacketLogTest, ALoggerWhoseCoreLinkWentAwayRestsInsteadOfSpinning) {
  auto link = connected();
  const std::string path = dir_.file("packets.log");
  ASSERT_EQ(link->enablePacketLog(path.c_str()), aErrNone);
  ASSERT_TRUE(AwaitLines(path, {kStartLine})) << "the logger never ran";
  // The core link's last use is dropped from outside; the Link's logger runs on against an
  // ID that no longer exists, and every read answers that it is unknown.
  uint32_t id = standIn().coreLinkId();
  ASSERT_NE(id, 0u);
  const uint32_t gone = id;
  ASSERT_EQ(aLink_Destroy(&id), aErrNone);
  ASSERT_FALSE(sGetLink(gone)) << "the core link had another use";

  const auto wallStart = std::chrono::steady_clock::now();
  const auto cpuStart = ProcessCpuTime();
  std::this_thread::sleep_for(kIdleWatch);
  const auto cpu = ProcessCpuTime() - cpuStart;
  const auto wall = std::chrono::steady_clock::now() - wallStart;
  EXPECT_LT(std::chrono::duration<double>(cpu).count(),
            kMostIdleCpuShare * std::chrono::duration<double>(wall).count())
      << "CPU " << std::chrono::duration_cast<std::chrono::milliseconds>(cpu).count() << " ms in "
      << std::chrono::duration_cast<std::chrono::milliseconds>(wall).count() << " ms";
  EXPECT_EQ(link->disablePacketLog(), aErrNone);
}

TEST_P(PacketLogTest, ModuleForwardsItsPacketLogSwitchesToItsLink) {
  Module module(kModule, 0);
  ASSERT_EQ(module.setConfig(apitest::NoSharing()), aErrNone);
  ASSERT_EQ(module.connectFromSpec(standIn().linkSpecifier()), aErrNone);
  const std::string path = dir_.file("module.log");
  ASSERT_EQ(module.enablePacketLog(path.c_str()), aErrNone);
  EXPECT_TRUE(AwaitLines(path, {kStartLine}));
  EXPECT_EQ(module.disablePacketLog(), aErrNone);
  module.disconnect();
  EXPECT_EQ(module.enablePacketLog(path.c_str()), aErrConfiguration);
}

INSTANTIATE_TEST_SUITE_P(Transports, PacketLogTest, linktest::kTransports, linktest::TransportName);

TEST(PacketLogWithoutLinkTest, EnableAndDisableAnswerConfigurationAndOpenNoFile) {
  TempDir dir;
  const std::string path = dir.file("packets.log");
  Link link("Idle");
  EXPECT_EQ(link.enablePacketLog(path.c_str()), aErrConfiguration);
  EXPECT_EQ(link.disablePacketLog(), aErrConfiguration);
  Module module(kModule, 0);
  EXPECT_EQ(module.enablePacketLog(path.c_str()), aErrConfiguration);
  EXPECT_EQ(module.disablePacketLog(), aErrConfiguration);
  EXPECT_FALSE(aFile_Exists(path.c_str()));
}

}  // namespace
