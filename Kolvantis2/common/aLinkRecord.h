// The link record: the state the link engine keeps for one core link, and the engine
// operations that link creation, destruction and reset use. Each link-table entry owns exactly
// one record, allocated zero-filled with the entry. Internal to the library.
//
// Threads: the record is shared by the link's reader and writer threads and by any number of
// callers. Every field that more than one of them reads or writes while the threads run is an
// atomic; the others (stream, assembly packet, thread handles) are touched by the threads
// alone, or only while the threads are not running, under the record's lifecycle lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "aError.h"
#include "aMutex.h"
#include "aPacket.h"
#include "aStream.h"
#include "aThread.h"

// The packet log of a link; made only when packet debugging is enabled.
struct aPacketLog;

#define aLINKCHECK 0xCEED

// Per-link hook run by the reader thread on every complete received packet; a result of
// exactly 1 consumes the packet.
typedef uint8_t (*aUserPacketFilter)(const aPacket* packet, void* reference);

// Called after each heartbeat answer, with true for a down answer.
typedef void (*aLinkHeartbeatCallback)(bool down);

struct aLink {
  aLink() = default;
  // Releases what may outlive a destroy while callers still hold the record: the filter mutex,
  // the log mutex and, when they were left, the assembly packet and the packet log.
  ~aLink();
  aLink(const aLink&) = delete;
  aLink& operator=(const aLink&) = delete;

  uint16_t check = 0;   // aLINKCHECK once initialised, 0 once destroyed
  uint32_t linkId = 0;  // the ID of the table entry that owns the record
  std::atomic<uint8_t> running{0};
  std::atomic<uint32_t> status{0};
  std::atomic<uint64_t> inputQueue{0};
  aPacket* assembly = nullptr;  // the reader's alone while the threads run
  std::atomic<uint64_t> outputQueue{0};
  aThread* readerThread = nullptr;
  aThread* writerThread = nullptr;
  aThreadRoutine readerProc = nullptr;
  aThreadRoutine writerProc = nullptr;
  std::atomic<uint8_t> readerReady{0};
  std::atomic<uint8_t> writerReady{0};
  aStream* stream = nullptr;  // read by the reader, written by the writer, each without a lock
  std::atomic<uint32_t> heartbeatState{0};
  aLinkHeartbeatCallback heartbeatCallback = nullptr;
  std::atomic<uint32_t> syncState{0};
  std::atomic<uint8_t> syncAddress{0};
  // The packet log: null until packet debugging is first enabled, then kept
  // for the record's life (a reset keeps it) and freed by the link's destruction. Made,
  // replaced and freed only under logMutex; the reader and writer load it without the lock
  // as their cheap test for "no log" and append to it only under the lock.
  std::atomic<aPacketLog*> packetLog{nullptr};
  uint32_t logSize = 0;        // guarded by logMutex: ring size for the log when it is made
  bool logRetired = false;     // guarded by logMutex: the link was destroyed, no new log
  aMutex* logMutex = nullptr;  // made once by the first init, kept for the record's life
  aUserPacketFilter userFilter = nullptr;  // guarded by filterMutex
  void* userFilterRef = nullptr;           // guarded by filterMutex
  aMutex* filterMutex = nullptr;           // made once, kept for the record's life
  std::atomic<uint8_t> pooled{0};

  // Monotonic time of the last burst of sync probes; probeBurstSent false before the first.
  std::atomic<uint64_t> lastProbeBurstMs{0};
  std::atomic<bool> probeBurstSent{false};
  // Held by reset and destroy for their whole work on the record, so they never interleave.
  std::mutex lifecycle;
  bool destroyed = false;  // guarded by lifecycle: the record was torn down
};

// Link status values (linkStatus).
#define aLINK_STATUS_STOPPED 0u
#define aLINK_STATUS_STARTING 1u
#define aLINK_STATUS_RUNNING 2u
#define aLINK_STATUS_STOPPING 3u
#define aLINK_STATUS_SYNCING 4u
#define aLINK_STATUS_NOSTREAM 5u
#define aLINK_STATUS_READERROR 6u
#define aLINK_STATUS_QUEUEFAILED 8u

// Heartbeat states.
#define aLINK_HB_IDLE 0u
#define aLINK_HB_UP 2u
#define aLINK_HB_DOWN 3u

// Sync handshake states (syncState): the reader waits for A, 0, A, 0, two zero-length answers
// from one even module address A.
#define aLINK_SYNC_IDLE 0u          // no handshake under way (or it has just completed)
#define aLINK_SYNC_RESTART 1u       // a wrong byte came, or probes could not be queued
#define aLINK_SYNC_WAIT_ADDRESS 2u  // probes sent: waiting for the first answer's address
#define aLINK_SYNC_WAIT_LENGTH 3u   // address seen: waiting for its zero length byte
#define aLINK_SYNC_WAIT_REPEAT 4u   // one answer complete: waiting for the same address again
#define aLINK_SYNC_WAIT_END 5u      // waiting for the second answer's zero length byte

// Module address of the sync probe and of force-route packets.
#define aLINK_PROBE_ADDRESS 0xAD
#define aLINK_FORCEROUTE_ADDRESS 0xAF
// Probes sent by each burst of the sync handshake.
#define aLINK_SYNC_PROBES 6

struct aLinkEntry;

// Fills the record of the entry with that ID for the stream (null: no stream, status 5): new
// queues and assembly packet, cleared flags. The user filter, the packet log and its size stay
// as they are (a reset re-initialises the record and keeps them; a first init finds them
// zero); the filter and log mutexes are made by the first init and kept. The link ID, or 0
// when the ID has no entry, the entry has no record, its threads still run or a part cannot
// be made; on 0 the stream stays the caller's.
uint32_t aLink_Init(uint32_t linkId, aStream* stream);

// Starts the reader and writer, waits for them to report ready and queues force-route on.
aErr aLink_Start(uint32_t linkId);

// Runs the sync handshake and then drops the probes still queued and the module's surplus
// answers to them.
aErr aLink_Sync(uint32_t linkId);

// Queues [0xAF][1][on] on the link's output queue.
aErr aLink_ForceRoute(uint32_t linkId, uint8_t on);

// Stops the threads (queuing force-route off first when the link is still in the table).
aErr aLink_Stop(aLink* link);

// Stops the entry's link and recreates its stream in place; see aLink_Reset.
aErr aLink_ResetLink(aLinkEntry* entry);
