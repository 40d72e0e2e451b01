#pragma once
// Watches the preferences file (inotify on its folder, and a periodic
// re-read as a safety net) and reports each change of its content.
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/ProviderPreferences.h"

namespace platform {

class ProviderPreferencesWatcher {
 public:
  // None: the file is missing or not valid preferences.
  using Handler = std::function<void(std::optional<ProviderPreferences>)>;

  ProviderPreferencesWatcher(std::string path, Handler handler,
                             std::chrono::milliseconds recheck = std::chrono::milliseconds(1000));
  ~ProviderPreferencesWatcher();
  ProviderPreferencesWatcher(const ProviderPreferencesWatcher&) = delete;
  ProviderPreferencesWatcher& operator=(const ProviderPreferencesWatcher&) = delete;

  // Reports the current state once, then every change, on its own thread.
  void start();
  void stop();

 private:
  void loop();
  void check();

  const std::string path_;
  const Handler handler_;
  const std::chrono::milliseconds recheck_;
  std::optional<std::string> lastText_;
  bool reported_ = false;
  int inotifyFd_ = -1;
  int stopFd_ = -1;
  std::thread thread_;
};

}  // namespace platform
