// Link engine: the reader and writer threads of a core link, the sync handshake, heartbeat
// answers, force-route packets and the per-link access functions.
#include "aLink.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "aDebug.h"
#include "aLinkTable.h"
#include "aPacketLog.h"
#include "aTime.h"

namespace {

constexpr int kStartReadyChecks = 200;       // checks of the threads' ready flags on start
constexpr uint64_t kStartReadyPollMs = 10;   // ms between them
constexpr int kSyncChecks = 200;             // checks of the status during aLink_Sync
constexpr uint64_t kSyncPollMs = 10;         // ms between them
constexpr uint64_t kSyncSettleMs = 100;      // ms for the module's surplus probe answers
constexpr uint64_t kReadErrorPauseMs = 100;  // ms the reader rests after a read error
// Longest wait for input after an empty read on a transport that cannot be woken; short, so
// that a stop is seen soon. A transport with a wake operation waits without a bound while the
// link runs: a stop or a status change wakes it.
constexpr uint32_t kReaderIdleWaitMs = 20;
// Rest after a wait that failed (a transport that answers every wait at once with an error).
constexpr uint64_t kReaderFailedWaitPauseMs = 20;
// Bytes the reader takes from its stream in one go.
constexpr size_t kReaderChunkBytes = 4096;
// Rest after an empty read that followed a wait which did not wait (a transport without a
// wait operation), so that such a reader does not spin.
constexpr uint64_t kReaderNoWaitPauseMs = 1;
// A burst of sync probes goes out at most once in this many ms.
constexpr uint64_t kSyncProbeIntervalMs = 100;
// The writer waits this long for a packet; a stop wakes it at once through a wake-up packet.
constexpr uint64_t kWriterWaitMs = 1000;
// Rest of the writer when its queue answers at once without a packet (the queue is gone).
constexpr uint64_t kWriterNoQueuePauseMs = 10;
// Longest time the writer spends sending what is left in its queue when it stops.
constexpr uint64_t kFinalFlushDeadlineMs = 1000;
// Bytes of one pooled stream write.
constexpr size_t kPoolBytes = 4096;
// Most packets taken from the output queue in one step for a pooled write (the smallest
// packet has 2 wire bytes).
constexpr size_t kPoolMaxPackets = kPoolBytes / 2;
// Yields in a row that bring no packet before a pooled write of a burst goes out.
constexpr int kPoolGatherYields = 2;

// The wake-up packet that a stop puts into the output queue so that the writer sees the
// cleared running flag at once. Address 0 is no module's address, so the packet can never be
// one meant for the wire; the writer drops it.
constexpr uint8_t kWakeAddress = 0;
constexpr uint8_t kWakeData[] = {'W', 'A', 'K', 'E'};

bool sIsWakePacket(const aPacket* packet) {
  return packet->address == kWakeAddress && packet->dataSize == sizeof kWakeData &&
         std::memcmp(packet->data, kWakeData, sizeof kWakeData) == 0;
}

uint8_t sIsWakeFilter(const aPacket* packet, const void*) { return sIsWakePacket(packet) ? 1 : 0; }

void sWakeWriter(aLink* link) {
  aPacket* wake = aPacket_CreateWithData(kWakeAddress, sizeof kWakeData, kWakeData);
  if (wake == nullptr) return;  // the writer then ends within its wait
  aPacketFifo_Put(link->outputQueue.load(), wake);
  aPacket_Destroy(&wake);
}

// A sync probe [0xAD][0] still waiting in the output queue.
uint8_t sIsProbe(const aPacket* packet, const void*) {
  return packet->address == aLINK_PROBE_ADDRESS && packet->dataSize == 0;
}

// A zero-length answer from the module address the handshake found.
uint8_t sIsProbeAnswer(const aPacket* packet, const void* reference) {
  return packet->dataSize == 0 && packet->address == *static_cast<const uint8_t*>(reference);
}

// --- packet log ----------------------------------------------------------------------------------

// Appends one record of the packet's wire bytes [address][length][data] to the link's log,
// under the log mutex, while the log exists and is enabled. Without a log the cost is one
// atomic load.
void sLogWire(aLink* link, uint8_t type, const uint8_t* wire, size_t count) {
  aPacketLog* log = link->packetLog.load(std::memory_order_acquire);
  if (log == nullptr || log->enabled.load() == 0) return;
  if (aMutex_Lock(link->logMutex) != aErrNone) return;
  // Again under the lock: a disable that has returned is seen here.
  log = link->packetLog.load(std::memory_order_relaxed);
  if (log != nullptr && log->enabled.load() != 0) {
    aPacketLog_Put(log, type, static_cast<uint32_t>(count), wire);
  }
  aMutex_Unlock(link->logMutex);
}

void sLogPacket(aLink* link, uint8_t type, const aPacket* packet) {
  if (link->packetLog.load(std::memory_order_acquire) == nullptr) return;
  uint8_t wire[aPACKETMAXBYTES];
  size_t count = 0;
  if (aPacket_GetBytes(packet, wire, sizeof wire, &count) != aErrNone) return;
  sLogWire(link, type, wire, count);
}

// One sent record for each packet of a pooled write: the pool holds their wire forms back to
// back, each [address][length][data].
void sLogPool(aLink* link, const uint8_t* pool, size_t used) {
  if (link->packetLog.load(std::memory_order_acquire) == nullptr) return;
  size_t at = 0;
  while (at + 2 <= used) {
    const size_t count = 2 + static_cast<size_t>(pool[at + 1]);
    if (at + count > used) break;
    sLogWire(link, aPACKETLOG_SENT, pool + at, count);
    at += count;
  }
}

// --- sync handshake ------------------------------------------------------------------------------

// True when a new burst of probes may go out: the last one is old enough and the output queue
// can take six more packets without reaching its bound (which would empty it).
bool sProbeBurstDue(aLink* link) {
  if (link->probeBurstSent.load() &&
      aTime_GetMonotonicMSTicks() - link->lastProbeBurstMs.load() < kSyncProbeIntervalMs) {
    return false;
  }
  return aPacketFifo_GetLength(link->outputQueue.load()) + aLINK_SYNC_PROBES <
         aPACKETFIFO_MAXPACKETS;
}

// Queues six probes; true when the sixth went in. The burst counts for the rate also when a
// put fails.
bool sSendProbeBurst(aLink* link) {
  const uint8_t none = 0;
  aPacket* probe = aPacket_CreateWithData(aLINK_PROBE_ADDRESS, 0, &none);
  if (probe == nullptr) return false;
  link->lastProbeBurstMs.store(aTime_GetMonotonicMSTicks());
  link->probeBurstSent.store(true);
  aErr result = aErrNone;
  for (int i = 0; i < aLINK_SYNC_PROBES; ++i) {
    result = aPacketFifo_Put(link->outputQueue.load(), probe);
  }
  aPacket_Destroy(&probe);
  return result == aErrNone;
}

// Restarts the handshake: status 4, the partial packet dropped, probes sent. When a burst went
// out too recently the handshake waits for that burst's answers instead; the reader sends the
// next burst once it is due.
void sStartSync(aLink* link) {
  aTRACE(aDEBUG_LINK, "syncStart");
  link->status.store(aLINK_STATUS_SYNCING);
  aPacket_Reset(link->assembly);
  if (!sProbeBurstDue(link)) {
    link->syncState.store(aLINK_SYNC_WAIT_ADDRESS);
    return;
  }
  link->syncState.store(aLINK_SYNC_RESTART);
  if (sSendProbeBurst(link)) link->syncState.store(aLINK_SYNC_WAIT_ADDRESS);
}

// An empty read while syncing or after a read error. A handshake that has made no progress
// (or never began) starts over; one that is part way through keeps its progress, and only
// more probes go out when due, so answers split across reads still complete it.
void sIdleSync(aLink* link) {
  const uint32_t state = link->syncState.load();
  if (link->status.load() == aLINK_STATUS_READERROR || state < aLINK_SYNC_WAIT_ADDRESS ||
      state > aLINK_SYNC_WAIT_END) {
    sStartSync(link);
    return;
  }
  if (sProbeBurstDue(link)) sSendProbeBurst(link);
}

// One byte while syncing: the handshake waits for A, 0, A, 0 (two zero-length answers from
// one even module address).
void sSyncByte(aLink* link, uint8_t byte) {
  switch (link->syncState.load()) {
    case aLINK_SYNC_WAIT_ADDRESS:
      if (byte != 0 && (byte & 1) == 0) {
        link->syncAddress.store(byte);
        link->syncState.store(aLINK_SYNC_WAIT_LENGTH);
      } else {
        sStartSync(link);
      }
      break;
    case aLINK_SYNC_WAIT_LENGTH:
      link->syncState.store(byte == 0 ? aLINK_SYNC_WAIT_REPEAT : aLINK_SYNC_RESTART);
      break;
    case aLINK_SYNC_WAIT_REPEAT:
      link->syncState.store(byte == link->syncAddress.load() ? aLINK_SYNC_WAIT_END
                                                             : aLINK_SYNC_RESTART);
      break;
    case aLINK_SYNC_WAIT_END:
      if (byte == 0) {
        link->syncState.store(aLINK_SYNC_IDLE);
        aPacket_Reset(link->assembly);
        link->status.store(aLINK_STATUS_RUNNING);
      } else {
        link->syncState.store(aLINK_SYNC_RESTART);
      }
      break;
    default:  // a wrong byte came before, or a handshake not begun
      sStartSync(link);
      break;
  }
}

// --- received packets ----------------------------------------------------------------------------

// Answers a heartbeat [A][2][0][x] with [A][2][0][x + 2]; aErrNotFound when the packet is no
// heartbeat (or an answer is pending), and it is then queued as an ordinary packet.
aErr sHandleHBBackChannel(aLink* link, const aPacket* packet) {
  if (packet->dataSize != 2 || packet->data[0] != 0) return aErrNotFound;
  const uint32_t state = link->heartbeatState.load();
  if (state == aLINK_HB_UP || state == aLINK_HB_DOWN) return aErrNotFound;

  if (packet->data[1] == 0) link->heartbeatState.store(aLINK_HB_UP);
  if (packet->data[1] == 1) link->heartbeatState.store(aLINK_HB_DOWN);

  const uint8_t answer[2] = {0, static_cast<uint8_t>(packet->data[1] + 2)};
  const bool down = (answer[1] & 1) != 0;
  aPacket* reply = aPacket_CreateWithData(packet->address, 2, answer);
  aErr put = aErrMemory;
  if (reply != nullptr) {
    put = aPacketFifo_Put(link->outputQueue.load(), reply);
    aPacket_Destroy(&reply);
  }
  // Whatever became of the answer, none is pending any more: the next heartbeat is answered.
  link->heartbeatState.store(aLINK_HB_IDLE);
  if (put != aErrNone) {
    aTRACE(aDEBUG_PACKET, " sHandleHBBackChannel(%d) answer failed: %d\n",
           static_cast<int>(link->linkId), static_cast<int>(put));
    return aErrNone;
  }
  aTRACE(aDEBUG_PACKET, " sHandleHBBackChannel(%d) %s\n", static_cast<int>(link->linkId),
         down ? "sending HB DOWN" : "sending HB UP");
  if (link->heartbeatCallback != nullptr) link->heartbeatCallback(down);
  return aErrNone;
}

// Hands a complete assembly packet to the user filter, the heartbeat answer or the input
// queue; *complete tells whether there was one. The result is the queue put's (0 when the
// packet was consumed, answered or not complete yet).
aErr sHandlePacket(aLink* link, bool* complete) {
  *complete = aPacket_IsComplete(link->assembly);
  if (!*complete) return aErrNone;

  sLogPacket(link, aPACKETLOG_RECEIVED, link->assembly);
  uint8_t consumed = 0;
  if (aMutex_Lock(link->filterMutex) == aErrNone) {
    if (link->userFilter != nullptr)
      consumed = link->userFilter(link->assembly, link->userFilterRef);
    aMutex_Unlock(link->filterMutex);
  }
  aErr result = aErrNone;
  if (consumed != 1 && sHandleHBBackChannel(link, link->assembly) != aErrNone) {
    result = aPacketFifo_Put(link->inputQueue.load(), link->assembly);
  }
  aPacket_Reset(link->assembly);
  return result;
}

// How long an idle reader waits for input. While the link runs, a transport that can be woken
// waits without a bound; while syncing (or after a read error) the wait ends when the next
// burst of probes is due, since probes go out only on empty reads.
uint32_t sReaderWaitMs(aLink* link) {
  const uint32_t status = link->status.load();
  if (status == aLINK_STATUS_SYNCING || status == aLINK_STATUS_READERROR) {
    // A burst that is due has just been tried (and failed to go out only for a full queue).
    const uint64_t since = aTime_GetMonotonicMSTicks() - link->lastProbeBurstMs.load();
    if (!link->probeBurstSent.load() || since >= kSyncProbeIntervalMs) {
      return static_cast<uint32_t>(kSyncProbeIntervalMs);
    }
    return static_cast<uint32_t>(kSyncProbeIntervalMs - since);
  }
  return aStream_CanWake(link->stream) ? aSTREAM_WAIT_FOREVER : kReaderIdleWaitMs;
}

// The stream made a new connection: what the lost one left of a packet is dropped, and a
// handshake under way starts over (its probes or answers may have gone with the old
// connection). A running link keeps running; the new connection's first byte begins a packet.
void sNewConnection(aLink* link) {
  aTRACE(aDEBUG_LINK, " sInPipeProcess(%d) new connection\n", static_cast<int>(link->linkId));
  aPacket_Reset(link->assembly);
  if (link->status.load() == aLINK_STATUS_SYNCING) sStartSync(link);
}

// One received byte: fed to the handshake or assembled into packets. The status is read again
// for every byte, since the handshake switches it in the middle of a chunk.
void sReaderByte(aLink* link, uint8_t byte) {
  if (link->status.load() == aLINK_STATUS_SYNCING) {
    sSyncByte(link, byte);
    return;
  }
  if (aPacket_AddByte(link->assembly, byte) != aErrNone || (link->assembly->address & 1) != 0) {
    aTRACE(aDEBUG_LINK, "Out of sync");
    sStartSync(link);
    return;
  }
  bool complete = false;
  if (sHandlePacket(link, &complete) != aErrNone) {
    link->status.store(aLINK_STATUS_QUEUEFAILED);
  } else if (complete) {
    // A packet handled again ends a failed-queue state.
    uint32_t failed = aLINK_STATUS_QUEUEFAILED;
    link->status.compare_exchange_strong(failed, aLINK_STATUS_RUNNING);
  }
}

// The reader: takes what the stream holds, byte by byte into the handshake or packets.
void* sInPipeProcess(void* argument) {
  aLink* link = static_cast<aLink*>(argument);
  link->heartbeatState.store(aLINK_HB_IDLE);
  link->syncAddress.store(1);
  link->readerReady.store(1);
  link->status.store(aLINK_STATUS_RUNNING);
  link->syncState.store(aLINK_SYNC_IDLE);

  uint8_t chunk[kReaderChunkBytes];
  bool waitAnsweredAtOnce = false;
  while (link->running.load() != 0) {
    size_t got = 0;
    const aErr read = aStream_ReadSome(link->stream, chunk, sizeof chunk, &got);
    // Asked before the bytes are used: they may be the new connection's first.
    if (aStream_TakeNewConnection(link->stream)) sNewConnection(link);

    if (read == aErrNotReady) {
      const uint32_t status = link->status.load();
      if (status == aLINK_STATUS_SYNCING || status == aLINK_STATUS_READERROR) sIdleSync(link);
      if (waitAnsweredAtOnce) aTime_MSSleep(kReaderNoWaitPauseMs);
      if (link->running.load() == 0) break;
      const aErr waited = aStream_WaitForInput(link->stream, sReaderWaitMs(link));
      waitAnsweredAtOnce = waited == aErrNone;
      // A transport that cannot wait is failing; rest instead of asking it again at once.
      if (waited != aErrNone && waited != aErrTimeout) aTime_MSSleep(kReaderFailedWaitPauseMs);
      continue;
    }
    waitAnsweredAtOnce = false;

    if (read == aErrPacket) {
      // A framed transport dropped a bad frame: a packet is lost, so step is lost too.
      aTRACE(aDEBUG_LINK, "Out of sync");
      sStartSync(link);
      continue;
    }
    if (read != aErrNone) {
      aTRACE(aDEBUG_LINK, " sInPipeProcess(%d) IO_ERROR [aStream_Read()==>%d]\n",
             static_cast<int>(link->linkId), static_cast<int>(read));
      link->status.store(aLINK_STATUS_READERROR);
      aTime_MSSleep(kReadErrorPauseMs);
      continue;
    }
    for (size_t i = 0; i < got; ++i) sReaderByte(link, chunk[i]);
  }
  return nullptr;
}

// --- writer --------------------------------------------------------------------------------------

// Records the packet as sent and writes it. The record goes in before the write, so that a
// module's answer, which the reader records as it arrives, always follows its request in the
// log; a failed write is traced by the caller.
aErr sWriteSingle(aLink* link, const aPacket* packet) {
  uint8_t bytes[aPACKETMAXBYTES];
  size_t count = 0;
  if (aPacket_GetBytes(packet, bytes, sizeof bytes, &count) != aErrNone) return aErrPacket;
  sLogWire(link, aPACKETLOG_SENT, bytes, count);
  return aStream_Write(link->stream, bytes, count);
}

// Appends the packets to the pool (the wake-up packet is dropped) and frees them.
void sPoolAppend(uint8_t* pool, size_t* used, aPacket** batch, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    size_t added = 0;
    if (!sIsWakePacket(batch[i]) &&
        aPacket_GetBytes(batch[i], pool + *used, kPoolBytes - *used, &added) == aErrNone) {
      *used += added;
    }
    aPacket_Destroy(&batch[i]);
  }
}

