// The per-module store: its root and module directories, the search by exact serial name,
// the listing of stored builds, and writing and reading firmware files.
#include "Log.h"
#include "UpdaterStore.h"
#include "store_test_support.h"
#include "support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

// The message of the runtime_error that body throws; empty when it throws none.
template <typename Body>
std::string ThrownText(Body body) {
  try {
    body();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return std::string();
}

const char* const kFreshSettings = "CREATED_TIME=<time>\nUPDATED_TIME=<time>\n";

// A minimal BIRD file: header, then a zlib stream holding one stored (uncompressed) deflate
// block with a block count of 1, one firmware block at 0x1000 with a 4-byte payload, and a
// checksum word.
std::string MinimalBirdFile() {
  const std::string inflated = std::string("\x00\x00\x00\x01", 4) +           // block count
                               std::string("\x01\x00\x00\x00\x08", 5) +       // firmware, length 8
                               std::string("\x00\x00\x10\x00", 4) + "DATA" +  // address, payload
                               std::string("\x12\x34\x56\x78", 4);            // checksum word
  uint32_t a = 1;
  uint32_t b = 0;
  for (unsigned char c : inflated) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  const uint32_t adler = (b << 16) | a;
  const uint16_t length = static_cast<uint16_t>(inflated.size());
  std::string stream = "\x78\x01";
  stream += '\x01';  // final block, stored
  stream += static_cast<char>(length & 0xFF);
  stream += static_cast<char>(length >> 8);
  stream += static_cast<char>(~length & 0xFF);
  stream += static_cast<char>((~length >> 8) & 0xFF);
  stream += inflated;
  for (int shift = 24; shift >= 0; shift -= 8) stream += static_cast<char>((adler >> shift) & 0xFF);
  return std::string("bird\x01\x01", 6) + stream;
}

constexpr unsigned int kSerial = 0x1234ABCD;
const char* const kSerialText = "1234ABCD";

// Every test runs with the store's and the attribute file's log captured.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { base = dir.file("updater"); }
  std::string Logged() { return log.Logged(); }
  // Creates entries below a directory: names ending in "/" become directories, the others
  // files holding "x".
  static void Populate(const std::string& directory, const std::vector<std::string>& entries) {
    for (const std::string& entry : entries) {
      if (!entry.empty() && entry.back() == '/')
        ASSERT_EQ(mkdir((directory + "/" + entry).c_str(), 0755), 0) << entry;
      else
        WriteBytes(directory + "/" + entry, "x");
    }
  }
  std::string Module(const char* name = kSerialText) const { return base + "/" + name; }

  TempDir dir;
  std::string base;
  LogCapture log{DEBUG_Updater | DEBUG_Attributes};
};

TEST_F(StoreTest, RootIsCreatedWithItsParentsAndThenFoundExisting) {
  const std::string deep = dir.file("a/b/updater");
  {
    UpdaterStore store(deep.c_str());
    EXPECT_STREQ(store.BasePath(), deep.c_str());
  }
  ASSERT_TRUE(IsDirectory(deep));
  struct stat info;
  ASSERT_EQ(stat(deep.c_str(), &info), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(info.st_mode & 0777, 0755u & ~mask);

  UpdaterStore again(deep.c_str());
  EXPECT_EQ(Logged(), "UpdaterStore: Created directory [" + deep + "].\n" + "UpdaterStore: [" +
                          deep + "] already exists.\n");
}

struct RootFailure {
  const char* name;
  std::string root;      // below the temp directory
  std::string expected;  // the exception's text, with @ for the root's full path
};

void PrintTo(const RootFailure& c, std::ostream* os) { *os << c.name; }

class StoreRootFailureTest : public StoreTest, public ::testing::WithParamInterface<RootFailure> {};

TEST_P(StoreRootFailureTest, RootThatCannotBeADirectoryThrows) {
  WriteBytes(dir.file("plain"), "x");
  const std::string root = dir.file(GetParam().root);
  std::string expected = GetParam().expected;
  expected.replace(expected.find('@'), 1, root);
  EXPECT_EQ(ThrownText([&] { UpdaterStore store(root.c_str()); }), expected);
  EXPECT_EQ(Slurp(dir.file("plain")), "x");
}

INSTANTIATE_TEST_SUITE_P(
    Roots, StoreRootFailureTest,
    ::testing::Values(RootFailure{"RootIsAFile", "plain", "UpdaterStore: @ exists and is a file"},
                      RootFailure{"ParentIsAFile", "plain/updater",
                                  "UpdaterStore: Could not create directory @ error 12"}),
    [](const ::testing::TestParamInfo<RootFailure>& param) {
      return std::string(param.param.name);
    });

TEST_F(StoreTest, AddDeviceCreatesTheModuleDirectoryWithAFreshAttributeFile) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem item = store.AddDevice(0x0000ABCDu);

  EXPECT_TRUE(IsDirectory(Module("0000ABCD")));
  EXPECT_EQ(WithTimesMarked(Slurp(Module("0000ABCD") + "/.settings")), kFreshSettings);
  EXPECT_EQ(item.directory, base);
  EXPECT_EQ(item.name, "0000ABCD");
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(item.IsValid());
  EXPECT_NE(item.attributes["CREATED_TIME"], nullptr);
  EXPECT_EQ(item.attributes.Path(), Module("0000ABCD") + "/.settings");
  EXPECT_FALSE(item.attributes.IsDirty());
}

