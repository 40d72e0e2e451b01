#pragma once
// A UDP connection the test drives: it records sends and pending receives,
// and delivers states and answers on the queue given to start(), as the
// platform does. cancel() drops pending completions and reports `cancelled`.
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "support/ScriptedUdpBase.h"

namespace clienttest {

class ScriptedConnection : public testing_support::ScriptedUdpBase {
 public:
  using ScriptedUdpBase::ScriptedUdpBase;

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
    }
    if (handler) {
      post([self = shared_from_this(), handler] {
        handler({platform::NWConnectionState::cancelled, std::nullopt});
      });
    }
  }
  std::optional<std::string> currentPath() const override { return std::nullopt; }

  // Test side.
  void moveTo(platform::NWConnectionState state) {
    StateHandler handler;
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
    }
    if (!handler) return;
    post([self = shared_from_this(), handler, state] { handler(state); });
  }
  // Completes every send made so far; the one at `failIndex` with an error.
  void completeSends(std::optional<size_t> failIndex = std::nullopt) {
    std::vector<SendCompletion> completions;
    {
      std::lock_guard lock(mutex_);
      completions.swap(sendCompletions_);
    }
    for (size_t i = 0; i < completions.size(); ++i) {
      std::optional<platform::NWError> error;
      if (failIndex && *failIndex == i) error = platform::NWError::posix(ENOBUFS);
      post([c = completions[i], error] { c(error); });
    }
  }

  std::vector<std::vector<uint8_t>> sent() const {
    std::lock_guard lock(mutex_);
    return sent_;
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
  void startedLocked() override { started_ = true; }

  std::vector<std::vector<uint8_t>> sent_;
  std::vector<SendCompletion> sendCompletions_;
  bool started_ = false;
  bool cancelled_ = false;
};

}  // namespace clienttest
