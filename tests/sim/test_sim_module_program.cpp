// The stand-in module program, reached the way a host reaches a module: raw TCP sockets and
// raw pty descriptors, with its control channel through SimModuleProcess.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "sim_framing.h"
#include "sim_module_process.h"
#include "sim_uei.h"
#include "support.h"

namespace {

using kvsim::Bytes;
using kvsim::Direction;
using kvsim::SimModuleProcess;

constexpr int kIoTimeoutMs = 5000;  // ms a test waits for bytes before it gives up

const Bytes kProbe{0xAD, 0x00};
const Bytes kAnswer{0x02, 0x00};

Bytes repeat(const Bytes& bytes, int times) {
  Bytes all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), bytes.begin(), bytes.end());
  return all;
}

Bytes join(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A descriptor closed on destruction.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

int connectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool writeAll(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads until count bytes came, the other side ended or kIoTimeoutMs passed; *error gets the
// errno of a failing read (0 otherwise).
Bytes readBytes(int fd, size_t count, int* error = nullptr) {
  Bytes bytes;
  if (error) *error = 0;
  while (bytes.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kIoTimeoutMs) <= 0) break;
    uint8_t chunk[4096];
    ssize_t n = read(fd, chunk, std::min(sizeof chunk, count - bytes.size()));
    if (n < 0 && error) *error = errno;
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

// Opens a pty slave the way the serial and node transports do: read-write, no controlling
// terminal.
int openSlave(const std::string& path) { return open(path.c_str(), O_RDWR | O_NOCTTY); }

std::string linkTarget(const std::string& path) {
  char target[PATH_MAX] = {};
  ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// --- Command line ---------------------------------------------------------------------------

TEST(SimModuleProgram, HelpListsEveryOptionKnobAndCommand) {
  RunResult run = RunProgram({KV_SIM_MODULE_BINARY, "--help"});
  ASSERT_TRUE(run.exitedWith(0)) << run.err;
  std::vector<std::string> words{"--tcp",
                                 "--pty",
                                 "--cobs",
                                 "--link",
                                 "--node",
                                 "--address",
                                 "--serial",
                                 "--echo",
                                 "--reply",
                                 "--silent",
                                 "--garbage-length",
                                 "--split-gap-ms",
                                 "--coalesce",
                                 "--flood",
                                 "--drop-after",
                                 "--drop-mode",
                                 "--return-ms",
                                 "HB <x>",
                                 "SEND <hex bytes>",
                                 "FLOOD <n>",
                                 "DROP close|reset",
                                 "SILENT on|off",
                                 "FAULT <name>",
                                 "DUMP",
                                 "QUIT",
                                 "--model",
                                 "--discovery",
                                 "--uei",
                                 "--build",
                                 "--version",
                                 "--name",
                                 "--features",
                                 "--uei-fault",
                                 "--behind",
                                 "--behind-silent",
                                 "--behind-missing",
                                 "UEIFAULT",
                                 "UEISET",
                                 "BEHIND ADDR present|silent|missing"};
  for (kvsim::Fault fault : kvsim::kAllFaults)
    words.push_back(std::string("--") + kvsim::faultName(fault));
  for (kvsim::UeiFault fault :
       {kvsim::UeiFault::WrongLength, kvsim::UeiFault::ErrorCode, kvsim::UeiFault::OtherAddress,
        kvsim::UeiFault::Late, kvsim::UeiFault::Duplicate, kvsim::UeiFault::OutOfSequence,
        kvsim::UeiFault::Silence})
    words.push_back(kvsim::ueiFaultName(fault));
  for (const std::string& word : words) EXPECT_NE(run.out.find(word), std::string::npos) << word;
}

TEST(SimModuleProgram, BadCommandLinesAreRefused) {
  const std::vector<std::vector<std::string>> cases{
      {},
      {"--tcp"},
      {"--tcp", "70000"},
      {"--tcp", "0", "--cobs"},
      {"--tcp", "0", "--bogus"},
      {"--tcp", "0", "--odd-address", "some"},
      {"--pty", "--reply", "23"},
      {"--pty", "--drop-mode", "later"},
  };
  for (const auto& arguments : cases) {
    std::vector<std::string> argv{KV_SIM_MODULE_BINARY};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    RunResult run = RunProgram(argv);
    EXPECT_TRUE(run.exitedWith(2)) << testing::PrintToString(arguments) << ": " << run.err;
    EXPECT_FALSE(run.err.empty());
  }
}

// --- TCP ------------------------------------------------------------------------------------

// Six probes, cut as the host may cut them, against the knobs that shape the answers.
struct TcpCase {
  const char* name;
  std::vector<std::string> arguments;
  size_t probesPerWrite;  // 0: all six in one write
  Bytes expected;
};

class SimModuleProgramTcp : public testing::TestWithParam<TcpCase> {};

TEST_P(SimModuleProgramTcp, AnswersSixProbes) {
  const TcpCase& c = GetParam();
  std::vector<std::string> arguments{"--tcp", "0"};
  arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
  SimModuleProcess sim(arguments);
  ASSERT_TRUE(sim.ready()) << sim.error();
  Fd link(connectLoopback(sim.port()));
  ASSERT_GE(link.get(), 0);

  Bytes probes = repeat(kProbe, 6);
  if (c.probesPerWrite == 0) {
    ASSERT_TRUE(writeAll(link.get(), probes));
  } else {
    for (uint8_t byte : probes) ASSERT_TRUE(writeAll(link.get(), {byte}));  // one byte per write
  }
  EXPECT_EQ(readBytes(link.get(), c.expected.size()), c.expected);
  EXPECT_TRUE(sim.awaitRecord(Direction::In, kProbe, 6));
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SimModuleProgramTcp,
    testing::Values(
        TcpCase{"Plain", {}, 0, repeat(kAnswer, 6)},
        TcpCase{"ProbesOneBytePerWrite", {}, 1, repeat(kAnswer, 6)},
        TcpCase{"Coalesced", {"--coalesce"}, 0, repeat(kAnswer, 6)},
        TcpCase{"SplitWithGaps", {"--split", "all", "--split-gap-ms", "1"}, 0, repeat(kAnswer, 6)},
        TcpCase{"OtherAddress", {"--address", "0x10"}, 0, repeat({0x10, 0x00}, 6)},
        TcpCase{
            "OddAddressOnce", {"--odd-address", "1"}, 0, join({{0x03, 0x00}, repeat(kAnswer, 5)})},
        TcpCase{"ZeroAddressAlways", {"--zero-address", "all"}, 0, repeat({0x00, 0x00}, 6)},
        TcpCase{"OversizeLengthOnce",
                {"--oversize-length", "1"},
                0,
                join({{0x02, 29}, repeat(kAnswer, 5)})},
        TcpCase{"GarbageOnce",
                {"--garbage", "1", "--garbage-length", "2"},
                0,
                join({{0x55, 0xFF}, repeat(kAnswer, 6)})}),
    [](const testing::TestParamInfo<TcpCase>& param) { return param.param.name; });

TEST(SimModuleProgram, TcpHeartbeatGoesOutAndTheAnswerIsRecorded) {
  SimModuleProcess sim({"--tcp", "0"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  Fd link(connectLoopback(sim.port()));
  ASSERT_TRUE(writeAll(link.get(), kProbe));
  ASSERT_EQ(readBytes(link.get(), 2), kAnswer);  // connected: the module knows its host

  ASSERT_TRUE(sim.command("HB 1")) << sim.error();
  EXPECT_EQ(readBytes(link.get(), 4), (Bytes{0x02, 0x02, 0x00, 0x01}));
  ASSERT_TRUE(writeAll(link.get(), {0x02, 0x02, 0x00, 0x03, 0xAF, 0x01, 0x01}));
  EXPECT_TRUE(sim.awaitRecord(Direction::In, {0x02, 0x02, 0x00, 0x03}));
  EXPECT_TRUE(sim.awaitRecord(Direction::In, {0xAF, 0x01, 0x01}));

  auto records = sim.dump();
  ASSERT_GE(records.size(), 5u);
  EXPECT_EQ(records[0].bytes, kProbe);
  EXPECT_EQ(records[1].direction, Direction::Out);
  EXPECT_EQ(records[1].bytes, kAnswer);
  for (size_t i = 1; i < records.size(); ++i) EXPECT_LE(records[i - 1].ms, records[i].ms);
}

TEST(SimModuleProgram, ControlCommandsSendFloodSilenceAndArmFaults) {
  SimModuleProcess sim(
      {"--tcp", "0", "--echo", "23", "--reply", "0x49=4901", "--reply", "0x49=4902"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  Fd link(connectLoopback(sim.port()));
  ASSERT_TRUE(writeAll(link.get(), join({{0x02, 0x02, 23, 0x07}, {0x02, 0x01, 0x49}})));
  EXPECT_EQ(readBytes(link.get(), 12),
            join({{0x02, 0x02, 23, 0x07}, {0x02, 0x02, 0x49, 0x01}, {0x02, 0x02, 0x49, 0x02}}));

  ASSERT_TRUE(sim.command("SEND 02 01 55")) << sim.error();
  EXPECT_EQ(readBytes(link.get(), 3), (Bytes{0x02, 0x01, 0x55}));

  ASSERT_TRUE(sim.command("FLOOD 1000")) << sim.error();
  Bytes flood = readBytes(link.get(), 5000);
  ASSERT_EQ(flood.size(), 5000u);
  EXPECT_EQ(Bytes(flood.end() - 5, flood.end()),
            (Bytes{0x02, 0x03, kvsim::kFloodCommand, 0x03, 0xE7}));

  ASSERT_TRUE(sim.command("SILENT on")) << sim.error();
  ASSERT_TRUE(writeAll(link.get(), kProbe));
  ASSERT_TRUE(sim.awaitRecord(Direction::In, kProbe));
  ASSERT_TRUE(sim.command("HB 0"));
  EXPECT_EQ(readBytes(link.get(), 4), (Bytes{0x02, 0x02, 0x00, 0x00}))
      << "no answer before the heartbeat";
  ASSERT_TRUE(sim.command("SILENT off"));

  ASSERT_TRUE(sim.command("FAULT odd-address 1")) << sim.error();
  ASSERT_TRUE(writeAll(link.get(), repeat(kProbe, 2)));
  EXPECT_EQ(readBytes(link.get(), 4), (Bytes{0x03, 0x00, 0x02, 0x00}));

  for (const char* bad : {"HB", "HB 300", "SEND", "SEND 0", "FLOOD x", "DROP later", "SILENT maybe",
                          "FAULT bogus 1", "FAULT split", "NOPE"})
    EXPECT_FALSE(sim.command(bad)) << bad;
  EXPECT_TRUE(sim.command("HB 0")) << "the channel still works after refusals";
  EXPECT_EQ(sim.stop(), 0);
}

TEST(SimModuleProgram, TcpDropEndsTheConnectionAndTheNextOneIsAnswered) {
  struct Case {
    const char* mode;
    bool reset;
  };
  for (const Case& c : {Case{"close", false}, Case{"reset", true}}) {
    SCOPED_TRACE(c.mode);
    SimModuleProcess sim({"--tcp", "0"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    Fd link(connectLoopback(sim.port()));
    ASSERT_TRUE(writeAll(link.get(), kProbe));
    ASSERT_EQ(readBytes(link.get(), 2), kAnswer);

    ASSERT_TRUE(sim.command(std::string("DROP ") + c.mode)) << sim.error();
    int error = 0;
    EXPECT_TRUE(readBytes(link.get(), 1, &error).empty());
    EXPECT_EQ(error, c.reset ? ECONNRESET : 0);

    link.reset(connectLoopback(sim.port()));
    ASSERT_TRUE(writeAll(link.get(), kProbe));
    EXPECT_EQ(readBytes(link.get(), 2), kAnswer);
  }
}

TEST(SimModuleProgram, TcpConnectionDuringTheGapIsAnsweredOnReturn) {
  SimModuleProcess sim({"--tcp", "0", "--return-ms", "100"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  Fd link(connectLoopback(sim.port()));
  ASSERT_TRUE(writeAll(link.get(), kProbe));
  ASSERT_EQ(readBytes(link.get(), 2), kAnswer);
  ASSERT_TRUE(sim.command("DROP close"));
  EXPECT_FALSE(sim.command("DROP close")) << "nothing left to drop";

  link.reset(connectLoopback(sim.port()));  // waits in the backlog until the module is back
  ASSERT_TRUE(writeAll(link.get(), kProbe));
  EXPECT_EQ(readBytes(link.get(), 2), kAnswer);
}

TEST(SimModuleProgram, TcpHostThatClosesCanConnectAgain) {
  SimModuleProcess sim({"--tcp", "0", "--flood", "2"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  for (int connection = 0; connection < 2; ++connection) {
    Fd link(connectLoopback(sim.port()));
    ASSERT_TRUE(writeAll(link.get(), kProbe));
    EXPECT_EQ(readBytes(link.get(), 12), join({kAnswer,
                                               {0x02, 0x03, kvsim::kFloodCommand, 0x00, 0x00},
                                               {0x02, 0x03, kvsim::kFloodCommand, 0x00, 0x01}}))
        << "flood after the first packet of connection " << connection;
  }
}

TEST(SimModuleProgram, DropAfterClosesTheConnectionOnTheConfiguredPacket) {
  SimModuleProcess sim({"--tcp", "0", "--drop-after", "2"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  Fd link(connectLoopback(sim.port()));
  ASSERT_TRUE(writeAll(link.get(), kProbe));
  ASSERT_EQ(readBytes(link.get(), 2), kAnswer);
  ASSERT_TRUE(writeAll(link.get(), kProbe));
  EXPECT_TRUE(readBytes(link.get(), 1).empty()) << "dropped, the second answer went with it";

  link.reset(connectLoopback(sim.port()));
  ASSERT_TRUE(writeAll(link.get(), kProbe));
  EXPECT_EQ(readBytes(link.get(), 2), kAnswer);
}

// --- Pseudo-terminals -----------------------------------------------------------------------

TEST(SimModuleProgram, PtyCarriesRawBytes) {
  SimModuleProcess sim({"--pty"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  Fd port(openSlave(sim.ptyPath()));
  ASSERT_GE(port.get(), 0) << sim.ptyPath();
  ASSERT_TRUE(PtyPair::makeRaw(port.get()));
  ASSERT_TRUE(writeAll(port.get(), repeat(kProbe, 2)));
  EXPECT_EQ(readBytes(port.get(), 4), repeat(kAnswer, 2));
  ASSERT_TRUE(sim.command("HB 0"));
  EXPECT_EQ(readBytes(port.get(), 4), (Bytes{0x02, 0x02, 0x00, 0x00}));
}

TEST(SimModuleProgram, PtyWithCobsFramesBothWays) {
  SimModuleProcess sim({"--pty", "--cobs", "--address", "4", "--bad-frame", "1"});
  ASSERT_TRUE(sim.ready()) << sim.error();
  Fd port(openSlave(sim.ptyPath()));
  ASSERT_TRUE(PtyPair::makeRaw(port.get()));

  Bytes frame = kvsim::frameEncode(kProbe);
  ASSERT_TRUE(writeAll(port.get(), join({kvsim::frameEncode(kProbe, true), frame, frame})));
  EXPECT_EQ(readBytes(port.get(), 10),
            join({{0x02, 0x04, 0x02, 0xC4, 0x00}, {0x02, 0x04, 0x02, 0x3B, 0x00}}))
      << "one answer per good frame; the first with a spoiled check byte";
  EXPECT_TRUE(sim.awaitRecord(Direction::In, kProbe, 2));
  EXPECT_EQ(kvsim::countRecords(sim.dump(), Direction::In, kProbe), 2u)
      << "the bad frame was not taken";

  ASSERT_TRUE(sim.command("SEND 04 01 17"));
  Bytes sent = kvsim::frameEncode({0x04, 0x01, 0x17});
  EXPECT_EQ(readBytes(port.get(), sent.size()), sent);
}

// The two pty front ends with a stable name: the kernel-node stand-in and a serial port link.
struct NamedPtyCase {
  const char* name;
  bool node;
};

class SimModuleProgramNamedPty : public testing::TestWithParam<NamedPtyCase> {};

TEST_P(SimModuleProgramNamedPty, NameFollowsThePtyAcrossADrop) {
  TempDir dir;
  std::string name = dir.file("kolvantis.0000ABCD");
  std::vector<std::string> arguments = GetParam().node
                                           ? std::vector<std::string>{"--node", name}
                                           : std::vector<std::string>{"--pty", "--link", name};
  SimModuleProcess sim(arguments);
  ASSERT_TRUE(sim.ready()) << sim.error();
  ASSERT_EQ(linkTarget(name), sim.ptyPath());

  Fd node(openSlave(name));
  ASSERT_GE(node.get(), 0);
  termios settings{};
  ASSERT_EQ(tcgetattr(node.get(), &settings), 0);
  EXPECT_EQ(settings.c_lflag & (ECHO | ICANON), 0u) << "raw";
  ASSERT_EQ(settings.c_cc[VMIN], 0) << "a read with no byte must come back";
  if (GetParam().node) {
    EXPECT_GT(settings.c_cc[VTIME], 0) << "the node waits a little before it says no byte";
    uint8_t byte = 0;
    EXPECT_EQ(read(node.get(), &byte, 1), 0);
  }
  ASSERT_TRUE(writeAll(node.get(), kProbe));
  EXPECT_EQ(readBytes(node.get(), 2), kAnswer);

  std::string first = sim.ptyPath();
  ASSERT_TRUE(sim.command("DROP close"));
  ASSERT_TRUE(sim.awaitNewPty(first)) << sim.error();
  EXPECT_EQ(linkTarget(name), sim.ptyPath());

  node.reset(openSlave(name));
  ASSERT_GE(node.get(), 0);
  ASSERT_TRUE(writeAll(node.get(), kProbe));
  EXPECT_EQ(readBytes(node.get(), 2), kAnswer);
  EXPECT_TRUE(sim.command("HB 0")) << "answers held while waiting for the pty are not lost";

  sim.stop();
  EXPECT_TRUE(linkTarget(name).empty()) << "the name goes with the program";
}

INSTANTIATE_TEST_SUITE_P(Fronts, SimModuleProgramNamedPty,
                         testing::Values(NamedPtyCase{"Node", true},
                                         NamedPtyCase{"PtyLink", false}),
                         [](const testing::TestParamInfo<NamedPtyCase>& param) {
                           return param.param.name;
                         });

}  // namespace