TEST_F(StoreTest, AddDeviceOfAKnownModuleKeepsItsAttributes) {
  UpdaterStore store(base.c_str());
  ASSERT_EQ(mkdir(Module().c_str(), 0755), 0);
  WriteBytes(Module() + "/.settings", "LATEST_DOWNLOAD=900.bird\n");

  UpdaterStoreItem item = store.AddDevice(kSerial);
  EXPECT_EQ(item.attributes.GetString("LATEST_DOWNLOAD", nullptr), "900.bird");
  EXPECT_EQ(Slurp(Module() + "/.settings"), "LATEST_DOWNLOAD=900.bird\n");
}

TEST_F(StoreTest, AddDeviceWhoseDirectoryIsAFileThrows) {
  UpdaterStore store(base.c_str());
  WriteBytes(Module(), "x");
  EXPECT_EQ(ThrownText([&] { store.AddDevice(kSerial); }),
            "UpdaterStore: " + Module() + " exists and is a file");
}

TEST_F(StoreTest, AddDeviceRefusesNamesThatLeaveTheStore) {
  UpdaterStore store(base.c_str());
  for (const char* name : {"", ".", "..", "../escape", "a/b", static_cast<const char*>(nullptr)}) {
    EXPECT_NE(ThrownText([&] {
                store.AddDevice(name);
              }).find("UpdaterStore: invalid module directory name"),
              std::string::npos)
        << (name ? name : "(null)");
  }
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"updater"});
  EXPECT_TRUE(Names(base).empty());
}

struct SearchCase {
  const char* name;
  std::vector<std::string> entries;  // in the root; "/" at the end makes a directory
  bool found;
  store_item_t kind;  // of the match
};

void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.name; }

const std::vector<SearchCase> kSearchCases = {
    {"EmptyStore", {}, false, STORE_ITEM_UNSET},
    {"SuffixedDirectoryIsAnotherModule", {"1234ABCD-old/"}, false, STORE_ITEM_UNSET},
    {"PrefixedDirectoryIsAnotherModule", {"X1234ABCD/", "01234ABCD/"}, false, STORE_ITEM_UNSET},
    {"LowerCaseIsAnotherName", {"1234abcd/"}, false, STORE_ITEM_UNSET},
    {"ExactDirectoryAmongSimilarOnes",
     {"1234ABCD-old/", "1234ABCD/", "X1234ABCD/"},
     true,
     STORE_ITEM_DIRECTORY},
    {"ExactFileIsTakenAsAFile", {"1234ABCD"}, true, STORE_ITEM_FILE},
};

class StoreSearchTest : public StoreTest, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(StoreSearchTest, OnlyTheExactSerialNameMatches) {
  UpdaterStore store(base.c_str());
  Populate(base, GetParam().entries);

