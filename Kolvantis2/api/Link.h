// Link: the class interface's connection to one device. A Link holds one use of a core link
// (by link ID), the link specifier it connects from and its sharing settings.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "aDiscovery.h"
#include "aError.h"
#include "aPacketFifo.h"
#include "uei.h"

namespace Zentrova {
namespace Kolvantis {

// Sharing settings of a Link; a plain copyable record.
struct VelnetConfig {
  VelnetConfig();

  uint8_t enabled;     // put a sharing broker in front of a device link; allow Velnet types
  uint8_t fallback;    // retry a failed discover-and-connect once with another link type
  uint8_t localOnly;   // local-only switch of the broker
  uint16_t port;       // broker TCP port; 0 lets the broker choose, written back once it runs
  uint32_t address;    // IPv4 interface (network order) for discovery and for the broker
};

class Link {
 public:
  explicit Link(const char* name);
  Link(linkSpec spec, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  aErr getConfig(VelnetConfig* out);
  aErr setConfig(VelnetConfig cfg);

  aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
  aErr connect();
  aErr connectThroughLinkModule(Link& router);
  bool isConnected();
  int getStatus();
  aErr disconnect();
  aErr reset();

  aErr getModuleAddress(uint8_t* out);
  const char* getName();
  aErr getLinkSpecifier(linkSpec* out);
  aErr setLinkSpecifier(linkSpec spec);

  aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(uint8_t module, const uint8_t* pattern, uint8_t* length, uint8_t* data);
  aErr enablePooledPackets(bool on);

  // Raw replies from one module: like receivePacket, but only packets sent from that module
  // address are taken. The byte at length is the pattern length on entry.
  aErr receivePacketFrom(uint8_t module, const uint8_t* pattern, uint8_t* length,
                         uint8_t* data);
  // Removes and frees every queued packet from that module whose leading data bytes equal the
  // pattern (a late reply to an earlier request); 0.
  aErr dropMatchingPackets(uint8_t module, const uint8_t* pattern, uint8_t length);

  // UEI requests. A byte string (type 5) goes out as its chunks, back to back; while the
  // link's output queue is near its bound the chunks wait for the writer.
  aErr sendUEI(uei record);
  // One request with the subindex ahead of the value (types 0, 1, 2 and 4).
  aErr sendUEI(uei record, uint8_t subindex);
  // Waits for the reply that sUEIFilter selects for the record, and fills the record from it.
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record);
  // The same with another filter; its reference is the record.
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record,
                  aPacketFilter filter);
  // Removes and frees every queued packet that would answer this module, command, option and
  // index; 0.
  aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
  // Streamed value cache: aErrNotFound while no streams are registered.
  aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                      uint8_t subindex, uint32_t* value);

  // Packet log: not available yet.
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  class impl;

 private:
  // Makes the packet and puts it on the core link, waiting while its output queue is full.
  aErr putUEIPacket(uint8_t module, uint8_t length, const uint8_t* data);

  std::unique_ptr<impl> m_impl;
};

// Held for the whole creation of a core link and of a broker in front of it, so that no two
// Links of the process create links at the same time.
extern std::mutex linkCreateHelperSerializer;

// True for the Velnet link types 4 to 7.
bool isVELNET(linkType type);

// Selects the UEI reply for the record (a uei): address, command, option and index match. On
// selecting it fills the record: an error reply sets the specifier (bit 7) and the error code;
// a value reply sets type and value by its length. A reply of any other length, or an error
// reply without a code, is selected too and turned into an error (aErrSize, aErrUnknown), so
// it leaves the queue and never answers a later request.
uint8_t sUEIFilter(const aPacket* packet, const void* record);

// True when the packet answers the record's module, command and option (exactly) and index
// (specifier bits 0-4), with at least the three header bytes; changes nothing.
bool ueiReplyMatches(const aPacket* packet, const uei* record);

// Time-out in ms for the reply to a request made with this record: longer for byte strings
// over 1000 bytes, growing with their number of chunks.
uint64_t ueiReplyTimeoutMs(const uei& record);

// True when a failed discover-and-connect of this type is tried once more with another type.
bool _fallbackHelper(aErr err, linkType type, bool fallback);

}  // namespace Kolvantis
}  // namespace Zentrova
