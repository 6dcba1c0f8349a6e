// Broker discovery: the loopback multicast exchange with the responders of local brokers, and
// the beacon exchange with brokers on the network. Each broker found is reported once per search
// as its own linkSpec, after the checks that keep forged or malformed answers out.
#include "aBrokerDiscovery.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include "aBeaconInterface.h"
#include "aDebug.h"
#include "aMulticast.h"
#include "aTime.h"
#include "aZSys.h"

namespace {

constexpr int kMaxInterfaces = 50;             // interfaces counted to choose the exchange
constexpr int kDottedSize = 16;                // "255.255.255.255" and its NUL
constexpr uint64_t kBeaconSearchMs = 2200;     // ms a beacon search lasts, on the monotonic clock
constexpr int kBeaconIntervalMs = 100;         // ms between two of our discovery beacons
constexpr int kBeaconReceiveSliceMs = 100;     // ms one receive from the beacon actor waits at most
constexpr uint64_t kSlotAnswerWaitMs = 1000;   // ms an occupied loopback slot may take to answer
constexpr size_t kAnswerBufferSize = 256;      // larger than an answer, so a longer one shows
constexpr uint32_t kLoopbackNet = 0x7F000000;  // 127.0.0.0/8, host order
constexpr uint32_t kLoopbackMask = 0xFF000000;
constexpr uint32_t kMaxModuleAddress = 0xFF;
constexpr uint32_t kMaxPort = 0xFFFF;

#define DTRACE(...) aTRACE(aDEBUG_DISCOVERY, __VA_ARGS__)

uint32_t ReadLe32(const uint8_t* bytes) {
  return bytes[0] | (uint32_t{bytes[1]} << 8) | (uint32_t{bytes[2]} << 16) |
         (uint32_t{bytes[3]} << 24);
}

// A 128-byte answer as a record: the 32-bit fields are little-endian; the address keeps its
// bytes as sent (network order, first octet first).
linkSpec ReadAnswer(const uint8_t* bytes) {
  linkSpec spec;
  memcpy(&spec, bytes, sizeof spec);
  spec.type = ReadLe32(bytes + offsetof(linkSpec, type));
  spec.serialNumber = ReadLe32(bytes + offsetof(linkSpec, serialNumber));
  spec.module = ReadLe32(bytes + offsetof(linkSpec, module));
  spec.router = ReadLe32(bytes + offsetof(linkSpec, router));
  spec.routerSerialNumber = ReadLe32(bytes + offsetof(linkSpec, routerSerialNumber));
  spec.model = ReadLe32(bytes + offsetof(linkSpec, model));
  spec.port = ReadLe32(bytes + offsetof(linkSpec, port));
  return spec;
}

// The records taken in one search, for the duplicate test.
class TakenRecords {
 public:
  bool isNew(const linkSpec& spec) const {
    return std::none_of(records_.begin(), records_.end(), [&](const linkSpec& taken) {
      return taken.type == spec.type && taken.serialNumber == spec.serialNumber &&
             taken.address == spec.address && taken.port == spec.port;
    });
  }
  void add(const linkSpec& spec) { records_.push_back(spec); }

