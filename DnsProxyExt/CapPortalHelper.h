#pragma once
// Captive-portal registration: a DNS query carrying option 65007 = "1",
// sent over UDP to port 81 of every portal address. The extension calls
// checkRegistration() per new flow (at most once per 241 s); the agent
// starts the path monitor, which registers on every path change and every
// 240 s while the path is satisfied.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DnsProxyExt/PolicyUDPClient.h"
#include "platform/foundation/Clock.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/network/PathMonitor.h"

namespace dnsproxyext {

// Sources that tests replace; empty members take the real ones.
struct CapPortalEnvironment {
  std::shared_ptr<platform::Clock> clock;
  std::shared_ptr<platform::PathMonitor> monitor;
  // The monitor's queue and the timer's; a new serial queue by default.
  std::shared_ptr<platform::DispatchQueue> monitorQueue;
  PolicyUDPClient::Environment udp;
  int64_t portalPort = 81;
  std::function<uint32_t()> random;
};

class CapPortalHelper {
 public:
  static constexpr const char* kLogTag = "[CapPortalHelper]:";
  static constexpr std::chrono::seconds kDoRegistrationEach{240};
  static constexpr int64_t kMinSecondsBetweenChecks = 241;
  static constexpr int64_t kPortalPort = 81;

  // One per address and registration.
  class UdpHandler : public PolicyUDPClient {
   public:
    explicit UdpHandler(std::vector<uint8_t> req, PolicyUDPClient::Environment environment = {});
  };

  using Environment = CapPortalEnvironment;

  explicit CapPortalHelper(std::vector<std::string> ips, Environment environment = {});
  ~CapPortalHelper();
  CapPortalHelper(const CapPortalHelper&) = delete;
  CapPortalHelper& operator=(const CapPortalHelper&) = delete;

  void checkRegistration();
  void startConnectivityListener();
  void startConnectivityListener(std::function<void(const platform::NWPath&)> connectivityDidChanged);
  // Final: no registration timer is created afterwards.
  void stopConnectivityListener();

  std::shared_ptr<platform::DispatchTimer> doRegistrationTimer() const;
  int64_t lastRegistrationTime() const;
  const std::vector<std::string>& ips() const;

  // The encoded registration query with the given id, before injection.
  static std::vector<uint8_t> registrationQuery(uint16_t id);

 private:
  class State;
  std::shared_ptr<State> state_;
};

}  // namespace dnsproxyext
