#include "sim_upgrade.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

namespace kvsim {

namespace {

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;
constexpr size_t kDumpLineBytes = 32;
constexpr size_t kDumpAddressDigits = 8;
constexpr size_t kMaxDataPayload = kMaxPacketData - 2;  // DATA bytes after command and option
constexpr size_t kPrepareLength = 7;                    // [5F][03][flags][address, 4]
constexpr size_t kWriteLength = 4;                      // [5F][05][length, 2]

// UEI request bits (the module's request and reply layouts).
constexpr uint8_t kUeiGet = 0x40;
constexpr uint8_t kUeiSet = 0x80;
constexpr uint8_t kUeiAck = 0xC0;
constexpr uint8_t kUeiKindMask = 0xC0;
constexpr uint8_t kUeiOptionMask = 0x3F;
constexpr uint8_t kUeiRequestBit = 0x20;
constexpr uint8_t kUeiIndexMask = 0x1F;
constexpr uint8_t kUeiErrorBit = 0x80;
constexpr uint8_t kUeiMoreChunks = 0x80;
constexpr uint8_t kUeiSequenceMask = 0x7F;

constexpr uint8_t kSerialOption = 9;     // system entity: serial number
constexpr uint8_t kFeaturesOption = 45;  // system entity: protocol features

struct UpgradeFaultEntry {
  UpgradeFault fault;
  const char* name;
};
constexpr UpgradeFaultEntry kUpgradeFaultNames[] = {
    {UpgradeFault::WrongEcho, "wrong-echo"},       {UpgradeFault::LateSum, "late-sum"},
    {UpgradeFault::PrepareError, "prepare-error"}, {UpgradeFault::BlockSizeZero, "block-size-0"},
    {UpgradeFault::ShortStatus, "short-status"},   {UpgradeFault::SumMismatch, "sum-mismatch"},
};

void appendWord(Bytes* bytes, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    bytes->push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t byteSum(const Bytes& bytes) {
  uint32_t sum = 0;
  for (uint8_t byte : bytes) sum += byte;
  return sum;
}

std::optional<unsigned long> decimal(const std::string& text, unsigned long limit) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  errno = 0;
  unsigned long value = std::strtoul(text.c_str(), nullptr, 10);
  if (errno != 0 || value > limit) return std::nullopt;
  return value;
}

constexpr unsigned long kMaxDelayMs = 600000;  // longest delay the text forms take
constexpr unsigned long kMaxFaultCount = 1000000000;

}  // namespace

// --- Memory ---------------------------------------------------------------------------------

bool SimMemory::write(uint32_t address, const Bytes& bytes) {
  uint64_t start = address;
  uint64_t end = start + bytes.size();
  if (end > kAddressSpace) return false;
  if (bytes.empty()) return true;
  // Every run that overlaps or touches [start, end) joins the new one.
  auto first = regions_.upper_bound(address);
  if (first != regions_.begin()) {
    auto previous = std::prev(first);
    if (previous->first + uint64_t{previous->second.size()} >= start) first = previous;
  }
  uint64_t mergedStart = start;
  uint64_t mergedEnd = end;
  auto last = first;
  for (; last != regions_.end() && last->first <= end; ++last) {
    mergedStart = std::min<uint64_t>(mergedStart, last->first);
    mergedEnd = std::max<uint64_t>(mergedEnd, last->first + uint64_t{last->second.size()});
  }
  Bytes merged(static_cast<size_t>(mergedEnd - mergedStart), kErasedByte);
  for (auto run = first; run != last; ++run)
    std::copy(run->second.begin(), run->second.end(),
              merged.begin() + static_cast<std::ptrdiff_t>(run->first - mergedStart));
  std::copy(bytes.begin(), bytes.end(),
            merged.begin() + static_cast<std::ptrdiff_t>(start - mergedStart));
  regions_.erase(first, last);
  regions_.emplace(static_cast<uint32_t>(mergedStart), std::move(merged));
  return true;
}

Bytes SimMemory::read(uint32_t address, size_t length) const {
  Bytes bytes(length, kErasedByte);
  uint64_t start = address;
  uint64_t end = start + length;
  auto run = regions_.upper_bound(address);
  if (run != regions_.begin()) --run;
  for (; run != regions_.end() && run->first < end; ++run) {
    uint64_t runStart = run->first;
    uint64_t runEnd = runStart + run->second.size();
    uint64_t from = std::max(start, runStart);
    uint64_t to = std::min(end, runEnd);
    for (uint64_t at = from; at < to; ++at)
      bytes[static_cast<size_t>(at - start)] = run->second[static_cast<size_t>(at - runStart)];
  }
  return bytes;
}

std::string formatMemoryDump(const SimMemory& memory) {
  std::string text;
  char address[kDumpAddressDigits + 1];
  for (const auto& [start, bytes] : memory.regions()) {
    for (size_t offset = 0; offset < bytes.size(); offset += kDumpLineBytes) {
      size_t count = std::min(kDumpLineBytes, bytes.size() - offset);
      std::snprintf(address, sizeof address, "%08X", static_cast<unsigned>(start + offset));
      text += address;
      text += ' ';
      text += toHex(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                          bytes.begin() + static_cast<std::ptrdiff_t>(offset + count)));
      text += '\n';
    }
  }
  return text;
}

