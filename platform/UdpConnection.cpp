#include "platform/UdpConnection.h"

#include <cstring>

#include "platform/Log.h"

namespace platform {

NWError NWError::posix(int code) {
  return NWError{code, "POSIXErrorCode(rawValue: " + std::to_string(code) + "): " + std::strerror(code)};
}

std::string NWConnectionState::description() const {
  const std::string err = error ? error->description : std::string();
  switch (kind) {
    case setup: return "setup";
    case preparing: return "preparing";
    case ready: return "ready";
    case waiting: return "waiting(" + err + ")";
    case failed: return "failed(" + err + ")";
    case cancelled: return "cancelled";
  }
  return "unknown";
}

std::string NWEndpoint::description() const {
  if (host.find(':') != std::string::npos) return "[" + host + "]:" + std::to_string(port);
  return host + ":" + std::to_string(port);
}

std::string optionalDescription(const std::optional<NWError>& error) {
  return error ? "Optional(" + error->description + ")" : "nil";
}

namespace {

class StubConnection final : public UdpConnection {
 public:
  explicit StubConnection(NWEndpoint remote) : remote_(std::move(remote)) {}
  void setStateUpdateHandler(StateHandler handler) override { handler_ = std::move(handler); }
  void start(std::shared_ptr<DispatchQueue> queue) override {
    state_ = NWConnectionState{NWConnectionState::failed, NWError::posix(ENOSYS)};
    auto self = shared_from_this();
    queue->async([self, this] { if (handler_) handler_(state_); });
  }
  void send(std::vector<uint8_t>, SendCompletion) override {}
  void receiveMessage(ReceiveCompletion) override {}
  void cancel() override {}
  NWConnectionState state() const override { return state_; }
  const NWEndpoint& endpoint() const override { return remote_; }
  std::optional<std::string> currentPath() const override { return std::nullopt; }

 private:
  NWEndpoint remote_;
  StateHandler handler_;
  NWConnectionState state_;
};

}  // namespace

std::shared_ptr<UdpConnection> UdpConnection::create(NWEndpoint remote) {
  return std::make_shared<StubConnection>(std::move(remote));
}

}  // namespace platform
