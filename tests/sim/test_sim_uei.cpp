// UEI values, module queries and the echo of the stand-in module, checked byte for byte
// against the module's request and reply layouts.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "exchange_test_support.h"
#include "sim_module_core.h"
#include "sim_uei.h"

namespace {

using kvsim::Bytes;
using kvsim::ModuleConfig;
using kvsim::ModuleCore;
using kvsim::Packet;
using kvsim::UeiFault;
using kvsim::UeiStore;
using kvsim::UeiType;
using kvsim::UeiValue;

constexpr uint8_t kAddress = 4;
constexpr uint8_t kTestCommand = 50;

struct Fixture : ::testing::Test {
  Fixture() : core(config()), store(UeiStore::attach(core)) { store->addSystemEntity(); }
  static ModuleConfig config() {
    ModuleConfig c;
    c.address = kAddress;
    c.serial = 0x01020304;
    return c;
  }
  std::vector<Packet> ask(const Bytes& data) {
    core.receive(Packet{kAddress, data}.wire());
    return kvsim::sentPackets(core);
  }
  ModuleCore core;
  std::shared_ptr<UeiStore> store;
};

using SimUei = Fixture;

struct WidthCase {
  UeiType type;
  uint32_t value;
  Bytes setRequest;
  Bytes getReply;
};

TEST_F(SimUei, GetsAndSetsEachWidthInTheWireLayout) {
  const WidthCase cases[] = {
      {UeiType::None, 0, {kTestCommand, 0x85, 0x21}, {kTestCommand, 5}},
      {UeiType::U8, 0xAB, {kTestCommand, 0x85, 0x21, 0xAB}, {kTestCommand, 5, 1, 0xAB}},
      {UeiType::U16,
       0xABCD,
       {kTestCommand, 0x85, 0x21, 0xAB, 0xCD},
       {kTestCommand, 5, 1, 0xAB, 0xCD}},
      {UeiType::U32,
       0x01ABCDEF,
       {kTestCommand, 0x85, 0x21, 0x01, 0xAB, 0xCD, 0xEF},
       {kTestCommand, 5, 1, 0x01, 0xAB, 0xCD, 0xEF}},
  };
  for (const WidthCase& c : cases) {
    UeiValue value;
    value.type = c.type;
    value.writable = true;
    store->setOption(kTestCommand, 1, 5, value);
    auto ack = ask(c.setRequest);
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(ack[0].address, kAddress);
    EXPECT_EQ(ack[0].data, (Bytes{kTestCommand, 0xC5, 1}));
    if (c.type == UeiType::None) {
      EXPECT_EQ(store->calls().at({kTestCommand, 1, 5}), 1u);
      continue;
    }
    auto reply = ask({kTestCommand, 0x45, 0x21});
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].data, c.getReply);
  }
}

TEST_F(SimUei, SystemEntityAnswersIdentityAndSubindexedWords) {
  auto serial = ask({3, 9 | 0x40, 0x20});
  ASSERT_EQ(serial.size(), 1u);
  EXPECT_EQ(serial[0].data, (Bytes{3, 9, 0, 0x01, 0x02, 0x03, 0x04}));
  auto model = ask({3, 8 | 0x40, 0x20});
  ASSERT_EQ(model.size(), 1u);
  EXPECT_EQ(model[0].data, (Bytes{3, 8, 0, 0x11}));
  auto word = ask({3, 39 | 0x40, 0x20, 2});
  ASSERT_EQ(word.size(), 1u);
  EXPECT_EQ(word[0].data, (Bytes{3, 39, 0, 0x10, 0x20, 0x30, 0x42}));
  auto reset = ask({3, 11 | 0x80, 0x20});
  ASSERT_EQ(reset.size(), 1u);
  EXPECT_EQ(reset[0].data, (Bytes{3, 11 | 0xC0, 0}));
  auto save = ask({92, 0x80, 0x20, 0x00, 0x00, 0x03, 0x00});
  ASSERT_EQ(save.size(), 1u);
  EXPECT_EQ(save[0].data, (Bytes{92, 0xC0, 0}));
  EXPECT_EQ(store->option(92, 0, 0)->number, 0x300u);
}

struct ErrorCase {
  const char* what;
  Bytes request;
  Bytes reply;
};

