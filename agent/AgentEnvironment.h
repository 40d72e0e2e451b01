#pragma once
// The platform seams of the agent; members left empty take the real ones.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent/UDPLogger.h"
#include "agent/Utils.h"
#include "platform/networkextension/ContentFilterManager.h"
#include "platform/foundation/Defaults.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/networkextension/DnsProxyManager.h"
#include "platform/foundation/HttpTask.h"
#include "platform/foundation/OSVersion.h"
#include "platform/systemextensions/SystemExtensionManager.h"
#include "platform/foundation/SystemProbes.h"

namespace agent {

struct AgentEnvironment {
  // The main queue: every delay and completion of the agent runs here.
  std::shared_ptr<platform::DispatchQueue> mainQueue;
  // The process's command line, program path first.
  std::vector<std::string> arguments;
  std::optional<platform::OperatingSystemVersion> osVersion;
  std::shared_ptr<platform::OSSystemExtensionManager> extensionManager;
  // "The shared manager"; may give null.
  std::function<std::shared_ptr<platform::NEDNSProxyManager>()> dnsProxyManager;
  std::function<std::shared_ptr<platform::NEFilterManager>()> filterManager;
  std::shared_ptr<platform::HttpClient> http;
  std::shared_ptr<platform::SystemProbes> probes;
  Utils::SuiteOpener openSuite;
  std::shared_ptr<platform::UserDefaults> standardDefaults;
  std::function<void(int)> exit;
  std::shared_ptr<UDPLogger> udpLogger;
  // Empty: VARDENO_API_HOST, else the deployment constant.
  std::string apiHost;
};

}  // namespace agent
