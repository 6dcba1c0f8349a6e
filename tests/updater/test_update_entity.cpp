// The upgrade conversation (UpdaterEntity) against stand-in modules on the simulated USB bus:
// each request's bytes and the replies it takes or refuses (lengths, statuses, sums, late
// replies of earlier requests), DATA packets and their echoes, byte strings, the loader and
// firmware phases into the stand-in's memories, the reconnection after LOAD and the wait
// after REBOOT.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "UpdaterEntity.h"
#include "aError.h"
#include "update_test_support.h"

namespace {

using kvsim::Bytes;
using update_test::ReceivedRequests;
using update_test::RecordingDisplay;
using update_test::SimulatedUsb;
using update_test::StandIn;
using Zentrova::Kolvantis::Module;
using Zentrova::Kolvantis::VelnetConfig;
using Clock = std::chrono::steady_clock;

constexpr uint8_t CMD = 0x5F;
constexpr uint8_t INIT = 0, DATA = 1, LOAD = 2, PREPARE = 3, SUM = 4, WRITE = 5, REBOOT = 6,
                  STATUS = 7;
constexpr uint8_t DATA_UEI_SET = 0x80 | 10;
constexpr uint32_t BLOCK_ADDRESS = 0x00001000;
constexpr int SETTLE_MS = 200;  // ms for packets the stand-in sent to reach the host's queue

Bytes Word(uint32_t value) {
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

Bytes Join(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// A loader or firmware block's data: the address word, then the payload.
Bytes BlockData(uint32_t address, const Bytes& payload) { return Join(Word(address), payload); }

Bytes SumReply(uint8_t status, uint32_t sum) { return Join({CMD, STATUS, status}, Word(sum)); }

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// One stand-in module on the bus and a Module connected to it over USB, sharing off.
class EntityBench : public ::testing::Test {
 protected:
  void Start(const StandIn& standIn) {
    serial = standIn.serial;
    sim = &usb.add(standIn);
    module = std::make_unique<Module>(0, 0);
    VelnetConfig config;
    config.enabled = 0;
    config.fallback = 0;
    ASSERT_EQ(module->setConfig(config), aErrNone);
    ASSERT_EQ(module->connect(1, serial), aErrNone);
    ASSERT_EQ(module->getModuleAddress(), standIn.address);
    entity.init(module.get(), 0, true, false);
  }

  // A stand-in without the upgrade persona whose command-95 replies the script gives; the
  // script runs under the stand-in's lock.
  void StartScripted(std::function<std::vector<Bytes>(const Bytes& request)> script) {
    StandIn standIn;
    standIn.withUpgrade = false;
    Start(standIn);
    const uint8_t address = standIn.address;
    sim->withCore([script, address](kvsim::ModuleCore& core) {
      core.setHandler(CMD, [script, address](const kvsim::Packet& request) {
        std::vector<kvsim::Packet> replies;
        for (const Bytes& data : script(request.data))
          replies.push_back(kvsim::Packet{address, data});
        return replies;
      });
      return 0;
    });
  }

  // Replies sent by the stand-in of its own accord, which reach the host's queue before the
  // next request.
  void SendUnasked(const std::vector<Bytes>& replies) {
    const uint8_t address = module->getModuleAddress();
    sim->withCore([&](kvsim::ModuleCore& core) {
      for (const Bytes& data : replies) core.sendPacket(kvsim::Packet{address, data});
      return 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(SETTLE_MS));
  }

  template <typename F>
  auto Persona(F&& f) {
    return sim->withParts([&](kvsim::ModuleParts& parts) { return f(*parts.upgrade); });
  }

  SimulatedUsb usb;
  kvsim::SimUsbModule* sim = nullptr;
  std::unique_ptr<Module> module;
  UpdaterEntity entity;
  RecordingDisplay display;
  uint32_t serial = 0;
};

// --- Replies told apart by length and status, on a scripted stand-in ---------------------------

struct ReplyCase {
  const char* name;
  std::vector<Bytes> replies;  // sent in this order for the request
  aErr expected;
  uint16_t blockSize;  // PREPARE: the block size taken
};

void PrintTo(const ReplyCase& c, std::ostream* out) { *out << c.name; }

class InitReplies : public EntityBench, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(InitReplies, NeedsTheLoadBase) {
  const ReplyCase c = GetParam();
  StartScripted([c](const Bytes& request) {
    return request == Bytes{CMD, INIT} ? c.replies : std::vector<Bytes>{};
  });
  EXPECT_EQ(entity.LoaderInit(), c.expected);
  EXPECT_EQ(ReceivedRequests(*sim, INIT), (std::vector<Bytes>{{CMD, INIT}}));
}

INSTANTIATE_TEST_SUITE_P(
    Entity, InitReplies,
    ::testing::Values(ReplyCase{"six_bytes", {{CMD, INIT, 0x20, 0, 0, 0}}, aErrNone, 0},
                      ReplyCase{"five_bytes", {{CMD, INIT, 0x20, 0, 0}}, aErrPacket, 0},
                      ReplyCase{"none", {}, aErrTimeout, 0}),
    [](const auto& p) { return std::string(p.param.name); });

class PrepareReplies : public EntityBench, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(PrepareReplies, TakeOnlyAPrepareStatus) {
  const ReplyCase c = GetParam();
  StartScripted([c](const Bytes& request) {
    return request.size() > 1 && request[1] == PREPARE ? c.replies : std::vector<Bytes>{};
  });
  const Bytes block = BlockData(BLOCK_ADDRESS, Bytes(40, 0x11));
  uint16_t blockSize = 7;

  EXPECT_EQ(entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 5, blockSize),
            c.expected);

  EXPECT_EQ(blockSize, c.expected == aErrNone ? c.blockSize : 7);
  EXPECT_EQ(ReceivedRequests(*sim, PREPARE),
            (std::vector<Bytes>{{CMD, PREPARE, 5, 0x00, 0x00, 0x10, 0x00}}));
}

INSTANTIATE_TEST_SUITE_P(
    Entity, PrepareReplies,
    ::testing::Values(ReplyCase{"block_size", {{CMD, STATUS, 0, 0x01, 0x00}}, aErrNone, 256},
                      ReplyCase{"refused", {{CMD, STATUS, 1, 0x01, 0x00}}, aErrInvalidOption, 0},
                      ReplyCase{
                          "block_size_zero", {{CMD, STATUS, 0, 0x00, 0x00}}, aErrInvalidOption, 0},
                      ReplyCase{"short", {{CMD, STATUS, 0, 0x01}}, aErrPacket, 0},
                      ReplyCase{"late_sum_reply_first",
                                {SumReply(0, 0x0000FFFF), {CMD, STATUS, 0, 0x00, 0x80}},
                                aErrNone,
                                128},
                      ReplyCase{"late_write_reply_first",
                                {{CMD, STATUS, 0}, {CMD, STATUS, 0, 0x00, 0x40}},
                                aErrNone,
                                64},
                      ReplyCase{"only_a_late_sum_reply", {SumReply(0, 0x00000100)}, aErrTimeout, 0},
                      ReplyCase{"none", {}, aErrTimeout, 0}),
    [](const auto& p) { return std::string(p.param.name); });

// SUM after a loader block's DATA packets: the echoes are right, the SUM reply is the case's.
class SumReplies : public EntityBench, public ::testing::WithParamInterface<ReplyCase> {};

constexpr uint32_t PAYLOAD_SUM = 30 * 0x22;
TEST_P(SumReplies, MustAnswerTheByteSum) {
  const ReplyCase c = GetParam();
  StartScripted([c](const Bytes& request) -> std::vector<Bytes> {
    if (request.size() > 2 && request[1] == DATA)
      return {{CMD, DATA, static_cast<uint8_t>(request.size() - 2)}};
    if (request == Bytes{CMD, SUM}) return c.replies;
    return {};
  });
  const Bytes block = BlockData(BLOCK_ADDRESS, Bytes(30, 0x22));

  EXPECT_EQ(entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), c.expected);
  EXPECT_EQ(ReceivedRequests(*sim, SUM).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Entity, SumReplies,
    ::testing::Values(ReplyCase{"matching", {SumReply(0, PAYLOAD_SUM)}, aErrNone, 0},
                      ReplyCase{"other_sum", {SumReply(0, PAYLOAD_SUM + 1)}, aErrInvalidOption, 0},
                      ReplyCase{"bad_status", {SumReply(2, PAYLOAD_SUM)}, aErrInvalidOption, 0},
                      ReplyCase{"short", {{CMD, STATUS, 0, 0, 0, 0x03}}, aErrPacket, 0},
                      ReplyCase{"late_prepare_reply_first",
                                {{CMD, STATUS, 0, 0x01, 0x00}, SumReply(0, PAYLOAD_SUM)},
                                aErrNone,
                                0},
                      ReplyCase{"none", {}, aErrPacket, 0}),
    [](const auto& p) { return std::string(p.param.name); });

class WriteReplies : public EntityBench, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(WriteReplies, NeedAZeroStatus) {
  const ReplyCase c = GetParam();
  StartScripted([c](const Bytes& request) {
    return request.size() > 1 && request[1] == WRITE ? c.replies : std::vector<Bytes>{};
  });
  EXPECT_EQ(entity.FirmwareWrite(300), c.expected);
  EXPECT_EQ(ReceivedRequests(*sim, WRITE), (std::vector<Bytes>{{CMD, WRITE, 0x01, 0x2C}}));
}

INSTANTIATE_TEST_SUITE_P(
    Entity, WriteReplies,
    ::testing::Values(ReplyCase{"written", {{CMD, STATUS, 0}}, aErrNone, 0},
                      ReplyCase{"without_status", {{CMD, STATUS}}, aErrInvalidOption, 0},
                      ReplyCase{"refused", {{CMD, STATUS, 3}}, aErrInvalidOption, 0},
                      ReplyCase{
                          "late_sum_reply_first", {SumReply(0, 5), {CMD, STATUS, 0}}, aErrNone, 0},
                      ReplyCase{"late_prepare_reply_first",
                                {{CMD, STATUS, 0, 0x01, 0x00}, {CMD, STATUS, 0}},
                                aErrNone,
                                0},
                      ReplyCase{"none", {}, aErrInvalidOption, 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(EntityBench, RepliesLeftFromEarlierRequestsAreDroppedBeforeARequest) {
  StartScripted([](const Bytes& request) -> std::vector<Bytes> {
    if (request.size() > 1 && request[1] == PREPARE) return {{CMD, STATUS, 0, 0x01, 0x00}};
    if (request.size() > 2 && request[1] == DATA)
      return {{CMD, DATA, static_cast<uint8_t>(request.size() - 2)}};
    if (request == Bytes{CMD, SUM}) return {SumReply(0, 26 * 0x33)};
    return {};
  });
  // Replies that came after their requests had given up: each would answer the next request.
  SendUnasked({{CMD, STATUS, 0, 0x00, 0x10}, {CMD, DATA, 26}, SumReply(0, 0x12345678)});

  const Bytes block = BlockData(BLOCK_ADDRESS, Bytes(26, 0x33));
  uint16_t blockSize = 0;
  EXPECT_EQ(entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize),
            aErrNone);
  EXPECT_EQ(blockSize, 256);
  SendUnasked({{CMD, DATA, 26}, SumReply(0, 0x12345678)});
  EXPECT_EQ(entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), aErrNone);
}

// --- DATA packets and their echoes --------------------------------------------------------------

// A scripted loader that echoes DATA counts (wrongly while echoWrong says so) and answers SUM
// with the sum of the DATA bytes it took.
struct EchoScript {
  std::function<bool(size_t dataPacketNumber)> echoWrong;
  uint32_t sum = 0;
  size_t packets = 0;

  std::vector<Bytes> operator()(const Bytes& request) {
    if (request.size() > 2 && request[1] == DATA) {
      const size_t count = request.size() - 2;
      if (echoWrong(packets++)) return {{CMD, DATA, static_cast<uint8_t>(count - 1)}};
      for (size_t i = 2; i < request.size(); ++i) sum += request[i];
      return {{CMD, DATA, static_cast<uint8_t>(count)}};
    }
    if (request == Bytes{CMD, SUM}) {
      const uint32_t answer = sum;
      sum = 0;
      return {SumReply(0, answer)};
    }
    return {};
  }
};

std::vector<size_t> DataPacketSizes(kvsim::SimUsbModule& sim) {
  std::vector<size_t> sizes;
  for (const Bytes& data : ReceivedRequests(sim, DATA)) sizes.push_back(data.size() - 2);
  return sizes;
}

TEST_F(EntityBench, ThirtyBytesGoAsTwentySixAndFourThenOneSum) {
  auto script = std::make_shared<EchoScript>();
  script->echoWrong = [](size_t) { return false; };
  StartScripted([script](const Bytes& request) { return (*script)(request); });
  const Bytes payload = birdgen::PatternBytes(30, 7);
  const Bytes block = BlockData(BLOCK_ADDRESS, payload);

  EXPECT_EQ(entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), aErrNone);

  EXPECT_EQ(DataPacketSizes(*sim), (std::vector<size_t>{26, 4}));
  const std::vector<Bytes> data = ReceivedRequests(*sim, DATA);
  EXPECT_EQ(
      Join(Bytes(data[0].begin() + 2, data[0].end()), Bytes(data[1].begin() + 2, data[1].end())),
      payload);
  EXPECT_EQ(ReceivedRequests(*sim, SUM).size(), 1u);
}

TEST_F(EntityBench, AWrongEchoSendsTheSamePacketAgainAndTheSumCountsItOnce) {
  auto script = std::make_shared<EchoScript>();
  script->echoWrong = [](size_t n) { return n == 0; };
  StartScripted([script](const Bytes& request) { return (*script)(request); });
  const Bytes block = BlockData(BLOCK_ADDRESS, birdgen::PatternBytes(30, 9));

  EXPECT_EQ(entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), aErrNone);

  const std::vector<Bytes> data = ReceivedRequests(*sim, DATA);
  ASSERT_EQ(DataPacketSizes(*sim), (std::vector<size_t>{26, 26, 4}));
  EXPECT_EQ(data[0], data[1]);
}

TEST_F(EntityBench, AnEchoThatNeverMatchesEndsAfterThreeResends) {
  auto script = std::make_shared<EchoScript>();
  script->echoWrong = [](size_t) { return true; };
  StartScripted([script](const Bytes& request) { return (*script)(request); });
  const Bytes block = BlockData(BLOCK_ADDRESS, birdgen::PatternBytes(30, 9));

  EXPECT_EQ(entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), aErrPacket);

  EXPECT_EQ(DataPacketSizes(*sim), (std::vector<size_t>{26, 26, 26, 26}));
  EXPECT_TRUE(ReceivedRequests(*sim, SUM).empty());
}

TEST_F(EntityBench, ADataPacketWithoutEchoEndsTheTransferWithoutSum) {
  StartScripted([](const Bytes&) { return std::vector<Bytes>{}; });
  const Bytes block = BlockData(BLOCK_ADDRESS, birdgen::PatternBytes(60, 1));

  EXPECT_EQ(entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), aErrPacket);

