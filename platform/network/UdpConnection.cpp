#include "platform/network/UdpConnection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <shared_mutex>

#include <asio.hpp>

#include "platform/foundation/Fifo.h"
#include "platform/foundation/Log.h"
#include "platform/network/OwnSockets.h"
#include "platform/network/SocketAddress.h"

namespace platform {

NWError NWError::posix(int code) {
  return NWError{code, "POSIXErrorCode(rawValue: " + std::to_string(code) + "): " + std::strerror(code), posixDomain};
}

NWError NWError::dns(int eaiCode) {
  return NWError{eaiCode, "DNSError(" + std::to_string(eaiCode) + "): " + ::gai_strerror(eaiCode), dnsDomain};
}

std::string NWConnectionState::description() const {
  const std::string err = error ? error->description : std::string();
  switch (kind) {
    case setup: return "setup";
    case preparing: return "preparing";
    case ready: return "ready";
    case waiting: return "waiting(" + err + ")";
    case failed: return "failed(" + err + ")";
    case cancelled: return "cancelled";
  }
  return "unknown";
}

std::string NWEndpoint::description() const {
  if (host.find(':') != std::string::npos && !host.starts_with('[')) return "[" + host + "]:" + std::to_string(port);
  return host + ":" + std::to_string(port);
}

std::string optionalDescription(const std::optional<NWError>& error) {
  return error ? "Optional(" + error->description + ")" : "nil";
}

namespace {

using asio::ip::udp;

// Strict numeric parse; "[v6]" accepted.
std::optional<asio::ip::address> numericAddress(std::string host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  in_addr v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return asio::ip::address_v4(ntohl(v4.s_addr));
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    asio::ip::address_v6::bytes_type bytes;
    std::memcpy(bytes.data(), v6.s6_addr, bytes.size());
    return asio::ip::address_v6(bytes);
  }
  return std::nullopt;
}

// True for legacy numeric forms ("127.1", "2001", "0x7f.1") that the
// resolver would take as addresses although inet_pton does not.
bool legacyNumericForm(const std::string& host) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* result = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
  if (result) ::freeaddrinfo(result);
  return rc == 0;
}

struct Resolved {
  std::optional<udp::endpoint> endpoint;
  std::optional<NWError> error;
};

// Blocking name lookup, IPv4 first ("localhost" gives 127.0.0.1).
Resolved resolveName(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_family = AF_UNSPEC;
  addrinfo* result = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
  if (rc != 0) return Resolved{std::nullopt, rc == EAI_SYSTEM ? NWError::posix(errno) : NWError::dns(rc)};
  std::optional<udp::endpoint> v4, v6;
  for (addrinfo* ai = result; ai; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET && !v4) {
      const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
      v4 = udp::endpoint(asio::ip::address_v4(ntohl(sin->sin_addr.s_addr)), port);
    } else if (ai->ai_family == AF_INET6 && !v6) {
      const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr);
      asio::ip::address_v6::bytes_type bytes;
      std::memcpy(bytes.data(), sin6->sin6_addr.s6_addr, bytes.size());
      v6 = udp::endpoint(asio::ip::address_v6(bytes, sin6->sin6_scope_id), port);
    }
  }
  ::freeaddrinfo(result);
  if (v4) return Resolved{v4, std::nullopt};
  if (v6) return Resolved{v6, std::nullopt};
  return Resolved{std::nullopt, NWError::dns(EAI_NONAME)};
}

// UDP as asio sees it, with sockets opened non-blocking and kept from
// programs this process runs. Opened (not assigned) by asio, a socket leaves
// the event loop with its close alone.
class CloexecUdp {
 public:
  using endpoint = asio::ip::basic_endpoint<CloexecUdp>;
  static CloexecUdp v4() noexcept { return CloexecUdp(AF_INET); }
  static CloexecUdp v6() noexcept { return CloexecUdp(AF_INET6); }
  int type() const noexcept { return SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC; }
  int protocol() const noexcept { return IPPROTO_UDP; }
  int family() const noexcept { return family_; }
  friend bool operator==(const CloexecUdp& a, const CloexecUdp& b) { return a.family_ == b.family_; }
  friend bool operator!=(const CloexecUdp& a, const CloexecUdp& b) { return a.family_ != b.family_; }