std::optional<SimMemory> parseMemoryDump(const std::string& text) {
  SimMemory memory;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.size() < kDumpAddressDigits + 1 || line[kDumpAddressDigits] != ' ')
      return std::nullopt;
    auto address = parseHex(line.substr(0, kDumpAddressDigits));
    auto bytes = parseHex(line.substr(kDumpAddressDigits + 1));
    if (!address || address->size() != 4 || !bytes) return std::nullopt;
    uint32_t start = 0;
    for (uint8_t byte : *address) start = start << 8 | byte;
    if (!memory.write(start, *bytes)) return std::nullopt;
  }
  return memory;
}

// --- Names and text forms -------------------------------------------------------------------

const char* upgradeFaultName(UpgradeFault fault) {
  for (const UpgradeFaultEntry& entry : kUpgradeFaultNames)
    if (entry.fault == fault) return entry.name;
  return "?";
}

std::optional<UpgradeFault> upgradeFaultByName(const std::string& name) {
  for (const UpgradeFaultEntry& entry : kUpgradeFaultNames)
    if (name == entry.name) return entry.fault;
  return std::nullopt;
}

bool parseAfterLoad(const std::string& text, UpgradeConfig* config) {
  const std::string dropPrefix = "drop:";
  if (text == "stay") {
    config->afterLoad = AfterLoad::Stay;
  } else if (text == "silent-drop") {
    config->afterLoad = AfterLoad::SilentDrop;
  } else if (text.rfind(dropPrefix, 0) == 0) {
    auto ms = decimal(text.substr(dropPrefix.size()), kMaxDelayMs);
    if (!ms) return false;
    config->afterLoad = AfterLoad::Drop;
    config->dropDelayMs = static_cast<unsigned>(*ms);
  } else {
    return false;
  }
  return true;
}

bool parseReturnAs(const std::string& text, UpgradeConfig* config) {
  if (text == "same")
    config->returnAs = ReturnAs::Same;
  else if (text == "deadbead")
    config->returnAs = ReturnAs::DefaultSerial;
  else if (text == "never")
    config->returnAs = ReturnAs::Never;
  else
    return false;
  return true;
}

namespace {

bool parseFaultInto(const std::string& text, std::map<UpgradeFault, int>* faults) {
  size_t colon = text.find(':');
  auto fault = upgradeFaultByName(text.substr(0, colon));
  if (!fault) return false;
  int count = kEvery;
  if (colon != std::string::npos) {
    std::string countText = text.substr(colon + 1);
    if (countText != "all") {
      auto value = decimal(countText, kMaxFaultCount);
      if (!value) return false;
      count = static_cast<int>(*value);
    }
  }
  (*faults)[*fault] = count;
  return true;
}

}  // namespace

bool parseUpgradeFault(const std::string& text, UpgradeConfig* config) {
  return parseFaultInto(text, &config->faults);
}

bool parseLoaderFault(const std::string& text, UpgradeConfig* config) {
  return parseFaultInto(text, &config->loaderFaults);
}

