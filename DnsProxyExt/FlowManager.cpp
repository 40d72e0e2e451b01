#include "DnsProxyExt/FlowManager.h"

#include "DnsProxyExt/ReportSettings.h"
#include "platform/foundation/Log.h"

namespace dnsproxyext {

namespace {

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

FlowManager::FlowManager(std::shared_ptr<platform::Clock> clock) : clock_(std::move(clock)) {}

bool FlowManager::addFlow(const std::shared_ptr<platform::NEAppProxyUDPFlow>& flow) {
  size_t count;
  bool known;
  {
    std::lock_guard lock(mutex_);
    count = flows_.size();
    known = flows_.count(flow->hash()) != 0;
    if (!known) flows_.emplace(flow->hash(), Entry{std::make_shared<ManagedFlow>(flow, clock_->wallSeconds()), {}});
  }
  platform::NSLog("flows count = " + std::to_string(count));
  return known;
}

void FlowManager::flowWasHandled(const platform::NEAppProxyUDPFlow& flow, std::string_view text) {
  bool found = false;
  std::vector<std::shared_ptr<ManagedFlow>> evicted;  // destroyed after the lock
  {
    std::lock_guard lock(mutex_);
    auto it = flows_.find(flow.hash());
    if (it != flows_.end()) {
      found = true;
      Entry& entry = it->second;
      ManagedFlow& record = *entry.flow;
      record.addError(std::string(text));
      record.endTimestamp = clock_->wallSeconds();
      record.isFinished = true;
      if (entry.handledPosition) {
        handledOrder_.erase(*entry.handledPosition);
        handledBytes_ -= entry.bytes;
      }
      entry.handledPosition = handledOrder_.insert(handledOrder_.end(), it->first);
      entry.bytes = record.approximateBytes();
      handledBytes_ += entry.bytes;
      while (handledOrder_.size() > kMaxHandledRecords ||
             (handledBytes_ > kMaxHandledBytes && handledOrder_.size() > 1)) {
        auto oldest = flows_.find(handledOrder_.front());
        handledBytes_ -= oldest->second.bytes;
        evicted.push_back(std::move(oldest->second.flow));
        flows_.erase(oldest);
        handledOrder_.pop_front();
      }
    }
  }
  if (!found) platform::NSLog("***Critical: FlowManager -> flowWasHandled is nil");
}

void FlowManager::addErrorToFlow(const platform::NEAppProxyUDPFlow& flow, int code) {
  bool found = false;
  {
    std::lock_guard lock(mutex_);
    auto it = flows_.find(flow.hash());
    if (it != flows_.end()) {
      found = true;
      it->second.flow->addErrorToFlow(code, clock_->wallSeconds());
    }
  }
  if (!found) platform::NSLog("***Critical: FlowManager -> addErrorToFlow is nil");
}

std::optional<DnsToolsSocket::Message> FlowManager::recordRead(
    const platform::NEAppProxyUDPFlow& flow, const std::vector<platform::Datagram>& datagrams,
    std::vector<std::optional<DnsToolsSocket::Message>> messages) {
  std::lock_guard lock(mutex_);
  auto it = flows_.find(flow.hash());
  if (it == flows_.end()) return std::nullopt;
  ManagedFlow& record = *it->second.flow;
  record.setRawReqData(datagrams);
  record.appendRequests(std::move(messages));
  if (record.reqMessages.empty()) return std::nullopt;
  return record.reqMessages.front();
}

void FlowManager::printReport(const ReportSettings& settings) const {
  std::vector<ManagedFlow> snapshot;
  {
    std::lock_guard lock(mutex_);
    snapshot.reserve(flows_.size());
    for (const auto& [hash, entry] : flows_) snapshot.push_back(*entry.flow);
  }
  platform::NSLog("----> start of flow manager report <----");
  platform::NSLog("Report settings - package: " + platform::optionalText(settings.package) +
                  ", tf: " + platform::optionalDescription(settings.forLastSecs) +
                  ", detailed:  " + platform::boolText(settings.detailed));
  const double now = clock_->wallSeconds();
  std::optional<std::string> package;
  if (settings.package) package = lowered(*settings.package);
  for (const ManagedFlow& record : snapshot) {
    if (settings.forLastSecs && now - record.startTimestamp > static_cast<double>(*settings.forLastSecs)) continue;
    if (package && lowered(record.flow->metaData().sourceAppSigningIdentifier).find(*package) == std::string::npos)
      continue;
    platform::NSLog("flow hash is " + std::to_string(record.flow->hash()));
    for (const auto& line : record.reportLines(settings, now)) platform::NSLog(line);
  }
  platform::NSLog("----< end of flow manager report >----");
}

size_t FlowManager::handledBytes() const {
  std::lock_guard lock(mutex_);
  return handledBytes_;
}

size_t FlowManager::count() const {
  std::lock_guard lock(mutex_);
  return flows_.size();
}

std::optional<ManagedFlow> FlowManager::record(uint64_t hash) const {
  std::lock_guard lock(mutex_);
  auto it = flows_.find(hash);
  if (it == flows_.end()) return std::nullopt;
  return *it->second.flow;
}

}  // namespace dnsproxyext