  EXPECT_EQ(DataPacketSizes(*sim), (std::vector<size_t>{26}));
  EXPECT_TRUE(ReceivedRequests(*sim, SUM).empty());
}

// --- The conversation with the stand-in's upgrade persona ---------------------------------------

TEST_F(EntityBench, LoaderPhaseFillsTheLoaderMemoryAndLoadIsAnswered) {
  Start(StandIn{});
  const Bytes image = birdgen::PatternBytes(300, 3);
  const Bytes block = BlockData(0x20000000, image);
  uint16_t size = 0;

  ASSERT_EQ(entity.LoaderInit(), aErrNone);
  ASSERT_EQ(entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 2, size),
            aErrNone);
  ASSERT_EQ(entity.LoaderTransfer(block.data(), static_cast<uint32_t>(block.size())), aErrNone);
  ASSERT_EQ(entity.LoaderStart(), aErrNone);

  EXPECT_FALSE(entity.LoaderStartedOnReconnect());
  EXPECT_TRUE(module->isConnected());
  Persona([&](kvsim::UpgradePersona& persona) {
    EXPECT_EQ(persona.loaderMemory().read(0x20000000, image.size()), image);
    EXPECT_EQ(persona.mode(), kvsim::UpgradePersona::Mode::Loader);
    return 0;
  });
}

