#include "dns/DnsSafeSearchClient.h"

#include <cerrno>
#include <utility>

#include "dns/DnsServerSettings.h"
#include "platform/Log.h"

namespace DnsToolsSocket {

using platform::NSLog;
using platform::NWConnectionState;
using platform::NWError;
using platform::UdpConnection;

DnsSafeSearchClient::DnsSafeSearchClient(std::vector<std::vector<uint8_t>> data, std::optional<std::string> url,
                                         Callback onDataReceived)
    : DnsSafeSearchClient(std::move(data), std::move(url), std::move(onDataReceived), Environment{}) {}

DnsSafeSearchClient::DnsSafeSearchClient(std::vector<std::vector<uint8_t>> data, std::optional<std::string> url,
                                         Callback callback, Environment environment)
    : onDataReceived(std::move(callback)),
      url_(std::move(url)),
      data_(std::move(data)),
      urlText_(platform::optionalText(url_)),
      environment_(std::move(environment)) {
  NSLog("init new DnsSafeSearchClient, url = " + url_.value_or("nil"));
  if (!environment_.makeConnection) environment_.makeConnection = [](const platform::NWEndpoint& remote) {
    return UdpConnection::create(remote);
  };
  if (!environment_.queue) environment_.queue = platform::DispatchQueue::global(platform::QoS::defaultQoS);
}

DnsSafeSearchClient::~DnsSafeSearchClient() {
  if (deadline_) deadline_->cancel();
  if (connection_) connection_->cancel();
}

std::shared_ptr<UdpConnection> DnsSafeSearchClient::connection() const {
  std::lock_guard lock(mutex_);
  return connection_;
}

void DnsSafeSearchClient::start() {
  connectToUDP(environment_.server.value_or(
      platform::NWEndpoint{DnsServerSettings::hostUDP(), DnsServerSettings::portUDP()}));
}

void DnsSafeSearchClient::connectToUDP(const platform::NWEndpoint& remote) {
  NSLog("Connecting to udp, url = " + urlText_);
  auto connection = environment_.makeConnection(remote);
  std::shared_ptr<UdpConnection> previous;
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    previous = std::exchange(connection_, connection);
    if (!deadline_) {
      std::weak_ptr<DnsSafeSearchClient> weak = weak_from_this();
      deadline_ = environment_.queue->asyncAfter(environment_.answerDeadline, [weak] {
        if (auto self = weak.lock()) {
          NSLog("DnsSafeSearchClient answers did not arrive in time, url = " + self->urlText_);
          self->finish(NWError::posix(ETIMEDOUT));
        }
      });
    }
  }
  if (previous) previous->cancel();

  std::weak_ptr<UdpConnection> weakConnection = connection;
  connection->setStateUpdateHandler([self = shared_from_this(), weakConnection](NWConnectionState state) {
    if (auto c = weakConnection.lock()) self->handleState(c, state);
  });
  connection->start(environment_.queue);
}

void DnsSafeSearchClient::handleState(const std::shared_ptr<UdpConnection>& connection,
                                      const NWConnectionState& state) {
  const std::string errorText = state.error ? state.error->description : std::string();
  switch (state.kind) {
    case NWConnectionState::setup:
      NSLog("State: Setup, url = " + urlText_ + "\n");
      break;
    case NWConnectionState::preparing:
      NSLog("State: Preparing, url = " + urlText_ + "\n");
      break;
    case NWConnectionState::ready:
      NSLog("State: Ready, url = " + urlText_ + "\n");
      sendAll(connection);
      break;
    case NWConnectionState::waiting:
      NSLog("State: Waiting,url = " + urlText_ + ", error: " + errorText);
      break;
    case NWConnectionState::failed: {
      NSLog("State: Failed,url = " + urlText_ + ", failed: " + errorText);
      bool current;
      {
        std::lock_guard lock(mutex_);
        current = isCurrentLocked(connection);
      }
      if (current) finish(state.error.value_or(NWError::posix(ECONNABORTED)));
      break;
    }
    case NWConnectionState::cancelled:
      NSLog("State: Cancelled, url = " + urlText_ + "\n");
      break;
    default:
      NSLog("ERROR! State not defined!, flowHash = " + urlText_ + "\n");
      break;
  }
}

