#pragma once
// Plays the system's part for UDP DNS: reads the listening sockets, makes
// one flow per client endpoint, offers each new flow to the current
// provider and resolves declined flows through the system DNS.
//
// Each listening socket gets SO_REUSEPORT peers on the same address, one per
// worker loop; a worker reads its own socket, so a flow's datagrams, the
// provider's calls and the answers written back stay on one thread. A watch
// thread sweeps idle flows and, while a worker is stuck in one block (a
// provider that blocks), reads that worker's socket in its place.
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/host/HostUdpFlow.h"
#include "platform/networkextension/NEDNSProxyProvider.h"
#include "platform/network/SocketAddress.h"
#include "platform/host/SocketOwner.h"
#include "platform/host/SystemDnsForwarder.h"

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
  };

  static std::shared_ptr<UdpFlowHost> create(Settings settings, ProviderSource source);
  ~UdpFlowHost();

  void start();
  // Stops reading and forgets every flow; the listeners' sockets stay open
  // (their peers opened by the host leave the port).
  void stop();

  size_t flowCount() const;
  // Datagrams held by flows for their next read.
  size_t pendingDatagramCount() const;
  uint64_t flowsOffered() const { return flowsOffered_.load(); }
  uint64_t flowsDeclined() const { return flowsDeclined_.load(); }
  // Datagrams from this process's own sockets, never offered to the provider.
  uint64_t ownDatagrams() const { return ownDatagrams_.load(); }
  // Datagrams dropped because their endpoint already held kMaxPendingDatagrams.
  uint64_t droppedDatagrams() const { return droppedDatagrams_.load(); }

  // Per client endpoint: datagrams kept while the provider has not read;
  // more are dropped (the client retries). One read's answers come back
  // in a burst, which must fit a resolver connection's receive buffer.
  static constexpr size_t kMaxPendingDatagrams = 128;
  static constexpr size_t kMaxFlows = 65536;
  // A flow that was read waits for its answers apart from its endpoint, so
  // the endpoint's next datagram starts a new flow at once. Past this many
  // reads waiting for one endpoint, datagrams wait for one of them to end.
  static constexpr size_t kMaxReadsPerEndpoint = 64;

 private:
  friend class HostUdpFlow;
  struct Key {
    size_t listener;
    SocketAddress client;
    friend bool operator==(const Key&, const Key&) = default;
  };
  struct KeyHash {
    size_t operator()(const Key& k) const noexcept { return k.client.hashValue() * 31 + k.listener; }
  };

  // One socket of a listener, read by one worker loop.
  struct Socket {
    int fd = -1;
    size_t listener = 0;
    size_t worker = 0;
    bool owned = false;  // a peer the host opened
  };
  class Reader;

  UdpFlowHost(Settings settings, ProviderSource source);
  void openSockets();
  void watchLoop();
  // Reads what is waiting on socket `index` (up to `rounds` batches); false
  // when more may be waiting.
  bool receive(size_t index, int rounds);
  // `arrival`: the kernel's receive stamp (CLOCK_REALTIME nanoseconds), 0 when unknown.
  void onDatagram(size_t socket, const SocketAddress& client, Datagram datagram, int64_t arrival);
  void onOwnDatagram(size_t socket, const SocketAddress& source, Datagram datagram);
  void offer(std::shared_ptr<HostUdpFlow> flow);
  // Removes a flow that both sides closed; leftovers start a new flow.
  void finishLocked(HostUdpFlow& flow, std::vector<std::shared_ptr<HostUdpFlow>>& reoffer);
  void finishInShardLocked(HostUdpFlow& flow, std::vector<std::shared_ptr<HostUdpFlow>>& reoffer);
  // The flow delivered a read: it leaves its endpoint's slot for the next flow.
  void detachLocked(HostUdpFlow& flow);
  void reattachLocked(HostUdpFlow& flow);
  void sweepIdle();
  bool sendTo(size_t socket, const SocketAddress& to, const Datagram& datagram);
  std::shared_ptr<DispatchQueue> queueFor(size_t worker) const;
  // The worker for a new flow read on `socket`.
  size_t chooseWorker(size_t socket);
  std::shared_ptr<HostUdpFlow> makeFlowLocked(size_t listener, size_t socket, const SocketAddress& client,
                                              std::mutex& mutex);
  void markFinishedLocked(HostUdpFlow& flow);
  // Open flows per worker, for spreading new flows.
  struct alignas(64) WorkerLoad {
    std::atomic<int64_t> flows{0};
    WorkerLoad() = default;
    WorkerLoad(WorkerLoad&&) noexcept {}
  };
  static constexpr int64_t kSpreadAbove = 16;

  Settings settings_;
  ProviderSource source_;
  mutable std::mutex forwarderMutex_;
  std::shared_ptr<SystemDnsForwarder> forwarder_;  // guarded by forwarderMutex_; null once stopped
  // The flows by endpoint, in shards that workers lock apart; all flows of
  // one endpoint are in one shard. Flow state is under its shard's lock.
  struct Shard {
    mutable std::mutex mutex;
    // The flow of each endpoint that takes new datagrams.
    std::unordered_map<Key, std::shared_ptr<HostUdpFlow>, KeyHash> flows;
    // Flows that were read and wait for their answers, and their count per endpoint.
    std::unordered_map<const HostUdpFlow*, std::shared_ptr<HostUdpFlow>> reading;
    std::unordered_map<Key, size_t, KeyHash> readsPerEndpoint;
    std::atomic<size_t> count{0};  // flows + reading, for the bound on all flows

    void recount() { count.store(flows.size() + reading.size(), std::memory_order_relaxed); }
  };
  static constexpr size_t kShards = 32;
  size_t shardIndex(const Key& key) const { return (KeyHash{}(key) >> 4) % kShards; }
  Shard& shardOf(const HostUdpFlow& flow);
  size_t totalFlows() const;
  std::array<Shard, kShards> shards_;
  std::vector<Socket> sockets_;  // fixed from creation to the end of the host
  // Per socket, sends under way: stop() waits for them, so that no answer
  // uses a listen socket once stop() has returned and its owner may close it.
  struct alignas(64) Sending {
    std::atomic<uint32_t> count{0};
  };
  std::unique_ptr<Sending[]> sending_;
  std::vector<WorkerLoad> workerLoad_;  // one per worker, fixed in size
  std::atomic<size_t> spreadFrom_{0};
  std::vector<std::shared_ptr<Reader>> readers_;
  std::thread watch_;
  int stopFd_ = -1;
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> flowsOffered_{0};
  std::atomic<uint64_t> flowsDeclined_{0};
  std::atomic<uint64_t> ownDatagrams_{0};
  std::atomic<uint64_t> droppedDatagrams_{0};
  std::atomic<int64_t> lastOwnDropLog_{0};
  std::atomic<int64_t> lastSweep_{0};  // steady-clock nanoseconds
};

}  // namespace platform
