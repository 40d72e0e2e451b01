#include "platform/host/UdpFlowHost.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include <asio.hpp>

#include "platform/foundation/Log.h"
#include "platform/network/DatagramSend.h"
#include "platform/network/OwnSockets.h"
#include "platform/network/SocketBuffers.h"

namespace platform {
namespace {

NEError flowError(int code, const char* text) { return NEError{code, kNEAppProxyErrorDomain, text}; }

int64_t steadyNanos() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

// True at most once a second per stamp: for log lines about floods.
bool onceASecond(std::atomic<int64_t>& last) {
  const int64_t now = steadyNanos();
  int64_t seen = last.load(std::memory_order_relaxed);
  return now - seen >= 1'000'000'000 && last.compare_exchange_strong(seen, now, std::memory_order_relaxed);
}

}  // namespace

// ---- HostUdpFlow ----

HostUdpFlow::HostUdpFlow(std::shared_ptr<UdpFlowHost> host, size_t listenerIndex, size_t socket, size_t worker,
                         SocketAddress client, std::optional<SocketAddress> asked, size_t shard, std::mutex& mutex,
                         uint32_t generation)
    : host_(std::move(host)),
      listenerIndex_(listenerIndex),
      socket_(socket),
      worker_(worker),
      shard_(shard),
      generation_(generation),
      queue_(host_->queueFor(worker)),
      mutex_(mutex),
      client_(client),
      asked_(std::move(asked)),
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
  std::optional<NEError> error;
  if (readClosed_ || finished_)
    error = flowError(NEAppProxyFlowErrorNotConnected, "The flow is closed for reading");
  else if (pendingRead_)
    error = flowError(NEAppProxyFlowErrorReadAlreadyPending, "A read is already pending");
  if (error) {
    lock.unlock();
    post([completion = std::move(completion), error]() { completion(std::nullopt, std::nullopt, error); });
    return;
  }
  if (pending_.empty()) {
    // A read after the first: the endpoint's next datagram comes here when
    // no newer flow takes it; the sweep ends the wait.
    pendingRead_ = std::move(completion);
    const auto key = UdpFlowHost::keyOf(*this);
    auto& shard = host_->shardOf(*this);
    if (!inSlot_ && !shard.slots.contains(key)) {
      shard.slots.emplace(key, this);
      inSlot_ = true;
    }
    return;
  }
  std::vector<Datagram> datagrams;
  datagrams.swap(pending_);
  host_->leaveSlotLocked(*this);
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
    } else if (!host_->sendTo(*this, *to, datagrams[i])) {
      error = flowError(datagrams[i].size() > 65507 ? NEAppProxyFlowErrorDatagramTooLarge
                                                    : NEAppProxyFlowErrorHostUnreachable,
                        "The datagram could not be sent");
    }
  }
  post([completion = std::move(completion), error]() { completion(error); });
}

void HostUdpFlow::closeReadWithError(std::optional<NEError>) {
  std::optional<ReadCompletion> pendingRead;
  std::shared_ptr<HostUdpFlow> ended;  // released after the lock
  {
    std::lock_guard lock(mutex_);
    readClosed_ = true;
    pendingRead.swap(pendingRead_);
    if (writeClosed_) ended = host_->finishLocked(*this);
  }
  if (pendingRead) {
    post([completion = std::move(*pendingRead)]() {
      completion(std::nullopt, std::nullopt, flowError(NEAppProxyFlowErrorAborted, "The flow was closed for reading"));
    });
  }
}

void HostUdpFlow::closeWriteWithError(std::optional<NEError>) {
  std::shared_ptr<HostUdpFlow> ended;  // released after the lock
  std::lock_guard lock(mutex_);
  writeClosed_ = true;
  if (readClosed_) ended = host_->finishLocked(*this);
}

// ---- UdpFlowHost ----

