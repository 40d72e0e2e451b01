#pragma once
// Starts a program for a test with extra environment, its stderr and
// stdout in a file, and ends it (SIGTERM, then SIGKILL) when dropped.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Dispatch.h"

namespace testing_support {

class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> argv, std::vector<std::string> env, std::string outputPath)
      : outputPath_(std::move(outputPath)) {
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      dup2(fd, 2);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      for (auto& e : env) putenv(e.data());
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(a.data());
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~ChildProcess() {
    if (!exited_) {
      terminate(SIGTERM);
      if (!waitExit(std::chrono::seconds(5))) {
        kill(pid_, SIGKILL);
        waitExit(std::chrono::seconds(5));
      }
    }
  }
  pid_t pid() const { return pid_; }
  void terminate(int sig) { kill(pid_, sig); }

  std::string output() const {
    std::ifstream in(outputPath_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string firstLine(std::chrono::seconds timeout = std::chrono::seconds(10)) const {
    std::string line;
    platform::waitUntil([&] {
      auto text = output();
      auto nl = text.find('\n');
      if (nl == std::string::npos) return false;
      line = text.substr(0, nl);
      return true;
    }, timeout);
    return line;
  }
  bool waitForOutput(const std::string& text, std::chrono::seconds timeout = std::chrono::seconds(10)) const {
    return platform::waitUntil([&] { return output().find(text) != std::string::npos; }, timeout);
  }
  size_t countInOutput(const std::string& text) const {
    auto all = output();
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
  }
  // True when it exited in time; the status is in exitStatus().
  bool waitExit(std::chrono::milliseconds timeout) {
    if (exited_) return true;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        status_ = status;
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  int exitStatus() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
  // Open descriptors of the child.
  int openFdCount() const {
    int n = 0;
    std::string dir = "/proc/" + std::to_string(pid_) + "/fd";
    for (auto* d = opendir(dir.c_str()); d;) {
      while (readdir(d)) ++n;
      closedir(d);
      break;
    }
    return n;
  }

 private:
  std::string outputPath_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

// A fresh folder under the build tree, removed with the object. A folder
// for a program run as another user lives under the system's temporary
// folder instead (the build tree may sit in a home only its owner enters),
// mode 0755, or owned by that user.
class TempDir {
 public:
  struct SystemTemp {
    std::optional<uid_t> owner;  // chowned to it (with its gid)
    std::optional<gid_t> group;
  };
  TempDir() : TempDir(std::string(VARDENO_BINARY_DIR)) {}
  explicit TempDir(SystemTemp forUser) : TempDir(systemTempFolder()) {
    if (forUser.owner) {
      (void)!chown(path_.c_str(), *forUser.owner, forUser.group.value_or(static_cast<gid_t>(-1)));
    } else {
      chmod(path_.c_str(), 0755);
    }
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }

 private:
  explicit TempDir(const std::string& parent) {
    std::string pattern = parent + "/tmp-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    path_ = mkdtemp(buffer.data());
  }
  static std::string systemTempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp == '/' ? tmp : "/tmp";
  }

  std::string path_;
};

}  // namespace testing_support
