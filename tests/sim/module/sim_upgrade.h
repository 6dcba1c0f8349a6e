// The stand-in module's upgrade entity (command 95, 0x5F) and the memories it fills.
//
// Two personas answer the command, one after the other:
//   application  the running firmware; takes the loader blocks and starts the loader:
//     INIT     [5F][00]                       -> [5F][00][load base, 4 bytes]
//     PREPARE  [5F][03][flags][address, 4]    -> [5F][07][status][block size, 2]
//     DATA     [5F][01][1 to 26 bytes]        -> [5F][01][count of bytes taken]
//     SUM      [5F][04]                       -> [5F][07][status][byte sum, 4]
//     LOAD     [5F][02]                       -> [5F][02], or nothing, as scripted below
//     The bytes go into the loader memory at the block's address as they come; SUM answers the
//     sum of the bytes taken since PREPARE or the last SUM.
//   loader       takes the firmware blocks into the flash and reboots:
//     PREPARE, DATA and SUM as above, and DATA_UEI (which the application takes like DATA
//     too): a UEI set of option 10, index 0, carrying one chunk as a byte string
//     [5F][8A][20][up to 24 bytes][sequence], acknowledged after its last chunk with
//     [5F][CA][00] (an error: [5F][CA][80][code]);
//     WRITE    [5F][05][length, 2]            -> [5F][07][status]
//     REBOOT   [5F][06]                       -> nothing; the link drops
//     DATA bytes gather in a chunk of at most the block size; SUM answers their sum; WRITE of
//     exactly their count puts them into the flash at the block's address plus the bytes
//     already written since PREPARE. A new PREPARE starts the block again from its address.
// Numbers are big-endian. Status 0 is success. Requests the current persona does not take get
// no reply. A DATA packet that does not fit the chunk (or comes without PREPARE) is answered
// with count 0 and not taken.
//
// With a UeiStore the module also tells, through it, that it takes option 10 of command 95 as
// a set (hasUei) and whether it accepts pooled packets (bit 31 of the protocol features,
// option 45 of the system entity). Attach after the store's addSystemEntity.
//
// Scripted behaviour:
//   afterLoad    Stay: answer LOAD and stay connected;
//                Drop: answer, then drop the link dropDelayMs later;
//                SilentDrop: no answer, drop at once.
//   returnAs     after a drop of LOAD, come back returnMs later under the module's own serial
//                number (Same), under kDefaultSerial (DefaultSerial), or never. After a silent
//                drop the loader sends [5F][02] of its own accord kAnnounceDelayMs after the
//                first packet of the new connection (unless announceOnReturn is off).
//   REBOOT       the link drops rebootDropMs later; the module comes back returnMs after the
//                drop under its own serial number, running the application again. The flash
//                stays; the loader memory goes. With flashDumpPath the flash is written there
//                first (formatMemoryDump).
//   restartAfterWrites  the loader restarts by itself, as at REBOOT, right after it answers
//                that many WRITEs (0: never); a REBOOT that comes later finds the application
//                and goes unanswered, as every request it does not take.
//
// Fault knobs (count of replies concerned, or kEvery; 0 switches the knob off), armed at start
// or (loaderFaults) the first time the loader runs:
//   wrong-echo     DATA is answered with a count one less than sent, and its bytes not taken
//   late-sum       the SUM reply goes out lateMs after the request instead of at once
//   prepare-error  PREPARE is refused with a non-zero status; no block is open
//   block-size-0   PREPARE answers block size 0
//   short-status   status replies lose their last byte (PREPARE 4 bytes, SUM 6, WRITE 2)
//   sum-mismatch   SUM answers a sum one more than the bytes add up to
//
// Drops and come-backs are the front end's. It calls poll() after every receive() and again
// whenever nextDue() has passed, under the same lock as the ModuleCore, and then:
//   - writes out what the core has ready (poll may have sent a late reply or the [5F][02];
//     these go out even while the core is silent), before acting on a Drop;
//   - for each action, in order: Drop: ends the connection (and startConnection() on the core,
//     as for any drop), then stays away until a ComeBack action; ComeBack: presents the
//     module under the action's serial number (USB serial string, discovery reply) and takes
//     connections again.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim_module_core.h"
#include "sim_uei.h"

