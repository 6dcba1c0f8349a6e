// Shared by the server-command tests: a clean environment for libcurl, a display that records
// what the commands show (and on which thread the spinner turns), BIRD files made by the test
// generator, and readers of the store's files.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "UpdaterDisplayInterface.h"
#include "bird_gen.h"
#include "update_server_test_support.h"
#include "support.h"

namespace server_test {

constexpr uint32_t kSerial = 0x1234ABCD;
constexpr const char* kSerialText = "1234ABCD";
constexpr const char* kPath = "/cgi/u";         // the path the stand-in is reached under
constexpr uint32_t kLatest = 1234;              // the stand-in's canned latest build
constexpr const char* kToken = "fwtoken-1234";  // and its canned firmware token

// The variables that would send a client through a proxy or to another CA; the children
// of these tests inherit the test's environment.
inline void ClearClientEnvironment() { kvsim::ClearProxyAndCaVariables(); }

// Every message in order, and every spinner call with the thread that made it.
class ServerDisplay : public UpdaterDisplayInterface {
 public:
  struct Spin {
    bool on;
    std::string label;
    std::thread::id thread;
  };

  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool on, const char* label) override {
    spins.push_back({on, label ? label : "", std::this_thread::get_id()});
  }
  void info_message(const char* text) override { infos.emplace_back(text); }
  void error_message(const char* text) override { errors.emplace_back(text); }

  bool shows(const std::string& text) const {
    return std::count(infos.begin(), infos.end(), text) > 0;
  }

  std::vector<std::string> infos;
  std::vector<std::string> errors;
  std::vector<Spin> spins;
};

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The value of KEY in an attribute file's text; "<none>" when the key is missing.
inline std::string SettingsValue(const std::string& settings, const std::string& key) {
  std::istringstream lines(settings);
  std::string line;
  while (std::getline(lines, line))
    if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
  return "<none>";
}

// "Www Mmm dd hh:mm:ss yyyy", as the attribute files store a time.
inline bool IsTimeText(const std::string& text) {
  return text.size() == 24 && text[3] == ' ' && text[7] == ' ' && text[13] == ':' &&
         text[16] == ':' && text[19] == ' ';
}

// The names in a directory, "." and ".." left out, sorted.
inline std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(directory.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A firmware file of a build, with a descriptor naming its version; the image differs per
// seed, so files of different builds can be told apart.
inline birdgen::Builder Firmware(const std::string& build, const std::string& version,
                                 uint32_t seed = 7) {
  birdgen::Builder b;
  b.loader(0x20000000, birdgen::PatternBytes(200, seed))
      .firmware(0x00008000, birdgen::PatternBytes(1500, seed + 1))
      .offsets(0x00008100, 0x00008200)
      .descriptor({build, version, "00000000", "Alder"});
  return b;
}

inline std::string AsText(const birdgen::Bytes& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

inline long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - since)
                               .count());
}

// Threads of this process right now.
inline size_t ThreadCount() { return Entries("/proc/self/task").size(); }

}  // namespace server_test
