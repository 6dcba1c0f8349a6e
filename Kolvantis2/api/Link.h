// Link: the class interface's connection to one device. A Link holds one use of a core link
// (by link ID), the link specifier it connects from and its sharing settings.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "aDiscovery.h"
#include "aError.h"

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

  // Packet log: not available yet.
  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  class impl;

 private:
  std::unique_ptr<impl> m_impl;
};

// Held for the whole creation of a core link and of a broker in front of it, so that no two
// Links of the process create links at the same time.
extern std::mutex linkCreateHelperSerializer;

// True for the Velnet link types 4 to 7.
bool isVELNET(linkType type);

// True when a failed discover-and-connect of this type is tried once more with another type.
bool _fallbackHelper(aErr err, linkType type, bool fallback);

}  // namespace Kolvantis
}  // namespace Zentrova
