// Shared by the program tests of the stand-in: a packet's wire bytes and one exchange over a
// raw link socket, compared exactly.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim_module_core.h"
#include "sim_module_process.h"

namespace kvsim {

constexpr int kQuietMs = 300;  // ms without bytes that count as "no answer"

inline Bytes wire(uint8_t address, const Bytes& data) { return Packet{address, data}.wire(); }

// Sends the request and expects exactly these bytes back (none: no answer), then nothing more
// for kQuietMs.
inline void expectExchange(LinkSocket& link, const Bytes& request, const Bytes& expected, const std::string& what) {
  ASSERT_TRUE(link.send(request)) << what;
  if (!expected.empty()) {
    EXPECT_EQ(link.read(expected.size()), expected) << what;
  }
  EXPECT_EQ(link.readFor(kQuietMs), Bytes{}) << what << ": nothing more";
}

}  // namespace kvsim