// Packs the packet and then what the queue holds, taken in one locked step while it fits, into
// one write. When more than the first packet was queued, a caller is putting a burst: the writer
// gives it the processor and takes what came, until the pool is full or the burst has ended
// (kPoolGatherYields yields bring nothing), so that a burst costs one write per pool rather
// than one per wake-up. A single packet goes out at once. Every packet of the write is recorded
// as sent (before the write, as in sWriteSingle).
aErr sWritePooled(aLink* link, const aPacket* first, uint8_t* pool, aPacket** batch) {
  size_t used = 0;
  if (aPacket_GetBytes(first, pool, kPoolBytes, &used) != aErrNone) return aErrPacket;
  const uint64_t queue = link->outputQueue.load();
  size_t taken = aPacketFifo_GetBatch(queue, batch, kPoolMaxPackets, kPoolBytes - used);
  const bool burst = taken > 0;
  sPoolAppend(pool, &used, batch, taken);
  for (int idle = 0; burst && idle < kPoolGatherYields && used + 2 <= kPoolBytes;) {
    std::this_thread::yield();
    taken = aPacketFifo_GetBatch(queue, batch, kPoolMaxPackets, kPoolBytes - used);
    if (taken == 0) {
      // The next packet does not fit: the pool is as full as it gets.
      if (aPacketFifo_GetLength(queue) > 0) break;
      ++idle;
      continue;
    }
    idle = 0;
    sPoolAppend(pool, &used, batch, taken);
  }
  sLogPool(link, pool, used);
  return aStream_Write(link->stream, pool, used);
}

