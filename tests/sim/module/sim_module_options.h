// The command line of the kv_sim_module program: the record it is read into and the usage
// text. The options of the upgrade persona fill its UpgradeConfig (their text forms and help
// are in sim_upgrade.h); those of store slots, factory data and streams are read by
// sim_data_options.h into the ModuleSetup.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim_module_core.h"
#include "sim_module_setup.h"

namespace kvsim {

struct ProgramOptions {
  enum class Front { None, Tcp, Pty, Node } front = Front::None;
  uint16_t port = 0;      // --tcp; 0: a free one
  std::string linkPath;   // --link with --pty, the symlink of --node
  unsigned returnMs = 0;  // --return-ms: away this long after a drop
  bool returnMsGiven = false;
  bool discovery = false;
  ModuleConfig config;
  ModuleSetup setup;
  std::string ueiOnly;                                  // an option given that needs UEI values
  std::vector<std::pair<uint8_t, Presence>> presences;  // --behind-silent, --behind-missing
  std::vector<uint8_t> echoes;                          // --echo
  std::vector<std::pair<uint8_t, Bytes>> replies;       // --reply, in order
  bool upgrade = false;
  UpgradeConfig upgradeConfig;  // handed to the setup with --upgrade
  std::string upgradeOnly;      // an option given that needs --upgrade
};

enum class ParseOutcome { Run, Help, Refused };

// Reads the options of argv into *options and checks that they go together; Refused with the
// reason in *error. --help (or -h) ends the reading: what follows it is not looked at.
ParseOutcome parseProgramOptions(int argc, char** argv, ProgramOptions* options,
                                 std::string* error);

// The whole --help on standard output: the options, those of the parts, the control commands.
void printProgramHelp();

}  // namespace kvsim
