// Core links: one byte stream to one module, run by a reader and a writer thread, reached by
// link ID. Callers put packets into a link's output queue and take received packets from its
// input queue; the link itself keeps step with the module (sync handshake), answers its
// heartbeats and sends the force-route control packets.
//
// Packets put into a link are copied; every packet handed out is new and the caller frees it
// with aPacket_Destroy. Operations on an unknown link ID answer aErrParam, null, 0 or status 5.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aLinkRecord.h"
#include "aPacket.h"
#include "aPacketFifo.h"
#include "aStream.h"

// State of a link as aLink_GetStatus reports it (aLINK_STATUS_... values).
typedef uint32_t linkStatus;

// --- use-counted creation and teardown ---------------------------------------------------------

// A running, synchronised link to the USB module with that serial number, or 0. A second call
// for the same module adds a use and returns the same ID; a module shared by a broker gives 0.
uint32_t aLink_CreateUSB(uint32_t serialNumber);

// A running link over TCP to the module at the address (network byte order) and port, or 0. An
// existing TCP/IP link for that serial number is reused whatever its address and port.
uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);

// A running link over a COBS-framed serial port at one of the rates 2400, 4800, 9600, 19200,
// 38400, 57600, 115200 or 230400 baud, or 0.
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);

// With link ID 0 a new running link to the sharing broker at the address (network byte order)
// and port, made also while no broker listens there yet; with an existing link ID one more use
// of that link. 0 on failure or for a link ID the table does not hold.
uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t linkId);

// Puts a sharing broker on the interface (in: 0 or 127.0.0.1 for the host's default; local-only
// brokers listen on 127.0.0.1) in front of the device link, which must hold only the caller's
// use and no broker yet, and asks the module for its address and model through it. The ID of
// a broker-client link to it, which from then on holds the caller's use of the device link;
// *port and *interfaceAddress then give where the broker listens. 0 on failure, with the
// caller's use of the device link, *port and *interfaceAddress left as they were. A shared
// device link refuses further USB, TCP/IP and serial creates.
uint32_t aLink_CreateServer(uint32_t deviceLinkId, uint16_t* port, uint32_t* interfaceAddress,
                            uint8_t localOnly);

// A running link over a stream the caller made; the link owns the stream from the call on (it
// is destroyed when the link cannot be made). 0 on failure.
uint32_t aLink_Create(aStream* stream);

// Drops one use of the link and tears it down with its last use. aErrNone; aErrParam for an
// unknown link; aErrUnknown for an entry without a record. *linkId is 0 afterwards in every
// case.
aErr aLink_Destroy(uint32_t* linkId);

// Stops the link, recreates its stream (USB, TCP/IP and broker-client links; up to 20 tries
// 100 ms apart), restarts it and, on USB, runs the sync handshake again. The ID, entry and use
// count stay, and so do the user filter and the packet log with its records. aErrParam for an
// unknown link; else the first failure: the last stream error when no stream could be made (the
// link is then stopped with status 5), or the start or sync result.
aErr aLink_Reset(uint32_t linkId);

// --- per-link access -----------------------------------------------------------------------------

// The link's status; aLINK_STATUS_NOSTREAM (5) for an unknown link.
linkStatus aLink_GetStatus(uint32_t linkId);

// Queues a copy of the packet for sending. aErrParam for an unknown link, an invalid packet or
// a failed copy; aErrResource when the queue cannot take it.
aErr aLink_PutPacket(uint32_t linkId, const aPacket* packet);

// Oldest received packet, removed; null when none or unknown.
aPacket* aLink_GetPacket(uint32_t linkId);

// Oldest received packet, waiting up to timeoutMs whatever the status; null on time-out, for
// an unknown link or when the link's queue goes away during the wait.
aPacket* aLink_AwaitPacket(uint32_t linkId, uint64_t timeoutMs);

// Oldest received packet that the filter selects, removed; null when none or unknown.
aPacket* aLink_GetFirst(uint32_t linkId, aPacketFilter filter, const void* reference);

// Oldest selected received packet, waiting up to timeoutMs while the link is running; null at
// once for a link that is not running (status other than 2), on time-out and for an unknown
// link.
aPacket* aLink_AwaitFirst(uint32_t linkId, aPacketFilter filter, const void* reference,
                          uint64_t timeoutMs);

// Removes and frees the received packets that the filter selects; their number, 0 for an
// unknown link.
size_t aLink_DrainPackets(uint32_t linkId, aPacketFilter filter, const void* reference);

// Installs (null removes) the user filter and its reference together; once this returns, the
// reader calls only the new filter. aErrParam for an unknown link.
aErr aLink_InstallUserPacketFilter(uint32_t linkId, aUserPacketFilter filter, void* reference);

// The same on the link record itself, for a destroy that has already taken the link out of the
// table. aErrParam for a null record.
aErr aLink_InstallUserPacketFilterOn(aLink* link, aUserPacketFilter filter, void* reference);

// Replaces the user filter only when the one installed is (expected, expectedRef), in one step
// under the filter mutex, so that an owner never replaces or removes a filter someone else
// installed. aErrNone; aErrBusy when another filter is installed; aErrParam for an unknown link.
aErr aLink_SwapUserPacketFilter(uint32_t linkId, aUserPacketFilter expected,
                                const void* expectedRef, aUserPacketFilter filter, void* reference);

// Switches pooled writes (several packets per stream write, up to 4096 bytes) on or off.
aErr aLink_EnablePooledPackets(uint32_t linkId, bool enable);
