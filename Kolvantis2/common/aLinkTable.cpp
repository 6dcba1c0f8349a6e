#include "aLinkTable.h"

#include <cstddef>
#include <new>

#include "aDebug.h"
#include "aMutex.h"

namespace {

// The table itself: newest entry first. Made on first use and never destroyed, so the first
// call creates the lock exactly once even when threads arrive together, and threads still
// running at exit never meet a destroyed table.
struct LinkTable {
  aLinkEntryRef head;
  uint32_t nextId = 1;
  aMutex* mutex = nullptr;
};

LinkTable* sMakeTable() {
  std::unique_ptr<LinkTable> table(new LinkTable());
  table->mutex = aMutex_Create("aLink_Managed");
  // Throwing leaves the static below unset, so the next call tries again.
  if (table->mutex == nullptr) throw std::bad_alloc();
  return table.release();
}

LinkTable& _links() {
  static LinkTable* const table = sMakeTable();
  return *table;
}

// Holds the table lock for one search or change; locked() is false when it could not be taken,
// and the operation then answers as for a failure.
class TableLock {
 public:
  TableLock() : table_(_links()), locked_(aMutex_Lock(table_.mutex) == aErrNone) {}
  ~TableLock() {
    if (locked_) aMutex_Unlock(table_.mutex);
  }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

  bool locked() const { return locked_; }
  LinkTable& table() { return table_; }

 private:
  LinkTable& table_;
  bool locked_;
};

// The newest entry that the predicate accepts (table lock held), or null.
template <typename Predicate>
aLinkEntryRef sFind(const LinkTable& table, Predicate accepts) {
  for (const aLinkEntryRef* link = &table.head; *link; link = &(*link)->next) {
    if (accepts(**link)) return *link;
  }
  return nullptr;
}

size_t sCount(const LinkTable& table) {
  size_t count = 0;
  for (const aLinkEntry* entry = table.head.get(); entry != nullptr; entry = entry->next.get()) {
    ++count;
  }
  return count;
}

// Unlinks the entry with that link ID (table lock held); null when none has it.
aLinkEntryRef sUnlink(LinkTable& table, uint32_t linkId) {
  for (aLinkEntryRef* link = &table.head; *link; link = &(*link)->next) {
    if ((*link)->linkId != linkId) continue;
    aLinkEntryRef extracted = std::move(*link);
    *link = std::move(extracted->next);
    return extracted;
  }
  return nullptr;
}

// What the table looked like at an extraction, for its trace.
struct ExtractionTrace {
  const void* headBefore = nullptr;
  uint32_t nextId = 0;
  size_t remaining = 0;
};

void sTraceExtraction(uint32_t linkId, bool extracted, const ExtractionTrace& seen) {
  aTRACE(aDEBUG_LINK, "sExtractEntry() Links: head=%p, nextID=%d", seen.headBefore,
         static_cast<int>(seen.nextId));
  if (extracted) {
    aTRACE(aDEBUG_LINK, "  sExtractEntry(%d) -  %d remaining\n", static_cast<int>(linkId),
           static_cast<int>(seen.remaining));
    if (seen.remaining == 0) aTRACE(aDEBUG_LINK, "NO MORE LINKS");
  }
}

void sTraceUseCount(uint32_t linkId, int delta, int16_t count) {
  aTRACE(aDEBUG_LINK, " sChangeUseCount(%d, %+d) ==> %d\n", static_cast<int>(linkId), delta,
         static_cast<int>(count));
}

// Adds delta to the use count with 16-bit wrapping (table lock held); the new count.
int16_t sAddUses(aLinkEntry& entry, int delta) {
  entry.useCount =
      static_cast<int16_t>(static_cast<uint16_t>(entry.useCount) + static_cast<uint16_t>(delta));
  return entry.useCount;
}

}  // namespace

uint32_t sNextLinkId(uint32_t& counter) {
  if (counter == 0) ++counter;
  return counter++;
}

