// EntityClass and the UEI operations of Link against the stand-in module on the simulated USB
// bus: request bytes and decoded values of every width, error and malformed replies, stale
// replies, byte strings in both directions (chunking, sequence wrap, acknowledgement wait,
// the output queue's bound), unrequested values and the entity store.
#include "EntityClass.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "api_test_support.h"

using apitest::Bytes;
using apitest::kAddress;
using apitest::UsbModule;
using Zentrova::Kolvantis::EntityClass;
using Zentrova::Kolvantis::Link;
using Zentrova::Kolvantis::Module;
using Zentrova::Kolvantis::uei;

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr uint8_t kCommand = 50;  // an entity class of the test's own
constexpr uint8_t kIndex = 1;
constexpr uint8_t kSpec = kIndex | 0x20;

// Time after the last chunk of a string when a slow module acknowledges it: past the wait of
// a short string, within the wait of a long one.
constexpr Ms kSlowAck{1500};
// The same for a very long string: past the least wait of a large one.
constexpr Ms kVerySlowAck{4500};

kvsim::UeiValue Value(kvsim::UeiType type, uint32_t number, bool writable = true) {
  kvsim::UeiValue value;
  value.type = type;
  value.number = number;
  value.writable = writable;
  return value;
}

kvsim::UeiValue String(const Bytes& bytes) {
  kvsim::UeiValue value;
  value.type = kvsim::UeiType::String;
  value.bytes = bytes;
  value.writable = true;
  return value;
}

Bytes Pattern(size_t length, uint8_t seed = 0) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed + 1);
  return bytes;
}

class EntityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = sim_.connect();
    ASSERT_TRUE(module_->isConnected());
    ASSERT_EQ(entity_.init(module_.get(), kCommand, kIndex), aErrNone);
    own_ = sim_.address();
  }

  void setOption(uint8_t option, kvsim::UeiValue value, int subindex = -1) {
    sim_.withStore([&](kvsim::UeiStore& store) {
      store.setOption(kCommand, kIndex, option, std::move(value), subindex);
    });
  }
  kvsim::UeiValue stored(uint8_t option) {
    return sim_.withStore(
        [&](kvsim::UeiStore& store) { return *store.option(kCommand, kIndex, option); });
  }
  // Requests of the test's command the module received so far.
  std::vector<Bytes> requests() { return sim_.received(kCommand); }

  UsbModule sim_;
  std::unique_ptr<Module> module_;
  EntityClass entity_;
  uint8_t own_ = 0;
};

// --- binding -------------------------------------------------------------------------------------

TEST_F(EntityTest, UnboundEntityReachesNothing) {
  EntityClass entity;
  uint8_t u8 = 0;
  uint32_t u32 = 0;
  size_t count = 0;
  uint8_t buffer[4];
  uei record{};
  EXPECT_EQ(entity.getUEI8(1, &u8), aErrResource);
  EXPECT_EQ(entity.setUEI32(1, 5), aErrResource);
  EXPECT_EQ(entity.callUEI(1), aErrResource);
  EXPECT_EQ(entity.getUEI(1, &record), aErrResource);
  EXPECT_EQ(entity.getUEIBytes(1, buffer, sizeof buffer, &count), aErrResource);
  EXPECT_EQ(entity.awaitUEI32Val(1, &u32, 0), aErrResource);
  EXPECT_EQ(entity.drainUEI(1), aErrResource);
  EXPECT_EQ(entity.saveEntityToStore(), aErrResource);
  EXPECT_EQ(entity.sendPacket(1, 0, nullptr), aErrResource);

  // An index no specifier can carry is refused and leaves the entity unbound.
  EXPECT_EQ(entity.init(module_.get(), kCommand, 31), aErrNone);
  EXPECT_EQ(entity.getIndex(), 31);
  EXPECT_EQ(entity.init(module_.get(), kCommand, 32), aErrParam);
  EXPECT_EQ(entity.getUEI8(1, &u8), aErrResource);
  EXPECT_TRUE(requests().empty());
}

