#include "dns/client/DNSSocketClient.h"

#include <cerrno>
#include <utility>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Log.h"

namespace DnsToolsSocket {


using platform::NSLog;
using platform::NWConnectionState;
using platform::NWError;
using platform::UdpConnection;

namespace {

std::string hashText(const DNSSocketClient::Flow& flow) {
  return flow ? std::to_string(static_cast<int64_t>(flow->hash())) : "0";
}

int64_t now() { return platform::Clock::system()->monotonicNanos(); }

// Made on a worker loop, the read stays on it: its connection, deadline and
// answers run on the thread that read the flow.
std::shared_ptr<platform::DispatchQueue> orCallingWorker(std::shared_ptr<platform::DispatchQueue> queue) {
  return queue ? std::move(queue) : platform::currentWorkerQueue();
}

}  // namespace

DNSSocketClient::DNSSocketClient(Flow flow, std::vector<std::vector<uint8_t>> inBoundDatagrams,
                                 std::vector<platform::NWHostEndpoint> endpoints)
    : DNSSocketClient(std::move(flow), std::move(inBoundDatagrams), std::move(endpoints), Environment{}) {}

DNSSocketClient::DNSSocketClient(Flow flow, std::vector<std::vector<uint8_t>> inBoundDatagrams,
                                 std::vector<platform::NWHostEndpoint> endpoints, Environment environment)
    : UdpAnswerExchange(std::move(inBoundDatagrams), LogNames{"DNSSocketClient", "flowHash", hashText(flow)},
                        std::move(environment.makeConnection), orCallingWorker(std::move(environment.queue)),
                        environment.answerDeadline),
      endpoints_(std::move(endpoints)),
      flow_(std::move(flow)),
      dataWasSent_(now()) {
  VARDENO_LOG_LINE("init new DNSSocketClient, flowHash = " + hash_);
}

void DNSSocketClient::connectWithDNS(const std::string& ip, int port) {
  if (port < 0 || port > 65535) {
    VARDENO_LOG_LINE("DNSSocketClient connectWithDNS: port " + std::to_string(port) + " is outside 0...65535, flowHash = " + hash_);
    queue_->async([self = self()] {
      self->finish(std::nullopt, std::nullopt, NWError::posix(EINVAL));
    });
    return;
  }
  connectToUDP(platform::NWEndpoint{ip, port});
}

void DNSSocketClient::stateChanged(const NWConnectionState& state) {
  VARDENO_LOG_LINE("DNSSocketClient stateUpdateHandler:, flowHash = " + hash_ + ", state = " + state.description());
}

void DNSSocketClient::endWithoutQueries(const std::shared_ptr<UdpConnection>&) {
  {
    std::lock_guard lock(mutex_);
    enqueueLocked(Delivery{.callOwner = false, .cancelAfter = true});
  }
  delivery_.drain();
}

void DNSSocketClient::sent() { dataWasSent_.store(now()); }

void DNSSocketClient::answerLocked(std::vector<uint8_t> answer, size_t matched, bool last, size_t) {
  enqueueLocked(Delivery{.datagram = std::move(answer),
                         .endpoint = endpointAt(matched),
                         .isFinished = last,
                         .isAnswer = true,
                         .cancelAfter = last});
}

void DNSSocketClient::incomplete(std::optional<std::vector<uint8_t>> content, size_t index,
                                 std::optional<NWError> error) {
  if (error) {
    std::string line = "udp socket error: " + platform::optionalDescription(error) + ", flowHash = " + hash_;
    return finish(std::move(content), endpointAt(index), *error, std::move(line));
  }
  {
    std::lock_guard lock(mutex_);
    if (!isOpenLocked()) return;
    enqueueLocked(Delivery{.datagram = std::move(content), .endpoint = endpointAt(index)});
  }
  delivery_.drain();
}

void DNSSocketClient::fail(NWError error) { finish(std::nullopt, std::nullopt, std::move(error)); }

void DNSSocketClient::finish(std::optional<std::vector<uint8_t>> datagram,
                             std::optional<platform::NWHostEndpoint> endpoint, NWError error,
                             std::string logAfterOwner) {
  bool finishing;
  {
    std::lock_guard lock(mutex_);
    finishing = beginFinishLocked();
    if (finishing) {
      enqueueLocked(Delivery{.datagram = std::move(datagram),
                             .endpoint = std::move(endpoint),
                             .isFinished = true,
                             .error = std::move(error),
                             .cancelAfter = true,
                             .logAfterOwner = std::move(logAfterOwner)});
    }
  }
  if (!finishing) {
    if (!logAfterOwner.empty()) NSLog(logAfterOwner);  // the read already ended: no owner call to wait for
    return;
  }
  delivery_.drain();
}

void DNSSocketClient::enqueueLocked(Delivery delivery) {
  delivery_.enqueue([self = self(), delivery = std::move(delivery)]() mutable { self->deliver(delivery); });
}

void DNSSocketClient::deliver(Delivery& d) {
  if (d.isAnswer) {
    ++deliveredAnswers_;
    VARDENO_LOG_LINE("Udp received, flowHash = " + hash_ + ", arr.count = " + std::to_string(deliveredAnswers_) +
          ", content.count = " + std::to_string(queries_.size()));
  }
  if (d.callOwner) {
    if (onDataReceived) {
      onDataReceived(flow_, std::move(d.datagram), std::move(d.endpoint), d.isFinished, std::move(d.error));
    } else {
      VARDENO_LOG_LINE("DNSSocketClient onDataReceived is not set, flowHash = " + hash_);
    }
  }
  if (!d.logAfterOwner.empty()) NSLog(d.logAfterOwner);
  if (d.cancelAfter) {
    std::shared_ptr<UdpConnection> connection;
    {
      std::lock_guard lock(mutex_);
      connection = std::move(connection_);
    }
    if (connection) {
      const std::string r = std::to_string(deliveredAnswers_);
      VARDENO_LOG_LINE("self.connection?.cancel(), arr.count = " + r + ", content count = " + r + ", flowHash = " + hash_);
      connection->cancel();
    }
  }
}

std::optional<platform::NWHostEndpoint> DNSSocketClient::endpointAt(size_t index) const {
  if (index < endpoints_.size()) return endpoints_[index];
  return std::nullopt;
}

}  // namespace DnsToolsSocket
