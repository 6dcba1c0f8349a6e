// TCP client byte stream to a module's IPv4 address and port.
#pragma once

#include <cstdint>

#include "aStream.h"

// Longest wait for a connection to be made, on creation and on every reconnect.
#define aSOCKET_CONNECT_TIMEOUT_MS 2000

// Connects to the address (network byte order) and port and wraps the connection as a stream
// with wait and wake operations. A connection that the peer resets or closes is made again by
// the next read or write, and the reader is told of each new one (aStream_TakeNewConnection).
// aErrResource for any failure (null out, memory, socket, connection, stream); out is null then
// and no socket stays open.
aErr aStream_CreateSocket(uint32_t addressNetOrder, uint16_t port, aStream** out);
