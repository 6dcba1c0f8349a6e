// Directories: path building, creation of nested directories, listing, tree deletion and the
// well-known directories of the process.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "aDirectory.h"

#include "support.h"

namespace {

namespace fs = std::filesystem;

// A fresh directory under the system's temp area, removed with everything in it.
class DirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = tmp_.path(); }
  TempDir tmp_;  // removed with everything in it

  std::string Path(const std::string& relative) const { return dir_ + "/" + relative; }

  void MakeFile(const std::string& relative, const std::string& content) const {
    std::ofstream(Path(relative), std::ios::binary) << content;
  }

  // A chain of directories under the temp directory whose path is at least `length` long.
  std::string MakeDeepDirectory(size_t length) const {
    const std::string level(200, 'd');
    std::string path = dir_;
    while (path.size() < length) path += "/" + level;
    fs::create_directories(path);
    return path;
  }

  std::string dir_;
};

// Runs in a directory of its own and goes back to the former working directory afterwards.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& path) : former_(fs::current_path()) {
    fs::current_path(path);
  }
  ~WorkingDirectory() { fs::current_path(former_); }

 private:
  fs::path former_;
};

// ---- aDirectory_BuildPath ------------------------------------------------------------------

const size_t kGuard = 64;  // bytes of the destination array, beyond any size under test

struct BuildCase {
  const char* label;
  size_t size;
  std::vector<const char*> components;
  aErr result;
  const char* text;  // destination afterwards; null when it must be untouched
};

// Calls aDirectory_BuildPath with up to eleven components, the rest of the list null.
aErr Build(char* destination, size_t size, const std::vector<const char*>& components) {
  const char* c[12] = {};
  for (size_t i = 0; i < components.size() && i < 11; ++i) c[i] = components[i];
  return aDirectory_BuildPath(destination, size, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7],
                              c[8], c[9], c[10], c[11], static_cast<const char*>(nullptr));
}

void PrintTo(const BuildCase& c, std::ostream* out) { *out << c.label; }

class BuildPathTest : public ::testing::TestWithParam<BuildCase> {};

TEST_P(BuildPathTest, JoinsWithinTheDestination) {
  const BuildCase& c = GetParam();
  char destination[kGuard];
  memset(destination, '#', sizeof destination);
  EXPECT_EQ(Build(destination, c.size, c.components), c.result);
  if (c.text != nullptr) {
    EXPECT_STREQ(destination, c.text);
  } else {
    EXPECT_EQ(destination[0], '#');
  }
  for (size_t i = c.size; i < kGuard; ++i) {
    ASSERT_EQ(destination[i], '#') << "byte " << i << " written past the destination";
  }
}

