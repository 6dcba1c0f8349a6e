// The update of a running module (-U): the choice of the build, the firmware file, its
// personalisation and validation, the connection, the loader phase, the reconnection to the
// started loader, the firmware phase, the reboot and the record of the transfer.

#include <cerrno>
#include <climits>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "Module.h"
#include "Retry.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "aDefs.h"
#include "aError.h"
#include "aTime.h"
#include "kvusb.h"

using Zentrova::Kolvantis::Module;
using Zentrova::Kolvantis::SystemClass;

namespace {

constexpr uint8_t ANY_MODEL = 0;
constexpr uint8_t ROUTER_ADDRESS = 0;  // the router's own address is learnt on connecting
constexpr uint8_t SYSTEM_INDEX = 0;
constexpr uint8_t UPGRADE_INDEX = 0;

// After an answered LOAD the module restarts into its loader, which drops its link.
constexpr uint64_t LOADER_DROP_WAIT_MS = 3000;  // ms the link may take to drop
constexpr uint64_t LINK_POLL_MS = 50;           // ms between looks at the link meanwhile

// The search for the started loader once its link dropped.
constexpr int LOADER_RECONNECT_TRIES = 15;
constexpr uint64_t LOADER_RECONNECT_DELAY_MS = 1000;  // ms between tries

constexpr int FIRMWARE_BLOCK_TRIES = 5;  // tries per firmware block, each from PREPARE
constexpr uint64_t FIRMWARE_BLOCK_RETRY_DELAY_MS =
    0;  // ms between them: a failed block goes again at once

const char* const BIRD_SUFFIX = ".bird";

// What a user can do for a module that may be left waiting in its loader: such a module refuses
// a new update's loader phase until it is restarted.
const char* const LOADER_LEFT_ADVICE =
    "Power-cycle the module, then run the update again; if it does not start, recover it with -U "
    "-t RECOVER.";
// Goes before that advice when the loader phase is refused before its first block is in: a module
// left in its loader does this, and cannot be told apart from one that refuses for another reason.
const char* const LOADER_REFUSED =
    "; a module left waiting in its loader by an earlier update refuses a new "
    "loader. ";

std::string _bird_name(uint32_t build) { return std::to_string(build) + BIRD_SUFFIX; }

// A build number from the server's text: leading white space, then decimal digits up to the
// first other character. Text without a number, or with one beyond 32 bits, gives 0.
uint32_t _server_build_number(const std::string& text) {
  try {
    const size_t first = text.find_first_not_of(" \t\n\v\f\r");
    // A negative number is no build number (the conversion would wrap it round).
    if (first != std::string::npos && text[first] == '-') throw std::invalid_argument(text);
    const unsigned long long value = std::stoull(text, nullptr, 10);
    if (value > UINT32_MAX) throw std::out_of_range(text);
    return static_cast<uint32_t>(value);
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
  return 0;
}

// A build number recorded in the module's attribute file; 0 for none.
uint32_t _recorded_build(KeyValueStore& attributes, const char* key) {
  const int value = attributes.GetInt(key, 0);
  return value > 0 ? static_cast<uint32_t>(value) : 0;
}

// The build to update with when none was named: the update server's latest when its file is in
// the store, else the latest download, else the latest transfer. 0, after the error message,
// when there is none.
uint32_t _choose_build(UpdaterDisplayInterface& display, UpdaterStoreItem& item,
                       uint32_t serialNumber, const std::string& url) {
  std::string buildText;
  std::string token;
  // A failed request leaves the text empty, and the build is then chosen from the store.
  UpdateServerRequest::QueryBuild(serialNumber, buildText, token, url.c_str());
  uint32_t build = _server_build_number(buildText);
  if (build != 0) {
    try {
      BirdFile stored = item.ReadBirdFile(_bird_name(build).c_str());
    } catch (const std::runtime_error&) {
      build = 0;
      display.message(
          UpdaterDisplayInterface::INFO,
          "New firmware is available.  Updater will proceed if valid firmware is found locally.");
    }
  }
  if (build == 0) {
    build = _recorded_build(item.attributes, "LATEST_DOWNLOAD");
    if (build != 0)
      display.message(UpdaterDisplayInterface::INFO, "Updating with the Latest Download");
  }
  if (build == 0) {
    build = _recorded_build(item.attributes, "LATEST_TRANSFER");
    if (build != 0)
      display.message(UpdaterDisplayInterface::INFO, "Updating with the Latest Transfer");
  }
  if (build == 0)
    display.message(UpdaterDisplayInterface::ERROR, "Could not find valid build for this device.");
  return build;
}

// Readies the loaded file for the module: it must hold firmware, and a personalisable one gets
// the serial number. False, after the error message, when it cannot be sent.
bool _prepare_bird(UpdaterDisplayInterface& display, BirdFile& file, uint32_t build,
                   uint32_t serialNumber) {
  // Without firmware the module would be left in its loader with nothing to run.
  if (file.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Bird file %s holds no firmware blocks; nothing was sent",
                    file.path.empty() ? _bird_name(build).c_str() : file.path.c_str());
    return false;
  }
  if (file.personalisable) {
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!file.ReplaceSerialNumber(serialNumber)) {
      Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
      display.message(
          UpdaterDisplayInterface::ERROR,
          "Could not write the serial number %08X into the firmware of %s; nothing was sent",
          serialNumber, file.path.c_str());
      return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
  }
  return true;
}

// Connects by serial number over USB, and over TCP/IP when USB does not find the module.
aErr _connect_direct(Module& module, uint32_t serialNumber) {
  aErr result = module.connect(aLINK_TYPE_USB, serialNumber);
  if (result == aErrNotFound) result = module.connect(aLINK_TYPE_TCPIP, serialNumber);
  return result;
}

// Gives target the address that the router's network shows for the module's serial number (the
// last match wins). False, after the error message, when the network shows no modules or not
// this one.
bool _find_network_address(Updater& updater, UpdaterDisplayInterface& display, Module& target,
                           uint32_t serialNumber, uint32_t routerSerialNumber) {
  const std::vector<DeviceInfo> network = updater.Discover_KVNetwork_Devices(routerSerialNumber, 0);
  if (network.empty()) {
    display.message(UpdaterDisplayInterface::ERROR, "Unable to find modules on Network");
    return false;
  }
  uint16_t address = 0;
  for (const DeviceInfo& info : network)
    if (info.spec.serialNumber == serialNumber) address = info.networkAddress;
  if (address == 0) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Module address required for indirect firmware update, could not find serial "
                    "number [0x%08X] on network",
                    serialNumber);
    return false;
  }
  target.setModuleAddress(static_cast<uint8_t>(address & 0xFF));
  return true;
}

