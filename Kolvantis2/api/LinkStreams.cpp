// Link: stream registration and delivery.
//
// One core link carries the packets of every Link that uses it (a router and the modules behind
// it), and the link engine holds one user filter per core link. So one dispatcher per core link
// is installed as that filter, and it hands each stream packet to every Link on its list; each
// Link looks the packet up in its table on the reader thread and queues callback jobs for its
// own worker.
//
// Locks, in the order they are taken: a Link's callback lock (held by its worker while a
// callback runs; never taken inside a callback, so that two Links' workers never wait for each
// other), the install mutex (joining and leaving dispatchers, installing and removing the core
// filter, starting workers; never taken by a reader thread), the core link's filter mutex, the
// dispatcher's registry lock, a Link's stream lock.
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <vector>

#include "LinkImpl.h"
#include "aLink.h"
#include "aUEI.h"

namespace Zentrova {
namespace Kolvantis {

namespace {

constexpr uint8_t kAny = 0xFF;            // a key field that means any value
constexpr uint8_t kStreamCommand = 0x5D;  // the module's stream control
constexpr uint8_t kStreamEnable = 1;      // its options
constexpr uint8_t kStreamDisable = 2;
constexpr uint8_t kStreamQuery = 1;  // get: is the module streaming
constexpr uint8_t kStreamEntity = 0;
constexpr size_t kMaskCount = 15;                      // wildcard masks 0 to 14
constexpr size_t kMostRowsPerPacket = kMaskCount + 1;  // the exact row and one per mask
constexpr int kWaitForWorkMs = -1;  // the idle worker sleeps until it is signalled
constexpr const char* kWorkerName = "kv-stream";

// Stream packet layout (data bytes).
constexpr size_t kKindByte = 3;
constexpr size_t kSubindexByte = 4;
constexpr size_t kTimestampByte = 4;  // kinds 1 to 3; one later with a subindex
constexpr size_t kValueByte = 12;     // kinds 1 to 3; one later with a subindex
constexpr uint8_t kOptionBits = 0x3F;
constexpr uint8_t kIndexBits = 0x1F;

// Key field positions.
constexpr unsigned kIndexShift = 0;
constexpr unsigned kOptionShift = 8;
constexpr unsigned kCommandShift = 16;
constexpr unsigned kModuleShift = 24;
constexpr unsigned kSubindexShift = 32;
constexpr uint64_t kFieldMask = 0xFF;

// One core link's dispatcher: the Links that take its stream packets.
struct Dispatcher {
  std::mutex registry;  // guards links; held by the reader while it dispatches
  std::vector<Link::impl*> links;
  bool installed = false;  // its filter is on the core link; under the install mutex
};

// The process's dispatchers. Allocated on first use and never destroyed: core links outlive
// main (the link table is never destroyed), and their readers go on dispatching at exit.
struct Dispatchers {
  std::mutex install;
  std::map<uint32_t, std::unique_ptr<Dispatcher>> byLink;  // by link ID; under install
};

Dispatchers& sDispatchers() {
  static Dispatchers* const dispatchers = new Dispatchers();
  return *dispatchers;
}

std::mutex& InstallMutex() { return sDispatchers().install; }

// The worker a thread runs for, so that steps which wait for the worker can tell that they run
// inside one of its callbacks.
thread_local const Link::impl* tWorkerOf = nullptr;

// The user filter on a core link with streaming Links: every stream packet is consumed, and
// each Link on the list gets it.
uint8_t sDispatchStreams(const aPacket* packet, void* reference) {
  Link::STREAM_PACKET kind = Link::STREAM_NONE;
  if (!Link::getStreamPacketType(packet, &kind)) return 0;
  auto* dispatcher = static_cast<Dispatcher*>(reference);
  std::lock_guard<std::mutex> registry(dispatcher->registry);
  for (Link::impl* link : dispatcher->links) Link::linkStreamFilter(packet, link);
  return 1;
}

// Selects stream packets that reached the input queue while no filter caught them.
uint8_t sSelectStreamPacket(const aPacket* packet, const void* /*reference*/) {
  Link::STREAM_PACKET kind = Link::STREAM_NONE;
  return Link::getStreamPacketType(packet, &kind) ? 1 : 0;
}

void DrainStreamPackets(uint32_t linkId) {
  if (linkId != 0) aLink_DrainPackets(linkId, sSelectStreamPacket, nullptr);
}

bool LeaveDispatcher(Link::impl* link);

// The install mutex held. Puts the Link on the core link's dispatcher, installing the dispatcher's
// filter for the first Link; *installed tells whether that happened now.
aErr JoinDispatcher(Link::impl* link, uint32_t linkId, bool* installed) {
  *installed = false;
  if (link->dispatchLinkId == linkId) return aErrNone;
  if (link->dispatchLinkId != 0) LeaveDispatcher(link);  // still on an earlier core link's
  std::unique_ptr<Dispatcher>& slot = sDispatchers().byLink[linkId];
  if (!slot) slot = std::make_unique<Dispatcher>();
  Dispatcher* dispatcher = slot.get();
  {
    std::lock_guard<std::mutex> registry(dispatcher->registry);
    dispatcher->links.push_back(link);
  }
  if (!dispatcher->installed) {
    // Only over no filter at all: someone else's filter is never replaced.
    const aErr swapped =
        aLink_SwapUserPacketFilter(linkId, nullptr, nullptr, sDispatchStreams, dispatcher);
    if (swapped != aErrNone) {
      bool empty = false;
      {
        std::lock_guard<std::mutex> registry(dispatcher->registry);
        dispatcher->links.pop_back();
        empty = dispatcher->links.empty();
      }
      // Nobody else is on it and its filter never went in, so no reader knows it.
      if (empty) sDispatchers().byLink.erase(linkId);
      return swapped;
    }
    dispatcher->installed = true;
    *installed = true;
  }
  link->dispatchLinkId = linkId;
  return aErrNone;
}

// The install mutex held. Takes the Link off its dispatcher; with the last Link the dispatcher's
// filter is removed (only when it is still the one installed) and the dispatcher freed. True
// when the core filter went.
bool LeaveDispatcher(Link::impl* link) {
  const uint32_t linkId = link->dispatchLinkId;
  if (linkId == 0) return false;
  link->dispatchLinkId = 0;
  auto& byLink = sDispatchers().byLink;
  auto found = byLink.find(linkId);
  if (found == byLink.end()) return false;
  Dispatcher* dispatcher = found->second.get();
  bool empty = false;
  {
    // Once this returns the reader no longer hands packets to the Link.
    std::lock_guard<std::mutex> registry(dispatcher->registry);
    auto& links = dispatcher->links;
    links.erase(std::remove(links.begin(), links.end(), link), links.end());
    empty = links.empty();
  }
  if (!empty) return false;
  if (dispatcher->installed) {
    // Once the swap returns (whatever it answers) the reader does not call the dispatcher's
    // filter any more, so it may be freed.
    aLink_SwapUserPacketFilter(linkId, sDispatchStreams, dispatcher, nullptr, nullptr);
  }
  byLink.erase(found);
  return true;
}

// True when the registration key covers the concrete key: each field equal or any.
bool Covers(uint64_t registration, uint64_t key) {
  for (unsigned shift : {kIndexShift, kOptionShift, kCommandShift, kModuleShift, kSubindexShift}) {
    const uint64_t field = (registration >> shift) & kFieldMask;
    if (field != kAny && field != ((key >> shift) & kFieldMask)) return false;
  }
  return true;
}

bool FieldMatches(uint8_t wanted, uint8_t field) { return wanted == kAny || wanted == field; }

std::vector<uint64_t> MatchingKeys(const std::map<uint64_t, StreamEntry>& table, uint8_t module,
                                   uint8_t command, uint8_t option, uint8_t index,
                                   uint8_t subindex) {
  std::vector<uint64_t> keys;
  for (const auto& row : table) {
    const uint64_t key = row.first;
    if (FieldMatches(module, Link::getStreamKeyElement(key, Link::MODULE)) &&
        FieldMatches(command, Link::getStreamKeyElement(key, Link::COMMAND)) &&
        FieldMatches(option, Link::getStreamKeyElement(key, Link::OPTION)) &&
        FieldMatches(index, Link::getStreamKeyElement(key, Link::INDEX)) &&
        FieldMatches(subindex, Link::getStreamKeyElement(key, Link::SUBINDEX))) {
      keys.push_back(key);
    }
  }
  return keys;
}

bool IsConcrete(uint64_t key) {
  for (Link::STREAM_KEY field :
       {Link::MODULE, Link::COMMAND, Link::OPTION, Link::INDEX, Link::SUBINDEX}) {
    if (Link::getStreamKeyElement(key, field) == kAny) return false;
  }
  return true;
}

// Data length of a stream sample of that kind; 0 for kinds that are no sample.
size_t SampleLength(Link::STREAM_PACKET kind) {
  switch (kind) {
    case Link::STREAM_U8:
      return 14;
    case Link::STREAM_U16:
    case Link::STREAM_U8_SUBINDEX:
      return 15;
    case Link::STREAM_U32:
      return 17;
    case Link::STREAM_U16_SUBINDEX:
      return 16;
    case Link::STREAM_U32_SUBINDEX:
      return 18;
    default:
      return 0;
  }
}

// Returns once no callback runs on the Link's worker, so that a callback of rows erased or
// replaced before the call cannot still be running after it. Inside any stream callback it
// returns at once: on the Link's own worker it would wait for itself, and a wait for another
// Link's worker could close a cycle (a callback there may be waiting for this one). Jobs not
// yet started are held back all the same, as each is checked against the table as it starts.
void AwaitCallbacks(Link::impl* link) {
  if (InStreamCallback()) return;
  std::lock_guard<std::mutex> running(link->callbackLock);
}

// A request to the module's stream entity with this option byte and value type; the caller
// sets the value, if any.
uei StreamRequest(uint8_t module, uint8_t option, uint32_t type) {
  uei request{};
  request.module = module;
  request.command = kStreamCommand;
  request.option = option;
  request.specifier = static_cast<uint8_t>(kStreamEntity | ueiSpecifierRequest);
  request.type = type;
  return request;
}

// Sends the request to the stream entity and takes its reply, of option replyOption, into
// *reply; replies of that option still queued are dropped first, so that a late one to an
// earlier request cannot answer this one. An error reply gives the module's code.
aErr StreamExchange(Link& link, const uei& request, uint8_t replyOption, uei* reply) {
  const uint8_t module = request.module;
  link.dropMatchingUEIPackets(module, kStreamCommand, replyOption, kStreamEntity);
  const aErr sent = link.sendUEI(request);
  if (sent != aErrNone) return sent;
  *reply = uei{};
  reply->module = module;
  reply->command = kStreamCommand;
  reply->option = replyOption;
  reply->specifier = kStreamEntity;
  const aErr received = link.receiveUEI(module, kStreamCommand, replyOption, kStreamEntity, reply);
  if (received != aErrNone) return received;
  if ((reply->specifier & ueiSpecifierError) != 0) return static_cast<aErr>(reply->value.byteVal);
  return aErrNone;
}

// The module's stream switch: [module][7][0x5D][0x81 or 0x82][0x20] + the key's low 32 bits,
// and its acknowledgement (option 0xC1 or 0xC2, index 0).
aErr SwitchStreaming(Link& link, uint8_t module, uint64_t key, bool enable) {
  const uint8_t option = enable ? kStreamEnable : kStreamDisable;
  uei request = StreamRequest(module, static_cast<uint8_t>(option | ueiOptionSet), ueiTypeU32);
  request.value.intVal = static_cast<uint32_t>(key);
  uei reply;
  return StreamExchange(link, request, static_cast<uint8_t>(option | ueiOptionAck), &reply);
}

}  // namespace

// --- keys and packets ----------------------------------------------------------------------------

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                               uint8_t subindex) {
  return static_cast<uint64_t>(index) << kIndexShift |
         static_cast<uint64_t>(option) << kOptionShift |
         static_cast<uint64_t>(command) << kCommandShift |
         static_cast<uint64_t>(module) << kModuleShift |
         static_cast<uint64_t>(subindex) << kSubindexShift;
}

uint8_t Link::getStreamKeyElement(uint64_t key, STREAM_KEY which) {
  switch (which) {
    case MODULE:
      return static_cast<uint8_t>(key >> kModuleShift);
    case COMMAND:
      return static_cast<uint8_t>(key >> kCommandShift);
    case OPTION:
      return static_cast<uint8_t>(key >> kOptionShift);
    case INDEX:
      return static_cast<uint8_t>(key >> kIndexShift);
    case SUBINDEX:
      return static_cast<uint8_t>(key >> kSubindexShift);
  }
  return 0;
}

uint64_t Link::_getGenericStreamKeyMask(uint8_t n) {
  if (n >= kMaskCount) return 0;
  const unsigned fields = n + 1u;
  uint64_t mask = 0;
  if (fields & 1u) mask |= kFieldMask << kIndexShift;
  if (fields & 2u) mask |= kFieldMask << kOptionShift;
  if (fields & 4u) mask |= kFieldMask << kCommandShift;
  if (fields & 8u) mask |= kFieldMask << kSubindexShift;
  return mask;
}

bool Link::isStreamPacket(const aPacket* packet) { return aUEI_isStreamPacket(packet); }

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* kind) {
  if (kind != nullptr) *kind = STREAM_NONE;
  // A stream packet has more than 4 and at most 28 data bytes, so bytes 0 to 4 and the last
  // are there.
  if (!aUEI_isStreamPacket(packet)) return false;
  STREAM_PACKET found = STREAM_NONE;
  if (aUEI_getBytesSequence(packet) != 0 || aUEI_getBytesContinue(packet)) {
    found = STREAM_BYTES;
  } else {
    const uint8_t type = packet->data[kKindByte];
    if (type < STREAM_U8 || type > STREAM_U32_SUBINDEX) return false;
    found = static_cast<STREAM_PACKET>(type);
  }
  if (kind != nullptr) *kind = found;
  return true;
}

