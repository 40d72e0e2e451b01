#include "DnsProxyExt/XpcUdpHelper.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "DnsProxyExt/Utils.h"
#include "platform/foundation/Log.h"

namespace dnsproxyext {

using platform::NWConnectionState;
using platform::NWError;
using platform::UdpConnection;

class XpcUdpHelper::Channel : public std::enable_shared_from_this<Channel> {
 public:
  Channel(UdpConnection::Factory factory, std::shared_ptr<platform::DispatchQueue> queue)
      : factory_(std::move(factory)), queue_(std::move(queue)) {
    if (!factory_) factory_ = [](const platform::NWEndpoint& e) { return UdpConnection::create(e); };
    if (!queue_) queue_ = platform::DispatchQueue::global();
  }
  ~Channel() {
    if (connection_) connection_->cancel();
  }

  std::shared_ptr<UdpConnection> connection() const {
    std::lock_guard lock(mutex_);
    return connection_;
  }
  std::shared_ptr<DNSProxyToContentFilter> delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
  }

  void connect(std::shared_ptr<DNSProxyToContentFilter> delegate, std::optional<uint16_t> port,
               std::optional<std::string> request, RespCallback respCallback) {
    auto connection = factory_(platform::NWEndpoint{"localhost", port ? *port : relayPort()});
    std::shared_ptr<UdpConnection> previous;
    {
      std::lock_guard lock(mutex_);
      delegate_ = delegate;
      previous = std::exchange(connection_, connection);
    }
    // A started connection keeps its socket until cancelled.
    if (previous) previous->cancel();
    if (!connection) return;
    std::weak_ptr<Channel> weak = weak_from_this();
    connection->setStateUpdateHandler([weak, request, respCallback](NWConnectionState state) {
      auto self = weak.lock();
      if (self) self->handleState(state, request, respCallback);
    });
    connection->start(queue_);
  }

  void handleState(const NWConnectionState& state, const std::optional<std::string>& request,
                   const RespCallback& respCallback) {
    std::fputs("Xpc Udp This is stateUpdateHandler:\n", stdout);
    std::fflush(stdout);
    switch (state.kind) {
      case NWConnectionState::setup:
        platform::NSLog("Xpc Udp State: Setup\n");
        break;
      case NWConnectionState::waiting:
        platform::NSLog("Xpc Udp State: Waiting, error: " + (state.error ? state.error->description : ""));
        break;
      case NWConnectionState::preparing:
        platform::NSLog("Xpc Udp State: Preparing\n");
        break;
      case NWConnectionState::ready:
        platform::NSLog("Xpc Udp State: Ready\n");
        receive(respCallback);
        if (request) sendBytes(std::vector<uint8_t>(request->begin(), request->end()));
        break;
      case NWConnectionState::failed:
        platform::NSLog("Xpc Udp State: Failed,, failed: " + (state.error ? state.error->description : ""));
        break;
      case NWConnectionState::cancelled:
        platform::NSLog("Xpc Udp State: Cancelled\n");
        break;
      default:
        platform::NSLog("Xpc Udp ERROR! State not defined!\n");
        break;
    }
  }

  void sendBytes(std::vector<uint8_t> data) {
    auto connection = this->connection();
    if (!connection) return;
    connection->send(std::move(data), [](std::optional<NWError> error) {
      if (!error) {
        platform::NSLog("*Xpc Udp Data was sent to UDP*");
      } else {
        platform::NSLog("Xpc Udp ERROR! Error when data (Type: Data) sending. NWError: \n " + error->description);
      }
    });
  }

  void sendCommand(XpcUdpCommandParser::CmdType type, const std::string& text) {
    if (!connection()) return;
    auto encoded = XpcUdpCommandParser::encodeCommand(XpcUdpCommand{type, text});
    if (!encoded) return;
    sendBytes(std::move(*encoded));
  }

