#include "dns/DNSSocketClient.h"

#include <cerrno>
#include <utility>

#include "platform/Clock.h"
#include "platform/Log.h"

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

}  // namespace

DNSSocketClient::DNSSocketClient(Flow flow, std::vector<std::vector<uint8_t>> inBoundDatagrams,
                                 std::vector<platform::NWHostEndpoint> endpoints)
    : DNSSocketClient(std::move(flow), std::move(inBoundDatagrams), std::move(endpoints), Environment{}) {}

DNSSocketClient::DNSSocketClient(Flow flow, std::vector<std::vector<uint8_t>> inBoundDatagrams,
                                 std::vector<platform::NWHostEndpoint> endpoints, Environment environment)
    : inBoundDatagrams_(std::move(inBoundDatagrams)),
      endpoints_(std::move(endpoints)),
      flow_(std::move(flow)),
      hash_(hashText(flow_)),
      environment_(std::move(environment)),
      dataWasSent_(now()) {
  if (!environment_.makeConnection) environment_.makeConnection = [](const platform::NWEndpoint& remote) {
    return UdpConnection::create(remote);
  };
  if (!environment_.queue) environment_.queue = platform::DispatchQueue::global(platform::QoS::defaultQoS);
  NSLog("init new DNSSocketClient, flowHash = " + hash_);
}

DNSSocketClient::~DNSSocketClient() {
  if (deadline_) deadline_->cancel();
  if (connection_) connection_->cancel();
}

std::shared_ptr<UdpConnection> DNSSocketClient::connection() const {
  std::lock_guard lock(mutex_);
  return connection_;
}

void DNSSocketClient::connectWithDNS(const std::string& ip, int port) {
  if (port < 0 || port > 65535) {
    NSLog("DNSSocketClient connectWithDNS: port " + std::to_string(port) + " is outside 0...65535, flowHash = " + hash_);
    environment_.queue->async([self = shared_from_this()] {
      self->finish(std::nullopt, std::nullopt, NWError::posix(EINVAL));
    });
    return;
  }
  connectToUDP(platform::NWEndpoint{ip, port});
}

void DNSSocketClient::connectToUDP(const platform::NWEndpoint& remote) {
  NSLog("Connecting to udp, flowHash = " + hash_);
  auto connection = environment_.makeConnection(remote);
  std::shared_ptr<UdpConnection> previous;
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    previous = std::exchange(connection_, connection);
    if (!deadline_) {
      std::weak_ptr<DNSSocketClient> weak = weak_from_this();
      deadline_ = environment_.queue->asyncAfter(environment_.answerDeadline, [weak] {
        if (auto self = weak.lock()) {
          NSLog("DNSSocketClient answers did not arrive in time, flowHash = " + self->hash_);
          self->finish(std::nullopt, std::nullopt, NWError::posix(ETIMEDOUT));
        }
      });
    }
  }
  // A replaced connection would otherwise keep its socket open for ever.
  if (previous) previous->cancel();

  std::weak_ptr<UdpConnection> weakConnection = connection;
  connection->setStateUpdateHandler([self = shared_from_this(), weakConnection](NWConnectionState state) {
    if (auto c = weakConnection.lock()) self->handleState(c, state);
  });
  connection->start(environment_.queue);
}

void DNSSocketClient::handleState(const std::shared_ptr<UdpConnection>& connection, const NWConnectionState& state) {
  NSLog("DNSSocketClient stateUpdateHandler:, flowHash = " + hash_ + ", state = " + state.description());
  const std::string errorText = state.error ? state.error->description : std::string();
  switch (state.kind) {
    case NWConnectionState::setup:
      NSLog("State: Setup, flowHash = " + hash_ + "\n");
      break;
    case NWConnectionState::preparing:
      NSLog("State: Preparing, flowHash = " + hash_ + "\n");
      break;
    case NWConnectionState::ready:
      NSLog("State: Ready, flowHash = " + hash_ + "\n");
      sendAll(connection);
      break;
    case NWConnectionState::waiting:
      NSLog("State: Waiting,flowHash = " + hash_ + ", error: " + errorText);
      break;
    case NWConnectionState::failed:
      NSLog("State: Failed,flowHash = " + hash_ + ", failed: " + errorText);
      {
        std::lock_guard lock(mutex_);
        if (!isCurrentLocked(connection)) break;
      }
      finish(std::nullopt, std::nullopt, state.error.value_or(NWError::posix(ECONNABORTED)));
      break;
    case NWConnectionState::cancelled:
      NSLog("State: Cancelled, flowHash = " + hash_ + "\n");
      break;
    default:
      NSLog("ERROR! State not defined!, flowHash = " + hash_ + "\n");
      break;
  }
}

void DNSSocketClient::sendAll(const std::shared_ptr<UdpConnection>& connection) {
  NSLog("sendUDP, content count = " + std::to_string(inBoundDatagrams_.size()) + ", flowHash = " + hash_);
  {
    std::lock_guard lock(mutex_);
    if (!isCurrentLocked(connection)) return;
    if (inBoundDatagrams_.empty()) {
      // Nothing to wait for: free the socket now; the owner has nothing to hear.
      finished_ = true;
      if (deadline_) deadline_->cancel();
      enqueueLocked(Delivery{.callOwner = false, .cancelAfter = true});
    }
  }
  if (inBoundDatagrams_.empty()) return delivery_.drain();

  auto run = std::make_shared<Run>(inBoundDatagrams_);
  std::weak_ptr<UdpConnection> weakConnection = connection;
  for (size_t i = 0; i < inBoundDatagrams_.size(); ++i) {
    connection->send(inBoundDatagrams_[i], [self = shared_from_this(), weakConnection, run, i](std::optional<NWError> error) {
      if (auto c = weakConnection.lock()) self->handleSent(c, run, i, error);
    });
  }
}

