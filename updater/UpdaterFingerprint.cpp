// A chip's fingerprint (-N, and the first step of a recovery): the LPC road asks the ISP ROM
// for the device serial number; the i.MX road loads a recovery loader into the chip's RAM
// through the Serial Download Protocol, starts it, finds it on USB and reads the chip's unique
// identifier from its system entity.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "HID_SDPLoader.h"
#include "KeyValueStore.h"
#include "Log.h"
#include "Module.h"
#include "NXPSerialClass.h"
#include "Retry.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "SystemClass.h"
#include "Updater.h"
#include "UpdaterStore.h"
#include "aError.h"
#include "aTime.h"
#include "kvusb.h"

using Zentrova::Kolvantis::Module;
using Zentrova::Kolvantis::SystemClass;

namespace {

constexpr uint8_t systemUniqueIdentifier =
    39;  // system entity option: one identifier word per subindex 0 to 3
constexpr uint8_t IDENTIFIER_WORDS = 4;
constexpr uint8_t SYSTEM_INDEX = 0;
constexpr uint8_t ANY_MODEL = 0;
constexpr uint8_t LOADER_ADDRESS = 0;  // the loader's own address is learnt on connecting

constexpr uint64_t LOADER_CONNECT_DELAY_MS = 1000;  // ms between two tries
constexpr int LIBUSB_REFRESH_EVERY = 3;  // tries between refreshes of the USB enumeration

const char* const USB_PORT = "USB";  // port text of the i.MX boot loader's USB HID device
const char* const LATEST_DOWNLOAD = "LATEST_DOWNLOAD";

// Silences the display's messages for as long as it lives.
class MutedMessages {
 public:
  explicit MutedMessages(UpdaterDisplayInterface& display) : display_(display) {
    display_.mute_messages(true);
  }
  ~MutedMessages() { display_.mute_messages(false); }
  MutedMessages(const MutedMessages&) = delete;
  MutedMessages& operator=(const MutedMessages&) = delete;

 private:
  UpdaterDisplayInterface& display_;
};

uint32_t _big_endian_word(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

// A stored file name the attribute file may name: a plain name inside the module's directory.
bool _plain_file_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool _get_fingerprint_lpc(UpdaterDisplayInterface& display, std::string port, uint32_t baud,
                          Fingerprint& out) {
  NXPSerialClass chip;
  aErr err = chip.Connect(port.c_str(), baud);
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not open serial port\n", static_cast<int>(err));
    // Otherwise the user learns of a mistyped or missing port only from the i.MX road's
    // failures. "USB" names the i.MX boot loader's HID device, never a serial port.
    if (port != USB_PORT) _show_serial_port_failure(display, port, err);
    return false;
  }
  Log::log(DEBUG_APP, "\n\tSync to Device:\n");
  err = chip.Sync();
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "ERROR %d ==> Could not communicate with device over serial port\n",
             static_cast<int>(err));
    return false;
  }
  Log::log(DEBUG_APP, "\n\tGet Info from Device:\n");
  err = chip.GetDeviceID();
  if (err != aErrNone) {
    Log::log(DEBUG_APP, "\tERROR ==> Got no response from chip\n");
    return false;
  }
  for (int k = 0; k < IDENTIFIER_WORDS; ++k) out.word[k] = chip.deviceId[k];
  return true;
}

