#pragma once

// The updater's side of a module's upgrade entity (command 95): opens the module's loader,
// announces each block of a BIRD file, sends its bytes, has the module check them by a byte
// sum, commits firmware chunks to flash, starts the loader and finally reboots the module.
//
// Requests are raw packets [5F][option][arguments]; replies are taken from the bound module by
// their two leading bytes within 1000 ms:
//   INIT     5F 00                      -> 5F 00, load base (4 bytes)
//   DATA     5F 01, 1 to 26 bytes       -> 5F 01, count taken
//   LOAD     5F 02                      -> 5F 02
//   PREPARE  5F 03, flags, address (4)  -> 5F 07, status, block size (2)
//   SUM      5F 04                      -> 5F 07, status, byte sum (4)
//   WRITE    5F 05, length (2)          -> 5F 07, status
//   REBOOT   5F 06                      -> none; the module's link drops
//   DATA_UEI a UEI set of option 10 carrying one chunk as a byte string
// Numbers are big-endian; status 0 is success. Before each request, replies of command 95 left
// over from earlier requests are dropped, and the three status replies are told apart by their
// length, so a late reply never answers a later request.
//
// Lives on the caller's stack for one phase of an update: constructed, init with the connected
// module, used, destroyed. Results are the library's aErr codes.

#include <cstdint>

#include "EntityClass.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

class UpdaterEntity : public Zentrova::Kolvantis::EntityClass {
 public:
  UpdaterEntity();
  ~UpdaterEntity() override;

  // Binds the entity to command 95 of the module; callers pass index 0 and validate true.
  // indirect: the module is reached through a router (the wait after REBOOT is one pass).
  aErr init(Zentrova::Kolvantis::Module* module, uint8_t index, bool validate, bool indirect);

  // INIT: opens the module's loader.
  aErr LoaderInit();
  // PREPARE of one block (data: the block's data, address bytes first; length: its L). The
  // module's block size goes to blockSize; a block size of 0 is refused.
  aErr TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags, uint16_t& blockSize);
  // LOAD: starts the loader. Without an answer the module is reconnected and asked once more.
  aErr LoaderStart();
  // True when the last LoaderStart was answered only after a reconnection, that is on a new
  // link to the started loader.
  bool LoaderStartedOnReconnect() const { return startedOnReconnect; }

  // 0 when the module takes chunks as UEI byte strings; then they travel that way.
  aErr CheckUEIDataSupport();
  // Switches the link's pooled writes on when the module's protocol features have bit 31.
  aErr CheckPooledPacketsSupport();

  // The payload of one loader block (the L - 4 bytes after the address) and its SUM.
  aErr LoaderTransfer(const uint8_t* data, uint32_t length);
  // The payload of one firmware block in chunks of at most blockSize: each sent, summed and
  // written. The progress bar follows the chunks.
  aErr FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                        UpdaterDisplayInterface& display);
  // WRITE of the chunk just sent.
  aErr FirmwareWrite(uint32_t length);
  // REBOOT, then the wait for the module's link to drop (bounded). A REBOOT that cannot be sent,
  // or a link that stays up, is reported on the display: the restart is not confirmed.
  aErr LoaderReboot(UpdaterDisplayInterface& display);

  // Drops the link and connects again: five tries from the stored link specifier, then five
  // with the serial number of a module that cannot tell its own, over the same link type,
  // delay ms apart.
  aErr _reconnect(uint32_t delay);
  // One block transfer of length bytes; blocks counts the packets (or byte strings) taken.
  aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& blocks);
  // The byte-string form of a block transfer; adds the bytes to sum.
  aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& blocks,
                                  uint32_t& sum);

 private:
  // The kinds of reply of command 95 that a request waits for.
  enum class Reply { Init, Data, Load, PrepareStatus, SumStatus, WriteStatus };

  // Drops queued replies of command 95 from the module, left over from earlier requests.
  void drainReplies();
  // Sends [5F][option][arguments].
  aErr sendRequest(uint8_t option, const uint8_t* arguments, uint8_t count);
  // Waits for the reply of that kind; status replies of another kind (told apart by length)
  // are dropped while the wait lasts. aErrPacket for a status reply too short for its kind.
  aErr awaitReply(Reply kind, uint8_t* length, uint8_t* data);

  Zentrova::Kolvantis::Module* module;
  bool validate;
  bool indirect;
  bool ueiData;
  bool startedOnReconnect;
};