namespace {

constexpr int kBatch = 32;
constexpr size_t kDatagramSize = 65536;

// recvmmsg buffers, one set per thread, reused for every batch. Left
// uninitialised: only the pages datagrams are written to are ever touched.
struct ReceiveBatch {
  std::unique_ptr<uint8_t[]> buffers{new uint8_t[kBatch * kDatagramSize]};
  mmsghdr messages[kBatch];
  iovec iovs[kBatch];
  sockaddr_storage peers[kBatch];
  alignas(cmsghdr) char controls[kBatch][kDestinationControlSize];

  int receive(int fd) {
    for (int i = 0; i < kBatch; ++i) {
      iovs[i] = {buffers.get() + i * kDatagramSize, kDatagramSize};
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
};

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
  if (bound.isUnspecified()) receiveDestinations(peer);
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
    std::error_code error;
    if (own >= 0) descriptor_.assign(own, error);
    if (own < 0 || error) {
      if (own >= 0 && !descriptor_.is_open()) ::close(own);
      NSLog("[NEHost] cannot read listen socket " + std::to_string(fd) + ": " +
            std::strerror(own < 0 ? errno : error.value()));
    }
  }

  bool ok() const { return descriptor_.is_open(); }

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
    if (closed_ || !descriptor_.is_open()) return;
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

size_t UdpFlowHost::budgetFromEnvironment() {
  constexpr size_t kDefault = 32u << 20;
  const char* text = std::getenv("VARDENO_FLOW_BUDGET_BYTES");
  if (!text || !*text) return kDefault;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 64 * 1024) {
    NSLog(std::string("[NEHost] VARDENO_FLOW_BUDGET_BYTES is not a number of bytes of at least 65536: ") +
          escapedText(text) + "; using " + std::to_string(kDefault));
    return kDefault;
  }
  return static_cast<size_t>(value);
}

std::shared_ptr<UdpFlowHost> UdpFlowHost::create(Settings settings, ProviderSource source) {
  return std::shared_ptr<UdpFlowHost>(new UdpFlowHost(std::move(settings), std::move(source)));
}

UdpFlowHost::UdpFlowHost(Settings settings, ProviderSource source)
    : settings_(std::move(settings)),
      source_(std::move(source)),
      budget_(settings_.byteBudget ? settings_.byteBudget : budgetFromEnvironment()) {
  const size_t workers = workerCount();
  workerLoad_ = std::vector<WorkerLoad>(workers);
  sockets_ = std::make_unique<Socket[]>(settings_.listeners.size() * workers);
  timerQueue_ = DispatchQueue::makeSerial("com.vardeno.host.flow-timers");
}

UdpFlowHost::~UdpFlowHost() { stop(); }

void UdpFlowHost::openSockets() {
  const size_t workers = workerCount();
  socketCount_ = 0;
  for (size_t i = 0; i < settings_.listeners.size(); ++i) {
    const auto& listener = settings_.listeners[i];
    const bool wildcard = listener.address.isUnspecified();
    if (wildcard) receiveDestinations(listener.fd);
    auto add = [&](int fd, size_t worker, bool owned) {
      Socket& socket = sockets_[socketCount_++];
      socket.fd.store(fd);
      socket.listener = i;
      socket.worker = worker;
      socket.owned = owned;
      socket.wildcard = wildcard;
    };
    add(listener.fd, i % workers, false);
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
      add(peer, (i + w) % workers, true);
    }
  }
}

void UdpFlowHost::closePeers() {
  for (size_t i = 0; i < socketCount_; ++i) {
    Socket& socket = sockets_[i];
    const int fd = socket.fd.exchange(-1);
    if (socket.owned && fd >= 0) close(fd);
  }
}

std::shared_ptr<DispatchQueue> UdpFlowHost::queueFor(size_t worker) const {
  return settings_.queue ? settings_.queue : workerQueue(worker);
}

