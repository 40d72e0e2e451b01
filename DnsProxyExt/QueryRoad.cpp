// The query road of DnsProxyExt: new flow, read, resolver choice, answers back.
#include <algorithm>
#include <cerrno>
#include <iterator>

#include "DnsProxyExt/CapPortalHelper.h"
#include "DnsProxyExt/DnsProxyExt.h"
#include "DnsProxyExt/MDMConfigurationManager.h"
#include "dns/client/DNSSocketClient.h"
#include "dns/client/DnsServerSettings.h"
#include "dns/value/MessageConstants.h"
#include "dns/object/DNSParser.h"
#include "platform/foundation/Log.h"

namespace dnsproxyext {



namespace {

constexpr const char* kReportMarker = "vardeno_osx_filter";
constexpr const char* kReportPrefix = "vardeno_osx_filter_";
constexpr const char* kForceCloseApp = "com.vardeno.dirsync.dirsync-app.DNS-proxy";

std::string optionalError(const std::optional<platform::NEError>& error) {
  return error ? "Optional(" + error->description + ")" : "nil";
}

std::string errorText(const std::optional<platform::NEError>& error) {
  return error ? error->description : "nil";
}

std::string optionalMessage(const std::optional<DnsToolsSocket::Message>& message) {
  return message ? "Optional(" + message->debugDescription() + ")" : "nil";
}

std::string endpointList(const std::vector<platform::NWHostEndpoint>& endpoints) {
  std::string out = "[";
  for (size_t i = 0; i < endpoints.size(); ++i) out += (i ? ", " : "") + endpoints[i].description();
  return out + "]";
}

std::string recordList(const std::vector<DnsToolsSocket::ResourceRecord>& records) {
  std::string out = "[";
  for (size_t i = 0; i < records.size(); ++i) out += (i ? ", " : "") + records[i].debugDescription();
  return out + "]";
}

std::string removeAll(std::string text, std::string_view what) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) text.erase(at, what.size());
  return text;
}

platform::NEError generalError(const platform::NWError& error) {
  return platform::NEError{error.code, "NWErrorDomain", error.description};
}

}  // namespace

// ---- new flow ----

bool DnsProxyExt::handleNewUDPFlow(FlowPtr flow, platform::NWHostEndpoint initialRemoteEndpoint) {
  const bool bypass = bypassAll_.load();
  VARDENO_LOG_LINE("[DnsProxyExt] handleNewUDPFlow, instance id - " + description());
  VARDENO_LOG_LINE(std::string("bypassAll = ") + platform::boolText(bypass));

  // One atomic check-and-set each, so that concurrent flows start one timer
  // and fetch once per gap.
  bool expected = false;
  if (fetchingPolicyIsStarted_.compare_exchange_strong(expected, true)) {
    startFetchingPolicy();
  } else {
    const int64_t now = static_cast<int64_t>(clock_->wallSeconds());
    int64_t last = lastPolicyFetchTime_.load();
    while (now - last >= kPolicyRefetchGap) {
      if (lastPolicyFetchTime_.compare_exchange_weak(last, now)) {
        fetchPolicy();
        break;
      }
    }
  }

  std::shared_ptr<CapPortalHelper> capPortalHelper;
  {
    std::lock_guard lock(mutex_);
    capPortalHelper = capPortalHelper_;
  }
  if (capPortalHelper) capPortalHelper->checkRegistration();

  if (bypass) return false;

  const uint64_t hash = flow->hash();
  const std::string hashText = std::to_string(hash);
  auto local = flow->localEndpoint();
  VARDENO_LOG_LINE("handleNewUDPFlow, hash = " + hashText + ",  flow = " + platform::escapedText(flow->description()) +
        ", isBound: " + platform::boolText(flow->isBound()) +
        ", localEndpoint: " + (local ? "Optional(" + local->description() + ")" : std::string("nil")) +
        ",ledb: " + (local ? "Optional(\"" + local->description() + "\")" : std::string("nil")) +
        ", remote: " + initialRemoteEndpoint.description());

  const bool known = flowManager_.addFlow(flow);
  platform::NWHostEndpoint localEndpoint{DnsToolsSocket::DnsServerSettings::hostUDP(),
                                         std::to_string(DnsToolsSocket::DnsServerSettings::portUDP())};

  if (!known) {
    auto self = std::static_pointer_cast<DnsProxyExt>(shared_from_this());
    flow->openWithLocalEndpoint(localEndpoint, [self, flow, hashText](std::optional<platform::NEError> error) {
      VARDENO_LOG_LINE("handleNewUDPFlow, opened flow, hash = " + hashText + " ");
      if (error) {
        VARDENO_LOG_LINE("error = ---> " + error->description + ", flowIsBound: " + platform::boolText(flow->isBound()) +
              ", networkInterface: " + platform::optionalText(flow->networkInterface()) +
              ", appId: " + platform::escapedText(flow->metaData().sourceAppSigningIdentifier));
        self->flowManager_.addErrorToFlow(*flow, 3);
      }
      VARDENO_LOG_LINE("handleNewUDPFlow, start read datagrams from new flow ");
      self->readDatagrams(flow);
    });
  } else {
    VARDENO_LOG_LINE("handleNewUDPFlow - old flow, hash = " + hashText);
    readDatagrams(flow);
  }
  return true;
}

