#include "sim_data_options.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace kvsim {

namespace {

constexpr unsigned long kMaxEmit = 1000000;  // samples one EMIT or BURST sends

std::optional<unsigned long> parseNumber(const std::string& text, unsigned long limit) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value > limit) return std::nullopt;
  return value;
}

// "ADDR:REST" of --behind-stream.
bool parseBehindStream(const std::string& text, ModuleSetup* setup, std::string* error) {
  const size_t colon = text.find(':');
  auto address =
      colon == std::string::npos ? std::nullopt : parseNumber(text.substr(0, colon), 0xFF);
  if (!address) {
    *error = "a stream behind is ADDR:CMD:OPT:IDX:KIND[:SUB], not " + text;
    return false;
  }
  auto source = parseStreamSource(text.substr(colon + 1), error);
  if (!source) return false;
  setup->behindStreams.emplace_back(static_cast<uint8_t>(*address), *source);
  return true;
}

// Splits "[@ADDR] REST": the streamer it names and the rest; the reason when there is none.
std::string pickStreamer(const ModuleParts& parts, const std::string& argument,
                         std::shared_ptr<Streamer>* streamer, std::string* rest) {
  std::istringstream words(argument);
  std::string first;
  words >> first;
  uint8_t address = 0;
  if (first.rfind('@', 0) == 0) {
    auto parsed = parseNumber(first.substr(1), 0xFF);
    if (!parsed || *parsed == 0) return "bad module address " + first;
    address = static_cast<uint8_t>(*parsed);
    std::getline(words >> std::ws, *rest);
  } else {
    *rest = argument;
  }
  *streamer = streamerAt(parts, address);
  if (*streamer) return "";
  return address ? "no streams of the module behind at " + std::to_string(address)
                 : "no streams (start with --stream or --streaming)";
}

}  // namespace

const char kDataHelp[] =
    "Store slots (command 4): capacity [4][1][st][sl] -> [4][1][st][sl][cap, 2]; size\n"
    "[4][2][st][sl] -> [4][2][st][sl][size, 2]; open for reading [4][3][st][sl] or writing\n"
    "[4][4][st][sl] -> [4][3|4][st][sl][handle]; read [4][6][h] -> [4][6][h][next <= 25 bytes]\n"
    "([4][6][h] alone: nothing left); write [4][7][h][1..25 bytes] -> [4][7][h][8-bit sum];\n"
    "close [4][8][h] -> [4][8][h][0]; errors [4][step|0x80][st][sl][code] (steps 1-4) or\n"
    "[4][step|0x80][h][code]. Opening for writing empties the slot; a write past the capacity\n"
    "is refused (code 15).\n"
    "  --slot STORE:SLOT:CAPACITY[:HEX]\n"
    "                       a slot with its capacity and content (repeatable)\n"
    "  --slot-fault NAME:STEP:COUNT[:PARAM]\n"
    "                       arm a fault of one step (repeatable); STEP capacity, size,\n"
    "                       open-read, open-write, read, write or close; COUNT a number of\n"
    "                       requests or \"every\"; NAME one of:\n"
    "                         silence     the request takes effect, no reply\n"
    "                         wrong-sum   write: the sum replied is one too high\n"
    "                         cut-sum     write: the reply without its sum byte\n"
    "                         long-write  write: the reply one 0x00 longer, after the sum\n"
    "                         cut-handle  open-read, open-write: the reply without its\n"
    "                                     handle byte (the handle is opened all the same)\n"
    "                         error-code  an error reply with code PARAM; no effect\n"
    "                         cut-error   the error reply without its code byte; no effect\n"
    "                         late        the reply goes out PARAM ms late (default 1200,\n"
    "                                     3200 for an open: after the host gave up)\n"
    "\n"
    "Factory data (command 0x5E), one buffer per kind 0-15: read [5E][k|0x40] first,\n"
    "[5E][k] next -> [5E][k][next <= 26 bytes]; write [5E][k|0x50] first, [5E][k|0x10] next,\n"
    "+ up to 26 bytes -> [5E][k]; end [5E][20][count, 2] -> [5E][00], or [5E][80][14] when the\n"
    "count is not the bytes moved (a write takes effect at a matching end); errors\n"
    "[5E][reply option|0x80][code].\n"
    "  --factory KIND:HEX   the bytes of a kind (repeatable; HEX may be empty)\n"
    "  --factory-data       answer factory data with every kind empty\n"
    "  --factory-fault NAME:PACKET:COUNT[:CODE]\n"
    "                       arm a fault of one packet (repeatable); PACKET read, write or\n"
    "                       end; NAME one of:\n"
    "                         error-code  an error reply with CODE; no effect\n"
    "                         cut-error   the error reply without its code byte; no effect\n"
    "                         silence     the request takes effect, no reply\n"
    "                         ack-length  write, end: the acknowledgement one 0x00 longer\n"
    "\n"
    "Streams (command 0x5D): enable [5D][81][20][m][c][o][i] -> [5D][C1][00][m][c][o][i],\n"
    "disable [5D][82][20][m][c][o][i] -> [5D][C2][00][m][c][o][i] (0xFF in c, o, i: any; a\n"
    "disable removes the enables it covers), state [5D][41][20] -> [5D][01][00][0|1]. While\n"
    "an enable covers a source, samples go out at the rate: [cmd][opt][0x40|idx][kind]\n"
    "([subindex] for kinds 5-7) [time stamp in us, 8 bytes][value, 1/2/4 bytes][0], the value\n"
    "counting up from 1; kind 4 sends a byte string in chunks [cmd][opt][0x40|idx][<= 24\n"
    "bytes][sequence].\n"
    "  --stream CMD:OPT:IDX:KIND[:SUB]\n"
    "                       a source (repeatable); KIND 1, 2, 3 (8, 16, 32 bits), 5, 6, 7\n"
    "                       (the same with subindex SUB) or 4 (a byte string of SUB bytes,\n"
    "                       25 to 255, default 30)\n"
    "  --behind-stream ADDR:CMD:OPT:IDX:KIND[:SUB]\n"
    "                       a source of the module behind at ADDR: its samples come over this\n"
    "                       link from ADDR (repeatable)\n"
    "  --streaming          answer streams even without a source (the rate and the burst\n"
    "                       alone do not make the module answer them)\n"
    "  --stream-rate N      samples per second of each covered source (default 10; 0: none\n"
    "                       but those EMIT and BURST send)\n"
    "  --stream-burst N     timed samples go out N at a time, in one write (default 1)\n"
    "  --stream-fault NAME:COUNT[:CODE]\n"
    "                       arm a stream fault (repeatable); NAME one of:\n"
    "                         long        samples one byte longer (0x00 before the trailer)\n"
    "                         short       samples one byte shorter (a value byte left out)\n"
    "                         refuse      enables and disables answered with error CODE\n";

