#include "platform/host/UdpFlowHost.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>

#include <asio.hpp>

#include "platform/foundation/Log.h"
#include "platform/network/OwnSockets.h"
#include "platform/network/SocketBuffers.h"

namespace platform {
namespace {

NEError flowError(int code, const char* text) { return NEError{code, kNEAppProxyErrorDomain, text}; }

}  // namespace

// ---- HostUdpFlow ----

HostUdpFlow::HostUdpFlow(std::shared_ptr<UdpFlowHost> host, size_t listenerIndex, size_t socket, size_t worker,
                         SocketAddress client, std::mutex& mutex)
    : host_(std::move(host)),
      listenerIndex_(listenerIndex),
      socket_(socket),
      worker_(worker),
      queue_(host_->queueFor(worker)),
      mutex_(mutex),
      client_(client),
      remote_(client.endpoint()),
      hash_(nextFlowHash()),
      lastActivity_(std::chrono::steady_clock::now()) {}

std::string HostUdpFlow::description() const {
  return "NEAppProxyUDPFlow(hash: " + std::to_string(hash_) + ", remote: " + remote_.description() +
         ", app: " + metaData_.sourceAppSigningIdentifier + ")";
}

bool HostUdpFlow::isBound() const {
  std::lock_guard lock(mutex_);
  return local_.has_value();
}

std::optional<NWHostEndpoint> HostUdpFlow::localEndpoint() const {
  std::lock_guard lock(mutex_);
  return local_;
}

void HostUdpFlow::openWithLocalEndpoint(std::optional<NWHostEndpoint> localEndpoint, OpenCompletion completion) {
  std::optional<NEError> error;
  {
    std::lock_guard lock(mutex_);
    lastActivity_ = std::chrono::steady_clock::now();
    if (readClosed_ || writeClosed_ || finished_)
      error = flowError(NEAppProxyFlowErrorNotConnected, "The flow is closed");
    else
      local_ = std::move(localEndpoint);
  }
  post([completion = std::move(completion), error]() { completion(error); });
}

void HostUdpFlow::readDatagrams(ReadCompletion completion) {
  std::unique_lock lock(mutex_);
  lastActivity_ = std::chrono::steady_clock::now();
  if (readClosed_ || finished_) {
    lock.unlock();
    post([completion = std::move(completion)]() {
      completion(std::nullopt, std::nullopt, flowError(NEAppProxyFlowErrorNotConnected, "The flow is closed for reading"));
    });
    return;
  }
  if (pendingRead_) {
    lock.unlock();
    post([completion = std::move(completion)]() {
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
  std::vector<Datagram> datagrams;
  datagrams.swap(pending_);
  host_->detachLocked(*this);
  lock.unlock();
  std::vector<NWHostEndpoint> endpoints(datagrams.size(), remote_);
  post([completion = std::move(completion), datagrams = std::move(datagrams),
               endpoints = std::move(endpoints)]() mutable {
    completion(std::move(datagrams), std::move(endpoints), std::nullopt);
  });
}

void HostUdpFlow::writeDatagrams(std::vector<Datagram> datagrams, std::vector<NWHostEndpoint> remoteEndpoints,
                                 WriteCompletion completion) {
  std::optional<NEError> error;
  {
    std::lock_guard lock(mutex_);
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
    } else if (!host_->sendTo(socket_, *to, datagrams[i])) {
      error = flowError(datagrams[i].size() > 65507 ? NEAppProxyFlowErrorDatagramTooLarge
                                                    : NEAppProxyFlowErrorHostUnreachable,
                        "The datagram could not be sent");
    }
  }
  post([completion = std::move(completion), error]() { completion(error); });
}

void HostUdpFlow::closeReadWithError(std::optional<NEError>) {
  std::optional<ReadCompletion> pendingRead;
  std::vector<std::shared_ptr<HostUdpFlow>> reoffer;
  {
    std::lock_guard lock(mutex_);
    readClosed_ = true;
    pendingRead.swap(pendingRead_);
    if (writeClosed_) host_->finishLocked(*this, reoffer);
  }
  if (pendingRead) {
    post([completion = std::move(*pendingRead)]() {
      completion(std::nullopt, std::nullopt, flowError(NEAppProxyFlowErrorAborted, "The flow was closed for reading"));
    });
  }
  for (auto& flow : reoffer) flow->post([host = host_, flow]() { host->offer(flow); });
}

void HostUdpFlow::closeWriteWithError(std::optional<NEError>) {
  std::vector<std::shared_ptr<HostUdpFlow>> reoffer;
  {
    std::lock_guard lock(mutex_);
    writeClosed_ = true;
    if (readClosed_) host_->finishLocked(*this, reoffer);
  }
  for (auto& flow : reoffer) flow->post([host = host_, flow]() { host->offer(flow); });
}

// ---- UdpFlowHost ----

namespace {

constexpr int kBatch = 32;
constexpr size_t kDatagramSize = 65536;

// recvmmsg buffers, one set per thread, reused for every batch.
struct ReceiveBatch {
  std::vector<uint8_t> buffers = std::vector<uint8_t>(kBatch * kDatagramSize);
  mmsghdr messages[kBatch];
  iovec iovs[kBatch];
  sockaddr_storage peers[kBatch];
  alignas(cmsghdr) char controls[kBatch][CMSG_SPACE(sizeof(timespec))];

  int receive(int fd) {
    for (int i = 0; i < kBatch; ++i) {
      iovs[i] = {buffers.data() + i * kDatagramSize, kDatagramSize};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &iovs[i];
      messages[i].msg_hdr.msg_iovlen = 1;
      messages[i].msg_hdr.msg_name = &peers[i];
      messages[i].msg_hdr.msg_namelen = sizeof peers[i];
      messages[i].msg_hdr.msg_control = controls[i];
      messages[i].msg_hdr.msg_controllen = sizeof controls[i];
    }
    return recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
  }

  // The kernel's receive stamp of message `i` (SO_TIMESTAMPNS), 0 when none.
  int64_t arrival(int i) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&messages[i].msg_hdr); c; c = CMSG_NXTHDR(&messages[i].msg_hdr, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec stamp;
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        return static_cast<int64_t>(stamp.tv_sec) * 1'000'000'000 + stamp.tv_nsec;
      }
    }
    return 0;
  }
};

// Receive stamps tell a client's datagram from one of our own sockets that
// took the client's port after the datagram arrived.
void stampArrivals(int fd) {
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
}

// A peer of `fd` on the same address, in the same SO_REUSEPORT group.
int openPeer(int fd, const SocketAddress& bound) {
  const int peer = socket(bound.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (peer < 0) return -1;
  int one = 1;
  if (bound.family() == AF_INET6) {
    int v6only = 0;
    socklen_t length = sizeof v6only;
    getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &length);
    setsockopt(peer, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
  }
  int size = 0;
  socklen_t length = sizeof size;
  // The kernel reports twice the size that was set.
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length) == 0) growSocketBuffers(peer, size / 2);
  stampArrivals(peer);
  if (setsockopt(peer, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0 ||
      bind(peer, bound.sockaddrPtr(), bound.length()) != 0) {
    close(peer);
    return -1;
  }
  return peer;
}

}  // namespace

