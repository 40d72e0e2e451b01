// The relay service: two UDP listeners and the XPC mach service, then the
// main queue for ever.
#include <signal.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/Log.h"
#include "platform/xpc/XpcListener.h"
#include "relay-service/RelayPorts.h"
#include "relay-service/ServiceDelegate.h"
#include "relay-service/UDPListener.h"

namespace {

uint16_t portOrExit(const char* variable, uint16_t fallback) {
  const char* value = std::getenv(variable);
  auto port = relay::portSetting(value, fallback);
  if (!port) {
    platform::NSLog(std::string("VardenoXPCservice: ") + variable + " is not a port number: " + value);
    platform::flushLog();
    std::exit(2);
  }
  return *port;
}

}  // namespace

int main() {
  ::signal(SIGPIPE, SIG_IGN);
  const uint16_t extensionPort = portOrExit(relay::kExtensionPortVariable, relay::kExtensionPort);
  const uint16_t agentPort = portOrExit(relay::kAgentPortVariable, relay::kAgentPort);

  // Kept for the life of the process.
  static auto flusher = std::make_shared<relay::CacheFlusher>(relay::UDPListener::systemCacheFlush());
  static auto extensionListener = std::make_shared<relay::UDPListener>(flusher);
  static auto agentListener = std::make_shared<relay::UDPListener>(flusher);
  agentListener->setExtUdpListener(extensionListener);
  extensionListener->start(extensionPort);
  agentListener->start(agentPort);
  // A port left to the system (setting 0) is told, so that peers can be pointed at it.
  if (extensionPort == 0 || agentPort == 0)
    platform::NSLog("listening on extension port " + std::to_string(extensionListener->port()) + ", agent port " +
                    std::to_string(agentListener->port()));
  platform::NSLog("*** XPC and UDP started_ ***");

  static auto xpcListener = platform::XpcListener::machService(relay::kMachServiceName);
  static auto delegate = std::make_shared<relay::ServiceDelegate>();
  xpcListener->setDelegate(delegate);
  xpcListener->resume();
  platform::NSLog("*** XPC listener resumed ***");

  platform::dispatchMain();
}
