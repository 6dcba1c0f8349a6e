// The stand-in module's upgrade entity driven with raw packets as the updater sends them:
// the loader phase into the application, the firmware phase into the loader's flash (DATA
// packets and UEI byte strings), REBOOT, the scripted drops and come-backs, and what each
// fault knob does to the replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim_module_core.h"
#include "sim_uei.h"
#include "sim_upgrade.h"
#include "support.h"

namespace {

using kvsim::AfterLoad;
using kvsim::Bytes;
using kvsim::ModuleConfig;
using kvsim::ModuleCore;
using kvsim::ReturnAs;
using kvsim::SimMemory;
using kvsim::UeiStore;
using kvsim::UpgradeAction;
using kvsim::UpgradeConfig;
using kvsim::UpgradeFault;
using kvsim::UpgradePersona;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint8_t kAddress = 6;
constexpr uint32_t kSerial = 0x1234ABCD;
constexpr uint8_t kCmd = 0x5F;
constexpr size_t kDataPayload = 26;   // payload bytes per DATA packet
constexpr size_t kChunkPayload = 24;  // payload bytes per byte-string chunk

// --- The host's side, written from the packet layouts -----------------------------------------

struct Reply {
  uint8_t address;
  Bytes data;
};

Bytes frame(const Bytes& data) {
  Bytes wire(2 + data.size());
  wire[0] = kAddress;
  wire[1] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), wire.begin() + 2);
  return wire;
}

std::vector<Reply> cut(const Bytes& stream) {
  std::vector<Reply> replies;
  for (size_t i = 0; i + 2 <= stream.size();) {
    size_t length = stream[i + 1];
    replies.push_back(
        {stream[i], Bytes(stream.begin() + static_cast<std::ptrdiff_t>(i + 2),
                          stream.begin() + static_cast<std::ptrdiff_t>(i + 2 + length))});
    i += 2 + length;
  }
  return replies;
}