const char kUpgradeHelp[] =
    "Upgrade conversation (command 95):\n"
    "  --upgrade            answer it: the running firmware takes the loader blocks, LOAD\n"
    "                       starts the loader, which writes the firmware blocks into a\n"
    "                       simulated flash and drops the link on REBOOT (implies --uei);\n"
    "                       the options below go with it\n"
    "  --loader             run the loader from the start (a recovery loader)\n"
    "  --after-load stay|drop:MS|silent-drop\n"
    "                       after LOAD: answer and stay (default); answer, then drop MS later;\n"
    "                       drop at once without an answer\n"
    "  --return same|deadbead|never\n"
    "                       after LOAD's drop come back under the own serial number (default),\n"
    "                       under DEADDEAD, or not at all; after a silent drop the loader\n"
    "                       sends [5F][02] soon after the new connection's first packet\n"
    "  --return-quiet       ... unless this is given\n"
    "  --return-ms MS       also how long the module stays away after the drops of LOAD\n"
    "                       and REBOOT (default there 500)\n"
    "  --reboot-drop-ms MS  from REBOOT to the drop (default 100)\n"
    "  --block-size N       block size PREPARE answers (default 256)\n"
    "  --load-base HEX      load base INIT answers (default 20000000)\n"
    "  --no-uei             option 10 of command 95 is absent: hasUEI answers 1\n"
    "  --no-pooled          protocol features without bit 31 (no pooled packets)\n"
    "  --late-ms MS         how late a late SUM reply comes (default 1500)\n"
    "  --flash-dump PATH    write the flash at REBOOT and at exit, one line per 32 bytes:\n"
    "                       \"AAAAAAAA HEX\"\n"
    "  --upgrade-fault NAME[:COUNT]  COUNT replies (a number or all; default all):\n"
    "                       wrong-echo     DATA answered with one less than sent, not taken\n"
    "                       late-sum       the SUM reply comes --late-ms late\n"
    "                       prepare-error  PREPARE refused with status 1\n"
    "                       block-size-0   PREPARE answers block size 0\n"
    "                       short-status   status replies lose their last byte\n"
    "                       sum-mismatch   SUM answers one more than the bytes add up to\n"
    "  --loader-fault NAME[:COUNT]  the same, armed the first time the loader runs (at LOAD,\n"
    "                       or at start with --loader): faults of the firmware blocks only\n";

// --- Persona --------------------------------------------------------------------------------

std::shared_ptr<UpgradePersona> UpgradePersona::attach(ModuleCore& core,
                                                       std::shared_ptr<UeiStore> store,
                                                       UpgradeConfig config) {
  std::shared_ptr<UpgradePersona> persona(
      new UpgradePersona(core, std::move(store), std::move(config)));
  // The store registers command 95 for the option it now knows; this handler replaces its.
  core.setHandler(kUpgradeCommand,
                  [persona](const Packet& request) { return persona->handle(request); });
  return persona;
}

UpgradePersona::UpgradePersona(ModuleCore& core, std::shared_ptr<UeiStore> store,
                               UpgradeConfig config)
    : core_(core),
      store_(std::move(store)),
      config_(std::move(config)),
      mode_(config_.startAsLoader ? Mode::Loader : Mode::Application),
      serial_(core.config().serial) {
  if (mode_ == Mode::Loader) armLoaderFaults();
  if (!store_) return;
  if (config_.hasUei) {
    UeiValue dataUei;
    dataUei.type = UeiType::String;
    dataUei.readable = false;
    dataUei.writable = true;
    store_->setOption(kUpgradeCommand, 0, kUpgradeDataUei, dataUei);
  }
  UeiValue features;
  if (const UeiValue* existing = store_->option(kSystemCommand, 0, kFeaturesOption))
    features = *existing;
  features.type = UeiType::U32;
  features.number = config_.pooled ? features.number | kPooledPacketsFeature
                                   : features.number & ~kPooledPacketsFeature;
  store_->setOption(kSystemCommand, 0, kFeaturesOption, features);
}

int UpgradePersona::faultCount(UpgradeFault fault) const {
  auto entry = config_.faults.find(fault);
  return entry == config_.faults.end() ? 0 : entry->second;
}

