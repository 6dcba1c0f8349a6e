// Logger: runs a consumer function in a loop on a thread of its own, handing it a file opened
// for appending (unbuffered). The class interface uses it to copy a link's packet log into a
// text file.
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
  aThread* thread = nullptr;  // null while no thread runs
  std::atomic<uint8_t> enabled{0};
  uint16_t check = 0;
};

#define aVALIDLOGGER(l) ((l) != nullptr && (l)->check == aLOGGERCHECK)

// A new logger, not running, with the file opened for appending and unbuffered; null when
// memory is short or the file cannot be opened.
aLogger* aLogger_Create(uint32_t id, aLoggerConsumer consumer, const char* path);
// Starts the thread; aErrNone (also when running); aErrParam for an invalid logger;
// aErrResource when the thread cannot be started.
aErr aLogger_Enable(aLogger* logger);
// Stops the thread and waits for it; aErrNone (also when stopped); aErrParam for an invalid
// logger; aErrUnknown when the wait fails. From the logger's own thread: aErrNone, no change.
aErr aLogger_Disable(aLogger* logger);
// Disables, closes the file, frees the record and clears the pointer; the disable's result
// (the record is kept when it is not aErrNone); aErrNone for an invalid logger.
aErr aLogger_Destroy(aLogger** logger);
