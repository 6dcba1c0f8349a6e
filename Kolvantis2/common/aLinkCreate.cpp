// Use-counted creation of core links per transport, their destruction with the last use, and
// the reset that recreates a link's stream in place.
#include <atomic>
#include <memory>
#include <mutex>

#include "aDebug.h"
#include "aLink.h"
#include "aLinkTable.h"
#include "aPacketLog.h"
#include "aSerialStream.h"
#include "aSocketStream.h"
#include "aTime.h"
#include "aUSBStream.h"

namespace {

constexpr int kResetStreamTries = 20;         // attempts to recreate a stream on reset
constexpr uint64_t kResetRetryPauseMs = 100;  // ms between them

// Identifier 0 of a bare-stream link: never the serial number of a module.
constexpr uint32_t kBareStreamIdent = 0xFFFFFFFFu;

struct BaudCode {
  uint32_t rate;
  uint32_t code;
};
constexpr BaudCode kBaudCodes[] = {{2400, 0},  {4800, 1},  {9600, 2},   {19200, 3},
                                   {38400, 4}, {57600, 5}, {115200, 6}, {230400, 7}};

bool sBaudCode(uint32_t rate, uint32_t* code) {
  for (const BaudCode& entry : kBaudCodes) {
    if (entry.rate == rate) {
      *code = entry.code;
      return true;
    }
  }
  return false;
}

// An existing entry for the device, which already has one more use: its ID.
uint32_t sReused(const aLinkEntry* entry) {
  const aLink* link = entry->link.get();
  aTRACE(aDEBUG_LINK, "Using already created object:(0x%08X, running:%d, state=%d)",
         static_cast<unsigned int>(entry->linkId),
         link ? static_cast<int>(link->running.load()) : 0,
         link ? static_cast<int>(link->status.load()) : 0);
  return entry->linkId;
}

// A device link that a broker shares is reached through the broker only.
uint32_t sRefuseShared() {
  aTRACE(aDEBUG_LINK,
         "This device is already being used as a \"SERVER\". \nYou must connect by "
         "\"CLIENT\" ");
  return 0;
}

// Common tail of the device creates, once the new entry exists and the stream was asked for:
// the link is initialised, gets its first use, starts and (USB) synchronises, or is destroyed
// again. The link ID, or 0.
uint32_t sFinishCreate(uint32_t linkId, aErr error, aStream* stream, bool sync) {
  const uint32_t initialised = aLink_Init(linkId, error == aErrNone ? stream : nullptr);
  if (initialised != linkId && error == aErrNone) {
    aStream_Destroy(&stream);  // the link did not take it
    error = aErrConnection;
  }
  if (error == aErrNone) {
    sChangeUseCount(sLookupEntryByID(linkId).get(), 1);
    error = aLink_Start(linkId);
    if (error == aErrNone && sync) error = aLink_Sync(linkId);
  }
  if (error != aErrNone) {
    aTRACE(aDEBUG_LINK, " error creating link (%d): %d\n", static_cast<int>(linkId),
           static_cast<int>(error));
    aLink_Destroy(&linkId);
    return 0;
  }
  return linkId;
}

// Makes the stream of a reset by the entry's transport type.
aErr sRecreateStream(const aLinkEntry& entry, aStream** stream) {
  switch (entry.type) {
    case aLINKENTRY_USB:
      aTRACE(aDEBUG_LINK, " recreate USB stream");
      return aStream_CreateUSB(entry.ident0, stream);
    case aLINKENTRY_TCPIP:
      aTRACE(aDEBUG_LINK, " recreate TCPIP stream");
      return aStream_CreateSocket(entry.ident1, static_cast<uint16_t>(entry.ident2), stream);
    default:
      // Bare streams and serial links keep nothing from which their stream could be made.
      aTRACE(aDEBUG_LINK, " recreate invalid stream type");
      return aErrParam;
  }
}

void sDestroyQueue(std::atomic<uint64_t>& queue, aErr* result) {
  uint64_t handle = queue.exchange(0);
  const aErr destroyed = handle != 0 ? aPacketFifo_Destroy(&handle) : aErrNone;
  if (result != nullptr) *result = destroyed;
}

// Frees the link's packet log under its mutex (a logger thread may be reading it) and lets no
// later enable make a new one. The mutex itself goes with the record.
void sDestroyPacketLog(aLink* link) {
  if (link->logMutex == nullptr) return;  // never initialised: no log was ever made
  if (aMutex_Lock(link->logMutex) != aErrNone) return;
  aPacketLog* log = link->packetLog.exchange(nullptr);
  if (log != nullptr) aPacketLog_Destroy(&log);
  link->logRetired = true;
  aMutex_Unlock(link->logMutex);
}

void sDestroyStream(aLink* link) {
  if (link->stream == nullptr) return;
  aTRACE(aDEBUG_LINK, " Destroy stream");
  aStream_Destroy(&link->stream);
}

}  // namespace