std::shared_ptr<SystemDnsForwarder> UdpFlowHost::forwarder() const {
  std::lock_guard lock(forwarderMutex_);
  return forwarder_;
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

void UdpFlowHost::start() {
  std::lock_guard lifecycle(lifecycleMutex_);
  if (running_) return;
  {
    auto forwarder = std::make_shared<SystemDnsForwarder>(settings_.systemDns);
    std::lock_guard lock(forwarderMutex_);
    forwarder_ = std::move(forwarder);
  }
  openSockets();
  generation_.fetch_add(1);
  running_ = true;
  for (const auto& listener : settings_.listeners) OwnSockets::addListenAddress(listener.address);
  std::weak_ptr<UdpFlowHost> weak = weak_from_this();
  for (size_t i = 0; i < socketCount_; ++i) {
    auto reader = std::make_shared<Reader>(weak, i, sockets_[i].fd.load(), sockets_[i].worker);
    if (!reader->ok()) continue;
    reader->start();
    readers_.push_back(std::move(reader));
  }
}

void UdpFlowHost::closeReaders() {
  std::vector<std::future<void>> closed;
  for (auto& reader : readers_) closed.push_back(reader->close());
  // On a worker, a bounded wait: two hosts stopping on two workers must
  // not wait for each other for ever.
  const bool onWorker = currentWorker().has_value();
  for (auto& done : closed) {
    if (onWorker) done.wait_for(std::chrono::seconds(1));
    else done.wait();
  }
  readers_.clear();
}

void UdpFlowHost::stopReading() {
  std::lock_guard lifecycle(lifecycleMutex_);
  closeReaders();
}

bool UdpFlowHost::waitForFlows(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto forwarder = this->forwarder();
    const bool idle = openFlows_.load() == 0 && (!forwarder || forwarder->outstanding() == 0);
    forwarder.reset();
    if (idle) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void UdpFlowHost::stop() {
  std::lock_guard lifecycle(lifecycleMutex_);
  if (!running_.exchange(false)) return;
  closeReaders();
  {
    std::lock_guard lock(timerMutex_);
    if (sweepItem_) sweepItem_->cancel();
    if (heldItem_) heldItem_->cancel();
    sweepItem_.reset();
    heldItem_.reset();
    sweepArmed_ = false;
  }
  // Sends take microseconds; none starts from now on (running_ is clear).
  for (size_t i = 0; i < socketCount_; ++i)
    while (sockets_[i].sending.load(std::memory_order_acquire) != 0) std::this_thread::yield();
  // The forwarder answers through the listen sockets: it ends before they
  // may close. Its users hold it only for a call.
  std::shared_ptr<SystemDnsForwarder> forwarder;
  {
    std::lock_guard lock(forwarderMutex_);
    forwarder.swap(forwarder_);
  }
  while (forwarder && forwarder.use_count() > 1) std::this_thread::yield();
  forwarder.reset();
  closePeers();
  for (const auto& listener : settings_.listeners) OwnSockets::removeListenAddress(listener.address);
  // Every flow ends; a read still waiting learns it.
  std::vector<std::shared_ptr<HostUdpFlow>> ended;
  for (auto& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    const size_t from = ended.size();
    for (auto& [pointer, flow] : shard.flows) ended.push_back(flow);
    for (size_t i = from; i < ended.size(); ++i) (void)finishLocked(*ended[i]);
  }
  {
    std::lock_guard lock(heldMutex_);
    held_.clear();
  }
  for (auto& flow : ended) {
    std::optional<NEAppProxyUDPFlow::ReadCompletion> read;
    {
      std::lock_guard lock(flow->mutex_);
      read.swap(flow->pendingRead_);
    }
    if (read)
      flow->post([read = std::move(*read)] {
        read(std::nullopt, std::nullopt, flowError(NEAppProxyFlowErrorAborted, "The flow host stopped"));
      });
  }
}

size_t UdpFlowHost::flowCount() const { return openFlows_.load(); }

size_t UdpFlowHost::pendingDatagramCount() const {
  size_t n = 0;
  for (const auto& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    for (const auto& [pointer, flow] : shard.flows) n += flow->pending_.size();
  }
  return n;
}

bool UdpFlowHost::sendTo(const HostUdpFlow& flow, const SocketAddress& to, const Datagram& datagram) {
  // Counted before running_ is read; stop() clears running_ before it reads
  // the count (both sequentially consistent): one of them sees the other.
  Socket& socket = sockets_[flow.socket_];
  socket.sending.fetch_add(1);
  struct Done {
    std::atomic<uint32_t>& count;
    ~Done() { count.fetch_sub(1, std::memory_order_release); }
  } done{socket.sending};
  if (!running_.load() || generation_.load() != flow.generation_) return false;
  const int fd = socket.fd.load(std::memory_order_relaxed);
  return fd >= 0 && sendDatagram(fd, to, flow.asked_, datagram.data(), datagram.size());
}

bool UdpFlowHost::receive(size_t index, int rounds) {
  thread_local ReceiveBatch batch;
  const int fd = sockets_[index].fd.load(std::memory_order_relaxed);
  const bool wildcard = sockets_[index].wildcard;
  for (int round = 0; round < rounds; ++round) {
    const int n = batch.receive(fd);
    for (int i = 0; i < n; ++i) {
      auto* data = batch.buffers.get() + i * kDatagramSize;
      const auto& header = batch.messages[i].msg_hdr;
      auto client = SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&batch.peers[i]), header.msg_namelen);
      if (client.family() != AF_INET && client.family() != AF_INET6) continue;
      std::optional<SocketAddress> asked;
      if (wildcard) asked = destinationOf(header);
      onDatagram(index, client, asked, Datagram(data, data + batch.messages[i].msg_len));
    }
    if (n < kBatch) return true;
  }
  return false;
}