// Sends what is still queued when the link stops, one packet per write, until the queue is
// empty, the deadline has passed or a write fails.
void sFinalFlush(aLink* link) {
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + kFinalFlushDeadlineMs;
  while (aTime_GetMonotonicMSTicks() < deadline) {
    aPacket* packet = aPacketFifo_Get(link->outputQueue.load());
    if (packet == nullptr) break;
    const aErr written = sIsWakePacket(packet) ? aErrNone : sWriteSingle(link, packet);
    aPacket_Destroy(&packet);
    if (written != aErrNone) {
      aTRACE(aDEBUG_LINK, "sOutPipeProcess error writing: %d\n", static_cast<int>(written));
      break;
    }
  }
}

void* sOutPipeProcess(void* argument) {
  aLink* link = static_cast<aLink*>(argument);
  link->writerReady.store(1);
  std::unique_ptr<uint8_t[]> pool(new (std::nothrow) uint8_t[kPoolBytes]);
  std::unique_ptr<aPacket*[]> batch(new (std::nothrow) aPacket*[kPoolMaxPackets]);

  while (link->running.load() != 0) {
    const uint64_t asked = aTime_GetMonotonicMSTicks();
    aPacket* packet = aPacketFifo_Await(link->outputQueue.load(), kWriterWaitMs);
    if (packet == nullptr) {
      if (aTime_GetMonotonicMSTicks() - asked < kWriterWaitMs) aTime_MSSleep(kWriterNoQueuePauseMs);
      continue;
    }
    if (sIsWakePacket(packet)) {
      aPacket_Destroy(&packet);
      continue;
    }
    if (link->pooled.load() != 0 && pool != nullptr && batch != nullptr) {
      const aErr written = sWritePooled(link, packet, pool.get(), batch.get());
      if (written != aErrNone) {
        aTRACE(aDEBUG_LINK, "sOutPipeProcess error writing pooled: %d\n",
               static_cast<int>(written));
      }
    } else {
      const aErr written = sWriteSingle(link, packet);
      if (written != aErrNone) {
        aTRACE(aDEBUG_LINK, "sOutPipeProcess error writing: %d\n", static_cast<int>(written));
      }
    }
    aPacket_Destroy(&packet);
  }
  sFinalFlush(link);
  return nullptr;
}

