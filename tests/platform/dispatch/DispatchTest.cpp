#include "platform/dispatch/Dispatch.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <asio.hpp>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using platform::DispatchQueue;
using platform::waitUntil;

TEST(Dispatch, SerialQueueRunsInOrderOneAtATime) {
  auto queue = DispatchQueue::makeSerial("test.order");
  std::vector<int> order;  // touched only on the queue
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  std::atomic<int> done{0};
  // Several producers; each producer's blocks must stay in its order.
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < 500; ++i) {
        queue->async([&, p, i] {
          if (running.fetch_add(1) != 0) overlapped = true;
          order.push_back(p * 1000 + i);
          running.fetch_sub(1);
          done.fetch_add(1);
        });
      }
    });
  }
  for (auto& t : producers) t.join();
  ASSERT_TRUE(waitUntil([&] { return done.load() == 2000; }));
  EXPECT_FALSE(overlapped.load());
  queue->sync([&] {
    int last[4] = {-1, -1, -1, -1};
    for (int v : order) {
      EXPECT_GT(v % 1000, last[v / 1000]);
      last[v / 1000] = v % 1000;
    }
  });
}

TEST(Dispatch, IsCurrentAndLabel) {
  auto a = DispatchQueue::makeSerial("test.a");
  auto b = DispatchQueue::makeSerial("test.b");
  EXPECT_EQ(a->label(), "test.a");
  EXPECT_FALSE(a->isCurrent());
  bool onA = false, onB = true, inner = false;
  a->sync([&] {
    onA = a->isCurrent();
    onB = b->isCurrent();
    b->sync([&] { inner = b->isCurrent() && DispatchQueue::current() == b.get(); });
  });
  EXPECT_TRUE(onA);
  EXPECT_FALSE(onB);
  EXPECT_TRUE(inner);
  std::atomic<bool> globalCurrent{false};
  auto global = DispatchQueue::global();
  global->async([&] { globalCurrent = global->isCurrent(); });
  EXPECT_TRUE(waitUntil([&] { return globalCurrent.load(); }));
}

