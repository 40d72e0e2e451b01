#pragma once
// Accepts every connection to the relay's mach service and exports a new
// ServiceProviderXPC on it.
#include <memory>

#include "platform/xpc/XpcListener.h"

namespace relay {

// The application group's identifier.
inline constexpr const char* kMachServiceName = "group.com.vardeno.ruzadevirozo";

class ServiceDelegate : public platform::XpcListenerDelegate {
 public:
  bool shouldAcceptNewConnection(platform::XpcListener& listener,
                                 const std::shared_ptr<platform::XpcConnection>& connection) override;
};

}  // namespace relay
