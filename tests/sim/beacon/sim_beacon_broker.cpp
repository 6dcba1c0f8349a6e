// Stand-in for the beacon side of a sharing broker on another host, on plain CZMQ: it listens
// for the discovery beacon on port 8585 and, each time it hears one while silent, publishes each
// of its records as a beacon every 100 ms for 2 s, as a broker does.
// Its options and fault knobs are in --help.
//
// Prints "PORT 8585" once its beacons are configured; ends at "QUIT", at the end of its input,
// or after kLifetimeMs.
#include <arpa/inet.h>
#include <czmq.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kBeaconPort = 8585;
constexpr const char* kDiscoveryText = "Kolvantis2-Discovery";
constexpr size_t kDiscoveryTextSize = 20;
constexpr size_t kRecordSize = 128;
constexpr int kPublishIntervalMs = 100;  // ms between two beacons of one record
constexpr int64_t kPublishForMs = 2000;  // ms of publishing after a discovery beacon was heard
constexpr int kPollSliceMs = 100;        // ms one wait for a discovery beacon lasts
constexpr int64_t kLifetimeMs = 60000;   // ms after which the stand-in ends by itself

struct Record {
  uint32_t type = 0, serial = 0, module = 0, model = 0, port = 0;
  std::string address;  // dotted text or "self"
  size_t size = kRecordSize;
};

void Usage() {
  fprintf(stderr,
          "usage: kv_sim_beacon_broker --interface A.B.C.D "
          "[--record TYPE,SERIAL,MODULE,MODEL,ADDRESS,PORT[,SIZE]]...\n"
          "  ADDRESS  dotted text, or \"self\" for the interface's own address\n"
          "  SIZE     beacon length in bytes (128; the record is cut or padded with zeros)\n"
          "Faults: any field may be wrong on purpose (a type that is no broker's, port 0, an odd\n"
          "module address, an address other than the sender's, a size other than 128).\n");
}

bool ParseRecord(const char* text, Record* record) {
  std::vector<std::string> fields;
  std::string rest = text;
  for (size_t comma; (comma = rest.find(',')) != std::string::npos; rest.erase(0, comma + 1))
    fields.push_back(rest.substr(0, comma));
  fields.push_back(rest);
  if (fields.size() != 6 && fields.size() != 7) return false;
  const auto number = [](const std::string& field) {
    return static_cast<uint32_t>(strtoul(field.c_str(), nullptr, 0));
  };
  record->type = number(fields[0]);
  record->serial = number(fields[1]);
  record->module = number(fields[2]);
  record->model = number(fields[3]);
  record->address = fields[4];
  record->port = number(fields[5]);
  if (fields.size() == 7) record->size = number(fields[6]);
  return true;
}

void PutLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The record as a broker sends it: 32-bit fields little-endian, the address as its 4 bytes.
std::vector<uint8_t> Encode(const Record& record, const char* self) {
  std::vector<uint8_t> bytes(std::max(record.size, kRecordSize), 0);
  PutLe32(&bytes[0], record.type);
  PutLe32(&bytes[4], record.serial);
  PutLe32(&bytes[8], record.module);
  PutLe32(&bytes[20], record.model);
  in_addr address{};
  inet_pton(AF_INET, record.address == "self" ? self : record.address.c_str(), &address);
  memcpy(&bytes[24], &address.s_addr, 4);
  PutLe32(&bytes[28], record.port);
  bytes.resize(record.size);
  return bytes;
}

zactor_t* NewBeacon(std::string* hostname) {
  zactor_t* beacon = zactor_new(zbeacon, nullptr);
  if (beacon == nullptr) return nullptr;
  zsock_send(beacon, "si", "CONFIGURE", kBeaconPort);
  char* name = zstr_recv(beacon);
  if (name == nullptr || name[0] == '\0') {
    zstr_free(&name);
    zactor_destroy(&beacon);
    return nullptr;
  }
  *hostname = name;
  zstr_free(&name);
  return beacon;
}

// True when the listener delivered a discovery beacon within its receive time-out.
bool HeardDiscovery(zactor_t* listener) {
  zmsg_t* message = zmsg_recv(listener);
  if (message == nullptr) return false;
  zframe_t* data = zmsg_last(message);
  const bool heard = data != nullptr && zframe_size(data) >= kDiscoveryTextSize &&
                     memcmp(zframe_data(data), kDiscoveryText, kDiscoveryTextSize) == 0;
  zmsg_destroy(&message);
  return heard;
}

// False at "QUIT" or at the end of the input.
bool InputGoesOn() {
  char chunk[256];
  const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk - 1);
  if (got <= 0) return false;
  chunk[got] = '\0';
  return strstr(chunk, "QUIT") == nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  const char* networkInterface = nullptr;
  std::vector<Record> records;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--interface") == 0 && i + 1 < argc) {
      networkInterface = argv[++i];
    } else if (strcmp(argv[i], "--record") == 0 && i + 1 < argc) {
      Record record;
      if (!ParseRecord(argv[++i], &record)) {
        Usage();
        return 2;
      }
      records.push_back(record);
    } else {
      Usage();
      return strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  if (networkInterface == nullptr) {
    Usage();
    return 2;
  }

  zsys_set_interface(networkInterface);
  std::string hostname;
  zactor_t* listener = NewBeacon(&hostname);
  if (listener == nullptr) {
    fprintf(stderr, "no beacon on %s\n", networkInterface);
    return 1;
  }
  zsock_send(listener, "sb", "SUBSCRIBE", kDiscoveryText, kDiscoveryTextSize);
  std::vector<zactor_t*> publishers;
  std::vector<std::vector<uint8_t>> beacons;
  for (const Record& record : records) {
    std::string name;
    zactor_t* publisher = NewBeacon(&name);
    if (publisher == nullptr) return 1;
    publishers.push_back(publisher);
    beacons.push_back(Encode(record, hostname.c_str()));
  }
  printf("PORT %d\n", kBeaconPort);
  fflush(stdout);

  const int64_t end = zclock_mono() + kLifetimeMs;
  int64_t publishingSince = -1;
  bool goOn = true;
  zsock_set_rcvtimeo(listener, kPollSliceMs);
  while (goOn && !zsys_interrupted && zclock_mono() < end) {
    if (HeardDiscovery(listener) && publishingSince < 0) {
      for (size_t i = 0; i < publishers.size(); ++i)
        zsock_send(publishers[i], "sbi", "PUBLISH", beacons[i].data(), beacons[i].size(),
                   kPublishIntervalMs);
      publishingSince = zclock_mono();
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 0) > 0) goOn = InputGoesOn();
    if (publishingSince >= 0 && zclock_mono() - publishingSince > kPublishForMs) {
      for (zactor_t* publisher : publishers) zstr_sendx(publisher, "SILENCE", nullptr);
      publishingSince = -1;
    }
  }
  for (zactor_t* publisher : publishers) zactor_destroy(&publisher);
  zactor_destroy(&listener);
  return 0;
}
