#pragma once
// DNS over TCP stays with the system: every connection accepted on a
// listener is relayed byte for byte to the system DNS.
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/network/SocketAddress.h"

namespace platform {

class TcpPassthrough {
 public:
  // `listenFds` are listening TCP sockets owned by the caller.
  TcpPassthrough(std::vector<int> listenFds, SocketAddress systemDns);
  ~TcpPassthrough();
  TcpPassthrough(const TcpPassthrough&) = delete;
  TcpPassthrough& operator=(const TcpPassthrough&) = delete;

  void start();
  void stop();
  int activeConnections() const;

  static constexpr int kMaxConnections = 128;

 private:
  struct Shared;
  void acceptLoop(int listenFd);

  std::vector<int> listenFds_;
  SocketAddress systemDns_;
  std::shared_ptr<Shared> shared_;
  std::vector<std::thread> threads_;
  bool running_ = false;
  bool stopped_ = false;
};

}  // namespace platform
