// What a stand-in module carries beyond its link, set up the same way by the program, by the
// in-process variants and by tests: UEI values with the system entity, UEI fault knobs,
// modules behind it on an I2C bus and the upgrade conversation. Also the text forms the program's options and control
// commands use for them:
//
//   UEI fault      NAME:CMD:IDX:OPT:COUNT[:PARAM]   NAME as ueiFaultName spells it; COUNT a
//                                                   number of exchanges or "every"; PARAM
//                                                   (error-code: the code, other-address:
//                                                   the sender's address) only for those two
//   module behind  ADDR:SERIAL[:MODEL[:NAME]]       SERIAL in hex; NAME may hold ':'
//   UEI option     CMD:IDX:OPT[:SUB]
//   option value   a number for numeric options; for byte strings "text" in double quotes or
//                  hex bytes
// Numbers other than serial numbers are decimal or 0x-prefixed hex.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim_module_core.h"
#include "sim_router.h"
#include "sim_uei.h"
#include "sim_upgrade.h"

namespace kvsim {

struct ModuleSetup {
  bool uei = false;  // answer UEI values, module queries and the echo
  UeiIdentity identity;
  std::vector<UeiFaultSpec> ueiFaults;
  std::vector<BehindSpec> behind;  // not empty: the module is a router (UEI values implied)
  // Set: the module takes the upgrade conversation (UEI values implied: the updater reads the
  // serial number, the model and the protocol features through them).
  std::optional<UpgradeConfig> upgrade;
};

struct ModuleParts {
  std::shared_ptr<UeiStore> store;          // null without UEI values
  std::shared_ptr<I2cRouter> router;        // null without modules behind
  std::shared_ptr<UpgradePersona> upgrade;  // null without the upgrade conversation
};

// Attaches what setup asks for to core; false with the reason when setup cannot be.
bool setUpModule(ModuleCore& core, const ModuleSetup& setup, ModuleParts* parts, std::string* error);

std::optional<UeiFaultSpec> parseUeiFault(const std::string& text, std::string* error);
std::optional<BehindSpec> parseBehind(const std::string& text, std::string* error);

struct UeiOptionKey {
  uint8_t command = 0;
  uint8_t index = 0;
  uint8_t option = 0;
  int subindex = -1;  // -1: none
};
std::optional<UeiOptionKey> parseUeiOptionKey(const std::string& text, std::string* error);
// Gives an existing option a new value of its own type; the reason when it cannot.
std::string assignUeiValue(UeiStore& store, const UeiOptionKey& key, const std::string& value);

}  // namespace kvsim