// Connects target to the module through the router, looking its address up on the router's
// network when it has none. False when the update ends here (the message shown); otherwise
// result is the connection's result.
bool _connect_through_router(Updater& updater, UpdaterDisplayInterface& display, Module& target,
                             uint32_t serialNumber, uint32_t routerSerialNumber, aErr& result) {
  if (target.getModuleAddress() == 0 &&
      !_find_network_address(updater, display, target, serialNumber, routerSerialNumber))
    return false;
  Module router(ROUTER_ADDRESS, ANY_MODEL);
  result = _disableEther(router, display);
  if (result != aErrNone) return true;
  if (_connect_direct(router, routerSerialNumber) != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to connect to link module [%08X]",
                    routerSerialNumber);
    return false;
  }
  result = target.connectThroughLinkModule(&router);
  if (result != aErrNone)
    display.message(UpdaterDisplayInterface::ERROR, "Failed to connect to module [%08X]",
                    serialNumber);
  return true;
}

// Connects target to the module: directly when no router is named (routerSerialNumber 0), else
// through the router. False when the update ends here (the message shown); otherwise result is
// the connection's result, a failure being left to the update's own failure report.
bool _connect_target(Updater& updater, UpdaterDisplayInterface& display, Module& target,
                     uint32_t serialNumber, uint32_t routerSerialNumber, aErr& result) {
  result = _disableEther(target, display);
  if (result != aErrNone) return true;
  if (routerSerialNumber != 0)
    return _connect_through_router(updater, display, target, serialNumber, routerSerialNumber,
                                   result);
  result = _connect_direct(target, serialNumber);
  if (result != aErrNone)
    display.message(UpdaterDisplayInterface::ERROR, "Failed to connect to module [%08X]",
                    serialNumber);
  return true;
}

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file, Module& module,
                        uint32_t serialNumber) {
  if (file.blocks.empty()) return false;
  if (!file.personalisable && !file.ValidateSerialNumber(serialNumber)) return false;
  Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
  SystemClass system;
  system.init(&module, SYSTEM_INDEX);
  uint32_t moduleSerial = 0;
  const aErr serialRead = system.getSerialNumber(&moduleSerial);
  if (serialRead != aErrNone) moduleSerial = 0;
  if (moduleSerial != serialNumber) {
    Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
             static_cast<int>(serialRead));
    return false;
  }
  uint8_t model = 0;
  const aErr modelRead = system.getModel(&model);
  const char* name = aDefs_GetModelName(model);
  if (!file.ValidateModel(name)) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Connected device model and Bird file model do not match [%s] (%d)", name,
                    static_cast<int>(modelRead));
    return false;
  }
  return true;
}

