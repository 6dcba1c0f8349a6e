#include "SystemClass.h"

namespace Zentrova {
namespace Kolvantis {

namespace {

constexpr uint8_t kSystemCommand = 3;
constexpr size_t kWordBytes = 4;  // bytes of one input-power-behaviour word

// Options of the system entity.
enum : uint8_t {
  kModule = 1,
  kRouter = 2,
  kHBInterval = 3,
  kLED = 4,
  kBootSlot = 6,
  kVersion = 7,
  kModel = 8,
  kSerialNumber = 9,
  kSave = 10,
  kReset = 11,
  kInputVoltage = 12,
  kModuleHardwareOffset = 13,
  kModuleBaseAddress = 14,
  kModuleSoftwareOffset = 15,
  kRouterAddressSetting = 16,
  kRouteToMe = 20,
  kInputCurrent = 21,
  kUptime = 22,
  kMaximumTemperature = 23,
  kLogEvents = 24,
  kUnregulatedVoltage = 25,
  kUnregulatedCurrent = 26,
  kTemperature = 27,
  kMinimumTemperature = 28,
  kInputPowerSource = 29,
  kInputPowerBehavior = 30,
  kInputPowerBehaviorConfig = 31,
  kName = 32,
  kPowerLimit = 33,
  kPowerLimitMax = 34,
  kPowerLimitState = 35,
  kResetDeviceToFactoryDefaults = 37,
  kLinkInterface = 38,
  kHardwareVersion = 40,
  kErrors = 41,
  kLEDMaxBrightness = 42,
  kBuild = 43,
  kProtocolFeatures = 45,
};

}  // namespace

SystemClass::SystemClass() = default;

SystemClass::~SystemClass() = default;

aErr SystemClass::init(Module* module, uint8_t index) {
  return EntityClass::init(module, kSystemCommand, index);
}

aErr SystemClass::getSigned(uint8_t option, int32_t* out) {
  if (out == nullptr) return aErrParam;
  uint32_t value = 0;
  const aErr result = getUEI32(option, &value);
  if (result == aErrNone || result == aErrStreamStale) *out = static_cast<int32_t>(value);
  return result;
}

aErr SystemClass::getModule(uint8_t* out) { return getUEI8(kModule, out); }
aErr SystemClass::getRouter(uint8_t* out) { return getUEI8(kRouter, out); }
aErr SystemClass::setRouter(uint8_t value) { return setUEI8(kRouter, value); }
aErr SystemClass::getHBInterval(uint8_t* out) { return getUEI8(kHBInterval, out); }
aErr SystemClass::setHBInterval(uint8_t value) { return setUEI8(kHBInterval, value); }
aErr SystemClass::getLED(uint8_t* out) { return getUEI8(kLED, out); }
aErr SystemClass::setLED(uint8_t value) { return setUEI8(kLED, value); }
aErr SystemClass::getBootSlot(uint8_t* out) { return getUEI8(kBootSlot, out); }
aErr SystemClass::setBootSlot(uint8_t value) { return setUEI8(kBootSlot, value); }
aErr SystemClass::getVersion(uint32_t* out) { return getUEI32(kVersion, out); }
aErr SystemClass::getModel(uint8_t* out) { return getUEI8(kModel, out); }
aErr SystemClass::getSerialNumber(uint32_t* out) { return getUEI32(kSerialNumber, out); }
aErr SystemClass::save() { return callUEI(kSave); }
aErr SystemClass::reset() { return callUEI(kReset); }
aErr SystemClass::getInputVoltage(uint32_t* out) { return getUEI32(kInputVoltage, out); }
aErr SystemClass::getModuleHardwareOffset(uint8_t* out) {
  return getUEI8(kModuleHardwareOffset, out);
}
aErr SystemClass::getModuleBaseAddress(uint8_t* out) { return getUEI8(kModuleBaseAddress, out); }
aErr SystemClass::getModuleSoftwareOffset(uint8_t* out) {
  return getUEI8(kModuleSoftwareOffset, out);
}
aErr SystemClass::setModuleSoftwareOffset(uint8_t value) {
  return setUEI8(kModuleSoftwareOffset, value);
}
aErr SystemClass::getRouterAddressSetting(uint8_t* out) {
  return getUEI8(kRouterAddressSetting, out);
}
aErr SystemClass::routeToMe(uint8_t value) { return setUEI8(kRouteToMe, value); }
aErr SystemClass::getInputCurrent(uint32_t* out) { return getUEI32(kInputCurrent, out); }
aErr SystemClass::getUptime(uint32_t* out) { return getUEI32(kUptime, out); }
aErr SystemClass::getMaximumTemperature(int32_t* out) {
  return getSigned(kMaximumTemperature, out);
}
aErr SystemClass::logEvents() { return callUEI(kLogEvents); }
aErr SystemClass::getUnregulatedVoltage(int32_t* out) {
  return getSigned(kUnregulatedVoltage, out);
}
aErr SystemClass::getUnregulatedCurrent(int32_t* out) {
  return getSigned(kUnregulatedCurrent, out);
}
aErr SystemClass::getTemperature(int32_t* out) { return getSigned(kTemperature, out); }
aErr SystemClass::getMinimumTemperature(int32_t* out) {
  return getSigned(kMinimumTemperature, out);
}
aErr SystemClass::getInputPowerSource(uint8_t* out) { return getUEI8(kInputPowerSource, out); }
aErr SystemClass::getInputPowerBehavior(uint8_t* out) { return getUEI8(kInputPowerBehavior, out); }
aErr SystemClass::setInputPowerBehavior(uint8_t value) {
  return setUEI8(kInputPowerBehavior, value);
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count) {
  if (words == nullptr || count == nullptr || capacity == 0) return aErrParam;
  if (capacity > SIZE_MAX / kWordBytes) return aErrParam;
  const aErr result = getUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(words),
                                  capacity * kWordBytes, count);
  if (result != aErrNone) return result;
  return getUEIBytesCheck(count, kWordBytes);
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count) {
  if (words == nullptr && count > 0) return aErrParam;
  if (count > SIZE_MAX / kWordBytes) return aErrParam;
  return setUEIBytes(kInputPowerBehaviorConfig, reinterpret_cast<const uint8_t*>(words),
                     count * kWordBytes);
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* length) {
  const aErr result = getUEIBytes(kName, buffer, capacity, length);
  if (result != aErrNone) return result;
  return getUEIBytesCheck(length, 1);
}

aErr SystemClass::setName(const uint8_t* data, size_t length) {
  return setUEIBytes(kName, data, length);
}

aErr SystemClass::getPowerLimit(uint32_t* out) { return getUEI32(kPowerLimit, out); }
aErr SystemClass::getPowerLimitMax(uint32_t* out) { return getUEI32(kPowerLimitMax, out); }
aErr SystemClass::setPowerLimitMax(uint32_t value) { return setUEI32(kPowerLimitMax, value); }
aErr SystemClass::getPowerLimitState(uint32_t* out) { return getUEI32(kPowerLimitState, out); }
aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(kResetDeviceToFactoryDefaults); }
aErr SystemClass::getLinkInterface(uint8_t* out) { return getUEI8(kLinkInterface, out); }
aErr SystemClass::setLinkInterface(uint8_t value) { return setUEI8(kLinkInterface, value); }
aErr SystemClass::getHardwareVersion(uint32_t* out) { return getUEI32(kHardwareVersion, out); }
aErr SystemClass::getErrors(uint32_t* out) { return getUEI32(kErrors, out); }
aErr SystemClass::getLEDMaxBrightness(uint8_t* out) { return getUEI8(kLEDMaxBrightness, out); }
aErr SystemClass::setLEDMaxBrightness(uint8_t value) { return setUEI8(kLEDMaxBrightness, value); }
aErr SystemClass::getBuild(uint32_t* out) { return getUEI32(kBuild, out); }
aErr SystemClass::getProtocolFeatures(uint32_t* out) { return getUEI32(kProtocolFeatures, out); }

}  // namespace Kolvantis
}  // namespace Zentrova
