#pragma once
// What the scripted UDP connections of the tests share: the remote, the state
// handler, the queue given to start(), the state and the armed receives.
// The test hands answers to the oldest armed receive; callbacks run on the
// queue given to start(), as the platform does.
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/network/UdpConnection.h"

namespace testing_support {

class ScriptedUdpBase : public platform::UdpConnection {
 public:
  explicit ScriptedUdpBase(platform::NWEndpoint remote) : remote_(std::move(remote)) {}

  void setStateUpdateHandler(StateHandler handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  void start(std::shared_ptr<platform::DispatchQueue> queue) override {
    std::lock_guard lock(mutex_);
    queue_ = std::move(queue);
    startedLocked();
  }
  platform::NWConnectionState state() const override {
    std::lock_guard lock(mutex_);
    return state_;
  }
  const platform::NWEndpoint& endpoint() const override { return remote_; }

  // Test side. Hands `data` to the oldest armed receive; false when none is armed.
  bool deliver(std::optional<std::vector<uint8_t>> data, bool isComplete = true,
               std::optional<platform::NWError> error = std::nullopt) {
    ReceiveCompletion completion;
    {
      std::lock_guard lock(mutex_);
      if (receives_.empty()) return false;
      completion = std::move(receives_.front());
      receives_.pop_front();
    }
    post([completion, data, isComplete, error] { completion(data, isComplete, error); });
    return true;
  }
  size_t pendingReceives() const {
    std::lock_guard lock(mutex_);
    return receives_.size();
  }

 protected:
  // Called under mutex_ when start() has taken the queue.
  virtual void startedLocked() {}
  // Runs `work` on the queue given to start(); nothing before start().
  void post(std::function<void()> work) {
    std::shared_ptr<platform::DispatchQueue> queue;
    {
      std::lock_guard lock(mutex_);
      queue = queue_;
    }
    if (queue) queue->async(std::move(work));
  }

  mutable std::mutex mutex_;
  const platform::NWEndpoint remote_;
  StateHandler handler_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  platform::NWConnectionState state_;
  std::deque<ReceiveCompletion> receives_;
};

}  // namespace testing_support
