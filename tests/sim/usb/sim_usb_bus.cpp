#include "sim_usb_bus.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace kvsim {

namespace {

constexpr auto kInPollInterval = std::chrono::milliseconds(1);  // peer polls of a waiting IN
constexpr uint8_t kEndpointIn = 0x80;
constexpr uint8_t kBulk = 0x02;

SimDevice* AsSim(KvUsbDevice* device) { return reinterpret_cast<SimDevice*>(device); }

}  // namespace

// --- BytePeer -------------------------------------------------------------------------------

void BytePeer::received(const uint8_t* data, size_t length) {
  std::lock_guard<std::mutex> guard(lock_);
  received_.append(reinterpret_cast<const char*>(data), length);
}

size_t BytePeer::supply(uint8_t* data, size_t capacity) {
  std::lock_guard<std::mutex> guard(lock_);
  const size_t n = std::min(capacity, pending_.size());
  memcpy(data, pending_.data(), n);
  pending_.erase(0, n);
  return n;
}

void BytePeer::queueInput(const std::string& bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  pending_ += bytes;
}

std::string BytePeer::receivedBytes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return received_;
}

KvUsbConfigDescriptor DeviceSpec::VendorConfig(uint16_t inMaxPacket, uint16_t outMaxPacket) {
  KvUsbAltSetting vendor;
  vendor.bInterfaceNumber = 0;
  vendor.bInterfaceClass = 0xFF;
  vendor.bInterfaceSubClass = 0x88;
  vendor.bInterfaceProtocol = 0x10;
  vendor.endpoints = {{0x81, kBulk, inMaxPacket}, {0x01, kBulk, outMaxPacket}};
  KvUsbConfigDescriptor config;
  config.bConfigurationValue = 1;
  config.interfaces.push_back({{vendor}});
  return config;
}

// --- SimDevice knobs and records ------------------------------------------------------------

#define SIM_LOCKED std::lock_guard<std::mutex> guard(bus_.lock_)

void SimDevice::failOpen(int error) {
  SIM_LOCKED;
  openError_ = error;
}
void SimDevice::failClaim(int error) {
  SIM_LOCKED;
  claimError_ = error;
}
void SimDevice::failDeviceDescriptor(bool fail) {
  SIM_LOCKED;
  badDeviceDescriptor_ = fail;
}
void SimDevice::failConfigDescriptor(bool fail) {
  SIM_LOCKED;
  badConfig_ = fail;
}
void SimDevice::failClearHalt(int error) {
  SIM_LOCKED;
  clearHaltError_ = error;
}
void SimDevice::queueOutFault(int error, int bytes) {
  SIM_LOCKED;
  outFaults_.push_back({error, bytes});
}
void SimDevice::queueInFault(int error, int bytes) {
  SIM_LOCKED;
  inFaults_.push_back({error, bytes});
}

void SimDevice::vanish() {
  SIM_LOCKED;
  present_ = false;
  claimedBy_.clear();
}

void SimDevice::comeBack() {
  SIM_LOCKED;
  present_ = true;
  ++attachment_;
}

void SimDevice::comeBack(const std::string& serial) {
  SIM_LOCKED;
  setup_.serial = serial;
  present_ = true;
  ++attachment_;
}

int SimDevice::opens() const {
  SIM_LOCKED;
  return opens_;
}
std::vector<OutTransfer> SimDevice::outTransfers() const {
  SIM_LOCKED;
  return outTransfers_;
}
int SimDevice::inTransfers() const {
  SIM_LOCKED;
  return inTransfers_;
}
std::vector<uint8_t> SimDevice::clearedHalts() const {
  SIM_LOCKED;
  return clearedHalts_;
}

#undef SIM_LOCKED

// --- UsbBus: set-up and records -------------------------------------------------------------

