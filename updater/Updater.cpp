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

void Updater::_report_unavailable(const char* operation)
{
    display.message(UpdaterDisplayInterface::ERROR, "%s: not available in this build", operation);
    unavailableReported = true;
}

// Operations this build does not carry yet: each says so once and gives its failure
// result.

bool Updater::Get_Fingerprint(Fingerprint&, std::string, uint32_t, std::string, uint32_t, bool)
{
    _report_unavailable("Fingerprint");
    return false;
}

bool Updater::Recover_Firmware(std::string, uint32_t, uint32_t, uint32_t, std::string, bool)
{
    _report_unavailable("Recovery");
    return false;
}