  void receive(RespCallback respCallback) {
    auto connection = this->connection();
    if (!connection) return;
    std::weak_ptr<Channel> weak = weak_from_this();
    std::weak_ptr<UdpConnection> weakConnection = connection;
    connection->receiveMessage([weak, weakConnection, respCallback](std::optional<std::vector<uint8_t>> content,
                                                                      bool isComplete, std::optional<NWError>) {
      if (!isComplete) return;
      platform::NSLog("*Xpc Udp Receive is complete*");
      if (!content) {
        platform::NSLog("Xpc Udp Data == nil");
        return;
      }
      std::string text = decodeUtf8Lossy(*content);
      platform::NSLog("*Xpc Udp Received message: " + platform::escapedText(text));
      if (respCallback) respCallback(text, std::nullopt);
      // One incoming datagram per channel.
      if (auto received = weakConnection.lock()) received->cancel();
      if (text.rfind("&*", 0) == 0) return;
      auto command = XpcUdpCommandParser::decodeCommand(*content);
      if (!command) {
        platform::NSLog("Xpc Udp ERROR! Received datagram is not a command");
        return;
      }
      if (auto self = weak.lock()) self->handle(*command);
    });
  }

  void handle(const XpcUdpCommand& msg) {
    if (msg.cmdType != XpcUdpCommandParser::CmdType::command) {
      platform::NSLog("default");
      return;
    }
    auto delegate = this->delegate();
    if (auto* app = dynamic_cast<AppToExtDelegate*>(delegate.get())) app->receivedCommandFromApp(msg);
  }

  void close() {
    if (auto connection = this->connection()) connection->cancel();
  }

 private:
  UdpConnection::Factory factory_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  mutable std::mutex mutex_;
  std::shared_ptr<UdpConnection> connection_;
  std::weak_ptr<DNSProxyToContentFilter> delegate_;
};

uint16_t XpcUdpHelper::relayPort() {
  const char* text = std::getenv("VARDENO_RELAY_EXT_PORT");
  if (!text || !*text) return kDefaultPort;
  auto port = parseDecimalInt64(text);
  if (!port || *port < 0 || *port > 65535) {
    platform::NSLog(std::string("VARDENO_RELAY_EXT_PORT is not a port: ") + text);
    return kDefaultPort;
  }
  return static_cast<uint16_t>(*port);
}

XpcUdpHelper::XpcUdpHelper(UdpConnection::Factory factory, std::shared_ptr<platform::DispatchQueue> queue)
    : channel_(std::make_shared<Channel>(std::move(factory), std::move(queue))) {}

XpcUdpHelper::~XpcUdpHelper() = default;

void XpcUdpHelper::printLogToFile(const std::string& log) {
  channel_->sendCommand(XpcUdpCommandParser::CmdType::printToLog, log);
}

void XpcUdpHelper::proxyStateWasUpdated(const std::string& state) {
  channel_->sendCommand(XpcUdpCommandParser::CmdType::notification, state);
}

void XpcUdpHelper::closeConnection() { channel_->close(); }

std::shared_ptr<UdpConnection> XpcUdpHelper::connection() const { return channel_->connection(); }

std::shared_ptr<DNSProxyToContentFilter> XpcUdpHelper::appToExtDelegate() const { return channel_->delegate(); }

void XpcUdpHelper::connectToUDP(std::optional<uint16_t> port) { connectToUDP(nullptr, port, std::nullopt, nullptr); }

void XpcUdpHelper::sendUdpRequest(uint16_t port, const std::string& req, RespCallback completionHandler) {
  connectToUDP(nullptr, port, req, std::move(completionHandler));
}

void XpcUdpHelper::connectToUDP(std::shared_ptr<DNSProxyToContentFilter> appToextDelegate, std::optional<uint16_t> port,
                                std::optional<std::string> request, RespCallback respCallback) {
  channel_->connect(std::move(appToextDelegate), port, std::move(request), std::move(respCallback));
}

void XpcUdpHelper::sendUDP(std::vector<uint8_t> data) { channel_->sendBytes(std::move(data)); }

void XpcUdpHelper::receiveUDP(RespCallback respCallback) { channel_->receive(std::move(respCallback)); }

}  // namespace dnsproxyext
