#include "UpdaterEntity.h"

#include <algorithm>
#include <cstring>

#include "Link.h"
#include "Log.h"
#include "Retry.h"
#include "SystemClass.h"
#include "Updater.h"
#include "aPacket.h"
#include "aTime.h"
#include "aUEI.h"
#include "uei.h"

using Zentrova::Kolvantis::Link;
using Zentrova::Kolvantis::Module;
using Zentrova::Kolvantis::SystemClass;

namespace {

constexpr uint8_t cmdUPGRADE = 95;
constexpr uint8_t val_UPGRADE_INIT = 0;
constexpr uint8_t val_UPGRADE_DATA = 1;
constexpr uint8_t val_UPGRADE_LOAD = 2;
constexpr uint8_t val_UPGRADE_PREPARE = 3;
constexpr uint8_t val_UPGRADE_SUM = 4;
constexpr uint8_t val_UPGRADE_WRITE = 5;
constexpr uint8_t val_UPGRADE_REBOOT = 6;
constexpr uint8_t val_UPGRADE_STATUS = 7;
constexpr uint8_t val_UPGRADE_DATA_UEI = 10;

constexpr uint8_t STATUS_OK = 0;
constexpr uint8_t STATUS_MISSING = 0xFF;  // a WRITE reply without its status byte

// Reply lengths (data bytes, command and option included).
constexpr uint8_t INIT_REPLY_MIN_LENGTH = 6;  // 5F 00, load base
constexpr uint8_t DATA_REPLY_LENGTH = 3;      // 5F 01, count
constexpr uint8_t PREPARE_REPLY_LENGTH = 5;   // 5F 07, status, block size
constexpr uint8_t SUM_REPLY_LENGTH = 7;       // 5F 07, status, sum
constexpr uint8_t WRITE_REPLY_LENGTH = 3;     // 5F 07, status
constexpr uint8_t STATUS_HEADER_LENGTH = 2;   // 5F 07 alone

constexpr uint32_t ADDRESS_BYTES = 4;  // a loader or firmware block starts with its address
constexpr uint32_t DATA_PAYLOAD_MAX = aPACKETMAXDATA - 2;  // 26 bytes after 5F 01

constexpr uint64_t REPLY_WAIT_MS = 1000;           // ms a request waits for its reply
constexpr int DATA_RESEND_LIMIT = 3;               // resends of one DATA packet after a wrong echo
constexpr uint32_t LOAD_RECONNECT_DELAY_MS = 500;  // ms between reconnection attempts after LOAD
constexpr int RECONNECT_ATTEMPTS = 5;     // per series (own serial number, then the default)
constexpr uint64_t REBOOT_POLL_MS = 250;  // ms between looks at the link after REBOOT
constexpr uint64_t REBOOT_DROP_TIMEOUT_MS = 30000;  // ms the module may stay connected after REBOOT
constexpr uint32_t POOLED_PACKETS_FEATURE = 0x80000000u;  // protocol feature bit 31
constexpr uint8_t SET_DIRECTION = 0x80;                   // hasUEI: the option is taken as a set

const char* const REBOOT_LABEL = "Verifying Update";

uint32_t ByteSum(const uint8_t* data, uint32_t length) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < length; ++i) sum += data[i];
  return sum;
}

// One reconnection try's result and the line telling it: reconnected, or the pause before the
// next try.
TryOutcome<aErr> ReconnectOutcome(aErr result, uint32_t delay) {
  if (result == aErrNone)
    Log::log(DEBUG_Network_Link, "NETWORK: Reconnected to device\n");
  else
    Log::log(DEBUG_Network_Link, "NETWORK: Couldn't reconnect to device delaying: %u ms\n", delay);
  return {result, result == aErrNone};
}

}  // namespace

UpdaterEntity::UpdaterEntity()
    : module(nullptr), validate(true), indirect(false), ueiData(false), startedOnReconnect(false) {}

UpdaterEntity::~UpdaterEntity() = default;

aErr UpdaterEntity::init(Module* module_, uint8_t index, bool validate_, bool indirect_) {
  module = module_;
  validate = validate_;
  indirect = indirect_;
  ueiData = false;
  startedOnReconnect = false;
  return EntityClass::init(module_, cmdUPGRADE, index);
}

void UpdaterEntity::drainReplies() {
  if (module == nullptr || module->getLink() == nullptr) return;
  const uint8_t pattern[] = {cmdUPGRADE};
  module->getLink()->dropMatchingPackets(module->getModuleAddress(), pattern, sizeof pattern);
}

aErr UpdaterEntity::sendRequest(uint8_t option, const uint8_t* arguments, uint8_t count) {
  uint8_t bytes[aPACKETMAXDATA - 1];
  if (count > sizeof bytes - 1) return aErrParam;
  bytes[0] = option;
  if (count > 0) std::memcpy(bytes + 1, arguments, count);
  drainReplies();
  return sendPacket(cmdUPGRADE, static_cast<uint8_t>(count + 1), bytes);
}