std::shared_ptr<aLink> sRecord(uint32_t linkId) { return sGetLink(linkId); }

}  // namespace

aLink::~aLink() {
  if (assembly != nullptr) aPacket_Destroy(&assembly);
  aPacketLog* log = packetLog.exchange(nullptr);
  if (log != nullptr) aPacketLog_Destroy(&log);
  if (filterMutex != nullptr) aMutex_Destroy(&filterMutex);
  if (logMutex != nullptr) aMutex_Destroy(&logMutex);
}

// --- engine operations ---------------------------------------------------------------------------

uint32_t aLink_Init(uint32_t linkId, aStream* stream) {
  aLinkEntryRef entry = sLookupEntryByID(linkId);
  if (!entry || !entry->link) return 0;
  aLink* link = entry->link.get();
  if (link->readerThread != nullptr || link->writerThread != nullptr) return 0;

  uint64_t input = aPacketFifo_Create();
  uint64_t output = aPacketFifo_Create();
  aPacket* assembly = aPacket_Create();
  if (link->filterMutex == nullptr) {
    char name[64];
    snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
    link->filterMutex = aMutex_Create(name);
  }
  if (link->logMutex == nullptr) {
    char name[64];
    snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
    link->logMutex = aMutex_Create(name);
  }
  if (input == 0 || output == 0 || assembly == nullptr || link->filterMutex == nullptr ||
      link->logMutex == nullptr) {
    if (input != 0) aPacketFifo_Destroy(&input);
    if (output != 0) aPacketFifo_Destroy(&output);
    if (assembly != nullptr) aPacket_Destroy(&assembly);
    return 0;
  }

  link->linkId = linkId;
  link->check = aLINKCHECK;
  link->running.store(0);
  if (stream != nullptr) {
    link->stream = stream;
    link->status.store(aLINK_STATUS_STOPPED);
  } else {
    link->status.store(aLINK_STATUS_NOSTREAM);
  }
  link->readerThread = nullptr;
  link->writerThread = nullptr;
  uint64_t old = link->inputQueue.exchange(input);
  if (old != 0) aPacketFifo_Destroy(&old);
  old = link->outputQueue.exchange(output);
  if (old != 0) aPacketFifo_Destroy(&old);
  link->readerProc = sInPipeProcess;
  link->writerProc = sOutPipeProcess;
  link->readerReady.store(0);
  link->writerReady.store(0);
  link->heartbeatState.store(aLINK_HB_IDLE);
  link->heartbeatCallback = nullptr;
  link->syncState.store(aLINK_SYNC_IDLE);
  if (link->assembly != nullptr) aPacket_Destroy(&link->assembly);
  link->assembly = assembly;
  // The packet log, its size and its mutex stay, as the user filter does: a reset keeps them.
  link->pooled.store(0);
  link->probeBurstSent.store(false);
  // The user filter stays: a reset re-initialises the record and must keep it (a first init
  // sees a zero-filled record, so the filter is null there anyway).
  return linkId;
}