// Waits for datagrams on one socket on its worker's loop, through a
// descriptor of its own for the socket. All but close() run on that loop.
class UdpFlowHost::Reader : public std::enable_shared_from_this<Reader> {
 public:
  Reader(std::weak_ptr<UdpFlowHost> host, size_t index, int fd, size_t worker)
      : host_(std::move(host)), index_(index), worker_(worker), descriptor_(workerIoContext(worker)) {
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    std::error_code ignored;
    if (own >= 0) descriptor_.assign(own, ignored);
  }

  void start() {
    asio::post(descriptor_.get_executor(), [self = shared_from_this()] { self->arm(); });
  }

  // Stops reading and closes the reader's descriptor; the future is ready
  // once done.
  std::future<void> close() {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    auto closeNow = [self = shared_from_this(), done] {
      self->closed_ = true;
      std::error_code ignored;
      self->descriptor_.close(ignored);
      done->set_value();
    };
    if (currentWorker() == worker_) closeNow();
    else asio::post(descriptor_.get_executor(), std::move(closeNow));
    return future;
  }

 private:
  void arm() {
    if (closed_) return;
    descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                           [self = shared_from_this()](const std::error_code& ec) {
                             if (!ec) self->read();
                           });
  }

  void read() {
    if (closed_) return;
    auto host = host_.lock();
    if (!host) return;
    // A few batches, then the loop's other work; the socket is drained
    // before waiting again, as its readiness is reported once per change.
    if (host->receive(index_, 4)) return arm();
    asio::post(descriptor_.get_executor(), [self = shared_from_this()] { self->read(); });
  }

  const std::weak_ptr<UdpFlowHost> host_;
  const size_t index_;
  const size_t worker_;
  asio::posix::stream_descriptor descriptor_;
  bool closed_ = false;
};

