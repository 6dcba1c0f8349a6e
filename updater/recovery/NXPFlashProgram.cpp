// Programming firmware blocks into the chip's flash through the ISP commands: all blocks are
// checked before anything is erased; each block then goes in chunks of up to 4096 bytes
// through the RAM staging area into the flash.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "Log.h"
#include "NXPSerialClass.h"

namespace {

constexpr uint32_t kChunkBytes = 4096;    // largest copy from RAM into the flash
constexpr uint32_t kCopyAlignment = 256;  // flash addresses of copies are multiples of this
constexpr uint64_t kFlashEnd = 0x80000;   // the 512 KiB flash ends here
constexpr uint32_t kFirstSector = 0;
constexpr uint32_t kLastSector = 29;
constexpr uint8_t kErasedByte = 0xFF;  // what erased flash reads as
constexpr uint32_t kStartAddress = 0;  // the firmware's vector table

std::string sFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string sFormat(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// End of the flash range a block's copies cover: whole chunks, then the last chunk rounded up
// to its copy length.
uint64_t sCopyEnd(const NXPFlashBlock& block) {
  const uint64_t whole = block.size / kChunkBytes * static_cast<uint64_t>(kChunkBytes);
  const uint32_t rest = block.size % kChunkBytes;
  return block.address + whole + (rest ? NXPSerialClass::CopyLength(rest) : 0);
}

// A message for the first block that cannot be programmed as given, or empty.
std::string sCheckBlocks(const std::vector<NXPFlashBlock>& blocks) {
  for (size_t i = 0; i < blocks.size(); ++i) {
    const NXPFlashBlock& block = blocks[i];
    const int number = static_cast<int>(i + 1);
    if (!block.data || block.size == 0)
      return sFormat("Firmware block %d for address 0x%08" PRIX32 " is empty", number,
                     block.address);
    if (block.address % kCopyAlignment != 0)
      return sFormat("Firmware block %d at address 0x%08" PRIX32 " is not on a %u-byte boundary",
                     number, block.address, kCopyAlignment);
    if (sCopyEnd(block) > kFlashEnd)
      return sFormat("Firmware block %d (%" PRIu32 " bytes at address 0x%08" PRIX32
                     ") does not fit the chip's flash of %u bytes",
                     number, block.size, block.address, static_cast<unsigned>(kFlashEnd));
    for (size_t j = 0; j < i; ++j) {
      const NXPFlashBlock& other = blocks[j];
      if (block.address < sCopyEnd(other) && other.address < sCopyEnd(block))
        return sFormat("Firmware blocks %d and %d overlap in the chip's flash",
                       static_cast<int>(j + 1), number);
    }
  }
  return std::string();
}

// Unlock, then the erase of all sectors (prepared first). The failed step's code and message.
aErr sEraseFlash(NXPSerialClass& chip, const char* port, std::string* message) {
  Log::log(DEBUG_Updater, "\n\tUnlock Memory:\n");
  aErr result = chip.Unlock();
  if (result != aErrNone) {
    Log::log(DEBUG_Network_Link, "Could not unlock\n");
    *message = sFormat("Could not unlock the flash of the chip on %s ==> %s", port,
                       aError_GetErrorText(result));
    return result;
  }
  Log::log(DEBUG_Updater, "\n\tPrepare ALL memory for update:\n");
  result = chip.Prepare(kFirstSector, kLastSector);
  if (result != aErrNone) {
    Log::log(DEBUG_Network_Link, "Could not prepare\n");
    *message = sFormat("Could not prepare the flash of the chip on %s for erasing ==> %s", port,
                       aError_GetErrorText(result));
    return result;
  }
  Log::log(DEBUG_Updater, "\n\tErase all memory before update:\n");
  result = chip.Erase(kFirstSector, kLastSector);
  if (result != aErrNone) {
    Log::log(DEBUG_Network_Link, "Could not erase\n");
    *message = sFormat("Could not erase the flash of the chip on %s ==> %s", port,
                       aError_GetErrorText(result));
    return result;
  }
  return aErrNone;
}

// One chunk of at most kChunkBytes into the flash at address: written to the RAM staging area
// (padded with erased bytes to its copy length), its sectors prepared, then copied. The failed
// step's code and message.
aErr sWriteChunk(NXPSerialClass& chip, const uint8_t* data, uint32_t chunk, uint32_t address,
                 const char* port, std::string* message) {
  uint8_t staging[kChunkBytes];
  const uint32_t copy = NXPSerialClass::CopyLength(chunk);
  const uint32_t ram = NXPSerialClass::WRITE_ADDRESS;
  // The staging area past the chunk would otherwise go into the flash as it is.
  memcpy(staging, data, chunk);
  memset(staging + chunk, kErasedByte, copy - chunk);

  Log::log(DEBUG_Updater, "Transferring firmware %d bytes to address 0x%08X\n",
           static_cast<int>(chunk), address);
  Log::log(DEBUG_Updater, "\t Write %d bytes to address 0x%08X\n", static_cast<int>(copy), ram);
  aErr result = chip.Write(ram, copy, staging);
  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "\t Write to RAM failed\n");
    *message = sFormat("Could not write %" PRIu32 " bytes for flash address 0x%08" PRIX32
                       " into the RAM of the chip on %s ==> %s",
                       copy, address, port, aError_GetErrorText(result));
    return result;
  }

