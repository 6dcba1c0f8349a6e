// Link::impl: the state of one Link, shared by the files that implement Link's operations
// (connection and UEI requests, store slots and factory data, the packet log, streams).
// Internal to the class interface.
#pragma once

#include <atomic>
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

constexpr uint16_t kCallbackQueueSlots = 500;  // slots of the stream callback queue

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
  // Stream delivery (LinkStreams.cpp). on: puts this Link on its core link's stream
  // dispatcher (installing the core filter for the first Link there) and starts the worker
  // when there is none; off: takes it off (removing the core filter with the last Link) and
  // clears the table. *removed, when given, tells whether the core filter went.
  aErr installStreamFilter(bool on, bool* removed = nullptr);
  // Reader thread, stream lock held: queues a job for the row when it has a callback; true
  // when the worker is asleep and needs signalWork() (once the lock is released).
  bool queueAsyncCallback(const StreamEntry& row, const aPacket* packet);
  // Wakes the worker; never blocks.
  void signalWork();
  // The worker's body: runs jobs until the stop signal is fulfilled.
  void asyncWork(LocklessQueue_SPSC<asyncPacket>& queue, std::future<void> stop);
  aErr startWorker();
  // Fulfils the stop signal, joins the worker and frees the jobs left in the queue; nothing
  // when there is no worker or when called on the worker itself.
  void stopWorker();
  bool onWorker() const;
  // The packet logger's consumer: one record of the core link's log as one line of the file.
  static void readDebugBuffer(aFile* file, uint32_t linkId);

  Link& owner;
  uint32_t linkId = 0;
  struct aLogger* packetLogger = nullptr;
  // The core link on which this Link counts as logging (LinkPacketLog.cpp), 0 while it does
  // not; guarded by the lock of that count.
  uint32_t packetLogCore = 0;
  VelnetConfig config;
  std::map<uint64_t, StreamEntry> streams;
  std::thread* worker = nullptr;
  LocklessQueue_SPSC<asyncPacket> callbackQueue{kCallbackQueueSlots};
  std::promise<void> stopSignal;
  std::mutex streamLock;
  char* name = nullptr;
  linkSpec* spec = nullptr;

  // Stream delivery beyond the fields above.
  // The newest number given to a registration or a replaced callback (generation, revision);
  // guarded by streamLock.
  uint64_t lastGeneration = 0;
  // Changed under streamLock with every change of the table's registrations: a job queued
  // while it held the count it holds now needs no look-up of its registration.
  std::atomic<uint64_t> tableChanges{0};
  // Bit n: some registration has every field of wildcard mask n at 0xFF, so looking the key
  // up under that mask can find it. Guarded by streamLock.
  uint16_t activeMasks = 0;
  // streamLock held: counts a change of the registrations and recomputes activeMasks.
  void streamTableChanged();
  // Held by the worker while it checks a job's registration and runs its callback; taken by a
  // call that erased rows or replaced a callback (unless it runs inside a stream callback), so
  // that no callback of those rows runs after it.
  std::mutex callbackLock;
  int workSignal = -1;  // eventfd the reader posts when the worker sleeps
  // Set by the worker before its last look at the queue and its sleep; the reader that finds
  // it set after a push clears it and posts workSignal. A worker that is awake is not posted.
  std::atomic<bool> workerAsleep{false};
  // Guarded by the dispatchers' install mutex (LinkStreams.cpp): the core link whose
  // dispatcher holds this Link (0 none), and whether stopStreams is at work (registrations are
  // refused meanwhile).
  uint32_t dispatchLinkId = 0;
  bool streamsStopping = false;
  // Jobs of live registrations not delivered: queue full, packet not copied, or no callback
  // in the row when the job ran.
  std::atomic<uint64_t> droppedJobs{0};
};

}  // namespace Kolvantis
}  // namespace Zentrova