 private:
  std::vector<linkSpec> records_;
};

// Records the new record and hands it to the callback; true when the callback took it.
bool Offer(const linkSpec& spec, TakenRecords* records, discoveryCallback callback, void* reference,
           bool* goOn) {
  records->add(spec);
  bool taken = false;
  *goOn = callback(&spec, &taken, reference);
  return taken;
}

bool IsLoopback(uint32_t address) { return (ntohl(address) & kLoopbackMask) == kLoopbackNet; }

void TraceInvalid(const char* where, const linkSpec& spec) {
  DTRACE("Ignoring an invalid linkSpec(%s): Type: %u - Port: %u - Module: %u\n", where, spec.type,
         spec.port, spec.module);
}

// One beacon from the actor: the sender's address text and the beacon's bytes. A 128-byte
// record whose address is the sender's, valid and new, is offered.
bool HandleBeacon(zmsg_t* message, TakenRecords* records, discoveryCallback callback,
                  void* reference, uint8_t* count) {
  bool goOn = true;
  char* sender = zmsg_popstr(message);
  zframe_t* data = zmsg_pop(message);
  in_addr from{};
  if (sender != nullptr && data != nullptr && zframe_size(data) == LINKSPEC_SIZE) {
    const linkSpec spec = ReadAnswer(zframe_data(data));
    if (!aBrokerDiscovery_IsValidRecord(&spec)) {
      TraceInvalid("beacon", spec);
    } else if (inet_pton(AF_INET, sender, &from) != 1 || from.s_addr != spec.address) {
      DTRACE("Ignoring a linkSpec(beacon) from %s that names another address\n", sender);
    } else if (records->isNew(spec)) {
      DTRACE(
          "Got NEW linkSpec(beacon): SN: 0x%08X - Port: %d - Address: %d - Type: %d - Model: %d\n",
          spec.serialNumber, static_cast<int>(spec.port), static_cast<int>(spec.address),
          static_cast<int>(spec.type), static_cast<int>(spec.model));
      if (Offer(spec, records, callback, reference, &goOn)) ++*count;
    }
  }
  zframe_destroy(&data);
  zstr_free(&sender);
  return goOn;
}

// Publishes the discovery beacon on the current beacon interface and takes the brokers' answers
// until the search's deadline. The caller holds the interface lock and a claim for the beacon.
uint8_t FindBeacon(discoveryCallback callback, void* reference) {
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (beacon == nullptr) return 0;
  uint8_t count = 0;
  zsock_send(beacon, "si", "CONFIGURE", aBROKER_BEACON_PORT);
  char* hostname = zstr_recv(beacon);
  DTRACE("Beacon hostname(_findLinkSpecs_beacon): %s - Port: %d\n",
         hostname != nullptr ? hostname : "", aBROKER_BEACON_PORT);
  if (hostname != nullptr && hostname[0] != '\0') {
    zsock_send(beacon, "sbi", "PUBLISH", aBROKER_BEACON_TEXT, size_t{aBROKER_BEACON_TEXT_SIZE},
               kBeaconIntervalMs);
    zsock_send(beacon, "sb", "SUBSCRIBE", "", size_t{0});
    TakenRecords records;
    const uint64_t deadline = aTime_GetMonotonicMSTicks() + kBeaconSearchMs;
    bool goOn = true;
    while (goOn && !zsys_interrupted) {
      const uint64_t now = aTime_GetMonotonicMSTicks();
      if (now >= deadline) {
        DTRACE("Done with discovery");
        break;
      }
      zsock_set_rcvtimeo(
          beacon, static_cast<int>(std::min<uint64_t>(deadline - now, kBeaconReceiveSliceMs)));
      zmsg_t* message = zmsg_recv(beacon);
      zSysInterruptHandler_process();
      if (message == nullptr) continue;  // time-out or a signal: the deadline decides
      goOn = HandleBeacon(message, &records, callback, reference, &count);
      zmsg_destroy(&message);
    }
    zstr_sendx(beacon, "SILENCE", nullptr);
    zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
  }
  zstr_free(&hostname);
  zactor_destroy(&beacon);
  return count;
}

// The first datagram from a loopback address within the slot's wait; its length, or -1 when
// none came. Datagrams from other addresses reach the receiver too (it binds every address)
// and are skipped.
int AwaitLoopbackAnswer(aMulticast* receiver, uint8_t* buffer, int size) {
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + kSlotAnswerWaitMs;
  for (;;) {
    const uint64_t now = aTime_GetMonotonicMSTicks();
    if (now >= deadline) return aMULTICAST_FAILED;
    pollfd ready{aMulticast_Descriptor(receiver), POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(deadline - now));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return aMULTICAST_FAILED;
    uint32_t from = 0;
    const int length = aMulticast_ReceiveFrom(receiver, buffer, size, &from);
    if (length < 0 || IsLoopback(from)) return length;
    char text[kDottedSize] = {};
    aDiscovery_ConvertIPv4Interface(from, text, sizeof text);
    DTRACE("Ignoring a datagram from %s: not a loopback address\n", text);
  }
}

// Asks the responder of each occupied loopback slot for its record.
uint8_t FindLoopback(discoveryCallback callback, void* reference) {
  uint32_t group = 0;
  inet_pton(AF_INET, aBROKER_DISCOVERY_GROUP, &group);
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  const uint8_t request[] = {aBROKER_DISCOVERY_MAGIC & 0xFF, (aBROKER_DISCOVERY_MAGIC >> 8) & 0xFF,
                             (aBROKER_DISCOVERY_MAGIC >> 16) & 0xFF,
                             (aBROKER_DISCOVERY_MAGIC >> 24) & 0xFF};
  uint8_t buffer[kAnswerBufferSize];
  TakenRecords records;
  uint8_t count = 0;
  bool goOn = true;
  for (int slot = 0; slot < aBROKER_DISCOVERY_SLOTS && goOn; ++slot) {
    const auto requestPort = static_cast<uint16_t>(aBROKER_REQUEST_PORT_BASE + slot);
    const auto answerPort = static_cast<uint16_t>(aBROKER_ANSWER_PORT_BASE + slot);
    // A receiver on the request port can be made only while no responder holds it.
    aMulticast* probe = aMulticast_Create(loopback, group, requestPort, false);
    if (probe != nullptr) {
      aMulticast_Destroy(&probe);
      continue;
    }
    if (errno != EADDRINUSE) continue;  // the slot cannot be used here, by a responder either

    aMulticast* receiver = aMulticast_Create(loopback, group, answerPort, false);
    aMulticast* sender = aMulticast_Create(loopback, group, requestPort, true);
    if (receiver != nullptr && sender != nullptr &&
        aMulticast_Send(sender, request, sizeof request) == static_cast<int>(sizeof request)) {
      const int length = AwaitLoopbackAnswer(receiver, buffer, sizeof buffer);
      if (length == LINKSPEC_SIZE) {
        const linkSpec spec = ReadAnswer(buffer);
        if (!aBrokerDiscovery_IsValidRecord(&spec)) {
          TraceInvalid("multicast", spec);
        } else if (records.isNew(spec)) {
          DTRACE("Got NEW linkSpec(multicast: SN: 0x%08X - Port: %d - Address: %d - Type: %d\n",
                 spec.serialNumber, static_cast<int>(spec.port), static_cast<int>(spec.address),
                 static_cast<int>(spec.type));
          if (spec.address != loopback) {
            DTRACE("We are in local mode, ignoring(2)");
          } else if (Offer(spec, &records, callback, reference, &goOn)) {
            ++count;
          }
        }
      } else if (length != aMULTICAST_FAILED) {
        DTRACE("Unknown Error sending request message: %d\n", length);
      }
    }
    aMulticast_Destroy(&sender);
    aMulticast_Destroy(&receiver);
  }
  return count;
}

}  // namespace

