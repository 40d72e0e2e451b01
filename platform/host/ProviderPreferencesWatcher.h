#pragma once
// Watches the preferences file (inotify on its folder, or on the nearest
// folder above while that one is missing) and reports each change of its
// content. Only a missing file or valid preferences are reported; a file
// that cannot be read (descriptors used up, I/O error, a folder in its
// place) or that is not valid preferences is logged once and kept out, so
// the running provider keeps its configuration meanwhile. The file is read
// again every `recheck` only while a read fails or where inotify is not to
// be had; otherwise the watcher sleeps until something changes.
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/networkextension/ProviderPreferences.h"

struct inotify_event;

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
  // (Re)places the watches: on the folder, else on its nearest ancestor.
  void watch();
  // Whether an inotify event may concern the file or the way to it.
  bool concerns(const inotify_event& event) const;

  const std::string path_;
  const Handler handler_;
  const std::chrono::milliseconds recheck_;
  std::string folder_;
  std::string fileName_;
  int folderWatch_ = -1;
  int ancestorWatch_ = -1;
  std::string ancestorChild_;  // the name below the ancestor that leads to the folder
  bool watching_ = false;      // inotify reports every change that matters
  bool readFailed_ = false;    // the last read failed, and not for a missing file
  std::optional<std::string> lastText_;  // of the last report; none: missing
  bool reported_ = false;
  std::string lastError_;  // logged once until the next good read
  int inotifyFd_ = -1;  // the watch thread's
  int stopFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace platform
