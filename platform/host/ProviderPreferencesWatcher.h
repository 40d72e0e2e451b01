#pragma once
// Watches the preferences file (inotify on its folder, and a periodic
// re-read as a safety net) and reports each change of its content. Only a
// missing file or valid preferences are reported; a file that cannot be
// read (descriptors used up, I/O error, a folder in its place) or that is
// not valid preferences is logged once and read again later, so the
// running provider keeps its configuration meanwhile.
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/networkextension/ProviderPreferences.h"

namespace platform {

class ProviderPreferencesWatcher {
 public:
  // None: the file is missing.
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
  std::optional<std::string> lastText_;  // of the last report; none: missing
  bool reported_ = false;
  std::string lastError_;  // logged once until the next good read
  int inotifyFd_ = -1;
  int stopFd_ = -1;
  std::thread thread_;
};

}  // namespace platform
