#include "sim_module_setup.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace kvsim {

namespace {

constexpr unsigned long kMaxIndex = 0x1F;   // entity index: bits 0 to 4 of the specifier
constexpr unsigned long kMaxOption = 0x3F;  // option: bits 0 to 5 of the option byte
constexpr unsigned long kMaxFaultCount = 1000000000UL;
constexpr int kBehindFieldsBeforeName = 3;    // ADDR, SERIAL, MODEL
constexpr unsigned long kMaxLateMs = 600000;  // longest delay of a late slot reply, in ms

std::vector<std::string> split(const std::string& text, char separator, size_t maxFields) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t end = fields.size() + 1 < maxFields ? text.find(separator, start) : std::string::npos;
    fields.push_back(
        text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

std::optional<unsigned long> number(const std::string& text, unsigned long limit, int base = 0) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value > limit) return std::nullopt;
  return value;
}

std::string keyText(const UeiOptionKey& key) {
  std::string text = std::to_string(key.command) + ":" + std::to_string(key.index) + ":" +
                     std::to_string(key.option);
  return key.subindex < 0 ? text : text + ":" + std::to_string(key.subindex);
}

bool takesParameter(UeiFault fault) {
  return fault == UeiFault::ErrorCode || fault == UeiFault::OtherAddress;
}

// COUNT of a fault knob: a number or "every".
std::optional<int> faultCount(const std::string& text) {
  if (text == "every") return kEvery;
  auto count = number(text, kMaxFaultCount, 10);
  return count ? std::optional<int>(static_cast<int>(*count)) : std::nullopt;
}

// Store slots, factory data and streams, as far as setup asks for them.
bool setUpData(ModuleCore& core, const ModuleSetup& setup, ModuleParts* parts, std::string* error) {
  if (!setup.slots.empty() || !setup.slotFaults.empty()) {
    parts->slots = SlotStore::attach(core);
    for (const SlotSpec& slot : setup.slots) parts->slots->setSlot(slot);
    for (const SlotFaultSpec& fault : setup.slotFaults) parts->slots->setFault(fault);
  }
  if (setup.factoryData || !setup.factory.empty() || !setup.factoryFaults.empty()) {
    parts->factory = FactoryData::attach(core);
    for (const auto& [kind, bytes] : setup.factory) parts->factory->setKind(kind, bytes);
    for (const FactoryFaultSpec& fault : setup.factoryFaults) parts->factory->setFault(fault);
  }
  auto configure = [&](Streamer& streamer) {
    if (setup.streamRate) streamer.setRate(*setup.streamRate);
    if (setup.streamBurst) streamer.setBurst(*setup.streamBurst);
  };
  if (setup.streaming || !setup.streams.empty() || !setup.streamFaults.empty()) {
    parts->streamer = Streamer::attach(core);
    configure(*parts->streamer);
    for (const StreamSource& source : setup.streams) parts->streamer->addSource(source);
    for (const StreamFaultSpec& fault : setup.streamFaults) parts->streamer->setFault(fault);
  }
  for (const auto& [address, source] : setup.behindStreams) {
    ModuleCore* behind = parts->router ? parts->router->module(address) : nullptr;
    if (!behind) {
      *error = "stream of the module behind at " + std::to_string(address) + ": there is none";
      return false;
    }
    std::shared_ptr<Streamer>& streamer = parts->behindStreamers[address];
    if (!streamer) {
      streamer = Streamer::attach(*behind, &core);
      configure(*streamer);
    }
    streamer->addSource(source);
  }
  return true;
}

}  // namespace

bool setUpModule(ModuleCore& core, const ModuleSetup& setup, ModuleParts* parts,
                 std::string* error) {
  *parts = {};
  if (setup.uei || !setup.behind.empty() || setup.upgrade) {
    parts->store = UeiStore::attach(core);
    parts->store->addSystemEntity(setup.identity);
  }
  if (!setup.ueiFaults.empty() && !parts->store) {
    *error = "UEI fault knobs need UEI values";
    return false;
  }
  for (const UeiFaultSpec& fault : setup.ueiFaults) parts->store->setFault(fault);
  // After the system entity: the persona adjusts its protocol features and later its serial
  // number, and takes command 95 over from the store.
  if (setup.upgrade) parts->upgrade = UpgradePersona::attach(core, parts->store, *setup.upgrade);
  if (!setup.behind.empty()) {
    parts->router = I2cRouter::attach(core);
    for (const BehindSpec& spec : setup.behind) {
      std::string reason = parts->router->add(spec);
      if (!reason.empty()) {
        *error = reason;
        return false;
      }
    }
  }
  return setUpData(core, setup, parts, error);
}

