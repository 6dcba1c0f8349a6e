// UEI values of the stand-in module: an option store per (command, entity index) answered in
// the module's get/set reply forms, the command 0x49 queries and the command 23 echo.
//
// Requests (data bytes):  get [cmd][opt|0x40][idx|0x20] (+ subindex)
//                         set [cmd][opt|0x80][idx|0x20] (+ subindex) + value (0, 1, 2, 4 bytes)
// Replies:                get [cmd][opt][idx][value big-endian]
//                         set [cmd][opt|0xC0][idx]
//                         error: specifier bit 7 set, byte 3 the error code
// Byte strings go both ways in chunks [cmd][opt][spec][up to 24 bytes][sequence], the sequence
// byte being the chunk number modulo 128 with bit 7 set while more chunks follow.
//
// Fault knobs per option (count of exchanges, or kEvery):
//   wrong-length    one extra 0x00 byte after the reply (each chunk of a string)
//   error-code      an error reply with the knob's code instead of the answer
//   other-address   the reply comes from the knob's address instead of the module's
//   late            the reply is held back and goes out ahead of the next reply sent
//   duplicate       the reply goes out twice
//   out-of-sequence byte-string gets: the first two chunks swap places (a single chunk carries
//                   number 1)
//   silence         no reply at all
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "sim_module_core.h"

namespace kvsim {

constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kStoreCommand = 92;
constexpr uint8_t kQueryCommand = 0x49;
constexpr uint8_t kDebugCommand = 23;
constexpr size_t kUeiChunkBytes = 24;

// Error codes the store answers with (they share the library's error numbering).
constexpr uint8_t kUeiErrParam = 2;      // a request the module cannot parse
constexpr uint8_t kUeiErrNotFound = 3;   // no such option
constexpr uint8_t kUeiErrMode = 7;       // get of a set-only option, set of a read-only one
constexpr uint8_t kUeiErrSize = 14;      // a value of the wrong width
constexpr uint8_t kUeiErrSequence = 21;  // byte-string chunk out of sequence

enum class UeiType { None, U8, U16, U32, String };

struct UeiValue {
  UeiType type = UeiType::None;
  uint32_t number = 0;
  Bytes bytes;
  bool readable = true;
  bool writable = false;
};

enum class UeiFault {
  WrongLength,
  ErrorCode,
  OtherAddress,
  Late,
  Duplicate,
  OutOfSequence,
  Silence
};
const char* ueiFaultName(UeiFault fault);
std::optional<UeiFault> ueiFaultByName(const std::string& name);

// Identity of the system entity beyond what the module's config holds (address, serial
// number, model).
struct UeiIdentity {
  uint32_t version = 0x2F020F03;  // 2.15.3, new layout
  uint32_t build = 0x1234;
  uint32_t hardwareVersion = 0x00010002;
  uint32_t protocolFeatures = 0x80000000;  // accepts pooled packets
  std::string name = "stand-in module";
  uint8_t router = 0;  // the router's module address (option 2); 0: none
};

// One fault knob of one option: count exchanges (or kEvery); parameter is the error code of
// error-code and the sender's address of other-address.
struct UeiFaultSpec {
  UeiFault fault = UeiFault::Silence;
  uint8_t command = 0;
  uint8_t index = 0;
  uint8_t option = 0;
  int count = 0;
  uint8_t parameter = 0;
};

class UeiStore {
 public:
  // A key: command, entity index, option, subindex (-1: none).
  using Key = std::tuple<uint8_t, uint8_t, uint8_t, int>;

  // Registers the handlers of every command with options, 0x49 and 23 on core; the store is
  // kept alive by them. Options added later to a new command register that command too.
  static std::shared_ptr<UeiStore> attach(ModuleCore& core);

  void setOption(uint8_t command, uint8_t index, uint8_t option, UeiValue value, int subindex = -1);
  const UeiValue* option(uint8_t command, uint8_t index, uint8_t option, int subindex = -1) const;
  UeiValue* option(uint8_t command, uint8_t index, uint8_t option, int subindex = -1);
  // The system entity (command 3, index 0), the entity store (command 92) and entity counts.
  void addSystemEntity(const UeiIdentity& identity = {});

  // Knobs for one option (all its subindexes); count as for ModuleCore faults.
  void setFault(uint8_t command, uint8_t index, uint8_t option, UeiFault fault, int count,
                uint8_t parameter = 0);
  void setFault(const UeiFaultSpec& spec) {
    setFault(spec.command, spec.index, spec.option, spec.fault, spec.count, spec.parameter);
  }

  // Module queries. The build query answers the system entity's build option (43) when
  // there is one, so that both ways of asking agree; setBuild sets both.
  void setBuild(uint32_t build);
  void setClassQuantity(uint8_t command, uint8_t count) { classQuantity_[command] = count; }
  void setSubClassQuantity(uint8_t command, uint8_t subclass, uint8_t count) {
    subClassQuantity_[{command, subclass}] = count;
  }
  void setEntityGroup(uint8_t command, uint8_t index, uint8_t group) {
    entityGroup_[{command, index}] = group;
  }

  // Set requests without a value, by (command, index, option), and the count of each.
  const std::map<std::tuple<uint8_t, uint8_t, uint8_t>, unsigned>& calls() const { return calls_; }

 private:
  explicit UeiStore(ModuleCore& core) : core_(core) {}
  struct FaultState {
    int count = 0;
    uint8_t parameter = 0;
  };
  struct Incoming {  // a byte string being set
    uint8_t nextSequence = 0;
    Bytes bytes;
  };
  using OptionKey = std::tuple<uint8_t, uint8_t, uint8_t>;

  void registerCommand(uint8_t command);
  std::vector<Packet> handleUei(const Packet& request);
  std::vector<Packet> handleQuery(const Packet& request);
  std::vector<Packet> get(const Packet& request, uint8_t option, uint8_t index);
  std::vector<Packet> set(const Packet& request, uint8_t option, uint8_t index);
  std::vector<Packet> deliver(const OptionKey& key, std::vector<Packet> replies, bool bytes);
  bool takeFault(const OptionKey& key, UeiFault fault, uint8_t* parameter = nullptr);
  bool hasSubindexes(uint8_t command, uint8_t index, uint8_t option) const;

  ModuleCore& core_;
  std::weak_ptr<UeiStore> self_;
  std::map<Key, UeiValue> options_;
  std::map<std::pair<OptionKey, UeiFault>, FaultState> faults_;
  std::map<OptionKey, Incoming> incoming_;
  std::map<OptionKey, unsigned> calls_;
  std::vector<Packet> late_;
  std::vector<uint8_t> registered_;
  uint32_t build_ = 0;
  std::map<uint8_t, uint8_t> classQuantity_;
  std::map<std::pair<uint8_t, uint8_t>, uint8_t> subClassQuantity_;
  std::map<std::pair<uint8_t, uint8_t>, uint8_t> entityGroup_;
};

// The chunks of a byte string as the module sends them: [cmd][opt][spec][n bytes][sequence].
std::vector<Bytes> ueiChunks(uint8_t command, uint8_t option, uint8_t specifier,
                             const Bytes& bytes);

}  // namespace kvsim