// Writes the file's loader blocks into the chip's memory through its ROM boot loader and
// starts the loader: aErrNone; aErrNotReady when the transport does not open; aErrConnection
// when a block is refused; aErrParam for a block too short to hold its load address.
aErr _transfer_recovery_loader(UpdaterDisplayInterface& /*display*/, BirdFile& file,
                               std::string port) {
  Log::log(DEBUG_Updater, "Transfer Loader via Serial Interface (iMX):\n");
  SDPLoader sdp;
  SDPLoader_Interface* transport = nullptr;
  if (port == USB_PORT)
    transport = new HID_SDPLoader(IMX1050::VID, IMX1050::PID);
  else
    transport = new Serial_SDPLoader(port.c_str());
  if (!sdp.setLoader(transport)) {
    delete transport;
    return aErrNotReady;
  }
  if (sdp.init() != SDP_SUCCESS) return aErrNotReady;

  const std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BLOCK_LOADER);
  for (size_t count = 0; count < blocks.size(); ++count) {
    const BirdBlock& block = blocks[count];
    if (block.length < 4) {
      Log::log(DEBUG_Updater, "Loader block %zu has no load address.\n", count);
      return aErrParam;
    }
    const uint32_t address = _big_endian_word(block.data);
    std::vector<uint8_t> image(block.data + 4, block.data + block.length);
    Log::log(DEBUG_Updater, "Writting Block: %d, size %zu, address: %d\b", static_cast<int>(count),
             image.size(), static_cast<int>(address));
    if (sdp.writeLoader(image, address) != SDP_SUCCESS) return aErrConnection;
  }

  uint32_t start = IMX1050::DEFAULT_IMX_LOADER_IVT_ADDRESS;
  const std::vector<BirdBlock> starts = file.FindBlocks(BirdFile::BLOCK_START_ADDRESS);
  if (!starts.empty() && starts.front().length >= 4) start = _big_endian_word(starts.front().data);
  sdp.startLoader(start);
  return aErrNone;
}

// The firmware file that carries the recovery loader: the given path, else the one the store
// recorded for the serial number, else the latest build downloaded for it. False, with the
// reason shown, when there is none.
bool _recovery_loader_file(UpdaterDisplayInterface& display, Updater& updater, UpdaterStore& store,
                           uint32_t serial, const std::string& birdPath, BirdFile& file) {
  if (!birdPath.empty()) {
    if (serial == UNKNOWN_SERIAL_NUMBER) {
      display.message(
          UpdaterDisplayInterface::ERROR,
          "Add serial number or remove the bird filename to use a default recovery image.");
      return false;
    }
    try {
      file = BirdFile(birdPath.c_str());
      return true;
    } catch (const std::runtime_error& e) {
      Log::log(DEBUG_APP, "%s\n", e.what());
      display.message(UpdaterDisplayInterface::ERROR,
                      "Could not load the recovery loader from %s: %s", birdPath.c_str(), e.what());
      return false;
    }
  }

  UpdaterStoreItem item;
  if (store.FindDevice(serial, &item) && item.IsValid()) {
    const std::string name = item.attributes.GetString(LATEST_DOWNLOAD, "");
    if (_plain_file_name(name)) {
      try {
        file = item.ReadBirdFile(name.c_str());
        return true;
      } catch (const std::runtime_error& e) {
        // A stored file that no longer loads is replaced by a new download.
        Log::log(DEBUG_APP, "%s\n", e.what());
      }
    }
  }

  uint32_t build = 0;
  {
    MutedMessages muted(display);
    Log::log(DEBUG_APP, "Existing loader device not found. Downloading.\n");
    build = updater.Download_Firmware(serial, "", false, false);
  }
  if (build == 0) {
    display.message(UpdaterDisplayInterface::ERROR, "Could not download a recovery loader for %08X",
                    serial);
    return false;
  }
  const std::string name = std::to_string(build) + ".bird";
  try {
    if (!store.FindDevice(serial, &item))
      throw std::runtime_error("No store directory for " + name);
    file = item.ReadBirdFile(name.c_str());
    return true;
  } catch (const std::runtime_error& e) {
    Log::log(DEBUG_APP, "%s\n", e.what());
    display.message(UpdaterDisplayInterface::ERROR,
                    "Could not load the downloaded recovery loader %s for %08X: %s", name.c_str(),
                    serial, e.what());
    return false;
  }
}

}  // namespace

void _show_serial_port_failure(UpdaterDisplayInterface& display, const std::string& port,
                               aErr err) {
  display.message(UpdaterDisplayInterface::ERROR, "Could not open serial port %s ==> %s",
                  port.c_str(), aError_GetErrorText(err));
}

void _refresh_usb_before_try(int attempt) {
  if (attempt % LIBUSB_REFRESH_EVERY != 0) return;
  Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
  Kolvantis_libusb_exit();
}

