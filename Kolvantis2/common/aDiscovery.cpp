// Module discovery: USB enumeration through the driver's backend, the TCP/IP multicast query,
// the hand-over of the broker types to broker discovery, the two finders, linkSpec records and the
// IPv4 interface helpers.
#include "aDiscovery.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>

#include "aBrokerDiscovery.h"
#include "aDebug.h"
#include "kvusb.h"

namespace {

// USB serial-number strings: exactly this many upper-case hexadecimal digits, the text the
// USB transport looks a module up by.
constexpr size_t kSerialDigits = 8;
constexpr int kSerialBuffer = 32;  // bytes read for the serial-number string

// TCP/IP query.
constexpr int kReplyWaitMs = 2000;       // ms one read waits for a reply
constexpr int kQueryDeadlineMs = 10000;  // ms a whole query may take, however replies trickle in
constexpr uint8_t kRequestCode = 1;      // first byte of the request
constexpr size_t kReplyModuleOffset = 1;
constexpr size_t kReplyPortOffset = 2;
constexpr size_t kReplySerialOffset = 4;
constexpr size_t kReplyModelOffset = 12;
constexpr uint8_t kReplyNoModel = 0xFF;  // model of a reply that ends before its model byte
constexpr int kDottedSize = 16;          // "255.255.255.255" and its NUL

uint32_t ReadLe16(const uint8_t* bytes) { return bytes[0] | (uint32_t{bytes[1]} << 8); }
uint32_t ReadLe32(const uint8_t* bytes) {
  return bytes[0] | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
         (uint32_t{bytes[3]} << 24);
}

// Calls the callback for one record; true when it took it.
bool Offer(const linkSpec* spec, discoveryCallback callback, void* reference, bool* goOn) {
  bool taken = false;
  *goOn = callback(spec, &taken, reference);
  return taken;
}

// The serial number of an eight-digit upper-case hexadecimal text; false for any other text.
bool ParseSerialText(const char* text, uint32_t* serial) {
  if (strlen(text) != kSerialDigits) return false;
  uint32_t value = 0;
  for (size_t i = 0; i < kSerialDigits; ++i) {
    const char c = text[i];
    uint32_t digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<uint32_t>(c - '0');
    else if (c >= 'A' && c <= 'F')
      digit = static_cast<uint32_t>(c - 'A' + 10);
    else
      return false;
    value = (value << 4) | digit;
  }
  *serial = value;
  return true;
}

uint8_t EnumerateUsb(discoveryCallback callback, void* reference) {
  KvUsbContext* context = Kolvantis_libusb_context();
  if (context == nullptr) return 0;
  KvUsbBackend& usb = kvusb_GetBackend();
  KvUsbDevice** list = nullptr;
  const ssize_t count = usb.getDeviceList(context, &list);
  if (count < 0 || list == nullptr) return 0;

  uint8_t taken = 0;
  bool goOn = true;
  for (ssize_t i = 0; i < count && goOn; ++i) {
    KvUsbDevice* device = list[i];
    if (!is_kolvantis_device(device)) continue;
    KvUsbHandle* handle = nullptr;
    if (usb.open(device, &handle) != LIBUSB_SUCCESS) continue;
    KvUsbDeviceDescriptor descriptor;
    unsigned char text[kSerialBuffer] = {};
    uint32_t serial = 0;
    const bool named =
        usb.getDeviceDescriptor(device, &descriptor) == LIBUSB_SUCCESS &&
        usb.getStringDescriptorAscii(handle, descriptor.iSerialNumber, text, sizeof text) > 0;
    text[sizeof text - 1] = '\0';
    if (named && ParseSerialText(reinterpret_cast<const char*>(text), &serial)) {
      linkSpec* spec = aLinkSpec_Create(aLINK_TYPE_USB);
      if (spec != nullptr) {
        spec->serialNumber = serial;
        spec->address = serial;
        spec->model = descriptor.idProduct & 0xFFu;
        if (Offer(spec, callback, reference, &goOn)) ++taken;
        aLinkSpec_Destroy(&spec);
      }
    }
    usb.close(handle);
  }
  usb.freeDeviceList(list, true);
  return taken;
}

// A UDP socket, closed with its owner.
class UdpSocket {
 public:
  UdpSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)) {}
  ~UdpSocket() {
    if (fd_ >= 0) close(fd_);
  }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

bool SetReceiveTimeout(int fd, int ms) {
  timeval wait{};
  wait.tv_sec = ms / 1000;
  wait.tv_usec = (ms % 1000) * 1000;
  return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0;
}

