// kv_sim_module: the stand-in module as a program, for tests of the device link over TCP, a
// serial port (pty, raw or COBS-framed) or the kernel device node (pty behind a symlink).
//
// One thread, one poll loop: standard input carries control commands (one per line, answered
// on standard output with "OK" or "ERR <reason>"), the transport carries the link's bytes.
// Output segments that must wait (split packets) are written when their time comes, so the
// control channel never blocks behind them. With --upgrade the upgrade persona's timed work
// (late replies, drops, come-backs) wakes the same loop, as do the late replies of store slots
// (--slot, --slot-fault) and the stream samples (--stream, --stream-rate); the options and
// control commands of store slots, factory data and streams are in sim_data_options.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim_data_options.h"
#include "sim_module_core.h"
#include "sim_module_setup.h"
#include "sim_upgrade.h"

namespace {

using kvsim::Bytes;
using kvsim::DropMode;
using kvsim::ModuleConfig;
using kvsim::ModuleCore;
using Clock = std::chrono::steady_clock;

constexpr int kListenBacklog = 4;
constexpr size_t kReadChunk = 4096;           // bytes per read from the transport or stdin
constexpr cc_t kNodeReadWaitDeciseconds = 1;  // a node read with no byte returns 0 after 100 ms
constexpr int kExitUsage = 2;
constexpr unsigned long kMaxOptionMs = 600000;  // longest delay an option takes, in ms
constexpr unsigned kComeBackRetryMs = 100;      // ms between tries to listen again on the port

volatile sig_atomic_t gStop = 0;
void onStopSignal(int) { gStop = 1; }

const char kHelp[] =
    "usage: kv_sim_module (--tcp PORT | --pty [--cobs] [--link PATH] | --node PATH) [options]\n"
    "\n"
    "A stand-in module for tests of the device link. Prints \"PORT <n>\" (TCP on 127.0.0.1;\n"
    "0 picks a free port) or \"PTY <slave path>\" once it listens, and again \"PTY <path>\"\n"
    "each time a pty comes back after a drop. Packets are [address][length][data].\n"
    "\n"
    "Front ends:\n"
    "  --tcp PORT           TCP listener on 127.0.0.1; accepts again after a drop; while\n"
    "                       an upgrade drop keeps the module away the port refuses\n"
    "                       connections, and it listens on the same port once back\n"
    "  --pty                pseudo-terminal, raw bytes (a serial port)\n"
    "  --cobs               with --pty: every packet as COBS(packet + CRC-8) + 0x00 both ways\n"
    "  --link PATH          with --pty: a symlink at PATH to the slave, kept across come-backs\n"
    "  --node PATH          pseudo-terminal behind a symlink at PATH, raw bytes: the kernel\n"
    "                       device node (a read without a byte returns 0 after 100 ms)\n"
    "\n"
    "Module:\n"
    "  --address N          module address (default 2)\n"
    "  --serial HEX         serial number\n"
    "  --echo CMD           reply to packets whose first data byte is CMD with their data\n"
    "  --reply CMD=HEX      reply to CMD with these data bytes (repeat for several replies)\n"
    "  --discovery          with --tcp: answer the 16-byte discovery request sent to group\n"
    "                       232.2.2.2 port 9888 with the 16-byte reply to the sender's port\n"
    "                       9889 (address, TCP port, serial number, model); not while an\n"
    "                       upgrade drop keeps the module away\n"
    "  --model N            model number in the discovery reply, the UEI identity (option 8)\n"
    "                       and the USB product id (default 0x11)\n"
    "\n"
    "UEI values (the system entity, command 3; the entity store, command 92; the 0x49\n"
    "queries; the command 23 echo):\n"
    "  --uei                answer them; identity from --address, --serial, --model and:\n"
    "  --build N            firmware build number (option 43 and the 0x49 build query)\n"
    "  --version WORD       packed firmware version (option 7, default 0x2F020F03)\n"
    "  --name TEXT          module name (option 32, a byte string)\n"
    "  --features WORD      protocol feature bits (option 45, default 0x80000000)\n"
    "  --uei-fault NAME:CMD:IDX:OPT:COUNT[:PARAM]\n"
    "                       arm a reply fault of one option (repeatable); COUNT is a number\n"
    "                       of exchanges or \"every\"; NAME one of:\n"
    "                         wrong-length     one extra 0x00 byte after the reply\n"
    "                         error-code       an error reply with code PARAM instead\n"
    "                         other-address    the reply comes from address PARAM\n"
    "                         late             the reply goes out ahead of the next reply\n"
    "                         duplicate        the reply goes out twice\n"
    "                         out-of-sequence  byte-string gets: the first two chunks swap\n"
    "                                          (a single chunk carries number 1)\n"
    "                         silence          no reply at all\n"
    "\n"
    "Router (implies --uei): an I2C bus (command 8, bus 0) with modules behind it, each with\n"
    "its own system entity (router option 2 = this module's address). Packets for their\n"
    "addresses are answered over this link from those addresses; packets for any other\n"
    "address but this module's go unanswered. DUMP shows the routed packets both ways.\n"
    "Bus: write [8][0][ADDR][n][speed][n bytes], read [8][0][ADDR|1][n][speed], pull-up\n"
    "[8][0][1][on]; status 0 or 0x80|code (0x83: nobody acknowledges ADDR); a read gives back\n"
    "the bytes last written to that module, padded with zeros.\n"
    "  --behind ADDR:SERIAL[:MODEL[:NAME]]\n"
    "                       a module behind at module and bus address ADDR (even), SERIAL\n"
    "                       in hex (repeatable)\n"
    "  --behind-silent ADDR the module at ADDR acknowledges on the bus but never answers\n"
    "  --behind-missing ADDR  the module at ADDR is gone: no acknowledgement, no answer\n"
    "\n"
    "Fault knobs (COUNT is a number of packets sent, or \"all\"):\n"
    "  --silent             send no answers (sync answers, replies); HB/SEND/FLOOD still go\n"
    "  --odd-address COUNT  odd address byte in the packets sent\n"
    "  --zero-address COUNT zero address byte in the packets sent\n"
    "  --oversize-length COUNT  length byte 29 in the packets sent\n"
    "  --garbage COUNT      a run of odd, non-zero bytes before each packet sent\n"
    "  --garbage-length N   bytes per garbage run (default 8)\n"
    "  --split COUNT        packets sent one byte at a time with gaps\n"
    "  --split-gap-ms MS    gap between the bytes of a split packet (default 2)\n"
    "  --bad-frame COUNT    with --cobs: frames with a wrong CRC-8\n"
    "  --coalesce           everything ready at once goes out in one write\n"
    "  --flood N            N packets [A][3][F0][seq hi][seq lo] after the first packet of\n"
    "                       each connection\n"
    "  --drop-after N       drop the connection on its N-th received packet (unanswered)\n"
    "  --drop-mode MODE     close (orderly, default) or reset (TCP: RST)\n"
    "  --return-ms MS       come back this long after a drop (default 0)\n";

const char kControlHelp[] =
    "Control commands on standard input, one per line:\n"
    "  HB <x>               send the heartbeat [A][2][0][x]\n"
    "  SEND <hex bytes>     send these bytes as one packet\n"
    "  FLOOD <n>            send n flood packets at once\n"
    "  DROP close|reset     drop the connection, come back after --return-ms\n"
    "  SILENT on|off        switch the answers off or on\n"
    "  FAULT <name> <COUNT|off>  arm a fault knob (names as the options above)\n"
    "  UEIFAULT [@ADDR] NAME:CMD:IDX:OPT:COUNT[:PARAM]  arm a UEI fault (as --uei-fault);\n"
    "                       @ADDR: of the module behind at ADDR (COUNT 0 disarms)\n"
    "  UEISET [@ADDR] CMD:IDX:OPT[:SUB] VALUE  give an option a new value: a number, or for\n"
    "                       byte strings \"text\" or hex bytes\n"
    "  BEHIND ADDR present|silent|missing  change a module behind\n"
    "  DUMP                 the recorded packets, one per line: \"<ms> <in|out> <hex>\"\n"
    "  FLASH PATH           with --upgrade: write the flash now, as --flash-dump does\n"
    "  QUIT                 end\n";
const char kControlEnd[] = "Every command ends with a line \"OK\" or \"ERR <reason>\".\n";

void say(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::optional<unsigned long> parseNumber(const std::string& text, int base = 0) {
  if (text.empty())
    return std::nullopt;
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || text[0] == '-')
    return std::nullopt;
  return value;
}

std::optional<int> parseCount(const std::string& text) {
  if (text == "all")
    return kvsim::kEvery;
  if (text == "off")
    return 0;
  auto value = parseNumber(text, 10);
  if (!value || *value > 1000000000UL)
    return std::nullopt;
  return static_cast<int>(*value);
}

// --- Transports -----------------------------------------------------------------------------

class Transport {
 public:
  virtual ~Transport() = default;
  // Makes the listener or the pty and prints the ready line.
  virtual bool open(std::string* error) = 0;
  // The descriptor carrying the link's bytes; -1 while there is none.
  int dataFd() const { return data_; }
  // TCP only: the listener to accept from, -1 otherwise.
  virtual int listenFd() const { return -1; }
  virtual bool accept() { return false; }
  // Ends the connection; comeBack() makes the next one possible.
  virtual void drop(DropMode mode) = 0;
  // Called before drop() when the module goes off the network until comeBack(): TCP then
  // refuses connections instead of holding them.
  virtual void refuseConnections() {}
  virtual bool comeBack() = 0;
  virtual ssize_t write(const uint8_t* data, size_t length) { return ::write(data_, data, length); }
  // TCP only: the port listened on once open, 0 otherwise.
  virtual uint16_t listenPort() const { return 0; }

