// The packet log of a Link: the core link's record of sent and received packets copied, one
// text line per record, into a file by a logger thread; switching files, a file that cannot
// be opened or written, disabling and enabling again, disconnecting or destroying a Link while
// it logs, a logger that rests once its core link has gone, and two Links that log one shared
// core link (a router's and a routed module's); each over TCP to the stand-in program and on
// the simulated USB bus.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <functional>
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
// A file that opens but takes no bytes: every write to it fails.
constexpr const char* kUnwritable = "/dev/full";
// Records put into the core log at once, and a core log that holds them all untaken.
constexpr unsigned kBurstRecords = 4000;
constexpr uint32_t kBurstLogBytes = 0x200000;
// Bytes a log file holds before a file size limit is set just past its START line.
constexpr size_t kLimitedFilePad = 0x10000;

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

// True when the core link's log exists and holds no record, read under its log mutex.
bool CoreLogEmpty(uint32_t id) {
  std::shared_ptr<aLink> core = sGetLink(id);
  if (!core || aMutex_Lock(core->logMutex) != aErrNone) return false;
  const aPacketLog* log = core->packetLog.load();
  const bool empty = log != nullptr && log->readPos == log->writePos;
  aMutex_Unlock(core->logMutex);
  return empty;
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

// A file that cannot be opened, and one that opens but whose writes fail (START cannot be
// written): no logger is left, and the core log stays disabled.
TEST_P(PacketLogTest, AFileThatCannotBeOpenedOrWrittenAnswersIOAndLeavesTheCoreLogDisabled) {
  const std::string unopenable = dir_.file("missing/packets.log");
  for (const char* bad : {unopenable.c_str(), kUnwritable}) {
    SCOPED_TRACE(bad);
    auto link = connected();
    const uint32_t id = standIn().coreLinkId();
    uint8_t record[aPACKETLOG_MAXRECORD];
    uint32_t type = 0;
    uint32_t length = sizeof record;
    // Never enabled: no log is made at all.
    EXPECT_EQ(link->enablePacketLog(bad), aErrIO);
    EXPECT_EQ(aLink_PacketDebug_Read(id, &type, &length, record), aErrNotReady);
    EXPECT_EQ(link->disablePacketLog(), aErrParam) << "no logger was made";

    const std::string good = dir_.file("packets.log");
    std::remove(good.c_str());
    ASSERT_EQ(link->enablePacketLog(good.c_str()), aErrNone);
    ASSERT_NO_FATAL_FAILURE(send(*link, 1));
    ASSERT_TRUE(AwaitLines(good, {kStartLine, SentLine({kQueryCommand, 1})}));
    // A switch to a bad file ends the running logger and the recording.
    EXPECT_EQ(link->enablePacketLog(bad), aErrIO);
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

// B logs a core link it shares with A (B is routed through A). Whatever A does with its own
// packet log, B's later packets still reach B's file.
TEST_P(PacketLogTest, WhatAnotherLinkOnTheCoreLinkDoesLeavesThisLinksLogRunning) {
  struct Case {
    const char* what;
    std::function<void(std::unique_ptr<Link>& other, const std::string& path)> act;
  };
  const Case cases[] = {
      {"enables, then disables",
       [](std::unique_ptr<Link>& other, const std::string& path) {
         ASSERT_EQ(other->enablePacketLog(path.c_str()), aErrNone);
         EXPECT_EQ(other->disablePacketLog(), aErrNone);
       }},
      {"enables, then disconnects",
       [](std::unique_ptr<Link>& other, const std::string& path) {
         ASSERT_EQ(other->enablePacketLog(path.c_str()), aErrNone);
         EXPECT_EQ(other->disconnect(), aErrNone);
       }},
      {"enables, then is destroyed",
       [](std::unique_ptr<Link>& other, const std::string& path) {
         ASSERT_EQ(other->enablePacketLog(path.c_str()), aErrNone);
         other.reset();
       }},
      {"disables without having logged",
       [](std::unique_ptr<Link>& other, const std::string&) {
         EXPECT_EQ(other->disablePacketLog(), aErrParam);
       }},
      {"enables a file that cannot be opened",
       [](std::unique_ptr<Link>& other, const std::string& path) {
         EXPECT_EQ(other->enablePacketLog((path + "/missing.log").c_str()), aErrIO);
       }},
      {"enables a file that cannot be written",
       [](std::unique_ptr<Link>& other, const std::string&) {
         EXPECT_EQ(other->enablePacketLog(kUnwritable), aErrIO);
       }},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("A ") + c.what);
    const std::string mine = dir_.file("b" + std::to_string(number) + ".log");
    const std::string others = dir_.file("a" + std::to_string(number) + ".log");
    ++number;
    auto a = connected("A");
    auto b = routedThrough(*a, "B");
    ASSERT_EQ(b->enablePacketLog(mine.c_str()), aErrNone);
    ASSERT_NO_FATAL_FAILURE(send(*b, 1));
    ASSERT_TRUE(AwaitLines(mine, {kStartLine, SentLine({kQueryCommand, 1})}));

    ASSERT_NO_FATAL_FAILURE(c.act(a, others));
    ASSERT_NO_FATAL_FAILURE(send(*b, 2));
    EXPECT_TRUE(
        AwaitLines(mine, {kStartLine, SentLine({kQueryCommand, 1}), SentLine({kQueryCommand, 2})}));
    EXPECT_EQ(b->disablePacketLog(), aErrNone);
  }
}

// While B logs, A's enable keeps the records B has not taken yet: each reaches one of the
// two files, once.
TEST_P(PacketLogTest, AnotherLinksEnableKeepsTheRecordsThisLinkHasNotTakenYet) {
  auto a = connected("A");
  auto b = routedThrough(*a, "B");
  const uint32_t id = standIn().coreLinkId();
  ASSERT_EQ(aLink_PacketDebug_SetLogSize(id, kBurstLogBytes), aErrNone);
  const std::string mine = dir_.file("b.log");
  const std::string others = dir_.file("a.log");
  ASSERT_EQ(b->enablePacketLog(mine.c_str()), aErrNone);

  // More at once than B's logger writes before A's enable.
  std::vector<std::string> expected;
  for (unsigned i = 0; i < kBurstRecords; ++i) {
    std::string text = "record " + std::to_string(i) + ' ';
    text.resize(aPACKETLOG_MAXRECORD, 'x');
    ASSERT_EQ(aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, static_cast<uint32_t>(text.size()),
                                      reinterpret_cast<const uint8_t*>(text.data())),
              aErrNone);
    expected.push_back(std::to_string(text.size()) + " < " + text);
  }
  ASSERT_EQ(a->enablePacketLog(others.c_str()), aErrNone);

  const auto burstLines = [&] {
    std::vector<std::string> lines;
    for (const std::string* path : {&mine, &others}) {
      for (const std::string& line : FileLines(*path)) {
        if (line.find(" < record ") != std::string::npos) lines.push_back(line);
      }
    }
    return lines;
  };
  EXPECT_TRUE(apitest::Eventually([&] { return burstLines().size() >= expected.size(); }))
      << burstLines().size() << " of " << expected.size() << " records in the files";
  EXPECT_EQ(a->disablePacketLog(), aErrNone);
  EXPECT_EQ(b->disablePacketLog(), aErrNone);
  std::vector<std::string> found = burstLines();
  std::sort(found.begin(), found.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_TRUE(found == expected) << found.size() << " records found, " << expected.size()
                                 << " written";
}

// A's logger fails to write a record (its file reached the size limit): it takes no more, so
// B's logger gets every later record, and A's next call says so, once.
TEST_P(PacketLogTest, ALoggerWhoseWriteFailedLeavesTheRecordsToTheOtherLinkAndIsReported) {
  struct Case {
    const char* what;
    bool enableNext;  // A's next call is an enable (else a disable)
  };
  const Case cases[] = {{"next call disables", false}, {"next call enables", true}};
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string mine = dir_.file("b" + std::to_string(number) + ".log");
    const std::string others = dir_.file("a" + std::to_string(number) + ".log");
    ++number;
    {
      std::ofstream pad(others, std::ios::binary);
      pad << std::string(kLimitedFilePad, '.');
    }
    const size_t othersFull = kLimitedFilePad + kStartLine.size() + 2;
    auto a = connected("A");
    auto b = routedThrough(*a, "B");
    const uint32_t id = standIn().coreLinkId();
    // A round trip: the link's own traffic of the connect is over.
    size_t capacity = 0;
    ASSERT_EQ(a->storeSlotCapacity(kModule, 1, 1, &capacity), aErrNone);
    {
      FileSizeLimit limit(othersFull);
      ASSERT_TRUE(limit.set());
      ASSERT_EQ(a->enablePacketLog(others.c_str()), aErrNone) << "its START fits";
      // A logs alone: the record its logger takes cannot be written.
      ASSERT_NO_FATAL_FAILURE(send(*a, 1));
      ASSERT_TRUE(apitest::Eventually([&] { return CoreLogEmpty(id); }))
          << "A's logger took no record";

      ASSERT_EQ(b->enablePacketLog(mine.c_str()), aErrNone);
      std::vector<std::string> expected{kStartLine};
      for (uint8_t tag = 2; tag <= 9; ++tag) {
        ASSERT_NO_FATAL_FAILURE(send(*b, tag));
        expected.push_back(SentLine({kQueryCommand, tag}));
      }
      EXPECT_TRUE(AwaitLines(mine, expected));

      if (c.enableNext) {
        EXPECT_EQ(a->enablePacketLog(others.c_str()), aErrIO);
        EXPECT_EQ(a->disablePacketLog(), aErrParam) << "the failed logger is gone";
      } else {
        EXPECT_EQ(a->disablePacketLog(), aErrIO);
        EXPECT_EQ(a->disablePacketLog(), aErrNone) << "reported once";
      }
      ASSERT_NO_FATAL_FAILURE(send(*b, 10));
      expected.push_back(SentLine({kQueryCommand, 10}));
      EXPECT_TRUE(AwaitLines(mine, expected)) << "B's log went on";
    }
    EXPECT_EQ(b->disablePacketLog(), aErrNone);
    std::ifstream written(others, std::ios::binary | std::ios::ate);
    EXPECT_EQ(static_cast<size_t>(written.tellg()), othersFull) << "A's file: its pad and START";
  }
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
