// Stream delivery internals: the stream table's rows, the jobs of the stream worker and the
// single-producer single-consumer ring that carries them from the core link's reader thread.
// Internal to the class interface.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "Link.h"
#include "aPacket.h"

namespace Zentrova {

// A ring of N slots of which at most N - 1 hold elements, for exactly one producer thread and
// one consumer thread. Only push writes head and only pop writes tail; each index is published
// with a sequentially consistent store after its slot was written (push) or emptied (pop), so
// no lock is needed. N is between 2 and 65535.
template <typename T>
class LocklessQueue_SPSC {
 public:
  explicit LocklessQueue_SPSC(uint16_t slots)
      : slots_(new T[slots < kLeastSlots ? kLeastSlots : slots]()),
        capacity_(slots < kLeastSlots ? kLeastSlots : slots) {}
  LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
  LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

  uint16_t capacity() const { return capacity_; }

  // Producer: false when the ring is full (the element is left untouched). *wasEmpty, when
  // given, tells whether the consumer had taken every earlier element when this one was
  // published: then it may be asleep and needs a signal.
  template <typename U>
  bool push(U&& element, bool* wasEmpty = nullptr) {
    const uint16_t current = head_.load();
    const uint16_t next = _increment(current);
    if (next == tail_.load()) return false;
    slots_[next] = std::forward<U>(element);
    head_.store(next);
    if (wasEmpty != nullptr) *wasEmpty = tail_.load() == current;
    return true;
  }

  // Consumer: true when every published element was taken.
  bool empty() const { return tail_.load() == head_.load(); }

  // Consumer: false when the ring is empty. The slot at tail is never written by push, so it
  // is moved out after tail has moved, and left empty.
  bool pop(T* element) {
    const uint16_t current = tail_.load();
    if (current == head_.load()) return false;
    const uint16_t next = _increment(current);
    tail_.store(next);
    *element = std::move(slots_[next]);
    slots_[next] = T();
    return true;
  }

  uint16_t _increment(uint16_t index) const {
    const uint16_t next = static_cast<uint16_t>(index + 1);
    return next < capacity_ ? next : 0;
  }

 private:
  static constexpr uint16_t kLeastSlots = 2;

  std::unique_ptr<T[]> slots_;
  uint16_t capacity_;
  std::atomic<uint16_t> head_{0};  // the slot last written
  std::atomic<uint16_t> tail_{0};  // the slot last read
};

namespace Kolvantis {

// One row of a Link's stream table: a registration (subindex 0xFF, made by
// registerStreamCallback) or a cache row (every field concrete, made by the first sample of a
// stream a registration covers). Copied and moved whole; a new row is all zero.
struct StreamEntry {
  uint64_t key = 0;
  uint8_t updated = 0;  // 1 while the cached value has not been read since it changed
  Link::streamCallback callback;
  void* reference = nullptr;
  uint32_t value = 0;     // the cached value
  bool hasValue = false;  // a value was cached (always for a cache row)
  // Nonzero for a registration: given when the row is made and kept while its callback is
  // replaced, so that jobs queued for an earlier registration of the key (since erased) are
  // not run. 0 for a cache row.
  uint64_t generation = 0;
  // Changes with each call that sets the row's callback, so that a call that fails takes back
  // its own change only.
  uint64_t revision = 0;
};

// One queued callback job: the row's callback and reference when it was queued, and a copy of
// the stream packet that the job owns (the worker frees it once the job is done). The key and
// the generation name the registration the job was queued for; when a registration changed
// since, the job runs the callback and reference its row holds then. Copying a job copies the
// callback and the two pointers.
struct asyncPacket {
  Link::streamCallback callback;
  void* reference = nullptr;
  aPacket* packet = nullptr;
  uint64_t key = 0;
  uint64_t generation = 0;
  uint64_t tableChanges = 0;  // the Link's count of registration changes when it was queued
};

// True on a stream worker, that is inside a stream callback of some Link.
bool InStreamCallback();

}  // namespace Kolvantis
}  // namespace Zentrova
