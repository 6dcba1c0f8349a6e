#include "aUSBStream.h"

#include <cstdio>
#include <new>

#include "aDefs.h"

namespace {

USBStream* Record(void* reference) {
  USBStream* stream = static_cast<USBStream*>(reference);
  return aVALIDUSBS(stream) ? stream : nullptr;
}

aErr sUSBStreamGet(uint8_t* byte, void* reference) {
  USBStream* stream = Record(reference);
  return stream != nullptr ? kvusb_get_from_device(stream->device, byte) : aErrParam;
}

aErr sUSBStreamWrite(const uint8_t* data, size_t length, void* reference) {
  USBStream* stream = Record(reference);
  return stream != nullptr ? kvusb_write_to_device(stream->device, data, length) : aErrParam;
}

aErr sUSBStreamPut(const uint8_t* byte, void* reference) {
  return sUSBStreamWrite(byte, 1, reference);
}

// Installed only for a mode with a wait of its own (the kernel node): a libusb get waits on
// its own IN transfer.
aErr sUSBStreamWait(uint32_t timeoutMs, void* reference) {
  USBStream* stream = Record(reference);
  return stream != nullptr ? kvusb_wait_for_device(stream->device, timeoutMs) : aErrParam;
}

aErr sUSBStreamDelete(void* reference) {
  USBStream* stream = Record(reference);
  if (stream == nullptr) return aErrParam;
  const aErr result = kvusb_close_kolvantis_device(stream->device);
  kvusb_destroy(&stream->device);
  stream->check = 0;
  delete stream;
  return result;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStream** out) {
  if (out == nullptr) return aErrParam;
  *out = nullptr;
  if (serialNumber == 0) return aErrParam;

  const uint32_t mode =
      kvusb_is_kernel_driver_installed(serialNumber) ? KVUSB_ACCESS_KERNEL : KVUSB_ACCESS_LIBUSB;
  USBStream* stream = new (std::nothrow) USBStream{serialNumber, nullptr, aUSBSTREAMCHECK};
  if (stream == nullptr) return aErrMemory;
  stream->device = kvusb_create_usb(mode);
  if (stream->device == nullptr) {
    delete stream;
    return aErrResource;
  }

  char serialText[16];
  snprintf(serialText, sizeof serialText, "%08X", static_cast<unsigned int>(serialNumber));
  const aErr opened = kvusb_open_kolvantis_device(stream->device, serialText);
  if (opened != aErrNone) {
    kvusb_destroy(&stream->device);
    delete stream;
    return opened;
  }

  aStream* made =
      aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, stream);
  if (made == nullptr) {
    kvusb_close_kolvantis_device(stream->device);
    kvusb_destroy(&stream->device);
    delete stream;
    return aErrMemory;
  }
  if (kvusb_device_can_wait(stream->device)) aStream_SetWaitProc(made, sUSBStreamWait);
  *out = made;
  return aErrNone;
}
