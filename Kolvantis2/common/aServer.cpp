// Sharing broker. Threads and what each one alone touches:
//   broker thread   the frontend (ROUTER), the bound ends of the sync and stream channels, the
//                   beacon actor, the pools and the stream clients;
//   sync thread     the sync channel's connected end and the device link's queues: one
//                   request at a time goes to the module and its answers come back;
//   reader thread   (the device link's) the stream filter: the batch and the stream channel's
//                   connected end;
//   responder       (responder mode) its two multicast sockets.
// The internal channels are in-process endpoints, so nothing outside the process reaches them.
// Once CZMQ has caught an interrupt every thread's loop ends at its next wake-up, after the
// hand-over to the process's own SIGINT handling: the process's sharing stops for good.
//
// Requests wait in the broker thread, in a queue per client, and go to the sync thread one at
// a time, the clients taken in turn: a client that floods the module (or an address that never
// answers) delays another client's request by one request at most. What waits is bounded in
// number per client and in all, and in age.
//
// Sync channel messages, each part a frame of its own:
//   request  [sMSG_REQUEST][number][client identity][packetFrame]...  (a pooled write: all its
//            pieces, oldest first)
//   answer   [sMSG_ANSWER][number][client identity][packetFrame]     (one per answer piece)
//   dropped  [sMSG_DROPPED][number][client identity]                 (the request got none)
//   done     [sMSG_DONE][number][client identity]                    (the next may come)
// The number is the broker thread's count of the requests it forwarded; a flush drops the
// answers of every request forwarded before it. With one request at a time the channel holds
// at most its answers (sMAX_ANSWER_PIECES) and its done, below ZeroMQ's queue bound of 1000.
#include "aServer.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <endian.h>
#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <new>
#include <string>
#include <vector>

#include "aBeaconInterface.h"
#include "aBrokerDiscovery.h"
#include "aDebug.h"
#include "aDiscovery.h"
#include "aLink.h"
#include "aLinkTable.h"
#include "aMulticast.h"
#include "aPacketFifo.h"
#include "aTime.h"
#include "aUEI.h"
#include "aZSys.h"

namespace {

// Waits and limits.
constexpr uint64_t sANSWER_TIMEOUT_MS = 2000;  // ms for each answer piece of a request
constexpr uint64_t sWAIT_SLICE_MS = 50;        // ms between looks at a stop during a wait
constexpr int sWORKER_POLL_MS = 1000;          // ms of one poll of the broker and sync threads
constexpr int sRESPONDER_POLL_MS = 1000;       // ms of one poll of the discovery responder
constexpr size_t sMAX_ANSWER_PIECES = 900;     // a longer answer would overflow a client link
constexpr size_t sMAX_POOL_PIECES = 900;       // pieces of one pooled write
constexpr uint64_t sPOOL_IDLE_MS = 2000;       // ms without a piece that end a pool
// Requests wait while fewer places than this are left in the device link's output queue, so
// that a long write never reaches the bound at which the queue drops all it holds.
constexpr size_t sOUTPUT_RESERVE = 100;
constexpr uint64_t sOUTPUT_POLL_MS = 1;      // ms between looks at the output queue
constexpr uint64_t sOUTPUT_STALL_MS = 2000;  // ms a request waits for room before it is dropped
// What waits in the broker thread for its turn.
constexpr size_t sMOST_WAITING_OF_A_CLIENT = 16;  // requests of one client
constexpr size_t sMOST_WAITING = 256;             // requests of all clients
// ms a request may wait: longer than any caller of the class interface waits (4000 ms).
constexpr uint64_t sOLDEST_WAIT_MS = 5000;
// Pending multi-packet byte writes.
constexpr size_t sMOST_POOLS_OF_A_CLIENT = 8;
constexpr size_t sMOST_POOLS = 64;
// Messages (answers, batches) ZeroMQ queues for one client; past them a send fails at once.
constexpr int sCLIENT_SEND_QUEUE = 64;
// A long answer comes faster than ZeroMQ hands back room in that queue, even to a client that
// reads: an answer piece waits up to this many ms for room, once per request.
constexpr int sANSWER_ROOM_MS = 50;

// Stream batches.
constexpr size_t sBATCH_CAPACITY = 4096;
constexpr size_t sBATCH_SEND_ABOVE = 4065;  // a batch past this goes out at once

// Discovery.
constexpr int sMAX_INTERFACES = 50;
constexpr uint64_t sPUBLISH_MS = 2000;     // ms a beacon answer is published
constexpr int sPUBLISH_INTERVAL_MS = 100;  // ms between two beacon answers
constexpr int sBEACON_RECEIVE_MS = 100;    // receive time-out on the beacon actor
constexpr size_t sINTERFACE_TEXT = 16;

// Packets the broker looks at.
constexpr uint8_t sSTREAM_COMMAND = 0x5D;
constexpr uint8_t sSTREAM_ENABLE = 0x81;
constexpr uint8_t sSTREAM_DISABLE = 0x82;
constexpr uint8_t sSTREAM_SWITCH_SIZE = 7;  // [5D][81|82][20][module][command][option][index]
constexpr size_t sSTREAM_KEY_AT = 3;
constexpr uint8_t sANY = 0xFF;  // a stream key field that means any value
constexpr uint8_t sFIRST_PIECE_SIZE = aPACKETMAXDATA;
constexpr uint8_t sSEQUENCE_MASK = 0x7F;
constexpr uint8_t sPOOL_KEY_BYTES = 3;

// Sync channel.
constexpr uint8_t sMSG_REQUEST = 1;
constexpr uint8_t sMSG_ANSWER = 2;
constexpr uint8_t sMSG_DROPPED = 3;
constexpr uint8_t sMSG_DONE = 4;
constexpr size_t sMSG_HEADER_PARTS = 3;  // kind, number, identity

// CZMQ signals on an actor's pipe: an 8-byte frame of this value plus the status.
constexpr int64_t sSIGNAL_BASE = 0x7766554433221100LL;
constexpr uint8_t sSIGNAL_FLUSH = 5;
constexpr uint8_t sSIGNAL_READY = 0;
constexpr uint8_t sSIGNAL_FAILED = 1;

constexpr size_t sENDPOINT_SIZE = 64;

using StreamKey = std::array<uint8_t, 4>;

// One client that switched streaming on, with the keys it enabled.
struct StreamClient {
  std::string identity;
  std::vector<StreamKey> keys;
};

// A request waiting for its turn: one packet, or the pieces of a completed pooled write.
struct Request {
  std::vector<aPacket> packets;
  uint64_t arrivedMs = 0;  // monotonic
};

// One client's waiting requests, oldest first.
struct ClientQueue {
  std::string identity;
  std::deque<Request> requests;
};
using ClientQueues = std::list<ClientQueue>;

// What the broker thread keeps while it runs.
struct BrokerState {
  uint64_t lastNumber = 0;      // of the last request handed to the sync thread
  uint64_t flushedThrough = 0;  // answers of requests numbered up to this are dropped
  std::vector<StreamClient> streamClients;
  // Clients with waiting requests in turn order. The one served last stays listed while its
  // request is in hand; the next turn is the first client after it with a request waiting, and
  // a new client joins just before it (last in the round).
  ClientQueues clients;
  ClientQueues::iterator served;  // clients.end(): none
  bool inHand = false;            // the sync thread has a request
  bool answerStuck = false;       // a piece of the request in hand found no room
  size_t waiting = 0;             // requests in all the queues

