// The shared part of the USB driver layer: the backend and the process-wide context, the
// device test, records, and the entry points that hand each call to the operations of the
// record's access mode (kvusb_node.cpp, kvusb_usblib.cpp).
#include "kvusb.h"

#include <unistd.h>

#include <new>

#include "aMutex.h"
#include "kvusb_ops.h"

namespace {

// --- shared context -------------------------------------------------------------------------

aMutex* ContextLock() {
  static aMutex* const _libusbContextLock = aMutex_Create("_libusbContextLock");
  return _libusbContextLock;
}

KvUsbContext* _libusbContext = nullptr;        // guarded by _libusbContextLock
std::atomic<KvUsbBackend*> sBackend{nullptr};  // null: libusb

class ContextGuard {
 public:
  ContextGuard() : locked_(aMutex_Lock(ContextLock()) == aErrNone) {}
  ~ContextGuard() {
    if (locked_) aMutex_Unlock(ContextLock());
  }
  ContextGuard(const ContextGuard&) = delete;
  ContextGuard& operator=(const ContextGuard&) = delete;
  bool locked() const { return locked_; }

 private:
  bool locked_;
};

// Caller holds the context lock.
void ReleaseContextLocked() {
  if (_libusbContext != nullptr) kvusb_GetBackend().exit(_libusbContext);
  _libusbContext = nullptr;
}

// --- access modes ---------------------------------------------------------------------------

struct ModeOps {
  uint32_t accessMode;
  const kvusb_ops* ops;
};

const ModeOps kModeOps[] = {
    {KVUSB_ACCESS_KERNEL, &kvusb_node_ops},
    {KVUSB_ACCESS_LIBUSB, &kvusb_usblib_ops},
};

// The operations of an access mode; null for an unknown mode.
const kvusb_ops* sOpsFor(uint32_t accessMode) {
  for (const ModeOps& mode : kModeOps) {
    if (mode.accessMode == accessMode) return mode.ops;
  }
  return nullptr;
}

}  // namespace

// --- backend selection and context ----------------------------------------------------------

KvUsbBackend& kvusb_GetBackend() {
  KvUsbBackend* backend = sBackend.load();
  return backend != nullptr ? *backend : kvusb_LibusbBackend();
}

void kvusb_SetBackend(KvUsbBackend* backend) {
  ContextGuard guard;
  ReleaseContextLocked();
  sBackend.store(backend);
}

KvUsbContext* Kolvantis_libusb_context(void) {
  ContextGuard guard;
  if (!guard.locked()) return nullptr;
  if (_libusbContext == nullptr) {
    KvUsbContext* made = nullptr;
    if (kvusb_GetBackend().init(&made) == LIBUSB_SUCCESS) _libusbContext = made;
  }
  return _libusbContext;
}

KvUsbContext* Kolvantis_libusb_init(void) { return Kolvantis_libusb_context(); }

void Kolvantis_libusb_exit(void) {
  ContextGuard guard;
  if (guard.locked()) ReleaseContextLocked();
}

bool is_kolvantis_device(KvUsbDevice* device) {
  if (device == nullptr) return false;
  KvUsbDeviceDescriptor descriptor;
  if (kvusb_GetBackend().getDeviceDescriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
  return descriptor.idVendor == KVUSB_VENDOR_ID && descriptor.idProduct < KVUSB_PRODUCT_LIMIT;
}

// --- records and dispatch -------------------------------------------------------------------

kvusb_device* kvusb_create_usb(uint32_t accessMode) {
  if (sOpsFor(accessMode) == nullptr) return nullptr;
  kvusb_device* device = new (std::nothrow) kvusb_device;
  if (device == nullptr) return nullptr;
  device->accessMode = accessMode;
  if (accessMode == KVUSB_ACCESS_LIBUSB) {
    Kolvantis_libusb_context();  // a missing context shows at open
    device->rxNext = device->rxBuffer;
  }
  return device;
}

// The entry points check their own arguments; a record of no known mode gives aErrMode, as a
// mode's operation does for a record of another mode.

aErr kvusb_open_kolvantis_device(kvusb_device* device, const char* serialText) {
  if (device == nullptr || serialText == nullptr) return aErrParam;
  const kvusb_ops* ops = sOpsFor(device->accessMode);
  return ops != nullptr ? ops->open(device, serialText) : aErrMode;
}

aErr kvusb_write_to_device(kvusb_device* device, const uint8_t* data, size_t n) {
  if (device == nullptr) return aErrParam;
  const kvusb_ops* ops = sOpsFor(device->accessMode);
  return ops != nullptr ? ops->write(device, data, n) : aErrMode;
}

aErr kvusb_get_from_device(kvusb_device* device, uint8_t* byte) {
  if (device == nullptr || byte == nullptr) return aErrParam;
  const kvusb_ops* ops = sOpsFor(device->accessMode);
  return ops != nullptr ? ops->read(device, byte) : aErrMode;
}

bool kvusb_device_can_wait(const kvusb_device* device) {
  if (device == nullptr) return false;
  const kvusb_ops* ops = sOpsFor(device->accessMode);
  return ops != nullptr && ops->wait != nullptr;
}

aErr kvusb_wait_for_device(kvusb_device* device, uint32_t timeoutMs) {
  if (device == nullptr) return aErrParam;
  const kvusb_ops* ops = sOpsFor(device->accessMode);
  return ops != nullptr && ops->wait != nullptr ? ops->wait(device, timeoutMs) : aErrMode;
}

aErr kvusb_close_kolvantis_device(kvusb_device* device) {
  if (device == nullptr) return aErrParam;
  const kvusb_ops* ops = sOpsFor(device->accessMode);
  return ops != nullptr ? ops->close(device) : aErrMode;
}

aErr kvusb_destroy(kvusb_device** device) {
  if (device == nullptr || *device == nullptr) return aErrParam;
  kvusb_device* record = *device;
  if (record->handle != nullptr) kvusb_GetBackend().close(record->handle);
  if (record->fd != KVUSB_NO_FD) ::close(record->fd);
  delete record;
  *device = nullptr;
  return aErrNone;
}