TEST_F(SimUei, ErrorRepliesCarryBit7AndTheCode) {
  const ErrorCase cases[] = {
      {"unknown option", {3, 44 | 0x40, 0x20}, {3, 44, 0x80, kvsim::kUeiErrNotFound}},
      {"set of read-only",
       {3, 0x80 | 9, 0x20, 1, 2, 3, 4},
       {3, 9 | 0xC0, 0x80, kvsim::kUeiErrMode}},
      {"get of set-only", {3, 20 | 0x40, 0x20}, {3, 20, 0x80, kvsim::kUeiErrMode}},
      {"wrong width", {3, 0x80 | 3, 0x20, 0, 5}, {3, 3 | 0xC0, 0x80, kvsim::kUeiErrSize}},
      {"other index", {3, 8 | 0x40, 0x21}, {3, 8, 0x81, kvsim::kUeiErrNotFound}},
  };
  for (const ErrorCase& c : cases) {
    auto reply = ask(c.request);
    ASSERT_EQ(reply.size(), 1u) << c.what;
    EXPECT_EQ(reply[0].data, c.reply) << c.what;
  }
}

// Reassembles chunks as a host does: numbers in order, bit 7 while more follow.
bool reassemble(const std::vector<Packet>& chunks, Bytes* out) {
  out->clear();
  uint8_t expected = 0;
  for (size_t i = 0; i < chunks.size(); ++i) {
    const Bytes& d = chunks[i].data;
    if (d.size() < 4 || (d.back() & 0x7F) != expected) return false;
    out->insert(out->end(), d.begin() + 3, d.end() - 1);
    expected = static_cast<uint8_t>((expected + 1) & 0x7F);
    bool more = d.back() & 0x80;
    if (more != (i + 1 < chunks.size())) return false;
  }
  return !chunks.empty();
}

class SimUeiBytes : public Fixture, public ::testing::WithParamInterface<size_t> {};

TEST_P(SimUeiBytes, StringsGoBothWaysInNumberedChunks) {
  size_t length = GetParam();
  Bytes text(length);
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<uint8_t>(i * 7 + 1);
  // Set: chunks of 24 bytes, the acknowledgement only after the last one.
  std::vector<Bytes> chunks = kvsim::ueiChunks(3, 32 | 0x80, 0x20, text);
  EXPECT_EQ(chunks.size(), length == 0 ? 1u : (length + 23) / 24);
  for (size_t i = 0; i < chunks.size(); ++i) {
    auto reply = ask(chunks[i]);
    if (i + 1 < chunks.size()) {
      EXPECT_TRUE(reply.empty());
      continue;
    }
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].data, (Bytes{3, 32 | 0xC0, 0}));
  }
  EXPECT_EQ(store->option(3, 0, 32)->bytes, text);
  // Get: the same bytes back.
  auto replies = ask({3, 32 | 0x40, 0x20});
  Bytes got;
  ASSERT_TRUE(reassemble(replies, &got));
  EXPECT_EQ(got, text);
  for (const Packet& chunk : replies) EXPECT_LE(chunk.data.size(), 28u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, SimUeiBytes, ::testing::Values(0, 1, 24, 25, 1000, 1001, 3073));

TEST_F(SimUei, ChunkLayoutAndSequenceWrap) {
  Bytes text(25, 0xEE);
  auto chunks = kvsim::ueiChunks(3, 32, 0, text);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0].size(), 28u);
  EXPECT_EQ(chunks[0].back(), 0x80);
  EXPECT_EQ(chunks[1], (Bytes{3, 32, 0, 0xEE, 0x01}));
  EXPECT_EQ(kvsim::ueiChunks(3, 32, 0, {}), (std::vector<Bytes>{{3, 32, 0, 0x00}}));
  auto many = kvsim::ueiChunks(3, 32, 0, Bytes(3073));
  ASSERT_EQ(many.size(), 129u);
  EXPECT_EQ(many[127].back(), 0xFF);
  EXPECT_EQ(many[128].back(), 0x00);
}

TEST_F(SimUei, SetChunkOutOfSequenceIsRefused) {
  auto chunks = kvsim::ueiChunks(3, 32 | 0x80, 0x20, Bytes(60, 1));
  EXPECT_TRUE(ask(chunks[0]).empty());
  auto reply = ask(chunks[2]);
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0].data, (Bytes{3, 32 | 0xC0, 0x80, kvsim::kUeiErrSequence}));
}

