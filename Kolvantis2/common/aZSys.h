// Process-wide pieces shared by the ZeroMQ users of the library (the sharing broker and the
// broker client stream).
#pragma once

#include <cstddef>

typedef struct _zactor_t zactor_t;
typedef struct _zpoller_t zpoller_t;

// Starts CZMQ for the library; its every first use of CZMQ comes here. When SIGINT is ignored
// at the first call (a background job of a shell script inherits that), CZMQ's own signal
// handlers are left off, so SIGINT and SIGTERM keep the process's handling.
void aZSys_Init();

// Run after every poll of a broker, responder or client thread: when CZMQ caught an interrupt,
// hands it to the process's own SIGINT handling, once per process. After that one interrupt
// the process's sharing stops (every thread's poll reports it and its loop ends).
void zSysInterruptHandler_process();

// Whether a worker's wait loop ends, asked after its wait and the interrupt hand-over: when
// CZMQ's interrupted flag is set, or when the wait failed (error: the errno it left, 0 when it
// did not fail) with anything but EINTR, such as ETERM when the context ends. A wait that a
// signal cut short while the flag is clear (any signal with a handler does that) is waited
// again.
bool aZSys_WaitEndsLoop(int error);

// One wait of a worker's loop on its poller: waits up to timeoutMs, runs the interrupt
// hand-over and answers the socket that has input, or null. *end tells that the loop ends here
// (aZSys_WaitEndsLoop); no socket is answered then.
void* aZSys_WorkerWait(zpoller_t* poller, int timeoutMs, bool* end);

// Stops a worker actor and clears the pointer (nothing for null): a signal on its pipe, its own
// signal back, each step bounded by 250 ms, then CZMQ's destruction of the actor.
void _signalWaitDestroyActor(zactor_t** actor);

// Writes a new in-process endpoint name "inproc://kv-<kind>-<n>" into out (n from a counter of
// the process, never reused); false when it does not fit.
bool aZSys_NewInprocEndpoint(const char* kind, char* out, size_t size);