std::shared_ptr<UdpFlowHost> UdpFlowHost::create(Settings settings, ProviderSource source) {
  return std::shared_ptr<UdpFlowHost>(new UdpFlowHost(std::move(settings), std::move(source)));
}

UdpFlowHost::UdpFlowHost(Settings settings, ProviderSource source)
    : settings_(std::move(settings)), source_(std::move(source)) {
  forwarder_ = std::make_shared<SystemDnsForwarder>(settings_.systemDns);
  stopFd_ = eventfd(0, EFD_CLOEXEC);
  lastSweep_ = std::chrono::steady_clock::now().time_since_epoch().count();
  workerLoad_ = std::vector<WorkerLoad>(workerCount());
  openSockets();
  sending_ = std::make_unique<Sending[]>(sockets_.size());
}

UdpFlowHost::~UdpFlowHost() {
  stop();
  for (const auto& socket : sockets_)
    if (socket.owned) close(socket.fd);
  if (stopFd_ >= 0) close(stopFd_);
}

void UdpFlowHost::openSockets() {
  const size_t workers = workerCount();
  for (size_t i = 0; i < settings_.listeners.size(); ++i) {
    const auto& listener = settings_.listeners[i];
    sockets_.push_back(Socket{listener.fd, i, i % workers, false});
    stampArrivals(listener.fd);
    if (workers < 2) continue;
    // The listener's socket joins a SO_REUSEPORT group with its peers; set
    // after its bind, so that a port 0 it was bound to was not shared.
    int one = 1;
    if (setsockopt(listener.fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) continue;
    SocketAddress bound;
    socklen_t length = sizeof(sockaddr_storage);
    if (getsockname(listener.fd, bound.sockaddrPtr(), &length) != 0) continue;
    for (size_t w = 1; w < workers; ++w) {
      const int peer = openPeer(listener.fd, bound);
      if (peer < 0) break;
      sockets_.push_back(Socket{peer, i, (i + w) % workers, true});
    }
  }
}

std::shared_ptr<DispatchQueue> UdpFlowHost::queueFor(size_t worker) const {
  return settings_.queue ? settings_.queue : workerQueue(worker);
}

size_t UdpFlowHost::chooseWorker(size_t socket) {
  // A flow stays on the worker that read it, unless that worker has many
  // flows open and another has clearly fewer: a few busy clients, whose
  // sockets may all land on one worker, then spread over the others.
  const size_t own = sockets_[socket].worker;
  const size_t count = workerLoad_.size();
  auto load = [&](size_t w) { return workerLoad_[w].flows.load(std::memory_order_relaxed); };
  const int64_t ownLoad = load(own);
  if (ownLoad < kSpreadAbove || count < 2) return own;
  size_t best = own;
  int64_t bestLoad = ownLoad;
  const size_t from = spreadFrom_.fetch_add(1, std::memory_order_relaxed);  // ties go round
  for (size_t k = 0; k < count; ++k) {
    const size_t w = (from + k) % count;
    if (load(w) < bestLoad) best = w, bestLoad = load(w);
  }
  return bestLoad * 2 < ownLoad ? best : own;
}

std::shared_ptr<HostUdpFlow> UdpFlowHost::makeFlowLocked(size_t listener, size_t socket, const SocketAddress& client,
                                                         std::mutex& mutex) {
  const size_t worker = chooseWorker(socket);
  workerLoad_[worker].flows.fetch_add(1, std::memory_order_relaxed);
  return std::make_shared<HostUdpFlow>(shared_from_this(), listener, socket, worker, client, mutex);
}

void UdpFlowHost::markFinishedLocked(HostUdpFlow& flow) {
  if (flow.finished_) return;
  flow.finished_ = true;
  workerLoad_[flow.worker_].flows.fetch_sub(1, std::memory_order_relaxed);
}

void UdpFlowHost::start() {
  if (running_.exchange(true)) return;
  for (const auto& listener : settings_.listeners) OwnSockets::addListenAddress(listener.address);
  std::weak_ptr<UdpFlowHost> weak = weak_from_this();
  for (size_t i = 0; i < sockets_.size(); ++i) {
    readers_.push_back(std::make_shared<Reader>(weak, i, sockets_[i].fd, sockets_[i].worker));
    readers_.back()->start();
  }
  watch_ = std::thread([this] { watchLoop(); });
}

void UdpFlowHost::stop() {
  if (!running_.exchange(false)) return;
  uint64_t one = 1;
  (void)!write(stopFd_, &one, sizeof one);
  if (watch_.joinable()) watch_.join();
  {
    std::vector<std::future<void>> closed;
    for (auto& reader : readers_) closed.push_back(reader->close());
    // On a worker, a bounded wait: two hosts stopping on two workers must
    // not wait for each other for ever.
    const bool onWorker = currentWorker().has_value();
    for (auto& done : closed) {
      if (onWorker) done.wait_for(std::chrono::seconds(1));
      else done.wait();
    }
  }
  readers_.clear();
  uint64_t count = 0;
  (void)!read(stopFd_, &count, sizeof count);
  // Sends take microseconds; none starts from now on.
  for (size_t i = 0; i < sockets_.size(); ++i)
    while (sending_[i].count.load(std::memory_order_acquire) != 0) std::this_thread::yield();
  // The peers leave the port now; an answer still being written goes out
  // of an unbound socket under the same descriptor number.
  for (const auto& socket : sockets_) {
    if (!socket.owned) continue;
    const int placeholder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (placeholder >= 0) {
      dup2(placeholder, socket.fd);
      close(placeholder);
    }
  }
  for (const auto& listener : settings_.listeners) OwnSockets::removeListenAddress(listener.address);
  for (auto& shard : shards_) {
    std::unordered_map<Key, std::shared_ptr<HostUdpFlow>, KeyHash> flows;
    std::unordered_map<const HostUdpFlow*, std::shared_ptr<HostUdpFlow>> reading;
    {
      std::lock_guard lock(shard.mutex);
      for (auto& [key, flow] : shard.flows) flow->finished_ = true;
      for (auto& [key, flow] : shard.reading) flow->finished_ = true;
      flows.swap(shard.flows);
      reading.swap(shard.reading);
      shard.readsPerEndpoint.clear();
      shard.recount();
    }
  }
  for (auto& load : workerLoad_) load.flows.store(0, std::memory_order_relaxed);
  std::shared_ptr<SystemDnsForwarder> forwarder;
  {
    std::lock_guard lock(forwarderMutex_);
    forwarder.swap(forwarder_);
  }
  // Its thread ends with the last user; after that no answer uses the sockets.
  forwarder.reset();
}

size_t UdpFlowHost::flowCount() const {
  size_t n = 0;
  for (const auto& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    n += shard.flows.size() + shard.reading.size();
  }
  return n;
}

size_t UdpFlowHost::totalFlows() const {
  size_t n = 0;
  for (const auto& shard : shards_) n += shard.count.load(std::memory_order_relaxed);
  return n;
}

UdpFlowHost::Shard& UdpFlowHost::shardOf(const HostUdpFlow& flow) {
  return shards_[shardIndex(Key{flow.listenerIndex_, flow.client_})];
}

size_t UdpFlowHost::pendingDatagramCount() const {
  size_t n = 0;
  for (const auto& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    for (const auto& [key, flow] : shard.flows) n += flow->pending_.size();
  }
  return n;
}

bool UdpFlowHost::sendTo(size_t socket, const SocketAddress& to, const Datagram& datagram) {
  // Counted before running_ is read; stop() clears running_ before it reads
  // the count (both sequentially consistent): one of them sees the other.
  auto& sending = sending_[socket].count;
  sending.fetch_add(1);
  struct Done {
    std::atomic<uint32_t>& count;
    ~Done() { count.fetch_sub(1, std::memory_order_release); }
  } done{sending};
  if (!running_.load()) return false;
  int fd = sockets_[socket].fd;
  for (int attempt = 0; attempt < 3; ++attempt) {
    ssize_t n = sendto(fd, datagram.data(), datagram.size(), MSG_DONTWAIT, to.sockaddrPtr(), to.length());
    if (n == static_cast<ssize_t>(datagram.size())) return true;
    if (n < 0 && errno != EINTR && errno != ENOBUFS && errno != EAGAIN) return false;
  }
  return false;
}

bool UdpFlowHost::receive(size_t index, int rounds) {
  thread_local ReceiveBatch batch;
  const int fd = sockets_[index].fd;
  for (int round = 0; round < rounds; ++round) {
    const int n = batch.receive(fd);
    for (int i = 0; i < n; ++i) {
      auto* data = batch.buffers.data() + i * kDatagramSize;
      auto client = SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&batch.peers[i]),
                                                batch.messages[i].msg_hdr.msg_namelen);
      if (client.family() != AF_INET && client.family() != AF_INET6) continue;
      onDatagram(index, client, Datagram(data, data + batch.messages[i].msg_len), batch.arrival(i));
    }
    if (n < kBatch) return true;
  }
  return false;
}