bool aBrokerDiscovery_IsValidRecord(const linkSpec* spec) {
  return spec != nullptr && spec->type >= aLINK_TYPE_SERVED_USB &&
         spec->type <= aLINK_TYPE_SERVED_SERIAL && spec->port != 0 && spec->port <= kMaxPort &&
         spec->module != 0 && spec->module % 2 == 0 && spec->module <= kMaxModuleAddress;
}

uint8_t aDiscovery_Enumerate_VelnetModules(discoveryCallback callback, void* reference,
                                           uint32_t networkInterface) {
  if (callback == nullptr) return 0;
  const bool local = networkInterface == 0 || networkInterface == htonl(INADDR_LOOPBACK);
  uint32_t interfaces[kMaxInterfaces];
  const int found = aDiscovery_GetIPv4Interfaces(interfaces, kMaxInterfaces);
  DTRACE("aDiscovery_Enumerate_VelnetModules found count: %d\n", found);
  if (local || found == 0) return FindLoopback(callback, reference);

  char text[kDottedSize] = {};
  aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text);
  DTRACE("New Interface: %s\n", text);
  // CZMQ's beacon reads the setting again on its own thread: no beacon may be made on another
  // interface while one lives.
  if (!zBeaconInterface_claim(text)) {
    DTRACE("Beacon search on %s refused: a beacon on another interface lives\n", text);
    return 0;
  }
  uint8_t count = 0;
  if (zBeaconInterface_backupSetAndLock(text)) {
    count = FindBeacon(callback, reference);
    zBeaconInterface_restoreAndUnlock();
  }
  zBeaconInterface_release();
  return count;
}
