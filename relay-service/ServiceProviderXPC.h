#pragma once
// The object each XPC connection of the relay exports. Its methods log,
// except getPublicIpWithReply, which asks dig for the machine's public address.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/ProcessRunner.h"
#include "platform/xpc/XpcInterface.h"
#include "relay-service/ServiceProviderXPCProtocol.h"
#include "relay-service/XPCServiceDNSProxyProtocol.h"

namespace relay {

class ServiceProviderXPC : public platform::XpcExportedObject,
                           public ServiceProviderXPCProtocol,
                           public XPCServiceDNSProxyProtocol {
 public:
  using CommandRunner =
      std::function<platform::ProcessResult(const std::vector<std::string>&, const platform::ProcessOptions&)>;
  static constexpr std::chrono::seconds kLookupTimeLimit{30};

  explicit ServiceProviderXPC(CommandRunner runner = platform::runProcess,
                              std::chrono::milliseconds lookupTimeLimit = kLookupTimeLimit);

  // "/usr/bin/env dig +shor <name> @<resolver>"
  static std::vector<std::string> publicIpCommand();

  void getPublicIpWithReply(std::function<void(std::string)> reply) override;
  void sendDNSProxyCommandWithCommand(const std::string& command) override;
  void printAppLogToFileWithLog(const std::string& log) override;

  void printLogToFileWithLog(const std::string& log) override;
  void proxyStateWasUpdatedWithState(const std::string& state) override;
  void setAgentCommandListenerWithListener(std::function<void(std::string)> listener) override;

  void invoke(const std::string& selector, const nlohmann::json& arguments, platform::XpcReplyBlock reply) override;

  // Empty; nothing sets them.
  std::function<void(std::string)> dnsProxyCommandListener;
  std::function<void(std::string)> agentProxyResponseListener;

 private:
  const CommandRunner runner_;
  const std::chrono::milliseconds lookupTimeLimit_;
};

}  // namespace relay
