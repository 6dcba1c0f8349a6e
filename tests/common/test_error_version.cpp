// Error-code names and descriptions, model names, packed version words and the library's own
// version.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "aDefs.h"
#include "aError.h"
#include "aVersion.h"

namespace {

struct ErrorRow {
  aErr code;
  uint32_t number;
  const char* name;
  const char* description;
};

const ErrorRow kErrorRows[] = {
    {aErrNone, 0, "aErrNone", "Success, no error"},
    {aErrMemory, 1, "aErrMemory", "Memory allocation"},
    {aErrParam, 2, "aErrParam", "Invalid parameter"},
    {aErrNotFound, 3, "aErrNotFound", "Not found"},
    {aErrFileNameLength, 4, "aErrFileNameLength", "File name too long"},
    {aErrBusy, 5, "aErrBusy", "Resource busy"},
    {aErrIO, 6, "aErrIO", "Input/Output error"},
    {aErrMode, 7, "aErrMode", "Invalid Mode"},
    {aErrWrite, 8, "aErrWrite", "Write error"},
    {aErrRead, 9, "aErrRead", "Read error"},
    {aErrEOF, 10, "aErrEOF", "End of file"},
    {aErrNotReady, 11, "aErrNotReady", "Not ready, no bytes available"},
    {aErrPermission, 12, "aErrPermission", "Insufficient permissions"},
    {aErrRange, 13, "aErrRange", "Value out of range"},
    {aErrSize, 14, "aErrSize", "Invalid Size"},
    {aErrOverrun, 15, "aErrOverrun", "Buffer/queue overrun"},
    {aErrParse, 16, "aErrParse", "Parse error"},
    {aErrConfiguration, 17, "aErrConfiguration", "Configuration error"},
    {aErrTimeout, 18, "aErrTimeout", "Timeout occurred"},
    {aErrInitialization, 19, "aErrInitialization", "Initialization error"},
    {aErrVersion, 20, "aErrVersion", "Invalid version"},
    {aErrUnimplemented, 21, "aErrUnimplemented", "Functionality unimplemented"},
    {aErrDuplicate, 22, "aErrDuplicate", "Duplicate request"},
    {aErrCancel, 23, "aErrCancel", "Cancellation occurred, or did not complete"},
    {aErrPacket, 24, "aErrPacket", "Packet byte invalid"},
    {aErrConnection, 25, "aErrConnection", "Connection error"},
    {aErrIndexRange, 26, "aErrIndexRange", "Index out of range"},
    {aErrShortCommand, 27, "aErrShortCommand", "Kolvantis command to short"},
    {aErrInvalidEntity, 28, "aErrInvalidEntity", "Invalid entity error"},
    {aErrInvalidOption, 29, "aErrInvalidOption", "Invalid option code"},
    {aErrResource, 30, "aErrResource", "Resource unavailable"},
    {aErrMedia, 31, "aErrMedia", "Media error"},
    {aErrAsyncReturn, 32, "aErrAsyncReturn", "Asynchronous return error"},
    {aErrStreamStale, 33, "aErrStreamStale", "Stream value is stale"},
    {aErrUnknown, 34, "aErrUnknown", "Unknown error"},
};

TEST(ErrorTable, EveryCodeHasItsNumberNameAndDescription) {
  ASSERT_EQ(sizeof(kErrorRows) / sizeof(kErrorRows[0]), 35u);
  for (const ErrorRow& row : kErrorRows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(static_cast<uint32_t>(row.code), row.number);
    EXPECT_STREQ(aError_GetErrorText(row.number), row.name);
    EXPECT_STREQ(aError_GetErrorDescription(row.number), row.description);
  }
}

TEST(ErrorTable, CodesAboveTheTableReadAsUnknown) {
  const uint32_t outOfRange[] = {35, 36, 100, 255, 256, 0x7FFFFFFFu, 0xFFFFFFFFu};
  for (uint32_t code : outOfRange) {
    SCOPED_TRACE(code);
    EXPECT_STREQ(aError_GetErrorText(code), "aErrUnknown");
    EXPECT_STREQ(aError_GetErrorDescription(code), "Unknown error");
  }
}

TEST(ErrorTable, CodeTypeIsOneByte) { EXPECT_EQ(sizeof(aErr), 1u); }

struct ModelRow {
  uint32_t model;
  const char* name;
};

const ModelRow kModelRows[] = {
    {4, "Alder"},
    {5, "Birch"},
    {13, "Cedar"},
    {14, "Dogwood"},
    {15, "Elmwood"},
    {16, "Firwood"},
    {17, "Ginkgo"},
    {18, "Hazel"},
    {19, "Ironwood"},
    {20, "Juniper"},
    {21, "Kapok"},
    {22, "Larch"},
    {23, "Mahogany"},
    {24, "Nutmeg"},
    {25, "Olivewood"},
    {26, "Quince"},
    {27, "Pinewood"},
    // Numbers without a name, including neighbours of named ones and values whose low byte
    // would name a model.
    {0, "Unknown"},
    {3, "Unknown"},
    {6, "Unknown"},
    {12, "Unknown"},
    {28, "Unknown"},
    {255, "Unknown"},
    {0x104, "Unknown"},
    {0xFFFFFFFFu, "Unknown"},
};

TEST(ModelNames, NamedAndUnnamedModels) {
  for (const ModelRow& row : kModelRows) {
    SCOPED_TRACE(row.model);
    EXPECT_STREQ(aDefs_GetModelName(row.model), row.name);
  }
}

TEST(ModelNames, EveryNumberOutsideTheTableIsUnknown) {
  for (uint32_t model = 0; model < 300; ++model) {
    const bool named = model == 4 || model == 5 || (model >= 13 && model <= 27);
    if (!named) {
      EXPECT_STREQ(aDefs_GetModelName(model), "Unknown") << model;
    }
  }
}

struct PackRow {
  uint8_t major, minor, patch;
  uint32_t word;
  bool legacy;
};

const PackRow kPackRows[] = {
    {2, 14, 7, 0x2E000007u, true},   // last legacy minor of major 2
    {2, 15, 0, 0x2F020F00u, false},  // first new-layout version
    {3, 0, 1, 0x2F030001u, false},
    {1, 20, 5, 0x14000005u, true},  // legacy keeps only the low 4 bits of the minor
    {0, 0, 0, 0x00000000u, true},
    {2, 12, 4, 0x2C000004u, true},
    {1, 255, 255, 0x1F0000FFu, true},
    {255, 255, 255, 0x2FFFFFFFu, false},
};

TEST(VersionPack, WordsAndLayouts) {
  for (const PackRow& row : kPackRows) {
    SCOPED_TRACE(testing::Message()
                 << int(row.major) << "." << int(row.minor) << "." << int(row.patch));
    const uint32_t word = aVersion_Pack(row.major, row.minor, row.patch);
    EXPECT_EQ(word, row.word);
    EXPECT_EQ(aVersion_IsLegacyFormat(word), row.legacy);
  }
}

TEST(VersionPack, NewLayoutRoundTripsExactlyAndLegacyKeepsFourBitsOfMinor) {
  for (int major = 0; major <= 255; ++major) {
    for (int minor = 0; minor <= 255; ++minor) {
      const uint8_t patch = static_cast<uint8_t>(major ^ minor);
      const uint32_t word =
          aVersion_Pack(static_cast<uint8_t>(major), static_cast<uint8_t>(minor), patch);
      const bool newLayout = major > 2 || (major == 2 && minor > 14);
      ASSERT_EQ(aVersion_IsLegacyFormat(word), !newLayout) << major << "." << minor;
      ASSERT_EQ(aVersion_ParseMajor(word), major);
      ASSERT_EQ(aVersion_ParseMinor(word), newLayout ? minor : (minor & 0xF));
      ASSERT_EQ(aVersion_ParsePatch(word), patch);
    }
  }
}

struct LegacyRow {
  uint32_t word;
  bool legacy;
};

const LegacyRow kLegacyRows[] = {
    {0x00000000u, true},  {0x1FFFFFFFu, true},  {0x20000000u, true},  {0x2EFFFFFFu, true},
    {0x2F000000u, false}, {0x2FFFFFFFu, false}, {0x30000000u, false}, {0xFFFFFFFFu, false},
};

TEST(VersionLayout, LegacyBelowTwoFifteen) {
  for (const LegacyRow& row : kLegacyRows) {
    EXPECT_EQ(aVersion_IsLegacyFormat(row.word), row.legacy) << std::hex << row.word;
  }
}

struct ParseRow {
  uint32_t word;
  uint8_t major, minor;
  uint32_t patch;
  const char* text;
};

const ParseRow kParseRows[] = {
    {0x2F020F00u, 2, 15, 0, "2.15.0"},
    {0x2E000007u, 2, 14, 7, "2.14.7"},
    {0x1C123456u, 1, 12, 0x123456u, "1.12.1193046"},  // legacy carries a 24-bit patch
    {0x2C000004u, 2, 12, 4, "2.12.4"},
    {0x2FFFFFFFu, 255, 255, 255, "255.255.255"},
    {0x3F010203u, 1, 2, 3, "1.2.3"},  // not legacy, so read in the new layout
    {0x00000000u, 0, 0, 0, "0.0.0"},
};

TEST(VersionParse, FieldsAndText) {
  for (const ParseRow& row : kParseRows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(aVersion_ParseMajor(row.word), row.major);
    EXPECT_EQ(aVersion_ParseMinor(row.word), row.minor);
    EXPECT_EQ(aVersion_ParsePatch(row.word), row.patch);
    char buffer[32];
    aVersion_ParseString(row.word, buffer, sizeof(buffer));
    EXPECT_STREQ(buffer, row.text);
  }
}

TEST(VersionParse, TextIsCutToTheBuffer) {
  struct Row {
    size_t size;
    const char* text;
  };
  const Row rows[] = {{1, ""}, {2, "2"}, {4, "2.1"}, {6, "2.15."}, {7, "2.15.0"}, {8, "2.15.0"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.size);
    char buffer[16];
    std::memset(buffer, 'x', sizeof(buffer));
    aVersion_ParseString(0x2F020F00u, buffer, row.size);
    EXPECT_STREQ(buffer, row.text);
    for (size_t i = row.size; i < sizeof(buffer); ++i) EXPECT_EQ(buffer[i], 'x') << i;
  }
}

TEST(VersionParse, EmptyOrMissingBufferIsLeftAlone) {
  char buffer[4] = {'x', 'x', 'x', 'x'};
  aVersion_ParseString(0x2F020F00u, buffer, 0);
  EXPECT_EQ(buffer[0], 'x');
  aVersion_ParseString(0x2F020F00u, nullptr, 16);
}

struct CompareRow {
  uint8_t a, b, c, d, e, f;
  bool atLeast;
};

const CompareRow kCompareRows[] = {
    {2, 12, 4, 2, 12, 4, true},           {2, 12, 4, 2, 12, 5, false},
    {3, 0, 0, 2, 255, 255, true},         {2, 10, 4, 2, 10, 4, true},
    {2, 9, 255, 2, 10, 4, false},         {2, 11, 0, 2, 10, 4, true},
    {1, 255, 255, 2, 0, 0, false},        {0, 0, 0, 0, 0, 0, true},
    {255, 255, 255, 255, 255, 255, true}, {2, 12, 3, 2, 12, 4, false},
};

TEST(VersionCompare, MajorThenMinorThenPatch) {
  for (const CompareRow& row : kCompareRows) {
    SCOPED_TRACE(testing::Message()
                 << int(row.a) << "." << int(row.b) << "." << int(row.c) << " vs " << int(row.d)
                 << "." << int(row.e) << "." << int(row.f));
    EXPECT_EQ(aVersion_IsAtLeastCompare(row.a, row.b, row.c, row.d, row.e, row.f), row.atLeast);
  }
}

TEST(LibraryVersion, NumbersAndText) {
  EXPECT_EQ(aVersion_GetMajor(), 2);
  EXPECT_EQ(aVersion_GetMinor(), 12);
  EXPECT_EQ(aVersion_GetPatch(), 4);
  EXPECT_STREQ(aVERSION_PHASE, ".");
  const char* first = aVersion_GetString();
  EXPECT_STREQ(first, "2.12.4");
  EXPECT_EQ(aVersion_GetString(), first);
}

TEST(LibraryVersion, IsAtLeast) {
  struct Row {
    uint8_t major, minor, patch;
    bool atLeast;
  };
  const Row rows[] = {{2, 12, 4, true},    {2, 12, 5, false}, {2, 12, 3, true}, {2, 13, 0, false},
                      {1, 255, 255, true}, {3, 0, 0, false},  {0, 0, 0, true}};
  for (const Row& row : rows) {
    EXPECT_EQ(aVersion_IsAtLeast(row.major, row.minor, row.patch), row.atLeast)
        << int(row.major) << "." << int(row.minor) << "." << int(row.patch);
  }
}

TEST(LibraryVersion, ManyThreadsAskingAtOnceAllGetTheSameText) {
  constexpr int kThreads = 32;
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<const char*> pointers(kThreads, nullptr);
  std::vector<std::string> texts(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      pointers[i] = aVersion_GetString();
      texts[i] = pointers[i];
    });
  }
  while (ready.load() < kThreads) std::this_thread::yield();
  go.store(true);
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(texts[i], "2.12.4") << i;
    EXPECT_EQ(pointers[i], pointers[0]) << i;
  }
}

TEST(Features, HasFeatureMatchesNamesExactly) {
  struct Row {
    const char* name;
    bool has;
  };
  const Row rows[] = {{"VERSION", true}, {"version", false}, {"VERSIONS", false},
                      {"VERS", false},   {"", false},        {nullptr, false}};
  for (const Row& row : rows) {
    EXPECT_EQ(aVersion_HasFeature(row.name), row.has) << (row.name ? row.name : "(null)");
  }
  ASSERT_EQ(NUM_FEATS, 1);
  EXPECT_STREQ(FEATS[0].name, "VERSION");
  EXPECT_STREQ(FEATS[0].description, "Version Query API");
}

TEST(Features, ListTextAndDestroy) {
  char* list = aVersion_GetFeatureList();
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "VERSION - Version Query API");
  aVersion_DestroyFeatureList(&list);
  EXPECT_EQ(list, nullptr);
  aVersion_DestroyFeatureList(&list);  // already freed: nothing happens
  aVersion_DestroyFeatureList(nullptr);
}

}  // namespace
