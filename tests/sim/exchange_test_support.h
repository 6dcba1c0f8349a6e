// Shared by the tests of the stand-in: a packet's wire bytes, one exchange over a raw link
// socket compared exactly, and the packets a module core sent.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "sim_module_core.h"
#include "sim_module_process.h"

namespace kvsim {

constexpr int kQuietMs = 300;  // ms without bytes that count as "no answer"

inline Bytes wire(uint8_t address, const Bytes& data) { return Packet{address, data}.wire(); }

// Sends the request and expects exactly these bytes back (none: no answer), then nothing more
// for kQuietMs.
inline void expectExchange(LinkSocket& link, const Bytes& request, const Bytes& expected,
                           const std::string& what) {
  ASSERT_TRUE(link.send(request)) << what;
  if (!expected.empty()) {
    EXPECT_EQ(link.read(expected.size()), expected) << what;
  }
  EXPECT_EQ(link.readFor(kQuietMs), Bytes{}) << what << ": nothing more";
}

// Packets the core sent since the last call, cut from its byte stream; a packet cut short at
// the end of the stream is left out.
inline std::vector<Packet> sentPackets(ModuleCore& core) {
  Bytes all;
  for (const Segment& segment : core.takeSegments())
    all.insert(all.end(), segment.bytes.begin(), segment.bytes.end());
  std::vector<Packet> packets;
  for (size_t i = 0; i + 2 <= all.size();) {
    const size_t length = all[i + 1];
    if (i + 2 + length > all.size()) break;
    packets.push_back({all[i], Bytes(all.begin() + static_cast<std::ptrdiff_t>(i + 2),
                                     all.begin() + static_cast<std::ptrdiff_t>(i + 2 + length))});
    i += 2 + length;
  }
  return packets;
}

}  // namespace kvsim