void UdpFlowHost::noteDrop(const char* why) {
  droppedDatagrams_.fetch_add(1, std::memory_order_relaxed);
  if (onceASecond(lastDropLog_))
    NSLog(std::string("[NEHost] dropped datagrams: ") + why + " (" +
          std::to_string(droppedDatagrams_.load(std::memory_order_relaxed)) + " dropped so far, " +
          std::to_string(heldBytes_.load(std::memory_order_relaxed)) + " of " + std::to_string(budget_) +
          " bytes held)");
}

void UdpFlowHost::onOwnDatagram(size_t socket, const SocketAddress& source, const std::optional<SocketAddress>& asked,
                                Datagram datagram) {
  const size_t listener = sockets_[socket].listener;
  ownDatagrams_.fetch_add(1, std::memory_order_relaxed);
  // Resolved as the system would, unless the system DNS is this process too.
  if (auto forwarder = this->forwarder();
      forwarder && forwarder->ok() && !OwnSockets::isOwnListenAddress(forwarder->systemDns())) {
    forwarder->forward(sockets_[socket].fd.load(std::memory_order_relaxed), source, asked, {std::move(datagram)});
    return;
  }
  if (onceASecond(lastOwnDropLog_))
    NSLog("[NEHost] dropped a datagram from this process's own socket " + source.description() + " to " +
          settings_.listeners[listener].address.description() +
          ": the system DNS is one of its listen addresses, so it would loop (" +
          std::to_string(ownDatagrams_.load(std::memory_order_relaxed)) + " own datagrams so far)");
}

bool UdpFlowHost::admits(size_t endpointBytes, size_t bytes) const {
  const auto held = static_cast<size_t>(heldBytes_.load(std::memory_order_relaxed));
  if (held + bytes > budget_) return false;
  // A quarter is kept for endpoints that hold little; no endpoint takes
  // more than a quarter.
  if (endpointBytes + bytes > budget_ / 4) return false;
  return held + bytes <= budget_ - budget_ / 4 || endpointBytes + bytes <= kSmallEndpoint;
}

