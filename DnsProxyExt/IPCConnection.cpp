#include "DnsProxyExt/IPCConnection.h"

#include "platform/foundation/Log.h"

namespace dnsproxyext {

platform::XpcInterface IPCConnection::providerCommunication() {
  using platform::XpcArgument;
  return platform::XpcInterface{"ProviderCommunication",
                                {{"register:", {XpcArgument::replyBlock}},
                                 {"changeExtStateWithNewState:", {XpcArgument::text}}}};
}

bool IPCConnection::shouldAcceptNewConnection(platform::XpcListener&,
                                              const std::shared_ptr<platform::XpcConnection>& connection) {
  connection->setExportedInterface(providerCommunication());
  connection->setExportedObject(shared_from_this());
  {
    std::lock_guard lock(mutex_);
    currentConnection_ = connection;
  }
  connection->resume();
  return true;
}

void IPCConnection::invoke(const std::string& selector, const nlohmann::json&, platform::XpcReplyBlock reply) {
  if (selector == "register:") {
    platform::NSLog("App registered");
    if (reply) reply(nlohmann::json::array({true}));
  }
  // "changeExtStateWithNewState:" does nothing.
}

std::shared_ptr<platform::XpcConnection> IPCConnection::currentConnection() const {
  std::lock_guard lock(mutex_);
  // A connection the peer closed is no longer current.
  if (currentConnection_ && !currentConnection_->isValid()) return nullptr;
  return currentConnection_;
}

}  // namespace dnsproxyext
