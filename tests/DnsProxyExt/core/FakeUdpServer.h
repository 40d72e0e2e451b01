#pragma once
// A loopback UDP server on a port picked by the system, for tests: records
// every datagram it gets and answers through a replaceable handler.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/SocketBuffers.h"

namespace testing_support {

class FakeUdpServer {
 public:
  using Bytes = std::vector<uint8_t>;
  // Returns the replies to send back for one datagram (none: stay silent).
  using Handler = std::function<std::vector<Bytes>(const Bytes& query)>;

  explicit FakeUdpServer(Handler handler = {}) : handler_(std::move(handler)) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    platform::growSocketBuffers(fd_);  // hundreds of queries may arrive at once
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~FakeUdpServer() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  FakeUdpServer(const FakeUdpServer&) = delete;
  FakeUdpServer& operator=(const FakeUdpServer&) = delete;

  int port() const { return port_; }
  std::string hostText() const { return "127.0.0.1:" + std::to_string(port_); }
  void setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  std::vector<Bytes> received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  size_t receivedCount() const {
    std::lock_guard lock(mutex_);
    return received_.size();
  }

 private:
  void run() {
    std::vector<uint8_t> buf(65536);
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) continue;
      Bytes query(buf.begin(), buf.begin() + n);
      Handler handler;
      {
        std::lock_guard lock(mutex_);
        received_.push_back(query);
        handler = handler_;
      }
      if (!handler) continue;
      for (const auto& reply : handler(query)) {
        ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  Handler handler_;
  std::vector<Bytes> received_;
  std::thread thread_;
};

}  // namespace testing_support
