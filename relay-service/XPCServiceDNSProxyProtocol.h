#pragma once
// The relay's second XPC protocol; implemented but never exported.
#include <functional>
#include <string>

namespace relay {

class XPCServiceDNSProxyProtocol {
 public:
  virtual ~XPCServiceDNSProxyProtocol() = default;
  virtual void printLogToFileWithLog(const std::string& log) = 0;
  virtual void proxyStateWasUpdatedWithState(const std::string& state) = 0;
  virtual void setAgentCommandListenerWithListener(std::function<void(std::string)> listener) = 0;
};

}  // namespace relay
