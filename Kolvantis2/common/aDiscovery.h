// Discovery of the modules that can be reached, with one linkSpec record per module found:
// USB enumeration through the shared USB context, a UDP multicast query for TCP/IP modules,
// and broker discovery (aBrokerDiscovery.h) for the Velnet types. Everything runs on the caller's
// thread and blocks until the search is over; no operation reports an error, failures show as a
// smaller count or a null record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

// Kind of a device link: 1 USB, 2 TCP/IP, 3 serial port; 4 to 7 Velnet (4 any broker, and a
// broker named only by address and port; 5, 6, 7 a broker sharing a USB, TCP/IP or serial-port
// device link). 0 and values above 7 name no link.
typedef uint32_t linkType;

// The link types.
constexpr linkType aLINK_TYPE_USB = 1;
constexpr linkType aLINK_TYPE_TCPIP = 2;
constexpr linkType aLINK_TYPE_SERIAL = 3;
constexpr linkType aLINK_TYPE_CLIENT = 4;         // broker client: any broker, or one by address
constexpr linkType aLINK_TYPE_SERVED_USB = 5;     // a broker sharing a USB device link
constexpr linkType aLINK_TYPE_SERVED_TCPIP = 6;   // ... a TCP/IP device link
constexpr linkType aLINK_TYPE_SERVED_SERIAL = 7;  // ... a serial-port device link

#define LINKSPEC_SIZE 128
// Bytes of a serial-port path, its NUL included: from offset 28 to the end of the record.
#define LINKSPEC_PATH_SIZE 100

// Address record of one device link, 128 bytes, zero-filled when made; fields a kind of link
// does not use stay zero.
struct linkSpec {
  uint32_t type;  // linkType
  uint32_t serialNumber;
  uint32_t module;              // 8-bit module address; 0 when none was reported
  uint32_t router;              // module address of the router the module is reached through
  uint32_t routerSerialNumber;  // serial number of that router
  uint32_t model;               // 8-bit model number; 0: unknown
  uint32_t address;             // TCP/IP and Velnet: IPv4, network order; USB: the serial
                                // number again; serial port: the baud rate
  // The path comes first so that an empty initialiser zeroes the whole field.
  union {
    char path[LINKSPEC_PATH_SIZE];  // serial port: NUL-terminated device path
    uint32_t port;                  // TCP/IP and Velnet: TCP port (16-bit value)
  };
};
static_assert(sizeof(linkSpec) == LINKSPEC_SIZE, "a linkSpec is 128 bytes");

// Called once per module found. spec is valid only during the call; the callback sets *taken
// when it keeps (copies) the record. Returns true to go on searching, false to stop.
typedef bool (*discoveryCallback)(const linkSpec* spec, bool* taken, void* reference);

// UDP exchange of the TCP/IP query.
#define DISCOVERY_MULTICAST_GROUP "232.2.2.2"
#define DISCOVERY_REQUEST_PORT 9888
#define DISCOVERY_REPLY_PORT 9889
#define DISCOVERY_REQUEST_SIZE 16
#define DISCOVERY_REPLY_SIZE 16

// Searches for modules of the type on the interface (IPv4, network order; 127.0.0.1 means
// every interface) and calls the callback for each. The number of records the callback took
// (wraps at 256). The Velnet types 4 to 7 all search for every broker
// (aDiscovery_Enumerate_VelnetModules); types 0, 3 and above 7 give 0 without any search.
uint8_t aDiscovery_EnumerateModules(linkType type, discoveryCallback callback, void* reference,
                                    uint32_t networkInterface);

// A new record of the first module found with that serial number, or null; the caller frees
// it with aLinkSpec_Destroy.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);
// A new record of the first module found with a nonzero serial number, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// A new zero-filled record with type set; null when memory is short.
linkSpec* aLinkSpec_Create(linkType type);
// A new copy of the record; null for a null record or when memory is short.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
// Frees the record and nulls the caller's pointer; aErrParam when either is null.
aErr aLinkSpec_Destroy(linkSpec** spec);

// Stores a serial-port device path; aErrParam for a null record or path, aErrSize for a path
// that does not fit (LINKSPEC_PATH_SIZE - 1 characters at most). The record keeps its old
// path on failure.
aErr aLinkSpec_SetSerialPath(linkSpec* spec, const char* path);
// Copies the record's serial-port path into buffer; aErrParam for a null record or buffer or a
// path without its NUL inside the field, aErrSize when the buffer is too small (buffer then
// holds an empty text).
aErr aLinkSpec_GetSerialPath(const linkSpec* spec, char* buffer, size_t size);

// Addresses (network order) of the host's IPv4 interfaces that are up and broadcast-capable
// and neither loopback nor point-to-point, at most maximum; the number written, 0 for a null
// list.
int aDiscovery_GetIPv4Interfaces(uint32_t* list, int maximum);
// Writes the dotted-decimal text of the address (network order) into buffer and returns its
// length; 0 when size is below 16 (buffer untouched) or the conversion fails (buffer zeroed).
int aDiscovery_ConvertIPv4Interface(uint32_t address, char* buffer, int size);

// Reads one reply datagram of the TCP/IP query (length bytes received from sender, IPv4 in
// network order) into a type-2 record. False for a reply too short to hold the serial number;
// bytes a shorter reply lacks read as zero, except the model, which then reads 0xFF.
bool aDiscovery_ParseReply(const uint8_t* reply, int length, uint32_t sender, linkSpec* spec);
