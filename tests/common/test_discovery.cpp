// Module discovery: USB enumeration against the simulated bus, linkSpec records, the reading
// of TCP/IP replies, the IPv4 helpers, and the multicast query against simulated modules
// inside a network namespace of the test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "aDiscovery.h"
#include "kvusb.h"
#include "sim_module_process.h"
#include "sim_usb_bus.h"
#include "support.h"

namespace {

using kvsim::DeviceSpec;
using kvsim::SimDevice;

const uint32_t kEveryInterface = htonl(INADDR_LOOPBACK);

DeviceSpec Device(const std::string& serial, uint16_t productId = 0x0011,
                  uint16_t vendorId = 0x24FF) {
  DeviceSpec setup;
  setup.serial = serial;
  setup.productId = productId;
  setup.vendorId = vendorId;
  return setup;
}

// What a callback saw: copies of the records, and whether each call began with taken false.
struct Seen {
  std::vector<linkSpec> records;
  bool takenClearOnEntry = true;
  size_t stopAfter = SIZE_MAX;  // returns false once this many records were seen
  bool take = true;
  uint32_t onlyModel = 0;  // nonzero: takes only records of this model
};

bool Record(const linkSpec* spec, bool* taken, void* reference) {
  Seen* seen = static_cast<Seen*>(reference);
  if (*taken) seen->takenClearOnEntry = false;
  seen->records.push_back(*spec);
  if (seen->take && (seen->onlyModel == 0 || spec->model == seen->onlyModel)) *taken = true;
  return seen->records.size() < seen->stopAfter;
}

linkSpec UsbRecord(uint32_t serial, uint32_t model) {
  linkSpec spec{};
  spec.type = 1;
  spec.serialNumber = serial;
  spec.address = serial;
  spec.model = model;
  return spec;
}

void ExpectSameRecord(const linkSpec& actual, const linkSpec& expected) {
  EXPECT_EQ(actual.type, expected.type);
  EXPECT_EQ(actual.serialNumber, expected.serialNumber);
  EXPECT_EQ(actual.module, expected.module);
  EXPECT_EQ(actual.router, expected.router);
  EXPECT_EQ(actual.routerSerialNumber, expected.routerSerialNumber);
  EXPECT_EQ(actual.model, expected.model);
  EXPECT_EQ(actual.address, expected.address);
  EXPECT_EQ(actual.port, expected.port);
  EXPECT_EQ(memcmp(&actual, &expected, sizeof actual), 0) << "the unused bytes differ";
}

// The simulated bus as the driver's backend for each test; nothing may stay open.
class UsbDiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { kvusb_SetBackend(&bus_); }
  void TearDown() override {
    kvusb_SetBackend(nullptr);
    EXPECT_EQ(bus_.openHandles(), 0);
    EXPECT_EQ(bus_.openLists(), 0);
    EXPECT_EQ(bus_.misuses(), 0);
  }

  SimDevice& add(const DeviceSpec& setup) { return bus_.addDevice(setup, peer_); }

  kvsim::BytePeer peer_;
  kvsim::UsbBus bus_;
};

TEST_F(UsbDiscoveryTest, ReportsEveryFamilyDeviceInListOrderWithModelFromProductId) {
  add(Device("0000ABCD", 0x0011));
  add(Device("40F5849A", 0x0213));
  add(Device("00000001", 0x7FFF));
  Seen seen;
  EXPECT_EQ(aDiscovery_EnumerateModules(1, Record, &seen, kEveryInterface), 3);
  ASSERT_EQ(seen.records.size(), 3u);
  ExpectSameRecord(seen.records[0], UsbRecord(0xABCD, 0x11));
  ExpectSameRecord(seen.records[1], UsbRecord(0x40F5849A, 0x13));
  ExpectSameRecord(seen.records[2], UsbRecord(0x00000001, 0xFF));
  EXPECT_TRUE(seen.takenClearOnEntry);
}

