#pragma once
// The extension's channel to the relay: JSON commands over UDP to
// "localhost" port 9898 (VARDENO_RELAY_EXT_PORT overrides it). The
// connection takes one incoming datagram and is then cancelled.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DnsProxyExt/XpcUdpCommand.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/network/UdpConnection.h"

namespace dnsproxyext {

class DNSProxyToContentFilter {
 public:
  virtual ~DNSProxyToContentFilter() = default;
  virtual void cfReceivedNewMessage(const std::string& msg) = 0;
};

class AppToExtDelegate : public DNSProxyToContentFilter {
 public:
  virtual void receivedCommandFromApp(const XpcUdpCommand& msg) = 0;
};

class ExtToAppDelegate {
 public:
  virtual ~ExtToAppDelegate() = default;
  virtual void printLogToFile(const std::string& log) = 0;
  virtual void proxyStateWasUpdated(const std::string& state) = 0;
};

class XpcUdpHelper : public ExtToAppDelegate {
 public:
  using RespCallback = std::function<void(std::optional<std::string> text, std::optional<platform::NWError> error)>;

  static constexpr uint16_t kDefaultPort = 9898;
  // 9898, or VARDENO_RELAY_EXT_PORT when it holds a port number.
  static uint16_t relayPort();

  // `factory` and `queue` replace the real connection and the global queue in tests.
  explicit XpcUdpHelper(platform::UdpConnection::Factory factory = {},
                        std::shared_ptr<platform::DispatchQueue> queue = {});
  ~XpcUdpHelper() override;

  void printLogToFile(const std::string& log) override;
  void proxyStateWasUpdated(const std::string& state) override;
  void closeConnection();

  std::shared_ptr<platform::UdpConnection> connection() const;
  // Held weakly: the delegate (the proxy core) owns this helper.
  std::shared_ptr<DNSProxyToContentFilter> appToExtDelegate() const;

  void connectToUDP(std::optional<uint16_t> port);
  // Connects to `port` with no delegate, sends `req` and reports the reply.
  void sendUdpRequest(uint16_t port, const std::string& req, RespCallback completionHandler);
  void connectToUDP(std::shared_ptr<DNSProxyToContentFilter> appToextDelegate, std::optional<uint16_t> port,
                    std::optional<std::string> request, RespCallback respCallback);
  void sendUDP(std::vector<uint8_t> data);
  void receiveUDP(RespCallback respCallback);

 private:
  // Shared with the connection's handlers, so they may outlive the helper.
  class Channel;
  std::shared_ptr<Channel> channel_;
};

}  // namespace dnsproxyext
