#pragma once
// One relay port: keeps the current user's name, logs what peers send,
// records the proxy state and asks for a DNS-cache flush for each new peer.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/network/UdpConnection.h"
#include "platform/network/UdpListener.h"
#include "relay-service/CacheFlusher.h"

namespace relay {

class UDPListener : public std::enable_shared_from_this<UDPListener> {
 public:
  // Flushes the DNS cache and returns what the flush printed.
  using CacheFlush = std::function<std::string()>;

  static constexpr std::chrono::seconds kFlushTimeLimit{5};
  static CacheFlush systemCacheFlush();

  explicit UDPListener(CacheFlush flush = systemCacheFlush());
  // Listeners that share a flusher share its coalescing.
  explicit UDPListener(std::shared_ptr<CacheFlusher> flusher);
  ~UDPListener();

  // Listens on the loopback addresses; port 0 picks a free one (see port()).
  void start(uint16_t port);

  std::string xpcUser() const;
  std::string proxyStatus() const;
  std::optional<std::vector<uint8_t>> messageReceived() const;
  bool isReady() const;
  bool listening() const;
  std::shared_ptr<UDPListener> extUdpListener() const;
  void setExtUdpListener(std::shared_ptr<UDPListener> listener);
  // The bound port once started.
  uint16_t port() const;

 private:
  void listenerStateChanged(const platform::NWListenerState& state);
  void newConnection(const std::shared_ptr<platform::UdpConnection>& connection);
  void connectionStateChanged(const std::weak_ptr<platform::UdpConnection>& weakConnection,
                              const std::string& description, const platform::NWConnectionState& state);
  void receive(const std::shared_ptr<platform::UdpConnection>& connection);
  void received(const std::weak_ptr<platform::UdpConnection>& weakConnection,
                std::optional<std::vector<uint8_t>> content, bool isComplete,
                std::optional<platform::NWError> error);
  void handleDatagram(const std::shared_ptr<platform::UdpConnection>& connection,
                      const std::vector<uint8_t>& content);
  void replyCurrentUser(const std::shared_ptr<platform::UdpConnection>& connection);

  const std::shared_ptr<CacheFlusher> flusher_;
  const std::shared_ptr<platform::DispatchQueue> queue_;

  mutable std::mutex mutex_;
  std::string xpcUser_;
  std::shared_ptr<UDPListener> extUdpListener_;
  std::string proxyStatus_ = "stopped";
  std::shared_ptr<platform::UdpListener> listener_;
  std::optional<std::vector<uint8_t>> messageReceived_;
  bool isReady_ = false;
  bool listening_ = true;
  // The most recently accepted peer; every peer keeps its own receive loop.
  std::shared_ptr<platform::UdpConnection> connection_;
};

}  // namespace relay