  BrokerState() : served(clients.end()) {}
};

// One pending multi-packet UEI byte write.
struct packetPool {
  std::string identity;
  uint8_t address = 0;
  uint8_t key[sPOOL_KEY_BYTES] = {};
  std::vector<aPacket> packets;
  uint8_t lastSequence = 0;  // of the last piece taken (or swallowed)
  uint64_t lastPieceMs = 0;  // monotonic time of the last piece
  bool broken = false;       // out of sequence or too long: the rest is swallowed
};

}  // namespace

struct aServer {
  aLinkEntryRef entry;  // the shared device link's table entry
  std::atomic<uint8_t> model{0};
  std::atomic<uint8_t> moduleAddress{0};
  uint32_t servedType = 0;
  uint8_t localOnly = 0;
  uint32_t networkInterface = 0;
  uint64_t publishStart = 0;  // broker thread
  uint8_t publishing = 0;     // broker thread
  zactor_t* broker = nullptr;
  zactor_t* sync = nullptr;
  zactor_t* discovery = nullptr;
  uint8_t beacon = 0;
  uint16_t frontendPort = 0;
  zsock_t* frontend = nullptr;
  uint16_t syncPort = 0;  // 0: the channel is in-process
  char syncEndpoint[sENDPOINT_SIZE] = {};
  zsock_t* syncConnected = nullptr;
  zsock_t* syncBound = nullptr;
  uint16_t streamingPort = 0;  // 0: the channel is in-process
  char streamEndpoint[sENDPOINT_SIZE] = {};
  zsock_t* streamConnected = nullptr;
  zsock_t* streamBound = nullptr;
  uint8_t batch[sBATCH_CAPACITY] = {};
  uint16_t batchLength = 0;
  uint32_t advertisedAddress = 0;
  std::list<packetPool> pools;  // broker thread

  std::atomic<bool> stopping{false};  // set by the destroy: waits of the sync thread end
  bool started = false;
  bool filterInstalled = false;
  bool beaconClaimed = false;
};

