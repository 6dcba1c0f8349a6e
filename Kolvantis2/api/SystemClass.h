// SystemClass: the system entity of a module (command 3): identity, addresses, power and
// temperature readings, and commands such as save and reset. Each method fixes one option and
// its width; every get answers aErrParam for a null output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "EntityClass.h"

namespace Zentrova {
namespace Kolvantis {

class SystemClass : public EntityClass {
 public:
  SystemClass();
  ~SystemClass() override;

  aErr init(Module* module, uint8_t index);

  aErr getModule(uint8_t* out);
  aErr getRouter(uint8_t* out);
  aErr setRouter(uint8_t value);
  aErr getHBInterval(uint8_t* out);
  aErr setHBInterval(uint8_t value);
  aErr getLED(uint8_t* out);
  aErr setLED(uint8_t value);
  aErr getBootSlot(uint8_t* out);
  aErr setBootSlot(uint8_t value);
  aErr getVersion(uint32_t* out);
  aErr getModel(uint8_t* out);
  aErr getSerialNumber(uint32_t* out);
  aErr save();
  aErr reset();
  aErr getInputVoltage(uint32_t* out);
  aErr getModuleHardwareOffset(uint8_t* out);
  aErr getModuleBaseAddress(uint8_t* out);
  aErr getModuleSoftwareOffset(uint8_t* out);
  aErr setModuleSoftwareOffset(uint8_t value);
  aErr getRouterAddressSetting(uint8_t* out);
  aErr routeToMe(uint8_t value);
  aErr getInputCurrent(uint32_t* out);
  aErr getUptime(uint32_t* out);
  aErr getMaximumTemperature(int32_t* out);
  aErr logEvents();
  aErr getUnregulatedVoltage(int32_t* out);
  aErr getUnregulatedCurrent(int32_t* out);
  aErr getTemperature(int32_t* out);
  aErr getMinimumTemperature(int32_t* out);
  aErr getInputPowerSource(uint8_t* out);
  aErr getInputPowerBehavior(uint8_t* out);
  aErr setInputPowerBehavior(uint8_t value);
  // 32-bit words as the bytes of the array, without byte-order conversion either way.
  aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
  aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
  // The module's name, without a terminator.
  aErr getName(uint8_t* buffer, size_t capacity, size_t* length);
  aErr setName(const uint8_t* data, size_t length);
  aErr getPowerLimit(uint32_t* out);
  aErr getPowerLimitMax(uint32_t* out);
  aErr setPowerLimitMax(uint32_t value);
  aErr getPowerLimitState(uint32_t* out);
  aErr resetDeviceToFactoryDefaults();
  aErr getLinkInterface(uint8_t* out);
  aErr setLinkInterface(uint8_t value);
  aErr getHardwareVersion(uint32_t* out);
  aErr getErrors(uint32_t* out);
  aErr getLEDMaxBrightness(uint8_t* out);
  aErr setLEDMaxBrightness(uint8_t value);
  aErr getBuild(uint32_t* out);
  aErr getProtocolFeatures(uint32_t* out);

 private:
  aErr getSigned(uint8_t option, int32_t* out);
};

}  // namespace Kolvantis
}  // namespace Zentrova
