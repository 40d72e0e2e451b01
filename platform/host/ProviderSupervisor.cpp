#include "platform/host/ProviderSupervisor.h"

#include "platform/foundation/Log.h"

namespace platform {
namespace {

// Waits for a completion that may come inline or from any thread.
class Completion {
 public:
  void signal() {
    std::lock_guard lock(mutex_);
    done_ = true;
    cv_.notify_all();
  }
  bool wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [this] { return done_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};

}  // namespace

ProviderSupervisor::ProviderSupervisor(Factory factory, std::optional<std::vector<NEDNSSettings>> systemDNSSettings,
                                       std::chrono::milliseconds completionWait)
    : factory_(std::move(factory)), systemDNSSettings_(std::move(systemDNSSettings)), completionWait_(completionWait) {}

std::shared_ptr<NEDNSProxyProvider> ProviderSupervisor::current() const {
  std::lock_guard lock(currentMutex_);
  return current_;
}

int ProviderSupervisor::startCount() const {
  std::lock_guard lock(currentMutex_);
  return startCount_;
}

void ProviderSupervisor::setChangeHandler(std::function<void()> handler) {
  std::lock_guard lock(currentMutex_);
  changeHandler_ = std::move(handler);
}

void ProviderSupervisor::changed() {
  std::function<void()> handler;
  {
    std::lock_guard lock(currentMutex_);
    handler = changeHandler_;
  }
  if (handler) handler();
}

void ProviderSupervisor::apply(const std::optional<ProviderPreferences>& preferences) {
  {
    std::lock_guard operation(operationMutex_);
    const bool wanted = preferences && preferences->runsProvider();
    // A restart of enabled preferences holds new flows for the new provider.
    holding_ = wanted && startedOnce_;
    if (running_ && (!wanted || *preferences != *runningPreferences_)) {
      NEProviderStopReason reason = !preferences                   ? NEProviderStopReason::configurationRemoved
                                    : !preferences->runsProvider() ? NEProviderStopReason::configurationDisabled
                                                                   : NEProviderStopReason::superceded;
      stopLocked(reason);
    }
    if (wanted && !running_) startLocked(*preferences);
    holding_ = false;
  }
  changed();
}

void ProviderSupervisor::stop(NEProviderStopReason reason) {
  {
    std::lock_guard operation(operationMutex_);
    holding_ = false;
    stopLocked(reason);
  }
  changed();
}

void ProviderSupervisor::stopLocked(NEProviderStopReason reason) {
  if (!running_) return;
  auto provider = std::move(running_);
  running_.reset();
  runningPreferences_.reset();
  {
    // New flows go to the system from here on.
    std::lock_guard lock(currentMutex_);
    current_.reset();
  }
  auto done = std::make_shared<Completion>();
  provider->stopProxy(reason, [done] { done->signal(); });
  if (!done->wait(completionWait_)) NSLog("[NEHost] provider did not complete stopProxy in time");
}

void ProviderSupervisor::startLocked(const ProviderPreferences& preferences) {
  auto provider = factory_ ? factory_() : nullptr;
  if (!provider) {
    NSLog("[NEHost] no provider class to start");
    return;
  }
  provider->setSystemDNSSettings(systemDNSSettings_);
  auto done = std::make_shared<Completion>();
  auto result = std::make_shared<std::optional<NEError>>();
  provider->startProxy(preferences.startOptions(), [done, result](std::optional<NEError> error) {
    *result = std::move(error);
    done->signal();
  });
  if (!done->wait(completionWait_)) {
    NSLog("[NEHost] provider did not complete startProxy in time");
    return;
  }
  if (*result) {
    NSLog("[NEHost] provider failed to start: " + (*result)->description);
    return;
  }
  running_ = provider;
  runningPreferences_ = preferences;
  startedOnce_ = true;
  {
    std::lock_guard lock(currentMutex_);
    current_ = provider;
    ++startCount_;
  }
  // New flows reach the provider from here on.
  NSLog("[NEHost] provider started");
}

// Sleep and wake wait for a start or stop in progress, so that a signal
// that arrives during a restart reaches the new provider.
void ProviderSupervisor::sleep() {
  std::lock_guard operation(operationMutex_);
  auto provider = running_;
  if (!provider) return;
  auto done = std::make_shared<Completion>();
  provider->sleep([done] { done->signal(); });
  done->wait(completionWait_);
}

void ProviderSupervisor::wake() {
  std::lock_guard operation(operationMutex_);
  if (running_) running_->wake();
}

}  // namespace platform