uint32_t sCreate(uint32_t ident0, uint32_t ident1, uint32_t type) {
  return sCreate2(ident0, ident1, 0, type);
}

uint32_t sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type) {
  uint32_t linkId = 0;
  try {
    // Allocated before the lock is taken; value-initialisation zero-fills the record.
    aLinkEntryRef entry = std::make_shared<aLinkEntry>();
    entry->link.reset(new aLink());
    entry->parentId = 0;
    entry->broker = nullptr;
    entry->ident0 = ident0;
    entry->ident1 = ident1;
    entry->ident2 = ident2;
    entry->type = type;
    entry->useCount = 0;

    TableLock lock;
    if (!lock.locked()) return 0;
    LinkTable& table = lock.table();
    linkId = sNextLinkId(table.nextId);
    entry->linkId = linkId;
    entry->link->linkId = linkId;
    entry->next = std::move(table.head);
    table.head = std::move(entry);
  } catch (...) {
    return 0;
  }
  aTRACE(aDEBUG_LINK, " sCreate2: ident0: %d, ident1: %d, ident2: %d, type: %d, new id: %d\n",
         static_cast<int>(ident0), static_cast<int>(ident1), static_cast<int>(ident2),
         static_cast<int>(type), static_cast<int>(linkId));
  return linkId;
}

aLinkEntryRef sLookupEntryByID(uint32_t linkId) {
  try {
    TableLock lock;
    if (!lock.locked()) return nullptr;
    return sFind(lock.table(),
                 [linkId](const aLinkEntry& entry) { return entry.linkId == linkId; });
  } catch (...) {
    return nullptr;
  }
}

aLinkEntryRef sLookupEntryByIdentifier(uint32_t ident0, uint32_t type) {
  try {
    TableLock lock;
    if (!lock.locked()) return nullptr;
    return sFind(lock.table(), [ident0, type](const aLinkEntry& entry) {
      return entry.ident0 == ident0 && entry.type == type;
    });
  } catch (...) {
    return nullptr;
  }
}

aLinkEntryRef sLookupEntryByTrident(uint32_t ident0, uint32_t ident1, uint32_t ident2) {
  try {
    TableLock lock;
    if (!lock.locked()) return nullptr;
    return sFind(lock.table(), [ident0, ident1, ident2](const aLinkEntry& entry) {
      return entry.ident0 == ident0 && entry.ident1 == ident1 && entry.ident2 == ident2;
    });
  } catch (...) {
    return nullptr;
  }
}

aLinkEntryRef sExtractEntry(uint32_t linkId) {
  aLinkEntryRef extracted;
  ExtractionTrace seen;
  try {
    TableLock lock;
    if (!lock.locked()) return nullptr;
    LinkTable& table = lock.table();
    seen.headBefore = table.head.get();
    seen.nextId = table.nextId;
    extracted = sUnlink(table, linkId);
    seen.remaining = sCount(table);
  } catch (...) {
    return nullptr;
  }
  sTraceExtraction(linkId, extracted != nullptr, seen);
  return extracted;
}

aLinkEntryRef sUseEntryByIdentifier(uint32_t ident0, uint32_t type, bool unlessShared,
                                    bool* shared) {
  if (shared != nullptr) *shared = false;
  aLinkEntryRef entry;
  int16_t count = 0;
  try {
    TableLock lock;
    if (!lock.locked()) return nullptr;
    entry = sFind(lock.table(), [ident0, type](const aLinkEntry& candidate) {
      return candidate.ident0 == ident0 && candidate.type == type;
    });
    if (!entry) return nullptr;
    if (unlessShared && entry->broker != nullptr) {
      if (shared != nullptr) *shared = true;
      return entry;
    }
    count = sAddUses(*entry, 1);
  } catch (...) {
    return nullptr;
  }
  sTraceUseCount(entry->linkId, 1, count);
  return entry;
}