const BuildCase kBuildCases[] = {
    {"two_components", 16, {"abc", "de"}, aErrNone, "abc/de"},
    {"first_ends_in_separator", 16, {"abc/", "de"}, aErrNone, "abc/de"},
    {"second_begins_with_separator", 16, {"abc", "/de"}, aErrNone, "abc/de"},
    {"both_separators_kept", 16, {"abc/", "/de"}, aErrNone, "abc//de"},
    {"just_fits_eight", 8, {"abc", "de"}, aErrNone, "abc/de"},
    {"one_short_of_spare_byte", 8, {"abc", "def"}, aErrOverrun, ""},
    {"two_too_long", 8, {"abc", "defg"}, aErrOverrun, ""},
    {"size_zero", 0, {"a"}, aErrOverrun, nullptr},
    {"size_zero_empty", 0, {""}, aErrOverrun, nullptr},
    {"size_one", 1, {""}, aErrOverrun, ""},
    {"size_one_two_empty", 1, {"", ""}, aErrOverrun, ""},
    {"size_two_empty", 2, {""}, aErrNone, ""},
    {"single_fits_with_spare", 5, {"abc"}, aErrNone, "abc"},
    {"single_exact_fit_refused", 4, {"abc"}, aErrOverrun, ""},
    {"pair_fits_with_spare", 8, {"abc", "de"}, aErrNone, "abc/de"},
    {"pair_exact_fit_refused", 7, {"abc", "de"}, aErrOverrun, ""},
    {"third_overruns", 9, {"ab", "cd", "efg"}, aErrOverrun, ""},
    {"empty_first_stays_relative", 16, {"", "b"}, aErrNone, "b"},
    {"empty_first_two_more", 16, {"", "b", "c"}, aErrNone, "b/c"},
    {"absolute_first", 16, {"/", "usr", "lib"}, aErrNone, "/usr/lib"},
    {"empty_last_adds_separator", 16, {"abc", ""}, aErrNone, "abc/"},
    {"empty_last_no_room_for_separator", 5, {"abc", ""}, aErrNone, "abc"},
    {"ten_components",
     32,
     {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"},
     aErrNone,
     "a/b/c/d/e/f/g/h/i/j"},
    {"eleven_components",
     32,
     {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k"},
     aErrParam,
     ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, BuildPathTest, ::testing::ValuesIn(kBuildCases),
                         [](const ::testing::TestParamInfo<BuildCase>& param) {
                           return std::string(param.param.label);
                         });

TEST(BuildPath, RefusesNullAndAliasedArgumentsWithoutWriting) {
  char destination[32];
  EXPECT_EQ(aDirectory_BuildPath(nullptr, 16, "a", "b", static_cast<const char*>(nullptr)),
            aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(destination, sizeof destination, static_cast<const char*>(nullptr),
                                 static_cast<const char*>(nullptr)),
            aErrParam);

  struct Alias {
    const char* label;
    size_t firstAt;  // offset into the destination of the aliased component
    bool asFirst;    // the first component, else the second
  };
  const Alias aliases[] = {
      {"destination as first", 0, true},
      {"destination as second", 0, false},
      {"inside destination as second", 4, false},
  };
  for (const Alias& a : aliases) {
    SCOPED_TRACE(a.label);
    strcpy(destination, "keep/this");
    const char* inside = destination + a.firstAt;
    const aErr result = a.asFirst ? aDirectory_BuildPath(destination, sizeof destination, inside,
                                                         "x", static_cast<const char*>(nullptr))
                                  : aDirectory_BuildPath(destination, sizeof destination, "x",
                                                         inside, static_cast<const char*>(nullptr));
    EXPECT_EQ(result, aErrParam);
    EXPECT_STREQ(destination, "keep/this");
  }
}

TEST(JoinPath, ReportsAPathThatDoesNotFit) {
  char destination[8];
  EXPECT_EQ(aDirectory_JoinPath(destination, sizeof destination, "abc", "de"), aErrNone);
  EXPECT_STREQ(destination, "abc/de");
  EXPECT_EQ(aDirectory_JoinPath(destination, sizeof destination, "abc", "def"), aErrOverrun);
  EXPECT_STREQ(destination, "");
  EXPECT_EQ(aDirectory_JoinPath(destination, sizeof destination, destination, "x"), aErrParam);
  EXPECT_EQ(aDirectory_JoinPath(destination, sizeof destination, nullptr, "x"), aErrParam);
}

// ---- aDirectory_Ensure ---------------------------------------------------------------------

struct EnsureCase {
  const char* label;
  std::vector<std::string> directories;  // made first, relative to the temp directory
  std::vector<std::string> files;        // made first, relative to the temp directory
  std::string path;                      // relative to the temp directory unless absolute
  bool inTempCwd;                        // pass the path relative to a temp working directory
  aErr result;
  std::vector<std::string> made;  // directories that exist afterwards
};

TEST_F(DirectoryTest, EnsureCreatesMissingLevels) {
  const EnsureCase cases[] = {
      {"existing", {"there"}, {}, "there", false, aErrNone, {"there"}},
      {"two missing levels", {"base"}, {}, "base/x/y", false, aErrNone, {"base/x", "base/x/y"}},
      {"relative in working directory", {}, {}, "a/b/c", true, aErrNone, {"a", "a/b", "a/b/c"}},
      {"trailing and doubled separators", {}, {}, "p//q/", false, aErrNone, {"p", "p/q"}},
      {"parent is a file", {}, {"file"}, "file/sub", false, aErrPermission, {}},
      {"grandparent is a file", {}, {"file"}, "file/sub/deeper", false, aErrPermission, {}},
      {"path itself is a file", {}, {"file"}, "file", false, aErrPermission, {}},
      {"root", {}, {}, "/", false, aErrNone, {}},
  };
  for (const EnsureCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string root = Path(std::string("case_") + std::to_string(&c - cases));
    fs::create_directories(root);
    for (const std::string& d : c.directories) fs::create_directories(root + "/" + d);
    for (const std::string& f : c.files) std::ofstream(root + "/" + f) << "x";

    aErr result;
    if (c.inTempCwd) {
      WorkingDirectory cwd(root);
      result = aDirectory_Ensure(c.path.c_str(), 0755);
    } else {
      const std::string path = c.path[0] == '/' ? c.path : root + "/" + c.path;
      result = aDirectory_Ensure(path.c_str(), 0755);
    }
    EXPECT_EQ(result, c.result);
    for (const std::string& d : c.made) EXPECT_TRUE(fs::is_directory(root + "/" + d)) << d;
    for (const std::string& f : c.files) EXPECT_TRUE(fs::is_regular_file(root + "/" + f)) << f;
  }
}

TEST_F(DirectoryTest, EnsureAppliesTheModeAndRefusesEmptyPaths) {
  const mode_t mask = umask(0);
  umask(mask);
  const std::string path = Path("one/two");
  ASSERT_EQ(aDirectory_Ensure(path.c_str(), 0750), aErrNone);
  for (const std::string& level : {Path("one"), path}) {
    struct stat info;
    ASSERT_EQ(stat(level.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0750u & ~mask) << level;
  }
  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
  EXPECT_EQ(aDirectory_Ensure("", 0755), aErrParam);
  EXPECT_TRUE(aDirectory_Exists(path.c_str()));
  EXPECT_FALSE(aDirectory_Exists(nullptr));
}

// ---- aDirectory_List -----------------------------------------------------------------------

struct Seen {
  std::map<std::string, aDirectoryListData> entries;  // by name; path pointers not kept
  std::vector<std::string> paths;
  size_t stopAfter = SIZE_MAX;
};

bool Collect(aDirectoryListData* entry, void* reference) {
  Seen* seen = static_cast<Seen*>(reference);
  const std::string path = entry->path;
  seen->paths.push_back(path);
  seen->entries[path.substr(path.rfind('/') + 1)] = *entry;
  return seen->paths.size() < seen->stopAfter;
}

TEST_F(DirectoryTest, ListReportsEveryEntryWithSizeAndKind) {
  MakeFile("five", "12345");
  MakeFile("empty", "");
  fs::create_directory(Path("sub"));
  Seen seen;
  ASSERT_EQ(aDirectory_List(dir_.c_str(), Collect, &seen), aErrNone);
  ASSERT_EQ(seen.entries.size(), 5u);
  EXPECT_EQ(seen.entries.count("."), 1u);
  EXPECT_EQ(seen.entries.count(".."), 1u);
  EXPECT_EQ(seen.entries["five"].size, 5u);
  EXPECT_EQ(seen.entries["five"].isDirectory, 0u);
  EXPECT_EQ(seen.entries["empty"].size, 0u);
  EXPECT_EQ(seen.entries["sub"].isDirectory, 1u);
  for (const std::string& path : seen.paths) EXPECT_EQ(path.rfind(dir_ + "/", 0), 0u) << path;
}

TEST_F(DirectoryTest, ListStopsWhenTheCallbackSaysSo) {
  MakeFile("a", "");
  MakeFile("b", "");
  Seen seen;
  seen.stopAfter = 1;
  ASSERT_EQ(aDirectory_List(dir_.c_str(), Collect, &seen), aErrNone);
  EXPECT_EQ(seen.paths.size(), 1u);
}

TEST_F(DirectoryTest, ListRefusesMissingDirectoriesAndCallbacks) {
  Seen seen;
  EXPECT_EQ(aDirectory_List(Path("missing").c_str(), Collect, &seen), aErrNotFound);
  EXPECT_EQ(aDirectory_List(nullptr, Collect, &seen), aErrNotFound);
  EXPECT_EQ(aDirectory_List(dir_.c_str(), nullptr, &seen), aErrParam);
  EXPECT_TRUE(seen.paths.empty());
}

TEST_F(DirectoryTest, ListSkipsEntriesWhosePathDoesNotFit) {
  const std::string deep = MakeDeepDirectory(aDIR_MAXJOINEDPATH - 300);
  const std::string longName(250, 'n');
  ASSERT_GT(deep.size() + 1 + longName.size(), static_cast<size_t>(aDIR_MAXJOINEDPATH - 1));
  std::ofstream(deep + "/" + longName) << "x";
  std::ofstream(deep + "/short") << "xy";

  Seen seen;
  ASSERT_EQ(aDirectory_List(deep.c_str(), Collect, &seen), aErrNone);
  EXPECT_EQ(seen.entries.count("short"), 1u);
  EXPECT_EQ(seen.entries["short"].size, 2u);
  for (const std::string& path : seen.paths) {
    EXPECT_LT(path.size(), static_cast<size_t>(aDIR_MAXJOINEDPATH - 1));
    EXPECT_TRUE(fs::exists(path)) << path;
  }
  EXPECT_EQ(seen.entries.size(), 3u);  // ".", ".." and "short"
}

// ---- aDirectory_Delete and aDirectory_DeleteTree -------------------------------------------

TEST_F(DirectoryTest, DeleteRemovesOnlyEmptyDirectories) {
  fs::create_directories(Path("full/inner"));
  EXPECT_EQ(aDirectory_Delete(Path("full").c_str()), aErrUnknown);
  EXPECT_EQ(aDirectory_Delete(Path("full/inner").c_str()), aErrNone);
  EXPECT_FALSE(fs::exists(Path("full/inner")));
  EXPECT_EQ(aDirectory_Delete(Path("missing").c_str()), aErrUnknown);
  EXPECT_EQ(aDirectory_Delete(nullptr), aErrParam);
}

TEST_F(DirectoryTest, DeleteTreeRemovesNestedContent) {
  fs::create_directories(Path("tree/a/b/c"));
  fs::create_directories(Path("tree/empty"));
  MakeFile("tree/top", "1");
  MakeFile("tree/a/mid", "22");
  MakeFile("tree/a/b/c/leaf", "333");
  fs::create_symlink(Path("nowhere"), Path("tree/a/dangling"));
  EXPECT_EQ(aDirectory_DeleteTree(Path("tree").c_str()), aErrNone);
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("tree"))));
  EXPECT_TRUE(fs::is_directory(dir_));
}

TEST_F(DirectoryTest, DeleteTreeRemovesLinksWithoutFollowingThem) {
  fs::create_directories(Path("outside/kept"));
  MakeFile("outside/kept/precious", "keep me");
  MakeFile("outside/file", "keep me too");
  fs::create_directories(Path("tree"));
  fs::create_directory_symlink(Path("outside"), Path("tree/to_dir"));
  fs::create_symlink(Path("outside/file"), Path("tree/to_file"));

  EXPECT_EQ(aDirectory_DeleteTree(Path("tree").c_str()), aErrNone);
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("tree"))));
  EXPECT_TRUE(fs::is_regular_file(Path("outside/kept/precious")));
  EXPECT_TRUE(fs::is_regular_file(Path("outside/file")));
}