bool Link::isSubindexType(STREAM_PACKET kind) {
  return kind == STREAM_U8_SUBINDEX || kind == STREAM_U16_SUBINDEX || kind == STREAM_U32_SUBINDEX;
}

bool Link::isStreamSample(const aPacket* packet) {
  STREAM_PACKET kind = STREAM_NONE;
  if (!getStreamPacketType(packet, &kind)) return false;
  const size_t length = SampleLength(kind);
  return length != 0 && packet->dataSize == length;
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value,
                           uint8_t* subindex) {
  STREAM_PACKET kind = STREAM_NONE;
  if (!getStreamPacketType(packet, &kind)) return aErrPacket;
  if (kind == STREAM_BYTES) return aErrSize;
  if (!isStreamSample(packet)) return aErrPacket;
  const size_t shift = isSubindexType(kind) ? 1 : 0;
  const uint8_t* data = packet->data;
  const uint8_t* at = data + kValueByte + shift;
  uint32_t sample = 0;
  switch (kind) {
    case STREAM_U8:
    case STREAM_U8_SUBINDEX:
      sample = at[0];
      break;
    case STREAM_U16:
    case STREAM_U16_SUBINDEX:
      sample = aUEI_RetrieveShort(at);
      break;
    default:
      sample = aUEI_RetrieveInt(at);
      break;
  }
  const uint8_t* stamp = data + kTimestampByte + shift;
  const uint64_t time = static_cast<uint64_t>(aUEI_RetrieveInt(stamp)) << 32 |
                        aUEI_RetrieveInt(stamp + sizeof(uint32_t));
  if (timestamp != nullptr) *timestamp = time;
  if (value != nullptr) *value = sample;
  if (subindex != nullptr) *subindex = shift != 0 ? data[kSubindexByte] : 0;
  return aErrNone;
}