Bytes word(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

Bytes join(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

Bytes prepareRequest(uint8_t flags, uint32_t address) {
  return join({kCmd, 3, flags}, word(address));
}
Bytes dataRequest(const Bytes& payload) { return join({kCmd, 1}, payload); }
Bytes writeRequest(size_t length) {
  return {kCmd, 5, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
}
const Bytes kInit{kCmd, 0};
const Bytes kLoad{kCmd, 2};
const Bytes kSum{kCmd, 4};
const Bytes kReboot{kCmd, 6};
const Bytes kWriteOk{kCmd, 7, 0};

Bytes sumReply(uint8_t status, uint32_t sum) { return join({kCmd, 7, status}, word(sum)); }
Bytes prepareReply(uint8_t status, uint16_t blockSize) {
  return {kCmd, 7, status, static_cast<uint8_t>(blockSize >> 8), static_cast<uint8_t>(blockSize)};
}

// The chunks of a UEI byte-string set of option 10, index 0.
std::vector<Bytes> ueiDataChunks(const Bytes& bytes) {
  std::vector<Bytes> chunks;
  size_t sent = 0;
  unsigned number = 0;
  do {
    size_t n = std::min(bytes.size() - sent, kChunkPayload);
    Bytes chunk{kCmd, 0x80 | 10, 0x20};
    chunk.insert(chunk.end(), bytes.begin() + static_cast<std::ptrdiff_t>(sent),
                 bytes.begin() + static_cast<std::ptrdiff_t>(sent + n));
    sent += n;
    chunk.push_back(static_cast<uint8_t>((number++ & 0x7F) | (sent < bytes.size() ? 0x80 : 0)));
    chunks.push_back(chunk);
  } while (sent < bytes.size());
  return chunks;
}

uint32_t byteSum(const Bytes& bytes) {
  uint32_t sum = 0;
  for (uint8_t byte : bytes) sum += byte;
  return sum;
}

Bytes pattern(size_t length, uint8_t seed) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return bytes;
}

Bytes slice(const Bytes& bytes, size_t at, size_t length) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
               bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
}

enum class Transfer { DataPackets, UeiBytes };

struct SimUpgrade : ::testing::Test {
  void make(UpgradeConfig config = {}) {
    ModuleConfig module;
    module.address = kAddress;
    module.serial = kSerial;
    core = std::make_unique<ModuleCore>(module);
    core->startConnection();
    store = UeiStore::attach(*core);
    store->addSystemEntity();
    persona = UpgradePersona::attach(*core, store, config);
  }

  Bytes output() {
    Bytes all;
    for (const kvsim::Segment& segment : core->takeSegments())
      all.insert(all.end(), segment.bytes.begin(), segment.bytes.end());
    return all;
  }

  std::vector<Reply> ask(const Bytes& data) {
    core->receive(frame(data));
    return cut(output());
  }

  // The one reply's data; a failure when there is none or more than one.
  Bytes askOne(const Bytes& data) {
    auto replies = ask(data);
    EXPECT_EQ(replies.size(), 1u) << kvsim::toHex(data);
    if (replies.size() != 1) return {};
    EXPECT_EQ(replies[0].address, kAddress);
    return replies[0].data;
  }

  // One block transfer as the updater makes it, every reply checked.
  void transfer(const Bytes& payload, Transfer how) {
    if (how == Transfer::DataPackets) {
      for (size_t at = 0; at < payload.size(); at += kDataPayload) {
        size_t n = std::min(kDataPayload, payload.size() - at);
        ASSERT_EQ(askOne(dataRequest(slice(payload, at, n))),
                  (Bytes{kCmd, 1, static_cast<uint8_t>(n)}));
      }
      return;
    }
    auto chunks = ueiDataChunks(payload);
    for (size_t i = 0; i + 1 < chunks.size(); ++i)
      ASSERT_TRUE(ask(chunks[i]).empty()) << "chunk " << i << " answered before the last";
    ASSERT_EQ(askOne(chunks.back()), (Bytes{kCmd, 0xC0 | 10, 0x00}));
  }

  // A firmware block: PREPARE, then per chunk a transfer, SUM and WRITE.
  void firmwareBlock(uint32_t address, const Bytes& payload, Transfer how, uint8_t flags = 0) {
    uint16_t blockSize = kvsim::kDefaultBlockSize;
    ASSERT_EQ(askOne(prepareRequest(flags, address)), prepareReply(0, blockSize));
    for (size_t at = 0; at < payload.size(); at += blockSize) {
      Bytes chunk = slice(payload, at, std::min<size_t>(blockSize, payload.size() - at));
      transfer(chunk, how);
      ASSERT_EQ(askOne(kSum), sumReply(0, byteSum(chunk)));
      ASSERT_EQ(askOne(writeRequest(chunk.size())), kWriteOk);
    }
  }

  void loadAndStay() { ASSERT_EQ(askOne(kLoad), kLoad); }

  std::unique_ptr<ModuleCore> core;
  std::shared_ptr<UeiStore> store;
  std::shared_ptr<UpgradePersona> persona;
};

// --- Loader phase --------------------------------------------------------------------------------

TEST_F(SimUpgrade, ApplicationTakesTheLoaderBlocksAndStartsTheLoader) {
  make();
  const uint32_t first = 0x20000000, second = 0x20001000;
  const Bytes a = pattern(30, 1), b = pattern(100, 9);

  EXPECT_EQ(askOne(kInit), join({kCmd, 0}, word(kvsim::kDefaultLoadBase)));
  EXPECT_EQ(askOne(prepareRequest(2, first)), prepareReply(0, kvsim::kDefaultBlockSize));
  // 30 bytes go as 26 and 4; SUM answers the sum of all 30.
  EXPECT_EQ(askOne(dataRequest(slice(a, 0, 26))), (Bytes{kCmd, 1, 26}));
  EXPECT_EQ(askOne(dataRequest(slice(a, 26, 4))), (Bytes{kCmd, 1, 4}));
  EXPECT_EQ(askOne(kSum), sumReply(0, byteSum(a)));
  EXPECT_EQ(askOne(prepareRequest(0, second)), prepareReply(0, kvsim::kDefaultBlockSize));
  transfer(b, Transfer::DataPackets);
  EXPECT_EQ(askOne(kSum), sumReply(0, byteSum(b)));
  EXPECT_EQ(persona->mode(), UpgradePersona::Mode::Application);
  EXPECT_EQ(askOne(kLoad), kLoad);

  EXPECT_EQ(persona->mode(), UpgradePersona::Mode::Loader);
  EXPECT_EQ(persona->loaderMemory().read(first, a.size()), a);
  EXPECT_EQ(persona->loaderMemory().read(second, b.size()), b);
  EXPECT_EQ(persona->loaderMemory().regions().size(), 2u);
  EXPECT_TRUE(persona->flash().empty());
  ASSERT_EQ(persona->prepared().size(), 2u);
  EXPECT_EQ(persona->prepared()[0].address, first);
  EXPECT_EQ(persona->prepared()[0].flags, 2);
  EXPECT_FALSE(persona->prepared()[0].loader);
  // Staying: nothing for the front end to do, however long it waits.
  EXPECT_TRUE(persona->poll(Clock::now() + std::chrono::hours(1)).empty());
  EXPECT_FALSE(persona->nextDue());
}

TEST_F(SimUpgrade, EachPersonaLeavesTheOtherOnesRequestsUnanswered) {
  make();
  for (const Bytes& request : {writeRequest(0), kReboot})
    EXPECT_TRUE(ask(request).empty()) << "application answered " << kvsim::toHex(request);
  loadAndStay();
  for (const Bytes& request : {kInit, kLoad})
    EXPECT_TRUE(ask(request).empty()) << "loader answered " << kvsim::toHex(request);
  EXPECT_EQ(persona->mode(), UpgradePersona::Mode::Loader);
}

// --- Firmware phase ------------------------------------------------------------------------------

TEST_F(SimUpgrade, LoaderWritesEachChunkIntoFlashAtItsBlocksAddress) {
  for (Transfer how : {Transfer::DataPackets, Transfer::UeiBytes}) {
    SCOPED_TRACE(how == Transfer::DataPackets ? "DATA" : "DATA_UEI");
    make();
    loadAndStay();
    // 1000 bytes in chunks of 256, 256, 256 and 232; a second block of 256 + 44 elsewhere.
    const Bytes image1 = pattern(1000, 3), image2 = pattern(300, 77);
    firmwareBlock(0x00001000, image1, how, 5);
    firmwareBlock(0x00008000, image2, how);

    SimMemory expected;
    expected.write(0x00001000, image1);
    expected.write(0x00008000, image2);
    EXPECT_EQ(persona->flash(), expected);
    ASSERT_EQ(persona->prepared().size(), 2u);
    EXPECT_EQ(persona->prepared()[0].flags, 5);
    EXPECT_TRUE(persona->prepared()[0].loader);
    EXPECT_TRUE(persona->loaderMemory().empty());
  }
}

TEST_F(SimUpgrade, APrepareAgainStartsTheBlockFromItsAddress) {
  make();
  loadAndStay();
  const Bytes first = pattern(256, 1), retry = pattern(256, 50);
  ASSERT_EQ(askOne(prepareRequest(0, 0x4000)), prepareReply(0, 256));
  transfer(first, Transfer::DataPackets);
  ASSERT_EQ(askOne(kSum), sumReply(0, byteSum(first)));
  ASSERT_EQ(askOne(writeRequest(256)), kWriteOk);
  // A retry of the block: PREPARE again, and the chunk lands at the block's address again.
  firmwareBlock(0x4000, retry, Transfer::DataPackets);
  EXPECT_EQ(persona->flash().read(0x4000, 256), retry);
  EXPECT_EQ(persona->flash().read(0x4100, 1), Bytes{kvsim::kErasedByte});
}

struct RefusalCase {
  const char* what;
  std::vector<Bytes> before;  // requests whose replies are not looked at
  Bytes request;
  Bytes reply;
};

TEST_F(SimUpgrade, LoaderRefusesChunksItDoesNotHold) {
  const Bytes six = pattern(6, 1);
  const RefusalCase cases[] = {
      {"WRITE without PREPARE", {}, writeRequest(0), {kCmd, 7, kvsim::kUpgradeNoBlock}},
      {"SUM without PREPARE", {}, kSum, sumReply(kvsim::kUpgradeNoBlock, 0)},
      {"DATA without PREPARE", {}, dataRequest(six), {kCmd, 1, 0}},
      {"WRITE of another count",
       {prepareRequest(0, 0), dataRequest(six)},
       writeRequest(7),
       {kCmd, 7, kvsim::kUpgradeBadLength}},
      {"malformed WRITE", {prepareRequest(0, 0)}, {kCmd, 5, 0}, {kCmd, 7, kvsim::kUpgradeRefused}},
      {"malformed PREPARE", {}, {kCmd, 3, 0, 0, 0}, prepareReply(kvsim::kUpgradeRefused, 0)},
      {"chunk past the address space",
       {prepareRequest(0, 0xFFFFFFFC), dataRequest(six)},
       writeRequest(6),
       {kCmd, 7, kvsim::kUpgradeOutOfRange}},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    make();
    loadAndStay();
    for (const Bytes& request : c.before) ask(request);
    EXPECT_EQ(askOne(c.request), c.reply);
    EXPECT_TRUE(persona->flash().empty());
  }
}

TEST_F(SimUpgrade, DataBeyondTheBlockSizeIsNotTaken) {
  UpgradeConfig config;
  config.blockSize = 30;
  make(config);
  loadAndStay();
  ASSERT_EQ(askOne(prepareRequest(0, 0x100)), prepareReply(0, 30));
  EXPECT_EQ(askOne(dataRequest(pattern(26, 0))), (Bytes{kCmd, 1, 26}));
  EXPECT_EQ(askOne(dataRequest(pattern(5, 0))), (Bytes{kCmd, 1, 0}));  // 31 would not fit
  EXPECT_EQ(askOne(kSum), sumReply(0, byteSum(pattern(26, 0))));
  // The same for a byte string that would overflow the chunk.
  auto chunks = ueiDataChunks(pattern(5, 0));
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(askOne(chunks[0]), (Bytes{kCmd, 0xC0 | 10, 0x80, kvsim::kUeiErrSize}));
}

TEST_F(SimUpgrade, ByteStringChunksOutOfSequenceAreRefused) {
  make();
  loadAndStay();
  ASSERT_EQ(askOne(prepareRequest(0, 0x2000)), prepareReply(0, 256));
  auto chunks = ueiDataChunks(pattern(40, 1));
  ASSERT_EQ(chunks.size(), 2u);
  // The second chunk first: refused, and nothing of it is kept.
  EXPECT_EQ(askOne(chunks[1]), (Bytes{kCmd, 0xC0 | 10, 0x80, kvsim::kUeiErrSequence}));
  transfer(pattern(40, 1), Transfer::UeiBytes);
  EXPECT_EQ(askOne(kSum), sumReply(0, byteSum(pattern(40, 1))));
}

struct OfferCase {
  bool hasUei;
  bool pooled;
  uint8_t hasUeiAnswer;
  uint32_t features;
};

TEST_F(SimUpgrade, HasUeiAndThePooledPacketFeatureFollowTheConfig) {
  const OfferCase cases[] = {
      {true, true, 0, 0x80000000},
      {false, false, 1, 0x00000000},
  };
  for (const OfferCase& c : cases) {
    SCOPED_TRACE(c.hasUei);
    UpgradeConfig config;
    config.hasUei = c.hasUei;
    config.pooled = c.pooled;
    make(config);
    EXPECT_EQ(askOne({0x49, 1, kCmd, 10, 0, 0x80}), (Bytes{0x49, 1, kCmd, 10, 0, c.hasUeiAnswer}));
    EXPECT_EQ(askOne({3, 45 | 0x40, 0x20}), join({3, 45, 0}, word(c.features)));
    loadAndStay();
    ASSERT_EQ(askOne(prepareRequest(0, 0)), prepareReply(0, 256));
    auto chunks = ueiDataChunks(pattern(10, 0));
    if (c.hasUei)
      EXPECT_EQ(askOne(chunks[0]), (Bytes{kCmd, 0xC0 | 10, 0x00}));
    else
      EXPECT_EQ(askOne(chunks[0]), (Bytes{kCmd, 0xC0 | 10, 0x80, kvsim::kUeiErrNotFound}));
  }
}

TEST_F(SimUpgrade, PooledWritesOfManyPacketsAreAllAnswered) {
  make();
  loadAndStay();
  ASSERT_EQ(askOne(prepareRequest(0, 0x9000)), prepareReply(0, 256));
  // One transport write carrying a whole chunk as back-to-back byte-string chunks, then SUM
  // and WRITE, as the link's pooled writer puts them out.
  const Bytes chunk = pattern(256, 4);
  Bytes pooled;
  for (const Bytes& piece : ueiDataChunks(chunk)) pooled = join(pooled, frame(piece));
  pooled = join(join(pooled, frame(kSum)), frame(writeRequest(256)));
  core->receive(pooled);
  auto replies = cut(output());
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[0].data, (Bytes{kCmd, 0xC0 | 10, 0x00}));
  EXPECT_EQ(replies[1].data, sumReply(0, byteSum(chunk)));
  EXPECT_EQ(replies[2].data, kWriteOk);
  EXPECT_EQ(persona->flash().read(0x9000, 256), chunk);
}

