#pragma once
// An AppDelegate on a manual main queue with scripted platform pieces.
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/AppDelegate.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/networkextension/DnsProxyManager.h"
#include "platform/systemextensions/SystemExtensionManager.h"

namespace agenttest {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/agent-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct AgentFixture {
  explicit AgentFixture(std::vector<std::string> arguments = {"/bin/agent"}, std::string osVersion = "14.0") {
    proxy = std::make_shared<platform::NEDNSProxyManager>(dir.path() + "/dnsproxy.json", queue, queue);
    agent::AgentEnvironment env;
    env.mainQueue = queue;
    env.arguments = std::move(arguments);
    env.osVersion = platform::OperatingSystemVersion::parse(osVersion);
    env.extensionManager = std::make_shared<platform::OSSystemExtensionManager>(backend);
    auto p = proxy;
    env.dnsProxyManager = [p] { return p; };
    env.exit = [this](int status) { exits.push_back(status); };
    env.standardDefaults = std::make_shared<platform::UserDefaults>("standard", dir.path() + "/standard.json");
    env.apiHost = "http://127.0.0.1:9";
    env.udpLogger = std::make_shared<agent::UDPLogger>(platform::NWEndpoint{"127.0.0.1", 9});
    app = std::make_shared<agent::AppDelegate>(env);
    app->manager = proxy;
  }

  nlohmann::json savedFile() const {
    std::ifstream in(proxy->path());
    return nlohmann::json::parse(in, nullptr, false);
  }

  TempDir dir;
  std::shared_ptr<platform::ManualQueue> queue = std::make_shared<platform::ManualQueue>();
  std::shared_ptr<platform::ScriptedSystemExtensionBackend> backend =
      std::make_shared<platform::ScriptedSystemExtensionBackend>();
  std::shared_ptr<platform::NEDNSProxyManager> proxy;
  std::vector<int> exits;
  std::shared_ptr<agent::AppDelegate> app;
};

}  // namespace agenttest
