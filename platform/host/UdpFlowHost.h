#pragma once
// Plays the system's part for UDP DNS: reads the listening sockets, makes
// one flow per read of a client endpoint, offers each new flow to the
// current provider and resolves declined flows through the system DNS.
//
// Each listening socket gets SO_REUSEPORT peers on the same address, one per
// worker loop; a worker reads its own socket, so a flow's datagrams, the
// provider's calls and the answers written back stay on one thread. A
// socket-owner look-up that must walk /proc runs on the owner's own thread.
//
// What the host holds for clients (datagrams not yet read, reads waiting for
// their answers) is bounded in bytes, in all and per client endpoint; beyond
// that datagrams are dropped and counted. Nothing wakes while nothing is
// held: idle flows are swept by a timer armed only while flows are open.
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/host/HostUdpFlow.h"
#include "platform/host/SocketOwner.h"
#include "platform/host/SystemDnsForwarder.h"
#include "platform/network/SocketAddress.h"
#include "platform/networkextension/NEDNSProxyProvider.h"

namespace platform {

class UdpFlowHost : public std::enable_shared_from_this<UdpFlowHost> {
 public:
  using ProviderSource = std::function<std::shared_ptr<NEDNSProxyProvider>()>;
  struct Listener {
    int fd = -1;  // bound UDP socket, owned by the caller
    SocketAddress address;
  };
  struct Settings {
    std::vector<Listener> listeners;
    SocketAddress systemDns;
    std::shared_ptr<SocketOwner> owner;    // null: no owner lookup
    std::shared_ptr<DispatchQueue> queue;  // flow callbacks; null: the worker that read the flow
    std::chrono::milliseconds idleFlowLimit{30'000};
    // True while new flows must wait for a provider being started (enabled
    // preferences in force): they are held for up to holdLimit and then
    // offered, instead of going to the system DNS. Null: never.
    std::function<bool()> holdFlows;
    std::chrono::milliseconds holdLimit{2'000};
    // Bytes the host may hold for clients; 0: from VARDENO_FLOW_BUDGET_BYTES
    // (default 32 MiB).
    size_t byteBudget = 0;
  };

  static std::shared_ptr<UdpFlowHost> create(Settings settings, ProviderSource source);
  ~UdpFlowHost();

  void start();
  // Stops reading and ends every flow (pending reads complete with an
  // error); the listeners' sockets stay open (the peers opened by the host
  // leave the port). start() may follow.
  void stop();
  // Stops reading new datagrams; flows already read go on to their answers.
  void stopReading();
  // Waits until no flow is open and the system DNS owes no answer, for at
  // most `limit`; true when all ended.
  bool waitForFlows(std::chrono::milliseconds limit);
  // A provider became current: flows held for it are offered now.
  void releaseHeldFlows();

  size_t flowCount() const;
  // Datagrams held by flows for their first read.
  size_t pendingDatagramCount() const;
  // Bytes charged to the budget now.
  size_t heldBytes() const { return static_cast<size_t>(heldBytes_.load()); }
  size_t byteBudget() const { return budget_; }
  uint64_t flowsOffered() const { return flowsOffered_.load(); }
  uint64_t flowsDeclined() const { return flowsDeclined_.load(); }
  // Datagrams from this process's own sockets, never offered to the provider.
  uint64_t ownDatagrams() const { return ownDatagrams_.load(); }
  // Datagrams dropped: over the byte budget, over kMaxFlows, or held for a
  // provider that did not start in time.
  uint64_t droppedDatagrams() const { return droppedDatagrams_.load(); }

  // Datagrams that one read delivers at most: its answers come back in a
  // burst, which must fit a resolver connection's receive buffer. More
  // datagrams of the endpoint make the next flow.
  static constexpr size_t kMaxDatagramsPerRead = 128;
  static constexpr size_t kMaxFlows = 65536;
  // What a flow and a datagram cost beyond their bytes, for the budget.
  static constexpr size_t kFlowCost = 1024;
  static constexpr size_t kDatagramCost = 256;
  // Beyond the budget less its reserve, only endpoints that hold less than
  // this are served: a flood from a few sockets leaves room for the others.
  static constexpr size_t kSmallEndpoint = 8 * 1024;
  static size_t budgetFromEnvironment();

 private:
  friend class HostUdpFlow;
  struct Key {
    size_t listener;
    SocketAddress client;
    SocketAddress asked;  // on a wildcard listener, the address the client sent to
    friend bool operator==(const Key&, const Key&) = default;
  };
  static Key keyOf(const HostUdpFlow& flow) {
    return Key{flow.listenerIndex_, flow.client_, flow.asked_.value_or(SocketAddress())};
  }
  struct KeyHash {
    size_t operator()(const Key& k) const noexcept {
      return (k.client.hashValue() * 31 + k.asked.hashValue()) * 31 + k.listener;
    }
  };

  // One socket of a listener, read by one worker loop.
  struct Socket {
    std::atomic<int> fd{-1};
    size_t listener = 0;
    size_t worker = 0;
    bool owned = false;  // a peer the host opened
    bool wildcard = false;  // bound to a wildcard address: answers name their source
    std::atomic<uint32_t> sending{0};  // sends under way: stop() waits for them
  };
  class Reader;

  UdpFlowHost(Settings settings, ProviderSource source);
  void openSockets();
  void closePeers();
  void closeReaders();
  // Reads what is waiting on socket `index` (up to `rounds` batches); false
  // when more may be waiting.
  bool receive(size_t index, int rounds);
  void onDatagram(size_t socket, const SocketAddress& client, const std::optional<SocketAddress>& asked,
                  Datagram datagram);
  void onOwnDatagram(size_t socket, const SocketAddress& source, const std::optional<SocketAddress>& asked,
                     Datagram datagram);
  // A new flow: the owner look-up where the provider needs it, then offer().
  void present(std::shared_ptr<HostUdpFlow> flow);
  void offer(std::shared_ptr<HostUdpFlow> flow, std::shared_ptr<NEDNSProxyProvider> provider);
  void decline(const std::shared_ptr<HostUdpFlow>& flow);
  void hold(std::shared_ptr<HostUdpFlow> flow);
  void expireHeld();
  // Ends a flow that both sides closed, or that the host drops; returns its
  // record, to be released after the lock.
  [[nodiscard]] std::shared_ptr<HostUdpFlow> finishLocked(HostUdpFlow& flow);
  void leaveSlotLocked(HostUdpFlow& flow);
  // Admits `bytes` for the flow's endpoint within the budget.
  bool chargeLocked(HostUdpFlow& flow, size_t bytes);
  bool admits(size_t endpointBytes, size_t bytes) const;
  // Runs `run` on the timer queue after `delay`, unless stopped first.
  void armTimer(std::shared_ptr<DispatchWorkItem>& item, std::chrono::nanoseconds delay, void (UdpFlowHost::*run)());
  void armSweep();
  void sweepIdle();
  bool sendTo(const HostUdpFlow& flow, const SocketAddress& to, const Datagram& datagram);
  std::shared_ptr<SystemDnsForwarder> forwarder() const;
  std::shared_ptr<DispatchQueue> queueFor(size_t worker) const;
  // The worker for a new flow read on `socket`.
  size_t chooseWorker(size_t socket);
  void noteDrop(const char* why);

  // Open flows per worker, for spreading new flows.
  struct alignas(64) WorkerLoad {
    std::atomic<int64_t> flows{0};
    WorkerLoad() = default;
    WorkerLoad(WorkerLoad&&) noexcept {}
  };
  static constexpr int64_t kSpreadAbove = 16;

  Settings settings_;
  ProviderSource source_;
  const size_t budget_;
  mutable std::mutex forwarderMutex_;
  std::shared_ptr<SystemDnsForwarder> forwarder_;  // guarded by forwarderMutex_; null while stopped

  // The flows, in shards that workers lock apart; all flows of one endpoint
  // are in one shard. Flow state is under its shard's lock.
  struct Shard {
    mutable std::mutex mutex;
    // The flow of each endpoint that takes its new datagrams (not yet read).
    std::unordered_map<Key, HostUdpFlow*, KeyHash> slots;
    // Every open flow.
    std::unordered_map<const HostUdpFlow*, std::shared_ptr<HostUdpFlow>> flows;
    // Bytes charged per endpoint.
    std::unordered_map<Key, size_t, KeyHash> endpointBytes;
  };
  static constexpr size_t kShards = 32;
  static size_t shardIndex(const Key& key) { return (KeyHash{}(key) >> 4) % kShards; }
  Shard& shardOf(const HostUdpFlow& flow) { return shards_[flow.shard_]; }
  std::array<Shard, kShards> shards_;

  // Sized at creation for every listener and peer; the descriptors change
  // with start() and stop().
  std::unique_ptr<Socket[]> sockets_;
  size_t socketCount_ = 0;
  std::vector<WorkerLoad> workerLoad_;  // one per worker, fixed in size
  std::atomic<size_t> spreadFrom_{0};
  std::vector<std::shared_ptr<Reader>> readers_;
  std::shared_ptr<DispatchQueue> timerQueue_;  // sweeps and held-flow deadlines

  std::mutex lifecycleMutex_;  // start, stop, stopReading
  std::atomic<bool> running_{false};
  std::atomic<uint32_t> generation_{0};  // flows of an earlier start cannot send

  alignas(64) std::atomic<int64_t> heldBytes_{0};
  alignas(64) std::atomic<size_t> openFlows_{0};
  std::atomic<bool> sweepArmed_{false};
  std::mutex timerMutex_;
  std::shared_ptr<DispatchWorkItem> sweepItem_;  // guarded by timerMutex_
  std::shared_ptr<DispatchWorkItem> heldItem_;   // guarded by timerMutex_

  struct Held {
    std::chrono::steady_clock::time_point until;
    std::shared_ptr<HostUdpFlow> flow;
  };
  std::mutex heldMutex_;
  std::vector<Held> held_;  // guarded by heldMutex_

  std::atomic<uint64_t> flowsOffered_{0};
  std::atomic<uint64_t> flowsDeclined_{0};
  std::atomic<uint64_t> ownDatagrams_{0};
  std::atomic<uint64_t> droppedDatagrams_{0};
  std::atomic<int64_t> lastOwnDropLog_{0};
  std::atomic<int64_t> lastDropLog_{0};
};

}  // namespace platform
