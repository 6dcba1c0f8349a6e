// Program entry: parse the command line, prepare the store directory and run the
// commands in their fixed order.

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "CLI_Display.h"
#include "HTTPRequest.h"
#include "Log.h"
#include "Params.h"
#include "Updater.h"
#include "aDirectory.h"
#include "path.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr uint16_t STORE_DIRECTORY_MODE = 0755;

void _display_fingerprint(CLI_Display& display, Fingerprint& fingerprint) {
  display.message(UpdaterDisplayInterface::INFO, "[ %08X %08X %08X %08X ]", fingerprint.word[0],
                  fingerprint.word[1], fingerprint.word[2], fingerprint.word[3]);
}

// The build text as a decimal number; 0 (the latest) when it holds none.
uint32_t _build_number(const std::string& text) {
  try {
    unsigned long value = std::stoul(text);
    return value <= UINT32_MAX ? static_cast<uint32_t>(value) : 0;
  } catch (const std::invalid_argument&) {
    return 0;
  } catch (const std::out_of_range&) {
    return 0;
  }
}

// The store directory: the -i directory, else ".zentrova" in the home directory, with
// "updater" appended. Empty when the home directory cannot be found.
std::string _store_directory(const Parameters& params) {
  std::string base = params.storeDirectory;
  if (base.empty()) {
    char home[HOME_DIRECTORY_SIZE] = "";
    aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
      return std::string();
    }
    base = BuildPath(home, ".zentrova", nullptr);
  }
  return BuildPath(base.c_str(), "updater", nullptr);
}

// Runs the commands and gives the exit status.
int _run_commands(CLI_Display& display, Parameters& params, Updater& updater) {
  int status = EXIT_OK;

  if (params.commands.IsSet(CMD_FINGERPRINT)) {
    if (params.serialPort.empty()) {
      display.message(UpdaterDisplayInterface::ERROR,
                      "Must specify the serial port used for connecting");
      return EXIT_FAILED;
    }
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, params.serialPort, UNKNOWN_SERIAL_NUMBER,
                                params.birdFilePath, params.baudRate, true)) {
      _display_fingerprint(display, fingerprint);
    } else {
      display.message(UpdaterDisplayInterface::ERROR, "Got no response from chip");
      status = EXIT_FAILED;
    }
  }

  if (params.commands.IsSet(CMD_DOWNLOAD)) {
    if (params.serialNumber == 0) {
      display.message(UpdaterDisplayInterface::ERROR, "-G must specify a specific device via -d");
      display.message(UpdaterDisplayInterface::ERROR, "--help for usage information");
      return EXIT_FAILED;
    }
    display.message(UpdaterDisplayInterface::INFO,
                    "Retrieving firmware for device with serial number %08X", params.serialNumber);
    if (params.buildText.empty()) {
      display.message(UpdaterDisplayInterface::INFO, "No build specified");
      display.message(UpdaterDisplayInterface::INFO, "Using Latest build");
    } else {
      display.message(UpdaterDisplayInterface::INFO, "Retrieving firmware build %s",
                      params.buildText.c_str());
    }
    uint32_t build =
        updater.Download_Firmware(params.serialNumber, params.buildText, params.override, false);
    if (build != 0) {
      status = EXIT_OK;
      // A following -U installs exactly the build just fetched.
      params.buildText = std::to_string(build);
    } else {
      status = EXIT_FAILED;
    }
  }

  if (params.commands.IsSet(CMD_DISCOVER)) {
    linkType type =
        params.linkTypeGiven && params.linkType != LINK_TYPE_RECOVER ? params.linkType : 0;
    if (params.routerSerialNumber != 0) {
      display.message(UpdaterDisplayInterface::INFO,
                      "Searching for Kolvantis Network devices connected to %08X",
                      params.routerSerialNumber);
      std::vector<DeviceInfo> list =
          updater.Discover_KVNetwork_Devices(params.routerSerialNumber, type);
      _display_device_list(display, list, type);
    } else {
      display.message(UpdaterDisplayInterface::INFO, "Searching for Kolvantis devices");
      if (type == 0) type = aLINK_TYPE_USB;
      std::vector<DeviceInfo> list = updater.Discover_Devices(type);
      _display_device_list(display, list, type);
    }
    status = EXIT_OK;
  } else if (params.commands.IsSet(CMD_UPDATE)) {
    uint32_t build = _build_number(params.buildText);
    updater.Set_UEIBytes_Load(params.ueiBytes);
    bool updated = false;
    if (params.linkType == LINK_TYPE_RECOVER) {
      updated = updater.Recover_Firmware(params.serialPort, build, params.baudRate,
                                         params.serialNumber, params.birdFilePath, params.override);
    } else {
      if (params.serialNumber == 0) {
        display.message(UpdaterDisplayInterface::ERROR,
                        "Must specify the specific device to be updated");
        return EXIT_FAILED;
      }
      updated =
          updater.Update_Firmware(params.serialNumber, build, params.birdFilePath,
                                  params.moduleAddress, params.routerSerialNumber, params.override);
    }
    status = updated ? EXIT_OK : EXIT_FAILED;
  } else if (params.commands.IsSet(CMD_BUILDS | CMD_LOCAL_BUILDS | CMD_JWT)) {
    const char* missingSerial = "Error must supply a serial number for the Get JWT command";
    if (params.commands.IsSet(CMD_BUILDS))
      missingSerial = "Error must supply a serial number for the List Builds command";
    else if (params.commands.IsSet(CMD_LOCAL_BUILDS))
      missingSerial = "Error must supply a serial number for the List Local Builds command";
    if (params.serialNumber == 0) {
      display.message(UpdaterDisplayInterface::ERROR, "%s", missingSerial);
      _display_usage(false, false);
      return EXIT_FAILED;
    }
    if (params.commands.IsSet(CMD_BUILDS)) {
      BuildList builds = updater.Get_BuildList(params.serialNumber);
      _display_builds(display, builds, params.serialNumber);
    } else if (params.commands.IsSet(CMD_LOCAL_BUILDS)) {
      BuildList builds = updater.Get_BuildListLocal(params.serialNumber);
      _display_builds(display, builds, params.serialNumber);
    } else {
      _display_jwt(display, updater.Get_JWT(params.serialNumber));
    }
    status = EXIT_OK;
  }

  return status;
}

int _main(CLI_Display& display, Parameters& params, int argc, char** argv) {
  if (_get_params(display, argc, argv, &params) != 0) {
    _display_app_version(display);
    _display_notice(display);
    _display_usage(false, false);
    return EXIT_FAILED;
  }

  _display_app_version(display);
  if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY)) {
    _display_notice(display);
    _display_usage(params.debugMaskGiven, params.help);
    return EXIT_OK;
  }

  std::string storeDirectory = _store_directory(params);
  if (storeDirectory.empty()) return EXIT_FAILED;
  if (aDirectory_Ensure(storeDirectory.c_str(), STORE_DIRECTORY_MODE) != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Could not find updater directory at %s",
                    storeDirectory.c_str());
    return EXIT_FAILED;
  }

  Updater updater(params.serverUrl.c_str(), storeDirectory.c_str(), display);
  return _run_commands(display, params, updater);
}

}  // namespace

int main(int argc, char** argv) {
  Parameters params;
  CLI_Display display;
  Log::SetOutput(stderr);
  // Once, before any link thread starts; a failure shows up in the server commands.
  if (!HTTPRequest_GlobalInit()) Log::log(0, "HTTP initialisation failed\n");

  int status = _main(display, params, argc, argv);
  _release_params(&params);
  return status;
}
