#pragma once

// The controller behind the program's commands: discovery, downloads, build lists,
// updates, fingerprints and recovery. main constructs one per run.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CLI_Display.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterStore.h"
#include "aDiscovery.h"
#include "aError.h"

namespace Zentrova {
namespace Kolvantis {
class Module;
}  // namespace Kolvantis
}  // namespace Zentrova

// One discovered module as the device table shows it.
struct DeviceInfo {
  linkSpec spec = {};
  uint16_t networkAddress = 0;  // I2C address behind a router; 0 when found directly
  uint32_t build = 0;
  uint8_t major = 0;
  uint8_t minor = 0;
  uint32_t patch = 0;
  std::string modelName;
  std::string deviceName;
  int32_t error = aErrNone;
};

// Four words identifying a chip.
struct Fingerprint {
  uint32_t word[4] = {0, 0, 0, 0};
};

// The serial number of a module that has none to give.
constexpr uint32_t UNKNOWN_SERIAL_NUMBER = 0xDEADDEAD;

// The chip a fingerprint came from.
enum ChipKind : uint8_t {
  CHIP_UNKNOWN = 0,
  CHIP_IMX = 1,
  CHIP_LPC = 2,
};

// Attempts to connect to a started recovery loader, about a second apart.
constexpr int32_t CONNECT_ATTEMPTS = 15;

typedef std::map<std::string, std::string> BuildList;  // build text -> version text

class Updater {
 public:
  Updater(const char* url, const char* storeDirectory, UpdaterDisplayInterface& display);
  ~Updater() = default;
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  void Set_UEIBytes_Load(bool on);

  // The modules reached directly: type 1 USB, 2 TCP/IP, 0 USB and then TCP/IP. Every
  // module found is listed, in discovery order; one that could not be probed carries the
  // error of the step that failed.
  std::vector<DeviceInfo> Discover_Devices(linkType type);
  // The modules that answer on the I2C network of the router with that serial number,
  // reached over type (0: the router's link type is looked up first); not the router.
  std::vector<DeviceInfo> Discover_KVNetwork_Devices(uint32_t routerSerialNumber, linkType type);

  bool Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFilePath,
                       uint8_t moduleAddress, uint32_t routerSerialNumber, bool override);

  // The firmware file to install: the given path (loaded without the signature check), else
  // the build's file in the module's store directory (downloaded first when download is set
  // and it is missing). verb opens the messages. Throws std::runtime_error when the file
  // cannot be had; an empty file when the store cannot be opened.
  BirdFile load_bird(const char* verb, std::string path, uint32_t serialNumber, uint32_t build,
                     bool download);

  // Fetches a build ("" or "0": the latest) from the update server into the module's store
  // directory as BUILD.bird and records it as the latest download. The file is stored only
  // when it decodes and loads as a BIRD file. The build number fetched, 0 on failure.
  uint32_t Download_Firmware(uint32_t serialNumber, std::string buildText, bool override,
                             bool noCal);
  // The same for the module the update server names for a chip's fingerprint; an empty or
  // "0" build text takes the build the server names.
  uint32_t Download_Firmware(const Fingerprint& fingerprint, std::string buildText, bool override);

  // The builds the update server offers for the module; empty on failure.
  BuildList Get_BuildList(uint32_t serialNumber);
  // The builds in the module's store directory (regular files only, hidden ones left out), each
  // with the version its descriptor names ("" for none); the first of a build in listing order
  // wins.
  BuildList Get_BuildListLocal(uint32_t serialNumber);
  // The module's feature token from the update server; empty on failure.
  std::string Get_JWT(uint32_t serialNumber);

  // The chip's fingerprint through its ROM boot loader on port (a serial device, or "USB" for
  // the i.MX boot loader's HID device): an LPC chip's device serial number at baudRate, else
  // the unique identifier that the i.MX recovery loader reports once it was loaded and
  // started (from birdFilePath, which needs a serial number, else from the store or the
  // update server). reset restarts that loader afterwards. False, with the reason shown.
  bool Get_Fingerprint(Fingerprint& out, std::string port, uint32_t serialNumber,
                       std::string birdFilePath, uint32_t baudRate, bool reset);

  // Puts firmware back on a module through its chip's ROM boot loader on port: the
  // fingerprint, the serial number and build the update server gives for it (unless
  // birdFilePath is given; a non-zero build replaces the server's), then the LPC flash
  // programming at baudRate or the firmware phase with the i.MX recovery loader.
  bool Recover_Firmware(std::string port, uint32_t build, uint32_t baudRate, uint32_t serialNumber,
                        std::string birdFilePath, bool override);

 private:
  friend bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater,
                                   std::string port, uint32_t serialNumber,
                                   std::string birdFilePath, Fingerprint& out, bool reset);

  std::string url;
  std::string storeDirectory;
  UpdaterDisplayInterface& display;
  uint8_t chipKind = CHIP_UNKNOWN;  // set by Get_Fingerprint
  bool ueiBytesLoad = false;        // firmware chunks may go as UEI byte strings
};

// Switches sharing and the connection fallback off (local-only on), so that the updater
// never starts a sharing broker and a failed connection is not retried another way. Every
// Module the updater makes gets this before its first connection. On failure the error
// message "Failed to SET network configuration" and the code.
aErr _disableEther(Zentrova::Kolvantis::Module& module, UpdaterDisplayInterface& display);

// The firmware phase of an update through the module's upgrade entity: each firmware block
// (up to five tries from PREPARE), then REBOOT and the wait for the module's link to drop.
// indirect: the module is reached through a router; ueiBytes: chunks may travel as UEI byte
// strings, with pooled packets when the module offers them.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Zentrova::Kolvantis::Module& module,
                        BirdFile& file, bool indirect, bool ueiBytes);

// Connects module over USB to a started recovery loader, under the default serial number or
// under serialNumber (0: only the default one): up to CONNECT_ATTEMPTS attempts. refreshUsb
// releases the shared libusb context before every third, so that enumeration starts afresh.
bool _connect_recovery_loader(Zentrova::Kolvantis::Module& module, uint32_t serialNumber,
                              bool refreshUsb);

// The error message "Could not open serial port PORT ==> REASON", the reason being the name
// of the serial stream's error.
void _show_serial_port_failure(UpdaterDisplayInterface& display, const std::string& port, aErr err);

// Before every third try (attempt counts from 1) of a USB search: releases the shared libusb
// context, so that enumeration starts afresh.
void _refresh_usb_before_try(int attempt);

// A new store rooted at the directory; when it cannot be made, an error message naming the
// caller and the reason, and an empty pointer.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storeDirectory,
                                                  const char* caller);

// The module's entry in the store, made when the module is new; false (after the error
// message "Could not create directory for storing BIRD file") when it cannot be made.
bool _find_or_add_device(UpdaterDisplayInterface& display, UpdaterStore& store,
                         uint32_t serialNumber, UpdaterStoreItem* item);

// Console output of the commands' results.
void _display_device_list(CLI_Display& display, std::vector<DeviceInfo>& list, linkType type);
void _display_builds(CLI_Display& display, BuildList& builds, uint32_t serialNumber);
void _display_jwt(CLI_Display& display, std::string token);
