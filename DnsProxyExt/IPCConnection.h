#pragma once
// The delegate an XPC listener of the extension would have; nothing in the
// system creates it or a listener for it.
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/xpc/XpcConnection.h"
#include "platform/xpc/XpcInterface.h"
#include "platform/xpc/XpcListener.h"

namespace dnsproxyext {

// What the application side of such a connection would offer.
class AppCommunication {
 public:
  virtual ~AppCommunication() = default;
};

class IPCConnection : public platform::XpcListenerDelegate,
                      public platform::XpcExportedObject,
                      public std::enable_shared_from_this<IPCConnection> {
 public:
  // The provider side: "register:" and "changeExtStateWithNewState:".
  static platform::XpcInterface providerCommunication();

  bool shouldAcceptNewConnection(platform::XpcListener& listener,
                                 const std::shared_ptr<platform::XpcConnection>& connection) override;
  void invoke(const std::string& selector, const nlohmann::json& arguments, platform::XpcReplyBlock reply) override;

  std::shared_ptr<platform::XpcListener> listener;
  std::weak_ptr<AppCommunication> delegate;
  bool userIsLoggedIn = true;
  std::shared_ptr<platform::XpcConnection> currentConnection() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<platform::XpcConnection> currentConnection_;
};

}  // namespace dnsproxyext
