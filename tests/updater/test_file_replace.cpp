// Opening and replacing stored files: only regular files are opened for reading, and never
// waited on; a replacement goes through a hidden temporary named after this host and process,
// replaces a symbolic link instead of writing its target, and removes the temporaries a
// killed run of this host left behind, and only those.
#include "FileReplace.h"
#include "Log.h"
#include "store_test_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

namespace {

std::string ThisHost() {
  char text[256] = {};
  EXPECT_EQ(gethostname(text, sizeof text - 1), 0);
  return text;
}

// The id of a process that has ended and been reaped, so that nothing runs under it.
pid_t EndedProcess() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  return child;
}

// A temporary name as a process of host would give name's new content.
std::string TemporaryOf(const std::string& name, const std::string& host, pid_t pid) {
  return "." + name + "@" + host + "." + std::to_string(static_cast<long>(pid)) + ".tmp";
}

// Dates the file back by the minimum age and a minute more.
void MakeOld(const std::string& path) {
  struct timespec times[2];
  times[0].tv_sec = time(nullptr) - STALE_TEMPORARY_AGE_S - 60;
  times[0].tv_nsec = 0;
  times[1] = times[0];
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

ReplaceResult ReplaceWith(const std::string& path, const std::string& content) {
  return ReplaceFile(path, [&content](aFile* file) {
    return aFile_Write(file, reinterpret_cast<const uint8_t*>(content.data()), content.size(),
                       nullptr);
  });
}

bool IsLink(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

class FileReplaceTest : public ::testing::Test {
 protected:
  std::string File(const std::string& name) const { return dir.file(name); }

  TempDir dir;
  LogCapture log{DEBUG_Updater};
};

TEST_F(FileReplaceTest, AFifoIsRefusedAtOnceWithALineNamingIt) {
  const std::string fifo = File("900.bird");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  errno = 0;
  EXPECT_EQ(OpenRegularFile(fifo.c_str()), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_NE(log.Logged().find("Refused " + fifo + ": not a regular file\n"), std::string::npos)
      << log.Logged();

  // A regular file opens as before; a missing one keeps its reason.
  WriteBytes(File("plain"), "x");
  aFile* file = OpenRegularFile(File("plain").c_str());
  ASSERT_NE(file, nullptr);
  uint8_t byte = 0;
  size_t count = 0;
  EXPECT_EQ(aFile_Read(file, &byte, 1, &count), aErrNone);
  EXPECT_EQ(byte, 'x');
  EXPECT_EQ(aFile_Close(&file), aErrNone);
  errno = 0;
  EXPECT_EQ(OpenRegularFile(File("missing").c_str()), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(FileReplaceTest, TheTemporaryIsHiddenAndNamedAfterThisHostAndProcess) {
  const std::string expected = TemporaryOf("900.bird", ThisHost(), getpid());
  EXPECT_EQ(HiddenTemporaryName("900.bird"), expected);

  std::set<std::string> whileWriting;
  const ReplaceResult result = ReplaceFile(File("900.bird"), [&](aFile* file) {
    whileWriting = Names(dir.path());
    return aFile_Printf(file, "new");
  });
  EXPECT_EQ(result.code, aErrNone);
  EXPECT_EQ(whileWriting, std::set<std::string>{expected});
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"900.bird"});
}

TEST_F(FileReplaceTest, ASymbolicLinkIsReplacedByAPlainFileAndItsTargetIsNotWritten) {
  TempDir outside;
  const std::string target = outside.file("elsewhere");
  WriteBytes(target, "not the store's");
  ASSERT_EQ(symlink(target.c_str(), File("900.bird").c_str()), 0);

  EXPECT_EQ(ReplaceWith(File("900.bird"), "new").code, aErrNone);

  EXPECT_FALSE(IsLink(File("900.bird")));
  EXPECT_EQ(Slurp(File("900.bird")), "new");
  EXPECT_EQ(Slurp(target), "not the store's");
}

TEST_F(FileReplaceTest, ALinkStandingUnderTheTemporarysNameIsNotWrittenThrough) {
  TempDir outside;
  const std::string target = outside.file("elsewhere");
  WriteBytes(target, "not the store's");
  ASSERT_EQ(symlink(target.c_str(), File(HiddenTemporaryName("900.bird")).c_str()), 0);

  EXPECT_EQ(ReplaceWith(File("900.bird"), "new").code, aErrNone);

  EXPECT_EQ(Slurp(File("900.bird")), "new");
  EXPECT_EQ(Slurp(target), "not the store's");
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"900.bird"});
}

TEST_F(FileReplaceTest, ALinkedDirectoryIsFollowed) {
  TempDir relocated;
  ASSERT_EQ(symlink(relocated.path().c_str(), File("1234ABCD").c_str()), 0);

  EXPECT_EQ(ReplaceWith(File("1234ABCD/900.bird"), "new").code, aErrNone);

  EXPECT_TRUE(IsLink(File("1234ABCD")));
  EXPECT_EQ(Slurp(relocated.file("900.bird")), "new");
}

TEST_F(FileReplaceTest, TheNextWriteRemovesAStaleTemporaryOfThisHost) {
  WriteBytes(File("900.bird"), "the build stored before");
  const std::string stale = File(TemporaryOf("900.bird", ThisHost(), EndedProcess()));
  WriteBytes(stale, "half a build");
  MakeOld(stale);

  EXPECT_EQ(ReplaceWith(File(".settings"), "A=1\n").code, aErrNone);

  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{".settings", "900.bird"}));
  EXPECT_EQ(Slurp(File("900.bird")), "the build stored before");
}

TEST_F(FileReplaceTest, TemporariesThatMayStillBeWrittenAreKept) {
  const pid_t ended = EndedProcess();
  const std::set<std::string> kept = {
      TemporaryOf("900.bird", ThisHost(), getppid()),          // its process still runs
      TemporaryOf("901.bird", ThisHost(), ended),              // not old enough
      TemporaryOf("902.bird", "another-host.example", ended),  // another host's process
  };
  for (const std::string& name : kept) {
    WriteBytes(File(name), "being written");
    if (name.find("901.bird") == std::string::npos) MakeOld(File(name));
  }

  EXPECT_EQ(ReplaceWith(File(".settings"), "A=1\n").code, aErrNone);

  std::set<std::string> expected = kept;
  expected.insert(".settings");
  EXPECT_EQ(Names(dir.path()), expected);
}

}  // namespace