UsbBus::~UsbBus() {
  for (const auto& device : devices_) device->peer_.detached();
  for (Handle* handle : handles_) delete handle;
  for (KvUsbDevice** list : lists_) delete[] list;
  for (Context* context : contexts_) delete context;
}

SimDevice& UsbBus::addDevice(DeviceSpec setup, UsbPeer& peer) {
  std::lock_guard<std::mutex> guard(lock_);
  if (setup.config.interfaces.empty()) setup.config = DeviceSpec::VendorConfig();
  devices_.emplace_back(new SimDevice(*this, std::move(setup), peer));
  return *devices_.back();
}

void UsbBus::failInit(int error) {
  std::lock_guard<std::mutex> guard(lock_);
  initError_ = error;
}
void UsbBus::setIdleInWaitMs(unsigned int ms) {
  std::lock_guard<std::mutex> guard(lock_);
  idleInWaitMs_ = ms;
}
int UsbBus::contextsMade() const {
  std::lock_guard<std::mutex> guard(lock_);
  return contextsMade_;
}
int UsbBus::liveContexts() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(contexts_.size());
}
int UsbBus::calls() const {
  std::lock_guard<std::mutex> guard(lock_);
  return calls_;
}
int UsbBus::openHandles() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(handles_.size());
}
int UsbBus::openLists() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(lists_.size());
}
int UsbBus::misuses() const {
  std::lock_guard<std::mutex> guard(lock_);
  return misuses_;
}

SimDevice* UsbBus::deviceLocked(KvUsbDevice* device) {
  for (const auto& known : devices_)
    if (known.get() == AsSim(device)) return known.get();
  ++misuses_;
  return nullptr;
}

UsbBus::Handle* UsbBus::handleLocked(KvUsbHandle* handle) {
  Handle* known = reinterpret_cast<Handle*>(handle);
  if (handles_.count(known) != 0) return known;
  ++misuses_;
  return nullptr;
}

bool UsbBus::attachedLocked(const Handle& handle) const {
  return handle.device->present_ && handle.device->attachment_ == handle.attachment;
}

// --- UsbBus: the backend --------------------------------------------------------------------

int UsbBus::init(KvUsbContext** context) {
  std::lock_guard<std::mutex> guard(lock_);
  ++calls_;
  *context = nullptr;
  if (initError_ != 0) return initError_;
  Context* made = new Context;
  contexts_.insert(made);
  ++contextsMade_;
  *context = reinterpret_cast<KvUsbContext*>(made);
  return LIBUSB_SUCCESS;
}

void UsbBus::exit(KvUsbContext* context) {
  std::lock_guard<std::mutex> guard(lock_);
  ++calls_;
  Context* known = reinterpret_cast<Context*>(context);
  if (contexts_.erase(known) == 0) {
    ++misuses_;
    return;
  }
  delete known;
}

ssize_t UsbBus::getDeviceList(KvUsbContext* context, KvUsbDevice*** list) {
  std::lock_guard<std::mutex> guard(lock_);
  ++calls_;
  *list = nullptr;
  if (contexts_.count(reinterpret_cast<Context*>(context)) == 0) {
    ++misuses_;
    return LIBUSB_ERROR_INVALID_PARAM;
  }
  std::vector<KvUsbDevice*> present;
  for (const auto& device : devices_)
    if (device->present_) present.push_back(reinterpret_cast<KvUsbDevice*>(device.get()));
  KvUsbDevice** made = new KvUsbDevice*[present.size() + 1];
  std::copy(present.begin(), present.end(), made);
  made[present.size()] = nullptr;
  lists_.insert(made);
  *list = made;
  return static_cast<ssize_t>(present.size());
}

void UsbBus::freeDeviceList(KvUsbDevice** list, bool) {
  std::lock_guard<std::mutex> guard(lock_);
  ++calls_;
  if (list == nullptr) return;
  if (lists_.erase(list) == 0) {
    ++misuses_;
    return;
  }
  delete[] list;
}

