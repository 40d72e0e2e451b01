#pragma once
// Dispatch stand-in: a main queue run by the main thread, concurrent global
// queues on one shared thread pool, labelled serial queues, delayed work and
// repeating timers. Every block runs with its queue marked current, so
// `isCurrent()` and `sync()` behave as on the platform.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Clock.h"

namespace asio {
class io_context;
}

namespace platform {

// The shared pool's io_context, for platform I/O objects (sockets, timers).
asio::io_context& dispatchIoContext();

// Worker loops: each one thread running an event loop of its own, for work
// that should start, wait for I/O and end on one thread. A block queued on a
// worker's queue from that worker runs after the current block on the same
// thread and wakes no other. VARDENO_WORKERS sets their number (default:
// one per core).
std::size_t workerCount();
// The serial queue of worker `index % workerCount()`.
std::shared_ptr<class DispatchQueue> workerQueue(std::size_t index);
asio::io_context& workerIoContext(std::size_t index);
// The worker that runs the calling thread: its index, queue and loop.
std::optional<std::size_t> currentWorker();
std::shared_ptr<class DispatchQueue> currentWorkerQueue();
asio::io_context* currentWorkerIoContext();
// Runs `block` on worker loop `loop` after the block or handler running
// now, as asio::defer does. From the loop's own thread, such blocks and
// those queued on its queue run together, a few dozen to a turn of the
// loop, so that a chain of continuations does not cost a turn (a poll of
// the loop's descriptors) each.
void deferOnWorker(asio::io_context& loop, std::function<void()> block);
// Counts block starts and ends on a worker: odd while a block runs. A value
// that stays odd tells that the worker is stuck in one block.
uint64_t workerProgress(std::size_t index);

enum class QoS { userInteractive, userInitiated, defaultQoS, utility, background };

// Delayed work that can be cancelled until it starts.
class DispatchWorkItem {
 public:
  explicit DispatchWorkItem(std::function<void()> block);
  void cancel();
  bool isCancelled() const;
  // Runs the block unless cancelled; a block runs at most once.
  void perform();
  // Run once by cancel(): lets the scheduler drop its timer at once rather
  // than at the due time.
  void setCancelHook(std::function<void()> hook);

 private:
  std::mutex mutex_;
  std::atomic<bool> cancelled_{false};
  bool started_ = false;
  std::function<void()> block_;
  std::function<void()> cancelHook_;
};

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  virtual ~DispatchQueue() = default;
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  virtual void async(std::function<void()> block) = 0;
  // As async(), for work that continues the calling pool block: it starts
  // after that block returns and wakes no other thread (the pool thread
  // picks it up next). The caller must not wait for it.
  virtual void asyncContinuation(std::function<void()> block) { async(std::move(block)); }
  // Runs `block` on this queue after `delay` unless the item is cancelled.
  virtual std::shared_ptr<DispatchWorkItem> asyncAfter(std::chrono::nanoseconds delay, std::function<void()> block) = 0;
  // Runs `block` on this queue and waits for it; inline when already on it.
  virtual void sync(std::function<void()> block);
  // True while a block of this queue runs on the calling thread.
  bool isCurrent() const;
  const std::string& label() const { return label_; }

  static std::shared_ptr<DispatchQueue> main();
  static std::shared_ptr<DispatchQueue> global(QoS qos = QoS::defaultQoS);
  static std::shared_ptr<DispatchQueue> makeSerial(std::string label);
  // The queue whose block runs on this thread, or null.
  static DispatchQueue* current();

 protected:
  explicit DispatchQueue(std::string label) : label_(std::move(label)) {}

  // Marks `queue` current on this thread for its lifetime.
  class CurrentScope {
   public:
    explicit CurrentScope(const DispatchQueue* queue);
    ~CurrentScope();
    CurrentScope(const CurrentScope&) = delete;
    CurrentScope& operator=(const CurrentScope&) = delete;

   private:
    const DispatchQueue* previous_;
  };

 private:
  std::string label_;
};

// Runs the main queue on the calling thread, forever.
[[noreturn]] void dispatchMain();
// For tests and tools: run the main queue's blocks on the calling thread
// for up to `duration`, or until `until` returns true. Returns blocks run.
std::size_t runMainQueueFor(std::chrono::nanoseconds duration, const std::function<bool()>& until = {});
// Runs every main-queue block that is ready now. Returns blocks run.
std::size_t drainMain();

// Repeating timer: `handler` runs on `queue` every `interval` (first after
// `interval`, or after `firstDelay` when given) until cancelled.
class DispatchTimer : public std::enable_shared_from_this<DispatchTimer> {
 public:
  static std::shared_ptr<DispatchTimer> make(std::shared_ptr<DispatchQueue> queue, std::chrono::nanoseconds interval,
                                             std::function<void()> handler,
                                             std::chrono::nanoseconds firstDelay = std::chrono::nanoseconds(-1));
  ~DispatchTimer();
  void cancel();
  bool isCancelled() const;

 private:
  DispatchTimer(std::shared_ptr<DispatchQueue> queue, std::chrono::nanoseconds interval, std::function<void()> handler);
  void schedule(std::chrono::nanoseconds delay);
  void fire();

  std::shared_ptr<DispatchQueue> queue_;
  std::chrono::nanoseconds interval_;
  std::function<void()> handler_;
  std::mutex mutex_;
  std::shared_ptr<DispatchWorkItem> pending_;
  std::atomic<bool> cancelled_{false};
};

// A queue that a test drives by hand on its own thread, with a FakeClock.
class ManualQueue : public DispatchQueue {
 public:
  explicit ManualQueue(std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(),
                       std::string label = "manual");

  void async(std::function<void()> block) override;
  std::shared_ptr<DispatchWorkItem> asyncAfter(std::chrono::nanoseconds delay, std::function<void()> block) override;
  // Runs inline (the test thread is the queue's only thread).
  void sync(std::function<void()> block) override;

  // Runs queued blocks, including those they queue; returns blocks run.
  std::size_t runPending();
  // Moves the clock forward, running each delayed block at its due time.
  std::size_t advance(std::chrono::nanoseconds delta);
  // Queued blocks plus delayed blocks not yet due and not cancelled.
  std::size_t pendingCount() const;
  const std::shared_ptr<FakeClock>& clock() const { return clock_; }

 private:
  struct Delayed {
    int64_t due;
    uint64_t order;
    std::shared_ptr<DispatchWorkItem> item;
  };
  std::shared_ptr<FakeClock> clock_;
  mutable std::mutex mutex_;
  std::deque<std::function<void()>> ready_;
  std::vector<Delayed> delayed_;
  uint64_t nextOrder_ = 0;
};

// Polls `predicate` until it holds or `timeout` passes; true when it held.
bool waitUntil(const std::function<bool()>& predicate,
               std::chrono::nanoseconds timeout = std::chrono::seconds(10));

}  // namespace platform
