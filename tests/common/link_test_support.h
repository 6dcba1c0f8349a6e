// Shared by the tests of the core's links: a bounded poll, a link ID that destroys its link,
// a user filter that keeps the packets it saw, and the records of a link's packet log.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aPacketLog.h"

namespace coretest {

using Bytes = std::vector<uint8_t>;

// Longest wait for something the link or the module is about to do; only reached on failure.
constexpr auto kHangGuard = std::chrono::seconds(20);
constexpr int kPollMs = 2;  // ms between the tries of a poll

// True once condition holds, tried every pollMs ms; false when kHangGuard passes first.
inline bool Eventually(const std::function<bool()>& condition, int pollMs = kPollMs) {
  const auto end = std::chrono::steady_clock::now() + kHangGuard;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return true;
}

// A link ID that destroys its link when it goes.
struct LinkGuard {
  uint32_t id = 0;
  ~LinkGuard() {
    if (id != 0) aLink_Destroy(&id);
  }
};

// The packets a user filter saw, as wire bytes, in order.
struct SeenPackets {
  std::mutex lock;
  std::vector<Bytes> packets;
  size_t count() {
    std::lock_guard<std::mutex> hold(lock);
    return packets.size();
  }
  bool saw(const Bytes& wanted) {
    std::lock_guard<std::mutex> hold(lock);
    for (const Bytes& packet : packets) {
      if (packet == wanted) return true;
    }
    return false;
  }
};

// A user filter that adds each packet to the SeenPackets it is given and lets it through.
inline uint8_t SeeingFilter(const aPacket* packet, void* reference) {
  SeenPackets* seen = static_cast<SeenPackets*>(reference);
  std::lock_guard<std::mutex> hold(seen->lock);
  Bytes bytes{packet->address, packet->dataSize};
  bytes.insert(bytes.end(), packet->data, packet->data + packet->dataSize);
  seen->packets.push_back(bytes);
  return 0;
}

// One record of a link's packet log.
struct LogRecord {
  uint32_t type;
  Bytes bytes;
  bool operator==(const LogRecord& other) const {
    return type == other.type && bytes == other.bytes;
  }
};

inline void PrintTo(const LogRecord& record, std::ostream* out) {
  *out << "{" << record.type << ", " << testing::PrintToString(record.bytes) << "}";
}

// Reads the link's log until it answers anything but success (empty, or no log).
inline std::vector<LogRecord> ReadLog(uint32_t id) {
  std::vector<LogRecord> out;
  for (;;) {
    uint32_t type = 0;
    uint32_t length = aPACKETLOG_MAXRECORD;
    uint8_t buffer[aPACKETLOG_MAXRECORD];
    if (aLink_PacketDebug_Read(id, &type, &length, buffer) != aErrNone) return out;
    out.push_back({type, Bytes(buffer, buffer + length)});
  }
}

}  // namespace coretest
