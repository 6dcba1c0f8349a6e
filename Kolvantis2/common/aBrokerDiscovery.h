// Broker discovery: finds sharing brokers on the host (loopback multicast exchange) or on the
// network (CZMQ beacon on port 8585) and reports each as its linkSpec (type 5, 6 or 7).
#pragma once

#include <cstdint>

#include "aDiscovery.h"

#define aBROKER_BEACON_TEXT "Kolvantis2-Discovery"
#define aBROKER_BEACON_TEXT_SIZE 20
#define aBROKER_BEACON_PORT 8585
#define aBROKER_DISCOVERY_MAGIC 0xABCDDCBAu
#define aBROKER_DISCOVERY_GROUP "224.0.0.7"
#define aBROKER_DISCOVERY_SLOTS 50
#define aBROKER_REQUEST_PORT_BASE 9850
#define aBROKER_ANSWER_PORT_BASE 9950

// Calls the callback for each broker found, once per search; the number of records the
// callback took. A local search (interface 0 or 127.0.0.1, or a host without interfaces) asks
// the responder of each occupied loopback slot (up to 1 s each) and takes only brokers that
// advertise 127.0.0.1, in answers sent from 127.0.0.0/8. Any other interface gets a beacon
// search of 2.2 s, which takes a record only from the address it names; it finds nothing while
// a beacon on another interface lives in the process (zBeaconInterface_claim).
uint8_t aDiscovery_Enumerate_VelnetModules(discoveryCallback callback, void* reference,
                                           uint32_t networkInterface);

// A received record is a broker's answer only when this holds: type 5 to 7, a port of 1 to
// 65535, a module address that is even, not 0 and fits 8 bits.
bool aBrokerDiscovery_IsValidRecord(const linkSpec* spec);
