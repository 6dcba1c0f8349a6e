// EntityClass: the base of all entity classes. It binds a Module, a command (entity class) and
// an entity index, and offers typed UEI gets and sets, byte strings, raw command packets and
// the module's entity store.
//
// Every operation that reaches the module answers aErrResource while the entity has no module
// (or the module no Link); requests go to the Module's current address. A module's error reply
// is handed back as the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Module.h"
#include "aError.h"
#include "aPacket.h"
#include "uei.h"

namespace Zentrova {
namespace Kolvantis {

class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  // Binds the entity; an index above 31 (no specifier can carry it) is refused with aErrParam
  // and leaves the entity unbound.
  aErr init(Module* module, uint8_t command, uint8_t index);
  uint8_t getIndex() const;

  // Raw command packets to and from the bound module.
  aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(const uint8_t* pattern, uint8_t* length, uint8_t* data);

  aErr getUEI(uint8_t option, uei* record);
  aErr setUEI(uint8_t option, uei* record);
  aErr setUEI(uint8_t option, uint8_t subindex, uei* record);
  // A set without a value: a command of the module.
  aErr callUEI(uint8_t option);

  aErr setUEI8(uint8_t option, uint8_t value);
  aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  aErr setUEI16(uint8_t option, uint16_t value);
  aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  aErr setUEI32(uint8_t option, uint32_t value);
  aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
  aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

  // Getters leave out untouched unless the result is 0 or aErrStreamStale.
  aErr getUEI8(uint8_t option, uint8_t* out);
  aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* out);
  aErr getUEI16(uint8_t option, uint16_t* out);
  aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* out);
  aErr getUEI32(uint8_t option, uint32_t* out);
  aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* out);

  // Byte-string get into buffer; *count holds the bytes taken, also on failure.
  aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
  // Turns a byte count into a count of units; aErrMemory when it is not a whole number.
  aErr getUEIBytesCheck(size_t* count, size_t unit);
  static uint8_t getUEIBytesSequence(const aPacket* packet);
  static bool getUEIBytesContinue(const aPacket* packet);
  // Chunk filter of getUEIBytes (the reference is its uei record).
  static uint8_t sUEIBytesFilter(const aPacket* packet, const void* record);

  // Waits (1000 ms) for a UEI packet of the option that the module sends unasked; nothing is
  // sent. The third argument has no effect on the wait.
  aErr awaitUEI32Val(uint32_t option, uint32_t* out, uint32_t reserved);
  // Drops queued replies of the option.
  aErr drainUEI(uint8_t option);

  // Streams of the entity; each answers aErrResource without a module or a Link.
  // Has the module stream every option of the entity (enable nonzero), or stop them.
  aErr setStreamEnabled(uint8_t enable);
  // Registers (or unregisters) a callback for one option (0xFF: any) of the entity.
  aErr registerOptionCallback(uint8_t option, bool enable, Link::streamCallback callback,
                              void* reference);
  // The cached stream values of every option of the entity, as Link::getStreamStatus.
  aErr getStreamStatus(Link::StreamStatusEntry* rows, size_t capacity, size_t* count);

  // The module's entity store (command 92) for this entity.
  aErr saveEntityToStore();
  aErr resetEntityToFactoryDefaults();
  aErr loadEntityFromStore();

  class impl;

 private:
  std::unique_ptr<impl> m_impl;
};

}  // namespace Kolvantis
}  // namespace Zentrova
