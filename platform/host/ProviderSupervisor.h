#pragma once
// Runs at most one provider, as the system would: started with the
// preferences' options when they are enabled for our bundle, restarted
// when they change, stopped when they are disabled or removed.
#include <chrono>
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

  // The started provider, or null: new flows then go to the system.
  std::shared_ptr<NEDNSProxyProvider> current() const;
  int startCount() const;

 private:
  void stopLocked(NEProviderStopReason reason);
  void startLocked(const ProviderPreferences& preferences);

  const Factory factory_;
  const std::optional<std::vector<NEDNSSettings>> systemDNSSettings_;
  const std::chrono::milliseconds completionWait_;
  std::mutex operationMutex_;  // one start, stop, change, sleep or wake at a time
  std::shared_ptr<NEDNSProxyProvider> running_;
  std::optional<ProviderPreferences> runningPreferences_;
  int startCount_ = 0;
  mutable std::mutex currentMutex_;
  std::shared_ptr<NEDNSProxyProvider> current_;
};

}  // namespace platform