struct SkippedCase {
  const char* name;
  DeviceSpec setup;
  bool opened;  // the device is opened before it is found wanting
  void (*fault)(SimDevice&);
};

void PrintTo(const SkippedCase& c, std::ostream* os) { *os << c.name; }

class UsbDiscoverySkipTest : public UsbDiscoveryTest,
                             public ::testing::WithParamInterface<SkippedCase> {};

// One sound module after the odd one: only the sound one is reported.
TEST_P(UsbDiscoverySkipTest, SkipsTheDeviceAndGoesOn) {
  const SkippedCase& c = GetParam();
  SimDevice& odd = add(c.setup);
  if (c.fault != nullptr) c.fault(odd);
  add(Device("12345678", 0x0004));
  Seen seen;
  EXPECT_EQ(aDiscovery_EnumerateModules(1, Record, &seen, kEveryInterface), 1);
  ASSERT_EQ(seen.records.size(), 1u);
  ExpectSameRecord(seen.records[0], UsbRecord(0x12345678, 0x04));
  EXPECT_EQ(odd.opens(), c.opened ? 1 : 0);
}

DeviceSpec NoSerialString() {
  DeviceSpec setup = Device("0000ABCD");
  setup.serialIndex = 0;
  return setup;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, UsbDiscoverySkipTest,
    ::testing::Values(SkippedCase{"ForeignVendor", Device("0000ABCD", 0x0011, 0x1234), false,
                                  nullptr},
                      SkippedCase{"ProductWithBit15", Device("0000ABCD", 0x8000), false, nullptr},
                      SkippedCase{"ProductFFFF", Device("0000ABCD", 0xFFFF), false, nullptr},
                      SkippedCase{"SevenCharacters", Device("000ABCD"), true, nullptr},
                      SkippedCase{"NineCharacters", Device("00000ABCD"), true, nullptr},
                      SkippedCase{"LowerCaseHex", Device("0000abcd"), true, nullptr},
                      SkippedCase{"NotHex", Device("0000ABCG"), true, nullptr},
                      SkippedCase{"LeadingSpace", Device(" 000ABCD"), true, nullptr},
                      SkippedCase{"SignedHex", Device("-000ABCD"), true, nullptr},
                      SkippedCase{"EmptySerial", Device(""), true, nullptr},
                      SkippedCase{"NoSerialString", NoSerialString(), true, nullptr},
                      SkippedCase{"CannotBeOpened", Device("0000ABCD"), false,
                                  [](SimDevice& d) { d.failOpen(LIBUSB_ERROR_ACCESS); }},
                      SkippedCase{"UnreadableDescriptor", Device("0000ABCD"), false,
                                  [](SimDevice& d) { d.failDeviceDescriptor(); }}),
    [](const ::testing::TestParamInfo<SkippedCase>& param) {
      return std::string(param.param.name);
    });

TEST_F(UsbDiscoveryTest, CallbackThatStopsEndsTheSearchBeforeTheNextDeviceIsOpened) {
  add(Device("00000001"));
  SimDevice& second = add(Device("00000002"));
  Seen seen;
  seen.stopAfter = 1;
  EXPECT_EQ(aDiscovery_EnumerateModules(1, Record, &seen, kEveryInterface), 1);
  EXPECT_EQ(seen.records.size(), 1u);
  EXPECT_EQ(second.opens(), 0);
}

TEST_F(UsbDiscoveryTest, CountsOnlyTheRecordsTheCallbackTook) {
  add(Device("00000001", 0x0011));
  add(Device("00000002", 0x0022));
  add(Device("00000003", 0x0011));
  Seen none;
  none.take = false;
  EXPECT_EQ(aDiscovery_EnumerateModules(1, Record, &none, kEveryInterface), 0);
  EXPECT_EQ(none.records.size(), 3u);
  Seen some;
  some.onlyModel = 0x11;
  EXPECT_EQ(aDiscovery_EnumerateModules(1, Record, &some, kEveryInterface), 2);
  EXPECT_TRUE(some.takenClearOnEntry);
}