TEST_F(EntityTest, ArgumentsAreCheckedBeforeAnyTraffic) {
  uint8_t buffer[4];
  size_t count = 7;
  EXPECT_EQ(entity_.getUEI8(1, nullptr), aErrParam);
  EXPECT_EQ(entity_.getUEI16(1, 2, nullptr), aErrParam);
  EXPECT_EQ(entity_.getUEI32(1, nullptr), aErrParam);
  EXPECT_EQ(entity_.getUEI(1, nullptr), aErrParam);
  EXPECT_EQ(entity_.getUEIBytes(1, nullptr, 4, &count), aErrParam);
  EXPECT_EQ(entity_.getUEIBytes(1, buffer, 0, &count), aErrParam);
  EXPECT_EQ(entity_.getUEIBytes(1, buffer, 4, nullptr), aErrParam);
  EXPECT_EQ(entity_.setUEIBytes(1, nullptr, 4), aErrParam);
  EXPECT_EQ(entity_.awaitUEI32Val(1, nullptr, 0), aErrParam);
  uei odd{};
  odd.type = 3;  // no such value type
  EXPECT_EQ(entity_.getUEI(1, &odd), aErrParam);
  EXPECT_TRUE(requests().empty());
}

TEST_F(EntityTest, RequestsNeedAConnectedLinkAndAModuleAddress) {
  uint8_t u8 = 0;
  module_->setModuleAddress(3);
  EXPECT_EQ(entity_.getUEI8(1, &u8), aErrPacket);
  module_->setModuleAddress(0);
  EXPECT_EQ(entity_.setUEI8(1, 1), aErrPacket);
  module_->setModuleAddress(kAddress);
  ASSERT_EQ(module_->disconnect(), aErrNone);
  EXPECT_EQ(entity_.getUEI8(1, &u8), aErrConnection);
  EXPECT_EQ(entity_.callUEI(1), aErrConnection);
}

// --- values -------------------------------------------------------------------------------------

