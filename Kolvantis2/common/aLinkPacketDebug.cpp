// Per-link packet-debug operations: a link's packet log reached by link ID, every
// access under the link's log mutex.
#include <memory>

#include "aLinkTable.h"
#include "aPacketLog.h"

namespace {

// Holds the link's log mutex for a scope. A record without one was never initialised (its
// link is being made or could not be made): nothing is locked and the caller answers as for
// a link without a log.
class LogLock {
 public:
  explicit LogLock(aLink* link)
      : mutex_(link->logMutex), held_(mutex_ != nullptr && aMutex_Lock(mutex_) == aErrNone) {}
  ~LogLock() {
    if (held_) aMutex_Unlock(mutex_);
  }
  LogLock(const LogLock&) = delete;
  LogLock& operator=(const LogLock&) = delete;
  bool held() const { return held_; }

 private:
  aMutex* mutex_;
  bool held_;
};

// The link's log while the lock is held; null when it has none.
aPacketLog* sLog(aLink* link, const LogLock& lock) {
  return lock.held() ? link->packetLog.load(std::memory_order_relaxed) : nullptr;
}

}  // namespace

aErr aLink_PacketDebug_SetLogSize(uint32_t linkId, uint32_t size) {
  std::shared_ptr<aLink> link = sGetLink(linkId);
  if (!link) return aErrParam;
  const int32_t requested = static_cast<int32_t>(size);
  if (requested > static_cast<int32_t>(aPACKETLOG_MAXSIZE)) return aErrParam;
  LogLock lock(link.get());
  if (!lock.held()) return aErrResource;
  if (sLog(link.get(), lock) != nullptr) return aErrBusy;
  link->logSize = requested < 0 ? 0u : static_cast<uint32_t>(requested);
  return aErrNone;
}

aErr aLink_PacketDebug_Enable(uint32_t linkId) {
  std::shared_ptr<aLink> link = sGetLink(linkId);
  if (!link) return aErrParam;
  LogLock lock(link.get());
  if (!lock.held() || link->logRetired) return aErrResource;
  aPacketLog* log = sLog(link.get(), lock);
  if (log == nullptr) {
    log = aPacketLog_Create(link->logSize != 0 ? link->logSize : aPACKETLOG_DEFAULTSIZE);
    if (log == nullptr) return aErrResource;
    link->packetLog.store(log, std::memory_order_release);
  }
  log->enabled.store(1);
  return aErrNone;
}

aErr aLink_PacketDebug_Disable(uint32_t linkId) {
  std::shared_ptr<aLink> link = sGetLink(linkId);
  if (!link) return aErrParam;
  LogLock lock(link.get());
  aPacketLog* log = sLog(link.get(), lock);
  if (log == nullptr) return aErrNotReady;
  log->enabled.store(0);
  return aErrNone;
}

aErr aLink_PacketDebug_Read(uint32_t linkId, uint32_t* type, uint32_t* length, uint8_t* buffer) {
  std::shared_ptr<aLink> link = sGetLink(linkId);
  if (!link) return aErrParam;
  LogLock lock(link.get());
  aPacketLog* log = sLog(link.get(), lock);
  if (log == nullptr) return aErrNotReady;
  return aPacketLog_Get(log, type, length, buffer);
}

aErr aLink_PacketDebug_Write(uint32_t linkId, uint8_t type, uint32_t length, const uint8_t* bytes) {
  std::shared_ptr<aLink> link = sGetLink(linkId);
  if (!link) return aErrParam;
  LogLock lock(link.get());
  aPacketLog* log = sLog(link.get(), lock);
  if (log == nullptr) return aErrNotReady;
  return aPacketLog_Put(log, type, length, bytes);
}
