#include "aPacketFifo.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <shared_mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using PacketPtr = SerialPacket::PacketPtr;
using FifoRef = std::shared_ptr<packetFifo>;

// The process-wide map from handle to queue. Allocated on first use and never destroyed, so
// threads still running at exit never meet a destroyed registry.
struct Registry {
  std::map<uint64_t, FifoRef> gpPacketFifoDictionary;
  // Shared for lookups, which every queue operation makes (a link's reader, writer and callers
  // at once); exclusive only to add or remove a queue.
  std::shared_mutex gpPacketFifoDictionaryMutex;
};

Registry& sRegistry() {
  static Registry* const registry = new Registry();
  return *registry;
}

// Handles count up from 1.
std::atomic<uint64_t> gpSequentialId{1};

// A new reference to the queue, empty when the handle is unknown.
FifoRef sGetFifo(uint64_t handle) {
  Registry& registry = sRegistry();
  std::shared_lock<std::shared_mutex> lock(registry.gpPacketFifoDictionaryMutex);
  auto found = registry.gpPacketFifoDictionary.find(handle);
  return found != registry.gpPacketFifoDictionary.end() ? found->second : FifoRef();
}

// The same, and the entry is removed from the registry.
FifoRef sExtractFifo(uint64_t handle) {
  Registry& registry = sRegistry();
  std::lock_guard<std::shared_mutex> lock(registry.gpPacketFifoDictionaryMutex);
  auto found = registry.gpPacketFifoDictionary.find(handle);
  if (found == registry.gpPacketFifoDictionary.end()) return FifoRef();
  FifoRef fifo = std::move(found->second);
  registry.gpPacketFifoDictionary.erase(found);
  return fifo;
}

// A wait's end point. A time-out that would carry the clock past its range has none: such a
// wait lasts until its condition holds.
struct Deadline {
  bool bounded;
  Clock::time_point at;
};

Deadline sDeadline(uint64_t timeoutMs) {
  const Clock::time_point now = Clock::now();
  const auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  if (timeoutMs >= static_cast<uint64_t>(room.count())) return {false, now};
  return {true, now + std::chrono::milliseconds(timeoutMs)};
}

// Waits on the queue's condition until the predicate holds or the deadline has passed; true
// when it holds. Past the deadline the predicate is tested once more.
template <typename Predicate>
bool sWait(packetFifo& fifo, std::unique_lock<std::mutex>& lock, const Deadline& deadline,
           Predicate predicate) {
  if (!deadline.bounded) {
    fifo.condition.wait(lock, predicate);
    return true;
  }
  return fifo.condition.wait_until(lock, deadline.at, predicate);
}

// Takes the element at position out of the queue (caller holds the mutex) and hands its packet,
// the queue's own copy, to the caller, who alone holds it from then on.
aPacket* _stealPacketFromFifo(packetFifo& fifo, packetFifo::Elements::iterator position) {
  aPacket* packet = position->getPacket().release();
  fifo.eraseAndSyncWindow(position);
  return packet;
}

bool _waitUntilNotEmpty(packetFifo& fifo, std::unique_lock<std::mutex>& lock,
                        const Deadline& deadline) {
  return sWait(fifo, lock, deadline, [&fifo] { return !fifo.packets.empty() || !fifo.isValid; });
}

// Walks the queue from the front for the first element the filter selects, offering only the
// elements that are newer than lastChecked, and moves lastChecked past every element offered.
packetFifo::Elements::iterator sScan(packetFifo& fifo, aPacketFilter filter, const void* reference,
                                     int64_t& lastChecked) {
  for (auto it = fifo.packets.begin(); it != fifo.packets.end(); ++it) {
    const int64_t id = it->getId();
    if (id - lastChecked <= 0) continue;
    lastChecked = id;
    if (filter(it->getPacket().get(), reference) != 0) return it;
  }
  return fifo.packets.end();
}

// Waits until a scan finds a packet or the queue is destroyed; the found element, or end.
packetFifo::Elements::iterator _waitUntilProcIsSatisfied(packetFifo& fifo,
                                                         std::unique_lock<std::mutex>& lock,
                                                         const Deadline& deadline,
                                                         aPacketFilter filter,
                                                         const void* reference) {
  int64_t lastChecked = fifo.windowStart - 1;
  auto found = fifo.packets.end();
  sWait(fifo, lock, deadline, [&] {
    found = sScan(fifo, filter, reference, lastChecked);
    return found != fifo.packets.end() || !fifo.isValid;
  });
  return found;
}

}  // namespace

std::atomic<void (*)(uint64_t)> aPacketFifo_PutTestHook{nullptr};

void aPacketDeleter::operator()(aPacket* packet) const { aPacket_Destroy(&packet); }

void packetFifo::syncWindow() {
  windowStart = packets.empty() ? nextId.load() : packets.front().getId();
}

void packetFifo::clearAndSyncWindow() {
  packets.clear();
  windowStart = nextId.load();
}

void packetFifo::eraseAndSyncWindow(Elements::iterator position) {
  packets.erase(position);
  syncWindow();
}

void packetFifo::eraseAndSyncWindow(Elements::iterator first, Elements::iterator last) {
  packets.erase(first, last);
  syncWindow();
}

uint64_t sNextFifoHandle(std::atomic<uint64_t>& counter) {
  uint64_t handle;
  do {
    handle = counter++;
  } while (handle == 0);
  return handle;
}

