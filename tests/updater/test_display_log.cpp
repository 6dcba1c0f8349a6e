#include "CLI_Display.h"
#include "Log.h"
#include "UpdaterDisplayInterface.h"
#include "path.h"
#include "display_test_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Bars(size_t n) { return std::string(n, '='); }

std::string Blanks(size_t n) { return std::string(n, ' '); }

const std::string kClearLine = "\r" + Blanks(88) + "\r";

// What the spinner writes for the given frames, in order.
std::string SpinnerFrames(const std::vector<const char*>& frames, const char* label) {
  std::string bytes;
  for (const char* frame : frames)
    bytes += label ? std::string("\r (") + label + ") " + frame + "      \r"
                   : std::string("\r ") + frame + "      \r";
  return bytes;
}

const std::vector<const char*> kNineFrames = {".",    "..",  "...", "....", ".....",
                                              "....", "...", "..",  "."};

void SpinNineTimes(CLI_Display& display, const char* label) {
  for (int i = 0; i < 9; ++i) display.update_spinner(true, label);
}

struct DrawCase {
  const char* name;
  std::function<void(CLI_Display&)> draw;
  std::string expected;  // bytes on a terminal
};

void PrintTo(const DrawCase& c, std::ostream* os) { *os << c.name; }

const std::string kLabel65(65, 'L');
const std::string kLabel80(80, 'L');

const std::vector<DrawCase> kDrawCases = {
    {"BarEmpty", [](CLI_Display& d) { d.update_progress(0.0, nullptr); },
     "\r[>" + Blanks(68) + "] (  0% ) "},
    {"BarHalf", [](CLI_Display& d) { d.update_progress(0.5, nullptr); },
     "\r[" + Bars(34) + ">" + Blanks(34) + "] ( 50% ) "},
    {"BarFull", [](CLI_Display& d) { d.update_progress(1.0, nullptr); },
     "\r[" + Bars(69) + "> ] (100% ) "},
    {"BarHalfWithLabel", [](CLI_Display& d) { d.update_progress(0.5, "Load"); },
     "\r (Load) [" + Bars(30) + ">" + Blanks(30) + "] ( 50% ) "},
    {"BarFullWithLabel", [](CLI_Display& d) { d.update_progress(1.0, "Load"); },
     "\r (Load) [" + Bars(61) + "> ] (100% ) "},
    {"LabelLeavingNoRoomGivesEmptyBar",
     [](CLI_Display& d) { d.update_progress(0.5, kLabel65.c_str()); },
     "\r (" + kLabel65 + ") [> ] ( 50% ) "},
    {"LabelTooLongGivesEmptyBar", [](CLI_Display& d) { d.update_progress(1.0, kLabel80.c_str()); },
     "\r (" + kLabel80 + ") [> ] (100% ) "},
    {"FractionAboveOneShowsFullBar", [](CLI_Display& d) { d.update_progress(1.5, nullptr); },
     "\r[" + Bars(69) + "> ] (100% ) "},
    {"NegativeFractionShowsEmptyBar", [](CLI_Display& d) { d.update_progress(-0.25, nullptr); },
     "\r[>" + Blanks(68) + "] (  0% ) "},
    {"NaNFractionShowsEmptyBar", [](CLI_Display& d) { d.update_progress(std::nan(""), nullptr); },
     "\r[>" + Blanks(68) + "] (  0% ) "},
    {"ProgressOnWritesNothingOffClears",
     [](CLI_Display& d) {
       d.display_progress(true);
       d.display_progress(false);
     },
     kClearLine},
    {"SpinnerNineFrames", [](CLI_Display& d) { SpinNineTimes(d, nullptr); },
     SpinnerFrames(kNineFrames, nullptr)},
    {"SpinnerNineFramesWithLabelThenClear",
     [](CLI_Display& d) {
       SpinNineTimes(d, "Downloading");
       d.update_spinner(false, "Downloading");
     },
     SpinnerFrames(kNineFrames, "Downloading") + kClearLine},
    {"SpinnerPositionSharedByDisplays",
     [](CLI_Display& d) {
       d.update_spinner(true, nullptr);
       CLI_Display other;
       other.update_spinner(true, nullptr);
     },
     SpinnerFrames({".", ".."}, nullptr)},
    {"MutedDisplayStillDrawsButSaysNothing",
     [](CLI_Display& d) {
       d.mute_messages(true);
       d.message(UpdaterDisplayInterface::INFO, "hidden");
       d.update_progress(0.5, nullptr);
     },
     "\r[" + Bars(34) + ">" + Blanks(34) + "] ( 50% ) "},
};

class DisplayOnTerminal : public ::testing::TestWithParam<DrawCase> {};

