// Packet log: a byte ring of records (type, length, bytes) that a link's reader and writer
// threads fill with the packets they receive and send, and the per-link access to it by link
// ID. The ring functions take no lock; the per-link functions take the link's log mutex.
#pragma once

#include <atomic>
#include <cstdint>

#include "aError.h"

// Record types.
#define aPACKETLOG_SENT 1
#define aPACKETLOG_RECEIVED 2
#define aPACKETLOG_TEXT 3

// Largest record length (one length byte).
#define aPACKETLOG_MAXRECORD 255u
// Ring size of a link's log when none was set.
#define aPACKETLOG_DEFAULTSIZE 0x10000u
// Largest ring size that may be set for a link's log.
#define aPACKETLOG_MAXSIZE 0x4000000u

struct aPacketLog {
  std::atomic<uint8_t> enabled{0};
  uint8_t* data = nullptr;
  uint32_t size = 0;
  uint32_t readPos = 0;
  uint32_t writePos = 0;
};

// A new empty log with a size-byte ring, not enabled; null when memory is short or the size is
// below 3 (a ring must hold at least one record of no bytes and keep one byte free).
aPacketLog* aPacketLog_Create(uint32_t size);

// Appends a record, dropping the oldest records to make room. aErrNone; aErrParam for a null
// log, a length above 255 or null bytes with a length above 0 (nothing written); aErrOverrun
// when the record (length + 2 bytes) can never fit.
aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes);

// Takes the oldest record. *length is the buffer's capacity on entry and the record's length
// on return. aErrNone; aErrNotFound when the log is empty; aErrOverrun when the record is
// longer than the capacity (the record stays, *type and *length describe it); aErrParam for a
// null log, type or length, or a null buffer with a capacity above 0.
aErr aPacketLog_Get(aPacketLog* log, uint32_t* type, uint32_t* length, uint8_t* buffer);

// Clears enabled, frees the ring and the record and clears the pointer; aErrNone (also for a
// null log).
aErr aPacketLog_Destroy(aPacketLog** log);

// --- per link, by link ID (an ID that names no link gives aErrParam) ---------------------------

// The log lives as long as its link: made by the first enable, kept by disable and by a link
// reset, freed by the link's destruction. Every access holds the link's log mutex, which the
// link record makes once and keeps for its life. The link's reader and writer record every
// packet received (type 2) and sent (type 1) while the log exists and is enabled.

// Size of the log to be made on first enable: above 0x4000000 (read as signed) aErrParam,
// negative counts as 0 (the default); aErrBusy when the link already has a log.
aErr aLink_PacketDebug_SetLogSize(uint32_t linkId, uint32_t size);
// Makes the log on first use (the size set, else 0x10000) and enables it; aErrResource when it
// cannot be made (a later call tries again).
aErr aLink_PacketDebug_Enable(uint32_t linkId);
// Clears enabled: once it returns, the link's threads record nothing more until the next
// enable. aErrNotReady when the link has no log.
aErr aLink_PacketDebug_Disable(uint32_t linkId);
// aPacketLog_Get on the link's log under its mutex; aErrNotReady when the link has no log.
aErr aLink_PacketDebug_Read(uint32_t linkId, uint32_t* type, uint32_t* length, uint8_t* buffer);
// aPacketLog_Put on the link's log under its mutex; aErrNotReady when the link has no log.
aErr aLink_PacketDebug_Write(uint32_t linkId, uint8_t type, uint32_t length, const uint8_t* bytes);