void UdpFlowHost::watchLoop() {
  // Per socket: the worker's progress count seen at the last tick.
  std::vector<uint64_t> seen(sockets_.size(), 0);
  std::vector<pollfd> fds;
  std::vector<size_t> stuck;
  for (;;) {
    stuck.clear();
    for (size_t i = 0; i < sockets_.size(); ++i) {
      const uint64_t progress = workerProgress(sockets_[i].worker);
      if ((progress & 1) && progress == seen[i]) stuck.push_back(i);
      seen[i] = progress;
    }
    fds.assign(1, pollfd{stopFd_, POLLIN, 0});
    for (size_t i : stuck) fds.push_back(pollfd{sockets_[i].fd, POLLIN, 0});
    const int ready = poll(fds.data(), fds.size(), 25);
    if (fds[0].revents) return;
    for (size_t k = 1; ready > 0 && k < fds.size(); ++k)
      if (fds[k].revents & POLLIN) receive(stuck[k - 1], 4);
    sweepIdle();
  }
}

void UdpFlowHost::onOwnDatagram(size_t socket, const SocketAddress& source, Datagram datagram) {
  const size_t listener = sockets_[socket].listener;
  ownDatagrams_.fetch_add(1, std::memory_order_relaxed);
  std::shared_ptr<SystemDnsForwarder> forwarder;
  {
    std::lock_guard lock(forwarderMutex_);
    forwarder = forwarder_;
  }
  // Resolved as the system would, unless the system DNS is this process too.
  if (forwarder && forwarder->ok() && !OwnSockets::isOwnListenAddress(forwarder->systemDns())) {
    forwarder->forward(sockets_[socket].fd, source, {std::move(datagram)});
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

void UdpFlowHost::onDatagram(size_t socket, const SocketAddress& client, Datagram datagram, int64_t arrival) {
  // The process's own resolver sockets are never a client: offering their
  // datagrams to the provider would forward them back here for ever.
  if (OwnSockets::isOwnSource(client, arrival)) return onOwnDatagram(socket, client, std::move(datagram));
  const size_t listener = sockets_[socket].listener;
  std::shared_ptr<HostUdpFlow> answered;
  std::shared_ptr<HostUdpFlow> newFlow;
  std::optional<NEAppProxyUDPFlow::ReadCompletion> completion;
  NWHostEndpoint remote;
  const Key key{listener, client};
  Shard& shard = shards_[shardIndex(key)];
  {
    std::lock_guard lock(shard.mutex);
    auto it = shard.flows.find(key);
    if (it != shard.flows.end()) {
      HostUdpFlow& flow = *it->second;
      if (flow.pendingRead_) {
        completion.swap(flow.pendingRead_);
        answered = it->second;
        remote = flow.remote_;
        flow.lastActivity_ = std::chrono::steady_clock::now();
        detachLocked(flow);
      } else if (flow.pending_.size() < kMaxPendingDatagrams) {
        flow.pending_.push_back(std::move(datagram));
      } else {
        droppedDatagrams_.fetch_add(1, std::memory_order_relaxed);  // the client retries
      }
    } else if (totalFlows() < kMaxFlows) {
      newFlow = makeFlowLocked(listener, socket, client, shard.mutex);
      newFlow->pending_.push_back(std::move(datagram));
      shard.flows.emplace(key, newFlow);
      auto reads = shard.readsPerEndpoint.find(key);
      if (reads != shard.readsPerEndpoint.end() && reads->second >= kMaxReadsPerEndpoint) {
        newFlow->held_ = true;  // offered when one of the endpoint's reads ends
        newFlow.reset();
      }
    }
    shard.recount();
  }
  if (completion) {
    answered->post([completion = std::move(*completion), datagram = std::move(datagram), remote]() mutable {
      std::vector<Datagram> datagrams;
      datagrams.push_back(std::move(datagram));
      completion(std::move(datagrams), std::vector<NWHostEndpoint>{remote}, std::nullopt);
    });
  }
  if (newFlow) newFlow->post([self = shared_from_this(), newFlow]() { self->offer(newFlow); });
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
    std::lock_guard lock(forwarderMutex_);
    forwarder = forwarder_;
  }
  {
    Shard& shard = shardOf(*flow);
    std::lock_guard lock(shard.mutex);
    datagrams.swap(flow->pending_);
    markFinishedLocked(*flow);
    auto it = shard.flows.find(Key{flow->listenerIndex_, flow->client_});
    if (it != shard.flows.end() && it->second == flow) shard.flows.erase(it);
    shard.recount();
  }
  if (forwarder) forwarder->forward(sockets_[flow->socket_].fd, flow->client_, datagrams);
}

void UdpFlowHost::finishLocked(HostUdpFlow& flow, std::vector<std::shared_ptr<HostUdpFlow>>& reoffer) {
  Shard& shard = shardOf(flow);  // before: the flow may end in there
  finishInShardLocked(flow, reoffer);
  shard.recount();
}

void UdpFlowHost::finishInShardLocked(HostUdpFlow& flow, std::vector<std::shared_ptr<HostUdpFlow>>& reoffer) {
  if (flow.finished_) return;
  markFinishedLocked(flow);
  Key key{flow.listenerIndex_, flow.client_};
  Shard& shard = shards_[shardIndex(key)];
  auto it = shard.flows.find(key);
  if (flow.detached_) {
    shard.reading.erase(&flow);
    auto reads = shard.readsPerEndpoint.find(key);
    if (reads != shard.readsPerEndpoint.end() && --reads->second == 0) shard.readsPerEndpoint.erase(reads);
    // A flow held back for this endpoint may go now.
    if (it != shard.flows.end() && it->second->held_ && running_) {
      it->second->held_ = false;
      reoffer.push_back(it->second);
    }
    return;
  }
  if (it != shard.flows.end() && it->second.get() == &flow) shard.flows.erase(it);
  if (flow.pending_.empty() || !running_) return;
  // Datagrams that came after the flow's read belong to the next flow.
  auto next = makeFlowLocked(flow.listenerIndex_, flow.socket_, flow.client_, shard.mutex);
  next->pending_.swap(flow.pending_);
  shard.flows.emplace(key, next);
  auto reads = shard.readsPerEndpoint.find(key);
  if (reads != shard.readsPerEndpoint.end() && reads->second >= kMaxReadsPerEndpoint)
    next->held_ = true;
  else
    reoffer.push_back(next);
}

void UdpFlowHost::detachLocked(HostUdpFlow& flow) {
  if (flow.detached_ || flow.finished_) return;
  Key key{flow.listenerIndex_, flow.client_};
  Shard& shard = shards_[shardIndex(key)];
  auto it = shard.flows.find(key);
  if (it == shard.flows.end() || it->second.get() != &flow) return;
  flow.detached_ = true;
  shard.reading.emplace(&flow, std::move(it->second));
  shard.flows.erase(it);
  ++shard.readsPerEndpoint[key];
}

void UdpFlowHost::reattachLocked(HostUdpFlow& flow) {
  // A provider that reads a flow again gets the endpoint's next datagrams
  // when no newer flow has taken them.
  if (!flow.detached_ || flow.finished_) return;
  Key key{flow.listenerIndex_, flow.client_};
  Shard& shard = shards_[shardIndex(key)];
  if (shard.flows.contains(key)) return;
  auto it = shard.reading.find(&flow);
  if (it == shard.reading.end()) return;
  flow.detached_ = false;
  shard.flows.emplace(key, std::move(it->second));
  shard.reading.erase(it);
  auto reads = shard.readsPerEndpoint.find(key);
  if (reads != shard.readsPerEndpoint.end() && --reads->second == 0) shard.readsPerEndpoint.erase(reads);
}

void UdpFlowHost::sweepIdle() {
  auto now = std::chrono::steady_clock::now();
  const int64_t nowNanos = now.time_since_epoch().count();
  int64_t last = lastSweep_.load(std::memory_order_relaxed);
  if (nowNanos - last < std::chrono::nanoseconds(std::chrono::seconds(1)).count()) return;
  if (!lastSweep_.compare_exchange_strong(last, nowNanos, std::memory_order_relaxed)) return;
  std::vector<std::shared_ptr<HostUdpFlow>> reoffer;
  std::vector<std::shared_ptr<HostUdpFlow>> dropped;
  for (auto& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    // A flow its provider never finishes must not hold the endpoint or a slot for ever.
    auto idle = [&](const HostUdpFlow& flow) {
      return !flow.pendingRead_ && now - flow.lastActivity_ > settings_.idleFlowLimit;
    };
    const size_t from = dropped.size();
    for (auto& [key, flow] : shard.flows)
      if (idle(*flow)) dropped.push_back(flow);
    for (auto& [key, flow] : shard.reading)
      if (idle(*flow)) dropped.push_back(flow);
    for (size_t i = from; i < dropped.size(); ++i) {
      dropped[i]->readClosed_ = dropped[i]->writeClosed_ = true;
      finishLocked(*dropped[i], reoffer);
    }
  }
  for (auto& flow : reoffer) flow->post([self = shared_from_this(), flow]() { self->offer(flow); });
}

}  // namespace platform
