#include "DnsProxyExt/DnsProxyExt.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "DefaultAddresses.h"
#include "DnsProxyExt/CapPortalHelper.h"
#include "DnsProxyExt/MDMConfigurationManager.h"
#include "DnsProxyExt/WhitelistedDomains.h"
#include "platform/foundation/Log.h"

namespace dnsproxyext {

using platform::NSLog;

DnsProxyExt::Environment DnsProxyExt::Environment::system() {
  Environment environment;
  environment.clock = platform::Clock::system();
  environment.globalQueue = platform::DispatchQueue::global(platform::QoS::defaultQoS);
  environment.defaults = platform::UserDefaults::suite(kGroupId);
  return environment;
}

std::shared_ptr<platform::UserDefaults> DnsProxyExt::groupDefaults() {
  static const std::shared_ptr<platform::UserDefaults> suite = platform::UserDefaults::suite(kGroupId);
  return suite;
}

DnsProxyExt::DnsProxyExt() : DnsProxyExt(Environment::system()) {}

DnsProxyExt::DnsProxyExt(Environment environment)
    : clock_(environment.clock ? environment.clock : platform::Clock::system()),
      globalQueue_(environment.globalQueue ? environment.globalQueue : platform::DispatchQueue::global()),
      xpcUdpHelper_(environment.relay ? environment.relay : std::make_shared<XpcUdpHelper>()),
      flowManager_(clock_),
      defaults_(environment.defaults),
      mdm_(environment.mdm ? environment.mdm : &MDMConfigurationManager::shared()),
      resolverClientEnvironment_(environment.resolverClient) {
  auto config = std::make_shared<ResolverConfig>();
  config->filteringDNS = std::make_shared<Utils::DNSHost>(std::string(vardeno::defaults::kFilteringDNS) + ":81");
  config->secondDNS = std::make_shared<Utils::DNSHost>(std::string(vardeno::defaults::kSecondDNS) + ":53");
  config->localNetworkDNS = std::make_shared<Utils::DNSHost>(std::string(vardeno::defaults::kLocalNetworkDNS) + ":53");
  resolverConfig_ = std::move(config);
  whitelistedDomainsMap_ = std::make_shared<DomainMap>();
  NSLog("DNSProxyProvider1, init");
  xpcCommandListener = [](const std::string& text) { NSLog("DNSProxy got the command: " + platform::escapedText(text)); };
}

DnsProxyExt::~DnsProxyExt() {
  std::lock_guard lock(mutex_);
  if (delayedPolicyFetch_) delayedPolicyFetch_->cancel();
}

std::string DnsProxyExt::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  return std::string("<") + className() + ": " + address + ">";
}

// Logged and sent to the relay while logging is on: with VARDENO_LOG=off
// the road sends no line to the relay either.
void DnsProxyExt::logAndRelay(const std::string& line) {
  if (!platform::logEnabled()) return;
  NSLog(line);
  xpcUdpHelper_->printLogToFile(line);
}

// ---- start, stop, sleep, wake ----

