#include "platform/foundation/Log.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch/Dispatch.h"

namespace {

// Reads everything written to the pipe until `done` says stop.
std::string readUntil(int fd, const std::function<bool(const std::string&)>& done) {
  std::string out;
  char buffer[65536];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done(out) && std::chrono::steady_clock::now() < deadline) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
    else std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return out;
}

// Points the sink at a pipe for one test; restores stderr after.
class PipeSink {
 public:
  PipeSink() {
    EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
    ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    platform::setLogFdForTesting(fds_[1]);
  }
  ~PipeSink() {
    platform::flushLog();
    platform::setLogFdForTesting(-1);
    platform::setLogCapacityForTesting(8192);
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int readFd() const { return fds_[0]; }
  int writeFd() const { return fds_[1]; }

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace

TEST(Log, BoolText) {
  EXPECT_STREQ(platform::boolText(true), "true");
  EXPECT_STREQ(platform::boolText(false), "false");
}

TEST(Log, OptionalDescriptions) {
  struct Case {
    std::string got;
    std::string want;
  };
  const Case cases[] = {
      {platform::optionalText(std::string("x")), "Optional(\"x\")"},
      {platform::optionalText(std::nullopt), "nil"},
      {platform::optionalText(std::string("a\"b\\c\nd")), "Optional(\"a\\\"b\\\\c\\nd\")"},
      {platform::optionalText(std::string("")), "Optional(\"\")"},
      {platform::optionalDescription(std::optional<bool>(true)), "Optional(true)"},
      {platform::optionalDescription(std::optional<int>(-5)), "Optional(-5)"},
      {platform::optionalDescription(std::optional<int64_t>()), "nil"},
      {platform::optionalDescription(std::optional<double>(1.0)), "Optional(1.0)"},
      {platform::optionalDescription(std::optional<double>(0.25)), "Optional(0.25)"},
      {platform::optionalDescription(std::optional<std::string>("é")), "Optional(\"é\")"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(Log, LineIsNeverAFormatString) {
  platform::LogCapture capture;
  PipeSink sink;
  platform::NSLog("%s%n%d%%");
  platform::flushLog();
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0], "%s%n%d%%");
  std::string out = readUntil(sink.readFd(), [](const std::string& s) { return s.find('\n') != std::string::npos; });
  EXPECT_NE(out.find(" %s%n%d%%\n"), std::string::npos) << out;
}

TEST(Log, StderrLayoutHasTimeProgramAndPid) {
  PipeSink sink;
  platform::NSLog("layout check");
  platform::flushLog();
  std::string out = readUntil(sink.readFd(), [](const std::string& s) { return s.find('\n') != std::string::npos; });
  // "YYYY-MM-DD HH:MM:SS.mmm prog[pid:tid] text"
  ASSERT_GE(out.size(), 24u);
  EXPECT_EQ(out[4], '-');
  EXPECT_EQ(out[10], ' ');
  EXPECT_EQ(out[19], '.');
  const std::string process = std::string(program_invocation_short_name) + "[" + std::to_string(::getpid()) + ":";
  EXPECT_NE(out.find(process), std::string::npos) << out;
  EXPECT_TRUE(out.ends_with("] layout check\n")) << out;
}

TEST(Log, LinesWithNewlinesStayWhole) {
  PipeSink sink;
  platform::NSLog("first\n second");
  platform::flushLog();
  std::string out = readUntil(sink.readFd(), [](const std::string& s) { return s.ends_with("second\n"); });
  EXPECT_TRUE(out.ends_with("] first\n second\n")) << out;
}

TEST(Log, FullBufferDropsAndReportsCount) {
  PipeSink sink;
  platform::setLogCapacityForTesting(4);
  // Fill the pipe so the writer blocks in write(); callers must not block.
  const std::string big(4096, 'x');
  const auto before = platform::logStats();
  for (int i = 0; i < 200; ++i) platform::NSLog(big);
  for (int i = 0; i < 200; ++i) platform::NSLog("tail " + std::to_string(i));
  const auto after = platform::logStats();
  const uint64_t dropped = after.dropped - before.dropped;
  ASSERT_GT(dropped, 0u);

  // Drain the pipe: every line is either written or counted in a note.
  auto notedDrops = [](const std::string& s) {
    uint64_t sum = 0;
    for (std::size_t at = s.find("] ... "); at != std::string::npos; at = s.find("] ... ", at + 6)) {
      std::size_t end = s.find(" log lines dropped\n", at);
      if (end != std::string::npos) sum += std::stoull(s.substr(at + 6, end - at - 6));
    }
    return sum;
  };
  auto writtenLines = [](const std::string& s) {
    return static_cast<uint64_t>(std::count(s.begin(), s.end(), '\n'));
  };
  auto notes = [](const std::string& s) {
    uint64_t n = 0;
    for (std::size_t at = s.find(" log lines dropped\n"); at != std::string::npos;
         at = s.find(" log lines dropped\n", at + 1))
      ++n;
    return n;
  };
  std::string out = readUntil(sink.readFd(), [&](const std::string& s) {
    return notedDrops(s) == dropped && writtenLines(s) - notes(s) + dropped == 400;
  });
  EXPECT_EQ(notedDrops(out), dropped);
  EXPECT_EQ(writtenLines(out) - notes(out) + dropped, 400u);
  platform::NSLog("after drops");
  platform::flushLog();
  out += readUntil(sink.readFd(), [](const std::string& s) { return s.find("after drops") != std::string::npos; });
  EXPECT_NE(out.find("] after drops\n"), std::string::npos);
}

TEST(Log, CaptureSeesEveryThread) {
  platform::LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) platform::NSLog("worker " + std::to_string(t) + " line " + std::to_string(i));
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(capture.count("worker "), 200u);
  EXPECT_TRUE(capture.contains("worker 3 line 49"));
  EXPECT_FALSE(capture.contains("worker 4"));
}

TEST(Log, CaptureWaitForLineFromQueue) {
  platform::LogCapture capture;
  auto queue = platform::DispatchQueue::makeSerial("log.wait");
  queue->asyncAfter(std::chrono::milliseconds(20), [] { platform::NSLog("late line"); });
  EXPECT_TRUE(capture.waitFor("late line", std::chrono::seconds(10)));
  EXPECT_FALSE(capture.waitFor("never logged", std::chrono::milliseconds(20)));
  capture.clear();
  EXPECT_TRUE(capture.lines().empty());
}

TEST(Log, OffSinkWritesNothingButCaptureStillSees) {
  ::setenv("VARDENO_LOG", "off", 1);
  platform::setLogFdForTesting(-1);  // re-reads the environment
  platform::LogCapture capture;
  const auto before = platform::logStats();
  platform::NSLog("silent line");
  const auto after = platform::logStats();
  ::unsetenv("VARDENO_LOG");
  platform::setLogFdForTesting(-1);
  EXPECT_EQ(after.enqueued, before.enqueued);
  EXPECT_EQ(after.dropped, before.dropped);
  EXPECT_TRUE(capture.contains("silent line"));
}

// The writer wakes per batch, not per line: lines must still reach the
// output by themselves, both a lone line and a burst bigger than one batch.
TEST(Log, LinesReachTheOutputWithoutFlush) {
  PipeSink sink;
  platform::NSLog("lone line without flush");
  const std::string lone =
      readUntil(sink.readFd(), [](const std::string& out) { return out.find("lone line without flush\n") != std::string::npos; });
  EXPECT_NE(lone.find("lone line without flush\n"), std::string::npos);

  const uint64_t droppedBefore = platform::logStats().dropped;
  const std::string filler(200, 'x');
  for (int i = 0; i < 3000; ++i) platform::NSLog("burst " + std::to_string(i) + " " + filler);
  platform::NSLog("burst end");
  const std::string burst =
      readUntil(sink.readFd(), [](const std::string& out) { return out.find("burst end\n") != std::string::npos; });
  EXPECT_NE(burst.find("burst end\n"), std::string::npos);
  EXPECT_EQ(platform::logStats().dropped, droppedBefore);
}

namespace {

// Points the sink at an anonymous file for one test; everything written
// stays readable after a flush.
class FileSink {
 public:
  FileSink() : fd_(::memfd_create("log-test", MFD_CLOEXEC)) {
    EXPECT_GE(fd_, 0);
    platform::setLogFdForTesting(fd_);
  }
  ~FileSink() {
    platform::flushLog();
    platform::setLogFdForTesting(-1);
    platform::setLogCapacityForTesting(8192);
    ::close(fd_);
  }
  std::string contents() const {
    platform::flushLog();
    std::string out;
    char buffer[65536];
    for (off_t at = 0;;) {
      ssize_t n = ::pread(fd_, buffer, sizeof buffer, at);
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
      at += n;
    }
    return out;
  }

 private:
  int fd_;
};

// The text of each written line, after the "prog[pid:tid] " prefix.
std::vector<std::string> texts(const std::string& out) {
  std::vector<std::string> result;
  for (std::size_t at = 0; at < out.size();) {
    std::size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(at, end - at);
    const std::size_t text = line.find("] ");
    result.push_back(text == std::string::npos ? line : line.substr(text + 2));
    at = end + 1;
  }
  return result;
}

}  // namespace

// Many threads at once: every line is written exactly once, and each
// thread's lines in the order it logged them.
TEST(Log, ManyThreadsEveryLineOnceInOrder) {
  FileSink sink;
  platform::setLogCapacityForTesting(1 << 20);  // no drops: every line must show
  constexpr int kThreads = 8;
  constexpr int kLines = 4000;
  const uint64_t droppedBefore = platform::logStats().dropped;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) platform::NSLog("many " + std::to_string(t) + " " + std::to_string(i));
    });
  }
  for (auto& t : threads) t.join();
  const std::string out = sink.contents();
  ASSERT_EQ(platform::logStats().dropped, droppedBefore);
  std::vector<int> next(kThreads, 0);
  int seen = 0;
  for (const std::string& text : texts(out)) {
    int t = -1;
    int i = -1;
    ASSERT_EQ(std::sscanf(text.c_str(), "many %d %d", &t, &i), 2) << text;
    ASSERT_TRUE(t >= 0 && t < kThreads) << text;
    ASSERT_EQ(i, next[t]) << "thread " << t;
    ++next[t];
    ++seen;
  }
  EXPECT_EQ(seen, kThreads * kLines);
}

