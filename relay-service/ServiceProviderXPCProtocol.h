#pragma once
// The relay's exported XPC protocol.
#include <functional>
#include <string>

#include "platform/xpc/XpcInterface.h"

namespace relay {

class ServiceProviderXPCProtocol {
 public:
  virtual ~ServiceProviderXPCProtocol() = default;
  virtual void getPublicIpWithReply(std::function<void(std::string)> reply) = 0;
  virtual void sendDNSProxyCommandWithCommand(const std::string& command) = 0;
  virtual void printAppLogToFileWithLog(const std::string& log) = 0;

  // The methods by selector, as a connection exports them.
  static platform::XpcInterface interface() {
    using platform::XpcArgument;
    return platform::XpcInterface{"ServiceProviderXPCProtocol",
                                  {{"getPublicIpWithReply:", {XpcArgument::replyBlock}},
                                   {"sendDNSProxyCommandWithCommand:", {XpcArgument::text}},
                                   {"printAppLogToFileWithLog:", {XpcArgument::text}}}};
  }
};

}  // namespace relay