void DnsProxyExt::startProxy(std::optional<nlohmann::json> options,
                             std::function<void(std::optional<platform::NEError>)> completionHandler) {
  NSLog("DNS Proxy Provider, startProxy, instance id: " + description());
  NSLog("startProxy,options:" + describeOptional(options));
  logAndRelay("startProxy,options - ttt:" + describeOptional(options));

  std::optional<nlohmann::json> vendorData;
  ConfDictionary macOSconfig;
  if (options && options->is_object() && options->contains("VendorData") && (*options)["VendorData"].is_object()) {
    vendorData = (*options)["VendorData"];
    NSLog("----vendor data----");
    macOSconfig = buildConfDictionary(*vendorData);
    if (defaults_) defaults_->set("mdmConf", *vendorData);
    NSLog("opts: " + describe(*vendorData));
    xpcUdpHelper_->printLogToFile("opts:" + describe(*vendorData));
  } else {
    NSLog("options(vendor data) are nil --> retrieving previous params from local storage");
    std::optional<nlohmann::json> stored;
    if (defaults_) stored = defaults_->dictionary("mdmConf");
    NSLog("retrieved options: " + describeOptional(stored));
  }

  DomainMap localDomainsMap = initLocalDomainsMap(macOSconfig);

  std::string userEmail = defaults_ ? defaults_->string("userEmail").value_or("") : "";
  NSLog("users email from Content Filter:  " + userEmail);
  if (!userEmail.empty()) {
    NSLog(macOSconfig.count("userEmail") ? "userEmail is not nil -> using userEmail from vendor"
                                         : "userEmail is nil -> using userEmail from local store");
  }

  mdm_->initConfigurationForMacOs(macOSconfig);

  std::string systemDns = "nil";
  if (auto settings = systemDNSSettings()) {
    systemDns = "Optional([";
    for (size_t i = 0; i < settings->size(); ++i) systemDns += (i ? ", " : "") + (*settings)[i].description();
    systemDns += "])";
  }
  NSLog("systemDNSSettings: " + systemDns);
  xpcUdpHelper_->printLogToFile("starting proxy - macos config:" + describe(macOSconfig));

  ResolverConfig current = resolverConfig();
  VendorSettings settings;
  {
    std::lock_guard lock(mutex_);
    settings.policyUDPServer = policyUDPServer_;
  }
  settings.shouldAllowAll = current.shouldAllowAll;
  settings.filteringDNS = current.filteringDNS;
  settings.secondDNS = current.secondDNS;
  settings.localNetworkDNS = current.localNetworkDNS;
  settings.allowedApps = current.allowedApps;
  initVendorSettings(settings, vendorData, macOSconfig);
  NSLog("initVendorSettings  - done");

  auto config = std::make_shared<ResolverConfig>(current);
  config->shouldAllowAll = settings.shouldAllowAll;
  config->filteringDNS = settings.filteringDNS;
  config->secondDNS = settings.secondDNS;
  config->localNetworkDNS = settings.localNetworkDNS;
  config->allowedApps = settings.allowedApps;
  config->localDomainsMap = std::move(localDomainsMap);

  std::shared_ptr<CapPortalHelper> capPortalHelper;
  if (!settings.captivePortalIps.empty()) {
    NSLog("Creating CapPortalHelper instance...");
    capPortalHelper = std::make_shared<CapPortalHelper>(settings.captivePortalIps);
  } else {
    NSLog("capportal ips is empty");
  }

  {
    std::lock_guard lock(mutex_);
    options_ = options;
    vendorData_ = vendorData;
    macOSconfig_ = macOSconfig;
    resolverConfig_ = std::move(config);
    policyUDPServer_ = settings.policyUDPServer;
    if (capPortalHelper) capPortalHelper_ = capPortalHelper;
  }

  NSLog("initLocalUdp");
  NSLog("initLocalUdp - macos");
  xpcUdpHelper_->connectToUDP(std::static_pointer_cast<DnsProxyExt>(shared_from_this()), std::nullopt,
                              std::nullopt, nullptr);
  xpcUdpHelper_->proxyStateWasUpdated("started");
  if (completionHandler) completionHandler(std::nullopt);
}

void DnsProxyExt::stopProxy(platform::NEProviderStopReason reason, std::function<void()> completionHandler) {
  NSLog("stopProxy, reason: " + platform::description(reason) + ", instance id - " + description());
  xpcUdpHelper_->printLogToFile("stopProxy, reason: " + platform::description(reason));
  std::shared_ptr<CapPortalHelper> capPortalHelper;
  {
    std::lock_guard lock(mutex_);
    // A stopped provider must not fetch 600 s later.
    if (delayedPolicyFetch_) delayedPolicyFetch_->cancel();
    delayedPolicyFetch_.reset();
    capPortalHelper = capPortalHelper_;
    if (printReportTimer_) printReportTimer_->cancel();
  }
  auto relayConnection = xpcUdpHelper_->connection();
  xpcUdpHelper_->proxyStateWasUpdated("stopped");
  xpcUdpHelper_->closeConnection();
  if (capPortalHelper) capPortalHelper->stopConnectivityListener();
  // The channel sends and closes on its own queue: wait (bounded) until it
  // has, so that a process exiting right after stop still sends "stopped".
  if (relayConnection) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < deadline) {
      const auto kind = relayConnection->state().kind;
      if (kind == platform::NWConnectionState::cancelled || kind == platform::NWConnectionState::failed) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (completionHandler) completionHandler();
}

