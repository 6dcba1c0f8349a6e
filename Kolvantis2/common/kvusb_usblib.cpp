// Libusb-mode access of the USB driver layer: the bulk endpoints of the module's vendor
// interface, reached through the USB backend (libusb, or the simulated bus of the tests).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "aDebug.h"
#include "kvusb.h"
#include "kvusb_ops.h"

namespace {

constexpr unsigned int kWriteTimeoutMs = 50;      // ms per bulk OUT chunk
constexpr unsigned int kReadTimeoutMs = 1000;     // ms per bulk IN transfer
constexpr unsigned int kWriteTransferTries = 10;  // failed OUT transfers before a write gives up
constexpr size_t kChunkAvoided = 512;             // a chunk of this size goes out one byte shorter
constexpr uint8_t kForgivenErrors = 4;  // consecutive I/O errors forgiven before the record fails
constexpr uint8_t kEndpointIn = 0x80;   // address bit of an IN endpoint
constexpr uint8_t kBulkOrInterrupt = 0x02;  // bmAttributes bit shared by bulk and interrupt

// Looks up the vendor interface in configuration index 0 and takes its bulk or interrupt
// endpoints (the last one met of each direction wins). False when a descriptor cannot be read
// or an endpoint direction is missing.
bool find_usb_endpoints(kvusb_device* device, KvUsbDevice* usbDevice) {
  KvUsbBackend& usb = kvusb_GetBackend();
  KvUsbDeviceDescriptor descriptor;
  if (usb.getDeviceDescriptor(usbDevice, &descriptor) != LIBUSB_SUCCESS) return false;
  KvUsbConfigDescriptor config;
  if (usb.getConfigDescriptor(usbDevice, 0, &config) != LIBUSB_SUCCESS) return false;

  bool haveIn = false;
  bool haveOut = false;
  for (const KvUsbInterface& interface : config.interfaces) {
    for (const KvUsbAltSetting& alt : interface.altsettings) {
      if (alt.bInterfaceClass != KVUSB_INTERFACE_CLASS ||
          alt.bInterfaceSubClass != KVUSB_INTERFACE_SUBCLASS ||
          alt.bInterfaceProtocol != KVUSB_INTERFACE_PROTOCOL)
        continue;
      device->interfaceNumber = alt.bInterfaceNumber;
      for (const KvUsbEndpointDescriptor& endpoint : alt.endpoints) {
        if ((endpoint.bmAttributes & kBulkOrInterrupt) == 0) continue;
        if ((endpoint.bEndpointAddress & kEndpointIn) != 0) {
          device->inEndpoint = endpoint.bEndpointAddress;
          device->inMaxPacket = endpoint.wMaxPacketSize;
          haveIn = true;
          aTRACE(aDEBUG_USB, "In Endpoint Max packet: %d\n", endpoint.wMaxPacketSize);
        } else {
          device->outEndpoint = endpoint.bEndpointAddress;
          device->outMaxPacket = endpoint.wMaxPacketSize;
          haveOut = true;
          aTRACE(aDEBUG_USB, "Out Endpoint Max packet: %d\n", endpoint.wMaxPacketSize);
        }
      }
    }
  }
  return haveIn && haveOut;
}

// Drops the handle of a record whose open failed after the device matched.
aErr FailOpen(kvusb_device* device, aErr result) {
  device->state.store(KVUSB_STATE_CLOSED);
  kvusb_GetBackend().close(device->handle);
  device->handle = nullptr;
  return result;
}

// Finishes the open of the matching device: endpoints, then the claim.
aErr OpenMatched(kvusb_device* device, KvUsbDevice* usbDevice) {
  device->state.store(KVUSB_STATE_OPENING);
  // A zero packet size would make every write send empty chunks for ever.
  if (!find_usb_endpoints(device, usbDevice) || device->inMaxPacket == 0 ||
      device->outMaxPacket == 0)
    return FailOpen(device, aErrConfiguration);

  const int claimed = kvusb_GetBackend().claimInterface(device->handle, device->interfaceNumber);
  switch (claimed) {
    case LIBUSB_SUCCESS:
      device->errorCount.store(0);
      device->state.store(KVUSB_STATE_OPEN);
      return aErrNone;
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE:
      return FailOpen(device, aErrBusy);
    case LIBUSB_ERROR_ACCESS:
      return FailOpen(device, aErrPermission);
    default:
      return FailOpen(device, aErrUnknown);
  }
}

// The result of a read or write for a record that is not open, by state.
aErr StateError(uint32_t state) {
  switch (state) {
    case KVUSB_STATE_CLOSED:
      return aErrConnection;
    case KVUSB_STATE_CREATED:
    case KVUSB_STATE_OPENING:
      return aErrNotReady;
    default:
      return aErrIO;
  }
}

// Consecutive I/O failures of reads and writes (aErrIO, and aErrWrite for data left unsent)
// are forgiven four times; the fifth fails the record for good. A forgiven read reports
// aErrNotReady, as no byte came; a forgiven write reports success only when all its bytes went
// out. Any other result restarts the count.
aErr _handleErrorTolerance(kvusb_device* device, aErr result, bool isRead) {
  const bool failure = result == aErrIO || (!isRead && result == aErrWrite);
  if (!failure) {
    device->errorCount.store(0);
    return result;
  }
  if (device->state.load() == KVUSB_STATE_FAILED) return aErrIO;
  if (device->errorCount.fetch_add(1) < kForgivenErrors)
    return isRead ? aErrNotReady : (result == aErrIO ? aErrNone : aErrWrite);
  device->state.store(KVUSB_STATE_FAILED);
  return aErrIO;
}

// A vanished device does not come back under this record.
aErr DeviceGone(kvusb_device* device) {
  device->state.store(KVUSB_STATE_FAILED);
  return aErrIO;
}

}  // namespace

