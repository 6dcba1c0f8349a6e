// Store slots of the stand-in module (command 4): numbered stores of numbered slots, each with
// a capacity and its bytes, read and written through handles.
//
// Requests and replies (data bytes; numbers big-endian):
//   capacity    [4][1][store][slot]      -> [4][1][store][slot][capacity, 2]
//   size        [4][2][store][slot]      -> [4][2][store][slot][size, 2]
//   open read   [4][3][store][slot]      -> [4][3][store][slot][handle]
//   open write  [4][4][store][slot]      -> [4][4][store][slot][handle]
//   read        [4][6][handle]           -> [4][6][handle][the next up to 25 bytes]
//                                           ([4][6][handle] alone: nothing is left)
//   write       [4][7][handle][1 to 25 bytes] -> [4][7][handle][8-bit sum of those bytes]
//   close       [4][8][handle]           -> [4][8][handle][0]
//   error       [4][step|0x80][store][slot][code] for steps 1 to 4,
//               [4][step|0x80][handle][code] for steps 6 to 8
// Opening for writing empties the slot; each write appends, and one that would run past the
// capacity is refused (kSlotErrOverrun) without taking anything. Handles are 1 to 254 (255
// means none); a handle stays open until its close.
//
// Fault knobs per step (count of requests, or kEvery; 0 switches the knob off):
//   silence     the request takes effect, no reply
//   wrong-sum   write: the reply's sum is one more than the bytes add up to
//   cut-sum     write: the reply without its sum byte; the bytes are written
//   long-write  write: the reply one 0x00 longer, after the sum; the bytes are written
//   cut-handle  open: the reply without its handle byte; the handle is opened all the same
//   error-code  an error reply with the knob's code; the request takes no effect
//   cut-error   the same error reply without its code byte
//   late        the request takes effect; the reply goes out the knob's ms later (0: 1200 ms,
//               3200 ms for an open), after the host has given up waiting
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim_module_core.h"
#include "sim_timed.h"

namespace kvsim {

constexpr uint8_t kSlotCommand = 4;
constexpr uint8_t kNoHandle = 255;
constexpr size_t kSlotChunkBytes = 25;      // bytes per read reply and most per write
constexpr unsigned kSlotLateMs = 1200;      // late reply: past the host's 1000 ms wait
constexpr unsigned kSlotOpenLateMs = 3200;  // late reply to an open: past its 3000 ms wait

// Error codes the slots answer with (they share the library's error numbering).
constexpr uint8_t kSlotErrParam = 2;     // a request of the wrong shape or unknown step
constexpr uint8_t kSlotErrNotFound = 3;  // no such store or slot
constexpr uint8_t kSlotErrBusy = 5;      // every handle is open
constexpr uint8_t kSlotErrMode = 7;      // read on a write handle, write on a read handle
constexpr uint8_t kSlotErrOverrun = 15;  // write past the slot's capacity
constexpr uint8_t kSlotErrHandle = 26;   // no open handle of that number

enum class SlotStep {
  Capacity = 1,
  Size = 2,
  OpenRead = 3,
  OpenWrite = 4,
  Read = 6,
  Write = 7,
  Close = 8
};
const char* slotStepName(SlotStep step);
std::optional<SlotStep> slotStepByName(const std::string& name);

enum class SlotFault { Silence, WrongSum, CutSum, LongWrite, CutHandle, ErrorCode, CutError, Late };
const char* slotFaultName(SlotFault fault);
std::optional<SlotFault> slotFaultByName(const std::string& name);

struct SlotSpec {
  uint8_t store = 0;
  uint8_t slot = 0;
  uint16_t capacity = 0;
  Bytes content;  // at most capacity bytes
};

// parameter: error-code the code, late the delay in ms (0: the default); unused otherwise.
struct SlotFaultSpec {
  SlotFault fault = SlotFault::Silence;
  SlotStep step = SlotStep::Capacity;
  int count = 0;
  unsigned parameter = 0;
};

class SlotStore : public TimedWork {
 public:
  // Takes command 4 on core; the store is kept alive by the handler. Late replies go out
  // through carrier (the router's core for a module behind a router), core when null.
  static std::shared_ptr<SlotStore> attach(ModuleCore& core, ModuleCore* carrier = nullptr);

  // Makes or replaces a slot; content beyond the capacity is cut off.
  void setSlot(uint8_t store, uint8_t slot, uint16_t capacity, Bytes content = {});
  void setSlot(const SlotSpec& spec) {
    setSlot(spec.store, spec.slot, spec.capacity, spec.content);
  }
  // The slot's bytes; null when there is no such slot.
  const Bytes* content(uint8_t store, uint8_t slot) const;
  size_t openHandles() const { return handles_.size(); }

  void setFault(SlotStep step, SlotFault fault, int count, unsigned parameter = 0);
  void setFault(const SlotFaultSpec& spec) {
    setFault(spec.step, spec.fault, spec.count, spec.parameter);
  }

  // TimedWork: the late replies.
  void poll(Clock::time_point now = Clock::now()) override;
  std::optional<Clock::time_point> nextDue() const override;

 private:
  struct Slot {
    uint16_t capacity = 0;
    Bytes bytes;
  };
  struct Handle {
    std::pair<uint8_t, uint8_t> slot;
    bool write = false;
    size_t position = 0;  // next byte to read
  };
  struct Knob {
    int count = 0;
    unsigned parameter = 0;
  };
  struct Late {
    Clock::time_point due;
    Packet packet;
  };

  SlotStore(ModuleCore& core, ModuleCore* carrier)
      : core_(core), carrier_(carrier ? *carrier : core) {}
  std::vector<Packet> handle(const Packet& request);
  // The answer to one step, before the reply knobs; refused: an error reply's code.
  Bytes answer(SlotStep step, const Bytes& data, std::optional<uint8_t>* refused);
  Bytes errorReply(SlotStep step, const Bytes& data, std::optional<uint8_t> code) const;
  // Applies the knobs that reshape a step's success reply.
  void reshape(SlotStep step, Bytes* reply);
  std::optional<uint8_t> openHandle(uint8_t store, uint8_t slot, bool write);
  bool takeFault(SlotStep step, SlotFault fault, unsigned* parameter = nullptr);

  ModuleCore& core_;
  ModuleCore& carrier_;
  std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
  std::map<uint8_t, Handle> handles_;
  std::map<std::pair<SlotStep, SlotFault>, Knob> faults_;
  std::vector<Late> late_;  // in the order scheduled
};

}  // namespace kvsim
