// File handles: open modes, reading, writing, seeking, lines and deletion.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "aFile.h"

#include "support.h"

namespace {

// A fresh directory under the system's temp area, removed with everything in it.
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = tmp_.path(); }
  TempDir tmp_;  // removed with everything in it

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string MakeFile(const std::string& name, const std::string& content) const {
    const std::string path = Path(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

  std::string dir_;
};

const uint8_t* Bytes(const char* text) { return reinterpret_cast<const uint8_t*>(text); }

TEST_F(FileTest, ExistsOnlyForNonDirectoryEntries) {
  const std::string file = MakeFile("plain", "x");
  EXPECT_TRUE(aFile_Exists(file.c_str()));
  EXPECT_FALSE(aFile_Exists(dir_.c_str()));
  EXPECT_FALSE(aFile_Exists(Path("missing").c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
  EXPECT_FALSE(aFile_Exists(std::string(aFILE_MAXPATH + 1, 'a').c_str()));
}

struct RefusedOpen {
  const char* label;
  std::string path;  // "@" stands for an existing file in the temp directory
  uint32_t mode;
};

TEST_F(FileTest, OpenRefusesBadArguments) {
  const std::string existing = MakeFile("data", "abc");
  const RefusedOpen cases[] = {
      {"empty path", "", aFileModeRead},
      {"path too long", std::string(aFILE_MAXPATH + 1, 'p'), aFileModeWrite},
      {"mode 3", "@", 3},
      {"mode 99", "@", 99},
      {"missing file for reading", Path("missing"), aFileModeRead},
      {"missing directory for writing", Path("no/such/file"), aFileModeWrite},
  };
  for (const RefusedOpen& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string path = c.path == "@" ? existing : c.path;
    EXPECT_EQ(aFile_Open(path.c_str(), c.mode), nullptr);
  }
  EXPECT_EQ(aFile_Open(nullptr, aFileModeRead), nullptr);
  EXPECT_EQ(Slurp(existing), "abc");
}

struct ModeCase {
  const char* label;
  uint32_t mode;
  aErr read;
  aErr write;
  const char* contentAfter;  // file content after writing "XY" into a file holding "abc"
};

TEST_F(FileTest, ModesAllowReadingAndWritingAsOpened) {
  const ModeCase cases[] = {
      {"read", aFileModeRead, aErrNone, aErrMode, "abc"},
      {"write truncates", aFileModeWrite, aErrMode, aErrNone, "XY"},
      {"append", aFileModeAppend, aErrEOF, aErrNone, "abcXY"},
  };
  for (const ModeCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string path = MakeFile("mode", "abc");
    aFile* file = aFile_Open(path.c_str(), c.mode);
    ASSERT_TRUE(aVALIDFILE(file));
    EXPECT_EQ(file->mode, c.mode);

    uint8_t buffer[8] = {};
    size_t count = 99;
    // An append handle starts at the end, so it reads nothing yet.
    EXPECT_EQ(aFile_Read(file, buffer, 1, &count), c.read);
    EXPECT_EQ(count, c.read == aErrNone ? 1u : 0u);
    EXPECT_EQ(aFile_Write(file, Bytes("XY"), 2, &count), c.write);
    EXPECT_EQ(count, c.write == aErrNone ? 2u : 0u);
    EXPECT_EQ(aFile_Printf(file, "%d", 7), c.write == aErrNone ? aErrNone : aErrMode);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(file, nullptr);
    const std::string printed = c.write == aErrNone ? "7" : "";
    EXPECT_EQ(Slurp(path), c.contentAfter + printed);
  }
}

TEST_F(FileTest, AppendHandleReadsBackAfterSeeking) {
  const std::string path = MakeFile("log", "abc");
  aFile* file = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(file, nullptr);
  int64_t position = -1;
  EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
  EXPECT_EQ(position, 3);
  ASSERT_EQ(aFile_Write(file, Bytes("def"), 3, nullptr), aErrNone);
  ASSERT_EQ(aFile_Seek(file, 0, aSeekStart), aErrNone);
  uint8_t buffer[16] = {};
  size_t count = 0;
  EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "abcdef");
  EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST_F(FileTest, ReadAtEndOfFile) {
  const std::string path = MakeFile("two", "ab");
  aFile* file = aFile_Open(path.c_str(), aFileModeRead);
  ASSERT_NE(file, nullptr);
  uint8_t buffer[4] = {};
  size_t count = 0;
  EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrNone);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(aFile_Read(file, buffer, 0, &count), aErrNone);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Read(file, buffer, 1, &count), aErrEOF);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Read(file, buffer, 1, nullptr), aErrEOF);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST_F(FileTest, OperationsRefuseInvalidHandlesAndNullArguments) {
  aFile forged = {nullptr, aFileModeAppend, 0};  // check word missing
  uint8_t buffer[4] = {};
  char line[8] = "x";
  size_t count = 0;
  size_t size = 0;
  int64_t position = 0;
  for (aFile* file : {static_cast<aFile*>(nullptr), &forged}) {
    EXPECT_EQ(aFile_Read(file, buffer, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Write(file, buffer, 1, &count), aErrParam);
    EXPECT_EQ(aFile_Seek(file, 0, aSeekStart), aErrParam);
    EXPECT_EQ(aFile_GetSize(file, &size), aErrParam);
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrParam);
    EXPECT_EQ(aFile_ReadLine(file, line, sizeof line, &count), aErrParam);
    EXPECT_EQ(aFile_SetUnbuffered(file), aErrParam);
    EXPECT_EQ(aFile_Printf(file, "x"), aErrParam);
  }

  aFile* file = aFile_Open(MakeFile("f", "").c_str(), aFileModeAppend);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_Read(file, nullptr, 1, &count), aErrParam);
  EXPECT_EQ(aFile_Write(file, nullptr, 1, &count), aErrParam);
  EXPECT_EQ(aFile_GetSize(file, nullptr), aErrParam);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST_F(FileTest, CloseClearsTheCallersPointer) {
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);
  aFile* none = nullptr;
  EXPECT_EQ(aFile_Close(&none), aErrParam);

  // An invalid record is not freed (it lives on the stack here) but the pointer is cleared.
  aFile forged = {nullptr, aFileModeRead, 0x1234};
  aFile* pointer = &forged;
  EXPECT_EQ(aFile_Close(&pointer), aErrParam);
  EXPECT_EQ(pointer, nullptr);
  EXPECT_EQ(forged.check, 0x1234u);

  aFile* file = aFile_Open(MakeFile("c", "").c_str(), aFileModeWrite);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_EQ(file, nullptr);
}