TEST_F(EntityTest, EveryWidthOnTheWireAndBack) {
  setOption(1, Value(kvsim::UeiType::U8, 0xA5));
  setOption(2, Value(kvsim::UeiType::U16, 0xBEEF));
  setOption(3, Value(kvsim::UeiType::U32, 0x01020304));
  setOption(4, Value(kvsim::UeiType::U32, 0x11223344), 7);  // subindexed
  setOption(5, Value(kvsim::UeiType::U8, 0x3C), 2);
  setOption(6, Value(kvsim::UeiType::U16, 0x5A5A), 9);

  struct Case {
    const char* what;
    std::function<aErr(EntityClass&, uint32_t*)> call;
    Bytes request;
    uint32_t value;  // decoded by a get, or the value the module holds after a set
    uint8_t option;
    int subindex;  // -1: none
  };
  const Case cases[] = {
      {"get 8",
       [](EntityClass& e, uint32_t* v) {
         uint8_t o = 0;
         aErr r = e.getUEI8(1, &o);
         *v = o;
         return r;
       },
       {kCommand, 0x41, kSpec},
       0xA5,
       1,
       -1},
      {"get 16",
       [](EntityClass& e, uint32_t* v) {
         uint16_t o = 0;
         aErr r = e.getUEI16(2, &o);
         *v = o;
         return r;
       },
       {kCommand, 0x42, kSpec},
       0xBEEF,
       2,
       -1},
      {"get 32",
       [](EntityClass& e, uint32_t* v) { return e.getUEI32(3, v); },
       {kCommand, 0x43, kSpec},
       0x01020304,
       3,
       -1},
      {"get 32 of a subindex",
       [](EntityClass& e, uint32_t* v) { return e.getUEI32(4, 7, v); },
       {kCommand, 0x44, kSpec, 7},
       0x11223344,
       4,
       7},
      {"get 8 of a subindex",
       [](EntityClass& e, uint32_t* v) {
         uint8_t o = 0;
         aErr r = e.getUEI8(5, 2, &o);
         *v = o;
         return r;
       },
       {kCommand, 0x45, kSpec, 2},
       0x3C,
       5,
       2},
      {"get 16 of a subindex",
       [](EntityClass& e, uint32_t* v) {
         uint16_t o = 0;
         aErr r = e.getUEI16(6, 9, &o);
         *v = o;
         return r;
       },
       {kCommand, 0x46, kSpec, 9},
       0x5A5A,
       6,
       9},
      {"narrow reply to a wide get",
       [](EntityClass& e, uint32_t* v) { return e.getUEI32(1, v); },
       {kCommand, 0x41, kSpec},
       0xA5,
       1,
       -1},
      {"set 8",
       [](EntityClass& e, uint32_t*) { return e.setUEI8(1, 0x5A); },
       {kCommand, 0x81, kSpec, 0x5A},
       0x5A,
       1,
       -1},
      {"set 16",
       [](EntityClass& e, uint32_t*) { return e.setUEI16(2, 0x1234); },
       {kCommand, 0x82, kSpec, 0x12, 0x34},
       0x1234,
       2,
       -1},
      {"set 32",
       [](EntityClass& e, uint32_t*) { return e.setUEI32(3, 0xCAFEF00D); },
       {kCommand, 0x83, kSpec, 0xCA, 0xFE, 0xF0, 0x0D},
       0xCAFEF00D,
       3,
       -1},
      {"set 32 of a subindex",
       [](EntityClass& e, uint32_t*) { return e.setUEI32(4, 7, 0x0A0B0C0D); },
       {kCommand, 0x84, kSpec, 7, 0x0A, 0x0B, 0x0C, 0x0D},
       0x0A0B0C0D,
       4,
       7},
      {"set 8 of a subindex",
       [](EntityClass& e, uint32_t*) { return e.setUEI8(5, 2, 0x77); },
       {kCommand, 0x85, kSpec, 2, 0x77},
       0x77,
       5,
       2},
      {"set 16 of a subindex",
       [](EntityClass& e, uint32_t*) { return e.setUEI16(6, 9, 0x0102); },
       {kCommand, 0x86, kSpec, 9, 0x01, 0x02},
       0x0102,
       6,
       9},
  };
  for (const Case& c : cases) {
    uint32_t value = 0;
    ASSERT_EQ(c.call(entity_, &value), aErrNone) << c.what;
    EXPECT_EQ(requests().back(), c.request) << c.what;
    const bool isSet = (c.request[1] & 0x80) != 0;
    if (!isSet) {
      EXPECT_EQ(value, c.value) << c.what;
      continue;
    }
    const uint32_t held = sim_.withStore([&](kvsim::UeiStore& store) {
      return store.option(kCommand, kIndex, c.option, c.subindex)->number;
    });
    EXPECT_EQ(held, c.value) << c.what;
  }
}

TEST_F(EntityTest, CommandWithoutValue) {
  kvsim::UeiValue command;
  command.readable = false;
  command.writable = true;
  setOption(9, command);
  ASSERT_EQ(entity_.callUEI(9), aErrNone);
  EXPECT_EQ(requests().back(), (Bytes{kCommand, 0x89, kSpec}));
  const unsigned calls = sim_.withStore([](kvsim::UeiStore& store) {
    return store.calls().at({kCommand, kIndex, 9});
  });
  EXPECT_EQ(calls, 1u);
}