aErr Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
  if (high != nullptr) *high = static_cast<uint32_t>(timestamp >> 32);
  if (low != nullptr) *low = static_cast<uint32_t>(timestamp);
  return aErrNone;
}

// --- reader thread -------------------------------------------------------------------------------

uint8_t Link::linkStreamFilter(const aPacket* packet, void* reference) {
  STREAM_PACKET kind = STREAM_NONE;
  if (!getStreamPacketType(packet, &kind)) return 0;
  auto* link = static_cast<Link::impl*>(reference);
  if (link == nullptr) return 1;
  const uint8_t* data = packet->data;
  const uint8_t subindex = isSubindexType(kind) ? data[kSubindexByte] : 0;
  const uint64_t key =
      createStreamKey(packet->address, data[0], static_cast<uint8_t>(data[1] & kOptionBits),
                      static_cast<uint8_t>(data[2] & kIndexBits), subindex);
  uint32_t value = 0;
  const bool sample = getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;

  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(link->streamLock);
    auto& table = link->streams;
    if (table.empty()) return 1;
    // A field of the sample that is 0xFF gives a key that a mask gives too: each row once.
    uint64_t seen[kMostRowsPerPacket];
    size_t seenCount = 0;
    auto alreadySeen = [&](uint64_t candidate) {
      return std::find(seen, seen + seenCount, candidate) != seen + seenCount;
    };
    bool exact = false;
    auto row = table.find(key);
    if (row != table.end()) {
      exact = true;
      seen[seenCount++] = key;
      // The cache first, so that a callback of this sample reads its value there.
      if (sample) {
        row->second.value = value;
        row->second.updated = 1;
        row->second.hasValue = true;
      }
      wake |= link->queueAsyncCallback(row->second, packet);
    }
    bool wildcardHit = false;
    for (uint8_t n = 0; n < kMaskCount; ++n) {
      // Only a registration can be found under a mask, and only under one whose fields it
      // has at 0xFF.
      if ((link->activeMasks & (1u << n)) == 0) continue;
      const uint64_t covering = key | _getGenericStreamKeyMask(n);
      if (alreadySeen(covering)) continue;
      auto found = table.find(covering);
      if (found == table.end()) continue;
      wildcardHit = true;
      seen[seenCount++] = covering;
      wake |= link->queueAsyncCallback(found->second, packet);
    }
    if (!exact && wildcardHit && sample) {
      StreamEntry cached;
      cached.key = key;
      cached.updated = 1;
      cached.value = value;
      cached.hasValue = true;
      table.emplace(key, std::move(cached));
    }
  }
  // Woken only after the stream lock is released, as the worker's first step takes it.
  if (wake) link->signalWork();
  return 1;
}