// --- Drops and come-backs -----------------------------------------------------------------------

struct ScriptCase {
  const char* what;
  AfterLoad afterLoad;
  unsigned dropDelayMs;
  ReturnAs returnAs;
  bool answered;
  std::optional<uint32_t> returnSerial;
};

TEST_F(SimUpgrade, AfterLoadTheModuleAnswersDropsAndComesBackAsScripted) {
  constexpr unsigned kReturnMs = 200;
  const ScriptCase cases[] = {
      {"answer, drop later, same serial", AfterLoad::Drop, 40, ReturnAs::Same, true, kSerial},
      {"silent drop, default serial", AfterLoad::SilentDrop, 0, ReturnAs::DefaultSerial, false,
       kvsim::kDefaultSerial},
      {"silent drop, never back", AfterLoad::SilentDrop, 0, ReturnAs::Never, false, std::nullopt},
      {"answer, drop at once, never back", AfterLoad::Drop, 0, ReturnAs::Never, true, std::nullopt},
  };
  for (const ScriptCase& c : cases) {
    SCOPED_TRACE(c.what);
    UpgradeConfig config;
    config.afterLoad = c.afterLoad;
    config.dropDelayMs = c.dropDelayMs;
    config.returnAs = c.returnAs;
    config.returnMs = kReturnMs;
    make(config);
    Clock::time_point before = Clock::now();
    auto replies = ask(kLoad);
    Clock::time_point after = Clock::now();
    EXPECT_EQ(replies.size(), c.answered ? 1u : 0u);
    EXPECT_EQ(persona->mode(), UpgradePersona::Mode::Loader);

    milliseconds drop(c.dropDelayMs), back(c.dropDelayMs + kReturnMs);
    if (c.dropDelayMs > 0) {
      EXPECT_TRUE(persona->poll(before + drop - milliseconds(1)).empty());
    }
    auto dropped = persona->poll(after + drop);
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].kind, UpgradeAction::Kind::Drop);
    core->startConnection();
    EXPECT_TRUE(persona->poll(before + back - milliseconds(1)).empty());
    auto returned = persona->poll(after + back);
    if (!c.returnSerial) {
      EXPECT_TRUE(returned.empty());
      EXPECT_FALSE(persona->nextDue());
      continue;
    }
    ASSERT_EQ(returned.size(), 1u);
    EXPECT_EQ(returned[0].kind, UpgradeAction::Kind::ComeBack);
    EXPECT_EQ(returned[0].serial, *c.returnSerial);
    EXPECT_EQ(persona->serial(), *c.returnSerial);
    // The system entity reads the serial number it came back under.
    EXPECT_EQ(askOne({3, 9 | 0x40, 0x20}), join({3, 9, 0}, word(*c.returnSerial)));
  }
}

