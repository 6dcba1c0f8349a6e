// The discovery front end of the TCP module (--discovery): a member of the discovery group
// on the request port that answers each 16-byte request with a 16-byte reply to the sender's
// address on the reply port: the module's address, TCP port, serial number and model.
//
//   request  [1][15 bytes, not read]
//   reply    [1][address][TCP port, 2, low byte first][serial number, 4, low byte first]
//            [0, 4][model][0, 3]
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvsim {

constexpr const char* kDiscoveryGroup = "232.2.2.2";
constexpr uint16_t kDiscoveryRequestPort = 9888;
constexpr uint16_t kDiscoveryReplyPort = 9889;
constexpr size_t kDiscoveryDatagram = 16;  // bytes of the request and of the reply
constexpr uint8_t kDiscoveryRequestCode = 1;

class DiscoveryResponder {
 public:
  DiscoveryResponder() = default;
  ~DiscoveryResponder();
  DiscoveryResponder(const DiscoveryResponder&) = delete;
  DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

  // Joins the group; the reason when it cannot.
  bool open(std::string* error);
  // The socket to poll for requests.
  int fd() const { return fd_; }
  // Reads one datagram and answers it when it is a request and the module is present (a
  // module that is off the network reads requests and leaves them unanswered).
  void answer(bool present, uint8_t address, uint16_t tcpPort, uint32_t serial, uint8_t model);

 private:
  int fd_ = -1;
};

}  // namespace kvsim
