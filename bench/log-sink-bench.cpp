// Log sink throughput: 8 threads log numbered lines into a sink writing to
// /dev/null, as fast as they can. Prints, per round, the calls per second
// (until every thread returned), and the lines written per second and the
// lines dropped (until flushLog returned).
// Usage: log_sink_bench [lines-per-thread] [threads] [rounds]
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Log.h"

int main(int argc, char** argv) {
  const long perThread = argc > 1 ? std::atol(argv[1]) : 400'000;
  const int threadCount = argc > 2 ? std::atoi(argv[2]) : 8;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull < 0) {
    std::perror("/dev/null");
    return 1;
  }
  platform::setLogFdForTesting(devNull);
  platform::NSLog("warm up");
  platform::flushLog();

  double bestCalls = 0;
  double bestWritten = 0;
  for (int round = 0; round < rounds; ++round) {
    const auto before = platform::logStats();
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
      threads.emplace_back([&, t] {
        std::string line = "query 000000000 from worker " + std::to_string(t) +
                           ": forwarded to upstream 192.0.2.53:53 over udp, answer cached";
        ready.fetch_add(1);
        while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
        for (long i = 0; i < perThread; ++i) {
          auto text = std::to_string(i);
          line.replace(6, 9, std::string(9 - std::min<std::size_t>(text.size(), 9), '0') + text);
          platform::NSLog(line);
        }
      });
    }
    while (ready.load() < threadCount) std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    go.store(true, std::memory_order_release);
    for (auto& t : threads) t.join();
    const auto logged = std::chrono::steady_clock::now();
    platform::flushLog();
    const auto flushed = std::chrono::steady_clock::now();
    const auto after = platform::logStats();
    const double total = static_cast<double>(perThread) * threadCount;
    const double seconds = std::chrono::duration<double>(flushed - start).count();
    const double callSeconds = std::chrono::duration<double>(logged - start).count();
    const auto written = after.enqueued - before.enqueued;
    const auto dropped = after.dropped - before.dropped;
    const double callRate = total / callSeconds;
    const double writtenRate = static_cast<double>(written) / seconds;
    bestCalls = std::max(bestCalls, callRate);
    bestWritten = std::max(bestWritten, writtenRate);
    std::printf("round %d: %.0f calls in %.3f s: %.0f calls/s; %llu lines written in %.3f s: %.0f lines/s; "
                "%llu dropped (%.1f%%)\n",
                round + 1, total, callSeconds, callRate, static_cast<unsigned long long>(written), seconds,
                writtenRate, static_cast<unsigned long long>(dropped), 100.0 * static_cast<double>(dropped) / total);
  }
  std::printf("best: %.0f calls/s, %.0f lines/s written (%d threads)\n", bestCalls, bestWritten, threadCount);
  platform::setLogFdForTesting(-1);
  ::close(devNull);
  return 0;
}
