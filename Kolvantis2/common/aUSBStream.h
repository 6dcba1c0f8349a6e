// Byte stream over one USB module (kernel node or libusb), for USB device links.
#pragma once

#include <cstdint>

#include "aDefs.h"
#include "aError.h"
#include "aStream.h"
#include "kvusb.h"

#define aUSBSTREAMCHECK 0xDEAD

// The record behind a USB aStream; the stream owns it and it owns the driver record.
struct USBStream {
  uint32_t serialNumber;
  kvusb_device* device;
  uint16_t check;  // aUSBSTREAMCHECK while valid
};

#define aVALIDUSBS(s) aDefs_ValidRecord((s), static_cast<uint16_t>(aUSBSTREAMCHECK))

// Opens the module with that serial number, through its kernel node when the node exists and
// through libusb otherwise, and wraps it in a stream. aErrParam for serial 0 or a null out,
// aErrMemory, aErrResource when the driver record cannot be made, else the driver's open
// error; *out is null on every failure.
aErr aStream_CreateUSB(uint32_t serialNumber, aStream** out);
