// Logger thread running a consumer over a file.
#include "aLogger.h"

#include <cstdio>
#include <new>

namespace {

// The logger whose thread this is; null on every other thread.
thread_local const aLogger* tOwnLogger = nullptr;

bool sOnOwnThread(const aLogger* logger) { return tOwnLogger == logger; }

// The stream of the logger's file; null when it has none (closed by a failed destroy).
FILE* sStream(const aLogger* logger) {
  return logger->file != nullptr ? logger->file->file : nullptr;
}

void* sRunLog(void* argument) {
  aLogger* logger = static_cast<aLogger*>(argument);
  tOwnLogger = logger;
  while (logger->enabled.load() != 0) {
    logger->consumer(logger->file, logger->id);
    FILE* stream = sStream(logger);
    if (stream != nullptr && ferror(stream) != 0) {
      logger->failed.store(1);
      break;
    }
  }
  tOwnLogger = nullptr;
  return nullptr;
}

}  // namespace

aLogger* aLogger_Create(uint32_t id, aLoggerConsumer consumer, const char* path) {
  if (consumer == nullptr) return nullptr;
  aFile* file = aFile_Open(path, aFileModeAppend);
  if (file == nullptr) return nullptr;
  if (aFile_SetUnbuffered(file) != aErrNone) {
    aFile_Close(&file);
    return nullptr;
  }
  aLogger* logger = new (std::nothrow) aLogger;
  if (logger == nullptr) {
    aFile_Close(&file);
    return nullptr;
  }
  logger->id = id;
  logger->consumer = consumer;
  logger->file = file;
  logger->check = aLOGGERCHECK;
  return logger;
}

aErr aLogger_Enable(aLogger* logger) {
  if (!aVALIDLOGGER(logger)) return aErrParam;
  if (sOnOwnThread(logger) || logger->thread != nullptr) return aErrNone;  // already running
  // A new run writes afresh: a failure seen before is no longer this run's.
  logger->failed.store(0);
  if (FILE* stream = sStream(logger)) clearerr(stream);
  logger->enabled.store(1);
  logger->thread = aThread_Create(sRunLog, logger);
  if (logger->thread == nullptr) {
    logger->enabled.store(0);
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLogger* logger) {
  if (!aVALIDLOGGER(logger)) return aErrParam;
  if (sOnOwnThread(logger)) return aErrNone;  // a thread cannot wait for itself
  logger->enabled.store(0);
  if (logger->thread == nullptr) return aErrNone;
  return aThread_Destroy(&logger->thread) == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLogger** logger) {
  if (logger == nullptr || !aVALIDLOGGER(*logger)) return aErrNone;
  aLogger* doomed = *logger;
  if (sOnOwnThread(doomed)) return aErrBusy;
  const aErr disabled = aLogger_Disable(doomed);
  if (doomed->file != nullptr) aFile_Close(&doomed->file);
  if (disabled != aErrNone) return disabled;  // the record stays for another try
  doomed->check = 0;
  delete doomed;
  *logger = nullptr;
  return aErrNone;
}