 private:
  explicit CloexecUdp(int family) : family_(family) {}
  int family_;
};

// A UDP socket whose non-blocking mode, set when it is opened, asio is told
// of: otherwise its first wait sets the mode again, a system call per socket.
class NonBlockingUdpSocket : public asio::basic_datagram_socket<CloexecUdp> {
 public:
  using asio::basic_datagram_socket<CloexecUdp>::basic_datagram_socket;
  void open(const CloexecUdp& protocol, std::error_code& ec) {
    asio::basic_datagram_socket<CloexecUdp>::open(protocol, ec);
    if (!ec) impl_.get_implementation().state_ |= asio::detail::socket_ops::internal_non_blocking;
  }
};

// The executor of a new connection: the calling worker's loop, which runs on
// one thread, or else a strand of the shared pool.
asio::any_io_executor connectionExecutor(asio::io_context* loop) {
  if (loop) return loop->get_executor();
  return asio::make_strand(dispatchIoContext());
}

// All socket work runs on one executor (one thread at a time); user
// callbacks go to the start queue. Calls and completions are deferred rather
// than posted: made from a loop's thread they continue on that thread
// instead of waking another one.
class SocketUdpConnection final : public UdpConnection {
 public:
  explicit SocketUdpConnection(NWEndpoint remote)
      : remote_(std::move(remote)),
        loop_(currentWorkerIoContext()),
        strand_(connectionExecutor(loop_)),
        socket_(strand_) {}
  ~SocketUdpConnection() override { forgetOwnSocket(); }

  void setStateUpdateHandler(StateHandler handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }

  void start(std::shared_ptr<DispatchQueue> queue) override {
    if (!queue) return;
    auto self = shared();
    later([self, queue = std::move(queue)] { self->doStart(queue); });
  }

  void send(std::vector<uint8_t> datagram, SendCompletion completion) override {
    if (sendDirect(datagram, completion)) return;
    auto self = shared();
    strandSends_.fetch_add(1, std::memory_order_acq_rel);
    later([self, datagram = std::move(datagram), completion = std::move(completion)]() mutable {
      self->doSend(std::move(datagram), std::move(completion));
      self->strandSends_.fetch_sub(1, std::memory_order_acq_rel);
    });
  }

  void receiveMessage(ReceiveCompletion completion) override {
    auto self = shared();
    later([self, completion = std::move(completion)]() mutable {
      self->doReceive(std::move(completion));
    });
  }

  void cancel() override {
    cancelRequested_.store(true, std::memory_order_release);
    auto self = shared();
    later([self] { self->doCancel(); });
  }

  NWConnectionState state() const override {
    std::lock_guard lock(mutex_);
    return state_;
  }

  const NWEndpoint& endpoint() const override { return remote_; }

  std::optional<std::string> currentPath() const override {
    std::lock_guard lock(mutex_);
    if (state_.kind != NWConnectionState::ready) return std::nullopt;
    return std::string("satisfied");
  }

 private:
  // Runs `work` on the strand after the caller, as asio::defer does.
  template <class Work>
  void later(Work work) {
    if (loop_) deferOnWorker(*loop_, std::move(work));
    else asio::defer(strand_, std::move(work));
  }

  struct PendingSend {
    std::vector<uint8_t> datagram;
    SendCompletion completion;
  };