 protected:
  int data_ = -1;
};

class TcpTransport : public Transport {
 public:
  explicit TcpTransport(uint16_t port) : port_(port) {}
  ~TcpTransport() override {
    drop(DropMode::Close);
    if (listen_ >= 0)
      close(listen_);
  }

  bool open(std::string* error) override {
    if (!listenOnPort(error))
      return false;
    say("PORT " + std::to_string(port_));
    return true;
  }

  int listenFd() const override { return data_ < 0 && !away_ ? listen_ : -1; }
  uint16_t listenPort() const override { return port_; }

  bool accept() override {
    int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
      return false;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // split bytes go out apart
    data_ = fd;
    return true;
  }

  void drop(DropMode mode) override {
    away_ = true;  // also without a connection: nobody is accepted until comeBack
    if (data_ < 0)
      return;
    if (mode == DropMode::Reset) {
      linger abort{1, 0};
      setsockopt(data_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    } else {
      shutdown(data_, SHUT_RDWR);
    }
    close(data_);
    data_ = -1;
  }

  // Closes the listener, so connections are refused as by a module that is off the network;
  // comeBack() listens on the same port again.
  void refuseConnections() override {
    if (listen_ >= 0)
      close(listen_);
    listen_ = -1;
  }

  bool comeBack() override {
    if (listen_ < 0) {
      std::string error;
      if (!listenOnPort(&error)) {
        std::fprintf(stderr, "kv_sim_module: %s\n", error.c_str());
        return false;
      }
    }
    away_ = false;  // the listener is accepted from again
    return true;
  }

  ssize_t write(const uint8_t* data, size_t length) override {
    return send(data_, data, length, MSG_NOSIGNAL);
  }

 private:
  // Listens on port_ (0: a free one, which port_ then holds).
  bool listenOnPort(std::string* error) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (listen_ >= 0)
      setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    socklen_t length = sizeof address;
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_, kListenBacklog) != 0 ||
        getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      *error = "cannot listen on 127.0.0.1:" + std::to_string(port_) + ": " + std::strerror(errno);
      if (listen_ >= 0)
        close(listen_);
      listen_ = -1;
      return false;
    }
    port_ = ntohs(address.sin_port);
    return true;
  }

  uint16_t port_;
  int listen_ = -1;
  bool away_ = false;  // dropped and not yet back: new connections wait in the backlog
};

