#pragma once
// Small loopback UDP helpers for tests: a client socket and a responder
// thread that answers each datagram through a callback.
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/SocketAddress.h"
#include "platform/SocketBuffers.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

class UdpSocket {
 public:
  explicit UdpSocket(const char* bindTo = "127.0.0.1:0") {
    auto address = *platform::SocketAddress::parse(bindTo);
    fd_ = socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
    platform::growSocketBuffers(fd_);
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

// Answers every datagram with what `answer` returns (none: silence).
class UdpResponder {
 public:
  using Answer = std::function<std::optional<Bytes>(const Bytes& query)>;
  explicit UdpResponder(Answer answer, const char* bindTo = "127.0.0.1:0")
      : socket_(bindTo), answer_(std::move(answer)), stopFd_(eventfd(0, EFD_CLOEXEC)) {
    thread_ = std::thread([this] { loop(); });
  }
  ~UdpResponder() {
    uint64_t one = 1;
    (void)!write(stopFd_, &one, sizeof one);
    thread_.join();
    close(stopFd_);
  }
  const platform::SocketAddress& address() const { return socket_.local(); }
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
      {
        std::lock_guard lock(mutex_);
        received_.push_back(query);
      }
      if (auto reply = answer_(query)) socket_.sendTo(peer, *reply);
    }
  }

  UdpSocket socket_;
  Answer answer_;
  int stopFd_;
  mutable std::mutex mutex_;
  std::vector<Bytes> received_;
  std::thread thread_;
};

// A minimal DNS query for `name` type A with the given ID.
inline Bytes dnsQuery(uint16_t id, const std::string& name, uint16_t type = 1) {
  Bytes q = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    if (dot > start) {
      q.push_back(static_cast<uint8_t>(dot - start));
      q.insert(q.end(), name.begin() + start, name.begin() + dot);
    }
    start = dot + 1;
  }
  q.push_back(0);
  q.push_back(static_cast<uint8_t>(type >> 8));
  q.push_back(static_cast<uint8_t>(type));
  q.push_back(0);
  q.push_back(1);
  return q;
}

// The query turned into an empty answer with the given return code.
inline Bytes dnsReply(Bytes query, uint8_t rcode = 0) {
  if (query.size() >= 4) {
    query[2] |= 0x80;
    query[3] = static_cast<uint8_t>((query[3] & 0xF0) | rcode);
  }
  return query;
}

}  // namespace testing_support