bool Link::impl::queueAsyncCallback(const StreamEntry& row, const aPacket* packet) {
  if (!row.callback) return false;
  asyncPacket job;
  job.packet = aPacket_Copy(packet);
  if (job.packet == nullptr) {
    droppedJobs.fetch_add(1);
    return false;
  }
  job.callback = row.callback;
  job.reference = row.reference;
  job.key = row.key;
  job.generation = row.generation;
  job.tableChanges = tableChanges.load();
  if (!callbackQueue.push(std::move(job))) {
    // A full queue drops the job rather than stall the reader.
    aPacket_Destroy(&job.packet);
    droppedJobs.fetch_add(1);
    return false;
  }
  return workerAsleep.exchange(false);
}

void Link::impl::streamTableChanged() {
  tableChanges.fetch_add(1);
  uint16_t masks = 0;
  for (const auto& row : streams) {
    if (row.second.generation == 0) continue;  // a cache row
    for (uint8_t n = 0; n < kMaskCount; ++n) {
      const uint64_t mask = _getGenericStreamKeyMask(n);
      if ((row.first & mask) == mask) masks = static_cast<uint16_t>(masks | 1u << n);
    }
  }
  activeMasks = masks;
}

void Link::impl::signalWork() {
  // The eventfd never blocks the poster: it only counts.
  const uint64_t one = 1;
  if (write(workSignal, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
    // Only a counter at its limit refuses, and then the worker is awake already.
  }
}

// --- worker --------------------------------------------------------------------------------------

void Link::impl::asyncWork(LocklessQueue_SPSC<asyncPacket>& queue, std::future<void> stop) {
  tWorkerOf = this;
  for (;;) {
    if (stop.wait_for(std::chrono::seconds(0)) == std::future_status::ready) break;
    asyncPacket job;
    while (queue.pop(&job)) {
      {
        std::lock_guard<std::mutex> running(callbackLock);
        // No registration changed since the job was queued: its row still holds the callback
        // the job copied, and the stream lock, which the reader holds for every packet, is not
        // needed. Otherwise the job runs what its registration's row holds now, if it is still
        // there.
        bool live = job.tableChanges == tableChanges.load();
        if (!live) {
          streamCallback current;
          {
            std::lock_guard<std::mutex> lock(streamLock);
            auto row = streams.find(job.key);
            live = row != streams.end() && row->second.generation == job.generation;
            if (live) {
              current = row->second.callback;
              job.reference = row->second.reference;
            }
          }
          // The callback replaced goes outside the stream lock.
          job.callback.swap(current);
        }
        if (live && job.callback) {
          job.callback(job.packet, job.reference);
        } else if (live) {
          droppedJobs.fetch_add(1);  // its registration holds no callback any more
        }
      }
      aPacket_Destroy(&job.packet);
      job = asyncPacket();
    }
    // Asleep from here: a job pushed after this store is seen below, or its reader posts.
    workerAsleep.store(true);
    if (!queue.empty()) {
      workerAsleep.store(false);
      continue;
    }
    pollfd signal{workSignal, POLLIN, 0};
    if (poll(&signal, 1, kWaitForWorkMs) > 0) {
      uint64_t posted = 0;
      if (read(workSignal, &posted, sizeof posted) < 0) {
        // Taken by nobody else; an interrupted read is tried again on the next round.
      }
    }
    workerAsleep.store(false);
  }
  tWorkerOf = nullptr;
}

bool Link::impl::onWorker() const { return tWorkerOf == this; }

bool InStreamCallback() { return tWorkerOf != nullptr; }

// The install mutex held.
aErr Link::impl::startWorker() {
  if (worker != nullptr) return aErrNone;
  if (workSignal < 0) {
    workSignal = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (workSignal < 0) return aErrResource;
  }
  try {
    worker = new std::thread(&Link::impl::asyncWork, this, std::ref(callbackQueue),
                             stopSignal.get_future());
  } catch (...) {
    stopSignal = std::promise<void>();
    return aErrResource;
  }
  pthread_setname_np(worker->native_handle(), kWorkerName);
  return aErrNone;
}

void Link::impl::stopWorker() {
  std::thread* thread = nullptr;
  {
    std::lock_guard<std::mutex> install(InstallMutex());
    if (onWorker()) return;
    thread = worker;
    worker = nullptr;
  }
  if (thread == nullptr) {
    if (workSignal >= 0) close(workSignal);
    workSignal = -1;
    return;
  }
  stopSignal.set_value();
  signalWork();
  thread->join();
  delete thread;
  stopSignal = std::promise<void>();
  // Nothing pushes any more (the Link left its dispatcher) and nothing pops (the worker ended).
  asyncPacket job;
  while (callbackQueue.pop(&job)) aPacket_Destroy(&job.packet);
  close(workSignal);
  workSignal = -1;
}

// --- filter --------------------------------------------------------------------------------------

aErr Link::impl::installStreamFilter(bool on, bool* removed) {
  if (removed != nullptr) *removed = false;
  if (on) {
    bool installed = false;
    {
      std::lock_guard<std::mutex> install(InstallMutex());
      if (linkId == 0 || streamsStopping) return aErrConnection;
      // The worker first: once the Link is on the dispatcher the reader pushes jobs.
      const aErr started = startWorker();
      if (started != aErrNone) return started;
      const aErr joined = JoinDispatcher(this, linkId, &installed);
      if (joined != aErrNone) return joined;
    }
    // Stream packets queued before the filter went in are no replies to anyone.
    if (installed) DrainStreamPackets(linkId);
    return aErrNone;
  }
  bool went = false;
  {
    std::lock_guard<std::mutex> install(InstallMutex());
    went = LeaveDispatcher(this);
  }
  {
    std::lock_guard<std::mutex> lock(streamLock);
    streams.clear();
    streamTableChanged();
  }
  if (linkId == 0) return aErrConnection;
  if (went) DrainStreamPackets(linkId);
  if (removed != nullptr) *removed = went;
  return aErrNone;
}

void Link::impl::stopStreams() {
  bool went = false;
  {
    std::lock_guard<std::mutex> install(InstallMutex());
    streamsStopping = true;
    went = LeaveDispatcher(this);
  }
  {
    std::lock_guard<std::mutex> lock(streamLock);
    streams.clear();
    streamTableChanged();
  }
  stopWorker();
  if (went) DrainStreamPackets(linkId);
  std::lock_guard<std::mutex> install(InstallMutex());
  streamsStopping = false;
}

// --- registration --------------------------------------------------------------------------------

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                  bool enable, streamCallback callback, void* reference) {
  if ((module & 1u) != 0 || module == kAny) return aErrParam;
  if (module == 0) return aErrPacket;
  impl& self = *m_impl;
  const uint64_t key = createStreamKey(module, command, option, index, kAny);

  if (!enable) {
    bool empty = false;
    {
      std::lock_guard<std::mutex> lock(self.streamLock);
      for (uint64_t erased : MatchingKeys(self.streams, module, command, option, index, kAny)) {
        self.streams.erase(erased);
      }
      self.streamTableChanged();
      empty = self.streams.empty();
    }
    AwaitCallbacks(&self);
    bool removed = false;
    aErr result = self.installStreamFilter(!empty, &removed);
    if (result == aErrNone) result = SwitchStreaming(*this, module, key, false);
    // Samples sent until the module took the disable reached the input queue.
    if (removed) DrainStreamPackets(self.linkId);
    return result;
  }

  bool added = false;
  StreamEntry previous;
  uint64_t revision = 0;
  std::vector<uint64_t> cachedBefore;  // cache rows this registration covers already
  {
    std::lock_guard<std::mutex> lock(self.streamLock);
    for (const auto& row : self.streams) {
      if (row.second.generation == 0 && Covers(key, row.first)) cachedBefore.push_back(row.first);
    }
    revision = ++self.lastGeneration;
    auto row = self.streams.find(key);
    if (row == self.streams.end()) {
      StreamEntry entry;
      entry.key = key;
      entry.callback = callback;
      entry.reference = reference;
      entry.generation = revision;
      entry.revision = revision;
      self.streams.emplace(key, std::move(entry));
      added = true;
    } else {
      // The registration stays the same one: jobs already queued for it run the new callback.
      previous = row->second;
      row->second.callback = callback;
      row->second.reference = reference;
      row->second.revision = revision;
    }
    self.streamTableChanged();
  }
  aErr result = self.installStreamFilter(true);
  if (result == aErrNone) result = SwitchStreaming(*this, module, key, true);
  if (result == aErrNone) {
    // The callback replaced may be running.
    if (!added) AwaitCallbacks(&self);
    return aErrNone;
  }

  // Take back what this call did, unless a later call changed the row meanwhile, and the cache
  // rows that samples made meanwhile which no other registration covers.
  {
    std::lock_guard<std::mutex> lock(self.streamLock);
    auto& table = self.streams;
    auto row = table.find(key);
    if (row != table.end() && row->second.revision == revision) {
      if (added) {
        table.erase(row);
      } else {
        row->second.callback = previous.callback;
        row->second.reference = previous.reference;
        row->second.revision = previous.revision;
      }
    }
    for (auto it = table.begin(); it != table.end();) {
      const StreamEntry& entry = it->second;
      bool orphan =
          entry.generation == 0 && Covers(key, entry.key) &&
          std::find(cachedBefore.begin(), cachedBefore.end(), entry.key) == cachedBefore.end();
      for (auto other = table.begin(); orphan && other != table.end(); ++other) {
        if (other->second.generation != 0 && Covers(other->first, entry.key)) orphan = false;
      }
      it = orphan ? table.erase(it) : std::next(it);
    }
    self.streamTableChanged();
  }
  AwaitCallbacks(&self);
  return result;
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                        bool enable) {
  return registerStreamCallback(module, command, option, index, enable, streamCallback(), nullptr);
}

