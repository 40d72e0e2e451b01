// File destinations must never hold a lock of the library while they report
// to other destinations or run a caller's closure: a destination that waits on
// a queue, or a closure that waits on another thread, would otherwise wait for
// ever. A deadlock cannot be undone, so each risky step runs on a thread of its
// own and a missed deadline ends the whole test program with a failure.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "TempFolder.h"
#include "logging/AutoRotatingFileDestination.h"
#include "logging/FileDestination.h"
#include "logging/QMLogger.h"
#include "logging/TestDestination.h"
#include "platform/foundation/Clock.h"
#include "platform/dispatch/Dispatch.h"

using namespace qmlogger;
using namespace std::chrono_literals;

namespace {

constexpr auto deadline = 20s;

void finishesWithin(std::chrono::seconds limit, const std::string& what, std::function<void()> work) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread runner([&work, &done] {
    work();
    done.set_value();
  });
  if (finished.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "FAILED: %s did not finish within %lld s (deadlock)\n", what.c_str(),
                 static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
  }
  runner.join();
}

class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool isOpen() {
    std::lock_guard lock(mutex_);
    return open_;
  }
  bool waitFor(std::chrono::seconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// Opens a gate with the first line it receives once armed.
class GateOpener : public BaseQueuedDestination {
 public:
  static std::shared_ptr<GateOpener> create(Gate& gate) {
    return std::shared_ptr<GateOpener>(new GateOpener(gate));
  }
  void arm() { armed_ = true; }
  void write(const std::string&) override {
    if (armed_) gate_.open();
  }

 private:
  explicit GateOpener(Gate& gate) : BaseQueuedDestination(nullptr, "gate"), gate_(gate) {}
  Gate& gate_;
  std::atomic<bool> armed_{false};
};

}  // namespace

// A test destination and a file destination share one serial queue; the queue
// is busy with a write of the file destination exactly while another thread
// adds a file destination or rotates, whose report the test destination then
// waits to record on that queue.
TEST(FileDestinationLocking, ReportsToADestinationWaitingOnASharedQueue) {
  const struct {
    const char* name;
    std::function<void(QMLogger&, FileDestination&, TempFolder&)> action;
  } cases[] = {
      {"adding a file destination",
       [](QMLogger& logger, FileDestination&, TempFolder& folder) {
         logger.add(FileDestination::create(nullptr, (folder / "added.log").string(), "added", false));
       }},
      {"adding a file destination on the shared queue",
       [](QMLogger& logger, FileDestination& file, TempFolder& folder) {
         auto added = FileDestination::create(nullptr, (folder / "queued.log").string(), "queued", false);
         added->setLogQueue(file.logQueue());
         logger.add(added);
       }},
      {"rotating", [](QMLogger&, FileDestination& file,
                      TempFolder& folder) { EXPECT_TRUE(file.rotateFile((folder / "archive.log").string())); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    Gate gate;
    auto logger = QMLogger::create("locking", false);
    auto queue = platform::DispatchQueue::makeSerial("shared");
    auto opener = GateOpener::create(gate);
    auto test = TestDestination::create(nullptr, "test");
    test->setLogQueue(queue);
    test->setOutputLevel(Level::info);
    auto file = FileDestination::create(nullptr, (folder / "app.log").string(), "file", false);
    logger->add(opener);
    logger->add(test);
    logger->add(file);
    file->setLogQueue(queue);

    // The queue holds the file's write back until the action has started reporting.
    queue->async([&gate] { gate.waitFor(deadline); });
    logger->debug("queued behind the gate");
    opener->arm();
    finishesWithin(deadline, c.name, [&] { c.action(*logger, *file, folder); });
    EXPECT_TRUE(gate.isOpen()) << "no report reached the other destinations";
    gate.open();
    finishesWithin(deadline, "draining the queue", [&] { queue->sync([] {}); });
    EXPECT_GE(test->numberOfUnexpectedLogMessages(), 1u);
    // Written to the live file, or to the archive when it ran while the rotation reported.
    const std::string written = readFile(folder / "app.log") + readFile(folder / "archive.log");
    EXPECT_NE(written.find("queued behind the gate"), std::string::npos);
  }
}

// The completion is the caller's code: it may wait for another thread that logs.
TEST(FileDestinationLocking, RotationCompletionMayWaitForAnotherThreadThatLogs) {
  TempFolder folder;
  auto logger = QMLogger::create("locking", false);
  auto clock = std::make_shared<platform::FakeClock>();
  auto rotating = AutoRotatingFileDestination::create(logger, (folder / "rotating.log").string(), "rotating", true,
                                                      std::nullopt, std::nullopt, 1 << 20, 600, nullptr, 10, clock);
  auto plain = FileDestination::create(nullptr, (folder / "plain.log").string(), "plain", false);
  logger->add(rotating);
  logger->add(plain);
  int calls = 0;
  rotating->setAutoRotationCompletion([&](bool) {
    ++calls;
    std::thread other([&] {
      plain->write("from the completion's helper");
      logger->info("logged while the completion waits");
      rotating->write("written to the rotating file meanwhile");
    });
    other.join();
  });
  clock->advance(1s);
  finishesWithin(deadline, "a rotation whose completion waits for a logging thread", [&] { rotating->rotateFile(); });
  EXPECT_EQ(calls, 1);
  const std::string plainText = readFile(folder / "plain.log");
  EXPECT_NE(plainText.find("from the completion's helper"), std::string::npos);
  EXPECT_NE(plainText.find("logged while the completion waits"), std::string::npos);
}

// Each destination's reports reach the other while both rotate on their own threads.
TEST(FileDestinationLocking, TwoFileDestinationsRotatingAtOnce) {
  TempFolder folder;
  auto logger = QMLogger::create("locking", false);
  auto a = FileDestination::create(nullptr, (folder / "a.log").string(), "a", false);
  auto b = FileDestination::create(nullptr, (folder / "b.log").string(), "b", false);
  logger->add(a);
  logger->add(b);
  finishesWithin(deadline, "two destinations rotating at once", [&] {
    std::thread first([&] {
      for (int i = 0; i < 100; ++i) {
        a->rotateFile((folder / ("a-" + std::to_string(i) + ".log")).string());
        logger->info("a " + std::to_string(i));
      }
    });
    std::thread second([&] {
      for (int i = 0; i < 100; ++i) {
        b->rotateFile((folder / ("b-" + std::to_string(i) + ".log")).string());
        logger->info("b " + std::to_string(i));
      }
    });
    first.join();
    second.join();
  });
  EXPECT_TRUE(a->hasOpenFile());
  EXPECT_TRUE(b->hasOpenFile());
}
