#include "platform/host/UdpFlowHost.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/foundation/Log.h"
#include "platform/network/OwnSockets.h"

namespace platform {
namespace {

NEError flowError(int code, const char* text) { return NEError{code, kNEAppProxyErrorDomain, text}; }

}  // namespace

// ---- HostUdpFlow ----

HostUdpFlow::HostUdpFlow(std::shared_ptr<UdpFlowHost> host, size_t listenerIndex, SocketAddress client)
    : host_(std::move(host)),
      listenerIndex_(listenerIndex),
      client_(client),
      remote_(client.endpoint()),
      hash_(nextFlowHash()),
      lastActivity_(std::chrono::steady_clock::now()) {}

std::string HostUdpFlow::description() const {
  return "NEAppProxyUDPFlow(hash: " + std::to_string(hash_) + ", remote: " + remote_.description() +
         ", app: " + metaData_.sourceAppSigningIdentifier + ")";
}

bool HostUdpFlow::isBound() const {
  std::lock_guard lock(host_->mutex_);
  return local_.has_value();
}

std::optional<NWHostEndpoint> HostUdpFlow::localEndpoint() const {
  std::lock_guard lock(host_->mutex_);
  return local_;
}

void HostUdpFlow::openWithLocalEndpoint(std::optional<NWHostEndpoint> localEndpoint, OpenCompletion completion) {
  std::optional<NEError> error;
  {
    std::lock_guard lock(host_->mutex_);
    lastActivity_ = std::chrono::steady_clock::now();
    if (readClosed_ || writeClosed_ || finished_)
      error = flowError(NEAppProxyFlowErrorNotConnected, "The flow is closed");
    else
      local_ = std::move(localEndpoint);
  }
  host_->post([completion = std::move(completion), error]() { completion(error); });
}

void HostUdpFlow::readDatagrams(ReadCompletion completion) {
  std::unique_lock lock(host_->mutex_);
  lastActivity_ = std::chrono::steady_clock::now();
  if (readClosed_ || finished_) {
    lock.unlock();
    host_->post([completion = std::move(completion)]() {
      completion(std::nullopt, std::nullopt, flowError(NEAppProxyFlowErrorNotConnected, "The flow is closed for reading"));
    });
    return;
  }
  if (pendingRead_) {
    lock.unlock();
    host_->post([completion = std::move(completion)]() {
      completion(std::nullopt, std::nullopt,
                 flowError(NEAppProxyFlowErrorReadAlreadyPending, "A read is already pending"));
    });
    return;
  }
  if (pending_.empty()) {
    pendingRead_ = std::move(completion);
    host_->reattachLocked(*this);
    return;
  }
  std::vector<Datagram> datagrams(std::make_move_iterator(pending_.begin()), std::make_move_iterator(pending_.end()));
  pending_.clear();
  host_->detachLocked(*this);
  lock.unlock();
  std::vector<NWHostEndpoint> endpoints(datagrams.size(), remote_);
  host_->post([completion = std::move(completion), datagrams = std::move(datagrams),
               endpoints = std::move(endpoints)]() mutable {
    completion(std::move(datagrams), std::move(endpoints), std::nullopt);
  });
}

void HostUdpFlow::writeDatagrams(std::vector<Datagram> datagrams, std::vector<NWHostEndpoint> remoteEndpoints,
                                 WriteCompletion completion) {
  std::optional<NEError> error;
  {
    std::lock_guard lock(host_->mutex_);
    lastActivity_ = std::chrono::steady_clock::now();
    if (writeClosed_ || finished_) error = flowError(NEAppProxyFlowErrorNotConnected, "The flow is closed for writing");
  }
  if (!error && remoteEndpoints.size() < datagrams.size())
    error = flowError(NEAppProxyFlowErrorInvalidArgument, "Fewer endpoints than datagrams");
  for (size_t i = 0; !error && i < datagrams.size(); ++i) {
    std::optional<SocketAddress> to;
    if (remoteEndpoints[i] == remote_)
      to = client_;
    else
      to = SocketAddress::fromEndpoint(remoteEndpoints[i]);
    if (!to) {
      error = flowError(NEAppProxyFlowErrorInvalidArgument, "Invalid remote endpoint");
    } else if (!host_->sendTo(listenerIndex_, *to, datagrams[i])) {
      error = flowError(datagrams[i].size() > 65507 ? NEAppProxyFlowErrorDatagramTooLarge
                                                    : NEAppProxyFlowErrorHostUnreachable,
                        "The datagram could not be sent");
    }
  }
  host_->post([completion = std::move(completion), error]() { completion(error); });
}

void HostUdpFlow::closeReadWithError(std::optional<NEError>) {
  std::optional<ReadCompletion> pendingRead;
  std::vector<std::shared_ptr<HostUdpFlow>> reoffer;
  {
    std::lock_guard lock(host_->mutex_);
    readClosed_ = true;
    pendingRead.swap(pendingRead_);
    if (writeClosed_) host_->finishLocked(*this, reoffer);
  }
  if (pendingRead) {
    host_->post([completion = std::move(*pendingRead)]() {
      completion(std::nullopt, std::nullopt, flowError(NEAppProxyFlowErrorAborted, "The flow was closed for reading"));
    });
  }
  for (auto& flow : reoffer) host_->post([host = host_, flow]() { host->offer(flow); });
}

void HostUdpFlow::closeWriteWithError(std::optional<NEError>) {
  std::vector<std::shared_ptr<HostUdpFlow>> reoffer;
  {
    std::lock_guard lock(host_->mutex_);
    writeClosed_ = true;
    if (readClosed_) host_->finishLocked(*this, reoffer);
  }
  for (auto& flow : reoffer) host_->post([host = host_, flow]() { host->offer(flow); });
}

// ---- UdpFlowHost ----

std::shared_ptr<UdpFlowHost> UdpFlowHost::create(Settings settings, ProviderSource source) {
  return std::shared_ptr<UdpFlowHost>(new UdpFlowHost(std::move(settings), std::move(source)));
}

UdpFlowHost::UdpFlowHost(Settings settings, ProviderSource source)
    : settings_(std::move(settings)), source_(std::move(source)) {
  if (!settings_.queue) settings_.queue = DispatchQueue::global();
  forwarder_ = std::make_shared<SystemDnsForwarder>(settings_.systemDns);
  stopFd_ = eventfd(0, EFD_CLOEXEC);
  lastSweep_ = std::chrono::steady_clock::now().time_since_epoch().count();
}

UdpFlowHost::~UdpFlowHost() {
  stop();
  if (stopFd_ >= 0) close(stopFd_);
}

void UdpFlowHost::start() {
  if (running_.exchange(true)) return;
  for (const auto& listener : settings_.listeners) OwnSockets::addListenAddress(listener.address);
  for (size_t i = 0; i < settings_.listeners.size(); ++i) threads_.emplace_back([this, i] { receiveLoop(i); });
}

void UdpFlowHost::stop() {
  if (!running_.exchange(false)) return;
  uint64_t one = 1;
  (void)!write(stopFd_, &one, sizeof one);
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
  for (const auto& listener : settings_.listeners) OwnSockets::removeListenAddress(listener.address);
  std::unordered_map<Key, std::shared_ptr<HostUdpFlow>, KeyHash> flows;
  std::unordered_map<const HostUdpFlow*, std::shared_ptr<HostUdpFlow>> reading;
  std::shared_ptr<SystemDnsForwarder> forwarder;
  {
    std::lock_guard lock(mutex_);
    for (auto& [key, flow] : flows_) flow->finished_ = true;
    for (auto& [key, flow] : reading_) flow->finished_ = true;
    flows.swap(flows_);
    reading.swap(reading_);
    readsPerEndpoint_.clear();
    forwarder.swap(forwarder_);
  }
  // Its thread ends with the last user; after that no answer uses the sockets.
  forwarder.reset();
}

size_t UdpFlowHost::flowCount() const {
  std::lock_guard lock(mutex_);
  return flows_.size() + reading_.size();
}

size_t UdpFlowHost::pendingDatagramCount() const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const auto& [key, flow] : flows_) n += flow->pending_.size();
  return n;
}

