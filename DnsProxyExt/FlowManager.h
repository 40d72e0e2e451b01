#pragma once
// Records of the accepted UDP flows, keyed by flow hash. Thread-safe and
// split in shards by hash, so that reads of different flows rarely meet on
// a lock; log lines are written, and evicted records destroyed, after the
// locks are released.
#include <array>
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "DnsProxyExt/ManagedFlow.h"
#include "platform/foundation/Clock.h"

namespace dnsproxyext {

class FlowManager {
 public:
  // Handled records kept; the oldest handled ones go first. Unfinished
  // records stay until their flow is handled.
  static constexpr size_t kMaxHandledRecords = 10'000;
  // And at most this many bytes of handled records, roughly counted.
  static constexpr size_t kMaxHandledBytes = 16u << 20;

  explicit FlowManager(std::shared_ptr<platform::Clock> clock = platform::Clock::system());

  // True when a record already existed; else makes one.
  bool addFlow(const std::shared_ptr<platform::NEAppProxyUDPFlow>& flow);
  void flowWasHandled(const platform::NEAppProxyUDPFlow& flow, std::string_view text);
  // Records the error code; logs the critical line when there is no record.
  void addErrorToFlow(const platform::NEAppProxyUDPFlow& flow, int code);
  // Stores a read (raw data replaced, messages appended) and returns the
  // name of the first question of the first request the flow ever carried
  // (none: not decoded, no question or no record).
  std::optional<std::string> recordRead(const platform::NEAppProxyUDPFlow& flow,
                                                    const std::vector<platform::Datagram>& datagrams,
                                                    std::vector<std::optional<DnsToolsSocket::Message>> messages);
  void printReport(const ReportSettings& settings) const;

  size_t count() const;
  // Bytes of the handled records, as the bound counts them.
  size_t handledBytes() const;
  // A copy of one record, for tests and reports.
  std::optional<ManagedFlow> record(uint64_t hash) const;

 private:
  // Handled records in the order they were handled: (sequence, hash).
  using HandledList = std::list<std::pair<uint64_t, uint64_t>>;

  struct Entry {
    std::shared_ptr<ManagedFlow> flow;
    std::optional<HandledList::iterator> handledPosition;
    size_t bytes = 0;  // counted in handledBytes_ while handled
  };

  // Every shard's handled list is sorted by sequence (numbers are taken
  // under the shard's lock), so the globally oldest handled record is the
  // front of the shard whose front is lowest; `oldest` publishes that front.
  struct alignas(64) Shard {
    mutable std::mutex mutex;
    std::unordered_map<uint64_t, Entry> flows;
    HandledList handled;
    std::atomic<uint64_t> oldest{UINT64_MAX};
  };

  static constexpr size_t kShards = 16;

  Shard& shardOf(uint64_t hash);
  const Shard& shardOf(uint64_t hash) const;
  bool overBound() const;
  // Evicts the globally oldest handled records while over the bound; the
  // records are moved to `evicted`, to be destroyed by the caller.
  void evict(std::vector<std::shared_ptr<ManagedFlow>>& evicted);
  static void publishOldest(Shard& shard);

  std::shared_ptr<platform::Clock> clock_;
  std::array<Shard, kShards> shards_;
  std::atomic<uint64_t> sequence_{0};
  std::atomic<size_t> count_{0};
  std::atomic<size_t> handledCount_{0};
  std::atomic<size_t> handledBytes_{0};
  std::mutex evictMutex_;  // one evicting thread at a time; others never wait for it
};

}  // namespace dnsproxyext