uint64_t aPacketFifo_Create(void) {
  try {
    Registry& registry = sRegistry();
    std::lock_guard<std::shared_mutex> lock(registry.gpPacketFifoDictionaryMutex);
    const uint64_t handle = sNextFifoHandle(gpSequentialId);
    registry.gpPacketFifoDictionary.emplace(handle, std::make_shared<packetFifo>());
    return handle;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(uint64_t* handle) {
  if (handle == nullptr) return aErrParam;
  try {
    FifoRef fifo = sExtractFifo(*handle);
    if (!fifo) return aErrNotFound;
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      fifo->clearAndSyncWindow();
      fifo->isValid = false;
      fifo->condition.notify_all();
    }
    // Waiters still hold their own references; the queue goes with the last of them.
    fifo.reset();
    *handle = 0;
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

size_t aPacketFifo_GetLength(uint64_t handle) {
  try {
    FifoRef fifo = sGetFifo(handle);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->packets.size();
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Put(uint64_t handle, const aPacket* packet) {
  try {
    if (!aVALIDPACKET(packet)) return aErrParam;
    FifoRef fifo = sGetFifo(handle);
    if (!fifo) return aErrParam;
    void (*hook)(uint64_t) = aPacketFifo_PutTestHook.load(std::memory_order_acquire);
    if (hook != nullptr) hook(handle);

    std::unique_lock<std::mutex> lock(fifo->mutex);
    // A destroy may have taken the queue out of the registry after the lookup; it then answers
    // as an unknown handle rather than keeping a packet nobody can reach.
    if (!fifo->isValid) return aErrParam;

    const int64_t id = fifo->nextId++;  // used up even when the copy fails
    PacketPtr copy(aPacket_Copy(packet));
    if (!copy) return aErrParam;
    try {
      fifo->packets.emplace_back(id, std::move(copy));
    } catch (...) {
      return aErrResource;
    }
    fifo->windowStart = fifo->packets.front().getId();

    if (fifo->packets.size() > aPACKETFIFO_MAXPACKETS) {
      // Overflow: everything goes, the new packet included, and nobody is woken.
      fifo->clearAndSyncWindow();
      return aErrNone;
    }
    lock.unlock();
    fifo->condition.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrResource;
  }
}

aPacket* aPacketFifo_Get(uint64_t handle) {
  try {
    FifoRef fifo = sGetFifo(handle);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    if (fifo->packets.empty()) return nullptr;
    return _stealPacketFromFifo(*fifo, fifo->packets.begin());
  } catch (...) {
    return nullptr;
  }
}

size_t aPacketFifo_GetBatch(uint64_t handle, aPacket** out, size_t maxPackets, size_t maxBytes) {
  try {
    if (out == nullptr || maxPackets == 0) return 0;
    FifoRef fifo = sGetFifo(handle);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    size_t taken = 0;
    size_t bytes = 0;
    auto it = fifo->packets.begin();
    while (it != fifo->packets.end() && taken < maxPackets) {
      const size_t wire = 2 + static_cast<size_t>(it->getPacket()->dataSize);
      if (bytes + wire > maxBytes) break;
      bytes += wire;
      out[taken++] = it->getPacket().release();
      ++it;
    }
    fifo->eraseAndSyncWindow(fifo->packets.begin(), it);
    return taken;
  } catch (...) {
    return 0;
  }
}

aPacket* aPacketFifo_Await(uint64_t handle, uint64_t timeoutMs) {
  try {
    FifoRef fifo = sGetFifo(handle);
    if (!fifo) return nullptr;
    const Deadline deadline = sDeadline(timeoutMs);

    std::unique_lock<std::mutex> lock(fifo->mutex);
    if (!_waitUntilNotEmpty(*fifo, lock, deadline)) return nullptr;
    // Woken by a destroy: the queue is empty for good.
    if (fifo->packets.empty()) return nullptr;
    return _stealPacketFromFifo(*fifo, fifo->packets.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_GetFirst(uint64_t handle, aPacketFilter filter, const void* reference) {
  try {
    if (filter == nullptr) return nullptr;
    FifoRef fifo = sGetFifo(handle);
    if (!fifo) return nullptr;

    std::lock_guard<std::mutex> lock(fifo->mutex);
    for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
      if (filter(it->getPacket().get(), reference) != 0) return _stealPacketFromFifo(*fifo, it);
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_AwaitFirst(uint64_t handle, aPacketFilter filter, const void* reference,
                                uint64_t timeoutMs) {
  try {
    if (filter == nullptr) return nullptr;
    FifoRef fifo = sGetFifo(handle);
    if (!fifo) return nullptr;
    const Deadline deadline = sDeadline(timeoutMs);

    std::unique_lock<std::mutex> lock(fifo->mutex);
    auto found = _waitUntilProcIsSatisfied(*fifo, lock, deadline, filter, reference);
    if (found == fifo->packets.end()) return nullptr;
    return _stealPacketFromFifo(*fifo, found);
  } catch (...) {
    return nullptr;
  }
}

size_t aPacketFifo_DrainPackets(uint64_t handle, aPacketFilter filter, const void* reference) {
  try {
    if (filter == nullptr) return 0;
    FifoRef fifo = sGetFifo(handle);
    if (!fifo) return 0;

    std::lock_guard<std::mutex> lock(fifo->mutex);
    const size_t before = fifo->packets.size();
    // Ask the filter about every element first, so that a filter that throws leaves the queue
    // untouched; then close the gaps, keeping the unselected elements in order.
    std::vector<bool> selected(before);
    for (size_t i = 0; i < before; ++i) {
      selected[i] = filter(fifo->packets[i].getPacket().get(), reference) != 0;
    }
    size_t kept = 0;
    for (size_t i = 0; i < before; ++i) {
      if (selected[i]) continue;
      if (kept != i) fifo->packets[kept] = std::move(fifo->packets[i]);
      ++kept;
    }
    fifo->eraseAndSyncWindow(fifo->packets.begin() + static_cast<std::ptrdiff_t>(kept),
                             fifo->packets.end());
    return before - fifo->packets.size();
  } catch (...) {
    return 0;
  }
}