// Replies scripted for one get; then a well-formed reply to a second get must be the one the
// second get takes (the first reply left nothing behind).
TEST_F(EntityTest, ErrorAndMalformedRepliesNeverReadAsAValue) {
  auto script = sim_.script(kCommand);
  struct Case {
    const char* what;
    Bytes reply;
    aErr expected;
  };
  const Case cases[] = {
      {"module error 29", {kCommand, 5, kIndex | 0x80, 0x1D}, static_cast<aErr>(29)},
      {"error reply without a code", {kCommand, 5, kIndex | 0x80}, aErrUnknown},
      {"error reply with code 0", {kCommand, 5, kIndex | 0x80, 0x00}, aErrUnknown},
      {"6 data bytes", {kCommand, 5, kIndex, 1, 2, 3}, aErrSize},
      {"8 data bytes", {kCommand, 5, kIndex, 1, 2, 3, 4, 5}, aErrSize},
      {"bits 5 and 6 of the specifier are not looked at",
       {kCommand, 5, kIndex | 0x60, 0x42},
       aErrNone},
  };
  for (const Case& c : cases) {
    sim_.withCore([&](kvsim::ModuleCore&) {
      script->replies.push_back({{own_, c.reply}});
      script->replies.push_back({{own_, {kCommand, 5, kIndex, 0, 0, 0, 9}}});
    });
    uint32_t value = 0xFEEDFACE;
    EXPECT_EQ(entity_.getUEI32(5, &value), c.expected) << c.what;
    EXPECT_EQ(value, c.expected == aErrNone ? 0x42u : 0xFEEDFACEu) << c.what;
    uint32_t next = 0;
    EXPECT_EQ(entity_.getUEI32(5, &next), aErrNone) << c.what;
    EXPECT_EQ(next, 9u) << c.what;
  }
  // A set acknowledged with an error reply answers the code.
  sim_.withCore([&](kvsim::ModuleCore&) {
    script->replies.push_back({{own_, {kCommand, 5 | 0xC0, kIndex | 0x80, 0x07}}});
  });
  EXPECT_EQ(entity_.setUEI8(5, 1), aErrMode);
}

TEST_F(EntityTest, RepliesOfOtherSendersAndOtherOptionsAreNotTaken) {
  auto script = sim_.script(kCommand);
  sim_.withCore([&](kvsim::ModuleCore&) {
    script->replies.push_back({
        {8, {kCommand, 5, kIndex, 0x11}},      // another module
        {own_, {kCommand, 6, kIndex, 0x22}},   // another option
        {own_, {kCommand, 5, 2, 0x33}},        // another index
        {own_, {kCommand, 5 | 0xC0, kIndex}},  // a set acknowledgement
        {own_, {kCommand, 5, kIndex, 0x44}},   // the reply
    });
  });
  uint8_t value = 0;
  EXPECT_EQ(entity_.getUEI8(5, &value), aErrNone);
  EXPECT_EQ(value, 0x44);
}

TEST_F(EntityTest, NoReplyTimesOutAfterOneSecondAndLeavesTheOutputAlone) {
  sim_.script(kCommand);  // never answers
  uint16_t value = 0x1234;
  const auto start = Clock::now();
  EXPECT_EQ(entity_.getUEI16(5, &value), aErrTimeout);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, Ms(1000));
  EXPECT_LT(waited, Ms(2000));
  EXPECT_EQ(value, 0x1234);
}

TEST_F(EntityTest, StaleRepliesAreDroppedBeforeTheNextRequest) {
  setOption(5, Value(kvsim::UeiType::U32, 100));
  sim_.withStore([](kvsim::UeiStore& store) {
    store.setFault(kCommand, kIndex, 5, kvsim::UeiFault::Duplicate, 1);
  });
  uint32_t value = 0;
  ASSERT_EQ(entity_.getUEI32(5, &value), aErrNone);
  EXPECT_EQ(value, 100u);
  // The duplicate is still queued; the value changes meanwhile.
  sim_.inject(*module_->getLink(), {});
  setOption(5, Value(kvsim::UeiType::U32, 200));
  ASSERT_EQ(entity_.getUEI32(5, &value), aErrNone);
  EXPECT_EQ(value, 200u);

  // A late acknowledgement does not acknowledge the next set.
  auto script = sim_.script(kCommand);
  sim_.inject(*module_->getLink(), {{own_, {kCommand, 5 | 0xC0, kIndex}}});
  EXPECT_EQ(entity_.setUEI32(5, 1), aErrTimeout);

  // drainUEI drops what a get would take.
  sim_.inject(*module_->getLink(), {{own_, {kCommand, 5, kIndex, 1}}});
  EXPECT_EQ(entity_.drainUEI(5), aErrNone);
  EXPECT_EQ(entity_.awaitUEI32Val(5, &value, 0), aErrTimeout);
}

