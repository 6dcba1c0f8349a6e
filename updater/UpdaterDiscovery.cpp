// Discovery of the modules the updater can reach, directly or behind a router module, and
// the probes that fill a DeviceInfo; also the switch that keeps every Module off sharing.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "I2CClass.h"
#include "Link.h"
#include "Log.h"
#include "Module.h"
#include "SystemClass.h"
#include "Updater.h"
#include "aDefs.h"
#include "aVersion.h"

using Zentrova::Kolvantis::I2CClass;
using Zentrova::Kolvantis::Link;
using Zentrova::Kolvantis::Module;
using Zentrova::Kolvantis::SystemClass;
using Zentrova::Kolvantis::VelnetConfig;

namespace {

constexpr linkType LINK_NONE = 0;

constexpr uint8_t FIRST_MODULE_ADDRESS =
    2;  // a fresh Module's address until networking adopts the real one
constexpr uint8_t ANY_MODEL = 0;
constexpr uint8_t SYSTEM_INDEX = 0;  // index of the system entity
constexpr uint8_t I2C_BUS = 0;       // the bus a router carries its modules on

// The module's build query: [0x49][0xFF] answered by [0x49][0xFF][build, big-endian].
constexpr uint8_t CMD_MODULE_QUERY = 0x49;
constexpr uint8_t QUERY_BUILD = 0xFF;
constexpr uint8_t BUILD_REPLY_LENGTH = 6;
constexpr size_t PACKET_DATA_SIZE = 28;  // data bytes of the largest packet

// Routed discovery: every even module address from 2 to 252 is probed on the router's bus.
constexpr uint8_t FIRST_ROUTED_ADDRESS = 2;
constexpr uint8_t LAST_ROUTED_ADDRESS = 252;
constexpr uint8_t ROUTED_ADDRESS_STEP = 2;
constexpr uint8_t ROUTER_BUS_SPEED = 3;
constexpr uint8_t ROUTE_TO_HOST = 1;
constexpr uint8_t ROUTE_RESET = 0;

// Modules with firmware from this version on carry a name.
constexpr uint8_t NAMED_MAJOR = 2;
constexpr uint8_t NAMED_MINOR = 10;
constexpr uint8_t NAMED_PATCH = 4;
constexpr size_t DEVICE_NAME_SIZE = 32;  // bytes of a module's name at most
constexpr uint32_t PATCH_LIMIT = 0xFF;   // the version comparison takes one-byte parts

// 127.0.0.1 in network order: discovery then searches every interface.
uint32_t _every_interface() { return htonl(INADDR_LOOPBACK); }

// State of the link-type search for one serial number.
struct LinkTypeSearch {
  uint32_t serialNumber;
  linkType found;
};

bool _discovered_device(const linkSpec* spec, bool* taken, void* list) {
  DeviceInfo info;
  info.spec = *spec;
  static_cast<std::vector<DeviceInfo>*>(list)->push_back(info);
  *taken = true;
  return true;
}

bool _discovered_link(const linkSpec* spec, bool* taken, void* state) {
  LinkTypeSearch* search = static_cast<LinkTypeSearch*>(state);
  *taken = true;
  if (spec->serialNumber != search->serialNumber) return true;
  Log::log(DEBUG_Network_Link,
           "NETWORK: Found device [%08" PRIX32 "] via link type [%" PRIu32 "]\n",
           spec->serialNumber, spec->type);
  search->found = spec->type;
  return false;
}

// 1 when USB enumeration finds the module, else 2 when the TCP/IP query does, else 0.
linkType _discover_link_type(uint32_t serialNumber) {
  LinkTypeSearch search = {serialNumber, LINK_NONE};
  aDiscovery_EnumerateModules(aLINK_TYPE_USB, _discovered_link, &search, _every_interface());
  if (search.found == LINK_NONE)
    aDiscovery_EnumerateModules(aLINK_TYPE_TCPIP, _discovered_link, &search, _every_interface());
  return search.found;
}

// The module's firmware build number, 0 when it cannot be read.
uint32_t _get_build_number(Module& module) {
  Link* link = module.getLink();
  if (link == nullptr) return 0;
  const uint8_t address = module.getModuleAddress();
  const uint8_t pattern[] = {CMD_MODULE_QUERY, QUERY_BUILD};
  // Behind a router every module's replies arrive on the router's one link: a reply that
  // came after an earlier query gave up, or another module's, must not count as this one.
  link->dropMatchingPackets(address, pattern, sizeof pattern);
  const uint8_t request[] = {QUERY_BUILD};
  if (link->sendPacket(address, CMD_MODULE_QUERY, sizeof request, request) != aErrNone) return 0;
  uint8_t length = sizeof pattern;
  uint8_t reply[PACKET_DATA_SIZE] = {};
  if (link->receivePacketFrom(address, pattern, &length, reply) != aErrNone ||
      length != BUILD_REPLY_LENGTH)
    return 0;
  return uint32_t{reply[2]} << 24 | uint32_t{reply[3]} << 16 | uint32_t{reply[4]} << 8 |
         uint32_t{reply[5]};
}

// Firmware version, module address and router address as the module reports them.
aErr _get_version(Module& module, DeviceInfo& info) {
  SystemClass system;
  aErr err = system.init(&module, SYSTEM_INDEX);
  if (err != aErrNone) return err;
  uint32_t version = 0;
  err = system.getVersion(&version);
  if (err != aErrNone) return err;
  info.major = aVersion_ParseMajor(version);
  info.minor = aVersion_ParseMinor(version);
  info.patch = aVersion_ParsePatch(version);
  uint8_t address = 0;
  err = system.getModule(&address);
  if (err != aErrNone) return err;
  info.spec.module = address;
  uint8_t router = 0;
  err = system.getRouter(&router);
  if (err == aErrNone) info.spec.router = router;
  return err;
}

// The name stored in the module, for firmware that has one.
aErr _get_device_name(Module& module, DeviceInfo& info) {
  // A patch beyond one byte is still newer than any one-byte patch.
  const uint8_t patch = static_cast<uint8_t>(std::min(info.patch, PATCH_LIMIT));
  if (!aVersion_IsAtLeastCompare(info.major, info.minor, patch, NAMED_MAJOR, NAMED_MINOR,
                                 NAMED_PATCH))
    return aErrNone;
  SystemClass system;
  aErr err = system.init(&module, SYSTEM_INDEX);
  if (err != aErrNone) return err;
  uint8_t name[DEVICE_NAME_SIZE] = {};
  size_t length = 0;
  err = system.getName(name, sizeof name, &length);
  if (err == aErrNone)
    info.deviceName.assign(reinterpret_cast<const char*>(name), std::min(length, sizeof name));
  return err;
}

// Fills one directly found record: model name, then through a connection of its own the
// build, version, addresses and name. A failed step leaves its code in the record.
void _probe_device(DeviceInfo& info, UpdaterDisplayInterface& display) {
  info.modelName = aDefs_GetModelName(info.spec.model);
  Module module(FIRST_MODULE_ADDRESS, ANY_MODEL);
  aErr err = _disableEther(module, display);
  if (err != aErrNone) {
    // Not connected, so nothing was read: the record must not pass for a probed one.
    info.error = err;
    return;
  }
  info.error = module.connectFromSpec(info.spec);
  if (info.error != aErrNone) {
    module.disconnect();
    return;
  }
  info.build = _get_build_number(module);
  info.error = _get_version(module, info);
  if (info.error == aErrNone) info.error = _get_device_name(module, info);
  module.disconnect();
}

// The record found for the router, freed on every way out.
struct FoundRecord {
  linkSpec* spec;
  ~FoundRecord() {
    if (spec != nullptr) aLinkSpec_Destroy(&spec);
  }
};

// Probes one address behind a connected router; true with the record filled when a module
// answers there with its serial number.
bool _probe_routed_address(Module& router, I2CClass& bus, const linkSpec& routerSpec,
                           uint32_t routerSerialNumber, uint8_t address,
                           UpdaterDisplayInterface& display, DeviceInfo& info) {
  Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", unsigned{address});
  // Two zero bytes: a write that only a module present at the address acknowledges.
  const uint8_t probe[] = {0x00, 0x00};
  if (bus.write(address, sizeof probe, probe) != aErrNone) return false;

  Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", unsigned{address});
  Module module(address, false, ANY_MODEL);
  // A module behind a router takes the router's sharing settings when it connects.
  _disableEther(module, display);
  if (module.connectThroughLinkModule(&router) != aErrNone) return false;

  SystemClass system;
  uint32_t serialNumber = 0;
  if (system.init(&module, SYSTEM_INDEX) != aErrNone ||
      system.getSerialNumber(&serialNumber) != aErrNone) {
    module.disconnect();
    return false;
  }
  Log::log(DEBUG_Updater, "Got Serial [0x%08" PRIX32 "]\n", serialNumber);

  info.spec = routerSpec;
  info.spec.serialNumber = serialNumber;
  info.spec.router = router.getModuleAddress();
  info.spec.routerSerialNumber = routerSerialNumber;
  info.spec.module = 0;
  info.spec.model = 0;
  info.networkAddress = address;
  info.build = _get_build_number(module);
  info.error = _get_version(module, info);

  uint8_t model = 0;
  aErr err = system.getModel(&model);
  if (err == aErrNone) {
    info.spec.model = model;
    info.modelName = aDefs_GetModelName(model);
  } else {
    info.error = err;
  }
  module.disconnect();
  return true;
}

}  // namespace

