#pragma once
// Carries the query datagrams of one read of one flow to one resolver over a
// connected UDP socket and hands each answer back through onDataReceived;
// exactly one callback says isFinished = true. Create it with make_shared:
// the connection's handlers keep it alive until it has finished.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dns/client/UdpAnswerExchange.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/networkextension/NEAppProxyUDPFlow.h"
#include "platform/networkextension/NWHostEndpoint.h"
#include "platform/network/UdpConnection.h"

namespace DnsToolsSocket {

class DNSSocketClient : public UdpAnswerExchange {
 public:
  using Flow = std::shared_ptr<platform::NEAppProxyUDPFlow>;
  using Callback = std::function<void(Flow flow, std::optional<std::vector<uint8_t>> datagram,
                                      std::optional<platform::NWHostEndpoint> endpoint, std::optional<bool> isFinished,
                                      std::optional<platform::NWError> error)>;

  // A read whose answers are not all in by then ends with a time-out error.
  static constexpr std::chrono::seconds kAnswerDeadline{10};

  // What the client runs on; tests replace the connection and the queue.
  struct Environment {
    platform::UdpConnection::Factory makeConnection;  // default: a real UDP socket
    // Default: the calling worker's queue, else the global default-QoS queue.
    std::shared_ptr<platform::DispatchQueue> queue;
    std::chrono::nanoseconds answerDeadline = kAnswerDeadline;
  };

  DNSSocketClient(Flow flow, std::vector<std::vector<uint8_t>> inBoundDatagrams,
                  std::vector<platform::NWHostEndpoint> endpoints);
  DNSSocketClient(Flow flow, std::vector<std::vector<uint8_t>> inBoundDatagrams,
                  std::vector<platform::NWHostEndpoint> endpoints, Environment environment);

  // Set before connectWithDNS.
  Callback onDataReceived;

  // `ip` is a host name or address text, used as given; a port outside
  // 0...65535 opens nothing and ends the read with an error.
  void connectWithDNS(const std::string& ip, int port);

  // Kept for the interface; sending and receiving are done by the
  // connection's handlers.
  void sendUDPDatagrams(const std::vector<std::vector<uint8_t>>&, const std::vector<platform::NWHostEndpoint>&) {}
  void receiveUDP(const std::function<void()>&) {}

  const std::vector<std::vector<uint8_t>>& inBoundDatagrams() const { return queries_; }
  const std::vector<platform::NWHostEndpoint>& endpoints() const { return endpoints_; }
  const Flow& flow() const { return flow_; }
  // Monotonic nanoseconds of creation or of the last send that completed.
  int64_t dataWasSent() const { return dataWasSent_.load(); }

 private:
  void fail(platform::NWError error) override;
  void answerLocked(std::vector<uint8_t> answer, size_t matched, bool last, size_t answered) override;
  // An error ends the read; otherwise the partial datagram goes to the owner.
  void incomplete(std::optional<std::vector<uint8_t>> content, size_t index,
                  std::optional<platform::NWError> error) override;
  // Frees the socket in order with the deliveries; the owner has nothing to hear.
  void endWithoutQueries(const std::shared_ptr<platform::UdpConnection>& connection) override;
  void stateChanged(const platform::NWConnectionState& state) override;
  void sent() override;
  // Ends the read once: a last callback with isFinished true, `logAfterOwner`
  // (when given), then the connection is cancelled.
  void finish(std::optional<std::vector<uint8_t>> datagram, std::optional<platform::NWHostEndpoint> endpoint,
              platform::NWError error, std::string logAfterOwner = {});
  // One step handed to the owner, in decision order.
  struct Delivery {
    std::optional<std::vector<uint8_t>> datagram{};
    std::optional<platform::NWHostEndpoint> endpoint{};
    bool isFinished = false;
    std::optional<platform::NWError> error{};
    bool isAnswer = false;     // a matched complete answer (counted in the logs)
    bool callOwner = true;
    bool cancelAfter = false;  // then cancel and release the connection
    std::string logAfterOwner{};  // a line logged once the owner was called
  };
  // Queues under mutex_; call delivery_.drain() after unlocking.
  void enqueueLocked(Delivery delivery);
  void deliver(Delivery& delivery);
  std::optional<platform::NWHostEndpoint> endpointAt(size_t index) const;
  std::shared_ptr<DNSSocketClient> self() {
    return std::static_pointer_cast<DNSSocketClient>(shared_from_this());
  }

  const std::vector<platform::NWHostEndpoint> endpoints_;
  const Flow flow_;
  const std::string& hash_ = names_.id;  // the flow's hash as the logs print it
  std::atomic<int64_t> dataWasSent_;
  size_t deliveredAnswers_ = 0;  // touched only by deliveries, which never overlap
};

}  // namespace DnsToolsSocket
