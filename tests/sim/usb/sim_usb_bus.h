// A simulated USB bus behind the driver's backend interface, for tests on a machine without
// USB. It knows only kvusb_backend.h, not the code under test.
//
// Each device has descriptors (vendor and product id, serial string, configuration 0 with
// interfaces, alternate settings and endpoints) and a peer: the stand-in for the module, which
// takes the bytes of OUT transfers and supplies the bytes of IN transfers.
//
// Fault knobs:
//   bus     failInit(err)            the next context inits fail with err (0: succeed again)
//           setIdleInWaitMs(ms)      an IN transfer with nothing to read waits at most ms
//                                    before its time-out (default: the caller's time-out)
//   device  failOpen(err)            open gives err (LIBUSB_ERROR_ACCESS: no permission)
//           failClaim(err)           claiming an interface gives err (BUSY, ACCESS, OTHER...);
//                                    a claim already held by another handle gives BUSY anyway
//           failDeviceDescriptor()   the device descriptor cannot be read
//           failConfigDescriptor()   configuration 0 cannot be read
//           failClearHalt(err)       clearing a halt gives err
//           queueOutFault(err, n)    the next OUT transfer delivers at most n bytes, then
//           queueInFault(err, n)     ... IN: hands out at most n bytes, then answers err;
//                                    one queued fault per transfer, in order. (TIMEOUT, k) is a
//                                    time-out after a partial count, (PIPE, 0) a stall,
//                                    (IO, 0) queued N times N consecutive I/O errors,
//                                    (NO_DEVICE, 0) a device that is gone
//           vanish() / comeBack()    leaves the bus (open handles then get NO_DEVICE for good)
//                                    and returns as a new attachment
//           comeBack(serial)         ... showing another serial string from then on (a module
//                                    that comes back under another serial number)
// Records for assertions: contexts made and alive, backend calls, open handles and lists,
// misuses (unknown or stale context / handle, or a list freed twice), and per device its opens,
// OUT transfers (requested and moved) and IN transfers, and cleared halts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kvusb_backend.h"

namespace kvsim {

// The module's side of the bulk pipes. Called from the host's threads without the bus lock
// held, so a peer keeps its own lock.
class UsbPeer {
 public:
  virtual ~UsbPeer() = default;
  // Bytes of one OUT transfer, as they reached the device.
  virtual void received(const uint8_t* data, size_t length) = 0;
  // Fills up to capacity bytes for an IN transfer; 0 when the module has nothing to send.
  virtual size_t supply(uint8_t* data, size_t capacity) = 0;
  // The bus is being destroyed: the peer's device goes with it, so a peer that acts on its
  // device of its own accord (from a thread) must stop using it.
  virtual void detached() {}
};

// A peer that records what it received and sends what a test queued.
class BytePeer : public UsbPeer {
 public:
  void received(const uint8_t* data, size_t length) override;
  size_t supply(uint8_t* data, size_t capacity) override;

  void queueInput(const std::string& bytes);
  std::string receivedBytes() const;

 private:
  mutable std::mutex lock_;
  std::string received_;
  std::string pending_;
};

struct DeviceSpec {
  uint16_t vendorId = 0x24FF;
  uint16_t productId = 0x0011;
  std::string serial = "0000ABCD";
  uint8_t serialIndex = 3;       // string index of the serial number; 0: none
  KvUsbConfigDescriptor config;  // filled by VendorConfig() unless the test builds its own

  // Configuration 0 with the vendor interface (0xFF/0x88/0x10) as interface 0, bulk IN 0x81
  // and bulk OUT 0x01 with the given maximum packet sizes.
  static KvUsbConfigDescriptor VendorConfig(uint16_t inMaxPacket = 512,
                                            uint16_t outMaxPacket = 512);
};

struct OutTransfer {
  int requested;    // bytes the host asked to send
  int transferred;  // bytes that reached the peer
  int result;       // libusb result
};

class UsbBus;

// One device on the bus; knobs and records are guarded by the bus lock.
class SimDevice {
 public:
  void failOpen(int error);
  void failClaim(int error);
  void failDeviceDescriptor(bool fail = true);
  void failConfigDescriptor(bool fail = true);
  void failClearHalt(int error);
  void queueOutFault(int error, int bytes);
  void queueInFault(int error, int bytes);
  void vanish();
  void comeBack();
  void comeBack(const std::string& serial);