class PtyTransport : public Transport {
 public:
  // linkPath: symlink to the slave, or empty. node: reads without a byte return 0 after a
  // short wait, like the kernel node's driver.
  PtyTransport(std::string linkPath, bool node) : link_(std::move(linkPath)), node_(node) {}
  ~PtyTransport() override {
    drop(DropMode::Close);
    if (!link_.empty())
      unlink(link_.c_str());
  }

  bool open(std::string* error) override {
    if (!makePty(error))
      return false;
    say("PTY " + slavePath_);
    return true;
  }

  void drop(DropMode) override {
    if (!link_.empty())
      unlink(link_.c_str());
    if (data_ >= 0)
      close(data_);
    if (slave_ >= 0)
      close(slave_);
    data_ = slave_ = -1;
  }

  bool comeBack() override {
    std::string error;
    if (data_ >= 0)
      return true;
    if (!makePty(&error)) {
      std::fprintf(stderr, "kv_sim_module: %s\n", error.c_str());
      return false;
    }
    say("PTY " + slavePath_);
    return true;
  }

 private:
  bool makePty(std::string* error) {
    char name[256] = {};
    if (openpty(&data_, &slave_, name, nullptr, nullptr) != 0) {
      *error = std::string("openpty failed: ") + std::strerror(errno);
      return false;
    }
    fcntl(data_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    fcntl(data_, F_SETFL, fcntl(data_, F_GETFL) | O_NONBLOCK);
    // The module keeps the slave open itself, so the master never sees a hang-up while the
    // host closes and reopens the port.
    termios settings{};
    tcgetattr(slave_, &settings);
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = node_ ? kNodeReadWaitDeciseconds : 0;
    tcsetattr(slave_, TCSANOW, &settings);
    slavePath_ = name;
    if (!link_.empty()) {
      std::string temporary = link_ + ".new";
      unlink(temporary.c_str());
      if (symlink(slavePath_.c_str(), temporary.c_str()) != 0 ||
          rename(temporary.c_str(), link_.c_str()) != 0) {
        *error = "cannot make the link " + link_ + ": " + std::strerror(errno);
        return false;
      }
    }
    return true;
  }

  std::string link_;
  bool node_;
  int slave_ = -1;
  std::string slavePath_;
};

// --- Discovery responder ------------------------------------------------------------------

constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr uint16_t kDiscoveryRequestPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr size_t kDiscoveryDatagram = 16;  // bytes of the request and of the reply
constexpr uint8_t kDiscoveryRequestCode = 1;

// Answers discovery requests: a member of the group on the request port, replying to the
// sender's address on the reply port with the module's address, TCP port, serial number and
// model.
class DiscoveryResponder {
 public:
  ~DiscoveryResponder() {
    if (fd_ >= 0)
      close(fd_);
  }

  bool open(std::string* error) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(kDiscoveryRequestPort);
    ip_mreq membership{};
    inet_pton(AF_INET, kDiscoveryGroup, &membership.imr_multiaddr);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
      *error = std::string("cannot join the discovery group: ") + std::strerror(errno);
      return false;
    }
    return true;
  }

  int fd() const { return fd_; }

  // Reads one datagram and answers it when it is a request and the module is present (a module
  // that is off the network reads requests and leaves them unanswered).
  void answer(bool present, uint8_t address, uint16_t tcpPort, uint32_t serial, uint8_t model) {
    uint8_t request[kDiscoveryDatagram + 1];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t got = recvfrom(fd_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from),
                           &fromLength);
    if (!present || got != static_cast<ssize_t>(kDiscoveryDatagram) ||
        request[0] != kDiscoveryRequestCode)
      return;
    uint8_t reply[kDiscoveryDatagram] = {};
    reply[0] = kDiscoveryRequestCode;
    reply[1] = address;
    reply[2] = static_cast<uint8_t>(tcpPort);
    reply[3] = static_cast<uint8_t>(tcpPort >> 8);
    for (int i = 0; i < 4; ++i)
      reply[4 + i] = static_cast<uint8_t>(serial >> (8 * i));
    reply[12] = model;
    from.sin_port = htons(kDiscoveryReplyPort);
    sendto(fd_, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
  }

 private:
  int fd_ = -1;
};

