#include "I2CClass.h"

#include <cstring>

#include "aPacket.h"

namespace Zentrova {
namespace Kolvantis {

namespace {

constexpr uint8_t kI2CCommand = 8;
constexpr uint8_t kMaxSpeed = 3;      // highest bus speed code
constexpr uint8_t kMaxTransfer = 23;  // bytes of one read or write
constexpr uint8_t kReadBit = 0x01;
constexpr uint8_t kPullupAddress = 1;   // third byte of a pull-up request
constexpr uint8_t kStatusError = 0x80;  // status bit: the low bits are an error code
constexpr uint8_t kStatusCodeMask = 0x7F;
constexpr uint8_t kStatusAt = 4;     // reply byte of the status
constexpr uint8_t kCountAt = 3;      // read reply: byte of the count
constexpr uint8_t kReadDataAt = 5;   // read reply: first byte read
constexpr uint8_t kWriteDataAt = 4;  // write request after the command: first byte

}  // namespace

I2CClass::I2CClass() : speed(0) {}

I2CClass::~I2CClass() = default;

aErr I2CClass::init(Module* module, uint8_t index) {
  return EntityClass::init(module, kI2CCommand, index);
}

aErr I2CClass::setSpeed(uint8_t code) {
  if (code > kMaxSpeed) return aErrParam;
  speed = code;
  return aErrNone;
}

aErr I2CClass::getSpeed(uint8_t* out) {
  if (out == nullptr) return aErrParam;
  *out = speed;
  return aErrNone;
}

aErr I2CClass::transfer(const uint8_t* request, uint8_t requestLength, const uint8_t* pattern,
                        uint8_t patternLength, uint8_t* replyLength, uint8_t* reply) {
  const aErr sent = sendPacket(kI2CCommand, requestLength, request);
  if (sent != aErrNone) return sent;
  *replyLength = patternLength;
  const aErr received = receivePacket(pattern, replyLength, reply);
  if (received != aErrNone) return received;
  if (*replyLength <= kStatusAt) return aErrPacket;
  const uint8_t status = reply[kStatusAt];
  if ((status & kStatusError) != 0) {
    // An error status without a code must not read as success.
    const uint8_t code = status & kStatusCodeMask;
    return code != 0 ? static_cast<aErr>(code) : aErrUnknown;
  }
  return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* data) {
  if (length > kMaxTransfer) return aErrSize;
  if (data == nullptr && length > 0) return aErrParam;
  const uint8_t target = static_cast<uint8_t>(address | kReadBit);
  const uint8_t request[] = {getIndex(), target, length, speed};
  const uint8_t pattern[] = {kI2CCommand, getIndex(), target};
  uint8_t replyLength = 0;
  uint8_t reply[aPACKETMAXDATA];
  const aErr result =
      transfer(request, sizeof request, pattern, sizeof pattern, &replyLength, reply);
  if (result != aErrNone) return result;
  const uint8_t count = reply[kCountAt];
  // The count is the module's word: it must fit both the reply and what was asked for.
  if (count > replyLength - kReadDataAt) return aErrPacket;
  if (count > length) return aErrSize;
  if (count > 0) std::memcpy(data, reply + kReadDataAt, count);
  return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
  if (length > kMaxTransfer) return aErrSize;
  if (data == nullptr && length > 0) return aErrParam;
  uint8_t request[aPACKETMAXDATA - 1];
  request[0] = getIndex();
  request[1] = address;
  request[2] = length;
  request[3] = speed;
  if (length > 0) std::memcpy(request + kWriteDataAt, data, length);
  const uint8_t pattern[] = {kI2CCommand, getIndex(), address, 0};
  uint8_t replyLength = 0;
  uint8_t reply[aPACKETMAXDATA];
  return transfer(request, static_cast<uint8_t>(kWriteDataAt + length), pattern, sizeof pattern,
                  &replyLength, reply);
}

aErr I2CClass::setPullup(uint8_t on) {
  const uint8_t request[] = {getIndex(), kPullupAddress, static_cast<uint8_t>(on != 0 ? 1 : 0)};
  const uint8_t pattern[] = {kI2CCommand, getIndex(), kPullupAddress};
  uint8_t replyLength = 0;
  uint8_t reply[aPACKETMAXDATA];
  return transfer(request, sizeof request, pattern, sizeof pattern, &replyLength, reply);
}

}  // namespace Kolvantis
}  // namespace Zentrova