bool UpgradePersona::takeFault(UpgradeFault fault) {
  auto entry = config_.faults.find(fault);
  if (entry == config_.faults.end() || entry->second == 0) return false;
  if (entry->second > 0) --entry->second;
  return true;
}

std::vector<Packet> UpgradePersona::reply(Bytes data) const {
  return {{core_.address(), std::move(data)}};
}

std::vector<Packet> UpgradePersona::status(Bytes data) {
  if (takeFault(UpgradeFault::ShortStatus)) data.pop_back();
  return reply(std::move(data));
}

std::vector<Packet> UpgradePersona::handle(const Packet& request) {
  const Bytes& d = request.data;
  if (d.size() < 2) return {};
  if (d[1] & kUeiKindMask) return handleUei(d);
  bool loader = mode_ == Mode::Loader;
  switch (d[1]) {
    case kUpgradeInit:
      return loader ? std::vector<Packet>{} : init();
    case kUpgradePrepare:
      return prepare(d);
    case kUpgradeData:
      return data(d);
    case kUpgradeSum:
      return sum();
    case kUpgradeLoad:
      return loader ? std::vector<Packet>{} : load();
    case kUpgradeWrite:
      return loader ? write(d) : std::vector<Packet>{};
    case kUpgradeReboot:
      return loader ? reboot() : std::vector<Packet>{};
    default:
      return {};
  }
}

std::vector<Packet> UpgradePersona::init() {
  loaderMemory_.clear();
  closeBlock();
  Bytes data{kUpgradeCommand, kUpgradeInit};
  appendWord(&data, config_.loadBase);
  return reply(std::move(data));
}

std::vector<Packet> UpgradePersona::prepare(const Bytes& d) {
  closeBlock();
  if (d.size() != kPrepareLength || takeFault(UpgradeFault::PrepareError))
    return status({kUpgradeCommand, kUpgradeStatus, kUpgradeRefused, 0, 0});
  uint32_t address = 0;
  for (size_t i = 3; i < kPrepareLength; ++i) address = address << 8 | d[i];
  block_.open = true;
  block_.address = address;
  prepared_.push_back({address, d[2], mode_ == Mode::Loader});
  uint16_t size = takeFault(UpgradeFault::BlockSizeZero) ? 0 : config_.blockSize;
  return status({kUpgradeCommand, kUpgradeStatus, kUpgradeOk, static_cast<uint8_t>(size >> 8),
                 static_cast<uint8_t>(size)});
}

bool UpgradePersona::take(const Bytes& bytes) {
  if (!block_.open) return false;
  if (mode_ == Mode::Application) {
    if (block_.address + block_.written + bytes.size() > kAddressSpace) return false;
    loaderMemory_.write(static_cast<uint32_t>(block_.address + block_.written), bytes);
    block_.written += bytes.size();
  } else if (block_.pending.size() + bytes.size() > config_.blockSize) {
    return false;  // the chunk buffer holds one block size
  }
  block_.pending.insert(block_.pending.end(), bytes.begin(), bytes.end());
  return true;
}

std::vector<Packet> UpgradePersona::data(const Bytes& d) {
  Bytes payload(d.begin() + 2, d.end());
  uint8_t count = static_cast<uint8_t>(payload.size());
  if (takeFault(UpgradeFault::WrongEcho))
    return reply({kUpgradeCommand, kUpgradeData, static_cast<uint8_t>(count - 1)});
  if (payload.empty() || payload.size() > kMaxDataPayload || !take(payload)) count = 0;
  return reply({kUpgradeCommand, kUpgradeData, count});
}

std::vector<Packet> UpgradePersona::sum() {
  Bytes data{kUpgradeCommand, kUpgradeStatus, block_.open ? kUpgradeOk : kUpgradeNoBlock};
  uint32_t total = byteSum(block_.pending);
  if (mode_ == Mode::Application)
    block_.pending.clear();  // the next transfer of the block starts its own sum
  if (takeFault(UpgradeFault::SumMismatch)) ++total;
  appendWord(&data, total);
  if (takeFault(UpgradeFault::LateSum)) {
    Bytes late = std::move(data);
    if (takeFault(UpgradeFault::ShortStatus)) late.pop_back();
    Scheduled item;
    item.due = Clock::now() + std::chrono::milliseconds(config_.lateMs);
    item.kind = Scheduled::Kind::Send;
    item.packet = {core_.address(), std::move(late)};
    schedule(std::move(item));
    return {};
  }
  return status(std::move(data));
}