enum class Chunks { DataPackets, ByteStrings };

class FirmwarePhase : public EntityBench, public ::testing::WithParamInterface<Chunks> {};

TEST_P(FirmwarePhase, SendsChunksOfTheBlockSizeEachSummedAndWritten) {
  StandIn standIn;
  standIn.upgrade.startAsLoader = true;
  Start(standIn);
  if (GetParam() == Chunks::ByteStrings) {
    ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
    EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);
  }
  const Bytes image = birdgen::PatternBytes(1000, 5);
  const Bytes block = BlockData(0x00008000, image);  // L = 1004
  uint16_t blockSize = 0;

  ASSERT_EQ(entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize),
            aErrNone);
  ASSERT_EQ(blockSize, 256);
  ASSERT_EQ(entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), blockSize,
                                    display),
            aErrNone);

  EXPECT_EQ(ReceivedRequests(*sim, WRITE), (std::vector<Bytes>{{CMD, WRITE, 0x01, 0x00},
                                                               {CMD, WRITE, 0x01, 0x00},
                                                               {CMD, WRITE, 0x01, 0x00},
                                                               {CMD, WRITE, 0x00, 0xE8}}));
  EXPECT_EQ(ReceivedRequests(*sim, SUM).size(), 4u);
  ASSERT_EQ(display.fractions.size(), 4u);
  EXPECT_DOUBLE_EQ(display.fractions[0], 260.0 / 1004.0);
  EXPECT_DOUBLE_EQ(display.fractions[1], 516.0 / 1004.0);
  EXPECT_DOUBLE_EQ(display.fractions[2], 772.0 / 1004.0);
  EXPECT_DOUBLE_EQ(display.fractions[3], 1.0);
  EXPECT_EQ(display.progressSwitches, (std::vector<bool>{true, false}));
  if (GetParam() == Chunks::ByteStrings) {
    EXPECT_TRUE(ReceivedRequests(*sim, DATA).empty());
    EXPECT_FALSE(ReceivedRequests(*sim, DATA_UEI_SET).empty());
  } else {
    EXPECT_TRUE(ReceivedRequests(*sim, DATA_UEI_SET).empty());
    EXPECT_EQ(ReceivedRequests(*sim, DATA).size(),
              39u);  // 10 per chunk of 256, 9 for the last of 232
  }
  Persona([&](kvsim::UpgradePersona& persona) {
    EXPECT_EQ(persona.flash().read(0x00008000, image.size()), image);
    return 0;
  });
}