TEST_F(UsbDiscoveryTest, TypesWithoutASearchGiveZeroAndTouchNothing) {
  add(Device("00000001"));
  for (linkType type : {0u, 3u, 8u, 0xFFFFFFFFu}) {
    const int callsBefore = bus_.calls();
    Seen seen;
    EXPECT_EQ(aDiscovery_EnumerateModules(type, Record, &seen, kEveryInterface), 0) << type;
    EXPECT_TRUE(seen.records.empty()) << type;
    EXPECT_EQ(bus_.calls(), callsBefore) << type;
  }
}

TEST_F(UsbDiscoveryTest, NoContextOrNoListGivesZero) {
  add(Device("00000001"));
  Kolvantis_libusb_exit();
  bus_.failInit(LIBUSB_ERROR_NO_MEM);
  Seen seen;
  EXPECT_EQ(aDiscovery_EnumerateModules(1, Record, &seen, kEveryInterface), 0);
  EXPECT_TRUE(seen.records.empty());
  bus_.failInit(0);
}

TEST_F(UsbDiscoveryTest, FindModuleReturnsTheMatchingRecordOrNull) {
  add(Device("00000001", 0x0011));
  add(Device("40F5849A", 0x0042));
  linkSpec* found = aDiscovery_FindModule(1, 0x40F5849A, kEveryInterface);
  ASSERT_NE(found, nullptr);
  ExpectSameRecord(*found, UsbRecord(0x40F5849A, 0x42));
  EXPECT_EQ(aLinkSpec_Destroy(&found), aErrNone);

  EXPECT_EQ(aDiscovery_FindModule(1, 0x0BADF00D, kEveryInterface), nullptr);
  EXPECT_EQ(aDiscovery_FindModule(3, 0x00000001, kEveryInterface), nullptr);
}

TEST_F(UsbDiscoveryTest, FindFirstModuleSkipsSerialNumberZero) {
  add(Device("00000000", 0x0011));
  add(Device("0000BEEF", 0x0033));
  linkSpec* found = aDiscovery_FindFirstModule(1, kEveryInterface);
  ASSERT_NE(found, nullptr);
  ExpectSameRecord(*found, UsbRecord(0xBEEF, 0x33));
  aLinkSpec_Destroy(&found);
}

TEST_F(UsbDiscoveryTest, FindFirstModuleWithoutModulesIsNull) {
  add(Device("00000000"));
  EXPECT_EQ(aDiscovery_FindFirstModule(1, kEveryInterface), nullptr);
}

// --- linkSpec records ------------------------------------------------------------------------

TEST(LinkSpec, LayoutPutsEveryFieldAtItsOffset) {
  EXPECT_EQ(sizeof(linkSpec), 128u);
  EXPECT_EQ(offsetof(linkSpec, type), 0u);
  EXPECT_EQ(offsetof(linkSpec, serialNumber), 4u);
  EXPECT_EQ(offsetof(linkSpec, module), 8u);
  EXPECT_EQ(offsetof(linkSpec, router), 12u);
  EXPECT_EQ(offsetof(linkSpec, routerSerialNumber), 16u);
  EXPECT_EQ(offsetof(linkSpec, model), 20u);
  EXPECT_EQ(offsetof(linkSpec, address), 24u);
  EXPECT_EQ(offsetof(linkSpec, port), 28u);
  EXPECT_EQ(offsetof(linkSpec, path), 28u);
}

TEST(LinkSpec, CreateIsZeroFilledWithTheType) {
  linkSpec* spec = aLinkSpec_Create(6);
  ASSERT_NE(spec, nullptr);
  linkSpec expected{};
  expected.type = 6;
  ExpectSameRecord(*spec, expected);
  aLinkSpec_Destroy(&spec);
}

