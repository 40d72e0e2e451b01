#pragma once
// One-shot UDP client: sends its datagrams to the fixed server of
// DnsServerSettings and reports, once per answer, whether all are answered.
// Create it with make_shared; it lives until it has finished.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dns/client/UdpAnswerExchange.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/network/UdpConnection.h"

namespace DnsToolsSocket {

class DnsSafeSearchClient : public UdpAnswerExchange {
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

  Callback onDataReceived;

  void start();

 private:
  // Last report when the answers cannot all come: (false, error), then cancel.
  void fail(platform::NWError error) override;
  void answerLocked(std::vector<uint8_t> answer, size_t matched, bool last, size_t answered) override;
  // Nothing will be answered: frees the socket without a report.
  void endWithoutQueries(const std::shared_ptr<platform::UdpConnection>& connection) override;
  // A receive error is not reported (no incomplete()): the deadline ends a read that stalls.
  void enqueueLocked(std::optional<bool> allAnswered, std::optional<platform::NWError> error, bool cancelAfter,
                     size_t answered);
  std::shared_ptr<DnsSafeSearchClient> self() {
    return std::static_pointer_cast<DnsSafeSearchClient>(shared_from_this());
  }

  const std::optional<std::string> url_;
  const std::optional<platform::NWEndpoint> server_;
  const std::string& urlText_ = names_.id;  // U of the logs: Optional("...") or nil
};

}  // namespace DnsToolsSocket
