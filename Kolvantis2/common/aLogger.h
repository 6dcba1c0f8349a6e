// Logger: runs a consumer function in a loop on a thread of its own, handing it a file opened
// for appending (unbuffered). The class interface uses it to copy a link's packet log into a
// text file.
//
// A logger belongs to one controlling thread, which creates, enables, disables and destroys
// it; the logger's own thread reads only the fields set before it started and the enabled
// flag. The consumer is expected to sleep briefly when it finds nothing to do. A write that
// fails leaves the file's error mark: the thread then ends and sets failed, so a consumer
// whose every later write would be lost the same way is called no more.
#pragma once

#include <atomic>
#include <cstdint>

#include "aError.h"
#include "aFile.h"
#include "aThread.h"

#define aLOGGERCHECK 0xDEED

typedef void (*aLoggerConsumer)(aFile* file, uint32_t id);

struct aLogger {
  uint32_t id = 0;
  aLoggerConsumer consumer = nullptr;
  aFile* file = nullptr;
  // The logger's thread, null while none runs; the controlling thread's alone. The logger's
  // own thread knows itself by a thread-local mark set as it begins (aLogger.cpp), so it never
  // reads this field while the controlling thread writes it.
  aThread* thread = nullptr;
  std::atomic<uint8_t> enabled{0};  // 1 while the thread is to run
  uint16_t check = 0;               // aLOGGERCHECK while valid, cleared before the free
  // Set by the logger's thread when a consumer call left a write error on the file (the thread
  // then ends); cleared by aLogger_Enable, and by the controlling thread once it has seen it.
  std::atomic<uint8_t> failed{0};
};

#define aVALIDLOGGER(l) ((l) != nullptr && (l)->check == aLOGGERCHECK)

// A new logger, not running, with the file opened for appending and unbuffered; null for a
// null consumer, when memory is short or the file cannot be opened.
aLogger* aLogger_Create(uint32_t id, aLoggerConsumer consumer, const char* path);
// Starts the thread, which calls consumer(file, id) in a loop while enabled is set and no
// write to the file has failed; failed and the file's error mark are cleared first. aErrNone
// (also when running or ended by a failed write but not yet disabled, and from the logger's
// own thread); aErrParam for an invalid logger; aErrResource when the thread cannot be started
// (enabled cleared again).
aErr aLogger_Enable(aLogger* logger);
// Clears enabled and waits for the thread to end (it ends within one consumer call);
// aErrNone (also when stopped); aErrParam for an invalid logger; aErrUnknown when the wait
// fails. From the logger's own thread: aErrNone, nothing changed (the thread runs on until
// the controlling thread disables it).
aErr aLogger_Disable(aLogger* logger);
// Disables, closes the file, frees the record and clears the pointer; the disable's result
// (the record is kept when it is not aErrNone, its file closed all the same); aErrNone for an
// invalid logger. From the logger's own thread aErrBusy and nothing changed: the record
// cannot be freed under the thread that runs on it.
aErr aLogger_Destroy(aLogger** logger);
