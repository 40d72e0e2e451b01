#include "platform/host/ProviderPreferencesWatcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/foundation/Log.h"

namespace platform {

ProviderPreferencesWatcher::ProviderPreferencesWatcher(std::string path, Handler handler,
                                                       std::chrono::milliseconds recheck)
    : path_(std::move(path)), handler_(std::move(handler)), recheck_(recheck) {}

ProviderPreferencesWatcher::~ProviderPreferencesWatcher() { stop(); }

void ProviderPreferencesWatcher::start() {
  if (thread_.joinable()) return;
  std::error_code ec;
  auto folder = std::filesystem::path(path_).parent_path();
  std::filesystem::create_directories(folder, ec);
  stopFd_ = eventfd(0, EFD_CLOEXEC);
  inotifyFd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotifyFd_ >= 0)
    inotify_add_watch(inotifyFd_, folder.c_str(),
                      IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE | IN_MODIFY);
  thread_ = std::thread([this] { loop(); });
}

void ProviderPreferencesWatcher::stop() {
  if (!thread_.joinable()) return;
  uint64_t one = 1;
  (void)!write(stopFd_, &one, sizeof one);
  thread_.join();
  if (inotifyFd_ >= 0) close(inotifyFd_);
  close(stopFd_);
  inotifyFd_ = stopFd_ = -1;
}

void ProviderPreferencesWatcher::loop() {
  pollfd fds[2] = {{inotifyFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  char events[4096];
  check();
  for (;;) {
    int ready = poll(fds, 2, static_cast<int>(recheck_.count()));
    if (fds[1].revents) return;
    if (ready > 0 && fds[0].revents)
      while (read(inotifyFd_, events, sizeof events) > 0) {
      }
    check();
  }
}

namespace {

enum class ReadResult { text, missing, failed };

// The whole file, told apart from a missing one and from a failed read.
ReadResult readWhole(const std::string& path, std::string& text, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ReadResult::missing;
    error = std::strerror(errno);
    return ReadResult::failed;
  }
  text.clear();
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      error = std::strerror(errno);
      close(fd);
      return ReadResult::failed;
    }
  }
  close(fd);
  return ReadResult::text;
}

}  // namespace

void ProviderPreferencesWatcher::check() {
  std::string text, error;
  ReadResult result = readWhole(path_, text, error);
  std::optional<ProviderPreferences> preferences;
  if (result == ReadResult::text) {
    if (reported_ && lastText_ == text) {
      lastError_.clear();
      return;
    }
    preferences = ProviderPreferences::parse(text, &error);
    if (!preferences) error = "not valid preferences: " + error;
  }
  if (result == ReadResult::failed || (result == ReadResult::text && !preferences)) {
    // Keeps what runs now: a half-written file or a passing shortage of
    // descriptors must not switch filtering off. Read again on the next turn.
    if (error != lastError_) {
      NSLog("[NEHost] cannot use DNS proxy preferences " + path_ + ": " + error +
            "; keeping the current state and trying again");
      lastError_ = error;
    }
    return;
  }
  lastError_.clear();
  std::optional<std::string> current;
  if (result == ReadResult::text) current = std::move(text);
  if (reported_ && current == lastText_) return;
  reported_ = true;
  lastText_ = std::move(current);
  handler_(std::move(preferences));
}

}  // namespace platform