bool UdpFlowHost::chargeLocked(HostUdpFlow& flow, size_t bytes) {
  Shard& shard = shardOf(flow);
  const Key key = keyOf(flow);
  auto it = shard.endpointBytes.find(key);
  const size_t endpoint = it == shard.endpointBytes.end() ? 0 : it->second;
  if (!admits(endpoint, bytes)) return false;
  heldBytes_.fetch_add(static_cast<int64_t>(bytes), std::memory_order_relaxed);
  if (it == shard.endpointBytes.end()) shard.endpointBytes.emplace(key, bytes);
  else it->second += bytes;
  flow.bytes_ += bytes;
  return true;
}

void UdpFlowHost::onDatagram(size_t socket, const SocketAddress& client, const std::optional<SocketAddress>& asked,
                             Datagram datagram) {
  // The process's own resolver sockets are never a client: offering their
  // datagrams to the provider would forward them back here for ever.
  if (OwnSockets::isOwnSource(client)) return onOwnDatagram(socket, client, asked, std::move(datagram));
  const size_t listener = sockets_[socket].listener;
  const Key key{listener, client, asked.value_or(SocketAddress())};
  const size_t shardIndex = UdpFlowHost::shardIndex(key);
  Shard& shard = shards_[shardIndex];
  const size_t cost = datagram.size() + kDatagramCost;
  std::shared_ptr<HostUdpFlow> answered;
  std::shared_ptr<HostUdpFlow> newFlow;
  std::optional<NEAppProxyUDPFlow::ReadCompletion> completion;
  const char* dropped = nullptr;
  {
    std::lock_guard lock(shard.mutex);
    auto it = shard.slots.find(key);
    if (it != shard.slots.end()) {
      HostUdpFlow& flow = *it->second;
      if (!chargeLocked(flow, cost)) {
        dropped = "over the byte budget";
      } else if (flow.pendingRead_) {
        completion.swap(flow.pendingRead_);
        answered = shard.flows.at(&flow);
        flow.lastActivity_ = std::chrono::steady_clock::now();
        leaveSlotLocked(flow);
      } else {
        flow.pending_.push_back(std::move(datagram));
        // A full read: the endpoint's next datagram makes the next flow.
        if (flow.pending_.size() >= kMaxDatagramsPerRead) leaveSlotLocked(flow);
      }
    } else if (openFlows_.load(std::memory_order_relaxed) >= kMaxFlows) {
      dropped = "too many flows";
    } else {
      const size_t worker = chooseWorker(socket);
      newFlow = std::make_shared<HostUdpFlow>(shared_from_this(), listener, socket, worker, client, asked, shardIndex,
                                              shard.mutex, generation_.load(std::memory_order_relaxed));
      if (!chargeLocked(*newFlow, cost + kFlowCost)) {
        dropped = "over the byte budget";
        newFlow.reset();
      } else {
        newFlow->pending_.push_back(std::move(datagram));
        newFlow->inSlot_ = true;
        shard.slots.emplace(key, newFlow.get());
        shard.flows.emplace(newFlow.get(), newFlow);
        workerLoad_[worker].flows.fetch_add(1, std::memory_order_relaxed);
        openFlows_.fetch_add(1);
      }
    }
  }
  if (dropped) return noteDrop(dropped);
  if (completion) {
    answered->post([completion = std::move(*completion), datagram = std::move(datagram), remote = answered->remote_]() mutable {
      std::vector<Datagram> datagrams;
      datagrams.push_back(std::move(datagram));
      completion(std::move(datagrams), std::vector<NWHostEndpoint>{remote}, std::nullopt);
    });
  }
  if (newFlow) {
    armSweep();
    newFlow->post([self = shared_from_this(), newFlow]() { self->present(newFlow); });
  }
}