void UpgradePersona::armLoaderFaults() {
  for (const auto& [fault, count] : config_.loaderFaults) config_.faults[fault] = count;
  config_.loaderFaults.clear();
}

std::vector<Packet> UpgradePersona::load() {
  mode_ = Mode::Loader;
  armLoaderFaults();
  closeBlock();
  std::optional<uint32_t> returnSerial;
  if (config_.returnAs == ReturnAs::Same)
    returnSerial = core_.config().serial;
  else if (config_.returnAs == ReturnAs::DefaultSerial)
    returnSerial = kDefaultSerial;
  Clock::time_point now = Clock::now();
  switch (config_.afterLoad) {
    case AfterLoad::Stay:
      break;
    case AfterLoad::Drop:
      scheduleDropAndReturn(now + std::chrono::milliseconds(config_.dropDelayMs), returnSerial,
                            false);
      break;
    case AfterLoad::SilentDrop:
      scheduleDropAndReturn(now, returnSerial, config_.announceOnReturn);
      return {};
  }
  return reply({kUpgradeCommand, kUpgradeLoad});
}

std::vector<Packet> UpgradePersona::write(const Bytes& d) {
  auto answer = [this](uint8_t code) { return status({kUpgradeCommand, kUpgradeStatus, code}); };
  if (d.size() != kWriteLength) return answer(kUpgradeRefused);
  if (!block_.open) return answer(kUpgradeNoBlock);
  size_t length = static_cast<size_t>(d[2]) << 8 | d[3];
  if (length != block_.pending.size()) return answer(kUpgradeBadLength);
  uint64_t at = block_.address + block_.written;
  if (at + length > kAddressSpace) return answer(kUpgradeOutOfRange);
  flash_.write(static_cast<uint32_t>(at), block_.pending);
  block_.written += length;
  block_.pending.clear();
  std::vector<Packet> done = answer(kUpgradeOk);
  // The answer goes out before the drop, which comes rebootDropMs later.
  if (++writesTaken_ == config_.restartAfterWrites) restart();
  return done;
}

std::vector<Packet> UpgradePersona::reboot() {
  restart();
  return {};
}

void UpgradePersona::restart() {
  if (!config_.flashDumpPath.empty()) {
    std::string error;
    if (!writeFlashDump(config_.flashDumpPath, &error))
      std::fprintf(stderr, "kv_sim_module: %s\n", error.c_str());
  }
  mode_ = Mode::Application;  // the new firmware runs after the reboot
  loaderMemory_.clear();
  closeBlock();
  scheduleDropAndReturn(Clock::now() + std::chrono::milliseconds(config_.rebootDropMs),
                        core_.config().serial, false);
}

std::vector<Packet> UpgradePersona::handleUei(const Bytes& d) {
  if (d.size() < 3 || !(d[2] & kUeiRequestBit)) return {};  // not a request
  uint8_t kind = d[1] & kUeiKindMask;
  uint8_t option = d[1] & kUeiOptionMask;
  uint8_t index = d[2] & kUeiIndexMask;
  auto error = [&](uint8_t replyOption, uint8_t code) {
    return reply({kUpgradeCommand, replyOption, static_cast<uint8_t>(index | kUeiErrorBit), code});
  };
  if (kind == kUeiGet) return error(option, kUeiErrNotFound);  // nothing of command 95 is readable
  if (kind != kUeiSet) return {};
  uint8_t ackOption = static_cast<uint8_t>(option | kUeiAck);
  if (!config_.hasUei || option != kUpgradeDataUei || index != 0)
    return error(ackOption, kUeiErrNotFound);

  uint8_t sequence = d.back();
  if (d.size() < 4 || (sequence & kUeiSequenceMask) != incoming_.nextSequence) {
    incoming_ = {};
    return error(ackOption, kUeiErrSequence);
  }
  incoming_.bytes.insert(incoming_.bytes.end(), d.begin() + 3, d.end() - 1);
  incoming_.nextSequence = static_cast<uint8_t>((incoming_.nextSequence + 1) & kUeiSequenceMask);
  if (sequence & kUeiMoreChunks) return {};  // the acknowledgement follows the last chunk
  Bytes chunk = std::move(incoming_.bytes);
  incoming_ = {};
  if (!block_.open) return error(ackOption, kUeiErrMode);
  if (!take(chunk)) return error(ackOption, kUeiErrSize);
  return reply({kUpgradeCommand, ackOption, index});
}