TEST_F(SimUei, FaultKnobs) {
  const Bytes get{3, 8 | 0x40, 0x20};
  const Bytes good{3, 8, 0, 0x11};

  store->setFault(3, 0, 8, UeiFault::WrongLength, 1);
  EXPECT_EQ(ask(get).at(0).data, (Bytes{3, 8, 0, 0x11, 0x00}));
  EXPECT_EQ(ask(get).at(0).data, good);  // one exchange only

  store->setFault(3, 0, 8, UeiFault::ErrorCode, 1, 0x1D);
  EXPECT_EQ(ask(get).at(0).data, (Bytes{3, 8, 0x80, 0x1D}));

  store->setFault(3, 0, 8, UeiFault::OtherAddress, 1, 6);
  EXPECT_EQ(ask(get).at(0).address, 6);

  store->setFault(3, 0, 8, UeiFault::Duplicate, 1);
  auto twice = ask(get);
  ASSERT_EQ(twice.size(), 2u);
  EXPECT_EQ(twice[0].data, good);
  EXPECT_EQ(twice[1].data, good);

  store->setFault(3, 0, 8, UeiFault::Late, 1);
  EXPECT_TRUE(ask(get).empty());
  auto next = ask({3, 9 | 0x40, 0x20});
  ASSERT_EQ(next.size(), 2u);
  EXPECT_EQ(next[0].data, good);
  EXPECT_EQ(next[1].data[1], 9);

  store->setFault(3, 0, 8, UeiFault::Silence, kvsim::kEvery);
  EXPECT_TRUE(ask(get).empty());
  EXPECT_TRUE(ask(get).empty());
  EXPECT_EQ(ask({3, 9 | 0x40, 0x20}).size(), 1u);  // other options still answer
}

TEST_F(SimUei, OutOfSequenceChunks) {
  store->setFault(3, 0, 32, UeiFault::OutOfSequence, 2);
  auto swapped = ask({3, 32 | 0x40, 0x20});  // 15 bytes: one chunk
  ASSERT_EQ(swapped.size(), 1u);
  EXPECT_EQ(swapped[0].data.back(), 0x01);
  UeiValue longer;
  longer.type = UeiType::String;
  longer.bytes = Bytes(30, 9);
  store->setOption(3, 0, 32, longer);
  auto pair = ask({3, 32 | 0x40, 0x20});
  ASSERT_EQ(pair.size(), 2u);
  EXPECT_EQ(pair[0].data.back(), 0x01);
  EXPECT_EQ(pair[1].data.back(), 0x80);
  Bytes got;
  EXPECT_FALSE(reassemble(pair, &got));
}

struct QueryCase {
  Bytes request;
  Bytes reply;
};

TEST_F(SimUei, ModuleQueriesAndEcho) {
  store->setBuild(0x1234);
  store->setSubClassQuantity(3, 1, 2);
  store->setEntityGroup(3, 0, 7);
  const QueryCase cases[] = {
      {{0x49, 0xFF}, {0x49, 0xFF, 0, 0, 0x12, 0x34}},
      {{0x49, 1, 3, 9, 0, 0x40}, {0x49, 1, 3, 9, 0, 0}},
      {{0x49, 1, 3, 9, 0, 0x80}, {0x49, 1, 3, 9, 0, 1}},
      {{0x49, 1, 3, 39, 0, 0}, {0x49, 1, 3, 39, 0, 0}},
      {{0x49, 1, 95, 10, 0, 0x80}, {0x49, 1, 95, 10, 0, 1}},
      {{0x49, 4, 3}, {0x49, 4, 3, 1}},
      {{0x49, 5, 3, 1}, {0x49, 5, 3, 1, 2}},
      {{0x49, 6, 3, 0}, {0x49, 6, 3, 0, 7}},
      {{23, 1, 2, 3}, {23, 1, 2, 3}},
  };
  for (const QueryCase& c : cases) {
    auto reply = ask(c.request);
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].address, kAddress);
    EXPECT_EQ(reply[0].data, c.reply);
  }
}

TEST_F(SimUei, AddressProbeAnswersFromTheModuleAddress) {
  core.receive(Bytes{0xAD, 0x00});
  auto reply = kvsim::sentPackets(core);
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(reply[0].address, kAddress);
  EXPECT_TRUE(reply[0].data.empty());
}

}  // namespace
