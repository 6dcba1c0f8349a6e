#include "Module.h"

#include <cstring>

#include "aDebug.h"
#include "aPacket.h"
#include "aTime.h"
#include "aUEI.h"

namespace Zentrova {
namespace Kolvantis {

namespace {

constexpr int kAutoNetworkQueries = 4;       // module-address queries after a connect
constexpr uint64_t kAutoNetworkPauseMs = 5;  // ms after each query that got no answer
constexpr int kNoLinkStatus = 8;             // getStatus() without a Link

constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kQueryBuild = 0xFF;
constexpr uint8_t kQueryHasUEI = 1;
constexpr uint8_t kQueryClassQuantity = 4;
constexpr uint8_t kQuerySubClassQuantity = 5;
constexpr uint8_t kQueryEntityGroup = 6;
constexpr uint8_t kDebugCommand = 23;
constexpr uint8_t kDebugMaxBytes = aPACKETMAXDATA - 1;  // echo bytes after the command byte

constexpr uint8_t kBuildReplyLength = 6;
constexpr uint8_t kHasUEIReplyLength = 6;
constexpr uint8_t kClassQuantityReplyLength = 4;
constexpr uint8_t kSubClassQuantityReplyLength = 5;
constexpr uint8_t kEntityGroupReplyLength = 5;

constexpr uint8_t kDirectionBits = ueiOptionGet | ueiOptionSet;

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networking, uint8_t model)
    : link(new Link("Link")),
      moduleAddress(address),
      networkingMode(networking),
      modelFilter(model) {}

Module::~Module() {
  delete link;
  link = nullptr;
}

aErr Module::afterConnect(aErr connected) {
  if (connected != aErrNone) return connected;
  return _autoNetwork();
}

aErr Module::connect(linkType type, uint32_t serialNumber) {
  if (serialNumber == 0) return aErrParam;
  return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
  if (link == nullptr) return aErrInitialization;
  return afterConnect(link->discoverAndConnect(type, serialNumber, modelFilter));
}

aErr Module::connectFromSpec(linkSpec spec) {
  if (link == nullptr) return aErrInitialization;
  if (link->isConnected()) return aErrBusy;
  const aErr stored = link->setLinkSpecifier(spec);
  if (stored != aErrNone) return stored;
  const aErr connected = link->connect();
  if (connected != aErrNone) return connected;
  const aErr networked = _autoNetwork();
  aTRACE(aDEBUG_MODULE, "Post autoNetwork err: %d\n", static_cast<int>(networked));
  return networked;
}

aErr Module::connectThroughLinkModule(Module* router) {
  if (link == nullptr) return aErrInitialization;
  if (link->isConnected()) return aErrNone;
  if (router == nullptr) return aErrParam;
  linkSpec spec{};
  const aErr found = router->getLinkSpecifier(&spec);
  if (found != aErrNone) return found;
  if (router->getLink() == nullptr) return aErrInitialization;
  VelnetConfig config;
  const aErr read = router->getLink()->getConfig(&config);
  if (read != aErrNone) return read;
  const aErr set = setConfig(config);
  if (set != aErrNone) return set;
  if (config.enabled) {
    // Reach the router's broker as one more of its clients.
    spec.type = aLINK_TYPE_CLIENT;
    spec.address = config.address;
    spec.port = config.port;
  }
  const aErr stored = link->setLinkSpecifier(spec);
  if (stored != aErrNone) return stored;
  const aErr connected = link->connectThroughLinkModule(*router->getLink());
  if (connected != aErrNone) return connected;
  // The caller's address names the module behind the router; the router's own address query
  // would answer for the router.
  networkingMode = false;
  return aErrNone;
}

aErr Module::reconnect() {
  if (link == nullptr) return aErrInitialization;
  return afterConnect(link->connect());
}

aErr Module::disconnect() {
  if (link == nullptr) return aErrInitialization;
  // The Link refuses a disconnect from a stream callback (aErrMode); that is passed on.
  return link->disconnect();
}

bool Module::isConnected() { return link != nullptr && link->isConnected(); }

int Module::getStatus() { return link != nullptr ? link->getStatus() : kNoLinkStatus; }

aErr Module::getLinkSpecifier(linkSpec* out) {
  if (link == nullptr) return aErrNotReady;
  return link->getLinkSpecifier(out);
}

aErr Module::getConfig(VelnetConfig* out) {
  if (out == nullptr) return aErrParam;
  if (link == nullptr) return aErrNotReady;
  return link->getConfig(out);
}

aErr Module::setConfig(VelnetConfig config) {
  if (link == nullptr) return aErrNotReady;
  return link->setConfig(config);
}

aErr Module::_autoNetwork() {
  if (!networkingMode) return aErrNone;
  if (link == nullptr) return aErrInitialization;
  aErr result = aErrNotReady;
  uint8_t address = 0;
  for (int query = 0; query < kAutoNetworkQueries; ++query) {
    result = link->getModuleAddress(&address);
    if (result != aErrNotReady) break;
    aTime_MSSleep(kAutoNetworkPauseMs);
  }
  if (result == aErrNotReady) aTRACE(aDEBUG_MODULE, "BOO! Failed to autoNetwork\n");
  if (result == aErrNone && address != 0 && address != moduleAddress) moduleAddress = address;
  return result;
}

aErr Module::enablePacketLog(const char* path) {
  if (link == nullptr) return aErrConfiguration;
  return link->enablePacketLog(path);
}

aErr Module::disablePacketLog() {
  if (link == nullptr) return aErrConfiguration;
  return link->disablePacketLog();
}

aErr Module::query(const uint8_t* request, uint8_t requestLength, uint8_t patternLength,
                   uint8_t* replyLength, uint8_t* reply) {
  if (link == nullptr) return aErrInitialization;
  if (!link->isConnected()) return aErrConnection;
  // A reply that came after its request had given up would otherwise answer this one.
  link->dropMatchingPackets(moduleAddress, request, patternLength);
  const aErr sent = link->sendPacket(moduleAddress, request[0],
                                     static_cast<uint8_t>(requestLength - 1), request + 1);
  if (sent != aErrNone) return sent;
  *replyLength = patternLength;
  return link->receivePacketFrom(moduleAddress, request, replyLength, reply);
}

aErr Module::getBuild(uint32_t* out) {
  if (out == nullptr) return aErrParam;
  const uint8_t request[] = {kQueryCommand, kQueryBuild};
  uint8_t length = 0;
  uint8_t reply[aPACKETMAXDATA];
  const aErr result = query(request, sizeof request, sizeof request, &length, reply);
  if (result != aErrNone) return result;
  if (length != kBuildReplyLength) return aErrSize;
  *out = aUEI_RetrieveInt(reply + 2);
  return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t direction) {
  if ((direction & ~kDirectionBits) != 0 || direction == kDirectionBits) return aErrParam;
  const uint8_t request[] = {kQueryCommand, kQueryHasUEI, command, option, index, direction};
  uint8_t length = 0;
  uint8_t reply[aPACKETMAXDATA];
  const aErr result = query(request, sizeof request, sizeof request - 1, &length, reply);
  if (result != aErrNone) return result;
  if (length != kHasUEIReplyLength) return aErrUnknown;
  return static_cast<aErr>(reply[5]);
}

// A query whose reply echoes the whole request and adds one count byte after it: the reply
// must be exactly replyLength bytes; *out is 0 unless it is.
aErr Module::countQuery(const uint8_t* request, uint8_t requestLength, uint8_t replyLength,
                        uint8_t* out) {
  if (out == nullptr) return aErrParam;
  *out = 0;
  uint8_t length = 0;
  uint8_t reply[aPACKETMAXDATA];
  const aErr result = query(request, requestLength, requestLength, &length, reply);
  if (result != aErrNone) return result;
  if (length != replyLength) return aErrUnknown;
  *out = reply[requestLength];
  return aErrNone;
}

aErr Module::classQuantity(uint8_t entityClass, uint8_t* out) {
  const uint8_t request[] = {kQueryCommand, kQueryClassQuantity, entityClass};
  return countQuery(request, sizeof request, kClassQuantityReplyLength, out);
}

aErr Module::subClassQuantity(uint8_t entityClass, uint8_t subclass, uint8_t* out) {
  const uint8_t request[] = {kQueryCommand, kQuerySubClassQuantity, entityClass, subclass};
  return countQuery(request, sizeof request, kSubClassQuantityReplyLength, out);
}

aErr Module::entityGroup(uint8_t entityClass, uint8_t index, uint8_t* out) {
  const uint8_t request[] = {kQueryCommand, kQueryEntityGroup, entityClass, index};
  return countQuery(request, sizeof request, kEntityGroupReplyLength, out);
}

aErr Module::debug(const uint8_t* data, uint8_t count) {
  if (link == nullptr) return aErrInitialization;
  if (!link->isConnected()) return aErrConnection;
  if (count > kDebugMaxBytes) return aErrParam;
  if (count > 0 && data == nullptr) return aErrParam;
  uint8_t request[aPACKETMAXDATA];
  request[0] = kDebugCommand;
  if (count > 0) std::memcpy(request + 1, data, count);
  uint8_t length = 0;
  uint8_t reply[aPACKETMAXDATA];
  const aErr result = query(request, static_cast<uint8_t>(count + 1), 1, &length, reply);
  if (result != aErrNone) return result;
  if (length != count + 1 || (count > 0 && std::memcmp(reply + 1, data, count) != 0)) {
    return aErrIO;
  }
  return aErrNone;
}

}  // namespace Kolvantis
}  // namespace Zentrova