INSTANTIATE_TEST_SUITE_P(Entity, FirmwarePhase,
                         ::testing::Values(Chunks::DataPackets, Chunks::ByteStrings),
                         [](const auto& p) {
                           return std::string(p.param == Chunks::DataPackets ? "data_packets"
                                                                             : "byte_strings");
                         });

TEST_F(EntityBench, AModuleWithoutByteStringsKeepsDataPackets) {
  StandIn standIn;
  standIn.upgrade.startAsLoader = true;
  standIn.upgrade.hasUei = false;
  standIn.upgrade.pooled = false;
  Start(standIn);

  EXPECT_NE(entity.CheckUEIDataSupport(), aErrNone);
  EXPECT_EQ(entity.CheckPooledPacketsSupport(), aErrNone);
  const Bytes block = BlockData(0x00008000, birdgen::PatternBytes(100, 2));
  uint16_t blockSize = 0;
  ASSERT_EQ(entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize),
            aErrNone);
  ASSERT_EQ(entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), blockSize,
                                    display),
            aErrNone);

  EXPECT_EQ(DataPacketSizes(*sim), (std::vector<size_t>{26, 26, 26, 22}));
  EXPECT_TRUE(ReceivedRequests(*sim, DATA_UEI_SET).empty());
}

// Each fault knob of the stand-in ends the firmware block with a clear result, quickly.
struct KnobCase {
  kvsim::UpgradeFault fault;
  int count;
  bool afterPrepare;  // the knob is turned once PREPARE has been answered
  aErr prepare;       // TransferPrepare's result
  aErr transfer;      // FirmwareTransfer's, when PREPARE succeeded
};