aErr UpdaterEntity::awaitReply(Reply kind, uint8_t* length, uint8_t* data) {
  if (module == nullptr || module->getLink() == nullptr) return aErrResource;
  uint8_t option = val_UPGRADE_STATUS;
  switch (kind) {
    case Reply::Init:
      option = val_UPGRADE_INIT;
      break;
    case Reply::Data:
      option = val_UPGRADE_DATA;
      break;
    case Reply::Load:
      option = val_UPGRADE_LOAD;
      break;
    default:
      break;
  }
  const uint8_t pattern[] = {cmdUPGRADE, option};
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + REPLY_WAIT_MS;
  for (;;) {
    *length = sizeof pattern;
    const aErr result =
        module->getLink()->receivePacketFrom(module->getModuleAddress(), pattern, length, data);
    if (result != aErrNone) return result;
    // Status replies share one pattern; their lengths tell whose they are. A reply of
    // another request (one that had given up waiting) is dropped.
    bool mine = true;
    switch (kind) {
      case Reply::PrepareStatus:
        if (*length == PREPARE_REPLY_LENGTH - 1) return aErrPacket;
        mine = *length == PREPARE_REPLY_LENGTH;
        break;
      case Reply::SumStatus:
        if (*length == SUM_REPLY_LENGTH - 1) return aErrPacket;
        mine = *length >= SUM_REPLY_LENGTH;
        break;
      case Reply::WriteStatus:
        mine = *length <= WRITE_REPLY_LENGTH;
        break;
      default:
        break;
    }
    if (mine) return aErrNone;
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Dropped a status reply of %u bytes left over from an earlier request\n",
             static_cast<unsigned>(*length));
    if (aTime_GetMonotonicMSTicks() >= deadline) return aErrTimeout;
  }
}

aErr UpdaterEntity::LoaderInit() {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
  const aErr sent = sendRequest(val_UPGRADE_INIT, nullptr, 0);
  if (sent != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n",
             static_cast<int>(sent));
    return sent;
  }
  uint8_t length = 0;
  uint8_t reply[aPACKETMAXDATA] = {};
  const aErr received = awaitReply(Reply::Init, &length, reply);
  if (received != aErrNone) return received;
  if (length < INIT_REPLY_MIN_LENGTH) return aErrPacket;
  const uint32_t base = aUEI_RetrieveInt(reply + 2);
  Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %u [%08X]\n", base, base);
  return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* data, uint32_t length, uint8_t flags,
                                    uint16_t& blockSize) {
  if (data == nullptr || length < ADDRESS_BYTES) return aErrParam;
  const uint32_t address = aUEI_RetrieveInt(data);
  Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %u, %02X, %u)\n", length, flags,
           static_cast<unsigned>(blockSize));
  Log::log(
      DEBUG_Network_FIRM,
      "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X %02X]} \n",
      flags, data[0], data[1], data[2], data[3]);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %u\n", address);
  const uint8_t arguments[] = {flags, data[0], data[1], data[2], data[3]};
  const aErr sent = sendRequest(val_UPGRADE_PREPARE, arguments, sizeof arguments);
  if (sent != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n",
             static_cast<int>(sent));
    return sent;
  }
  uint8_t replyLength = 0;
  uint8_t reply[aPACKETMAXDATA] = {};
  const aErr received = awaitReply(Reply::PrepareStatus, &replyLength, reply);
  if (received != aErrNone) return received;
  if (reply[2] != STATUS_OK) {
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
    return aErrInvalidOption;
  }
  const uint16_t size = aUEI_RetrieveShort(reply + 3);
  if (size == 0) {
    // Chunks of no bytes would never get through the block.
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader asked for a block size of 0.\n");
    return aErrInvalidOption;
  }
  blockSize = size;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%u block size]\n",
           static_cast<unsigned>(blockSize));
  return aErrNone;
}