std::atomic<void (*)(uint32_t)> aLink_DestroyTestHook{nullptr};

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
  aTRACE(aDEBUG_LINK, " aLink_CreateUSB(%08X)\n", static_cast<unsigned int>(serialNumber));
  bool shared = false;
  aLinkEntryRef existing = sUseEntryByIdentifier(serialNumber, aLINKENTRY_USB, true, &shared);
  if (existing) return shared ? sRefuseShared() : sReused(existing.get());

  const uint32_t linkId = sCreate(serialNumber, 0, aLINKENTRY_USB);
  if (linkId == 0) return 0;
  aStream* stream = nullptr;
  const aErr made = aStream_CreateUSB(serialNumber, &stream);
  if (made != aErrNone) {
    aTRACE(aDEBUG_LINK, " aLink_CreateUSB() error creating stream %d\n", static_cast<int>(made));
  }
  return sFinishCreate(linkId, made, stream, true);
}

uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
  bool shared = false;
  aLinkEntryRef existing = sUseEntryByIdentifier(serialNumber, aLINKENTRY_TCPIP, true, &shared);
  if (existing) return shared ? sRefuseShared() : sReused(existing.get());

  const uint32_t linkId = sCreate2(serialNumber, address, port, aLINKENTRY_TCPIP);
  if (linkId == 0) return 0;
  aStream* stream = nullptr;
  const aErr made = aStream_CreateSocket(address, port, &stream);
  if (made != aErrNone) {
    aTRACE(aDEBUG_LINK, " aLink_CreateTCPIP() BAD BAD Error: %d\n", static_cast<int>(made));
  }
  return sFinishCreate(linkId, made, stream, false);
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
  // A broker sharing a serial link does not keep further uses from it.
  aLinkEntryRef existing = sUseEntryByIdentifier(serialNumber, aLINKENTRY_SERIAL, false, nullptr);
  if (existing) return sReused(existing.get());

  uint32_t linkId = sCreate(serialNumber, 0, aLINKENTRY_SERIAL);
  if (linkId == 0) return 0;
  uint32_t code = 0;
  if (!sBaudCode(baudRate, &code)) {
    sExtractEntry(linkId);
    return 0;
  }
  aStream* stream = nullptr;
  const aErr made = aStream_CreateSerial_Packetized(portName, code, false, 0, 0, &stream);
  const uint32_t created = sFinishCreate(linkId, made, stream, false);
  if (created == 0) {
    aTRACE(aDEBUG_LINK, " error creating USB Link, destroying the id (%d)\n",
           static_cast<int>(linkId));
  }
  return created;
}

uint32_t aLink_CreateClient(uint32_t, uint16_t, uint32_t) { return 0; }

uint32_t aLink_CreateServer(uint32_t, uint16_t*, uint32_t*, uint8_t) { return 0; }

uint32_t aLink_Create(aStream* stream) {
  if (!aVALIDSTREAM(stream)) return 0;
  uint32_t linkId = sCreate(kBareStreamIdent, 0, aLINKENTRY_STREAM);
  if (linkId == 0) {
    aStream_Destroy(&stream);
    return 0;
  }
  if (aLink_Init(linkId, stream) != linkId) {
    aStream_Destroy(&stream);
    aLink_Destroy(&linkId);
    return 0;
  }
  if (aLink_Start(linkId) != aErrNone) {
    aLink_Destroy(&linkId);
    return 0;
  }
  sChangeUseCount(sLookupEntryByID(linkId).get(), 1);
  return linkId;
}

