// What a stand-in module carries beyond its link, set up the same way by the program, by the
// in-process variants and by tests: UEI values with the system entity, UEI fault knobs,
// modules behind it on an I2C bus, the upgrade conversation, store slots, factory data and
// streams. Also the text forms the program's options and control commands use for them:
//
//   UEI fault      NAME:CMD:IDX:OPT:COUNT[:PARAM]   NAME as ueiFaultName spells it; COUNT a
//                                                   number of exchanges or "every"; PARAM
//                                                   (error-code: the code, other-address:
//                                                   the sender's address) only for those two
//   module behind  ADDR:SERIAL[:MODEL[:NAME]]       SERIAL in hex; NAME may hold ':'
//   UEI option     CMD:IDX:OPT[:SUB]
//   option value   a number for numeric options; for byte strings "text" in double quotes or
//                  hex bytes
//   store slot     STORE:SLOT:CAPACITY[:HEX]        the slot's content as hex bytes
//   slot fault     NAME:STEP:COUNT[:PARAM]          NAME as slotFaultName, STEP as
//                                                   slotStepName; PARAM: error-code the code
//                                                   (needed), late the ms (optional)
//   factory kind   KIND:HEX                         KIND 0 to 15; HEX may be empty
//   factory fault  NAME:PACKET:COUNT[:CODE]         PACKET read, write or end; CODE only and
//                                                   always for error-code
//   stream source  CMD:OPT:IDX:KIND[:SUB]           SUB: the subindex of kinds 5 to 7, the
//                                                   string length of kind 4
//   stream fault   NAME:COUNT[:CODE]                CODE only and always for refuse
// Numbers other than serial numbers are decimal or 0x-prefixed hex.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim_factory.h"
#include "sim_module_core.h"
#include "sim_router.h"
#include "sim_slots.h"
#include "sim_stream.h"
#include "sim_timed.h"
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
  // Store slots (command 4): attached when a slot or a slot fault is given.
  std::vector<SlotSpec> slots;
  std::vector<SlotFaultSpec> slotFaults;
  // Factory data (command 0x5E): attached when factoryData is set or a kind or fault given.
  bool factoryData = false;
  std::vector<std::pair<uint8_t, Bytes>> factory;  // kind, its bytes
  std::vector<FactoryFaultSpec> factoryFaults;
  // Streams (command 0x5D): attached when streaming is set or a source or fault is given.
  // behindStreams: sources of modules behind (by address), each such module with a streamer
  // of its own whose samples the router's link carries; the rate and the burst hold for every
  // streamer.
  bool streaming = false;
  std::vector<StreamSource> streams;
  std::vector<std::pair<uint8_t, StreamSource>> behindStreams;
  std::vector<StreamFaultSpec> streamFaults;
  std::optional<unsigned> streamRate;   // samples per second (kDefaultStreamRate)
  std::optional<unsigned> streamBurst;  // samples per write (1)
};

struct ModuleParts {
  std::shared_ptr<UeiStore> store;          // null without UEI values
  std::shared_ptr<I2cRouter> router;        // null without modules behind
  std::shared_ptr<UpgradePersona> upgrade;  // null without the upgrade conversation
  std::shared_ptr<SlotStore> slots;         // null without store slots
  std::shared_ptr<FactoryData> factory;     // null without factory data
  std::shared_ptr<Streamer> streamer;       // null without streams
  std::map<uint8_t, std::shared_ptr<Streamer>> behindStreamers;  // by module address
};

// The parts with timed work of their own (late replies, timed samples), for the front end to
// poll; the upgrade persona, which also drops and brings back the link, is not among them.
std::vector<std::shared_ptr<TimedWork>> timedWork(const ModuleParts& parts);
// The streamer a control command means: 0 this module's, else that of the module behind at
// the address; null when there is none.
std::shared_ptr<Streamer> streamerAt(const ModuleParts& parts, uint8_t address);

// Attaches what setup asks for to core; false with the reason when setup cannot be.
bool setUpModule(ModuleCore& core, const ModuleSetup& setup, ModuleParts* parts,
                 std::string* error);

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

std::optional<SlotSpec> parseSlotSpec(const std::string& text, std::string* error);
std::optional<SlotFaultSpec> parseSlotFault(const std::string& text, std::string* error);
std::optional<std::pair<uint8_t, Bytes>> parseFactoryKind(const std::string& text,
                                                          std::string* error);
std::optional<FactoryFaultSpec> parseFactoryFault(const std::string& text, std::string* error);
std::optional<StreamSource> parseStreamSource(const std::string& text, std::string* error);
std::optional<StreamFaultSpec> parseStreamFault(const std::string& text, std::string* error);

}  // namespace kvsim