  UpdaterStoreItem item;
  EXPECT_EQ(store.FindDevice(kSerial, &item), GetParam().found);
  EXPECT_EQ(store.FindDevice(kSerial, nullptr), GetParam().found);
  if (GetParam().found) {
    EXPECT_EQ(item.directory, base);
    EXPECT_EQ(item.name, kSerialText);
    EXPECT_EQ(item.kind, GetParam().kind);
  } else {
    EXPECT_FALSE(item.IsValid());
    EXPECT_EQ(item.kind, STORE_ITEM_UNSET);
  }
  // No other module directory was opened as an item.
  for (const std::string& entry : GetParam().entries) {
    if (entry.back() == '/' && entry != std::string(kSerialText) + "/") {
      EXPECT_FALSE(Exists(base + "/" + entry + ".settings")) << entry;
    }
  }
  const std::string outcome = GetParam().found ? "Found" : "Not Found";
  EXPECT_NE(Logged().find("UpdaterStore: FindDevice " + outcome + " 1234ABCD.\n"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Entries, StoreSearchTest, ::testing::ValuesIn(kSearchCases),
                         [](const ::testing::TestParamInfo<SearchCase>& param) {
                           return std::string(param.param.name);
                         });

TEST_F(StoreTest, RootWhosePathHoldsTheSerialMatchesOnlyTheModuleItself) {
  const std::string root = dir.file("1234ABCD");
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  const std::string store_base = root + "/updater";
  UpdaterStore store(store_base.c_str());
  Populate(store_base, {"00000001/"});

  EXPECT_FALSE(store.FindDevice(kSerial, nullptr));
  store.AddDevice(kSerial);
  UpdaterStoreItem item;
  ASSERT_TRUE(store.FindDevice(kSerial, &item));
  EXPECT_EQ(item.name, kSerialText);
}

TEST_F(StoreTest, SearchWithoutAnItemCreatesNothing) {
  UpdaterStore store(base.c_str());
  Populate(base, {"1234ABCD/"});
  EXPECT_TRUE(store.FindDevice(kSerialText, nullptr));
  EXPECT_TRUE(Names(Module()).empty());
}

TEST_F(StoreTest, FoundModuleComesWithItsAttributesAndGetsAFileWhenItHasNone) {
  UpdaterStore store(base.c_str());
  Populate(base, {"1234ABCD/", "00000001/"});
  WriteBytes(Module() + "/.settings", "LATEST_DOWNLOAD=900.bird\n");

  UpdaterStoreItem item;
  ASSERT_TRUE(store.FindDevice(kSerial, &item));
  EXPECT_EQ(item.attributes.GetString("LATEST_DOWNLOAD", nullptr), "900.bird");
  EXPECT_EQ(item.attributes.GetInt("LATEST_DOWNLOAD", 0), 900);

  UpdaterStoreItem other;
  ASSERT_TRUE(store.FindDevice(1u, &other));
  EXPECT_EQ(WithTimesMarked(Slurp(Module("00000001") + "/.settings")), kFreshSettings);
}

TEST_F(StoreTest, FoundModuleReplacesWhatTheItemHeldBefore) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem item = store.AddDevice(1u);
  item.attributes.Add("LATEST_TRANSFER", "7.bird");
  store.AddDevice(2u);

  ASSERT_TRUE(store.FindDevice(2u, &item));
  EXPECT_EQ(item.name, "00000002");
  EXPECT_EQ(item.attributes["LATEST_TRANSFER"], nullptr);
  item.attributes.Add("LATEST_DOWNLOAD", "8.bird");
  item.attributes.Save(nullptr);
  const std::string saved = Slurp(Module("00000002") + "/.settings");
  EXPECT_EQ(saved.find("LATEST_TRANSFER"), std::string::npos);
  EXPECT_NE(saved.find("LATEST_DOWNLOAD=8.bird\n"), std::string::npos);

  // A search that finds nothing leaves the item as it was.
  EXPECT_FALSE(store.FindDevice(3u, &item));
  EXPECT_EQ(item.name, "00000002");
}

TEST_F(StoreTest, LocalBuildsOfAnUnknownModuleLeaveTheListAsItWas) {
  UpdaterStore store(base.c_str());
  std::vector<UpdaterStoreItem> items(1);
  EXPECT_TRUE(store.FindLocalBuilds(kSerial, items));
  EXPECT_EQ(items.size(), 1u);
}

TEST_F(StoreTest, LocalBuildsListVisibleEntriesAndCreateNoAttributeFiles) {
  UpdaterStore store(base.c_str());
  store.AddDevice(kSerial);
  Populate(Module(), {"900.bird", "notes.txt", "subdir/", "kept/", ".900.bird.77.tmp", ".hidden/"});
  WriteBytes(Module() + "/kept/.settings", "NOTE=kept\n");

  std::vector<UpdaterStoreItem> items(1);
  const size_t logBefore = Logged().size();
  EXPECT_TRUE(store.FindLocalBuilds(kSerial, items));
  const std::string listingLog = Logged().substr(logBefore);

  ASSERT_EQ(items.size(), 5u);
  std::map<std::string, const UpdaterStoreItem*> byName;
  for (size_t i = 1; i < items.size(); ++i) {
    EXPECT_EQ(items[i].directory, Module());
    byName[items[i].name] = &items[i];
  }
  ASSERT_EQ(byName.size(), 4u);
  EXPECT_EQ(byName.count("900.bird"), 1u);
  EXPECT_EQ(byName.count("notes.txt"), 1u);
  EXPECT_EQ(byName["900.bird"]->kind, STORE_ITEM_FILE);
  EXPECT_EQ(byName["subdir"]->kind, STORE_ITEM_DIRECTORY);
  EXPECT_EQ(byName["900.bird"]->attributes["CREATED_TIME"], nullptr);
  EXPECT_EQ(byName["subdir"]->attributes["CREATED_TIME"], nullptr);
  EXPECT_EQ(byName["kept"]->attributes.GetString("NOTE", nullptr), "kept");

  EXPECT_TRUE(Names(Module() + "/subdir").empty());
  EXPECT_TRUE(Names(Module() + "/.hidden").empty());
  EXPECT_EQ(Names(Module() + "/kept"), std::set<std::string>{".settings"});
  EXPECT_EQ(listingLog.find("Attibutes:"), std::string::npos) << listingLog;
  EXPECT_NE(listingLog.find("_find_items([" + Module() + "/900.bird], 0, 1)\n"), std::string::npos)
      << listingLog;
}

TEST_F(StoreTest, ItemWithoutDirectoryOrNameLoadsNothing) {
  for (const auto& parts :
       {std::make_pair("", ""), std::make_pair("", "1234ABCD"), std::make_pair("dir", "")}) {
    UpdaterStoreItem item(parts.first, parts.second, STORE_ITEM_DIRECTORY);
    EXPECT_FALSE(item.IsValid());
    EXPECT_EQ(item.attributes.Path(), "") << parts.first << "|" << parts.second;
  }
  EXPECT_EQ(Logged(), "");
}

TEST_F(StoreTest, FileExistsNeedsTheWholeName) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem item = store.AddDevice(kSerial);
  Populate(Module(), {"1900.bird", "900.bird.old"});

