#pragma once
// The DNS proxy provider: start and stop, resolver choice per query, flow
// records, policy fetch and relay commands. Short sections of shared state
// are guarded by one mutex that is never held across I/O or logging.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "DnsProxyExt/DNSFlowReport.h"
#include "DnsProxyExt/FlowManager.h"
#include "DnsProxyExt/FlowReports.h"
#include "DnsProxyExt/ManagedFlow.h"
#include "DnsProxyExt/ProviderConfig.h"
#include "DnsProxyExt/ReportSettings.h"
#include "DnsProxyExt/ResolverChoice.h"
#include "DnsProxyExt/XpcUdpCommand.h"
#include "DnsProxyExt/XpcUdpHelper.h"
#include "dns/client/DNSSocketClient.h"
#include "dns/value/Message.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Defaults.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/networkextension/NetworkExtension.h"
#include "platform/network/UdpConnection.h"

namespace dnsproxyext {

class CapPortalHelper;
class MDMConfigurationManager;

class DnsProxyExt : public platform::NEDNSProxyProvider, public AppToExtDelegate {
 public:
  using FlowManager = dnsproxyext::FlowManager;
  using ManagedFlow = dnsproxyext::ManagedFlow;
  using ReportSettings = dnsproxyext::ReportSettings;
  using DNSFlowReport = dnsproxyext::DNSFlowReport;
  using Datagram = platform::Datagram;
  using FlowPtr = std::shared_ptr<platform::NEAppProxyUDPFlow>;

  static constexpr const char* kGroupId = "group.com.vardeno.ruzadevirozo";
  static constexpr double fetchPolicyEach = 600.0;
  // Least gap, in whole seconds, between two flow-triggered policy fetches.
  static constexpr int64_t kPolicyRefetchGap = 601;

  // What the provider needs from the outside world; tests replace them.
  struct Environment {
    std::shared_ptr<platform::Clock> clock;
    std::shared_ptr<platform::DispatchQueue> globalQueue;  // the delayed policy fetch
    std::shared_ptr<platform::UserDefaults> defaults;      // the application-group suite
    MDMConfigurationManager* mdm = nullptr;                // the option values; null: the shared one
    std::shared_ptr<XpcUdpHelper> relay;                   // the relay channel; null: a new one
    DnsToolsSocket::DNSSocketClient::Environment resolverClient;  // connections and answer deadline
    static Environment system();
  };

  // The application-group suite, opened once on first use; the provider
  // itself uses its own `defaults`.
  static std::shared_ptr<platform::UserDefaults> groupDefaults();

  DnsProxyExt();
  explicit DnsProxyExt(Environment environment);
  ~DnsProxyExt() override;

  void startProxy(std::optional<nlohmann::json> options,
                  std::function<void(std::optional<platform::NEError>)> completionHandler) override;
  void stopProxy(platform::NEProviderStopReason reason, std::function<void()> completionHandler) override;
  void sleep(std::function<void()> completionHandler) override;
  void wake() override;
  bool handleNewUDPFlow(FlowPtr flow, platform::NWHostEndpoint initialRemoteEndpoint) override;

  // Relay channel delegate.
  void cfReceivedNewMessage(const std::string& msg) override;
  void receivedCommandFromApp(const XpcUdpCommand& msg) override;

  // The query road.
  void readDatagrams(const FlowPtr& flow);
  virtual void connectToDNS(const FlowPtr& flow, std::optional<std::vector<Datagram>> data,
                            std::optional<std::vector<platform::NWHostEndpoint>> endpoints,
                            std::optional<platform::NEError> error);
  void handleInBoundDatagram(const FlowPtr& flow, std::optional<Datagram> datagram, bool isFinished,
                             std::optional<platform::NWHostEndpoint> endpoint,
                             std::optional<platform::NEError> error);
  std::optional<DnsToolsSocket::Message> decodeDNSRequest(std::span<const uint8_t> data, uint64_t flowHash);
  std::optional<DnsToolsSocket::Message> decodeDNSResponse(std::span<const uint8_t> data, uint64_t flowHash);

  // Policy fetch.
  virtual void startFetchingPolicy();
  virtual void fetchPolicy();
  void handlePolicyData(std::optional<std::vector<uint8_t>> data, std::optional<bool> isComplete,
                        std::optional<platform::NWError> error);
  void updateWhitelistedDomains(std::span<const uint8_t> policyResp);

  void printExtensionSettings();

  // "<DNSProxyProvider: 0x...>", as the platform describes an object.
  std::string description() const;

  // Not called by any part of the system.
  std::function<void(const std::string&)> xpcCommandListener;
  // Kept but not otherwise used.
  std::optional<std::vector<platform::NEDNSSettings>> mySystemDNSSettings;
  std::set<std::string> safeSearchDomains;