namespace {

// --- packets and frames ----------------------------------------------------------------------

// The packet of a packetFrame; false when the bytes are none.
bool _zFrame_To_aPacket(const uint8_t* bytes, size_t size, aPacket* packet) {
  if (bytes == nullptr || size < 2 || size > aPACKETMAXBYTES) return false;
  const uint8_t length = bytes[1];
  if (length > aPACKETMAXDATA || length > size - 2) return false;
  std::memset(packet, 0, sizeof *packet);
  packet->check = aPACKETCHECK;
  packet->address = bytes[0];
  packet->dataSize = length;
  packet->byteCount = static_cast<uint8_t>(length + 2);
  std::memcpy(packet->data, bytes + 2, length);
  return true;
}

// Writes the packetFrame of the packet into out (aPACKETMAXBYTES bytes); its size.
size_t _aPacket_To_zFrame(const aPacket* packet, uint8_t* out) {
  const uint8_t length = packet->dataSize > aPACKETMAXDATA ? aPACKETMAXDATA : packet->dataSize;
  out[0] = packet->address;
  out[1] = length;
  std::memcpy(out + 2, packet->data, length);
  return static_cast<size_t>(length) + 2;
}

void _printKVPacket(const aPacket* packet) {
  if (!aDebug_IsOn(aDEBUG_BROKER)) return;
  if (packet->dataSize < 2) {
    aDebug_Trace(aDEBUG_BROKER, "Weird Packet: Address: %d, Size: %d\n", packet->address,
                 packet->dataSize);
    return;
  }
  aDebug_Trace(aDEBUG_BROKER, "Address: %d, Size: %d Data: ", packet->address, packet->dataSize);
  for (uint8_t i = 0; i < packet->dataSize && i < aPACKETMAXDATA; ++i)
    aDebug_Trace(aDEBUG_BROKER, "0x%X ", packet->data[i]);
  aDebug_Trace(aDEBUG_BROKER, "\n");
}

// A full-size byte-string piece with more to follow.
bool _doesPacketContinue(const aPacket* packet) {
  return aUEI_isUEIPayload(packet) && aUEI_getBytesFullPacket(packet) &&
         aUEI_getBytesContinue(packet);
}

// Whether an answer is due: never to link control (0xAF); on the sync side not to a piece that
// more pieces follow either.
bool _isResponseRequired(const aPacket* packet, bool sync) {
  if (packet->address == aLINK_FORCEROUTE_ADDRESS) return false;
  return !(sync && _doesPacketContinue(packet));
}

// A force-route command from a client: never passed on.
bool _isBlacklistedPacket(const aPacket* packet) {
  if (packet->address != aLINK_FORCEROUTE_ADDRESS || packet->dataSize != 1) return false;
  aTRACE(aDEBUG_BROKER, "Blocking cmdFORCEROUTE from remote client\n");
  return true;
}

uint8_t sSelectAll(const aPacket*, const void*) { return 1; }

// --- sending -----------------------------------------------------------------------------------

struct Part {
  const void* data;
  size_t size;
};

// Sends the parts as one message without waiting, or with mayWait up to the socket's send
// time-out: 0, or the error of the first part (EAGAIN: the peer's queue is full; EHOSTUNREACH
// on the frontend: no such client). Once the first part is taken ZeroMQ takes the whole
// message.
int sSendParts(zsock_t* socket, const Part* parts, size_t count, bool mayWait = false) {
  void* handle = zsock_resolve(socket);
  for (size_t i = 0; i < count; ++i) {
    const int flags = (mayWait ? 0 : ZMQ_DONTWAIT) | (i + 1 < count ? ZMQ_SNDMORE : 0);
    if (zmq_send(handle, parts[i].data, parts[i].size, flags) < 0) {
      const int error = zmq_errno();
      if (i == 0) return error == 0 ? EAGAIN : error;
    }
  }
  return 0;
}

// Sends [identity][bytes] to a client on the frontend; 0 or the error.
int sSendToClient(aServer* server, const std::string& identity, const void* bytes, size_t size,
                  bool mayWait = false) {
  const Part parts[] = {{identity.data(), identity.size()}, {bytes, size}};
  return sSendParts(server->frontend, parts, 2, mayWait);
}

// Sync thread: one message of the three kinds to the broker thread.
void sSendToBroker(aServer* server, uint8_t kind, uint64_t number, const std::string& identity,
                   const aPacket* answer) {
  uint8_t frame[aPACKETMAXBYTES];
  Part parts[sMSG_HEADER_PARTS + 1] = {
      {&kind, 1}, {&number, sizeof number}, {identity.data(), identity.size()}, {nullptr, 0}};
  size_t count = sMSG_HEADER_PARTS;
  if (answer != nullptr) parts[count++] = {frame, _aPacket_To_zFrame(answer, frame)};
  if (sSendParts(server->syncConnected, parts, count) == 0) return;
  if (kind == sMSG_ANSWER)
    aTRACE(aDEBUG_BROKER, "Failed to SENDY-SEND!\n");
  else if (kind == sMSG_DROPPED)
    aTRACE(aDEBUG_BROKER, "Failed to SEND SERVER_CMD_DROPPED_PACKET!\n");
  else
    aTRACE(aDEBUG_BROKER, "Failed to send the end of a request\n");
}

void _sendServerCmd_DroppedPacket(aServer* server, uint64_t number, const std::string& identity) {
  aTRACE(aDEBUG_BROKER, "DROPPED PACKET!\n");
  sSendToBroker(server, sMSG_DROPPED, number, identity, nullptr);
}

// The frames of a message, in order.
std::vector<zframe_t*> sFrames(zmsg_t* message) {
  std::vector<zframe_t*> frames;
  for (zframe_t* frame = zmsg_first(message); frame != nullptr; frame = zmsg_next(message))
    frames.push_back(frame);
  return frames;
}

std::string sFrameText(zframe_t* frame) {
  return std::string(reinterpret_cast<const char*>(zframe_data(frame)), zframe_size(frame));
}

bool sReadNumber(zframe_t* frame, uint64_t* number) {
  if (zframe_size(frame) != sizeof *number) return false;
  std::memcpy(number, zframe_data(frame), sizeof *number);
  return true;
}

// --- discovery answers -----------------------------------------------------------------------

linkSpec _createNetworkSpec(aServer* server) {
  linkSpec spec;
  std::memset(&spec, 0, sizeof spec);
  spec.type = htole32(server->servedType);
  spec.serialNumber = htole32(server->entry->ident0);
  spec.module = htole32(server->moduleAddress.load());
  spec.model = htole32(server->model.load());
  spec.address = htole32(server->advertisedAddress);
  spec.port = htole32(server->frontendPort);
  aTRACE(aDEBUG_BEACON, "Creating Network Spec: Address: %d, Port: %d\n",
         static_cast<int>(server->advertisedAddress), static_cast<int>(server->frontendPort));
  return spec;
}

// Beacon mode: a beacon heard; with the model set the answer is published for a while.
void _serverWorker_broker_beacon(aServer* server) {
  zmsg_t* message = zmsg_recv(server->discovery);
  if (message == nullptr) return;
  if (server->model.load() == 0) {
    aTRACE(aDEBUG_BROKER, "Discovery not allowed (beacon), model not set.\n");
    zmsg_destroy(&message);
    return;
  }
  zframe_t* sender = zmsg_first(message);
  zframe_t* content = zmsg_next(message);
  const bool discovery =
      sender != nullptr && content != nullptr && zframe_size(content) >= aBROKER_BEACON_TEXT_SIZE &&
      std::memcmp(zframe_data(content), aBROKER_BEACON_TEXT, aBROKER_BEACON_TEXT_SIZE) == 0;
  if (discovery && !server->publishing) {
    const linkSpec spec = _createNetworkSpec(server);
    zsock_send(server->discovery, "sbi", "PUBLISH", &spec, sizeof spec, sPUBLISH_INTERVAL_MS);
    server->publishStart = aTime_GetMonotonicMSTicks();
    server->publishing = 1;
  }
  zmsg_destroy(&message);
}

// --- streaming ---------------------------------------------------------------------------------

bool sCovers(const StreamKey& disable, const StreamKey& enabled) {
  for (size_t i = 0; i < disable.size(); ++i) {
    if (disable[i] != sANY && disable[i] != enabled[i]) return false;
  }
  return true;
}

std::vector<StreamClient>::iterator sFindStreamClient(BrokerState* state,
                                                      const std::string& identity) {
  auto client = state->streamClients.begin();
  while (client != state->streamClients.end() && client->identity != identity) ++client;
  return client;
}

// Lists a client that switches streaming on with the key it enables; a disable takes the keys
// it covers, and the client goes once it has none left.
void _handleStreamEnable(BrokerState* state, const std::string& identity, const aPacket* packet) {
  if (packet->dataSize != sSTREAM_SWITCH_SIZE || packet->data[0] != sSTREAM_COMMAND) return;
  StreamKey key;
  std::memcpy(key.data(), packet->data + sSTREAM_KEY_AT, key.size());
  auto client = sFindStreamClient(state, identity);
  if (packet->data[1] == sSTREAM_ENABLE) {
    if (client == state->streamClients.end()) {
      state->streamClients.push_back({identity, {}});
      client = state->streamClients.end() - 1;
      aTRACE(aDEBUG_BROKER, "ZeroMQ - Streaming Enable - Size: %zu\n", state->streamClients.size());
      aTRACE(aDEBUG_BROKER, "Added stream entry\n");
    }
    for (const StreamKey& enabled : client->keys) {
      if (enabled == key) return;
    }
    client->keys.push_back(key);
    return;
  }
  if (packet->data[1] == sSTREAM_DISABLE) {
    if (client == state->streamClients.end()) return;
    auto& keys = client->keys;
    for (auto enabled = keys.begin(); enabled != keys.end();) {
      enabled = sCovers(key, *enabled) ? keys.erase(enabled) : enabled + 1;
    }
    if (keys.empty()) {
      state->streamClients.erase(client);
      aTRACE(aDEBUG_BROKER, "Removed stream entry\n");
    }
    return;
  }
  aTRACE(aDEBUG_BROKER, "unknown stream enable: %d\n", packet->data[1]);
}

void sForgetClient(BrokerState* state, const std::string& identity) {
  auto client = sFindStreamClient(state, identity);
  if (client == state->streamClients.end()) return;
  state->streamClients.erase(client);
  aTRACE(aDEBUG_BROKER, "Removed stream entry of a client that is gone\n");
}

// Broker thread: a batch from the stream filter goes to every stream client.
void _serverWorker_broker_streaming(aServer* server, BrokerState* state) {
  zframe_t* batch = zframe_recv(server->streamBound);
  if (batch == nullptr) {
    aTRACE(aDEBUG_BROKER, "your content has no content!\n");
    return;
  }
  for (auto client = state->streamClients.begin(); client != state->streamClients.end();) {
    const int error =
        sSendToClient(server, client->identity, zframe_data(batch), zframe_size(batch));
    if (error == EHOSTUNREACH) {
      aTRACE(aDEBUG_BROKER, "stream client gone, removed\n");
      client = state->streamClients.erase(client);
      continue;
    }
    if (error != 0) aTRACE(aDEBUG_BROKER, "failed to send id\n");
    ++client;
  }
  zframe_destroy(&batch);
}

// The device link's reader thread: stream packets into the batch, the batch out at a
// heartbeat or once it is nearly full.
uint8_t _streamingPacketFilter(const aPacket* packet, void* reference) {
  aServer* server = static_cast<aServer*>(reference);
  if (server == nullptr || packet == nullptr) return 0;
  const bool stream = aUEI_isStreamPacket(packet);
  if (stream) {
    const size_t need = static_cast<size_t>(packet->dataSize) + 2;
    if (server->batchLength + need <= sBATCH_CAPACITY) {
      uint8_t* at = server->batch + server->batchLength;
      _aPacket_To_zFrame(packet, at);
      server->batchLength = static_cast<uint16_t>(server->batchLength + need);
    }
  }
  const bool heartbeat = packet->dataSize == 2 && packet->data[0] == 0;
  if ((heartbeat || server->batchLength > sBATCH_SEND_ABOVE) && server->batchLength > 0) {
    if (zmq_send(zsock_resolve(server->streamConnected), server->batch, server->batchLength,
                 ZMQ_DONTWAIT) < 0)
      aTRACE(aDEBUG_BROKER, "failed to send stream batch\n");
    server->batchLength = 0;
  }
  return stream ? 1 : 0;
}

// --- requests and pools (broker thread) ----------------------------------------------------

// Hands a request (one packet, or the pieces of a pooled write) to the sync thread; false when
// the send failed.
bool sForwardRequest(aServer* server, BrokerState* state, const std::string& identity,
                     const aPacket* packets, size_t count) {
  const uint8_t kind = sMSG_REQUEST;
  const uint64_t number = state->lastNumber + 1;
  std::vector<Part> parts;
  std::vector<std::array<uint8_t, aPACKETMAXBYTES>> frames(count);
  parts.reserve(sMSG_HEADER_PARTS + count);
  parts.push_back({&kind, 1});
  parts.push_back({&number, sizeof number});
  parts.push_back({identity.data(), identity.size()});
  for (size_t i = 0; i < count; ++i) {
    if (count > 1) aTRACE(aDEBUG_BROKER, "Pool Packet: %zu\n", i);
    parts.push_back({frames[i].data(), _aPacket_To_zFrame(&packets[i], frames[i].data())});
  }
  if (sSendParts(server->syncBound, parts.data(), parts.size()) != 0) {
    aTRACE(aDEBUG_BROKER,
           count > 1 ? "Failed to send setUEIBytes!\n" : "Failed to send packet out!\n");
    return false;
  }
  state->lastNumber = number;
  return true;
}

// Removes a client's queue once it is empty, unless it was served last (it marks the turn).
ClientQueues::iterator sEraseIfIdle(BrokerState* state, ClientQueues::iterator client) {
  if (!client->requests.empty() || client == state->served) return ++client;
  return state->clients.erase(client);
}

// Drops the requests that waited longer than sOLDEST_WAIT_MS: their callers have given up.
void sDropStale(BrokerState* state, uint64_t now) {
  for (auto client = state->clients.begin(); client != state->clients.end();) {
    auto& requests = client->requests;
    while (!requests.empty() && now - requests.front().arrivedMs > sOLDEST_WAIT_MS) {
      aTRACE(aDEBUG_BROKER, "request waited %llu ms, dropped\n",
             static_cast<unsigned long long>(now - requests.front().arrivedMs));
      requests.pop_front();
      --state->waiting;
    }
    client = sEraseIfIdle(state, client);
  }
}

// When the sync thread is free: the next client in turn with a request waiting hands the
// oldest one over.
void sDispatch(aServer* server, BrokerState* state) {
  sDropStale(state, aTime_GetMonotonicMSTicks());
  while (!state->inHand && state->waiting > 0) {
    auto next = state->served;
    do {
      next = next == state->clients.end() || std::next(next) == state->clients.end()
                 ? state->clients.begin()
                 : std::next(next);
    } while (next->requests.empty());
    Request request = std::move(next->requests.front());
    next->requests.pop_front();
    --state->waiting;
    const auto previous = state->served;
    state->served = next;
    state->answerStuck = false;
    if (previous != state->clients.end()) sEraseIfIdle(state, previous);
    state->inHand = sForwardRequest(server, state, next->identity, request.packets.data(),
                                    request.packets.size());
  }
  // Nothing in hand and nothing waiting: no turn to keep.
  if (!state->inHand && state->served != state->clients.end()) {
    state->clients.erase(state->served);
    state->served = state->clients.end();
  }
}

// A request from a client (a packet, or a completed pooled write) waits for its turn.
void sEnqueue(aServer* server, BrokerState* state, const std::string& identity,
              std::vector<aPacket> packets) {
  auto client = state->clients.begin();
  while (client != state->clients.end() && client->identity != identity) ++client;
  const size_t ofClient = client != state->clients.end() ? client->requests.size() : 0;
  if (ofClient >= sMOST_WAITING_OF_A_CLIENT || state->waiting >= sMOST_WAITING) {
    aTRACE(aDEBUG_BROKER, "request dropped: %zu of the client and %zu in all wait\n", ofClient,
           state->waiting);
    return;
  }
  if (client == state->clients.end())
    client = state->clients.insert(state->served, ClientQueue{identity, {}});
  client->requests.push_back({std::move(packets), aTime_GetMonotonicMSTicks()});
  ++state->waiting;
  sDispatch(server, state);
}

// A flush: the requests waiting are dropped (the one in hand loses its answers).
void sDropWaiting(BrokerState* state) {
  for (ClientQueue& client : state->clients) client.requests.clear();
  state->waiting = 0;
  for (auto client = state->clients.begin(); client != state->clients.end();)
    client = sEraseIfIdle(state, client);
}

void sExpirePools(aServer* server, uint64_t now) {
  for (auto pool = server->pools.begin(); pool != server->pools.end();) {
    if (now - pool->lastPieceMs > sPOOL_IDLE_MS) {
      aTRACE(aDEBUG_BROKER, "setUEIBytes is stale, destroying\n");
      pool = server->pools.erase(pool);
    } else {
      ++pool;
    }
  }
}

void sStartPool(packetPool* pool, const aPacket* piece, uint64_t now) {
  pool->packets.assign(1, *piece);
  pool->lastSequence = aUEI_getBytesSequence(piece);
  pool->lastPieceMs = now;
  pool->broken = false;
}

// A piece that breaks the write: the pool keeps only the sequence, to swallow the rest.
void sBreakPool(packetPool* pool, const aPacket* piece) {
  pool->broken = true;
  pool->packets.clear();
  pool->packets.shrink_to_fit();
  pool->lastSequence = aUEI_getBytesSequence(piece);
}

// True when the pool logic took the packet (pooled, queued with its completed pool, or
// swallowed: part of a broken write, a continuing piece of no pending write, or a first piece
// over the bounds of pending writes); false for an ordinary request.
bool _handleSetUEIBytes(aServer* server, BrokerState* state, const std::string& identity,
                        const aPacket* packet) {
  if (!aUEI_isUEIPayload(packet) || packet->dataSize < sPOOL_KEY_BYTES) return false;
  const uint64_t now = aTime_GetMonotonicMSTicks();
  sExpirePools(server, now);
  const bool full = aUEI_getBytesFullPacket(packet);
  const bool more = full && aUEI_getBytesContinue(packet);
  const uint8_t sequence = aUEI_getBytesSequence(packet);
  const bool first = packet->dataSize == sFIRST_PIECE_SIZE && more && sequence == 0;

  auto pool = server->pools.begin();
  while (pool != server->pools.end() &&
         !(pool->identity == identity && pool->address == packet->address &&
           std::memcmp(pool->key, packet->data, sPOOL_KEY_BYTES) == 0))
    ++pool;
  if (pool == server->pools.end()) {
    // Sent on, a continuing piece's answer would be taken for the next request's; the write's
    // last piece still goes on, and its answer to its sender.
    if (more && !first) {
      aTRACE(aDEBUG_BROKER, "setUEIBytes: piece %d of no pending write swallowed\n", sequence);
      return true;
    }
    if (!first) return false;
    size_t ofClient = 0;
    for (const packetPool& other : server->pools) ofClient += other.identity == identity ? 1 : 0;
    if (ofClient >= sMOST_POOLS_OF_A_CLIENT || server->pools.size() >= sMOST_POOLS) {
      aTRACE(aDEBUG_BROKER, "setUEIBytes: %zu pending of the client, %zu in all: swallowed\n",
             ofClient, server->pools.size());
      return true;
    }
    packetPool created;
    created.identity = identity;
    created.address = packet->address;
    std::memcpy(created.key, packet->data, sPOOL_KEY_BYTES);
    sStartPool(&created, packet, now);
    server->pools.push_back(std::move(created));
    return true;
  }

  pool->lastPieceMs = now;
  if (first && pool->lastSequence != sSEQUENCE_MASK) {
    aTRACE(aDEBUG_BROKER, "setUEIBytes: a new write replaces the pending one\n");
    sStartPool(&*pool, packet, now);
    return true;
  }
  const uint8_t expected = static_cast<uint8_t>((pool->lastSequence + 1) & sSEQUENCE_MASK);
  if (!pool->broken && sequence != expected) {
    aTRACE(aDEBUG_BROKER, "BOOM: Sequence mix up. The rest of the write is dropped.\n");
    sBreakPool(&*pool, packet);
  } else if (!pool->broken && pool->packets.size() >= sMAX_POOL_PIECES) {
    aTRACE(aDEBUG_BROKER, "setUEIBytes: more than %zu pieces, the write is dropped\n",
           sMAX_POOL_PIECES);
    sBreakPool(&*pool, packet);
  } else if (pool->broken) {
    pool->lastSequence = sequence;
  } else {
    pool->packets.push_back(*packet);
    pool->lastSequence = sequence;
    if (!more) sEnqueue(server, state, identity, std::move(pool->packets));
  }
  if (!more) server->pools.erase(pool);
  return true;
}

// One message from a client.
void _serverWorker_broker_frontend(aServer* server, BrokerState* state) {
  zmsg_t* message = zmsg_recv(server->frontend);
  if (message == nullptr) return;
  zframe_t* identityFrame = zmsg_first(message);
  zframe_t* content = identityFrame != nullptr ? zmsg_next(message) : nullptr;
  aPacket packet;
  if (content == nullptr ||
      !_zFrame_To_aPacket(zframe_data(content), zframe_size(content), &packet)) {
    aTRACE(aDEBUG_BROKER, "Bad content packet: dSize: %d\n",
           content != nullptr ? static_cast<int>(zframe_size(content)) : -1);
    zmsg_destroy(&message);
    return;
  }
  const std::string identity = sFrameText(identityFrame);
  zmsg_destroy(&message);

  _handleStreamEnable(state, identity, &packet);
  if (_isBlacklistedPacket(&packet)) return;
  if (_handleSetUEIBytes(server, state, identity, &packet)) {
    aTRACE(aDEBUG_BROKER, "UEIBytes\n");
    return;
  }
  sEnqueue(server, state, identity, {packet});
}

// Answers, drop notices and the end of each request from the sync thread.
void _serverWorker_broker_sync(aServer* server, BrokerState* state) {
  zmsg_t* message = zmsg_recv(server->syncBound);
  if (message == nullptr) return;
  const std::vector<zframe_t*> frames = sFrames(message);
  uint64_t number = 0;
  if (frames.size() < sMSG_HEADER_PARTS || zframe_size(frames[0]) != 1 ||
      !sReadNumber(frames[1], &number)) {
    aTRACE(aDEBUG_BROKER, "Unknown Server cmd\n");
    zmsg_destroy(&message);
    return;
  }
  const uint8_t kind = zframe_data(frames[0])[0];
  const std::string identity = sFrameText(frames[2]);
  if (kind == sMSG_DROPPED) {
    aTRACE(aDEBUG_BROKER, "dropping id: request %llu\n", static_cast<unsigned long long>(number));
  } else if (kind == sMSG_DONE) {
    state->inHand = false;
    sDispatch(server, state);
  } else if (kind == sMSG_ANSWER && frames.size() == sMSG_HEADER_PARTS + 1) {
    if (number <= state->flushedThrough) {
      aTRACE(aDEBUG_BROKER, "no id to pop: answer of flushed request %llu dropped\n",
             static_cast<unsigned long long>(number));
    } else if (state->answerStuck) {
      // An earlier piece found no room: the rest of the answer goes too, so that the client
      // never gets an answer with holes in it.
      aTRACE(aDEBUG_BROKER, "answer piece of request %llu dropped: the client does not read\n",
             static_cast<unsigned long long>(number));
    } else {
      const int error = sSendToClient(server, identity, zframe_data(frames[3]),
                                      zframe_size(frames[3]), true);
      if (error == EHOSTUNREACH) sForgetClient(state, identity);
      if (error == EAGAIN) state->answerStuck = true;  // the client does not read
      if (error != 0) aTRACE(aDEBUG_BROKER, "failed to send sync message: %d\n", error);
    }
  } else {
    aTRACE(aDEBUG_BROKER, "Unknown Server cmd: %d\n", kind);
  }
  zmsg_destroy(&message);
}

// True for the CZMQ signal with that status.
bool sIsSignal(zmsg_t* message, uint8_t status) {
  zframe_t* frame = zmsg_first(message);
  if (frame == nullptr || zframe_size(frame) != sizeof(int64_t)) return false;
  int64_t value = 0;
  std::memcpy(&value, zframe_data(frame), sizeof value);
  return value == sSIGNAL_BASE + status;
}

void _serverWorker_broker(zsock_t* pipe, void* args) {
  aServer* server = static_cast<aServer*>(args);
  zsock_signal(pipe, sSIGNAL_READY);
  aTRACE(aDEBUG_BROKER, "broker create\n");
  zpoller_t* poller =
      zpoller_new(pipe, server->syncBound, server->frontend, server->streamBound, nullptr);
  if (poller != nullptr && server->beacon && zpoller_add(poller, server->discovery) != 0)
    zpoller_destroy(&poller);
  if (poller == nullptr) {
    aTRACE(aDEBUG_BROKER, "broker task exit\n");
    zsock_signal(pipe, sSIGNAL_FAILED);
    return;
  }
  server->publishStart = 0;
  server->publishing = 0;
  BrokerState state;
  zsock_signal(pipe, sSIGNAL_READY);

  for (;;) {
    bool end = false;
    void* which = aZSys_WorkerWait(poller, sWORKER_POLL_MS, &end);
    if (end) break;
    if (which == server->streamBound) {
      _serverWorker_broker_streaming(server, &state);
    } else if (which == server->syncBound) {
      _serverWorker_broker_sync(server, &state);
    } else if (which == server->frontend) {
      _serverWorker_broker_frontend(server, &state);
    } else if (server->beacon && which == server->discovery) {
      _serverWorker_broker_beacon(server);
    } else if (which == pipe) {
      zmsg_t* message = zmsg_recv(pipe);
      const bool flush = message != nullptr && sIsSignal(message, sSIGNAL_FLUSH);
      zmsg_destroy(&message);
      if (!flush) {
        aTRACE(aDEBUG_BROKER, "pre exit 1\n");
        break;
      }
      aTRACE(aDEBUG_BROKER, "Flushing FIFO\n");
      state.flushedThrough = state.lastNumber;
      sDropWaiting(&state);
    }
    const uint64_t now = aTime_GetMonotonicMSTicks();
    sExpirePools(server, now);
    sDropStale(&state, now);
    if (server->publishing && now - server->publishStart > sPUBLISH_MS) {
      zstr_send(server->discovery, "SILENCE");
      server->publishing = 0;
      aTRACE(aDEBUG_BROKER, "Beacon silenced\n");
    }
  }
  zpoller_destroy(&poller);
  aTRACE(aDEBUG_BROKER, "broker task exit\n");
  zsock_signal(pipe, sSIGNAL_READY);
}

// --- the sync thread -------------------------------------------------------------------------

// Puts the packet into the device link's output queue once it has room below the reserve.
aErr sPutBounded(aServer* server, aLink* link, const aPacket* packet) {
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + sOUTPUT_STALL_MS;
  while (aPacketFifo_GetLength(link->outputQueue.load()) >=
         aPACKETFIFO_MAXPACKETS - sOUTPUT_RESERVE) {
    if (server->stopping.load()) return aErrCancel;
    if (aTime_GetMonotonicMSTicks() >= deadline) return aErrTimeout;
    aTime_MSSleep(sOUTPUT_POLL_MS);
  }
  return aPacketFifo_Put(link->outputQueue.load(), packet);
}

// The oldest packet of the device link's input queue, waiting up to timeoutMs; null on
// time-out or once the broker stops.
aPacket* sAwaitAnswer(aServer* server, aLink* link, uint64_t timeoutMs) {
  const uint64_t deadline = aTime_GetMonotonicMSTicks() + timeoutMs;
  while (!server->stopping.load()) {
    const uint64_t now = aTime_GetMonotonicMSTicks();
    if (now >= deadline) return nullptr;
    const uint64_t slice = deadline - now < sWAIT_SLICE_MS ? deadline - now : sWAIT_SLICE_MS;
    const uint64_t queue = link->inputQueue.load();
    if (queue == 0) {  // the link is being reset or destroyed
      aTime_MSSleep(slice);
      continue;
    }
    aPacket* packet = aPacketFifo_Await(queue, slice);
    if (packet != nullptr) return packet;
  }
  return nullptr;
}

// One request: its pieces to the module and the answers collected back to the broker thread.
void sServeRequest(aServer* server, zmsg_t* message, uint64_t number, const std::string& identity) {
  const std::vector<zframe_t*> frames = sFrames(message);
  std::vector<aPacket> pieces(frames.size() - sMSG_HEADER_PARTS);
  for (size_t i = 0; i < pieces.size(); ++i) {
    zframe_t* frame = frames[sMSG_HEADER_PARTS + i];
    if (!_zFrame_To_aPacket(zframe_data(frame), zframe_size(frame), &pieces[i])) {
      aTRACE(aDEBUG_BROKER, "bad-packet\n");
      _sendServerCmd_DroppedPacket(server, number, identity);
      return;
    }
  }

  aLink* link = server->entry->link.get();
  // What waits now is a late answer to an earlier request or a packet nobody asked for: it
  // must not be taken for this request's answer.
  const size_t stale = aPacketFifo_DrainPackets(link->inputQueue.load(), sSelectAll, nullptr);
  if (stale > 0) aTRACE(aDEBUG_BROKER, "dropped %zu waiting packet(s) before a request\n", stale);
  for (const aPacket& piece : pieces) {
    const aErr put = sPutBounded(server, link, &piece);
    if (put != aErrNone) {
      _sendServerCmd_DroppedPacket(server, number, identity);
      _printKVPacket(&piece);
      aTRACE(aDEBUG_BROKER, "Failed to PUT packet: err: %d\n", static_cast<int>(put));
      return;
    }
  }
  const aPacket& last = pieces.back();
  if (!_isResponseRequired(&last, true)) {
    aTRACE(aDEBUG_BROKER, "don't wait on this packet\n");
    return;
  }
  size_t collected = 0;
  bool more = true;
  while (more && collected < sMAX_ANSWER_PIECES) {
    aPacket* answer = sAwaitAnswer(server, link, sANSWER_TIMEOUT_MS);
    if (answer == nullptr) break;
    sSendToBroker(server, sMSG_ANSWER, number, identity, answer);
    ++collected;
    more = _doesPacketContinue(answer);
    aPacket_Destroy(&answer);
  }
  if (collected == 0) {
    _sendServerCmd_DroppedPacket(server, number, identity);
    _printKVPacket(&last);
    aTRACE(aDEBUG_BROKER, "Failed to AWAIT packet\n");
  } else if (more && collected == sMAX_ANSWER_PIECES) {
    aTRACE(aDEBUG_BROKER, "answer cut after %zu pieces\n", collected);
  }
}

void _serverWorker_syncCommands_syncBackend(aServer* server) {
  zmsg_t* message = zmsg_recv(server->syncConnected);
  if (message == nullptr) return;
  const std::vector<zframe_t*> frames = sFrames(message);
  uint64_t number = 0;
  std::string identity;
  if (frames.size() <= sMSG_HEADER_PARTS || zframe_size(frames[0]) != 1 ||
      zframe_data(frames[0])[0] != sMSG_REQUEST || !sReadNumber(frames[1], &number)) {
    aTRACE(aDEBUG_BROKER, "bad-packet\n");
  } else {
    identity = sFrameText(frames[2]);
    sServeRequest(server, message, number, identity);
  }
  zmsg_destroy(&message);
  // The broker thread hands over the next request only after this.
  sSendToBroker(server, sMSG_DONE, number, identity, nullptr);
}

void _serverWorker_syncCommands(zsock_t* pipe, void* args) {
  aServer* server = static_cast<aServer*>(args);
  zsock_signal(pipe, sSIGNAL_READY);
  aTRACE(aDEBUG_BROKER, "sync task start\n");
  zpoller_t* poller = zpoller_new(pipe, server->syncConnected, nullptr);
  if (poller == nullptr) {
    aTRACE(aDEBUG_BROKER, "sync task exit\n");
    zsock_signal(pipe, sSIGNAL_FAILED);
    return;
  }
  zsock_signal(pipe, sSIGNAL_READY);
  for (;;) {
    bool end = false;
    void* which = aZSys_WorkerWait(poller, sWORKER_POLL_MS, &end);
    if (end) break;
    if (which == pipe) {
      zmsg_t* message = zmsg_recv(pipe);
      zmsg_destroy(&message);
      break;
    }
    if (which == server->syncConnected) _serverWorker_syncCommands_syncBackend(server);
  }
  zpoller_destroy(&poller);
  aTRACE(aDEBUG_BROKER, "sync task exit\n");
  zsock_signal(pipe, sSIGNAL_READY);
}

// --- the discovery responder -------------------------------------------------------------------

bool sIsLoopback(uint32_t address) { return (ntohl(address) >> 24) == IN_LOOPBACKNET; }

void sAnswerDiscovery(aServer* server, aMulticast* receiver, aMulticast* sender) {
  uint8_t request[LINKSPEC_SIZE];
  uint32_t from = 0;
  const int got = aMulticast_ReceiveFrom(receiver, request, sizeof request, &from);
  if (got <= 0) return;
  if (!sIsLoopback(from)) {
    aTRACE(aDEBUG_BROKER, "Discovery request from outside the host ignored\n");
    return;
  }
  uint32_t value = 0;
  if (got == sizeof value) {
    std::memcpy(&value, request, sizeof value);
    value = le32toh(value);
  }
  if (got != sizeof value || value != aBROKER_DISCOVERY_MAGIC) {
    aTRACE(aDEBUG_BROKER, "We something else on multicast\n");
    return;
  }
  aTRACE(aDEBUG_BROKER, "We got the multicast magic value\n");
  const linkSpec spec = _createNetworkSpec(server);
  if (server->model.load() == 0) {
    aTRACE(aDEBUG_BROKER, "Discovery not allowed (Multicast), model not set.\n");
    return;
  }
  const int sent = aMulticast_Send(sender, &spec, sizeof spec);
  aTRACE(aDEBUG_BROKER, "Sent: %d to the reply port\n", sent);
}

void _serverWorker_multicastDiscovery(zsock_t* pipe, void* args) {
  aServer* server = static_cast<aServer*>(args);
  zsock_signal(pipe, sSIGNAL_READY);
  aTRACE(aDEBUG_BROKER, "multicast task start\n");
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  const uint32_t group = inet_addr(aBROKER_DISCOVERY_GROUP);
  aMulticast* receiver = nullptr;
  aMulticast* sender = nullptr;
  // The first free slot's request port; a slot whose answer port cannot be had is given up
  // and the search starts over.
  int slot = aBROKER_DISCOVERY_SLOTS - 1;
  for (int attempt = 0; attempt < aBROKER_DISCOVERY_SLOTS && sender == nullptr; ++attempt) {
    for (int j = 0; j < aBROKER_DISCOVERY_SLOTS && receiver == nullptr; ++j) {
      receiver = aMulticast_Create(loopback, group,
                                   static_cast<uint16_t>(aBROKER_REQUEST_PORT_BASE + j), false);
      if (receiver != nullptr) slot = j;
    }
    if (receiver == nullptr) break;
    sender = aMulticast_Create(loopback, group,
                               static_cast<uint16_t>(aBROKER_ANSWER_PORT_BASE + slot), true);
    if (sender == nullptr) aMulticast_Destroy(&receiver);
  }
  aTRACE(aDEBUG_BROKER, "Discovery port offset: %d\n", slot);
  zsock_signal(pipe, sSIGNAL_READY);

  zmq_pollitem_t items[2] = {};
  items[0].socket = zsock_resolve(pipe);
  items[0].events = ZMQ_POLLIN;
  items[1].fd = aMulticast_Descriptor(receiver);
  items[1].events = ZMQ_POLLIN;
  const int count = receiver != nullptr && sender != nullptr ? 2 : 1;
  for (;;) {
    const int ready = zmq_poll(items, count, sRESPONDER_POLL_MS);
    const int error = ready < 0 ? zmq_errno() : 0;
    zSysInterruptHandler_process();
    if (aZSys_WaitEndsLoop(error)) break;
    if (ready <= 0) continue;
    if (items[0].revents & ZMQ_POLLIN) {
      zmsg_t* message = zmsg_recv(pipe);
      zmsg_destroy(&message);
      break;
    }
    if (count == 2 && (items[1].revents & ZMQ_POLLIN)) sAnswerDiscovery(server, receiver, sender);
  }
  if (receiver != nullptr) aMulticast_Destroy(&receiver);
  if (sender != nullptr) aMulticast_Destroy(&sender);
  aTRACE(aDEBUG_BROKER, "multicast task exit\n");
  zsock_signal(pipe, sSIGNAL_READY);
}

// --- start and stop ----------------------------------------------------------------------------

// A new actor that has signalled twice (begun, and ready); null when it failed.
zactor_t* sStartActor(zactor_fn* task, aServer* server) {
  zactor_t* actor = zactor_new(task, server);
  if (actor == nullptr) return nullptr;
  if (zsock_wait(actor) != sSIGNAL_READY) {
    zactor_destroy(&actor);
    return nullptr;
  }
  return actor;
}

// The port of a tcp:// bind ("tcp://*:*" forms), or 0 when it failed.
uint16_t _findPortAndBindSocket(zsock_t* socket, const char* endpoint) {
  const int port = zsock_bind(socket, "%s", endpoint);
  aTRACE(aDEBUG_BROKER, "_findPortAndBindSocket: %d - %s\n", port, endpoint);
  return port > 0 ? static_cast<uint16_t>(port) : 0;
}

// Binds one end of an in-process channel to a new endpoint and connects the other.
bool sMakeChannel(const char* kind, zsock_t* bound, zsock_t* connected, char* endpoint) {
  if (bound == nullptr || connected == nullptr) return false;
  if (!aZSys_NewInprocEndpoint(kind, endpoint, sENDPOINT_SIZE)) return false;
  return zsock_bind(bound, "%s", endpoint) == 0 && zsock_connect(connected, "%s", endpoint) == 0;
}

// Beacon mode: the beacon on the interface, which the process's other beacons must share.
bool _createBeacon(aServer* server, const char* interfaceText) {
  if (!zBeaconInterface_claim(interfaceText)) {
    aTRACE(aDEBUG_BROKER, "Beacon on %s refused: a beacon of this process lives on another one\n",
           interfaceText);
    return false;
  }
  server->beaconClaimed = true;
  if (zBeaconInterface_setAndLock(interfaceText) != 1) return false;
  aTRACE(aDEBUG_BROKER, "Setting interface for user: (s)%s - (i)%d\n", interfaceText,
         static_cast<int>(server->networkInterface));
  server->discovery = zactor_new(zbeacon, nullptr);
  char* hostname = nullptr;
  if (server->discovery != nullptr) {
    zsock_send(server->discovery, "si", "CONFIGURE", aBROKER_BEACON_PORT);
    hostname = zstr_recv(server->discovery);
  }
  zBeaconInterface_unlock();
  if (server->discovery == nullptr) return false;
  aTRACE(aDEBUG_BROKER, "Beacon hostname(Server): %s - Port: %d\n", hostname ? hostname : "",
         aBROKER_BEACON_PORT);
  // _configureBeacon: only discovery beacons are delivered.
  zsock_send(server->discovery, "sb", "SUBSCRIBE", aBROKER_BEACON_TEXT, aBROKER_BEACON_TEXT_SIZE);
  zsock_set_rcvtimeo(server->discovery, sBEACON_RECEIVE_MS);
  in_addr parsed{};
  server->advertisedAddress =
      hostname != nullptr && inet_pton(AF_INET, hostname, &parsed) == 1 ? parsed.s_addr : 0;
  zstr_free(&hostname);
  server->beacon = 1;
  return true;
}

aErr _initServer(aServer* server) {
  aTRACE(aDEBUG_BROKER, "_initServer:\n");
  aZSys_Init();
  server->frontend = zsock_new(ZMQ_ROUTER);
  server->syncBound = zsock_new(ZMQ_DEALER);
  server->syncConnected = zsock_new(ZMQ_DEALER);
  server->streamBound = zsock_new(ZMQ_DEALER);
  server->streamConnected = zsock_new(ZMQ_DEALER);
  if (server->frontend != nullptr) {
    // Sends to a client that is gone or does not read fail at once instead of waiting.
    zsock_set_router_mandatory(server->frontend, 1);
    zsock_set_maxmsgsize(server->frontend, aSERVER_MAX_MESSAGE);
    // Set before the bind: a client that stops reading pins this many messages at most.
    zsock_set_sndhwm(server->frontend, sCLIENT_SEND_QUEUE);
    zsock_set_sndtimeo(server->frontend, sANSWER_ROOM_MS);
  }

  // _configureInterface: beacon mode on a host with interfaces unless local-only.
  uint32_t interfaces[sMAX_INTERFACES];
  const int found = aDiscovery_GetIPv4Interfaces(interfaces, sMAX_INTERFACES);
  aTRACE(aDEBUG_DISCOVERY, "_configureInterface found count: %d\n", found);
  const uint32_t loopback = htonl(INADDR_LOOPBACK);
  const bool beaconMode = !server->localOnly && found > 0;
  if (beaconMode && (server->networkInterface == 0 || server->networkInterface == loopback))
    server->networkInterface = interfaces[0];
  char interfaceText[sINTERFACE_TEXT] = {};
  const uint32_t listenOn = server->localOnly ? loopback : server->networkInterface;
  aDiscovery_ConvertIPv4Interface(listenOn, interfaceText, sizeof interfaceText);

  char endpoint[sENDPOINT_SIZE];
  std::snprintf(endpoint, sizeof endpoint, "tcp://%s:*", interfaceText);
  server->frontendPort =
      server->frontend != nullptr ? _findPortAndBindSocket(server->frontend, endpoint) : 0;
  const bool streamChannel =
      sMakeChannel("stream", server->streamBound, server->streamConnected, server->streamEndpoint);
  const bool syncChannel =
      sMakeChannel("sync", server->syncBound, server->syncConnected, server->syncEndpoint);
  aTRACE(aDEBUG_BROKER, "_initServer: server->frontendPort: %d\n", server->frontendPort);
  aTRACE(aDEBUG_BROKER, "_initServer: server->streamingPort: %s\n", server->streamEndpoint);
  aTRACE(aDEBUG_BROKER, "_initServer: server->syncPort: %s\n", server->syncEndpoint);
  bool ok = server->frontendPort != 0 && streamChannel && syncChannel;

  if (ok && beaconMode) {
    ok = _createBeacon(server, interfaceText);
  } else if (ok) {
    // Responder mode: the answers name where the frontend listens.
    server->advertisedAddress = listenOn;
    server->beacon = 0;
    server->discovery = sStartActor(_serverWorker_multicastDiscovery, server);
    ok = server->discovery != nullptr;
  }
  if (ok) server->broker = sStartActor(_serverWorker_broker, server);
  if (ok && server->broker != nullptr)
    server->sync = sStartActor(_serverWorker_syncCommands, server);
  ok = ok && server->broker != nullptr && server->sync != nullptr;

  if (ok) {
    // Only over no filter at all: a filter someone else installed is never replaced.
    ok = aLink_SwapUserPacketFilter(server->entry->linkId, nullptr, nullptr, _streamingPacketFilter,
                                    server) == aErrNone;
    server->filterInstalled = ok;
    aPacketFifo_DrainPackets(server->entry->link->inputQueue.load(), sSelectAll, nullptr);
  }
  if (!ok) {
    aTRACE(aDEBUG_BROKER, "Could not find open port\n");
    return aErrResource;
  }
  return aErrNone;
}

// Removes the stream filter from the device link when it is still the broker's; once this
// returns the reader no longer runs it.
void sRemoveFilter(aServer* server) {
  if (!server->filterInstalled) return;
  aLink* link = server->entry->link.get();
  if (link->filterMutex != nullptr && aMutex_Lock(link->filterMutex) == aErrNone) {
    if (link->userFilter == _streamingPacketFilter && link->userFilterRef == server) {
      link->userFilter = nullptr;
      link->userFilterRef = nullptr;
    }
    aMutex_Unlock(link->filterMutex);
  }
  server->filterInstalled = false;
}

void _deinitServer(aServer* server) {
  aTRACE(aDEBUG_BROKER, "PIPE! - Task\n");
  sRemoveFilter(server);
  server->stopping.store(true);
  _signalWaitDestroyActor(&server->sync);
  _signalWaitDestroyActor(&server->broker);
  if (server->beacon) {
    zactor_destroy(&server->discovery);
  } else {
    _signalWaitDestroyActor(&server->discovery);
  }
  if (server->beaconClaimed) {
    zactor_destroy(&server->discovery);  // a beacon made before its start failed
    zBeaconInterface_release();
    server->beaconClaimed = false;
  }
  zsock_destroy(&server->syncBound);
  zsock_destroy(&server->syncConnected);
  zsock_destroy(&server->streamBound);
  zsock_destroy(&server->streamConnected);
  zsock_destroy(&server->frontend);
  server->pools.clear();
  aTRACE(aDEBUG_BROKER, "server task exit\n");
}

}  // namespace