aErr aLink_Destroy(uint32_t* linkId) {
  if (linkId == nullptr) return aErrParam;
  const uint32_t id = *linkId;
  *linkId = 0;
  // The last use is dropped and the entry taken out in one step: a create meanwhile either added
  // its use before (and the link stays) or finds no entry and makes a new link.
  int16_t uses = 0;
  aLinkEntryRef entry = sReleaseUse(id, &uses);
  if (!entry) return aErrParam;  // unknown, or another destroy took it first
  aTRACE(aDEBUG_LINK, "aLink_Destroy use_count: %d\n", static_cast<int>(uses));
  if (uses > 0) return aErrNone;

  void (*hook)(uint32_t) = aLink_DestroyTestHook.load(std::memory_order_acquire);
  if (hook != nullptr) hook(id);
  // Out of the table now, so the filter goes through the record.
  aLink_InstallUserPacketFilterOn(entry->link.get(), nullptr, nullptr);
  aTRACE(aDEBUG_LINK, "aLink_Destroy(%d) destroy link item\n", static_cast<int>(id));
  aLink* link = entry->link.get();
  if (link == nullptr) return aErrUnknown;

  aErr result = aErrNone;
  {
    std::lock_guard<std::mutex> hold(link->lifecycle);
    // Out of the table, so no force-route-off is queued; the result is of no use here.
    aLink_Stop(link);
    if (entry->parentId != 0) {
      uint32_t parent = entry->parentId;
      aLink_Destroy(&parent);
    }
    // Waiters on the queues wake up and return null; callers still holding the record see a
    // link without queues.
    sDestroyQueue(link->inputQueue, nullptr);
    sDestroyQueue(link->outputQueue, &result);
    if (link->assembly != nullptr) aPacket_Destroy(&link->assembly);
    sDestroyPacketLog(link);
    sDestroyStream(link);
    link->check = 0;
    link->destroyed = true;
  }
  // The record's memory and its filter and log mutexes go with the last holder of the entry.
  return result;
}

aErr aLink_ResetLink(aLinkEntry* entry) {
  if (entry == nullptr || !entry->link) return aErrParam;
  aLink* link = entry->link.get();
  std::lock_guard<std::mutex> hold(link->lifecycle);
  if (link->destroyed) return aErrParam;

  aLink_Stop(link);
  sDestroyQueue(link->inputQueue, nullptr);
  sDestroyQueue(link->outputQueue, nullptr);
  sDestroyStream(link);
  link->status.store(aLINK_STATUS_NOSTREAM);

  aStream* stream = nullptr;
  aErr made = aErrParam;
  for (int attempt = 0; attempt < kResetStreamTries; ++attempt) {
    made = sRecreateStream(*entry, &stream);
    if (made == aErrNone && stream != nullptr) break;
    stream = nullptr;
    if (attempt + 1 < kResetStreamTries) aTime_MSSleep(kResetRetryPauseMs);
  }
  if (stream == nullptr) {
    aTRACE(aDEBUG_LINK, " ERROR - could not recreate stream: %d\n", static_cast<int>(made));
    return made != aErrNone ? made : aErrResource;
  }

  if (aLink_Init(entry->linkId, stream) != entry->linkId) {
    aStream_Destroy(&stream);
    link->status.store(aLINK_STATUS_NOSTREAM);
    return aErrConnection;
  }
  aErr result = aLink_Start(entry->linkId);
  // A USB module keeps step only after the handshake, as on creation.
  if (result == aErrNone && entry->type == aLINKENTRY_USB) result = aLink_Sync(entry->linkId);
  return result;
}

aErr aLink_Reset(uint32_t linkId) {
  aLinkEntryRef entry = sLookupEntryByID(linkId);
  if (!entry || !entry->link) return aErrParam;
  return aLink_ResetLink(entry.get());
}