// Waits a while for the link to drop, as it does when the module restarts into its loader.
void _await_loader_restart(Module& module) {
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + LOADER_DROP_WAIT_MS;
  while (module.isConnected() && aTime_GetMonotonicMSTicks() < deadline)
    aTime_MSSleep(LINK_POLL_MS);
  Log::log(DEBUG_Updater, module.isConnected() ? "Loader runs on the same link.\n"
                                               : "Link dropped as the loader started.\n");
}

// INIT, the loader blocks and LOAD. started: LOAD went out, so the module may now be running
// its loader.
aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& file,
                      bool& started) {
  started = false;
  UpdaterEntity entity;
  entity.init(&module, UPGRADE_INDEX, true, false);
  aErr err = entity.LoaderInit();
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", static_cast<int>(err),
             aError_GetErrorText(err));
    display.message(
        UpdaterDisplayInterface::ERROR, "The module did not take the loader transfer [%d, %s]%s%s",
        static_cast<int>(err), aError_GetErrorText(err), LOADER_REFUSED, LOADER_LEFT_ADVICE);
    return err;
  }

  display.message(UpdaterDisplayInterface::INFO, "Transferring loader to device");
  const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_LOADER);
  display.display_progress(true);
  size_t number = 1;
  uint64_t total = 0;
  for (const BirdBlock& block : blocks) {
    display.message(UpdaterDisplayInterface::INFO, "Transferring loader block %zu of %zu, %u bytes",
                    number, blocks.size(), block.length);
    uint16_t size = 0;
    err = entity.TransferPrepare(block.data, block.length, block.flags, size);
    // A loader that does not answer PREPARE still takes the data.
    if (err != aErrNone && err != aErrTimeout) {
      Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", static_cast<int>(err),
               aError_GetErrorText(err));
      display.message(UpdaterDisplayInterface::ERROR,
                      "Error preparing loader block %zu [%d, %s]%s%s", number,
                      static_cast<int>(err), aError_GetErrorText(err),
                      number == 1 ? LOADER_REFUSED : "", number == 1 ? LOADER_LEFT_ADVICE : "");
      break;
    }
    err = entity.LoaderTransfer(block.data, block.length);
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", static_cast<int>(err),
               aError_GetErrorText(err));
      display.message(UpdaterDisplayInterface::ERROR,
                      "Error transferring loader block %zu [%d, %s]%s%s", number,
                      static_cast<int>(err), aError_GetErrorText(err),
                      number == 1 ? LOADER_REFUSED : "", number == 1 ? LOADER_LEFT_ADVICE : "");
      break;
    }
    total += block.length;
    ++number;
  }
  display.message(UpdaterDisplayInterface::INFO, "Transferred %zu blocks, %llu total bytes",
                  number - 1, static_cast<unsigned long long>(total));
  display.display_progress(false);
  if (err != aErrNone) return err;

  display.message(UpdaterDisplayInterface::INFO, "Starting Load on Device");
  err = entity.LoaderStart();
  if (err == aErrTimeout) {
    // Some loaders never answer LOAD.
    Log::log(DEBUG_Updater,
             "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
    started = true;
    return aErrNone;
  }
  if (err != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Error starting loader [%d, %s]",
                    static_cast<int>(err), aError_GetErrorText(err));
    return err;
  }
  started = true;
  if (!entity.LoaderStartedOnReconnect()) _await_loader_restart(module);
  return aErrNone;
}

