// The process-wide link table: one entry per core link, carrying its link ID, the identifiers
// by which a later create call recognises the same device, its use count, its relations to a
// parent link and a sharing broker, and the link record the engine works on.
//
// Internal to the library: the link engine and the sharing broker reach links only through
// these functions. Entries are handed out under shared ownership, so an entry (and its link
// record) stays valid for as long as a caller holds it, even after a concurrent extraction has
// taken it out of the table. The table's lock is held only inside each function, never across
// calls, and no other lock is taken while it is held.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "aDiscovery.h"
#include "aError.h"
#include "aLinkRecord.h"

// The sharing broker that serves a link; the table only carries the pointer.
struct aServer;

// Transport types of table entries.
#define aLINKENTRY_STREAM 0u  // bare stream, never looked up
#define aLINKENTRY_USB aLINK_TYPE_USB
#define aLINKENTRY_TCPIP aLINK_TYPE_TCPIP
#define aLINKENTRY_SERIAL aLINK_TYPE_SERIAL
#define aLINKENTRY_CLIENT aLINK_TYPE_CLIENT  // broker client

struct aLinkEntry {
  uint32_t linkId;    // never 0, never handed out twice
  uint32_t parentId;  // device link a broker client shares (holding one use of it), else 0
  aServer* broker;    // broker sharing this link, else null; owned by the entry, not the table
  uint32_t ident0;
  uint32_t ident1;
  uint32_t ident2;
  uint32_t type;     // aLINKENTRY_...
  int16_t useCount;  // guarded by the table lock: read and change it with sChangeUseCount
  std::unique_ptr<aLink> link;       // zero-filled at creation, linkId set
  std::shared_ptr<aLinkEntry> next;  // older entry; guarded by the table lock
};

using aLinkEntryRef = std::shared_ptr<aLinkEntry>;

// sCreate2 with identifier 2 = 0.
uint32_t sCreate(uint32_t ident0, uint32_t ident1, uint32_t type);

// Adds a new entry (use count 0, no parent, no broker, a zero-filled link record) at the head of
// the table, where it shadows older entries with the same identifiers; its link ID, or 0 when
// memory is short.
uint32_t sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type);

// The entry with that link ID, or null.
aLinkEntryRef sLookupEntryByID(uint32_t linkId);

// The newest entry whose identifier 0 and type both match, or null.
aLinkEntryRef sLookupEntryByIdentifier(uint32_t ident0, uint32_t type);

// The newest entry whose three identifiers all match, whatever its type, or null.
aLinkEntryRef sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2);

// Unlinks the entry with that link ID and hands the table's reference to the caller; null (and
// nothing changed) when no entry has that ID.
aLinkEntryRef sExtractEntry(uint32_t linkId);

// Adds delta to the entry's use count with 16-bit wrapping arithmetic and gives the new count
// (0 for a null entry, which is ignored).
int16_t sChangeUseCount(aLinkEntry* entry, int delta);

// The newest entry whose identifier 0 and type both match, with one use added in the same step
// under the table lock, so that no destroy can drop the last use and take the entry out in
// between; null when none matches. With unlessShared an entry that a broker shares gets no use:
// it is still answered, and *shared (when not null) is set.
aLinkEntryRef sUseEntryByIdentifier(uint32_t ident0, uint32_t type, bool unlessShared,
                                    bool* shared);

// Drops one use of the entry with that link ID and, when that was the last (the count is 0 or
// below), takes it out of the table in the same step under the table lock, so that no create
// can add a use to an entry on its way out. The entry, with the new count in *uses; null (and
// nothing changed) when no entry has that ID.
aLinkEntryRef sReleaseUse(uint32_t linkId, int16_t* uses);

// The entry with that link ID with one use added in the same step under the table lock; null
// (and nothing changed) when no entry has that ID.
aLinkEntryRef sUseEntryByID(uint32_t linkId);

// Whether a broker may be put in front of the link: aErrNone when its entry holds exactly one
// use (the caller's) and no broker; aErrParam for an unknown link, aErrBusy otherwise.
aErr sCheckShareable(uint32_t linkId);

// Stores the broker in the entry when sCheckShareable holds, in the same step under the table
// lock, from which on the device creates that refuse shared links refuse this one. Its result.
aErr sAttachBroker(uint32_t linkId, aServer* broker);

// Takes the broker out of the entry and hands it to the caller; null when none (or unknown).
aServer* sDetachBroker(uint32_t linkId);

// Sets the entry's parent link; false for an unknown link.
bool sSetParent(uint32_t linkId, uint32_t parentId);

// Test hook, null in production: called by aLink_Destroy with the link ID once the last use is
// dropped and the entry is out of the table, before the link is torn down.
extern std::atomic<void (*)(uint32_t linkId)> aLink_DestroyTestHook;

// The link record of the entry with that link ID, or null. The record keeps its entry alive.
std::shared_ptr<aLink> sGetLink(uint32_t linkId);

// Takes the next link ID from counter and advances it, passing over 0 when the counter wraps.
uint32_t sNextLinkId(uint32_t& counter);
