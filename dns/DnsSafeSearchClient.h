#pragma once
// One-shot UDP client: sends its datagrams to the fixed server of
// DnsServerSettings and reports, once per answer, whether all are answered.
// Create it with make_shared; it lives until it has finished.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dns/AnswerMatcher.h"
#include "dns/SerialDelivery.h"
#include "platform/Dispatch.h"
#include "platform/UdpConnection.h"

namespace DnsToolsSocket {

class DnsSafeSearchClient : public std::enable_shared_from_this<DnsSafeSearchClient> {
 public:
  using Callback = std::function<void(std::optional<bool> allAnswered, std::optional<platform::NWError> error)>;

  static constexpr std::chrono::seconds kAnswerDeadline{10};

  struct Environment {
    platform::UdpConnection::Factory makeConnection;  // default: a real UDP socket
    std::shared_ptr<platform::DispatchQueue> queue;   // default: the global default-QoS queue
    std::chrono::nanoseconds answerDeadline = kAnswerDeadline;
    std::optional<platform::NWEndpoint> server;       // default: DnsServerSettings
  };

  DnsSafeSearchClient(std::vector<std::vector<uint8_t>> data, std::optional<std::string> url, Callback onDataReceived);
  DnsSafeSearchClient(std::vector<std::vector<uint8_t>> data, std::optional<std::string> url, Callback onDataReceived,
                      Environment environment);
  ~DnsSafeSearchClient();
  DnsSafeSearchClient(const DnsSafeSearchClient&) = delete;
  DnsSafeSearchClient& operator=(const DnsSafeSearchClient&) = delete;

  Callback onDataReceived;

  void start();
  std::shared_ptr<platform::UdpConnection> connection() const;

 private:
  void connectToUDP(const platform::NWEndpoint& remote);
  void handleState(const std::shared_ptr<platform::UdpConnection>& connection, const platform::NWConnectionState& state);
  void sendAll(const std::shared_ptr<platform::UdpConnection>& connection);
  void armReceive(const std::shared_ptr<platform::UdpConnection>& connection,
                  const std::shared_ptr<AnswerMatcher>& matcher, size_t index);
  void handleReceive(const std::shared_ptr<platform::UdpConnection>& connection,
                     const std::shared_ptr<AnswerMatcher>& matcher, size_t index,
                     std::optional<std::vector<uint8_t>> content, bool isComplete);
  // Last report when the answers cannot all come: (false, error), then cancel.
  void finish(platform::NWError error);
  void enqueueLocked(std::optional<bool> allAnswered, std::optional<platform::NWError> error, bool cancelAfter,
                     size_t answered);
  bool isCurrentLocked(const std::shared_ptr<platform::UdpConnection>& connection) const {
    return !finished_ && connection_ == connection;
  }

  const std::optional<std::string> url_;
  const std::vector<std::vector<uint8_t>> data_;
  const std::string urlText_;  // U of the logs: Optional("...") or nil
  Environment environment_;

  mutable std::mutex mutex_;
  std::shared_ptr<platform::UdpConnection> connection_;
  std::shared_ptr<platform::DispatchWorkItem> deadline_;
  bool finished_ = false;
  SerialDelivery delivery_;
};

}  // namespace DnsToolsSocket
