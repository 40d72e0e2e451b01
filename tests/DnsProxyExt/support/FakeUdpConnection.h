#pragma once
// Scripted UDP connection: the test moves its state, reads what was sent and
// delivers incoming datagrams. Callbacks run on the queue given to start().
#include <memory>
#include <mutex>
#include <vector>

#include "platform/UdpConnection.h"

namespace testsupport {

class FakeUdpConnection : public platform::UdpConnection {
 public:
  explicit FakeUdpConnection(platform::NWEndpoint remote) : remote_(std::move(remote)) {}

  void setStateUpdateHandler(StateHandler handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  void start(std::shared_ptr<platform::DispatchQueue> queue) override {
    std::lock_guard lock(mutex_);
    queue_ = std::move(queue);
    started = true;
  }
  void send(std::vector<uint8_t> datagram, SendCompletion completion) override {
    std::lock_guard lock(mutex_);
    sent.push_back(std::move(datagram));
    sendCompletions.push_back(std::move(completion));
  }
  void receiveMessage(ReceiveCompletion completion) override {
    std::lock_guard lock(mutex_);
    receives.push_back(std::move(completion));
  }
  void cancel() override {
    std::lock_guard lock(mutex_);
    ++cancelCount;
    state_.kind = platform::NWConnectionState::cancelled;
  }
  platform::NWConnectionState state() const override {
    std::lock_guard lock(mutex_);
    return state_;
  }
  const platform::NWEndpoint& endpoint() const override { return remote_; }
  std::optional<std::string> currentPath() const override { return path; }

  // Test side.
  void moveTo(platform::NWConnectionState state) {
    StateHandler handler;
    std::shared_ptr<platform::DispatchQueue> queue;
    {
      std::lock_guard lock(mutex_);
      state_ = state;
      handler = handler_;
      queue = queue_;
    }
    if (handler && queue) queue->async([handler, state] { handler(state); });
  }
  void completeSend(size_t index, std::optional<platform::NWError> error = std::nullopt) {
    SendCompletion completion;
    std::shared_ptr<platform::DispatchQueue> queue;
    {
      std::lock_guard lock(mutex_);
      completion = sendCompletions.at(index);
      queue = queue_;
    }
    queue->async([completion, error] { if (completion) completion(error); });
  }
  // Completes the oldest armed receive.
  void deliver(std::optional<std::vector<uint8_t>> data, bool isComplete = true,
               std::optional<platform::NWError> error = std::nullopt) {
    ReceiveCompletion completion;
    std::shared_ptr<platform::DispatchQueue> queue;
    {
      std::lock_guard lock(mutex_);
      completion = receives.at(0);
      receives.erase(receives.begin());
      queue = queue_;
    }
    queue->async([completion, data, isComplete, error] { completion(data, isComplete, error); });
  }
  size_t armedReceives() const {
    std::lock_guard lock(mutex_);
    return receives.size();
  }
  std::vector<std::vector<uint8_t>> sentDatagrams() const {
    std::lock_guard lock(mutex_);
    return sent;
  }

  bool started = false;
  int cancelCount = 0;
  std::optional<std::string> path;
  std::vector<std::vector<uint8_t>> sent;
  std::vector<SendCompletion> sendCompletions;
  std::vector<ReceiveCompletion> receives;

 private:
  mutable std::mutex mutex_;
  platform::NWEndpoint remote_;
  StateHandler handler_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  platform::NWConnectionState state_;
};

// A factory that records every connection it makes.
struct FakeConnections {
  std::vector<std::shared_ptr<FakeUdpConnection>> made;
  std::vector<platform::NWEndpoint> endpoints;
  platform::UdpConnection::Factory factory() {
    return [this](const platform::NWEndpoint& e) {
      auto c = std::make_shared<FakeUdpConnection>(e);
      made.push_back(c);
      endpoints.push_back(e);
      return c;
    };
  }
};

}  // namespace testsupport
