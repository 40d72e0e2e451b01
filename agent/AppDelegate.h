#pragma once
// The agent's one controller: state, system-extension requests, DNS proxy
// preferences, user lookup. Start-up, menu and captive-portal code build
// on it. Everything runs on the main queue unless a comment says otherwise.
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "agent/AgentEnvironment.h"
#include "agent/Describe.h"
#include "agent/LauncherSource.h"
#include "agent/UDPLogger.h"
#include "agent/UserDataResponse.h"
#include "platform/systemextensions/SystemExtensionManager.h"

namespace dnsproxyext {
class CapPortalHelper;
}

namespace agent {

class NSStatusItem;

class AppDelegate : public platform::OSSystemExtensionRequestDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
 public:
  using UserDataCallback = std::function<void(std::optional<UserDataResponse>, std::optional<std::string>)>;

  static constexpr const char* kAppBundleId = "com.vardeno.Vardeno-for-OSX";

  explicit AppDelegate(AgentEnvironment environment = {});
  ~AppDelegate() override;

  // Stored state, in the system's order.
  std::string logTag = "AppDelegate";
  std::string kDNSProxyExtBundleId = "com.vardeno.ruzadevirozo.proxyext";
  std::string kContentFilterProviderExtBundleId = "com.qv.dnsproxy.dnsproxyfilterdata";
  std::string kUserDefaultsName = "group.com.vardeno.dnsproxy";
  std::string kApiHost;
  std::shared_ptr<NSStatusItem> statusItem;
  bool dnsProxyStopped = false;
  std::shared_ptr<void> connection;  // unused
  std::string userIdOsResponse;
  std::shared_ptr<platform::NEDNSProxyManager> manager;
  std::optional<StringMap> parsedConfArgs;
  std::shared_ptr<UDPLogger> udpLogger;
  bool isRootSession = false;
  LauncherSource launcherSource = LauncherSource::user;
  std::shared_ptr<platform::OSSystemExtensionRequest> currentDeactivationReq;
  std::shared_ptr<dnsproxyext::CapPortalHelper> cpHelper;

  // The relay's user name; written from the relay client's queue.
  std::optional<std::string> xpcUsername() const;
  void setXpcUsername(std::optional<std::string> name);
  // Reply callback of the relay client (any queue).
  void storeCurrentUser(const std::vector<uint8_t>& bytes);
  LauncherSource detectLauncherSource(const std::string& userName);

  // Relay log line and system log line.
  void relayLog(const std::optional<std::string>& text);
  void systemLog(const std::string& text);

  // System-extension requests.
  void installSysExtensions(const std::string& identifier);
  void requestSysExtProperties(const std::string& identifier);
  void deleteSysExt(const std::string& identifier);
  void reinstallSysEx();
  void handleNeedsUserApproval(const std::shared_ptr<platform::OSSystemExtensionRequest>& request);
  void handleFoundProperties(const std::shared_ptr<platform::OSSystemExtensionRequest>& request,
                             const std::vector<platform::OSSystemExtensionProperties>& properties);
  void logExtensionProperties(const std::vector<platform::OSSystemExtensionProperties>& properties);
  void handleRequestFinished(const std::shared_ptr<platform::OSSystemExtensionRequest>& request,
                             platform::OSSystemExtensionRequestResult result);
  void extStateChangedWithState(const std::string& state);
  void promptUserWithAboutFlow(const nlohmann::json& aboutFlow, std::function<void(bool)> responseHandler);

  platform::OSSystemExtensionReplacementAction actionForReplacingExtension(
      const std::shared_ptr<platform::OSSystemExtensionRequest>& request,
      const platform::OSSystemExtensionProperties& existing,
      const platform::OSSystemExtensionProperties& ext) override;
  void requestNeedsUserApproval(const std::shared_ptr<platform::OSSystemExtensionRequest>& request) override;
  void didFinishWithResult(const std::shared_ptr<platform::OSSystemExtensionRequest>& request,
                           platform::OSSystemExtensionRequestResult result) override;
  void didFailWithError(const std::shared_ptr<platform::OSSystemExtensionRequest>& request,
                        const platform::NEError& error) override;
  void foundProperties(const std::shared_ptr<platform::OSSystemExtensionRequest>& request,
                       const std::vector<platform::OSSystemExtensionProperties>& properties) override;

  // DNS proxy and content-filter preferences. Cycles run one after another.
  void configureDnsProxy(bool enabled, bool terminate);
  void applyDnsProxyConfiguration(const std::optional<platform::NEError>& error,
                                  const std::shared_ptr<platform::NEDNSProxyManager>& manager, bool enabled,
                                  bool terminate);
  void handleProxySaved(const std::optional<platform::NEError>& error, bool enabled, bool terminate);
  void restartProxy();
  void applyContentFilterConfiguration(bool enabled);

  // User lookup on the REST service; one retry chain at a time.
  void retriveUserDataBy(const std::string& companyId, const std::string& userName, UserDataCallback callback);
  void handleUserDataResult(const std::string& companyId, const std::string& userName,
                            const std::optional<UserDataResponse>& answer, const std::optional<std::string>& error);
  void retryUserDataRequest(const std::string& companyId, const std::string& userName);
  // The callback the agent passes: handleUserDataResult for these values.
  UserDataCallback userDataResultHandler(const std::string& companyId, const std::string& userName);

  // Seams, for start-up code and tests.
  const AgentEnvironment& environment() const { return env_; }
  const std::shared_ptr<platform::DispatchQueue>& mainQueue() const { return env_.mainQueue; }
  bool isAtLeastMacOS12() const { return env_.osVersion->isAtLeast(12, 0, 0); }
  std::shared_ptr<platform::NEDNSProxyManager> sharedProxyManager() const;
  // Preferences cycles running or queued, plus restart halves not yet run.
  std::size_t pendingProxyCycles() const;

 private:
  struct ProxyCycle {
    bool enabled;
    bool terminate;
  };
  void startNextProxyCycle();
  void finishProxyCycle();
  void scheduleRootExit();
  void exitProcess(int status);
  void submit(const std::shared_ptr<platform::OSSystemExtensionRequest>& request);
  void startLookupAttempt();
  void handleLookupResponse(uint64_t attempt, platform::HttpResponse response);

  AgentEnvironment env_;

  mutable std::mutex xpcMutex_;
  std::optional<std::string> xpcUsername_;

  std::deque<ProxyCycle> proxyCycles_;
  bool proxyCycleRunning_ = false;
  std::size_t pendingRestartHalves_ = 0;
  bool exitWanted_ = false;

  bool approvalDeactivationDone_ = false;

  struct Lookup {
    std::string companyId;
    std::string userName;
    UserDataCallback callback;
  };
  std::optional<Lookup> lookup_;
  uint64_t lookupAttempt_ = 0;
  bool lookupInFlight_ = false;
  std::shared_ptr<platform::DispatchWorkItem> lookupRetry_;
};

}  // namespace agent