void UdpFlowHost::present(std::shared_ptr<HostUdpFlow> flow) {
  auto provider = source_ ? source_() : nullptr;
  if (!settings_.owner || !provider || !provider->needsSourceAppIdentity()) return offer(std::move(flow), provider);
  const auto& server = settings_.listeners[flow->listenerIndex_].address;
  // The kernel's record of senders answers here; a walk over other
  // processes' tables goes off the worker, on the owner's one thread.
  if (auto owner = settings_.owner->quickUdpSocketOwner(flow->client_, server)) {
    flow->metaData_.sourceAppSigningIdentifier = std::move(*owner);
    return offer(std::move(flow), std::move(provider));
  }
  settings_.owner->udpSocketOwnerAsync(flow->client_, server,
                                       [self = shared_from_this(), flow](std::string owner) mutable {
                                         flow->post([self, flow, owner = std::move(owner)]() mutable {
                                           flow->metaData_.sourceAppSigningIdentifier = std::move(owner);
                                           self->offer(std::move(flow), self->source_ ? self->source_() : nullptr);
                                         });
                                       });
}

void UdpFlowHost::offer(std::shared_ptr<HostUdpFlow> flow, std::shared_ptr<NEDNSProxyProvider> provider) {
  if (!provider && settings_.holdFlows && settings_.holdFlows()) return hold(std::move(flow));
  flowsOffered_.fetch_add(1, std::memory_order_relaxed);
  if (provider && provider->handleNewUDPFlow(flow, flow->remote_)) return;
  flowsDeclined_.fetch_add(1, std::memory_order_relaxed);
  decline(flow);
}

void UdpFlowHost::decline(const std::shared_ptr<HostUdpFlow>& flow) {
  // The system resolves a declined flow; later datagrams make a new flow.
  std::vector<Datagram> datagrams;
  {
    std::lock_guard lock(flow->mutex_);
    if (flow->finished_) return;
    datagrams.swap(flow->pending_);
    flow->readClosed_ = flow->writeClosed_ = true;
    (void)finishLocked(*flow);
  }
  if (auto forwarder = this->forwarder())
    forwarder->forward(sockets_[flow->socket_].fd.load(std::memory_order_relaxed), flow->client_, flow->asked_,
                       datagrams);
}

void UdpFlowHost::hold(std::shared_ptr<HostUdpFlow> flow) {
  bool first = false;
  {
    std::lock_guard lock(heldMutex_);
    first = held_.empty();
    held_.push_back(Held{std::chrono::steady_clock::now() + settings_.holdLimit, std::move(flow)});
  }
  if (first) armTimer(heldItem_, settings_.holdLimit, &UdpFlowHost::expireHeld);
  // The provider may have become current while this flow was on its way.
  if (source_ && source_()) releaseHeldFlows();
}

void UdpFlowHost::releaseHeldFlows() {
  std::vector<Held> ready;
  {
    std::lock_guard lock(heldMutex_);
    ready.swap(held_);
  }
  for (auto& held : ready)
    held.flow->post([self = shared_from_this(), flow = held.flow] { self->present(flow); });
}

void UdpFlowHost::expireHeld() {
  const auto now = std::chrono::steady_clock::now();
  std::vector<Held> due;
  std::optional<std::chrono::steady_clock::time_point> next;
  {
    std::lock_guard lock(heldMutex_);
    auto it = std::partition(held_.begin(), held_.end(), [&](const Held& h) { return h.until > now; });
    due.assign(std::make_move_iterator(it), std::make_move_iterator(held_.end()));
    held_.erase(it, held_.end());
    for (const auto& h : held_)
      if (!next || h.until < *next) next = h.until;
  }
  if (next) armTimer(heldItem_, *next - now, &UdpFlowHost::expireHeld);
  for (auto& held : due) {
    auto provider = source_ ? source_() : nullptr;
    const bool stillWaiting = !provider && settings_.holdFlows && settings_.holdFlows();
    if (!stillWaiting) {
      held.flow->post([self = shared_from_this(), flow = held.flow] { self->present(flow); });
      continue;
    }
    // No provider came in time: never the system DNS while the
    // preferences ask for the proxy. The client asks again.
    size_t datagrams = 0;
    {
      std::lock_guard lock(held.flow->mutex_);
      datagrams = held.flow->pending_.size();
      held.flow->pending_.clear();
      held.flow->readClosed_ = held.flow->writeClosed_ = true;
      (void)finishLocked(*held.flow);
    }
    for (size_t i = 0; i < datagrams; ++i) noteDrop("no provider started in time for the held queries");
  }
}

