#include "relay-service/CacheFlusher.h"

#include "platform/foundation/Log.h"
#include "relay-service/Utf8Text.h"

namespace relay {

CacheFlusher::CacheFlusher(Flush flush) : flush_(std::move(flush)), thread_([this] { loop(); }) {}

CacheFlusher::~CacheFlusher() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void CacheFlusher::request() {
  {
    std::lock_guard lock(mutex_);
    if (pending_) return;
    pending_ = true;
  }
  wake_.notify_one();
}

uint64_t CacheFlusher::runs() const {
  std::lock_guard lock(mutex_);
  return runs_;
}

void CacheFlusher::loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || pending_; });
    if (stopping_) return;
    pending_ = false;
    ++runs_;
    lock.unlock();
    std::string output = flush_ ? flush_() : std::string();
    platform::NSLog("clearDNSCacheCmd result - " + repairedUtf8(output));
    lock.lock();
  }
}

}  // namespace relay
