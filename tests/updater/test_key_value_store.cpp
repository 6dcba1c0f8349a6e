// The attribute file: reading, writing in one step, the changed flag, typed access and the
// refusal of entries that would not read back as written.
#include "KeyValueStore.h"
#include "Log.h"
#include "store_test_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The C library's own rendering of a moment, without its line end.
std::string CTimeText(time_t moment) {
  char text[32];
  ctime_r(&moment, text);
  return std::string(text, strcspn(text, "\n"));
}

// What a clean set writes: its entries in key order and nothing else.
std::string SavedCopy(KeyValueStore& set, const std::string& path) {
  EXPECT_FALSE(set.IsDirty());
  set.Save(path.c_str());
  return Slurp(path);
}

// Every test runs with the attribute log captured and the log reset afterwards.
class AttributeFileTest : public ::testing::Test {
 protected:
  std::string Logged() { return log.Logged(); }
  std::string File(const std::string& name) const { return dir.file(name); }

  TempDir dir;
  LogCapture log{DEBUG_Attributes};
};

TEST_F(AttributeFileTest, LoadOfMissingFileCreatesItWithCreationAndUpdateTimes) {
  const std::string path = File(".settings");
  const time_t before = time(nullptr);
  KeyValueStore set(path.c_str());
  const time_t after = time(nullptr);

  const std::string content = Slurp(path);
  ASSERT_EQ(WithTimesMarked(content), "CREATED_TIME=<time>\nUPDATED_TIME=<time>\n") << content;
  const std::string created = content.substr(strlen("CREATED_TIME="), 24);
  const std::set<std::string> moments = {CTimeText(before), CTimeText(after)};
  EXPECT_EQ(moments.count(created), 1u) << created;

  ASSERT_NE(set["CREATED_TIME"], nullptr);
  ASSERT_NE(set["UPDATED_TIME"], nullptr);
  EXPECT_EQ(set.GetString("CREATED_TIME", nullptr), created);
  EXPECT_FALSE(set.IsDirty());
  EXPECT_EQ(set.Path(), path);
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{".settings"});  // no temporary file left
  EXPECT_EQ(Logged(), "Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n");
}

TEST_F(AttributeFileTest, LoadOfMissingFileInMissingDirectoryKeepsTimesInMemoryOnly) {
  const std::string path = File("absent/.settings");
  KeyValueStore set(path.c_str());

  EXPECT_NE(set["CREATED_TIME"], nullptr);
  EXPECT_NE(set["UPDATED_TIME"], nullptr);
  EXPECT_FALSE(set.IsDirty());
  EXPECT_FALSE(IsDirectory(File("absent")));
  EXPECT_EQ(Logged(), "Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n" +
                          "Attibutes: Error - cannot open attributes file for writting: '" + path +
                          "' (2)\n");
}

TEST_F(AttributeFileTest, UnreadablePathIsNotRecreated) {
  // Under a regular file: the open fails with something other than "missing".
  WriteBytes(File("plain"), "x");
  const std::string path = File("plain/.settings");
  KeyValueStore set(path.c_str());

  EXPECT_EQ(set["CREATED_TIME"], nullptr);
  EXPECT_EQ(Slurp(File("plain")), "x");
  EXPECT_EQ(Logged(), "Attibutes: Error - cannot open attributes file: '" + path + "' (" +
                          std::to_string(ENOTDIR) + ")\n");
}

TEST_F(AttributeFileTest, FileWithoutReadPermissionIsNeitherRecreatedNorOverwritten) {
  if (geteuid() == 0)
    GTEST_SKIP() << "running as root, where a file without read permission can still be read";
  const std::string path = File(".settings");
  WriteBytes(path, "LATEST_DOWNLOAD=900.bird\n");
  ASSERT_EQ(chmod(path.c_str(), 0200), 0);

  KeyValueStore set(path.c_str());
  EXPECT_EQ(set["CREATED_TIME"], nullptr);
  set.Add("LATEST_TRANSFER", "901.bird");
  set.Save(nullptr);

  EXPECT_TRUE(set.IsDirty());
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  EXPECT_EQ(Slurp(path), "LATEST_DOWNLOAD=900.bird\n");
}

