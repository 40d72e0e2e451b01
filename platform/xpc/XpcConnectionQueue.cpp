#include "platform/xpc/XpcConnectionQueue.h"

#include <condition_variable>
#include <deque>
#include <thread>

namespace platform {

struct XpcConnectionQueue::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> blocks;
  bool stopping = false;
  std::thread worker;
};

std::shared_ptr<XpcConnectionQueue> XpcConnectionQueue::make(std::string label) {
  return std::shared_ptr<XpcConnectionQueue>(new XpcConnectionQueue(std::move(label)));
}

XpcConnectionQueue::XpcConnectionQueue(std::string label)
    : DispatchQueue(std::move(label)), state_(std::make_shared<State>()) {
  state_->worker = std::thread([state = state_, self = static_cast<const DispatchQueue*>(this)] {
    std::unique_lock lock(state->mutex);
    for (;;) {
      state->wake.wait(lock, [&] { return state->stopping || !state->blocks.empty(); });
      if (state->blocks.empty()) return;  // stopping and drained
      auto block = std::move(state->blocks.front());
      state->blocks.pop_front();
      lock.unlock();
      {
        CurrentScope scope(self);
        block();
      }
      block = nullptr;  // release captures outside the lock
      lock.lock();
    }
  });
}

XpcConnectionQueue::~XpcConnectionQueue() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  // The last reference may go away inside one of this queue's own blocks.
  if (state_->worker.get_id() == std::this_thread::get_id()) state_->worker.detach();
  else state_->worker.join();
}

void XpcConnectionQueue::async(std::function<void()> block) {
  {
    std::lock_guard lock(state_->mutex);
    state_->blocks.push_back(std::move(block));
  }
  state_->wake.notify_one();
}

std::shared_ptr<DispatchWorkItem> XpcConnectionQueue::asyncAfter(std::chrono::nanoseconds delay,
                                                                  std::function<void()> block) {
  auto item = std::make_shared<DispatchWorkItem>(std::move(block));
  std::weak_ptr<DispatchQueue> weak = weak_from_this();
  DispatchQueue::global()->asyncAfter(delay, [weak, item] {
    if (auto queue = weak.lock()) queue->async([item] { item->perform(); });
  });
  return item;
}

}  // namespace platform