TEST(Dispatch, SyncIsInlineOnOwnQueueAndWaitsOtherwise) {
  auto queue = DispatchQueue::makeSerial("test.sync");
  std::atomic<bool> nestedRan{false};
  queue->sync([&] { queue->sync([&] { nestedRan = true; }); });  // would deadlock if not inline
  EXPECT_TRUE(nestedRan.load());

  // sync waits for earlier async blocks and runs after them.
  std::vector<int> order;
  queue->async([&] {
    std::this_thread::sleep_for(5ms);
    order.push_back(1);
  });
  queue->sync([&] { order.push_back(2); });
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(Dispatch, ManySyncCallersDoNotStarveThePool) {
  // More waiting callers than pool threads: sync runs on the caller.
  auto queue = DispatchQueue::makeSerial("test.many-sync");
  std::atomic<int> count{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 32; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        queue->async([&] { count.fetch_add(1); });
        queue->sync([&] { count.fetch_add(1); });
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(waitUntil([&] { return count.load() == 32 * 40; }));
}

TEST(Dispatch, AsyncAfterRunsLaterAndCancelledNeverRuns) {
  auto queue = DispatchQueue::makeSerial("test.after");
  std::atomic<bool> ran{false}, cancelledRan{false};
  auto start = std::chrono::steady_clock::now();
  std::atomic<int64_t> elapsedMs{-1};
  auto keep = queue->asyncAfter(30ms, [&] {
    elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    ran = true;
  });
  auto cancelled = queue->asyncAfter(10ms, [&] { cancelledRan = true; });
  cancelled->cancel();
  EXPECT_TRUE(cancelled->isCancelled());
  ASSERT_TRUE(waitUntil([&] { return ran.load(); }));
  EXPECT_GE(elapsedMs.load(), 30);
  // The cancelled block was due long before; a block queued now runs after it would have.
  std::atomic<bool> fence{false};
  queue->async([&] { fence = true; });
  ASSERT_TRUE(waitUntil([&] { return fence.load(); }));
  EXPECT_FALSE(cancelledRan.load());
}

TEST(Dispatch, CancelReleasesCapturedState) {
  auto queue = DispatchQueue::makeSerial("test.release");
  auto payload = std::make_shared<int>(7);
  std::weak_ptr<int> weak = payload;
  auto item = queue->asyncAfter(std::chrono::hours(1), [payload] { (void)*payload; });
  payload.reset();
  EXPECT_FALSE(weak.expired());
  item->cancel();
  EXPECT_TRUE(weak.expired());
}

TEST(Dispatch, MainQueueDrivenByTest) {
  auto main = DispatchQueue::main();
  std::vector<int> order;
  main->async([&] { order.push_back(1); });
  main->asyncAfter(10ms, [&] { order.push_back(3); });
  main->async([&] { order.push_back(2); });
  EXPECT_EQ(platform::drainMain(), 2u);
  platform::runMainQueueFor(5s, [&] { return order.size() == 3; });
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  bool onMain = false;
  main->async([&] { onMain = main->isCurrent(); });
  platform::drainMain();
  EXPECT_TRUE(onMain);
}

TEST(Dispatch, RepeatingTimerFiresUntilCancelled) {
  auto queue = DispatchQueue::makeSerial("test.timer");
  std::atomic<int> fired{0};
  auto timer = platform::DispatchTimer::make(queue, 5ms, [&] { fired.fetch_add(1); });
  ASSERT_TRUE(waitUntil([&] { return fired.load() >= 3; }));
  timer->cancel();
  int atCancel = 0;
  queue->sync([&] { atCancel = fired.load(); });  // a firing in flight has finished
  std::atomic<bool> later{false};
  queue->asyncAfter(30ms, [&] { later = true; });
  ASSERT_TRUE(waitUntil([&] { return later.load(); }));
  EXPECT_EQ(fired.load(), atCancel);
}

TEST(Dispatch, TimerStopsWhenReleased) {
  auto clock = std::make_shared<platform::FakeClock>();
  auto queue = std::make_shared<platform::ManualQueue>(clock);
  int fired = 0;
  auto timer = platform::DispatchTimer::make(queue, 240s, [&] { ++fired; });
  queue->advance(240s);
  EXPECT_EQ(fired, 1);
  timer.reset();
  queue->advance(1000s);
  EXPECT_EQ(fired, 1);
}

TEST(ManualQueue, DelayedWorkRunsAtItsDueTimeInOrder) {
  auto clock = std::make_shared<platform::FakeClock>(1000.0, 0);
  auto queue = std::make_shared<platform::ManualQueue>(clock);
  std::vector<std::pair<std::string, int64_t>> runs;
  auto record = [&](std::string name) {
    return [&, name] { runs.emplace_back(name, clock->monotonicNanos() / 1'000'000'000); };
  };
  queue->asyncAfter(600s, record("fetch600"));
  queue->asyncAfter(241s, record("reg241"));
  auto cancelled = queue->asyncAfter(100s, record("cancelled"));
  queue->asyncAfter(241s, record("reg241b"));  // same due time: order of scheduling
  queue->async(record("now"));
  cancelled->cancel();
  EXPECT_EQ(queue->pendingCount(), 4u);

  EXPECT_EQ(queue->runPending(), 1u);
  EXPECT_EQ(queue->advance(240s), 0u);
  EXPECT_EQ(queue->advance(1s), 2u);
  EXPECT_EQ(queue->advance(359s), 1u);
  EXPECT_EQ(queue->pendingCount(), 0u);
  const std::vector<std::pair<std::string, int64_t>> want = {
      {"now", 0}, {"reg241", 241}, {"reg241b", 241}, {"fetch600", 600}};
  EXPECT_EQ(runs, want);
  EXPECT_DOUBLE_EQ(clock->wallSeconds(), 1600.0);
}

TEST(ManualQueue, HugeDelaysDoNotOverflow) {
  auto queue = std::make_shared<platform::ManualQueue>();
  bool ran = false;
  queue->asyncAfter(std::chrono::nanoseconds::max(), [&] { ran = true; });
  queue->advance(std::chrono::hours(24 * 365));
  EXPECT_FALSE(ran);
  EXPECT_EQ(queue->pendingCount(), 1u);
  auto real = DispatchQueue::makeSerial("test.huge");
  auto item = real->asyncAfter(std::chrono::nanoseconds::max(), [] { ADD_FAILURE() << "ran"; });
  std::atomic<bool> fence{false};
  real->asyncAfter(5ms, [&] { fence = true; });
  EXPECT_TRUE(waitUntil([&] { return fence.load(); }));
  item->cancel();
}

TEST(ManualQueue, WorkQueuedByWorkRunsInTheSameAdvance) {
  auto queue = std::make_shared<platform::ManualQueue>();
  int chain = 0;
  bool current = false;
  queue->asyncAfter(10s, [&] {
    current = queue->isCurrent();
    queue->async([&] { ++chain; });
    queue->asyncAfter(5s, [&] { ++chain; });
  });
  queue->advance(15s);
  EXPECT_TRUE(current);
  EXPECT_EQ(chain, 2);
}

TEST(ManualQueue, RepeatingTimerOnFakeClock) {
  auto queue = std::make_shared<platform::ManualQueue>();
  std::vector<int64_t> at;
  auto timer = platform::DispatchTimer::make(queue, 240s, [&] {
    at.push_back(queue->clock()->monotonicNanos());
  });
  const int64_t start = queue->clock()->monotonicNanos();
  queue->advance(1000s);
  ASSERT_EQ(at.size(), 4u);
  for (std::size_t i = 0; i < at.size(); ++i) EXPECT_EQ(at[i] - start, int64_t(240'000'000'000) * int64_t(i + 1));
  timer->cancel();
  queue->advance(1000s);
  EXPECT_EQ(at.size(), 4u);
}

TEST(Clock, FakeClockMovesBothTimes) {
  platform::FakeClock clock(100.5, 7);
  clock.advance(1500ms);
  EXPECT_DOUBLE_EQ(clock.wallSeconds(), 102.0);
  EXPECT_EQ(clock.monotonicNanos(), 7 + 1'500'000'000);
  clock.setWall(5.0);  // wall time may jump; monotonic time does not
  EXPECT_DOUBLE_EQ(clock.wallSeconds(), 5.0);
  EXPECT_EQ(clock.monotonicNanos(), 7 + 1'500'000'000);
  auto system = platform::Clock::system();
  EXPECT_GT(system->wallSeconds(), 1.6e9);
  const int64_t a = system->monotonicNanos();
  EXPECT_LE(a, system->monotonicNanos());
}

// A continuation runs after the block that made it, on its queue; on a
// serial queue it keeps its place among async blocks.
TEST(Dispatch, ContinuationRunsAfterItsBlock) {
  auto global = DispatchQueue::global();
  std::mutex mutex;
  std::vector<int> order;
  std::atomic<bool> onQueue{true};
  std::atomic<int> done{0};
  global->async([&] {
    for (int i = 1; i <= 3; ++i) {
      global->asyncContinuation([&, i] {
        if (!global->isCurrent()) onQueue = false;
        std::lock_guard lock(mutex);
        order.push_back(i);
        done.fetch_add(1);
      });
    }
    std::this_thread::sleep_for(5ms);  // a continuation that ran early would land first
    std::lock_guard lock(mutex);
    order.push_back(0);
  });
  ASSERT_TRUE(waitUntil([&] { return done.load() == 3; }));
  EXPECT_TRUE(onQueue.load());
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(order.size(), 4u);
    EXPECT_EQ(order.front(), 0);
  }
  auto serial = DispatchQueue::makeSerial("test.continuation");
  std::vector<int> serialOrder;  // touched only on the serial queue
  std::atomic<int> serialDone{0};
  global->async([&] {
    for (int i = 0; i < 100; ++i) {
      auto step = [&, i] {
        serialOrder.push_back(i);
        serialDone.fetch_add(1);
      };
      if (i % 2) serial->asyncContinuation(step);
      else serial->async(step);
    }
  });
  // From a thread outside the pool it is a plain async.
  serial->asyncContinuation([&] { serialDone.fetch_add(1); });
  ASSERT_TRUE(waitUntil([&] { return serialDone.load() == 101; }));
  serial->sync([&] {
    std::vector<int> expected(100);
    for (int i = 0; i < 100; ++i) expected[i] = i;
    EXPECT_EQ(serialOrder, expected);
  });
}

TEST(Dispatch, CancelledDelayedWorkLeavesTheTimerQueueAtOnce) {
  // The pending timer holds the work item; once cancelled, the timer must
  // let go of it now, not an hour later.
  for (auto queue : {DispatchQueue::makeSerial("test.timer-queue"), platform::workerQueue(0)}) {
    std::weak_ptr<platform::DispatchWorkItem> weak;
    {
      auto item = queue->asyncAfter(std::chrono::hours(1), [] {});
      weak = item;
      item->cancel();
    }
    EXPECT_TRUE(waitUntil([&] { return weak.expired(); }, 5s)) << queue->label();
  }
}

TEST(Dispatch, WorkerQueueRunsOnOneThreadAndItsOwnWorkStaysThere) {
  ASSERT_GE(platform::workerCount(), 1u);
  auto worker = platform::workerQueue(0);
  EXPECT_EQ(platform::workerQueue(platform::workerCount()), worker);
  EXPECT_FALSE(platform::currentWorker());
  EXPECT_EQ(platform::currentWorkerQueue(), nullptr);
  std::mutex mutex;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  std::atomic<int> done{0};
  std::atomic<bool> current{true}, inlineSync{false}, progressOdd{true};
  worker->async([&] {
    const auto self = std::this_thread::get_id();
    if (platform::currentWorker() != std::optional<std::size_t>(0)) current = false;
    if (platform::currentWorkerQueue() != worker || !worker->isCurrent()) current = false;
    if ((platform::workerProgress(0) & 1) == 0) progressOdd = false;
    // sync on the worker's own queue runs inline instead of waiting for itself.
    worker->sync([&] { inlineSync = std::this_thread::get_id() == self; });
    auto step = [&](int i) {
      std::lock_guard lock(mutex);
      order.push_back(i);
      threads.push_back(std::this_thread::get_id());
      done.fetch_add(1);
    };
    worker->async([&, step] { step(1); });
    worker->asyncContinuation([&, step] { step(2); });
    worker->asyncAfter(1ms, [&, step] { step(3); });
    std::this_thread::sleep_for(5ms);  // queued work waits for this block
    step(0);
  });
  ASSERT_TRUE(waitUntil([&] { return done.load() == 4; }));
  EXPECT_TRUE(current.load());
  EXPECT_TRUE(inlineSync.load());
  EXPECT_TRUE(progressOdd.load());
  std::lock_guard lock(mutex);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  for (auto& id : threads) EXPECT_EQ(id, threads.front());
  EXPECT_EQ(platform::workerProgress(0) % 2, 0u);
}

TEST(Dispatch, GlobalContinuationFromAWorkerRunsOnThatWorker) {
  auto worker = platform::workerQueue(0);
  auto global = DispatchQueue::global();
  std::atomic<bool> sameThread{false}, onGlobal{false}, done{false};
  worker->async([&] {
    const auto self = std::this_thread::get_id();
    global->asyncContinuation([&, self] {
      sameThread = std::this_thread::get_id() == self;
      onGlobal = global->isCurrent();
      done = true;
    });
  });
  ASSERT_TRUE(waitUntil([&] { return done.load(); }));
  EXPECT_TRUE(sameThread.load());
  EXPECT_TRUE(onGlobal.load());
}

// Blocks a worker queues for itself run together, in order, before the
// loop's other handlers; a chain that never ends still lets them in.
TEST(Dispatch, AWorkersChainOfBlocksRunsInOneTurnAndNeverStarvesItsLoop) {
  auto worker = platform::workerQueue(0);
  auto& loop = platform::workerIoContext(0);
  std::vector<int> order;  // touched only on the worker
  std::atomic<int> linksBeforeHandler{-1};
  std::atomic<bool> done{false};
  std::function<void(int)> link = [&](int i) {
    // A handler of the loop, queued once the chain has begun.
    if (i == 0) asio::post(loop, [&] { linksBeforeHandler = static_cast<int>(order.size()); });
    order.push_back(i);
    if (i + 1 == 10) return;
    // Queued from the worker by both ways, in turn.
    if (i % 2) worker->asyncContinuation([&, i] { link(i + 1); });
    else platform::deferOnWorker(loop, [&, i] { link(i + 1); });
  };
  worker->async([&] {
    worker->async([&] { link(0); });
    worker->async([&] { done = true; });
  });
  ASSERT_TRUE(waitUntil([&] { return done.load() && linksBeforeHandler.load() >= 0; }));
  worker->sync([&] {
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  });
  EXPECT_EQ(linksBeforeHandler.load(), 10);

  // A block that queues itself for ever: the loop's handlers and timers run.
  std::atomic<bool> stop{false}, stopped{false};
  std::function<void()> spin = [&] {
    if (!stop) worker->async(spin);
    else stopped = true;
  };
  worker->async(spin);
  std::atomic<bool> posted{false}, timed{false};
  worker->async([&] {
    asio::post(loop, [&] { posted = true; });
    worker->asyncAfter(1ms, [&] { timed = true; });
  });
  EXPECT_TRUE(waitUntil([&] { return posted.load() && timed.load(); }, 5s));
  stop = true;
  ASSERT_TRUE(waitUntil([&] { return stopped.load(); }));
}
