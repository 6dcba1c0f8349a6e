#include "sim_module_setup.h"

#include <cerrno>
#include <cstdlib>

namespace kvsim {

namespace {

constexpr unsigned long kMaxIndex = 0x1F;   // entity index: bits 0 to 4 of the specifier
constexpr unsigned long kMaxOption = 0x3F;  // option: bits 0 to 5 of the option byte
constexpr unsigned long kMaxFaultCount = 1000000000UL;
constexpr int kBehindFieldsBeforeName = 3;  // ADDR, SERIAL, MODEL

std::vector<std::string> split(const std::string& text, char separator, size_t maxFields) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t end = fields.size() + 1 < maxFields ? text.find(separator, start) : std::string::npos;
    fields.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos)
      return fields;
    start = end + 1;
  }
}

std::optional<unsigned long> number(const std::string& text, unsigned long limit, int base = 0) {
  if (text.empty() || text[0] == '-' || text[0] == '+')
    return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || value > limit)
    return std::nullopt;
  return value;
}

std::string keyText(const UeiOptionKey& key) {
  std::string text = std::to_string(key.command) + ":" + std::to_string(key.index) + ":" + std::to_string(key.option);
  return key.subindex < 0 ? text : text + ":" + std::to_string(key.subindex);
}

bool takesParameter(UeiFault fault) { return fault == UeiFault::ErrorCode || fault == UeiFault::OtherAddress; }

}  // namespace

bool setUpModule(ModuleCore& core, const ModuleSetup& setup, ModuleParts* parts, std::string* error) {
  *parts = {};
  if (setup.uei || !setup.behind.empty() || setup.upgrade) {
    parts->store = UeiStore::attach(core);
    parts->store->addSystemEntity(setup.identity);
  }
  if (!setup.ueiFaults.empty() && !parts->store) {
    *error = "UEI fault knobs need UEI values";
    return false;
  }
  for (const UeiFaultSpec& fault : setup.ueiFaults)
    parts->store->setFault(fault);
  // After the system entity: the persona adjusts its protocol features and later its serial
  // number, and takes command 95 over from the store.
  if (setup.upgrade)
    parts->upgrade = UpgradePersona::attach(core, parts->store, *setup.upgrade);
  if (setup.behind.empty())
    return true;
  parts->router = I2cRouter::attach(core);
  for (const BehindSpec& spec : setup.behind) {
    std::string reason = parts->router->add(spec);
    if (!reason.empty()) {
      *error = reason;
      return false;
    }
  }
  return true;
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
  auto command = number(f[1], 0xFF), index = number(f[2], kMaxIndex), option = number(f[3], kMaxOption);
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
  if (f.size() == kBehindFieldsBeforeName + 1)
    spec.name = f[kBehindFieldsBeforeName];
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
  if (!entry)
    return "no UEI option " + keyText(key);
  if (entry->type == UeiType::String) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      entry->bytes.assign(value.begin() + 1, value.end() - 1);
      return "";
    }
    auto bytes = parseHex(value);
    if (!bytes)
      return "option " + keyText(key) + " holds bytes: give \"text\" or hex bytes";
    entry->bytes = *bytes;
    return "";
  }
  unsigned long limit = entry->type == UeiType::U8    ? 0xFFUL
                        : entry->type == UeiType::U16 ? 0xFFFFUL
                        : entry->type == UeiType::U32 ? 0xFFFFFFFFUL
                                                      : 0;
  if (entry->type == UeiType::None)
    return "option " + keyText(key) + " holds no value";
  auto parsed = number(value, limit);
  if (!parsed)
    return "option " + keyText(key) + " takes a number up to " + std::to_string(limit);
  entry->number = static_cast<uint32_t>(*parsed);
  return "";
}

}  // namespace kvsim
