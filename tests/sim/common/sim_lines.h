// Line-by-line reading of what a stand-in program says on a socket or pipe, for the helpers
// that run the stand-ins from a test.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kvsim {

// ms left until deadline, zero once it has passed.
int RemainingMs(std::chrono::steady_clock::time_point deadline);

// Hands over the next line in buffer, without its end, reading more from fd into buffer as
// long as there is no whole line; false when none came within timeoutMs, the other end closed
// or fd is not open.
bool ReadLine(int fd, std::string& buffer, std::string* line, int timeoutMs);

// Sends all of text on the socket fd (no SIGPIPE); false with errno set when that fails.
bool SendAll(int fd, const std::string& text);

// Reads the answer to a command with read(line, timeoutMs) until "OK" (true) or a line
// beginning with "ERR" (false, errLine holds it); the lines before go to output when given.
// False with errLine empty when no answer came within timeoutMs.
bool AwaitCommandAnswer(const std::function<bool(std::string*, int)>& read, int timeoutMs,
                        std::vector<std::string>* output, std::string* errLine);

}  // namespace kvsim