TEST_F(SimUpgrade, DropAndReturnFallDueTogetherWhenPolledLate) {
  UpgradeConfig config;
  config.afterLoad = AfterLoad::SilentDrop;
  config.returnMs = 50;
  make(config);
  ask(kLoad);
  ASSERT_TRUE(persona->nextDue());
  auto actions = persona->poll(Clock::now() + std::chrono::seconds(10));
  ASSERT_EQ(actions.size(), 2u);
  EXPECT_EQ(actions[0].kind, UpgradeAction::Kind::Drop);
  EXPECT_EQ(actions[1].kind, UpgradeAction::Kind::ComeBack);
}

TEST_F(SimUpgrade, AfterASilentDropTheLoaderAnnouncesItselfOnTheNewConnection) {
  for (bool announce : {true, false}) {
    SCOPED_TRACE(announce);
    UpgradeConfig config;
    config.afterLoad = AfterLoad::SilentDrop;
    config.returnMs = 0;
    config.announceOnReturn = announce;
    make(config);
    EXPECT_TRUE(ask(kLoad).empty());
    auto actions = persona->poll(Clock::now() + milliseconds(1));
    ASSERT_EQ(actions.size(), 2u);
    core->startConnection();
    // Nothing before the host's first packet on the new connection.
    EXPECT_TRUE(persona->poll(Clock::now() + std::chrono::seconds(10)).empty());
    EXPECT_TRUE(output().empty());

    core->receive(Bytes{0xAD, 0x00});  // the host's sync probe
    EXPECT_EQ(output(), (Bytes{kAddress, 0}));
    Clock::time_point seen = Clock::now();
    persona->poll(seen);
    EXPECT_TRUE(output().empty());
    persona->poll(seen + milliseconds(kvsim::kAnnounceDelayMs - 1));
    EXPECT_TRUE(output().empty());
    persona->poll(seen + milliseconds(kvsim::kAnnounceDelayMs));
    auto announced = cut(output());
    if (!announce) {
      EXPECT_TRUE(announced.empty());
      continue;
    }
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].address, kAddress);
    EXPECT_EQ(announced[0].data, kLoad);
    // Once only.
    persona->poll(seen + std::chrono::seconds(10));
    EXPECT_TRUE(output().empty());
  }
}

