#pragma once
// Records of the accepted UDP flows, keyed by flow hash. Thread-safe; log
// lines are written, and evicted records destroyed, after the lock is
// released.
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
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
  // first request the flow ever carried (none: not decoded or no record).
  std::optional<DnsToolsSocket::Message> recordRead(const platform::NEAppProxyUDPFlow& flow,
                                                    const std::vector<platform::Datagram>& datagrams,
                                                    std::vector<std::optional<DnsToolsSocket::Message>> messages);
  void printReport(const ReportSettings& settings) const;

  size_t count() const;
  // Bytes of the handled records, as the bound counts them.
  size_t handledBytes() const;
  // A copy of one record, for tests and reports.
  std::optional<ManagedFlow> record(uint64_t hash) const;

 private:
  struct Entry {
    std::shared_ptr<ManagedFlow> flow;
    std::optional<std::list<uint64_t>::iterator> handledPosition;
    size_t bytes = 0;  // counted in handledBytes_ while handled
  };

  std::shared_ptr<platform::Clock> clock_;
  mutable std::mutex mutex_;
  std::map<uint64_t, Entry> flows_;
  std::list<uint64_t> handledOrder_;  // oldest first
  size_t handledBytes_ = 0;
};

}  // namespace dnsproxyext