void PrintTo(const KnobCase& c, std::ostream* out) {
  *out << kvsim::upgradeFaultName(c.fault) << " " << c.count
       << (c.afterPrepare ? " after PREPARE" : "");
}

class FaultKnobs : public EntityBench, public ::testing::WithParamInterface<KnobCase> {};

TEST_P(FaultKnobs, EndInAClearResult) {
  const KnobCase c = GetParam();
  StandIn standIn;
  standIn.upgrade.startAsLoader = true;
  standIn.upgrade.lateMs = 1500;
  if (!c.afterPrepare) standIn.upgrade.faults[c.fault] = c.count;
  Start(standIn);
  const Bytes block = BlockData(0x00008000, birdgen::PatternBytes(300, 4));
  uint16_t blockSize = 0;
  const auto start = Clock::now();

  const aErr prepared =
      entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize);
  EXPECT_EQ(prepared, c.prepare);
  if (c.afterPrepare)
    Persona([&](kvsim::UpgradePersona& persona) {
      persona.setFault(c.fault, c.count);
      return 0;
    });
  if (prepared == aErrNone) {
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), blockSize,
                                      display),
              c.transfer);
  }
  EXPECT_LT(Seconds(start), 10.0);

  // The next block goes through: nothing left over from the failure answers it.
  Persona([&](kvsim::UpgradePersona& persona) {
    persona.setFault(c.fault, 0);
    return 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));  // a late reply has come by now
  ASSERT_EQ(entity.TransferPrepare(block.data(), static_cast<uint32_t>(block.size()), 0, blockSize),
            aErrNone);
  EXPECT_EQ(entity.FirmwareTransfer(block.data(), static_cast<uint32_t>(block.size()), blockSize,
                                    display),
            aErrNone);
}

