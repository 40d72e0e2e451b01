#pragma once
// Resolves datagrams the provider declined through the system DNS: each
// goes out unchanged but for a fresh query ID, and the answer comes back
// with the client's ID restored, sent from the listening socket.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/network/SocketAddress.h"

namespace platform {

class SystemDnsForwarder {
 public:
  // Connects toward `systemDns`; check ok().
  explicit SystemDnsForwarder(SocketAddress systemDns);
  ~SystemDnsForwarder();
  SystemDnsForwarder(const SystemDnsForwarder&) = delete;
  SystemDnsForwarder& operator=(const SystemDnsForwarder&) = delete;

  bool ok() const { return fd_ >= 0; }
  const SocketAddress& systemDns() const { return systemDns_; }
  // Sends each datagram; its answer goes to `client` through `replyFd`.
  void forward(int replyFd, const SocketAddress& client, const std::vector<std::vector<uint8_t>>& datagrams);
  // Queries sent and not yet answered or expired.
  size_t outstanding() const;

 private:
  struct Slot {
    bool used = false;
    uint16_t clientId = 0;
    int replyFd = -1;
    SocketAddress client;
    std::chrono::steady_clock::time_point expires;
  };
  void receiveLoop();

  static constexpr auto kAnswerWait = std::chrono::seconds(5);
  const SocketAddress systemDns_;
  int fd_ = -1;
  uint16_t ownPort_ = 0;
  int stopFd_ = -1;
  mutable std::mutex mutex_;
  std::vector<Slot> slots_;  // indexed by the upstream query ID
  uint32_t nextId_ = 0;
  std::thread thread_;
};

}  // namespace platform
