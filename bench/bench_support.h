// Pieces the benchmarks share: the start of a run (command line, SIGPIPE, title), one measured
// figure and the time since a start, a scratch directory under /tmp and reading a whole file.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// The start of a benchmark with a full run and a shorter one (--quick): reads the command line
// into *quick, ignores SIGPIPE (a write to a closed socket then fails instead of ending the
// program) and prints "<title> (<build type> build, <n> cores[, --quick])". Returns -1 to go
// on, else the exit code: 0 after --help or -h (the usage on stdout), 2 after any other
// argument (the usage on stderr).
inline int startRun(int argc, char** argv, const char* usage, const char* title,
                    const char* buildType, bool* quick) {
  *quick = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--quick") {
      *quick = true;
    } else {
      const bool help = option == "--help" || option == "-h";
      std::fputs(usage, help ? stdout : stderr);
      return help ? 0 : 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  std::printf("%s (%s build, %u cores%s)\n", title, buildType, std::thread::hardware_concurrency(),
              *quick ? ", --quick" : "");
  return -1;
}

// One figure: how much was done in how long, or why it could not be measured.
struct Measure {
  bool ok = false;
  std::string failure;
  uint64_t count = 0;    // what was done (packets, round trips, samples delivered)
  uint64_t dropped = 0;  // what was given up on the way, where a benchmark counts that
  double seconds = 0;
  double rate() const { return seconds > 0 ? static_cast<double>(count) / seconds : 0; }
};

inline Measure failed(const std::string& why) {
  Measure m;
  m.failure = why;
  return m;
}

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A directory under /tmp named after the benchmark, removed at the end with the files handed
// out by file().
class WorkDir {
 public:
  explicit WorkDir(const std::string& benchName) {
    std::string name = "/tmp/" + benchName + ".XXXXXX";
    if (mkdtemp(name.data())) path_ = name;
  }
  ~WorkDir() {
    for (const std::string& file : files_) unlink(file.c_str());
    if (!path_.empty()) rmdir(path_.c_str());
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) {
    files_.push_back(path_ + "/" + name);
    return files_.back();
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

// The bytes of a file; empty when it cannot be read.
inline std::string readFile(const std::string& path) {
  std::string text;
  FILE* in = fopen(path.c_str(), "rb");
  if (!in) return text;
  char buffer[4096];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, got);
  fclose(in);
  return text;
}

}  // namespace bench