TEST_P(DisplayOnTerminal, WritesExactBytes) {
  const DrawCase& c = GetParam();
  RunResult run = RunInChild(
      [&] {
        CLI_Display display;
        c.draw(display);
      },
      Stdout::Pty);
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.out, c.expected);
  EXPECT_EQ(run.err, "");
}

INSTANTIATE_TEST_SUITE_P(CliDisplay, DisplayOnTerminal, ::testing::ValuesIn(kDrawCases),
                         [](const ::testing::TestParamInfo<DrawCase>& test) {
                           return std::string(test.param.name);
                         });

TEST(CliDisplay, RedirectedOutputGetsMessagesButNoDrawing) {
  RunResult run = RunInChild(
      [] {
        CLI_Display display;
        for (const DrawCase& c : kDrawCases) c.draw(display);
        display.mute_messages(false);
        display.message(UpdaterDisplayInterface::INFO, "Found %d devices", 2);
        display.message(UpdaterDisplayInterface::ERROR, "Could not open %s", "port");
      },
      Stdout::Pipe);
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.out, "Found 2 devices\n");
  EXPECT_EQ(run.err, "Could not open port\n");
}

TEST(CliDisplay, MessagesOnTerminalAreOneLineEach) {
  RunResult run = RunInChild(
      [] {
        CLI_Display display;
        display.info_message("first");
        display.info_message("second");
        display.error_message("trouble");
      },
      Stdout::Pty);
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.out, "first\nsecond\n");
  EXPECT_EQ(run.err, "trouble\n");
}

TEST(CliDisplay, LongMessageIsCutTo2047CharactersBeforeItsNewline) {
  const std::string longText(3000, 'x');
  RunResult run = RunInChild(
      [&] {
        CLI_Display display;
        display.message(UpdaterDisplayInterface::INFO, "%s", longText.c_str());
      },
      Stdout::Pipe);
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.out, std::string(2047, 'x') + "\n");
}

// Records what message() hands to the two text sinks.
using display_test::RecordingDisplay;

struct LevelCase {
  int level;
  bool toError;
};

class MessageLevel : public ::testing::TestWithParam<LevelCase> {};

TEST_P(MessageLevel, GoesToTheMatchingSink) {
  RecordingDisplay display;
  display.message(static_cast<UpdaterDisplayInterface::Level>(GetParam().level),
                  "Update time: %.4f sec", 1.5);
  const std::vector<std::string>& hit = GetParam().toError ? display.errors : display.infos;
  const std::vector<std::string>& missed = GetParam().toError ? display.infos : display.errors;
  EXPECT_EQ(hit, std::vector<std::string>{"Update time: 1.5000 sec"});
  EXPECT_TRUE(missed.empty());
}

INSTANTIATE_TEST_SUITE_P(Display, MessageLevel,
                         ::testing::Values(LevelCase{0, false}, LevelCase{1, true},
                                           LevelCase{2, false}, LevelCase{7, false}));

TEST(Display, MutedMessagesAreDroppedUntilUnmuted) {
  RecordingDisplay display;
  display.mute_messages(true);
  display.message(UpdaterDisplayInterface::INFO, "quiet info");
  display.message(UpdaterDisplayInterface::ERROR, "quiet error");
  EXPECT_TRUE(display.infos.empty());
  EXPECT_TRUE(display.errors.empty());

  display.mute_messages(false);
  display.message(UpdaterDisplayInterface::INFO, "loud info");
  display.message(UpdaterDisplayInterface::ERROR, "loud error");
  EXPECT_EQ(display.infos, std::vector<std::string>{"loud info"});
  EXPECT_EQ(display.errors, std::vector<std::string>{"loud error"});
}

TEST(Display, MessageKeepsExactly2047Characters) {
  RecordingDisplay display;
  const std::string fits(2047, 'a');
  const std::string tooLong(2048, 'b');
  display.message(UpdaterDisplayInterface::INFO, "%s", fits.c_str());
  display.message(UpdaterDisplayInterface::INFO, "%s", tooLong.c_str());
  ASSERT_EQ(display.infos.size(), 2u);
  EXPECT_EQ(display.infos[0], fits);
  EXPECT_EQ(display.infos[1], std::string(2047, 'b'));
}

// The log's state is process-wide; every test starts and ends with it reset.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Reset();
    out = tmpfile();
    ASSERT_NE(out, nullptr);
  }
  void TearDown() override {
    Reset();
    if (out) fclose(out);
  }
  static void Reset() {
    Log::package_bitmask = 0;
    Log::fh = nullptr;
  }
  std::string Written() {
    fflush(out);
    rewind(out);
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, got);
    return text;
  }

  FILE* out = nullptr;
};

