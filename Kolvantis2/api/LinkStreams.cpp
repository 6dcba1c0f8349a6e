// Link: stream registration and delivery.
#include "LinkImpl.h"

namespace Zentrova {
namespace Kolvantis {

void Link::impl::stopStreams() {}

aErr Link::getStreamValue(uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint32_t* value) {
  if (value == nullptr) return aErrParam;
  return aErrNotFound;  // nothing is cached while no streams are registered
}

}  // namespace Kolvantis
}  // namespace Zentrova
