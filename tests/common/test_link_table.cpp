// Link table: link IDs, entries and their identifiers, the three searches, extraction, use
// counts, the link record, the trace lines and concurrent use.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "aDebug.h"
#include "aLinkTable.h"
#include "support.h"

namespace {

// Identifiers no other test uses, so that tests sharing one process never find each other's
// entries.
uint32_t FreshIdentifier() {
  static std::atomic<uint32_t> next{0x5A000000};
  return next++;
}

// Takes every entry that a test made out of the table again.
struct Entries {
  std::vector<uint32_t> ids;
  uint32_t create(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type) {
    const uint32_t id = sCreate2(ident0, ident1, ident2, type);
    if (id != 0) ids.push_back(id);
    return id;
  }
  ~Entries() {
    for (uint32_t id : ids) sExtractEntry(id);
  }
};

// Exit status 0 when the first IDs of a fresh process are 1 upward, with several threads making
// the table's first use together, and IDs are not handed out again after extraction.
int CheckFirstIds() {
  constexpr int kThreads = 8;
  std::vector<uint32_t> ids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ids, t] { ids[t] = sCreate(0x1000 + t, 0, aLINKENTRY_USB); });
  }
  for (std::thread& thread : threads) thread.join();

  std::string problems;
  std::set<uint32_t> expected;
  for (uint32_t id = 1; id <= kThreads; ++id) expected.insert(id);
  if (std::set<uint32_t>(ids.begin(), ids.end()) != expected) {
    problems += "the first IDs are not 1 to " + std::to_string(kThreads) + "\n";
  }
  for (uint32_t id : ids) {
    if (!sExtractEntry(id)) problems += "entry " + std::to_string(id) + " missing\n";
  }
  const uint32_t after = sCreate(0x2000, 0, aLINKENTRY_USB);
  if (after != kThreads + 1) problems += "ID after extraction " + std::to_string(after) + "\n";
  std::fputs(problems.c_str(), stderr);
  return problems.empty() ? 0 : 1;
}

TEST(LinkTableIds, FirstIdIsOneAndIdsAreNeverReused) {
  // A fresh process, so that no earlier test has taken IDs yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(CheckFirstIds()), testing::ExitedWithCode(0), "");
}

TEST(LinkTableIds, CounterPassesOverZeroWhenItWraps) {
  struct Row {
    uint32_t start;
    uint32_t first;
    uint32_t second;
  };
  const Row rows[] = {
      {1, 1, 2},
      {0, 1, 2},
      {UINT32_MAX, UINT32_MAX, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "start " << row.start);
    uint32_t counter = row.start;
    EXPECT_EQ(sNextLinkId(counter), row.first);
    EXPECT_EQ(sNextLinkId(counter), row.second);
  }
}

TEST(LinkTableCreate, NewEntryFields) {
  Entries entries;
  const uint32_t serial = FreshIdentifier();
  const uint32_t id = entries.create(serial, 0x0100007F, 8000, aLINKENTRY_TCPIP);
  ASSERT_NE(id, 0u);
  aLinkEntryRef entry = sLookupEntryByID(id);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->linkId, id);
  EXPECT_EQ(entry->parentId, 0u);
  EXPECT_EQ(entry->broker, nullptr);
  EXPECT_EQ(entry->ident0, serial);
  EXPECT_EQ(entry->ident1, 0x0100007Fu);
  EXPECT_EQ(entry->ident2, 8000u);
  EXPECT_EQ(entry->type, aLINKENTRY_TCPIP);
  EXPECT_EQ(entry->useCount, 0);
  ASSERT_NE(entry->link, nullptr);
  EXPECT_EQ(entry->link->linkId, id);

  // sCreate leaves identifier 2 at 0; IDs keep increasing.
  const uint32_t second = sCreate(serial, 7, aLINKENTRY_SERIAL);
  entries.ids.push_back(second);
  EXPECT_GT(second, id);
  aLinkEntryRef other = sLookupEntryByID(second);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->ident1, 7u);
  EXPECT_EQ(other->ident2, 0u);
  EXPECT_EQ(other->type, aLINKENTRY_SERIAL);
}