void DnsProxyExt::sleep(std::function<void()> completionHandler) {
  logAndRelay("sleep proxy");
  if (completionHandler) completionHandler();
}

void DnsProxyExt::wake() { logAndRelay("wake proxy"); }

void DnsProxyExt::cfReceivedNewMessage(const std::string&) {}

void DnsProxyExt::receivedCommandFromApp(const XpcUdpCommand& msg) {
  if (msg.payload == "bypassAllOn") {
    bypassAll_.store(true);
    NSLog("Received command: bypassAllOn");
  } else if (msg.payload == "bypassAllOff") {
    bypassAll_.store(false);
    NSLog("Received command: bypassAllOff");
  } else {
    NSLog("unknown XpcUdp command");
  }
}

// ---- state views ----

std::map<std::string, DNSFlowReport> DnsProxyExt::dnsFlowsReports() const {
  return dnsFlowsReports_.snapshot();
}

DomainMap DnsProxyExt::whitelistedDomainsMap() const {
  std::lock_guard lock(mutex_);
  return *whitelistedDomainsMap_;
}

ResolverConfig DnsProxyExt::resolverConfig() const {
  std::lock_guard lock(mutex_);
  return *resolverConfig_;
}

ConfDictionary DnsProxyExt::macOSconfig() const {
  std::lock_guard lock(mutex_);
  return macOSconfig_;
}

std::shared_ptr<Utils::DNSHost> DnsProxyExt::policyUDPServer() const {
  std::lock_guard lock(mutex_);
  return policyUDPServer_;
}

// ---- settings report ----

void DnsProxyExt::printExtensionSettings() {
  std::optional<nlohmann::json> vendorData, options;
  ConfDictionary macOSconfig;
  std::shared_ptr<const ResolverConfig> config;
  {
    std::lock_guard lock(mutex_);
    vendorData = vendorData_;
    options = options_;
    macOSconfig = macOSconfig_;
    config = resolverConfig_;
  }
  std::string systemDns = "nil";
  if (auto settings = systemDNSSettings()) {
    systemDns = "Optional([";
    for (size_t i = 0; i < settings->size(); ++i) systemDns += (i ? ", " : "") + (*settings)[i].description();
    systemDns += "])";
  }
  const std::string lines[] = {
      "vendorData: " + describeOptional(vendorData),
      "options: " + describeOptional(options),
      "macosConfig options: " + describe(macOSconfig),
      "whitelistedApps: " + describe(config->allowedApps),
      "systemDnsSettings: " + systemDns,
  };
  for (const auto& line : lines) NSLog(line);
  xpcUdpHelper_->printLogToFile(lines[4]);
  for (int i = 0; i < 4; ++i) xpcUdpHelper_->printLogToFile(lines[i]);
  auto hostText = [](const std::shared_ptr<Utils::DNSHost>& host) {
    return host ? host->debugDescription() : std::string("nil");
  };
  xpcUdpHelper_->printLogToFile(
      "localNetworkDNS: " + (config->localNetworkDNS ? "Optional(" + config->localNetworkDNS->debugDescription() + ")"
                                                     : std::string("nil")) +
      ", filteringDNS: " + hostText(config->filteringDNS) + ", secondDNS:" + hostText(config->secondDNS));
}

}  // namespace dnsproxyext
