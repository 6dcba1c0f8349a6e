// Work a part of the stand-in module does at times of its own choosing (late replies, stream
// samples), driven by the front end: it calls poll() whenever nextDue() has passed, under the
// same lock as the ModuleCore, and then writes out what the core has ready.
#pragma once

#include <chrono>
#include <optional>

namespace kvsim {

class TimedWork {
 public:
  using Clock = std::chrono::steady_clock;
  virtual ~TimedWork() = default;
  // Sends what has fallen due by now.
  virtual void poll(Clock::time_point now = Clock::now()) = 0;
  // When poll() has something to do next; nullopt while nothing is scheduled.
  virtual std::optional<Clock::time_point> nextDue() const = 0;
};

}  // namespace kvsim