INSTANTIATE_TEST_SUITE_P(
    Entity, FaultKnobs,
    ::testing::Values(
        KnobCase{kvsim::UpgradeFault::WrongEcho, 1, false, aErrNone, aErrNone},
        KnobCase{kvsim::UpgradeFault::WrongEcho, kvsim::kEvery, false, aErrNone, aErrPacket},
        KnobCase{kvsim::UpgradeFault::LateSum, 1, false, aErrNone, aErrPacket},
        KnobCase{kvsim::UpgradeFault::PrepareError, 1, false, aErrInvalidOption, aErrNone},
        KnobCase{kvsim::UpgradeFault::BlockSizeZero, 1, false, aErrInvalidOption, aErrNone},
        KnobCase{kvsim::UpgradeFault::ShortStatus, 1, false, aErrPacket, aErrNone},
        KnobCase{kvsim::UpgradeFault::ShortStatus, 1, true, aErrNone, aErrPacket},
        KnobCase{kvsim::UpgradeFault::SumMismatch, 1, false, aErrNone, aErrInvalidOption}),
    [](const auto& p) {
      std::string name =
          std::string(kvsim::upgradeFaultName(p.param.fault)) + "_" +
          (p.param.count == kvsim::kEvery ? std::string("every") : std::to_string(p.param.count));
      if (p.param.afterPrepare) name += "_after_prepare";
      for (char& c : name)
        if (c == '-') c = '_';
      return name;
    });

// --- LOAD without an answer, and REBOOT ---------------------------------------------------------

struct ReturnCase {
  const char* name;
  kvsim::ReturnAs returnAs;
  aErr expected;
  bool connected;
  uint32_t serialAfter;
};

void PrintTo(const ReturnCase& c, std::ostream* out) { *out << c.name; }

class LoadWithoutAnswer : public EntityBench, public ::testing::WithParamInterface<ReturnCase> {};

