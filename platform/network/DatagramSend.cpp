#include "platform/network/DatagramSend.h"

#include <netinet/in.h>
#include <poll.h>

#include <cerrno>
#include <cstring>

namespace platform {

void receiveDestinations(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
  setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one);
}

std::optional<SocketAddress> destinationOf(const msghdr& message) {
  auto& m = const_cast<msghdr&>(message);
  for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      sockaddr_in in{};
      in.sin_family = AF_INET;
      in.sin_addr = info.ipi_addr;
      return SocketAddress::fromSockaddr(reinterpret_cast<const sockaddr*>(&in), sizeof in);
    }
    if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      sockaddr_in6 in6{};
      in6.sin6_family = AF_INET6;
      in6.sin6_addr = info.ipi6_addr;
      // A link-local destination keeps the interface it came in on.
      if (IN6_IS_ADDR_LINKLOCAL(&info.ipi6_addr)) in6.sin6_scope_id = info.ipi6_ifindex;
      return SocketAddress::fromSockaddr(reinterpret_cast<const sockaddr*>(&in6), sizeof in6);
    }
  }
  return std::nullopt;
}

bool sendDatagram(int fd, const SocketAddress& to, const std::optional<SocketAddress>& from, const uint8_t* data,
                  size_t size) {
  iovec iov{const_cast<uint8_t*>(data), size};
  msghdr message{};
  message.msg_name = const_cast<sockaddr*>(to.sockaddrPtr());
  message.msg_namelen = to.length();
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[kDestinationControlSize] = {};
  if (from && !from->isUnspecified()) {
    message.msg_control = control;
    cmsghdr* c = reinterpret_cast<cmsghdr*>(control);
    if (from->family() == AF_INET) {
      in_pktinfo info{};
      info.ipi_spec_dst = reinterpret_cast<const sockaddr_in*>(from->sockaddrPtr())->sin_addr;
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof info);
      std::memcpy(CMSG_DATA(c), &info, sizeof info);
      message.msg_controllen = CMSG_SPACE(sizeof info);
    } else {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(from->sockaddrPtr());
      in6_pktinfo info{};
      info.ipi6_addr = in6->sin6_addr;
      info.ipi6_ifindex = in6->sin6_scope_id;
      c->cmsg_level = IPPROTO_IPV6;
      c->cmsg_type = IPV6_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof info);
      std::memcpy(CMSG_DATA(c), &info, sizeof info);
      message.msg_controllen = CMSG_SPACE(sizeof info);
    }
  }
  // A full send buffer drains in microseconds on loopback; wait for it a
  // few times, never for long.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t n = sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(size)) return true;
    if (n >= 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != ENOBUFS) return false;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 5);
  }
  return false;
}

}  // namespace platform