int UsbBus::getDeviceDescriptor(KvUsbDevice* device, KvUsbDeviceDescriptor* descriptor) {
  std::lock_guard<std::mutex> guard(lock_);
  ++calls_;
  SimDevice* sim = deviceLocked(device);
  if (sim == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (sim->badDeviceDescriptor_) return LIBUSB_ERROR_IO;
  descriptor->idVendor = sim->setup_.vendorId;
  descriptor->idProduct = sim->setup_.productId;
  descriptor->iSerialNumber = sim->setup_.serialIndex;
  descriptor->bNumConfigurations = 1;
  return LIBUSB_SUCCESS;
}

int UsbBus::getConfigDescriptor(KvUsbDevice* device, uint8_t index, KvUsbConfigDescriptor* config) {
  std::lock_guard<std::mutex> guard(lock_);
  ++calls_;
  SimDevice* sim = deviceLocked(device);
  if (sim == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
  if (sim->badConfig_) return LIBUSB_ERROR_IO;
  *config = sim->setup_.config;
  return LIBUSB_SUCCESS;
}

int UsbBus::open(KvUsbDevice* device, KvUsbHandle** handle) {
  std::lock_guard<std::mutex> guard(lock_);
  ++calls_;
  *handle = nullptr;
  SimDevice* sim = deviceLocked(device);
  if (sim == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!sim->present_) return LIBUSB_ERROR_NO_DEVICE;
  if (sim->openError_ != 0) return sim->openError_;
  Handle* made = new Handle{sim, sim->attachment_, {}};
  handles_.insert(made);
  ++sim->opens_;
  *handle = reinterpret_cast<KvUsbHandle*>(made);
  return LIBUSB_SUCCESS;
}

void UsbBus::close(KvUsbHandle* handle) {
  std::lock_guard<std::mutex> guard(lock_);
  ++calls_;
  Handle* known = handleLocked(handle);
  if (known == nullptr) return;
  if (attachedLocked(*known))
    for (int number : known->claimed) known->device->claimedBy_.erase(number);
  handles_.erase(known);
  delete known;
}

int UsbBus::getStringDescriptorAscii(KvUsbHandle* handle, uint8_t index, unsigned char* data,
                                     int length) {
  std::lock_guard<std::mutex> guard(lock_);
  ++calls_;
  Handle* known = handleLocked(handle);
  if (known == nullptr || data == nullptr || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  if (!attachedLocked(*known)) return LIBUSB_ERROR_NO_DEVICE;
  const DeviceSpec& setup = known->device->setup_;
  if (index == 0 || index != setup.serialIndex) return LIBUSB_ERROR_PIPE;  // no such string
  const size_t n = std::min(setup.serial.size(), static_cast<size_t>(length - 1));
  memcpy(data, setup.serial.data(), n);
  data[n] = '\0';
  return static_cast<int>(n);
}

int UsbBus::claimInterface(KvUsbHandle* handle, int interfaceNumber) {
  std::lock_guard<std::mutex> guard(lock_);
  ++calls_;
  Handle* known = handleLocked(handle);
  if (known == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!attachedLocked(*known)) return LIBUSB_ERROR_NO_DEVICE;
  SimDevice& sim = *known->device;
  const bool exists =
      std::any_of(sim.setup_.config.interfaces.begin(), sim.setup_.config.interfaces.end(),
                  [&](const KvUsbInterface& interface) {
                    return !interface.altsettings.empty() &&
                           interface.altsettings.front().bInterfaceNumber == interfaceNumber;
                  });
  if (!exists) return LIBUSB_ERROR_NOT_FOUND;
  if (sim.claimError_ != 0) return sim.claimError_;
  if (known->claimed.count(interfaceNumber) != 0) return LIBUSB_SUCCESS;
  if (sim.claimedBy_.count(interfaceNumber) != 0) return LIBUSB_ERROR_BUSY;
  sim.claimedBy_.insert(interfaceNumber);
  known->claimed.insert(interfaceNumber);
  return LIBUSB_SUCCESS;
}

int UsbBus::releaseInterface(KvUsbHandle* handle, int interfaceNumber) {
  std::lock_guard<std::mutex> guard(lock_);
  ++calls_;
  Handle* known = handleLocked(handle);
  if (known == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (known->claimed.erase(interfaceNumber) == 0) return LIBUSB_ERROR_NOT_FOUND;
  if (!attachedLocked(*known)) return LIBUSB_ERROR_NO_DEVICE;
  known->device->claimedBy_.erase(interfaceNumber);
  return LIBUSB_SUCCESS;
}

int UsbBus::bulkTransfer(KvUsbHandle* handle, uint8_t endpoint, uint8_t* data, int length,
                         int* transferred, unsigned int timeoutMs) {
  std::unique_lock<std::mutex> held(lock_);
  ++calls_;
  *transferred = 0;
  Handle* known = handleLocked(handle);
  if (known == nullptr || data == nullptr || length < 0) return LIBUSB_ERROR_INVALID_PARAM;
  if (!attachedLocked(*known)) return LIBUSB_ERROR_NO_DEVICE;
  return (endpoint & kEndpointIn) != 0
             ? inLocked(held, *known, data, length, transferred, timeoutMs)
             : outLocked(held, *known, data, length, transferred);
}

int UsbBus::outLocked(std::unique_lock<std::mutex>& held, Handle& handle, uint8_t* data, int length,
                      int* transferred) {
  SimDevice& sim = *handle.device;
  int result = LIBUSB_SUCCESS;
  int moved = length;
  if (!sim.outFaults_.empty()) {
    result = sim.outFaults_.front().error;
    moved = std::min(length, sim.outFaults_.front().bytes);
    sim.outFaults_.pop_front();
  }
  sim.outTransfers_.push_back({length, moved, result});
  held.unlock();
  if (moved > 0) sim.peer_.received(data, static_cast<size_t>(moved));
  held.lock();
  *transferred = moved;
  return result;
}

int UsbBus::inLocked(std::unique_lock<std::mutex>& held, Handle& handle, uint8_t* data, int length,
                     int* transferred, unsigned int timeoutMs) {
  SimDevice& sim = *handle.device;
  ++sim.inTransfers_;
  if (!sim.inFaults_.empty()) {
    const SimDevice::Fault fault = sim.inFaults_.front();
    sim.inFaults_.pop_front();
    held.unlock();
    const size_t got =
        fault.bytes > 0 ? sim.peer_.supply(data, static_cast<size_t>(std::min(length, fault.bytes)))
                        : 0;
    held.lock();
    *transferred = static_cast<int>(got);
    return fault.error;
  }

  const unsigned int waitMs = idleInWaitMs_ != 0 ? std::min(idleInWaitMs_, timeoutMs) : timeoutMs;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    held.unlock();
    const size_t got = sim.peer_.supply(data, static_cast<size_t>(length));
    held.lock();
    if (got > 0) {
      *transferred = static_cast<int>(got);
      return LIBUSB_SUCCESS;
    }
    if (handles_.count(&handle) == 0 || !attachedLocked(handle)) return LIBUSB_ERROR_NO_DEVICE;
    if (std::chrono::steady_clock::now() >= deadline) return LIBUSB_ERROR_TIMEOUT;
    held.unlock();
    std::this_thread::sleep_for(kInPollInterval);
    held.lock();
  }
}

int UsbBus::clearHalt(KvUsbHandle* handle, uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  ++calls_;
  Handle* known = handleLocked(handle);
  if (known == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
  if (!attachedLocked(*known)) return LIBUSB_ERROR_NO_DEVICE;
  known->device->clearedHalts_.push_back(endpoint);
  return known->device->clearHaltError_;
}

}  // namespace kvsim
