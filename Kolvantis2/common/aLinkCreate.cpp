// Use-counted creation of core links per transport, their destruction with the last use, and
// the reset that recreates a link's stream in place.
#include <atomic>
#include <memory>
#include <mutex>

#include "aClientStream.h"
#include "aDebug.h"
#include "aLink.h"
#include "aLinkTable.h"
#include "aPacketLog.h"
#include "aSerialStream.h"
#include "aServer.h"
#include "aSocketStream.h"
#include "aTime.h"
#include "aUSBStream.h"

namespace {

constexpr int kResetStreamTries = 20;         // attempts to recreate a stream on reset
constexpr uint64_t kResetRetryPauseMs = 100;  // ms between them

// Identifier 0 of a bare-stream link: never the serial number of a module.
constexpr uint32_t kBareStreamIdent = 0xFFFFFFFFu;

// The broker's first questions to the module, through the new client link.
constexpr int kServerDetailsTries = 5;            // attempts to learn address and model
constexpr uint64_t kServerDetailsPauseMs = 10;    // ms between them
constexpr uint64_t kServerDetailsReplyMs = 1000;  // ms for each answer
constexpr uint8_t kModuleAddressQuery = 0xAD;     // [0xAD][0]: the module answers [address][0]
// UEI get of the system entity's model option: [command 3][option 8 | get][index 0].
constexpr uint8_t kModelQuery[] = {3, 0x48, 0x20};
constexpr uint8_t kModelReplyLength = 4;  // the query's three bytes and the model

// Number given to each broker-client entry as its identifier 2, so that no two are the same.
std::atomic<uint32_t> _clientCount{0};

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
    case aLINKENTRY_CLIENT:
    case aLINK_TYPE_SERVED_USB:
    case aLINK_TYPE_SERVED_TCPIP:
    case aLINK_TYPE_SERVED_SERIAL:
      aTRACE(aDEBUG_LINK, " recreate Velnet stream");
      return aStream_CreateClient(entry.ident0, static_cast<uint16_t>(entry.ident1), stream);
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

// Puts the packet on the link and waits for the next packet it receives; null when none came.
aPacket* sAsk(uint32_t linkId, uint8_t address, uint8_t length, const uint8_t* data) {
  aPacket* request = aPacket_CreateWithData(address, length, data);
  if (request == nullptr) return nullptr;
  const aErr put = aLink_PutPacket(linkId, request);
  aPacket_Destroy(&request);
  if (put != aErrNone) return nullptr;
  return aLink_AwaitPacket(linkId, kServerDetailsReplyMs);
}

aErr _aLink_GetModuleAddress(uint32_t clientId, uint8_t* address) {
  static const uint8_t kNone = 0;
  aPacket* reply = sAsk(clientId, kModuleAddressQuery, 0, &kNone);
  if (reply == nullptr) return aErrTimeout;
  const bool valid = reply->dataSize == 0 && reply->address != 0;
  if (valid) *address = reply->address;
  aPacket_Destroy(&reply);
  return valid ? aErrNone : aErrIO;
}

aErr _aLink_GetModel(uint32_t clientId, uint8_t address, uint8_t* model) {
  aPacket* reply = sAsk(clientId, address, sizeof kModelQuery, kModelQuery);
  if (reply == nullptr) return aErrTimeout;
  const bool valid = reply->address == address && reply->dataSize == kModelReplyLength &&
                     reply->data[0] == kModelQuery[0];
  if (valid) *model = reply->data[3];
  aPacket_Destroy(&reply);
  return valid ? aErrNone : aErrIO;
}

// Tells the broker what its discovery answers advertise: the module's address and model, asked
// of the module through the broker itself. On failure the broker drops the answers it still
// owes, so that they cannot answer the next try.
aErr _aLink_ConfigureServerDetails(uint32_t clientId, aServer* broker) {
  uint8_t address = 0;
  aErr result = _aLink_GetModuleAddress(clientId, &address);
  aServer_SetModuleAddress(broker, result == aErrNone ? address : 0);
  if (result == aErrNone) {
    uint8_t model = 0;
    result = _aLink_GetModel(clientId, address, &model);
    aServer_SetModel(broker, result == aErrNone ? model : 0);
  }
  if (result != aErrNone) {
    aTRACE(aDEBUG_LINK, "_getDeviceInfo: Flush FIFO");
    aServer_FlushFIFO(broker);
  }
  return result;
}

// Takes the broker off the device link again and ends it.
void sDropBroker(uint32_t deviceLinkId) {
  aServer* broker = sDetachBroker(deviceLinkId);
  if (broker != nullptr) aServer_Destroy(&broker);
}

uint32_t sServerFailed(const char* step, uint32_t deviceLinkId, uint32_t clientId) {
  aTRACE(aDEBUG_LINK, "%s", step);
  aTRACE(aDEBUG_BROKER, "Failed to create server");
  // The client link has no parent yet: its destruction leaves the device link's uses alone,
  // and the caller keeps the use it came with.
  if (clientId != 0) aLink_Destroy(&clientId);
  sDropBroker(deviceLinkId);
  return 0;
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
  bool shared = false;
  aLinkEntryRef existing = sUseEntryByIdentifier(serialNumber, aLINKENTRY_SERIAL, true, &shared);
  if (existing) return shared ? sRefuseShared() : sReused(existing.get());

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

uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t linkId) {
  if (linkId != 0) {
    // One more use of a link the caller names (the router's, on a routed connect).
    if (sUseEntryByID(linkId)) return linkId;
    aTRACE(aDEBUG_LINK, "The provided ref is invalid.");
    return 0;
  }
  const uint32_t count = _clientCount.fetch_add(1);
  const uint32_t created = sCreate2(address, port, count, aLINKENTRY_CLIENT);
  if (created == 0) return 0;
  aStream* stream = nullptr;
  const aErr made = aStream_CreateClient(address, port, &stream);
  if (made != aErrNone) {
    aTRACE(aDEBUG_LINK, " aLink_CreateClient() error creating stream %d\n", static_cast<int>(made));
    sExtractEntry(created);
    return 0;
  }
  return sFinishCreate(created, made, stream, false);
}

uint32_t aLink_CreateServer(uint32_t deviceLinkId, uint16_t* port, uint32_t* interfaceAddress,
                            uint8_t localOnly) {
  if (port == nullptr || interfaceAddress == nullptr || deviceLinkId == 0) return 0;
  if (!sLookupEntryByID(deviceLinkId)) {
    aTRACE(aDEBUG_LINK, "FAIL: sLookupEntryByID:");
    return 0;
  }
  // Only the caller's use may be on the link: a broker's answers would reach no other user.
  if (sCheckShareable(deviceLinkId) != aErrNone) {
    aTRACE(aDEBUG_LINK, "FAIL: link already shared or in use:");
    return 0;
  }
  aServer* broker = aServer_Create(deviceLinkId, *interfaceAddress, localOnly != 0);
  if (broker == nullptr) return sServerFailed("FAIL: aServer_Create:", 0, 0);
  if (sAttachBroker(deviceLinkId, broker) != aErrNone) {
    aServer_Destroy(&broker);
    return sServerFailed("FAIL: link already shared or in use:", 0, 0);
  }
  if (aServer_Start(broker) != aErrNone) {
    return sServerFailed("FAIL: aServer_Start:", deviceLinkId, 0);
  }
  uint16_t brokerPort = 0;
  uint32_t brokerInterface = 0;
  if (aServer_GetPort(broker, &brokerPort) != aErrNone) {
    return sServerFailed("FAIL: aServer_GetPort:", deviceLinkId, 0);
  }
  if (aServer_GetInterface(broker, &brokerInterface) != aErrNone) {
    return sServerFailed("FAIL: aServer_GetInterface:", deviceLinkId, 0);
  }
  const uint32_t clientId = aLink_CreateClient(brokerInterface, brokerPort, 0);
  if (clientId == 0) return sServerFailed("FAIL: aLink_CreateClient:", deviceLinkId, 0);

  aErr configured = aErrUnknown;
  for (int attempt = 0; attempt < kServerDetailsTries; ++attempt) {
    configured = _aLink_ConfigureServerDetails(clientId, broker);
    if (configured == aErrNone) break;
    aTRACE(aDEBUG_LINK, "FAIL: for _getDeviceInfo will try again. :");
    if (attempt + 1 < kServerDetailsTries) aTime_MSSleep(kServerDetailsPauseMs);
  }
  if (configured != aErrNone) {
    return sServerFailed("FAIL: NULL != _getDeviceInfo:", deviceLinkId, clientId);
  }
  // From here the client link holds the caller's use of the device link and gives it back
  // with its own last use.
  if (!sSetParent(clientId, deviceLinkId)) {
    return sServerFailed("FAIL: NULL != clientItem:", deviceLinkId, clientId);
  }
  *port = brokerPort;
  *interfaceAddress = brokerInterface;
  return clientId;
}

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
    // The broker's threads use the link's queues: it ends before they go.
    if (entry->broker != nullptr) aServer_Destroy(&entry->broker);
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
