// kv_sim_module: the stand-in module as a program, for tests of the device link over TCP, a
// serial port (pty, raw or COBS-framed) or the kernel device node (pty behind a symlink).
//
// The program's pieces, each in its own file:
//   sim_module_options   the command line, read into a ProgramOptions, and the usage text
//   sim_front_tcp        the TCP listener and its come-backs (--tcp)
//   sim_front_pty        the pseudo-terminal, as a serial port (--pty, --link) or as the
//                        kernel device node (--node)
//   sim_front_discovery  the discovery responder (--discovery)
//   sim_module_control   the control commands on standard input
//   sim_module_loop      the poll loop that drives them all and the module
// The module itself (core, UEI values, router, upgrade persona, store slots, factory data,
// streams) is set up from the options by sim_module_setup; the options and control commands
// of store slots, factory data and streams are in sim_data_options.
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>

#include "sim_front_discovery.h"
#include "sim_front_pty.h"
#include "sim_front_tcp.h"
#include "sim_module_loop.h"
#include "sim_module_options.h"

namespace {

constexpr int kExitUsage = 2;

volatile sig_atomic_t gStop = 0;
void onStopSignal(int) { gStop = 1; }

int usage(const std::string& problem) {
  std::fprintf(stderr, "kv_sim_module: %s\n(see --help)\n", problem.c_str());
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  using kvsim::ProgramOptions;
  ProgramOptions options;
  std::string error;
  switch (kvsim::parseProgramOptions(argc, argv, &options, &error)) {
    case kvsim::ParseOutcome::Help:
      kvsim::printProgramHelp();
      return 0;
    case kvsim::ParseOutcome::Refused:
      return usage(error);
    case kvsim::ParseOutcome::Run:
      break;
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction stop {};
  stop.sa_handler = onStopSignal;  // no SA_RESTART: poll returns and the loop cleans up
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);

  std::unique_ptr<kvsim::Transport> transport;
  if (options.front == ProgramOptions::Front::Tcp)
    transport = std::make_unique<kvsim::TcpTransport>(options.port);
  else
    transport = std::make_unique<kvsim::PtyTransport>(options.linkPath,
                                                      options.front == ProgramOptions::Front::Node);
  std::unique_ptr<kvsim::DiscoveryResponder> discovery;
  if (options.discovery) discovery = std::make_unique<kvsim::DiscoveryResponder>();
  kvsim::ProgramLoop loop(options, std::move(transport), std::move(discovery));
  if (!loop.setUp(&error)) return usage(error);
  return loop.run(gStop);
}
