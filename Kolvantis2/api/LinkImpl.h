// Link::impl: the state of one Link, shared by the files that implement Link's operations
// (connection and UEI requests, store slots and factory data, the packet log, streams).
// Internal to the class interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "Link.h"
#include "aFile.h"
#include "LinkStreams.h"

namespace Zentrova {
namespace Kolvantis {

constexpr size_t kCallbackQueueSlots = 500;  // slots of the stream callback queue

class Link::impl {
 public:
  impl(Link& link, const char* linkName);
  ~impl();

  aErr setSpecifier(linkSpec value);
  aErr getSpecifier(linkSpec* out);
  const char* getName() const { return name; }
  aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model);
  aErr connectHelper(uint32_t through = 0);
  aErr linkCreateHelper(linkSpec& record, uint32_t through, uint32_t* made);
  aErr waitForLink(uint16_t tries);
  bool connected();
  aErr putBounded(const aPacket* packet);
  // Stops and destroys the packet logger (LinkPacketLog.cpp); called before the use of the
  // core link is given back.
  void stopPacketLog();
  // Leaves stream delivery: off the core link's dispatcher, worker joined, table cleared
  // (LinkStreams.cpp); called before the use of the core link is given back.
  void stopStreams();
  // The packet logger's consumer: one record of the core link's log as one line of the file.
  static void readDebugBuffer(aFile* file, uint32_t linkId);

  Link& owner;
  uint32_t linkId = 0;
  struct aLogger* packetLogger = nullptr;
  VelnetConfig config;
  std::map<uint64_t, StreamEntry> streams;
  std::thread* worker = nullptr;
  LocklessQueue_SPSC<asyncPacket> callbackQueue{kCallbackQueueSlots};
  std::promise<void> stopSignal;
  std::mutex streamLock;
  char* name = nullptr;
  linkSpec* spec = nullptr;
};


}  // namespace Kolvantis
}  // namespace Zentrova
