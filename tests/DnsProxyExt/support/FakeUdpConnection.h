#pragma once
// Scripted UDP connection: the test moves its state, reads what was sent and
// delivers incoming datagrams. Callbacks run on the queue given to start().
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "support/ScriptedUdpBase.h"

namespace testsupport {

class FakeUdpConnection : public testing_support::ScriptedUdpBase {
 public:
  using ScriptedUdpBase::ScriptedUdpBase;

  void send(std::vector<uint8_t> datagram, SendCompletion completion) override {
    std::lock_guard lock(mutex_);
    sent.push_back(std::move(datagram));
    sendCompletions.push_back(std::move(completion));
  }
  void receiveMessage(ReceiveCompletion completion) override {
    std::lock_guard lock(mutex_);
    receives_.push_back(std::move(completion));
  }
  void cancel() override {
    std::lock_guard lock(mutex_);
    ++cancelCount;
    state_.kind = platform::NWConnectionState::cancelled;
  }
  std::optional<std::string> currentPath() const override { return path; }

  // Test side.
  void moveTo(platform::NWConnectionState state) {
    StateHandler handler;
    {
      std::lock_guard lock(mutex_);
      state_ = state;
      handler = handler_;
    }
    if (handler) post([handler, state] { handler(state); });
  }
  void completeSend(size_t index, std::optional<platform::NWError> error = std::nullopt) {
    SendCompletion completion;
    {
      std::lock_guard lock(mutex_);
      completion = sendCompletions.at(index);
    }
    post([completion, error] { if (completion) completion(error); });
  }
  // Completes the oldest armed receive; there must be one.
  void deliver(std::optional<std::vector<uint8_t>> data, bool isComplete = true,
               std::optional<platform::NWError> error = std::nullopt) {
    if (!ScriptedUdpBase::deliver(std::move(data), isComplete, std::move(error)))
      throw std::out_of_range("FakeUdpConnection::deliver: no armed receive");
  }
  size_t armedReceives() const { return pendingReceives(); }
  std::vector<std::vector<uint8_t>> sentDatagrams() const {
    std::lock_guard lock(mutex_);
    return sent;
  }

  bool started = false;
  int cancelCount = 0;
  std::optional<std::string> path;
  std::vector<std::vector<uint8_t>> sent;
  std::vector<SendCompletion> sendCompletions;

 private:
  void startedLocked() override { started = true; }
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