TEST(LinkSpec, CopyHoldsAllBytes) {
  linkSpec* spec = aLinkSpec_Create(3);
  ASSERT_NE(spec, nullptr);
  memset(reinterpret_cast<uint8_t*>(spec) + 4, 0x5A, sizeof *spec - 4);
  linkSpec* copy = aLinkSpec_Copy(spec);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, spec);
  ExpectSameRecord(*copy, *spec);
  EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
  aLinkSpec_Destroy(&copy);
  aLinkSpec_Destroy(&spec);
}

TEST(LinkSpec, DestroyClearsThePointerAndRefusesNull) {
  linkSpec* spec = aLinkSpec_Create(1);
  ASSERT_NE(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
  EXPECT_EQ(spec, nullptr);
  EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
  EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

TEST(LinkSpec, SerialPathStaysInsideItsField) {
  linkSpec spec{};
  spec.type = 3;
  spec.address = 115200;
  const std::string longest(LINKSPEC_PATH_SIZE - 1, 'p');
  ASSERT_EQ(aLinkSpec_SetSerialPath(&spec, longest.c_str()), aErrNone);
  EXPECT_EQ(spec.address, 115200u) << "the path must not reach the baud rate";
  char buffer[LINKSPEC_PATH_SIZE];
  ASSERT_EQ(aLinkSpec_GetSerialPath(&spec, buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(std::string(buffer), longest);

  const std::string tooLong(LINKSPEC_PATH_SIZE, 'q');
  EXPECT_EQ(aLinkSpec_SetSerialPath(&spec, tooLong.c_str()), aErrSize);
  ASSERT_EQ(aLinkSpec_GetSerialPath(&spec, buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(std::string(buffer), longest) << "a refused path leaves the old one";

  ASSERT_EQ(aLinkSpec_SetSerialPath(&spec, "/dev/ttyUSB0"), aErrNone);
  EXPECT_EQ(std::string(spec.path), "/dev/ttyUSB0");
  for (size_t i = strlen("/dev/ttyUSB0"); i < LINKSPEC_PATH_SIZE; ++i)
    ASSERT_EQ(spec.path[i], '\0') << "byte " << i << " kept a stale character";
}

TEST(LinkSpec, SerialPathReadIsBounded) {
  linkSpec spec{};
  ASSERT_EQ(aLinkSpec_SetSerialPath(&spec, "/dev/ttyS1"), aErrNone);
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(aLinkSpec_GetSerialPath(&spec, small, sizeof small), aErrSize);
  EXPECT_EQ(small[0], '\0');
  EXPECT_EQ(aLinkSpec_GetSerialPath(&spec, small, 0), aErrSize);

  memset(spec.path, 'z', sizeof spec.path);  // a record from elsewhere without its NUL
  char buffer[2 * LINKSPEC_PATH_SIZE];
  EXPECT_EQ(aLinkSpec_GetSerialPath(&spec, buffer, sizeof buffer), aErrParam);
  EXPECT_EQ(aLinkSpec_GetSerialPath(nullptr, buffer, sizeof buffer), aErrParam);
  EXPECT_EQ(aLinkSpec_SetSerialPath(nullptr, "/dev/ttyS1"), aErrParam);
  EXPECT_EQ(aLinkSpec_SetSerialPath(&spec, nullptr), aErrParam);
}

// --- IPv4 helpers --------------------------------------------------------------------------

TEST(IPv4Interface, ConvertWritesDottedTextAndZeroesTheRest) {
  char buffer[32];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(inet_addr("192.168.1.20"), buffer, sizeof buffer), 12);
  EXPECT_EQ(std::string(buffer), "192.168.1.20");
  for (size_t i = 12; i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], '\0') << i;

  char exact[16];
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0xFFFFFFFFu, exact, sizeof exact), 15);
  EXPECT_EQ(std::string(exact), "255.255.255.255");
}

TEST(IPv4Interface, ConvertRefusesASmallBufferWithoutTouchingIt) {
  char buffer[15];
  memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0xFFFFFFFFu, buffer, sizeof buffer), 0);
  for (char c : buffer) ASSERT_EQ(c, 'x');
  EXPECT_EQ(aDiscovery_ConvertIPv4Interface(0x0100007Fu, nullptr, 16), 0);
}