aErr UpdaterEntity::LoaderStart() {
  startedOnReconnect = false;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
  const aErr sent = sendRequest(val_UPGRADE_LOAD, nullptr, 0);
  if (sent != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n",
             static_cast<int>(sent));
    return sent;
  }
  uint8_t length = 0;
  uint8_t reply[aPACKETMAXDATA] = {};
  if (awaitReply(Reply::Load, &length, reply) == aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
    return aErrNone;
  }
  // Some modules restart into their loader without answering; the loader then announces
  // itself on the new link.
  const aErr reconnected = _reconnect(LOAD_RECONNECT_DELAY_MS);
  if (reconnected != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
             static_cast<int>(reconnected), aError_GetErrorText(reconnected));
    return aErrTimeout;
  }
  const aErr again = awaitReply(Reply::Load, &length, reply);
  if (again != aErrNone) {
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n",
             static_cast<int>(again), aError_GetErrorText(again));
    return aErrTimeout;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
  startedOnReconnect = true;
  return aErrNone;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
  if (module == nullptr) return aErrResource;
  const aErr answer = module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, SET_DIRECTION);
  Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n",
           static_cast<int>(answer));
  if (answer == aErrNone) ueiData = true;
  return answer;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
  if (module == nullptr) return aErrResource;
  SystemClass system;
  system.init(module, 0);
  uint32_t features = 0;
  const aErr read = system.getProtocolFeatures(&features);
  Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %u Error: %d\n", features,
           static_cast<int>(read));
  if (read != aErrNone) return read;
  if ((features & POOLED_PACKETS_FEATURE) == 0) return aErrNone;
  Link* link = module->getLink();
  if (link == nullptr) return aErrConnection;
  return link->enablePooledPackets(true);
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* data, uint32_t length) {
  if (data == nullptr || length < ADDRESS_BYTES) return aErrParam;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%u)\n",
           aUEI_RetrieveInt(data), length - ADDRESS_BYTES);
  uint32_t blocks = 0;
  return _block_transfer(data + ADDRESS_BYTES, length - ADDRESS_BYTES, blocks);
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* data, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
  if (data == nullptr || length < ADDRESS_BYTES) return aErrParam;
  if (blockSize == 0) return aErrInvalidOption;
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%u)\n",
           aUEI_RetrieveInt(data), length - ADDRESS_BYTES);
  uint32_t remaining = length - ADDRESS_BYTES;
  const uint8_t* position = data + ADDRESS_BYTES;
  uint32_t blocks = 0;
  aErr result = aErrNone;
  Log::timestamped = false;
  display.display_progress(true);
  while (remaining > 0 && result == aErrNone) {
    const uint32_t chunk = std::min<uint32_t>(remaining, blockSize);
    result = _block_transfer(position, chunk, blocks);
    if (result != aErrNone) break;
    remaining -= chunk;
    position += chunk;
    blocks += 1;
    display.update_progress(static_cast<double>(length - remaining) / static_cast<double>(length),
                            nullptr);
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %u more bytes (%u of %u remaining)\n", chunk,
             remaining, length);
    result = FirmwareWrite(chunk);
  }
  display.display_progress(false);
  Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %u of %u bytes\n", length - remaining, length);
  if (result != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
  return result;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t length) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %u}\n\n",
           length);
  uint8_t arguments[2];
  aUEI_StoreShort(arguments, static_cast<uint16_t>(length & 0xFFFF));
  const aErr sent = sendRequest(val_UPGRADE_WRITE, arguments, sizeof arguments);
  if (sent != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n",
             static_cast<int>(sent), aError_GetErrorText(sent));
    return sent;
  }
  uint8_t replyLength = 0;
  uint8_t reply[aPACKETMAXDATA] = {};
  reply[2] = STATUS_MISSING;
  const aErr received = awaitReply(Reply::WriteStatus, &replyLength, reply);
  if (received != aErrNone || replyLength <= STATUS_HEADER_LENGTH || reply[2] != STATUS_OK) {
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: invalid or error reply when loader writing firmware.\n\n");
    return aErrInvalidOption;
  }
  Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
  return aErrNone;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
  Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
  const aErr sent = sendRequest(val_UPGRADE_REBOOT, nullptr, 0);
  if (sent != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + REBOOT_DROP_TIMEOUT_MS;
  bool stayedUp = false;
  while (module != nullptr && module->isConnected()) {
    if (aTime_GetMonotonicMSTicks() >= deadline) {
      stayedUp = true;
      break;
    }
    aTime_MSSleep(REBOOT_POLL_MS);
    display.update_spinner(true, REBOOT_LABEL);
    Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
    Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
    if (indirect) break;
  }
  display.update_spinner(false, REBOOT_LABEL);
  linkSpec spec = {};
  const uint32_t serial =
      module != nullptr && module->getLinkSpecifier(&spec) == aErrNone ? spec.serialNumber : 0;
  if (stayedUp && sent == aErrNone) {
    display.message(
        UpdaterDisplayInterface::ERROR,
        "Module [%08X] was still connected %u s after it was told to reboot; it may not have "
        "restarted with the new firmware",
        serial, static_cast<unsigned>(REBOOT_DROP_TIMEOUT_MS / 1000));
    return aErrTimeout;
  }
  // The firmware is in the flash, but nothing confirms that the module runs it.
  if (sent != aErrNone && stayedUp)
    display.message(
        UpdaterDisplayInterface::ERROR,
        "The firmware of module [%08X] is written in full, but the request to reboot could not be "
        "sent (%d, %s) and the module was still connected %u s later; check that it restarts with "
        "the new firmware, and power-cycle it if it does not",
        serial, static_cast<int>(sent), aError_GetErrorText(sent),
        static_cast<unsigned>(REBOOT_DROP_TIMEOUT_MS / 1000));
  else if (sent != aErrNone)
    display.message(
        UpdaterDisplayInterface::ERROR,
        "The firmware of module [%08X] is written in full, but the request to reboot could not be "
        "sent (%d, %s); check that it restarts with the new firmware, and power-cycle it if it "
        "does not",
        serial, static_cast<int>(sent), aError_GetErrorText(sent));
  return sent;
}

