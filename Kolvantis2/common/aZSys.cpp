#include "aZSys.h"

#include <czmq.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
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

// True when the process ignores SIGINT.
bool sSigintIgnored() {
  struct sigaction current {};
  return sigaction(SIGINT, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
         current.sa_handler == SIG_IGN;
}

}  // namespace

void aZSys_Init() {
  static std::once_flag first;
  std::call_once(first, [] {
    // CZMQ would put its handlers over the ignore, and one SIGINT would then stop sharing.
    if (sSigintIgnored()) zsys_handler_set(nullptr);
    zsys_init();
  });
}

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

bool aZSys_WaitEndsLoop(int error) { return zsys_interrupted || (error != 0 && error != EINTR); }

void* aZSys_WorkerWait(zpoller_t* poller, int timeoutMs, bool* end) {
  void* which = zpoller_wait(poller, timeoutMs);
  // Any wait that ended without a socket and without its time-out failed: a signal's EINTR, or
  // a context that ended (CZMQ's poller flags the latter as terminated only on some builds).
  const int error = which == nullptr && !zpoller_expired(poller) ? zmq_errno() : 0;
  zSysInterruptHandler_process();
  *end = aZSys_WaitEndsLoop(error);
  return *end ? nullptr : which;
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
