// What the pieces of the kv_sim_module program share: its lines on standard output and
// standard error, the size of its reads, and the number forms of its options and control
// commands.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kvsim {

constexpr size_t kReadChunk = 4096;  // bytes per read from the transport or stdin

// One line on standard output, flushed at once: the ready lines and the control answers.
void say(const std::string& line);
// "kv_sim_module: <text>" on standard error.
void complain(const std::string& text);

// A number in base (0: decimal, 0x-prefixed hex or 0-prefixed octal); nullopt for anything
// else, a minus sign included.
std::optional<unsigned long> parseUnsigned(const std::string& text, int base = 0);
// COUNT of a fault knob: a decimal number of packets, "all" (kEvery) or "off" (0).
std::optional<int> parseKnobCount(const std::string& text);

}  // namespace kvsim
