// The loop of the kv_sim_module program: one thread, one poll over standard input (the
// control channel), the front end's listener and connection, and the discovery socket.
//
// Output segments that must wait (split packets) are written when their time comes, so the
// control channel never blocks behind them. The upgrade persona's timed work (late replies,
// drops, come-backs) wakes the same loop, as do the late replies of store slots and the
// stream samples (TimedWork). A host that goes away leaves the module ready for the next one
// at once; a drop by the knobs or the DROP command brings it back after --return-ms; a drop by
// the upgrade persona keeps it off the network, discovery included, until the persona brings
// it back.
#pragma once

#include <signal.h>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim_front_discovery.h"
#include "sim_front_end.h"
#include "sim_module_control.h"
#include "sim_module_core.h"
#include "sim_module_options.h"
#include "sim_module_setup.h"

namespace kvsim {

constexpr unsigned kComeBackRetryMs = 100;  // ms between tries to listen again on the port

class ProgramLoop : private ControlledLoop {
 public:
  // Sets the module up as options say (see setUp()); discovery may be null.
  ProgramLoop(const ProgramOptions& options, std::unique_ptr<Transport> transport,
              std::unique_ptr<DiscoveryResponder> discovery);

  // False (with the reason) when the module's setup was refused.
  bool setUp(std::string* error) const;

  // Opens the front ends and serves until QUIT, the end of standard input or stop; the exit
  // status (1 when a front end could not open or the flash dump failed).
  int run(const volatile sig_atomic_t& stop);

 private:
  using Clock = std::chrono::steady_clock;

  // ControlledLoop, for the control channel.
  bool connected() const override { return transport_->dataFd() >= 0; }
  void dropConnection(DropMode mode) override { drop(mode); }
  void quit() override { quit_ = true; }

  void readLink();
  void readControl();
  // Ends the connection. timedReturn: the module comes back after --return-ms (TCP holds new
  // connections until then); otherwise it is off the network, refusing connections, until the
  // upgrade persona brings it back. The listener closes before the connection does, so a host
  // that sees the end finds the port refusing.
  void drop(DropMode mode, bool timedReturn = true);
  void comeBack();
  void comeBackWhenDue();
  // Dropped by the upgrade persona and not yet back: off the network, discovery included.
  bool awayForUpgrade() const { return away_ && !returnAt_; }
  // The serial number the module shows now: the persona's after a come-back.
  uint32_t serial() const;
  void pollUpgrade();
  void pollTimed();
  void flushBeforeDrop();
  void flushOutput();
  int finish();
  // Output waiting for its time or for room in the transport.
  bool writeDue() const { return !queue_.empty() && Clock::now() >= nextWriteAt(); }
  Clock::time_point nextWriteAt() const;
  int pollTimeoutMs(bool due) const;

  ModuleCore core_;
  std::unique_ptr<Transport> transport_;
  unsigned returnMs_;
  std::string flashDumpPath_;  // written at exit too
  ModuleParts parts_;
  std::vector<std::shared_ptr<TimedWork>> timed_;  // polled by the loop
  bool setUpOk_ = false;
  std::string setUpError_;
  std::unique_ptr<DiscoveryResponder> discovery_;
  ControlChannel control_;
  bool stdinOpen_ = true;
  bool quit_ = false;
  std::deque<Segment> queue_;
  Clock::time_point lastWrite_{};
  bool away_ = false;
  std::optional<Clock::time_point> returnAt_;  // unset while away: until the persona's come-back
};

}  // namespace kvsim