// Sets the listener up for replies on the interface (host order; 0: any address).
bool OpenListener(const UdpSocket& listener, uint32_t hostInterface) {
  if (listener.fd() < 0) return false;
  const int one = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(DISCOVERY_REPLY_PORT);
  local.sin_addr.s_addr = htonl(hostInterface);
  return setsockopt(listener.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
         bind(listener.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
         SetReceiveTimeout(listener.fd(), kReplyWaitMs);
}

// One request from the interface (network order), or with no interface chosen when chosen
// is false; true when it was sent.
bool SendRequest(uint32_t networkInterface, bool chosen) {
  UdpSocket sender;
  if (sender.fd() < 0) return false;
  if (chosen) {
    in_addr from{};
    from.s_addr = networkInterface;
    if (setsockopt(sender.fd(), IPPROTO_IP, IP_MULTICAST_IF, &from, sizeof from) != 0) return false;
  }
  uint8_t request[DISCOVERY_REQUEST_SIZE] = {kRequestCode};
  sockaddr_in group{};
  group.sin_family = AF_INET;
  group.sin_port = htons(DISCOVERY_REQUEST_PORT);
  inet_pton(AF_INET, DISCOVERY_MULTICAST_GROUP, &group.sin_addr);
  return sendto(sender.fd(), request, sizeof request, 0, reinterpret_cast<const sockaddr*>(&group),
                sizeof group) == static_cast<ssize_t>(sizeof request);
}

// Requests from every IPv4 address of the host but 0.0.0.0 and 127.0.0.1, whatever the
// interface's state; one request with no interface chosen when the list cannot be read.
bool SendRequestsEverywhere() {
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return SendRequest(0, false);
  bool sent = false;
  for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    const uint32_t address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr;
    if (address == htonl(INADDR_ANY) || address == htonl(INADDR_LOOPBACK)) continue;
    if (SendRequest(address, true)) sent = true;
  }
  freeifaddrs(interfaces);
  return sent;
}

// One datagram, waiting up to waitMs for it. A signal that interrupts the wait does not end it:
// the read resumes for the rest of its time. The datagram's length, or -1 on time-out or failure.
ssize_t ReceiveReply(int fd, uint8_t* reply, size_t size, sockaddr_in* from, int waitMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return -1;
    if (!SetReceiveTimeout(fd, static_cast<int>(left))) return -1;
    socklen_t fromLength = sizeof *from;
    const ssize_t got =
        recvfrom(fd, reply, size, 0, reinterpret_cast<sockaddr*>(from), &fromLength);
    if (got >= 0 || errno != EINTR) return got;
  }
}

uint8_t QueryTcpip(discoveryCallback callback, void* reference, uint32_t networkInterface) {
  uint32_t hostInterface = ntohl(networkInterface);
  if (hostInterface == INADDR_LOOPBACK) hostInterface = INADDR_ANY;

  UdpSocket listener;
  if (!OpenListener(listener, hostInterface)) return 0;
  const bool sent = hostInterface != INADDR_ANY ? SendRequest(htonl(hostInterface), true)
                                                : SendRequestsEverywhere();
  if (!sent) return 0;

  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kQueryDeadlineMs);
  uint8_t taken = 0;
  bool goOn = true;
  while (goOn) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    uint8_t reply[DISCOVERY_REPLY_SIZE];
    sockaddr_in from{};
    const ssize_t got = ReceiveReply(listener.fd(), reply, sizeof reply, &from,
                                     static_cast<int>(std::min<long long>(left, kReplyWaitMs)));
    if (got < 0) break;  // time-out or failure ends the search
    linkSpec* spec = aLinkSpec_Create(aLINK_TYPE_TCPIP);
    if (spec == nullptr) continue;
    if (aDiscovery_ParseReply(reply, static_cast<int>(got), from.sin_addr.s_addr, spec) &&
        Offer(spec, callback, reference, &goOn))
      ++taken;
    aLinkSpec_Destroy(&spec);
  }
  return taken;
}

// The finders' search: the search record is the reference; a match is copied over it.
bool SerialCallback(const linkSpec* spec, bool* taken, void* reference) {
  linkSpec* search = static_cast<linkSpec*>(reference);
  if (spec->serialNumber != search->serialNumber) return true;
  memcpy(search, spec, sizeof *search);
  *taken = true;
  return false;
}

bool FirstCallback(const linkSpec* spec, bool* taken, void* reference) {
  if (spec->serialNumber == 0) return true;
  memcpy(reference, spec, sizeof(linkSpec));
  *taken = true;
  return false;
}

linkSpec* Find(linkType type, uint32_t serialNumber, uint32_t networkInterface,
               discoveryCallback callback) {
  linkSpec* search = aLinkSpec_Create(type);
  if (search == nullptr) return nullptr;
  search->serialNumber = serialNumber;
  if (aDiscovery_EnumerateModules(type, callback, search, networkInterface) == 0)
    aLinkSpec_Destroy(&search);
  return search;
}

}  // namespace

