// Broker client stream: the byte stream of a broker-client link. Every write goes to the
// sharing broker as ZeroMQ messages (one per packet), every message from the broker is handed
// out byte by byte. A relay thread owns the socket connected to the broker; two in-process
// pairs carry frames between it and the link's writer and reader threads.
#pragma once

#include <cstdint>

#include "aError.h"
#include "aStream.h"

// aErrNone and a new stream for the broker at the address (IPv4, network order) and port;
// aErrParam for a null out, aErrMemory, aErrConnection or aErrResource otherwise (*out is then
// null). A broker that is not there yet does not make the create fail.
aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** out);