aErr aLink_Start(uint32_t linkId) {
  std::shared_ptr<aLink> link = sRecord(linkId);
  if (!link) return aErrParam;
  if (link->running.load() != 0) return aErrNone;

  link->running.store(1);
  link->status.store(aLINK_STATUS_STARTING);
  link->heartbeatState.store(aLINK_HB_IDLE);
  link->readerReady.store(0);
  link->writerReady.store(0);
  link->readerThread = aThread_Create(link->readerProc, link.get());
  if (link->readerThread == nullptr) return aErrResource;
  link->writerThread = aThread_Create(link->writerProc, link.get());
  if (link->writerThread == nullptr) return aErrResource;

  bool ready = false;
  for (int check = 0; check < kStartReadyChecks && !ready; ++check) {
    ready = link->readerReady.load() != 0 && link->writerReady.load() != 0 &&
            link->status.load() == aLINK_STATUS_RUNNING;
    if (!ready) aTime_MSSleep(kStartReadyPollMs);
  }
  if (!ready) return aErrIndexRange;
  return aLink_ForceRoute(linkId, 1);
}

aErr aLink_Sync(uint32_t linkId) {
  std::shared_ptr<aLink> link = sRecord(linkId);
  if (!link) return aErrParam;
  link->status.store(aLINK_STATUS_SYNCING);
  // An idle reader waits without a bound while the link runs: it must see the new status.
  aStream_Wake(link->stream);

  aErr result = aErrNotReady;
  for (int check = 0; check < kSyncChecks; ++check) {
    if (link->status.load() == aLINK_STATUS_RUNNING) {
      result = aErrNone;
      break;
    }
    aTime_MSSleep(kSyncPollMs);
  }
  // Only the handshake's own traffic goes: probes not yet written, then the module's
  // surplus answers to them. Force-route and heartbeat answers stay queued.
  aPacketFifo_DrainPackets(link->outputQueue.load(), sIsProbe, nullptr);
  aTime_MSSleep(kSyncSettleMs);
  const uint8_t address = link->syncAddress.load();
  aPacketFifo_DrainPackets(link->inputQueue.load(), sIsProbeAnswer, &address);
  return result;
}

