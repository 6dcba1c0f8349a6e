#include "sim_lines.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace kvsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadChunk = 4096;  // bytes per read

}  // namespace

int RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool ReadLine(int fd, std::string& buffer, std::string* line, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const size_t end = buffer.find('\n');
    if (end != std::string::npos) {
      *line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      return true;
    }
    if (fd < 0) return false;
    pollfd wait{fd, POLLIN, 0};
    const int ready = poll(&wait, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[kReadChunk];
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) return false;
    buffer.append(chunk, static_cast<size_t>(got));
  }
}

bool SendAll(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool AwaitCommandAnswer(const std::function<bool(std::string*, int)>& read, int timeoutMs,
                        std::vector<std::string>* output, std::string* errLine) {
  errLine->clear();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string answer;
  while (read(&answer, RemainingMs(deadline))) {
    if (answer == "OK") return true;
    if (answer.rfind("ERR", 0) == 0) {
      *errLine = answer;
      return false;
    }
    if (output) output->push_back(answer);
  }
  return false;
}

}  // namespace kvsim
