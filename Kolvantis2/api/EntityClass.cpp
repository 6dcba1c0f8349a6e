#include "EntityClass.h"

#include <cstring>
#include <utility>

#include "aUEI.h"

namespace Zentrova {
namespace Kolvantis {

namespace {

constexpr uint8_t kStoreCommand = 92;  // the module's entity store
constexpr uint8_t kStoreIndex = 0;
constexpr uint8_t kStoreSave = 0;  // store options
constexpr uint8_t kStoreFactoryReset = 1;
constexpr uint8_t kStoreLoad = 2;
constexpr unsigned kStoreCommandShift = 8;  // the stored entity: index | command << 8

bool IsErrorReply(const uei& record) { return (record.specifier & ueiSpecifierError) != 0; }

aErr ErrorCode(const uei& record) { return static_cast<aErr>(record.value.byteVal); }

// The record's value by its type, widened; 0 for a reply without a value.
uint32_t NumericValue(const uei& record) {
  switch (record.type) {
    case ueiTypeU8:
      return record.value.byteVal;
    case ueiTypeU16:
      return record.value.shortVal;
    case ueiTypeU32:
      return record.value.intVal;
    default:
      return 0;
  }
}

bool Delivered(aErr result) { return result == aErrNone || result == aErrStreamStale; }

uei Blank(uint32_t type) {
  uei record{};
  record.type = type;
  return record;
}

}  // namespace

class EntityClass::impl {
 public:
  explicit impl(EntityClass& entity) : owner(entity) {}

  // The Link of the bound module, or null.
  Link* link() const { return module != nullptr ? module->getLink() : nullptr; }
  aErr set(uint8_t option, uei* record, const uint8_t* subindex);

  EntityClass& owner;
  Module* module = nullptr;
  uint8_t command = 0;
  uint8_t index = 0;
};

EntityClass::EntityClass() : m_impl(new impl(*this)) {}

EntityClass::~EntityClass() = default;

aErr EntityClass::init(Module* module, uint8_t command, uint8_t index) {
  if (index > ueiMaxIndex) {
    m_impl->module = nullptr;
    m_impl->command = 0;
    m_impl->index = 0;
    return aErrParam;
  }
  m_impl->module = module;
  m_impl->command = command;
  m_impl->index = index;
  return aErrNone;
}

uint8_t EntityClass::getIndex() const { return m_impl->index; }

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* pattern, uint8_t* length, uint8_t* data) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->receivePacket(m_impl->module->getModuleAddress(), pattern, length, data);
}

aErr EntityClass::getUEI(uint8_t option, uei* record) {
  if (record == nullptr) return aErrParam;
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  const uint8_t address = m_impl->module->getModuleAddress();
  const uint8_t command = m_impl->command;
  const uint8_t index = m_impl->index;

  const uint8_t subindex = record->type == ueiTypeU8 ? record->value.byteVal : 0;
  uint32_t cached = 0;
  const aErr cache = link->getStreamValue(address, command, option, index, subindex, &cached);
  if (cache != aErrNotFound) {
    if (Delivered(cache)) {
      record->value.intVal = cached;
      record->type = ueiTypeU32;
    }
    return cache;
  }

  record->module = address;
  record->command = command;
  record->option = static_cast<uint8_t>(option | ueiOptionGet);
  record->specifier = static_cast<uint8_t>(index | ueiSpecifierRequest);
  // A late or duplicated reply to an earlier get of this option must not answer this one.
  link->dropMatchingUEIPackets(address, command, option, index);
  const aErr sent = link->sendUEI(*record);
  if (sent != aErrNone) return sent;

  record->option = option;
  record->specifier = index;
  const aErr received = link->receiveUEI(address, command, option, index, record);
  if (received != aErrNone) return received;
  return IsErrorReply(*record) ? ErrorCode(*record) : aErrNone;
}

aErr EntityClass::impl::set(uint8_t option, uei* record, const uint8_t* subindex) {
  if (record == nullptr) return aErrParam;
  Link* bound = link();
  if (bound == nullptr) return aErrResource;
  const uint8_t address = module->getModuleAddress();
  const uint8_t ack = static_cast<uint8_t>(option | ueiOptionAck);

  record->module = address;
  record->command = command;
  record->option = static_cast<uint8_t>(option | ueiOptionSet);
  record->specifier = static_cast<uint8_t>(index | ueiSpecifierRequest);
  bound->dropMatchingUEIPackets(address, command, ack, index);
  const aErr sent =
      subindex != nullptr ? bound->sendUEI(*record, *subindex) : bound->sendUEI(*record);
  if (sent != aErrNone) return sent;

  // The wait starts once the last chunk is queued; its length follows the record's.
  record->option = ack;
  record->specifier = index;
  const aErr received = bound->receiveUEI(address, command, ack, index, record);
  if (received != aErrNone) return received;
  return IsErrorReply(*record) ? ErrorCode(*record) : aErrNone;
}