TEST(IPv4Interface, ListHoldsNoLoopbackAndRespectsTheMaximum) {
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 8), 0);
  uint32_t list[64];
  EXPECT_EQ(aDiscovery_GetIPv4Interfaces(list, 0), 0);
  const int count = aDiscovery_GetIPv4Interfaces(list, 64);
  ASSERT_GE(count, 0);
  for (int i = 0; i < count; ++i) {
    EXPECT_NE(list[i], 0u);
    EXPECT_NE(ntohl(list[i]) >> 24, 127u) << "loopback address listed";
  }
  if (count > 1) {
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(list, 1), 1);
  }
}

// --- TCP/IP replies ------------------------------------------------------------------------

struct ReplyCase {
  const char* name;
  std::vector<uint8_t> bytes;
  bool accepted;
  uint32_t serialNumber;
  uint32_t module;
  uint32_t port;
  uint32_t model;
};

// The sample module: address 6, port 8016, serial number 0x40F5849A, model 0x11.
std::vector<uint8_t> SampleReply(size_t length) {
  std::vector<uint8_t> bytes = {0x01, 0x06, 0x50, 0x1F, 0x9A, 0x84, 0xF5, 0x40,
                                0xEE, 0xEE, 0xEE, 0xEE, 0x11, 0xEE, 0xEE, 0xEE};
  bytes.resize(length);
  return bytes;
}

void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class ReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTest, BuildsTheRecordFromTheReplyAlone) {
  const ReplyCase& c = GetParam();
  const uint32_t sender = inet_addr("192.168.1.20");
  linkSpec spec;
  memset(&spec, 0xAB, sizeof spec);  // what an earlier reply left behind
  const bool accepted =
      aDiscovery_ParseReply(c.bytes.data(), static_cast<int>(c.bytes.size()), sender, &spec);
  ASSERT_EQ(accepted, c.accepted);
  if (!accepted) return;
  linkSpec expected{};
  expected.type = 2;
  expected.serialNumber = c.serialNumber;
  expected.routerSerialNumber = c.serialNumber;
  expected.module = c.module;
  expected.router = c.module;
  expected.port = c.port;
  expected.model = c.model;
  expected.address = sender;
  ExpectSameRecord(spec, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyTest,
    ::testing::Values(
        ReplyCase{"Full", SampleReply(16), true, 0x40F5849A, 6, 8016, 0x11},
        ReplyCase{"TwelveBytesHaveNoModel", SampleReply(12), true, 0x40F5849A, 6, 8016, 0xFF},
        ReplyCase{"ThirteenBytesCarryTheModel", SampleReply(13), true, 0x40F5849A, 6, 8016, 0x11},
        ReplyCase{"EightBytesHoldTheSerialNumber", SampleReply(8), true, 0x40F5849A, 6, 8016, 0xFF},
        ReplyCase{"SevenBytesAreIgnored", SampleReply(7), false, 0, 0, 0, 0},
        ReplyCase{"FourBytesAreIgnored", SampleReply(4), false, 0, 0, 0, 0},
        ReplyCase{"EmptyIsIgnored", {}, false, 0, 0, 0, 0},
        ReplyCase{"HighValues",
                  {0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0x00, 0, 0, 0},
                  true,
                  0xFFFFFFFF,
                  0xFE,
                  0xFFFF,
                  0x00}),
    [](const ::testing::TestParamInfo<ReplyCase>& param) { return std::string(param.param.name); });

TEST(Reply, NullArgumentsAreRefused) {
  const std::vector<uint8_t> bytes = SampleReply(16);
  linkSpec spec{};
  EXPECT_FALSE(aDiscovery_ParseReply(nullptr, 16, 0, &spec));
  EXPECT_FALSE(aDiscovery_ParseReply(bytes.data(), 16, 0, nullptr));
}

// --- The multicast query ---------------------------------------------------------------------

constexpr int kStrayIntervalMs = 1000;                 // ms between two stray replies
constexpr int kInterrupts = 3;                         // signals sent to one search
constexpr auto kHangGuard = std::chrono::seconds(20);  // longest wait, reached only on failure
constexpr auto kPoll = std::chrono::milliseconds(2);   // between the tries of a poll

// True once condition holds, tried every kPoll; false when kHangGuard passes first.
bool Eventually(const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + kHangGuard;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(kPoll);
  }
  return true;
}