TEST_F(EntityTest, UnrequestedValueIsAwaitedWithoutSendingAnything) {
  const size_t before = requests().size();
  sim_.inject(*module_->getLink(), {{own_, {kCommand, 7, kIndex, 0x00, 0x00, 0x01, 0x02}}});
  uint32_t value = 0;
  EXPECT_EQ(entity_.awaitUEI32Val(7, &value, 0), aErrNone);
  EXPECT_EQ(value, 0x102u);
  sim_.inject(*module_->getLink(), {{own_, {kCommand, 7, kIndex | 0x80, 0x03}}});
  EXPECT_EQ(entity_.awaitUEI32Val(7, &value, 0), aErrNotFound);
  EXPECT_EQ(requests().size(), before);
}

TEST_F(EntityTest, EntityStoreOperationsAddressCommand92) {
  struct Case {
    const char* what;
    aErr (EntityClass::*call)();
    uint8_t option;
  };
  const Case cases[] = {
      {"save", &EntityClass::saveEntityToStore, 0},
      {"factory defaults", &EntityClass::resetEntityToFactoryDefaults, 1},
      {"load", &EntityClass::loadEntityFromStore, 2},
  };
  EntityClass system;
  ASSERT_EQ(system.init(module_.get(), 3, 0), aErrNone);
  for (const Case& c : cases) {
    ASSERT_EQ((system.*c.call)(), aErrNone) << c.what;
    EXPECT_EQ(sim_.received(92).back(),
              (Bytes{92, static_cast<uint8_t>(c.option | 0x80), 0x20, 0x00, 0x00, 0x03, 0x00}))
        << c.what;
  }
  ASSERT_EQ(entity_.saveEntityToStore(), aErrNone);
  EXPECT_EQ(sim_.received(92).back(), (Bytes{92, 0x80, 0x20, 0x00, 0x00, kCommand, kIndex}));
}

// --- byte strings -------------------------------------------------------------------------------

// Splits the module's record of a string set into its chunks' string bytes, checking each
// header and sequence byte on the way.
Bytes Reassemble(const std::vector<Bytes>& chunks, uint8_t option) {
  Bytes all;
  for (size_t i = 0; i < chunks.size(); ++i) {
    const Bytes& chunk = chunks[i];
    EXPECT_GE(chunk.size(), 4u);
    EXPECT_LE(chunk.size(), 28u);
    EXPECT_EQ(chunk[0], kCommand);
    EXPECT_EQ(chunk[1], option | 0x80);
    EXPECT_EQ(chunk[2], kSpec);
    const bool last = i + 1 == chunks.size();
    const uint8_t sequence = static_cast<uint8_t>((i & 0x7F) | (last ? 0 : 0x80));
    EXPECT_EQ(chunk.back(), sequence) << "chunk " << i;
    if (!last) {
      EXPECT_EQ(chunk.size(), 28u) << "chunk " << i;
    }
    all.insert(all.end(), chunk.begin() + 3, chunk.end() - 1);
  }
  return all;
}

TEST_F(EntityTest, StringsOfEveryChunkingGoOutAndComeBack) {
  const size_t lengths[] = {0, 1, 24, 25, 60, 1000, 1001, 3073};
  uint8_t option = 10;
  for (size_t length : lengths) {
    SCOPED_TRACE("length " + std::to_string(length));
    const Bytes sent = Pattern(length, static_cast<uint8_t>(length));
    setOption(option, String({0xEE}));
    const size_t before = requests().size();
    ASSERT_EQ(entity_.setUEIBytes(option, sent.data(), sent.size()), aErrNone);
    std::vector<Bytes> chunks = requests();
    chunks.erase(chunks.begin(), chunks.begin() + static_cast<std::ptrdiff_t>(before));
    const size_t expectedChunks = length == 0 ? 1 : (length + 23) / 24;
    EXPECT_EQ(chunks.size(), expectedChunks);
    EXPECT_EQ(Reassemble(chunks, option), sent);
    EXPECT_EQ(stored(option).bytes, sent);

    Bytes back(length + 1, 0xCC);
    size_t count = 99;
    ASSERT_EQ(entity_.getUEIBytes(option, back.data(), back.size(), &count), aErrNone);
    EXPECT_EQ(count, length);
    EXPECT_EQ(Bytes(back.begin(), back.begin() + static_cast<std::ptrdiff_t>(count)), sent);
    EXPECT_EQ(back[length], 0xCC);  // nothing past the string
    EXPECT_EQ(requests().back(), (Bytes{kCommand, static_cast<uint8_t>(option | 0x40), kSpec}));
    ++option;
  }
}