  // Read-only views for tests and reports.
  const FlowManager& flowManager() const { return flowManager_; }
  bool bypassAll() const { return bypassAll_.load(); }
  bool fetchingPolicyIsStarted() const { return fetchingPolicyIsStarted_.load(); }
  int64_t lastPolicyFetchTime() const { return lastPolicyFetchTime_.load(); }
  std::map<std::string, DNSFlowReport> dnsFlowsReports() const;
  DomainMap whitelistedDomainsMap() const;
  ResolverConfig resolverConfig() const;
  ConfDictionary macOSconfig() const;
  std::shared_ptr<Utils::DNSHost> policyUDPServer() const;

 protected:
  virtual const char* className() const { return "DnsProxyExt"; }
  // Writes a log line and sends it to the relay.
  void logAndRelay(const std::string& line);
  // The flow is done: marked handled, closed both ways, its timing record gone.
  void finishFlow(const FlowPtr& flow, const std::optional<platform::NEError>& error);
  // Each answer of the resolver client; hands it to handleInBoundDatagram.
  virtual void onResolverAnswer(const FlowPtr& flow, std::optional<Datagram> datagram,
                                std::optional<platform::NWHostEndpoint> endpoint, bool isFinished,
                                std::optional<platform::NWError> error);
  // The flow's timing record, replacing an earlier one.
  void storeFlowReport(const platform::NEAppProxyUDPFlow& flow, DNSFlowReport report);
  // Starts one resolver client for the read; ends the flow when it cannot.
  void sendToResolver(const FlowPtr& flow, const std::shared_ptr<Utils::DNSHost>& host,
                      std::vector<Datagram> datagrams, std::vector<platform::NWHostEndpoint> endpoints);

  std::shared_ptr<platform::Clock> clock_;
  std::shared_ptr<platform::DispatchQueue> globalQueue_;
  std::shared_ptr<XpcUdpHelper> xpcUdpHelper_;
  FlowManager flowManager_;
  std::shared_ptr<platform::UserDefaults> defaults_;
  MDMConfigurationManager* mdm_;
  DnsToolsSocket::DNSSocketClient::Environment resolverClientEnvironment_;

 private:
  // Writes of one flow's read still in flight, and whether its last answer came.
  struct WriteTracker {
    int pendingWrites = 0;
    bool finishRequested = false;
    std::optional<platform::NEError> error;
  };
  void writeDone(const FlowPtr& flow);
  // The groups of one read that went to several resolvers.
  struct ReadGroups;
  // Logs the choice for one group of a read and, for the filtering
  // resolver, injects the options into its datagrams.
  void prepareGroup(const FlowPtr& flow, const std::string& appId, const ResolverChoice& choice,
                    const std::optional<std::string>& domain, std::vector<Datagram>& datagrams);
  // `read`: the read's other groups, whose ends this client's end joins.
  void startResolverClient(const FlowPtr& flow, const std::shared_ptr<Utils::DNSHost>& host,
                           std::vector<Datagram> datagrams, std::vector<platform::NWHostEndpoint> endpoints,
                           std::shared_ptr<ReadGroups> read);
  // Writes one answer back; `answeredBy`, when given, is the resolver the
  // report line names.
  void answerBack(const FlowPtr& flow, std::optional<Datagram> datagram, bool isFinished,
                  std::optional<platform::NWHostEndpoint> endpoint, std::optional<platform::NEError> error,
                  std::optional<std::string> answeredBy);
  void requestFinish(const FlowPtr& flow, const std::optional<platform::NEError>& error);

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  std::optional<nlohmann::json> vendorData_;
  std::optional<nlohmann::json> options_;
  ConfDictionary macOSconfig_;
  std::shared_ptr<CapPortalHelper> capPortalHelper_;
  std::shared_ptr<const ResolverConfig> resolverConfig_;
  std::shared_ptr<const DomainMap> whitelistedDomainsMap_;
  std::shared_ptr<Utils::DNSHost> policyUDPServer_;
  std::shared_ptr<platform::DispatchWorkItem> delayedPolicyFetch_;
  std::shared_ptr<platform::DispatchTimer> printReportTimer_;  // never scheduled; cancelled on stop
  // By flow hash, in shards that the workers lock apart.
  struct WriteTrackers {
    std::mutex mutex;
    std::unordered_map<uint64_t, WriteTracker> byHash;
  };
  static constexpr size_t kWriteTrackerShards = 16;
  WriteTrackers& writeTrackersOf(uint64_t hash) { return writeTrackers_[hash % kWriteTrackerShards]; }
  std::array<WriteTrackers, kWriteTrackerShards> writeTrackers_;

  FlowReports dnsFlowsReports_;
  std::atomic<bool> bypassAll_{false};
  std::atomic<bool> fetchingPolicyIsStarted_{false};
  std::atomic<int64_t> lastPolicyFetchTime_{0};
};

}  // namespace dnsproxyext