// ---- read ----

void DnsProxyExt::readDatagrams(const FlowPtr& flow) {
  const std::string hashText = std::to_string(flow->hash());
  VARDENO_LOG_LINE("try readDatagrams, flowHash = " + hashText);
  auto self = std::static_pointer_cast<DnsProxyExt>(shared_from_this());
  flow->readDatagrams([self, flow, hashText](std::optional<std::vector<Datagram>> datagrams,
                                             std::optional<std::vector<platform::NWHostEndpoint>> endpoints,
                                             std::optional<platform::NEError> error) {
    VARDENO_LOG_LINE("reading readDatagrams flowHash = " + hashText);
    if (error) {
      VARDENO_LOG_LINE("read datagram, error = " + optionalError(error));
      self->flowManager_.addErrorToFlow(*flow, 5);
      // Nothing more comes from this flow; end it so its record is released.
      self->finishFlow(flow, error);
      return;
    }
    if (!datagrams) VARDENO_LOG_LINE("***data  is nil***");
    const std::string appId = flow->metaData().sourceAppSigningIdentifier;
    if (appId == kForceCloseApp) VARDENO_LOG_LINE("force close the flow, error!!!, hash = " + hashText);

    std::vector<Datagram> data = datagrams ? std::move(*datagrams) : std::vector<Datagram>{};
    std::vector<platform::NWHostEndpoint> eps =
        endpoints ? std::move(*endpoints) : std::vector<platform::NWHostEndpoint>{};
    if (data.size() >= 2) {
      VARDENO_LOG_LINE("readDatagrams ,data count = " + std::to_string(data.size()));
      VARDENO_LOG_LINE("readDatagrams ,data endpoints = " + std::to_string(eps.size()));
      VARDENO_LOG_LINE("readDatagrams ,data endpoints = " + endpointList(eps));
    }

    std::vector<std::optional<DnsToolsSocket::Message>> messages;
    messages.reserve(data.size());
    for (const auto& datagram : data) messages.push_back(self->decodeDNSRequest(datagram, flow->hash()));
    if (auto first = self->flowManager_.recordRead(*flow, data, std::move(messages))) {
      const std::string& domain = *first;
      VARDENO_LOG_LINE("question domain is: " + platform::optionalText(domain));
      if (domain.find(kReportMarker) != std::string::npos) {
        std::string params = removeAll(domain, kReportPrefix);
        // "..._tf_300_d." would otherwise end in the token "d.".
        if (!params.empty() && params.back() == '.') params.pop_back();
        ReportSettings settings = parseReportSettings(params);
        self->printExtensionSettings();
        self->flowManager_.printReport(settings);
      }
    }

    if (platform::logEnabled()) self->logAndRelay("readDatagrams hash = " + hashText + " ,app id = " + platform::escapedText(appId));

    if (eps.size() < data.size()) {
      // An answer can only go back toward the endpoint of its own query.
      VARDENO_LOG_LINE("readDatagrams, no endpoint for " + std::to_string(data.size() - eps.size()) +
            " datagrams, hash = " + hashText);
      data.resize(eps.size());
    }
    eps.resize(data.size());
    if (data.empty()) {
      VARDENO_LOG_LINE("close read, flowHash = " + hashText);
      self->finishFlow(flow, std::nullopt);
      return;
    }
    self->connectToDNS(flow, std::move(data), std::move(eps), std::nullopt);
  });
}

