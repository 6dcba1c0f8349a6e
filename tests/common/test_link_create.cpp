// Link creation, destruction and reset against the stand-in module: the sync handshake over
// TCP, a COBS-framed pty, a kernel-node pty and the simulated USB bus with every answer shape;
// recovery after each fault; use counts and reuse; resets (also with callers busy on the link)
// and destroy with waiters blocked on the link.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "aLink.h"
#include "aLinkTable.h"
#include "kvusb.h"
#include "link_test_support.h"
#include "sim_module_process.h"
#include "sim_usb_bus.h"
#include "sim_usb_module.h"
#include "support.h"

namespace {

using coretest::LinkGuard;
using kvsim::Bytes;
using kvsim::Direction;

// Pause between the tries of a poll, in ms.
constexpr int kPollMs = 5;
// Pause between packets put while waiting for a dropped connection to come back, in ms.
constexpr int kReconnectPutMs = 50;
// Idle wait of a simulated IN transfer, in ms (instead of the driver's 1000 ms).
constexpr unsigned kSimUsbIdleInMs = 20;
// Time given to a thread to settle into a wait that cannot be observed, in ms.
constexpr int kSettleMs = 50;

constexpr uint32_t kSerial = 0x0000ABCD;
constexpr uint8_t kAddress = 0x02;
const Bytes kProbe = {0xAD, 0x00};

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

bool Eventually(const std::function<bool()>& condition) {
  return coretest::Eventually(condition, kPollMs);
}

Bytes HeartbeatAnswer(uint8_t x) { return {kAddress, 0x02, 0x00, static_cast<uint8_t>(x + 2)}; }

enum class Transport { Tcp, CobsPty, NodePty, SimUsb };
enum class Shape { Normal, Coalesced, Split };

const char* Name(Transport transport) {
  switch (transport) {
    case Transport::Tcp:
      return "Tcp";
    case Transport::CobsPty:
      return "CobsPty";
    case Transport::NodePty:
      return "NodePty";
    case Transport::SimUsb:
      return "SimUsb";
  }
  return "?";
}

const char* Name(Shape shape) {
  switch (shape) {
    case Shape::Normal:
      return "Normal";
    case Shape::Coalesced:
      return "Coalesced";
    case Shape::Split:
      return "Split";
  }
  return "?";
}

// A stand-in module behind one transport, with the link made to it.
class Module {
 public:
  virtual ~Module() = default;
  virtual bool ready() = 0;
  virtual std::string error() = 0;
  // Creates the core link for the transport and completes the handshake: the link ID or 0.
  virtual uint32_t connect() = 0;
  // Control commands as the program takes them: "HB <x>", "FAULT <name> <n>", "DROP close".
  virtual bool control(const std::string& line) = 0;
  // How many packets with exactly these bytes the module received.
  virtual size_t received(const Bytes& bytes) = 0;

  bool awaitReceived(const Bytes& bytes, size_t count = 1) {
    return Eventually([&] { return received(bytes) >= count; });
  }
};

// The stand-in program over TCP, a COBS-framed pty or a pty behind a kernel-node path.
class ProcessModule : public Module {
 public:
  ProcessModule(Transport transport, Shape shape, const std::vector<std::string>& extra = {})
      : transport_(transport) {
    std::vector<std::string> arguments;
    switch (transport) {
      case Transport::Tcp:
        arguments = {"--tcp", "0"};
        break;
      case Transport::CobsPty:
        arguments = {"--pty", "--cobs"};
        break;
      default: {
        prefix_ = nodes_.file("kolvantis.");
        char node[16];
        std::snprintf(node, sizeof node, "%08X", static_cast<unsigned>(kSerial));
        arguments = {"--node", prefix_ + node};
        break;
      }
    }
    // Every other node path stays absent, so the USB transport never looks at real devices.
    kvusb_SetNodePrefix(prefix_.empty() ? nodes_.file("kolvantis.").c_str() : prefix_.c_str());
    if (shape == Shape::Coalesced) arguments.push_back("--coalesce");
    if (shape == Shape::Split) arguments.insert(arguments.end(), {"--split", "all"});
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<kvsim::SimModuleProcess>(arguments);
  }
  ~ProcessModule() override { kvusb_SetNodePrefix(nullptr); }

  bool ready() override { return sim_->ready(); }
  std::string error() override { return sim_->error(); }

