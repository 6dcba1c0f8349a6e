// Pieces the benchmarks share: a scratch directory under /tmp and reading a whole file.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace bench {

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
