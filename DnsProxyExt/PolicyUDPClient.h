#pragma once
// One request datagram to a UDP server and its one answer, handed back
// through onPolicyDataReceived. Create with std::make_shared; the
// connection's handlers keep the client alive until the exchange ends.
// An exchange ends on the answer, a receive error, a send error, a failed
// connection or after kReceiveDeadline; only the first two call back.
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

namespace dnsproxyext {

class PolicyUDPClient : public std::enable_shared_from_this<PolicyUDPClient> {
 public:
  using OnPolicyDataReceived = std::function<void(std::optional<std::vector<uint8_t>> data,
                                                  std::optional<bool> isComplete, std::optional<platform::NWError> error)>;

  // Connections and the queue of their callbacks; tests replace both.
  struct Environment {
    platform::UdpConnection::Factory factory;
    std::shared_ptr<platform::DispatchQueue> queue;
  };

  static constexpr std::chrono::seconds kReceiveDeadline{30};

  explicit PolicyUDPClient(std::vector<uint8_t> req, Environment environment = {});
  virtual ~PolicyUDPClient();

  const std::vector<uint8_t>& request() const { return request_; }
  std::string logTag() const;
  std::string host() const;
  int64_t port() const;
  void setOnPolicyDataReceived(OnPolicyDataReceived callback);
  std::shared_ptr<platform::UdpConnection> connection() const;

  // Opens nothing (logged) when the port lies outside 0-65535.
  void connectWithUDP(const std::string& ip, int64_t port);
  void sendUDPDatagrams(std::vector<uint8_t> data);

 protected:
  PolicyUDPClient(std::vector<uint8_t> req, Environment environment, std::string logTag);

 private:
  void connectToUDP(const platform::NWEndpoint& endpoint);
  void handleState(const platform::NWConnectionState& state);
  void handleReceive(const std::string& route, std::optional<std::vector<uint8_t>> data, bool isComplete,
                     std::optional<platform::NWError> error);
  std::string endpointText() const;
  std::string routeText() const;
  // Cancels and drops the connection; true for the call that ended it.
  bool finish();

  const std::vector<uint8_t> request_;
  Environment environment_;
  mutable std::mutex mutex_;
  std::string logTag_;
  std::string host_;
  int64_t port_ = 0;
  OnPolicyDataReceived onPolicyDataReceived_;
  std::shared_ptr<platform::UdpConnection> connection_;
  std::shared_ptr<platform::DispatchWorkItem> deadline_;
  size_t received_ = 0;
  bool finished_ = false;
};

}  // namespace dnsproxyext
