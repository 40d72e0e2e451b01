#include "dns/client/UdpAnswerExchange.h"

#include <cerrno>
#include <utility>

#include "platform/foundation/Log.h"

namespace DnsToolsSocket {


using platform::NWConnectionState;
using platform::NWError;
using platform::UdpConnection;

UdpAnswerExchange::UdpAnswerExchange(std::vector<std::vector<uint8_t>> queries, LogNames names,
                                     UdpConnection::Factory makeConnection,
                                     std::shared_ptr<platform::DispatchQueue> queue,
                                     std::chrono::nanoseconds answerDeadline)
    : queries_(std::move(queries)),
      names_(std::move(names)),
      tag_(names_.key + " = " + names_.id),
      makeConnection_(std::move(makeConnection)),
      queue_(std::move(queue)),
      answerDeadline_(answerDeadline) {
  if (!makeConnection_) makeConnection_ = [](const platform::NWEndpoint& remote) {
    return UdpConnection::create(remote);
  };
  if (!queue_) queue_ = platform::DispatchQueue::global(platform::QoS::defaultQoS);
}

UdpAnswerExchange::~UdpAnswerExchange() {
  if (deadline_) deadline_->cancel();
  if (connection_) connection_->cancel();
}

std::shared_ptr<UdpConnection> UdpAnswerExchange::connection() const {
  std::lock_guard lock(mutex_);
  return connection_;
}

bool UdpAnswerExchange::beginFinishLocked() {
  if (finished_) return false;
  finished_ = true;
  if (deadline_) deadline_->cancel();
  return true;
}

void UdpAnswerExchange::connectToUDP(const platform::NWEndpoint& remote) {
  VARDENO_LOG_LINE("Connecting to udp, " + tag_);
  auto connection = makeConnection_(remote);
  std::shared_ptr<UdpConnection> previous;
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    previous = std::exchange(connection_, connection);
    if (!deadline_) {
      std::weak_ptr<UdpAnswerExchange> weak = weak_from_this();
      deadline_ = queue_->asyncAfter(answerDeadline_, [weak] {
        if (auto self = weak.lock()) {
          VARDENO_LOG_LINE(self->names_.client + " answers did not arrive in time, " + self->tag_);
          self->fail(NWError::posix(ETIMEDOUT));
        }
      });
    }
  }
  // A replaced connection would otherwise keep its socket open for ever.
  if (previous) previous->cancel();

  std::weak_ptr<UdpConnection> weakConnection = connection;
  connection->setStateUpdateHandler([self = shared_from_this(), weakConnection](NWConnectionState state) {
    auto c = weakConnection.lock();
    // A cancelled connection may be gone by the time its last state arrives.
    if (c || state.kind == NWConnectionState::cancelled) self->handleState(c, state);
  });
  connection->start(queue_);
}

void UdpAnswerExchange::handleState(const std::shared_ptr<UdpConnection>& connection,
                                    const NWConnectionState& state) {
  stateChanged(state);
  const std::string errorText = state.error ? state.error->description : std::string();
  switch (state.kind) {
    case NWConnectionState::setup:
      VARDENO_LOG_LINE("State: Setup, " + tag_ + "\n");
      break;
    case NWConnectionState::preparing:
      VARDENO_LOG_LINE("State: Preparing, " + tag_ + "\n");
      break;
    case NWConnectionState::ready:
      VARDENO_LOG_LINE("State: Ready, " + tag_ + "\n");
      sendAll(connection);
      break;
    case NWConnectionState::waiting:
      VARDENO_LOG_LINE("State: Waiting," + tag_ + ", error: " + errorText);
      break;
    case NWConnectionState::failed: {
      VARDENO_LOG_LINE("State: Failed," + tag_ + ", failed: " + errorText);
      bool current;
      {
        std::lock_guard lock(mutex_);
        current = isCurrentLocked(connection);
      }
      if (current) fail(state.error.value_or(NWError::posix(ECONNABORTED)));
      break;
    }
    case NWConnectionState::cancelled:
      VARDENO_LOG_LINE("State: Cancelled, " + tag_ + "\n");
      break;
    default:
      VARDENO_LOG_LINE("ERROR! State not defined!, flowHash = " + names_.id + "\n");
      break;
  }
}

void UdpAnswerExchange::sendAll(const std::shared_ptr<UdpConnection>& connection) {
  VARDENO_LOG_LINE("sendUDP, content count = " + std::to_string(queries_.size()) + ", " + tag_);
  {
    std::lock_guard lock(mutex_);
    if (!isCurrentLocked(connection)) return;
    if (queries_.empty()) beginFinishLocked();
  }
  if (queries_.empty()) return endWithoutQueries(connection);

  auto matcher = std::make_shared<AnswerMatcher>(queries_);
  std::weak_ptr<UdpConnection> weakConnection = connection;
  for (size_t i = 0; i < queries_.size(); ++i) {
    connection->send(queries_[i], [self = shared_from_this(), weakConnection, matcher, i](std::optional<NWError> error) {
      auto c = weakConnection.lock();
      if (!c) return;
      if (error) {
        VARDENO_LOG_LINE("(" + self->names_.id + "): ERROR! Error when data (Type: Data) sending. NWError: \n " +
              error->description);
        return;
      }
      VARDENO_LOG_LINE("Data was sent to UDP, flowHash = " + self->names_.id);
      self->sent();
      self->armReceive(c, matcher, i);
    });
  }
}

void UdpAnswerExchange::armReceive(const std::shared_ptr<UdpConnection>& connection,
                                   const std::shared_ptr<AnswerMatcher>& matcher, size_t index) {
  {
    std::lock_guard lock(mutex_);
    if (!isCurrentLocked(connection)) return;
  }
  std::weak_ptr<UdpConnection> weakConnection = connection;
  connection->receiveMessage([self = shared_from_this(), weakConnection, matcher, index](
                                 std::optional<std::vector<uint8_t>> content, bool isComplete,
                                 std::optional<NWError> error) {
    if (auto c = weakConnection.lock()) self->handleReceive(c, matcher, index, std::move(content), isComplete, error);
  });
}

void UdpAnswerExchange::handleReceive(const std::shared_ptr<UdpConnection>& connection,
                                      const std::shared_ptr<AnswerMatcher>& matcher, size_t index,
                                      std::optional<std::vector<uint8_t>> content, bool isComplete,
                                      std::optional<NWError> error) {
  VARDENO_LOG_LINE("receiveUdp callback called, " + tag_ + ", isComplete = " + platform::boolText(isComplete));
  if (!isComplete || !content) {
    VARDENO_LOG_LINE("dns session is not completed, flowHash = " + names_.id);
    return incomplete(std::move(content), index, std::move(error));
  }
  bool stray = false;
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    const auto matched = matcher->match(*content, index);
    if (!matched) {
      stray = true;
    } else {
      const size_t answered = matcher->answeredCount();
      const bool last = answered == matcher->queryCount();
      if (last) beginFinishLocked();
      answerLocked(std::move(*content), *matched, last, answered);
    }
  }
  if (stray) {
    // Not an answer to any open query of this read: keep waiting for the real one.
    VARDENO_LOG_LINE(names_.client + " ignored an answer that matches no query, " + tag_);
    return armReceive(connection, matcher, index);
  }
  delivery_.drain();
}

}  // namespace DnsToolsSocket