void DNSSocketClient::handleSent(const std::shared_ptr<UdpConnection>& connection, const std::shared_ptr<Run>& run,
                                 size_t index, const std::optional<NWError>& error) {
  if (error) {
    NSLog("(" + hash_ + "): ERROR! Error when data (Type: Data) sending. NWError: \n " + error->description);
    return;
  }
  NSLog("Data was sent to UDP, flowHash = " + hash_);
  dataWasSent_.store(now());
  armReceive(connection, run, index);
}

void DNSSocketClient::armReceive(const std::shared_ptr<UdpConnection>& connection, const std::shared_ptr<Run>& run,
                                 size_t index) {
  {
    std::lock_guard lock(mutex_);
    if (!isCurrentLocked(connection)) return;
  }
  std::weak_ptr<UdpConnection> weakConnection = connection;
  connection->receiveMessage([self = shared_from_this(), weakConnection, run, index](
                                 std::optional<std::vector<uint8_t>> content, bool isComplete,
                                 std::optional<NWError> error) {
    if (auto c = weakConnection.lock()) self->handleReceive(c, run, index, std::move(content), isComplete, error);
  });
}

void DNSSocketClient::handleReceive(const std::shared_ptr<UdpConnection>& connection, const std::shared_ptr<Run>& run,
                                    size_t index, std::optional<std::vector<uint8_t>> content, bool isComplete,
                                    std::optional<NWError> error) {
  NSLog("receiveUdp callback called, flowHash = " + hash_ + ", isComplete = " + platform::boolText(isComplete));
  if (isComplete && content) {
    bool stray = false;
    {
      std::lock_guard lock(mutex_);
      if (finished_) return;
      const auto matched = run->matcher.match(*content, index);
      if (!matched) {
        stray = true;
      } else {
        const bool last = run->matcher.answeredCount() == run->matcher.queryCount();
        if (last) {
          finished_ = true;
          if (deadline_) deadline_->cancel();
        }
        enqueueLocked(Delivery{.datagram = std::move(content),
                               .endpoint = endpointAt(*matched),
                               .isFinished = last,
                               .isAnswer = true,
                               .cancelAfter = last});
      }
    }
    if (stray) {
      // Not an answer to any open query of this read: keep waiting for the real one.
      NSLog("DNSSocketClient ignored an answer that matches no query, flowHash = " + hash_);
      return armReceive(connection, run, index);
    }
    return delivery_.drain();
  }

  NSLog("dns session is not completed, flowHash = " + hash_);
  if (error) {
    NSLog("udp socket error: " + platform::optionalDescription(error) + ", flowHash = " + hash_);
    return finish(std::move(content), endpointAt(index), *error);
  }
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    enqueueLocked(Delivery{.datagram = std::move(content), .endpoint = endpointAt(index)});
  }
  delivery_.drain();
}

void DNSSocketClient::finish(std::optional<std::vector<uint8_t>> datagram,
                             std::optional<platform::NWHostEndpoint> endpoint, NWError error) {
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    finished_ = true;
    if (deadline_) deadline_->cancel();
    enqueueLocked(Delivery{.datagram = std::move(datagram),
                           .endpoint = std::move(endpoint),
                           .isFinished = true,
                           .error = std::move(error),
                           .cancelAfter = true});
  }
  delivery_.drain();
}

void DNSSocketClient::enqueueLocked(Delivery delivery) {
  delivery_.enqueue([self = shared_from_this(), delivery = std::move(delivery)]() mutable { self->deliver(delivery); });
}

void DNSSocketClient::deliver(Delivery& d) {
  if (d.isAnswer) {
    ++deliveredAnswers_;
    NSLog("Udp received, flowHash = " + hash_ + ", arr.count = " + std::to_string(deliveredAnswers_) +
          ", content.count = " + std::to_string(inBoundDatagrams_.size()));
  }
  if (d.callOwner) {
    if (onDataReceived) {
      onDataReceived(flow_, std::move(d.datagram), std::move(d.endpoint), d.isFinished, std::move(d.error));
    } else {
      NSLog("DNSSocketClient onDataReceived is not set, flowHash = " + hash_);
    }
  }
  if (d.cancelAfter) {
    std::shared_ptr<UdpConnection> connection;
    {
      std::lock_guard lock(mutex_);
      connection = std::move(connection_);
    }
    if (connection) {
      const std::string r = std::to_string(deliveredAnswers_);
      NSLog("self.connection?.cancel(), arr.count = " + r + ", content count = " + r + ", flowHash = " + hash_);
      connection->cancel();
    }
  }
}

std::optional<platform::NWHostEndpoint> DNSSocketClient::endpointAt(size_t index) const {
  if (index < endpoints_.size()) return endpoints_[index];
  return std::nullopt;
}

}  // namespace DnsToolsSocket
