// The control channel of the kv_sim_module program: commands on standard input, one per line
// (kControlHelp, and kDataControlHelp for store slots, factory data and streams), each answered
// on standard output with "OK" or "ERR <reason>"; the lines a command prints (DUMP, SLOTGET,
// ...) come before its answer. Commands act on the module's core and parts at once; a drop
// and the end of the run are the loop's, which it does through ControlledLoop.
#pragma once

#include <string>

#include "sim_module_core.h"
#include "sim_module_setup.h"

namespace kvsim {

extern const char kControlHelp[];  // the commands, for the program's --help
extern const char kControlEnd[];   // the line that ends the commands' help

// What the control commands ask of the program's loop.
class ControlledLoop {
 public:
  virtual bool connected() const = 0;
  // Ends the connection; the module comes back after --return-ms.
  virtual void dropConnection(DropMode mode) = 0;
  virtual void quit() = 0;

 protected:
  ~ControlledLoop() = default;
};

class ControlChannel {
 public:
  // Keeps references to all three; parts as setUpModule made them.
  ControlChannel(ModuleCore& core, ModuleParts& parts, ControlledLoop& loop)
      : core_(core), parts_(parts), loop_(loop) {}

  // Reads what fd has and runs every whole line in it (a trailing CR dropped, empty lines
  // skipped); false once the input has ended.
  bool read(int fd);

 private:
  void command(const std::string& line);
  // Runs one control command; the reason when it is refused.
  std::string execute(const std::string& verb, const std::string& argument);

  std::string heartbeat(const std::string& argument);
  std::string send(const std::string& argument);
  std::string flood(const std::string& argument);
  std::string drop(const std::string& argument);
  std::string silent(const std::string& argument);
  std::string fault(const std::string& argument);
  std::string ueiFault(const std::string& argument);
  std::string ueiSet(const std::string& argument);
  std::string behind(const std::string& argument);
  std::string flash(const std::string& argument);
  std::string dump(const std::string& argument);
  std::string quit(const std::string& argument);

  // UEIFAULT and UEISET: splits "[@ADDR] SPEC REST" and runs action on the UEI values it
  // means, with SPEC and the rest; the reason when there are no such values or action refuses.
  using UeiAction = std::string (*)(UeiStore& store, const std::string& spec,
                                    const std::string& rest);
  std::string onUeiValues(const std::string& argument, UeiAction action);
  // The UEI values a control command means: "@ADDR" names a module behind, anything else this
  // module; the reason when there are none.
  std::string targetStore(const std::string& word, UeiStore** store);

  ModuleCore& core_;
  ModuleParts& parts_;
  ControlledLoop& loop_;
  std::string pending_;  // what came after the last whole line
};

}  // namespace kvsim
