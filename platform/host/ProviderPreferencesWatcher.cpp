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

namespace {

// Changes of the file, and of the folder itself (removed, moved away).
constexpr uint32_t kFolderEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE | IN_MODIFY |
                                   IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// A folder on the way to it appearing, or the ancestor going away.
constexpr uint32_t kAncestorEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED;

}  // namespace

ProviderPreferencesWatcher::ProviderPreferencesWatcher(std::string path, Handler handler,
                                                       std::chrono::milliseconds recheck)
    : path_(std::move(path)), handler_(std::move(handler)), recheck_(recheck) {
  const std::filesystem::path file(path_);
  folder_ = file.parent_path().string();
  fileName_ = file.filename().string();
  if (folder_.empty()) folder_ = ".";
}

ProviderPreferencesWatcher::~ProviderPreferencesWatcher() { stop(); }

void ProviderPreferencesWatcher::start() {
  if (thread_.joinable()) return;
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  stopping_ = false;
  stopFd_ = eventfd(0, EFD_CLOEXEC);
  thread_ = std::thread([this] { loop(); });
}

void ProviderPreferencesWatcher::stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  uint64_t one = 1;
  if (stopFd_ >= 0) (void)!write(stopFd_, &one, sizeof one);
  thread_.join();
  if (inotifyFd_ >= 0) close(inotifyFd_);
  if (stopFd_ >= 0) close(stopFd_);
  inotifyFd_ = stopFd_ = -1;
  folderWatch_ = ancestorWatch_ = -1;
  watching_ = false;
}

void ProviderPreferencesWatcher::watch() {
  watching_ = false;
  if (inotifyFd_ < 0) inotifyFd_ = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (inotifyFd_ < 0) return;
  for (int* wd : {&folderWatch_, &ancestorWatch_}) {
    if (*wd >= 0) inotify_rm_watch(inotifyFd_, *wd);
    *wd = -1;
  }
  ancestorChild_.clear();
  // A folder that appears while the ancestor's watch is placed is seen by
  // the next turn; a few turns settle any race.
  for (int turn = 0; turn < 8; ++turn) {
    folderWatch_ = inotify_add_watch(inotifyFd_, folder_.c_str(), kFolderEvents);
    if (folderWatch_ >= 0) {
      watching_ = true;
      return;
    }
    if (errno != ENOENT && errno != ENOTDIR) return;
    std::filesystem::path below(folder_);
    for (auto above = below.parent_path(); !above.empty(); below = above, above = above.parent_path()) {
      ancestorWatch_ = inotify_add_watch(inotifyFd_, above.c_str(), kAncestorEvents);
      if (ancestorWatch_ >= 0) {
        ancestorChild_ = below.filename().string();
        break;
      }
      if ((errno != ENOENT && errno != ENOTDIR) || above == above.parent_path()) return;
    }
    if (ancestorWatch_ < 0) return;
    if (access(below.c_str(), F_OK) != 0) {
      watching_ = true;
      return;
    }
    inotify_rm_watch(inotifyFd_, ancestorWatch_);
    ancestorWatch_ = -1;
  }
}

bool ProviderPreferencesWatcher::concerns(const inotify_event& event) const {
  if (event.mask & IN_Q_OVERFLOW) return true;
  if (event.wd != folderWatch_ && event.wd != ancestorWatch_) return false;
  if (event.mask & kGone) return true;
  const std::string& name = event.wd == folderWatch_ ? fileName_ : ancestorChild_;
  return event.len > 0 && name == event.name;
}

void ProviderPreferencesWatcher::loop() {
  alignas(inotify_event) char events[4096];
  watch();
  check();
  for (;;) {
    pollfd fds[2] = {{stopFd_, POLLIN, 0}, {inotifyFd_, POLLIN, 0}};
    // Without a stop event (descriptors were used up at start) it looks
    // at the stop flag on each turn.
    const bool timed = !watching_ || readFailed_ || stopFd_ < 0;
    const int ready = poll(fds, 2, timed ? static_cast<int>(recheck_.count()) : -1);
    if (stopping_ || fds[0].revents) return;
    if (ready < 0 && errno != EINTR) {
      NSLog(std::string("[NEHost] cannot watch DNS proxy preferences ") + path_ + ": " + std::strerror(errno));
      return;
    }
    bool changed = ready == 0, rewatch = !watching_;
    if (ready > 0 && fds[1].revents) {
      ssize_t n;
      while ((n = read(inotifyFd_, events, sizeof events)) > 0) {
        for (char* at = events; at < events + n;) {
          const auto* event = reinterpret_cast<const inotify_event*>(at);
          if (concerns(*event)) {
            changed = true;
            if (event->wd != folderWatch_ || (event->mask & (kGone | IN_Q_OVERFLOW))) rewatch = true;
          }
          at += sizeof(inotify_event) + event->len;
        }
      }
    }
    if (rewatch) watch();
    if (changed || rewatch) check();
  }
}

namespace {

enum class ReadResult { text, missing, failed };

// The whole file, told apart from a missing one and from a failed read.
ReadResult readWhole(const std::string& path, std::string& text, std::string& error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return ReadResult::missing;
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
  readFailed_ = result == ReadResult::failed;
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
    // descriptors must not switch filtering off. A failed read is tried
    // again on a timer; new content comes with an event.
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