bool _connect_recovery_loader(Module& module, uint32_t serialNumber, bool refreshUsb) {
  // A loader that cannot read its serial number shows the default one. Serial number 0 would
  // take the first module on the bus, which need not be the loader.
  std::vector<uint32_t> serials = {UNKNOWN_SERIAL_NUMBER};
  if (serialNumber != 0 && serialNumber != UNKNOWN_SERIAL_NUMBER) serials.push_back(serialNumber);
  const auto tryOnce = [&](int attempt) {
    if (refreshUsb) _refresh_usb_before_try(attempt);
    for (uint32_t serial : serials) {
      // A failed connect keeps its link ID, which would refuse the next one.
      module.disconnect();
      module.discoverAndConnect(aLINK_TYPE_USB, serial);
      if (module.isConnected()) return TryOutcome<bool>{true, true};
    }
    module.disconnect();
    return TryOutcome<bool>{false, false};
  };
  // The caller reports a failed search at once.
  return RetryWithDelay(CONNECT_ATTEMPTS, LOADER_CONNECT_DELAY_MS, tryOnce, PauseAfterLastTry::No);
}

bool _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater, std::string port,
                          uint32_t serial, std::string birdPath, Fingerprint& out, bool reset) {
  std::unique_ptr<UpdaterStore> store =
      _createUpdaterStore(display, updater.storeDirectory, "_get_fingerprint_imx");
  if (!store) return false;
  if (serial == 0) serial = UNKNOWN_SERIAL_NUMBER;

  BirdFile file;
  if (!_recovery_loader_file(display, updater, *store, serial, birdPath, file)) return false;
  const char* fileName = file.path.c_str();
  // Without loader blocks the chip would be sent into memory that holds nothing.
  if (file.FindBlocks(BirdFile::BLOCK_LOADER).empty()) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Firmware file %s holds no recovery loader; nothing was sent to the chip on %s",
                    fileName, port.c_str());
    return false;
  }

  const aErr transferred = _transfer_recovery_loader(display, file, port);
  if (transferred != aErrNone) {
    Log::log(DEBUG_APP, "Error loading liveloader.\n");
    if (transferred == aErrNotReady)
      display.message(UpdaterDisplayInterface::ERROR, "Could not open the i.MX boot loader on %s",
                      port.c_str());
    else
      display.message(UpdaterDisplayInterface::ERROR,
                      "The i.MX boot loader on %s did not take the recovery loader from %s",
                      port.c_str(), fileName);
    return false;
  }

  Module module(LOADER_ADDRESS, ANY_MODEL);
  if (_disableEther(module, display) != aErrNone) return false;
  if (!_connect_recovery_loader(module, serial, true)) {
    Log::log(DEBUG_APP, "Could not connect to device.\n");
    display.message(UpdaterDisplayInterface::ERROR,
                    "The recovery loader started on %s did not appear on USB", port.c_str());
    return false;
  }

  SystemClass system;
  system.init(&module, SYSTEM_INDEX);
  for (uint8_t i = 0; i < IDENTIFIER_WORDS; ++i) {
    const aErr err =
        system.getUEI32(systemUniqueIdentifier, i, &out.word[IDENTIFIER_WORDS - 1 - i]);
    if (err != aErrNone) {
      Log::log(DEBUG_APP, "Error getting Identifier %d.\n", i);
      display.message(UpdaterDisplayInterface::ERROR,
                      "Could not read identifier word %d from the recovery loader ==> %s", i,
                      aError_GetErrorText(err));
      return false;
    }
  }
  if (reset) system.reset();
  return true;
}

bool Updater::Get_Fingerprint(Fingerprint& out, std::string port, uint32_t serialNumber,
                              std::string birdFilePath, uint32_t baudRate, bool reset) {
  if (_get_fingerprint_lpc(display, port, baudRate, out)) {
    chipKind = CHIP_LPC;
    return true;
  }
  chipKind = CHIP_IMX;
  return _get_fingerprint_imx(display, *this, port, serialNumber, birdFilePath, out, reset);
}
