// Packet log ring: records of a type byte, a length byte and up to 255 bytes in a byte ring
// that drops its oldest records to make room. No lock: the per-link operations
// (aLinkPacketDebug.cpp) hold the link's log mutex around every call.
#include "aPacketLog.h"

#include <new>

namespace {

// Bytes of a record before its data: the type and the length.
constexpr uint32_t kRecordHeader = 2;
// Smallest ring: one record of no bytes plus the byte that always stays free.
constexpr uint32_t kMinSize = kRecordHeader + 1;

// Bytes the records take; 64-bit so that rings near 4 GiB do not wrap the sum.
uint32_t sUsed(const aPacketLog* log) {
  return static_cast<uint32_t>((static_cast<uint64_t>(log->writePos) + log->size - log->readPos) %
                               log->size);
}

uint32_t sFree(const aPacketLog* log) { return log->size - sUsed(log); }

uint32_t sAdvance(const aPacketLog* log, uint32_t position, uint32_t count) {
  return static_cast<uint32_t>((static_cast<uint64_t>(position) + count) % log->size);
}

// Advances readPos past the oldest record.
void sDropOldest(aPacketLog* log) {
  const uint32_t length = log->data[sAdvance(log, log->readPos, 1)];
  log->readPos = sAdvance(log, log->readPos, kRecordHeader + length);
}

void sWriteByte(aPacketLog* log, uint8_t byte) {
  log->data[log->writePos] = byte;
  log->writePos = sAdvance(log, log->writePos, 1);
}

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t size) {
  if (size < kMinSize) return nullptr;
  aPacketLog* log = new (std::nothrow) aPacketLog;
  if (log == nullptr) return nullptr;
  log->data = new (std::nothrow) uint8_t[size];
  if (log->data == nullptr) {
    delete log;
    return nullptr;
  }
  log->size = size;
  return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t type, uint32_t length, const uint8_t* bytes) {
  if (log == nullptr || log->data == nullptr || length > aPACKETLOG_MAXRECORD ||
      (bytes == nullptr && length > 0)) {
    return aErrParam;
  }
  const uint32_t record = length + kRecordHeader;
  uint32_t free = sFree(log);
  while (log->size > record && free <= record) {
    sDropOldest(log);
    free = sFree(log);
  }
  if (free <= record) return aErrOverrun;  // as large as the ring or larger: nothing written

  sWriteByte(log, type);
  sWriteByte(log, static_cast<uint8_t>(length));
  for (uint32_t i = 0; i < length; ++i) sWriteByte(log, bytes[i]);
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint32_t* type, uint32_t* length, uint8_t* buffer) {
  if (log == nullptr || log->data == nullptr || type == nullptr || length == nullptr ||
      (buffer == nullptr && *length > 0)) {
    return aErrParam;
  }
  if (log->readPos == log->writePos) return aErrNotFound;

  const uint32_t recordLength = log->data[sAdvance(log, log->readPos, 1)];
  *type = log->data[log->readPos];
  const uint32_t capacity = *length;
  *length = recordLength;
  if (capacity < recordLength) return aErrOverrun;  // the record stays for a larger buffer

  uint32_t position = sAdvance(log, log->readPos, kRecordHeader);
  for (uint32_t i = 0; i < recordLength; ++i) {
    buffer[i] = log->data[position];
    position = sAdvance(log, position, 1);
  }
  log->readPos = position;
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (log == nullptr || *log == nullptr) return aErrNone;
  aPacketLog* doomed = *log;
  doomed->enabled.store(0);
  delete[] doomed->data;
  delete doomed;
  *log = nullptr;
  return aErrNone;
}
