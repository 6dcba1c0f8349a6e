#include "aZSys.h"

#include <czmq.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

// Serialises the hand-over among the threads that notice the same interrupt.
std::mutex _sigint_mutex;
// Set once SIGINT was raised: the process's own handling sees one interrupt only.
bool _sigint_latch = false;

std::atomic<unsigned long long> sInprocCounter{0};

constexpr int kStopHandshakeMs = 250;  // ms each step of a worker's stop may take
constexpr int kNoTimeout = -1;         // ZeroMQ's "no time-out"

}  // namespace

void zSysInterruptHandler_process() {
  if (!zsys_interrupted) return;
  std::lock_guard<std::mutex> hold(_sigint_mutex);
  // Puts back the handling the process had before CZMQ installed its own, so that the raise
  // below reaches it.
  zsys_handler_set(nullptr);
  if (!_sigint_latch) {
    _sigint_latch = true;
    raise(SIGINT);
  }
  zsys_handler_reset();
}

void _signalWaitDestroyActor(zactor_t** actor) {
  if (actor == nullptr || *actor == nullptr) return;
  zsock_set_sndtimeo(*actor, kStopHandshakeMs);
  zsock_set_rcvtimeo(*actor, kStopHandshakeMs);
  zsock_signal(*actor, 0);
  zsock_wait(*actor);
  zsock_set_sndtimeo(*actor, kNoTimeout);
  zsock_set_rcvtimeo(*actor, kNoTimeout);
  zactor_destroy(actor);
}

bool aZSys_NewInprocEndpoint(const char* kind, char* out, size_t size) {
  if (kind == nullptr || out == nullptr || size == 0) return false;
  const unsigned long long number = sInprocCounter.fetch_add(1);
  const int written = std::snprintf(out, size, "inproc://kv-%s-%llu", kind, number);
  if (written < 0 || static_cast<size_t>(written) >= size) {
    out[0] = '\0';
    return false;
  }
  return true;
}
