#pragma once
// NSWorkspace stand-in: the shared workspace and its notification centre.
// Observers run on the posting thread, in the order they were added.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

inline constexpr const char* NSWorkspaceWillPowerOffNotification = "NSWorkspaceWillPowerOffNotification";
inline constexpr const char* NSWorkspaceWillSleepNotification = "NSWorkspaceWillSleepNotification";
inline constexpr const char* NSWorkspaceDidWakeNotification = "NSWorkspaceDidWakeNotification";

struct NSNotification {
  std::string name;
  const void* object = nullptr;
};

class NSNotificationCenter {
 public:
  using Observer = std::function<void(const NSNotification&)>;
  // `object` null observes the name from every sender.
  uint64_t addObserver(std::string name, const void* object, Observer observer);
  void removeObserver(uint64_t token);
  void post(const NSNotification& notification);
  std::size_t observerCount(const std::string& name) const;

 private:
  struct Entry {
    uint64_t token;
    std::string name;
    const void* object;
    Observer observer;
  };
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  uint64_t nextToken_ = 1;
};

class NSWorkspace {
 public:
  static NSWorkspace& shared();
  NSNotificationCenter& notificationCenter() { return center_; }
  // Posts `name` with the workspace as its object.
  void postNotification(const std::string& name) { center_.post({name, this}); }

 private:
  NSNotificationCenter center_;
};

}  // namespace platform
