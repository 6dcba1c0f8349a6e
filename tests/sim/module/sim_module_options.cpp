#include "sim_module_options.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "sim_data_options.h"
#include "sim_module_control.h"
#include "sim_module_program.h"

namespace kvsim {

namespace {

using Front = ProgramOptions::Front;

constexpr unsigned long kMaxPort = 65535;
constexpr unsigned long kMaxByte = 0xFF;
constexpr unsigned long kMaxWord = 0xFFFFFFFFUL;
constexpr unsigned long kMaxBlockSize = 0xFFFF;
constexpr unsigned long kMaxFlood = 1000000;         // flood packets per connection
constexpr unsigned long kMaxDropAfter = 1000000000;  // packets before the drop
constexpr unsigned long kMaxSplitGapMs = 60000;      // longest gap of a split packet, in ms
constexpr unsigned long kMaxOptionMs = 600000;       // longest delay an option takes, in ms

const char kHelp[] =
    "usage: kv_sim_module (--tcp PORT | --pty [--cobs] [--link PATH] | --node PATH) [options]\n"
    "\n"
    "A stand-in module for tests of the device link. Prints \"PORT <n>\" (TCP on 127.0.0.1;\n"
    "0 picks a free port) or \"PTY <slave path>\" once it listens, and again \"PTY <path>\"\n"
    "each time a pty comes back after a drop. Packets are [address][length][data].\n"
    "\n"
    "Front ends:\n"
    "  --tcp PORT           TCP listener on 127.0.0.1; accepts again after a drop; while\n"
    "                       an upgrade drop keeps the module away the port refuses\n"
    "                       connections, and it listens on the same port once back\n"
    "  --pty                pseudo-terminal, raw bytes (a serial port)\n"
    "  --cobs               with --pty: every packet as COBS(packet + CRC-8) + 0x00 both ways\n"
    "  --link PATH          with --pty: a symlink at PATH to the slave, kept across come-backs\n"
    "  --node PATH          pseudo-terminal behind a symlink at PATH, raw bytes: the kernel\n"
    "                       device node (a read without a byte returns 0 after 100 ms)\n"
    "\n"
    "Module:\n"
    "  --address N          module address (default 2)\n"
    "  --serial HEX         serial number\n"
    "  --echo CMD           reply to packets whose first data byte is CMD with their data\n"
    "  --reply CMD=HEX      reply to CMD with these data bytes (repeat for several replies)\n"
    "  --discovery          with --tcp: answer the 16-byte discovery request sent to group\n"
    "                       232.2.2.2 port 9888 with the 16-byte reply to the sender's port\n"
    "                       9889 (address, TCP port, serial number, model); not while an\n"
    "                       upgrade drop keeps the module away\n"
    "  --model N            model number in the discovery reply, the UEI identity (option 8)\n"
    "                       and the USB product id (default 0x11)\n"
    "\n"
    "UEI values (the system entity, command 3; the entity store, command 92; the 0x49\n"
    "queries; the command 23 echo):\n"
    "  --uei                answer them; identity from --address, --serial, --model and:\n"
    "  --build N            firmware build number (option 43 and the 0x49 build query)\n"
    "  --version WORD       packed firmware version (option 7, default 0x2F020F03)\n"
    "  --name TEXT          module name (option 32, a byte string)\n"
    "  --features WORD      protocol feature bits (option 45, default 0x80000000)\n"
    "  --uei-fault NAME:CMD:IDX:OPT:COUNT[:PARAM]\n"
    "                       arm a reply fault of one option (repeatable); COUNT is a number\n"
    "                       of exchanges or \"every\"; NAME one of:\n"
    "                         wrong-length     one extra 0x00 byte after the reply\n"
    "                         error-code       an error reply with code PARAM instead\n"
    "                         other-address    the reply comes from address PARAM\n"
    "                         late             the reply goes out ahead of the next reply\n"
    "                         duplicate        the reply goes out twice\n"
    "                         out-of-sequence  byte-string gets: the first two chunks swap\n"
    "                                          (a single chunk carries number 1)\n"
    "                         silence          no reply at all\n"
    "\n"
    "Router (implies --uei): an I2C bus (command 8, bus 0) with modules behind it, each with\n"
    "its own system entity (router option 2 = this module's address). Packets for their\n"
    "addresses are answered over this link from those addresses; packets for any other\n"
    "address but this module's go unanswered. DUMP shows the routed packets both ways.\n"
    "Bus: write [8][0][ADDR][n][speed][n bytes], read [8][0][ADDR|1][n][speed], pull-up\n"
    "[8][0][1][on]; status 0 or 0x80|code (0x83: nobody acknowledges ADDR); a read gives back\n"
    "the bytes last written to that module, padded with zeros.\n"
    "  --behind ADDR:SERIAL[:MODEL[:NAME]]\n"
    "                       a module behind at module and bus address ADDR (even), SERIAL\n"
    "                       in hex (repeatable)\n"
    "  --behind-silent ADDR the module at ADDR acknowledges on the bus but never answers\n"
    "  --behind-missing ADDR  the module at ADDR is gone: no acknowledgement, no answer\n"
    "\n"
    "Fault knobs (COUNT is a number of packets sent, or \"all\"):\n"
    "  --silent             send no answers (sync answers, replies); HB/SEND/FLOOD still go\n"
    "  --odd-address COUNT  odd address byte in the packets sent\n"
    "  --zero-address COUNT zero address byte in the packets sent\n"
    "  --oversize-length COUNT  length byte 29 in the packets sent\n"
    "  --garbage COUNT      a run of odd, non-zero bytes before each packet sent\n"
    "  --garbage-length N   bytes per garbage run (default 8)\n"
    "  --split COUNT        packets sent one byte at a time with gaps\n"
    "  --split-gap-ms MS    gap between the bytes of a split packet (default 2)\n"
    "  --bad-frame COUNT    with --cobs: frames with a wrong CRC-8\n"
    "  --coalesce           everything ready at once goes out in one write\n"
    "  --flood N            N packets [A][3][F0][seq hi][seq lo] after the first packet of\n"
    "                       each connection\n"
    "  --drop-after N       drop the connection on its N-th received packet (unanswered)\n"
    "  --drop-mode MODE     close (orderly, default) or reset (TCP: RST)\n"
    "  --return-ms MS       come back this long after a drop (default 0)\n";

// What an option goes with, checked once all are read.
enum class Needs { Nothing, Uei, Upgrade };

// The value of an option being read, and the way to refuse it.
struct OptionValue {
  const std::string& option;
  const std::string& text;
  std::string* error;

