#include "DnsProxyExt/FlowManager.h"

#include <map>

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

namespace {
// Flow hashes are small counters: spread them over the shards.
size_t shardIndex(uint64_t hash) { return (hash * 0x9E3779B97F4A7C15ull) >> 60; }
}  // namespace

FlowManager::Shard& FlowManager::shardOf(uint64_t hash) { return shards_[shardIndex(hash)]; }

const FlowManager::Shard& FlowManager::shardOf(uint64_t hash) const { return shards_[shardIndex(hash)]; }

void FlowManager::publishOldest(Shard& shard) {
  shard.oldest.store(shard.handled.empty() ? UINT64_MAX : shard.handled.front().first);
}

bool FlowManager::addFlow(const std::shared_ptr<platform::NEAppProxyUDPFlow>& flow) {
  const uint64_t hash = flow->hash();
  // Made before the lock; unused (and destroyed after it) when the flow is known.
  auto record = std::make_shared<ManagedFlow>(flow, clock_->wallSeconds());
  Shard& shard = shardOf(hash);
  size_t count;
  bool known;
  {
    std::lock_guard lock(shard.mutex);
    known = shard.flows.count(hash) != 0;
    if (!known) shard.flows.emplace(hash, Entry{std::move(record), {}});
    count = known ? count_.load() : count_.fetch_add(1);
  }
  VARDENO_LOG_LINE("flows count = ", count);
  return known;
}

bool FlowManager::overBound() const {
  const size_t handled = handledCount_.load();
  return handled > kMaxHandledRecords || (handledBytes_.load() > kMaxHandledBytes && handled > 1);
}

void FlowManager::evict(std::vector<std::shared_ptr<ManagedFlow>>& evicted) {
  while (overBound()) {
    // Whoever holds the lock evicts until under the bound, and looks again
    // after letting go, so a record handled meanwhile is not missed.
    if (!evictMutex_.try_lock()) return;
    while (overBound()) {
      size_t pick = kShards;
      uint64_t lowest = UINT64_MAX;
      for (size_t i = 0; i < kShards; ++i) {
        const uint64_t oldest = shards_[i].oldest.load();
        if (oldest < lowest) {
          lowest = oldest;
          pick = i;
        }
      }
      if (pick == kShards) break;
      Shard& shard = shards_[pick];
      std::lock_guard lock(shard.mutex);
      if (shard.handled.empty()) continue;
      auto it = shard.flows.find(shard.handled.front().second);
      handledBytes_.fetch_sub(it->second.bytes);
      handledCount_.fetch_sub(1);
      count_.fetch_sub(1);
      evicted.push_back(std::move(it->second.flow));
      shard.flows.erase(it);
      shard.handled.pop_front();
      publishOldest(shard);
    }
    evictMutex_.unlock();
  }
}

void FlowManager::flowWasHandled(const platform::NEAppProxyUDPFlow& flow, std::string_view text) {
  bool found = false;
  std::vector<std::shared_ptr<ManagedFlow>> evicted;  // destroyed after the locks
  const double now = clock_->wallSeconds();
  Shard& shard = shardOf(flow.hash());
  {
    std::lock_guard lock(shard.mutex);
    auto it = shard.flows.find(flow.hash());
    if (it != shard.flows.end()) {
      found = true;
      Entry& entry = it->second;
      ManagedFlow& record = *entry.flow;
      record.addError(std::string(text));
      record.endTimestamp = now;
      record.isFinished = true;
      if (entry.handledPosition) {
        shard.handled.erase(*entry.handledPosition);
        handledBytes_.fetch_sub(entry.bytes);
        handledCount_.fetch_sub(1);
      }
      entry.handledPosition = shard.handled.insert(shard.handled.end(), {sequence_.fetch_add(1), it->first});
      entry.bytes = record.approximateBytes();
      handledBytes_.fetch_add(entry.bytes);
      handledCount_.fetch_add(1);
      publishOldest(shard);
    }
  }
  if (!found) {
    platform::NSLog("***Critical: FlowManager -> flowWasHandled is nil");
    return;
  }
  evict(evicted);
}

void FlowManager::addErrorToFlow(const platform::NEAppProxyUDPFlow& flow, int code) {
  bool found = false;
  const double now = clock_->wallSeconds();
  Shard& shard = shardOf(flow.hash());
  {
    std::lock_guard lock(shard.mutex);
    auto it = shard.flows.find(flow.hash());
    if (it != shard.flows.end()) {
      found = true;
      it->second.flow->addErrorToFlow(code, now);
    }
  }
  if (!found) platform::NSLog("***Critical: FlowManager -> addErrorToFlow is nil");
}

std::optional<std::string> FlowManager::recordRead(
    const platform::NEAppProxyUDPFlow& flow, const std::vector<platform::Datagram>& datagrams,
    std::vector<std::optional<DnsToolsSocket::Message>> messages) {
  // Reduced before the lock; only moves happen under it.
  ManagedFlow::summarize(messages);
  std::vector<size_t> sizes = ManagedFlow::sizesOf(datagrams);
  Shard& shard = shardOf(flow.hash());
  std::lock_guard lock(shard.mutex);
  auto it = shard.flows.find(flow.hash());
  if (it == shard.flows.end()) return std::nullopt;
  ManagedFlow& record = *it->second.flow;
  record.setRawReqSizes(std::move(sizes));
  record.appendSummaries(std::move(messages));
  if (record.reqMessages.empty() || !record.reqMessages.front() || record.reqMessages.front()->questions.empty())
    return std::nullopt;
  return record.reqMessages.front()->questions.front().name;
}

void FlowManager::printReport(const ReportSettings& settings) const {
  std::map<uint64_t, ManagedFlow> snapshot;  // by hash, as the report lists them
  for (const Shard& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    for (const auto& [hash, entry] : shard.flows) snapshot.emplace(hash, *entry.flow);
  }
  platform::NSLog("----> start of flow manager report <----");
  platform::NSLog("Report settings - package: " + platform::optionalText(settings.package) +
                  ", tf: " + platform::optionalDescription(settings.forLastSecs) +
                  ", detailed:  " + platform::boolText(settings.detailed));
  const double now = clock_->wallSeconds();
  std::optional<std::string> package;
  if (settings.package) package = lowered(*settings.package);
  for (const auto& [hash, record] : snapshot) {
    if (settings.forLastSecs && now - record.startTimestamp > static_cast<double>(*settings.forLastSecs)) continue;
    if (package && lowered(record.flow->metaData().sourceAppSigningIdentifier).find(*package) == std::string::npos)
      continue;
    platform::NSLog("flow hash is " + std::to_string(record.flow->hash()));
    for (const auto& line : record.reportLines(settings, now)) platform::NSLog(line);
  }
  platform::NSLog("----< end of flow manager report >----");
}

size_t FlowManager::handledBytes() const { return handledBytes_.load(); }

size_t FlowManager::count() const { return count_.load(); }

std::optional<ManagedFlow> FlowManager::record(uint64_t hash) const {
  const Shard& shard = shardOf(hash);
  std::lock_guard lock(shard.mutex);
  auto it = shard.flows.find(hash);
  if (it == shard.flows.end()) return std::nullopt;
  return *it->second.flow;
}

}  // namespace dnsproxyext
