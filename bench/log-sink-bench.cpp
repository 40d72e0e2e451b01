// Log sink throughput: 8 threads log numbered lines into a sink writing to
// /dev/null, as fast as they can. Prints, per round, the calls per second
// (until every thread returned), and the lines written per second and the
// lines dropped (until flushLog returned).
// Then the same for lines built from pieces as the query road builds them:
// once concatenated into a new string per line, once through logLine.
// Usage: log_sink_bench [lines-per-thread] [threads] [rounds]
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Log.h"

// Every operator new on the logging threads, to print allocations per line.
thread_local uint64_t threadAllocations = 0;
std::atomic<uint64_t> allocations{0};

void* operator new(std::size_t size) {
  ++threadAllocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Rounds of threadCount threads calling logOne perThread times each; the
// best calls/s and lines/s written.
std::pair<double, double> runRounds(long perThread, int threadCount, int rounds,
                                    const std::function<void(int, long, std::string&)>& logOne) {
  double bestCalls = 0;
  double bestWritten = 0;
  for (int round = 0; round < rounds; ++round) {
    const auto before = platform::logStats();
    const uint64_t allocationsBefore = allocations.load();
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
      threads.emplace_back([&, t] {
        std::string line;
        ready.fetch_add(1);
        while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
        threadAllocations = 0;
        for (long i = 0; i < perThread; ++i) logOne(t, i, line);
        allocations.fetch_add(threadAllocations);
      });
    }
    while (ready.load() < threadCount) std::this_thread::yield();
    const auto start = std::chrono::steady_clock::now();
    go.store(true, std::memory_order_release);
    for (auto& t : threads) t.join();
    const auto logged = std::chrono::steady_clock::now();
    const uint64_t allocated = allocations.load() - allocationsBefore;
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
                "%llu dropped (%.1f%%); %.2f allocations per call\n",
                round + 1, total, callSeconds, callRate, static_cast<unsigned long long>(written), seconds,
                writtenRate, static_cast<unsigned long long>(dropped), 100.0 * static_cast<double>(dropped) / total,
                static_cast<double>(allocated) / total);
  }
  return {bestCalls, bestWritten};
}

}  // namespace

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

  auto best = runRounds(perThread, threadCount, rounds, [](int t, long i, std::string& line) {
    if (line.empty())
      line = "query 000000000 from worker " + std::to_string(t) +
             ": forwarded to upstream 192.0.2.53:53 over udp, answer cached";
    auto text = std::to_string(i);
    line.replace(6, 9, std::string(9 - std::min<std::size_t>(text.size(), 9), '0') + text);
    platform::NSLog(line);
  });
  std::printf("best: %.0f calls/s, %.0f lines/s written (%d threads)\n", best.first, best.second, threadCount);
  const std::optional<std::string> domain = std::string("host12345.bench.example");
  best = runRounds(perThread, threadCount, rounds, [&](int t, long i, std::string&) {
    if (!platform::logEnabled()) return;
    platform::NSLog("connect to DNS using Vardeno DNS (127.0.0.1:" + std::to_string(5300 + t) +
                    ", q: " + platform::optionalText(domain) + ", flowHash = " + std::to_string(i));
  });
  std::printf("built by concatenation: best %.0f calls/s, %.0f lines/s written (%d threads)\n", best.first,
              best.second, threadCount);
  best = runRounds(perThread, threadCount, rounds, [&](int t, long i, std::string&) {
    VARDENO_LOG_LINE("connect to DNS using Vardeno DNS (127.0.0.1:", 5300 + t, ", q: ", platform::optionalText(domain),
                     ", flowHash = ", i);
  });
  std::printf("built by logLine: best %.0f calls/s, %.0f lines/s written (%d threads)\n", best.first, best.second,
              threadCount);
  platform::setLogFdForTesting(-1);
  ::close(devNull);
  return 0;
}
