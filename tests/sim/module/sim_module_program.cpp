#include "sim_module_program.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "sim_module_core.h"

namespace kvsim {

namespace {

constexpr unsigned long kMaxKnobCount = 1000000000UL;  // packets a fault knob counts, at most

}  // namespace

void say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void complain(const std::string& text) {
  std::fprintf(stderr, "kv_sim_module: %s\n", text.c_str());
}

std::optional<unsigned long> parseUnsigned(const std::string& text, int base) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || text[0] == '-') return std::nullopt;
  return value;
}

std::optional<int> parseKnobCount(const std::string& text) {
  if (text == "all") return kEvery;
  if (text == "off") return 0;
  auto value = parseUnsigned(text, 10);
  if (!value || *value > kMaxKnobCount) return std::nullopt;
  return static_cast<int>(*value);
}

}  // namespace kvsim