// A line logged after learning (through an atomic) that another thread
// logged its line is written after that line: a token passed around a ring
// of threads, each logging its hop before passing it on, shows the hops in
// order. Other threads log meanwhile so batches cut through the ring.
TEST(Log, LinesKeepTheOrderInWhichTheyWereLoggedAcrossThreads) {
  FileSink sink;
  platform::setLogCapacityForTesting(1 << 20);
  const uint64_t droppedBefore = platform::logStats().dropped;
  constexpr int kRing = 4;
  constexpr int kHops = 20000;
  std::atomic<int> token{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int r = 0; r < kRing; ++r) {
    threads.emplace_back([&, r] {
      for (;;) {
        int hop = token.load(std::memory_order_acquire);
        while (hop < kHops && hop % kRing != r) {
          std::this_thread::yield();
          hop = token.load(std::memory_order_acquire);
        }
        if (hop >= kHops) return;
        platform::NSLog("hop " + std::to_string(hop));
        token.store(hop + 1, std::memory_order_release);
      }
    });
  }
  for (int n = 0; n < 2; ++n) {
    threads.emplace_back([&] {
      for (int i = 0; !done.load(std::memory_order_relaxed); ++i) {
        platform::NSLog("noise " + std::to_string(i));
        std::this_thread::yield();
      }
    });
  }
  for (int r = 0; r < kRing; ++r) threads[r].join();
  done = true;
  for (auto& t : threads)
    if (t.joinable()) t.join();
  int last = -1;
  int seen = 0;
  for (const std::string& text : texts(sink.contents())) {
    if (!text.starts_with("hop ")) continue;
    const int hop = std::stoi(text.substr(4));
    ASSERT_GT(hop, last) << "hop " << hop << " written after hop " << last;
    last = hop;
    ++seen;
  }
  // Lines may be dropped under the noise; every hop missing was dropped.
  const uint64_t dropped = platform::logStats().dropped - droppedBefore;
  EXPECT_LE(static_cast<uint64_t>(kHops - seen), dropped);
  EXPECT_GT(seen, 0);
}