aErr aLink_ForceRoute(uint32_t linkId, uint8_t on) {
  aLinkEntryRef entry = sLookupEntryByID(linkId);
  if (!entry) return aErrNotFound;
  if (!entry->link) return aErrParam;
  aPacket* packet = aPacket_CreateWithData(aLINK_FORCEROUTE_ADDRESS, 1, &on);
  if (packet == nullptr) return aErrMemory;
  const aErr result = aPacketFifo_Put(entry->link->outputQueue.load(), packet);
  aPacket_Destroy(&packet);
  return result;
}

aErr aLink_Stop(aLink* link) {
  if (link == nullptr) return aErrParam;
  const uint32_t status = link->status.load();
  if (status == aLINK_STATUS_STOPPED || status == aLINK_STATUS_STOPPING) return aErrNone;
  link->status.store(aLINK_STATUS_STOPPING);
  if (link->readerThread == nullptr && link->writerThread == nullptr) return aErrNone;

  // Not queued (aErrNotFound) when a destroy has already taken the link out of the table.
  aErr result = aLink_ForceRoute(link->linkId, 0);
  link->running.store(0);
  sWakeWriter(link);
  aStream_Wake(link->stream);
  if (link->writerThread != nullptr && aThread_Destroy(&link->writerThread) != 0) {
    result = aErrUnknown;
  }
  if (link->readerThread != nullptr && aThread_Destroy(&link->readerThread) != 0) {
    result = aErrUnknown;
  }
  // A writer that had ended before the wake-up packet came leaves it queued.
  aPacketFifo_DrainPackets(link->outputQueue.load(), sIsWakeFilter, nullptr);
  link->readerReady.store(0);
  link->writerReady.store(0);
  aPacket_Reset(link->assembly);
  link->status.store(aLINK_STATUS_STOPPED);
  link->heartbeatState.store(aLINK_HB_IDLE);
  return result;
}