aServer* aServer_Create(uint32_t deviceLinkId, uint32_t networkInterface, bool localOnly) {
  aLinkEntryRef entry = sLookupEntryByID(deviceLinkId);
  if (!entry || !entry->link) {
    aTRACE(aDEBUG_BROKER, "Could not find device Item\n");
    return nullptr;
  }
  uint32_t served = 0;
  switch (entry->type) {
    case aLINKENTRY_USB:
      served = aLINK_TYPE_SERVED_USB;
      break;
    case aLINKENTRY_TCPIP:
      served = aLINK_TYPE_SERVED_TCPIP;
      break;
    case aLINKENTRY_SERIAL:
      served = aLINK_TYPE_SERVED_SERIAL;
      break;
    default:
      aTRACE(aDEBUG_BROKER, "Unhandled linkType: %d\n", static_cast<int>(entry->type));
      return nullptr;
  }
  aServer* server = new (std::nothrow) aServer();
  if (server == nullptr) return nullptr;
  server->entry = std::move(entry);
  server->servedType = served;
  server->localOnly = localOnly ? 1 : 0;
  server->networkInterface = networkInterface != 0 ? networkInterface : htonl(INADDR_LOOPBACK);
  return server;
}

aErr aServer_Start(aServer* server) {
  if (server == nullptr) return aErrParam;
  if (server->started) return aErrBusy;
  server->started = true;
  return _initServer(server);
}

