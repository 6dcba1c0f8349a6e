// Module: the caller's handle of one device. It owns one Link and holds the module address
// that every request to the device goes to; after a direct connect it asks the device for its
// own address and adopts it (automatic networking). It also answers the module-level queries
// (command 0x49) and the echo test (command 23).
#pragma once

#include <cstdint>

#include "Link.h"
#include "aDiscovery.h"
#include "aError.h"

namespace Zentrova {
namespace Kolvantis {

class Module {
 public:
  Module(uint8_t address, uint8_t model);
  Module(uint8_t address, bool networking, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // By serial number (0 is refused) through discovery, then automatic networking.
  aErr connect(linkType type, uint32_t serialNumber);
  // Serial number 0: the first module of the model filter.
  aErr discoverAndConnect(linkType type, uint32_t serialNumber);
  aErr connectFromSpec(linkSpec spec);
  // Over the router's core link; keeps this Module's address (networking is switched off).
  aErr connectThroughLinkModule(Module* router);
  aErr reconnect();
  aErr disconnect();
  bool isConnected();
  int getStatus();

  uint8_t getModuleAddress() const { return moduleAddress; }
  void setModuleAddress(uint8_t address) { moduleAddress = address; }
  void setNetworkingMode(bool networking) { networkingMode = networking; }
  Link* getLink() const { return link; }
  aErr getLinkSpecifier(linkSpec* out);
  aErr getConfig(VelnetConfig* out);
  aErr setConfig(VelnetConfig config);

  // Asks the device for its module address (up to 4 queries) and adopts a new one.
  aErr _autoNetwork();

  aErr enablePacketLog(const char* path);
  aErr disablePacketLog();

  // Module-level queries.
  aErr getBuild(uint32_t* out);
  // 0 when the module has that UEI (the module's own answer otherwise); direction 0 (either),
  // 0x40 (get) or 0x80 (set).
  aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t direction);
  aErr classQuantity(uint8_t entityClass, uint8_t* out);
  aErr subClassQuantity(uint8_t entityClass, uint8_t subclass, uint8_t* out);
  aErr entityGroup(uint8_t entityClass, uint8_t index, uint8_t* out);
  // Echo test: the module must send back exactly the bytes (at most 27).
  aErr debug(const uint8_t* data, uint8_t count);

 private:
  // A query answered by the request echoed and one count byte, which goes to *out.
  aErr countQuery(const uint8_t* request, uint8_t requestLength, uint8_t replyLength, uint8_t* out);
  // Sends request (its first byte the command) and takes the module's first reply whose
  // leading patternLength bytes equal the request's, after dropping stale ones.
  aErr query(const uint8_t* request, uint8_t requestLength, uint8_t patternLength,
             uint8_t* replyLength, uint8_t* reply);
  aErr afterConnect(aErr connected);

  Link* link;
  uint8_t moduleAddress;
  bool networkingMode;
  uint8_t modelFilter;
};

}  // namespace Kolvantis
}  // namespace Zentrova
