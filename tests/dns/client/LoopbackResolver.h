#pragma once
// A UDP server on a loopback port chosen by the system. It collects a number
// of queries, then answers them through a function the test gives (which may
// reorder, drop or keep silent). Runs on its own thread, bounded in time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace clienttest {

class LoopbackResolver {
 public:
  using Datagram = std::vector<uint8_t>;
  // Given every query received, returns the datagrams to send back, in order.
  using Responder = std::function<std::vector<Datagram>(const std::vector<Datagram>& queries)>;

  LoopbackResolver(size_t expectedQueries, Responder responder, bool ipv6 = false) : ipv6_(ipv6) {
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (ipv6) {
      sockaddr_in6 addr{};
      addr.sin6_family = AF_INET6;
      addr.sin6_addr = in6addr_loopback;
      ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      socklen_t len = sizeof addr;
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
      port_ = ntohs(addr.sin6_port);
    } else {
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      socklen_t len = sizeof addr;
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
      port_ = ntohs(addr.sin_port);
    }
    thread_ = std::thread([this, expectedQueries, responder = std::move(responder)] {
      serve(expectedQueries, responder);
    });
  }
  ~LoopbackResolver() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }

  int port() const { return port_; }
  std::string host() const { return ipv6_ ? "::1" : "127.0.0.1"; }
  size_t received() const { return received_.load(); }

 private:
  void serve(size_t expected, const Responder& responder) {
    std::vector<Datagram> queries;
    sockaddr_storage peer{};
    socklen_t peerLength = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      Datagram buffer(65535);
      peerLength = sizeof peer;
      const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&peer), &peerLength);
      if (n < 0) continue;
      buffer.resize(static_cast<size_t>(n));
      queries.push_back(std::move(buffer));
      ++received_;
      if (queries.size() == expected) {
        for (const auto& reply : responder(queries))
          ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&peer), peerLength);
        queries.clear();
      }
    }
  }

  bool ipv6_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> received_{0};
  std::thread thread_;
};

// Open descriptors of this process.
inline size_t openDescriptorCount() {
  size_t count = 0;
  for (int fd = 0; fd < 4096; ++fd)
    if (::fcntl(fd, F_GETFD) != -1) ++count;
  return count;
}

}  // namespace clienttest
