// The USB operations the driver and USB discovery need, behind one abstract interface.
//
// The shipped program uses the libusb backend (kvusb_libusb.cpp). Tests plug in a simulated
// bus instead. Results are libusb's: 0 or a LIBUSB_ERROR_* code, with libusb's values, so
// callers compare them against libusb's constants whatever backend answers.
#pragma once

#include <libusb.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

// Opaque handles; each backend decides what they point to.
struct KvUsbContext;
struct KvUsbDevice;
struct KvUsbHandle;

struct KvUsbDeviceDescriptor {
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint8_t iSerialNumber = 0;  // string index of the serial number; 0 when there is none
  uint8_t bNumConfigurations = 0;
};

struct KvUsbEndpointDescriptor {
  uint8_t bEndpointAddress = 0;  // bit 7 set: IN
  uint8_t bmAttributes = 0;      // bits 0-1: transfer type
  uint16_t wMaxPacketSize = 0;
};

struct KvUsbAltSetting {
  uint8_t bInterfaceNumber = 0;
  uint8_t bAlternateSetting = 0;
  uint8_t bInterfaceClass = 0;
  uint8_t bInterfaceSubClass = 0;
  uint8_t bInterfaceProtocol = 0;
  std::vector<KvUsbEndpointDescriptor> endpoints;
};

struct KvUsbInterface {
  std::vector<KvUsbAltSetting> altsettings;
};

struct KvUsbConfigDescriptor {
  uint8_t bConfigurationValue = 0;
  std::vector<KvUsbInterface> interfaces;
};

class KvUsbBackend {
 public:
  virtual ~KvUsbBackend() = default;

  // A new context in *context; on failure *context is left null.
  virtual int init(KvUsbContext** context) = 0;
  virtual void exit(KvUsbContext* context) = 0;

  // Null-terminated list of the devices present, with one reference each; the number of
  // devices, or a negative error.
  virtual ssize_t getDeviceList(KvUsbContext* context, KvUsbDevice*** list) = 0;
  virtual void freeDeviceList(KvUsbDevice** list, bool unrefDevices) = 0;

  virtual int getDeviceDescriptor(KvUsbDevice* device, KvUsbDeviceDescriptor* descriptor) = 0;
  virtual int getConfigDescriptor(KvUsbDevice* device, uint8_t index,
                                  KvUsbConfigDescriptor* config) = 0;

  virtual int open(KvUsbDevice* device, KvUsbHandle** handle) = 0;
  virtual void close(KvUsbHandle* handle) = 0;

  // The string as ASCII, NUL-terminated within length bytes; its length, or a negative error.
  virtual int getStringDescriptorAscii(KvUsbHandle* handle, uint8_t index, unsigned char* data,
                                       int length) = 0;

  virtual int claimInterface(KvUsbHandle* handle, int interfaceNumber) = 0;
  virtual int releaseInterface(KvUsbHandle* handle, int interfaceNumber) = 0;

  // Synchronous bulk transfer; the direction comes from bit 7 of the endpoint address.
  // *transferred holds the bytes moved, also when the result is an error (a time-out may
  // come after part of the data).
  virtual int bulkTransfer(KvUsbHandle* handle, uint8_t endpoint, uint8_t* data, int length,
                           int* transferred, unsigned int timeoutMs) = 0;
  virtual int clearHalt(KvUsbHandle* handle, uint8_t endpoint) = 0;
};

// The libusb backend, the one in use unless a test installs another.
KvUsbBackend& kvusb_LibusbBackend();

// The backend in use.
KvUsbBackend& kvusb_GetBackend();

// For tests: installs a backend (null restores libusb). The shared context of the previous
// backend is released first; no device may be open through it.
void kvusb_SetBackend(KvUsbBackend* backend);