const char kDataControlHelp[] =
    "  SLOT STORE:SLOT:CAPACITY[:HEX]  set a store slot\n"
    "  SLOTGET STORE:SLOT   prints \"SLOT <hex>\", the slot's content\n"
    "  SLOTFAULT NAME:STEP:COUNT[:PARAM]  arm a slot fault (as --slot-fault; COUNT 0 disarms)\n"
    "  FACTORY KIND:HEX     set the bytes of a factory-data kind\n"
    "  FACTORYGET KIND      prints \"FACTORY <hex>\", the kind's bytes\n"
    "  FACTORYFAULT NAME:PACKET:COUNT[:CODE]  arm a factory-data fault (as --factory-fault)\n"
    "  STREAMRATE N         samples per second of every streamer (modules behind included)\n"
    "  STREAMFAULT [@ADDR] NAME:COUNT[:CODE]  arm a stream fault (as --stream-fault)\n"
    "  EMIT [@ADDR] N       N samples now over the covered sources, one write each\n"
    "  BURST [@ADDR] N      N samples now, all in one write\n"
    "  STREAMSTAT [@ADDR]   prints \"STREAM samples=<n> packets=<m> enabled=<0|1>\"\n"
    "  (@ADDR: of the module behind at ADDR)\n";

OptionTaken parseDataOption(const std::string& option,
                            const std::function<bool(std::string*)>& value, ModuleSetup* setup,
                            std::string* error) {
  std::string text;
  auto take = [&](bool parsed) { return parsed ? OptionTaken::Yes : OptionTaken::Failed; };
  if (option == "--factory-data") {
    setup->factoryData = true;
    return OptionTaken::Yes;
  }
  if (option == "--streaming") {
    setup->streaming = true;
    return OptionTaken::Yes;
  }
  const bool known = option == "--slot" || option == "--slot-fault" || option == "--factory" ||
                     option == "--factory-fault" || option == "--stream" ||
                     option == "--behind-stream" || option == "--stream-rate" ||
                     option == "--stream-burst" || option == "--stream-fault";
  if (!known) return OptionTaken::No;
  if (!value(&text)) return OptionTaken::Failed;
  if (option == "--slot") {
    auto slot = parseSlotSpec(text, error);
    if (slot) setup->slots.push_back(*slot);
    return take(slot.has_value());
  }
  if (option == "--slot-fault") {
    auto fault = parseSlotFault(text, error);
    if (fault) setup->slotFaults.push_back(*fault);
    return take(fault.has_value());
  }
  if (option == "--factory") {
    auto kind = parseFactoryKind(text, error);
    if (kind) setup->factory.push_back(*kind);
    return take(kind.has_value());
  }
  if (option == "--factory-fault") {
    auto fault = parseFactoryFault(text, error);
    if (fault) setup->factoryFaults.push_back(*fault);
    return take(fault.has_value());
  }
  if (option == "--stream") {
    auto source = parseStreamSource(text, error);
    if (source) setup->streams.push_back(*source);
    return take(source.has_value());
  }
  if (option == "--behind-stream") return take(parseBehindStream(text, setup, error));
  if (option == "--stream-fault") {
    auto fault = parseStreamFault(text, error);
    if (fault) setup->streamFaults.push_back(*fault);
    return take(fault.has_value());
  }
  const bool rate = option == "--stream-rate";
  auto n = parseNumber(text, rate ? kMaxStreamRate : kMaxStreamBurst);
  if (!n || (!rate && *n == 0)) {
    *error = "bad value for " + option + ": " + text +
             (rate ? " (0 to " + std::to_string(kMaxStreamRate) + ")"
                   : " (1 to " + std::to_string(kMaxStreamBurst) + ")");
    return OptionTaken::Failed;
  }
  (rate ? setup->streamRate : setup->streamBurst) = static_cast<unsigned>(*n);
  return OptionTaken::Yes;
}