void UdpFlowHost::leaveSlotLocked(HostUdpFlow& flow) {
  if (!flow.inSlot_) return;
  flow.inSlot_ = false;
  Shard& shard = shardOf(flow);
  auto it = shard.slots.find(keyOf(flow));
  if (it != shard.slots.end() && it->second == &flow) shard.slots.erase(it);
}

std::shared_ptr<HostUdpFlow> UdpFlowHost::finishLocked(HostUdpFlow& flow) {
  if (flow.finished_) return nullptr;
  flow.finished_ = true;
  leaveSlotLocked(flow);
  Shard& shard = shardOf(flow);
  if (flow.bytes_) {
    heldBytes_.fetch_sub(static_cast<int64_t>(flow.bytes_), std::memory_order_relaxed);
    auto it = shard.endpointBytes.find(keyOf(flow));
    if (it != shard.endpointBytes.end() && (it->second -= std::min(it->second, flow.bytes_)) == 0)
      shard.endpointBytes.erase(it);
    flow.bytes_ = 0;
  }
  workerLoad_[flow.worker_].flows.fetch_sub(1, std::memory_order_relaxed);
  openFlows_.fetch_sub(1);
  auto it = shard.flows.find(&flow);
  if (it == shard.flows.end()) return nullptr;
  auto record = std::move(it->second);
  shard.flows.erase(it);
  return record;
}

void UdpFlowHost::armTimer(std::shared_ptr<DispatchWorkItem>& item, std::chrono::nanoseconds delay,
                           void (UdpFlowHost::*run)()) {
  std::lock_guard lock(timerMutex_);
  if (!running_) return;  // stop() cancelled the timers
  item = timerQueue_->asyncAfter(delay, [weak = weak_from_this(), run] {
    if (auto self = weak.lock()) ((*self).*run)();
  });
}

void UdpFlowHost::armSweep() {
  if (sweepArmed_.load(std::memory_order_relaxed) || sweepArmed_.exchange(true)) return;
  armTimer(sweepItem_, settings_.idleFlowLimit, &UdpFlowHost::sweepIdle);
}

void UdpFlowHost::sweepIdle() {
  // Cleared first: a flow made from here on arms the next sweep itself.
  sweepArmed_ = false;
  const auto now = std::chrono::steady_clock::now();
  std::optional<std::chrono::steady_clock::time_point> next;
  std::vector<std::shared_ptr<HostUdpFlow>> idle;
  std::vector<std::pair<std::shared_ptr<HostUdpFlow>, NEAppProxyUDPFlow::ReadCompletion>> reads;
  for (auto& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    // A flow its provider never finishes must not hold the endpoint or a
    // slot for ever; a read waiting on it learns that it ended.
    const size_t from = idle.size();
    for (auto& [pointer, flow] : shard.flows) {
      const auto expires = flow->lastActivity_ + settings_.idleFlowLimit;
      if (expires <= now) idle.push_back(flow);
      else if (!next || expires < *next) next = expires;
    }
    for (size_t i = from; i < idle.size(); ++i) {
      auto& flow = idle[i];
      flow->readClosed_ = flow->writeClosed_ = true;
      if (flow->pendingRead_) {
        reads.emplace_back(flow, std::move(*flow->pendingRead_));
        flow->pendingRead_.reset();
      }
      (void)finishLocked(*flow);
    }
  }
  for (auto& [flow, read] : reads)
    flow->post([read = std::move(read)] {
      read(std::nullopt, std::nullopt, flowError(NEAppProxyFlowErrorAborted, "The flow was idle too long"));
    });
  if (!next || sweepArmed_.exchange(true)) return;
  armTimer(sweepItem_, *next - now + std::chrono::milliseconds(50), &UdpFlowHost::sweepIdle);
}

}  // namespace platform
