// Factory data of the stand-in module (command 0x5E): one buffer of bytes for each kind 0 to
// 15, read and written in pieces of up to 26 bytes, each transfer closed by an end packet that
// carries the count of bytes moved.
//
// Requests and replies (data bytes):
//   read        [5E][kind|0x40] first, [5E][kind] next   -> [5E][kind][next up to 26 bytes]
//               (26 bytes while more may follow; fewer, none included, ends the data)
//   write       [5E][kind|0x50] first, [5E][kind|0x10] next, then up to 26 bytes
//                                                        -> [5E][kind]
//   end         [5E][20][count, 2 bytes big-endian]      -> [5E][00]
//   error       [5E][reply option|0x80][code]; the reply option is the kind for reads and
//               writes, 0 for the end
// A first packet starts a transfer of its kind; next packets continue it (another kind, or
// none started: kFactoryErrSequence). Written bytes are staged and become the kind's data at
// an end whose count (low 16 bits) matches the bytes moved; an end that does not match answers
// kFactoryErrCount and the staged bytes go. An end with no transfer and count 0 is
// acknowledged (a write of nothing sends only the end).
//
// Fault knobs per packet (read, write, end; count of requests, or kEvery):
//   error-code  an error reply with the knob's code; the request takes no effect
//   cut-error   the error reply without its code byte
//   silence     the request takes effect, no reply
//   ack-length  write and end: the acknowledgement carries one extra 0x00 byte
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim_module_core.h"

namespace kvsim {

constexpr uint8_t kFactoryCommand = 0x5E;
constexpr size_t kFactoryKinds = 16;
constexpr size_t kFactoryChunkBytes = 26;  // data bytes per read reply or write request

// Error codes the factory data answers with (they share the library's error numbering).
constexpr uint8_t kFactoryErrParam = 2;      // an option or a length of no request
constexpr uint8_t kFactoryErrCount = 14;     // the end's count is not the bytes moved
constexpr uint8_t kFactoryErrSequence = 21;  // a next packet outside a transfer of its kind

enum class FactoryPacket { Read, Write, End };
const char* factoryPacketName(FactoryPacket packet);
std::optional<FactoryPacket> factoryPacketByName(const std::string& name);

enum class FactoryFault { ErrorCode, CutError, Silence, AckLength };
const char* factoryFaultName(FactoryFault fault);
std::optional<FactoryFault> factoryFaultByName(const std::string& name);

struct FactoryFaultSpec {
  FactoryFault fault = FactoryFault::Silence;
  FactoryPacket packet = FactoryPacket::Read;
  int count = 0;
  uint8_t code = 0;  // error-code only
};

class FactoryData {
 public:
  // Takes command 0x5E on core; the data are kept alive by the handler.
  static std::shared_ptr<FactoryData> attach(ModuleCore& core);

  // kind 0 to 15 (higher kinds are ignored).
  void setKind(uint8_t kind, Bytes data);
  const Bytes& kind(uint8_t kind) const { return kinds_[kind % kFactoryKinds]; }

  void setFault(FactoryPacket packet, FactoryFault fault, int count, uint8_t code = 0);
  void setFault(const FactoryFaultSpec& spec) {
    setFault(spec.packet, spec.fault, spec.count, spec.code);
  }

 private:
  struct Transfer {
    bool write = false;
    uint8_t kind = 0;
    uint32_t moved = 0;  // data bytes read or written in this transfer
    Bytes staged;        // write: the bytes so far
  };
  struct Knob {
    int count = 0;
    uint8_t code = 0;
  };

  explicit FactoryData(ModuleCore& core) : core_(core) {}
  std::vector<Packet> handle(const Packet& request);
  // The reply to one request before the knobs; refused: the code of an error reply.
  Bytes answer(FactoryPacket packet, const Bytes& data, std::optional<uint8_t>* refused);
  bool takeFault(FactoryPacket packet, FactoryFault fault, uint8_t* code = nullptr);

  ModuleCore& core_;
  std::array<Bytes, kFactoryKinds> kinds_;
  std::optional<Transfer> transfer_;
  std::map<std::pair<FactoryPacket, FactoryFault>, Knob> faults_;
};

}  // namespace kvsim
