// Process-wide pieces shared by the ZeroMQ users of the library (the sharing broker and the
// broker client stream).
#pragma once

#include <cstddef>

typedef struct _zactor_t zactor_t;

// Run after every poll of a broker, responder or client thread: when CZMQ caught an interrupt,
// hands it to the process's own SIGINT handling, once per process. After that one interrupt
// the process's sharing stops (every thread's poll reports it and its loop ends).
void zSysInterruptHandler_process();

// Stops a worker actor and clears the pointer (nothing for null): a signal on its pipe, its own
// signal back, each step bounded by 250 ms, then CZMQ's destruction of the actor.
void _signalWaitDestroyActor(zactor_t** actor);

// Writes a new in-process endpoint name "inproc://kv-<kind>-<n>" into out (n from a counter of
// the process, never reused); false when it does not fit.
bool aZSys_NewInprocEndpoint(const char* kind, char* out, size_t size);