  // False, with "bad value for OPTION: TEXT" and more as the reason.
  bool bad(const std::string& more = "") const {
    *error = "bad value for " + option + ": " + text + more;
    return false;
  }
};

// An option without a value.
struct FlagRule {
  const char* name;
  Needs needs;
  void (*set)(ProgramOptions& o);
};

// An option with a number up to limit, in base (0: decimal, 0x-prefixed hex or 0-prefixed
// octal).
struct NumberRule {
  const char* name;
  unsigned long limit;
  int base;
  Needs needs;
  void (*store)(ProgramOptions& o, unsigned long n);
  const char* zeroRefused = nullptr;  // set: 0 is refused, for this reason
};

// An option with a text value; take is false, with the reason, when it refuses the text.
struct TextRule {
  const char* name;
  Needs needs;
  bool (*take)(ProgramOptions& o, const OptionValue& value);
};

const FlagRule kFlags[] = {
    {"--pty", Needs::Nothing, [](ProgramOptions& o) { o.front = Front::Pty; }},
    {"--cobs", Needs::Nothing, [](ProgramOptions& o) { o.config.framed = true; }},
    {"--discovery", Needs::Nothing, [](ProgramOptions& o) { o.discovery = true; }},
    {"--uei", Needs::Nothing, [](ProgramOptions& o) { o.setup.uei = true; }},
    {"--silent", Needs::Nothing, [](ProgramOptions& o) { o.config.silent = true; }},
    {"--coalesce", Needs::Nothing, [](ProgramOptions& o) { o.config.coalesce = true; }},
    {"--upgrade", Needs::Nothing, [](ProgramOptions& o) { o.upgrade = true; }},
    {"--loader", Needs::Upgrade, [](ProgramOptions& o) { o.upgradeConfig.startAsLoader = true; }},
    {"--return-quiet", Needs::Upgrade,
     [](ProgramOptions& o) { o.upgradeConfig.announceOnReturn = false; }},
    {"--no-uei", Needs::Upgrade, [](ProgramOptions& o) { o.upgradeConfig.hasUei = false; }},
    {"--no-pooled", Needs::Upgrade, [](ProgramOptions& o) { o.upgradeConfig.pooled = false; }},
};

const NumberRule kNumbers[] = {
    // Front end and module.
    {"--tcp", kMaxPort, 10, Needs::Nothing,
     [](ProgramOptions& o, unsigned long n) {
       o.front = Front::Tcp;
       o.port = static_cast<uint16_t>(n);
     }},
    {"--address", kMaxByte, 0, Needs::Nothing,
     [](ProgramOptions& o, unsigned long n) { o.config.address = static_cast<uint8_t>(n); }},
    {"--serial", kMaxWord, 16, Needs::Nothing,
     [](ProgramOptions& o, unsigned long n) { o.config.serial = static_cast<uint32_t>(n); }},
    {"--echo", kMaxByte, 0, Needs::Nothing,
     [](ProgramOptions& o, unsigned long n) { o.echoes.push_back(static_cast<uint8_t>(n)); }},
    {"--model", kMaxByte, 0, Needs::Nothing,
     [](ProgramOptions& o, unsigned long n) { o.config.model = static_cast<uint8_t>(n); }},
    // UEI values.
    {"--build", kMaxWord, 0, Needs::Uei,
     [](ProgramOptions& o, unsigned long n) { o.setup.identity.build = static_cast<uint32_t>(n); }},
    {"--version", kMaxWord, 0, Needs::Uei,
     [](ProgramOptions& o, unsigned long n) {
       o.setup.identity.version = static_cast<uint32_t>(n);
     }},
    {"--features", kMaxWord, 0, Needs::Uei,
     [](ProgramOptions& o, unsigned long n) {
       o.setup.identity.protocolFeatures = static_cast<uint32_t>(n);
     }},
    // Router.
    {"--behind-silent", kMaxByte, 0, Needs::Nothing,
     [](ProgramOptions& o, unsigned long n) {
       o.presences.emplace_back(static_cast<uint8_t>(n), Presence::Silent);
     }},
    {"--behind-missing", kMaxByte, 0, Needs::Nothing,
     [](ProgramOptions& o, unsigned long n) {
       o.presences.emplace_back(static_cast<uint8_t>(n), Presence::Missing);
     }},
    // Fault knobs.
    {"--garbage-length", kReadChunk, 10, Needs::Nothing,
     [](ProgramOptions& o, unsigned long n) { o.config.garbageLength = n; }},
    {"--split-gap-ms", kMaxSplitGapMs, 10, Needs::Nothing,
     [](ProgramOptions& o, unsigned long n) { o.config.splitGapMs = static_cast<unsigned>(n); }},
    {"--flood", kMaxFlood, 10, Needs::Nothing,
     [](ProgramOptions& o, unsigned long n) {
       o.config.floodOnConnect = static_cast<unsigned>(n);
     }},
    {"--drop-after", kMaxDropAfter, 10, Needs::Nothing,
     [](ProgramOptions& o, unsigned long n) { o.config.dropAfter = static_cast<unsigned>(n); }},
    {"--return-ms", kMaxOptionMs, 10, Needs::Nothing,
     [](ProgramOptions& o, unsigned long n) {
       o.returnMs = static_cast<unsigned>(n);
       o.returnMsGiven = true;
     }},
    // Upgrade conversation.
    {"--reboot-drop-ms", kMaxOptionMs, 10, Needs::Upgrade,
     [](ProgramOptions& o, unsigned long n) {
       o.upgradeConfig.rebootDropMs = static_cast<unsigned>(n);
     }},
    {"--late-ms", kMaxOptionMs, 10, Needs::Upgrade,
     [](ProgramOptions& o, unsigned long n) { o.upgradeConfig.lateMs = static_cast<unsigned>(n); }},
    {"--block-size", kMaxBlockSize, 0, Needs::Upgrade,
     [](ProgramOptions& o, unsigned long n) {
       o.upgradeConfig.blockSize = static_cast<uint16_t>(n);
     },
     "the block-size-0 knob answers 0"},
    {"--load-base", kMaxWord, 16, Needs::Upgrade,
     [](ProgramOptions& o, unsigned long n) {
       o.upgradeConfig.loadBase = static_cast<uint32_t>(n);
     }},
};

// --reply CMD=HEX
bool takeReply(ProgramOptions& o, const OptionValue& value) {
  const std::string& text = value.text;
  size_t equals = text.find('=');
  auto command = parseUnsigned(text.substr(0, equals));
  auto data = equals == std::string::npos ? std::nullopt : parseHex(text.substr(equals + 1));
  if (!command || *command > kMaxByte || !data || data->size() > kMaxPacketData) return value.bad();
  o.replies.emplace_back(static_cast<uint8_t>(*command), *data);
  return true;
}

bool takeDropMode(ProgramOptions& o, const OptionValue& value) {
  if (value.text != "close" && value.text != "reset") return value.bad();
  o.config.dropMode = value.text == "reset" ? DropMode::Reset : DropMode::Close;
  return true;
}

// An option of the upgrade persona in its text form (sim_upgrade.h).
bool takeUpgradeText(bool (*parse)(const std::string&, UpgradeConfig*), ProgramOptions& o,
                     const OptionValue& value) {
  return parse(value.text, &o.upgradeConfig) || value.bad(" (see --help)");
}

// A value in one of the text forms of sim_module_setup.h, added to list; false with the
// parser's reason.
template <typename Spec>
bool addParsed(std::optional<Spec> (*parse)(const std::string&, std::string*),
               const OptionValue& value, std::vector<Spec>* list) {
  std::optional<Spec> spec = parse(value.text, value.error);
  if (spec) list->push_back(*spec);
  return spec.has_value();
}

const TextRule kTexts[] = {
    // Front ends.
    {"--link", Needs::Nothing,
     [](ProgramOptions& o, const OptionValue& v) {
       o.linkPath = v.text;
       return true;
     }},
    {"--node", Needs::Nothing,
     [](ProgramOptions& o, const OptionValue& v) {
       o.linkPath = v.text;
       o.front = Front::Node;
       return true;
     }},
    // Module.
    {"--reply", Needs::Nothing, takeReply},
    {"--drop-mode", Needs::Nothing, takeDropMode},
    // UEI values.
    {"--name", Needs::Uei,
     [](ProgramOptions& o, const OptionValue& v) {
       o.setup.identity.name = v.text;
       return true;
     }},
    {"--uei-fault", Needs::Uei,
     [](ProgramOptions& o, const OptionValue& v) {
       return addParsed(parseUeiFault, v, &o.setup.ueiFaults);
     }},
    // Router.
    {"--behind", Needs::Nothing,
     [](ProgramOptions& o, const OptionValue& v) {
       return addParsed(parseBehind, v, &o.setup.behind);
     }},
    // Upgrade conversation.
    {"--after-load", Needs::Upgrade,
     [](ProgramOptions& o, const OptionValue& v) { return takeUpgradeText(parseAfterLoad, o, v); }},
    {"--return", Needs::Upgrade,
     [](ProgramOptions& o, const OptionValue& v) { return takeUpgradeText(parseReturnAs, o, v); }},
    {"--upgrade-fault", Needs::Upgrade,
     [](ProgramOptions& o, const OptionValue& v) {
       return takeUpgradeText(parseUpgradeFault, o, v);
     }},
    {"--loader-fault", Needs::Upgrade,
     [](ProgramOptions& o, const OptionValue& v) {
       return takeUpgradeText(parseLoaderFault, o, v);
     }},
    {"--flash-dump", Needs::Upgrade,
     [](ProgramOptions& o, const OptionValue& v) {
       o.upgradeConfig.flashDumpPath = v.text;
       if (!v.text.empty()) return true;
       *v.error = "--flash-dump needs a path";
       return false;
     }},
};

template <typename Rule, size_t N>
const Rule* findRule(const Rule (&rules)[N], const std::string& name) {
  for (const Rule& rule : rules)
    if (name == rule.name) return &rule;
  return nullptr;
}

// Notes an option that goes with UEI values or with --upgrade; true.
bool noteNeeds(Needs needs, const std::string& option, ProgramOptions& o) {
  if (needs == Needs::Uei)
    o.ueiOnly = option;
  else if (needs == Needs::Upgrade)
    o.upgradeOnly = option;
  return true;
}

using ValueReader = std::function<bool(std::string*)>;

// One option of the tables above, a fault knob "--NAME COUNT" (names as faultName spells
// them) or one of store slots, factory data and streams; false with the reason.
bool takeOption(const std::string& option, const ValueReader& value, ProgramOptions& o,
                std::string* error) {
  std::string text;
  if (const FlagRule* rule = findRule(kFlags, option)) {
    rule->set(o);
    return noteNeeds(rule->needs, option, o);
  }
  if (const NumberRule* rule = findRule(kNumbers, option)) {
    if (!value(&text)) return false;
    auto n = parseUnsigned(text, rule->base);
    if (!n || *n > rule->limit) return OptionValue{option, text, error}.bad();
    if (*n == 0 && rule->zeroRefused) {
      *error = option + " must be at least 1 (" + rule->zeroRefused + ")";
      return false;
    }
    rule->store(o, *n);
    return noteNeeds(rule->needs, option, o);
  }
  if (const TextRule* rule = findRule(kTexts, option)) {
    if (!value(&text) || !rule->take(o, OptionValue{option, text, error})) return false;
    return noteNeeds(rule->needs, option, o);
  }
  if (auto fault = option.rfind("--", 0) == 0 ? faultByName(option.substr(2)) : std::nullopt) {
    if (!value(&text)) return false;
    auto count = parseKnobCount(text);
    if (!count) return OptionValue{option, text, error}.bad();
    o.config.faults[*fault] = *count;
    return true;
  }
  OptionTaken taken = parseDataOption(option, value, &o.setup, error);
  if (taken == OptionTaken::No) *error = "unknown option " + option;
  return taken == OptionTaken::Yes;
}

// The options that only go with others; hands the upgrade persona's record and the presences
// of the modules behind to the setup.
bool checkTogether(ProgramOptions& o, std::string* error) {
  if (o.front == Front::None) {
    *error = "one of --tcp, --pty or --node is needed";
    return false;
  }
  if (o.discovery && o.front != Front::Tcp) {
    *error = "--discovery goes with --tcp";
    return false;
  }
  if (o.front != Front::Pty && o.config.framed) {
    *error = "--cobs goes with --pty";
    return false;
  }
  ModuleSetup& setup = o.setup;
  if (!o.upgradeOnly.empty() && !o.upgrade) {
    *error = o.upgradeOnly + " goes with --upgrade";
    return false;
  }
  if (o.upgrade) {
    if (o.returnMsGiven) o.upgradeConfig.returnMs = o.returnMs;
    setup.upgrade = o.upgradeConfig;
  }
  if (!o.ueiOnly.empty() && !setup.uei && setup.behind.empty() && !setup.upgrade) {
    *error = o.ueiOnly + " goes with --uei, --behind or --upgrade";
    return false;
  }
  for (const auto& [address, presence] : o.presences) {
    auto behind = std::find_if(
        setup.behind.begin(), setup.behind.end(),
        [address = address](const BehindSpec& spec) { return spec.address == address; });
    if (behind == setup.behind.end()) {
      *error = std::string("--behind-") + presenceName(presence) + " " + std::to_string(address) +
               ": no --behind at that address";
      return false;
    }
    behind->presence = presence;
  }
  return true;
}

}  // namespace

ParseOutcome parseProgramOptions(int argc, char** argv, ProgramOptions* options,
                                 std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") return ParseOutcome::Help;
    // The option's value: the next word.
    const ValueReader value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = option + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    if (!takeOption(option, value, *options, error)) return ParseOutcome::Refused;
  }
  return checkTogether(*options, error) ? ParseOutcome::Run : ParseOutcome::Refused;
}

void printProgramHelp() {
  std::printf("%s\n%s\n%s\n%s%s%s", kHelp, kUpgradeHelp, kDataHelp, kControlHelp, kDataControlHelp,
              kControlEnd);
}

}  // namespace kvsim