// --- per-link access -----------------------------------------------------------------------------

linkStatus aLink_GetStatus(uint32_t linkId) {
  std::shared_ptr<aLink> link = sRecord(linkId);
  return link ? link->status.load() : aLINK_STATUS_NOSTREAM;
}

aErr aLink_PutPacket(uint32_t linkId, const aPacket* packet) {
  std::shared_ptr<aLink> link = sRecord(linkId);
  if (!link) return aErrParam;
  return aPacketFifo_Put(link->outputQueue.load(), packet);
}

aPacket* aLink_GetPacket(uint32_t linkId) {
  std::shared_ptr<aLink> link = sRecord(linkId);
  return link ? aPacketFifo_Get(link->inputQueue.load()) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t linkId, uint64_t timeoutMs) {
  std::shared_ptr<aLink> link = sRecord(linkId);
  return link ? aPacketFifo_Await(link->inputQueue.load(), timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t linkId, aPacketFilter filter, const void* reference) {
  std::shared_ptr<aLink> link = sRecord(linkId);
  return link ? aPacketFifo_GetFirst(link->inputQueue.load(), filter, reference) : nullptr;
}

aPacket* aLink_AwaitFirst(uint32_t linkId, aPacketFilter filter, const void* reference,
                          uint64_t timeoutMs) {
  std::shared_ptr<aLink> link = sRecord(linkId);
  if (!link || link->running.load() == 0 || link->status.load() != aLINK_STATUS_RUNNING) {
    return nullptr;
  }
  return aPacketFifo_AwaitFirst(link->inputQueue.load(), filter, reference, timeoutMs);
}

size_t aLink_DrainPackets(uint32_t linkId, aPacketFilter filter, const void* reference) {
  std::shared_ptr<aLink> link = sRecord(linkId);
  return link ? aPacketFifo_DrainPackets(link->inputQueue.load(), filter, reference) : 0;
}

aErr aLink_InstallUserPacketFilter(uint32_t linkId, aUserPacketFilter filter, void* reference) {
  std::shared_ptr<aLink> link = sRecord(linkId);
  if (!link) return aErrParam;
  return aLink_InstallUserPacketFilterOn(link.get(), filter, reference);
}

aErr aLink_InstallUserPacketFilterOn(aLink* link, aUserPacketFilter filter, void* reference) {
  if (link == nullptr) return aErrParam;
  if (link->filterMutex == nullptr) {  // never initialised: no reader can be running
    link->userFilter = filter;
    link->userFilterRef = reference;
    return aErrNone;
  }
  const aErr locked = aMutex_Lock(link->filterMutex);
  if (locked != aErrNone) return locked;
  link->userFilter = filter;
  link->userFilterRef = reference;
  aMutex_Unlock(link->filterMutex);
  return aErrNone;
}

aErr aLink_SwapUserPacketFilter(uint32_t linkId, aUserPacketFilter expected,
                                const void* expectedRef, aUserPacketFilter filter,
                                void* reference) {
  std::shared_ptr<aLink> link = sRecord(linkId);
  if (!link) return aErrParam;
  if (link->filterMutex == nullptr) {  // never initialised: no reader can be running
    if (link->userFilter != expected || link->userFilterRef != expectedRef) return aErrBusy;
    link->userFilter = filter;
    link->userFilterRef = reference;
    return aErrNone;
  }
  const aErr locked = aMutex_Lock(link->filterMutex);
  if (locked != aErrNone) return locked;
  aErr result = aErrBusy;
  if (link->userFilter == expected && link->userFilterRef == expectedRef) {
    link->userFilter = filter;
    link->userFilterRef = reference;
    result = aErrNone;
  }
  aMutex_Unlock(link->filterMutex);
  return result;
}

aErr aLink_EnablePooledPackets(uint32_t linkId, bool enable) {
  std::shared_ptr<aLink> link = sRecord(linkId);
  if (!link) return aErrParam;
  link->pooled.store(enable ? 1 : 0);
  return aErrNone;
}