TEST(LinkTableLookup, IdentifierSearchFindsTheNewestMatchOfTheSameType) {
  Entries entries;
  const uint32_t serial = FreshIdentifier();
  const uint32_t older = entries.create(serial, 0, 0, aLINKENTRY_USB);
  const uint32_t serialLink = entries.create(serial, 0, 0, aLINKENTRY_SERIAL);
  const uint32_t newer = entries.create(serial, 0, 0, aLINKENTRY_USB);

  struct Row {
    uint32_t type;
    uint32_t expected;
  };
  const Row rows[] = {
      {aLINKENTRY_USB, newer}, {aLINKENTRY_SERIAL, serialLink}, {aLINKENTRY_TCPIP, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "type " << row.type);
    aLinkEntryRef found = sLookupEntryByIdentifier(serial, row.type);
    EXPECT_EQ(found ? found->linkId : 0u, row.expected);
  }
  EXPECT_EQ(sLookupEntryByIdentifier(serial + 0x100000, aLINKENTRY_USB), nullptr);

  // Once the newer entry is gone, the older one is found again.
  ASSERT_NE(sExtractEntry(newer), nullptr);
  aLinkEntryRef found = sLookupEntryByIdentifier(serial, aLINKENTRY_USB);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->linkId, older);
}

TEST(LinkTableLookup, TridentSearchMatchesAllThreeIdentifiersWhateverTheType) {
  Entries entries;
  const uint32_t address = FreshIdentifier();
  const uint32_t client = entries.create(address, 5555, 2, aLINKENTRY_CLIENT);
  const uint32_t tcp = entries.create(address, 5556, 0, aLINKENTRY_TCPIP);

  struct Row {
    uint32_t ident0, ident1, ident2;
    uint32_t expected;
  };
  const Row rows[] = {
      {address, 5555, 2, client}, {address, 5556, 0, tcp},  // any type matches
      {address, 5555, 3, 0},      {address, 5554, 2, 0},   {address + 0x100000, 5555, 2, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.ident0 << " " << row.ident1 << " " << row.ident2);
    aLinkEntryRef found = sLookupEntryByTrident(row.ident0, row.ident1, row.ident2);
    EXPECT_EQ(found ? found->linkId : 0u, row.expected);
  }
}

TEST(LinkTableExtract, HeadMiddleAndLastEntryLeaveTheRestIntact) {
  // Positions count from the head (newest entry).
  for (int position : {0, 1, 2}) {
    SCOPED_TRACE(testing::Message() << "position " << position);
    Entries entries;
    const uint32_t serial = FreshIdentifier();
    uint32_t ids[3];
    for (uint32_t& id : ids) id = entries.create(serial, 0, 0, aLINKENTRY_USB);
    const uint32_t victim = ids[2 - position];

    aLinkEntryRef extracted = sExtractEntry(victim);
    ASSERT_NE(extracted, nullptr);
    EXPECT_EQ(extracted->linkId, victim);
    EXPECT_EQ(extracted->next, nullptr);  // no longer reaches into the table
    EXPECT_EQ(sLookupEntryByID(victim), nullptr);
    EXPECT_EQ(sGetLink(victim), nullptr);
    EXPECT_EQ(sExtractEntry(victim), nullptr);
    for (uint32_t id : ids) {
      if (id == victim) continue;
      aLinkEntryRef entry = sLookupEntryByID(id);
      ASSERT_NE(entry, nullptr) << "entry " << id;
      EXPECT_EQ(entry->linkId, id);
    }
    // The searches still walk the whole list: the oldest survivor is reachable behind others.
    const uint32_t newestLeft = victim == ids[2] ? ids[1] : ids[2];
    aLinkEntryRef newest = sLookupEntryByIdentifier(serial, aLINKENTRY_USB);
    ASSERT_NE(newest, nullptr);
    EXPECT_EQ(newest->linkId, newestLeft);
  }
}

TEST(LinkTableExtract, UnknownIdReturnsNullAndChangesNothing) {
  Entries entries;
  const uint32_t serial = FreshIdentifier();
  const uint32_t id = entries.create(serial, 0, 0, aLINKENTRY_USB);
  for (uint32_t unknown : {0u, id + 100000u}) {
    EXPECT_EQ(sExtractEntry(unknown), nullptr);
    EXPECT_EQ(sLookupEntryByID(unknown), nullptr);
    EXPECT_EQ(sGetLink(unknown), nullptr);
  }
  EXPECT_NE(sLookupEntryByID(id), nullptr);
}

TEST(LinkTableUseCount, SixteenBitWrappingArithmetic) {
  struct Row {
    int16_t start;
    int delta;
    int16_t expected;
  };
  const Row rows[] = {
      {0, -1, -1},  // the destroy path reads 0 and below as the last use gone
      {0, +1, 1},
      {3, -2, 1},
      {5, -5, 0},
      {INT16_MAX, +1, INT16_MIN},
      {INT16_MIN, -1, INT16_MAX},
      {0, 0x10002, 2},
  };
  Entries entries;
  const uint32_t id = entries.create(FreshIdentifier(), 0, 0, aLINKENTRY_USB);
  aLinkEntryRef entry = sLookupEntryByID(id);
  ASSERT_NE(entry, nullptr);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.start << " " << row.delta);
    entry->useCount = row.start;
    EXPECT_EQ(sChangeUseCount(entry.get(), row.delta), row.expected);
    EXPECT_EQ(entry->useCount, row.expected);
  }
  EXPECT_EQ(sChangeUseCount(nullptr, 1), 0);  // ignored
}

