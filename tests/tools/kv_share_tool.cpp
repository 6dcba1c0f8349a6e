// kv_share_tool: shares one module over a sharing broker for tests and benchmarks.
//
//   kv_share_tool --tcp HOST:PORT --serial HEX [--interface A.B.C.D] [--network]
//
// Connects the module at that TCP address through the class interface with sharing enabled
// (local-only unless --network; --interface names the interface the broker is made on),
// prints "share ready address=A.B.C.D port=N" on standard output once the broker runs, and
// keeps the share until its standard input closes or it gets SIGTERM. Exit status 0 after a
// share that ran, 1 when the share could not be made, 2 for a bad command line.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Link.h"
#include "aDiscovery.h"
#include "aError.h"

namespace {

using Zentrova::Kolvantis::Link;
using Zentrova::Kolvantis::VelnetConfig;

constexpr int kExitShared = 0;
constexpr int kExitNoShare = 1;
constexpr int kExitUsage = 2;
constexpr unsigned long kMaxPort = 65535;
constexpr size_t kDrainBytes = 256;

const char kUsage[] =
    "usage: kv_share_tool --tcp HOST:PORT --serial HEX [--interface A.B.C.D] [--network]\n";

struct Options {
  uint32_t moduleAddress = 0;  // IPv4, network order
  uint16_t modulePort = 0;
  uint32_t serial = 0;
  uint32_t networkInterface = htonl(INADDR_LOOPBACK);
  bool network = false;
};

bool ParseAddress(const std::string& text, uint32_t* address) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  *address = parsed.s_addr;
  return true;
}

bool ParseNumber(const char* text, int base, unsigned long maximum, unsigned long* value) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long parsed = std::strtoul(text, &end, base);
  if (errno != 0 || *end != '\0' || parsed > maximum) return false;
  *value = parsed;
  return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  bool haveTcp = false;
  bool haveSerial = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long number = 0;
    if (option == "--network") {
      options->network = true;
    } else if (option == "--tcp" && value != nullptr) {
      const std::string target = value;
      const size_t colon = target.rfind(':');
      if (colon == std::string::npos ||
          !ParseAddress(target.substr(0, colon), &options->moduleAddress) ||
          !ParseNumber(target.c_str() + colon + 1, 10, kMaxPort, &number) || number == 0) {
        return false;
      }
      options->modulePort = static_cast<uint16_t>(number);
      haveTcp = true;
      ++i;
    } else if (option == "--serial" && value != nullptr) {
      if (!ParseNumber(value, 16, 0xFFFFFFFFUL, &number)) return false;
      options->serial = static_cast<uint32_t>(number);
      haveSerial = true;
      ++i;
    } else if (option == "--interface" && value != nullptr) {
      if (!ParseAddress(value, &options->networkInterface)) return false;
      ++i;
    } else {
      return false;
    }
  }
  return haveTcp && haveSerial;
}

// Blocks until standard input closes or SIGTERM comes (blocked, and taken through fd).
void AwaitEnd(int signals) {
  pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {signals, POLLIN, 0}};
  for (;;) {
    if (poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[1].revents != 0) return;
    if (watched[0].revents != 0) {
      char drained[kDrainBytes];
      const ssize_t got = read(STDIN_FILENO, drained, sizeof drained);
      if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  // Before any thread exists, so that every thread inherits the mask and SIGTERM is only ever
  // taken through the descriptor.
  sigset_t terminate;
  sigemptyset(&terminate);
  sigaddset(&terminate, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &terminate, nullptr) != 0) return kExitNoShare;
  const int signals = signalfd(-1, &terminate, SFD_CLOEXEC);
  if (signals < 0) return kExitNoShare;

  VelnetConfig config;
  config.enabled = 1;
  config.fallback = 0;
  config.localOnly = options.network ? 0 : 1;
  config.port = 0;
  config.address = options.networkInterface;

  linkSpec spec{};
  spec.type = aLINK_TYPE_TCPIP;
  spec.serialNumber = options.serial;
  spec.address = options.moduleAddress;
  spec.port = options.modulePort;

  int status = kExitNoShare;
  {
    Link link("share");
    link.setConfig(config);
    link.setLinkSpecifier(spec);
    const aErr connected = link.connect();
    VelnetConfig running;
    if (connected != aErrNone || link.getConfig(&running) != aErrNone) {
      std::fprintf(stderr, "kv_share_tool: no share: %s\n", aError_GetErrorText(connected));
    } else {
      char dotted[INET_ADDRSTRLEN] = {};
      in_addr where{};
      where.s_addr = running.address;
      inet_ntop(AF_INET, &where, dotted, sizeof dotted);
      std::printf("share ready address=%s port=%u\n", dotted, static_cast<unsigned>(running.port));
      std::fflush(stdout);
      AwaitEnd(signals);
      status = kExitShared;
    }
    link.disconnect();
  }
  close(signals);
  return status;
}
