// One IPv4 UDP socket that either sends to a multicast group and port or receives on that port
// as a member of the group. Address reuse is off, so only one receiver can hold a port on the
// host (how a searcher tells that a responder is there); loop-back on, time-to-live 1, and a
// receive time-out of one second.
#pragma once

#include <cstdint>

struct aMulticast;

// Results of send and receive besides byte counts.
#define aMULTICAST_FAILED (-1)           // system error or time-out
#define aMULTICAST_NULL (-2)             // null handle
#define aMULTICAST_WRONG_DIRECTION (-3)  // a send on a receiver, a receive on a sender

// A new socket on the interface (IPv4, network order; 0 is 127.0.0.1) for the group (network
// order) and port; null on any failure, with nothing left open and errno holding the failed
// step's error (EADDRINUSE for a receiver whose port another receiver holds).
aMulticast* aMulticast_Create(uint32_t networkInterface, uint32_t group, uint16_t port,
                              bool isSender);
// Bytes sent in one datagram to the group and port, or one of the codes above.
int aMulticast_Send(aMulticast* socket, const void* data, unsigned length);
// Bytes of the one datagram received (at most size; the rest of a longer one is lost), or one
// of the codes above (-1 after one second without a datagram; a signal does not cut the wait
// short).
int aMulticast_Receive(aMulticast* socket, void* buffer, int size);
// Like aMulticast_Receive, and stores the sender's IPv4 address (network order) in *from.
int aMulticast_ReceiveFrom(aMulticast* socket, void* buffer, int size, uint32_t* from);
// The socket's descriptor (for a poll beside other inputs), or -1 for null.
int aMulticast_Descriptor(const aMulticast* socket);
// 0 after closing and freeing the socket and clearing the caller's pointer; -2 for null.
int aMulticast_Destroy(aMulticast** socket);
