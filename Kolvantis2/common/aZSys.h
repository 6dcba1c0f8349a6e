// Process-wide pieces shared by the ZeroMQ users of the library (the sharing broker and the
// broker client stream).
#pragma once

#include <cstddef>

// Run after every poll of a broker, responder or client thread: when CZMQ caught an interrupt,
// hands it to the process's own SIGINT handling, once per process. After that one interrupt
// the process's sharing stops (every thread's poll reports it and its loop ends).
void zSysInterruptHandler_process();

// Writes a new in-process endpoint name "inproc://kv-<kind>-<n>" into out (n from a counter of
// the process, never reused); false when it does not fit.
bool aZSys_NewInprocEndpoint(const char* kind, char* out, size_t size);
