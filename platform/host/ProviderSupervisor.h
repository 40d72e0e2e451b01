#pragma once
// Runs at most one provider, as the system would: started with the
// preferences' options when they are enabled for our bundle, restarted
// when they change, stopped when they are disabled or removed.
#include <atomic>
#include <chrono>
#include <functional>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/networkextension/NEDNSProxyProvider.h"
#include "platform/networkextension/ProviderPreferences.h"

namespace platform {

class ProviderSupervisor {
 public:
  using Factory = std::function<std::shared_ptr<NEDNSProxyProvider>()>;

  ProviderSupervisor(Factory factory, std::optional<std::vector<NEDNSSettings>> systemDNSSettings,
                     std::chrono::milliseconds completionWait = std::chrono::seconds(10));

  // Brings the running provider in line with the preferences (none: missing).
  void apply(const std::optional<ProviderPreferences>& preferences);
  // Stops the running provider, if any; later apply() calls start again.
  void stop(NEProviderStopReason reason);
  void sleep();
  void wake();

  // The started provider, or null: new flows then go to the system, unless
  // holding().
  std::shared_ptr<NEDNSProxyProvider> current() const;
  // True while the preferences ask for a provider and one is being started
  // again: new flows wait for it rather than reach the system DNS. False
  // before the first start and after a start failed.
  bool holding() const { return holding_.load(); }
  // Called after each start attempt and each stop that leaves no provider
  // wanted, outside the supervisor's locks.
  void setChangeHandler(std::function<void()> handler);
  int startCount() const;

 private:
  void stopLocked(NEProviderStopReason reason);
  void startLocked(const ProviderPreferences& preferences);
  void changed();

  const Factory factory_;
  const std::optional<std::vector<NEDNSSettings>> systemDNSSettings_;
  const std::chrono::milliseconds completionWait_;
  std::mutex operationMutex_;  // one start, stop, change, sleep or wake at a time
  std::shared_ptr<NEDNSProxyProvider> running_;
  std::optional<ProviderPreferences> runningPreferences_;
  int startCount_ = 0;
  mutable std::mutex currentMutex_;
  std::shared_ptr<NEDNSProxyProvider> current_;
  std::function<void()> changeHandler_;  // guarded by currentMutex_
  std::atomic<bool> holding_{false};
  bool startedOnce_ = false;  // guarded by operationMutex_
};

}  // namespace platform