aLinkEntryRef sReleaseUse(uint32_t linkId, int16_t* uses) {
  aLinkEntryRef entry;
  bool extracted = false;
  int16_t count = 0;
  ExtractionTrace seen;
  try {
    TableLock lock;
    if (!lock.locked()) return nullptr;
    LinkTable& table = lock.table();
    entry =
        sFind(table, [linkId](const aLinkEntry& candidate) { return candidate.linkId == linkId; });
    if (!entry) return nullptr;
    count = sAddUses(*entry, -1);
    if (count <= 0) {
      seen.headBefore = table.head.get();
      seen.nextId = table.nextId;
      extracted = sUnlink(table, linkId) != nullptr;
      seen.remaining = sCount(table);
    }
  } catch (...) {
    return nullptr;
  }
  sTraceUseCount(linkId, -1, count);
  if (extracted) sTraceExtraction(linkId, true, seen);
  if (uses != nullptr) *uses = count;
  return entry;
}

aLinkEntryRef sUseEntryByID(uint32_t linkId) {
  aLinkEntryRef entry;
  int16_t count = 0;
  try {
    TableLock lock;
    if (!lock.locked()) return nullptr;
    entry = sFind(lock.table(),
                  [linkId](const aLinkEntry& candidate) { return candidate.linkId == linkId; });
    if (!entry) return nullptr;
    count = sAddUses(*entry, 1);
  } catch (...) {
    return nullptr;
  }
  sTraceUseCount(linkId, 1, count);
  return entry;
}

namespace {

// Table lock held: whether the entry may get a broker.
aErr sShareable(const aLinkEntry* entry) {
  if (entry == nullptr) return aErrParam;
  return entry->broker == nullptr && entry->useCount == 1 ? aErrNone : aErrBusy;
}

// Runs change on the entry with that link ID under the table lock; aErrParam when none has it.
template <typename Change>
aErr sWithEntry(uint32_t linkId, Change change) {
  try {
    TableLock lock;
    if (!lock.locked()) return aErrResource;
    aLinkEntryRef entry = sFind(
        lock.table(), [linkId](const aLinkEntry& candidate) { return candidate.linkId == linkId; });
    if (!entry) return aErrParam;
    return change(*entry);
  } catch (...) {
    return aErrResource;
  }
}

}  // namespace

aErr sCheckShareable(uint32_t linkId) {
  return sWithEntry(linkId, [](aLinkEntry& entry) { return sShareable(&entry); });
}

aErr sAttachBroker(uint32_t linkId, aServer* broker) {
  if (broker == nullptr) return aErrParam;
  return sWithEntry(linkId, [broker](aLinkEntry& entry) {
    const aErr shareable = sShareable(&entry);
    if (shareable == aErrNone) entry.broker = broker;
    return shareable;
  });
}

aServer* sDetachBroker(uint32_t linkId) {
  aServer* broker = nullptr;
  sWithEntry(linkId, [&broker](aLinkEntry& entry) {
    broker = entry.broker;
    entry.broker = nullptr;
    return aErrNone;
  });
  return broker;
}

bool sSetParent(uint32_t linkId, uint32_t parentId) {
  return sWithEntry(linkId, [parentId](aLinkEntry& entry) {
           entry.parentId = parentId;
           return aErrNone;
         }) == aErrNone;
}

int16_t sChangeUseCount(aLinkEntry* entry, int delta) {
  if (entry == nullptr) return 0;
  int16_t count = 0;
  try {
    TableLock lock;
    if (!lock.locked()) return 0;
    count = sAddUses(*entry, delta);
  } catch (...) {
    return 0;
  }
  sTraceUseCount(entry->linkId, delta, count);
  return count;
}

std::shared_ptr<aLink> sGetLink(uint32_t linkId) {
  aLinkEntryRef entry = sLookupEntryByID(linkId);
  if (!entry) return nullptr;
  // Shares the entry's ownership, so the record cannot go while the caller holds it.
  return std::shared_ptr<aLink>(entry, entry->link.get());
}
