// Link: the packet log, copied from the core link's log into a text file by a logger thread.
//
// Each record becomes one line: "<count> > " for a packet sent, "<count> < " for a packet
// received or a text record, then the bytes ("0x%X " each, or the characters themselves for
// text), then CR LF.
//
// One core link has one log, and several Links may log it at once (a router's Link and those
// of the modules behind it share the router's core link); each record then goes to one of
// their files. The core log is enabled while at least one of them logs: a Link's enable,
// disable or stop disables or drains it only when no other Link logs it.
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <mutex>

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

// The number of Links logging each core link, by core link ID. Its lock is held for a whole
// enable, disable or stop, so that the steps of two Links on one core log never interleave
// (the logger threads never take it). Made on first use and never freed: a Link may stop its
// log while the process exits.
struct LoggingLinks {
  std::mutex lock;
  std::map<uint32_t, unsigned> count;
};

LoggingLinks& sLoggingLinks() {
  static LoggingLinks* const links = new LoggingLinks();
  return *links;
}

// Lock held: the Links other than this one that log its core link.
unsigned OthersLogging(LoggingLinks& links, const Link::impl& state) {
  const auto found = links.count.find(state.linkId);
  const unsigned all = found != links.count.end() ? found->second : 0;
  return state.packetLogCore == state.linkId && all > 0 ? all - 1 : all;
}

// Lock held: this Link counts as logging its core link from now on.
void CountIn(LoggingLinks& links, Link::impl& state) {
  if (state.packetLogCore != 0) return;
  ++links.count[state.linkId];
  state.packetLogCore = state.linkId;
}

// Lock held: this Link no longer counts as logging.
void CountOut(LoggingLinks& links, Link::impl& state) {
  if (state.packetLogCore == 0) return;
  const auto found = links.count.find(state.packetLogCore);
  if (found != links.count.end() && --found->second == 0) links.count.erase(found);
  state.packetLogCore = 0;
}

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
// record may hold zero bytes, so the line is counted, not terminated. aErrIO when the write
// fails.
aErr WriteRecordLine(aFile* file, uint32_t type, uint32_t length, const uint8_t* record) {
  char line[kLineMax];
  int used = std::snprintf(line, sizeof line, "%d %s ", static_cast<int>(length),
                           type == aPACKETLOG_SENT ? ">" : "<");
  if (used < 0) return aErrIO;
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
  return aFile_Write(file, reinterpret_cast<const uint8_t*>(line), static_cast<size_t>(used),
                     nullptr);
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
  LoggingLinks& links = sLoggingLinks();
  std::lock_guard<std::mutex> hold(links.lock);
  // Nothing reads the core log once the last logger is gone.
  if (linkId != 0 && OthersLogging(links, *this) == 0) aLink_PacketDebug_Disable(linkId);
  CountOut(links, *this);
  aLogger_Destroy(&packetLogger);
}

aErr Link::enablePacketLog(const char* path) {
  impl& state = *m_impl;
  if (state.linkId == 0) return aErrConfiguration;
  if (path == nullptr) return aErrParam;
  LoggingLinks& links = sLoggingLinks();
  std::lock_guard<std::mutex> hold(links.lock);
  // While another Link logs the core link, its log stays enabled and keeps its records (that
  // Link's logger takes them). Alone, the Link stops the recording while the records of its
  // last session go to that session's file, and drops what is left before the new session.
  const bool alone = OthersLogging(links, state) == 0;
  if (alone) aLink_PacketDebug_Disable(state.linkId);
  CountOut(links, state);
  if (state.packetLogger != nullptr) {
    const aErr stopped = aLogger_Disable(state.packetLogger);
    if (stopped != aErrNone) return stopped;
    // A logger whose write failed is reported here and ends with its file; this call starts
    // no session (a later one may).
    const bool failed = state.packetLogger->failed.exchange(0) != 0;
    if (alone && !failed) TakeLeftovers(state.linkId, state.packetLogger->file);
    if (failed || !LogsTo(state.packetLogger, path)) {
      const aErr destroyed = aLogger_Destroy(&state.packetLogger);
      if (destroyed != aErrNone) return destroyed;
    }
    if (failed) return aErrIO;
  }
  if (state.packetLogger == nullptr) {
    state.packetLogger = aLogger_Create(state.linkId, impl::readDebugBuffer, path);
    // No file, no consumer.
    if (state.packetLogger == nullptr) return aErrIO;
  }
  // START opens the session in this Link's own file, before any record of it; a file that
  // takes no bytes gets no logger.
  if (WriteRecordLine(state.packetLogger->file, aPACKETLOG_TEXT, sizeof kStartRecord,
                      kStartRecord) != aErrNone) {
    aLogger_Destroy(&state.packetLogger);
    return aErrIO;
  }
  // Made here first, the core log may have caught a packet or two before the session began;
  // alone, they are dropped.
  const aErr enabled = aLink_PacketDebug_Enable(state.linkId);
  if (enabled != aErrNone) return enabled;
  if (alone) {
    aLink_PacketDebug_Disable(state.linkId);
    TakeLeftovers(state.linkId, nullptr);
    aLink_PacketDebug_Enable(state.linkId);
  }
  const aErr started = aLogger_Enable(state.packetLogger);
  if (started != aErrNone) {
    if (alone) aLink_PacketDebug_Disable(state.linkId);
    return started;
  }
  CountIn(links, state);
  return aErrNone;
}

aErr Link::disablePacketLog() {
  impl& state = *m_impl;
  if (state.linkId == 0) return aErrConfiguration;
  LoggingLinks& links = sLoggingLinks();
  std::lock_guard<std::mutex> hold(links.lock);
  if (OthersLogging(links, state) == 0) aLink_PacketDebug_Disable(state.linkId);
  CountOut(links, state);
  if (state.packetLogger == nullptr) return aErrParam;
  const aErr stopped = aLogger_Disable(state.packetLogger);
  if (stopped != aErrNone) return stopped;
  // A write of the session that failed is reported once.
  return state.packetLogger->failed.exchange(0) != 0 ? aErrIO : aErrNone;
}

}  // namespace Kolvantis
}  // namespace Zentrova