  uint32_t connect() override {
    uint32_t id = 0;
    switch (transport_) {
      case Transport::Tcp:
        id = aLink_CreateTCPIP(kSerial, kLoopback, static_cast<uint16_t>(sim_->port()));
        break;
      case Transport::CobsPty:
        id = aLink_CreateSerial(kSerial, sim_->ptyPath().c_str(), 115200);
        break;
      default:
        return aLink_CreateUSB(kSerial);  // synchronises on its own
    }
    if (id != 0 && aLink_Sync(id) != aErrNone) aLink_Destroy(&id);
    return id;
  }

  bool control(const std::string& line) override { return sim_->command(line); }

  size_t received(const Bytes& bytes) override {
    return kvsim::countRecords(sim_->dump(), Direction::In, bytes);
  }

  kvsim::SimModuleProcess& sim() { return *sim_; }

 private:
  Transport transport_;
  TempDir nodes_;
  std::string prefix_;
  std::unique_ptr<kvsim::SimModuleProcess> sim_;
};

// The in-process module behind the simulated USB bus, installed as the driver's backend.
class UsbModule : public Module {
 public:
  explicit UsbModule(Shape shape, bool silent = false) : module_(Config(shape, silent)) {
    kvusb_SetNodePrefix(nodes_.file("kolvantis.").c_str());
    device_ = &bus_.addDevice(module_.deviceSpec(), module_);
    module_.attach(*device_);
    bus_.setIdleInWaitMs(kSimUsbIdleInMs);
    kvusb_SetBackend(&bus_);
  }
  ~UsbModule() override {
    kvusb_SetBackend(nullptr);
    kvusb_SetNodePrefix(nullptr);
  }

  bool ready() override { return true; }
  std::string error() override { return ""; }
  uint32_t connect() override { return aLink_CreateUSB(kSerial); }

  bool control(const std::string& line) override {
    std::istringstream words(line);
    std::string verb;
    words >> verb;
    if (verb == "HB") {
      int x = 0;
      words >> x;
      module_.withCore(
          [x](kvsim::ModuleCore& core) { core.sendHeartbeat(static_cast<uint8_t>(x)); });
      return true;
    }
    if (verb == "FAULT") {
      std::string name;
      int count = 0;
      words >> name >> count;
      const auto fault = kvsim::faultByName(name);
      if (!fault) return false;
      module_.withCore([&](kvsim::ModuleCore& core) { core.setFault(*fault, count); });
      return true;
    }
    return false;
  }

  size_t received(const Bytes& bytes) override {
    return module_.withCore([&](kvsim::ModuleCore& core) {
      size_t count = 0;
      for (const kvsim::Record& record : core.records()) {
        if (record.direction == Direction::In && record.bytes == bytes) ++count;
      }
      return count;
    });
  }

  kvsim::SimUsbModule& module() { return module_; }

 private:
  static kvsim::ModuleConfig Config(Shape shape, bool silent) {
    kvsim::ModuleConfig config;
    config.address = kAddress;
    config.serial = kSerial;
    config.coalesce = shape == Shape::Coalesced;
    config.silent = silent;
    if (shape == Shape::Split) config.faults[kvsim::Fault::Split] = kvsim::kEvery;
    return config;
  }

