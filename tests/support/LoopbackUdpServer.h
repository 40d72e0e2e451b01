#pragma once
// Loopback UDP for tests: a bound socket, and a server thread that records
// every datagram and answers it through a replaceable handler.
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/network/SocketAddress.h"
#include "platform/network/SocketBuffers.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

class UdpSocket {
 public:
  explicit UdpSocket(const char* bindTo = "127.0.0.1:0") {
    auto address = *platform::SocketAddress::parse(bindTo);
    fd_ = socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    platform::growSocketBuffers(fd_);  // hundreds of datagrams may arrive at once
    bind(fd_, address.sockaddrPtr(), address.length());
    socklen_t length = sizeof(sockaddr_storage);
    getsockname(fd_, local_.sockaddrPtr(), &length);
  }
  ~UdpSocket() { close(fd_); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  int fd() const { return fd_; }
  const platform::SocketAddress& local() const { return local_; }
  void sendTo(const platform::SocketAddress& to, const Bytes& data) const {
    sendto(fd_, data.data(), data.size(), 0, to.sockaddrPtr(), to.length());
  }
  std::optional<Bytes> receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000),
                               platform::SocketAddress* from = nullptr) const {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    Bytes buffer(65536);
    platform::SocketAddress peer;
    socklen_t length = sizeof(sockaddr_storage);
    ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0, peer.sockaddrPtr(), &length);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    if (from) *from = peer;
    return buffer;
  }

 private:
  int fd_ = -1;
  platform::SocketAddress local_;
};

class LoopbackUdpServer {
 public:
  // Returns the replies to send back for one datagram (none: stay silent).
  using Handler = std::function<std::vector<Bytes>(const Bytes& query)>;

  explicit LoopbackUdpServer(Handler handler = {}, const char* bindTo = "127.0.0.1:0")
      : socket_(bindTo), handler_(std::move(handler)), stopFd_(eventfd(0, EFD_CLOEXEC)) {
    thread_ = std::thread([this] { loop(); });
  }
  ~LoopbackUdpServer() {
    uint64_t one = 1;
    (void)!write(stopFd_, &one, sizeof one);
    thread_.join();
    close(stopFd_);
  }
  LoopbackUdpServer(const LoopbackUdpServer&) = delete;
  LoopbackUdpServer& operator=(const LoopbackUdpServer&) = delete;

  const platform::SocketAddress& address() const { return socket_.local(); }
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
  void loop() {
    pollfd fds[2] = {{socket_.fd(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
    Bytes buffer(65536);
    for (;;) {
      if (poll(fds, 2, -1) <= 0) continue;
      if (fds[1].revents) return;
      platform::SocketAddress peer;
      socklen_t length = sizeof(sockaddr_storage);
      ssize_t n = recvfrom(socket_.fd(), buffer.data(), buffer.size(), 0, peer.sockaddrPtr(), &length);
      if (n < 0) continue;
      Bytes query(buffer.begin(), buffer.begin() + n);
      Handler handler;
      {
        std::lock_guard lock(mutex_);
        received_.push_back(query);
        handler = handler_;
      }
      if (!handler) continue;
      for (const auto& reply : handler(query)) socket_.sendTo(peer, reply);
    }
  }

  UdpSocket socket_;
  mutable std::mutex mutex_;
  Handler handler_;
  int stopFd_;
  std::vector<Bytes> received_;
  std::thread thread_;
};

}  // namespace testing_support
