// Broker client stream. Three threads share the record without a lock, each with sockets of its
// own: the link's writer sends on the outgoing bound end, the relay thread moves frames between
// the broker (frontend) and the two connected ends, and the link's reader receives on the
// incoming bound end and hands the current frame out byte by byte.
#include "aClientStream.h"

#include <arpa/inet.h>
#include <czmq.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>

#include "aDebug.h"
#include "aServer.h"
#include "aTime.h"
#include "aZSys.h"

namespace {

constexpr int kRelayPollMs = 1000;         // the relay's wait for input; its pipe wakes it at once
constexpr int kSendTries = 100;            // non-waiting sends tried on a full local pair
constexpr uint64_t kSendRetryPauseMs = 1;  // ms between those tries
constexpr int kInfiniteTimeout = -1;       // ZeroMQ's "no time-out"
constexpr size_t kEndpointSize = 64;       // bytes for an endpoint name, NUL included
constexpr size_t kPacketHeader = 2;        // address and length byte of a packetFrame
// Relay status sent as its second ready signal.
constexpr uint8_t kRelayReady = 0;
constexpr uint8_t kRelayFailed = 1;
constexpr const char kRelayThreadName[] = "kv-client-relay";  // at most 15 characters

struct ZeroMQStream {
  zsock_t* frontend;           // to the broker; the relay's alone
  uint16_t outgoingPort;       // 0: the local pairs are in-process endpoints
  zsock_t* outgoingBound;      // the writer sends on it
  zsock_t* outgoingConnected;  // the relay receives on it
  uint16_t incomingPort;       // 0, as outgoingPort
  zsock_t* incomingBound;      // the reader receives on it
  zsock_t* incomingConnected;  // the relay sends on it
  zactor_t* relay;
  zpoller_t* poller;  // over the incoming bound end; the reader's
  zframe_t* current;  // frame being handed out, or null
  uint64_t readIndex;
  uint64_t frameSize;
  char outgoingEndpoint[kEndpointSize];
  char incomingEndpoint[kEndpointSize];
  int wakeFd;  // eventfd in the reader's poller: a wake ends the reader's wait
};

bool _aVALIDStream(const ZeroMQStream* record) {
  return record != nullptr && record->frontend != nullptr;
}

// Sends the frame without waiting, retrying a full queue every millisecond; a frame still
// unsent after the tries is freed. True when it was sent.
bool sSendWithRetries(zframe_t** frame, zsock_t* socket, const char* failure) {
  for (int attempt = 0; attempt < kSendTries; ++attempt) {
    if (zframe_send(frame, socket, ZFRAME_DONTWAIT) == 0) return true;
    aTRACE(aDEBUG_CLIENTSTREAM, failure, errno);
    aTime_MSSleep(kSendRetryPauseMs);
  }
  zframe_destroy(frame);
  return false;
}

// The relay thread: frames from the broker go to the reader, frames from the writer go to the
// broker, until a message on the pipe (the stop handshake) or an interrupt ends it.
void _broker_task(zsock_t* pipe, void* argument) {
  ZeroMQStream* record = static_cast<ZeroMQStream*>(argument);
  pthread_setname_np(pthread_self(), kRelayThreadName);
  zsock_signal(pipe, 0);
  zpoller_t* poller = zpoller_new(pipe, record->frontend, record->outgoingConnected, nullptr);
  if (poller == nullptr) {
    zsock_signal(pipe, kRelayFailed);
    return;
  }
  zsock_signal(pipe, kRelayReady);

  for (;;) {
    // After an interrupt the process shares nothing more, whatever came meanwhile.
    bool end = false;
    void* which = aZSys_WorkerWait(poller, kRelayPollMs, &end);
    if (end) break;
    if (which == pipe) {
      zmsg_t* message = zmsg_recv(pipe);
      zmsg_destroy(&message);
      break;
    }
    if (which == record->frontend) {
      zframe_t* frame = zframe_recv(record->frontend);
      if (frame != nullptr) {
        sSendWithRetries(&frame, record->incomingConnected,
                         "Client send error Frontend->incomming: %d\n");
      }
    } else if (which == record->outgoingConnected) {
      zframe_t* frame = zframe_recv(record->outgoingConnected);
      if (frame != nullptr && zframe_send(&frame, record->frontend, ZFRAME_DONTWAIT) != 0) {
        aTRACE(aDEBUG_CLIENTSTREAM, "Client send error Frontend->client: %d\n", errno);
        zframe_destroy(&frame);
      }
    }
  }
  zpoller_destroy(&poller);
  aTRACE(aDEBUG_CLIENTSTREAM, "Client task exit");
  zsock_signal(pipe, 0);
}

// Stops the relay and frees everything the record holds, then the record.
void sFree(ZeroMQStream* record) {
  if (record == nullptr) return;
  _signalWaitDestroyActor(&record->relay);
  zpoller_destroy(&record->poller);
  zsock_destroy(&record->frontend);
  zsock_destroy(&record->incomingBound);
  zsock_destroy(&record->outgoingBound);
  zsock_destroy(&record->incomingConnected);
  zsock_destroy(&record->outgoingConnected);
  zframe_destroy(&record->current);
  if (record->wakeFd >= 0) close(record->wakeFd);
  delete record;
}

// One local pair: a DEALER bound to a fresh in-process endpoint (named after the direction)
// and one connected to it.
aErr sMakePair(const char* direction, zsock_t** bound, zsock_t** connected, char* endpoint) {
  *bound = zsock_new(ZMQ_DEALER);
  *connected = zsock_new(ZMQ_DEALER);
  if (*bound == nullptr || *connected == nullptr) return aErrMemory;
  if (!aZSys_NewInprocEndpoint(direction, endpoint, kEndpointSize) ||
      zsock_bind(*bound, "%s", endpoint) != 0 || zsock_connect(*connected, "%s", endpoint) != 0) {
    aTRACE(aDEBUG_CLIENTSTREAM, "client: %s connecting fail", direction);
    return aErrConnection;
  }
  aTRACE(aDEBUG_CLIENTSTREAM, "%s connected to: %s\n", direction, endpoint);
  return aErrNone;
}

aErr sConnectFrontend(ZeroMQStream* record, uint32_t address, uint16_t port) {
  record->frontend = zsock_new(ZMQ_DEALER);
  if (record->frontend == nullptr) return aErrMemory;
  zsock_set_maxmsgsize(record->frontend, aSERVER_MAX_MESSAGE);  // a broker never sends more
  char dotted[INET_ADDRSTRLEN] = {};
  in_addr host{};
  host.s_addr = address;
  if (inet_ntop(AF_INET, &host, dotted, sizeof dotted) == nullptr) return aErrConnection;
  char endpoint[kEndpointSize];
  std::snprintf(endpoint, sizeof endpoint, "tcp://%s:%d", dotted, static_cast<int>(port));
  aTRACE(aDEBUG_CLIENTSTREAM, "aStream_CreateClient address: %s\n", endpoint);
  // ZeroMQ connects in the background: a broker that is not there yet is no failure.
  const int rc = zsock_connect(record->frontend, "%s", endpoint);
  if (rc != 0) {
    aTRACE(aDEBUG_CLIENTSTREAM, "Error connecting to socket: %d(rc)\n", rc);
    return aErrConnection;
  }
  aTRACE(aDEBUG_CLIENTSTREAM, "Client connected to port: %d - rc: %d\n", static_cast<int>(port),
         rc);
  return aErrNone;
}

// Takes the next frame from the relay as the current one. aErrNotReady when none is there
// within the wait or an empty one came (it is dropped: an empty frame carries no byte).
aErr sTakeFrame(ZeroMQStream* record, int timeoutMs) {
  void* which = zpoller_wait(record->poller, timeoutMs);
  zSysInterruptHandler_process();
  if (which == nullptr) return aErrNotReady;
  if (which == &record->wakeFd) return aErrNotReady;  // the wake is left for the next wait
  if (which != record->incomingBound) return aErrUnknown;
  zframe_t* frame = zframe_recv(record->incomingBound);
  if (frame == nullptr) return aErrIO;
  if (zframe_size(frame) == 0) {
    zframe_destroy(&frame);
    return aErrNotReady;
  }
  record->current = frame;
  record->readIndex = 0;
  record->frameSize = zframe_size(frame);
  return aErrNone;
}

// Reader: one byte. The socket is looked at only for the first byte of a frame, and without
// waiting: the link's reader waits through the stream's wait operation.
aErr _sZeroMQStreamGet(uint8_t* byte, void* reference) {
  ZeroMQStream* record = static_cast<ZeroMQStream*>(reference);
  if (!_aVALIDStream(record) || byte == nullptr) return aErrParam;
  if (record->current == nullptr) {
    const aErr taken = sTakeFrame(record, 0);
    if (taken != aErrNone) return taken;
  }
  *byte = zframe_data(record->current)[record->readIndex++];
  if (record->readIndex >= record->frameSize) {
    zframe_destroy(&record->current);
    record->readIndex = 0;
    record->frameSize = 0;
  }
  return aErrNone;
}

// Reader: waits up to timeoutMs for a frame. aErrNone when one may be there, aErrTimeout.
aErr _sZeroMQStreamWait(uint32_t timeoutMs, void* reference) {
  ZeroMQStream* record = static_cast<ZeroMQStream*>(reference);
  if (!_aVALIDStream(record)) return aErrParam;
  if (record->current != nullptr) return aErrNone;
  const int wait =
      timeoutMs == aSTREAM_WAIT_FOREVER
          ? kInfiniteTimeout
          : static_cast<int>(std::min<uint32_t>(timeoutMs, static_cast<uint32_t>(INT32_MAX)));
  void* which = zpoller_wait(record->poller, wait);
  zSysInterruptHandler_process();
  if (which == nullptr) return aErrTimeout;
  if (which == &record->wakeFd) {
    uint64_t count = 0;
    const ssize_t drained = read(record->wakeFd, &count, sizeof count);
    (void)drained;
    return aErrNone;
  }
  return which == record->incomingBound ? aErrNone : aErrUnknown;
}

// Ends a wait of the reader that runs now or comes next (a stop, a status change).
aErr _sZeroMQStreamWake(void* reference) {
  ZeroMQStream* record = static_cast<ZeroMQStream*>(reference);
  if (!_aVALIDStream(record)) return aErrParam;
  const uint64_t one = 1;
  // A full counter already wakes the reader; nothing else can fail here.
  const ssize_t written = write(record->wakeFd, &one, sizeof one);
  (void)written;
  return aErrNone;
}

// Single bytes are not sent: the broker takes whole packets only.
aErr _sZeroMQStreamPut(const uint8_t*, void*) { return aErrUnimplemented; }

// Bytes of the frame that starts at bytes: one packet [address][length][data] as its length
// byte gives it; what is not a whole packet goes as it is, and the broker judges it.
size_t sFrameLength(const uint8_t* bytes, size_t left) {
  if (left >= kPacketHeader && kPacketHeader + bytes[1] <= left) return kPacketHeader + bytes[1];
  return left;
}

// Writer: one frame per packet, so that a pooled write of several packets reaches the broker
// as the packets it takes. aErrIO when a frame could not be queued for the relay (it is lost).
aErr _sZeroMQStreamWrite(const uint8_t* data, size_t length, void* reference) {
  ZeroMQStream* record = static_cast<ZeroMQStream*>(reference);
  if (!_aVALIDStream(record) || (data == nullptr && length > 0)) return aErrParam;
  aErr result = aErrNone;
  size_t offset = 0;
  while (offset < length) {
    const size_t n = sFrameLength(data + offset, length - offset);
    zframe_t* frame = zframe_new(data + offset, n);
    if (frame == nullptr || !sSendWithRetries(&frame, record->outgoingBound,
                                              "--Client send error outgoing->frontend: %d\n")) {
      result = aErrIO;
    }
    offset += n;
  }
  return result;
}

aErr _sZeroMQStreamDelete(void* reference) {
  ZeroMQStream* record = static_cast<ZeroMQStream*>(reference);
  if (!_aVALIDStream(record)) return aErrIO;
  aTRACE(aDEBUG_CLIENTSTREAM, "Client delete: start");
  sFree(record);
  aTRACE(aDEBUG_CLIENTSTREAM, "Client delete: end");
  return aErrNone;
}

aErr sBuild(ZeroMQStream* record, uint32_t address, uint16_t port) {
  aZSys_Init();
  aErr made = sMakePair("outgoing", &record->outgoingBound, &record->outgoingConnected,
                        record->outgoingEndpoint);
  if (made != aErrNone) return made;
  made = sMakePair("incoming", &record->incomingBound, &record->incomingConnected,
                   record->incomingEndpoint);
  if (made != aErrNone) return made;
  made = sConnectFrontend(record, address, port);
  if (made != aErrNone) return made;

  record->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (record->wakeFd < 0) return aErrMemory;
  record->poller = zpoller_new(record->incomingBound, &record->wakeFd, nullptr);
  if (record->poller == nullptr) return aErrMemory;
  // The reader's wait stays a plain wait after an interrupt; the relay is what ends then.
  zpoller_set_nonstop(record->poller, true);

  record->relay = zactor_new(_broker_task, record);
  if (record->relay == nullptr) return aErrMemory;
  if (zsock_wait(record->relay) != kRelayReady) return aErrMemory;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateClient(uint32_t address, uint16_t port, aStream** out) {
  if (out == nullptr) return aErrParam;
  *out = nullptr;
  ZeroMQStream* record = new (std::nothrow) ZeroMQStream();
  if (record == nullptr) return aErrMemory;
  record->wakeFd = -1;

  const aErr built = sBuild(record, address, port);
  if (built != aErrNone) {
    sFree(record);
    return built;
  }
  aStream* stream = aStream_Create(_sZeroMQStreamGet, _sZeroMQStreamPut, _sZeroMQStreamWrite,
                                   _sZeroMQStreamDelete, record);
  if (stream == nullptr) {
    sFree(record);
    return aErrResource;
  }
  aStream_SetWaitProc(stream, _sZeroMQStreamWait);
  aStream_SetWakeProc(stream, _sZeroMQStreamWake);
  *out = stream;
  return aErrNone;
}