// ---- resolver choice ----

namespace {

// The datagrams of a read that made one choice, with their endpoints.
struct ResolverGroup {
  ResolverChoice choice;
  std::optional<std::string> domain;  // of the group's first datagram as decoded, for the log
  std::vector<platform::Datagram> datagrams;
  std::vector<platform::NWHostEndpoint> endpoints;
};

bool sameResolver(const ResolverChoice& a, const ResolverChoice& b) {
  if (a.rule != b.rule) return false;
  if (!a.host || !b.host) return a.host == b.host;
  return a.host->address == b.host->address && a.host->port == b.host->port;
}

bool usableResolver(const std::shared_ptr<Utils::DNSHost>& host) {
  return host && host->port >= 0 && host->port <= 65535;
}

// The query domain of a datagram that decodes, as the log lines print it.
std::optional<std::string> decodedQueryDomain(std::span<const uint8_t> datagram) {
  try {
    auto message = DnsToolsSocket::Message::deserialize(datagram);
    if (!message.questions.empty()) return queryDomainFromName(message.questions.front().name);
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

std::string hostPortText(const std::shared_ptr<Utils::DNSHost>& host) {
  return host ? host->address + ":" + std::to_string(host->port) : std::string("nil");
}

}  // namespace

// A read split over several resolvers: it ends with the last answer of its
// last group, closing with the first error any group ended with.
struct DnsProxyExt::ReadGroups {
  std::mutex mutex;
  size_t open = 0;
  std::optional<platform::NWError> error;
};

void DnsProxyExt::connectToDNS(const FlowPtr& flow, std::optional<std::vector<Datagram>> data,
                               std::optional<std::vector<platform::NWHostEndpoint>> endpoints,
                               std::optional<platform::NEError>) {
  std::shared_ptr<const ResolverConfig> config;
  std::shared_ptr<const DomainMap> whitelisted;
  {
    std::lock_guard lock(mutex_);
    config = resolverConfig_;
    whitelisted = whitelistedDomainsMap_;
  }
  const std::string appId = flow->metaData().sourceAppSigningIdentifier;
  std::vector<Datagram> datagrams = data ? std::move(*data) : std::vector<Datagram>{};
  std::vector<platform::NWHostEndpoint> eps =
      endpoints ? std::move(*endpoints) : std::vector<platform::NWHostEndpoint>{};

  // `domain` as the log lines print it, decoded only for them; the choice
  // also finds the domain of a query the value codec refuses.
  std::optional<std::string> domain;
  std::optional<std::string> lookupDomain;
  const bool logging = platform::logEnabled();
  if (!datagrams.empty()) {
    if (logging) {
      auto msg = decodeDNSRequest(datagrams.front(), flow->hash());
      VARDENO_LOG_LINE("datagram count = " + std::to_string(datagrams.size()));
      VARDENO_LOG_LINE("msg: " + optionalMessage(msg));
      if (msg && !msg->questions.empty()) domain = queryDomainFromName(msg->questions.front().name);
    }
    lookupDomain = queryDomainOfDatagram(datagrams.front());
  }
  ResolverChoice first = chooseResolver(*config, *whitelisted, appId, lookupDomain.value_or(""));
  VARDENO_LOG_LINE(std::string("shouldAllowAll = ") + platform::boolText(config->shouldAllowAll) +
        ", useSecondDNS = " + platform::boolText(first.useSecondDNS) + ", app = " + platform::escapedText(appId) +
        ", allowedApps = " + describe(config->allowedApps));

  if (eps.size() < datagrams.size()) {
    // An answer can only go back toward the endpoint of its own query.
    VARDENO_LOG_LINE("connectToDNS, no endpoint for " + std::to_string(datagrams.size() - eps.size()) +
          " datagrams, hash = " + std::to_string(flow->hash()));
    datagrams.resize(eps.size());
  }
  eps.resize(datagrams.size());
  if (datagrams.empty()) {
    finishFlow(flow, std::nullopt);
    return;
  }

  // Each datagram is sent where its own first question leads; the
  // application rules hold for the whole read.
  std::vector<ResolverGroup> groups;
  groups.push_back(ResolverGroup{first, domain, {}, {}});
  const bool byApplication = first.rule == ResolverRule::localNetwork || first.rule == ResolverRule::secondDNS;
  for (size_t i = 0; i < datagrams.size(); ++i) {
    ResolverGroup* group = &groups.front();
    if (i > 0 && !byApplication) {
      ResolverChoice choice =
          chooseResolver(*config, *whitelisted, appId, queryDomainOfDatagram(datagrams[i]).value_or(""));
      auto it = std::find_if(groups.begin(), groups.end(),
                             [&](const ResolverGroup& g) { return sameResolver(g.choice, choice); });
      if (it == groups.end()) {
        groups.push_back(ResolverGroup{std::move(choice),
                                       logging ? decodedQueryDomain(datagrams[i]) : std::nullopt, {}, {}});
        it = std::prev(groups.end());
      }
      group = &*it;
    }
    group->datagrams.push_back(std::move(datagrams[i]));
    group->endpoints.push_back(std::move(eps[i]));
  }

  for (auto& group : groups) prepareGroup(flow, appId, group.choice, group.domain, group.datagrams);

  const int64_t now = clock_->monotonicNanos();
  const auto& firstHost = groups.front().choice.host;
  if (groups.size() == 1) {
    DNSFlowReport report{now, now, now, std::nullopt,
                         firstHost ? std::optional<std::string>(firstHost->address) : std::nullopt};
    VARDENO_LOG_LINE("dnshost address = " + platform::optionalText(report.dnsServer));
    storeFlowReport(*flow, report);
    sendToResolver(flow, firstHost, std::move(groups.front().datagrams), std::move(groups.front().endpoints));
    return;
  }

  // A group whose resolver cannot be used ends at once, with its error.
  auto read = std::make_shared<ReadGroups>();
  for (const auto& group : groups) {
    if (usableResolver(group.choice.host)) {
      ++read->open;
    } else {
      const std::string text = group.choice.host ? group.choice.host->debugDescription() : std::string("nil");
      VARDENO_LOG_LINE("connectToDNS, unusable resolver " + text + ", hash = " + std::to_string(flow->hash()));
      if (!read->error) {
        read->error = platform::NWError::posix(EINVAL);
        read->error->description = "unusable resolver " + text;
      }
    }
  }
  if (read->open == 0) {
    finishFlow(flow, generalError(*read->error));
    return;
  }
  bool stored = false;
  for (auto& group : groups) {
    const auto& host = group.choice.host;
    if (!usableResolver(host)) continue;
    VARDENO_LOG_LINE("dnshost address = " + platform::optionalText(host->address));
    if (!stored) {
      // One timing record for the read; its first answer prints and removes it.
      storeFlowReport(*flow, DNSFlowReport{now, now, now, std::nullopt, host->address});
      stored = true;
    }
    startResolverClient(flow, host, std::move(group.datagrams), std::move(group.endpoints), read);
  }
}

void DnsProxyExt::prepareGroup(const FlowPtr& flow, const std::string& appId, const ResolverChoice& choice,
                               const std::optional<std::string>& domain, std::vector<Datagram>& datagrams) {
  const auto& host = choice.host;
  const std::string hostText = hostPortText(host);
  switch (choice.rule) {
    case ResolverRule::localNetwork:
      if (platform::logEnabled()) logAndRelay("connect to local network  DNS using " + host->address);
      break;
    case ResolverRule::secondDNS:
      if (platform::logEnabled()) logAndRelay("connect to 3th part DNS using " + (host ? host->address : std::string("nil")));
      break;
    case ResolverRule::localDomain:
      VARDENO_LOG_LINE("Mapped to use local DNS server - > connect to local  " + hostText + ", q: " +
            platform::optionalText(domain));
      break;
    case ResolverRule::whitelistedDomain:
      VARDENO_LOG_LINE("Mapped to use whitelisted DNS server - > connect to DNS  " + hostText + ", q: " +
            platform::optionalText(domain));
      break;
    case ResolverRule::filtering: {
      auto values = mdm_->getValuesForInject(appId).value_or(MDMConfigurationManager::OptionValues{});
      const auto millis = static_cast<int64_t>(clock_->wallSeconds() * 1000.0);
      values["65015"] = std::to_string(millis);
      if (platform::logEnabled()) logAndRelay("values for inject = " + describe(values));
      std::vector<Datagram> injected;
      try {
        injected = DnsObjects::DNSParser::injectFlagsToDatagrams(datagrams, values);
      } catch (const std::exception& e) {
        VARDENO_LOG_LINE(std::string("injectFlagsToDatagrams failed: ") + e.what());
      }
      // A datagram the injection could not rewrite goes on as read.
      if (injected.size() == datagrams.size()) {
        datagrams = std::move(injected);
      } else {
        VARDENO_LOG_LINE("injection returned " + std::to_string(injected.size()) + " datagrams for " +
              std::to_string(datagrams.size()) + ", forwarding them as read");
      }
      if (!datagrams.empty() && platform::logEnabled()) decodeDNSRequest(datagrams.front(), flow->hash());
      if (platform::logEnabled()) logAndRelay("connect to DNS using Vardeno DNS (" + hostText + ", q: " + platform::optionalText(domain));
      break;
    }
  }
}

void DnsProxyExt::storeFlowReport(const platform::NEAppProxyUDPFlow& flow, DNSFlowReport report) {
  dnsFlowsReports_.store(flow.hash(), std::move(report));
}

void DnsProxyExt::onResolverAnswer(const FlowPtr& flow, std::optional<Datagram> datagram,
                                   std::optional<platform::NWHostEndpoint> endpoint, bool isFinished,
                                   std::optional<platform::NWError> error) {
  std::optional<platform::NEError> general;
  if (error) general = generalError(*error);
  handleInBoundDatagram(flow, std::move(datagram), isFinished, std::move(endpoint), std::move(general));
}

void DnsProxyExt::sendToResolver(const FlowPtr& flow, const std::shared_ptr<Utils::DNSHost>& host,
                                 std::vector<Datagram> datagrams, std::vector<platform::NWHostEndpoint> endpoints) {
  if (!usableResolver(host)) {
    const std::string text = host ? host->debugDescription() : std::string("nil");
    VARDENO_LOG_LINE("connectToDNS, unusable resolver " + text + ", hash = " + std::to_string(flow->hash()));
    finishFlow(flow, platform::NEError{platform::NEAppProxyFlowErrorInvalidArgument, platform::kNEAppProxyErrorDomain,
                                       "unusable resolver " + text});
    return;
  }
  startResolverClient(flow, host, std::move(datagrams), std::move(endpoints), nullptr);
}

void DnsProxyExt::startResolverClient(const FlowPtr& flow, const std::shared_ptr<Utils::DNSHost>& host,
                                      std::vector<Datagram> datagrams, std::vector<platform::NWHostEndpoint> endpoints,
                                      std::shared_ptr<ReadGroups> read) {
  auto client = std::make_shared<DnsToolsSocket::DNSSocketClient>(flow, std::move(datagrams), std::move(endpoints),
                                                                  resolverClientEnvironment_);
  // The client holds the provider until the read ends (an answer or the
  // client's deadline), so a provider stopped meanwhile still writes the
  // answers of the flows it has read.
  auto self = std::static_pointer_cast<DnsProxyExt>(shared_from_this());
  if (!read) {
    client->onDataReceived = [self](FlowPtr answered, std::optional<Datagram> datagram,
                                    std::optional<platform::NWHostEndpoint> endpoint, std::optional<bool> isFinished,
                                    std::optional<platform::NWError> error) {
      self->onResolverAnswer(answered, std::move(datagram), std::move(endpoint), isFinished.value_or(false),
                             std::move(error));
    };
  } else {
    client->onDataReceived = [self, read, server = host->address](
                                 FlowPtr answered, std::optional<Datagram> datagram,
                                 std::optional<platform::NWHostEndpoint> endpoint, std::optional<bool> isFinished,
                                 std::optional<platform::NWError> error) {
      bool last = false;
      if (isFinished.value_or(false)) {
        std::lock_guard lock(read->mutex);
        if (error && !read->error) read->error = error;
        last = --read->open == 0;
        if (last && !error) error = read->error;
      }
      // A group that ends before the others only hands on its answer; its
      // error waits for the read's end.
      if (isFinished.value_or(false) && !last) {
        if (!datagram) return;
        error.reset();
      }
      std::optional<platform::NEError> general;
      if (error) general = generalError(*error);
      self->answerBack(answered, std::move(datagram), last, std::move(endpoint), std::move(general), server);
    };
  }
  client->connectWithDNS(host->address, static_cast<int>(host->port));
}

// ---- answers back ----

void DnsProxyExt::handleInBoundDatagram(const FlowPtr& flow, std::optional<Datagram> datagram, bool isFinished,
                                        std::optional<platform::NWHostEndpoint> endpoint,
                                        std::optional<platform::NEError> error) {
  answerBack(flow, std::move(datagram), isFinished, std::move(endpoint), std::move(error), std::nullopt);
}

void DnsProxyExt::answerBack(const FlowPtr& flow, std::optional<Datagram> datagram, bool isFinished,
                             std::optional<platform::NWHostEndpoint> endpoint, std::optional<platform::NEError> error,
                             std::optional<std::string> answeredBy) {
  const uint64_t hash = flow->hash();
  const std::string hashText = std::to_string(hash);
  VARDENO_LOG_LINE("handleInBoundDatagram,hash = " + hashText + ", isFinish = " + platform::boolText(isFinished) +
        ", error = " + optionalError(error));

  // The keys are listed before the first answer takes the flow's timing
  // record, so only that answer prints the line.
  if (platform::logEnabled()) VARDENO_LOG_LINE("flow reports: " + dnsFlowsReports_.keysText());
  std::optional<DNSFlowReport> report;
  if (datagram) report = dnsFlowsReports_.take(hash);
  if (report) {
    report->endTimestamp = clock_->monotonicNanos();
    if (answeredBy) report->dnsServer = std::move(answeredBy);
  }

  if (error) flowManager_.addErrorToFlow(*flow, 1);

  if (!datagram) {
    VARDENO_LOG_LINE("handleInBoundDatagram, data == nil,hash = " + hashText);
    if (isFinished) {
      VARDENO_LOG_LINE("handleInBoundDatagram, closing read/write,hash = " + hashText);
      // The read ended without this answer: nothing is written, the flow ends.
      requestFinish(flow, error);
    }
    return;
  }

  // The decode feeds log lines alone: without a log there is nothing to decode for.
  auto message = platform::logEnabled() ? decodeDNSResponse(*datagram, hash) : std::nullopt;
  std::optional<std::string> url;
  if (message && !message->answers.empty()) {
    if (!message->questions.empty() && message->questions.front().type == DnsToolsSocket::ResourceRecordType::HTTPSSVC)
      VARDENO_LOG_LINE("=== ignore HTTPSSVC ===");
    url = message->answers.front().name();
    if (report) report->url = url;
    if (auto* host = message->answers.front().as<DnsToolsSocket::HostRecord<DnsToolsSocket::IPv4>>())
      VARDENO_LOG_LINE("ip.presentationString - " + host->ip.presentation());
    VARDENO_LOG_LINE("handleInBoundDatagram,hash = " + hashText + ", url = " + platform::optionalText(url));
  } else if (message) {
    VARDENO_LOG_LINE("handleInBoundDatagram,hash = " + hashText + ", url = <answers arr is empty>");
  } else {
    VARDENO_LOG_LINE("handleInBoundDatagram,hash = " + hashText + ", decode response returned nil");
  }
  VARDENO_LOG_LINE("handleInBoundDatagram -> starting write datagrams,hash = " + hashText);
  // The resolver's bytes go back unchanged; the decode is only for the log.
  if (message) VARDENO_LOG_LINE("modified msg = " + message->debugDescription());

  if (report) {
    const double ms = static_cast<double>(report->endTimestamp.value_or(0) - report->startTimestamp.value_or(0)) /
                      1'000'000.0;
    VARDENO_LOG_LINE("[DNS REQ FLOW] - took: " + platform::valueDescription(ms) + "msec, domain:" +
          platform::optionalText(report->url) + ", dnsServer:" + platform::optionalText(report->dnsServer) +
          ", hash - " + hashText + ", additional: " + (message ? recordList(message->answers) : std::string("[]")));
  }

  if (!endpoint) {
    VARDENO_LOG_LINE("handleInBoundDatagram, no endpoint for the answer, hash = " + hashText);
    if (isFinished) requestFinish(flow, error);
    return;
  }

  {
    auto& trackers = writeTrackersOf(hash);
    std::lock_guard lock(trackers.mutex);
    WriteTracker& tracker = trackers.byHash[hash];
    ++tracker.pendingWrites;
    if (isFinished) {
      tracker.finishRequested = true;
      tracker.error = error;
    }
  }
  auto self = std::static_pointer_cast<DnsProxyExt>(shared_from_this());
  flow->writeDatagrams({std::move(*datagram)}, {std::move(*endpoint)},
                       [self, flow, hashText](std::optional<platform::NEError> writeError) {
                         VARDENO_LOG_LINE("handleInBoundDatagram -> write datagrams, hash  = " + hashText +
                               ", hasError = " + platform::boolText(writeError.has_value()));
                         if (writeError) self->flowManager_.addErrorToFlow(*flow, 0);
                         self->writeDone(flow);
                       });
  if (isFinished) VARDENO_LOG_LINE("handleInBoundDatagram, closing read/write,hash = " + hashText);
}

void DnsProxyExt::writeDone(const FlowPtr& flow) {
  std::optional<platform::NEError> error;
  {
    auto& trackers = writeTrackersOf(flow->hash());
    std::lock_guard lock(trackers.mutex);
    auto it = trackers.byHash.find(flow->hash());
    if (it == trackers.byHash.end()) return;
    if (--it->second.pendingWrites > 0 || !it->second.finishRequested) return;
    error = it->second.error;
  }
  finishFlow(flow, error);
}

void DnsProxyExt::requestFinish(const FlowPtr& flow, const std::optional<platform::NEError>& error) {
  {
    auto& trackers = writeTrackersOf(flow->hash());
    std::lock_guard lock(trackers.mutex);
    auto it = trackers.byHash.find(flow->hash());
    if (it != trackers.byHash.end() && it->second.pendingWrites > 0) {
      // Closed when the last write in flight completes.
      it->second.finishRequested = true;
      it->second.error = error;
      return;
    }
  }
  finishFlow(flow, error);
}

void DnsProxyExt::finishFlow(const FlowPtr& flow, const std::optional<platform::NEError>& error) {
  {
    auto& trackers = writeTrackersOf(flow->hash());
    std::lock_guard lock(trackers.mutex);
    trackers.byHash.erase(flow->hash());
  }
  dnsFlowsReports_.erase(flow->hash());
  flowManager_.flowWasHandled(*flow, errorText(error));
  flow->closeReadWithError(error);
  flow->closeWriteWithError(error);
}

// ---- decoding for the log ----

namespace {

std::optional<DnsToolsSocket::Message> decodeForLog(std::span<const uint8_t> data, const char* word) {
  try {
    DnsToolsSocket::Message message = DnsToolsSocket::Message::deserialize(data);
    VARDENO_LOG_LINE(std::string("decode ") + word + ":" + message.debugDescription());
    if (!message.answers.empty()) {
      const auto& answer = message.answers.front();
      VARDENO_LOG_LINE("DNS response,  answers count: " + std::to_string(message.answers.size()) +
            ", ttl = " + std::to_string(answer.ttl()) + ", name = " + platform::escapedText(answer.name()));
      // A response with answers but no question has no type to print.
      if (!message.questions.empty()) {
        const uint16_t type = message.questions.front().type;
        VARDENO_LOG_LINE("Response: rawType = " + std::to_string(type) + ", debugDesc = " +
              std::string(DnsToolsSocket::debugDescription(type)));
      }
      for (const auto& question : message.questions) {
        VARDENO_LOG_LINE("Question: rawType = " + std::to_string(question.type) + ", debugDesc = " +
              platform::escapedText(question.name) + ",");
      }
    }
    return message;
  } catch (const std::exception&) {
    VARDENO_LOG_LINE("decodeDNSResponse error");
    return std::nullopt;
  }
}

}  // namespace

std::optional<DnsToolsSocket::Message> DnsProxyExt::decodeDNSRequest(std::span<const uint8_t> data,
                                                                     uint64_t flowHash) {
  VARDENO_LOG_LINE("---decodeDNSRequest---,data size = " + std::to_string(data.size()) + ", hashFlow:" +
        std::to_string(flowHash));
  return decodeForLog(data, "request");
}

std::optional<DnsToolsSocket::Message> DnsProxyExt::decodeDNSResponse(std::span<const uint8_t> data,
                                                                      uint64_t flowHash) {
  VARDENO_LOG_LINE("***decodeDNSResponse***,data size = " + std::to_string(data.size()) + ", flowHash:" +
        std::to_string(flowHash));
  return decodeForLog(data, "response");
}

}  // namespace dnsproxyext