// A get waits in its own IN transfer, so the mode has no wait.
const kvusb_ops kvusb_usblib_ops = {
    kvusb_open_kolvantis_USBlib_device,   // open
    kvusb_write_to_USBlib_device,         // write
    kvusb_get_from_USBlib_device,         // read
    nullptr,                              // wait
    kvusb_close_kolvantis_USBlib_device,  // close
};

aErr kvusb_open_kolvantis_USBlib_device(kvusb_device* device, const char* serialText) {
  if (device == nullptr || serialText == nullptr) return aErrParam;
  if (device->accessMode != KVUSB_ACCESS_LIBUSB) return aErrMode;
  if (strnlen(serialText, KVUSB_SERIAL_TEXT) >= KVUSB_SERIAL_TEXT) return aErrParam;

  KvUsbContext* context = Kolvantis_libusb_context();
  if (context == nullptr) return aErrResource;
  KvUsbBackend& usb = kvusb_GetBackend();
  KvUsbDevice** list = nullptr;
  const ssize_t count = usb.getDeviceList(context, &list);
  if (count < 0) return aErrIO;

  aErr result = aErrNotFound;
  for (ssize_t i = 0; i < count; ++i) {
    KvUsbDevice* candidate = list[i];
    if (!is_kolvantis_device(candidate)) continue;
    // A device the user may not open counts as absent.
    KvUsbHandle* handle = nullptr;
    if (usb.open(candidate, &handle) != LIBUSB_SUCCESS) continue;
    KvUsbDeviceDescriptor descriptor;
    unsigned char text[KVUSB_SERIAL_TEXT] = {};
    const bool named =
        usb.getDeviceDescriptor(candidate, &descriptor) == LIBUSB_SUCCESS &&
        descriptor.iSerialNumber != 0 &&
        usb.getStringDescriptorAscii(handle, descriptor.iSerialNumber, text, sizeof text) > 0;
    text[sizeof text - 1] = '\0';
    if (!named || strcmp(reinterpret_cast<const char*>(text), serialText) != 0) {
      usb.close(handle);
      continue;
    }
    snprintf(device->serial, sizeof device->serial, "%s", serialText);
    device->handle = handle;
    result = OpenMatched(device, candidate);
    break;
  }
  usb.freeDeviceList(list, true);
  return result;
}

