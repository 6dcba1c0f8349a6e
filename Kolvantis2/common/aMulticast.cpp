// IPv4 UDP multicast socket of the broker discovery exchange: one direction per socket, address
// reuse off, loop-back on, time-to-live 1, one-second receive time-out.
#include "aMulticast.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "aDebug.h"
#include "aTime.h"

struct aMulticast {
  int socket;
  addrinfo* group;        // group and port: destination of sends, group joined
  addrinfo* bind;         // a receiver's wildcard address and port; null for a sender
  addrinfo* networkFace;  // the local interface for membership and sending, port 0
  uint8_t isSender;
};

namespace {

constexpr int kReceiveTimeoutMs = 1000;  // ms a receive waits for a datagram
constexpr int kMulticastTtl = 1;         // hops: the exchange stays on the host's link
constexpr int kDottedSize = 16;          // "255.255.255.255" and its NUL
constexpr int kPortTextSize = 6;         // five decimal digits and the NUL
constexpr const char* kLoopbackText = "127.0.0.1";

#define MTRACE(...) aTRACE(aDEBUG_MULTICAST, __VA_ARGS__)

// Resolves numeric host text (null: the passive wildcard address) and port text; family,
// type and protocol come from like when given (the group's), else any family over UDP.
addrinfo* Resolve(const char* host, const char* port, const addrinfo* like, int* error) {
  addrinfo hints{};
  hints.ai_family = like != nullptr ? like->ai_family : AF_UNSPEC;
  hints.ai_socktype = like != nullptr ? like->ai_socktype : SOCK_DGRAM;
  hints.ai_protocol = like != nullptr ? like->ai_protocol : IPPROTO_UDP;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | (host == nullptr ? AI_PASSIVE : 0);
  addrinfo* result = nullptr;
  *error = getaddrinfo(host, port, &hints, &result);
  if (*error != 0) {
    MTRACE("Invalid address %s, getaddrinfo failed: %d\n", host != nullptr ? host : "(any)",
           *error);
    return nullptr;
  }
  return result;
}

in_addr Ipv4Of(const addrinfo* address) {
  return reinterpret_cast<const sockaddr_in*>(address->ai_addr)->sin_addr;
}

// One IPv4 socket option of the multicast set-up; the failure traces name the step.
int SetIpv4Option(aMulticast* m, int level, int option, const void* value, socklen_t size,
                  const char* familyTrace, const char* failTrace, const char* stepTrace) {
  if (m->group->ai_family != AF_INET) {
    MTRACE("%s", familyTrace);
    return -1;
  }
  const int rc = setsockopt(m->socket, level, option, value, size);
  if (rc != 0) {
    const int error = errno;
    MTRACE(failTrace, error);
    MTRACE(stepTrace, rc, error);
    errno = error;
  }
  return rc;
}

void Release(aMulticast* m) {
  if (m->socket >= 0) close(m->socket);
  if (m->group != nullptr) freeaddrinfo(m->group);
  if (m->bind != nullptr) freeaddrinfo(m->bind);
  if (m->networkFace != nullptr) freeaddrinfo(m->networkFace);
  delete m;
}

// Frees what was made and keeps the failed step's errno for the caller.
aMulticast* Fail(aMulticast* m, int error) {
  MTRACE("in cleanup function");
  Release(m);
  errno = error;
  return nullptr;
}

}  // namespace