TEST_F(SimUpgrade, RebootDropsTheLinkAndTheApplicationComesBackWithTheNewFlash) {
  TempDir dir;
  UpgradeConfig config;
  config.afterLoad = AfterLoad::SilentDrop;
  config.returnAs = ReturnAs::DefaultSerial;
  config.announceOnReturn = false;
  config.returnMs = 100;
  config.rebootDropMs = 30;
  config.flashDumpPath = dir.file("flash.txt");
  make(config);
  ask(kLoad);
  persona->poll(Clock::now() + std::chrono::seconds(1));
  ASSERT_EQ(persona->serial(), kvsim::kDefaultSerial);
  core->startConnection();
  const Bytes image = pattern(700, 11);
  firmwareBlock(0x08000000, image, Transfer::DataPackets);

  Clock::time_point before = Clock::now();
  EXPECT_TRUE(ask(kReboot).empty());
  Clock::time_point after = Clock::now();
  EXPECT_EQ(persona->mode(), UpgradePersona::Mode::Application);
  EXPECT_TRUE(persona->poll(before + milliseconds(29)).empty());
  auto dropped = persona->poll(after + milliseconds(30));
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].kind, UpgradeAction::Kind::Drop);
  EXPECT_TRUE(persona->poll(before + milliseconds(129)).empty());
  auto returned = persona->poll(after + milliseconds(130));
  ASSERT_EQ(returned.size(), 1u);
  EXPECT_EQ(returned[0].kind, UpgradeAction::Kind::ComeBack);
  EXPECT_EQ(returned[0].serial, kSerial);  // its own serial number again

  EXPECT_EQ(persona->flash().read(0x08000000, image.size()), image);
  std::ifstream file(config.flashDumpPath);
  std::stringstream text;
  text << file.rdbuf();
  auto dumped = kvsim::parseMemoryDump(text.str());
  ASSERT_TRUE(dumped);
  EXPECT_EQ(*dumped, persona->flash());
  // The running application takes a new loader again.
  EXPECT_EQ(askOne(kInit).size(), 6u);
}

