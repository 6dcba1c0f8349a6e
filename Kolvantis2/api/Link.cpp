#include "Link.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <thread>

#include "aDebug.h"
#include "aLink.h"
#include "aLinkRecord.h"
#include "aLinkTable.h"
#include "aPacket.h"
#include "aTime.h"
#include "aUEI.h"
#include "LinkImpl.h"

namespace Zentrova {
namespace Kolvantis {

std::mutex linkCreateHelperSerializer;

namespace {

constexpr size_t kNameMaxLength = 1024;                // characters kept of a Link's name
constexpr uint16_t kConnectWaitTries = 200;            // polls of the link status after a create
constexpr uint64_t kConnectPollMs = 10;                // ms between two polls of the link status
constexpr uint64_t kReplyTimeoutMs = 1000;             // ms to wait for a module's reply
constexpr uint8_t kAddressQuery = 0xAD;                // address of the module-address query
constexpr uint8_t kRawMaxLength = aPACKETMAXDATA - 1;  // data bytes after the command byte
constexpr int kStatusNoLink = 8;                       // getStatus() of a Link that holds no link

// UEI replies.
constexpr uint64_t kUeiReplyTimeoutMs = 1000;     // ms for a reply or acknowledgement
constexpr size_t kUeiLargeString = 1000;          // bytes above which a string is large
constexpr uint64_t kUeiLargeAckTimeoutMs = 4000;  // least ms for a large string's ack
constexpr uint64_t kUeiAckMsPerChunk = 10;        // ms per chunk for very long strings
// A queued packet past the output queue's bound empties the whole queue, so UEI requests wait
// while fewer than this many places are left (room for the link's own sync probes and
// heartbeat answers).
constexpr size_t kOutputQueueReserve = 100;
constexpr uint64_t kOutputQueuePollMs = 1;  // ms between looks at the output queue
// ms a request waits for the writer to make room before it gives up.
constexpr uint64_t kOutputQueueStallMs = 2000;

// Selects any packet of data length 0 (the module-address reply).
uint8_t MatchMagic(const aPacket* packet, const void* /*reference*/) {
  return packet != nullptr && packet->dataSize == 0 ? 1 : 0;
}

struct CommandPattern {
  const uint8_t* bytes;
  uint8_t length;
};

// Selects a packet whose leading data bytes equal the pattern; an empty pattern selects any.
uint8_t sCommandFilter(const aPacket* packet, const void* reference) {
  if (packet == nullptr || reference == nullptr) return 0;
  const auto* pattern = static_cast<const CommandPattern*>(reference);
  if (pattern->length == 0) return 1;
  if (packet->dataSize < pattern->length) return 0;
  return std::memcmp(packet->data, pattern->bytes, pattern->length) == 0 ? 1 : 0;
}

// Discovery callback for "first module of a model": a record whose model is 0 takes the first
// module found, otherwise only a module of that model.
bool cbModelCallback(const linkSpec* found, bool* taken, void* reference) {
  auto* record = static_cast<linkSpec*>(reference);
  if (found == nullptr || record == nullptr || taken == nullptr) return true;
  if (record->model != 0 && record->model != found->model) return true;
  std::memcpy(record, found, sizeof(linkSpec));
  *taken = true;
  return false;
}

bool IsModuleAddress(uint8_t module) { return module != 0 && (module & 1u) == 0; }

struct ModulePattern {
  uint8_t module;
  const uint8_t* bytes;
  uint8_t length;
};

// Selects a packet from the module whose leading data bytes equal the pattern.
uint8_t sModuleCommandFilter(const aPacket* packet, const void* reference) {
  if (packet == nullptr || reference == nullptr) return 0;
  const auto* pattern = static_cast<const ModulePattern*>(reference);
  if (packet->address != pattern->module) return 0;
  CommandPattern leading{pattern->bytes, pattern->length};
  return sCommandFilter(packet, &leading);
}

// Drains without filling the record, so that one selected packet cannot change what the
// next one matches.
uint8_t sUEIMatchFilter(const aPacket* packet, const void* record) {
  return ueiReplyMatches(packet, static_cast<const uei*>(record)) ? 1 : 0;
}

}  // namespace

bool ueiReplyMatches(const aPacket* packet, const uei* record) {
  return packet != nullptr && record != nullptr && packet->address == record->module &&
         packet->dataSize > 2 && packet->dataSize <= aPACKETMAXDATA &&
         packet->data[0] == record->command && packet->data[1] == record->option &&
         (packet->data[2] & ueiIndexMask) == record->specifier;
}

uint8_t sUEIFilter(const aPacket* packet, const void* reference) {
  auto* record = static_cast<uei*>(const_cast<void*>(reference));
  if (!ueiReplyMatches(packet, record)) return 0;
  const uint8_t* data = packet->data;
  if ((data[2] & ueiSpecifierError) != 0) {
    record->specifier = data[2];
    // An error reply without a code, or with code 0, must not read as success.
    record->value.byteVal =
        packet->dataSize > 3 && data[3] != 0 ? data[3] : static_cast<uint8_t>(aErrUnknown);
    return 1;
  }
  switch (packet->dataSize) {
    case 3:
      record->type = ueiTypeNone;
      break;
    case 4:
      record->value.intVal = 0;
      record->value.byteVal = data[3];
      record->type = ueiTypeU8;
      break;
    case 5:
      record->value.intVal = 0;
      record->value.shortVal = aUEI_RetrieveShort(data + 3);
      record->type = ueiTypeU16;
      break;
    case 7:
      record->value.intVal = aUEI_RetrieveInt(data + 3);
      record->type = ueiTypeU32;
      break;
    default:
      // A reply of no known width: taken out of the queue and answered as a size error.
      record->specifier = static_cast<uint8_t>(data[2] | ueiSpecifierError);
      record->value.byteVal = aErrSize;
      break;
  }
  return 1;
}

uint64_t ueiReplyTimeoutMs(const uei& record) {
  if (record.type != ueiTypeBytes || record.length <= kUeiLargeString) return kUeiReplyTimeoutMs;
  const uint64_t chunks = (record.length + ueiChunkBytes - 1) / ueiChunkBytes;
  const uint64_t scaled = chunks * kUeiAckMsPerChunk;
  return scaled > kUeiLargeAckTimeoutMs ? scaled : kUeiLargeAckTimeoutMs;
}

VelnetConfig::VelnetConfig()
    : enabled(1), fallback(1), localOnly(1), port(0), address(htonl(INADDR_LOOPBACK)) {}

bool isVELNET(linkType type) {
  return type >= aLINK_TYPE_CLIENT && type <= aLINK_TYPE_SERVED_SERIAL;
}

bool _fallbackHelper(aErr err, linkType type, bool fallback) {
  const bool retryable = err == aErrNotFound || err == aErrInitialization || err == aErrConnection;
  const bool typeFalls = type == aLINK_TYPE_USB || type == aLINK_TYPE_TCPIP || isVELNET(type);
  return retryable && typeFalls && fallback;
}

Link::impl::impl(Link& link, const char* linkName) : owner(link) {
  if (linkName != nullptr) name = strndup(linkName, kNameMaxLength);
}

Link::impl::~impl() {
  // Callbacks and the logger end before the use of the core link goes, and before the
  // callback queue and the table they read.
  stopStreams();
  stopPacketLog();
  if (linkId != 0) aLink_Destroy(&linkId);
  if (spec != nullptr) aLinkSpec_Destroy(&spec);
  std::free(name);
  name = nullptr;
}

bool Link::impl::connected() {
  return linkId != 0 && aLink_GetStatus(linkId) == aLINK_STATUS_RUNNING;
}

aErr Link::impl::setSpecifier(linkSpec value) {
  if (connected()) return aErrBusy;
  linkSpec* copy = aLinkSpec_Copy(&value);
  if (copy == nullptr) return aErrMemory;
  if (spec != nullptr) aLinkSpec_Destroy(&spec);
  spec = copy;
  return aErrNone;
}

aErr Link::impl::getSpecifier(linkSpec* out) {
  if (out == nullptr) return aErrParam;
  if (spec == nullptr) return aErrNotFound;
  std::memcpy(out, spec, sizeof(linkSpec));
  return aErrNone;
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model) {
  linkSpec* found = nullptr;
  if (serialNumber != 0) {
    found = aDiscovery_FindModule(type, serialNumber, config.address);
  } else {
    found = aLinkSpec_Create(type);
    if (found != nullptr) {
      found->model = model;
      if (aDiscovery_EnumerateModules(type, cbModelCallback, found, config.address) == 0) {
        aLinkSpec_Destroy(&found);
      }
    }
  }
  if (found == nullptr) return aErrNotFound;
  setSpecifier(*found);  // a refusal while connected shows in the connect below
  aLinkSpec_Destroy(&found);
  return owner.connect();
}

// through: the router's link ID on a connect through a router, else 0. The Link takes the ID
// of the core link only once the create gave it a use of its own, and through a router only
// when that use is one of the router's link, so it never holds an ID it has no use of.
aErr Link::impl::connectHelper(uint32_t through) {
  if (spec == nullptr) return aErrConfiguration;
  uint32_t made = 0;
  const aErr created = linkCreateHelper(*spec, through, &made);
  if (created != aErrNone) return created;
  if (made == 0) return aErrConnection;
  if (through != 0 && made != through) {
    // The stored specifier names another device than the router's link.
    aLink_Destroy(&made);
    return aErrConnection;
  }
  linkId = made;
  return waitForLink(kConnectWaitTries);
}

// through: the router's link ID on a connect through a router (a broker-client create then
// adds one use to it), else 0 (a new broker-client link).
aErr Link::impl::linkCreateHelper(linkSpec& record, uint32_t through, uint32_t* made) {
  std::lock_guard<std::mutex> serial(linkCreateHelperSerializer);
  *made = 0;
  switch (record.type) {
    case aLINK_TYPE_USB:
      *made = aLink_CreateUSB(record.serialNumber);
      break;
    case aLINK_TYPE_TCPIP:
      *made = aLink_CreateTCPIP(record.serialNumber, record.address,
                                static_cast<uint16_t>(record.port & 0xFFFFu));
      break;
    case aLINK_TYPE_SERIAL: {
      // The path field may lack its terminator; never read past the record.
      char path[LINKSPEC_PATH_SIZE + 1];
      std::memcpy(path, record.path, LINKSPEC_PATH_SIZE);
      path[LINKSPEC_PATH_SIZE] = '\0';
      *made = aLink_CreateSerial(record.serialNumber, path, record.address);
      break;
    }
    case aLINK_TYPE_CLIENT:
    case aLINK_TYPE_SERVED_USB:
    case aLINK_TYPE_SERVED_TCPIP:
    case aLINK_TYPE_SERVED_SERIAL:
      if (!config.enabled) return aErrConfiguration;
      *made =
          aLink_CreateClient(record.address, static_cast<uint16_t>(record.port & 0xFFFFu), through);
      return aErrNone;
    default:
      return aErrMode;
  }
  if (*made != 0 && config.enabled) {
    // A broker in front of the device link just made; the Link works through the broker's
    // client link, which holds the device link's use from then on.
    uint32_t device = *made;
    aTRACE(aDEBUG_PACKET, "Device link ID: %u\n", static_cast<unsigned>(device));
    *made = aLink_CreateServer(device, &config.port, &config.address, config.localOnly);
    if (*made == 0) {
      aLink_Destroy(&device);
      aTRACE(aDEBUG_PACKET, "Failed to create server\n");
    } else {
      aTRACE(aDEBUG_PACKET, "Client link ID: %u\n", static_cast<unsigned>(*made));
    }
  }
  return aErrNone;
}

// Puts the packet on the link once its output queue has room below the reserve, so that a
// long run of requests never reaches the bound at which the queue drops everything it holds.
aErr Link::impl::putBounded(const aPacket* packet) {
  std::shared_ptr<aLink> record = sGetLink(linkId);
  if (!record) return aErrConnection;
  const size_t highWater = aPACKETFIFO_MAXPACKETS - kOutputQueueReserve;
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + kOutputQueueStallMs;
  while (aPacketFifo_GetLength(record->outputQueue.load()) >= highWater) {
    if (!connected()) return aErrConnection;
    if (aTime_GetMonotonicMSTicks() >= deadline) return aErrTimeout;
    aTime_MSSleep(kOutputQueuePollMs);
  }
  return aLink_PutPacket(linkId, packet);
}

aErr Link::impl::waitForLink(uint16_t tries) {
  linkStatus status = aLink_GetStatus(linkId);
  switch (status) {
    case aLINK_STATUS_RUNNING:
      return aErrNone;
    case aLINK_STATUS_STOPPED:
    case aLINK_STATUS_STARTING:
    case aLINK_STATUS_SYNCING:
      for (uint16_t i = 0; i < tries; ++i) {
        status = aLink_GetStatus(linkId);
        if (status == aLINK_STATUS_RUNNING) break;
        aTime_MSSleep(kConnectPollMs);
      }
      return status == aLINK_STATUS_RUNNING ? aErrNone : aErrConnection;
    case aLINK_STATUS_STOPPING:
      return aErrBusy;
    default:
      // No stream, read error, failed queueing, and any status the core does not define.
      return aErrConnection;
  }
}

Link::Link(const char* name) : m_impl(new impl(*this, name)) {}

Link::Link(linkSpec spec, const char* name) : m_impl(new impl(*this, name)) {
  m_impl->setSpecifier(spec);
}

Link::~Link() = default;

aErr Link::getConfig(VelnetConfig* out) {
  if (out == nullptr) return aErrParam;
  *out = m_impl->config;
  return aErrNone;
}

aErr Link::setConfig(VelnetConfig cfg) {
  if (isConnected()) return aErrMode;
  m_impl->config = cfg;
  return aErrNone;
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
  const aErr first = m_impl->discoveryAndConnectHelper(type, serialNumber, model);
  if (!_fallbackHelper(first, type, m_impl->config.fallback != 0)) return first;
  const linkType next = isVELNET(type) ? aLINK_TYPE_USB : aLINK_TYPE_CLIENT;
  aTRACE(aDEBUG_PACKET, "Executing Fallback - old type: %d - new type: %d\n",
         static_cast<int>(type), static_cast<int>(next));
  return m_impl->discoveryAndConnectHelper(next, serialNumber, model);
}

aErr Link::connect() {
  if (m_impl->linkId != 0) return aErrConnection;
  return m_impl->connectHelper();
}

aErr Link::connectThroughLinkModule(Link& router) {
  if (!router.m_impl || router.m_impl->linkId == 0) return aErrInitialization;
  // A link ID already held would lose its use if it were replaced.
  if (m_impl->linkId != 0) return aErrConnection;
  return m_impl->connectHelper(router.m_impl->linkId);
}

bool Link::isConnected() { return m_impl->connected(); }

int Link::getStatus() {
  if (m_impl->linkId == 0) return kStatusNoLink;
  return static_cast<int>(aLink_GetStatus(m_impl->linkId));
}

aErr Link::disconnect() {
  // Refused inside a stream callback: stopping a worker waits for its callbacks, which may be
  // this one or one waiting for it.
  if (InStreamCallback()) return aErrMode;
  m_impl->stopStreams();
  m_impl->stopPacketLog();
  if (m_impl->linkId != 0) aLink_Destroy(&m_impl->linkId);
  return aErrNone;
}

aErr Link::reset() {
  if (m_impl->linkId != 0) aLink_Reset(m_impl->linkId);
  return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* out) {
  if (out == nullptr) return aErrParam;
  *out = 0;
  if (!isConnected()) return aErrNotReady;
  aTRACE(aDEBUG_PACKET, "getModuleAddress\n");
  aPacket* query = aPacket_CreateWithData(kAddressQuery, 0, reinterpret_cast<const uint8_t*>(""));
  if (query != nullptr) {
    aLink_PutPacket(m_impl->linkId, query);
    aPacket_Destroy(&query);
  }
  aTRACE(aDEBUG_PACKET, "getModuleAddress wait\n");
  aPacket* reply = aLink_AwaitFirst(m_impl->linkId, MatchMagic, nullptr, kReplyTimeoutMs);
  if (reply == nullptr) return aErrNotReady;
  *out = reply->address;
  aPacket_Destroy(&reply);
  return aErrNone;
}

const char* Link::getName() { return m_impl->getName(); }

aErr Link::getLinkSpecifier(linkSpec* out) { return m_impl->getSpecifier(out); }

aErr Link::setLinkSpecifier(linkSpec spec) { return m_impl->setSpecifier(spec); }

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
  if (!isConnected()) return aErrConnection;
  if (length > kRawMaxLength) return aErrParam;
  if (module == 0 || (module & 1u) != 0) return aErrPacket;
  if (length > 0 && data == nullptr) return aErrParam;
  uint8_t bytes[aPACKETMAXDATA];
  bytes[0] = command;
  if (length > 0) std::memcpy(bytes + 1, data, length);
  aPacket* packet = aPacket_CreateWithData(module, static_cast<uint8_t>(length + 1), bytes);
  if (packet == nullptr) return aErrResource;
  const aErr result = aLink_PutPacket(m_impl->linkId, packet);
  aPacket_Destroy(&packet);
  return result;
}

aErr Link::receivePacket(uint8_t module, const uint8_t* pattern, uint8_t* length, uint8_t* data) {
  if (!isConnected()) return aErrConnection;
  if (module == 0 || (module & 1u) != 0) return aErrPacket;
  if (length == nullptr || data == nullptr) return aErrParam;
  CommandPattern filter{pattern, *length};
  if (filter.length > aPACKETMAXDATA) return aErrParam;
  if (filter.length > 0 && pattern == nullptr) return aErrParam;
  aPacket* packet = aLink_AwaitFirst(m_impl->linkId, sCommandFilter, &filter, kReplyTimeoutMs);
  if (packet == nullptr) return aErrTimeout;
  const uint8_t size = packet->dataSize <= aPACKETMAXDATA ? packet->dataSize : aPACKETMAXDATA;
  *length = size;
  std::memcpy(data, packet->data, size);
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::receivePacketFrom(uint8_t module, const uint8_t* pattern, uint8_t* length,
                             uint8_t* data) {
  if (!isConnected()) return aErrConnection;
  if (!IsModuleAddress(module)) return aErrPacket;
  if (length == nullptr || data == nullptr) return aErrParam;
  ModulePattern filter{module, pattern, *length};
  if (filter.length > aPACKETMAXDATA) return aErrParam;
  if (filter.length > 0 && pattern == nullptr) return aErrParam;
  aPacket* packet =
      aLink_AwaitFirst(m_impl->linkId, sModuleCommandFilter, &filter, kReplyTimeoutMs);
  if (packet == nullptr) return aErrTimeout;
  const uint8_t size = packet->dataSize <= aPACKETMAXDATA ? packet->dataSize : aPACKETMAXDATA;
  *length = size;
  std::memcpy(data, packet->data, size);
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::dropMatchingPackets(uint8_t module, const uint8_t* pattern, uint8_t length) {
  if (length > aPACKETMAXDATA || (length > 0 && pattern == nullptr)) return aErrParam;
  if (m_impl->linkId == 0) return aErrNone;
  ModulePattern filter{module, pattern, length};
  aLink_DrainPackets(m_impl->linkId, sModuleCommandFilter, &filter);
  return aErrNone;
}

// Appends a single value of type none, 8, 16 or 32 bits (big-endian) at *length; false for
// any other type.
static bool AppendUEIValue(const uei& record, uint8_t* data, uint8_t* length) {
  switch (record.type) {
    case ueiTypeNone:
      return true;
    case ueiTypeU8:
      data[(*length)++] = record.value.byteVal;
      return true;
    case ueiTypeU16:
      aUEI_StoreShort(data + *length, record.value.shortVal);
      *length = static_cast<uint8_t>(*length + 2);
      return true;
    case ueiTypeU32:
      aUEI_StoreInt(data + *length, record.value.intVal);
      *length = static_cast<uint8_t>(*length + 4);
      return true;
    default:
      return false;
  }
}

aErr Link::sendUEI(uei record) {
  if (!isConnected()) return aErrConnection;
  if (!IsModuleAddress(record.module)) return aErrPacket;
  uint8_t data[aPACKETMAXDATA];
  data[0] = record.command;
  data[1] = record.option;
  data[2] = record.specifier;
  uint8_t length = 3;
  if (record.type != ueiTypeBytes) {
    if (!AppendUEIValue(record, data, &length)) return aErrParam;
    return putUEIPacket(record.module, length, data);
  }
  // A byte string: chunks of at most ueiChunkBytes back to back, each with its sequence byte.
  if (record.length > 0 && record.value.bytes == nullptr) return aErrParam;
  size_t sent = 0;
  size_t chunk = 0;
  do {
    const size_t left = record.length - sent;
    const size_t n = left < ueiChunkBytes ? left : ueiChunkBytes;
    if (n > 0) std::memcpy(data + 3, record.value.bytes + sent, n);
    uint8_t sequence = static_cast<uint8_t>(chunk & ueiSequenceMask);
    if (sent + n < record.length) sequence = static_cast<uint8_t>(sequence | ueiChunkMore);
    data[3 + n] = sequence;
    const aErr put = putUEIPacket(record.module, static_cast<uint8_t>(n + 4), data);
    if (put != aErrNone) return put;
    sent += n;
    ++chunk;
  } while (sent < record.length);
  return aErrNone;
}

aErr Link::sendUEI(uei record, uint8_t subindex) {
  if (!isConnected()) return aErrConnection;
  if (!IsModuleAddress(record.module)) return aErrPacket;
  uint8_t data[aPACKETMAXDATA];
  data[0] = record.command;
  data[1] = record.option;
  data[2] = record.specifier;
  data[3] = subindex;
  uint8_t length = 4;
  // A byte string has no subindex form.
  if (!AppendUEIValue(record, data, &length)) return aErrParam;
  return putUEIPacket(record.module, length, data);
}

aErr Link::putUEIPacket(uint8_t module, uint8_t length, const uint8_t* data) {
  aPacket* packet = aPacket_CreateWithData(module, length, data);
  if (packet == nullptr) return aErrResource;
  const aErr put = m_impl->putBounded(packet);
  aPacket_Destroy(&packet);
  return put;
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record) {
  return receiveUEI(module, command, option, index, record, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t /*command*/, uint8_t /*option*/, uint8_t /*index*/,
                      uei* record, aPacketFilter filter) {
  if (!isConnected()) return aErrConnection;
  if (!IsModuleAddress(module)) return aErrPacket;
  if (record == nullptr || filter == nullptr) return aErrParam;
  const uint64_t timeoutMs = ueiReplyTimeoutMs(*record);
  if (timeoutMs != kUeiReplyTimeoutMs) {
    aTRACE(aDEBUG_PACKET, "receiveUEI - Expanding timeout for large payload: %lu\n",
           static_cast<unsigned long>(timeoutMs));
  }
  aPacket* packet = aLink_AwaitFirst(m_impl->linkId, filter, record, timeoutMs);
  if (packet == nullptr) return aErrTimeout;
  aPacket_Destroy(&packet);
  return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
  if (m_impl->linkId == 0) return aErrNone;
  uei record{};
  record.module = module;
  record.command = command;
  record.option = option;
  record.specifier = static_cast<uint8_t>(index & ueiIndexMask);
  aLink_DrainPackets(m_impl->linkId, sUEIMatchFilter, &record);
  return aErrNone;
}

aErr Link::enablePooledPackets(bool on) {
  if (m_impl->linkId == 0) return aErrParam;
  return aLink_EnablePooledPackets(m_impl->linkId, on);
}

}  // namespace Kolvantis
}  // namespace Zentrova
