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
    return sFind(lock.table(), [linkId](const aLinkEntry& entry) { return entry.linkId == linkId; });
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
  const void* headBefore = nullptr;
  uint32_t nextId = 0;
  size_t remaining = 0;
  try {
    TableLock lock;
    if (!lock.locked()) return nullptr;
    LinkTable& table = lock.table();
    headBefore = table.head.get();
    nextId = table.nextId;
    for (aLinkEntryRef* link = &table.head; *link; link = &(*link)->next) {
      if ((*link)->linkId != linkId) continue;
      extracted = std::move(*link);
      *link = std::move(extracted->next);
      break;
    }
    remaining = sCount(table);
  } catch (...) {
    return nullptr;
  }
  aTRACE(aDEBUG_LINK, "sExtractEntry() Links: head=%p, nextID=%d", headBefore,
         static_cast<int>(nextId));
  if (extracted) {
    aTRACE(aDEBUG_LINK, "  sExtractEntry(%d) -  %d remaining\n", static_cast<int>(linkId),
           static_cast<int>(remaining));
    if (remaining == 0) aTRACE(aDEBUG_LINK, "NO MORE LINKS");
  }
  return extracted;
}

int16_t sChangeUseCount(aLinkEntry* entry, int delta) {
  if (entry == nullptr) return 0;
  int16_t count = 0;
  try {
    TableLock lock;
    if (!lock.locked()) return 0;
    count = static_cast<int16_t>(static_cast<uint16_t>(entry->useCount) + static_cast<uint16_t>(delta));
    entry->useCount = count;
  } catch (...) {
    return 0;
  }
  aTRACE(aDEBUG_LINK, " sChangeUseCount(%d, %+d) ==> %d\n", static_cast<int>(entry->linkId), delta,
         static_cast<int>(count));
  return count;
}

std::shared_ptr<aLink> sGetLink(uint32_t linkId) {
  aLinkEntryRef entry = sLookupEntryByID(linkId);
  if (!entry) return nullptr;
  // Shares the entry's ownership, so the record cannot go while the caller holds it.
  return std::shared_ptr<aLink>(entry, entry->link.get());
}