TEST(LinkTableOwnership, EntriesAndRecordsOutliveTheirExtraction) {
  const uint32_t id = sCreate(FreshIdentifier(), 0, aLINKENTRY_USB);
  ASSERT_NE(id, 0u);
  aLinkEntryRef held = sLookupEntryByID(id);
  std::shared_ptr<aLink> record = sGetLink(id);
  ASSERT_NE(held, nullptr);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record.get(), held->link.get());
  EXPECT_EQ(record->linkId, id);

  ASSERT_NE(sExtractEntry(id), nullptr);  // the table's reference is dropped at once
  held.reset();
  // The record still keeps its entry; AddressSanitizer reports any use after free here.
  EXPECT_EQ(record->linkId, id);
  record->linkId = id + 1;
}

// --- trace lines -----------------------------------------------------------------------------

// Runs body in a child process with the table emptied first and tracing set as given; what the
// body printed.
RunResult RunTraced(bool enable, uint32_t level, const std::function<void()>& body) {
  return RunInChild(
      [&] {
        // Empty the table: every ID up to the next one is taken out, untraced.
        const uint32_t last = sCreate(0, 0, aLINKENTRY_STREAM);
        for (uint32_t id = 1; id <= last; ++id) sExtractEntry(id);
        aKolvantisDebuggingEnable = enable;
        aKolvantisDebuggingLevel = level;
        body();
      },
      Stdout::Pipe);
}

TEST(LinkTableTrace, LinesUnderTheLinkBit) {
  // The child writes the lines it expects on standard error, the traces go to standard output.
  RunResult result = RunTraced(true, aDEBUG_LINK, [] {
    const uint32_t id = sCreate2(0xFFFFFFFF, 0x1234, 7, aLINKENTRY_STREAM);
    aLinkEntryRef entry = sLookupEntryByID(id);
    sChangeUseCount(entry.get(), +1);
    sChangeUseCount(entry.get(), -2);
    const uint32_t second = sCreate(99, 1, aLINKENTRY_USB);
    sExtractEntry(id);
    aLinkEntryRef last = sLookupEntryByID(second);
    sExtractEntry(second);
    sExtractEntry(second);  // unknown by now

    std::fprintf(stderr, " sCreate2: ident0: -1, ident1: 4660, ident2: 7, type: 0, new id: %d\n",
                 int(id));
    std::fprintf(stderr, " sChangeUseCount(%d, +1) ==> 1\n", int(id));
    std::fprintf(stderr, " sChangeUseCount(%d, -2) ==> -1\n", int(id));
    std::fprintf(stderr, " sCreate2: ident0: 99, ident1: 1, ident2: 0, type: 1, new id: %d\n",
                 int(second));
    std::fprintf(stderr, "sExtractEntry() Links: head=%p, nextID=%d",
                 static_cast<void*>(last.get()), int(second + 1));
    std::fprintf(stderr, "  sExtractEntry(%d) -  1 remaining\n", int(id));
    std::fprintf(stderr, "sExtractEntry() Links: head=%p, nextID=%d",
                 static_cast<void*>(last.get()), int(second + 1));
    std::fprintf(stderr, "  sExtractEntry(%d) -  0 remaining\nNO MORE LINKS", int(second));
    std::fprintf(stderr, "sExtractEntry() Links: head=%p, nextID=%d", static_cast<void*>(nullptr),
                 int(second + 1));
  });
  ASSERT_TRUE(result.exitedWith(0)) << result.err;
  EXPECT_EQ(result.out, result.err);
}

