// Kernel-node access of the USB driver layer: the module's node that a USB driver outside the
// program provides, opened read-write in blocking mode.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "aFile.h"
#include "kvusb.h"
#include "kvusb_ops.h"

namespace {

constexpr int kNodeWriteCalls = 1000;  // write() calls a node write may take

std::mutex sNodePrefixLock;
std::string sNodePrefix = KVUSB_NODE_PREFIX;  // guarded by sNodePrefixLock

std::string NodePath(const char* serialText) {
  std::lock_guard<std::mutex> guard(sNodePrefixLock);
  return sNodePrefix + serialText;
}

}  // namespace

const kvusb_ops kvusb_node_ops = {
    kvusb_open_kolvantis_kernel_device,   // open
    kvusb_write_to_kernel_device,         // write
    kvusb_get_from_kernel_device,         // read
    kvusb_wait_kernel_device,             // wait: poll() on the node
    kvusb_close_kolvantis_kernel_device,  // close
};

void kvusb_SetNodePrefix(const char* prefix) {
  std::lock_guard<std::mutex> guard(sNodePrefixLock);
  sNodePrefix = prefix != nullptr ? prefix : KVUSB_NODE_PREFIX;
}

bool kvusb_is_kernel_driver_installed(uint32_t serialNumber) {
  char text[16];
  snprintf(text, sizeof text, "%08X", static_cast<unsigned int>(serialNumber));
  return aFile_Exists(NodePath(text).c_str());
}

aErr kvusb_open_kolvantis_kernel_device(kvusb_device* device, const char* serialText) {
  if (device == nullptr || serialText == nullptr) return aErrParam;
  if (device->accessMode != KVUSB_ACCESS_KERNEL) return aErrMode;
  if (strnlen(serialText, KVUSB_SERIAL_TEXT) >= KVUSB_SERIAL_TEXT) return aErrParam;
  snprintf(device->serial, sizeof device->serial, "%s", serialText);
  const int fd = ::open(NodePath(serialText).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
  device->fd = fd;
  return aErrNone;
}

aErr kvusb_write_to_kernel_device(kvusb_device* device, const uint8_t* data, size_t n) {
  if (device == nullptr) return aErrParam;
  if (device->accessMode != KVUSB_ACCESS_KERNEL || device->fd == KVUSB_NO_FD) return aErrMode;
  if (data == nullptr && n > 0) return aErrParam;
  size_t sent = 0;
  for (int calls = 0; sent < n && calls < kNodeWriteCalls; ++calls) {
    const ssize_t wrote = ::write(device->fd, data + sent, n - sent);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return aErrIO;
    }
    sent += static_cast<size_t>(wrote);
  }
  return sent < n ? aErrIO : aErrNone;
}

aErr kvusb_get_from_kernel_device(kvusb_device* device, uint8_t* byte) {
  if (device == nullptr || byte == nullptr) return aErrParam;
  if (device->accessMode != KVUSB_ACCESS_KERNEL || device->fd == KVUSB_NO_FD) return aErrMode;
  const ssize_t got = ::read(device->fd, byte, 1);
  if (got == 1) return aErrNone;
  if (got == 0) return aErrNotReady;
  // EFAULT is the driver's way of saying no byte is there yet.
  if (errno == EFAULT || errno == EINTR || errno == EAGAIN) return aErrNotReady;
  return aErrIO;
}

aErr kvusb_close_kolvantis_kernel_device(kvusb_device* device) {
  if (device == nullptr) return aErrParam;
  if (device->accessMode != KVUSB_ACCESS_KERNEL) return aErrMode;
  if (device->fd == KVUSB_NO_FD) return aErrNone;
  const int closed = ::close(device->fd);
  device->fd = KVUSB_NO_FD;
  device->state.store(KVUSB_STATE_CLOSED);
  return closed == 0 ? aErrNone : aErrCancel;
}

aErr kvusb_wait_kernel_device(kvusb_device* device, uint32_t timeoutMs) {
  if (device == nullptr) return aErrParam;
  if (device->accessMode != KVUSB_ACCESS_KERNEL || device->fd == KVUSB_NO_FD) return aErrMode;
  pollfd watch{device->fd, POLLIN, 0};
  const int timeout =
      timeoutMs > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(timeoutMs);
  const int ready = ::poll(&watch, 1, timeout);
  if (ready > 0) return aErrNone;  // readable, or an error the next read reports
  if (ready == 0 || errno == EINTR) return aErrTimeout;
  return aErrIO;
}