  // While ready and no earlier send waits on the strand, a send is made on
  // the calling thread: a connection shared by several threads takes no
  // hop per datagram. False: the strand sends it.
  bool sendDirect(const std::vector<uint8_t>& datagram, SendCompletion& completion) {
    if (strandSends_.load(std::memory_order_acquire) != 0 || asyncSends_.load(std::memory_order_acquire) != 0)
      return false;
    std::shared_ptr<DispatchQueue> queue;
    std::optional<NWError> error;
    {
      std::shared_lock lock(directMutex_);
      if (directFd_ < 0 || cancelRequested_.load(std::memory_order_acquire) ||
          strandSends_.load(std::memory_order_acquire) != 0 || asyncSends_.load(std::memory_order_acquire) != 0)
        return false;
      const ssize_t n = ::send(directFd_, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
      if (n < 0) error = NWError::posix(errno);
      queue = directQueue_;
    }
    if (completion && queue)
      queue->asyncContinuation([completion = std::move(completion), error = std::move(error)] { completion(error); });
    return true;
  }

  void setDirect(int fd) {
    std::unique_lock lock(directMutex_);
    directFd_ = fd;
    directQueue_ = fd >= 0 ? queue_ : nullptr;
  }

  std::shared_ptr<SocketUdpConnection> shared() {
    return std::static_pointer_cast<SocketUdpConnection>(shared_from_this());
  }

  NWConnectionState::Kind kind() const {
    std::lock_guard lock(mutex_);
    return state_.kind;
  }

  // On the strand. Terminal states release the handler and the self-reference.
  void report(NWConnectionState next) {
    StateHandler handler;
    const bool terminal = next.kind == NWConnectionState::failed || next.kind == NWConnectionState::cancelled;
    {
      std::lock_guard lock(mutex_);
      state_ = next;
      if (terminal) handler = std::move(handler_), handler_ = nullptr;
      else handler = handler_;
    }
    if (handler && queue_) {
      queue_->asyncContinuation([handler = std::move(handler), next = std::move(next)] { handler(next); });
    }
    if (terminal) keepAlive_.reset();
  }

  void doStart(std::shared_ptr<DispatchQueue> queue) {
    if (started_) return;
    started_ = true;
    queue_ = std::move(queue);
    if (kind() == NWConnectionState::cancelled) {  // cancelled before start
      report(NWConnectionState{NWConnectionState::cancelled, std::nullopt});
      return;
    }
    keepAlive_ = shared();
    report(NWConnectionState{NWConnectionState::preparing, std::nullopt});
    if (remote_.port < 0 || remote_.port > 65535) {
      fail(NWError::posix(EINVAL));
      return;
    }
    const auto port = static_cast<uint16_t>(remote_.port);
    if (auto address = numericAddress(remote_.host)) {
      connectTo(udp::endpoint(*address, port));
      return;
    }
    if (remote_.host.empty() || remote_.host.find('\0') != std::string::npos || legacyNumericForm(remote_.host)) {
      fail(NWError::dns(EAI_NONAME));
      return;
    }
    // getaddrinfo blocks: run it off the strand, then come back.
    auto self = shared();
    DispatchQueue::global(QoS::userInitiated)->async([self, host = remote_.host, port] {
      Resolved resolved = resolveName(host, port);
      asio::post(self->strand_, [self, resolved = std::move(resolved)] {
        if (self->kind() != NWConnectionState::preparing) return;  // cancelled meanwhile
        if (resolved.endpoint) self->connectTo(*resolved.endpoint);
        else self->fail(*resolved.error);
      });
    });
  }

  void connectTo(const udp::endpoint& endpoint) {
    std::error_code ec;
    const CloexecUdp::endpoint peer(endpoint.address(), endpoint.port());
    // Sends and receives are made here, with MSG_DONTWAIT; asio only waits.
    socket_.open(peer.protocol(), ec);
    if (!ec) socket_.connect(peer, ec);  // a UDP connect only sets the peer
    if (ec) {
      fail(NWError::posix(ec.value()));
      return;
    }
    if (!registerOwnSocket(endpoint)) return;
    report(NWConnectionState{NWConnectionState::ready, std::nullopt});
    Fifo<PendingSend> queued;
    queued.swap(queuedSends_);
    for (auto& pending : queued) transmit(std::move(pending.datagram), std::move(pending.completion));
    setDirect(socket_.native_handle());
    armReceive();
  }

  void fail(NWError error) {
    closeSocket();
    failure_ = error;
    // Waiting callers learn of the failure instead of waiting for ever.
    for (auto& pending : queuedSends_) complete(std::move(pending.completion), error);
    queuedSends_.clear();
    for (auto& completion : receives_) deliver(std::move(completion), std::nullopt, error);
    receives_.clear();
    report(NWConnectionState{NWConnectionState::failed, error});
  }

  void doCancel() {
    const auto current = kind();
    if (current == NWConnectionState::cancelled || current == NWConnectionState::failed) return;
    closeSocket();
    queuedSends_.clear();
    receives_.clear();
    if (!started_) {
      std::lock_guard lock(mutex_);
      state_ = NWConnectionState{NWConnectionState::cancelled, std::nullopt};
      return;
    }
    report(NWConnectionState{NWConnectionState::cancelled, std::nullopt});
  }

  void closeSocket() {
    setDirect(-1);
    forgetOwnSocket();
    std::error_code ignored;
    if (socket_.is_open()) socket_.close(ignored);  // aborts the pending receive
    receiveArmed_ = false;
  }

  // A datagram of ours to one of our own listen addresses would come back
  // as a new flow, and its forward again: refuse such a peer. Otherwise the
  // socket is known as our own, so the flow host never offers its datagrams.
  bool registerOwnSocket(const udp::endpoint& endpoint) {
    const SocketAddress target =
        SocketAddress::fromSockaddr(endpoint.data(), static_cast<socklen_t>(endpoint.size()));
    SocketAddress local;
    socklen_t length = sizeof(sockaddr_storage);
    getsockname(socket_.native_handle(), local.sockaddrPtr(), &length);
    if (OwnSockets::isOwnListenAddress(target, &local)) {
      NSLog("UdpConnection refused " + remote_.description() + " (" + target.description() +
            "): it is one of this process's own listen addresses, so the datagrams would come back to it");
      fail(NWError::posix(ECONNREFUSED));
      return false;
    }
    ownAddress_ = local;
    OwnSockets::addLocalAddress(local);
    return true;
  }

  void forgetOwnSocket() {
    if (!ownAddress_) return;
    OwnSockets::removeLocalAddress(*ownAddress_);
    ownAddress_.reset();
  }

  void doSend(std::vector<uint8_t> datagram, SendCompletion completion) {
    switch (kind()) {
      case NWConnectionState::cancelled: return;
      case NWConnectionState::failed: complete(std::move(completion), failure_); return;
      case NWConnectionState::ready: transmit(std::move(datagram), std::move(completion)); return;
      default: queuedSends_.push_back(PendingSend{std::move(datagram), std::move(completion)});
    }
  }

  // Sent at once when the socket takes it, so its completion is queued
  // before any answer to it; a full send buffer falls back to an async send.
  void transmit(std::vector<uint8_t> datagram, SendCompletion completion) {
    if (pendingAsyncSends_ == 0) {
      const ssize_t n =
          ::send(socket_.native_handle(), datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        complete(std::move(completion), n < 0 ? std::optional(NWError::posix(errno)) : std::nullopt);
        return;
      }
    }
    auto buffer = std::make_shared<std::vector<uint8_t>>(std::move(datagram));
    auto self = shared();
    ++pendingAsyncSends_;
    asyncSends_.fetch_add(1, std::memory_order_acq_rel);
    socket_.async_send(asio::buffer(*buffer),
                       [self, buffer, completion = std::move(completion)](const std::error_code& ec, std::size_t) mutable {
                         --self->pendingAsyncSends_;
                         self->asyncSends_.fetch_sub(1, std::memory_order_acq_rel);
                         if (self->kind() == NWConnectionState::cancelled) return;
                         if (ec == asio::error::operation_aborted) return;
                         self->complete(std::move(completion), ec ? std::optional(NWError::posix(ec.value()))
                                                                   : std::nullopt);
                       });
  }

  void doReceive(ReceiveCompletion completion) {
    switch (kind()) {
      case NWConnectionState::cancelled: return;
      case NWConnectionState::failed: deliver(std::move(completion), std::nullopt, failure_); return;
      default:
        receives_.push_back(std::move(completion));
        armReceive();
    }
  }

  // One socket wait at a time, for the oldest waiting completion. The
  // datagram is read into a per-thread buffer once the socket is readable,
  // so a connection holds no receive buffer of its own. Once one answer has
  // come, the next is read at once when it is already there (answers to
  // one batch arrive together): no wait to arm for it.
  void armReceive() {
    if (receiveArmed_) return;
    while (receivedAny_ && !receives_.empty() && kind() == NWConnectionState::ready && takeDatagram({})) {
    }
    if (receives_.empty() || kind() != NWConnectionState::ready) return;
    receiveArmed_ = true;
    auto self = shared();
    socket_.async_wait(Socket::wait_read, [self](std::error_code ec) {
      self->receiveArmed_ = false;
      if (ec == asio::error::operation_aborted || self->kind() != NWConnectionState::ready) return;
      if (self->receives_.empty()) return;
      self->takeDatagram(ec);
      self->armReceive();
    });
  }

  // Reads one datagram (or the socket's error) for the oldest waiting
  // completion; false when none is there yet.
  bool takeDatagram(std::error_code ec) {
    thread_local std::vector<uint8_t> buffer(65535);
    ssize_t size = 0;
    int error = ec.value();
    if (!ec) {
      size = ::recv(socket_.native_handle(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
      if (size < 0) error = errno;
    }
    ReceiveCompletion completion = std::move(receives_.front());
    receives_.pop_front();
    if (error) {
      // ECONNREFUSED after an ICMP port unreachable lands here.
      deliver(std::move(completion), std::nullopt, NWError::posix(error));
    } else {
      receivedAny_ = true;
      deliver(std::move(completion), std::vector<uint8_t>(buffer.begin(), buffer.begin() + size), std::nullopt);
    }
    return true;
  }

  void complete(SendCompletion completion, std::optional<NWError> error) {
    if (!completion || !queue_) return;
    queue_->asyncContinuation([completion = std::move(completion), error = std::move(error)] { completion(error); });
  }

  void deliver(ReceiveCompletion completion, std::optional<std::vector<uint8_t>> data, std::optional<NWError> error) {
    if (!completion || !queue_) return;
    const bool isComplete = !error.has_value();
    queue_->asyncContinuation([completion = std::move(completion), data = std::move(data), isComplete,
                               error = std::move(error)] {
      completion(data, isComplete, error);
    });
  }

  const NWEndpoint remote_;
  asio::io_context* const loop_;  // the worker loop the connection runs on, if any
  asio::any_io_executor strand_;
  using Socket = NonBlockingUdpSocket;
  Socket socket_;

  mutable std::mutex mutex_;  // state_ and handler_, read from any thread
  NWConnectionState state_;
  StateHandler handler_;

  // Strand only.
  std::shared_ptr<DispatchQueue> queue_;
  std::shared_ptr<SocketUdpConnection> keepAlive_;
  bool started_ = false;
  bool receiveArmed_ = false;
  bool receivedAny_ = false;
  int pendingAsyncSends_ = 0;  // keeps datagrams in order behind a blocked one
  // Direct sends: the socket while ready, sends not yet done by the strand.
  std::shared_mutex directMutex_;
  int directFd_ = -1;
  std::shared_ptr<DispatchQueue> directQueue_;
  std::atomic<int> strandSends_{0};
  std::atomic<int> asyncSends_{0};
  std::atomic<bool> cancelRequested_{false};
  NWError failure_;
  Fifo<PendingSend> queuedSends_;
  Fifo<ReceiveCompletion> receives_;
  std::optional<SocketAddress> ownAddress_;  // registered as this process's own while the socket is open
};

}  // namespace

std::shared_ptr<UdpConnection> UdpConnection::create(NWEndpoint remote) {
  return std::make_shared<SocketUdpConnection>(std::move(remote));
}

}  // namespace platform
