// A router module of the stand-in: it carries an I2C bus with further stand-in modules on it
// and passes the host's packets for their addresses to them over its own link.
//
// The bus (command 8, bus index 0 only; addresses in 8-bit form, bit 0 the read bit):
//   write  [8][bus][addr][len][speed][len bytes] -> [8][bus][addr][0][status]
//   read   [8][bus][addr|1][len][speed]          -> [8][bus][addr|1][count][status][count bytes]
//   pullup [8][bus][1][on]                       -> [8][bus][1][on][status]
// status 0 is success; an error has bit 7 set and the code in bits 0 to 6: kI2cErrNoDevice
// when no module acknowledges the address (a free address, the router's own, a missing
// module), kI2cErrBadBus for another bus, kI2cErrTooLong for more than 23 bytes, and
// kI2cErrBadRequest for a request of none of the three shapes. A module on the bus keeps the
// bytes last written to it; a read gives them back, padded with zeros to the length asked.
//
// Modules behind: each is a ModuleCore of its own with a UeiStore holding the system entity
// (its own address, serial number, model and name; its router option names the router). A
// packet from the host to such an address is handed to that module, and its replies go back
// over the router's link from its own address. Packets for addresses with no module behind
// them are taken without answer; the router answers only its own address.
//
// Knobs per module behind:
//   present   answers on the bus and on the link (the default)
//   silent    acknowledges on the bus, never answers a packet
//   missing   gone: no acknowledgement on the bus, no answer on the link
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim_module_core.h"
#include "sim_uei.h"

namespace kvsim {

constexpr uint8_t kI2cCommand = 8;
constexpr uint8_t kRouterBus = 0;          // the one bus a router carries
constexpr size_t kI2cMaxTransfer = 23;     // bytes per read or write
constexpr uint8_t kI2cStatusError = 0x80;  // status bit 7: the low bits hold an error code
constexpr uint8_t kI2cErrBadRequest = 2;
constexpr uint8_t kI2cErrNoDevice = 3;
constexpr uint8_t kI2cErrTooLong = 14;
constexpr uint8_t kI2cErrBadBus = 26;

enum class Presence { Present, Silent, Missing };
const char* presenceName(Presence presence);
std::optional<Presence> presenceByName(const std::string& name);

// One module behind a router.
struct BehindSpec {
  uint8_t address = 0;  // module address = 8-bit bus address; even, 2 to 254
  uint32_t serial = 0;
  uint8_t model = kDefaultModel;
  std::string name;  // empty: the default name
  Presence presence = Presence::Present;
};

class I2cRouter {
 public:
  // Registers the bus handler and the forwarder on the router's core; both keep the router
  // (and with it the modules behind) alive.
  static std::shared_ptr<I2cRouter> attach(ModuleCore& router);

  // Adds a module; the reason when the address cannot be one (odd, out of range, the
  // router's own or taken). identity gives its version, build and features.
  std::string add(const BehindSpec& spec, UeiIdentity identity = {});
  // False when no module was added at that address.
  bool setPresence(uint8_t address, Presence presence);

  // The module at an address and its UEI values; null when none was added there.
  ModuleCore* module(uint8_t address);
  std::shared_ptr<UeiStore> store(uint8_t address);
  std::vector<uint8_t> addresses() const;
  bool pullup() const { return pullup_; }

 private:
  struct Behind {
    std::unique_ptr<ModuleCore> core;
    std::shared_ptr<UeiStore> store;
    Presence presence = Presence::Present;
    Bytes busData;  // bytes last written over the bus
  };

  explicit I2cRouter(ModuleCore& router) : router_(router) {}
  bool forward(const Packet& packet, std::vector<Packet>* replies);
  std::vector<Packet> handleBus(const Packet& request);
  // The module that acknowledges an 8-bit bus address (read bit ignored), or null.
  Behind* onBus(uint8_t busAddress);

  ModuleCore& router_;
  std::map<uint8_t, Behind> modules_;
  bool pullup_ = false;
};

}  // namespace kvsim