TEST_F(SimUpgrade, AFlashDumpThatCannotBeWrittenSaysWhere) {
  make();
  std::string error;
  EXPECT_FALSE(persona->writeFlashDump("/nonexistent-dir/flash.txt", &error));
  EXPECT_NE(error.find("/nonexistent-dir/flash.txt"), std::string::npos) << error;
}

// --- Fault knobs --------------------------------------------------------------------------------

struct FaultCase {
  UpgradeFault fault;
  int count;
  // Replies to PREPARE, DATA of 4 bytes, SUM and WRITE of 4 with the knob armed; an empty
  // reply stands for none.
  Bytes prepare, data, sum, write;
};

TEST_F(SimUpgrade, EachFaultKnobSpoilsItsRepliesForItsCountOnly) {
  const Bytes four{1, 2, 3, 4};
  const uint32_t s = byteSum(four);
  const Bytes okPrepare = prepareReply(0, 256), okData{kCmd, 1, 4}, okSum = sumReply(0, s);
  const FaultCase cases[] = {
      {UpgradeFault::WrongEcho,
       1,
       okPrepare,
       {kCmd, 1, 3},
       sumReply(0, 0),
       {kCmd, 7, kvsim::kUpgradeBadLength}},
      {UpgradeFault::LateSum, 1, okPrepare, okData, {}, kWriteOk},
      {UpgradeFault::PrepareError,
       1,
       prepareReply(kvsim::kUpgradeRefused, 0),
       {kCmd, 1, 0},
       sumReply(kvsim::kUpgradeNoBlock, 0),
       {kCmd, 7, kvsim::kUpgradeNoBlock}},
      {UpgradeFault::BlockSizeZero, 1, prepareReply(0, 0), okData, okSum, kWriteOk},
      {UpgradeFault::ShortStatus, 3, {kCmd, 7, 0, 1}, okData, slice(okSum, 0, 6), {kCmd, 7}},
      {UpgradeFault::SumMismatch, 1, okPrepare, okData, sumReply(0, s + 1), kWriteOk},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(kvsim::upgradeFaultName(c.fault));
    UpgradeConfig config;
    config.faults[c.fault] = c.count;
    make(config);
    loadAndStay();
    auto exchange = [&](const Bytes& request) {
      auto replies = ask(request);
      return replies.empty() ? Bytes{} : replies[0].data;
    };
    EXPECT_EQ(exchange(prepareRequest(0, 0x100)), c.prepare);
    EXPECT_EQ(exchange(dataRequest(four)), c.data);
    EXPECT_EQ(exchange(kSum), c.sum);
    EXPECT_EQ(exchange(writeRequest(4)), c.write);
    EXPECT_EQ(persona->faultCount(c.fault), 0);
    // Spent: the next block goes through untouched.
    EXPECT_EQ(exchange(prepareRequest(0, 0x200)), okPrepare);
    EXPECT_EQ(exchange(dataRequest(four)), okData);
    EXPECT_EQ(exchange(kSum), okSum);
    EXPECT_EQ(exchange(writeRequest(4)), kWriteOk);
    EXPECT_EQ(persona->flash().read(0x200, 4), four);
  }
}

