// The recovery (-U -t RECOVER) of a module whose firmware is gone: the chip's fingerprint,
// the module and build the update server gives for it, the firmware file, and then the flash
// programming through the LPC ISP ROM, or the firmware sent to the i.MX recovery loader that
// the fingerprint step left running.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Log.h"
#include "Module.h"
#include "NXPSerialClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "aError.h"
#include "aTime.h"

using Zentrova::Kolvantis::Module;

namespace {

constexpr uint32_t FINGERPRINT_BAUD = 115200;   // the fingerprint is always read at this rate
constexpr uint32_t LAST_BLOCK_IMAGE_BYTES = 4;  // a firmware image this long ends the LPC transfer
constexpr uint8_t ANY_MODEL = 0;
constexpr uint8_t LOADER_ADDRESS = 0;  // the loader's own address is learnt on connecting

// The flash programming's progress on the display: one message and one bar per block.
class DisplayFlashProgress : public NXPFlashProgress {
 public:
  explicit DisplayFlashProgress(UpdaterDisplayInterface& display) : display_(display) {}

  void blockStarted(int number, int count, uint32_t size, uint32_t /*address*/) override {
    display_.message(UpdaterDisplayInterface::INFO,
                     "Transferring firmware block %d of %d, %u bytes", number, count, size);
    display_.display_progress(true);
    open_ = true;
  }
  void blockProgress(double fraction) override { display_.update_progress(fraction, nullptr); }
  void blockFinished() override { close(); }

  // Clears a bar that a failed block left on the line.
  void close() {
    if (open_) display_.display_progress(false);
    open_ = false;
  }

 private:
  UpdaterDisplayInterface& display_;
  bool open_ = false;
};

bool _recover_firmware_lpc(UpdaterDisplayInterface& display, BirdFile& file, std::string& port,
                           uint32_t baud, Fingerprint& /*fingerprint*/) {
  NXPSerialClass chip;
  const aErr opened = chip.Connect(port.c_str(), baud);
  if (opened != aErrNone) {
    Log::log(DEBUG_Network_Link, "Could not connect to %s\n", port.c_str());
    _show_serial_port_failure(display, port, opened);
    return false;
  }
  Log::log(DEBUG_Updater, "Updating device firmware: \n");
  Log::log(DEBUG_Updater, "Transferring firmware to device from [%s]\n", file.path.c_str());

  // The images after their load addresses, up to the first 4-byte image, which ends them.
  std::vector<NXPFlashBlock> blocks;
  uint64_t total = 0;
  for (const BirdBlock& block : file.FindBlocks(BirdFile::BLOCK_FIRMWARE)) {
    if (block.length < 4) continue;  // no load address: nothing to program
    const uint32_t size = block.length - 4;
    if (size == LAST_BLOCK_IMAGE_BYTES) break;
    if (size == 0) continue;
    NXPFlashBlock flash;
    flash.address = block.address;
    flash.data = block.data + 4;
    flash.size = size;
    blocks.push_back(flash);
    total += size;
  }

  DisplayFlashProgress progress(display);
  std::string message;
  const aErr programmed = chip.ProgramFlash(blocks, &progress, &message);
  progress.close();
  if (programmed != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "%s", message.c_str());
    return false;
  }
  display.message(UpdaterDisplayInterface::INFO, "Transferred %zu blocks, %llu total bytes",
                  blocks.size(), static_cast<unsigned long long>(total));
  display.message(UpdaterDisplayInterface::INFO, "Rebooting Device");
  return true;
}

bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& file, uint32_t serial,
                           bool ueiBytes) {
  // Without firmware blocks the loader would be rebooted with nothing written.
  if (file.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
    display.message(UpdaterDisplayInterface::ERROR,
                    "Bird file %s holds no firmware blocks; nothing was sent", file.path.c_str());
    return false;
  }
  Module module(LOADER_ADDRESS, ANY_MODEL);
  if (_disableEther(module, display) != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to transfer firmware");
    return false;
  }
  if (!_connect_recovery_loader(module, serial, false)) {
    display.message(UpdaterDisplayInterface::ERROR, "Could not connect to device");
    return false;
  }
  if (_transfer_firmware(display, module, file, false, ueiBytes) != aErrNone) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to transfer firmware");
    return false;
  }
  return true;
}

}  // namespace

bool Updater::Recover_Firmware(std::string port, uint32_t build, uint32_t baudRate,
                               uint32_t serialNumber, std::string birdFilePath, bool /*override*/) {
  const uint64_t start = aTime_GetMonotonicMSTicks();
  BirdFile file;

  Fingerprint fingerprint;
  if (!Get_Fingerprint(fingerprint, port, serialNumber, birdFilePath, FINGERPRINT_BAUD, false)) {
    display.message(UpdaterDisplayInterface::ERROR, "Could not get Device Identifier");
    return false;
  }

  uint32_t recoveryBuild = 0;
  if (birdFilePath.empty()) {
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.word, &serialNumber, &recoveryBuild,
                                              url.c_str()) ||
        serialNumber == 0) {
      display.message(UpdaterDisplayInterface::ERROR,
                      "Failed to retrieve recovery information from Zentrova server");
      return false;
    }
    if (build != 0) recoveryBuild = build;
    // Build 0 stands for the latest: its file is stored under the number the download
    // returns, not under 0.
    if (recoveryBuild == 0) {
      recoveryBuild = Download_Firmware(serialNumber, "", false, false);
      if (recoveryBuild == 0) {
        display.message(UpdaterDisplayInterface::ERROR, "Failed to load bird file");
        return false;
      }
    }
  }

  try {
    file = load_bird("Recovering", birdFilePath, serialNumber, recoveryBuild, true);
  } catch (const std::runtime_error&) {
    display.message(UpdaterDisplayInterface::ERROR, "Failed to load bird file");
    return false;
  }
  if (file.personalisable) {
    display.message(UpdaterDisplayInterface::ERROR, "Updater does not support offline recovery");
    return false;
  }

  bool result = false;
  if (chipKind == CHIP_IMX) {
    result = _recover_firmware_imx(display, file, serialNumber, ueiBytesLoad);
  } else if (chipKind == CHIP_LPC) {
    file.DecodeFirmwareBlocks(fingerprint.word);
    result = _recover_firmware_lpc(display, file, port, baudRate, fingerprint);
  }
  display.message(UpdaterDisplayInterface::INFO, "Update time: %.4f sec",
                  static_cast<double>(aTime_GetMonotonicMSTicks() - start) / 1000.0);
  return result;
}
