#pragma once
// A plain UDP socket on loopback for tests: sends to a port, receives with
// a deadline.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace testsupport {

class LoopbackClient {
 public:
  explicit LoopbackClient(bool ipv6 = false) : ipv6_(ipv6) {
    fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  ~LoopbackClient() { close(); }
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  bool valid() const { return fd_ >= 0; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool sendTo(uint16_t port, std::string_view data, const char* host = nullptr) const {
    sockaddr_storage storage{};
    socklen_t length;
    if (ipv6_) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
      in6->sin6_family = AF_INET6;
      in6->sin6_port = htons(port);
      ::inet_pton(AF_INET6, host ? host : "::1", &in6->sin6_addr);
      length = sizeof(sockaddr_in6);
    } else {
      auto* in = reinterpret_cast<sockaddr_in*>(&storage);
      in->sin_family = AF_INET;
      in->sin_port = htons(port);
      ::inet_pton(AF_INET, host ? host : "127.0.0.1", &in->sin_addr);
      length = sizeof(sockaddr_in);
    }
    return ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&storage), length) ==
           static_cast<ssize_t>(data.size());
  }

  // One datagram, or none when nothing arrives in time.
  std::optional<std::string> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    char buffer[65536];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
  }

  // The local port the kernel gave this socket (after the first send).
  uint16_t localPort() const {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length);
    if (storage.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  }

 private:
  bool ipv6_;
  int fd_ = -1;
};

// True when ::1 can be bound here (some containers have no IPv6).
inline bool ipv6LoopbackAvailable() {
  int fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  in6.sin6_addr = in6addr_loopback;
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&in6), sizeof in6) == 0;
  ::close(fd);
  return ok;
}

}  // namespace testsupport