// The two simulated modules of the namespace, which answer discovery.
class MulticastInNamespaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!InsideTestNamespace())
      GTEST_SKIP() << "runs only inside the network namespace that "
                      "DiscoveryMulticast.RunsInsideANetworkNamespace makes";
    for (const std::string& name : InterfaceNames())
      ASSERT_EQ(name, "lo") << "not inside the test's namespace: no discovery traffic is sent";
    first_ = std::make_unique<kvsim::SimModuleProcess>(std::vector<std::string>{
        "--tcp", "0", "--discovery", "--serial", "40F5849A", "--address", "6", "--model", "0x11"});
    second_ = std::make_unique<kvsim::SimModuleProcess>(std::vector<std::string>{
        "--tcp", "0", "--discovery", "--serial", "0000BEEF", "--address", "8", "--model", "0x22"});
    ASSERT_TRUE(first_->ready()) << first_->error();
    ASSERT_TRUE(second_->ready()) << second_->error();
  }

  void TearDown() override {
    if (first_) first_->stop();
    if (second_) second_->stop();
  }

  static void ExpectModule(const linkSpec& spec, uint32_t serial, uint32_t module, uint32_t model,
                           int port) {
    EXPECT_EQ(spec.type, 2u);
    EXPECT_EQ(spec.serialNumber, serial);
    EXPECT_EQ(spec.routerSerialNumber, serial);
    EXPECT_EQ(spec.module, module);
    EXPECT_EQ(spec.router, module);
    EXPECT_EQ(spec.model, model);
    EXPECT_EQ(spec.port, static_cast<uint32_t>(port));
    EXPECT_NE(spec.address, 0u);
  }

  std::unique_ptr<kvsim::SimModuleProcess> first_;
  std::unique_ptr<kvsim::SimModuleProcess> second_;
};

TEST_F(MulticastInNamespaceTest, FindsBothModulesOnEveryInterface) {
  Seen seen;
  EXPECT_EQ(aDiscovery_EnumerateModules(2, Record, &seen, kEveryInterface), 2);
  ASSERT_EQ(seen.records.size(), 2u);
  EXPECT_TRUE(seen.takenClearOnEntry);
  const bool firstFirst = seen.records[0].serialNumber == 0x40F5849A;
  ExpectModule(seen.records[firstFirst ? 0 : 1], 0x40F5849A, 6, 0x11, first_->port());
  ExpectModule(seen.records[firstFirst ? 1 : 0], 0x0000BEEF, 8, 0x22, second_->port());
}

TEST_F(MulticastInNamespaceTest, ModelFilterTakesOneAndFindModuleTheOther) {
  Seen seen;
  seen.onlyModel = 0x22;
  EXPECT_EQ(aDiscovery_EnumerateModules(2, Record, &seen, kEveryInterface), 1);
  EXPECT_EQ(seen.records.size(), 2u);

  linkSpec* found = aDiscovery_FindModule(2, 0x40F5849A, 0);
  ASSERT_NE(found, nullptr);
  ExpectModule(*found, 0x40F5849A, 6, 0x11, first_->port());
  aLinkSpec_Destroy(&found);
}

