#pragma once
// The timing records of the flows waiting for their first answer, keyed by
// the decimal text of the flow's hash. Split in shards, each with its own
// lock, so that answers of different flows rarely meet on one.
#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "DnsProxyExt/DNSFlowReport.h"

namespace dnsproxyext {

class FlowReports {
 public:
  // Stores the record, replacing an earlier one of the flow.
  void store(uint64_t hash, DNSFlowReport report);
  // Removes and returns the flow's record.
  std::optional<DNSFlowReport> take(uint64_t hash);
  void erase(uint64_t hash);
  // ["k1", "k2", ...]: the keys, each shard read under its own lock in turn.
  std::string keysText() const;
  std::map<std::string, DNSFlowReport> snapshot() const;

 private:
  static constexpr size_t kShards = 16;
  struct alignas(64) Shard {
    mutable std::mutex mutex;
    std::unordered_map<uint64_t, DNSFlowReport> reports;
  };
  Shard& shardOf(uint64_t hash) { return shards_[(hash ^ (hash >> 17)) % kShards]; }

  std::array<Shard, kShards> shards_;
};

}  // namespace dnsproxyext
