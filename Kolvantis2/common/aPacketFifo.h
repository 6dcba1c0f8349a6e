// Packet queue: the thread-safe first-in-first-out store of device packets behind a 64-bit
// handle. Every core link owns two: its input queue (filled by the reader thread) and its
// output queue (emptied by the writer thread).
//
// A queue never shares a packet with its callers: a put stores a copy, and every packet handed
// out is a new one that the caller frees with aPacket_Destroy. No function lets an exception
// out. A queue holds at most aPACKETFIFO_MAXPACKETS packets; the put that would go past that
// empties the whole queue (the new packet included) and still reports aErrNone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "aError.h"
#include "aPacket.h"

// Most packets a queue holds before a put empties it.
#define aPACKETFIFO_MAXPACKETS 1000

// Predicate over a queued packet and the caller's reference; nonzero selects the packet. It runs
// while the queue's lock is held and must not call back into the same queue.
typedef uint8_t (*aPacketFilter)(const aPacket* packet, const void* reference);

// Releases a queued packet through aPacket_Destroy.
struct aPacketDeleter {
  void operator()(aPacket* packet) const;
};

// One queued element: its sequence id and the queue's own copy of the packet. Movable, not
// copyable; destroying it frees the packet.
class SerialPacket {
 public:
  using PacketPtr = std::unique_ptr<aPacket, aPacketDeleter>;

  SerialPacket(int64_t id, PacketPtr packet) : id_(id), packet_(std::move(packet)) {}
  SerialPacket(SerialPacket&&) = default;
  SerialPacket& operator=(SerialPacket&&) = default;
  SerialPacket(const SerialPacket&) = delete;
  SerialPacket& operator=(const SerialPacket&) = delete;

  int64_t& getId() { return id_; }
  const int64_t& getId() const { return id_; }
  PacketPtr& getPacket() { return packet_; }
  const PacketPtr& getPacket() const { return packet_; }

 private:
  int64_t id_;
  PacketPtr packet_;
};

// The queue object behind a handle. `mutex` guards `packets` and the window; the atomics are
// written only while it is held. Sequence ids strictly increase from front to back, and
// `windowStart` is the id of the front element, or `nextId` when the queue is empty.
class packetFifo {
 public:
  using Elements = std::deque<SerialPacket>;

  Elements packets;                   // oldest at the front
  std::condition_variable condition;  // woken by a put that keeps its packet and by destroy
  std::mutex mutex;
  std::atomic<bool> isValid{true};      // false once the queue is destroyed
  std::atomic<int64_t> windowStart{0};  // id of the oldest queued packet, or nextId
  std::atomic<int64_t> nextId{0};       // id of the next put

  // Empties the queue (freeing every packet) and moves the window to nextId.
  void clearAndSyncWindow();
  // Erase one element or a range (freeing the packets) and re-derive windowStart.
  void eraseAndSyncWindow(Elements::iterator position);
  void eraseAndSyncWindow(Elements::iterator first, Elements::iterator last);

 private:
  void syncWindow();
};

// New queue handle (1 upward, never reused); 0 when the queue cannot be made.
uint64_t aPacketFifo_Create(void);

// Empties and invalidates the queue, wakes every waiter and sets *handle to 0: aErrNone.
// aErrParam for a null pointer, aErrNotFound for an unknown handle (left unchanged),
// aErrUnknown for any other failure. The queue's memory stays until its last waiter returns.
aErr aPacketFifo_Destroy(uint64_t* handle);

// Number of queued packets; 0 for an unknown handle.
size_t aPacketFifo_GetLength(uint64_t handle);

// Queues a copy of the packet and wakes every waiter. aErrParam for an unknown or destroyed
// queue, an invalid packet or a failed copy; aErrResource when the element cannot be appended.
aErr aPacketFifo_Put(uint64_t handle, const aPacket* packet);

// Test hook, null in production: called by aPacketFifo_Put with the handle after the queue was
// found and before its lock is taken, so that a test can destroy the queue in that window.
extern std::atomic<void (*)(uint64_t handle)> aPacketFifo_PutTestHook;

// Oldest packet, removed; null when the queue is empty or unknown.
aPacket* aPacketFifo_Get(uint64_t handle);

// The oldest packets, removed in one step, in order: as many as follow each other from the front
// while their wire bytes (2 + data length each) add up to at most maxBytes, and at most
// maxPackets of them; the count stored in out. 0 when the queue is empty or unknown.
size_t aPacketFifo_GetBatch(uint64_t handle, aPacket** out, size_t maxPackets, size_t maxBytes);

// Oldest packet, removed, waiting up to timeoutMs for one; null on time-out, for an unknown
// handle or when the queue is destroyed during the wait. A time-out too large for the clock
// waits without a deadline.
aPacket* aPacketFifo_Await(uint64_t handle, uint64_t timeoutMs);

// Oldest packet the filter selects, removed; null when none does, for an unknown handle or a
// null filter.
aPacket* aPacketFifo_GetFirst(uint64_t handle, aPacketFilter filter, const void* reference);

// Oldest packet the filter selects, removed, waiting up to timeoutMs for one to arrive. Within
// one call each packet is offered to the filter at most once. Null on time-out, for an unknown
// handle, a null filter or when the queue is destroyed during the wait.
aPacket* aPacketFifo_AwaitFirst(uint64_t handle, aPacketFilter filter, const void* reference,
                                uint64_t timeoutMs);

// Removes and frees every packet the filter selects, keeping the others in order; the number
// removed. 0 for an unknown handle or a null filter. Wakes nobody.
size_t aPacketFifo_DrainPackets(uint64_t handle, aPacketFilter filter, const void* reference);

// Takes the next handle from a sequential counter by atomic post-increment, passing over 0 when
// the counter has wrapped.
uint64_t sNextFifoHandle(std::atomic<uint64_t>& counter);
