// The link record's check word: no operation tests it, so these tests watch it directly. Init
// sets it on the record and destroy clears it, while callers may still hold the record.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "aLink.h"
#include "aLinkTable.h"
#include "aTime.h"

namespace {

constexpr uint32_t kIdent = 0xC0DEC0DEu;  // identifier of the bare-stream entries made here

// An idle transport: nothing to read, every write taken.
aErr IdleGet(uint8_t*, void*) { return aErrNotReady; }
aErr IdleWrite(const uint8_t*, size_t, void*) { return aErrNone; }
aErr IdlePut(const uint8_t* byte, void* reference) { return IdleWrite(byte, 1, reference); }
aErr IdleWait(uint32_t timeoutMs, void*) {
  aTime_MSSleep(timeoutMs);
  return aErrTimeout;
}
aErr IdleDelete(void*) { return aErrNone; }

aStream* IdleStream() {
  aStream* stream = aStream_Create(IdleGet, IdlePut, IdleWrite, IdleDelete, nullptr);
  if (stream != nullptr) aStream_SetWaitProc(stream, IdleWait);
  return stream;
}

TEST(LinkCheckWord, InitSetsItOnTheRecordOfTheEntry) {
  uint32_t id = sCreate(kIdent, 0, aLINKENTRY_STREAM);
  ASSERT_NE(id, 0u);
  const std::shared_ptr<aLink> record = sGetLink(id);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->check, 0);

  aStream* stream = IdleStream();
  ASSERT_NE(stream, nullptr);
  const uint32_t initialised = aLink_Init(id, stream);
  if (initialised != id) aStream_Destroy(&stream);  // the stream stays the caller's on failure
  EXPECT_EQ(initialised, id);
  EXPECT_EQ(record->check, aLINKCHECK);

  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST(LinkCheckWord, DestroyClearsItWhileTheRecordIsStillHeld) {
  aStream* stream = IdleStream();
  ASSERT_NE(stream, nullptr);
  uint32_t id = aLink_Create(stream);
  ASSERT_NE(id, 0u);
  const std::shared_ptr<aLink> record = sGetLink(id);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->check, aLINKCHECK);

  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(record->check, 0);
}

}  // namespace
