#include "sim_uei.h"

#include <algorithm>
#include <utility>

namespace kvsim {

namespace {

constexpr uint8_t kGetBit = 0x40;
constexpr uint8_t kSetBit = 0x80;
constexpr uint8_t kAckBits = 0xC0;
constexpr uint8_t kRequestBit = 0x20;
constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kIndexMask = 0x1F;
constexpr uint8_t kOptionMask = 0x3F;
constexpr uint8_t kMoreChunks = 0x80;
constexpr uint8_t kSequenceMask = 0x7F;
constexpr uint8_t kUeiAbsent = 1;     // hasUEI answer: no such UEI
constexpr uint8_t kBuildOption = 43;  // system entity: firmware build number

struct UeiFaultEntry {
  UeiFault fault;
  const char* name;
};
constexpr UeiFaultEntry kUeiFaultNames[] = {
    {UeiFault::WrongLength, "wrong-length"},
    {UeiFault::ErrorCode, "error-code"},
    {UeiFault::OtherAddress, "other-address"},
    {UeiFault::Late, "late"},
    {UeiFault::Duplicate, "duplicate"},
    {UeiFault::OutOfSequence, "out-of-sequence"},
    {UeiFault::Silence, "silence"},
};

void appendNumber(Bytes* data, UeiType type, uint32_t value) {
  int width = type == UeiType::U8 ? 1 : type == UeiType::U16 ? 2 : type == UeiType::U32 ? 4 : 0;
  for (int shift = (width - 1) * 8; shift >= 0; shift -= 8)
    data->push_back(static_cast<uint8_t>(value >> shift));
}

UeiValue number(UeiType type, uint32_t value, bool writable = false) {
  UeiValue entry;
  entry.type = type;
  entry.number = value;
  entry.writable = writable;
  return entry;
}

UeiValue command() {
  UeiValue entry;
  entry.readable = false;
  entry.writable = true;
  return entry;
}

}  // namespace

const char* ueiFaultName(UeiFault fault) {
  for (const UeiFaultEntry& entry : kUeiFaultNames)
    if (entry.fault == fault) return entry.name;
  return "?";
}

std::optional<UeiFault> ueiFaultByName(const std::string& name) {
  for (const UeiFaultEntry& entry : kUeiFaultNames)
    if (name == entry.name) return entry.fault;
  return std::nullopt;
}

std::vector<Bytes> ueiChunks(uint8_t command, uint8_t option, uint8_t specifier,
                             const Bytes& bytes) {
  std::vector<Bytes> chunks;
  size_t sent = 0;
  unsigned number = 0;
  do {
    size_t n = std::min(bytes.size() - sent, kUeiChunkBytes);
    Bytes chunk{command, option, specifier};
    chunk.insert(chunk.end(), bytes.begin() + static_cast<std::ptrdiff_t>(sent),
                 bytes.begin() + static_cast<std::ptrdiff_t>(sent + n));
    sent += n;
    uint8_t sequence = static_cast<uint8_t>(number++ & kSequenceMask);
    if (sent < bytes.size()) sequence |= kMoreChunks;
    chunk.push_back(sequence);
    chunks.push_back(std::move(chunk));
  } while (sent < bytes.size());
  return chunks;
}

std::shared_ptr<UeiStore> UeiStore::attach(ModuleCore& core) {
  std::shared_ptr<UeiStore> store(new UeiStore(core));
  store->self_ = store;
  core.setHandler(kQueryCommand,
                  [store](const Packet& request) { return store->handleQuery(request); });
  core.echo(kDebugCommand);
  return store;
}

void UeiStore::registerCommand(uint8_t command) {
  if (std::find(registered_.begin(), registered_.end(), command) != registered_.end()) return;
  registered_.push_back(command);
  // The handler holds the store: a module keeps its options as long as it answers.
  core_.setHandler(
      command, [store = self_.lock()](const Packet& request) { return store->handleUei(request); });
}

void UeiStore::setOption(uint8_t command, uint8_t index, uint8_t option, UeiValue value,
                         int subindex) {
  options_[{command, index, option, subindex}] = std::move(value);
  registerCommand(command);
}

const UeiValue* UeiStore::option(uint8_t command, uint8_t index, uint8_t option,
                                 int subindex) const {
  auto entry = options_.find({command, index, option, subindex});
  return entry == options_.end() ? nullptr : &entry->second;
}

UeiValue* UeiStore::option(uint8_t command, uint8_t index, uint8_t option, int subindex) {
  auto entry = options_.find({command, index, option, subindex});
  return entry == options_.end() ? nullptr : &entry->second;
}

void UeiStore::setBuild(uint32_t build) {
  build_ = build;
  if (UeiValue* entry = option(kSystemCommand, 0, kBuildOption)) entry->number = build;
}

bool UeiStore::hasSubindexes(uint8_t command, uint8_t index, uint8_t option) const {
  auto entry = options_.lower_bound({command, index, option, 0});
  return entry != options_.end() && std::get<0>(entry->first) == command &&
         std::get<1>(entry->first) == index && std::get<2>(entry->first) == option;
}

void UeiStore::addSystemEntity(const UeiIdentity& identity) {
  const uint8_t s = kSystemCommand;
  setOption(s, 0, 1, number(UeiType::U8, core_.address()));
  setOption(s, 0, 2, number(UeiType::U8, identity.router, true));  // router
  setOption(s, 0, 3, number(UeiType::U8, 10, true));               // heartbeat interval
  setOption(s, 0, 4, number(UeiType::U8, 0, true));                // LED
  setOption(s, 0, 6, number(UeiType::U8, 0, true));                // boot slot
  setOption(s, 0, 7, number(UeiType::U32, identity.version));
  setOption(s, 0, 8, number(UeiType::U8, core_.config().model));
  setOption(s, 0, 9, number(UeiType::U32, core_.config().serial));
  setOption(s, 0, 10, command());                      // save
  setOption(s, 0, 11, command());                      // reset
  setOption(s, 0, 12, number(UeiType::U32, 5000000));  // input voltage
  setOption(s, 0, 13, number(UeiType::U8, 0));
  setOption(s, 0, 14, number(UeiType::U8, core_.address()));
  setOption(s, 0, 15, number(UeiType::U8, 0, true));
  setOption(s, 0, 16, number(UeiType::U8, 0));
  UeiValue routeToMe = command();
  routeToMe.type = UeiType::U8;
  setOption(s, 0, 20, routeToMe);
  setOption(s, 0, 21, number(UeiType::U32, 250000));                        // input current
  setOption(s, 0, 22, number(UeiType::U32, 3600));                          // uptime
  setOption(s, 0, 23, number(UeiType::U32, 45000));                         // maximum temperature
  setOption(s, 0, 24, command());                                           // log events
  setOption(s, 0, 25, number(UeiType::U32, 5100000));                       // unregulated voltage
  setOption(s, 0, 26, number(UeiType::U32, 260000));                        // unregulated current
  setOption(s, 0, 27, number(UeiType::U32, 31000));                         // temperature
  setOption(s, 0, 28, number(UeiType::U32, static_cast<uint32_t>(-2000)));  // minimum temperature
  setOption(s, 0, 29, number(UeiType::U8, 1));
  setOption(s, 0, 30, number(UeiType::U8, 0, true));
  UeiValue powerConfig;
  powerConfig.type = UeiType::String;
  powerConfig.writable = true;
  powerConfig.bytes = {1, 0, 0, 0, 2, 0, 0, 0};
  setOption(s, 0, 31, powerConfig);
  UeiValue name;
  name.type = UeiType::String;
  name.writable = true;
  name.bytes.assign(identity.name.begin(), identity.name.end());
  setOption(s, 0, 32, name);
  setOption(s, 0, 33, number(UeiType::U32, 10000));
  setOption(s, 0, 34, number(UeiType::U32, 12000, true));
  setOption(s, 0, 35, number(UeiType::U32, 0));
  setOption(s, 0, 37, command());  // factory defaults
  setOption(s, 0, 38, number(UeiType::U8, 0, true));
  for (int word = 0; word < 4; ++word)
    setOption(s, 0, 39, number(UeiType::U32, 0x10203040u + static_cast<uint32_t>(word)), word);
  setOption(s, 0, 40, number(UeiType::U32, identity.hardwareVersion));
  setOption(s, 0, 41, number(UeiType::U32, 0));
  setOption(s, 0, 42, number(UeiType::U8, 255, true));
  setOption(s, 0, kBuildOption, number(UeiType::U32, identity.build));
  setOption(s, 0, 45, number(UeiType::U32, identity.protocolFeatures));
  // The entity store: save, factory defaults, load, each taking index | command << 8.
  for (uint8_t storeOption = 0; storeOption <= 2; ++storeOption) {
    UeiValue entry = command();
    entry.type = UeiType::U32;
    setOption(kStoreCommand, 0, storeOption, entry);
  }
  build_ = identity.build;
  classQuantity_[kSystemCommand] = 1;
  classQuantity_[kStoreCommand] = 1;
}

void UeiStore::setFault(uint8_t command, uint8_t index, uint8_t option, UeiFault fault, int count,
                        uint8_t parameter) {
  faults_[{{command, index, option}, fault}] = {count, parameter};
}

bool UeiStore::takeFault(const OptionKey& key, UeiFault fault, uint8_t* parameter) {
  auto entry = faults_.find({key, fault});
  if (entry == faults_.end() || entry->second.count == 0) return false;
  if (entry->second.count > 0) --entry->second.count;
  if (parameter) *parameter = entry->second.parameter;
  return true;
}

std::vector<Packet> UeiStore::handleUei(const Packet& request) {
  const Bytes& data = request.data;
  if (data.size() < 3 || !(data[2] & kRequestBit))
    return {};  // not a request (a reply of a peer, a stray packet)
  uint8_t option = data[1] & kOptionMask;
  uint8_t index = data[2] & kIndexMask;
  uint8_t kind = data[1] & kAckBits;
  if (kind == kGetBit) return get(request, option, index);
  if (kind == kSetBit) return set(request, option, index);
  return {};
}

std::vector<Packet> UeiStore::get(const Packet& request, uint8_t option, uint8_t index) {
  const Bytes& data = request.data;
  uint8_t command = data[0];
  OptionKey key{command, index, option};
  int subindex = data.size() == 4 ? data[3] : -1;
  auto error = [&](uint8_t code) {
    return deliver(
        key, {{core_.address(), {command, option, static_cast<uint8_t>(index | kErrorBit), code}}},
        false);
  };
  if (data.size() > 4) return error(kUeiErrParam);
  const UeiValue* entry = this->option(command, index, option, subindex);
  if (!entry) return error(kUeiErrNotFound);
  if (!entry->readable) return error(kUeiErrMode);
  if (entry->type == UeiType::String) {
    std::vector<Packet> chunks;
    for (Bytes& chunk : ueiChunks(command, option, index, entry->bytes))
      chunks.push_back({core_.address(), std::move(chunk)});
    return deliver(key, std::move(chunks), true);
  }
  Bytes reply{command, option, index};
  appendNumber(&reply, entry->type, entry->number);
  return deliver(key, {{core_.address(), reply}}, false);
}

std::vector<Packet> UeiStore::set(const Packet& request, uint8_t option, uint8_t index) {
  const Bytes& data = request.data;
  uint8_t command = data[0];
  OptionKey key{command, index, option};
  uint8_t ackOption = static_cast<uint8_t>(option | kAckBits);
  auto reply = [&](std::optional<uint8_t> code) {
    Bytes bytes{command, ackOption, index};
    if (code) {
      bytes[2] |= kErrorBit;
      bytes.push_back(*code);
    }
    return deliver(key, {{core_.address(), bytes}}, false);
  };

  int subindex = -1;
  size_t valueAt = 3;
  if (hasSubindexes(command, index, option)) {
    if (data.size() < 4) return reply(kUeiErrParam);
    subindex = data[3];
    valueAt = 4;
  }
  auto found = options_.find({command, index, option, subindex});
  if (found == options_.end()) return reply(kUeiErrNotFound);
  UeiValue& entry = found->second;
  if (!entry.writable) return reply(kUeiErrMode);

  if (entry.type == UeiType::String) {
    Incoming& incoming = incoming_[key];
    uint8_t sequence = data.back();
    uint8_t number = sequence & kSequenceMask;
    if (data.size() < 4 || number != incoming.nextSequence) {
      incoming_.erase(key);
      return reply(kUeiErrSequence);
    }
    incoming.bytes.insert(incoming.bytes.end(), data.begin() + 3, data.end() - 1);
    incoming.nextSequence = static_cast<uint8_t>((number + 1) & kSequenceMask);
    if (sequence & kMoreChunks) return {};  // the acknowledgement follows the last chunk
    entry.bytes = std::move(incoming.bytes);
    incoming_.erase(key);
    return reply(std::nullopt);
  }

  size_t width = data.size() - valueAt;
  size_t expected = entry.type == UeiType::U8    ? 1
                    : entry.type == UeiType::U16 ? 2
                    : entry.type == UeiType::U32 ? 4
                                                 : 0;
  if (width != expected) return reply(kUeiErrSize);
  uint32_t value = 0;
  for (size_t i = valueAt; i < data.size(); ++i) value = value << 8 | data[i];
  entry.number = value;
  if (!entry.readable || entry.type == UeiType::None) ++calls_[key];
  return reply(std::nullopt);
}

std::vector<Packet> UeiStore::deliver(const OptionKey& key, std::vector<Packet> replies,
                                      bool bytes) {
  uint8_t parameter = 0;
  if (takeFault(key, UeiFault::Silence)) replies.clear();
  if (!replies.empty() && takeFault(key, UeiFault::ErrorCode, &parameter)) {
    Bytes& first = replies.front().data;
    Bytes error{first[0], first[1], static_cast<uint8_t>(first[2] | kErrorBit), parameter};
    replies = {{core_.address(), error}};
    bytes = false;
  }
  if (bytes && takeFault(key, UeiFault::OutOfSequence)) {
    if (replies.size() >= 2)
      std::swap(replies[0], replies[1]);
    else
      replies[0].data.back() = static_cast<uint8_t>((replies[0].data.back() & kMoreChunks) | 1);
  }
  if (!replies.empty() && takeFault(key, UeiFault::WrongLength))
    for (Packet& reply : replies) reply.data.push_back(0);
  if (!replies.empty() && takeFault(key, UeiFault::OtherAddress, &parameter))
    for (Packet& reply : replies) reply.address = parameter;
  if (!replies.empty() && takeFault(key, UeiFault::Duplicate)) {
    std::vector<Packet> twice = replies;
    twice.insert(twice.end(), replies.begin(), replies.end());
    replies = std::move(twice);
  }
  std::vector<Packet> out = std::move(late_);
  late_.clear();
  if (!replies.empty() && takeFault(key, UeiFault::Late)) {
    late_ = std::move(replies);
    return out;
  }
  out.insert(out.end(), replies.begin(), replies.end());
  return out;
}

std::vector<Packet> UeiStore::handleQuery(const Packet& request) {
  const Bytes& d = request.data;
  auto reply = [&](Bytes bytes) {
    return std::vector<Packet>{{core_.address(), std::move(bytes)}};
  };
  if (d.size() == 2 && d[1] == 0xFF) {
    Bytes bytes{kQueryCommand, 0xFF};
    const UeiValue* build = option(kSystemCommand, 0, kBuildOption);
    appendNumber(&bytes, UeiType::U32, build ? build->number : build_);
    return reply(bytes);
  }
  if (d.size() == 6 && d[1] == 1) {
    uint8_t direction = d[5];
    const UeiValue* entry = option(d[2], d[4], d[3]);
    if (!entry && hasSubindexes(d[2], d[4], d[3]))
      entry = &options_.lower_bound({d[2], d[4], d[3], 0})->second;
    bool has = entry && (direction != kGetBit || entry->readable) &&
               (direction != kSetBit || entry->writable);
    return reply({kQueryCommand, 1, d[2], d[3], d[4], static_cast<uint8_t>(has ? 0 : kUeiAbsent)});
  }
  if (d.size() == 3 && d[1] == 4) {
    auto count = classQuantity_.find(d[2]);
    return reply(
        {kQueryCommand, 4, d[2], count == classQuantity_.end() ? uint8_t{0} : count->second});
  }
  if (d.size() == 4 && d[1] == 5) {
    auto count = subClassQuantity_.find({d[2], d[3]});
    return reply({kQueryCommand, 5, d[2], d[3],
                  count == subClassQuantity_.end() ? uint8_t{0} : count->second});
  }
  if (d.size() == 4 && d[1] == 6) {
    auto group = entityGroup_.find({d[2], d[3]});
    return reply(
        {kQueryCommand, 6, d[2], d[3], group == entityGroup_.end() ? uint8_t{0} : group->second});
  }
  return {};
}

}  // namespace kvsim