TEST_P(LoadWithoutAnswer, ReconnectsAndTakesTheLoadersAnnouncement) {
  const ReturnCase c = GetParam();
  StandIn standIn;
  standIn.upgrade.afterLoad = kvsim::AfterLoad::SilentDrop;
  standIn.upgrade.returnAs = c.returnAs;
  standIn.upgrade.returnMs = 800;
  Start(standIn);
  ASSERT_EQ(entity.LoaderInit(), aErrNone);
  const auto start = Clock::now();

  EXPECT_EQ(entity.LoaderStart(), c.expected);

  EXPECT_LT(Seconds(start), 30.0);
  EXPECT_EQ(module->isConnected(), c.connected);
  EXPECT_EQ(entity.LoaderStartedOnReconnect(), c.expected == aErrNone);
  if (c.connected) {
    linkSpec spec = {};
    ASSERT_EQ(module->getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, 1u);
    EXPECT_EQ(spec.serialNumber, c.serialAfter);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Entity, LoadWithoutAnswer,
    ::testing::Values(ReturnCase{"same_serial", kvsim::ReturnAs::Same, aErrNone, true, 0x1234ABCD},
                      ReturnCase{"default_serial", kvsim::ReturnAs::DefaultSerial, aErrNone, true,
                                 0xDEADDEAD},
                      ReturnCase{"never", kvsim::ReturnAs::Never, aErrTimeout, false, 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(EntityBench, RebootWaitsForTheLinkToDrop) {
  StandIn standIn;
  standIn.upgrade.startAsLoader = true;
  Start(standIn);
  const auto start = Clock::now();

  EXPECT_EQ(entity.LoaderReboot(display), aErrNone);

  EXPECT_LT(Seconds(start), 5.0);
  EXPECT_FALSE(module->isConnected());
  EXPECT_EQ(ReceivedRequests(*sim, REBOOT), (std::vector<Bytes>{{CMD, REBOOT}}));
  EXPECT_GE(display.spinnerOn, 1);
  EXPECT_TRUE(display.errors.empty());
}

TEST_F(EntityBench, RebootThroughARouterLooksOnce) {
  StartScripted([](const Bytes&) { return std::vector<Bytes>{}; });
  entity.init(module.get(), 0, true, true);
  const auto start = Clock::now();

  EXPECT_EQ(entity.LoaderReboot(display), aErrNone);

  EXPECT_LT(Seconds(start), 1.0);
  EXPECT_EQ(display.spinnerOn, 1);
}

TEST_F(EntityBench, AModuleThatStaysConnectedAfterRebootIsReportedAfterThirtySeconds) {
  StartScripted([](const Bytes&) { return std::vector<Bytes>{}; });
  const auto start = Clock::now();

  EXPECT_EQ(entity.LoaderReboot(display), aErrTimeout);

  EXPECT_GE(Seconds(start), 29.5);
  EXPECT_LT(Seconds(start), 35.0);
  ASSERT_EQ(display.errors.size(), 1u);
  EXPECT_NE(display.errors[0].find("still connected 30 s"), std::string::npos) << display.errors[0];
}

TEST_F(EntityBench, ARebootThatCannotBeSentIsReportedWithWhatToDo) {
  StandIn standIn;
  standIn.upgrade.startAsLoader = true;
  Start(standIn);
  // The loader restarts by itself before REBOOT goes out.
  sim->drop();
  ASSERT_TRUE(update_test::Eventually([&] { return !module->isConnected(); }, 5000));

  EXPECT_NE(entity.LoaderReboot(display), aErrNone);

  EXPECT_TRUE(ReceivedRequests(*sim, REBOOT).empty());
  ASSERT_EQ(display.errors.size(), 1u);
  const std::string head =
      "The firmware of module [1234ABCD] is written in full, but the request to reboot could "
      "not be sent (";
  const std::string tail =
      "); check that it restarts with the new firmware, and power-cycle it if it does not";
  EXPECT_EQ(display.errors[0].compare(0, head.size(), head), 0) << display.errors[0];
  EXPECT_TRUE(
      display.errors[0].size() > head.size() + tail.size() &&
      display.errors[0].compare(display.errors[0].size() - tail.size(), tail.size(), tail) == 0)
      << display.errors[0];
}

TEST_F(EntityBench, RequestsOfAnUnboundEntityAnswerResource) {
  UpdaterEntity unbound;
  uint16_t size = 0;
  const Bytes block = BlockData(0, Bytes(4, 0));
  EXPECT_EQ(unbound.LoaderInit(), aErrResource);
  EXPECT_EQ(unbound.TransferPrepare(block.data(), 8, 0, size), aErrResource);
  EXPECT_EQ(unbound.FirmwareWrite(4), aErrResource);
}

}  // namespace
