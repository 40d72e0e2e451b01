#include "relay-service/UDPListener.h"

#include <atomic>
#include <string_view>

#include "DnsProxyExt/XpcUdpCommandParser.h"
#include "platform/foundation/CacheFlush.h"
#include "platform/foundation/Log.h"
#include "relay-service/RunShellCommand.h"
#include "relay-service/Utf8Text.h"

namespace relay {
namespace {

using dnsproxyext::XpcUdpCommandParser;
using platform::NWConnectionState;
using platform::NWListenerState;
using platform::UdpConnection;

constexpr std::string_view kAgentLog = "&*AL";
constexpr std::string_view kRequestCU = "&*requestCU";
constexpr std::string_view kUpdateCU = "&*updateCU";

std::atomic<uint64_t> connectionCounter{0};

std::string connectionDescription(const UdpConnection& connection) {
  return "[C" + std::to_string(++connectionCounter) + " " + connection.endpoint().description() + " udp]";
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

UDPListener::CacheFlush UDPListener::systemCacheFlush() {
  return [] { return runShellCommand(platform::cacheFlushCommand(), kFlushTimeLimit); };
}

UDPListener::UDPListener(CacheFlush flush) : UDPListener(std::make_shared<CacheFlusher>(std::move(flush))) {}

UDPListener::UDPListener(std::shared_ptr<CacheFlusher> flusher)
    : flusher_(std::move(flusher)), queue_(platform::DispatchQueue::global(platform::QoS::userInitiated)) {}

UDPListener::~UDPListener() {
  if (listener_) listener_->cancel();
}

void UDPListener::start(uint16_t port) {
  platform::UdpListenerParameters parameters;
  parameters.fastOpen = true;
  auto listener = platform::UdpListener::create(parameters, port);
  if (!listener) return;
  {
    std::lock_guard lock(mutex_);
    listener_ = listener;
  }
  std::weak_ptr<UDPListener> weakSelf = weak_from_this();
  listener->setStateUpdateHandler([weakSelf](NWListenerState state) {
    if (auto self = weakSelf.lock()) self->listenerStateChanged(state);
  });
  listener->setNewConnectionHandler([weakSelf](std::shared_ptr<UdpConnection> connection) {
    if (auto self = weakSelf.lock()) self->newConnection(connection);
  });
  listener->start(queue_);
}

void UDPListener::listenerStateChanged(const NWListenerState& state) {
  const std::string port = std::to_string(this->port());
  switch (state.kind) {
    case NWListenerState::ready: {
      std::lock_guard lock(mutex_);
      isReady_ = true;
    }
      platform::NSLog("Listener connected to port " + port);
      break;
    case NWListenerState::failed:
    case NWListenerState::cancelled: {
      std::lock_guard lock(mutex_);
      listening_ = false;
      isReady_ = false;
    }
      platform::NSLog("Listener disconnected from port " + port);
      break;
    default:
      platform::NSLog("Listener connecting to port " + port + "...");
      break;
  }
}

void UDPListener::newConnection(const std::shared_ptr<UdpConnection>& connection) {
  platform::NSLog("Listener receiving new message");
  // Off this queue, coalesced: a slow flush holds up no peer.
  if (flusher_) flusher_->request();
  {
    std::lock_guard lock(mutex_);
    connection_ = connection;
  }
  std::weak_ptr<UDPListener> weakSelf = weak_from_this();
  std::weak_ptr<UdpConnection> weakConnection = connection;
  connection->setStateUpdateHandler(
      [weakSelf, weakConnection, description = connectionDescription(*connection)](NWConnectionState state) {
        if (auto self = weakSelf.lock()) self->connectionStateChanged(weakConnection, description, state);
      });
  connection->start(platform::DispatchQueue::global(platform::QoS::defaultQoS));
}

void UDPListener::connectionStateChanged(const std::weak_ptr<UdpConnection>& weakConnection,
                                         const std::string& description, const NWConnectionState& state) {
  switch (state.kind) {
    case NWConnectionState::ready:
      if (auto connection = weakConnection.lock()) receive(connection);
      platform::NSLog("Listener ready to receive message - " + description);
      break;
    case NWConnectionState::failed:
    case NWConnectionState::cancelled: {
      // Only this peer ends; the port keeps serving the others.
      auto connection = weakConnection.lock();
      {
        std::lock_guard lock(mutex_);
        if (connection && connection_ == connection) connection_.reset();
      }
      if (connection && state.kind == NWConnectionState::failed) connection->cancel();
      platform::NSLog("Listener failed to receive message - " + description);
      break;
    }
    default:
      platform::NSLog("Listener waiting to receive message - " + description);
      break;
  }
}

void UDPListener::receive(const std::shared_ptr<UdpConnection>& connection) {
  std::weak_ptr<UDPListener> weakSelf = weak_from_this();
  std::weak_ptr<UdpConnection> weakConnection = connection;
  connection->receiveMessage([weakSelf, weakConnection](std::optional<std::vector<uint8_t>> content, bool isComplete,
                                                        std::optional<platform::NWError> error) {
    if (auto self = weakSelf.lock()) self->received(weakConnection, std::move(content), isComplete, std::move(error));
  });
}

void UDPListener::received(const std::weak_ptr<UdpConnection>& weakConnection,
                           std::optional<std::vector<uint8_t>> content, bool isComplete,
                           std::optional<platform::NWError> error) {
  if (error) {
    platform::NSLog("Error: NWError received in receive() - " + error->description);
    return;
  }
  if (!isComplete || !content) {
    platform::NSLog("Error: Received nil Data with context - nil");
    return;
  }
  auto connection = weakConnection.lock();
  if (!connection) return;
  handleDatagram(connection, *content);

  bool goOn;
  {
    std::lock_guard lock(mutex_);
    goOn = listening_;
  }
  if (goOn && connection->state().kind != NWConnectionState::cancelled) receive(connection);
}

void UDPListener::handleDatagram(const std::shared_ptr<UdpConnection>& connection,
                                 const std::vector<uint8_t>& content) {
  {
    std::lock_guard lock(mutex_);
    messageReceived_ = content;
  }
  const std::string text = repairedUtf8(content);

  if (startsWith(text, kAgentLog)) {
    platform::NSLog("Agent log: " + removingOccurrences(text, kAgentLog));
  } else if (startsWith(text, kRequestCU)) {
    replyCurrentUser(connection);
  } else if (startsWith(text, kUpdateCU)) {
    platform::NSLog("update CU received, message: " + text);
    std::string user = removingOccurrences(text, kUpdateCU);
    {
      std::lock_guard lock(mutex_);
      xpcUser_ = user;
    }
    platform::NSLog(" CU updated: " + user);
  } else if (auto command = XpcUdpCommandParser::decodeCommand(content)) {
    switch (command->cmdType) {
      case XpcUdpCommandParser::CmdType::printToLog:
        platform::NSLog("got printToLog from Ext: " + command->payload);
        break;
      case XpcUdpCommandParser::CmdType::command:
        platform::NSLog("got command from Ext: " + command->payload);
        break;
      case XpcUdpCommandParser::CmdType::notification: {
        std::lock_guard lock(mutex_);
        proxyStatus_ = command->payload;
      }
        platform::NSLog("got notification from Ext: " + command->payload);
        break;
    }
  } else {
    platform::NSLog("Listener ignored a datagram that is no relay message, bytes: " +
                    std::to_string(content.size()));
  }
}

void UDPListener::replyCurrentUser(const std::shared_ptr<UdpConnection>& connection) {
  std::string user;
  {
    std::lock_guard lock(mutex_);
    user = xpcUser_;
  }
  platform::NSLog("request CU received, cu: " + user);
  // The reply goes to the peer that asked.
  connection->send(std::vector<uint8_t>(user.begin(), user.end()), [](std::optional<platform::NWError> error) {
    if (!error) {
      platform::NSLog("Data was sent to UDP");
    } else {
      platform::NSLog("ERROR! Error when data (Type: Data) sending. NWError: \n " + error->description);
    }
  });
}

std::string UDPListener::xpcUser() const {
  std::lock_guard lock(mutex_);
  return xpcUser_;
}

std::string UDPListener::proxyStatus() const {
  std::lock_guard lock(mutex_);
  return proxyStatus_;
}

std::optional<std::vector<uint8_t>> UDPListener::messageReceived() const {
  std::lock_guard lock(mutex_);
  return messageReceived_;
}

bool UDPListener::isReady() const {
  std::lock_guard lock(mutex_);
  return isReady_;
}

bool UDPListener::listening() const {
  std::lock_guard lock(mutex_);
  return listening_;
}

std::shared_ptr<UDPListener> UDPListener::extUdpListener() const {
  std::lock_guard lock(mutex_);
  return extUdpListener_;
}

void UDPListener::setExtUdpListener(std::shared_ptr<UDPListener> listener) {
  std::lock_guard lock(mutex_);
  extUdpListener_ = std::move(listener);
}

uint16_t UDPListener::port() const {
  std::lock_guard lock(mutex_);
  return listener_ ? listener_->port() : 0;
}

}  // namespace relay