// --- Command line ---------------------------------------------------------------------------

struct Options {
  enum class Front { None, Tcp, Pty, Node } front = Front::None;
  uint16_t port = 0;
  std::string linkPath;
  unsigned returnMs = 0;
  bool returnMsGiven = false;
  bool discovery = false;
  ModuleConfig config;
  kvsim::ModuleSetup setup;
  std::string ueiOnly;  // an option given that needs UEI values
  std::vector<std::pair<uint8_t, kvsim::Presence>> presences;
  std::vector<uint8_t> echoes;
  std::vector<std::pair<uint8_t, Bytes>> replies;
  bool upgrade = false;
  kvsim::UpgradeConfig upgradeConfig;
  std::string upgradeOnly;  // an option given that needs --upgrade
};

bool parseOptions(int argc, char** argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = option + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    auto number = [&](unsigned long limit, int base, unsigned long* out) {
      std::string text;
      if (!value(&text))
        return false;
      auto parsed = parseNumber(text, base);
      if (!parsed || *parsed > limit) {
        *error = "bad value for " + option + ": " + text;
        return false;
      }
      *out = *parsed;
      return true;
    };
    unsigned long n = 0;
    std::string text;
    ModuleConfig& config = options->config;
    kvsim::UpgradeConfig& upgrade = options->upgradeConfig;
    if (option == "--help" || option == "-h") {
      std::printf("%s\n%s\n%s\n%s%s%s", kHelp, kvsim::kUpgradeHelp, kvsim::kDataHelp, kControlHelp,
                  kvsim::kDataControlHelp, kControlEnd);
      std::exit(0);
    } else if (option == "--tcp") {
      if (!number(65535, 10, &n))
        return false;
      options->front = Options::Front::Tcp;
      options->port = static_cast<uint16_t>(n);
    } else if (option == "--pty") {
      options->front = Options::Front::Pty;
    } else if (option == "--cobs") {
      config.framed = true;
    } else if (option == "--link") {
      if (!value(&options->linkPath))
        return false;
    } else if (option == "--node") {
      if (!value(&options->linkPath))
        return false;
      options->front = Options::Front::Node;
    } else if (option == "--address") {
      if (!number(255, 0, &n))
        return false;
      config.address = static_cast<uint8_t>(n);
    } else if (option == "--serial") {
      if (!number(0xFFFFFFFFUL, 16, &n))
        return false;
      config.serial = static_cast<uint32_t>(n);
    } else if (option == "--echo") {
      if (!number(255, 0, &n))
        return false;
      options->echoes.push_back(static_cast<uint8_t>(n));
    } else if (option == "--reply") {
      if (!value(&text))
        return false;
      size_t equals = text.find('=');
      auto command = parseNumber(text.substr(0, equals));
      auto data = equals == std::string::npos ? std::nullopt : kvsim::parseHex(text.substr(equals + 1));
      if (!command || *command > 255 || !data || data->size() > kvsim::kMaxPacketData) {
        *error = "bad value for --reply: " + text;
        return false;
      }
      options->replies.emplace_back(static_cast<uint8_t>(*command), *data);
    } else if (option == "--discovery") {
      options->discovery = true;
    } else if (option == "--model") {
      if (!number(255, 0, &n))
        return false;
      config.model = static_cast<uint8_t>(n);
    } else if (option == "--uei") {
      options->setup.uei = true;
    } else if (option == "--build" || option == "--version" || option == "--features") {
      if (!number(0xFFFFFFFFUL, 0, &n))
        return false;
      uint32_t& field = option == "--build"     ? options->setup.identity.build
                        : option == "--version" ? options->setup.identity.version
                                                : options->setup.identity.protocolFeatures;
      field = static_cast<uint32_t>(n);
      options->ueiOnly = option;
    } else if (option == "--name") {
      if (!value(&options->setup.identity.name))
        return false;
      options->ueiOnly = option;
    } else if (option == "--uei-fault") {
      if (!value(&text))
        return false;
      auto fault = kvsim::parseUeiFault(text, error);
      if (!fault)
        return false;
      options->setup.ueiFaults.push_back(*fault);
      options->ueiOnly = option;
    } else if (option == "--behind") {
      if (!value(&text))
        return false;
      auto behind = kvsim::parseBehind(text, error);
      if (!behind)
        return false;
      options->setup.behind.push_back(*behind);
    } else if (option == "--behind-silent" || option == "--behind-missing") {
      if (!number(255, 0, &n))
        return false;
      options->presences.emplace_back(static_cast<uint8_t>(n), option == "--behind-silent"
                                                                   ? kvsim::Presence::Silent
                                                                   : kvsim::Presence::Missing);
    } else if (option == "--silent") {
      config.silent = true;
    } else if (option == "--coalesce") {
      config.coalesce = true;
    } else if (option == "--garbage-length") {
      if (!number(kReadChunk, 10, &n))
        return false;
      config.garbageLength = n;
    } else if (option == "--split-gap-ms") {
      if (!number(60000, 10, &n))
        return false;
      config.splitGapMs = static_cast<unsigned>(n);
    } else if (option == "--flood") {
      if (!number(1000000, 10, &n))
        return false;
      config.floodOnConnect = static_cast<unsigned>(n);
    } else if (option == "--drop-after") {
      if (!number(1000000000, 10, &n))
        return false;
      config.dropAfter = static_cast<unsigned>(n);
    } else if (option == "--drop-mode") {
      if (!value(&text))
        return false;
      if (text != "close" && text != "reset") {
        *error = "bad value for --drop-mode: " + text;
        return false;
      }
      config.dropMode = text == "reset" ? DropMode::Reset : DropMode::Close;
    } else if (option == "--upgrade") {
      options->upgrade = true;
    } else if (option == "--loader") {
      upgrade.startAsLoader = true;
      options->upgradeOnly = option;
    } else if (option == "--after-load" || option == "--return" || option == "--upgrade-fault" ||
               option == "--loader-fault") {
      if (!value(&text))
        return false;
      bool parsed = option == "--after-load"      ? kvsim::parseAfterLoad(text, &upgrade)
                    : option == "--return"        ? kvsim::parseReturnAs(text, &upgrade)
                    : option == "--upgrade-fault" ? kvsim::parseUpgradeFault(text, &upgrade)
                                                  : kvsim::parseLoaderFault(text, &upgrade);
      if (!parsed) {
        *error = "bad value for " + option + ": " + text + " (see --help)";
        return false;
      }
      options->upgradeOnly = option;
    } else if (option == "--return-quiet") {
      upgrade.announceOnReturn = false;
      options->upgradeOnly = option;
    } else if (option == "--reboot-drop-ms" || option == "--late-ms") {
      if (!number(kMaxOptionMs, 10, &n))
        return false;
      (option == "--late-ms" ? upgrade.lateMs : upgrade.rebootDropMs) = static_cast<unsigned>(n);
      options->upgradeOnly = option;
    } else if (option == "--block-size") {
      if (!number(0xFFFF, 0, &n))
        return false;
      if (n == 0) {
        *error = "--block-size must be at least 1 (the block-size-0 knob answers 0)";
        return false;
      }
      upgrade.blockSize = static_cast<uint16_t>(n);
      options->upgradeOnly = option;
    } else if (option == "--load-base") {
      if (!number(0xFFFFFFFFUL, 16, &n))
        return false;
      upgrade.loadBase = static_cast<uint32_t>(n);
      options->upgradeOnly = option;
    } else if (option == "--no-uei" || option == "--no-pooled") {
      (option == "--no-uei" ? upgrade.hasUei : upgrade.pooled) = false;
      options->upgradeOnly = option;
    } else if (option == "--flash-dump") {
      if (!value(&upgrade.flashDumpPath))
        return false;
      if (upgrade.flashDumpPath.empty()) {
        *error = "--flash-dump needs a path";
        return false;
      }
      options->upgradeOnly = option;
    } else if (option == "--return-ms") {
      if (!number(kMaxOptionMs, 10, &n))
        return false;
      options->returnMs = static_cast<unsigned>(n);
      options->returnMsGiven = true;
    } else if (auto fault = option.rfind("--", 0) == 0 ? kvsim::faultByName(option.substr(2)) : std::nullopt) {
      if (!value(&text))
        return false;
      auto count = parseCount(text);
      if (!count) {
        *error = "bad value for " + option + ": " + text;
        return false;
      }
      config.faults[*fault] = *count;
    } else if (auto taken = kvsim::parseDataOption(option, value, &options->setup, error);
               taken != kvsim::OptionTaken::No) {
      if (taken == kvsim::OptionTaken::Failed)
        return false;
    } else {
      *error = "unknown option " + option;
      return false;
    }
  }
  if (options->front == Options::Front::None) {
    *error = "one of --tcp, --pty or --node is needed";
    return false;
  }
  if (options->discovery && options->front != Options::Front::Tcp) {
    *error = "--discovery goes with --tcp";
    return false;
  }
  if (options->front != Options::Front::Pty && options->config.framed) {
    *error = "--cobs goes with --pty";
    return false;
  }
  kvsim::ModuleSetup& setup = options->setup;
  if (!options->upgradeOnly.empty() && !options->upgrade) {
    *error = options->upgradeOnly + " goes with --upgrade";
    return false;
  }
  if (options->upgrade) {
    if (options->returnMsGiven)
      options->upgradeConfig.returnMs = options->returnMs;
    setup.upgrade = options->upgradeConfig;
  }
  if (!options->ueiOnly.empty() && !setup.uei && setup.behind.empty() && !setup.upgrade) {
    *error = options->ueiOnly + " goes with --uei, --behind or --upgrade";
    return false;
  }
  for (const auto& [address, presence] : options->presences) {
    auto behind = std::find_if(setup.behind.begin(), setup.behind.end(),
                               [address = address](const kvsim::BehindSpec& spec) { return spec.address == address; });
    if (behind == setup.behind.end()) {
      *error = std::string("--behind-") + kvsim::presenceName(presence) + " " + std::to_string(address) +
               ": no --behind at that address";
      return false;
    }
    behind->presence = presence;
  }
  return true;
}