  TempDir nodes_;
  kvsim::SimUsbModule module_;
  kvsim::UsbBus bus_;
  kvsim::SimDevice* device_ = nullptr;
};

std::unique_ptr<Module> MakeModule(Transport transport, Shape shape) {
  if (transport == Transport::SimUsb) return std::make_unique<UsbModule>(shape);
  return std::make_unique<ProcessModule>(transport, shape);
}

// The module's heartbeat is answered: the link runs both ways.
void ExpectRoundTrip(Module& module, uint8_t x) {
  const size_t before = module.received(HeartbeatAnswer(x));
  ASSERT_TRUE(module.control("HB " + std::to_string(x))) << module.error();
  EXPECT_TRUE(module.awaitReceived(HeartbeatAnswer(x), before + 1));
}

// --- handshake matrix ----------------------------------------------------------------------------

struct MatrixCase {
  Transport transport;
  Shape shape;
};

class LinkHandshakeMatrix : public testing::TestWithParam<MatrixCase> {};

TEST_P(LinkHandshakeMatrix, CompletesAndRuns) {
  const MatrixCase& c = GetParam();
  std::unique_ptr<Module> module = MakeModule(c.transport, c.shape);
  ASSERT_TRUE(module->ready()) << module->error();
  LinkGuard link{module->connect()};
  ASSERT_NE(link.id, 0u);
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
  EXPECT_GE(module->received(kProbe), 2u);
  EXPECT_GE(module->received({0xAF, 0x01, 0x01}), 1u);  // force-route on
  ExpectRoundTrip(*module, 0);
  ExpectRoundTrip(*module, 1);
}

std::vector<MatrixCase> AllMatrixCases() {
  std::vector<MatrixCase> cases;
  for (Transport transport :
       {Transport::Tcp, Transport::CobsPty, Transport::NodePty, Transport::SimUsb}) {
    for (Shape shape : {Shape::Normal, Shape::Coalesced, Shape::Split}) {
      cases.push_back({transport, shape});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(AllTransports, LinkHandshakeMatrix, testing::ValuesIn(AllMatrixCases()),
                         [](const testing::TestParamInfo<MatrixCase>& param) {
                           return std::string(Name(param.param.transport)) +
                                  Name(param.param.shape);
                         });

// --- recovery after faults -----------------------------------------------------------------------

struct RecoveryCase {
  const char* name;
  Transport transport;
  const char* fault;  // fault knob armed for one packet; null: a dropped connection
};

class LinkRecovery : public testing::TestWithParam<RecoveryCase> {};

// The module's next packet goes out faulty; the link loses step, resynchronises and runs.
TEST_P(LinkRecovery, ResynchronisesAndRunsAgain) {
  const RecoveryCase& c = GetParam();
  std::unique_ptr<Module> module = MakeModule(c.transport, Shape::Normal);
  ASSERT_TRUE(module->ready()) << module->error();
  LinkGuard link{module->connect()};
  ASSERT_NE(link.id, 0u);
  const size_t probesBefore = module->received(kProbe);

  ASSERT_TRUE(module->control(std::string("FAULT ") + c.fault + " 1")) << module->error();
  ASSERT_TRUE(module->control("HB 0")) << module->error();
  // New probes, and then the handshake completes again.
  ASSERT_TRUE(module->awaitReceived(kProbe, probesBefore + 1));
  ASSERT_TRUE(Eventually([&] { return aLink_GetStatus(link.id) == aLINK_STATUS_RUNNING; }));
  ExpectRoundTrip(*module, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LinkRecovery,
    testing::Values(RecoveryCase{"TcpGarbage", Transport::Tcp, "garbage"},
                    RecoveryCase{"TcpOddAddress", Transport::Tcp, "odd-address"},
                    RecoveryCase{"TcpZeroAddress", Transport::Tcp, "zero-address"},
                    RecoveryCase{"TcpOversizeLength", Transport::Tcp, "oversize-length"},
                    RecoveryCase{"CobsGarbage", Transport::CobsPty, "garbage"},
                    RecoveryCase{"CobsBadFrame", Transport::CobsPty, "bad-frame"},
                    RecoveryCase{"CobsOddAddress", Transport::CobsPty, "odd-address"},
                    RecoveryCase{"NodeGarbage", Transport::NodePty, "garbage"},
                    RecoveryCase{"NodeOddAddress", Transport::NodePty, "odd-address"},
                    RecoveryCase{"UsbGarbage", Transport::SimUsb, "garbage"},
                    RecoveryCase{"UsbOddAddress", Transport::SimUsb, "odd-address"},
                    RecoveryCase{"UsbOversizeLength", Transport::SimUsb, "oversize-length"}),
    [](const testing::TestParamInfo<RecoveryCase>& param) {
      return std::string(param.param.name);
    });

// A TCP module that drops the connection (orderly or with a reset) and accepts again: the link
// reconnects and runs on.
TEST(LinkRecoveryTcp, RunsOnAfterTheModuleDropsTheConnection) {
  for (const char* mode : {"close", "reset"}) {
    SCOPED_TRACE(mode);
    ProcessModule module(Transport::Tcp, Shape::Normal);
    ASSERT_TRUE(module.ready()) << module.error();
    LinkGuard link{module.connect()};
    ASSERT_NE(link.id, 0u);
    ASSERT_TRUE(module.control(std::string("DROP ") + mode)) << module.error();

    const Bytes marker = {kAddress, 0x01, 0x5A};
    aPacket* packet = aPacket_CreateWithData(kAddress, 1, marker.data() + 2);
    ASSERT_TRUE(Eventually([&] {
      aLink_PutPacket(link.id, packet);
      std::this_thread::sleep_for(std::chrono::milliseconds(kReconnectPutMs));
      return module.received(marker) > 0;
    }));
    aPacket_Destroy(&packet);
    ASSERT_TRUE(Eventually([&] { return aLink_GetStatus(link.id) == aLINK_STATUS_RUNNING; }));
    ExpectRoundTrip(module, 0);
  }
}

// --- use counts and reuse ------------------------------------------------------------------------

TEST(LinkUseCount, TwoCreatesShareOneLinkAndTheSecondDestroyEndsIt) {
  UsbModule module(Shape::Normal);
  uint32_t first = module.connect();
  ASSERT_NE(first, 0u);
  uint32_t second = module.connect();
  EXPECT_EQ(second, first);
  const uint32_t id = first;

  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_RUNNING);
  ExpectRoundTrip(module, 0);

  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(aLink_GetStatus(id), aLINK_STATUS_NOSTREAM);
  EXPECT_EQ(sLookupEntryByID(id), nullptr);
  uint32_t third = id;
  EXPECT_EQ(aLink_Destroy(&third), aErrParam);
  EXPECT_EQ(third, 0u);

  // A new create makes a new link with a new ID.
  LinkGuard again{module.connect()};
  EXPECT_NE(again.id, 0u);
  EXPECT_NE(again.id, id);
}

TEST(LinkUseCount, TcpReuseIgnoresAddressAndPort) {
  ProcessModule module(Transport::Tcp, Shape::Normal);
  ASSERT_TRUE(module.ready()) << module.error();
  LinkGuard first{
      aLink_CreateTCPIP(kSerial, kLoopback, static_cast<uint16_t>(module.sim().port()))};
  ASSERT_NE(first.id, 0u);
  LinkGuard second{aLink_CreateTCPIP(kSerial, htonl(0x7F000002), 1)};
  EXPECT_EQ(second.id, first.id);
  aLinkEntryRef entry = sLookupEntryByID(first.id);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->useCount, 2);
}

TEST(LinkUseCount, UnsupportedBaudRateLeavesNoEntryAndASupportedOneWorks) {
  ProcessModule module(Transport::CobsPty, Shape::Normal);
  ASSERT_TRUE(module.ready()) << module.error();
  EXPECT_EQ(aLink_CreateSerial(kSerial, module.sim().ptyPath().c_str(), 14400), 0u);
  EXPECT_EQ(sLookupEntryByIdentifier(kSerial, aLINKENTRY_SERIAL), nullptr);
  LinkGuard link{aLink_CreateSerial(kSerial, module.sim().ptyPath().c_str(), 115200)};
  ASSERT_NE(link.id, 0u);
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
}

TEST(LinkCreateFailure, FailedCreatesLeaveNoEntry) {
  struct Row {
    const char* name;
    std::function<uint32_t()> create;
    uint32_t type;
  };
  TempDir nodes;
  kvusb_SetNodePrefix(nodes.file("kolvantis.").c_str());
  kvsim::UsbBus emptyBus;
  kvusb_SetBackend(&emptyBus);
  const Row rows[] = {
      {"USB module absent", [] { return aLink_CreateUSB(kSerial); }, aLINKENTRY_USB},
      {"TCP refused", [] { return aLink_CreateTCPIP(kSerial, kLoopback, ClosedLoopbackPort()); },
       aLINKENTRY_TCPIP},
      {"serial port absent",
       [&nodes] { return aLink_CreateSerial(kSerial, nodes.file("no-such-port").c_str(), 115200); },
       aLINKENTRY_SERIAL},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.create(), 0u);
    EXPECT_EQ(sLookupEntryByIdentifier(kSerial, row.type), nullptr);
  }
  kvusb_SetBackend(nullptr);
  kvusb_SetNodePrefix(nullptr);
}

TEST(LinkCreateFailure, AUsbModuleThatNeverAnswersTheHandshakeGivesNoLink) {
  UsbModule module(Shape::Normal, /*silent=*/true);
  EXPECT_EQ(module.connect(), 0u);
  EXPECT_EQ(sLookupEntryByIdentifier(kSerial, aLINKENTRY_USB), nullptr);
}

// --- reset ---------------------------------------------------------------------------------------

TEST(LinkReset, ASerialLinkCannotBeResetAndReportsIt) {
  ProcessModule module(Transport::CobsPty, Shape::Normal);
  ASSERT_TRUE(module.ready()) << module.error();
  LinkGuard link{aLink_CreateSerial(kSerial, module.sim().ptyPath().c_str(), 115200)};
  ASSERT_NE(link.id, 0u);
  EXPECT_NE(aLink_Reset(link.id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_NOSTREAM);
  aPacket* packet = aPacket_CreateWithData(kAddress, 0, kProbe.data());
  EXPECT_EQ(aLink_PutPacket(link.id, packet), aErrParam);  // no queues any more
  aPacket_Destroy(&packet);
  // The entry and its use stay: one destroy ends it.
  const uint32_t id = link.id;
  EXPECT_EQ(aLink_Destroy(&link.id), aErrNone);
  EXPECT_EQ(sLookupEntryByID(id), nullptr);
}

TEST(LinkReset, ATcpLinkIsRecreatedInPlace) {
  ProcessModule module(Transport::Tcp, Shape::Normal);
  ASSERT_TRUE(module.ready()) << module.error();
  LinkGuard link{module.connect()};
  ASSERT_NE(link.id, 0u);
  LinkGuard second{module.connect()};
  ASSERT_EQ(second.id, link.id);

  EXPECT_EQ(aLink_Reset(link.id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
  EXPECT_EQ(sLookupEntryByID(link.id)->useCount, 2);
  EXPECT_TRUE(module.awaitReceived({0xAF, 0x01, 0x00}));  // force-route off before the restart
  ExpectRoundTrip(module, 0);
}

TEST(LinkReset, ATcpLinkWhoseModuleIsGoneFailsAndStaysStopped) {
  auto module = std::make_unique<ProcessModule>(Transport::Tcp, Shape::Normal);
  ASSERT_TRUE(module->ready()) << module->error();
  LinkGuard link{module->connect()};
  ASSERT_NE(link.id, 0u);
  module.reset();  // the module program ends; nothing listens on its port any more

  EXPECT_NE(aLink_Reset(link.id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_NOSTREAM);
  EXPECT_EQ(aLink_AwaitPacket(link.id, 3600000), nullptr);  // returns at once: no queue
}

TEST(LinkReset, AUsbLinkResynchronisesAfterTheModuleCameBack) {
  UsbModule module(Shape::Normal);
  LinkGuard link{module.connect()};
  ASSERT_NE(link.id, 0u);
  module.module().drop();
  ASSERT_TRUE(Eventually([&] { return aLink_GetStatus(link.id) == aLINK_STATUS_READERROR; }));
  module.module().comeBack();

  const size_t probesBefore = module.received(kProbe);
  EXPECT_EQ(aLink_Reset(link.id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
  // A new handshake: at least the two probes whose answers completed it (the link drops the
  // probes it had not written yet once it is in step).
  EXPECT_GE(module.received(kProbe), probesBefore + 2);
  ExpectRoundTrip(module, 1);
}

uint8_t SelectNothing(const aPacket*, const void*) { return 0; }
uint8_t ConsumeNothing(const aPacket*, void*) { return 0; }

// Callers keep using the link while it is reset and then destroyed: they see a link that is
// not running or unknown, never freed memory (AddressSanitizer and ThreadSanitizer watch).
TEST(LinkReset, CallersUsingTheLinkMeanwhileAreSafe) {
  ProcessModule module(Transport::Tcp, Shape::Normal);
  ASSERT_TRUE(module.ready()) << module.error();
  uint32_t id = module.connect();
  ASSERT_NE(id, 0u);

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> calls{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      const uint8_t data[1] = {static_cast<uint8_t>(t)};
      aPacket* packet = aPacket_CreateWithData(kAddress, 1, data);
      while (!stop.load()) {
        aLink_PutPacket(id, packet);
        aLink_GetStatus(id);
        aPacket* got =
            t % 2 == 0 ? aLink_AwaitPacket(id, 5) : aLink_AwaitFirst(id, SelectNothing, nullptr, 5);
        if (got != nullptr) aPacket_Destroy(&got);
        aLink_DrainPackets(id, SelectNothing, nullptr);
        aLink_InstallUserPacketFilter(id, ConsumeNothing, nullptr);
        aLink_EnablePooledPackets(id, t % 2 == 0);
        calls.fetch_add(1);
      }
      aPacket_Destroy(&packet);
    });
  }
  for (int round = 0; round < 3; ++round) {
    const uint64_t before = calls.load();
    ASSERT_TRUE(Eventually([&] { return calls.load() > before; }));
    EXPECT_EQ(aLink_Reset(id), aErrNone);
  }
  const uint32_t kept = id;
  uint32_t destroyed = id;
  EXPECT_EQ(aLink_Destroy(&destroyed), aErrNone);
  const uint64_t before = calls.load();
  ASSERT_TRUE(Eventually([&] { return calls.load() > before + 10; }));
  stop.store(true);
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(aLink_GetStatus(kept), aLINK_STATUS_NOSTREAM);
}

// --- destroy with waiters ------------------------------------------------------------------------

TEST(LinkDestroy, WaitersBlockedOnTheLinkReturnWhenItGoes) {
  UsbModule module(Shape::Normal);
  uint32_t id = module.connect();
  ASSERT_NE(id, 0u);
  // An hour's time-out: returning at all shows that the destroy woke them.
  auto awaitPacket =
      std::async(std::launch::async, [id] { return aLink_AwaitPacket(id, 3600000); });
  auto awaitFirst = std::async(
      std::launch::async, [id] { return aLink_AwaitFirst(id, SelectNothing, nullptr, 3600000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(awaitPacket.get(), nullptr);
  EXPECT_EQ(awaitFirst.get(), nullptr);
}

TEST(LinkDestroy, ALinkWithWorkQueuedStillGoesAway) {
  ProcessModule module(Transport::Tcp, Shape::Normal);
  ASSERT_TRUE(module.ready()) << module.error();
  uint32_t id = module.connect();
  ASSERT_NE(id, 0u);
  const uint8_t data[2] = {0x10, 0x20};
  aPacket* packet = aPacket_CreateWithData(kAddress, 2, data);
  for (int i = 0; i < 500; ++i) aLink_PutPacket(id, packet);
  aPacket_Destroy(&packet);
  const uint32_t kept = id;
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  EXPECT_EQ(aLink_GetStatus(kept), aLINK_STATUS_NOSTREAM);
  // A destroyed link sends no force-route-off.
  EXPECT_EQ(module.received({0xAF, 0x01, 0x00}), 0u);
}

}  // namespace

namespace {

// What a test runs on the destroying thread once the link's last use is gone.
std::function<void()>* gDuringTeardown = nullptr;

void RunDuringTeardown(uint32_t) {
  aLink_DestroyTestHook.store(nullptr);
  if (gDuringTeardown != nullptr) (*gDuringTeardown)();
}

// A create for the device that comes while its link is being torn down never takes a use of the
// link on its way out: it makes a new link, which runs on after the destroy.
TEST(LinkDestroy, ACreateDuringTheTeardownGetsANewRunningLink) {
  ProcessModule going(Transport::Tcp, Shape::Normal);
  ProcessModule coming(Transport::Tcp, Shape::Normal);
  ASSERT_TRUE(going.ready()) << going.error();
  ASSERT_TRUE(coming.ready()) << coming.error();
  uint32_t id = aLink_CreateTCPIP(kSerial, kLoopback, static_cast<uint16_t>(going.sim().port()));
  ASSERT_NE(id, 0u);
  const uint32_t old = id;

  LinkGuard created;
  std::function<void()> create = [&] {
    created.id = aLink_CreateTCPIP(kSerial, kLoopback, static_cast<uint16_t>(coming.sim().port()));
  };
  gDuringTeardown = &create;
  aLink_DestroyTestHook.store(RunDuringTeardown);
  EXPECT_EQ(aLink_Destroy(&id), aErrNone);
  aLink_DestroyTestHook.store(nullptr);
  gDuringTeardown = nullptr;

  ASSERT_NE(created.id, 0u);
  EXPECT_NE(created.id, old);
  EXPECT_EQ(aLink_GetStatus(created.id), aLINK_STATUS_RUNNING);
  EXPECT_EQ(aLink_GetStatus(old), aLINK_STATUS_NOSTREAM);
}

// A serial port that goes away (the pty's master closed hangs up its slave) makes the link a
// read error instead of leaving it running.
TEST(LinkSerial, APortThatIsGoneMakesTheLinkAReadError) {
  PtyPair pty;
  LinkGuard link{aLink_CreateSerial(kSerial, pty.slaveName().c_str(), 115200)};
  ASSERT_NE(link.id, 0u);
  ASSERT_EQ(aLink_GetStatus(link.id), aLINK_STATUS_RUNNING);
  pty.closeMaster();
  EXPECT_TRUE(Eventually([&] { return aLink_GetStatus(link.id) == aLINK_STATUS_READERROR; }));
}

}  // namespace
