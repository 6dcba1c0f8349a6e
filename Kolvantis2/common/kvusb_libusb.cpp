// The real USB backend: each operation is the libusb call of the same name.
#include <libusb.h>

#include <utility>

#include "kvusb_backend.h"

namespace {

libusb_context* Ctx(KvUsbContext* context) { return reinterpret_cast<libusb_context*>(context); }
libusb_device* Dev(KvUsbDevice* device) { return reinterpret_cast<libusb_device*>(device); }
libusb_device_handle* Hnd(KvUsbHandle* handle) {
  return reinterpret_cast<libusb_device_handle*>(handle);
}

class LibusbBackend final : public KvUsbBackend {
 public:
  int init(KvUsbContext** context) override {
    libusb_context* made = nullptr;
    const int result = libusb_init(&made);
    *context = result == LIBUSB_SUCCESS ? reinterpret_cast<KvUsbContext*>(made) : nullptr;
    return result;
  }

  void exit(KvUsbContext* context) override { libusb_exit(Ctx(context)); }

  ssize_t getDeviceList(KvUsbContext* context, KvUsbDevice*** list) override {
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(Ctx(context), &devices);
    *list = count >= 0 ? reinterpret_cast<KvUsbDevice**>(devices) : nullptr;
    return count;
  }

  void freeDeviceList(KvUsbDevice** list, bool unrefDevices) override {
    libusb_free_device_list(reinterpret_cast<libusb_device**>(list), unrefDevices ? 1 : 0);
  }

  int getDeviceDescriptor(KvUsbDevice* device, KvUsbDeviceDescriptor* descriptor) override {
    libusb_device_descriptor raw{};
    const int result = libusb_get_device_descriptor(Dev(device), &raw);
    if (result != LIBUSB_SUCCESS) return result;
    descriptor->idVendor = raw.idVendor;
    descriptor->idProduct = raw.idProduct;
    descriptor->iSerialNumber = raw.iSerialNumber;
    descriptor->bNumConfigurations = raw.bNumConfigurations;
    return LIBUSB_SUCCESS;
  }

  int getConfigDescriptor(KvUsbDevice* device, uint8_t index,
                          KvUsbConfigDescriptor* config) override {
    libusb_config_descriptor* raw = nullptr;
    const int result = libusb_get_config_descriptor(Dev(device), index, &raw);
    if (result != LIBUSB_SUCCESS) return result;
    config->bConfigurationValue = raw->bConfigurationValue;
    config->interfaces.clear();
    for (int i = 0; i < raw->bNumInterfaces; ++i) {
      const libusb_interface& rawInterface = raw->interface[i];
      KvUsbInterface interface;
      for (int a = 0; a < rawInterface.num_altsetting; ++a) {
        const libusb_interface_descriptor& rawAlt = rawInterface.altsetting[a];
        KvUsbAltSetting alt;
        alt.bInterfaceNumber = rawAlt.bInterfaceNumber;
        alt.bAlternateSetting = rawAlt.bAlternateSetting;
        alt.bInterfaceClass = rawAlt.bInterfaceClass;
        alt.bInterfaceSubClass = rawAlt.bInterfaceSubClass;
        alt.bInterfaceProtocol = rawAlt.bInterfaceProtocol;
        for (int e = 0; e < rawAlt.bNumEndpoints; ++e) {
          const libusb_endpoint_descriptor& rawEndpoint = rawAlt.endpoint[e];
          alt.endpoints.push_back(
              {rawEndpoint.bEndpointAddress, rawEndpoint.bmAttributes, rawEndpoint.wMaxPacketSize});
        }
        interface.altsettings.push_back(std::move(alt));
      }
      config->interfaces.push_back(std::move(interface));
    }
    libusb_free_config_descriptor(raw);
    return LIBUSB_SUCCESS;
  }

  int open(KvUsbDevice* device, KvUsbHandle** handle) override {
    libusb_device_handle* opened = nullptr;
    const int result = libusb_open(Dev(device), &opened);
    *handle = result == LIBUSB_SUCCESS ? reinterpret_cast<KvUsbHandle*>(opened) : nullptr;
    return result;
  }

  void close(KvUsbHandle* handle) override { libusb_close(Hnd(handle)); }

  int getStringDescriptorAscii(KvUsbHandle* handle, uint8_t index, unsigned char* data,
                               int length) override {
    return libusb_get_string_descriptor_ascii(Hnd(handle), index, data, length);
  }

  int claimInterface(KvUsbHandle* handle, int interfaceNumber) override {
    return libusb_claim_interface(Hnd(handle), interfaceNumber);
  }

  int releaseInterface(KvUsbHandle* handle, int interfaceNumber) override {
    return libusb_release_interface(Hnd(handle), interfaceNumber);
  }

  int bulkTransfer(KvUsbHandle* handle, uint8_t endpoint, uint8_t* data, int length,
                   int* transferred, unsigned int timeoutMs) override {
    return libusb_bulk_transfer(Hnd(handle), endpoint, data, length, transferred, timeoutMs);
  }

  int clearHalt(KvUsbHandle* handle, uint8_t endpoint) override {
    return libusb_clear_halt(Hnd(handle), endpoint);
  }
};

}  // namespace

KvUsbBackend& kvusb_LibusbBackend() {
  // Never destroyed: the readers and writers of USB links still call it at exit.
  static LibusbBackend* const backend = new LibusbBackend();
  return *backend;
}