void UdpFlowHost::post(std::function<void()> fn) { settings_.queue->async(std::move(fn)); }

bool UdpFlowHost::sendTo(size_t listener, const SocketAddress& to, const Datagram& datagram) {
  int fd = settings_.listeners[listener].fd;
  for (int attempt = 0; attempt < 3; ++attempt) {
    ssize_t n = sendto(fd, datagram.data(), datagram.size(), 0, to.sockaddrPtr(), to.length());
    if (n == static_cast<ssize_t>(datagram.size())) return true;
    if (n < 0 && errno != EINTR && errno != ENOBUFS && errno != EAGAIN) return false;
  }
  return false;
}

void UdpFlowHost::receiveLoop(size_t index) {
  constexpr int kBatch = 32;
  constexpr size_t kSize = 65536;
  std::vector<uint8_t> buffers(kBatch * kSize);
  mmsghdr messages[kBatch];
  iovec iovs[kBatch];
  sockaddr_storage peers[kBatch];
  const int fd = settings_.listeners[index].fd;
  pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  for (;;) {
    int ready = poll(fds, 2, 1000);
    if (fds[1].revents) return;
    if (ready > 0 && (fds[0].revents & POLLIN)) {
      for (int i = 0; i < kBatch; ++i) {
        iovs[i] = {buffers.data() + i * kSize, kSize};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &iovs[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &peers[i];
        messages[i].msg_hdr.msg_namelen = sizeof peers[i];
      }
      int n = recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
      for (int i = 0; i < n; ++i) {
        auto* data = buffers.data() + i * kSize;
        auto client = SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&peers[i]), messages[i].msg_hdr.msg_namelen);
        if (client.family() != AF_INET && client.family() != AF_INET6) continue;
        onDatagram(index, client, Datagram(data, data + messages[i].msg_len));
      }
    }
    sweepIdle();
  }
}

