#pragma once

// Helpers shared by the tests of the attribute file and of the per-module store: reading and
// writing whole files, directory listings, time texts in stored files, a lowered file size
// limit and a captured log.

#include "Log.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

inline void WriteBytes(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

inline bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The names in a directory, without "." and "..".
inline std::set<std::string> Names(const std::string& directory) {
  std::set<std::string> names;
  DIR* listing = opendir(directory.c_str());
  if (!listing) return names;
  for (dirent* entry = readdir(listing); entry; entry = readdir(listing))
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
      names.insert(entry->d_name);
  closedir(listing);
  return names;
}

// 24 characters of the conventional time text: "Www Mmm dd hh:mm:ss yyyy", the day padded
// with a space.
inline bool IsTimeText(const std::string& text) {
  static const std::string kWeekdays = "Sun Mon Tue Wed Thu Fri Sat";
  static const std::string kMonths = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec";
  const std::string shape = "www mmm Dd dd:dd:dd dddd";  // w, m: name letters; D: digit or space
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const char c = text[i];
    const bool digit = c >= '0' && c <= '9';
    if ((shape[i] == 'd' && !digit) || (shape[i] == 'D' && !digit && c != ' ')) return false;
    if (shape[i] == ' ' || shape[i] == ':') {
      if (c != shape[i]) return false;
    }
  }
  const size_t weekday = kWeekdays.find(text.substr(0, 3));
  const size_t month = kMonths.find(text.substr(4, 3));
  return weekday != std::string::npos && weekday % 4 == 0 && month != std::string::npos &&
         month % 4 == 0 && text[8] != '0' && !(text[8] == ' ' && text[9] == '0');
}

// The file's lines with every value that is a time text shown as "<time>".
inline std::string WithTimesMarked(const std::string& content) {
  std::string marked;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    const std::string line = content.substr(start, end - start);
    const size_t equals = line.find('=');
    if (equals != std::string::npos && IsTimeText(line.substr(equals + 1)))
      marked += line.substr(0, equals + 1) + "<time>";
    else
      marked += line;
    if (end < content.size()) marked += '\n';
    start = end + 1;
  }
  return marked;
}

constexpr rlim_t kTinyFileLimit = 16;  // bytes a file may grow to while a write is made to fail

// Sends the log of the given packages into memory for as long as it lives; the log is reset
// afterwards.
class LogCapture {
 public:
  explicit LogCapture(uint32_t packages) {
    stream_ = open_memstream(&buffer_, &size_);
    EXPECT_NE(stream_, nullptr) << "cannot open an in-memory stream for the log";
    Log::package_bitmask = 0;
    if (!stream_) return;
    Log::SetOutput(stream_);
    Log::ActivatePackage(packages);
  }
  ~LogCapture() {
    Log::fh = nullptr;
    Log::package_bitmask = 0;
    if (stream_) fclose(stream_);
    free(buffer_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far.
  std::string Logged() {
    if (!stream_) return std::string();
    fflush(stream_);
    return std::string(buffer_, size_);
  }

 private:
  FILE* stream_ = nullptr;
  char* buffer_ = nullptr;
  size_t size_ = 0;
};
