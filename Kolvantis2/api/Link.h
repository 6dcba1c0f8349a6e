// Link: the class interface's connection to one device. A Link holds one use of a core link
// (by link ID), the link specifier it connects from and its sharing settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "aDiscovery.h"
#include "aError.h"
#include "aPacketFifo.h"
#include "uei.h"

namespace Zentrova {
namespace Kolvantis {

// Sharing settings of a Link; a plain copyable record.
struct VelnetConfig {
  VelnetConfig();

  uint8_t enabled;    // put a sharing broker in front of a device link; allow Velnet types
  uint8_t fallback;   // retry a failed discover-and-connect once with another link type
  uint8_t localOnly;  // local-only switch of the broker
  uint16_t port;      // broker TCP port; 0 lets the broker choose, written back once it runs
  uint32_t address;   // IPv4 interface (network order) for discovery and for the broker
};

class Link {
 public:
  explicit Link(const char* name);
  Link(linkSpec spec, const char* name);
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  aErr getConfig(VelnetConfig* out);
  aErr setConfig(VelnetConfig cfg);

  aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model);
  aErr connect();
  aErr connectThroughLinkModule(Link& router);
  bool isConnected();
  int getStatus();
  // Gives the use of the core link back, after stream delivery and the packet log ended.
  // aErrMode, changing nothing, when called from a stream callback.
  aErr disconnect();
  aErr reset();

  aErr getModuleAddress(uint8_t* out);
  const char* getName();
  aErr getLinkSpecifier(linkSpec* out);
  aErr setLinkSpecifier(linkSpec spec);

  aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
  aErr receivePacket(uint8_t module, const uint8_t* pattern, uint8_t* length, uint8_t* data);
  aErr enablePooledPackets(bool on);

  // Raw replies from one module: like receivePacket, but only packets sent from that module
  // address are taken. The byte at length is the pattern length on entry.
  aErr receivePacketFrom(uint8_t module, const uint8_t* pattern, uint8_t* length, uint8_t* data);
  // Removes and frees every queued packet from that module whose leading data bytes equal the
  // pattern (a late reply to an earlier request); 0.
  aErr dropMatchingPackets(uint8_t module, const uint8_t* pattern, uint8_t length);

