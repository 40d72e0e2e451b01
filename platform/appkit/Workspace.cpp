#include "platform/appkit/Workspace.h"

#include <algorithm>

namespace platform {

uint64_t NSNotificationCenter::addObserver(std::string name, const void* object, Observer observer) {
  std::lock_guard lock(mutex_);
  const uint64_t token = nextToken_++;
  entries_.push_back({token, std::move(name), object, std::move(observer)});
  return token;
}

void NSNotificationCenter::removeObserver(uint64_t token) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [token](const Entry& e) { return e.token == token; });
}

void NSNotificationCenter::post(const NSNotification& notification) {
  std::vector<Observer> matching;
  {
    std::lock_guard lock(mutex_);
    for (const auto& e : entries_)
      if (e.name == notification.name && (!e.object || e.object == notification.object)) matching.push_back(e.observer);
  }
  // Called outside the lock: an observer may add or remove observers.
  for (auto& observer : matching) observer(notification);
}

std::size_t NSNotificationCenter::observerCount(const std::string& name) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.name == name; }));
}

NSWorkspace& NSWorkspace::shared() {
  static NSWorkspace* workspace = new NSWorkspace();
  return *workspace;
}

}  // namespace platform