aMulticast* aMulticast_Create(uint32_t networkInterface, uint32_t group, uint16_t port,
                              bool isSender) {
  aMulticast* m = new (std::nothrow) aMulticast{};
  if (m == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  m->socket = -1;
  m->isSender = isSender ? 1 : 0;

  char groupText[kDottedSize] = {};
  char faceText[kDottedSize] = {};
  char portText[kPortTextSize] = {};
  in_addr value{};
  value.s_addr = group;
  inet_ntop(AF_INET, &value, groupText, sizeof groupText);
  if (networkInterface == 0) {
    snprintf(faceText, sizeof faceText, "%s", kLoopbackText);
  } else {
    value.s_addr = networkInterface;
    inet_ntop(AF_INET, &value, faceText, sizeof faceText);
  }
  snprintf(portText, sizeof portText, "%u", static_cast<unsigned>(port));

  int error = 0;
  m->group = Resolve(groupText, portText, nullptr, &error);
  if (m->group == nullptr) {
    MTRACE("Unable to convert multicast address '%s - port: %s': Error %d\n", groupText, portText,
           error);
    return Fail(m, EINVAL);
  }
  if (!isSender) {
    m->bind = Resolve(nullptr, portText, m->group, &error);
    if (m->bind == nullptr) {
      MTRACE("Unable to convert bind address '%s': Error %d\n", portText, error);
      return Fail(m, EINVAL);
    }
  }
  m->networkFace = Resolve(faceText, "0", m->group, &error);
  if (m->networkFace == nullptr) {
    MTRACE("Unable to convert interface address '%s': Error %d\n", faceText, error);
    return Fail(m, EINVAL);
  }

  m->socket =
      socket(m->group->ai_family, m->group->ai_socktype | SOCK_CLOEXEC, m->group->ai_protocol);
  if (m->socket < 0) {
    error = errno;
    MTRACE("socket() failed with with error code %d\n", error);
    return Fail(m, error);
  }

  // Reuse off: only one receiver can hold the port on the host.
  const int reuse = 0;
  int rc = setsockopt(m->socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (rc != 0) {
    error = errno;
    MTRACE("Failed to set reuse %d\n", error);
    MTRACE("Failed to _setReuse rc: %d - %d\n", rc, error);
    return Fail(m, error);
  }

  if (!isSender && ::bind(m->socket, m->bind->ai_addr, m->bind->ai_addrlen) != 0) {
    error = errno;
    MTRACE("bind() failed with error code %d \n", error);
    return Fail(m, error);
  }

  ip_mreq membership{};
  if (m->group->ai_family == AF_INET) {
    membership.imr_multiaddr = Ipv4Of(m->group);
    membership.imr_interface = Ipv4Of(m->networkFace);
  }
  if (SetIpv4Option(m, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership,
                    "Attempting to join multicast group for invalid address family!",
                    "JoinMulticastGroup: setsockopt failed with error code %d\n",
                    "_joinMulticastGroup %d - %d\n") != 0)
    return Fail(m, errno);

  in_addr sendFace{};
  if (m->group->ai_family == AF_INET) sendFace = Ipv4Of(m->networkFace);
  if (SetIpv4Option(m, IPPROTO_IP, IP_MULTICAST_IF, &sendFace, sizeof sendFace,
                    "Attempting to set sent interface for invalid address family!",
                    "Failed to set send interface. error code %d\n",
                    "_setSendInterface %d - %d\n") != 0)
    return Fail(m, errno);

  const unsigned char ttl = kMulticastTtl;
  if (SetIpv4Option(m, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl,
                    "Attempting to set TTL for invalid address family!",
                    "SetMulticastTtl: setsockopt() failed with error code %d\n",
                    "_setMulticastTtl %d - %d\n") != 0)
    return Fail(m, errno);

  timeval wait{};
  wait.tv_sec = kReceiveTimeoutMs / 1000;
  wait.tv_usec = (kReceiveTimeoutMs % 1000) * 1000;
  if (SetIpv4Option(m, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait,
                    "Attempting to set Timeout for invalid address family!",
                    "SetReceivTimeout: setsockopt() failed with error code %d\n",
                    "_setReceiveTimeout %d - %d\n") != 0)
    return Fail(m, errno);

  const unsigned char loop = 1;
  if (SetIpv4Option(m, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop,
                    "Attempting to set multicast loopback for invalid address family!",
                    "SetMulticastLoopBack: setsockopt() failed with error code %d\n",
                    "_setMulticastLoopBack %d - %d\n") != 0)
    return Fail(m, errno);

  return m;
}

int aMulticast_Send(aMulticast* socket, const void* data, unsigned length) {
  if (socket == nullptr) return aMULTICAST_NULL;
  if (!socket->isSender) return aMULTICAST_WRONG_DIRECTION;
  const ssize_t sent = sendto(socket->socket, data, length, MSG_NOSIGNAL, socket->group->ai_addr,
                              socket->group->ai_addrlen);
  if (sent < 0) {
    MTRACE("sendto() failed with error code %d\n", errno);
    return aMULTICAST_FAILED;
  }
  return static_cast<int>(sent);
}

int aMulticast_ReceiveFrom(aMulticast* socket, void* buffer, int size, uint32_t* from) {
  if (socket == nullptr) return aMULTICAST_NULL;
  if (socket->isSender) return aMULTICAST_WRONG_DIRECTION;
  if (size < 0 || (buffer == nullptr && size > 0)) return aMULTICAST_FAILED;

  // The wait runs on the monotonic clock and resumes after a signal for the rest of its time.
  const uint64_t end = aTime_GetMonotonicMSTicks() + kReceiveTimeoutMs;
  for (;;) {
    const uint64_t now = aTime_GetMonotonicMSTicks();
    if (now >= end) return aMULTICAST_FAILED;  // time-out: no trace
    pollfd ready{socket->socket, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(end - now));
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) {
      MTRACE("recvfrom() failed with error code %d\n", errno);
      return aMULTICAST_FAILED;
    }
    if (polled == 0) return aMULTICAST_FAILED;

    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t got = recvfrom(socket->socket, buffer, static_cast<size_t>(size), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (got >= 0) {
      if (from != nullptr) *from = sender.sin_family == AF_INET ? sender.sin_addr.s_addr : 0;
      return static_cast<int>(got);
    }
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    MTRACE("recvfrom() failed with error code %d\n", errno);
    return aMULTICAST_FAILED;
  }
}

int aMulticast_Receive(aMulticast* socket, void* buffer, int size) {
  return aMulticast_ReceiveFrom(socket, buffer, size, nullptr);
}

int aMulticast_Descriptor(const aMulticast* socket) {
  return socket != nullptr ? socket->socket : -1;
}

int aMulticast_Destroy(aMulticast** socket) {
  if (socket == nullptr || *socket == nullptr) return aMULTICAST_NULL;
  Release(*socket);
  *socket = nullptr;
  return 0;
}