TEST(LinkTableTrace, SilentWithoutTheLinkBitOrTheSwitch) {
  struct Row {
    bool enable;
    uint32_t level;
  };
  const Row rows[] = {{true, ~aDEBUG_LINK}, {false, aDEBUG_LINK}, {false, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.enable << " " << row.level);
    RunResult result = RunTraced(row.enable, row.level, [] {
      const uint32_t id = sCreate(5, 0, aLINKENTRY_USB);
      aLinkEntryRef entry = sLookupEntryByID(id);
      sChangeUseCount(entry.get(), 1);
      sExtractEntry(id);
    });
    ASSERT_TRUE(result.exitedWith(0)) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

// --- concurrency (run under ThreadSanitizer too) ---------------------------------------------

// Creators make links, take and give back uses and extract them at the last use, while
// readers look the same IDs up and use what they found; nothing found may be freed under a
// reader, and each entry is extracted exactly once.
TEST(LinkTableStress, LookupsRacingExtraction) {
  constexpr int kCreators = 3;
  constexpr int kReaders = 3;
  constexpr int kPerCreator = 400;
  const uint32_t serial = FreshIdentifier();

  std::atomic<uint32_t> newest{0};
  std::atomic<bool> done{false};
  std::atomic<int> mismatches{0};
  std::atomic<int> extractions{0};
  std::vector<std::vector<uint32_t>> made(kCreators);

  std::vector<std::thread> creators;
  for (int c = 0; c < kCreators; ++c) {
    creators.emplace_back([&, c] {
      for (int i = 0; i < kPerCreator; ++i) {
        const uint32_t id = sCreate(serial, static_cast<uint32_t>(c), aLINKENTRY_USB);
        if (id == 0) {
          ++mismatches;
          continue;
        }
        made[c].push_back(id);
        newest = id;
        aLinkEntryRef entry = sLookupEntryByID(id);
        if (!entry) continue;  // a reader extracted it already
        sChangeUseCount(entry.get(), +1);
        sChangeUseCount(entry.get(), +1);
        sChangeUseCount(entry.get(), -1);
        if (sChangeUseCount(entry.get(), -1) <= 0 && sExtractEntry(id)) ++extractions;
      }
    });
  }
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      while (!done) {
        const uint32_t id = newest;
        aLinkEntryRef byId = sLookupEntryByID(id);
        if (byId && (byId->linkId != id || byId->link->linkId != id || byId->ident0 != serial)) {
          ++mismatches;
        }
        aLinkEntryRef byIdentifier = sLookupEntryByIdentifier(serial, aLINKENTRY_USB);
        if (byIdentifier && byIdentifier->link->linkId != byIdentifier->linkId) ++mismatches;
        if (std::shared_ptr<aLink> record = sGetLink(id)) {
          if (record->linkId != id) ++mismatches;
        }
        // Racing extractors: at most one of them gets the entry.
        if (r == 0 && byIdentifier && sExtractEntry(byIdentifier->linkId)) ++extractions;
      }
    });
  }
  for (std::thread& thread : creators) thread.join();
  done = true;
  for (std::thread& thread : readers) thread.join();

  std::set<uint32_t> ids;
  for (const auto& list : made) ids.insert(list.begin(), list.end());
  EXPECT_EQ(ids.size(), static_cast<size_t>(kCreators * kPerCreator));
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(extractions, kCreators * kPerCreator);
  for (uint32_t id : ids) EXPECT_EQ(sLookupEntryByID(id), nullptr) << "entry " << id;
}

// Taking a use and dropping the last one are each one step: once the last use is gone the
// entry is out of the table, so no create can add a use to it.
TEST(LinkTable, TheLastUseGoesWithTheEntryInOneStep) {
  constexpr uint32_t kDevice = 0x00C0FFEE;
  const uint32_t id = sCreate(kDevice, 0, aLINKENTRY_SERIAL);
  ASSERT_NE(id, 0u);
  aLinkEntryRef used = sUseEntryByIdentifier(kDevice, aLINKENTRY_SERIAL, false, nullptr);
  ASSERT_NE(used, nullptr);
  EXPECT_EQ(used->useCount, 1);

  int16_t uses = -99;
  aLinkEntryRef released = sReleaseUse(id, &uses);
  ASSERT_EQ(released, used);
  EXPECT_EQ(uses, 0);
  EXPECT_EQ(sLookupEntryByID(id), nullptr);
  EXPECT_EQ(sUseEntryByIdentifier(kDevice, aLINKENTRY_SERIAL, false, nullptr), nullptr);
  EXPECT_EQ(sReleaseUse(id, &uses), nullptr);
}

TEST(LinkTable, ASharedEntryGetsNoUseWhenSharingIsRefused) {
  constexpr uint32_t kDevice = 0x00C0FFEF;
  const uint32_t id = sCreate(kDevice, 0, aLINKENTRY_USB);
  ASSERT_NE(id, 0u);
  aLinkEntryRef entry = sLookupEntryByID(id);
  ASSERT_NE(entry, nullptr);
  entry->broker = reinterpret_cast<aServer*>(&entry);  // never dereferenced by the table
  bool shared = false;
  EXPECT_EQ(sUseEntryByIdentifier(kDevice, aLINKENTRY_USB, true, &shared), entry);
  EXPECT_TRUE(shared);
  EXPECT_EQ(entry->useCount, 0);
  entry->broker = nullptr;
  ASSERT_NE(sExtractEntry(id), nullptr);
}

}  // namespace
