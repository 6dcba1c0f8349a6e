// Guard of CZMQ's process-wide beacon interface setting: one lock around setting it and
// configuring a beacon, a saved copy for discovery's restore, and the register of live beacons
// that keeps the setting to one interface while any beacon lives.
#include "aBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <cstring>
#include <mutex>
#include <string>

#include "aDebug.h"
#include "aMutex.h"
#include "aZSys.h"

namespace {

constexpr size_t kBackupCapacity = 100;  // characters reserved for the saved setting

#define BTRACE(...) aTRACE(aDEBUG_BEACON, __VA_ARGS__)

// Process-wide and never freed: beacons of other threads may still use them at exit.
aMutex* InterfaceLock() {
  static aMutex* const lock = aMutex_Create("_interfaceLock");
  return lock;
}

std::string& BackupInterface() {
  static std::string* const backup = new std::string;
  return *backup;
}

// The beacons that live and the interface text they were made on.
struct LiveBeacons {
  std::mutex lock;
  unsigned count = 0;
  std::string networkInterface;
};

LiveBeacons& Live() {
  static LiveBeacons* const live = new LiveBeacons;
  return *live;
}

bool IsValidIpAddress(const char* text) {
  in_addr address{};
  return inet_pton(AF_INET, text, &address) == 1;
}

bool IsValidBeaconConfig(const char* text) {
  return text != nullptr && (text[0] == '\0' || strcmp(text, "*") == 0 || IsValidIpAddress(text));
}

void Lock(const char* function) {
  BTRACE("%s PRE-LOCK\n", function);
  aMutex_Lock(InterfaceLock());
  BTRACE("%s LOCKED\n", function);
}

// CZMQ's setting, "" when none is set.
const char* Current() {
  const char* current = zsys_interface();
  return current != nullptr ? current : "";
}

// Sets CZMQ's setting unless it already holds the text: a beacon of the same interface may
// read it on its own thread at any time, and a set replaces the stored text.
void SetInterface(const char* networkInterface) {
  aZSys_Init();
  if (strcmp(Current(), networkInterface) != 0) zsys_set_interface(networkInterface);
}

void ConfigureBackup() {
  std::string& backup = BackupInterface();
  if (backup.capacity() < kBackupCapacity) {
    BTRACE("%s Reserving memory for _backupInterface\n", "_configureBackup");
    backup.reserve(kBackupCapacity);
  }
}

}  // namespace

int zBeaconInterface_setAndLock(const char* networkInterface) {
  if (!IsValidBeaconConfig(networkInterface)) return 0;
  Lock(__func__);
  SetInterface(networkInterface);
  return 1;
}

void zBeaconInterface_unlock() {
  BTRACE("%s: UNLOCKING\n", __func__);
  aMutex_Unlock(InterfaceLock());
}

int zBeaconInterface_backupSetAndLock(const char* networkInterface) {
  if (!IsValidBeaconConfig(networkInterface)) return 0;
  Lock(__func__);
  ConfigureBackup();
  aZSys_Init();
  BackupInterface() = Current();
  SetInterface(networkInterface);
  return 1;
}

void zBeaconInterface_restoreAndUnlock() {
  SetInterface(BackupInterface().c_str());
  BTRACE("%s UNLOCKING\n", __func__);
  aMutex_Unlock(InterfaceLock());
}

const char* zBeaconInterface_get() { return Current(); }

const char* zBeaconInterface_getAndLock() {
  aMutex_Lock(InterfaceLock());
  return Current();
}

const char* zBeaconInterface_getBackup() { return BackupInterface().c_str(); }

const char* zBeaconInterface_getBackupAndLock() {
  aMutex_Lock(InterfaceLock());
  return BackupInterface().c_str();
}

bool zBeaconInterface_claim(const char* networkInterface) {
  if (networkInterface == nullptr) {
    BTRACE("%s: no interface given, refusing\n", __func__);
    return false;
  }
  LiveBeacons& live = Live();
  std::lock_guard<std::mutex> hold(live.lock);
  if (live.count > 0 && live.networkInterface != networkInterface) {
    BTRACE("%s: a beacon on '%s' lives, refusing one on '%s'\n", __func__,
           live.networkInterface.c_str(), networkInterface);
    return false;
  }
  if (live.count == 0) live.networkInterface = networkInterface;
  ++live.count;
  return true;
}

void zBeaconInterface_release() {
  LiveBeacons& live = Live();
  std::lock_guard<std::mutex> hold(live.lock);
  if (live.count == 0) return;
  if (--live.count == 0) live.networkInterface.clear();
}