std::optional<std::string> dataControl(ModuleParts& parts, const std::string& verb,
                                       const std::string& argument,
                                       std::vector<std::string>* output) {
  std::string error;
  if (verb == "SLOT" || verb == "SLOTGET" || verb == "SLOTFAULT") {
    if (!parts.slots) return std::string("no store slots (start with --slot)");
    if (verb == "SLOT") {
      auto slot = parseSlotSpec(argument, &error);
      if (slot) parts.slots->setSlot(*slot);
      return error;
    }
    if (verb == "SLOTFAULT") {
      auto fault = parseSlotFault(argument, &error);
      if (fault) parts.slots->setFault(*fault);
      return error;
    }
    const size_t colon = argument.find(':');
    auto store =
        colon == std::string::npos ? std::nullopt : parseNumber(argument.substr(0, colon), 0xFF);
    auto slot =
        colon == std::string::npos ? std::nullopt : parseNumber(argument.substr(colon + 1), 0xFF);
    const Bytes* content = store && slot ? parts.slots->content(static_cast<uint8_t>(*store),
                                                                static_cast<uint8_t>(*slot))
                                         : nullptr;
    if (!content) return "no store slot " + argument;
    output->push_back("SLOT " + toHex(*content));
    return std::string();
  }
  if (verb == "FACTORY" || verb == "FACTORYGET" || verb == "FACTORYFAULT") {
    if (!parts.factory)
      return std::string("no factory data (start with --factory or --factory-data)");
    if (verb == "FACTORY") {
      auto kind = parseFactoryKind(argument, &error);
      if (kind) parts.factory->setKind(kind->first, kind->second);
      return error;
    }
    if (verb == "FACTORYFAULT") {
      auto fault = parseFactoryFault(argument, &error);
      if (fault) parts.factory->setFault(*fault);
      return error;
    }
    auto kind = parseNumber(argument, kFactoryKinds - 1);
    if (!kind) return "FACTORYGET needs a kind, 0 to 15";
    output->push_back("FACTORY " + toHex(parts.factory->kind(static_cast<uint8_t>(*kind))));
    return std::string();
  }
  if (verb == "STREAMRATE") {
    auto rate = parseNumber(argument, kMaxStreamRate);
    if (!rate) return "STREAMRATE needs samples per second, 0 to " + std::to_string(kMaxStreamRate);
    if (!parts.streamer && parts.behindStreamers.empty())
      return std::string("no streams (start with --stream or --streaming)");
    if (parts.streamer) parts.streamer->setRate(static_cast<unsigned>(*rate));
    for (auto& entry : parts.behindStreamers) entry.second->setRate(static_cast<unsigned>(*rate));
    return std::string();
  }
  if (verb != "STREAMFAULT" && verb != "EMIT" && verb != "BURST" && verb != "STREAMSTAT")
    return std::nullopt;
  std::shared_ptr<Streamer> streamer;
  std::string rest;
  error = pickStreamer(parts, argument, &streamer, &rest);
  if (!error.empty()) return error;
  if (verb == "STREAMFAULT") {
    auto fault = parseStreamFault(rest, &error);
    if (fault) streamer->setFault(*fault);
    return error;
  }
  if (verb == "STREAMSTAT") {
    output->push_back("STREAM samples=" + std::to_string(streamer->samplesSent()) +
                      " packets=" + std::to_string(streamer->packetsSent()) +
                      " enabled=" + (streamer->streaming() ? "1" : "0"));
    return std::string();
  }
  auto n = parseNumber(rest, kMaxEmit);
  if (!n) return verb + " needs a count of samples";
  if (streamer->emitSamples(*n, verb == "BURST") != *n && *n > 0)
    return std::string("no enabled stream covers a source");
  return std::string();
}

}  // namespace kvsim
