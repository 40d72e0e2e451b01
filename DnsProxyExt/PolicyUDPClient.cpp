#include "DnsProxyExt/PolicyUDPClient.h"

#include "platform/foundation/Log.h"

namespace dnsproxyext {

using platform::NWConnectionState;
using platform::NWError;

namespace {
constexpr size_t kDatagramsSent = 1;
}

PolicyUDPClient::PolicyUDPClient(std::vector<uint8_t> req, Environment environment)
    : PolicyUDPClient(std::move(req), std::move(environment), "PolicyUDPClient") {}

PolicyUDPClient::PolicyUDPClient(std::vector<uint8_t> req, Environment environment, std::string logTag)
    : request_(std::move(req)), environment_(std::move(environment)), logTag_(std::move(logTag)) {
  if (!environment_.factory) {
    environment_.factory = [](const platform::NWEndpoint& e) { return platform::UdpConnection::create(e); };
  }
  if (!environment_.queue) environment_.queue = platform::DispatchQueue::global();
  platform::NSLog("init new " + logTag_);
}

PolicyUDPClient::~PolicyUDPClient() {
  if (deadline_) deadline_->cancel();
  if (connection_) connection_->cancel();
}

std::string PolicyUDPClient::logTag() const {
  std::lock_guard lock(mutex_);
  return logTag_;
}

std::string PolicyUDPClient::host() const {
  std::lock_guard lock(mutex_);
  return host_;
}

int64_t PolicyUDPClient::port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

void PolicyUDPClient::setOnPolicyDataReceived(OnPolicyDataReceived callback) {
  std::lock_guard lock(mutex_);
  onPolicyDataReceived_ = std::move(callback);
}

std::shared_ptr<platform::UdpConnection> PolicyUDPClient::connection() const {
  std::lock_guard lock(mutex_);
  return connection_;
}

std::string PolicyUDPClient::endpointText() const { return host() + ":" + std::to_string(port()); }

std::string PolicyUDPClient::routeText() const {
  auto connection = this->connection();
  auto path = connection ? connection->currentPath() : std::nullopt;
  return (path ? "Optional(" + *path + ")" : std::string("nil")) + ", to ip - " + host() + ", port - " +
         std::to_string(port());
}

bool PolicyUDPClient::finish() {
  std::shared_ptr<platform::UdpConnection> connection;
  std::shared_ptr<platform::DispatchWorkItem> deadline;
  {
    std::lock_guard lock(mutex_);
    if (finished_) return false;
    finished_ = true;
    connection = std::move(connection_);
    deadline = std::move(deadline_);
  }
  if (deadline) deadline->cancel();
  if (connection) connection->cancel();
  return true;
}

void PolicyUDPClient::connectWithUDP(const std::string& ip, int64_t port) {
  {
    std::lock_guard lock(mutex_);
    host_ = ip;
    port_ = port;
  }
  if (port < 0 || port > 65535) {
    platform::NSLog(logTag() + ": refusing to connect, port outside 0-65535: " + ip + ":" + std::to_string(port));
    return;
  }
  connectToUDP(platform::NWEndpoint{ip, static_cast<int>(port)});
}

void PolicyUDPClient::connectToUDP(const platform::NWEndpoint& endpoint) {
  platform::NSLog(logTag() + ": Connecting to  udp, flowHash ");
  auto connection = environment_.factory(endpoint);
  if (!connection) return;
  auto self = shared_from_this();
  {
    std::lock_guard lock(mutex_);
    connection_ = connection;
    finished_ = false;
    received_ = 0;
  }
  // The handlers hold the client until the connection lets them go.
  connection->setStateUpdateHandler([self](NWConnectionState state) { self->handleState(state); });
  std::weak_ptr<PolicyUDPClient> weak = self;
  auto deadline = environment_.queue->asyncAfter(kReceiveDeadline, [weak] {
    auto client = weak.lock();
    if (!client) return;
    if (client->finish()) {
      platform::NSLog(client->logTag() + " no answer within " + std::to_string(kReceiveDeadline.count()) +
                      " s, closing, " + client->routeText());
    }
  });
  {
    std::lock_guard lock(mutex_);
    deadline_ = deadline;
  }
  connection->start(environment_.queue);
}

void PolicyUDPClient::handleState(const NWConnectionState& state) {
  const std::string tag = logTag();
  platform::NSLog(tag + " - stateUpdateHandler:,  state = " + state.description());
  const std::string endpoint = endpointText();
  const std::string error = state.error ? state.error->description : "";
  switch (state.kind) {
    case NWConnectionState::setup:
      platform::NSLog(tag + " - State: Setup," + endpoint + " \n");
      break;
    case NWConnectionState::waiting:
      platform::NSLog(tag + " - State: Waiting," + endpoint + " error: " + error);
      break;
    case NWConnectionState::preparing:
      platform::NSLog(tag + "  -State: Preparing," + endpoint + " \n");
      break;
    case NWConnectionState::ready:
      platform::NSLog(tag + " - State: Ready," + endpoint + " \n");
      sendUDPDatagrams(request_);
      break;
    case NWConnectionState::failed:
      platform::NSLog(tag + "  -State: Failed," + endpoint + " failed: " + error);
      finish();
      break;
    case NWConnectionState::cancelled:
      platform::NSLog(tag + " - State: Cancelled," + endpoint + " \n");
      break;
    default:
      platform::NSLog(tag + " - ERROR! State not defined!," + endpoint + " \n");
      break;
  }
}

void PolicyUDPClient::sendUDPDatagrams(std::vector<uint8_t> data) {
  const std::string tag = logTag();
  platform::NSLog(tag + " sendUDP, req to  UDP  ");
  const std::string route = routeText();
  auto connection = this->connection();
  if (!connection) return;
  std::weak_ptr<PolicyUDPClient> weak = weak_from_this();
  connection->send(std::move(data), [weak, tag, route](std::optional<NWError> error) {
    auto self = weak.lock();
    if (!self) return;
    if (error) {
      platform::NSLog(tag + "  ERROR! Error when data (Type: Data) sending to  UDP." + route + " NWError: \n " +
                      error->description);
      self->finish();
      return;
    }
    platform::NSLog(tag + " Data was sent to  UDP, " + route + ",");
    auto connection = self->connection();
    if (!connection) return;
    connection->receiveMessage(
        [weak, route](std::optional<std::vector<uint8_t>> content, bool isComplete, std::optional<NWError> receiveError) {
          if (auto client = weak.lock()) client->handleReceive(route, std::move(content), isComplete, std::move(receiveError));
        });
  });
}

void PolicyUDPClient::handleReceive(const std::string& route, std::optional<std::vector<uint8_t>> data,
                                    bool isComplete, std::optional<NWError> error) {
  const std::string tag = logTag();
  OnPolicyDataReceived callback;
  size_t received = 0;
  {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    callback = onPolicyDataReceived_;
    if (isComplete && data) received = ++received_;
  }
  platform::NSLog(tag + " receive  Udp callback called," + route + " , isComplete = " + platform::boolText(isComplete));
  if (!isComplete || !data) {
    platform::NSLog(tag + " dns session is not completed," + route + " ");
    if (callback) callback(std::move(data), false, error);
    if (!error) return;
    platform::NSLog(tag + " udp socket error: " + platform::optionalDescription(error) + "," + route + " ");
    finish();
    return;
  }
  platform::NSLog(tag + " Udp received," + route + ", arr.count = " + std::to_string(received) +
                  ", content.count = " + std::to_string(kDatagramsSent));
  bool allAnswered = received == kDatagramsSent;
  if (callback) {
    callback(std::move(data), allAnswered, std::nullopt);
  } else {
    platform::NSLog(tag + " answer without onPolicyDataReceived, dropped");
  }
  if (!allAnswered) return;
  platform::NSLog(" " + tag + "self.connection?.cancel(), arr.count = " + std::to_string(received) +
                  ", content count = " + std::to_string(kDatagramsSent) + ", " + route);
  finish();
}

}  // namespace dnsproxyext