std::vector<std::shared_ptr<TimedWork>> timedWork(const ModuleParts& parts) {
  std::vector<std::shared_ptr<TimedWork>> work;
  if (parts.slots) work.push_back(parts.slots);
  if (parts.streamer) work.push_back(parts.streamer);
  for (const auto& entry : parts.behindStreamers) work.push_back(entry.second);
  return work;
}

std::shared_ptr<Streamer> streamerAt(const ModuleParts& parts, uint8_t address) {
  if (address == 0) return parts.streamer;
  auto entry = parts.behindStreamers.find(address);
  return entry == parts.behindStreamers.end() ? nullptr : entry->second;
}

std::optional<UeiFaultSpec> parseUeiFault(const std::string& text, std::string* error) {
  std::vector<std::string> f = split(text, ':', 7);
  if (f.size() != 5 && f.size() != 6) {
    *error = "a UEI fault is NAME:CMD:IDX:OPT:COUNT[:PARAM], not " + text;
    return std::nullopt;
  }
  UeiFaultSpec spec;
  auto fault = ueiFaultByName(f[0]);
  if (!fault) {
    *error = "unknown UEI fault " + f[0];
    return std::nullopt;
  }
  spec.fault = *fault;
  auto command = number(f[1], 0xFF), index = number(f[2], kMaxIndex),
       option = number(f[3], kMaxOption);
  if (!command || !index || !option) {
    *error = "bad command, index or option in " + text + " (at most 255, 31, 63)";
    return std::nullopt;
  }
  spec.command = static_cast<uint8_t>(*command);
  spec.index = static_cast<uint8_t>(*index);
  spec.option = static_cast<uint8_t>(*option);
  if (f[4] == "every") {
    spec.count = kEvery;
  } else if (auto count = number(f[4], kMaxFaultCount, 10)) {
    spec.count = static_cast<int>(*count);
  } else {
    *error = "bad count in " + text + " (a number or every)";
    return std::nullopt;
  }
  if (takesParameter(spec.fault) != (f.size() == 6)) {
    *error = std::string(ueiFaultName(spec.fault)) +
             (takesParameter(spec.fault) ? " needs a PARAM: " : " takes no PARAM: ") + text;
    return std::nullopt;
  }
  if (f.size() == 6) {
    auto parameter = number(f[5], 0xFF);
    if (!parameter) {
      *error = "bad PARAM in " + text + " (0 to 255)";
      return std::nullopt;
    }
    spec.parameter = static_cast<uint8_t>(*parameter);
  }
  return spec;
}

std::optional<BehindSpec> parseBehind(const std::string& text, std::string* error) {
  std::vector<std::string> f = split(text, ':', kBehindFieldsBeforeName + 1);
  BehindSpec spec;
  auto address = f.size() >= 2 ? number(f[0], 0xFF) : std::nullopt;
  auto serial = f.size() >= 2 ? number(f[1], 0xFFFFFFFFUL, 16) : std::nullopt;
  auto model = f.size() >= 3 ? number(f[2], 0xFF) : std::optional<unsigned long>(kDefaultModel);
  if (!address || !serial || !model) {
    *error = "a module behind is ADDR:SERIAL[:MODEL[:NAME]] (SERIAL in hex), not " + text;
    return std::nullopt;
  }
  spec.address = static_cast<uint8_t>(*address);
  spec.serial = static_cast<uint32_t>(*serial);
  spec.model = static_cast<uint8_t>(*model);
  if (f.size() == kBehindFieldsBeforeName + 1) spec.name = f[kBehindFieldsBeforeName];
  return spec;
}

std::optional<UeiOptionKey> parseUeiOptionKey(const std::string& text, std::string* error) {
  std::vector<std::string> f = split(text, ':', 5);
  UeiOptionKey key;
  auto command = f.size() >= 3 && f.size() <= 4 ? number(f[0], 0xFF) : std::nullopt;
  auto index = f.size() >= 3 ? number(f[1], kMaxIndex) : std::nullopt;
  auto option = f.size() >= 3 ? number(f[2], kMaxOption) : std::nullopt;
  auto subindex = f.size() == 4 ? number(f[3], 0xFF) : std::optional<unsigned long>(0);
  if (!command || !index || !option || !subindex) {
    *error = "a UEI option is CMD:IDX:OPT[:SUB], not " + text;
    return std::nullopt;
  }
  key.command = static_cast<uint8_t>(*command);
  key.index = static_cast<uint8_t>(*index);
  key.option = static_cast<uint8_t>(*option);
  key.subindex = f.size() == 4 ? static_cast<int>(*subindex) : -1;
  return key;
}

