#include "sim_front_discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kvsim {

DiscoveryResponder::~DiscoveryResponder() {
  if (fd_ >= 0) close(fd_);
}

bool DiscoveryResponder::open(std::string* error) {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int one = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(kDiscoveryRequestPort);
  ip_mreq membership{};
  inet_pton(AF_INET, kDiscoveryGroup, &membership.imr_multiaddr);
  membership.imr_interface.s_addr = htonl(INADDR_ANY);
  if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
    *error = std::string("cannot join the discovery group: ") + std::strerror(errno);
    return false;
  }
  return true;
}

void DiscoveryResponder::answer(bool present, uint8_t address, uint16_t tcpPort, uint32_t serial,
                                uint8_t model) {
  uint8_t request[kDiscoveryDatagram + 1];
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  ssize_t got =
      recvfrom(fd_, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (!present || got != static_cast<ssize_t>(kDiscoveryDatagram) ||
      request[0] != kDiscoveryRequestCode)
    return;
  uint8_t reply[kDiscoveryDatagram] = {};
  reply[0] = kDiscoveryRequestCode;
  reply[1] = address;
  reply[2] = static_cast<uint8_t>(tcpPort);
  reply[3] = static_cast<uint8_t>(tcpPort >> 8);
  for (int i = 0; i < 4; ++i) reply[4 + i] = static_cast<uint8_t>(serial >> (8 * i));
  reply[12] = model;
  from.sin_port = htons(kDiscoveryReplyPort);
  sendto(fd_, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
}

}  // namespace kvsim
