#include "DnsProxyExt/FlowReports.h"

#include <charconv>
#include <vector>

namespace dnsproxyext {

void FlowReports::store(uint64_t hash, DNSFlowReport report) {
  Shard& shard = shardOf(hash);
  std::lock_guard lock(shard.mutex);
  shard.reports.insert_or_assign(hash, std::move(report));
}

std::optional<DNSFlowReport> FlowReports::take(uint64_t hash) {
  Shard& shard = shardOf(hash);
  std::lock_guard lock(shard.mutex);
  auto it = shard.reports.find(hash);
  if (it == shard.reports.end()) return std::nullopt;
  std::optional<DNSFlowReport> report = std::move(it->second);
  shard.reports.erase(it);
  return report;
}

void FlowReports::erase(uint64_t hash) {
  Shard& shard = shardOf(hash);
  std::lock_guard lock(shard.mutex);
  shard.reports.erase(hash);
}

std::string FlowReports::keysText() const {
  // The hashes are copied under each lock; the text is built without one.
  thread_local std::vector<uint64_t> hashes;
  hashes.clear();
  for (const Shard& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    for (const auto& entry : shard.reports) hashes.push_back(entry.first);
  }
  std::string out;
  out.reserve(2 + hashes.size() * 24);
  out.push_back('[');
  char digits[24];
  for (size_t i = 0; i < hashes.size(); ++i) {
    if (i) out += ", ";
    out.push_back('"');
    auto end = std::to_chars(digits, digits + sizeof digits, hashes[i]).ptr;
    out.append(digits, end);
    out.push_back('"');
  }
  out.push_back(']');
  return out;
}

std::map<std::string, DNSFlowReport> FlowReports::snapshot() const {
  std::map<std::string, DNSFlowReport> out;
  for (const Shard& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    for (const auto& [hash, report] : shard.reports) out.emplace(std::to_string(hash), report);
  }
  return out;
}

}  // namespace dnsproxyext