namespace kvsim {

constexpr uint8_t kUpgradeCommand = 0x5F;
constexpr uint8_t kUpgradeInit = 0;
constexpr uint8_t kUpgradeData = 1;
constexpr uint8_t kUpgradeLoad = 2;
constexpr uint8_t kUpgradePrepare = 3;
constexpr uint8_t kUpgradeSum = 4;
constexpr uint8_t kUpgradeWrite = 5;
constexpr uint8_t kUpgradeReboot = 6;
constexpr uint8_t kUpgradeStatus = 7;
constexpr uint8_t kUpgradeDataUei = 10;

// Status bytes of the status replies.
constexpr uint8_t kUpgradeOk = 0;
constexpr uint8_t kUpgradeRefused = 1;     // a malformed request, or the prepare-error knob
constexpr uint8_t kUpgradeNoBlock = 2;     // SUM or WRITE without an open block
constexpr uint8_t kUpgradeBadLength = 3;   // WRITE of another count than the chunk holds
constexpr uint8_t kUpgradeOutOfRange = 4;  // the chunk would run past the address space

constexpr uint32_t kDefaultSerial = 0xDEADDEAD;  // shown by a module whose serial is unreadable
constexpr uint32_t kPooledPacketsFeature = 0x80000000;  // protocol feature bit 31

constexpr uint16_t kDefaultBlockSize = 256;        // bytes per firmware chunk
constexpr uint32_t kDefaultLoadBase = 0x20000000;  // INIT's load base
constexpr unsigned kDefaultReturnMs = 500;         // ms away after a drop
constexpr unsigned kDefaultRebootDropMs = 100;     // ms from REBOOT to the drop
constexpr unsigned kDefaultLateMs = 1500;          // ms a late SUM reply is held back
constexpr unsigned kAnnounceDelayMs = 300;         // ms from the new connection's first
                                                   // packet to the loader's [5F][02]
constexpr uint8_t kErasedByte = 0xFF;              // unwritten memory reads as this

// A sparse memory: runs of written bytes by start address.
class SimMemory {
 public:
  // False (nothing written) when the bytes would run past the 32-bit address space.
  bool write(uint32_t address, const Bytes& bytes);
  // Unwritten bytes read as kErasedByte; reading past the address space gives kErasedByte too.
  Bytes read(uint32_t address, size_t length) const;
  // Contiguous runs, never touching each other.
  const std::map<uint32_t, Bytes>& regions() const { return regions_; }
  bool empty() const { return regions_.empty(); }
  void clear() { regions_.clear(); }
  bool operator==(const SimMemory& other) const { return regions_ == other.regions_; }
  bool operator!=(const SimMemory& other) const { return !(*this == other); }

 private:
  std::map<uint32_t, Bytes> regions_;
};

// Text form of a memory: one line per up to 32 bytes, "AAAAAAAA HEX" (the address as eight
// upper-case hex digits, a space, the bytes as hex digits), in address order.
std::string formatMemoryDump(const SimMemory& memory);
// Reads that form back (spaces between bytes and empty lines allowed); nullopt for anything
// else.
std::optional<SimMemory> parseMemoryDump(const std::string& text);

enum class UpgradeFault {
  WrongEcho,
  LateSum,
  PrepareError,
  BlockSizeZero,
  ShortStatus,
  SumMismatch
};
constexpr UpgradeFault kAllUpgradeFaults[] = {
    UpgradeFault::WrongEcho,     UpgradeFault::LateSum,     UpgradeFault::PrepareError,
    UpgradeFault::BlockSizeZero, UpgradeFault::ShortStatus, UpgradeFault::SumMismatch};
const char* upgradeFaultName(UpgradeFault fault);
std::optional<UpgradeFault> upgradeFaultByName(const std::string& name);

enum class AfterLoad { Stay, Drop, SilentDrop };
enum class ReturnAs { Same, DefaultSerial, Never };

struct UpgradeConfig {
  bool startAsLoader = false;  // the loader runs from the start (a recovery loader)
  AfterLoad afterLoad = AfterLoad::Stay;
  unsigned dropDelayMs = 0;  // AfterLoad::Drop: ms from the answer to the drop
  ReturnAs returnAs = ReturnAs::Same;
  unsigned returnMs = kDefaultReturnMs;
  bool announceOnReturn = true;
  unsigned rebootDropMs = kDefaultRebootDropMs;
  uint16_t blockSize = kDefaultBlockSize;
  uint32_t loadBase = kDefaultLoadBase;
  bool hasUei = true;  // takes DATA_UEI; hasUEI(95, 10, 0, set) answers 0
  bool pooled = true;  // protocol features with bit 31
  unsigned lateMs = kDefaultLateMs;
  std::map<UpgradeFault, int> faults;  // count per knob at start
  // Count per knob, armed the first time the loader runs (at LOAD, or at start with
  // startAsLoader), so that a fault can hit the firmware blocks only.
  std::map<UpgradeFault, int> loaderFaults;
  std::string flashDumpPath;        // written at REBOOT when not empty
  unsigned restartAfterWrites = 0;  // WRITEs of the loader before it restarts by itself
};

// Command-line forms: "stay", "drop:MS", "silent-drop"; "same", "deadbead", "never";
// "NAME[:COUNT]" with COUNT a number or "all" (NAME alone: all), into faults or, for
// parseLoaderFault, loaderFaults. False for anything else, the config unchanged.
bool parseAfterLoad(const std::string& text, UpgradeConfig* config);
bool parseReturnAs(const std::string& text, UpgradeConfig* config);
bool parseUpgradeFault(const std::string& text, UpgradeConfig* config);
bool parseLoaderFault(const std::string& text, UpgradeConfig* config);
// The program options that set an UpgradeConfig, for the program's --help.
extern const char kUpgradeHelp[];

struct UpgradeAction {
  enum class Kind { Drop, ComeBack };
  Kind kind = Kind::Drop;
  uint32_t serial = 0;  // ComeBack: the serial number the module now shows
};

// One block opened by PREPARE, as the module saw it.
struct PreparedBlock {
  uint32_t address;
  uint8_t flags;
  bool loader;  // taken by the loader persona
};

class UpgradePersona {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Mode { Application, Loader };