  // UEI requests. A byte string (type 5) goes out as its chunks, back to back; while the
  // link's output queue is near its bound the chunks wait for the writer.
  aErr sendUEI(uei record);
  // One request with the subindex ahead of the value (types 0, 1, 2 and 4).
  aErr sendUEI(uei record, uint8_t subindex);
  // Waits for the reply that sUEIFilter selects for the record, and fills the record from it.
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record);
  // The same with another filter; its reference is the record.
  aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record,
                  aPacketFilter filter);
  // Removes and frees every queued packet that would answer this module, command, option and
  // index; 0.
  aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
  // --- store slots (command 4) and factory data (command 0x5E) ---------------------------
  // Each request goes to the module address given, waits once for its reply (taken only from
  // that module's address) and is not repeated; stale replies of the same kind are drained
  // first. Null buffers or counts answer aErrParam, then no connection aErrConnection, then a
  // module address of 0 or an odd one aErrPacket, before anything is sent.
  aErr storeSlotCapacity(uint8_t module, uint8_t store, uint8_t slot, size_t* capacity);
  aErr storeSlotSize(uint8_t module, uint8_t store, uint8_t slot, size_t* size);
  // Writes the slot: open, chunks of up to 25 bytes each checked against its 8-bit sum, close.
  aErr loadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, const uint8_t* data,
                     size_t length);
  // Reads the slot into the buffer; aErrOverrun (with the first capacity bytes) when the slot
  // holds more than capacity bytes.
  aErr unloadStoreSlot(uint8_t module, uint8_t store, uint8_t slot, uint8_t* buffer,
                       size_t capacity, size_t* count);
  // Reads the factory data of one kind (0 to 15; another kind is aErrParam); the buffer must
  // hold at least one byte more than the data (aErrOverrun otherwise).
  aErr getFactoryData(uint8_t module, uint8_t kind, uint8_t* buffer, size_t capacity,
                      size_t* count);
  aErr setFactoryData(uint8_t module, uint8_t kind, const uint8_t* data, size_t length);

  // --- packet log ----------------------------------------------------------------------------
  // Enables the core link's packet log and copies it, one text line per record, into the file
  // at path through a logger thread; the first line of each session is the text "START",
  // which this call writes. A file other than the logger's ends that logger and starts one on
  // the new file. Links that share a core link (a router's and a routed module's) may log it
  // at once: each record goes to one of their files, and one Link's enable, disable or
  // disconnect leaves the others' logging as it is. aErrConfiguration without a link; aErrIO
  // when the file cannot be opened or START cannot be written (no logger is left; the core log
  // is left disabled unless another Link logs it), and when a write of the running logger
  // failed (that logger ends and no session starts; a later call may start one).
  aErr enablePacketLog(const char* path);
  // Stops the logger thread, and disables the core log unless another Link logs it.
  // aErrConfiguration without a link; aErrParam when the Link has no logger (a stopped one
  // stops again with 0); aErrIO once when a write of the logger failed (from then on it took
  // no records, leaving them to any other Link that logs the core link).
  aErr disablePacketLog();

  // --- streams -------------------------------------------------------------------------------
  // A Link keeps a table of stream registrations and of the latest value of every stream they
  // cover. Stream packets are caught on the core link's reader thread by one dispatcher per
  // core link (shared by the Links of a router and of the modules behind it) and handed to the
  // Link's stream worker, which runs the callbacks in the order the packets came.
  //
  // Fields of a stream key, for getStreamKeyElement.
  enum STREAM_KEY { MODULE = 0, COMMAND = 1, OPTION = 2, INDEX = 3, SUBINDEX = 4 };
  // Kind of a stream packet.
  enum STREAM_PACKET {
    STREAM_NONE = 0,
    STREAM_U8 = 1,
    STREAM_U16 = 2,
    STREAM_U32 = 3,
    STREAM_BYTES = 4,
    STREAM_U8_SUBINDEX = 5,
    STREAM_U16_SUBINDEX = 6,
    STREAM_U32_SUBINDEX = 7
  };
  // One row of a status answer: a cache row's key and value.
  struct StreamStatusEntry {
    uint64_t key;
    uint32_t value;
  };
  // Runs on the Link's stream worker with a copy of the stream packet, which is freed after
  // the call; the result is not used. A callback may register and unregister streams of any
  // Link, its own included (also its own stream); such a call does not wait for callbacks
  // that are running (see registerStreamCallback). It must not destroy any Link: destruction
  // waits for that Link's worker, which may be running this callback or waiting for it.
  // disconnect() called from a callback answers aErrMode and changes nothing.
  typedef std::function<uint8_t(const aPacket* packet, void* reference)> streamCallback;

  // Registers (enable) or unregisters a stream and has the module start or stop it (command
  // 0x5D, acknowledged within 1000 ms). 0xFF in command, option or index means any; the module
  // address must be even and not 0xFF (aErrParam) and not 0 (aErrPacket), checked before
  // anything changes. A new registration replaces the callback and reference of one with the
  // same fields; jobs already queued for it run the callback and reference the row holds when
  // they run. Unregistering erases every row the fields match (0xFF: any); jobs queued for
  // them are discarded. Once the call returns, no callback of the erased rows and no replaced
  // callback runs any more: the call waits for a callback of this Link that is running. Called
  // from a stream callback (of any Link) it does not wait; then none of them starts after the
  // call returns, but one already running may finish. A failed registration takes back only
  // what it did (the row it added, or the callback it replaced, which is put back). aErrBusy
  // when another user filter than the stream dispatcher is installed on the core link (it is
  // left as it is).
  // The module's streaming switch is per module: one Link's disable can stop samples that
  // another Link on the same module registered.
  aErr registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                              bool enable, streamCallback callback, void* reference);
  aErr enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable);
  // Streamed value cache: aErrNone with a fresh value, aErrStreamStale with a value already
  // read (written to value in both cases), aErrNotFound when none is cached.
  aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                      uint8_t subindex, uint32_t* value);
  // The cache rows that match (0xFF = any) in key order; aErrSize when there are more than
  // capacity (the rows written and *count stand).
  aErr getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                       uint8_t subindex, StreamStatusEntry* rows, size_t capacity, size_t* count);
  // Asks the module whether it streams.
  aErr isLinkStreaming(uint8_t module, uint8_t* answer);
  // The keys of the table that match (0xFF = any); takes the stream lock when lock is true.
  std::vector<uint64_t> filterActiveStreamKeys(uint8_t module, uint8_t command, uint8_t option,
                                               uint8_t index, uint8_t subindex, bool lock);
  // Callback jobs of live registrations that were not delivered so far: dropped because the
  // worker's queue was full (499 jobs waiting) or the packet could not be copied, or whose
  // registration held no callback any more when they came to run (replaced by enableStream).
  // Jobs discarded because their registration was removed or the Link disconnected are not
  // counted.
  uint64_t getDroppedStreamJobs();

  static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                  uint8_t subindex);
  static uint8_t getStreamKeyElement(uint64_t key, STREAM_KEY which);
  // Wildcard mask n (0 to 14; 0 otherwise): 0xFF in the fields named by the bits of n + 1
  // (bit 0 index, 1 option, 2 command, 3 subindex). OR-ed into a stream's key it gives the key
  // of a registration that covers the stream.
  static uint64_t _getGenericStreamKeyMask(uint8_t n);
  static bool isStreamPacket(const aPacket* packet);
  static bool getStreamPacketType(const aPacket* packet, STREAM_PACKET* kind);
  static bool isSubindexType(STREAM_PACKET kind);
  static bool isStreamSample(const aPacket* packet);
  static aErr getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value,
                              uint8_t* subindex);
  static aErr getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low);
  // A Link's part of the stream dispatcher: 1 for every stream packet (consumed), 0
  // otherwise. The reference is the Link::impl.
  static uint8_t linkStreamFilter(const aPacket* packet, void* reference);

  class impl;

 private:
  // Makes the packet and puts it on the core link, waiting while its output queue is full.
  aErr putUEIPacket(uint8_t module, uint8_t length, const uint8_t* data);

  std::unique_ptr<impl> m_impl;
};

// Held for the whole creation of a core link and of a broker in front of it, so that no two
// Links of the process create links at the same time.
extern std::mutex linkCreateHelperSerializer;

// True for the Velnet link types 4 to 7.
bool isVELNET(linkType type);

// Selects the UEI reply for the record (a uei): address, command, option and index match. On
// selecting it fills the record: an error reply sets the specifier (bit 7) and the error code;
// a value reply sets type and value by its length. A reply of any other length, or an error
// reply without a code, is selected too and turned into an error (aErrSize, aErrUnknown), so
// it leaves the queue and never answers a later request.
uint8_t sUEIFilter(const aPacket* packet, const void* record);

// True when the packet answers the record's module, command and option (exactly) and index
// (specifier bits 0-4), with at least the three header bytes; changes nothing.
bool ueiReplyMatches(const aPacket* packet, const uei* record);

// Time-out in ms for the reply to a request made with this record: longer for byte strings
// over 1000 bytes, growing with their number of chunks.
uint64_t ueiReplyTimeoutMs(const uei& record);

// True when a failed discover-and-connect of this type is tried once more with another type.
bool _fallbackHelper(aErr err, linkType type, bool fallback);

}  // namespace Kolvantis
}  // namespace Zentrova
