#include "agent/AppDelegate.h"

#include <cstdlib>

#include "DefaultAddresses.h"
#include "DnsProxyExt/CapPortalHelper.h"
#include "DnsProxyExt/Utils.h"
#include "platform/foundation/Log.h"

namespace agent {

AppDelegate::AppDelegate(AgentEnvironment environment) : env_(std::move(environment)) {
  if (!env_.mainQueue) env_.mainQueue = platform::DispatchQueue::main();
  if (!env_.osVersion) env_.osVersion = platform::OperatingSystemVersion::current();
  if (!env_.extensionManager) env_.extensionManager = platform::OSSystemExtensionManager::shared();
  if (!env_.dnsProxyManager) env_.dnsProxyManager = [] { return platform::NEDNSProxyManager::shared(); };
  if (!env_.filterManager) env_.filterManager = [] { return platform::NEFilterManager::shared(); };
  if (!env_.http) env_.http = platform::HttpSession::shared();
  if (!env_.probes) {
    platform::SystemProbes::Paths paths;
    paths.agentBundleId = kAppBundleId;
    env_.probes = std::make_shared<platform::SystemProbes>(paths);
  }
  if (!env_.openSuite) env_.openSuite = platform::UserDefaults::suite;
  if (!env_.standardDefaults) env_.standardDefaults = platform::UserDefaults::standard(kAppBundleId);
  if (!env_.exit) env_.exit = [](int status) { std::exit(status); };
  if (env_.apiHost.empty()) {
    const char* host = std::getenv("VARDENO_API_HOST");
    env_.apiHost = host && *host ? host : vardeno::defaults::kApiHost;
  }
  kApiHost = env_.apiHost;
  udpLogger = env_.udpLogger ? env_.udpLogger : std::make_shared<UDPLogger>();
}

AppDelegate::~AppDelegate() {
  if (lookupRetry_) lookupRetry_->cancel();
}

std::optional<std::string> AppDelegate::xpcUsername() const {
  std::lock_guard lock(xpcMutex_);
  return xpcUsername_;
}

void AppDelegate::setXpcUsername(std::optional<std::string> name) {
  std::lock_guard lock(xpcMutex_);
  xpcUsername_ = std::move(name);
}

void AppDelegate::storeCurrentUser(const std::vector<uint8_t>& bytes) {
  setXpcUsername(dnsproxyext::decodeUtf8Lossy(bytes));
}

LauncherSource AppDelegate::detectLauncherSource(const std::string& userName) {
  if (userName == "root") isRootSession = true;
  StringMap args = Utils::parseLaunchArguments(env_.arguments);
  auto it = args.find("--launcher");
  if (it == args.end()) return LauncherSource::user;
  if (it->second == "installer") return LauncherSource::installer;
  if (it->second == "launchd") return LauncherSource::launchd;
  if (it->second == "mdmscript") return LauncherSource::mdmscript;
  platform::NSLog("default launcher - " + platform::optionalText(it->second));
  return LauncherSource::user;
}

void AppDelegate::relayLog(const std::optional<std::string>& text) {
  if (udpLogger) udpLogger->sendAgentLog(text);
}

void AppDelegate::systemLog(const std::string& text) { platform::NSLog(text); }

std::shared_ptr<platform::NEDNSProxyManager> AppDelegate::sharedProxyManager() const {
  return env_.dnsProxyManager ? env_.dnsProxyManager() : nullptr;
}

void AppDelegate::exitProcess(int status) {
  // The last relay lines (the quit's own among them) go out first.
  if (udpLogger) udpLogger->flush(UDPLogger::kExitFlushLimit);
  env_.exit(status);
}

}  // namespace agent