aErr kvusb_write_to_USBlib_device(kvusb_device* device, const uint8_t* data, size_t n) {
  if (device == nullptr) return aErrParam;
  if (device->accessMode != KVUSB_ACCESS_LIBUSB) return aErrMode;
  if (data == nullptr && n > 0) return aErrParam;
  const uint32_t state = device->state.load();
  if (state == KVUSB_STATE_FAILED) return aErrIO;
  if (state != KVUSB_STATE_OPEN) {
    aTRACE(aDEBUG_USB, "libusb WRITE error dev state: %d\n", static_cast<int>(state));
    return _handleErrorTolerance(device, StateError(state), false);
  }

  KvUsbBackend& usb = kvusb_GetBackend();
  aErr result = aErrNone;
  size_t sent = 0;
  unsigned int failures = 0;
  while (sent < n && failures < kWriteTransferTries) {
    size_t chunk = std::min<size_t>(n - sent, device->outMaxPacket);
    if (chunk == kChunkAvoided) --chunk;
    int transferred = 0;
    // The OUT direction only reads the buffer.
    const int rc =
        usb.bulkTransfer(device->handle, device->outEndpoint, const_cast<uint8_t*>(data + sent),
                         static_cast<int>(chunk), &transferred, kWriteTimeoutMs);
    aTRACE(aDEBUG_USB, "libusb lenSent: %d - nSize: %d\n", transferred, static_cast<int>(chunk));
    // Bytes a failed transfer still moved are on the wire: never send them twice.
    const size_t moved =
        transferred > 0 ? std::min<size_t>(static_cast<size_t>(transferred), chunk) : 0;
    sent += moved;
    if (rc == LIBUSB_SUCCESS && moved > 0) continue;
    ++failures;
    aTRACE(aDEBUG_USB, "libusb error: %d\n", rc);
    if (rc == LIBUSB_ERROR_NO_DEVICE) return DeviceGone(device);
    if (rc == LIBUSB_ERROR_PIPE) {
      const int cleared = usb.clearHalt(device->handle, device->outEndpoint);
      if (cleared != LIBUSB_SUCCESS) {
        aTRACE(aDEBUG_USB, "libusb WRITE error clearing halt: %d\n", cleared);
        result = aErrIO;
      }
    }
  }
  if (sent < n) result = aErrWrite;
  return _handleErrorTolerance(device, result, false);
}

aErr kvusb_get_from_USBlib_device(kvusb_device* device, uint8_t* byte) {
  if (device == nullptr || byte == nullptr) return aErrParam;
  if (device->accessMode != KVUSB_ACCESS_LIBUSB) return aErrMode;
  const uint32_t state = device->state.load();
  if (state == KVUSB_STATE_FAILED) return aErrIO;

  aErr status = aErrNone;
  if (device->rxCount == 0) {
    if (state != KVUSB_STATE_OPEN) {
      aTRACE(aDEBUG_USB, "libusb READ error dev state: %d\n", static_cast<int>(state));
      status = StateError(state);
    } else {
      KvUsbBackend& usb = kvusb_GetBackend();
      int transferred = 0;
      const int rc = usb.bulkTransfer(device->handle, device->inEndpoint, device->rxBuffer,
                                      KVUSB_RX_BUFFER, &transferred, kReadTimeoutMs);
      if ((rc == LIBUSB_SUCCESS || rc == LIBUSB_ERROR_TIMEOUT) && transferred > 0) {
        device->rxNext = device->rxBuffer;
        device->rxCount = std::min<uint32_t>(static_cast<uint32_t>(transferred), KVUSB_RX_BUFFER);
      } else if (rc == LIBUSB_SUCCESS || rc == LIBUSB_ERROR_TIMEOUT) {
        status = aErrNotReady;
      } else if (rc == LIBUSB_ERROR_PIPE) {
        usb.clearHalt(device->handle, device->inEndpoint);
        status = aErrNotReady;
      } else if (rc == LIBUSB_ERROR_NO_DEVICE) {
        return DeviceGone(device);
      } else {
        aTRACE(aDEBUG_USB, "libusb READ error bulk transfer: %d\n", rc);
        status = aErrIO;
      }
    }
  }
  if (status == aErrNone) {
    *byte = *device->rxNext++;
    --device->rxCount;
  }
  return _handleErrorTolerance(device, status, true);
}

aErr kvusb_close_kolvantis_USBlib_device(kvusb_device* device) {
  if (device == nullptr) return aErrParam;
  if (device->accessMode != KVUSB_ACCESS_LIBUSB || device->handle == nullptr) return aErrMode;
  KvUsbBackend& usb = kvusb_GetBackend();
  usb.releaseInterface(device->handle, device->interfaceNumber);
  usb.close(device->handle);
  device->handle = nullptr;
  device->interfaceNumber = 0;
  device->outEndpoint = 0;
  device->inEndpoint = 0;
  device->rxCount = 0;  // a closed record hands out nothing
  device->rxNext = device->rxBuffer;
  device->state.store(KVUSB_STATE_CLOSED);
  return aErrNone;
}