std::string assignUeiValue(UeiStore& store, const UeiOptionKey& key, const std::string& value) {
  UeiValue* entry = store.option(key.command, key.index, key.option, key.subindex);
  if (!entry) return "no UEI option " + keyText(key);
  if (entry->type == UeiType::String) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      entry->bytes.assign(value.begin() + 1, value.end() - 1);
      return "";
    }
    auto bytes = parseHex(value);
    if (!bytes) return "option " + keyText(key) + " holds bytes: give \"text\" or hex bytes";
    entry->bytes = *bytes;
    return "";
  }
  unsigned long limit = entry->type == UeiType::U8    ? 0xFFUL
                        : entry->type == UeiType::U16 ? 0xFFFFUL
                        : entry->type == UeiType::U32 ? 0xFFFFFFFFUL
                                                      : 0;
  if (entry->type == UeiType::None) return "option " + keyText(key) + " holds no value";
  auto parsed = number(value, limit);
  if (!parsed) return "option " + keyText(key) + " takes a number up to " + std::to_string(limit);
  entry->number = static_cast<uint32_t>(*parsed);
  return "";
}

std::optional<SlotSpec> parseSlotSpec(const std::string& text, std::string* error) {
  std::vector<std::string> f = split(text, ':', 5);
  auto store = f.size() >= 3 && f.size() <= 4 ? number(f[0], 0xFF) : std::nullopt;
  auto slot = f.size() >= 3 ? number(f[1], 0xFF) : std::nullopt;
  auto capacity = f.size() >= 3 ? number(f[2], 0xFFFF) : std::nullopt;
  auto content = f.size() == 4 ? parseHex(f[3]) : std::optional<Bytes>(Bytes{});
  if (!store || !slot || !capacity || !content) {
    *error = "a store slot is STORE:SLOT:CAPACITY[:HEX] (CAPACITY at most 65535), not " + text;
    return std::nullopt;
  }
  if (content->size() > *capacity) {
    *error = "the content of " + text + " is longer than its capacity";
    return std::nullopt;
  }
  return SlotSpec{static_cast<uint8_t>(*store), static_cast<uint8_t>(*slot),
                  static_cast<uint16_t>(*capacity), std::move(*content)};
}

std::optional<SlotFaultSpec> parseSlotFault(const std::string& text, std::string* error) {
  std::vector<std::string> f = split(text, ':', 5);
  auto fault = f.size() >= 3 && f.size() <= 4 ? slotFaultByName(f[0]) : std::nullopt;
  auto step = f.size() >= 3 ? slotStepByName(f[1]) : std::nullopt;
  auto count = f.size() >= 3 ? faultCount(f[2]) : std::nullopt;
  if (!fault || !step || !count) {
    *error = "a slot fault is NAME:STEP:COUNT[:PARAM] (see --help), not " + text;
    return std::nullopt;
  }
  SlotFaultSpec spec{*fault, *step, *count, 0};
  const bool ofWrite = spec.fault == SlotFault::WrongSum || spec.fault == SlotFault::CutSum ||
                       spec.fault == SlotFault::LongWrite;
  if (ofWrite && spec.step != SlotStep::Write) {
    *error = std::string(slotFaultName(spec.fault)) + " is a knob of the write step: " + text;
    return std::nullopt;
  }
  const bool ofOpen = spec.step == SlotStep::OpenRead || spec.step == SlotStep::OpenWrite;
  if (spec.fault == SlotFault::CutHandle && !ofOpen) {
    *error = "cut-handle is a knob of the open steps: " + text;
    return std::nullopt;
  }
  const bool needs = spec.fault == SlotFault::ErrorCode;
  const bool takes = needs || spec.fault == SlotFault::Late;
  if ((f.size() == 4 && !takes) || (f.size() == 3 && needs)) {
    *error = std::string(slotFaultName(spec.fault)) +
             (needs ? " needs a PARAM: " : " takes no PARAM: ") + text;
    return std::nullopt;
  }
  if (f.size() == 4) {
    auto parameter = number(f[3], needs ? 0xFF : kMaxLateMs);
    if (!parameter) {
      *error = "bad PARAM in " + text + (needs ? " (a code, 0 to 255)" : " (ms, at most 600000)");
      return std::nullopt;
    }
    spec.parameter = static_cast<unsigned>(*parameter);
  }
  return spec;
}