  EXPECT_FALSE(item.FileExists("900.bird"));
  Populate(Module(), {"900.bird"});
  EXPECT_TRUE(item.FileExists("900.bird"));
  EXPECT_TRUE(item.FileExists(".settings"));
  EXPECT_FALSE(item.FileExists("900"));
  EXPECT_FALSE(item.FileExists(""));
  EXPECT_FALSE(item.FileExists(nullptr));
  EXPECT_FALSE(UpdaterStoreItem().FileExists("900.bird"));
}

TEST_F(StoreTest, WrittenFileHoldsTheBytesAndReplacesAnOlderOne) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem item = store.AddDevice(kSerial);
  const std::string bytes("\x00\x01\xFFpayload", 10);

  EXPECT_EQ(item.WriteFile("900.bird", reinterpret_cast<const unsigned char*>("old content"), 11),
            aErrNone);
  EXPECT_EQ(item.WriteFile("900.bird", reinterpret_cast<const unsigned char*>(bytes.data()),
                           bytes.size()),
            aErrNone);
  EXPECT_EQ(Slurp(Module() + "/900.bird"), bytes);

  EXPECT_EQ(item.WriteFile("empty.bird", reinterpret_cast<const unsigned char*>(""), 0), aErrNone);
  EXPECT_TRUE(Exists(Module() + "/empty.bird"));
  EXPECT_EQ(Slurp(Module() + "/empty.bird"), "");
  EXPECT_EQ(Names(Module()), (std::set<std::string>{".settings", "900.bird", "empty.bird"}));
}

TEST_F(StoreTest, WriteThatCannotStartGivesItsCodeAndCreatesNothing) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem item = store.AddDevice(kSerial);
  WriteBytes(Module("ABCDEF01"), "a file in the root");
  UpdaterStoreItem fileItem;
  ASSERT_TRUE(store.FindDevice("ABCDEF01", &fileItem));
  ASSERT_EQ(fileItem.kind, STORE_ITEM_FILE);
  const auto* data = reinterpret_cast<const unsigned char*>("x");

  struct Refusal {
    const char* what;
    aErr expected;
    aErr got;
  };
  const Refusal refusals[] = {
      {"null data", aErrNotFound, item.WriteFile("900.bird", nullptr, 1)},
      {"item without a directory", aErrNotFound, UpdaterStoreItem().WriteFile("900.bird", data, 1)},
      {"item that is a file", aErrNotFound, fileItem.WriteFile("900.bird", data, 1)},
      {"empty name", aErrParam, item.WriteFile("", data, 1)},
      {"null name", aErrParam, item.WriteFile(nullptr, data, 1)},
      {"parent directory", aErrParam, item.WriteFile("..", data, 1)},
      {"path outside", aErrParam, item.WriteFile("../../escape.bird", data, 1)},
      {"path inside", aErrParam, item.WriteFile("sub/900.bird", data, 1)},
  };
  for (const Refusal& refusal : refusals) EXPECT_EQ(refusal.got, refusal.expected) << refusal.what;

  EXPECT_EQ(Names(Module()), std::set<std::string>{".settings"});
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"updater"});
  EXPECT_EQ(Slurp(Module("ABCDEF01")), "a file in the root");
}

