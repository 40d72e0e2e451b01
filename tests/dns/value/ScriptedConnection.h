#pragma once
// A UDP connection the test drives: it records sends and pending receives,
// and delivers states and answers on the queue given to start(), as the
// platform does. cancel() drops pending completions and reports `cancelled`.
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/UdpConnection.h"

namespace clienttest {

class ScriptedConnection : public platform::UdpConnection {
 public:
  explicit ScriptedConnection(platform::NWEndpoint remote) : remote_(std::move(remote)) {}

  void setStateUpdateHandler(StateHandler handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  void start(std::shared_ptr<platform::DispatchQueue> queue) override {
    std::lock_guard lock(mutex_);
    queue_ = std::move(queue);
    started_ = true;
  }
  void send(std::vector<uint8_t> datagram, SendCompletion completion) override {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    sent_.push_back(std::move(datagram));
    sendCompletions_.push_back(std::move(completion));
  }
  void receiveMessage(ReceiveCompletion completion) override {
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    receives_.push_back(std::move(completion));
  }
  void cancel() override {
    StateHandler handler;
    std::shared_ptr<platform::DispatchQueue> queue;
    std::deque<ReceiveCompletion> droppedReceives;  // destroyed after unlocking
    std::vector<SendCompletion> droppedSends;
    {
      std::lock_guard lock(mutex_);
      if (cancelled_) return;
      cancelled_ = true;
      state_ = {platform::NWConnectionState::cancelled, std::nullopt};
      droppedReceives.swap(receives_);
      droppedSends.swap(sendCompletions_);
      handler = std::move(handler_);  // a finished connection lets go of its handler
      handler_ = nullptr;
      queue = queue_;
    }
    if (handler && queue) {
      auto self = shared_from_this();
      queue->async([self, handler] { handler({platform::NWConnectionState::cancelled, std::nullopt}); });
    }
  }
  platform::NWConnectionState state() const override {
    std::lock_guard lock(mutex_);
    return state_;
  }
  const platform::NWEndpoint& endpoint() const override { return remote_; }
  std::optional<std::string> currentPath() const override { return std::nullopt; }

  // Test side.
  void moveTo(platform::NWConnectionState state) {
    StateHandler handler;
    std::shared_ptr<platform::DispatchQueue> queue;
    std::deque<ReceiveCompletion> droppedReceives;
    std::vector<SendCompletion> droppedSends;
    {
      std::lock_guard lock(mutex_);
      state_ = state;
      handler = handler_;
      if (state.kind == platform::NWConnectionState::failed) {
        handler_ = nullptr;
        droppedReceives.swap(receives_);
        droppedSends.swap(sendCompletions_);
      }
      queue = queue_;
    }
    if (!handler) return;
    auto self = shared_from_this();
    queue->async([self, handler, state] { handler(state); });
  }
  // Completes every send made so far; the one at `failIndex` with an error.
  void completeSends(std::optional<size_t> failIndex = std::nullopt) {
    std::vector<SendCompletion> completions;
    std::shared_ptr<platform::DispatchQueue> queue;
    {
      std::lock_guard lock(mutex_);
      completions.swap(sendCompletions_);
      queue = queue_;
    }
    for (size_t i = 0; i < completions.size(); ++i) {
      std::optional<platform::NWError> error;
      if (failIndex && *failIndex == i) error = platform::NWError::posix(ENOBUFS);
      queue->async([c = completions[i], error] { c(error); });
    }
  }
  // Hands `data` to the oldest pending receive; false when none is pending.
  bool deliver(std::optional<std::vector<uint8_t>> data, bool isComplete = true,
               std::optional<platform::NWError> error = std::nullopt) {
    ReceiveCompletion completion;
    std::shared_ptr<platform::DispatchQueue> queue;
    {
      std::lock_guard lock(mutex_);
      if (receives_.empty()) return false;
      completion = std::move(receives_.front());
      receives_.pop_front();
      queue = queue_;
    }
    queue->async([completion, data, isComplete, error] { completion(data, isComplete, error); });
    return true;
  }

  std::vector<std::vector<uint8_t>> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
  }
  size_t pendingReceives() const {
    std::lock_guard lock(mutex_);
    return receives_.size();
  }
  bool started() const {
    std::lock_guard lock(mutex_);
    return started_;
  }
  bool cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
  }

 private:
  const platform::NWEndpoint remote_;
  mutable std::mutex mutex_;
  StateHandler handler_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  platform::NWConnectionState state_;
  std::vector<std::vector<uint8_t>> sent_;
  std::vector<SendCompletion> sendCompletions_;
  std::deque<ReceiveCompletion> receives_;
  bool started_ = false;
  bool cancelled_ = false;
};

}  // namespace clienttest