// --- The loop -------------------------------------------------------------------------------

class Simulator {
 public:
  Simulator(const Options& options, std::unique_ptr<Transport> transport)
      : core_(options.config),
        transport_(std::move(transport)),
        returnMs_(options.returnMs),
        flashDumpPath_(options.upgradeConfig.flashDumpPath) {
    // UEI values first: --echo and --reply take over the commands they name.
    setUpOk_ = kvsim::setUpModule(core_, options.setup, &parts_, &setUpError_);
    timed_ = kvsim::timedWork(parts_);
    if (options.discovery)
      discovery_ = std::make_unique<DiscoveryResponder>();
    for (uint8_t command : options.echoes)
      core_.echo(command);
    std::map<uint8_t, std::vector<Bytes>> scripted;
    for (const auto& [command, data] : options.replies)
      scripted[command].push_back(data);
    for (auto& [command, replies] : scripted)
      core_.script(command, std::move(replies));
  }

  // False (with the reason) when the module's setup was refused.
  bool setUp(std::string* error) const {
    *error = setUpError_;
    return setUpOk_;
  }

  int run() {
    std::string error;
    // Joined before the ready line, so a search started after it finds this module.
    if (discovery_ && !discovery_->open(&error)) {
      std::fprintf(stderr, "kv_sim_module: %s\n", error.c_str());
      return 1;
    }
    if (!transport_->open(&error)) {
      std::fprintf(stderr, "kv_sim_module: %s\n", error.c_str());
      return 1;
    }
    if (transport_->dataFd() >= 0)
      core_.startConnection();
    while (!quit_ && !gStop) {
      comeBackWhenDue();
      pollUpgrade();
      pollTimed();
      std::vector<pollfd> fds;
      if (stdinOpen_)
        fds.push_back({STDIN_FILENO, POLLIN, 0});
      int listener = transport_->listenFd();
      if (listener >= 0)
        fds.push_back({listener, POLLIN, 0});
      int data = transport_->dataFd();
      // Decided once: a segment that falls due between two looks must still wake the poll.
      bool due = writeDue();
      if (data >= 0)
        fds.push_back({data, static_cast<short>(POLLIN | (due ? POLLOUT : 0)), 0});
      if (discovery_)
        fds.push_back({discovery_->fd(), POLLIN, 0});
      if (poll(fds.data(), fds.size(), pollTimeoutMs(due)) < 0 && errno != EINTR)
        return 1;
      // The link first: a command may drop the connection its descriptor belongs to.
      for (const pollfd& fd : fds)
        if (fd.fd == data && (fd.revents & (POLLIN | POLLHUP | POLLERR)))
          readLink();
      for (const pollfd& fd : fds) {
        if (fd.revents == 0)
          continue;
        if (fd.fd == STDIN_FILENO)
          readControl();
        else if (fd.fd == listener && transport_->accept())
          core_.startConnection();
        else if (discovery_ && fd.fd == discovery_->fd())
          discovery_->answer(!awayForUpgrade(), core_.address(), transport_->listenPort(),
                             serial(), core_.config().model);
      }
      if (core_.dropDue())
        drop(core_.config().dropMode);
      flushOutput();
    }
    return finish();
  }

