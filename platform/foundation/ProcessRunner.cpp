#include "platform/foundation/ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>

extern char** environ;

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

int remainingMillis(const std::optional<SteadyClock::time_point>& deadline) {
  if (!deadline) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - SteadyClock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count()) + 1;
}

void recordStatus(ProcessResult& result, int status) {
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
}

// The child leads its own process group, so grandchildren die with it.
void killGroup(pid_t pid) {
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
}

void waitBlocking(pid_t pid, ProcessResult& result) {
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got == pid) recordStatus(result, status);
  else result.error = std::string("waitpid: ") + std::strerror(errno);
}

// Waits for the child until the deadline; kills it when the deadline passes.
void waitWithDeadline(pid_t pid, const std::optional<SteadyClock::time_point>& deadline, ProcessResult& result) {
  if (!deadline) {
    waitBlocking(pid, result);
    return;
  }
  for (;;) {
    int status = 0;
    pid_t got = ::waitpid(pid, &status, WNOHANG);
    if (got == pid) {
      recordStatus(result, status);
      return;
    }
    if (got < 0 && errno != EINTR) {
      result.error = std::string("waitpid: ") + std::strerror(errno);
      return;
    }
    if (SteadyClock::now() >= *deadline) {
      result.timedOut = true;
      killGroup(pid);
      waitBlocking(pid, result);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  ProcessResult result;
  if (argv.empty() || argv[0].empty()) {
    result.error = "no program given";
    return result;
  }

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    result.error = std::string("pipe: ") + std::strerror(errno);
    return result;
  }

  SpawnSetup setup;
  posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&setup.actions, fds[1], 1);
  if (options.mergeStderr) posix_spawn_file_actions_adddup2(&setup.actions, fds[1], 2);

  sigset_t noSignals;
  sigemptyset(&noSignals);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM})
    sigaddset(&defaults, sig);
  posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&setup.attr, 0);
  posix_spawnattr_setsigmask(&setup.attr, &noSignals);
  posix_spawnattr_setsigdefault(&setup.attr, &defaults);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    result.error = argv[0] + ": " + std::strerror(rc);
    return result;
  }
  result.launched = true;

  std::optional<SteadyClock::time_point> deadline;
  if (options.timeLimit.count() > 0) deadline = SteadyClock::now() + options.timeLimit;

  char buffer[8192];
  bool outOfTime = false;
  for (;;) {
    pollfd pfd{fds[0], POLLIN, 0};
    int ready = ::poll(&pfd, 1, remainingMillis(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      result.error = std::string("poll: ") + std::strerror(errno);
      break;
    }
    if (ready == 0) {
      if (deadline && SteadyClock::now() >= *deadline) {
        outOfTime = true;
        break;
      }
      continue;
    }
    ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      result.error = std::string("read: ") + std::strerror(errno);
      break;
    }
    if (n == 0) break;
    std::size_t room = options.maxOutput > result.output.size() ? options.maxOutput - result.output.size() : 0;
    std::size_t keep = static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room;
    result.output.append(buffer, keep);
    if (keep < static_cast<std::size_t>(n)) result.truncated = true;
  }
  ::close(fds[0]);
  if (outOfTime) {
    // Still writing when time ran out (maybe a grandchild holds the pipe).
    result.timedOut = true;
    killGroup(pid);
    waitBlocking(pid, result);
  } else {
    waitWithDeadline(pid, deadline, result);
  }
  return result;
}

}  // namespace platform
