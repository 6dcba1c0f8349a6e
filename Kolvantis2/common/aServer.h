// Sharing broker: makes one device link (USB, TCP/IP or serial) usable by several clients, in
// this process and in others, over a ZeroMQ ROUTER socket on TCP. Each client (a DEALER) sends
// one device packet per frame; requests reach the module one at a time, the clients taken in
// turn and each client's in the order received, and each gets all its answers in order, or none
// when the module stays silent for 2000 ms. At most 16 requests of one client and 256 in all
// wait in the broker, none longer than 5000 ms; a request past these bounds is dropped
// unanswered.
// Stream samples are batched to the clients that switched streaming on; multi-packet UEI byte
// writes are collected per client (at most 8 pending for one client, 64 in all) and passed on
// whole. The broker also answers discovery. ZeroMQ queues at most 64 messages for a client;
// past them a batch is dropped, and so is an answer that finds no room within 50 ms.
//
// The frontend accepts messages of at most aSERVER_MAX_MESSAGE bytes: ZeroMQ disconnects a
// client that sends more (its pending messages are lost and it reconnects under a new
// identity). Sharing over the network has no authentication; local-only is the default.
#pragma once

#include <cstdint>

#include "aError.h"

struct aServer;

#define aSERVER_MAX_MESSAGE 4096

// A new broker for the device link (nothing started), serving type 5, 6 or 7 after its
// transport 1, 2 or 3; null for an unknown link, another transport or memory shortage.
// networkInterface is IPv4 in network order, 0 meaning 127.0.0.1.
aServer* aServer_Create(uint32_t deviceLinkId, uint32_t networkInterface, bool localOnly);
// aErrNone when the broker runs; aErrResource when a part of the start failed (what was made
// stays until aServer_Destroy); aErrParam for null.
aErr aServer_Start(aServer* server);
// Stops and frees the broker and clears the pointer; aErrParam for a null pointer or broker.
aErr aServer_Destroy(aServer** server);
aErr aServer_GetPort(aServer* server, uint16_t* port);
// The address where the frontend listens: 127.0.0.1 when local-only; else the interface given
// (the host's first interface in beacon mode when 0 or 127.0.0.1 was given).
aErr aServer_GetInterface(aServer* server, uint32_t* address);
aErr aServer_SetModuleAddress(aServer* server, uint8_t address);
aErr aServer_SetModel(aServer* server, uint8_t model);
// Drops the requests waiting in the broker and every answer still due to requests forwarded
// before the call.
aErr aServer_FlushFIFO(aServer* server);
