#include "Updater.h"

#include "Log.h"

#include <stdexcept>

Updater::Updater(const char* url_, const char* storeDirectory_, UpdaterDisplayInterface& display_)
    : url(url_ ? url_ : ""),
      storeDirectory(storeDirectory_ ? storeDirectory_ : ""),
      display(display_) {}

void Updater::Set_UEIBytes_Load(bool on) { ueiBytesLoad = on; }

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storeDirectory,
                                                  const char* caller) {
  try {
    return std::make_unique<UpdaterStore>(storeDirectory.c_str());
  } catch (const std::runtime_error& e) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Failed to Create UpdaterStore in: %s - Exception: %s", caller ? caller : "",
                    e.what());
    return nullptr;
  }
}

bool _find_or_add_device(UpdaterDisplayInterface& display, UpdaterStore& store,
                         uint32_t serialNumber, UpdaterStoreItem* item) {
  if (store.FindDevice(serialNumber, item)) return true;
  Log::log(DEBUG_APP, "Could not find device in our update history.\n");
  try {
    *item = store.AddDevice(serialNumber);
  } catch (const std::runtime_error&) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Could not create directory for storing BIRD file");
    return false;
  }
  return true;
}
