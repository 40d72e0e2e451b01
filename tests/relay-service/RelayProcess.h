#pragma once
// Runs the relay program as a child with its own environment and collects
// its log lines (stderr) for the test to wait on.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {

class RelayProcess {
 public:
  // `overrides` replace or add environment variables of this process.
  RelayProcess(const std::string& program, const std::map<std::string, std::string>& overrides) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string entry(*e);
      auto eq = entry.find('=');
      if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (auto& [k, v] : overrides) env[k] = v;
    std::vector<std::string> entries;
    for (auto& [k, v] : env) entries.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& e : entries) envp.push_back(e.data());
    envp.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    std::string path = program;
    char* argv[] = {path.data(), nullptr};
    if (::posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    readFd_ = fds[0];
    reader_ = std::thread([this] { readLines(); });
  }

  ~RelayProcess() {
    stop();
    if (reader_.joinable()) reader_.join();
    if (readFd_ >= 0) ::close(readFd_);
  }

  bool started() const { return pid_ > 0; }

  // Ends the child (TERM, then KILL) and returns its wait status.
  std::optional<int> stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!reaped(false) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      reaped(true);
    }
    return status_;
  }

  // Waits for the child to exit by itself.
  std::optional<int> waitExit(std::chrono::seconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      if (reaped(false)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
  }

  // Index of the first line containing `text`, waiting up to `timeout`.
  std::optional<std::size_t> waitFor(const std::string& text,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mutex_);
    std::optional<std::size_t> found;
    cv_.wait_for(lock, timeout, [&] {
      for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].find(text) != std::string::npos) {
          found = i;
          return true;
        }
      return closed_;
    });
    return found;
  }

  std::size_t count(const std::string& text) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) {
      return l.find(text) != std::string::npos;
    }));
  }

  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  bool reaped(bool block) {
    int status = 0;
    pid_t got = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (got == pid_) {
      status_ = status;
      pid_ = -1;
      return true;
    }
    return false;
  }

  void readLines() {
    std::string pending;
    char buffer[65536];
    for (;;) {
      ssize_t n = ::read(readFd_, buffer, sizeof buffer);
      if (n <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(n));
      std::size_t at;
      std::lock_guard lock(mutex_);
      while ((at = pending.find('\n')) != std::string::npos) {
        lines_.push_back(pending.substr(0, at));
        pending.erase(0, at + 1);
      }
      cv_.notify_all();
    }
    std::lock_guard lock(mutex_);
    if (!pending.empty()) lines_.push_back(pending);
    closed_ = true;
    cv_.notify_all();
  }

  pid_t pid_ = -1;
  std::optional<int> status_;
  int readFd_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
  bool closed_ = false;
};

}  // namespace testsupport