aErr EntityClass::setUEI(uint8_t option, uei* record) {
  return m_impl->set(option, record, nullptr);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record) {
  return m_impl->set(option, record, &subindex);
}

aErr EntityClass::callUEI(uint8_t option) {
  uei record = Blank(ueiTypeNone);
  return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
  uei record = Blank(ueiTypeU8);
  record.value.byteVal = value;
  return setUEI(option, &record);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
  uei record = Blank(ueiTypeU8);
  record.value.byteVal = value;
  return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
  uei record = Blank(ueiTypeU16);
  record.value.shortVal = value;
  return setUEI(option, &record);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
  uei record = Blank(ueiTypeU16);
  record.value.shortVal = value;
  return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
  uei record = Blank(ueiTypeU32);
  record.value.intVal = value;
  return setUEI(option, &record);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
  uei record = Blank(ueiTypeU32);
  record.value.intVal = value;
  return setUEI(option, subindex, &record);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
  if (data == nullptr && length > 0) return aErrParam;
  uei record = Blank(ueiTypeBytes);
  // The record's pointer serves sending and receiving; a send only reads through it.
  record.value.bytes = const_cast<uint8_t*>(data);
  record.length = length;
  return setUEI(option, &record);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  uei record = Blank(ueiTypeNone);
  const aErr result = getUEI(option, &record);
  if (Delivered(result)) *out = static_cast<uint8_t>(NumericValue(record));
  return result;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* out) {
  if (out == nullptr) return aErrParam;
  uei record = Blank(ueiTypeU8);
  record.value.byteVal = subindex;
  const aErr result = getUEI(option, &record);
  if (Delivered(result)) *out = static_cast<uint8_t>(NumericValue(record));
  return result;
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* out) {
  if (out == nullptr) return aErrParam;
  uei record = Blank(ueiTypeNone);
  const aErr result = getUEI(option, &record);
  if (Delivered(result)) *out = static_cast<uint16_t>(NumericValue(record));
  return result;
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* out) {
  if (out == nullptr) return aErrParam;
  uei record = Blank(ueiTypeU8);
  record.value.byteVal = subindex;
  const aErr result = getUEI(option, &record);
  if (Delivered(result)) *out = static_cast<uint16_t>(NumericValue(record));
  return result;
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* out) {
  if (out == nullptr) return aErrParam;
  uei record = Blank(ueiTypeNone);
  const aErr result = getUEI(option, &record);
  if (Delivered(result)) *out = NumericValue(record);
  return result;
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* out) {
  if (out == nullptr) return aErrParam;
  uei record = Blank(ueiTypeU8);
  record.value.byteVal = subindex;
  const aErr result = getUEI(option, &record);
  if (Delivered(result)) *out = NumericValue(record);
  return result;
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count) {
  if (buffer == nullptr || count == nullptr || capacity == 0) return aErrParam;
  *count = 0;
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  const uint8_t address = m_impl->module->getModuleAddress();
  const uint8_t command = m_impl->command;
  const uint8_t index = m_impl->index;

  // Chunks left over from an earlier transfer of this option would be taken as this one's.
  link->dropMatchingUEIPackets(address, command, option, index);
  uei request = Blank(ueiTypeNone);
  request.module = address;
  request.command = command;
  request.option = static_cast<uint8_t>(option | ueiOptionGet);
  request.specifier = static_cast<uint8_t>(index | ueiSpecifierRequest);
  const aErr sent = link->sendUEI(request);
  if (sent != aErrNone) return sent;

  uei record = Blank(ueiTypeNone);
  record.module = address;
  record.command = command;
  record.option = option;
  record.specifier = index;
  record.sequence = 0;
  record.continued = 0;
  record.length = capacity;
  record.value.bytes = buffer;
  record.received = count;

  aErr result = aErrNone;
  for (;;) {
    result = link->receiveUEI(address, command, option, index, &record, sUEIBytesFilter);
    if (result != aErrNone) break;
    if (IsErrorReply(record)) {
      result = ErrorCode(record);
      break;
    }
    if (record.continued == 0) break;
    record.sequence = static_cast<uint8_t>((record.sequence + 1) & ueiSequenceMask);
  }
  // The rest of a failed transfer must not answer the next one.
  if (result != aErrNone) link->dropMatchingUEIPackets(address, command, option, index);
  return result;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit) {
  if (count == nullptr || unit == 0) return aErrParam;
  if (*count % unit != 0) return aErrMemory;
  *count /= unit;
  return aErrNone;
}

