#include "platform/dispatch/Dispatch.h"

#include <algorithm>
#include <cstdlib>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

#include <asio.hpp>

namespace platform {

namespace {

thread_local const DispatchQueue* tlsCurrent = nullptr;

// One process-wide pool; never destroyed, so late work at exit finds it.
// At exit it stops taking work and gives the blocks already running a
// moment to end, so that no pool thread runs while static objects (error
// categories, loggers) are being destroyed.
// Detached threads that run until their loop stops; at exit they get a
// moment to end.
class LoopThreads {
 public:
  void start(std::function<void()> body) {
    {
      std::lock_guard lock(mutex_);
      ++running_;
    }
    std::thread([this, body = std::move(body)] {
      body();
      std::lock_guard lock(mutex_);
      --running_;
      stopped_.notify_all();
    }).detach();
  }
  // A thread of the group that calls exit() does not wait for itself.
  void waitAtExit(bool onOneOfThem) {
    const std::size_t self = onOneOfThem ? 1 : 0;
    std::unique_lock lock(mutex_);
    stopped_.wait_for(lock, std::chrono::seconds(1), [&] { return running_ <= self; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable stopped_;
  std::size_t running_ = 0;
};

struct Pool {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
  LoopThreads threads;

  Pool() {
    const unsigned count = std::max(2u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < count; ++i)
      threads.start([this] {
        isPoolThread = true;
        io.run();
      });
  }

  void stopAtExit() {
    io.stop();
    threads.waitAtExit(isPoolThread);
  }

  static thread_local bool isPoolThread;
};

thread_local bool Pool::isPoolThread = false;

// One instance for the process, never destroyed, stopped at exit.
template <class T>
T& stoppedAtExit() {
  static T* instance = [] {
    auto* made = new T();
    std::atexit([] { stoppedAtExit<T>().stopAtExit(); });
    return made;
  }();
  return *instance;
}

Pool& pool() { return stoppedAtExit<Pool>(); }

asio::io_context& mainIo() {
  static auto* io = new asio::io_context();
  return *io;
}

std::atomic<std::size_t> mainBlocksRun{0};

// Hand-over point between a queue's drainer and a thread waiting in sync().
struct Handoff {
  std::mutex mutex;
  std::condition_variable cv;
  bool granted = false;

  void grant() {
    std::lock_guard lock(mutex);
    granted = true;
    cv.notify_one();
  }
  void wait() {
    std::unique_lock lock(mutex);
    cv.wait(lock, [this] { return granted; });
  }
};

// Runs its blocks one at a time, in order, on the threads of `io`.
// sync() from another thread takes the queue over and runs on the caller.
class SerialQueue final : public DispatchQueue {
 public:
  SerialQueue(std::string label, asio::io_context& io, bool isMain)
      : DispatchQueue(std::move(label)), io_(io), isMain_(isMain) {}

  void async(std::function<void()> block) override { enqueue(std::move(block), false); }
  void asyncContinuation(std::function<void()> block) override { enqueue(std::move(block), true); }

  std::shared_ptr<DispatchWorkItem> asyncAfter(std::chrono::nanoseconds delay, std::function<void()> block) override;

  void sync(std::function<void()> block) override {
    if (isCurrent()) {
      block();
      return;
    }
    std::shared_ptr<Handoff> handoff;
    {
      std::lock_guard lock(mutex_);
      if (scheduled_) {
        handoff = std::make_shared<Handoff>();
        items_.push_back(Item{nullptr, handoff});
      } else {
        scheduled_ = true;  // idle: take it over at once
      }
    }
    if (handoff) handoff->wait();
    {
      CurrentScope scope(this);
      block();
    }
    release();
  }

 private:
  struct Item {
    std::function<void()> block;
    std::shared_ptr<Handoff> handoff;
  };

  void enqueue(std::function<void()> block, bool continuation) {
    bool post = false;
    {
      std::lock_guard lock(mutex_);
      items_.push_back(Item{std::move(block), nullptr});
      if (!scheduled_) scheduled_ = post = true;
    }
    if (post) schedule(continuation);
  }

  void schedule(bool continuation = false) {
    auto drainer = [self = std::static_pointer_cast<SerialQueue>(shared_from_this())] { self->drain(); };
    if (continuation) asio::defer(io_, std::move(drainer));
    else asio::post(io_, std::move(drainer));
  }

  // Gives the queue back after a sync(): resume draining or go idle.
  void release() {
    bool post = false;
    {
      std::lock_guard lock(mutex_);
      if (items_.empty()) scheduled_ = false;
      else post = true;
    }
    if (post) schedule();
  }

  void drain() {
    CurrentScope scope(this);
    // A bounded batch, then yield the thread to other queues.
    for (int n = 0; n < 64; ++n) {
      Item item;
      {
        std::lock_guard lock(mutex_);
        if (items_.empty()) {
          scheduled_ = false;
          return;
        }
        item = std::move(items_.front());
        items_.pop_front();
      }
      if (item.handoff) {
        item.handoff->grant();  // the sync() caller now owns the queue
        return;
      }
      item.block();
      if (isMain_) mainBlocksRun.fetch_add(1, std::memory_order_relaxed);
    }
    release();
  }

  asio::io_context& io_;
  bool isMain_;
  std::mutex mutex_;
  std::deque<Item> items_;
  bool scheduled_ = false;
};

// Blocks run in parallel on the pool.
class ConcurrentQueue final : public DispatchQueue {
 public:
  explicit ConcurrentQueue(std::string label) : DispatchQueue(std::move(label)) {}

  void async(std::function<void()> block) override {
    asio::post(pool().io, [self = shared_from_this(), block = std::move(block)] {
      CurrentScope scope(self.get());
      block();
    });
  }

  // Deferred: on a pool thread it waits in that thread's own queue, on a
  // worker in the worker's loop.
  void asyncContinuation(std::function<void()> block) override;

  std::shared_ptr<DispatchWorkItem> asyncAfter(std::chrono::nanoseconds delay, std::function<void()> block) override;

  void sync(std::function<void()> block) override {
    CurrentScope scope(this);
    block();
  }
};

// A timer on `io` that queues `block` on `queue` when due. Cancelling the
// item cancels the timer, so that it leaves the timer queue at once. With
// `inline_`, the timer's own thread runs the block (a worker's queue).
std::shared_ptr<DispatchWorkItem> scheduleAfter(asio::io_context& io, const std::shared_ptr<DispatchQueue>& queue,
                                                std::chrono::nanoseconds delay, std::function<void()> block,
                                                std::function<void(std::function<void()>)> runInline = {}) {
  auto item = std::make_shared<DispatchWorkItem>(std::move(block));
  auto timer = std::make_shared<asio::steady_timer>(io, std::max(delay, std::chrono::nanoseconds(0)));
  timer->async_wait([queue, item, timer, runInline = std::move(runInline)](const std::error_code& ec) {
    if (ec == asio::error::operation_aborted || item->isCancelled()) return;
    if (runInline) runInline([item] { item->perform(); });
    else queue->async([item] { item->perform(); });
  });
  item->setCancelHook([weak = std::weak_ptr<asio::steady_timer>(timer)] {
    if (auto t = weak.lock()) t->cancel();
  });
  return item;
}

std::shared_ptr<DispatchWorkItem> SerialQueue::asyncAfter(std::chrono::nanoseconds delay,
                                                          std::function<void()> block) {
  return scheduleAfter(pool().io, shared_from_this(), delay, std::move(block));
}

void ConcurrentQueue::asyncContinuation(std::function<void()> block) {
  auto run = [self = shared_from_this(), block = std::move(block)] {
    CurrentScope scope(self.get());
    block();
  };
  if (auto* io = currentWorkerIoContext()) asio::defer(*io, std::move(run));
  else asio::defer(pool().io, std::move(run));
}

std::shared_ptr<DispatchWorkItem> ConcurrentQueue::asyncAfter(std::chrono::nanoseconds delay,
                                                              std::function<void()> block) {
  return scheduleAfter(pool().io, shared_from_this(), delay, std::move(block));
}

// --- worker loops

struct Worker;
thread_local Worker* tlsWorker = nullptr;

// The serial queue of one worker: its blocks run on the worker's thread.
class LoopQueue final : public DispatchQueue {
 public:
  LoopQueue(std::string label, Worker& worker) : DispatchQueue(std::move(label)), worker_(worker) {}

  void async(std::function<void()> block) override;
  void asyncContinuation(std::function<void()> block) override;
  std::shared_ptr<DispatchWorkItem> asyncAfter(std::chrono::nanoseconds delay, std::function<void()> block) override;
  void sync(std::function<void()> block) override;
  // Runs `block` as one of this queue's blocks, on the worker's thread.
  void run(const std::function<void()>& block);

 private:
  Worker& worker_;
};

struct Worker {
  // One thread: work queued from it stays in its own queue, no wake-up.
  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
  std::shared_ptr<LoopQueue> queue;
  std::atomic<uint64_t> progress{0};
  std::size_t index = 0;
};

struct Workers {
  std::vector<std::unique_ptr<Worker>> all;
  LoopThreads threads;

  Workers() {
    std::size_t count = std::max(1u, std::thread::hardware_concurrency());
    if (const char* value = std::getenv("VARDENO_WORKERS")) {
      char* end = nullptr;
      const long n = std::strtol(value, &end, 10);
      if (end != value && *end == '\0' && n >= 1 && n <= 256) count = static_cast<std::size_t>(n);
    }
    for (std::size_t i = 0; i < count; ++i) {
      auto worker = std::make_unique<Worker>();
      worker->index = i;
      worker->queue = std::make_shared<LoopQueue>("com.vardeno.worker-" + std::to_string(i), *worker);
      all.push_back(std::move(worker));
    }
    for (auto& worker : all)
      threads.start([w = worker.get()] {
        tlsWorker = w;
        w->io.run();
      });
  }

  void stopAtExit() {
    for (auto& worker : all) worker->io.stop();
    threads.waitAtExit(tlsWorker != nullptr);
  }
};

Workers& workers() { return stoppedAtExit<Workers>(); }

void LoopQueue::run(const std::function<void()>& block) {
  worker_.progress.fetch_add(1, std::memory_order_relaxed);
  {
    CurrentScope scope(this);
    block();
  }
  worker_.progress.fetch_add(1, std::memory_order_relaxed);
}

// Blocks a worker queued for itself, run in order by one handler of its
// loop (see deferOnWorker).
struct Chain {
  struct Link {
    std::shared_ptr<LoopQueue> queue;  // none: a bare block
    std::function<void()> block;
  };
  static constexpr std::size_t kPerTurn = 64;
  std::vector<Link> links;
  std::size_t next = 0;
  bool scheduled = false;
};
thread_local Chain tlsChain;

void runChain(Worker& worker) {
  Chain& chain = tlsChain;
  for (std::size_t ran = 0; chain.next < chain.links.size(); ++ran) {
    if (ran == Chain::kPerTurn) {
      // The loop's other work gets its turn; the rest runs in the next one.
      chain.links.erase(chain.links.begin(), chain.links.begin() + static_cast<std::ptrdiff_t>(chain.next));
      chain.next = 0;
      asio::defer(worker.io, [&worker] { runChain(worker); });
      return;
    }
    Chain::Link link = std::move(chain.links[chain.next++]);
    if (link.queue) link.queue->run(link.block);
    else link.block();
  }
  chain.links.clear();
  chain.next = 0;
  chain.scheduled = false;
}

// On `worker`'s own thread.
void queueOnChain(Worker& worker, std::shared_ptr<LoopQueue> queue, std::function<void()> block) {
  Chain& chain = tlsChain;
  chain.links.push_back(Chain::Link{std::move(queue), std::move(block)});
  if (chain.scheduled) return;
  chain.scheduled = true;
  asio::defer(worker.io, [&worker] { runChain(worker); });
}

void LoopQueue::async(std::function<void()> block) {
  auto self = std::static_pointer_cast<LoopQueue>(shared_from_this());
  if (tlsWorker == &worker_) return queueOnChain(worker_, std::move(self), std::move(block));
  asio::post(worker_.io, [self = std::move(self), block = std::move(block)] { self->run(block); });
}

void LoopQueue::asyncContinuation(std::function<void()> block) { async(std::move(block)); }

std::shared_ptr<DispatchWorkItem> LoopQueue::asyncAfter(std::chrono::nanoseconds delay, std::function<void()> block) {
  auto self = std::static_pointer_cast<LoopQueue>(shared_from_this());
  return scheduleAfter(worker_.io, self, delay, std::move(block),
                       [self](std::function<void()> perform) { self->run(perform); });
}

void LoopQueue::sync(std::function<void()> block) {
  if (tlsWorker == &worker_) {
    CurrentScope scope(this);
    block();
    return;
  }
  DispatchQueue::sync(std::move(block));
}

}  // namespace

asio::io_context& dispatchIoContext() { return pool().io; }

std::size_t workerCount() { return workers().all.size(); }

std::shared_ptr<DispatchQueue> workerQueue(std::size_t index) {
  auto& all = workers().all;
  return all[index % all.size()]->queue;
}

asio::io_context& workerIoContext(std::size_t index) {
  auto& all = workers().all;
  return all[index % all.size()]->io;
}

std::optional<std::size_t> currentWorker() {
  if (!tlsWorker) return std::nullopt;
  return tlsWorker->index;
}

std::shared_ptr<DispatchQueue> currentWorkerQueue() { return tlsWorker ? tlsWorker->queue : nullptr; }

asio::io_context* currentWorkerIoContext() { return tlsWorker ? &tlsWorker->io : nullptr; }

void deferOnWorker(asio::io_context& loop, std::function<void()> block) {
  if (tlsWorker && &tlsWorker->io == &loop) return queueOnChain(*tlsWorker, nullptr, std::move(block));
  asio::defer(loop, std::move(block));
}

uint64_t workerProgress(std::size_t index) {
  auto& all = workers().all;
  return all[index % all.size()]->progress.load(std::memory_order_relaxed);
}

// --- DispatchWorkItem

DispatchWorkItem::DispatchWorkItem(std::function<void()> block) : block_(std::move(block)) {}

void DispatchWorkItem::cancel() {
  std::function<void()> dropped;
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    dropped = std::move(block_);  // frees what the block holds now, not at its due time
    block_ = nullptr;
    hook = std::move(cancelHook_);
    cancelHook_ = nullptr;
  }
  if (hook) hook();
}

void DispatchWorkItem::setCancelHook(std::function<void()> hook) {
  std::unique_lock lock(mutex_);
  if (!cancelled_) {
    cancelHook_ = std::move(hook);
    return;
  }
  lock.unlock();
  if (hook) hook();
}

bool DispatchWorkItem::isCancelled() const { return cancelled_.load(); }

void DispatchWorkItem::perform() {
  std::function<void()> block;
  {
    std::lock_guard lock(mutex_);
    if (cancelled_ || started_) return;
    started_ = true;
    block = std::move(block_);
    block_ = nullptr;
    cancelHook_ = nullptr;
  }
  if (block) block();
}

// --- DispatchQueue

DispatchQueue::CurrentScope::CurrentScope(const DispatchQueue* queue) : previous_(tlsCurrent) { tlsCurrent = queue; }
DispatchQueue::CurrentScope::~CurrentScope() { tlsCurrent = previous_; }

bool DispatchQueue::isCurrent() const { return tlsCurrent == this; }

DispatchQueue* DispatchQueue::current() { return const_cast<DispatchQueue*>(tlsCurrent); }

void DispatchQueue::sync(std::function<void()> block) {
  if (isCurrent()) {
    block();
    return;
  }
  auto done = std::make_shared<Handoff>();
  async([&block, done] {
    block();
    done->grant();
  });
  done->wait();
}

std::shared_ptr<DispatchQueue> DispatchQueue::main() {
  static auto* queue = new std::shared_ptr<DispatchQueue>(
      std::make_shared<SerialQueue>("com.apple.main-thread", mainIo(), true));
  return *queue;
}

std::shared_ptr<DispatchQueue> DispatchQueue::global(QoS qos) {
  static auto* queues = new std::vector<std::shared_ptr<DispatchQueue>>{
      std::make_shared<ConcurrentQueue>("com.apple.root.user-interactive-qos"),
      std::make_shared<ConcurrentQueue>("com.apple.root.user-initiated-qos"),
      std::make_shared<ConcurrentQueue>("com.apple.root.default-qos"),
      std::make_shared<ConcurrentQueue>("com.apple.root.utility-qos"),
      std::make_shared<ConcurrentQueue>("com.apple.root.background-qos"),
  };
  return (*queues)[static_cast<std::size_t>(qos)];
}

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerial(std::string label) {
  return std::make_shared<SerialQueue>(std::move(label), pool().io, false);
}

// --- main queue drivers

void dispatchMain() {
  auto& io = mainIo();
  auto guard = asio::make_work_guard(io);
  for (;;) {
    io.restart();
    io.run();
  }
}

std::size_t runMainQueueFor(std::chrono::nanoseconds duration, const std::function<bool()>& until) {
  auto& io = mainIo();
  const std::size_t before = mainBlocksRun.load();
  const auto deadline = std::chrono::steady_clock::now() + duration;
  while (!(until && until())) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    io.restart();
    io.run_one_for(std::min<std::chrono::nanoseconds>(deadline - now, std::chrono::milliseconds(5)));
  }
  return mainBlocksRun.load() - before;
}

std::size_t drainMain() {
  auto& io = mainIo();
  const std::size_t before = mainBlocksRun.load();
  io.restart();
  io.poll();
  return mainBlocksRun.load() - before;
}

// --- DispatchTimer

DispatchTimer::DispatchTimer(std::shared_ptr<DispatchQueue> queue, std::chrono::nanoseconds interval,
                             std::function<void()> handler)
    : queue_(std::move(queue)), interval_(std::max(interval, std::chrono::nanoseconds(1))), handler_(std::move(handler)) {}

std::shared_ptr<DispatchTimer> DispatchTimer::make(std::shared_ptr<DispatchQueue> queue,
                                                   std::chrono::nanoseconds interval, std::function<void()> handler,
                                                   std::chrono::nanoseconds firstDelay) {
  std::shared_ptr<DispatchTimer> timer(new DispatchTimer(std::move(queue), interval, std::move(handler)));
  timer->schedule(firstDelay.count() >= 0 ? firstDelay : timer->interval_);
  return timer;
}

DispatchTimer::~DispatchTimer() { cancel(); }

void DispatchTimer::schedule(std::chrono::nanoseconds delay) {
  std::lock_guard lock(mutex_);
  if (cancelled_) return;
  // Weak: dropping the last reference stops the timer.
  std::weak_ptr<DispatchTimer> weak = weak_from_this();
  pending_ = queue_->asyncAfter(delay, [weak] {
    if (auto self = weak.lock()) self->fire();
  });
}

void DispatchTimer::fire() {
  if (cancelled_) return;
  schedule(interval_);
  handler_();
}

void DispatchTimer::cancel() {
  std::shared_ptr<DispatchWorkItem> pending;
  {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    pending = std::move(pending_);
  }
  if (pending) pending->cancel();
}

bool DispatchTimer::isCancelled() const { return cancelled_.load(); }

// --- ManualQueue

ManualQueue::ManualQueue(std::shared_ptr<FakeClock> clock, std::string label)
    : DispatchQueue(std::move(label)), clock_(std::move(clock)) {}

void ManualQueue::async(std::function<void()> block) {
  std::lock_guard lock(mutex_);
  ready_.push_back(std::move(block));
}

std::shared_ptr<DispatchWorkItem> ManualQueue::asyncAfter(std::chrono::nanoseconds delay,
                                                          std::function<void()> block) {
  auto item = std::make_shared<DispatchWorkItem>(std::move(block));
  std::lock_guard lock(mutex_);
  const int64_t now = clock_->monotonicNanos();
  const int64_t wait = std::clamp<int64_t>(delay.count(), 0, std::numeric_limits<int64_t>::max() - now);
  delayed_.push_back(Delayed{now + wait, nextOrder_++, item});
  return item;
}

void ManualQueue::sync(std::function<void()> block) {
  CurrentScope scope(this);
  block();
}

std::size_t ManualQueue::runPending() {
  std::size_t run = 0;
  for (;;) {
    std::function<void()> block;
    {
      std::lock_guard lock(mutex_);
      if (ready_.empty()) break;
      block = std::move(ready_.front());
      ready_.pop_front();
    }
    CurrentScope scope(this);
    block();
    ++run;
  }
  return run;
}

std::size_t ManualQueue::advance(std::chrono::nanoseconds delta) {
  const int64_t start = clock_->monotonicNanos();
  const int64_t target = start + std::clamp<int64_t>(delta.count(), 0, std::numeric_limits<int64_t>::max() - start);
  std::size_t run = runPending();
  for (;;) {
    std::shared_ptr<DispatchWorkItem> item;
    int64_t due = 0;
    {
      std::lock_guard lock(mutex_);
      std::erase_if(delayed_, [](const Delayed& d) { return d.item->isCancelled(); });
      auto next = std::min_element(delayed_.begin(), delayed_.end(), [](const Delayed& a, const Delayed& b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
      });
      if (next == delayed_.end() || next->due > target) break;
      item = next->item;
      due = next->due;
      delayed_.erase(next);
    }
    const int64_t now = clock_->monotonicNanos();
    if (due > now) clock_->advance(std::chrono::nanoseconds(due - now));
    {
      CurrentScope scope(this);
      item->perform();
    }
    ++run;
    run += runPending();
  }
  const int64_t now = clock_->monotonicNanos();
  if (target > now) clock_->advance(std::chrono::nanoseconds(target - now));
  return run;
}

std::size_t ManualQueue::pendingCount() const {
  std::lock_guard lock(mutex_);
  std::size_t delayed = std::count_if(delayed_.begin(), delayed_.end(),
                                      [](const Delayed& d) { return !d.item->isCancelled(); });
  return ready_.size() + delayed;
}

// --- waitUntil

bool waitUntil(const std::function<bool()>& predicate, std::chrono::nanoseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace platform