uint8_t aDiscovery_EnumerateModules(linkType type, discoveryCallback callback, void* reference,
                                    uint32_t networkInterface) {
  if (callback == nullptr) return 0;
  switch (type) {
    case aLINK_TYPE_USB:
      return EnumerateUsb(callback, reference);
    case aLINK_TYPE_TCPIP:
      return QueryTcpip(callback, reference, networkInterface);
    case aLINK_TYPE_CLIENT:
    case aLINK_TYPE_SERVED_USB:
    case aLINK_TYPE_SERVED_TCPIP:
    case aLINK_TYPE_SERVED_SERIAL:
      return aDiscovery_Enumerate_VelnetModules(callback, reference, networkInterface);
    default:
      return 0;  // serial ports are not searched; other values name no link
  }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
  return Find(type, serialNumber, networkInterface, SerialCallback);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
  return Find(type, 0, networkInterface, FirstCallback);
}

linkSpec* aLinkSpec_Create(linkType type) {
  linkSpec* spec = new (std::nothrow) linkSpec{};
  if (spec == nullptr) return nullptr;
  memset(spec, 0, sizeof *spec);
  spec->type = type;
  return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec) {
  if (spec == nullptr) return nullptr;
  linkSpec* copy = new (std::nothrow) linkSpec;
  if (copy != nullptr) memcpy(copy, spec, sizeof *copy);
  return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
  if (spec == nullptr || *spec == nullptr) return aErrParam;
  delete *spec;
  *spec = nullptr;
  return aErrNone;
}

aErr aLinkSpec_SetSerialPath(linkSpec* spec, const char* path) {
  if (spec == nullptr || path == nullptr) return aErrParam;
  const size_t length = strnlen(path, LINKSPEC_PATH_SIZE);
  if (length >= LINKSPEC_PATH_SIZE) return aErrSize;
  memset(spec->path, 0, sizeof spec->path);
  memcpy(spec->path, path, length);
  return aErrNone;
}

aErr aLinkSpec_GetSerialPath(const linkSpec* spec, char* buffer, size_t size) {
  if (spec == nullptr || buffer == nullptr) return aErrParam;
  const size_t length = strnlen(spec->path, sizeof spec->path);
  if (length >= sizeof spec->path) return aErrParam;  // no NUL inside the field
  if (size == 0) return aErrSize;
  if (length >= size) {
    buffer[0] = '\0';
    return aErrSize;
  }
  memcpy(buffer, spec->path, length + 1);
  return aErrNone;
}

int aDiscovery_GetIPv4Interfaces(uint32_t* list, int maximum) {
  if (list == nullptr) return 0;
  ziflist_t* interfaces = ziflist_new();
  if (interfaces == nullptr) return 0;
  int count = 0;
  for (const char* name = ziflist_first(interfaces); name != nullptr && count < maximum;
       name = ziflist_next(interfaces)) {
    const char* text = ziflist_address(interfaces);
    if (text == nullptr) break;
    in_addr address{};
    if (inet_pton(AF_INET, text, &address) != 1) continue;
    list[count++] = address.s_addr;
    aTRACE(aDEBUG_DISCOVERY, "Interface Found: %d\n", static_cast<int>(address.s_addr));
  }
  ziflist_destroy(&interfaces);
  aTRACE(aDEBUG_DISCOVERY, "aDiscovery_GetIPv4Interfaces count: %d\n", count);
  return count;
}

int aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, int size) {
  if (buffer == nullptr || size < kDottedSize) return 0;
  memset(buffer, 0, static_cast<size_t>(size));
  in_addr value{};
  value.s_addr = address;
  if (inet_ntop(AF_INET, &value, buffer, static_cast<socklen_t>(size)) == nullptr) {
    memset(buffer, 0, static_cast<size_t>(size));
    return 0;
  }
  return static_cast<int>(strnlen(buffer, static_cast<size_t>(size)));
}

bool aDiscovery_ParseReply(const uint8_t* reply, int length, uint32_t sender, linkSpec* spec) {
  if (reply == nullptr || spec == nullptr) return false;
  if (length < static_cast<int>(kReplySerialOffset + 4)) return false;
  // A fresh buffer per datagram: nothing of an earlier reply shows through.
  uint8_t bytes[DISCOVERY_REPLY_SIZE] = {};
  bytes[kReplyModelOffset] = kReplyNoModel;
  memcpy(bytes, reply, std::min<size_t>(static_cast<size_t>(length), sizeof bytes));

  memset(spec, 0, sizeof *spec);
  spec->type = aLINK_TYPE_TCPIP;
  spec->module = bytes[kReplyModuleOffset];
  spec->router = spec->module;  // a TCP/IP module is its own router
  spec->port = ReadLe16(bytes + kReplyPortOffset);
  spec->serialNumber = ReadLe32(bytes + kReplySerialOffset);
  spec->routerSerialNumber = spec->serialNumber;
  spec->model = bytes[kReplyModelOffset];
  spec->address = sender;
  return true;
}
