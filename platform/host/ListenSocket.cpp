#include "platform/host/ListenSocket.h"

#include "platform/network/SocketBuffers.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

int openSocket(int family, int type) {
  int fd = socket(family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (type == SOCK_STREAM) {
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  } else {
    // Bursts of queries must not overflow the default buffers.
    growSocketBuffers(fd);
  }
  return fd;
}

bool bindPair(const SocketAddress& address, ListenSocket& out, int& err) {
  out.udpFd = openSocket(address.family(), SOCK_DGRAM);
  if (out.udpFd < 0 || bind(out.udpFd, address.sockaddrPtr(), address.length()) != 0) {
    err = errno;
    return false;
  }
  SocketAddress bound;
  socklen_t length = sizeof(sockaddr_storage);
  getsockname(out.udpFd, bound.sockaddrPtr(), &length);
  out.bound = bound;
  out.tcpFd = openSocket(address.family(), SOCK_STREAM);
  if (out.tcpFd < 0 || bind(out.tcpFd, bound.sockaddrPtr(), bound.length()) != 0 || listen(out.tcpFd, 128) != 0) {
    err = errno;
    return false;
  }
  return true;
}

void closePair(ListenSocket& s) {
  if (s.udpFd >= 0) close(s.udpFd);
  if (s.tcpFd >= 0) close(s.tcpFd);
  s.udpFd = s.tcpFd = -1;
}

}  // namespace

std::vector<ListenSocket> bindListenSockets(const std::vector<SocketAddress>& addresses, std::string& error) {
  std::vector<ListenSocket> sockets;
  for (const auto& address : addresses) {
    ListenSocket pair;
    int err = 0;
    bool ok = bindPair(address, pair, err);
    // A free UDP port may be taken for TCP: pick another.
    for (int attempt = 0; !ok && address.port() == 0 && err == EADDRINUSE && attempt < 20; ++attempt) {
      closePair(pair);
      ok = bindPair(address, pair, err);
    }
    if (!ok) {
      closePair(pair);
      closeListenSockets(sockets);
      error = "cannot listen on " + address.description() + ": " + std::strerror(err);
      return {};
    }
    sockets.push_back(pair);
  }
  return sockets;
}

void closeListenSockets(std::vector<ListenSocket>& sockets) {
  for (auto& s : sockets) closePair(s);
  sockets.clear();
}

}  // namespace platform
