// USB driver layer: one module reached either through its kernel device node or directly
// through the backend (libusb) on the bulk endpoints of its vendor interface, behind open,
// write, get one byte, wait and close. Each access mode has its own file (kvusb_node.cpp,
// kvusb_usblib.cpp) filling one table of those operations (kvusb_ops.h); the mode-neutral
// entry points below dispatch through the table of the record's accessMode. Also the
// process-wide USB context that the driver, USB discovery and the updater share.
//
// Threads: a link's reader thread calls get while its writer thread calls write on the same
// record; state and errorCount are atomic for that. The receive buffer is the reader's alone.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "kvusb_backend.h"

// Family vendor id; product ids of family modules have bit 15 clear.
#define KVUSB_VENDOR_ID 0x24FF
#define KVUSB_PRODUCT_LIMIT 0x8000

// The vendor interface that carries the device link.
#define KVUSB_INTERFACE_CLASS 0xFF
#define KVUSB_INTERFACE_SUBCLASS 0x88
#define KVUSB_INTERFACE_PROTOCOL 0x10

// Where the kernel driver puts a module's node: this prefix and "%08X" of the serial number.
#define KVUSB_NODE_PREFIX "/dev/kolvantis."

#define KVUSB_SERIAL_TEXT 256  // bytes of the serial-number text, terminator included
#define KVUSB_RX_BUFFER 1024   // bytes of one IN transfer

// Access modes.
#define KVUSB_ACCESS_KERNEL 0u
#define KVUSB_ACCESS_LIBUSB 1u

// Record states.
#define KVUSB_STATE_CREATED 1u
#define KVUSB_STATE_CLOSED 2u
#define KVUSB_STATE_OPENING 3u
#define KVUSB_STATE_OPEN 4u
#define KVUSB_STATE_FAILED 5u  // final: every later read and write gives aErrIO

#define KVUSB_NO_FD (-1)

struct kvusb_device {
  uint32_t accessMode = KVUSB_ACCESS_LIBUSB;
  char serial[KVUSB_SERIAL_TEXT] = {};  // the serial-number text the device was opened with
  int fd = KVUSB_NO_FD;                 // node descriptor
  KvUsbHandle* handle = nullptr;        // backend handle; null when not open
  std::atomic<uint32_t> state{KVUSB_STATE_CREATED};
  uint8_t interfaceNumber = 0;
  uint8_t outEndpoint = 0;
  uint8_t inEndpoint = 0;
  uint8_t rxBuffer[KVUSB_RX_BUFFER] = {};  // bytes of the last IN transfer
  uint32_t rxCount = 0;                    // bytes of rxBuffer not yet handed out
  uint8_t* rxNext = nullptr;               // next byte of rxBuffer to hand out
  std::atomic<uint8_t> errorCount{0};      // consecutive I/O errors of reads and writes
  uint16_t inMaxPacket = 0;
  uint16_t outMaxPacket = 0;
};

// The shared context, created on first use; null when it cannot be created.
KvUsbContext* Kolvantis_libusb_context(void);
KvUsbContext* Kolvantis_libusb_init(void);
// Releases the shared context; the next use creates a new one. No libusb-mode device may be
// open at the time.
void Kolvantis_libusb_exit(void);

// True when the device's descriptor can be read and it names a family module.
bool is_kolvantis_device(KvUsbDevice* device);

// For tests: the prefix of the kernel node path (null restores KVUSB_NODE_PREFIX).
void kvusb_SetNodePrefix(const char* prefix);

// True when the module's kernel node exists and is not a directory.
bool kvusb_is_kernel_driver_installed(uint32_t serialNumber);

// New record in state created; null when memory is short or the mode is unknown.
kvusb_device* kvusb_create_usb(uint32_t accessMode);

aErr kvusb_open_kolvantis_device(kvusb_device* device, const char* serialText);
aErr kvusb_write_to_device(kvusb_device* device, const uint8_t* data, size_t n);
aErr kvusb_get_from_device(kvusb_device* device, uint8_t* byte);
// True when the record's mode has a wait of its own (the node); a libusb get waits in its IN
// transfer instead.
bool kvusb_device_can_wait(const kvusb_device* device);
// The mode's wait (see kvusb_wait_kernel_device); aErrMode for a mode without one.
aErr kvusb_wait_for_device(kvusb_device* device, uint32_t timeoutMs);
aErr kvusb_close_kolvantis_device(kvusb_device* device);
// Closes a still open handle or node, frees the record and nulls the pointer.
aErr kvusb_destroy(kvusb_device** device);

// The operations of each mode's table (libusb mode in kvusb_usblib.cpp, kernel node in
// kvusb_node.cpp); each answers aErrMode for a record of the other mode.
aErr kvusb_open_kolvantis_USBlib_device(kvusb_device* device, const char* serialText);
aErr kvusb_write_to_USBlib_device(kvusb_device* device, const uint8_t* data, size_t n);
aErr kvusb_get_from_USBlib_device(kvusb_device* device, uint8_t* byte);
aErr kvusb_close_kolvantis_USBlib_device(kvusb_device* device);

aErr kvusb_open_kolvantis_kernel_device(kvusb_device* device, const char* serialText);
aErr kvusb_write_to_kernel_device(kvusb_device* device, const uint8_t* data, size_t n);
aErr kvusb_get_from_kernel_device(kvusb_device* device, uint8_t* byte);
aErr kvusb_close_kolvantis_kernel_device(kvusb_device* device);
// Node mode: waits up to timeoutMs for the node to become readable; aErrNone when a read may
// go ahead, aErrTimeout when nothing arrived, aErrMode without an open node.
aErr kvusb_wait_kernel_device(kvusb_device* device, uint32_t timeoutMs);