TEST_F(AttributeFileTest, FileThatFailsToReadIsNotReplaced) {
  // A directory is not a regular file: it is refused when it is opened.
  const std::string path = File(".settings");
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  WriteBytes(path + "/kept", "data");

  KeyValueStore set(path.c_str());
  set.Add("LATEST_TRANSFER", "901.bird");
  set.Save(nullptr);

  EXPECT_TRUE(set.IsDirty());
  EXPECT_EQ(Slurp(path + "/kept"), "data");
  EXPECT_NE(Logged().find("Attibutes: Error - cannot open attributes file: '" + path + "' (" +
                          std::to_string(EINVAL) + ")\n"),
            std::string::npos)
      << Logged();
  EXPECT_NE(
      Logged().find("Attibutes: Error - not replacing attributes file that could not be read: '" +
                    path + "'"),
      std::string::npos);
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{".settings"});
}

struct ReadCase {
  const char* name;
  std::string content;  // the file as read
  std::string entries;  // what the clean set then writes
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

const std::string kLongValue(3000, 'x');
// The reader's buffer holds 2047 characters: a line of 2046 and its line end fits, one more does
// not.
const std::string kLineThatFits = "F=" + std::string(2044, 'f') + "\n";
const std::string kLineOneTooLong = "G=" + std::string(2045, 'g') + "\n";

const std::vector<ReadCase> kReadCases = {
    {"WhiteSpaceAroundKeyAndValueAndCrLf", "  KEY  =  some value  \r\n", "KEY=some value\n"},
    {"TabsAreWhiteSpace", "\tKEY\t=\tv\t\n", "KEY=v\n"},
    {"OnlyTheFirstEqualsSignSeparates", "K=a=b\n", "K=a=b\n"},
    {"EmptyValue", "KEY=\n", "KEY=\n"},
    {"CommentLineIsSkipped", "#C=1\nA=2\n", "A=2\n"},
    {"HashAfterWhiteSpaceBeginsAKey", " #C=1\n", "#C=1\n"},
    {"ThreeCharacterLineIsRead", "A=\n", "A=\n"},
    {"TwoCharacterLineIsSkipped", "A\nB=1\n", "B=1\n"},
    {"LaterLineWins", "K=1\nK=2\n", "K=2\n"},
    {"LineWithoutEqualsSignIsSkipped", "NOEQUALS\nB=1\n", "B=1\n"},
    {"LineWithEmptyKeyIsSkipped", "  = v\nB=1\n", "B=1\n"},
    {"LastLineWithoutLineEnd", "A=1\nlast=line", "A=1\nlast=line\n"},
    {"WrittenInKeyOrder", "b=2\nB=1\na=3\n", "B=1\na=3\nb=2\n"},
    {"OverlongLineIsSkippedAndReadingGoesOn", "A=1\nB=" + kLongValue + "\nC=3\n", "A=1\nC=3\n"},
    {"OverlongLastLineWithoutLineEndIsSkipped", "A=1\nB=" + kLongValue, "A=1\n"},
    {"LongestLineThatFitsIsRead", kLineThatFits + "Z=1\n", kLineThatFits + "Z=1\n"},
    {"LineOneCharacterTooLongIsSkipped", kLineOneTooLong + "Z=1\n", "Z=1\n"},
    {"EmptyFile", "", ""},
};

class AttributeReadTest : public AttributeFileTest,
                          public ::testing::WithParamInterface<ReadCase> {};

TEST_P(AttributeReadTest, LinesGiveTheseEntries) {
  WriteBytes(File("in"), GetParam().content);
  KeyValueStore set(File("in").c_str());
  EXPECT_EQ(SavedCopy(set, File("out")), GetParam().entries);
  EXPECT_EQ(Logged(), "");
}

INSTANTIATE_TEST_SUITE_P(Lines, AttributeReadTest, ::testing::ValuesIn(kReadCases),
                         [](const ::testing::TestParamInfo<ReadCase>& param) {
                           return std::string(param.param.name);
                         });

TEST_F(AttributeFileTest, LoadAddsToWhatIsInMemory) {
  WriteBytes(File("a"), "A=1\nSHARED=from a\n");
  WriteBytes(File("b"), "B=2\nSHARED=from b\n");
  KeyValueStore set(File("a").c_str());
  set.Load(File("b").c_str());
  EXPECT_EQ(set.Path(), File("b"));
  EXPECT_EQ(SavedCopy(set, File("out")), "A=1\nB=2\nSHARED=from b\n");
}

struct NumberCase {
  const char* value;
  int asInt;
  unsigned int asHex;
  bool asBool;
  double asDouble;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << '"' << c.value << '"'; }

const std::vector<NumberCase> kNumberCases = {
    {"123.bird", 123, 0x123, true, 123.0},
    {"abc", 0, 0xABC, false, 0.0},
    {"true", 0, 0, false, 0.0},
    {"1", 1, 1, true, 1.0},
    {"0x0000ABCD", 0, 0xABCD, false, 43981.0},
    {"ABCD", 0, 0xABCD, false, 0.0},
    {"  -42", -42, 0xFFFFFFBE, true, -42.0},
    {"1.5", 1, 1, true, 1.5},
    {"99999999999", INT_MAX, 0x99999999, true, 99999999999.0},
    {"-99999999999", INT_MIN, 0x66666667, true, -99999999999.0},
    {"0x123456789", 0, 0x23456789, false, static_cast<double>(0x123456789)},
};

class AttributeNumberTest : public AttributeFileTest,
                            public ::testing::WithParamInterface<NumberCase> {};

TEST_P(AttributeNumberTest, ValueConvertsToTheseNumbers) {
  KeyValueStore set;
  ASSERT_TRUE(set.Add("K", GetParam().value));
  EXPECT_EQ(set.GetInt("K", 5), GetParam().asInt);
  EXPECT_EQ(set.GetHex("K", 5), GetParam().asHex);
  EXPECT_EQ(set.GetBOOL("K", true), GetParam().asBool);
  EXPECT_DOUBLE_EQ(set.GetDouble("K", 5.0), GetParam().asDouble);
}

INSTANTIATE_TEST_SUITE_P(Values, AttributeNumberTest, ::testing::ValuesIn(kNumberCases));

TEST_F(AttributeFileTest, NumberGetterInsertsMissingKeyEmptyWithoutChangingTheSet) {
  WriteBytes(File("in"), "A=1\n");
  KeyValueStore set(File("in").c_str());

  EXPECT_EQ(set.GetInt("MISSING", 5), 5);
  EXPECT_FALSE(set.IsDirty());
  ASSERT_NE(set["MISSING"], nullptr);
  EXPECT_STREQ(set["MISSING"], "");
  // An empty value keeps giving the default, to every number getter.
  EXPECT_EQ(set.GetInt("MISSING", 9), 9);
  EXPECT_EQ(set.GetHex("MISSING", 0xAB), 0xABu);
  EXPECT_TRUE(set.GetBOOL("MISSING", true));
  EXPECT_DOUBLE_EQ(set.GetDouble("MISSING", 2.5), 2.5);
  EXPECT_EQ(SavedCopy(set, File("out")), "A=1\nMISSING=\n");
}

TEST_F(AttributeFileTest, TextGettersNeverInsert) {
  KeyValueStore set;
  set.Add("EMPTY", "");
  EXPECT_EQ(set.GetString("MISSING", "fallback"), "fallback");
  EXPECT_EQ(set.GetString("MISSING", nullptr), "");
  EXPECT_EQ(set.GetString("EMPTY", "fallback"), "");
  EXPECT_EQ(set["MISSING"], nullptr);
  EXPECT_EQ(set[nullptr], nullptr);
  set.Save(File("out").c_str());
  EXPECT_EQ(Slurp(File("out")).find("MISSING"), std::string::npos);
}

TEST_F(AttributeFileTest, SettersStoreTheirValuesAsText) {
  KeyValueStore set;
  std::string text = "from a string";
  EXPECT_TRUE(set.Add("INT", 7));
  EXPECT_TRUE(set.Add("NEGATIVE", -3));
  EXPECT_TRUE(set.AddHex("HEX", 0xABCD));
  EXPECT_TRUE(set.Add("DOUBLE", 1.5));
  EXPECT_TRUE(set.Add("STRING", text));
  EXPECT_TRUE(set.Add("TEMPORARY", std::string("900") + ".bird"));
  EXPECT_STREQ(set["INT"], "7");
  EXPECT_STREQ(set["NEGATIVE"], "-3");
  EXPECT_STREQ(set["HEX"], "0x0000ABCD");
  EXPECT_STREQ(set["DOUBLE"], "1.500000");
  EXPECT_STREQ(set["STRING"], "from a string");
  EXPECT_STREQ(set["TEMPORARY"], "900.bird");
}

TEST_F(AttributeFileTest, HugeDoubleIsStoredWhole) {
  KeyValueStore set;
  set.Add("BIG", 1e60);
  char expected[128];
  snprintf(expected, sizeof expected, "%f", 1e60);
  EXPECT_STREQ(set["BIG"], expected);
  EXPECT_GT(strlen(expected), 63u);
}

TEST_F(AttributeFileTest, ChangedFlagFollowsWhatTheSetHolds) {
  WriteBytes(File("in"), "A=1\n");
  KeyValueStore set(File("in").c_str());
  EXPECT_FALSE(set.IsDirty());

  set.Add("A", "1");  // the text already there
  EXPECT_FALSE(set.IsDirty());
  set.Save(nullptr);
  EXPECT_EQ(Slurp(File("in")), "A=1\n");  // rewritten without an update stamp

  set.Add("A", "2");
  EXPECT_TRUE(set.IsDirty());
  set.Save(nullptr);
  EXPECT_FALSE(set.IsDirty());
  EXPECT_EQ(WithTimesMarked(Slurp(File("in"))), "A=2\nUPDATED_TIME=<time>\n");

  KeyValueStore empty;
  set.Add(empty);
  EXPECT_FALSE(set.IsDirty());
  KeyValueStore other;
  other.Add("A", "2");  // equal value still counts as copied
  set.Add(other);
  EXPECT_TRUE(set.IsDirty());

  set.Save(nullptr);
  set.Clear();
  EXPECT_TRUE(set.IsDirty());
  EXPECT_EQ(set["A"], nullptr);
  EXPECT_EQ(set.Path(), File("in"));
}

TEST_F(AttributeFileTest, AddOfAnotherSetReplacesEqualKeys) {
  KeyValueStore set;
  set.Add("A", "mine");
  set.Add("B", "mine");
  KeyValueStore other;
  other.Add("B", "theirs");
  other.Add("C", "theirs");
  EXPECT_TRUE(set.Add(other));
  EXPECT_STREQ(set["A"], "mine");
  EXPECT_STREQ(set["B"], "theirs");
  EXPECT_STREQ(set["C"], "theirs");
}

struct RefusedEntry {
  const char* name;
  const char* key;
  const char* value;
};

void PrintTo(const RefusedEntry& c, std::ostream* os) { *os << c.name; }

const std::vector<RefusedEntry> kRefusedEntries = {
    {"ValueWithLineFeed", "LATEST_TRANSFER", "900.bird\nLATEST_DOWNLOAD=1.bird"},
    {"ValueWithCarriageReturn", "LATEST_TRANSFER", "900.bird\r"},
    {"NullValue", "LATEST_TRANSFER", nullptr},
    {"KeyWithLineFeed", "A\nLATEST_DOWNLOAD", "1.bird"},
    {"KeyWithCarriageReturn", "A\r", "1"},
    {"KeyWithEqualsSign", "LATEST_DOWNLOAD=1.bird\nX", "1"},
    {"KeyWithEqualsSignOnly", "A=B", "1"},
    {"EmptyKey", "", "1"},
    {"KeyBeginningWithWhiteSpace", " A", "1"},
    {"KeyEndingWithWhiteSpace", "A\t", "1"},
    {"KeyReadAsComment", "#A", "1"},
    {"NullKey", nullptr, "1"},
};

class AttributeRefusalTest : public AttributeFileTest,
                             public ::testing::WithParamInterface<RefusedEntry> {};

TEST_P(AttributeRefusalTest, EntryThatWouldNotReadBackIsRefused) {
  WriteBytes(File("in"), "LATEST_DOWNLOAD=900.bird\n");
  KeyValueStore set(File("in").c_str());

  EXPECT_FALSE(set.Add(GetParam().key, GetParam().value));
  EXPECT_FALSE(set.IsDirty());
  if (GetParam().value) {
    EXPECT_FALSE(set.Add(GetParam().key, std::string(GetParam().value)));
    EXPECT_FALSE(set.IsDirty());
  }
  set.Save(nullptr);
  EXPECT_EQ(Slurp(File("in")), "LATEST_DOWNLOAD=900.bird\n");
  EXPECT_NE(Logged().find("Attibutes: Error - refused"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Entries, AttributeRefusalTest, ::testing::ValuesIn(kRefusedEntries),
                         [](const ::testing::TestParamInfo<RefusedEntry>& param) {
                           return std::string(param.param.name);
                         });

TEST_F(AttributeFileTest, RefusedKeysAreNeitherSetByNumberSettersNorInsertedByGetters) {
  KeyValueStore set;
  EXPECT_FALSE(set.Add("A\nB", 7));
  EXPECT_FALSE(set.Add("A=B", 1.5));
  EXPECT_FALSE(set.AddHex("", 1));
  EXPECT_EQ(set.GetInt("A\nB", 5), 5);
  EXPECT_EQ(set.GetHex(nullptr, 6), 6u);
  EXPECT_FALSE(set.IsDirty());
  set.Save(File("out").c_str());
  EXPECT_EQ(Slurp(File("out")), "");
}

TEST_F(AttributeFileTest, SaveWithoutAnyPathWritesTheDefaultFileInTheWorkingDirectory) {
  char previous[PATH_MAX];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  KeyValueStore set;
  set.Add("A", "1");
  set.Save(nullptr);
  const std::string content = Slurp(File(".settings"));
  ASSERT_EQ(chdir(previous), 0);

  EXPECT_EQ(WithTimesMarked(content), "A=1\nUPDATED_TIME=<time>\n");
  EXPECT_EQ(set.Path(), ".settings");
  EXPECT_EQ(Logged(), "Attibutes: no filename given for attributes, using default:[.settings]\n");
}

TEST_F(AttributeFileTest, SaveThatCannotCreateItsFileKeepsTheSetChanged) {
  KeyValueStore set;
  set.Add("A", "1");
  const std::string path = File("absent/.settings");
  set.Save(path.c_str());
  EXPECT_TRUE(set.IsDirty());
  EXPECT_EQ(set.Path(), path);
  EXPECT_EQ(Logged(),
            "Attibutes: Error - cannot open attributes file for writting: '" + path + "' (2)\n");

  ASSERT_EQ(mkdir(File("absent").c_str(), 0755), 0);
  set.Save(nullptr);
  EXPECT_FALSE(set.IsDirty());
  EXPECT_NE(Slurp(path).find("A=1\nUPDATED_TIME="), std::string::npos);
}

TEST_F(AttributeFileTest, SaveIntoReadOnlyDirectoryKeepsTheOldFile) {
  if (geteuid() == 0)
    GTEST_SKIP()
        << "running as root, where a directory without write permission can still be written";
  const std::string path = File("module/.settings");
  ASSERT_EQ(mkdir(File("module").c_str(), 0755), 0);
  WriteBytes(path, "A=1\n");
  KeyValueStore set(path.c_str());
  set.Add("A", "2");
  ASSERT_EQ(chmod(File("module").c_str(), 0555), 0);
  set.Save(nullptr);
  ASSERT_EQ(chmod(File("module").c_str(), 0755), 0);

  EXPECT_TRUE(set.IsDirty());
  EXPECT_EQ(Slurp(path), "A=1\n");
}

TEST_F(AttributeFileTest, SaveThatFailsToWriteKeepsTheOldFileWholeAndTheSetChanged) {
  const std::string path = File(".settings");
  const std::string old = "CREATED_TIME=Mon Jan  1 00:00:00 2024\nLATEST_DOWNLOAD=900.bird\n";
  WriteBytes(path, old);
  KeyValueStore set(path.c_str());
  set.Add("LATEST_TRANSFER", "901.bird");
  {
    FileSizeLimit limit(kTinyFileLimit);
    ASSERT_TRUE(limit.set());
    set.Save(nullptr);
  }
  EXPECT_TRUE(set.IsDirty());
  EXPECT_EQ(Slurp(path), old);
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{".settings"});
  EXPECT_NE(Logged().find("Attibutes: Error - cannot write attributes file: '" + path + "' (" +
                          std::to_string(EFBIG) + ")\n"),
            std::string::npos)
      << Logged();

  // Still changed, so the next save that succeeds writes everything, stamped.
  set.Save(nullptr);
  EXPECT_FALSE(set.IsDirty());
  EXPECT_NE(Slurp(path).find("LATEST_TRANSFER=901.bird\nUPDATED_TIME="), std::string::npos);
}

TEST_F(AttributeFileTest, SaveKeepsTheFilePermissions) {
  const std::string path = File(".settings");
  WriteBytes(path, "A=1\n");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  KeyValueStore set(path.c_str());
  set.Add("A", "2");
  set.Save(nullptr);
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(AttributeFileTest, SaveOverASymbolicLinkReplacesTheLinkAndLeavesItsTarget) {
  TempDir outside;
  const std::string real = outside.file("elsewhere");
  const std::string link = File(".settings");
  WriteBytes(real, "A=1\n");
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  KeyValueStore set(link.c_str());
  EXPECT_STREQ(set["A"], "1");  // read through the link
  set.Add("A", "2");
  set.Save(nullptr);

  struct stat info;
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_NE(Slurp(link).find("A=2\n"), std::string::npos);
  EXPECT_EQ(Slurp(real), "A=1\n");
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{".settings"});
}

TEST_F(AttributeFileTest, AFifoIsRefusedWithoutWaitingAndNeverReplaced) {
  const std::string path = File(".settings");
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);

  KeyValueStore set(path.c_str());
  EXPECT_EQ(set["CREATED_TIME"], nullptr);
  set.Add("LATEST_DOWNLOAD", "900.bird");
  set.Save(nullptr);

  EXPECT_TRUE(set.IsDirty());
  struct stat info;
  ASSERT_EQ(lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_NE(Logged().find("Refused " + path + ": not a regular file\n"), std::string::npos)
      << Logged();
}

TEST_F(AttributeFileTest, CopiesAreIndependentAndDestructionDoesNotSave) {
  WriteBytes(File("a"), "A=1\n");
  KeyValueStore original(File("a").c_str());
  KeyValueStore copy = original;
  copy.Add("A", "changed");
  EXPECT_STREQ(original["A"], "1");
  EXPECT_FALSE(original.IsDirty());
  copy.Save(File("b").c_str());
  EXPECT_EQ(original.Path(), File("a"));

  {
    KeyValueStore discarded(File("a").c_str());
    discarded.Add("A", "lost");
  }
  EXPECT_EQ(Slurp(File("a")), "A=1\n");
}

TEST_F(AttributeFileTest, LocalTimeTextMatchesTheConventionalTimeText) {
  const time_t before = time(nullptr);
  const std::string text = KeyValueStore::LocalTimeText();
  const time_t after = time(nullptr);
  EXPECT_TRUE(IsTimeText(text)) << text;
  EXPECT_TRUE(text == CTimeText(before) || text == CTimeText(after)) << text;
}

}  // namespace
