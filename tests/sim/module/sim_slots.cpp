#include "sim_slots.h"

#include <algorithm>

namespace kvsim {

namespace {

constexpr uint8_t kErrorBit = 0x80;
constexpr uint8_t kFirstHandle = 1;
constexpr uint8_t kLastHandle = 254;
constexpr size_t kSlotRequestBytes = 4;    // [4][step][store][slot]
constexpr size_t kHandleRequestBytes = 3;  // [4][step][handle]
constexpr uint8_t kLastSlotStep =
    static_cast<uint8_t>(SlotStep::OpenWrite);  // steps with store and slot

struct StepEntry {
  SlotStep step;
  const char* name;
};
constexpr StepEntry kStepNames[] = {
    {SlotStep::Capacity, "capacity"},  {SlotStep::Size, "size"},
    {SlotStep::OpenRead, "open-read"}, {SlotStep::OpenWrite, "open-write"},
    {SlotStep::Read, "read"},          {SlotStep::Write, "write"},
    {SlotStep::Close, "close"},
};

struct FaultEntry {
  SlotFault fault;
  const char* name;
};
constexpr FaultEntry kFaultNames[] = {
    {SlotFault::Silence, "silence"},      {SlotFault::WrongSum, "wrong-sum"},
    {SlotFault::CutSum, "cut-sum"},       {SlotFault::LongWrite, "long-write"},
    {SlotFault::CutHandle, "cut-handle"}, {SlotFault::ErrorCode, "error-code"},
    {SlotFault::CutError, "cut-error"},   {SlotFault::Late, "late"},
};

std::optional<SlotStep> stepOf(uint8_t byte) {
  for (const StepEntry& entry : kStepNames)
    if (static_cast<uint8_t>(entry.step) == byte) return entry.step;
  return std::nullopt;
}

uint8_t byteSum(Bytes::const_iterator begin, Bytes::const_iterator end) {
  uint8_t sum = 0;
  for (; begin != end; ++begin) sum = static_cast<uint8_t>(sum + *begin);
  return sum;
}

// Error reply of a step given by its byte: store and slot (steps 1 to 4) or the handle echoed
// from the request (0 where it is too short), then the code unless cut.
Bytes errorFor(uint8_t stepByte, const Bytes& request, std::optional<uint8_t> code) {
  Bytes reply{kSlotCommand, static_cast<uint8_t>(stepByte | kErrorBit)};
  const size_t echoed = stepByte <= kLastSlotStep ? 2 : 1;
  for (size_t i = 0; i < echoed; ++i) reply.push_back(request.size() > 2 + i ? request[2 + i] : 0);
  if (code) reply.push_back(*code);
  return reply;
}

}  // namespace

const char* slotStepName(SlotStep step) {
  for (const StepEntry& entry : kStepNames)
    if (entry.step == step) return entry.name;
  return "?";
}

std::optional<SlotStep> slotStepByName(const std::string& name) {
  for (const StepEntry& entry : kStepNames)
    if (name == entry.name) return entry.step;
  return std::nullopt;
}

const char* slotFaultName(SlotFault fault) {
  for (const FaultEntry& entry : kFaultNames)
    if (entry.fault == fault) return entry.name;
  return "?";
}

std::optional<SlotFault> slotFaultByName(const std::string& name) {
  for (const FaultEntry& entry : kFaultNames)
    if (name == entry.name) return entry.fault;
  return std::nullopt;
}

std::shared_ptr<SlotStore> SlotStore::attach(ModuleCore& core, ModuleCore* carrier) {
  std::shared_ptr<SlotStore> store(new SlotStore(core, carrier));
  core.setHandler(kSlotCommand, [store](const Packet& request) { return store->handle(request); });
  return store;
}

void SlotStore::setSlot(uint8_t store, uint8_t slot, uint16_t capacity, Bytes content) {
  if (content.size() > capacity) content.resize(capacity);
  slots_[{store, slot}] = {capacity, std::move(content)};
}

const Bytes* SlotStore::content(uint8_t store, uint8_t slot) const {
  auto entry = slots_.find({store, slot});
  return entry == slots_.end() ? nullptr : &entry->second.bytes;
}

void SlotStore::setFault(SlotStep step, SlotFault fault, int count, unsigned parameter) {
  faults_[{step, fault}] = {count, parameter};
}

bool SlotStore::takeFault(SlotStep step, SlotFault fault, unsigned* parameter) {
  auto entry = faults_.find({step, fault});
  if (entry == faults_.end() || entry->second.count == 0) return false;
  if (entry->second.count > 0) --entry->second.count;
  if (parameter) *parameter = entry->second.parameter;
  return true;
}

std::vector<Packet> SlotStore::handle(const Packet& request) {
  const Bytes& d = request.data;
  if (d.size() < 2 || (d[1] & kErrorBit))
    return {};  // a reply of a peer, or too short to say what it asks
  std::optional<SlotStep> step = stepOf(d[1]);
  if (!step) return {{core_.address(), errorFor(d[1], d, kSlotErrParam)}};

  unsigned parameter = 0;
  Bytes reply;
  if (takeFault(*step, SlotFault::ErrorCode, &parameter)) {
    reply = errorFor(d[1], d, static_cast<uint8_t>(parameter));
  } else if (takeFault(*step, SlotFault::CutError)) {
    reply = errorFor(d[1], d, std::nullopt);
  } else {
    std::optional<uint8_t> refused;
    reply = answer(*step, d, &refused);
    if (refused)
      reply = errorFor(d[1], d, refused);
    else
      reshape(*step, &reply);
  }
  if (takeFault(*step, SlotFault::Silence)) return {};
  if (takeFault(*step, SlotFault::Late, &parameter)) {
    const bool open = *step == SlotStep::OpenRead || *step == SlotStep::OpenWrite;
    const unsigned ms = parameter ? parameter : open ? kSlotOpenLateMs : kSlotLateMs;
    late_.push_back(
        {Clock::now() + std::chrono::milliseconds(ms), {core_.address(), std::move(reply)}});
    return {};
  }
  return {{core_.address(), std::move(reply)}};
}

void SlotStore::reshape(SlotStep step, Bytes* reply) {
  if (step == SlotStep::Write) {
    if (takeFault(step, SlotFault::WrongSum)) ++(*reply)[kHandleRequestBytes];
    if (takeFault(step, SlotFault::CutSum)) reply->resize(kHandleRequestBytes);
    if (takeFault(step, SlotFault::LongWrite)) reply->push_back(0);
  }
  const bool open = step == SlotStep::OpenRead || step == SlotStep::OpenWrite;
  if (open && takeFault(step, SlotFault::CutHandle)) reply->resize(kSlotRequestBytes);
}

Bytes SlotStore::answer(SlotStep step, const Bytes& d, std::optional<uint8_t>* refused) {
  const bool bySlot = static_cast<uint8_t>(step) <= kLastSlotStep;
  if (bySlot) {
    if (d.size() != kSlotRequestBytes) {
      *refused = kSlotErrParam;
      return {};
    }
    auto found = slots_.find({d[2], d[3]});
    if (found == slots_.end()) {
      *refused = kSlotErrNotFound;
      return {};
    }
    Slot& slot = found->second;
    Bytes reply(d.begin(), d.end());
    if (step == SlotStep::Capacity || step == SlotStep::Size) {
      const size_t value = step == SlotStep::Capacity ? slot.capacity : slot.bytes.size();
      reply.push_back(static_cast<uint8_t>(value >> 8));
      reply.push_back(static_cast<uint8_t>(value));
      return reply;
    }
    std::optional<uint8_t> handle = openHandle(d[2], d[3], step == SlotStep::OpenWrite);
    if (!handle) {
      *refused = kSlotErrBusy;
      return {};
    }
    reply.push_back(*handle);
    return reply;
  }

  const bool write = step == SlotStep::Write;
  if (write ? d.size() <= kHandleRequestBytes || d.size() > kHandleRequestBytes + kSlotChunkBytes
            : d.size() != kHandleRequestBytes) {
    *refused = kSlotErrParam;
    return {};
  }
  auto open = handles_.find(d[2]);
  if (open == handles_.end()) {
    *refused = kSlotErrHandle;
    return {};
  }
  if (step == SlotStep::Close) {
    handles_.erase(open);
    return {kSlotCommand, d[1], d[2], 0};
  }
  Handle& handle = open->second;
  if (handle.write != write) {
    *refused = kSlotErrMode;
    return {};
  }
  Bytes& bytes = slots_[handle.slot].bytes;
  if (write) {
    const size_t count = d.size() - kHandleRequestBytes;
    if (bytes.size() + count > slots_[handle.slot].capacity) {
      *refused = kSlotErrOverrun;
      return {};
    }
    bytes.insert(bytes.end(), d.begin() + kHandleRequestBytes, d.end());
    return {kSlotCommand, d[1], d[2], byteSum(d.begin() + kHandleRequestBytes, d.end())};
  }
  Bytes reply{kSlotCommand, d[1], d[2]};
  const size_t from = std::min(handle.position, bytes.size());
  const size_t count = std::min(kSlotChunkBytes, bytes.size() - from);
  reply.insert(reply.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
  handle.position = from + count;
  return reply;
}

std::optional<uint8_t> SlotStore::openHandle(uint8_t store, uint8_t slot, bool write) {
  for (unsigned number = kFirstHandle; number <= kLastHandle; ++number) {
    const uint8_t handle = static_cast<uint8_t>(number);
    if (handles_.count(handle)) continue;
    handles_[handle] = {{store, slot}, write, 0};
    if (write) slots_[{store, slot}].bytes.clear();
    return handle;
  }
  return std::nullopt;
}

void SlotStore::poll(Clock::time_point now) {
  auto due = std::stable_partition(late_.begin(), late_.end(),
                                   [now](const Late& late) { return late.due <= now; });
  std::vector<Late> sending(std::make_move_iterator(late_.begin()), std::make_move_iterator(due));
  late_.erase(late_.begin(), due);
  for (const Late& late : sending) carrier_.sendPacket(late.packet);
}

std::optional<TimedWork::Clock::time_point> SlotStore::nextDue() const {
  std::optional<Clock::time_point> next;
  for (const Late& late : late_)
    if (!next || late.due < *next) next = late.due;
  return next;
}

}  // namespace kvsim
