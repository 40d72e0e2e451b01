#include "relay-service/ServiceDelegate.h"

#include "platform/foundation/Log.h"
#include "relay-service/ServiceProviderXPC.h"

namespace relay {

bool ServiceDelegate::shouldAcceptNewConnection(platform::XpcListener&,
                                                const std::shared_ptr<platform::XpcConnection>& connection) {
  platform::NSLog("attempt to do new connection");
  connection->setExportedInterface(ServiceProviderXPCProtocol::interface());
  connection->setExportedObject(std::make_shared<ServiceProviderXPC>());
  connection->resume();
  return true;
}

}  // namespace relay
