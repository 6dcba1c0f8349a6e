// The pseudo-terminal front end, raw bytes both ways (framing, when asked for, is the core's):
//   serial port   --pty, optionally with a symlink to the slave (--link) that moves to the new
//                 slave on every come-back;
//   kernel node   --node: the same behind a symlink, but a read of the slave that finds no
//                 byte returns 0 after kNodeReadWaitDeciseconds, as the node's driver does.
// A drop closes the pty (and removes the symlink); the come-back opens a new one and prints
// "PTY <slave path>" again.
#pragma once

#include <termios.h>

#include <string>
#include <utility>

#include "sim_front_end.h"

namespace kvsim {

constexpr cc_t kNodeReadWaitDeciseconds = 1;  // a node read with no byte returns 0 after 100 ms

class PtyTransport : public Transport {
 public:
  // linkPath: symlink to the slave, or empty. node: reads without a byte return 0 after a
  // short wait, like the kernel node's driver.
  PtyTransport(std::string linkPath, bool node) : link_(std::move(linkPath)), node_(node) {}
  ~PtyTransport() override;

  // Makes the pty and prints "PTY <slave path>".
  bool open(std::string* error) override;
  void drop(DropMode mode) override;
  bool comeBack() override;

 private:
  bool makePty(std::string* error);

  std::string link_;
  bool node_;
  int slave_ = -1;
  std::string slavePath_;
};

}  // namespace kvsim
