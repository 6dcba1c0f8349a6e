// Guard of CZMQ's process-wide beacon interface setting, which a beacon reads when it is
// configured (and, in CZMQ 4.2, again on its own thread later). Every function that takes the
// lock leaves it held for the caller, who releases it with zBeaconInterface_unlock or
// zBeaconInterface_restoreAndUnlock.
#pragma once

// 1 after taking the lock and setting the beacon interface; 0, without locking or setting
// anything, when the text is not a dotted IPv4 address, the empty text or "*".
int zBeaconInterface_setAndLock(const char* networkInterface);
void zBeaconInterface_unlock();
// Like zBeaconInterface_setAndLock; saves the current setting first (for the restore).
int zBeaconInterface_backupSetAndLock(const char* networkInterface);
// Puts the saved setting back, then releases the lock.
void zBeaconInterface_restoreAndUnlock();
// The current setting, without locking / after taking the lock (held for the caller).
const char* zBeaconInterface_get();
const char* zBeaconInterface_getAndLock();
// The setting saved by the last backup, without locking / after taking the lock.
const char* zBeaconInterface_getBackup();
const char* zBeaconInterface_getBackupAndLock();

// While any beacon lives the process keeps one beacon interface: a beacon is registered here
// before it is made and unregistered after it is destroyed. true when no beacon lives or all
// live ones use this interface text; false (with a log line) for another interface.
bool zBeaconInterface_claim(const char* networkInterface);
void zBeaconInterface_release();
