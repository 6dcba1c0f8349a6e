// A front end of the kv_sim_module program: what carries the link's bytes between the host and
// the module's loop. One per transport: TCP (sim_front_tcp.h) and the pseudo-terminal, as a
// serial port or as the kernel device node (sim_front_pty.h).
//
// The loop polls dataFd() for the link's bytes and listenFd() for new connections, and acts
// on drops and come-backs: drop() ends the connection, comeBack() makes the next one
// possible (and prints the ready line again where there is a new one to tell of).
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim_module_core.h"

namespace kvsim {

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

}  // namespace kvsim
