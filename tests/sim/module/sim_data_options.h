// The program's options and control commands for store slots, factory data and streams, kept
// apart from the program's loop: the options fill a ModuleSetup, the control commands act on
// the ModuleParts that setUpModule made from it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim_module_setup.h"

namespace kvsim {

extern const char kDataHelp[];         // the options, for the program's --help
extern const char kDataControlHelp[];  // the control commands, for the program's --help

enum class OptionTaken { No, Yes, Failed };
// One command-line option: No when it is none of these; Failed with the reason in *error.
// value() reads the option's argument (false, with *error set, when there is none).
OptionTaken parseDataOption(const std::string& option,
                            const std::function<bool(std::string*)>& value, ModuleSetup* setup,
                            std::string* error);

// One control command: nullopt when verb is none of these, else "" once done or the reason it
// was refused. Lines to print ahead of the answer go to *output.
std::optional<std::string> dataControl(ModuleParts& parts, const std::string& verb,
                                       const std::string& argument,
                                       std::vector<std::string>* output);

}  // namespace kvsim
