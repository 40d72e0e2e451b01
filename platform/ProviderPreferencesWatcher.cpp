#include "platform/ProviderPreferencesWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Log.h"

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

void ProviderPreferencesWatcher::check() {
  std::optional<std::string> text;
  std::ifstream in(path_, std::ios::binary);
  if (in) {
    std::stringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
  }
  if (reported_ && text == lastText_) return;
  reported_ = true;
  lastText_ = text;
  std::optional<ProviderPreferences> preferences;
  if (text) {
    std::string error;
    preferences = ProviderPreferences::parse(*text, &error);
    if (!preferences) NSLog("[NEHost] ignoring DNS proxy preferences " + path_ + ": " + error);
  }
  handler_(std::move(preferences));
}

}  // namespace platform
