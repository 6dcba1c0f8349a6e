// The operations of one access mode of the USB driver layer. Each mode fills one table in its
// own file: the kernel device node in kvusb_node.cpp, the bulk endpoints through the USB
// backend in kvusb_usblib.cpp. kvusb.cpp picks the table by the record's accessMode and its
// entry points dispatch through it. Internal to the driver layer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "kvusb.h"

struct kvusb_ops {
  aErr (*open)(kvusb_device* device, const char* serialText);
  aErr (*write)(kvusb_device* device, const uint8_t* data, size_t n);
  aErr (*read)(kvusb_device* device, uint8_t* byte);
  // Null for a mode whose read waits on its own.
  aErr (*wait)(kvusb_device* device, uint32_t timeoutMs);
  aErr (*close)(kvusb_device* device);
};

extern const kvusb_ops kvusb_node_ops;    // KVUSB_ACCESS_KERNEL
extern const kvusb_ops kvusb_usblib_ops;  // KVUSB_ACCESS_LIBUSB