// A directory with content and a link to it.
class DeleteTreeTop : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    fs::create_directories(Path("target/kept"));
    MakeFile("target/kept/precious", "keep me");
    MakeFile("target/file", "keep me too");
    fs::create_directory_symlink(Path("target"), Path("link"));
  }

  void ExpectTargetKept() const {
    EXPECT_TRUE(fs::is_regular_file(Path("target/kept/precious")));
    EXPECT_TRUE(fs::is_regular_file(Path("target/file")));
  }
};

struct TopCase {
  const char* name;
  const char* given;  // relative to the temp directory
  bool link;          // names the link; otherwise the directory itself
};

void PrintTo(const TopCase& c, std::ostream* out) { *out << c.name; }

class DeleteTreeOfATop : public DeleteTreeTop, public ::testing::WithParamInterface<TopCase> {};

// Trailing separators would let the kernel resolve the link before the no-follow checks apply.
TEST_P(DeleteTreeOfATop, RemovesALinkItselfAndADirectoryWithItsContent) {
  const TopCase c = GetParam();

  EXPECT_EQ(aDirectory_DeleteTree(Path(c.given).c_str()), aErrNone);

  if (c.link) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(Path("link"))));
    ExpectTargetKept();
  } else {
    EXPECT_FALSE(fs::exists(fs::symlink_status(Path("target"))));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Path("link"))));
  }
}