// The started loader once its link dropped: the module under its own serial number or, when
// it cannot read that yet, under the default one, over the link type it was reached on.
void _reconnect_to_loader(Module& module, uint32_t serialNumber) {
  linkSpec spec = {};
  const linkType type = module.getLinkSpecifier(&spec) == aErrNone ? spec.type : aLINK_TYPE_USB;
  const auto connectAs = [&](uint32_t serial) {
    // A failed connect leaves its link ID held, which would refuse the next one.
    module.disconnect();
    module.discoverAndConnect(type, serial);
    return module.isConnected();
  };
  module.disconnect();
  RetryWithDelay(LOADER_RECONNECT_TRIES, LOADER_RECONNECT_DELAY_MS, [&](int attempt) {
    if (type == aLINK_TYPE_USB) _refresh_usb_before_try(attempt);
    const bool connected = connectAs(serialNumber) || connectAs(UNKNOWN_SERIAL_NUMBER);
    return TryOutcome<bool>{connected, connected};
  });
}

// One try of firmware block number of count: PREPARE, then the chunks. A refused PREPARE ends
// the tries.
TryOutcome<aErr> _send_firmware_block(UpdaterDisplayInterface& display, UpdaterEntity& entity,
                                      const BirdBlock& block, size_t number, size_t count,
                                      int attempt) {
  display.message(UpdaterDisplayInterface::INFO, "Transferring firmware block %zu of %zu, %u bytes",
                  number, count, block.length);
  if (attempt > 1) display.message(UpdaterDisplayInterface::INFO, "  Retry %d", attempt - 1);
  uint16_t blockSize = 0;
  const aErr prepared = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
  if (prepared != aErrNone) {
    Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", static_cast<int>(prepared),
             aError_GetErrorText(prepared));
    return {prepared, true};
  }
  const aErr sent = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
  if (sent != aErrNone)
    Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", static_cast<int>(sent),
             aError_GetErrorText(sent));
  return {sent, sent == aErrNone};
}

// The firmware blocks and REBOOT. rebooted: REBOOT went out, so a failure is its wait's.
aErr _send_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& file, bool indirect,
                    bool ueiBytes, bool& rebooted) {
  rebooted = false;
  UpdaterEntity entity;
  entity.init(&module, UPGRADE_INDEX, true, indirect);
  if (ueiBytes && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();

  Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.path.c_str());
  const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_FIRMWARE);
  aErr err = aErrNone;
  size_t number = 1;
  uint64_t total = 0;
  for (const BirdBlock& block : blocks) {
    err = RetryWithDelay(FIRMWARE_BLOCK_TRIES, FIRMWARE_BLOCK_RETRY_DELAY_MS, [&](int attempt) {
      return _send_firmware_block(display, entity, block, number, blocks.size(), attempt);
    });
    if (err != aErrNone) {
      Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
      break;
    }
    total += block.length;
    ++number;
  }
  display.message(UpdaterDisplayInterface::INFO, "Transferred %zu blocks, %llu total bytes",
                  number - 1, static_cast<unsigned long long>(total));
  if (err != aErrNone) return err;
  rebooted = true;
  return entity.LoaderReboot(display);
}

}  // namespace

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& file,
                        bool indirect, bool ueiBytes) {
  bool rebooted = false;
  return _send_firmware(display, module, file, indirect, ueiBytes, rebooted);
}