uint8_t EntityClass::getUEIBytesSequence(const aPacket* packet) {
  return aUEI_getBytesSequence(packet);
}

bool EntityClass::getUEIBytesContinue(const aPacket* packet) {
  return aUEI_getBytesContinue(packet);
}

uint8_t EntityClass::sUEIBytesFilter(const aPacket* packet, const void* reference) {
  auto* record = static_cast<uei*>(const_cast<void*>(reference));
  if (!ueiReplyMatches(packet, record)) return 0;
  const uint8_t* data = packet->data;
  const uint8_t size = packet->dataSize;
  if ((data[2] & ueiSpecifierError) != 0) {
    record->specifier = data[2];
    record->value.byteVal = size > 3 && data[3] != 0 ? data[3] : static_cast<uint8_t>(aErrUnknown);
    return 1;
  }
  if (size < 4) {
    // Shorter than a chunk's header and trailer: no string bytes can be taken from it.
    record->specifier = static_cast<uint8_t>(record->specifier | ueiSpecifierError);
    record->value.byteVal = aErrPacket;
    return 1;
  }
  const uint8_t trailer = data[size - 1];
  if ((trailer & ueiSequenceMask) != record->sequence) return 0;  // stays queued
  if (record->received == nullptr) return 0;
  const size_t n = static_cast<size_t>(size - 4);
  if (record->length < *record->received + n) {
    record->specifier = static_cast<uint8_t>(record->specifier | ueiSpecifierError);
    record->value.byteVal = aErrMemory;
    return 1;
  }
  if (n > 0) std::memcpy(record->value.bytes, data + 3, n);
  record->value.bytes += n;
  *record->received += n;
  record->sequence = static_cast<uint8_t>(trailer & ueiSequenceMask);
  record->continued = (trailer & ueiChunkMore) != 0 ? 1 : 0;
  return 1;
}

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* out, uint32_t /*reserved*/) {
  if (out == nullptr) return aErrParam;
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  uei record = Blank(ueiTypeNone);
  record.module = m_impl->module->getModuleAddress();
  record.command = m_impl->command;
  record.option = static_cast<uint8_t>(option);
  record.specifier = m_impl->index;
  const aErr received =
      link->receiveUEI(record.module, record.command, record.option, record.specifier, &record);
  if (received != aErrNone) return received;
  if (IsErrorReply(record)) return ErrorCode(record);
  *out = NumericValue(record);
  return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->command, option,
                                      m_impl->index);
}

namespace {

constexpr uint8_t kAnyField = 0xFF;  // a stream field that means any value

}  // namespace

aErr EntityClass::setStreamEnabled(uint8_t enable) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->enableStream(m_impl->module->getModuleAddress(), m_impl->command, kAnyField,
                            m_impl->index, enable != 0);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, Link::streamCallback callback,
                                         void* reference) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->registerStreamCallback(m_impl->module->getModuleAddress(), m_impl->command, option,
                                      m_impl->index, enable, std::move(callback), reference);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* rows, size_t capacity, size_t* count) {
  Link* link = m_impl->link();
  if (link == nullptr) return aErrResource;
  return link->getStreamStatus(m_impl->module->getModuleAddress(), m_impl->command, kAnyField,
                               m_impl->index, kAnyField, rows, capacity, count);
}

namespace {

aErr StoreRequest(Module* module, uint8_t command, uint8_t index, uint8_t storeOption) {
  EntityClass store;
  store.init(module, kStoreCommand, kStoreIndex);
  return store.setUEI32(storeOption, static_cast<uint32_t>(index) | static_cast<uint32_t>(command)
                                                                        << kStoreCommandShift);
}

}  // namespace

aErr EntityClass::saveEntityToStore() {
  if (m_impl->link() == nullptr) return aErrResource;
  return StoreRequest(m_impl->module, m_impl->command, m_impl->index, kStoreSave);
}

aErr EntityClass::resetEntityToFactoryDefaults() {
  if (m_impl->link() == nullptr) return aErrResource;
  return StoreRequest(m_impl->module, m_impl->command, m_impl->index, kStoreFactoryReset);
}

aErr EntityClass::loadEntityFromStore() {
  if (m_impl->link() == nullptr) return aErrResource;
  return StoreRequest(m_impl->module, m_impl->command, m_impl->index, kStoreLoad);
}

}  // namespace Kolvantis
}  // namespace Zentrova
