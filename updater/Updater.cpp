#include "Updater.h"

#include <stdexcept>

Updater::Updater(const char* url_, const char* storeDirectory_, UpdaterDisplayInterface& display_)
    : url(url_ ? url_ : ""), storeDirectory(storeDirectory_ ? storeDirectory_ : ""), display(display_)
{
}

void Updater::Set_UEIBytes_Load(bool on)
{
    ueiBytesLoad = on;
}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& storeDirectory,
                                                  const char* caller)
{
    try {
        return std::make_unique<UpdaterStore>(storeDirectory.c_str());
    } catch (const std::runtime_error& e) {
        display.message(UpdaterDisplayInterface::ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                        caller ? caller : "", e.what());
        return nullptr;
    }
}
