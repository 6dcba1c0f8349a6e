// Store slots of the stand-in module (command 4), checked byte for byte against the slot
// request and reply layouts: capacity, size, handles, reads and writes, the error replies,
// each fault knob, late replies on an explicit clock, a module behind a router, and the
// text forms of slots and slot faults.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "exchange_test_support.h"
#include "parts_test_support.h"
#include "sim_module_core.h"
#include "sim_module_setup.h"
#include "sim_router.h"
#include "sim_slots.h"

namespace {

using kvsim::Bytes;
using kvsim::counting;
using kvsim::join;
using kvsim::ModuleConfig;
using kvsim::ModuleCore;
using kvsim::Packet;
using kvsim::SlotFault;
using kvsim::SlotStep;
using kvsim::SlotStore;
using std::chrono::milliseconds;

constexpr uint8_t kAddress = 4;
constexpr uint8_t kStore = 1;
constexpr uint8_t kSlot = 2;
constexpr uint8_t kCode = 0x1D;
constexpr unsigned kShortLateMs = 50;  // ms of a late knob given its own delay

uint8_t sum(const Bytes& bytes) {
  uint8_t total = 0;
  for (uint8_t byte : bytes) total = static_cast<uint8_t>(total + byte);
  return total;
}

struct SimSlots : ::testing::Test {
  SimSlots() : core(kvsim::configAt(kAddress)), slots(SlotStore::attach(core)) {}
  // The data bytes of every reply to one request.
  std::vector<Bytes> ask(const Bytes& data) { return kvsim::askData(core, kAddress, data); }
  Bytes one(const Bytes& data) { return kvsim::askOne(core, kAddress, data); }
  uint8_t open(SlotStep step) {
    Bytes reply = one({4, static_cast<uint8_t>(step), kStore, kSlot});
    EXPECT_EQ(reply.size(), 5u);
    return reply.size() == 5 ? reply[4] : kvsim::kNoHandle;
  }
  ModuleCore core;
  std::shared_ptr<SlotStore> slots;
};

TEST_F(SimSlots, CapacityAndSizeAnswerBigEndianWithStoreAndSlot) {
  slots->setSlot(kStore, kSlot, 300, counting(40));
  EXPECT_EQ(one({4, 1, kStore, kSlot}), (Bytes{4, 1, kStore, kSlot, 0x01, 0x2C}));
  EXPECT_EQ(one({4, 2, kStore, kSlot}), (Bytes{4, 2, kStore, kSlot, 0x00, 40}));
}

TEST_F(SimSlots, WrittenBytesReadBackInPiecesOf25AndEndWithABareReply) {
  slots->setSlot(kStore, kSlot, 100, counting(5, 0xA0));
  const Bytes data = counting(60, 7);
  const uint8_t writer = open(SlotStep::OpenWrite);
  ASSERT_NE(writer, kvsim::kNoHandle);
  EXPECT_EQ(*slots->content(kStore, kSlot), Bytes{}) << "opening for writing empties the slot";
  for (size_t at = 0; at < data.size(); at += 25) {
    const Bytes chunk(data.begin() + static_cast<std::ptrdiff_t>(at),
                      data.begin() + static_cast<std::ptrdiff_t>(std::min(at + 25, data.size())));
    EXPECT_EQ(one(join({4, 7, writer}, chunk)), (Bytes{4, 7, writer, sum(chunk)}))
        << "chunk at " << at;
  }
  EXPECT_EQ(one({4, 8, writer}), (Bytes{4, 8, writer, 0}));
  EXPECT_EQ(*slots->content(kStore, kSlot), data);
  EXPECT_EQ(one({4, 2, kStore, kSlot}), (Bytes{4, 2, kStore, kSlot, 0, 60}));

  const uint8_t reader = open(SlotStep::OpenRead);
  EXPECT_EQ(one({4, 6, reader}), join({4, 6, reader}, counting(25, 7)));
  EXPECT_EQ(one({4, 6, reader}), join({4, 6, reader}, counting(25, 32)));
  EXPECT_EQ(one({4, 6, reader}), join({4, 6, reader}, counting(10, 57)));
  EXPECT_EQ(one({4, 6, reader}), (Bytes{4, 6, reader})) << "nothing left";
  EXPECT_EQ(one({4, 8, reader}), (Bytes{4, 8, reader, 0}));
  EXPECT_EQ(slots->openHandles(), 0u);
}

TEST_F(SimSlots, RequestsThatCannotBeDoneGetErrorRepliesWithTheirCodes) {
  slots->setSlot(kStore, kSlot, 30, counting(3));
  const uint8_t reader = open(SlotStep::OpenRead);
  const uint8_t writer = open(SlotStep::OpenWrite);
  ASSERT_NE(reader, writer);
  EXPECT_EQ(one(join({4, 7, writer}, counting(25))), (Bytes{4, 7, writer, sum(counting(25))}));
  struct Case {
    const char* what;
    Bytes request;
    Bytes reply;
  };
  const Case cases[] = {
      {"no such slot", {4, 1, kStore, 9}, {4, 0x81, kStore, 9, kvsim::kSlotErrNotFound}},
      {"no such store", {4, 3, 7, kSlot}, {4, 0x83, 7, kSlot, kvsim::kSlotErrNotFound}},
      {"size request too long",
       {4, 2, kStore, kSlot, 0},
       {4, 0x82, kStore, kSlot, kvsim::kSlotErrParam}},
      {"unknown handle", {4, 6, 200}, {4, 0x86, 200, kvsim::kSlotErrHandle}},
      {"read on a write handle", {4, 6, writer}, {4, 0x86, writer, kvsim::kSlotErrMode}},
      {"write on a read handle", {4, 7, reader, 1}, {4, 0x87, reader, kvsim::kSlotErrMode}},
      {"write past the capacity",
       join({4, 7, writer}, counting(6)),
       {4, 0x87, writer, kvsim::kSlotErrOverrun}},
      {"write of nothing", {4, 7, writer}, {4, 0x87, writer, kvsim::kSlotErrParam}},
      {"close of an unknown handle", {4, 8, 201}, {4, 0x88, 201, kvsim::kSlotErrHandle}},
      {"no such step", {4, 5, 1}, {4, 0x85, 1, kvsim::kSlotErrParam}},
  };
  for (const Case& c : cases) EXPECT_EQ(one(c.request), c.reply) << c.what;
  EXPECT_EQ(*slots->content(kStore, kSlot), counting(25)) << "refused writes take nothing";
  EXPECT_TRUE(ask({4, 0x87, writer, 0}).empty()) << "a reply of a peer gets no answer";
}

TEST_F(SimSlots, HandlesAreDistinctNeverNoneAndRunOutAt254) {
  slots->setSlot(kStore, kSlot, 10);
  std::vector<bool> seen(256, false);
  for (int i = 0; i < 254; ++i) {
    const uint8_t handle = open(SlotStep::OpenRead);
    ASSERT_NE(handle, kvsim::kNoHandle);
    EXPECT_FALSE(seen[handle]) << int(handle);
    seen[handle] = true;
  }
  EXPECT_EQ(one({4, 3, kStore, kSlot}), (Bytes{4, 0x83, kStore, kSlot, kvsim::kSlotErrBusy}));
  EXPECT_EQ(one({4, 8, 17}), (Bytes{4, 8, 17, 0}));
  EXPECT_EQ(open(SlotStep::OpenRead), 17) << "a closed handle is given again";
}

struct KnobCase {
  const char* name;
  SlotStep step;
  SlotFault fault;
  unsigned parameter;
  Bytes reply;  // the answer to the step's request while the knob is armed; empty: none
};

class SimSlotKnob : public SimSlots, public ::testing::WithParamInterface<KnobCase> {};

// Each step's request on a slot of 10 bytes, with handles 1 (read) and 2 (write) open.
Bytes requestOf(SlotStep step) {
  switch (step) {
    case SlotStep::Read:
      return {4, 6, 1};
    case SlotStep::Write:
      return {4, 7, 2, 5, 6};
    case SlotStep::Close:
      return {4, 8, 1};
    default:
      return {4, static_cast<uint8_t>(step), kStore, kSlot};
  }
}

TEST_P(SimSlotKnob, ShapesOneReplyAndThenSwitchesOff) {
  const KnobCase& c = GetParam();
  slots->setSlot(kStore, kSlot, 30, counting(10));
  ASSERT_EQ(open(SlotStep::OpenRead), 1);
  ASSERT_EQ(open(SlotStep::OpenWrite), 2);
  slots->setSlot(kStore, kSlot, 30, counting(10));  // the open for writing emptied it
  slots->setFault(c.step, c.fault, 1, c.parameter);
  EXPECT_EQ(ask(requestOf(c.step)),
            c.reply.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{c.reply});
  const bool tookEffect = c.fault != SlotFault::ErrorCode && c.fault != SlotFault::CutError;
  switch (c.step) {
    case SlotStep::Read:  // the second read shows whether the first one moved on
      EXPECT_EQ(one({4, 6, 1}), join({4, 6, 1}, tookEffect ? Bytes{} : counting(10)));
      break;
    case SlotStep::Write:
      EXPECT_EQ(*slots->content(kStore, kSlot),
                tookEffect ? join(counting(10), {5, 6}) : counting(10));
      EXPECT_EQ(one({4, 7, 2, 5, 6}), (Bytes{4, 7, 2, 11})) << "the knob fired once";
      break;
    case SlotStep::Close:
      EXPECT_EQ(slots->openHandles(), tookEffect ? 1u : 2u);
      break;
    case SlotStep::OpenRead:
    case SlotStep::OpenWrite:
      EXPECT_EQ(slots->openHandles(), tookEffect ? 3u : 2u);
      break;
    default:
      EXPECT_EQ(ask(requestOf(c.step)).size(), 1u) << "the knob fired once";
  }
}

const Bytes kCapacityReply{4, 1, kStore, kSlot, 0, 30};

INSTANTIATE_TEST_SUITE_P(
    Knobs, SimSlotKnob,
    ::testing::Values(
        KnobCase{"SilentOpenForReading", SlotStep::OpenRead, SlotFault::Silence, 0, {}},
        KnobCase{"SilentOpenForWriting", SlotStep::OpenWrite, SlotFault::Silence, 0, {}},
        KnobCase{"SilentRead", SlotStep::Read, SlotFault::Silence, 0, {}},
        KnobCase{"SilentClose", SlotStep::Close, SlotFault::Silence, 0, {}},
        KnobCase{"WrongSum", SlotStep::Write, SlotFault::WrongSum, 0, {4, 7, 2, 12}},
        KnobCase{"CutSum", SlotStep::Write, SlotFault::CutSum, 0, {4, 7, 2}},
        KnobCase{"LongWrite", SlotStep::Write, SlotFault::LongWrite, 0, {4, 7, 2, 11, 0}},
        KnobCase{
            "CutHandleOfOpen", SlotStep::OpenWrite, SlotFault::CutHandle, 0, {4, 4, kStore, kSlot}},
        KnobCase{"ErrorCodeOfCapacity",
                 SlotStep::Capacity,
                 SlotFault::ErrorCode,
                 kCode,
                 {4, 0x81, kStore, kSlot, kCode}},
        KnobCase{"ErrorCodeOfOpen",
                 SlotStep::OpenWrite,
                 SlotFault::ErrorCode,
                 kCode,
                 {4, 0x84, kStore, kSlot, kCode}},
        KnobCase{
            "ErrorCodeOfRead", SlotStep::Read, SlotFault::ErrorCode, kCode, {4, 0x86, 1, kCode}},
        KnobCase{
            "ErrorCodeOfWrite", SlotStep::Write, SlotFault::ErrorCode, kCode, {4, 0x87, 2, kCode}},
        KnobCase{
            "ErrorCodeOfClose", SlotStep::Close, SlotFault::ErrorCode, kCode, {4, 0x88, 1, kCode}},
        KnobCase{
            "CutErrorOfSize", SlotStep::Size, SlotFault::CutError, 0, {4, 0x82, kStore, kSlot}},
        KnobCase{
            "CutErrorOfOpen", SlotStep::OpenRead, SlotFault::CutError, 0, {4, 0x83, kStore, kSlot}},
        KnobCase{"CutErrorOfWrite", SlotStep::Write, SlotFault::CutError, 0, {4, 0x87, 2}},
        KnobCase{"LateRead", SlotStep::Read, SlotFault::Late, 0, {}},
        KnobCase{"LateClose", SlotStep::Close, SlotFault::Late, 0, {}}),
    [](const ::testing::TestParamInfo<KnobCase>& param) { return param.param.name; });

TEST_F(SimSlots, LateRepliesGoOutAfterTheirDelayInTheOrderAsked) {
  slots->setSlot(kStore, kSlot, 30, counting(10));
  slots->setFault(SlotStep::OpenRead, SlotFault::Late, 1);
  slots->setFault(SlotStep::Size, SlotFault::Late, kvsim::kEvery);
  slots->setFault(SlotStep::Capacity, SlotFault::Late, 1, kShortLateMs);
  const auto before = kvsim::TimedWork::Clock::now();
  EXPECT_TRUE(ask({4, 3, kStore, kSlot}).empty());
  EXPECT_TRUE(ask({4, 2, kStore, kSlot}).empty());
  EXPECT_TRUE(ask({4, 1, kStore, kSlot}).empty());
  const auto after = kvsim::TimedWork::Clock::now();
  ASSERT_TRUE(slots->nextDue());
  EXPECT_GE(*slots->nextDue(), before + milliseconds(kShortLateMs));
  EXPECT_LE(*slots->nextDue(), after + milliseconds(kShortLateMs));

  auto sentAt = [&](kvsim::TimedWork::Clock::time_point when) {
    slots->poll(when);
    std::vector<Bytes> data;
    for (const Packet& packet : kvsim::sentPackets(core)) data.push_back(packet.data);
    return data;
  };
  EXPECT_TRUE(sentAt(before + milliseconds(kShortLateMs - 1)).empty());
  EXPECT_EQ(sentAt(after + milliseconds(kShortLateMs)), (std::vector<Bytes>{kCapacityReply}));
  EXPECT_TRUE(sentAt(before + milliseconds(kvsim::kSlotLateMs - 1)).empty())
      << "past the host's 1000 ms";
  EXPECT_EQ(sentAt(after + milliseconds(kvsim::kSlotLateMs)),
            (std::vector<Bytes>{{4, 2, kStore, kSlot, 0, 10}}));
  EXPECT_TRUE(sentAt(before + milliseconds(kvsim::kSlotOpenLateMs - 1)).empty())
      << "past the open's 3000 ms";
  EXPECT_EQ(sentAt(after + milliseconds(kvsim::kSlotOpenLateMs)),
            (std::vector<Bytes>{{4, 3, kStore, kSlot, 1}}));
  EXPECT_FALSE(slots->nextDue());
}

TEST(SimSlotsBehind, LateReplyOfAModuleBehindGoesOutOverTheRoutersLink) {
  ModuleConfig config;
  config.address = 2;
  ModuleCore router(config);
  auto bus = kvsim::I2cRouter::attach(router);
  kvsim::BehindSpec behind;
  behind.address = 0x10;
  ASSERT_EQ(bus->add(behind), "");
  auto slots = SlotStore::attach(*bus->module(0x10), &router);
  slots->setSlot(kStore, kSlot, 8);
  router.receive(Packet{0x10, {4, 1, kStore, kSlot}}.wire());
  std::vector<Packet> direct = kvsim::sentPackets(router);
  ASSERT_EQ(direct.size(), 1u);
  EXPECT_EQ(direct[0].address, 0x10);
  EXPECT_EQ(direct[0].data, (Bytes{4, 1, kStore, kSlot, 0, 8}));

  slots->setFault(SlotStep::Capacity, SlotFault::Late, 1);
  router.receive(Packet{0x10, {4, 1, kStore, kSlot}}.wire());
  EXPECT_TRUE(kvsim::sentPackets(router).empty());
  slots->poll(*slots->nextDue());
  std::vector<Packet> late = kvsim::sentPackets(router);
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0].address, 0x10);
  EXPECT_EQ(late[0].data, (Bytes{4, 1, kStore, kSlot, 0, 8}));
}