TEST_F(StoreTest, ShortWriteIsReportedAndTheOlderFileStaysWhole) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem item = store.AddDevice(kSerial);
  const std::string old = "the build stored before";
  WriteBytes(Module() + "/900.bird", old);
  const std::string bytes(4096, 'n');

  aErr result = aErrNone;
  {
    FileSizeLimit limit(kTinyFileLimit);
    ASSERT_TRUE(limit.set());
    result = item.WriteFile("900.bird", reinterpret_cast<const unsigned char*>(bytes.data()),
                            bytes.size());
  }
  EXPECT_EQ(result, aErrIO);
  EXPECT_EQ(Slurp(Module() + "/900.bird"), old);
  EXPECT_EQ(Names(Module()), (std::set<std::string>{".settings", "900.bird"}));
}

TEST_F(StoreTest, StoredFirmwareFileReadsBack) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem item = store.AddDevice(kSerial);
  const std::string bird = MinimalBirdFile();
  ASSERT_EQ(
      item.WriteFile("900.bird", reinterpret_cast<const unsigned char*>(bird.data()), bird.size()),
      aErrNone);

  BirdFile file = item.ReadBirdFile("900.bird");
  EXPECT_EQ(file.path, Module() + "/900.bird");
  EXPECT_EQ(file.blockCount, 1u);
  std::vector<BirdBlock> firmware = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  ASSERT_EQ(firmware.size(), 1u);
  EXPECT_EQ(firmware[0].address, 0x1000u);
  EXPECT_EQ(firmware[0].length, 8u);
}

TEST_F(StoreTest, AFifoStoredAsABuildIsRefusedWithoutWaiting) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem item = store.AddDevice(kSerial);
  const std::string fifo = Module() + "/900.bird";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  EXPECT_EQ(ThrownText([&] { item.ReadBirdFile("900.bird"); }), "Invalid bird " + fifo);
  EXPECT_NE(Logged().find("Refused " + fifo + ": not a regular file\n"), std::string::npos)
      << Logged();
}

TEST_F(StoreTest, LinkedFilesAreReplacedAndLinkedModuleDirectoriesFollowed) {
  TempDir relocated;
  TempDir outside;
  UpdaterStore store(base.c_str());
  ASSERT_EQ(symlink(relocated.path().c_str(), Module().c_str()), 0);
  WriteBytes(outside.file("elsewhere"), "not the store's");
  ASSERT_EQ(symlink(outside.file("elsewhere").c_str(), relocated.file("900.bird").c_str()), 0);

  UpdaterStoreItem item;
  ASSERT_TRUE(store.FindDevice(kSerial, &item));
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  ASSERT_EQ(item.WriteFile("900.bird", reinterpret_cast<const unsigned char*>("new"), 3), aErrNone);

  struct stat info;
  ASSERT_EQ(lstat(Module().c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(lstat(relocated.file("900.bird").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(Slurp(relocated.file("900.bird")), "new");
  EXPECT_EQ(Slurp(outside.file("elsewhere")), "not the store's");
  EXPECT_EQ(Names(relocated.path()), (std::set<std::string>{".settings", "900.bird"}));
}

TEST_F(StoreTest, FirmwareFileThatIsNotBirdThrows) {
  UpdaterStore store(base.c_str());
  UpdaterStoreItem item = store.AddDevice(kSerial);
  WriteBytes(Module() + "/text.bird", "not a firmware file");
  WriteBytes(Module() + "/header.bird", std::string("bird\x01\x01", 6));

  EXPECT_EQ(ThrownText([&] { item.ReadBirdFile("missing.bird"); }),
            "Invalid bird " + Module() + "/missing.bird");
  EXPECT_EQ(ThrownText([&] { item.ReadBirdFile("text.bird"); }),
            "Invalid bird " + Module() + "/text.bird");
  EXPECT_EQ(ThrownText([&] { item.ReadBirdFile("header.bird"); }), "Failed to load bird data");
}

}  // namespace
