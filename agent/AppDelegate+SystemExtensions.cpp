#include "agent/AppDelegate.h"
#include "platform/foundation/Log.h"

namespace agent {

using platform::NSLog;
using platform::OSSystemExtensionRequest;

void AppDelegate::submit(const std::shared_ptr<OSSystemExtensionRequest>& request) {
  request->setDelegate(weak_from_this());
  env_.extensionManager->submitRequest(request);
}

void AppDelegate::installSysExtensions(const std::string& identifier) {
  NSLog("install sys ext: " + identifier);
  relayLog("installSysExtensions: " + identifier);
  submit(OSSystemExtensionRequest::activationRequest(identifier, env_.mainQueue));
}

void AppDelegate::requestSysExtProperties(const std::string& identifier) {
  if (isAtLeastMacOS12()) {
    submit(OSSystemExtensionRequest::propertiesRequest(identifier, env_.mainQueue));
  } else {
    submit(OSSystemExtensionRequest::activationRequest(identifier, env_.mainQueue));
  }
}

void AppDelegate::deleteSysExt(const std::string& identifier) {
  relayLog("deleteSysExt: " + identifier);
  currentDeactivationReq = OSSystemExtensionRequest::deactivationRequest(identifier, env_.mainQueue);
  submit(currentDeactivationReq);
}

void AppDelegate::reinstallSysEx() {
  relayLog("installSysExtensions called");
  requestSysExtProperties(kDNSProxyExtBundleId);
}

platform::OSSystemExtensionReplacementAction AppDelegate::actionForReplacingExtension(
    const std::shared_ptr<OSSystemExtensionRequest>&, const platform::OSSystemExtensionProperties&,
    const platform::OSSystemExtensionProperties&) {
  NSLog("request(_ request: OSSystem");
  return platform::OSSystemExtensionReplacementAction::replace;
}

void AppDelegate::requestNeedsUserApproval(const std::shared_ptr<OSSystemExtensionRequest>& request) {
  handleNeedsUserApproval(request);
}

void AppDelegate::didFailWithError(const std::shared_ptr<OSSystemExtensionRequest>& request,
                                   const platform::NEError& error) {
  NSLog("request OSSystem didFailWithError:" + error.description + ", req: " + request->debugDescription());
}

void AppDelegate::foundProperties(const std::shared_ptr<OSSystemExtensionRequest>& request,
                                  const std::vector<platform::OSSystemExtensionProperties>& properties) {
  handleFoundProperties(request, properties);
}

void AppDelegate::didFinishWithResult(const std::shared_ptr<OSSystemExtensionRequest>& request,
                                      platform::OSSystemExtensionRequestResult result) {
  handleRequestFinished(request, result);
}

void AppDelegate::handleNeedsUserApproval(const std::shared_ptr<OSSystemExtensionRequest>& request) {
  NSLog("requestNeedsUserApproval, extId: " + request->identifier());
  if (request->identifier() != kDNSProxyExtBundleId) return;
  if (!isAtLeastMacOS12()) {
    NSLog("requestNeedsUserApproval: macos < 12");
    // Deactivate-and-reinstall once per run: a second approval request
    // would start the same loop again.
    if (approvalDeactivationDone_) return;
    approvalDeactivationDone_ = true;
    deleteSysExt(kDNSProxyExtBundleId);
    return;
  }
  configureDnsProxy(true, false);
}

void AppDelegate::handleFoundProperties(const std::shared_ptr<OSSystemExtensionRequest>& request,
                                        const std::vector<platform::OSSystemExtensionProperties>& properties) {
  NSLog("found  props for ext: " + request->identifier() + ", props count = " + std::to_string(properties.size()) +
        ", req: " + request->debugDescription());
  if (!isAtLeastMacOS12()) {
    NSLog("Error: OS version < 12.0");
    return;
  }
  logExtensionProperties(properties);
  const platform::OSSystemExtensionProperties* chosen = nullptr;
  for (const auto& p : properties) {
    if (!p.isUninstalling) chosen = &p;
  }
  if (!chosen) {
    installSysExtensions(request->identifier());
  } else if (!chosen->isEnabled) {
    configureDnsProxy(true, false);
  }
}

void AppDelegate::logExtensionProperties(const std::vector<platform::OSSystemExtensionProperties>& properties) {
  NSLog("*** SYS ext properties ***");
  for (const auto& p : properties) {
    NSLog("bundleId = " + p.bundleIdentifier);
    if (isAtLeastMacOS12()) {
      NSLog(std::string("isEnabled: ") + platform::boolText(p.isEnabled));
      NSLog(std::string("isAwaitingUserApproval: ") + platform::boolText(p.isAwaitingUserApproval));
      NSLog(std::string("isUninstalling: ") + platform::boolText(p.isUninstalling));
    }
    NSLog("url: " + p.url);
  }
  NSLog("<<< SYS ext properties >>>");
}

void AppDelegate::handleRequestFinished(const std::shared_ptr<OSSystemExtensionRequest>& request,
                                        platform::OSSystemExtensionRequestResult result) {
  NSLog(" request didFinishWithResult, result:" + platform::resultDescription(result) +
        ", extId = " + request->identifier());
  if (currentDeactivationReq && currentDeactivationReq == request) {
    if (!isAtLeastMacOS12()) {
      NSLog(" request didFinishWithResult - macos < 12.0 -> reinstall sysext");
      installSysExtensions(kDNSProxyExtBundleId);
    }
    return;
  }
  switch (result) {
    case platform::OSSystemExtensionRequestResult::willCompleteAfterReboot:
      NSLog("switch request result, result - willCompleteAfterReboot");
      return;
    case platform::OSSystemExtensionRequestResult::completed:
      NSLog("install ext request result: completed for extId: " + request->identifier());
      if (request->identifier() == kDNSProxyExtBundleId) {
        manager = sharedProxyManager();
        if (!manager) {
          NSLog("manager is nil");
          return;
        }
        configureDnsProxy(true, false);
      } else if (request->identifier() == kContentFilterProviderExtBundleId) {
        applyContentFilterConfiguration(true);
      }
      return;
  }
  NSLog("switch request result, result - default");
}

void AppDelegate::extStateChangedWithState(const std::string& state) {
  NSLog("App + XPCDelegate ->  extstateChanged: " + state);
}

void AppDelegate::promptUserWithAboutFlow(const nlohmann::json&, std::function<void(bool)>) {}

}  // namespace agent