TEST(SimSlotsText, SlotAndSlotFaultForms) {
  std::string error;
  auto slot = kvsim::parseSlotSpec("1:2:300:0A0B", &error);
  ASSERT_TRUE(slot) << error;
  EXPECT_EQ(slot->store, 1);
  EXPECT_EQ(slot->slot, 2);
  EXPECT_EQ(slot->capacity, 300);
  EXPECT_EQ(slot->content, (Bytes{0x0A, 0x0B}));
  auto empty = kvsim::parseSlotSpec("0x10:0:0", &error);
  ASSERT_TRUE(empty) << error;
  EXPECT_TRUE(empty->content.empty());

  auto late = kvsim::parseSlotFault("late:open-write:every:3500", &error);
  ASSERT_TRUE(late) << error;
  EXPECT_EQ(late->fault, SlotFault::Late);
  EXPECT_EQ(late->step, SlotStep::OpenWrite);
  EXPECT_EQ(late->count, kvsim::kEvery);
  EXPECT_EQ(late->parameter, 3500u);
  auto code = kvsim::parseSlotFault("error-code:close:2:0x1D", &error);
  ASSERT_TRUE(code) << error;
  EXPECT_EQ(code->count, 2);
  EXPECT_EQ(code->parameter, 0x1Du);
  auto cut = kvsim::parseSlotFault("cut-handle:open-read:1", &error);
  ASSERT_TRUE(cut) << error;
  EXPECT_EQ(cut->fault, SlotFault::CutHandle);
  EXPECT_EQ(cut->step, SlotStep::OpenRead);

  for (const char* bad : {"1:2", "1:2:65536", "1:2:1:0A0B", "1:2:3:XY", "256:0:1"})
    EXPECT_FALSE(kvsim::parseSlotSpec(bad, &error)) << bad;
  for (const char* bad :
       {"silence:read", "bogus:read:1", "silence:open:1", "silence:read:x", "error-code:read:1",
        "silence:read:1:5", "wrong-sum:read:1", "error-code:read:1:256", "late:read:1:600001",
        "cut-sum:read:1", "long-write:close:1", "cut-sum:write:1:5", "cut-handle:size:1",
        "cut-handle:write:1"})
    EXPECT_FALSE(kvsim::parseSlotFault(bad, &error)) << bad;
}

}  // namespace
