// Stream delivery internals: the stream table's rows, the jobs of the stream worker and the
// single-producer single-consumer ring that carries them from the core link's reader thread.
// Internal to the class interface.
#pragma once

#include <cstddef>

namespace Zentrova {
namespace Kolvantis {

// One row of a Link's stream table; filled in with stream delivery.
struct StreamEntry {};

// A stream packet handed to the stream worker; filled in with stream delivery.
struct asyncPacket {};

// Single-producer single-consumer queue of fixed capacity feeding the stream worker.
template <typename T>
class LocklessQueue_SPSC {
 public:
  explicit LocklessQueue_SPSC(size_t slots) : slots_(slots) {}
  size_t capacity() const { return slots_; }

 private:
  size_t slots_;
};

}  // namespace Kolvantis
}  // namespace Zentrova