TEST_F(FileTest, WritesToAFullDeviceFail) {
  // A write larger than the stream's buffer reaches the device at once.
  const std::vector<uint8_t> big(1 << 20, 'z');
  aFile* file = aFile_Open("/dev/full", aFileModeWrite);
  ASSERT_NE(file, nullptr);
  size_t count = big.size();
  EXPECT_EQ(aFile_Write(file, big.data(), big.size(), &count), aErrIO);
  EXPECT_LT(count, big.size());
  aFile_Close(&file);

  // A small write stays buffered; the loss shows when the handle is closed.
  file = aFile_Open("/dev/full", aFileModeWrite);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_Write(file, Bytes("abc"), 3, &count), aErrNone);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(aFile_Close(&file), aErrIO);
  EXPECT_EQ(file, nullptr);

  file = aFile_Open("/dev/full", aFileModeWrite);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_Printf(file, "%s", std::string(1 << 20, 'p').c_str()), aErrIO);
  aFile_Close(&file);
}

struct SeekCase {
  const char* label;
  int64_t start;  // position before the seek
  int64_t offset;
  int origin;
  aErr result;
  int64_t position;  // position afterwards
};

TEST_F(FileTest, SeekStaysWithinTheFile) {
  const SeekCase cases[] = {
      {"before the start", 0, -1, aSeekStart, aErrRange, 0},
      {"to the end", 0, 0, aSeekEnd, aErrNone, 10},
      {"past the end from the end", 10, 1, aSeekCurrent, aErrRange, 10},
      {"exactly the end", 4, 10, aSeekStart, aErrNone, 10},
      {"one past the end", 4, 11, aSeekStart, aErrRange, 4},
      {"back from the end", 0, -10, aSeekEnd, aErrNone, 0},
      {"below zero from the end", 2, -11, aSeekEnd, aErrRange, 2},
      {"forward from current", 3, 4, aSeekCurrent, aErrNone, 7},
      {"back from current", 3, -3, aSeekCurrent, aErrNone, 0},
      {"unknown origin counts from start", 8, 5, 7, aErrNone, 5},
      {"offset overflow", 5, INT64_MAX, aSeekCurrent, aErrRange, 5},
  };
  const std::string path = MakeFile("ten", "0123456789");
  aFile* file = aFile_Open(path.c_str(), aFileModeRead);
  ASSERT_NE(file, nullptr);
  for (const SeekCase& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_EQ(aFile_Seek(file, c.start, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Seek(file, c.offset, c.origin), c.result);
    int64_t position = -1;
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, c.position);
  }
  aFile_Close(&file);
}

TEST_F(FileTest, GetSizeKeepsThePosition) {
  aFile* file = aFile_Open(MakeFile("s", "0123456789").c_str(), aFileModeRead);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(aFile_Seek(file, 4, aSeekStart), aErrNone);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
  EXPECT_EQ(size, 10u);
  int64_t position = -1;
  EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
  EXPECT_EQ(position, 4);
  // Position 0 is reported as well, and a null pointer is accepted.
  ASSERT_EQ(aFile_Seek(file, 0, aSeekStart), aErrNone);
  EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
  EXPECT_EQ(position, 0);
  EXPECT_EQ(aFile_GetPosition(file, nullptr), aErrNone);
  aFile_Close(&file);

  file = aFile_Open(Path("new").c_str(), aFileModeWrite);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(aFile_Write(file, Bytes("abcde"), 5, nullptr), aErrNone);
  EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
  EXPECT_EQ(size, 5u);
  aFile_Close(&file);
}

