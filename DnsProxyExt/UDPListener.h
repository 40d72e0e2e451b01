#pragma once
// A UDP listener type carried by the extension library and never created by
// the extension; the relay service has the working listener of the system.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/network/UdpConnection.h"
#include "platform/network/UdpListener.h"

namespace dnsproxyext {

class UDPListener {
 public:
  std::string xpcUser;
  std::shared_ptr<UDPListener> extUdpListener;
  std::string proxyStatus;
  std::map<std::string, bool> domains;
  std::shared_ptr<platform::UdpListener> listener;
  std::shared_ptr<platform::DispatchQueue> queue;
  // Published values of the observable object.
  std::optional<std::vector<uint8_t>> messageReceived;
  bool isReady = false;
  bool listening = false;
  std::shared_ptr<platform::UdpConnection> connection;
};

}  // namespace dnsproxyext
