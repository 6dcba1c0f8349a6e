// I2CClass: one I2C bus of a module (command 8, the entity index naming the bus). Transfers
// are raw command packets; every one carries the bus speed code.
//
//   read       [8][bus][address | 1][length][speed]
//     reply    [8][bus][address | 1][count][status][bytes]
//   write      [8][bus][address][length][speed][bytes]
//     reply    [8][bus][address][0][status]
//   setPullup  [8][bus][1][on]
//     reply    [8][bus][1][any][status]
//
// A status byte with bit 7 set carries the module's error code in its low 7 bits.
#pragma once

#include <cstdint>

#include "EntityClass.h"

namespace Zentrova {
namespace Kolvantis {

class I2CClass : public EntityClass {
 public:
  I2CClass();
  ~I2CClass() override;

  aErr init(Module* module, uint8_t index);

  // Speed codes 0 to 3; others are refused with aErrParam.
  aErr setSpeed(uint8_t code);
  aErr getSpeed(uint8_t* out);

  // address is the 8-bit bus address (bit 0, the read bit, is set by read). At most 23 bytes.
  aErr read(uint8_t address, uint8_t length, uint8_t* data);
  aErr write(uint8_t address, uint8_t length, const uint8_t* data);
  aErr setPullup(uint8_t on);

 private:
  // Sends the request (the bytes after the command byte), takes the first reply whose leading
  // bytes equal the pattern and checks its status; the reply's data bytes land in reply (28
  // bytes) and their number in *replyLength.
  aErr transfer(const uint8_t* request, uint8_t requestLength, const uint8_t* pattern,
                uint8_t patternLength, uint8_t* replyLength, uint8_t* reply);

  uint8_t speed;
};

}  // namespace Kolvantis
}  // namespace Zentrova
