// A plain ZeroMQ ROUTER on TCP loopback with a context of its own, playing the sharing broker
// for tests of the broker client stream and of broker-client links.
#pragma once

#include <zmq.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace coretest {

// Longest wait for a frame that is on its way; only reached on failure.
constexpr int kRouterArrivalMs = 5000;
constexpr size_t kRouterEndpointBytes = 256;

// The broker's side: a ROUTER on 127.0.0.1 with a context of its own.
class Router {
 public:
  // port 0: a port the system picks.
  explicit Router(uint16_t port = 0) : context_(zmq_ctx_new()) {
    socket_ = zmq_socket(context_, ZMQ_ROUTER);
    const int linger = 0;
    zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
    const std::string endpoint =
        port == 0 ? std::string("tcp://127.0.0.1:*") : "tcp://127.0.0.1:" + std::to_string(port);
    bound_ = zmq_bind(socket_, endpoint.c_str()) == 0;
    char last[kRouterEndpointBytes] = {};
    size_t size = sizeof last;
    zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, last, &size);
    const char* colon = std::strrchr(last, ':');
    port_ = colon != nullptr ? static_cast<uint16_t>(std::atoi(colon + 1)) : 0;
  }
  ~Router() {
    zmq_close(socket_);
    zmq_ctx_term(context_);
  }
  Router(const Router&) = delete;
  Router& operator=(const Router&) = delete;

  bool bound() const { return bound_; }
  uint16_t port() const { return port_; }

  // The next message's content frame (after the identity); false when none came in time.
  bool receive(std::vector<uint8_t>* content, int timeoutMs = kRouterArrivalMs) {
    zmq_pollitem_t item{socket_, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, timeoutMs) <= 0) return false;
    zmq_msg_t part;
    zmq_msg_init(&part);
    if (zmq_msg_recv(&part, socket_, 0) < 0) return false;
    identity_.assign(static_cast<uint8_t*>(zmq_msg_data(&part)),
                     static_cast<uint8_t*>(zmq_msg_data(&part)) + zmq_msg_size(&part));
    bool more = zmq_msg_more(&part) != 0;
    zmq_msg_close(&part);
    content->clear();
    if (!more) return true;
    zmq_msg_init(&part);
    if (zmq_msg_recv(&part, socket_, 0) < 0) return false;
    content->assign(static_cast<uint8_t*>(zmq_msg_data(&part)),
                    static_cast<uint8_t*>(zmq_msg_data(&part)) + zmq_msg_size(&part));
    zmq_msg_close(&part);
    return true;
  }
  // The identity of the client that sent last.
  const std::vector<uint8_t>& identity() const { return identity_; }
  // One frame to the client that sent last.
  bool send(const std::vector<uint8_t>& frame) { return sendTo(identity_, frame); }
  bool sendTo(const std::vector<uint8_t>& identity, const std::vector<uint8_t>& frame) {
    if (zmq_send(socket_, identity.data(), identity.size(), ZMQ_SNDMORE) < 0) return false;
    return zmq_send(socket_, frame.data(), frame.size(), 0) == static_cast<int>(frame.size());
  }

 private:
  void* context_;
  void* socket_ = nullptr;
  bool bound_ = false;
  uint16_t port_ = 0;
  std::vector<uint8_t> identity_;
};

}  // namespace coretest