TEST_F(SimUpgrade, AWrongEchoMakesTheResentBytesCountOnce) {
  UpgradeConfig config;
  config.faults[UpgradeFault::WrongEcho] = 1;
  make(config);
  loadAndStay();
  const Bytes payload = pattern(26, 8);
  ASSERT_EQ(askOne(prepareRequest(0, 0x3000)), prepareReply(0, 256));
  EXPECT_EQ(askOne(dataRequest(payload)), (Bytes{kCmd, 1, 25}));
  EXPECT_EQ(askOne(dataRequest(payload)), (Bytes{kCmd, 1, 26}));  // the same bytes again
  EXPECT_EQ(askOne(kSum), sumReply(0, byteSum(payload)));
  EXPECT_EQ(askOne(writeRequest(26)), kWriteOk);
  EXPECT_EQ(persona->flash().read(0x3000, 27), join(payload, {kvsim::kErasedByte}));
}

TEST_F(SimUpgrade, ALateSumReplyComesAfterTheHostsWait) {
  constexpr unsigned kLateMs = 1200;
  UpgradeConfig config;
  config.faults[UpgradeFault::LateSum] = kvsim::kEvery;
  config.lateMs = kLateMs;
  make(config);
  loadAndStay();
  const Bytes payload = pattern(20, 2);
  ASSERT_EQ(askOne(prepareRequest(0, 0)), prepareReply(0, 256));
  transfer(payload, Transfer::DataPackets);
  Clock::time_point before = Clock::now();
  EXPECT_TRUE(ask(kSum).empty());
  Clock::time_point after = Clock::now();
  ASSERT_TRUE(persona->nextDue());
  EXPECT_TRUE(persona->poll(before + milliseconds(kLateMs - 1)).empty());
  EXPECT_TRUE(output().empty());
  EXPECT_TRUE(persona->poll(after + milliseconds(kLateMs)).empty());  // no action, a reply
  auto late = cut(output());
  ASSERT_EQ(late.size(), 1u);
  EXPECT_EQ(late[0].data, sumReply(0, byteSum(payload)));
}

TEST_F(SimUpgrade, FaultKnobsCanBeArmedWhileRunning) {
  make();
  loadAndStay();
  persona->setFault(UpgradeFault::BlockSizeZero, 2);
  EXPECT_EQ(askOne(prepareRequest(0, 0)), prepareReply(0, 0));
  EXPECT_EQ(askOne(prepareRequest(0, 0)), prepareReply(0, 0));
  EXPECT_EQ(askOne(prepareRequest(0, 0)), prepareReply(0, 256));
}

// --- Memory and text forms ----------------------------------------------------------------------