void UpgradePersona::closeBlock() {
  block_ = {};
  incoming_ = {};
}

void UpgradePersona::schedule(Scheduled item) { scheduled_.push_back(std::move(item)); }

void UpgradePersona::scheduleDropAndReturn(Clock::time_point dropAt,
                                           std::optional<uint32_t> returnSerial, bool announce) {
  Scheduled drop;
  drop.due = dropAt;
  drop.kind = Scheduled::Kind::Drop;
  schedule(std::move(drop));
  if (!returnSerial) return;
  Scheduled back;
  back.due = dropAt + std::chrono::milliseconds(config_.returnMs);
  back.kind = Scheduled::Kind::ComeBack;
  back.serial = *returnSerial;
  back.announce = announce;
  schedule(std::move(back));
}

void UpgradePersona::showSerial(uint32_t serial) {
  serial_ = serial;
  if (!store_) return;
  if (const UeiValue* existing = store_->option(kSystemCommand, 0, kSerialOption)) {
    UeiValue value = *existing;
    value.number = serial;
    store_->setOption(kSystemCommand, 0, kSerialOption, value);
  }
}

std::vector<UpgradeAction> UpgradePersona::poll(Clock::time_point now) {
  if (announceAfterRecord_) {
    const std::vector<Record>& records = core_.records();
    for (size_t i = *announceAfterRecord_; i < records.size(); ++i) {
      if (records[i].direction != Direction::In) continue;
      Scheduled announce;
      announce.due = now + std::chrono::milliseconds(kAnnounceDelayMs);
      announce.kind = Scheduled::Kind::Send;
      announce.packet = {core_.address(), {kUpgradeCommand, kUpgradeLoad}};
      schedule(std::move(announce));
      announceAfterRecord_.reset();
      break;
    }
    if (announceAfterRecord_) announceAfterRecord_ = records.size();
  }

  std::vector<Scheduled> due;
  auto notDue = std::stable_partition(scheduled_.begin(), scheduled_.end(),
                                      [now](const Scheduled& item) { return item.due <= now; });
  std::move(scheduled_.begin(), notDue, std::back_inserter(due));
  scheduled_.erase(scheduled_.begin(), notDue);
  std::stable_sort(due.begin(), due.end(),
                   [](const Scheduled& a, const Scheduled& b) { return a.due < b.due; });

  std::vector<UpgradeAction> actions;
  for (Scheduled& item : due) {
    switch (item.kind) {
      case Scheduled::Kind::Send:
        core_.sendPacket(item.packet);
        break;
      case Scheduled::Kind::Drop:
        closeBlock();
        actions.push_back({UpgradeAction::Kind::Drop, 0});
        break;
      case Scheduled::Kind::ComeBack:
        showSerial(item.serial);
        if (item.announce) announceAfterRecord_ = core_.records().size();
        actions.push_back({UpgradeAction::Kind::ComeBack, item.serial});
        break;
    }
  }
  return actions;
}

std::optional<UpgradePersona::Clock::time_point> UpgradePersona::nextDue() const {
  std::optional<Clock::time_point> next;
  for (const Scheduled& item : scheduled_)
    if (!next || item.due < *next) next = item.due;
  return next;
}

bool UpgradePersona::writeFlashDump(const std::string& path, std::string* error) const {
  std::string text = formatMemoryDump(flash_);
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    *error = "cannot write the flash dump " + path + ": " + std::strerror(errno);
    return false;
  }
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  int saved = errno;
  if (std::fclose(file) != 0 && written) {
    written = false;
    saved = errno;
  }
  if (!written) *error = "cannot write the flash dump " + path + ": " + std::strerror(saved);
  return written;
}

}  // namespace kvsim