INSTANTIATE_TEST_SUITE_P(Directory, DeleteTreeOfATop,
                         ::testing::Values(TopCase{"link", "link", true},
                                           TopCase{"link_slash", "link/", true},
                                           TopCase{"link_two_slashes", "link//", true},
                                           TopCase{"directory_slash", "target/", false},
                                           TopCase{"directory_two_slashes", "target//", false}),
                         [](const auto& p) { return std::string(p.param.name); });

class DeleteTreeOfADotTop : public DeleteTreeTop, public ::testing::WithParamInterface<TopCase> {};

// "." or ".." last names a directory reached through the link or the parent: refused, and
// nothing is removed.
TEST_P(DeleteTreeOfADotTop, IsRefusedBeforeAnythingGoes) {
  EXPECT_EQ(aDirectory_DeleteTree(Path(GetParam().given).c_str()), aErrParam);

  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(Path("link"))));
  ExpectTargetKept();
}

INSTANTIATE_TEST_SUITE_P(
    Directory, DeleteTreeOfADotTop,
    ::testing::Values(TopCase{"link_dot", "link/.", true},
                      TopCase{"link_dot_slash", "link/./", true},
                      TopCase{"link_inner_dotdot", "link/kept/..", true},
                      TopCase{"directory_inner_dotdot", "target/kept/..", false},
                      TopCase{"directory_inner_dotdot_slash", "target/kept/../", false}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- Well-known directories ----------------------------------------------------------------

TEST_F(DirectoryTest, CwdGivesTheWorkingDirectory) {
  WorkingDirectory cwd(dir_);
  char buffer[PATH_MAX];
  ASSERT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(fs::canonical(buffer), fs::canonical(dir_));
  EXPECT_EQ(aDirectory_CWD(buffer, 2), aErrParam);
  EXPECT_EQ(aDirectory_CWD(nullptr, sizeof buffer), aErrParam);
  EXPECT_EQ(aDirectory_CWD(buffer, 0), aErrParam);
}

TEST(ExecutableFilePath, NamesTheRunningProgramAndCutsToSize) {
  const std::string expected = fs::read_symlink("/proc/self/exe").string();
  char buffer[PATH_MAX];
  ASSERT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(buffer, expected);

  char small[5];
  memset(small, '#', sizeof small);
  ASSERT_EQ(aDirectory_ExecutableFilePath(small, sizeof small), aErrNone);
  EXPECT_EQ(std::string(small), expected.substr(0, 4));
  EXPECT_EQ(aDirectory_ExecutableFilePath(nullptr, 8), aErrParam);
  EXPECT_EQ(aDirectory_ExecutableFilePath(small, 0), aErrParam);
}

struct HomeCase {
  const char* label;
  const char* passwordHome;
  const char* environmentHome;
  size_t size;
  aErr result;
  const char* text;
};

TEST(HomeDirectory, PrefersThePasswordEntryThenHome) {
  const HomeCase cases[] = {
      {"password entry wins", "/home/user", "/elsewhere", 64, aErrNone, "/home/user"},
      {"no password entry", nullptr, "/from/env", 64, aErrNone, "/from/env"},
      {"empty password entry", "", "/from/env", 64, aErrNone, "/from/env"},
      {"nothing at all", nullptr, nullptr, 64, aErrNotFound, ""},
      {"both empty", "", "", 64, aErrNotFound, ""},
      {"exact fit", "/abc", nullptr, 5, aErrNone, "/abc"},
      {"one byte short", "/abc", nullptr, 4, aErrOverrun, ""},
      {"fallback too long", nullptr, "/a/long/home", 6, aErrOverrun, ""},
  };
  for (const HomeCase& c : cases) {
    SCOPED_TRACE(c.label);
    char buffer[64];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(aDirectory_ChooseHomeDirectory(c.passwordHome, c.environmentHome, buffer, c.size),
              c.result);
    EXPECT_STREQ(buffer, c.text);
    for (size_t i = c.size; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '#') << i;
  }
  char buffer[4] = "abc";
  EXPECT_EQ(aDirectory_ChooseHomeDirectory("/x", nullptr, nullptr, 8), aErrParam);
  EXPECT_EQ(aDirectory_ChooseHomeDirectory("/x", nullptr, buffer, 0), aErrOverrun);
  EXPECT_STREQ(buffer, "abc");
}

// Points HOME at a temp directory for the test and puts the former value back.
class HomeEnvironment : public DirectoryTest {
 protected:
  void SetUp() override {
    DirectoryTest::SetUp();
    const char* former = getenv("HOME");
    hadHome_ = former != nullptr;
    if (hadHome_) formerHome_ = former;
    setenv("HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (hadHome_) {
      setenv("HOME", formerHome_.c_str(), 1);
    } else {
      unsetenv("HOME");
    }
    DirectoryTest::TearDown();
  }

  bool hadHome_ = false;
  std::string formerHome_;
};

TEST_F(HomeEnvironment, GetHomeDirectoryUsesThePasswordEntryElseHome) {
  char expected[2048];
  ASSERT_EQ(aDirectory_ChooseHomeDirectory(nullptr, dir_.c_str(), expected, sizeof expected),
            aErrNone);
  // The password entry, when the user has one with a directory, comes first.
  std::vector<char> scratch(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found) == 0 &&
      found != nullptr && found->pw_dir[0] != '\0') {
    strcpy(expected, found->pw_dir);
  }

  char buffer[2048];
  ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, expected);

  char tiny[2] = {'#', '#'};
  EXPECT_EQ(aDirectory_GetHomeDirectory(tiny, sizeof tiny), aErrOverrun);
  EXPECT_EQ(tiny[0], '\0');
  EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 16), aErrParam);
}

}  // namespace