void UdpFlowHost::onOwnDatagram(size_t listener, const SocketAddress& source, Datagram datagram) {
  ownDatagrams_.fetch_add(1, std::memory_order_relaxed);
  std::shared_ptr<SystemDnsForwarder> forwarder;
  {
    std::lock_guard lock(mutex_);
    forwarder = forwarder_;
  }
  // Resolved as the system would, unless the system DNS is this process too.
  if (forwarder && forwarder->ok() && !OwnSockets::isOwnListenAddress(forwarder->systemDns())) {
    forwarder->forward(settings_.listeners[listener].fd, source, {std::move(datagram)});
    return;
  }
  const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
  int64_t last = lastOwnDropLog_.load(std::memory_order_relaxed);
  if (now - last >= std::chrono::nanoseconds(std::chrono::seconds(1)).count() &&
      lastOwnDropLog_.compare_exchange_strong(last, now, std::memory_order_relaxed)) {
    NSLog("[NEHost] dropped a datagram from this process's own socket " + source.description() + " to " +
          settings_.listeners[listener].address.description() +
          ": the system DNS is one of its listen addresses, so it would loop (" +
          std::to_string(ownDatagrams_.load(std::memory_order_relaxed)) + " own datagrams so far)");
  }
}

void UdpFlowHost::onDatagram(size_t listener, const SocketAddress& client, Datagram datagram) {
  // The process's own resolver sockets are never a client: offering their
  // datagrams to the provider would forward them back here for ever.
  if (OwnSockets::isOwnSource(client)) return onOwnDatagram(listener, client, std::move(datagram));
  std::shared_ptr<HostUdpFlow> newFlow;
  std::optional<NEAppProxyUDPFlow::ReadCompletion> completion;
  NWHostEndpoint remote;
  {
    std::lock_guard lock(mutex_);
    auto it = flows_.find(Key{listener, client});
    if (it != flows_.end()) {
      HostUdpFlow& flow = *it->second;
      if (flow.pendingRead_) {
        completion.swap(flow.pendingRead_);
        remote = flow.remote_;
        flow.lastActivity_ = std::chrono::steady_clock::now();
        detachLocked(flow);
      } else if (flow.pending_.size() < kMaxPendingDatagrams) {
        flow.pending_.push_back(std::move(datagram));
      }  // else dropped: the client retries
    } else if (flows_.size() + reading_.size() < kMaxFlows) {
      const Key key{listener, client};
      newFlow = std::make_shared<HostUdpFlow>(shared_from_this(), listener, client);
      newFlow->pending_.push_back(std::move(datagram));
      flows_.emplace(key, newFlow);
      auto reads = readsPerEndpoint_.find(key);
      if (reads != readsPerEndpoint_.end() && reads->second >= kMaxReadsPerEndpoint) {
        newFlow->held_ = true;  // offered when one of the endpoint's reads ends
        newFlow.reset();
      }
    }
  }
  if (completion) {
    post([completion = std::move(*completion), datagram = std::move(datagram), remote]() mutable {
      std::vector<Datagram> datagrams;
      datagrams.push_back(std::move(datagram));
      completion(std::move(datagrams), std::vector<NWHostEndpoint>{remote}, std::nullopt);
    });
  }
  if (newFlow) post([self = shared_from_this(), newFlow]() { self->offer(newFlow); });
}

