// The TCP front end: a listener on 127.0.0.1 that takes one connection at a time and accepts
// again after a drop. While a timed drop keeps the module away, new connections wait in the
// backlog; while the upgrade persona keeps it off the network, the listener is closed, so the
// port refuses connections, and comeBack() listens on the same port again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim_front_end.h"

namespace kvsim {

class TcpTransport : public Transport {
 public:
  explicit TcpTransport(uint16_t port) : port_(port) {}  // 0: a free port
  ~TcpTransport() override;

  // Listens and prints "PORT <n>".
  bool open(std::string* error) override;
  int listenFd() const override { return data_ < 0 && !away_ ? listen_ : -1; }
  uint16_t listenPort() const override { return port_; }
  bool accept() override;
  void drop(DropMode mode) override;
  // Closes the listener, so connections are refused as by a module that is off the network;
  // comeBack() listens on the same port again.
  void refuseConnections() override;
  bool comeBack() override;
  ssize_t write(const uint8_t* data, size_t length) override;

 private:
  // Listens on port_ (0: a free one, which port_ then holds).
  bool listenOnPort(std::string* error);

  uint16_t port_;
  int listen_ = -1;
  bool away_ = false;  // dropped and not yet back: new connections wait in the backlog
};

}  // namespace kvsim