aErr UpdaterEntity::_reconnect(uint32_t delay) {
  if (module == nullptr) return aErrResource;
  // Reconnect the way the module was reached.
  linkSpec spec = {};
  const linkType type = module->getLinkSpecifier(&spec) == aErrNone ? spec.type : aLINK_TYPE_USB;
  // Each try drops the link first: a failed one leaves its link ID held, which would refuse
  // the next.
  const aErr own = RetryWithDelay(RECONNECT_ATTEMPTS, delay, [&](int attempt) {
    Log::log(DEBUG_Network_Link, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
             RECONNECT_ATTEMPTS);
    module->disconnect();
    return ReconnectOutcome(module->reconnect(), delay);
  });
  if (own == aErrNone) return aErrNone;
  return RetryWithDelay(RECONNECT_ATTEMPTS, delay, [&](int attempt) {
    Log::log(DEBUG_Network_Link, "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
             attempt, RECONNECT_ATTEMPTS);
    module->disconnect();
    return ReconnectOutcome(module->connect(type, UNKNOWN_SERIAL_NUMBER), delay);
  });
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& blocks) {
  Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
  if (data == nullptr && length > 0) return aErrParam;
  uint32_t sum = 0;
  uint32_t remaining = length;
  uint32_t sent = 0;
  aErr result = aErrNone;
  if (ueiData) {
    result = _block_transfer_uei_helper(data, length, blocks, sum);
    if (result != aErrNone) return result;
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %u bytes \n", length);
  } else {
    int resends = 0;
    while (remaining > 0 && result == aErrNone) {
      const uint32_t count = std::min(remaining, DATA_PAYLOAD_MAX);
      Log::log(DEBUG_Network_FIRM,
               "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %u} \n", count);
      const aErr out = sendRequest(val_UPGRADE_DATA, data + sent, static_cast<uint8_t>(count));
      if (out != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n",
                 static_cast<int>(out));
        return out;
      }
      uint8_t replyLength = 0;
      uint8_t reply[aPACKETMAXDATA] = {};
      if (awaitReply(Reply::Data, &replyLength, reply) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(DATA): No reply when initializing upgrade.\n");
        result = aErrPacket;
        break;
      }
      const int taken = replyLength >= DATA_REPLY_LENGTH ? reply[2] : -1;
      if (taken != static_cast<int>(count)) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Invalid upgrade transfer response [%d != %u].\n",
                 taken, count);
        if (++resends > DATA_RESEND_LIMIT) {
          Log::log(DEBUG_Network_FIRM, "\nNETWORK: DATA still not taken after %d resends.\n",
                   DATA_RESEND_LIMIT);
          result = aErrPacket;
          break;
        }
        continue;
      }
      resends = 0;
      sum += ByteSum(data + sent, count);
      sent += count;
      remaining -= count;
      blocks += 1;
      Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %u more bytes (%u of %u remaining)\n",
               count, remaining, length);
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %u of %u bytes\n", sent, length);
  }
  if (result != aErrNone || !validate) return result;

  Log::log(DEBUG_Network_FIRM,
           "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
  // A failed send shows as the missing reply.
  sendRequest(val_UPGRADE_SUM, nullptr, 0);
  uint8_t replyLength = 0;
  uint8_t reply[aPACKETMAXDATA] = {};
  const aErr received = awaitReply(Reply::SumStatus, &replyLength, reply);
  if (received == aErrPacket) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): Short reply to the byte sum.\n");
    return aErrPacket;
  }
  if (received != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
    return aErrPacket;
  }
  const uint8_t status = reply[2];
  const uint32_t moduleSum = aUEI_RetrieveInt(reply + 3);
  if (status == STATUS_OK && moduleSum == sum) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%u blocks].\n",
             status, sum, moduleSum, blocks);
    return aErrNone;
  }
  Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
           moduleSum);
  return aErrInvalidOption;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length,
                                               uint32_t& blocks, uint32_t& sum) {
  Log::log(DEBUG_Network_FIRM,
           "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %u} \n", length);
  drainReplies();
  const aErr result = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
  if (result != aErrNone) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n",
             static_cast<int>(result));
    return result;
  }
  sum += ByteSum(data, length);
  blocks = 1;
  return aErrNone;
}