void UdpFlowHost::offer(std::shared_ptr<HostUdpFlow> flow) {
  auto provider = source_ ? source_() : nullptr;
  if (settings_.owner && (!provider || provider->needsSourceAppIdentity()))
    flow->metaData_.sourceAppSigningIdentifier =
        settings_.owner->udpSocketOwner(flow->client_, settings_.listeners[flow->listenerIndex_].address);
  flowsOffered_.fetch_add(1, std::memory_order_relaxed);
  bool accepted = provider && provider->handleNewUDPFlow(flow, flow->remote_);
  if (accepted) return;
  flowsDeclined_.fetch_add(1, std::memory_order_relaxed);
  // The system resolves a declined flow; later datagrams make a new flow.
  std::vector<Datagram> datagrams;
  std::shared_ptr<SystemDnsForwarder> forwarder;
  {
    std::lock_guard lock(mutex_);
    forwarder = forwarder_;
    datagrams.assign(std::make_move_iterator(flow->pending_.begin()), std::make_move_iterator(flow->pending_.end()));
    flow->pending_.clear();
    flow->finished_ = true;
    auto it = flows_.find(Key{flow->listenerIndex_, flow->client_});
    if (it != flows_.end() && it->second == flow) flows_.erase(it);
  }
  if (forwarder) forwarder->forward(settings_.listeners[flow->listenerIndex_].fd, flow->client_, datagrams);
}

void UdpFlowHost::finishLocked(HostUdpFlow& flow, std::vector<std::shared_ptr<HostUdpFlow>>& reoffer) {
  if (flow.finished_) return;
  flow.finished_ = true;
  Key key{flow.listenerIndex_, flow.client_};
  auto it = flows_.find(key);
  if (flow.detached_) {
    reading_.erase(&flow);
    auto reads = readsPerEndpoint_.find(key);
    if (reads != readsPerEndpoint_.end() && --reads->second == 0) readsPerEndpoint_.erase(reads);
    // A flow held back for this endpoint may go now.
    if (it != flows_.end() && it->second->held_ && running_) {
      it->second->held_ = false;
      reoffer.push_back(it->second);
    }
    return;
  }
  if (it != flows_.end() && it->second.get() == &flow) flows_.erase(it);
  if (flow.pending_.empty() || !running_) return;
  // Datagrams that came after the flow's read belong to the next flow.
  auto next = std::make_shared<HostUdpFlow>(shared_from_this(), flow.listenerIndex_, flow.client_);
  next->pending_.swap(flow.pending_);
  flows_.emplace(key, next);
  auto reads = readsPerEndpoint_.find(key);
  if (reads != readsPerEndpoint_.end() && reads->second >= kMaxReadsPerEndpoint)
    next->held_ = true;
  else
    reoffer.push_back(next);
}

void UdpFlowHost::detachLocked(HostUdpFlow& flow) {
  if (flow.detached_ || flow.finished_) return;
  Key key{flow.listenerIndex_, flow.client_};
  auto it = flows_.find(key);
  if (it == flows_.end() || it->second.get() != &flow) return;
  flow.detached_ = true;
  reading_.emplace(&flow, std::move(it->second));
  flows_.erase(it);
  ++readsPerEndpoint_[key];
}

void UdpFlowHost::reattachLocked(HostUdpFlow& flow) {
  // A provider that reads a flow again gets the endpoint's next datagrams
  // when no newer flow has taken them.
  if (!flow.detached_ || flow.finished_) return;
  Key key{flow.listenerIndex_, flow.client_};
  if (flows_.contains(key)) return;
  auto it = reading_.find(&flow);
  if (it == reading_.end()) return;
  flow.detached_ = false;
  flows_.emplace(key, std::move(it->second));
  reading_.erase(it);
  auto reads = readsPerEndpoint_.find(key);
  if (reads != readsPerEndpoint_.end() && --reads->second == 0) readsPerEndpoint_.erase(reads);
}

void UdpFlowHost::sweepIdle() {
  auto now = std::chrono::steady_clock::now();
  const int64_t nowNanos = now.time_since_epoch().count();
  int64_t last = lastSweep_.load(std::memory_order_relaxed);
  if (nowNanos - last < std::chrono::nanoseconds(std::chrono::seconds(1)).count()) return;
  // One receive thread sweeps; the others go on reading.
  if (!lastSweep_.compare_exchange_strong(last, nowNanos, std::memory_order_relaxed)) return;
  std::vector<std::shared_ptr<HostUdpFlow>> reoffer;
  std::vector<std::shared_ptr<HostUdpFlow>> dropped;
  {
    std::lock_guard lock(mutex_);
    // A flow its provider never finishes must not hold the endpoint or a slot for ever.
    auto idle = [&](const HostUdpFlow& flow) {
      return !flow.pendingRead_ && now - flow.lastActivity_ > settings_.idleFlowLimit;
    };
    for (auto& [key, flow] : flows_)
      if (idle(*flow)) dropped.push_back(flow);
    for (auto& [key, flow] : reading_)
      if (idle(*flow)) dropped.push_back(flow);
    for (auto& flow : dropped) {
      flow->readClosed_ = flow->writeClosed_ = true;
      finishLocked(*flow, reoffer);
    }
  }
  for (auto& flow : reoffer) post([self = shared_from_this(), flow]() { self->offer(flow); });
}

}  // namespace platform