aErr _disableEther(Module& module, UpdaterDisplayInterface& display) {
  VelnetConfig config;
  config.enabled = 0;
  config.fallback = 0;
  config.localOnly = 1;
  aErr err = module.setConfig(config);
  if (err != aErrNone)
    display.message(UpdaterDisplayInterface::ERROR, "Failed to SET network configuration");
  return err;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
  std::vector<linkType> types;
  if (type == LINK_NONE)
    types = {aLINK_TYPE_USB, aLINK_TYPE_TCPIP};
  else
    types = {type};

  std::vector<DeviceInfo> list;
  for (linkType searched : types)
    aDiscovery_EnumerateModules(searched, _discovered_device, &list, _every_interface());
  for (DeviceInfo& info : list) _probe_device(info, display);
  return list;
}

std::vector<DeviceInfo> Updater::Discover_KVNetwork_Devices(uint32_t routerSerialNumber,
                                                            linkType type) {
  std::vector<DeviceInfo> list;
  if (type == LINK_NONE) type = _discover_link_type(routerSerialNumber);

  FoundRecord found = {aDiscovery_FindModule(type, routerSerialNumber, _every_interface())};
  if (found.spec == nullptr) return list;
  Log::log(DEBUG_Updater, "Found Link Module");

  Module router(FIRST_MODULE_ADDRESS, ANY_MODEL);
  if (_disableEther(router, display) != aErrNone) return list;
  aErr err = router.connectFromSpec(*found.spec);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Error %d on connectFromSpec", int{err});
    return list;
  }

  SystemClass routerSystem;
  err = routerSystem.init(&router, SYSTEM_INDEX);
  if (err == aErrNone) err = routerSystem.routeToMe(ROUTE_TO_HOST);
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Error %d on route to me", int{err});
    router.disconnect();
    return list;
  }

  I2CClass bus;
  bus.init(&router, I2C_BUS);
  bus.setSpeed(ROUTER_BUS_SPEED);

  const linkSpec routerSpec = *found.spec;
  const uint8_t routerAddress = router.getModuleAddress();
  for (unsigned address = FIRST_ROUTED_ADDRESS; address <= LAST_ROUTED_ADDRESS;
       address += ROUTED_ADDRESS_STEP) {
    if (address == routerAddress) continue;
    DeviceInfo info;
    if (_probe_routed_address(router, bus, routerSpec, routerSerialNumber,
                              static_cast<uint8_t>(address), display, info))
      list.push_back(info);
  }

  routerSystem.routeToMe(ROUTE_RESET);
  router.disconnect();
  return list;
}