// --- cache and status ----------------------------------------------------------------------------

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                          uint8_t subindex, uint32_t* value) {
  if (value == nullptr) return aErrParam;
  const uint64_t key = createStreamKey(module, command, option, index, subindex);
  std::lock_guard<std::mutex> lock(m_impl->streamLock);
  auto row = m_impl->streams.find(key);
  // A registration that no sample reached holds no value.
  if (row == m_impl->streams.end() || !row->second.hasValue) return aErrNotFound;
  *value = row->second.value;
  if (row->second.updated == 0) return aErrStreamStale;
  row->second.updated = 0;
  return aErrNone;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                           uint8_t subindex, StreamStatusEntry* rows, size_t capacity,
                           size_t* count) {
  if (!isConnected()) return aErrConnection;
  if (rows == nullptr || count == nullptr || capacity == 0) return aErrParam;
  std::lock_guard<std::mutex> lock(m_impl->streamLock);
  *count = 0;
  for (uint64_t key : MatchingKeys(m_impl->streams, module, command, option, index, subindex)) {
    if (!IsConcrete(key)) continue;  // registrations are not reported
    if (*count >= capacity) return aErrSize;
    rows[*count].key = key;
    rows[*count].value = m_impl->streams.find(key)->second.value;
    ++*count;
  }
  return aErrNone;
}