TEST_F(LogTest, NothingIsWrittenBeforeAnOutputIsSet) {
  Log::log(0, "early\n");
  Log::SetOutput(out);
  Log::log(0, "late\n");
  EXPECT_EQ(Written(), "late\n");
}

struct MaskCase {
  uint32_t activated;
  uint32_t package;
  bool written;
};

class LogMask : public LogTest, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(LogMask, WritesPackageZeroOrPackagesSharingABit) {
  Log::SetOutput(out);
  Log::ActivatePackage(GetParam().activated);
  Log::log(GetParam().package, "line\n");
  EXPECT_EQ(Written(), GetParam().written ? "line\n" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Log, LogMask,
    ::testing::Values(MaskCase{0, 0, true}, MaskCase{0, DEBUG_Network_Link, false},
                      MaskCase{0x100, DEBUG_Network_Link, true},
                      MaskCase{DEBUG_Updater, DEBUG_Network_Link, false},
                      MaskCase{0x101, DEBUG_Updater, true},
                      MaskCase{DEBUG_NXPSerial_E, DEBUG_NXPSerial | DEBUG_NXPSerial_E, true},
                      MaskCase{0xFFFFFFFF, DEBUG_iMXSerial, true}, MaskCase{DEBUG_APP, 0, true}));

TEST_F(LogTest, ActivationAccumulatesAndDeactivationClears) {
  Log::SetOutput(out);
  Log::log(DEBUG_Network_Link, "before\n");
  Log::ActivatePackage(DEBUG_Network_Link);
  Log::ActivatePackage(DEBUG_Updater);
  Log::log(DEBUG_Network_Link, "network\n");
  Log::log(DEBUG_Updater, "updater\n");
  Log::DeactivatePackage(DEBUG_Network_Link);
  Log::log(DEBUG_Network_Link, "after\n");
  Log::log(DEBUG_Updater, "still\n");
  EXPECT_EQ(Written(), "network\nupdater\nstill\n");
}

TEST_F(LogTest, TextIsWrittenUnchangedWithoutAddedNewline) {
  Log::SetOutput(out);
  Log::log(0, "NETWORK: Found device [%08X] via link type [%d]", 0x1234ABCDu, 1);
  Log::log(0, "\n");
  EXPECT_EQ(Written(), "NETWORK: Found device [1234ABCD] via link type [1]\n");
}

TEST_F(LogTest, LongLineIsCutTo2047Characters) {
  Log::SetOutput(out);
  const std::string longText(3000, 'z');
  Log::log(0, "%s", longText.c_str());
  EXPECT_EQ(Written(), std::string(2047, 'z'));
}

TEST_F(LogTest, LinesFromThreadsStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kLinesPerThread = 500;
  const std::string padding(100, '-');
  Log::SetOutput(out);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLinesPerThread; ++i)
        Log::log(0, "thread %d line %d %s\n", t, i, padding.c_str());
    });
  for (std::thread& thread : threads) thread.join();

  std::istringstream lines(Written());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    int t = -1, i = -1;
    char rest[128] = {};
    ASSERT_EQ(sscanf(line.c_str(), "thread %d line %d %127s", &t, &i, rest), 3) << line;
    EXPECT_EQ(rest, padding) << line;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLinesPerThread);
}

struct PathCase {
  const char* parts[4];  // components, unused ones null
  const char* expected;
};

class BuildPathJoin : public ::testing::TestWithParam<PathCase> {};

TEST_P(BuildPathJoin, JoinsWithOneSeparatorBetweenComponents) {
  const PathCase& c = GetParam();
  EXPECT_EQ(BuildPath(c.parts[0], c.parts[1], c.parts[2], c.parts[3], nullptr), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Path, BuildPathJoin,
    ::testing::Values(PathCase{{"a", "b"}, "a/b"}, PathCase{{"a/", "/b"}, "a///b"},
                      PathCase{{"a"}, "a"}, PathCase{{"", "b"}, "/b"},
                      PathCase{{"a", "", "b"}, "a//b"},
                      PathCase{{"/home/u/.zentrova", "updater", "1234ABCD", "900.bird"},
                               "/home/u/.zentrova/updater/1234ABCD/900.bird"},
                      PathCase{{nullptr, "b"}, ""}));

TEST(Path, HasNoLimitOnLengthOrCount) {
  const std::string part(3000, 'p');
  EXPECT_EQ(BuildPath(part.c_str(), part.c_str(), nullptr), part + "/" + part);
  EXPECT_EQ(BuildPath("1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", nullptr),
            "1/2/3/4/5/6/7/8/9/10/11/12");
}

}  // namespace