 private:
  void readLink() {
    uint8_t buffer[kReadChunk];
    ssize_t got = read(transport_->dataFd(), buffer, sizeof buffer);
    if (got > 0) {
      core_.receive(buffer, static_cast<size_t>(got));
      pollUpgrade();  // a LOAD or REBOOT may have scheduled a drop that is due at once
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      // The host went away: ready for the next one at once.
      transport_->drop(DropMode::Close);
      transport_->comeBack();
      queue_.clear();
    }
  }

  void readControl() {
    char buffer[kReadChunk];
    ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) {
      stdinOpen_ = false;
      quit_ = true;  // nobody left to control us
      return;
    }
    control_.append(buffer, static_cast<size_t>(got));
    size_t end;
    while ((end = control_.find('\n')) != std::string::npos) {
      std::string line = control_.substr(0, end);
      control_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      command(line);
    }
  }

  void command(const std::string& line) {
    std::istringstream words(line);
    std::string verb, argument;
    words >> verb;
    std::getline(words >> std::ws, argument);
    if (verb.empty())
      return;
    std::string error = execute(verb, argument);
    say(error.empty() ? "OK" : "ERR " + error);
  }

  // Runs one control command; the reason when it is refused.
  std::string execute(const std::string& verb, const std::string& argument) {
    if (verb == "HB") {
      auto x = parseNumber(argument);
      if (!x || *x > 255)
        return "HB needs a byte value";
      core_.sendHeartbeat(static_cast<uint8_t>(*x));
    } else if (verb == "SEND") {
      auto bytes = kvsim::parseHex(argument);
      if (!bytes || bytes->empty())
        return "SEND needs hex bytes";
      core_.sendRaw(*bytes);
    } else if (verb == "FLOOD") {
      auto n = parseNumber(argument, 10);
      if (!n || *n > 1000000)
        return "FLOOD needs a count";
      core_.flood(static_cast<unsigned>(*n));
    } else if (verb == "DROP") {
      if (argument != "close" && argument != "reset")
        return "DROP needs close or reset";
      if (transport_->dataFd() < 0)
        return "not connected";
      drop(argument == "reset" ? DropMode::Reset : DropMode::Close);
    } else if (verb == "SILENT") {
      if (argument != "on" && argument != "off")
        return "SILENT needs on or off";
      core_.setSilent(argument == "on");
    } else if (verb == "FAULT") {
      std::istringstream words(argument);
      std::string name, countText;
      words >> name >> countText;
      auto fault = kvsim::faultByName(name);
      auto count = parseCount(countText);
      if (!fault || !count)
        return "FAULT needs a knob name and a count, all or off";
      core_.setFault(*fault, *count);
    } else if (verb == "UEIFAULT" || verb == "UEISET") {
      std::istringstream words(argument);
      std::string first, spec, rest;
      words >> first;
      kvsim::UeiStore* store = nullptr;
      std::string error = targetStore(first, &store);
      if (!error.empty())
        return error;
      if (first.rfind('@', 0) != 0)
        words.seekg(0);
      words >> spec;
      std::getline(words >> std::ws, rest);
      return verb == "UEIFAULT" ? armUeiFault(*store, spec, rest) : setUeiValue(*store, spec, rest);
    } else if (verb == "BEHIND") {
      std::istringstream words(argument);
      std::string addressText, state;
      words >> addressText >> state;
      auto address = parseNumber(addressText);
      auto presence = kvsim::presenceByName(state);
      if (!address || *address > 255 || !presence)
        return "BEHIND needs an address and present, silent or missing";
      if (!parts_.router || !parts_.router->setPresence(static_cast<uint8_t>(*address), *presence))
        return "no module behind at " + addressText;
    } else if (verb == "FLASH") {
      if (!parts_.upgrade)
        return "no upgrade conversation (start with --upgrade)";
      if (argument.empty())
        return "FLASH needs a path";
      std::string error;
      if (!parts_.upgrade->writeFlashDump(argument, &error))
        return error;
    } else if (verb == "DUMP") {
      for (const kvsim::Record& record : core_.records())
        std::fprintf(stdout, "%s\n", kvsim::formatRecord(record).c_str());
    } else if (verb == "QUIT") {
      quit_ = true;
    } else if (std::vector<std::string> lines; auto refused = kvsim::dataControl(parts_, verb, argument, &lines)) {
      for (const std::string& line : lines)
        say(line);
      return *refused;
    } else {
      return "unknown command " + verb;
    }
    return "";
  }

  // The UEI values a control command means: "@ADDR" names a module behind, anything else this
  // module; the reason when there are none.
  std::string targetStore(const std::string& word, kvsim::UeiStore** store) {
    if (word.rfind('@', 0) != 0) {
      *store = parts_.store.get();
      return *store ? "" : "no UEI values (start with --uei)";
    }
    auto address = parseNumber(word.substr(1));
    auto behind = address && *address <= 255 && parts_.router
                      ? parts_.router->store(static_cast<uint8_t>(*address))
                      : nullptr;
    *store = behind.get();
    return *store ? "" : "no module behind at " + word.substr(1);
  }

  static std::string armUeiFault(kvsim::UeiStore& store, const std::string& spec, const std::string& rest) {
    std::string error;
    auto fault = rest.empty() ? kvsim::parseUeiFault(spec, &error) : std::nullopt;
    if (!fault)
      return error.empty() ? "UEIFAULT needs one NAME:CMD:IDX:OPT:COUNT[:PARAM]" : error;
    store.setFault(*fault);
    return "";
  }

  static std::string setUeiValue(kvsim::UeiStore& store, const std::string& keyText, const std::string& value) {
    std::string error;
    auto key = kvsim::parseUeiOptionKey(keyText, &error);
    if (!key)
      return error;
    if (value.empty())
      return "UEISET needs a value";
    return kvsim::assignUeiValue(store, *key, value);
  }

  // Ends the connection. timedReturn: the module comes back after --return-ms (TCP holds new
  // connections until then); otherwise it is off the network, refusing connections, until the
  // upgrade persona brings it back. The listener closes before the connection does, so a host
  // that sees the end finds the port refusing.
  void drop(DropMode mode, bool timedReturn = true) {
    if (!timedReturn)
      transport_->refuseConnections();
    transport_->drop(mode);
    queue_.clear();
    core_.startConnection();  // nothing of the old connection goes out on the next one
    away_ = true;
    returnAt_.reset();
    if (timedReturn)
      returnAt_ = Clock::now() + std::chrono::milliseconds(returnMs_);
  }

  void comeBack() {
    if (!transport_->comeBack()) {
      // The port could not be taken again yet (the reason is on standard error): try later.
      returnAt_ = Clock::now() + std::chrono::milliseconds(kComeBackRetryMs);
      return;
    }
    away_ = false;
    returnAt_.reset();
    if (transport_->dataFd() >= 0)
      core_.startConnection();
  }

  void comeBackWhenDue() {
    if (away_ && returnAt_ && Clock::now() >= *returnAt_)
      comeBack();
  }

  // Dropped by the upgrade persona and not yet back: off the network, discovery included.
  bool awayForUpgrade() const { return away_ && !returnAt_; }

  // The serial number the module shows now: the persona's after a come-back.
  uint32_t serial() const { return parts_.upgrade ? parts_.upgrade->serial() : core_.config().serial; }

  // The persona's timed work that has fallen due, and its drops and come-backs in order.
  void pollUpgrade() {
    if (!parts_.upgrade)
      return;
    for (const kvsim::UpgradeAction& action : parts_.upgrade->poll()) {
      if (action.kind == kvsim::UpgradeAction::Kind::Drop) {
        flushBeforeDrop();
        drop(core_.config().dropMode, false);
      } else if (away_) {
        comeBack();
      }
    }
    flushOutput();  // a late reply or the loader's announcement
  }

  // Late replies and stream samples that have fallen due.
  void pollTimed() {
    for (const auto& work : timed_)
      work->poll();
    flushOutput();
  }

  // What is ready goes out at once, gaps or not; what the transport cannot take now is lost
  // with the connection.
  void flushBeforeDrop() {
    if (transport_->dataFd() < 0)
      return;
    for (kvsim::Segment& segment : core_.takeSegments())
      queue_.push_back(std::move(segment));
    for (; !queue_.empty(); queue_.pop_front()) {
      Bytes& bytes = queue_.front().bytes;
      ssize_t written = transport_->write(bytes.data(), bytes.size());
      if (written != static_cast<ssize_t>(bytes.size()))
        return;
    }
  }

  // At the end of the run: the flash dump, when one was asked for.
  int finish() {
    std::string error;
    if (!parts_.upgrade || flashDumpPath_.empty() || parts_.upgrade->writeFlashDump(flashDumpPath_, &error))
      return 0;
    std::fprintf(stderr, "kv_sim_module: %s\n", error.c_str());
    return 1;
  }

  // Output waiting for its time or for room in the transport.
  bool writeDue() const { return !queue_.empty() && Clock::now() >= nextWriteAt(); }
  Clock::time_point nextWriteAt() const {
    return lastWrite_ + std::chrono::milliseconds(queue_.front().delayMs);
  }

  // How long the loop may sleep; due: a write is due now (poll waits for room instead).
  int pollTimeoutMs(bool due) const {
    auto until = [](Clock::time_point when) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
      return ms > 0 ? static_cast<int>(ms) + 1 : 0;
    };
    int timeout = -1;
    if (!queue_.empty() && !due)
      timeout = until(nextWriteAt());
    auto earliest = [&](Clock::time_point when) {
      int ms = until(when);
      timeout = timeout < 0 ? ms : std::min(timeout, ms);
    };
    if (away_ && returnAt_)
      earliest(*returnAt_);
    if (parts_.upgrade)
      if (std::optional<Clock::time_point> next = parts_.upgrade->nextDue())
        earliest(*next);
    for (const auto& work : timed_)
      if (std::optional<Clock::time_point> next = work->nextDue())
        earliest(*next);
    return timeout;
  }

  void flushOutput() {
    if (transport_->dataFd() < 0)
      return;  // output of a connection that is gone was dropped with it
    for (kvsim::Segment& segment : core_.takeSegments())
      queue_.push_back(std::move(segment));
    while (writeDue()) {
      Bytes& bytes = queue_.front().bytes;
      ssize_t written = transport_->write(bytes.data(), bytes.size());
      if (written < 0)
        return;  // full (poll waits for room) or gone (the read side notices)
      bytes.erase(bytes.begin(), bytes.begin() + written);
      if (!bytes.empty())
        return;
      queue_.pop_front();
      lastWrite_ = Clock::now();
    }
  }

  ModuleCore core_;
  std::unique_ptr<Transport> transport_;
  unsigned returnMs_;
  std::string flashDumpPath_;  // written at exit too
  kvsim::ModuleParts parts_;
  std::vector<std::shared_ptr<kvsim::TimedWork>> timed_;  // polled by the loop
  bool setUpOk_ = false;
  std::string setUpError_;
  std::unique_ptr<DiscoveryResponder> discovery_;
  bool stdinOpen_ = true;
  bool quit_ = false;
  std::string control_;
  std::deque<kvsim::Segment> queue_;
  Clock::time_point lastWrite_{};
  bool away_ = false;
  std::optional<Clock::time_point> returnAt_;  // unset while away: until the persona's come-back
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!parseOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "kv_sim_module: %s\n(see --help)\n", error.c_str());
    return kExitUsage;
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction stop{};
  stop.sa_handler = onStopSignal;  // no SA_RESTART: poll returns and the loop cleans up
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);

  std::unique_ptr<Transport> transport;
  if (options.front == Options::Front::Tcp)
    transport = std::make_unique<TcpTransport>(options.port);
  else
    transport = std::make_unique<PtyTransport>(options.linkPath, options.front == Options::Front::Node);
  Simulator simulator(options, std::move(transport));
  if (!simulator.setUp(&error)) {
    std::fprintf(stderr, "kv_sim_module: %s\n(see --help)\n", error.c_str());
    return kExitUsage;
  }
  return simulator.run();
}
