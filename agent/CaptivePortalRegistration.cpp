#include "agent/CaptivePortalRegistration.h"

#include "DnsProxyExt/Utils.h"
#include "platform/foundation/Log.h"

namespace agent {

CaptivePortalRegistration::CaptivePortalRegistration(Environment environment) : env_(std::move(environment)) {
  if (!env_.mainQueue) env_.mainQueue = platform::DispatchQueue::main();
  if (!env_.killAssistant) env_.killAssistant = [] { return std::string(); };
}

CaptivePortalRegistration::~CaptivePortalRegistration() {
  *alive_ = false;
  stop();
}

void CaptivePortalRegistration::initCaptivePortalHelper(const std::string& captivePortalIp) {
  platform::NSLog("initCaptivePortalHelper");
  if (captivePortalIp.empty()) return;
  if (cpHelper_) cpHelper_->stopConnectivityListener();
  cpHelper_ = std::make_shared<dnsproxyext::CapPortalHelper>(dnsproxyext::parseCommaDelimitedArr(captivePortalIp),
                                                           env_.helper);
  auto queue = env_.mainQueue;
  std::weak_ptr<bool> alive = alive_;
  // Runs on the monitor queue: log, then hop to the main queue.
  cpHelper_->startConnectivityListener([this, queue, alive](const platform::NWPath& path) {
    platform::NSLog("initCaptivePortalHelper, connectivityDidChanged, new path - " + path.description());
    queue->async([this, alive] {
      if (auto a = alive.lock(); a && *a) scheduleCaptiveAssistantKill();
    });
  });
}

void CaptivePortalRegistration::scheduleCaptiveAssistantKill() {
  std::weak_ptr<bool> alive = alive_;
  env_.mainQueue->asyncAfter(kAssistantKillDelay, [this, alive] {
    if (auto a = alive.lock(); a && *a) killCaptiveNetworkAssistant();
  });
}

void CaptivePortalRegistration::killCaptiveNetworkAssistant() {
  platform::NSLog("did attempt to kill CNA, result: " + env_.killAssistant());
}

void CaptivePortalRegistration::stop() {
  if (cpHelper_) cpHelper_->stopConnectivityListener();
}

}  // namespace agent
