// Runs the stand-in ISP ROM (LpcIspRom) on the master side of a pseudo-terminal, on a thread
// of its own: the host program opens the slave as its serial port.
//
//   PtyPair pty;
//   kvsim::LpcIspServer chip(pty.master());
//   chip.start();
//   ... the client opens pty.slaveName() ...
//   EXPECT_EQ(chip.flash()[0], 0x00);
//
// The server sends the ROM's answers in order, each once its work time has passed; while the
// chip works (an erase) it takes no input. With a pacing rate the answers leave at that baud
// rate (10 bits per byte), as from a real serial line. "Babble" sends garbage without end,
// on top of everything else, until it is switched off.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim_lpc_isp.h"
#include "sim_pty.h"

namespace kvsim {

class LpcIspServer : public PtyServerThread {
 public:
  // fd: the master side, not owned; it is switched to non-blocking. paceBaud 0: no pacing.
  explicit LpcIspServer(int fd, const LpcConfig& config = LpcConfig(), uint32_t paceBaud = 0);
  ~LpcIspServer() override;

  // Changes the ROM's knobs while it runs.
  void configure(const std::function<void(LpcConfig&)>& change);
  void setBabble(bool on) { babble_ = on; }

  LpcBytes flash() const;
  bool running() const;  // the chip was started with G
  uint32_t startAddress() const;
  bool echo() const;
  std::vector<std::string> commands() const;
  int resendsSent() const;
  // Every byte the host sent, in order.
  std::string received() const;

 private:
  void run() override;

  uint32_t paceBaud_;
  std::atomic<bool> babble_{false};
  mutable std::mutex mutex_;  // guards rom_ and received_
  LpcIspRom rom_;
  std::string received_;
};

}  // namespace kvsim
