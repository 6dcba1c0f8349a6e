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
#include "aPacket.h"
#include "aTime.h"

namespace Zentrova {
namespace Kolvantis {

std::mutex linkCreateHelperSerializer;

namespace {

constexpr size_t kNameMaxLength = 1024;       // characters kept of a Link's name
constexpr uint16_t kConnectWaitTries = 200;   // polls of the link status after a create
constexpr uint64_t kConnectPollMs = 10;       // ms between two polls of the link status
constexpr uint64_t kReplyTimeoutMs = 1000;    // ms to wait for a module's reply
constexpr uint8_t kAddressQuery = 0xAD;       // address of the module-address query
constexpr uint8_t kRawMaxLength = aPACKETMAXDATA - 1;  // data bytes after the command byte
constexpr size_t kCallbackQueueSlots = 500;   // slots of the stream callback queue
constexpr int kStatusNoLink = 8;              // getStatus() of a Link that holds no link

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

bool IsDeviceType(linkType type) { return type >= 1 && type <= 3; }

}  // namespace

VelnetConfig::VelnetConfig()
    : enabled(1), fallback(1), localOnly(1), port(0), address(htonl(INADDR_LOOPBACK)) {}

bool isVELNET(linkType type) { return type >= 4 && type <= 7; }

bool _fallbackHelper(aErr err, linkType type, bool fallback) {
  const bool retryable = err == aErrNotFound || err == aErrInitialization || err == aErrConnection;
  const bool typeFalls = type == 1 || type == 2 || isVELNET(type);
  return retryable && typeFalls && fallback;
}

// Per-stream state of the stream table; filled in with stream delivery.
struct StreamEntry {};

// A received packet handed to the stream worker; filled in with stream delivery.
struct asyncPacket {};

// Single-producer single-consumer queue of fixed capacity feeding the stream worker.
template <typename T>
class LocklessQueue_SPSC {
 public:
  explicit LocklessQueue_SPSC(size_t slots) : slots_(slots) {}
  size_t capacity() const { return slots_; }

 private:
  size_t slots_;
};

class Link::impl {
 public:
  impl(Link& link, const char* linkName);
  ~impl();

  aErr setSpecifier(linkSpec value);
  aErr getSpecifier(linkSpec* out);
  const char* getName() const { return name; }
  aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model);
  aErr connectHelper();
  aErr linkCreateHelper(linkSpec& record);
  aErr waitForLink(uint16_t tries);
  bool connected();

  Link& owner;
  uint32_t linkId = 0;
  struct aLogger* packetLogger = nullptr;
  VelnetConfig config;
  std::map<uint64_t, StreamEntry> streams;
  std::thread* worker = nullptr;
  LocklessQueue_SPSC<asyncPacket> callbackQueue{kCallbackQueueSlots};
  std::promise<void> stopSignal;
  std::mutex streamLock;
  char* name = nullptr;
  linkSpec* spec = nullptr;
};

Link::impl::impl(Link& link, const char* linkName) : owner(link) {
  if (linkName != nullptr) name = strndup(linkName, kNameMaxLength);
}

Link::impl::~impl() {
  // No stream worker runs before stream delivery exists; one would be stopped here, before
  // the callback queue goes.
  if (worker != nullptr) {
    stopSignal.set_value();
    worker->join();
    delete worker;
    worker = nullptr;
  }
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

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serialNumber,
                                           uint8_t model) {
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

aErr Link::impl::connectHelper() {
  if (spec == nullptr) return aErrConfiguration;
  const aErr created = linkCreateHelper(*spec);
  if (created != aErrNone) return created;
  if (linkId == 0) return aErrConnection;
  return waitForLink(kConnectWaitTries);
}

aErr Link::impl::linkCreateHelper(linkSpec& record) {
  std::lock_guard<std::mutex> serial(linkCreateHelperSerializer);
  switch (record.type) {
    case 1:
      linkId = aLink_CreateUSB(record.serialNumber);
      break;
    case 2:
      linkId = aLink_CreateTCPIP(record.serialNumber, record.address,
                                 static_cast<uint16_t>(record.port & 0xFFFFu));
      break;
    case 3: {
      // The path field may lack its terminator; never read past the record.
      char path[LINKSPEC_PATH_SIZE + 1];
      std::memcpy(path, record.path, LINKSPEC_PATH_SIZE);
      path[LINKSPEC_PATH_SIZE] = '\0';
      linkId = aLink_CreateSerial(record.serialNumber, path, record.address);
      break;
    }
    case 4:
    case 5:
    case 6:
    case 7:
      // Broker clients are not available yet, so even with sharing on nothing is created.
      // A connect through a router arrives here holding the router's ID without a use of
      // its own; it must not keep it.
      linkId = 0;
      return aErrConfiguration;
    default:
      linkId = 0;
      return aErrMode;
  }
  if (linkId != 0 && IsDeviceType(record.type) && config.enabled) {
    // A device link shared through a broker: the broker is not available yet, so the device
    // link is given back and the connect is refused as a configuration the system cannot
    // serve.
    aTRACE(aDEBUG_PACKET, "Device link ID: %u\n", static_cast<unsigned>(linkId));
    aLink_Destroy(&linkId);
    aTRACE(aDEBUG_PACKET, "Failed to create server\n");
    return aErrConfiguration;
  }
  return aErrNone;
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
  const linkType next = isVELNET(type) ? 1 : 4;
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
  m_impl->linkId = router.m_impl->linkId;
  return m_impl->connectHelper();
}

bool Link::isConnected() { return m_impl->connected(); }

int Link::getStatus() {
  if (m_impl->linkId == 0) return kStatusNoLink;
  return static_cast<int>(aLink_GetStatus(m_impl->linkId));
}

aErr Link::disconnect() {
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

aErr Link::receivePacket(uint8_t module, const uint8_t* pattern, uint8_t* length,
                         uint8_t* data) {
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

aErr Link::enablePooledPackets(bool on) {
  if (m_impl->linkId == 0) return aErrParam;
  return aLink_EnablePooledPackets(m_impl->linkId, on);
}

aErr Link::enablePacketLog(const char* /*path*/) { return aErrUnimplemented; }

aErr Link::disablePacketLog() { return aErrUnimplemented; }

}  // namespace Kolvantis
}  // namespace Zentrova