BirdFile Updater::load_bird(const char* verb, std::string path, uint32_t serialNumber,
                            uint32_t build, bool download) {
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDirectory, "load_bird");
  if (!store) return BirdFile();
  if (!path.empty()) {
    display.message(UpdaterDisplayInterface::INFO, "%s from Birdfile: %s", verb, path.c_str());
    return BirdFile(path.c_str());
  }
  UpdaterStoreItem item = store->AddDevice(serialNumber);
  display.message(UpdaterDisplayInterface::INFO, "%s firmware with build: %u", verb, build);
  const std::string name = _bird_name(build);
  try {
    return item.ReadBirdFile(name.c_str());
  } catch (const std::runtime_error&) {
    if (!download) throw std::runtime_error("Error reading birdfile");
  }
  display.message(UpdaterDisplayInterface::INFO, "Downloading firmware build %u", build);
  Download_Firmware(serialNumber, std::to_string(build), false, false);
  return item.ReadBirdFile(name.c_str());
}

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string birdFilePath,
                              uint8_t moduleAddress, uint32_t routerSerialNumber, bool override) {
  if (serialNumber == 0) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Update command must specify the specific device");
    return false;
  }
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, storeDirectory, "Update_Firmware");
  if (!store) return false;
  UpdaterStoreItem item;
  if (!_find_or_add_device(display, *store, serialNumber, &item)) return false;
  const uint64_t start = aTime_GetMonotonicMSTicks();

  if (birdFilePath.empty() && build == 0) {
    build = _choose_build(display, item, serialNumber, url);
    if (build == 0) return false;
  }

  BirdFile file;
  try {
    file = load_bird("Updating", birdFilePath, serialNumber, build, false);
  } catch (const std::runtime_error&) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to load bird file");
    return false;
  }
  if (!_prepare_bird(display, file, build, serialNumber)) return false;

  Module target(moduleAddress, ANY_MODEL);
  aErr result = aErrNone;
  if (!_connect_target(*this, display, target, serialNumber, routerSerialNumber, result))
    return false;

  if (result == aErrNone && !override && !_validate_birdfile(display, file, target, serialNumber)) {
    display.message(UpdaterDisplayInterface::ERROR, "Birdfile failed validation");
    return false;
  }

  bool loaderStarted = false;
  if (result == aErrNone) result = _transfer_loader(display, target, file, loaderStarted);
  if (result == aErrNone && !target.isConnected()) _reconnect_to_loader(target, serialNumber);
  bool rebooted = false;
  if (result == aErrNone)
    result = _send_firmware(display, target, file, routerSerialNumber != 0, ueiBytesLoad, rebooted);

  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", static_cast<int>(result));
    if (loaderStarted && !rebooted)
      display.message(
          UpdaterDisplayInterface::ERROR,
          "Update of module [%08X] failed after its loader was started (%d, %s); the module may "
          "be waiting in its loader. %s",
          serialNumber, static_cast<int>(result), aError_GetErrorText(result), LOADER_LEFT_ADVICE);
    return false;
  }

  if (birdFilePath.empty()) birdFilePath = _bird_name(build);
  item.attributes.Add("LATEST_TRANSFER", birdFilePath);
  item.attributes.Add("LAST_TRANSFER_DATE", KeyValueStore::LocalTimeText());
  item.attributes.Save(nullptr);
  // The module is updated all the same, so the result stays true.
  if (item.attributes.IsDirty())
    display.message(UpdaterDisplayInterface::ERROR, "Failed to record the transfer of %s in %s",
                    birdFilePath.c_str(), item.attributes.Path().c_str());
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  display.message(UpdaterDisplayInterface::INFO, "Update time: %.4f sec",
                  static_cast<double>(aTime_GetMonotonicMSTicks() - start) / 1000.0);
  return true;
}
