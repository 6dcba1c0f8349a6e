#include "sim_front_tcp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim_module_program.h"

namespace kvsim {

namespace {

constexpr int kListenBacklog = 4;

}  // namespace

TcpTransport::~TcpTransport() {
  drop(DropMode::Close);
  if (listen_ >= 0) close(listen_);
}

bool TcpTransport::open(std::string* error) {
  if (!listenOnPort(error)) return false;
  say("PORT " + std::to_string(port_));
  return true;
}

bool TcpTransport::accept() {
  int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return false;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // split bytes go out apart
  data_ = fd;
  return true;
}

void TcpTransport::drop(DropMode mode) {
  away_ = true;  // also without a connection: nobody is accepted until comeBack
  if (data_ < 0) return;
  if (mode == DropMode::Reset) {
    linger abort{1, 0};
    setsockopt(data_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  } else {
    shutdown(data_, SHUT_RDWR);
  }
  close(data_);
  data_ = -1;
}

void TcpTransport::refuseConnections() {
  if (listen_ >= 0) close(listen_);
  listen_ = -1;
}

bool TcpTransport::comeBack() {
  if (listen_ < 0) {
    std::string error;
    if (!listenOnPort(&error)) {
      complain(error);
      return false;
    }
  }
  away_ = false;  // the listener is accepted from again
  return true;
}

ssize_t TcpTransport::write(const uint8_t* data, size_t length) {
  return send(data_, data, length, MSG_NOSIGNAL);
}

bool TcpTransport::listenOnPort(std::string* error) {
  listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (listen_ >= 0) setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port_);
  socklen_t length = sizeof address;
  if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listen_, kListenBacklog) != 0 ||
      getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *error = "cannot listen on 127.0.0.1:" + std::to_string(port_) + ": " + std::strerror(errno);
    if (listen_ >= 0) close(listen_);
    listen_ = -1;
    return false;
  }
  port_ = ntohs(address.sin_port);
  return true;
}

}  // namespace kvsim
