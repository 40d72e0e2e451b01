#include "relay-service/ServiceProviderXPC.h"

#include "DefaultAddresses.h"
#include "platform/foundation/Log.h"
#include "relay-service/Utf8Text.h"

namespace relay {

ServiceProviderXPC::ServiceProviderXPC(CommandRunner runner, std::chrono::milliseconds lookupTimeLimit)
    : runner_(std::move(runner)), lookupTimeLimit_(lookupTimeLimit) {}

std::vector<std::string> ServiceProviderXPC::publicIpCommand() {
  return {"/usr/bin/env", "dig", "+shor", vardeno::defaults::kPublicIpName,
          std::string("@") + vardeno::defaults::kPublicIpResolver};
}

void ServiceProviderXPC::getPublicIpWithReply(std::function<void(std::string)> reply) {
  if (!reply) return;
  platform::ProcessOptions options;
  options.timeLimit = lookupTimeLimit_;
  options.maxOutput = 64 * 1024;
  platform::ProcessResult result = runner_(publicIpCommand(), options);
  // Every outcome replies, so a caller never waits for ever.
  if (!result.launched) {
    platform::NSLog("[ServiceProviderXPC] getPublicIp: dig could not be started: " + result.error);
    reply("");
  } else if (result.timedOut) {
    platform::NSLog("[ServiceProviderXPC] getPublicIp: dig timed out");
    reply("");
  } else if (!result.succeeded()) {
    platform::NSLog("[ServiceProviderXPC] getPublicIp: dig failed, status " + std::to_string(result.exitStatus));
    reply("");
  } else if (!isValidUtf8(result.output)) {
    platform::NSLog("[ServiceProviderXPC] getPublicIp: dig printed bytes that are not UTF-8");
    reply("");
  } else {
    reply(trimmedWhitespace(result.output));
  }
}

void ServiceProviderXPC::sendDNSProxyCommandWithCommand(const std::string& command) {
  platform::NSLog("sendDNSProxyCommand called: " + command);
}

void ServiceProviderXPC::printAppLogToFileWithLog(const std::string& log) {
  platform::NSLog("print app log to file called: " + log);
}

void ServiceProviderXPC::printLogToFileWithLog(const std::string& log) { platform::NSLog("log: " + log); }

void ServiceProviderXPC::proxyStateWasUpdatedWithState(const std::string& state) {
  platform::NSLog("proxyStateWasUpdated  called: " + state);
}

void ServiceProviderXPC::setAgentCommandListenerWithListener(std::function<void(std::string)>) {
  platform::NSLog("setAgentCommandListener  called");
}

void ServiceProviderXPC::invoke(const std::string& selector, const nlohmann::json& arguments,
                                platform::XpcReplyBlock reply) {
  // Only the exported protocol is reachable; the connection checked the arguments.
  if (selector == "getPublicIpWithReply:") {
    getPublicIpWithReply([reply](std::string address) {
      if (reply) reply(nlohmann::json::array({std::move(address)}));
    });
  } else if (selector == "sendDNSProxyCommandWithCommand:") {
    sendDNSProxyCommandWithCommand(arguments.at(0).get<std::string>());
  } else if (selector == "printAppLogToFileWithLog:") {
    printAppLogToFileWithLog(arguments.at(0).get<std::string>());
  }
}

}  // namespace relay
