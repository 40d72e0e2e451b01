#pragma once
// XPC mach service stand-in: listens on the service's Unix socket (see
// XpcWire.h) and asks its delegate about each new connection.
#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/xpc/XpcConnection.h"

namespace platform {

class XpcListener;

class XpcListenerDelegate {
 public:
  virtual ~XpcListenerDelegate() = default;
  // Configure and resume the connection to accept it; false refuses it.
  virtual bool shouldAcceptNewConnection(XpcListener& listener, const std::shared_ptr<XpcConnection>& connection) = 0;
};

class XpcListener {
 public:
  static constexpr std::size_t kMaxConnections = 64;

  // Null when the name cannot name a socket file.
  static std::shared_ptr<XpcListener> machService(const std::string& name);
  ~XpcListener();
  XpcListener(const XpcListener&) = delete;
  XpcListener& operator=(const XpcListener&) = delete;

  // Held weakly, as the platform does.
  void setDelegate(std::weak_ptr<XpcListenerDelegate> delegate);
  // Starts listening. False, with error(), when the socket cannot be made.
  bool resume();
  void invalidate();

  const std::string& serviceName() const { return name_; }
  const std::string& socketPath() const { return path_; }
  std::string error() const;

 private:
  XpcListener(std::string name, std::string path);
  void acceptLoop();

  const std::string name_;
  const std::string path_;
  mutable std::mutex mutex_;
  std::weak_ptr<XpcListenerDelegate> delegate_;
  std::vector<std::weak_ptr<XpcConnection>> connections_;
  std::string error_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  uint64_t accepted_ = 0;
  std::atomic<bool> resumed_{false};
  std::thread acceptThread_;
};

}  // namespace platform