TEST_F(EntityTest, StringThatFillsTheBufferExactlyAndOneThatDoesNot) {
  const Bytes text = Pattern(60);
  setOption(10, String(text));
  Bytes buffer(60);
  size_t count = 0;
  ASSERT_EQ(entity_.getUEIBytes(10, buffer.data(), buffer.size(), &count), aErrNone);
  EXPECT_EQ(count, 60u);
  EXPECT_EQ(buffer, text);

  Bytes small(59, 0);
  EXPECT_EQ(entity_.getUEIBytes(10, small.data(), small.size(), &count), aErrMemory);
  EXPECT_EQ(count, 48u);  // the two chunks that fitted
  EXPECT_EQ(Bytes(small.begin(), small.begin() + 48), Bytes(text.begin(), text.begin() + 48));
}

TEST_F(EntityTest, RestOfAFailedStringDoesNotMixIntoTheNextOne) {
  const Bytes first = Pattern(120, 1);
  const Bytes second = Pattern(120, 2);
  setOption(10, String(first));
  Bytes buffer(60);
  size_t count = 0;
  EXPECT_EQ(entity_.getUEIBytes(10, buffer.data(), buffer.size(), &count), aErrMemory);
  // Everything the module sent for the first get has arrived once an echo comes back.
  const uint8_t ping[1] = {1};
  ASSERT_EQ(module_->debug(ping, 1), aErrNone);
  setOption(10, String(second));
  Bytes whole(200);
  ASSERT_EQ(entity_.getUEIBytes(10, whole.data(), whole.size(), &count), aErrNone);
  ASSERT_EQ(count, second.size());
  EXPECT_EQ(Bytes(whole.begin(), whole.begin() + 120), second);
}

TEST_F(EntityTest, MalformedChunksAndErrorRepliesEndAStringGet) {
  auto script = sim_.script(kCommand);
  struct Case {
    const char* what;
    std::vector<kvsim::Packet> replies;
    aErr expected;
    size_t count;
  };
  const Case cases[] = {
      {"chunk shorter than its header", {{kAddress, {kCommand, 10, kIndex}}}, aErrPacket, 0},
      {"short chunk after a good one",
       {{kAddress, {kCommand, 10, kIndex, 'a', 'b', 0x80}}, {kAddress, {kCommand, 10, kIndex}}},
       aErrPacket,
       2},
      {"error reply", {{kAddress, {kCommand, 10, kIndex | 0x80, 0x1D}}}, static_cast<aErr>(29), 0},
      {"error reply with code 0",
       {{kAddress, {kCommand, 10, kIndex | 0x80, 0x00}}},
       aErrUnknown,
       0},
      {"chunk out of sequence", {{kAddress, {kCommand, 10, kIndex, 'x', 0x01}}}, aErrTimeout, 0},
  };
  for (const Case& c : cases) {
    sim_.withCore([&](kvsim::ModuleCore&) { script->replies.push_back(c.replies); });
    uint8_t buffer[32];
    size_t count = 99;
    EXPECT_EQ(entity_.getUEIBytes(10, buffer, sizeof buffer, &count), c.expected) << c.what;
    EXPECT_EQ(count, c.count) << c.what;
  }
  // Nothing of the failed gets is left to answer this one.
  sim_.withCore([&](kvsim::ModuleCore&) {
    script->replies.push_back({{kAddress, {kCommand, 10, kIndex, 'o', 'k', 0x00}}});
  });
  uint8_t buffer[32];
  size_t count = 0;
  ASSERT_EQ(entity_.getUEIBytes(10, buffer, sizeof buffer, &count), aErrNone);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(buffer[0], 'o');
}

