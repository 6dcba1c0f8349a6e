#include "sim_router.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace kvsim {

namespace {

constexpr uint8_t kReadBit = 0x01;
constexpr uint8_t kPullupAddress = 1;  // [8][bus][1][on]: the pull-up switch, not a transfer
constexpr size_t kPullupLength = 4;    // data bytes of a pull-up request
constexpr size_t kTransferHeader = 5;  // [8][bus][addr][len][speed]
constexpr uint8_t kHighestAddress = 254;

struct PresenceEntry {
  Presence presence;
  const char* name;
};
constexpr PresenceEntry kPresenceNames[] = {
    {Presence::Present, "present"}, {Presence::Silent, "silent"}, {Presence::Missing, "missing"}};

std::string hexAddress(uint8_t address) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", address);
  return text;
}

// The packets in a run of unframed output bytes.
std::vector<Packet> cutPackets(const Bytes& bytes) {
  std::vector<Packet> packets;
  size_t at = 0;
  while (at + 2 <= bytes.size()) {
    size_t end = at + 2 + bytes[at + 1];
    if (end > bytes.size()) break;
    packets.push_back({bytes[at], Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at + 2),
                                        bytes.begin() + static_cast<std::ptrdiff_t>(end))});
    at = end;
  }
  return packets;
}

}  // namespace

const char* presenceName(Presence presence) {
  for (const PresenceEntry& entry : kPresenceNames)
    if (entry.presence == presence) return entry.name;
  return "?";
}

std::optional<Presence> presenceByName(const std::string& name) {
  for (const PresenceEntry& entry : kPresenceNames)
    if (name == entry.name) return entry.presence;
  return std::nullopt;
}

std::shared_ptr<I2cRouter> I2cRouter::attach(ModuleCore& router) {
  std::shared_ptr<I2cRouter> self(new I2cRouter(router));
  router.setHandler(kI2cCommand,
                    [self](const Packet& request) { return self->handleBus(request); });
  router.setForwarder([self](const Packet& packet, std::vector<Packet>* replies) {
    return self->forward(packet, replies);
  });
  return self;
}

std::string I2cRouter::add(const BehindSpec& spec, UeiIdentity identity) {
  const std::string where = "module behind at " + hexAddress(spec.address);
  if (spec.address == 0 || (spec.address & kReadBit) || spec.address > kHighestAddress)
    return where + ": the address must be even, 2 to 254";
  if (spec.address == router_.address()) return where + ": that is the router's own address";
  if (modules_.count(spec.address)) return where + ": there is one already";

  ModuleConfig config;
  config.address = spec.address;
  config.serial = spec.serial;
  config.model = spec.model;
  Behind behind;
  behind.core = std::make_unique<ModuleCore>(config);
  behind.core->startConnection();
  behind.store = UeiStore::attach(*behind.core);
  identity.router = router_.address();
  if (!spec.name.empty()) identity.name = spec.name;
  behind.store->addSystemEntity(identity);
  modules_[spec.address] = std::move(behind);
  setPresence(spec.address, spec.presence);
  return "";
}

bool I2cRouter::setPresence(uint8_t address, Presence presence) {
  auto entry = modules_.find(address);
  if (entry == modules_.end()) return false;
  entry->second.presence = presence;
  entry->second.core->setSilent(presence != Presence::Present);
  return true;
}

ModuleCore* I2cRouter::module(uint8_t address) {
  auto entry = modules_.find(address);
  return entry == modules_.end() ? nullptr : entry->second.core.get();
}

std::shared_ptr<UeiStore> I2cRouter::store(uint8_t address) {
  auto entry = modules_.find(address);
  return entry == modules_.end() ? nullptr : entry->second.store;
}

std::vector<uint8_t> I2cRouter::addresses() const {
  std::vector<uint8_t> list;
  for (const auto& entry : modules_) list.push_back(entry.first);
  return list;
}

bool I2cRouter::forward(const Packet& packet, std::vector<Packet>* replies) {
  if (packet.address == router_.address()) return false;
  auto entry = modules_.find(packet.address);
  if (entry == modules_.end() || entry->second.presence == Presence::Missing)
    return true;  // nobody there
  ModuleCore& module = *entry->second.core;
  module.receive(packet.wire());
  Bytes out;
  for (const Segment& segment : module.takeSegments())
    out.insert(out.end(), segment.bytes.begin(), segment.bytes.end());
  *replies = cutPackets(out);
  return true;
}

I2cRouter::Behind* I2cRouter::onBus(uint8_t busAddress) {
  auto entry = modules_.find(static_cast<uint8_t>(busAddress & ~kReadBit));
  if (entry == modules_.end() || entry->second.presence == Presence::Missing) return nullptr;
  return &entry->second;
}

std::vector<Packet> I2cRouter::handleBus(const Packet& request) {
  const Bytes& d = request.data;
  if (d.size() < 3) return {};  // too short to say what it answers
  const uint8_t bus = d[1];
  const uint8_t address = d[2];
  auto reply = [&](uint8_t countOrOn, uint8_t code, const Bytes& bytes = {}) {
    Bytes data{kI2cCommand, bus, address, countOrOn,
               static_cast<uint8_t>(code ? kI2cStatusError | code : 0)};
    data.insert(data.end(), bytes.begin(), bytes.end());
    return std::vector<Packet>{{router_.address(), std::move(data)}};
  };

  if (address == kPullupAddress && d.size() == kPullupLength) {
    if (bus != kRouterBus) return reply(d[3], kI2cErrBadBus);
    pullup_ = d[3] != 0;
    return reply(d[3], 0);
  }
  if (d.size() < kTransferHeader) return reply(0, kI2cErrBadRequest);
  const size_t length = d[3];
  const bool read = address & kReadBit;
  if (read ? d.size() != kTransferHeader : d.size() != kTransferHeader + length)
    return reply(0, kI2cErrBadRequest);
  if (bus != kRouterBus) return reply(0, kI2cErrBadBus);
  if (length > kI2cMaxTransfer) return reply(0, kI2cErrTooLong);
  Behind* device = onBus(address);
  if (!device) return reply(0, kI2cErrNoDevice);
  if (!read) {
    device->busData.assign(d.begin() + kTransferHeader, d.end());
    return reply(0, 0);
  }
  Bytes bytes(device->busData.begin(),
              device->busData.begin() +
                  static_cast<std::ptrdiff_t>(std::min(length, device->busData.size())));
  bytes.resize(length, 0);
  return reply(static_cast<uint8_t>(length), 0, bytes);
}

}  // namespace kvsim