struct LineStep {
  aErr result;
  const char* text;
};

struct ReadLineCase {
  const char* label;
  const char* content;
  size_t size;
  std::vector<LineStep> steps;
};

TEST_F(FileTest, ReadLineSplitsLinesAndReportsLongOnes) {
  const ReadLineCase cases[] = {
      {"line fits", "abcd\n", 6, {{aErrNone, "abcd\n"}, {aErrEOF, ""}}},
      {"line too long", "abcdef\n", 6, {{aErrOverrun, "abcde"}, {aErrNone, "f\n"}, {aErrEOF, ""}}},
      {"two lines", "a\nbc\n", 16, {{aErrNone, "a\n"}, {aErrNone, "bc\n"}, {aErrEOF, ""}}},
      {"last line without newline",
       "a\nxy",
       16,
       {{aErrNone, "a\n"}, {aErrNone, "xy"}, {aErrEOF, ""}}},
      {"filled buffer without newline", "abcde", 6, {{aErrOverrun, "abcde"}, {aErrEOF, ""}}},
      {"empty lines", "\n\n", 2, {{aErrNone, "\n"}, {aErrNone, "\n"}, {aErrEOF, ""}}},
      {"smallest buffer", "ab\n", 2, {{aErrOverrun, "a"}, {aErrOverrun, "b"}, {aErrNone, "\n"}}},
      {"empty file", "", 8, {{aErrEOF, ""}}},
  };
  for (const ReadLineCase& c : cases) {
    SCOPED_TRACE(c.label);
    aFile* file = aFile_Open(MakeFile("lines", c.content).c_str(), aFileModeRead);
    ASSERT_NE(file, nullptr);
    for (const LineStep& step : c.steps) {
      std::vector<char> buffer(c.size + 1, '#');
      size_t length = 99;
      EXPECT_EQ(aFile_ReadLine(file, buffer.data(), c.size, &length), step.result);
      EXPECT_STREQ(buffer.data(), step.text);
      EXPECT_EQ(length, strlen(step.text));
      EXPECT_EQ(buffer[c.size], '#');
    }
    aFile_Close(&file);
  }
}

TEST_F(FileTest, ReadLineRefusesUnusableArguments) {
  aFile* file = aFile_Open(MakeFile("l", "abc\n").c_str(), aFileModeRead);
  ASSERT_NE(file, nullptr);
  char buffer[8] = "zzz";
  size_t length = 99;
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, nullptr), aErrParam);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(aFile_ReadLine(file, nullptr, sizeof buffer, &length), aErrParam);
  EXPECT_EQ(length, 0u);
  buffer[0] = 'z';
  EXPECT_EQ(aFile_ReadLine(file, buffer, 1, &length), aErrParam);
  EXPECT_EQ(buffer[0], '\0');
  buffer[0] = 'z';
  EXPECT_EQ(aFile_ReadLine(file, buffer, 0, &length), aErrParam);
  EXPECT_EQ(buffer[0], 'z');
  // Nothing was consumed by the refused calls.
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
  EXPECT_STREQ(buffer, "abc\n");
  aFile_Close(&file);

  file = aFile_Open(Path("w").c_str(), aFileModeWrite);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrMode);
  aFile_Close(&file);
}

TEST_F(FileTest, UnbufferedWritesAreVisibleAtOnce) {
  const std::string path = Path("unbuffered");
  aFile* writer = aFile_Open(path.c_str(), aFileModeWrite);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(aFile_SetUnbuffered(writer), aErrNone);
  EXPECT_EQ(aFile_Printf(writer, "%s=%d", "k", 42), aErrNone);
  EXPECT_EQ(Slurp(path), "k=42");

  aFile* reader = aFile_Open(path.c_str(), aFileModeRead);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(aFile_SetUnbuffered(reader), aErrMode);
  aFile_Close(&reader);
  EXPECT_EQ(aFile_Close(&writer), aErrNone);
}

struct DeleteCase {
  const char* label;
  std::string path;  // "@file" and "@dir" stand for an existing file and directory
  aErr result;
};

TEST_F(FileTest, DeleteReportsWhyItFailed) {
  const DeleteCase cases[] = {
      {"existing file", "@file", aErrNone},
      {"missing file", Path("missing"), aErrNotFound},
      {"missing parent", Path("none/x"), aErrNotFound},
      {"path too long", std::string(aFILE_MAXPATH + 1, 'd'), aErrFileNameLength},
      {"directory", "@dir", aErrIO},
  };
  for (const DeleteCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::string path = c.path;
    if (path == "@file") path = MakeFile("doomed", "x");
    if (path == "@dir") path = dir_;
    EXPECT_EQ(aFile_Delete(path.c_str()), c.result);
    if (c.result == aErrNone) {
      EXPECT_FALSE(aFile_Exists(path.c_str()));
    }
  }
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
  struct stat info;
  EXPECT_EQ(stat(dir_.c_str(), &info), 0);
}

}  // namespace
