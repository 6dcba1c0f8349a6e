// Link: store slots (command 4) and factory data (command 0x5E).
//
// Every step is one request to the module and one wait for its reply, taken only from that
// module's address; replies of the same command still queued from an abandoned step are
// drained before each request, so they can never answer a later one.
#include <cstring>

#include "aLink.h"
#include "aPacket.h"
#include "LinkImpl.h"

namespace Zentrova {
namespace Kolvantis {

namespace {

// --- store slots ---------------------------------------------------------------------------
constexpr uint8_t kSlotCommand = 4;
constexpr uint8_t kStepCapacity = 1;
constexpr uint8_t kStepSize = 2;
constexpr uint8_t kStepOpenRead = 3;
constexpr uint8_t kStepOpenWrite = 4;
constexpr uint8_t kStepRead = 6;
constexpr uint8_t kStepWrite = 7;
constexpr uint8_t kStepClose = 8;
constexpr uint8_t kLastSlotStep = kStepOpenWrite;  // steps up to here name store and slot
constexpr uint8_t kReplyErrorBit = 0x80;           // in byte 1 of an error reply
constexpr uint8_t kNoHandle = 255;
constexpr size_t kSlotChunkBytes = 25;          // data bytes per write request
constexpr size_t kSlotValueReplyLength = 6;     // [4][step][store][slot][high][low]
constexpr size_t kSlotHandleReplyLength = 4;    // [4][step][handle][byte]
constexpr size_t kSlotHandleHeader = 3;         // [4][step][handle] ahead of data or a code
constexpr size_t kSlotCodeIndex = 4;            // code of an error reply to steps 1 to 4
constexpr uint64_t kSlotReplyTimeoutMs = 1000;  // ms for a reply to a slot request
constexpr uint64_t kSlotOpenTimeoutMs = 3000;   // ms for the reply to an open

// --- factory data --------------------------------------------------------------------------
constexpr uint8_t kFactoryCommand = 0x5E;
constexpr uint8_t COMMAND_OVERHEAD = 2;  // command and option bytes ahead of the data
// Data bytes per piece: 26.
constexpr size_t kFactoryChunkBytes = aPACKETMAXDATA - COMMAND_OVERHEAD;
constexpr uint8_t kKindMask = 0x0F;  // kinds 0 to 15
constexpr uint8_t kFactoryReadFirst = 0x40;
constexpr uint8_t kFactoryWriteFirst = 0x50;
constexpr uint8_t kFactoryWriteNext = 0x10;
constexpr uint8_t kFactoryEnd = 0x20;              // end of transfer, with the count
constexpr uint8_t kFactoryAckLength = 2;           // [0x5E][kind]
constexpr size_t kFactoryCodeIndex = 2;            // [0x5E][option | 0x80][code]
constexpr uint64_t kFactoryReplyTimeoutMs = 1000;  // ms for a reply to a factory request

bool IsModuleAddress(uint8_t module) { return module != 0 && (module & 1u) == 0; }

// The module's error code at index of an error reply; aErrUnknown when the reply is too short
// to hold it or holds 0, so an error reply never reads as success.
aErr ReplyCode(const aPacket* reply, size_t index) {
  if (reply->dataSize <= index || reply->data[index] == 0) return aErrUnknown;
  return static_cast<aErr>(reply->data[index]);
}

bool IsErrorReply(const aPacket* reply) { return (reply->data[1] & kReplyErrorBit) != 0; }

// The request a reply filter was given (Request names its module), when packet is a packet of
// valid size from that module; null otherwise.
template <typename Request>
const Request* RequestOfReplyFrom(const aPacket* packet, const void* reference) {
  if (packet == nullptr || reference == nullptr) return nullptr;
  const auto* request = static_cast<const Request*>(reference);
  if (packet->address != request->module || packet->dataSize > aPACKETMAXDATA) return nullptr;
  return request;
}

// What a slot request asked, for sSlotFilter.
struct SlotRequest {
  uint8_t module;
  uint8_t step;
  uint8_t store;
  uint8_t slot;
  uint8_t handle;
};

// Selects the reply to a slot request from its module: byte 0 the command, byte 1 the step or
// the step with the error bit, then the store and slot (open, capacity and size) or the
// handle (read, write and close). A handle step's reply of only three bytes is taken too, so
// that a reply cut short is answered at once instead of waiting out the time-out.
uint8_t sSlotFilter(const aPacket* packet, const void* reference) {
  const auto* request = RequestOfReplyFrom<SlotRequest>(packet, reference);
  if (request == nullptr) return 0;
  const uint8_t* data = packet->data;
  if (packet->dataSize < 3 || data[0] != kSlotCommand) return 0;
  if (data[1] != request->step && data[1] != (request->step | kReplyErrorBit)) return 0;
  if (request->step <= kLastSlotStep) {
    return packet->dataSize > 3 && data[2] == request->store && data[3] == request->slot ? 1 : 0;
  }
  return data[2] == request->handle ? 1 : 0;
}

// What a factory request asked, for sFactoryFilter.
struct FactoryRequest {
  uint8_t module;
  uint8_t option;
};

// Selects the reply to a factory request from its module: byte 1 the request's option AND
// 0x0F, or that with the error bit.
uint8_t sFactoryFilter(const aPacket* packet, const void* reference) {
  const auto* request = RequestOfReplyFrom<FactoryRequest>(packet, reference);
  if (request == nullptr) return 0;
  if (packet->dataSize < 2 || packet->data[0] != kFactoryCommand) return 0;
  const uint8_t option = static_cast<uint8_t>(request->option & kKindMask);
  return packet->data[1] == option || packet->data[1] == (option | kReplyErrorBit) ? 1 : 0;
}

uint8_t Sum8(const uint8_t* bytes, size_t count) {
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return sum;
}

// One step: drains stale replies of the command from the module, puts the request and waits
// for the reply the filter selects. *reply is the packet taken (the caller frees it); the
// result is aErrResource when the request cannot be made, the put's error, or aErrTimeout.
aErr Exchange(Link& link, Link::impl& state, uint8_t module, const uint8_t* request, uint8_t length,
              aPacketFilter filter, const void* reference, uint64_t timeoutMs, aPacket** reply) {
  *reply = nullptr;
  link.dropMatchingPackets(module, request, 1);
  aPacket* packet = aPacket_CreateWithData(module, length, request);
  if (packet == nullptr) return aErrResource;
  const aErr put = state.putBounded(packet);
  aPacket_Destroy(&packet);
  if (put != aErrNone) return put;
  *reply = aLink_AwaitFirst(state.linkId, filter, reference, timeoutMs);
  return *reply != nullptr ? aErrNone : aErrTimeout;
}

aErr SlotExchange(Link& link, Link::impl& state, const SlotRequest& request, const uint8_t* bytes,
                  uint8_t length, uint64_t timeoutMs, aPacket** reply) {
  return Exchange(link, state, request.module, bytes, length, sSlotFilter, &request, timeoutMs,
                  reply);
}

aErr FactoryExchange(Link& link, Link::impl& state, const FactoryRequest& request,
                     const uint8_t* bytes, uint8_t length, aPacket** reply) {
  return Exchange(link, state, request.module, bytes, length, sFactoryFilter, &request,
                  kFactoryReplyTimeoutMs, reply);
}

// Checks shared by the slot and factory requests, in this order, before anything is sent.
aErr CheckRequest(Link::impl& state, bool argumentsGiven, uint8_t module) {
  if (!argumentsGiven) return aErrParam;
  if (!state.connected()) return aErrConnection;
  if (!IsModuleAddress(module)) return aErrPacket;
  return aErrNone;
}

// Capacity or size of a slot: [4][step][store][slot] answered with the value big-endian in
// bytes 4 and 5.
aErr SlotQuery(Link& link, Link::impl& state, uint8_t step, uint8_t module, uint8_t store,
               uint8_t slot, size_t* out) {
  const aErr checked = CheckRequest(state, out != nullptr, module);
  if (checked != aErrNone) return checked;
  const SlotRequest request{module, step, store, slot, kNoHandle};
  const uint8_t bytes[] = {kSlotCommand, step, store, slot};
  aPacket* reply = nullptr;
  aErr result =
      SlotExchange(link, state, request, bytes, sizeof bytes, kSlotReplyTimeoutMs, &reply);
  if (result != aErrNone) return result;
  if (IsErrorReply(reply)) {
    result = ReplyCode(reply, kSlotCodeIndex);
  } else if (reply->dataSize == kSlotValueReplyLength) {
    *out = static_cast<size_t>(reply->data[4]) << 8 | reply->data[5];
  } else {
    result = aErrUnknown;
  }
  aPacket_Destroy(&reply);
  return result;
}

// Opens a slot for reading (step 3) or writing (step 4); the module's handle, or kNoHandle
// when there is none (no reply, an error reply, a reply without its handle byte, a failed
// request).
uint8_t sOpenSlot(Link& link, Link::impl& state, uint8_t module, uint8_t store, uint8_t slot,
                  uint8_t step) {
  const SlotRequest request{module, step, store, slot, kNoHandle};
  const uint8_t bytes[] = {kSlotCommand, step, store, slot};
  aPacket* reply = nullptr;
  if (SlotExchange(link, state, request, bytes, sizeof bytes, kSlotOpenTimeoutMs, &reply) !=
      aErrNone) {
    return kNoHandle;
  }
  uint8_t handle = kNoHandle;
  if (!IsErrorReply(reply) && reply->dataSize > 4) handle = reply->data[4];
  aPacket_Destroy(&reply);
  return handle;
}

// Closes a handle: aErrTimeout without a reply, the module's code for an error reply, aErrIO
// for a reply of any length but 4.
aErr sCloseSlot(Link& link, Link::impl& state, uint8_t module, uint8_t handle) {
  const SlotRequest request{module, kStepClose, 0, 0, handle};
  const uint8_t bytes[] = {kSlotCommand, kStepClose, handle};
  aPacket* reply = nullptr;
  aErr result =
      SlotExchange(link, state, request, bytes, sizeof bytes, kSlotReplyTimeoutMs, &reply);
  if (result != aErrNone) return result;
  if (IsErrorReply(reply)) {
    result = ReplyCode(reply, kSlotHandleHeader);
  } else if (reply->dataSize != kSlotHandleReplyLength) {
    result = aErrIO;
  }
  aPacket_Destroy(&reply);
  return result;
}

// End of a factory transfer, [0x5E][0x20][count high][count low] with the low 16 bits of the
// count moved: an answer with the error bit is an error whatever its length.
aErr sEndFactoryTransfer(Link& link, Link::impl& state, uint8_t module, size_t moved) {
  const FactoryRequest request{module, kFactoryEnd};
  const uint8_t bytes[] = {kFactoryCommand, kFactoryEnd, static_cast<uint8_t>(moved >> 8 & 0xFF),
                           static_cast<uint8_t>(moved & 0xFF)};
  aPacket* reply = nullptr;
  aErr result = FactoryExchange(link, state, request, bytes, sizeof bytes, &reply);
  if (result != aErrNone) return result;
  if (IsErrorReply(reply)) result = ReplyCode(reply, kFactoryCodeIndex);
  aPacket_Destroy(&reply);
  return result;
}

}  // namespace

aErr Link::storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity) {
  return SlotQuery(*this, *m_impl, kStepCapacity, module, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size) {
  return SlotQuery(*this, *m_impl, kStepSize, module, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                         size_t length) {
  impl& state = *m_impl;
  const aErr checked = CheckRequest(state, data != nullptr, module);
  if (checked != aErrNone) return checked;
  const uint8_t handle = sOpenSlot(*this, state, module, store, slot, kStepOpenWrite);
  if (handle == kNoHandle) return aErrMedia;

  aErr result = aErrNone;
  const SlotRequest request{module, kStepWrite, store, slot, handle};
  for (size_t sent = 0; result == aErrNone && sent < length;) {
    const size_t left = length - sent;
    const size_t chunk = left < kSlotChunkBytes ? left : kSlotChunkBytes;
    uint8_t bytes[kSlotHandleHeader + kSlotChunkBytes] = {kSlotCommand, kStepWrite, handle};
    std::memcpy(bytes + kSlotHandleHeader, data + sent, chunk);
    aPacket* reply = nullptr;
    result =
        SlotExchange(*this, state, request, bytes, static_cast<uint8_t>(kSlotHandleHeader + chunk),
                     kSlotReplyTimeoutMs, &reply);
    if (result != aErrNone) break;
    if (IsErrorReply(reply)) {
      result = ReplyCode(reply, kSlotHandleHeader);
    } else if (reply->dataSize <= kSlotHandleHeader ||
               reply->data[kSlotHandleHeader] != Sum8(data + sent, chunk)) {
      // The module's sum of what it wrote is the only proof the chunk arrived whole.
      result = aErrIO;
    }
    aPacket_Destroy(&reply);
    sent += chunk;
  }
  // The slot is closed whatever the writes gave; without an answer to the close the slot may
  // not be committed, so that is a time-out too.
  const aErr closed = sCloseSlot(*this, state, module, handle);
  return result != aErrNone ? result : closed;
}

aErr Link::unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                           size_t capacity, size_t* count) {
  impl& state = *m_impl;
  const aErr checked = CheckRequest(state, buffer != nullptr && count != nullptr, module);
  if (checked != aErrNone) return checked;
  *count = 0;
  size_t size = 0;
  aErr result = storeSlotSize(module, store, slot, &size);
  if (result != aErrNone) return result;
  const uint8_t handle = sOpenSlot(*this, state, module, store, slot, kStepOpenRead);
  if (handle == kNoHandle) return aErrMedia;

  const size_t wanted = capacity < size ? capacity : size;
  const SlotRequest request{module, kStepRead, store, slot, handle};
  const uint8_t bytes[] = {kSlotCommand, kStepRead, handle};
  size_t copied = 0;
  while (result == aErrNone && copied < wanted) {
    aPacket* reply = nullptr;
    result = SlotExchange(*this, state, request, bytes, sizeof bytes, kSlotReplyTimeoutMs, &reply);
    if (result != aErrNone) break;
    if (reply->dataSize <= kSlotHandleHeader) {
      result = aErrUnknown;
    } else if (IsErrorReply(reply)) {
      result = ReplyCode(reply, kSlotHandleHeader);
    } else {
      size_t n = reply->dataSize - kSlotHandleHeader;
      if (n > wanted - copied) n = wanted - copied;
      std::memcpy(buffer + copied, reply->data + kSlotHandleHeader, n);
      copied += n;
    }
    aPacket_Destroy(&reply);
  }
  // The bytes read stand when only the close goes unanswered; a refused close does not.
  const aErr closed = sCloseSlot(*this, state, module, handle);
  if (result == aErrNone && closed != aErrTimeout) result = closed;
  if (result != aErrNone) return result;
  *count = wanted;
  return capacity < size ? aErrOverrun : aErrNone;
}

aErr Link::getFactoryData(uint8_t module, uint8_t kind, uint8_t* buffer, size_t capacity,
                          size_t* count) {
  impl& state = *m_impl;
  // A kind above 15 would set option bits of other requests (0x50 is a write).
  const aErr checked =
      CheckRequest(state, buffer != nullptr && count != nullptr && kind <= kKindMask, module);
  if (checked != aErrNone) return checked;
  *count = 0;

  aErr result = aErrNone;
  size_t received = 0;
  bool more = true;
  for (bool first = true; result == aErrNone && more; first = false) {
    const FactoryRequest request{module,
                                 first ? static_cast<uint8_t>(kind | kFactoryReadFirst) : kind};
    const uint8_t bytes[] = {kFactoryCommand, request.option};
    aPacket* reply = nullptr;
    result = FactoryExchange(*this, state, request, bytes, sizeof bytes, &reply);
    if (result != aErrNone) break;
    // sFactoryFilter takes no reply shorter than the command and option bytes.
    const size_t pieceLength = reply->dataSize - COMMAND_OVERHEAD;
    if (IsErrorReply(reply)) {
      result = ReplyCode(reply, kFactoryCodeIndex);
    } else if (received + pieceLength >= capacity) {
      // The buffer must hold at least one byte more than the data.
      result = aErrOverrun;
    } else {
      std::memcpy(buffer + received, reply->data + COMMAND_OVERHEAD, pieceLength);
      received += pieceLength;
      more = reply->dataSize == aPACKETMAXDATA;
    }
    aPacket_Destroy(&reply);
  }
  if (result != aErrNone) return result;
  result = sEndFactoryTransfer(*this, state, module, received);
  if (result == aErrNone) *count = received;
  return result;
}

aErr Link::setFactoryData(uint8_t module, uint8_t kind, const uint8_t* data, size_t length) {
  impl& state = *m_impl;
  const aErr checked = CheckRequest(state, data != nullptr && kind <= kKindMask, module);
  if (checked != aErrNone) return checked;

  aErr result = aErrNone;
  size_t sent = 0;
  for (bool first = true; result == aErrNone && sent < length; first = false) {
    const size_t left = length - sent;
    const size_t chunk = left < kFactoryChunkBytes ? left : kFactoryChunkBytes;
    const FactoryRequest request{
        module, static_cast<uint8_t>(kind | (first ? kFactoryWriteFirst : kFactoryWriteNext))};
    uint8_t bytes[aPACKETMAXDATA] = {kFactoryCommand, request.option};
    std::memcpy(bytes + COMMAND_OVERHEAD, data + sent, chunk);
    aPacket* reply = nullptr;
    result = FactoryExchange(*this, state, request, bytes,
                             static_cast<uint8_t>(chunk + COMMAND_OVERHEAD), &reply);
    if (result != aErrNone) break;
    if (IsErrorReply(reply)) {
      result = ReplyCode(reply, kFactoryCodeIndex);
    } else if (reply->dataSize != kFactoryAckLength) {
      result = aErrSize;
    }
    aPacket_Destroy(&reply);
    sent += chunk;
  }
  if (result != aErrNone) return result;
  return sEndFactoryTransfer(*this, state, module, sent);
}

}  // namespace Kolvantis
}  // namespace Zentrova
