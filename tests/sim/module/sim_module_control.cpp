#include "sim_module_control.h"

#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <utility>
#include <vector>

#include "sim_data_options.h"
#include "sim_module_program.h"

namespace kvsim {

namespace {

constexpr unsigned long kMaxFloodCommand = 1000000;  // packets one FLOOD sends

}  // namespace

const char kControlHelp[] =
    "Control commands on standard input, one per line:\n"
    "  HB <x>               send the heartbeat [A][2][0][x]\n"
    "  SEND <hex bytes>     send these bytes as one packet\n"
    "  FLOOD <n>            send n flood packets at once\n"
    "  DROP close|reset     drop the connection, come back after --return-ms\n"
    "  SILENT on|off        switch the answers off or on\n"
    "  FAULT <name> <COUNT|off>  arm a fault knob (names as the options above)\n"
    "  UEIFAULT [@ADDR] NAME:CMD:IDX:OPT:COUNT[:PARAM]  arm a UEI fault (as --uei-fault);\n"
    "                       @ADDR: of the module behind at ADDR (COUNT 0 disarms)\n"
    "  UEISET [@ADDR] CMD:IDX:OPT[:SUB] VALUE  give an option a new value: a number, or for\n"
    "                       byte strings \"text\" or hex bytes\n"
    "  BEHIND ADDR present|silent|missing  change a module behind\n"
    "  DUMP                 the recorded packets, one per line: \"<ms> <in|out> <hex>\"\n"
    "  FLASH PATH           with --upgrade: write the flash now, as --flash-dump does\n"
    "  QUIT                 end\n";
const char kControlEnd[] = "Every command ends with a line \"OK\" or \"ERR <reason>\".\n";

bool ControlChannel::read(int fd) {
  char buffer[kReadChunk];
  ssize_t got = ::read(fd, buffer, sizeof buffer);
  if (got <= 0) return false;
  pending_.append(buffer, static_cast<size_t>(got));
  size_t end;
  while ((end = pending_.find('\n')) != std::string::npos) {
    std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    command(line);
  }
  return true;
}

void ControlChannel::command(const std::string& line) {
  std::istringstream words(line);
  std::string verb, argument;
  words >> verb;
  std::getline(words >> std::ws, argument);
  if (verb.empty()) return;
  std::string error = execute(verb, argument);
  say(error.empty() ? "OK" : "ERR " + error);
}

std::string ControlChannel::execute(const std::string& verb, const std::string& argument) {
  using Run = std::string (ControlChannel::*)(const std::string&);
  static const std::pair<const char*, Run> kCommands[] = {
      {"HB", &ControlChannel::heartbeat},      {"SEND", &ControlChannel::send},
      {"FLOOD", &ControlChannel::flood},       {"DROP", &ControlChannel::drop},
      {"SILENT", &ControlChannel::silent},     {"FAULT", &ControlChannel::fault},
      {"UEIFAULT", &ControlChannel::ueiFault}, {"UEISET", &ControlChannel::ueiSet},
      {"BEHIND", &ControlChannel::behind},     {"FLASH", &ControlChannel::flash},
      {"DUMP", &ControlChannel::dump},         {"QUIT", &ControlChannel::quit},
  };
  for (const auto& [name, run] : kCommands)
    if (verb == name) return (this->*run)(argument);
  // Store slots, factory data and streams.
  std::vector<std::string> lines;
  auto refused = dataControl(parts_, verb, argument, &lines);
  if (!refused) return "unknown command " + verb;
  for (const std::string& line : lines) say(line);
  return *refused;
}

std::string ControlChannel::heartbeat(const std::string& argument) {
  auto x = parseUnsigned(argument);
  if (!x || *x > 255) return "HB needs a byte value";
  core_.sendHeartbeat(static_cast<uint8_t>(*x));
  return "";
}

std::string ControlChannel::send(const std::string& argument) {
  auto bytes = parseHex(argument);
  if (!bytes || bytes->empty()) return "SEND needs hex bytes";
  core_.sendRaw(*bytes);
  return "";
}

std::string ControlChannel::flood(const std::string& argument) {
  auto n = parseUnsigned(argument, 10);
  if (!n || *n > kMaxFloodCommand) return "FLOOD needs a count";
  core_.flood(static_cast<unsigned>(*n));
  return "";
}

std::string ControlChannel::drop(const std::string& argument) {
  if (argument != "close" && argument != "reset") return "DROP needs close or reset";
  if (!loop_.connected()) return "not connected";
  loop_.dropConnection(argument == "reset" ? DropMode::Reset : DropMode::Close);
  return "";
}

std::string ControlChannel::silent(const std::string& argument) {
  if (argument != "on" && argument != "off") return "SILENT needs on or off";
  core_.setSilent(argument == "on");
  return "";
}

std::string ControlChannel::fault(const std::string& argument) {
  std::istringstream words(argument);
  std::string name, countText;
  words >> name >> countText;
  auto fault = faultByName(name);
  auto count = parseKnobCount(countText);
  if (!fault || !count) return "FAULT needs a knob name and a count, all or off";
  core_.setFault(*fault, *count);
  return "";
}

std::string ControlChannel::ueiFault(const std::string& argument) {
  return onUeiValues(
      argument, [](UeiStore& store, const std::string& spec, const std::string& rest) {
        std::string error;
        auto fault = rest.empty() ? parseUeiFault(spec, &error) : std::nullopt;
        if (!fault)
          return error.empty() ? "UEIFAULT needs one NAME:CMD:IDX:OPT:COUNT[:PARAM]" : error;
        store.setFault(*fault);
        return std::string();
      });
}

std::string ControlChannel::ueiSet(const std::string& argument) {
  return onUeiValues(argument,
                     [](UeiStore& store, const std::string& keyText, const std::string& value) {
                       std::string error;
                       auto key = parseUeiOptionKey(keyText, &error);
                       if (!key) return error;
                       if (value.empty()) return std::string("UEISET needs a value");
                       return assignUeiValue(store, *key, value);
                     });
}

std::string ControlChannel::behind(const std::string& argument) {
  std::istringstream words(argument);
  std::string addressText, state;
  words >> addressText >> state;
  auto address = parseUnsigned(addressText);
  auto presence = presenceByName(state);
  if (!address || *address > 255 || !presence)
    return "BEHIND needs an address and present, silent or missing";
  if (!parts_.router || !parts_.router->setPresence(static_cast<uint8_t>(*address), *presence))
    return "no module behind at " + addressText;
  return "";
}

std::string ControlChannel::flash(const std::string& argument) {
  if (!parts_.upgrade) return "no upgrade conversation (start with --upgrade)";
  if (argument.empty()) return "FLASH needs a path";
  std::string error;
  if (!parts_.upgrade->writeFlashDump(argument, &error)) return error;
  return "";
}

std::string ControlChannel::dump(const std::string&) {
  for (const Record& record : core_.records())
    std::fprintf(stdout, "%s\n", formatRecord(record).c_str());
  return "";
}

std::string ControlChannel::quit(const std::string&) {
  loop_.quit();
  return "";
}

std::string ControlChannel::onUeiValues(const std::string& argument, UeiAction action) {
  std::istringstream words(argument);
  std::string first, spec, rest;
  words >> first;
  UeiStore* store = nullptr;
  std::string error = targetStore(first, &store);
  if (!error.empty()) return error;
  if (first.rfind('@', 0) != 0) words.seekg(0);
  words >> spec;
  std::getline(words >> std::ws, rest);
  return action(*store, spec, rest);
}

std::string ControlChannel::targetStore(const std::string& word, UeiStore** store) {
  if (word.rfind('@', 0) != 0) {
    *store = parts_.store.get();
    return *store ? "" : "no UEI values (start with --uei)";
  }
  auto address = parseUnsigned(word.substr(1));
  auto behind = address && *address <= 255 && parts_.router
                    ? parts_.router->store(static_cast<uint8_t>(*address))
                    : nullptr;
  *store = behind.get();
  return *store ? "" : "no module behind at " + word.substr(1);
}

}  // namespace kvsim