aErr aServer_Destroy(aServer** server) {
  if (server == nullptr || *server == nullptr) return aErrParam;
  _deinitServer(*server);
  delete *server;
  *server = nullptr;
  return aErrNone;
}

aErr aServer_GetPort(aServer* server, uint16_t* port) {
  if (server == nullptr || port == nullptr) return aErrParam;
  *port = server->frontendPort;
  return aErrNone;
}

aErr aServer_GetInterface(aServer* server, uint32_t* address) {
  if (server == nullptr || address == nullptr) return aErrParam;
  *address = server->localOnly ? htonl(INADDR_LOOPBACK) : server->networkInterface;
  return aErrNone;
}

aErr aServer_SetModuleAddress(aServer* server, uint8_t address) {
  if (server == nullptr) return aErrParam;
  server->moduleAddress.store(address);
  return aErrNone;
}

aErr aServer_SetModel(aServer* server, uint8_t model) {
  if (server == nullptr) return aErrParam;
  server->model.store(model);
  return aErrNone;
}

aErr aServer_FlushFIFO(aServer* server) {
  if (server == nullptr) return aErrParam;
  aTRACE(aDEBUG_BROKER, "aServer_FlushFIFO\n");
  if (server->broker != nullptr) zsock_signal(server->broker, sSIGNAL_FLUSH);
  return aErrNone;
}
