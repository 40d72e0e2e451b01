#pragma once
// The agent's captive-portal registration: one CapPortalHelper for the
// "--captivePortalIp" addresses, driven by its path monitor, and the
// captive-network assistant closed half a second after every path change.
// Everything here belongs to the main queue; the path callback only logs
// and schedules.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "DnsProxyExt/CapPortalHelper.h"
#include "platform/dispatch/Dispatch.h"

namespace agent {

class CaptivePortalRegistration {
 public:
  struct Environment {
    std::shared_ptr<platform::DispatchQueue> mainQueue;  // main queue by default
    dnsproxyext::CapPortalEnvironment helper;
    // Runs the assistant kill and returns its output. Linux has no
    // captive network assistant: the default does nothing and returns "".
    std::function<std::string()> killAssistant;
  };

  static constexpr std::chrono::milliseconds kAssistantKillDelay{500};

  CaptivePortalRegistration() : CaptivePortalRegistration(Environment{}) {}
  explicit CaptivePortalRegistration(Environment environment);
  ~CaptivePortalRegistration();

  void initCaptivePortalHelper(const std::string& captivePortalIp);
  void scheduleCaptiveAssistantKill();
  void killCaptiveNetworkAssistant();
  // applicationWillTerminate: stops the helper's listener.
  void stop();

  const std::shared_ptr<dnsproxyext::CapPortalHelper>& cpHelper() const { return cpHelper_; }

 private:
  Environment env_;
  std::shared_ptr<dnsproxyext::CapPortalHelper> cpHelper_;
  // Lets late path callbacks see that this object is gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace agent
