#pragma once
// Runs callbacks one at a time, in the order they were enqueued, on the
// thread that drains; no lock is held while a callback runs. Lets a client
// decide under its own lock (enqueue) and call its owner after unlocking
// (drain), so that "last answer" is never delivered before an earlier one.
#include <functional>
#include <mutex>

#include "platform/foundation/Fifo.h"

namespace DnsToolsSocket {

class SerialDelivery {
 public:
  void enqueue(std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(fn));
  }

  // Runs everything pending unless another thread is already draining.
  void drain() {
    std::unique_lock lock(mutex_);
    if (draining_) return;
    draining_ = true;
    while (!pending_.empty()) {
      auto fn = std::move(pending_.front());
      pending_.pop_front();
      lock.unlock();
      try {
        fn();
      } catch (...) {
        // An owner's callback that throws must not stop later deliveries.
      }
      lock.lock();
    }
    draining_ = false;
  }

 private:
  std::mutex mutex_;
  platform::Fifo<std::function<void()>> pending_;
  bool draining_ = false;
};

}  // namespace DnsToolsSocket