// Many threads against a small buffer and a blocked output: callers never
// wait, each line is written or counted as dropped, the notes add up to the
// drops, and the written lines of each thread keep their order.
TEST(Log, ManyThreadsDropsAreCountedExactly) {
  PipeSink sink;
  platform::setLogCapacityForTesting(64);
  constexpr int kThreads = 8;
  constexpr int kLines = 1000;
  const auto before = platform::logStats();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string filler(100, 'y');
      for (int i = 0; i < kLines; ++i)
        platform::NSLog("drop " + std::to_string(t) + " " + std::to_string(i) + " " + filler);
    });
  }
  for (auto& t : threads) t.join();
  const auto after = platform::logStats();
  const uint64_t dropped = after.dropped - before.dropped;
  EXPECT_EQ(after.enqueued - before.enqueued + dropped, uint64_t{kThreads} * kLines);
  ASSERT_GT(dropped, 0u);

  uint64_t noted = 0;
  uint64_t written = 0;
  std::vector<int> last(kThreads, -1);
  std::string pending;
  auto consume = [&](const std::string& chunk) {
    pending += chunk;
    std::size_t end = pending.rfind('\n');
    if (end == std::string::npos) return;
    for (const std::string& text : texts(pending.substr(0, end))) {
      if (text.starts_with("... ")) {
        noted += std::stoull(text.substr(4));
        continue;
      }
      int t = -1;
      int i = -1;
      ASSERT_EQ(std::sscanf(text.c_str(), "drop %d %d", &t, &i), 2) << text;
      ASSERT_TRUE(t >= 0 && t < kThreads);
      EXPECT_GT(i, last[t]) << "thread " << t;
      last[t] = i;
      ++written;
    }
    pending.erase(0, end + 1);
  };
  char buffer[65536];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(noted == dropped && written + dropped == uint64_t{kThreads} * kLines) &&
         std::chrono::steady_clock::now() < deadline) {
    ssize_t n = ::read(sink.readFd(), buffer, sizeof buffer);
    if (n > 0) consume(std::string(buffer, static_cast<std::size_t>(n)));
    else std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(noted, dropped);
  EXPECT_EQ(written + dropped, uint64_t{kThreads} * kLines);
}

TEST(Log, LinesFromPiecesReadAsConcatenated) {
  platform::LogCapture capture;
  const std::string text = "a \"quoted\" text";
  const std::string_view view = "view";
  VARDENO_LOG_LINE("flows count = ", 42);
  VARDENO_LOG_LINE("mixed: ", text, ", ", view, ", ", int64_t{-9223372036854775807 - 1}, ", ", uint64_t{18446744073709551615u},
                   ", ", static_cast<uint16_t>(65535), ", ", platform::boolText(false));
  VARDENO_LOG_LINE(std::string("one piece: ") + platform::optionalText(text));
  // A long line, then a short one in the same buffer: nothing of the first stays.
  VARDENO_LOG_LINE("long ", std::string(100'000, 'x'));
  VARDENO_LOG_LINE("short ", 1);
  const std::vector<std::string> want = {
      "flows count = 42",
      "mixed: a \"quoted\" text, view, -9223372036854775808, 18446744073709551615, 65535, false",
      "one piece: Optional(\"a \\\"quoted\\\" text\")",
      "long " + std::string(100'000, 'x'),
      "short 1",
  };
  EXPECT_EQ(capture.lines(), want);
}