// The module takes a string's chunks without answering; the test acknowledges it a while
// after the last chunk arrived.
TEST_F(EntityTest, AcknowledgementWaitGrowsWithTheString) {
  struct Case {
    size_t length;
    Ms ackAfter;
    aErr expected;
  };
  const Case cases[] = {
      {1000, kSlowAck, aErrTimeout},
      {1001, kSlowAck, aErrNone},
      {3073, kSlowAck, aErrNone},
  };
  auto script = sim_.script(kCommand);  // takes chunks, answers nothing
  for (const Case& c : cases) {
    SCOPED_TRACE("length " + std::to_string(c.length));
    const Bytes text = Pattern(c.length);
    const size_t chunks = (c.length + 23) / 24;
    const size_t before = requests().size();
    Clock::time_point returned;
    auto result = std::async(std::launch::async, [&] {
      const aErr sent = entity_.setUEIBytes(12, text.data(), text.size());
      returned = Clock::now();
      return sent;
    });
    ASSERT_TRUE(sim_.awaitReceived(kCommand, before + chunks));
    const auto lastChunk = Clock::now();
    std::this_thread::sleep_for(c.ackAfter);
    sim_.withCore([&](kvsim::ModuleCore& core) {
      core.sendPacket({own_, {kCommand, 12 | 0xC0, kIndex}});
    });
    EXPECT_EQ(result.get(), c.expected);
    if (c.expected == aErrNone) {
      EXPECT_GE(returned - lastChunk, c.ackAfter);  // it took this acknowledgement
    } else {
      EXPECT_LT(returned - lastChunk, c.ackAfter);  // it gave up before it
    }
    // A late acknowledgement is queued before the next case starts (which must drop it).
    sim_.inject(*module_->getLink(), {});
  }
}

TEST_F(EntityTest, VeryLongStringWaitsForTheWriterAndForItsAcknowledgement) {
  // 1250 chunks: more than the link's output queue holds.
  const Bytes text = Pattern(30000);
  setOption(13, String({}));
  auto result = std::async(std::launch::async,
                           [&] { return entity_.setUEIBytes(13, text.data(), text.size()); });
  ASSERT_TRUE(apitest::Eventually([&] { return stored(13).bytes.size() == text.size(); }));
  EXPECT_EQ(stored(13).bytes, text);
  EXPECT_EQ(result.get(), aErrNone);

  // The same string acknowledged late, after the least wait of a large string.
  auto script = sim_.script(kCommand);
  const size_t before = requests().size();
  auto late = std::async(std::launch::async,
                         [&] { return entity_.setUEIBytes(13, text.data(), text.size()); });
  ASSERT_TRUE(sim_.awaitReceived(kCommand, before + 1250));
  std::this_thread::sleep_for(kVerySlowAck);
  sim_.withCore([&](kvsim::ModuleCore& core) {
    core.sendPacket({own_, {kCommand, 13 | 0xC0, kIndex}});
  });
  EXPECT_EQ(late.get(), aErrNone);
  std::vector<Bytes> chunks = requests();
  chunks.erase(chunks.begin(), chunks.begin() + static_cast<std::ptrdiff_t>(before));
  EXPECT_EQ(Reassemble(chunks, 13), text);
}

TEST_F(EntityTest, ByteCountCheck) {
  struct Case {
    size_t count;
    size_t unit;
    aErr expected;
    size_t after;
  };
  const Case cases[] = {
      {8, 4, aErrNone, 2}, {6, 4, aErrMemory, 6}, {0, 4, aErrNone, 0},
      {5, 1, aErrNone, 5}, {5, 0, aErrParam, 5},
  };
  for (const Case& c : cases) {
    size_t count = c.count;
    EXPECT_EQ(entity_.getUEIBytesCheck(&count, c.unit), c.expected) << c.count << "/" << c.unit;
    EXPECT_EQ(count, c.after) << c.count << "/" << c.unit;
  }
  EXPECT_EQ(entity_.getUEIBytesCheck(nullptr, 4), aErrParam);
}

}  // namespace
