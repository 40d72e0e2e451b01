#include "platform/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Dispatch.h"

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
