#pragma once
// Plays the system's part for UDP DNS: reads the listening sockets, makes
// one flow per client endpoint, offers each new flow to the current
// provider and resolves declined flows through the system DNS.
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
    std::shared_ptr<DispatchQueue> queue;  // flow callbacks; null: the global queue
    std::chrono::milliseconds idleFlowLimit{30'000};
  };

  static std::shared_ptr<UdpFlowHost> create(Settings settings, ProviderSource source);
  ~UdpFlowHost();

  void start();
  // Stops the receive threads and forgets every flow; sockets stay open.
  void stop();

  size_t flowCount() const;
  // Datagrams held by flows for their next read.
  size_t pendingDatagramCount() const;
  uint64_t flowsOffered() const { return flowsOffered_.load(); }
  uint64_t flowsDeclined() const { return flowsDeclined_.load(); }
  // Datagrams from this process's own sockets, never offered to the provider.
  uint64_t ownDatagrams() const { return ownDatagrams_.load(); }

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

  UdpFlowHost(Settings settings, ProviderSource source);
  void receiveLoop(size_t index);
  void onDatagram(size_t listener, const SocketAddress& client, Datagram datagram);
  void onOwnDatagram(size_t listener, const SocketAddress& source, Datagram datagram);
  void offer(std::shared_ptr<HostUdpFlow> flow);
  // Removes a flow that both sides closed; leftovers start a new flow.
  void finishLocked(HostUdpFlow& flow, std::vector<std::shared_ptr<HostUdpFlow>>& reoffer);
  // The flow delivered a read: it leaves its endpoint's slot for the next flow.
  void detachLocked(HostUdpFlow& flow);
  void reattachLocked(HostUdpFlow& flow);
  void sweepIdle();
  bool sendTo(size_t listener, const SocketAddress& to, const Datagram& datagram);
  void post(std::function<void()> fn);

  Settings settings_;
  ProviderSource source_;
  std::shared_ptr<SystemDnsForwarder> forwarder_;  // guarded by mutex_; null once stopped
  mutable std::mutex mutex_;
  // The flow of each endpoint that takes new datagrams.
  std::unordered_map<Key, std::shared_ptr<HostUdpFlow>, KeyHash> flows_;
  // Flows that were read and wait for their answers, and their count per endpoint.
  std::unordered_map<const HostUdpFlow*, std::shared_ptr<HostUdpFlow>> reading_;
  std::unordered_map<Key, size_t, KeyHash> readsPerEndpoint_;
  std::vector<std::thread> threads_;
  int stopFd_ = -1;
  std::atomic<bool> running_{false};
  std::atomic<uint64_t> flowsOffered_{0};
  std::atomic<uint64_t> flowsDeclined_{0};
  std::atomic<uint64_t> ownDatagrams_{0};
  std::atomic<int64_t> lastOwnDropLog_{0};
  std::atomic<int64_t> lastSweep_{0};  // steady-clock nanoseconds; every receive thread sweeps
};

}  // namespace platform
