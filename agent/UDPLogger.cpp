#include "agent/UDPLogger.h"

#include <cerrno>
#include <cstdlib>

#include "DnsProxyExt/Utils.h"
#include "platform/foundation/Log.h"

namespace agent {

int UDPLogger::relayPort() {
  const char* env = std::getenv("VARDENO_RELAY_AGENT_PORT");
  if (!env || !*env) return kRelayAgentPort;
  auto port = dnsproxyext::parseDecimalInt64(env);
  return port && *port > 0 && *port < 65536 ? static_cast<int>(*port) : kRelayAgentPort;
}

UDPLogger::UDPLogger(platform::NWEndpoint relay, std::shared_ptr<platform::DispatchQueue> queue,
                     platform::UdpConnection::Factory factory)
    : relay_(std::move(relay)),
      queue_(queue ? std::move(queue) : platform::DispatchQueue::global(platform::QoS::defaultQoS)),
      factory_(factory ? std::move(factory) : platform::UdpConnection::Factory(platform::UdpConnection::create)) {}

UDPLogger::~UDPLogger() {
  if (auto c = connection()) c->cancel();
}

std::shared_ptr<platform::UdpConnection> UDPLogger::connection() const {
  std::lock_guard lock(mutex_);
  return connection_;
}

void UDPLogger::setup(ReplyCallback callback) {
  auto connection = factory_(relay_);
  if (!connection) return;
  {
    std::lock_guard lock(mutex_);
    connection_ = connection;
  }
  // The handler holds the connection weakly: the logger owns it.
  std::weak_ptr<platform::UdpConnection> weak = connection;
  connection->setStateUpdateHandler([weak, callback, outstanding = outstanding_](platform::NWConnectionState state) {
    switch (state.kind) {
      case platform::NWConnectionState::setup: platform::NSLog("Agent Udp logger State: Setup\n"); break;
      case platform::NWConnectionState::preparing: platform::NSLog("Agent Udp logger State: Preparing\n"); break;
      case platform::NWConnectionState::ready: {
        platform::NSLog("Agent Udp logger State: Ready\n");
        if (auto c = weak.lock()) {
          sendText(c, "&*requestCU", outstanding);
          receiveReply(c, callback);
        }
        break;
      }
      case platform::NWConnectionState::waiting:
        platform::NSLog("Agent Udp logger State: Waiting, error: " +
                        (state.error ? state.error->description : std::string()));
        break;
      case platform::NWConnectionState::failed:
        platform::NSLog("Agent Udp logger State: Failed,, failed: " +
                        (state.error ? state.error->description : std::string()));
        break;
      case platform::NWConnectionState::cancelled: platform::NSLog("Agent Udp logger State: Cancelled\n"); break;
      default: platform::NSLog("Agent Udp logger ERROR! State not defined!\n"); break;
    }
  });
  connection->start(queue_);
}

void UDPLogger::receiveReply(const std::shared_ptr<platform::UdpConnection>& connection,
                             const ReplyCallback& callback) {
  std::weak_ptr<platform::UdpConnection> weak = connection;
  connection->receiveMessage([weak, callback](std::optional<std::vector<uint8_t>> data, bool isComplete,
                                                    std::optional<platform::NWError> error) {
    if (!isComplete) {
      // A relay that is not up yet refuses; keep waiting for its reply.
      if (error && error->code == ECONNREFUSED) {
        if (auto c = weak.lock()) receiveReply(c, callback);
      }
      return;
    }
    platform::NSLog("Xpc Udp Receive is complete");
    if (!data) {
      platform::NSLog("Agent Udp Data == nil");
      return;
    }
    platform::NSLog("Agent Udp Received message: " + dnsproxyext::decodeUtf8Lossy(*data));
    if (callback) callback(*data);
  });
}

void UDPLogger::send(std::string text) {
  if (auto c = connection()) sendText(c, text, outstanding_);
}

void UDPLogger::sendText(const std::shared_ptr<platform::UdpConnection>& connection, const std::string& text,
                         const std::shared_ptr<Outstanding>& outstanding) {
  {
    std::lock_guard lock(outstanding->mutex);
    ++outstanding->count;
  }
  connection->send(std::vector<uint8_t>(text.begin(), text.end()), [outstanding](std::optional<platform::NWError> error) {
    if (error) {
      platform::NSLog("Agent UDP logger! Error when data (Type: Data) sending. NWError: \n " +
                      error->description);
    }
    std::lock_guard lock(outstanding->mutex);
    if (--outstanding->count == 0) outstanding->done.notify_all();
  });
}

bool UDPLogger::flush(std::chrono::milliseconds limit) {
  std::unique_lock lock(outstanding_->mutex);
  return outstanding_->done.wait_for(lock, limit, [&] { return outstanding_->count == 0; });
}

void UDPLogger::sendAgentLog(const std::optional<std::string>& text) { send(text ? "&*AL" + *text : "&*AL<nil>"); }

void UDPLogger::sendUpdateCurrentUser(const std::string& name) { send("&*updateCU" + name); }

void UDPLogger::sendRequestCurrentUser() { send("&*requestCU"); }

}  // namespace agent
