// Link: the packet log, copied from the core link's log into a text file by a logger thread.
//
// Each record becomes one line: "<count> > " for a packet sent, "<count> < " for a packet
// received or a text record, then the bytes ("0x%X " each, or the characters themselves for
// text), then CR LF.
#include <sys/stat.h>

#include <cstdio>

#include "aLink.h"
#include "aLogger.h"
#include "aPacketLog.h"
#include "aTime.h"
#include "LinkImpl.h"

namespace Zentrova {
namespace Kolvantis {

namespace {

// ms the consumer sleeps when it finds no record (empty log, link gone), so it never spins.
constexpr uint64_t kPacketLogIdleMs = 5;
// The text record that opens every logging session, its terminating zero included.
constexpr uint8_t kStartRecord[] = "START";
// Longest line: "255 < ", five characters per byte ("0xFF "), CR LF and snprintf's zero.
constexpr size_t kLineHeadMax = 8;
constexpr size_t kLineByteMax = 5;
constexpr size_t kLineMax = kLineHeadMax + aPACKETLOG_MAXRECORD * kLineByteMax + 3;

// True when the logger writes to the file at path (the same file, however it is spelled).
bool LogsTo(const aLogger* logger, const char* path) {
  if (!aVALIDLOGGER(logger) || !aVALIDFILE(logger->file) || logger->file->file == nullptr) {
    return false;
  }
  struct stat named {};
  struct stat opened {};
  if (stat(path, &named) != 0 || fstat(fileno(logger->file->file), &opened) != 0) return false;
  return named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

// One record as one line of the file. The line is built whole and written at once; a text
// record may hold zero bytes, so the line is counted, not terminated.
void WriteRecordLine(aFile* file, uint32_t type, uint32_t length, const uint8_t* record) {
  char line[kLineMax];
  int used = std::snprintf(line, sizeof line, "%d %s ", static_cast<int>(length),
                           type == aPACKETLOG_SENT ? ">" : "<");
  if (used < 0) return;
  for (uint32_t i = 0; i < length; ++i) {
    if (type == aPACKETLOG_TEXT) {
      line[used++] = static_cast<char>(record[i]);
    } else {
      used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used), "0x%X ",
                            static_cast<unsigned>(record[i]));
    }
  }
  line[used++] = '\r';
  line[used++] = '\n';
  aFile_Write(file, reinterpret_cast<const uint8_t*>(line), static_cast<size_t>(used), nullptr);
}

// Takes every record left in the core log, writing each to the file when one is given. Run
// while the core log is disabled and no logger thread reads it.
void TakeLeftovers(uint32_t linkId, aFile* file) {
  uint8_t record[aPACKETLOG_MAXRECORD];
  for (;;) {
    uint32_t type = 0;
    uint32_t length = sizeof record;
    if (aLink_PacketDebug_Read(linkId, &type, &length, record) != aErrNone) return;
    if (file != nullptr) WriteRecordLine(file, type, length, record);
  }
}

}  // namespace

void Link::impl::readDebugBuffer(aFile* file, uint32_t linkId) {
  // Large enough for any record: a longer one would stay at the head of the log for ever.
  uint8_t record[aPACKETLOG_MAXRECORD];
  uint32_t type = 0;
  uint32_t length = sizeof record;
  if (aLink_PacketDebug_Read(linkId, &type, &length, record) != aErrNone) {
    aTime_MSSleep(kPacketLogIdleMs);
    return;
  }
  WriteRecordLine(file, type, length, record);
}

void Link::impl::stopPacketLog() {
  if (packetLogger == nullptr) return;
  // Nothing reads the core log once the logger is gone.
  if (linkId != 0) aLink_PacketDebug_Disable(linkId);
  aLogger_Destroy(&packetLogger);
}

aErr Link::enablePacketLog(const char* path) {
  impl& state = *m_impl;
  if (state.linkId == 0) return aErrConfiguration;
  if (path == nullptr) return aErrParam;
  // A new session starts with "START" as its first record: recording stops while the records
  // of the last session go to its file and START goes in. A log made here first may have
  // caught a packet or two before this session began; they are dropped.
  aLink_PacketDebug_Disable(state.linkId);
  if (state.packetLogger != nullptr) {
    const aErr stopped = aLogger_Disable(state.packetLogger);
    if (stopped != aErrNone) return stopped;
    TakeLeftovers(state.linkId, state.packetLogger->file);
    if (!LogsTo(state.packetLogger, path)) {
      // Another file: the old logger ends with its file.
      const aErr destroyed = aLogger_Destroy(&state.packetLogger);
      if (destroyed != aErrNone) return destroyed;
    }
  }
  if (state.packetLogger == nullptr) {
    state.packetLogger = aLogger_Create(state.linkId, impl::readDebugBuffer, path);
    // No file, no consumer: the core log stays disabled.
    if (state.packetLogger == nullptr) return aErrIO;
  }
  const aErr enabled = aLink_PacketDebug_Enable(state.linkId);
  if (enabled != aErrNone) return enabled;
  aLink_PacketDebug_Disable(state.linkId);
  TakeLeftovers(state.linkId, nullptr);
  aLink_PacketDebug_Write(state.linkId, aPACKETLOG_TEXT, sizeof kStartRecord, kStartRecord);
  aLink_PacketDebug_Enable(state.linkId);
  const aErr started = aLogger_Enable(state.packetLogger);
  if (started != aErrNone) aLink_PacketDebug_Disable(state.linkId);
  return started;
}

aErr Link::disablePacketLog() {
  impl& state = *m_impl;
  if (state.linkId == 0) return aErrConfiguration;
  aLink_PacketDebug_Disable(state.linkId);
  if (state.packetLogger == nullptr) return aErrParam;
  return aLogger_Disable(state.packetLogger);
}

}  // namespace Kolvantis
}  // namespace Zentrova