  const uint32_t first = NXPSerialClass::SectorFromAddress(address);
  const uint32_t last = NXPSerialClass::SectorFromAddress(address + copy - 1);
  Log::log(DEBUG_Updater, "\t Prepare to copy to sector(s) %d to %d\n", static_cast<int>(first),
           static_cast<int>(last));
  result = chip.Prepare(first, last);
  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "\t Prepare failed\n");
    *message =
        sFormat("Could not prepare sectors %" PRIu32 " to %" PRIu32 " of the chip on %s ==> %s",
                first, last, port, aError_GetErrorText(result));
    return result;
  }

  Log::log(DEBUG_Updater, "\t Copy %d bytes from %08X to %08X\n", static_cast<int>(copy), ram,
           address);
  result = chip.CopyToFlash(address, ram, copy);
  if (result != aErrNone) {
    Log::log(DEBUG_Updater, "\t Transfer to flash failed\n");
    *message = sFormat("Could not copy %" PRIu32 " bytes to flash address 0x%08" PRIX32
                       " of the chip on %s ==> %s",
                       copy, address, port, aError_GetErrorText(result));
    return result;
  }
  return aErrNone;
}

// Block number (from 1) of count into the erased flash, chunk by chunk; progress (may be null)
// follows it. The failed chunk's code and message.
aErr sWriteBlock(NXPSerialClass& chip, const NXPFlashBlock& block, int number, int count,
                 NXPFlashProgress* progress, const char* port, std::string* message) {
  if (progress) progress->blockStarted(number, count, block.size, block.address);
  Log::log(DEBUG_Updater, "Transferring firmware block: %d bytes to address 0x%08X\n",
           static_cast<int>(block.size), block.address);
  uint32_t address = block.address;
  uint32_t offset = 0;
  while (offset < block.size) {
    const uint32_t chunk = block.size - offset < kChunkBytes ? block.size - offset : kChunkBytes;
    const aErr result = sWriteChunk(chip, block.data + offset, chunk, address, port, message);
    if (result != aErrNone) return result;
    address += chunk;
    offset += chunk;
    if (progress) progress->blockProgress(static_cast<double>(offset) / block.size);
  }
  if (progress) progress->blockFinished();
  return aErrNone;
}

// Echo back on, then the start of the programmed firmware. The echo command's failure and
// message.
aErr sStartFirmware(NXPSerialClass& chip, std::string* message) {
  const aErr result = chip.SetEcho(true);
  if (result != aErrNone) {
    // The flash holds the firmware, but the chip would not take the command to start it.
    *message = sFormat("Recovery Error transfering data to device ==> [%d, %s]",
                       static_cast<int>(result), aError_GetErrorText(result));
    return result;
  }
  chip.ExecuteFrom(kStartAddress);
  return aErrNone;
}

}  // namespace

aErr NXPSerialClass::ProgramFlash(const std::vector<NXPFlashBlock>& blocks,
                                  NXPFlashProgress* progress, std::string* message) {
  std::string ignored;
  if (!message) message = &ignored;
  message->clear();
  const char* port = port_.c_str();

  if (!stream) {
    *message = "No serial port is open to program the chip";
    return aErrIO;
  }
  if (blocks.empty()) {
    *message = sFormat("No firmware blocks to write to the chip on %s", port);
    return aErrParam;
  }
  const std::string refused = sCheckBlocks(blocks);
  if (!refused.empty()) {
    *message = refused + "; nothing was written to the chip on " + port_;
    return aErrParam;
  }

  aErr result = sEraseFlash(*this, port, message);
  if (result != aErrNone) return result;
  // Without echo the bulk data moves at twice the speed; when the chip keeps its echo on,
  // echo still follows it and everything works as before.
  SetEcho(false);

  const int count = static_cast<int>(blocks.size());
  for (int b = 0; b < count; ++b) {
    result =
        sWriteBlock(*this, blocks[static_cast<size_t>(b)], b + 1, count, progress, port, message);
    if (result != aErrNone) return result;
  }
  return sStartFirmware(*this, message);
}
