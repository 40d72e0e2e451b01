#pragma once
// Runs the DNS-cache flush on a thread of its own, so a slow or hanging
// flush never holds up a listener. Requests coalesce: at most one flush runs
// and one waits; requests made while one waits join it.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace relay {

class CacheFlusher {
 public:
  // Flushes and returns what the flush printed; bounds its own run time.
  using Flush = std::function<std::string()>;

  explicit CacheFlusher(Flush flush);
  // Drops a waiting flush and waits for a running one to end.
  ~CacheFlusher();
  CacheFlusher(const CacheFlusher&) = delete;
  CacheFlusher& operator=(const CacheFlusher&) = delete;

  // Never blocks. Each run logs "clearDNSCacheCmd result - " + its output.
  void request();

  // Flushes started so far.
  uint64_t runs() const;

 private:
  void loop();

  const Flush flush_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool pending_ = false;
  bool stopping_ = false;
  uint64_t runs_ = 0;
  std::thread thread_;
};

}  // namespace relay