std::optional<std::pair<uint8_t, Bytes>> parseFactoryKind(const std::string& text,
                                                          std::string* error) {
  std::vector<std::string> f = split(text, ':', 2);
  auto kind = f.size() == 2 ? number(f[0], kFactoryKinds - 1) : std::nullopt;
  auto bytes = f.size() == 2 ? parseHex(f[1]) : std::nullopt;
  if (!kind || !bytes) {
    *error = "factory data are KIND:HEX (KIND 0 to 15), not " + text;
    return std::nullopt;
  }
  return std::make_pair(static_cast<uint8_t>(*kind), std::move(*bytes));
}

std::optional<FactoryFaultSpec> parseFactoryFault(const std::string& text, std::string* error) {
  std::vector<std::string> f = split(text, ':', 5);
  auto fault = f.size() >= 3 && f.size() <= 4 ? factoryFaultByName(f[0]) : std::nullopt;
  auto packet = f.size() >= 3 ? factoryPacketByName(f[1]) : std::nullopt;
  auto count = f.size() >= 3 ? faultCount(f[2]) : std::nullopt;
  if (!fault || !packet || !count) {
    *error = "a factory fault is NAME:PACKET:COUNT[:CODE] (see --help), not " + text;
    return std::nullopt;
  }
  FactoryFaultSpec spec{*fault, *packet, *count, 0};
  if (spec.fault == FactoryFault::AckLength && spec.packet == FactoryPacket::Read) {
    *error = "ack-length is a knob of write and end: " + text;
    return std::nullopt;
  }
  const bool needs = spec.fault == FactoryFault::ErrorCode;
  if (needs != (f.size() == 4)) {
    *error = std::string(factoryFaultName(spec.fault)) +
             (needs ? " needs a CODE: " : " takes no CODE: ") + text;
    return std::nullopt;
  }
  if (needs) {
    auto code = number(f[3], 0xFF);
    if (!code) {
      *error = "bad CODE in " + text + " (0 to 255)";
      return std::nullopt;
    }
    spec.code = static_cast<uint8_t>(*code);
  }
  return spec;
}

std::optional<StreamSource> parseStreamSource(const std::string& text, std::string* error) {
  std::vector<std::string> f = split(text, ':', 6);
  std::vector<std::optional<unsigned long>> n;
  for (const std::string& field : f) n.push_back(number(field, 0xFF));
  bool ok = (f.size() == 4 || f.size() == 5) &&
            std::all_of(n.begin(), n.end(), [](const auto& v) { return v.has_value(); });
  if (!ok) {
    *error = "a stream is CMD:OPT:IDX:KIND[:SUB], not " + text;
    return std::nullopt;
  }
  StreamSource source;
  source.command = static_cast<uint8_t>(*n[0]);
  source.option = static_cast<uint8_t>(*n[1]);
  source.index = static_cast<uint8_t>(*n[2]);
  source.kind = static_cast<uint8_t>(*n[3]);
  if (f.size() == 5 && source.kind == kStreamByteString)
    source.stringBytes = *n[4];
  else if (f.size() == 5)
    source.subindex = static_cast<uint8_t>(*n[4]);
  std::string reason = checkStreamSource(source);
  if (!reason.empty()) {
    *error = reason + ": " + text;
    return std::nullopt;
  }
  return source;
}

std::optional<StreamFaultSpec> parseStreamFault(const std::string& text, std::string* error) {
  std::vector<std::string> f = split(text, ':', 4);
  auto fault = f.size() >= 2 && f.size() <= 3 ? streamFaultByName(f[0]) : std::nullopt;
  auto count = f.size() >= 2 ? faultCount(f[1]) : std::nullopt;
  if (!fault || !count) {
    *error = "a stream fault is NAME:COUNT[:CODE] (see --help), not " + text;
    return std::nullopt;
  }
  StreamFaultSpec spec{*fault, *count, 0};
  const bool needs = spec.fault == StreamFault::Refuse;
  if (needs != (f.size() == 3)) {
    *error = std::string(streamFaultName(spec.fault)) +
             (needs ? " needs a CODE: " : " takes no CODE: ") + text;
    return std::nullopt;
  }
  if (needs) {
    auto code = number(f[2], 0xFF);
    if (!code) {
      *error = "bad CODE in " + text + " (0 to 255)";
      return std::nullopt;
    }
    spec.code = static_cast<uint8_t>(*code);
  }
  return spec;
}

}  // namespace kvsim
