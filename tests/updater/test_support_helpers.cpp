// Checks the shared test helpers that the other test programs rely on.
#include "support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

constexpr int kShortTimeoutMs = 500;     // ms before a sleeping child is killed
constexpr int kPtyReadTimeoutMs = 2000;  // ms to wait for bytes through a pty

TEST(TestSupport, RunProgramSeparatesOutputAndReportsExitStatus) {
  RunResult run = RunProgram({"sh", "-c", "printf out; printf err >&2; exit 3"});
  EXPECT_TRUE(run.exitedWith(3));
  EXPECT_EQ(run.out, "out");
  EXPECT_EQ(run.err, "err");
}

TEST(TestSupport, RunProgramGivesATemporaryHomeAndNoProxies) {
  setenv("https_proxy", "http://192.0.2.1:3128", 1);
  setenv("HTTP_PROXY", "http://192.0.2.1:3128", 1);
  RunResult run = RunProgram(
      {"sh", "-c", "printf '%s|%s|%s' \"$HOME\" \"${https_proxy-unset}\" \"${HTTP_PROXY-unset}\""});
  unsetenv("https_proxy");
  unsetenv("HTTP_PROXY");
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.out.rfind("/tmp/kvtest-", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("|unset|unset"), std::string::npos) << run.out;
}

TEST(TestSupport, ExtraEnvironmentOverridesHome) {
  TempDir home;
  RunResult run = RunProgram({"sh", "-c", "printf '%s %s' \"$HOME\" \"$KV_EXTRA\""},
                             {"HOME=" + home.path(), "KV_EXTRA=yes"});
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.out, home.path() + " yes");
}

TEST(TestSupport, ChildPastItsTimeOutIsKilled) {
  RunResult run = RunProgram({"sleep", "30"}, {}, kShortTimeoutMs);
  EXPECT_TRUE(run.timedOut);
  EXPECT_EQ(run.termSignal, SIGKILL);
}

TEST(TestSupport, MissingProgramExitsWith127) {
  RunResult run = RunProgram({"/nonexistent/kv-program"});
  EXPECT_TRUE(run.exitedWith(127));
  EXPECT_NE(run.err.find("/nonexistent/kv-program"), std::string::npos);
}

TEST(TestSupport, RunOnPtyGivesATerminalWithoutOutputTranslation) {
  RunResult run =
      RunOnPty({"sh", "-c", "test -t 1 && printf 'tty\\n'; test -t 2 || printf 'pipe' >&2"});
  ASSERT_TRUE(run.exitedWith(0));
  EXPECT_EQ(run.out, "tty\n");
  EXPECT_EQ(run.err, "pipe");
}

TEST(TestSupport, PtyPairCarriesBytesBothWays) {
  PtyPair pty;
  ASSERT_TRUE(PtyPair::makeRaw(pty.slave()));
  EXPECT_EQ(pty.slaveName().rfind("/dev/pts/", 0), 0u);

  const std::string toSlave("\x00\x7F\r\n\x03", 5);
  ASSERT_TRUE(pty.write(toSlave));
  std::string got(toSlave.size(), '\0');
  ASSERT_EQ(read(pty.slave(), got.data(), got.size()), static_cast<ssize_t>(got.size()));
  EXPECT_EQ(got, toSlave);

  ASSERT_EQ(write(pty.slave(), "ab\ncd", 5), 5);
  EXPECT_EQ(pty.read(5, kPtyReadTimeoutMs), "ab\ncd");
  EXPECT_EQ(pty.read(1, kShortTimeoutMs), "");
}

TEST(TestSupport, TempDirIsRemovedWithItsContents) {
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    ASSERT_EQ(mkdir(dir.file("locked").c_str(), 0755), 0);
    std::ofstream(dir.file("locked/file")) << "data";
    ASSERT_EQ(chmod(dir.file("locked").c_str(), 0500), 0);
  }
  struct stat info;
  EXPECT_NE(stat(path.c_str(), &info), 0);
}

}  // namespace
