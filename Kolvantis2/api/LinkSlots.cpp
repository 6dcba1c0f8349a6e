// Link: store slots (command 4) and factory data (command 0x5E).
#include "LinkImpl.h"

namespace Zentrova {
namespace Kolvantis {

aErr Link::storeSlotCapacity(uint8_t, uint8_t, uint8_t, size_t*) { return aErrUnimplemented; }
aErr Link::storeSlotSize(uint8_t, uint8_t, uint8_t, size_t*) { return aErrUnimplemented; }
aErr Link::loadStoreSlot(uint8_t, uint8_t, uint8_t, const uint8_t*, size_t) {
  return aErrUnimplemented;
}
aErr Link::unloadStoreSlot(uint8_t, uint8_t, uint8_t, uint8_t*, size_t, size_t*) {
  return aErrUnimplemented;
}
aErr Link::getFactoryData(uint8_t, uint8_t, uint8_t*, size_t, size_t*) {
  return aErrUnimplemented;
}
aErr Link::setFactoryData(uint8_t, uint8_t, const uint8_t*, size_t) { return aErrUnimplemented; }

}  // namespace Kolvantis
}  // namespace Zentrova