TEST(SimMemory, JoinsTouchingRunsAndReadsGapsAsErased) {
  SimMemory memory;
  EXPECT_TRUE(memory.write(0x10, {1, 2, 3}));
  EXPECT_TRUE(memory.write(0x20, {9}));
  EXPECT_EQ(memory.regions().size(), 2u);
  EXPECT_TRUE(memory.write(0x13, {4, 5}));  // touches the first run
  EXPECT_EQ(memory.regions().size(), 2u);
  EXPECT_TRUE(memory.write(0x12, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xEF, 0xF0, 0xF1, 0xF2, 0xF3, 0xF4,
                                  0xF5, 0xF6, 0xF7}));  // overwrites and bridges to 0x20
  ASSERT_EQ(memory.regions().size(), 1u);
  EXPECT_EQ(memory.regions().begin()->first, 0x10u);
  EXPECT_EQ(memory.read(0x0E, 6), (Bytes{0xFF, 0xFF, 1, 2, 0xAA, 0xBB}));
  EXPECT_EQ(memory.read(0x1F, 3), (Bytes{0xF7, 9, 0xFF}));
  EXPECT_TRUE(memory.write(0xFFFFFFFE, {1, 2}));
  EXPECT_FALSE(memory.write(0xFFFFFFFE, {1, 2, 3}));
  EXPECT_EQ(memory.read(0xFFFFFFFF, 2), (Bytes{2, 0xFF}));
}

TEST(SimMemory, DumpsAsAddressedHexLinesAndReadsThemBack) {
  SimMemory memory;
  memory.write(0x1000, pattern(40, 0));
  memory.write(0xABCDEF00, {0x01, 0xFE});
  std::string text = kvsim::formatMemoryDump(memory);
  std::istringstream lines(text);
  std::string line;
  std::vector<std::string> all;
  while (std::getline(lines, line)) all.push_back(line);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].substr(0, 9), "00001000 ");
  EXPECT_EQ(all[0].size(), 9u + 64u);
  EXPECT_EQ(all[1].substr(0, 9), "00001020 ");
  EXPECT_EQ(all[2], "ABCDEF00 01FE");
  auto back = kvsim::parseMemoryDump(text);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, memory);
  for (const char* bad : {"1000 00", "00001000 0", "0000100G 00", "00001000-00", "FFFFFFFF 0102"})
    EXPECT_FALSE(kvsim::parseMemoryDump(bad)) << bad;
  EXPECT_TRUE(kvsim::parseMemoryDump(""));
}

TEST(SimUpgradeOptions, TextFormsSetTheConfigOrAreRefused) {
  UpgradeConfig config;
  EXPECT_TRUE(kvsim::parseAfterLoad("drop:250", &config));
  EXPECT_EQ(config.afterLoad, AfterLoad::Drop);
  EXPECT_EQ(config.dropDelayMs, 250u);
  EXPECT_TRUE(kvsim::parseAfterLoad("silent-drop", &config));
  EXPECT_EQ(config.afterLoad, AfterLoad::SilentDrop);
  EXPECT_TRUE(kvsim::parseAfterLoad("stay", &config));
  EXPECT_EQ(config.afterLoad, AfterLoad::Stay);
  EXPECT_TRUE(kvsim::parseReturnAs("deadbead", &config));
  EXPECT_EQ(config.returnAs, ReturnAs::DefaultSerial);
  EXPECT_TRUE(kvsim::parseReturnAs("never", &config));
  EXPECT_EQ(config.returnAs, ReturnAs::Never);
  EXPECT_TRUE(kvsim::parseUpgradeFault("late-sum:3", &config));
  EXPECT_EQ(config.faults[UpgradeFault::LateSum], 3);
  EXPECT_TRUE(kvsim::parseUpgradeFault("short-status", &config));
  EXPECT_EQ(config.faults[UpgradeFault::ShortStatus], kvsim::kEvery);
  for (UpgradeFault fault : kvsim::kAllUpgradeFaults)
    EXPECT_EQ(kvsim::upgradeFaultByName(kvsim::upgradeFaultName(fault)), fault);

  const UpgradeConfig before = config;
  for (const char* bad : {"drop", "drop:", "drop:-1", "drop:1x", "go"})
    EXPECT_FALSE(kvsim::parseAfterLoad(bad, &config)) << bad;
  for (const char* bad : {"", "Same", "dead"})
    EXPECT_FALSE(kvsim::parseReturnAs(bad, &config)) << bad;
  for (const char* bad : {"", "late", "late-sum:", "late-sum:x", "late-sum:-2"})
    EXPECT_FALSE(kvsim::parseUpgradeFault(bad, &config)) << bad;
  EXPECT_EQ(config.afterLoad, before.afterLoad);
  EXPECT_EQ(config.returnAs, before.returnAs);
  EXPECT_EQ(config.faults, before.faults);
}

}  // namespace