// A stray datagram every second must not keep the query reading for ever.
TEST_F(MulticastInNamespaceTest, StrayDatagramsCannotKeepTheQueryRunning) {
  std::atomic<bool> done{false};
  std::atomic<int> strays{0};
  std::thread stray([&] {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(DISCOVERY_REPLY_PORT);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::vector<uint8_t> reply = SampleReply(16);
    while (!done) {
      if (sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to) > 0)
        ++strays;
      std::this_thread::sleep_for(std::chrono::milliseconds(kStrayIntervalMs));
    }
    close(fd);
  });
  Seen seen;
  aDiscovery_EnumerateModules(2, Record, &seen, kEveryInterface);
  const int sentWhileSearching = strays.load();
  done = true;
  stray.join();
  // The strays went on arriving, so only the query's own limit can have ended it.
  EXPECT_GE(sentWhileSearching, 3);
  EXPECT_GE(seen.records.size(), 3u);
}

// Signals sent to the search's thread, counted by their handler.
std::atomic<int> gInterrupts{0};
void CountInterrupt(int) { ++gInterrupts; }

// The system call a thread of this process is blocked in, from /proc; -1 when unknown.
long BlockedIn(pid_t thread) {
  std::ifstream file("/proc/self/task/" + std::to_string(thread) + "/syscall");
  long number = -1;
  file >> number;
  return file ? number : -1;
}

// A signal that interrupts the wait for replies does not end the search: a reply sent after the
// interrupts is still found.
TEST_F(MulticastInNamespaceTest, ASignalDoesNotEndTheSearch) {
  struct sigaction action {};
  action.sa_handler = CountInterrupt;  // no SA_RESTART: the wait returns EINTR
  sigemptyset(&action.sa_mask);
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &before), 0);
  gInterrupts = 0;

  std::atomic<pid_t> searcher{0};
  std::atomic<int> found{0};
  std::atomic<int> result{-1};
  std::thread search([&] {
    searcher = static_cast<pid_t>(syscall(SYS_gettid));
    const auto count = [](const linkSpec*, bool* taken, void* reference) {
      ++*static_cast<std::atomic<int>*>(reference);
      *taken = true;
      return true;
    };
    result = aDiscovery_EnumerateModules(2, count, &found, kEveryInterface);
  });
  // The search ends on its own; joined however the test goes.
  struct Join {
    std::thread& thread;
    struct sigaction& handler;
    ~Join() {
      thread.join();
      sigaction(SIGUSR1, &handler, nullptr);
    }
  } join{search, before};

  const auto waiting = [&] { return searcher != 0 && BlockedIn(searcher) == SYS_recvfrom; };
  // Both modules answered, and the search waits for more.
  ASSERT_TRUE(Eventually([&] { return found == 2 && waiting(); }));
  for (int interrupt = 1; interrupt <= kInterrupts; ++interrupt) {
    ASSERT_TRUE(Eventually([&] { return waiting() || result >= 0; }));
    if (result >= 0) break;  // the search has ended: the reply below comes too late
    ASSERT_EQ(pthread_kill(search.native_handle(), SIGUSR1), 0);
    ASSERT_TRUE(Eventually([&] { return gInterrupts >= interrupt; }));
  }
  ASSERT_TRUE(Eventually([&] { return waiting() || result >= 0; }));
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(DISCOVERY_REPLY_PORT);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::vector<uint8_t> reply = SampleReply(16);
  EXPECT_EQ(
      sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
      static_cast<ssize_t>(reply.size()));
  close(fd);
  ASSERT_TRUE(Eventually([&] { return result >= 0; }));
  EXPECT_EQ(found, 3);
  EXPECT_EQ(result, 3);
}

// Runs the tests above in a copy of this program inside a fresh network namespace, so that
// no discovery datagram can leave through a real interface.
TEST(DiscoveryMulticast, RunsInsideANetworkNamespace) {
  if (const char* why = NamespaceUnavailableReason()) GTEST_SKIP() << why;
  ExpectPassesInNamespace("MulticastInNamespaceTest.*");
}

}  // namespace