std::vector<uint64_t> Link::filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                                   uint8_t index, uint8_t subindex, bool lock) {
  if (!lock) return MatchingKeys(m_impl->streams, module, command, option, index, subindex);
  std::lock_guard<std::mutex> held(m_impl->streamLock);
  return MatchingKeys(m_impl->streams, module, command, option, index, subindex);
}

uint64_t Link::getDroppedStreamJobs() { return m_impl->droppedJobs.load(); }

aErr Link::isLinkStreaming(uint8_t module, uint8_t* answer) {
  if (answer == nullptr) return aErrParam;
  const uei request =
      StreamRequest(module, static_cast<uint8_t>(kStreamQuery | ueiOptionGet), ueiTypeNone);
  uei reply;
  const aErr result = StreamExchange(*this, request, kStreamQuery, &reply);
  if (result != aErrNone) return result;
  // The answer is the reply's first value byte.
  switch (reply.type) {
    case ueiTypeU8:
      *answer = reply.value.byteVal;
      return aErrNone;
    case ueiTypeU16:
      *answer = static_cast<uint8_t>(reply.value.shortVal >> 8);
      return aErrNone;
    case ueiTypeU32:
      *answer = static_cast<uint8_t>(reply.value.intVal >> 24);
      return aErrNone;
    default:
      return aErrSize;  // a reply without a value byte
  }
}

}  // namespace Kolvantis
}  // namespace Zentrova
