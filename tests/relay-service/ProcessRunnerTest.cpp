#include "platform/foundation/ProcessRunner.h"

#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

#include <gtest/gtest.h>

using platform::ProcessOptions;
using platform::ProcessResult;
using platform::runProcess;

namespace {

// True when this process has no child left, reaped or not.
bool noChildrenLeft() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

}  // namespace

TEST(ProcessRunner, PassesArgvVerbatimWithoutShell) {
  ProcessResult r = runProcess({"printf", "%s|", "a b", "$HOME", "it's", "*", ""});
  EXPECT_TRUE(r.succeeded()) << r.error;
  EXPECT_EQ(r.output, "a b|$HOME|it's|*||");
  EXPECT_TRUE(noChildrenLeft());
}

TEST(ProcessRunner, CapturesStdoutAndOptionallyStderr) {
  const std::vector<std::string> argv{"sh", "-c", "echo out; echo err >&2"};
  EXPECT_EQ(runProcess(argv).output, "out\n");
  ProcessOptions merged;
  merged.mergeStderr = true;
  EXPECT_EQ(runProcess(argv, merged).output, "out\nerr\n");
}

TEST(ProcessRunner, ReportsExitStatusAndSignal) {
  struct Case {
    std::string script;
    int exitStatus;
    int signal;
  };
  for (const Case& c : {Case{"exit 0", 0, 0}, Case{"exit 3", 3, 0}, Case{"kill -TERM $$", -1, SIGTERM}}) {
    ProcessResult r = runProcess({"sh", "-c", c.script});
    EXPECT_TRUE(r.launched) << c.script;
    EXPECT_EQ(r.exitStatus, c.exitStatus) << c.script;
    EXPECT_EQ(r.termSignal, c.signal) << c.script;
    EXPECT_EQ(r.succeeded(), c.exitStatus == 0) << c.script;
  }
  EXPECT_TRUE(noChildrenLeft());
}

TEST(ProcessRunner, ChildGetsNoStdin) {
  ProcessResult r = runProcess({"cat"});
  EXPECT_TRUE(r.succeeded());
  EXPECT_EQ(r.output, "");
}

TEST(ProcessRunner, TimeLimitKillsAndReaps) {
  ProcessOptions limited;
  limited.timeLimit = std::chrono::milliseconds(200);
  auto start = std::chrono::steady_clock::now();
  ProcessResult r = runProcess({"sh", "-c", "echo begun; exec sleep 30"}, limited);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.termSignal, SIGKILL);
  EXPECT_FALSE(r.succeeded());
  EXPECT_EQ(r.output, "begun\n");
  // Far below the child's own 30 s: it was killed, not waited out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(noChildrenLeft());
}

TEST(ProcessRunner, GrandchildHoldingThePipeDoesNotHang) {
  ProcessOptions limited;
  limited.timeLimit = std::chrono::milliseconds(300);
  auto start = std::chrono::steady_clock::now();
  ProcessResult r = runProcess({"sh", "-c", "sleep 30 & echo started"}, limited);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.output, "started\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(noChildrenLeft());
}

TEST(ProcessRunner, MissingProgramIsAnError) {
  for (const std::vector<std::string>& argv : std::vector<std::vector<std::string>>{
           {"vardeno-no-such-program"}, {"/nonexistent/dir/prog", "x"}, {}, {""}}) {
    ProcessResult r = runProcess(argv);
    EXPECT_FALSE(r.launched);
    EXPECT_FALSE(r.succeeded());
    EXPECT_FALSE(r.error.empty());
    EXPECT_EQ(r.output, "");
  }
  EXPECT_TRUE(noChildrenLeft());
}

TEST(ProcessRunner, OutputBeyondTheCapIsDiscardedNotBlocking) {
  ProcessOptions capped;
  capped.maxOutput = 1000;
  ProcessResult r = runProcess({"head", "-c", "300000", "/dev/zero"}, capped);
  EXPECT_TRUE(r.succeeded()) << r.error;
  EXPECT_TRUE(r.truncated);
  EXPECT_EQ(r.output.size(), 1000u);
}