  int opens() const;
  std::vector<OutTransfer> outTransfers() const;
  int inTransfers() const;
  std::vector<uint8_t> clearedHalts() const;  // endpoint of each clear, in order

 private:
  friend class UsbBus;
  struct Fault {
    int error;
    int bytes;
  };
  SimDevice(UsbBus& bus, DeviceSpec setup, UsbPeer& peer)
      : bus_(bus), setup_(std::move(setup)), peer_(peer) {}

  UsbBus& bus_;
  DeviceSpec setup_;  // fixed when made, but for the serial string of a come-back
  UsbPeer& peer_;
  bool present_ = true;
  unsigned attachment_ = 0;  // raised by each comeBack
  int openError_ = 0;
  int claimError_ = 0;
  bool badDeviceDescriptor_ = false;
  bool badConfig_ = false;
  int clearHaltError_ = 0;
  std::deque<Fault> outFaults_;
  std::deque<Fault> inFaults_;
  std::set<int> claimedBy_;  // interface numbers claimed through any handle
  int opens_ = 0;
  std::vector<OutTransfer> outTransfers_;
  int inTransfers_ = 0;
  std::vector<uint8_t> clearedHalts_;
};

class UsbBus : public KvUsbBackend {
 public:
  UsbBus() = default;
  ~UsbBus() override;
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // The peer must outlive the bus.
  SimDevice& addDevice(DeviceSpec setup, UsbPeer& peer);

  void failInit(int error);
  void setIdleInWaitMs(unsigned int ms);

  int contextsMade() const;
  int liveContexts() const;
  int calls() const;  // backend calls of any kind
  int openHandles() const;
  int openLists() const;
  int misuses() const;

  // KvUsbBackend
  int init(KvUsbContext** context) override;
  void exit(KvUsbContext* context) override;
  ssize_t getDeviceList(KvUsbContext* context, KvUsbDevice*** list) override;
  void freeDeviceList(KvUsbDevice** list, bool unrefDevices) override;
  int getDeviceDescriptor(KvUsbDevice* device, KvUsbDeviceDescriptor* descriptor) override;
  int getConfigDescriptor(KvUsbDevice* device, uint8_t index,
                          KvUsbConfigDescriptor* config) override;
  int open(KvUsbDevice* device, KvUsbHandle** handle) override;
  void close(KvUsbHandle* handle) override;
  int getStringDescriptorAscii(KvUsbHandle* handle, uint8_t index, unsigned char* data,
                               int length) override;
  int claimInterface(KvUsbHandle* handle, int interfaceNumber) override;
  int releaseInterface(KvUsbHandle* handle, int interfaceNumber) override;
  int bulkTransfer(KvUsbHandle* handle, uint8_t endpoint, uint8_t* data, int length,
                   int* transferred, unsigned int timeoutMs) override;
  int clearHalt(KvUsbHandle* handle, uint8_t endpoint) override;

 private:
  friend class SimDevice;
  struct Context {};
  struct Handle {
    SimDevice* device;
    unsigned attachment;
    std::set<int> claimed;
  };

  // Callers hold lock_.
  SimDevice* deviceLocked(KvUsbDevice* device);
  Handle* handleLocked(KvUsbHandle* handle);
  bool attachedLocked(const Handle& handle) const;
  int outLocked(std::unique_lock<std::mutex>& held, Handle& handle, uint8_t* data, int length,
                int* transferred);
  int inLocked(std::unique_lock<std::mutex>& held, Handle& handle, uint8_t* data, int length,
               int* transferred, unsigned int timeoutMs);

  mutable std::mutex lock_;
  std::vector<std::unique_ptr<SimDevice>> devices_;
  std::set<Context*> contexts_;
  std::set<Handle*> handles_;
  std::set<KvUsbDevice**> lists_;
  int initError_ = 0;
  unsigned int idleInWaitMs_ = 0;  // 0: the caller's time-out
  int contextsMade_ = 0;
  int calls_ = 0;
  int misuses_ = 0;
};

}  // namespace kvsim
