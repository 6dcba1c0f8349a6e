// Link: the packet log, copied from the core link's log into a text file by a logger thread.
#include "LinkImpl.h"

namespace Zentrova {
namespace Kolvantis {

void Link::impl::stopPacketLog() {}
void Link::impl::readDebugBuffer(aFile*, uint32_t) {}

aErr Link::enablePacketLog(const char*) { return aErrUnimplemented; }
aErr Link::disablePacketLog() { return aErrUnimplemented; }

}  // namespace Kolvantis
}  // namespace Zentrova