  // Takes command 95 on core; the persona is kept alive by the handler. store may be null:
  // then nothing answers hasUEI or the protocol features through it.
  static std::shared_ptr<UpgradePersona> attach(ModuleCore& core, std::shared_ptr<UeiStore> store,
                                                UpgradeConfig config = {});

  Mode mode() const { return mode_; }
  // The serial number the module shows now (kDefaultSerial after such a come-back).
  uint32_t serial() const { return serial_; }

  // Timed work that has fallen due by now: late replies and the loader's [5F][02] go to the
  // core; drops and come-backs are handed back, in order.
  std::vector<UpgradeAction> poll(Clock::time_point now = Clock::now());
  // When poll() has something to do next; nullopt while nothing is scheduled.
  std::optional<Clock::time_point> nextDue() const;

  const SimMemory& flash() const { return flash_; }
  const SimMemory& loaderMemory() const { return loaderMemory_; }
  const std::vector<PreparedBlock>& prepared() const { return prepared_; }
  // Writes formatMemoryDump(flash()) to path; the reason in *error when that fails.
  bool writeFlashDump(const std::string& path, std::string* error) const;

  void setFault(UpgradeFault fault, int count) { config_.faults[fault] = count; }
  int faultCount(UpgradeFault fault) const;

 private:
  struct Scheduled {
    Clock::time_point due;
    enum class Kind { Drop, ComeBack, Send } kind;
    uint32_t serial = 0;    // ComeBack
    bool announce = false;  // ComeBack: the loader announces itself on the new connection
    Packet packet;          // Send
  };
  struct Block {
    bool open = false;
    uint32_t address = 0;
    uint64_t written = 0;  // bytes since PREPARE: into the loader memory, or into the flash
    Bytes pending;         // bytes since PREPARE, the last SUM (application) or WRITE (loader)
  };
  struct Incoming {  // a DATA_UEI byte string being gathered
    uint8_t nextSequence = 0;
    Bytes bytes;
  };

  UpgradePersona(ModuleCore& core, std::shared_ptr<UeiStore> store, UpgradeConfig config);
  std::vector<Packet> handle(const Packet& request);
  std::vector<Packet> handleUei(const Bytes& data);
  std::vector<Packet> init();
  std::vector<Packet> prepare(const Bytes& data);
  std::vector<Packet> data(const Bytes& data);
  std::vector<Packet> sum();
  std::vector<Packet> load();
  std::vector<Packet> write(const Bytes& data);
  std::vector<Packet> reboot();
  // What REBOOT does: the flash dump, the application again, and the drop and come-back.
  void restart();
  // Takes bytes into the open block; false when there is none or they do not fit the chunk.
  bool take(const Bytes& bytes);
  std::vector<Packet> reply(Bytes data) const;
  std::vector<Packet> status(Bytes data);  // a status reply, as the short-status knob leaves it
  bool takeFault(UpgradeFault fault);
  void schedule(Scheduled item);
  void scheduleDropAndReturn(Clock::time_point dropAt, std::optional<uint32_t> returnSerial,
                             bool announce);
  void closeBlock();
  void showSerial(uint32_t serial);
  void armLoaderFaults();

  ModuleCore& core_;
  std::shared_ptr<UeiStore> store_;
  UpgradeConfig config_;
  Mode mode_;
  uint32_t serial_;
  Block block_;
  Incoming incoming_;
  SimMemory flash_;
  SimMemory loaderMemory_;
  std::vector<PreparedBlock> prepared_;
  unsigned writesTaken_ = 0;          // WRITEs answered with success, for restartAfterWrites
  std::vector<Scheduled> scheduled_;  // in the order scheduled
  // Waiting for the first packet of a new connection to announce the loader: records of the
  // core up to this index belong to earlier connections.
  std::optional<size_t> announceAfterRecord_;
};

}  // namespace kvsim