void DnsSafeSearchClient::sendAll(const std::shared_ptr<UdpConnection>& connection) {
  NSLog("sendUDP, content count = " + std::to_string(data_.size()) + ", url = " + urlText_);
  {
    std::lock_guard lock(mutex_);
    if (!isCurrentLocked(connection)) return;
    if (data_.empty()) {
      // Nothing will be answered: free the socket without a report.
      finished_ = true;
      if (deadline_) deadline_->cancel();
      connection_.reset();
    }
  }
  if (data_.empty()) return connection->cancel();

  auto matcher = std::make_shared<AnswerMatcher>(data_);
  std::weak_ptr<UdpConnection> weakConnection = connection;
  for (size_t i = 0; i < data_.size(); ++i) {
    connection->send(data_[i], [self = shared_from_this(), weakConnection, matcher, i](std::optional<NWError> error) {
      auto c = weakConnection.lock();
      if (!c) return;
      if (error) {
        NSLog("(" + self->urlText_ + "): ERROR! Error when data (Type: Data) sending. NWError: \n " +
              error->description);
        return;
      }
      NSLog("Data was sent to UDP, flowHash = " + self->urlText_);
      self->armReceive(c, matcher, i);
    });
  }
}

void DnsSafeSearchClient::armReceive(const std::shared_ptr<UdpConnection>& connection,
                                     const std::shared_ptr<AnswerMatcher>& matcher, size_t index) {
  {
    std::lock_guard lock(mutex_);
    if (!isCurrentLocked(connection)) return;
  }
  std::weak_ptr<UdpConnection> weakConnection = connection;
  connection->receiveMessage([self = shared_from_this(), weakConnection, matcher, index](
                                 std::optional<std::vector<uint8_t>> content, bool isComplete,
                                 std::optional<NWError>) {
    if (auto c = weakConnection.lock()) self->handleReceive(c, matcher, index, std::move(content), isComplete);
  });
}

void DnsSafeSearchClient::handleReceive(const std::shared_ptr<UdpConnection>& connection,
                                        const std::shared_ptr<AnswerMatcher>& matcher, size_t index,
                                        std::optional<std::vector<uint8_t>> content, bool isComplete) {
  NSLog("receiveUdp callback called, url = " + urlText_ + ", isComplete = " + platform::boolText(isComplete));
  if (!isComplete || !content) {
    // A receive error is not reported; the deadline ends a read that stalls here.
    NSLog("dns session is not completed, flowHash = " + urlText_);
    return;
  }
  bool stray = false;
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    if (!matcher->match(*content, index)) {
      stray = true;
    } else {
      const size_t answered = matcher->answeredCount();
      const bool last = answered == data_.size();
      if (last) {
        finished_ = true;
        if (deadline_) deadline_->cancel();
      }
      enqueueLocked(last, std::nullopt, last, answered);
    }
  }
  if (stray) {
    NSLog("DnsSafeSearchClient ignored an answer that matches no query, url = " + urlText_);
    return armReceive(connection, matcher, index);
  }
  delivery_.drain();
}

void DnsSafeSearchClient::finish(NWError error) {
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    finished_ = true;
    if (deadline_) deadline_->cancel();
    enqueueLocked(false, std::move(error), true, 0);
  }
  delivery_.drain();
}

void DnsSafeSearchClient::enqueueLocked(std::optional<bool> allAnswered, std::optional<NWError> error,
                                        bool cancelAfter, size_t answered) {
  delivery_.enqueue([self = shared_from_this(), allAnswered, error = std::move(error), cancelAfter, answered]() mutable {
    const bool isAnswer = !error;
    if (isAnswer) {
      NSLog("Udp received, url = " + self->urlText_ + ", arr.count = " + std::to_string(answered) +
            ", content.count = " + std::to_string(self->data_.size()));
    }
    if (self->onDataReceived) {
      self->onDataReceived(allAnswered, std::move(error));
    } else {
      NSLog("DnsSafeSearchClient onDataReceived is not set, url = " + self->urlText_);
    }
    if (!cancelAfter) return;
    std::shared_ptr<UdpConnection> connection;
    {
      std::lock_guard lock(self->mutex_);
      connection = std::move(self->connection_);
    }
    if (!connection) return;
    if (isAnswer) {
      const std::string r = std::to_string(answered);
      NSLog("self.connection?.cancel(), arr.count = " + r + ", content count = " + r + ", url = " + self->urlText_);
    }
    connection->cancel();
  });
}

}  // namespace DnsToolsSocket
