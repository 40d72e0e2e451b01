#include "platform/network/UdpListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <algorithm>
#include <map>

#include "platform/foundation/Log.h"

namespace platform {
namespace {

constexpr std::size_t kMaxDatagram = 65536;

struct SocketFd {
  int fd = -1;
  explicit SocketFd(int f) : fd(f) {}
  ~SocketFd() {
    if (fd >= 0) ::close(fd);
  }
  SocketFd(const SocketFd&) = delete;
  SocketFd& operator=(const SocketFd&) = delete;
};

struct RemoteAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

NWEndpoint endpointOf(const RemoteAddress& remote) {
  char text[INET6_ADDRSTRLEN] = {0};
  NWEndpoint endpoint;
  if (remote.storage.ss_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&remote.storage);
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    endpoint.port = ntohs(in->sin_port);
  } else if (remote.storage.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&remote.storage);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    endpoint.port = ntohs(in6->sin6_port);
  }
  endpoint.host = text;
  return endpoint;
}

// Binds one UDP socket; returns the fd or -errno.
int bindSocket(const std::string& address, uint16_t port) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_INET;
  auto* in = reinterpret_cast<sockaddr_in*>(&storage);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (::inet_pton(AF_INET, address.c_str(), &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    length = sizeof(sockaddr_in);
  } else if (::inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) == 1) {
    family = AF_INET6;
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    length = sizeof(sockaddr_in6);
  } else {
    return -EINVAL;
  }
  int fd = ::socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  if (family == AF_INET6) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    int err = errno;
    ::close(fd);
    return -err;
  }
  return fd;
}

uint16_t boundPortOf(int fd) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
  if (storage.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
}

class InboundConnection;

}  // namespace

struct UdpListener::Shared {
  UdpListenerParameters parameters;
  mutable std::mutex mutex;
  uint16_t port = 0;
  NWListenerState state;
  StateHandler stateHandler;
  NewConnectionHandler newConnectionHandler;
  std::shared_ptr<DispatchQueue> queue;
  std::vector<std::shared_ptr<SocketFd>> sockets;
  int wakeFd = -1;
  struct Entry {
    std::shared_ptr<InboundConnection> connection;
    uint64_t lastActive = 0;
  };
  std::map<std::string, Entry> connections;
  uint64_t tick = 0;
  std::atomic<uint64_t> dropped{0};

  void forget(const std::string& key, const InboundConnection* which);
};

namespace {

// One remote endpoint of a listener, sharing the listener's socket.
class InboundConnection : public UdpConnection {
 public:
  InboundConnection(std::string key, NWEndpoint remote, RemoteAddress address, std::shared_ptr<SocketFd> socket,
                    std::weak_ptr<UdpListener::Shared> owner, std::size_t maxQueued, std::size_t maxQueuedBytes)
      : key_(std::move(key)),
        remote_(std::move(remote)),
        address_(address),
        socket_(std::move(socket)),
        owner_(std::move(owner)),
        maxQueued_(maxQueued),
        maxQueuedBytes_(maxQueuedBytes) {}

  void setStateUpdateHandler(StateHandler handler) override {
    std::lock_guard lock(mutex_);
    stateHandler_ = std::move(handler);
  }

  void start(std::shared_ptr<DispatchQueue> queue) override {
    std::vector<std::pair<ReceiveCompletion, std::vector<uint8_t>>> served;
    StateHandler handler;
    {
      std::lock_guard lock(mutex_);
      if (queue_) return;
      queue_ = queue ? std::move(queue) : DispatchQueue::global();
      if (state_.kind == NWConnectionState::cancelled) {
        // Cancelled before it started: the owner still hears of it.
        if (auto h = stateHandler_)
          queue_->async([h] { h(NWConnectionState{NWConnectionState::cancelled, std::nullopt}); });
        return;
      }
      state_.kind = NWConnectionState::ready;
      handler = stateHandler_;
      serveLocked(served);
    }
    if (handler) {
      queue_->async([handler] { handler(NWConnectionState{NWConnectionState::preparing, std::nullopt}); });
      queue_->async([handler] { handler(NWConnectionState{NWConnectionState::ready, std::nullopt}); });
    }
    dispatchServed(served);
  }

  void send(std::vector<uint8_t> datagram, SendCompletion completion) override {
    std::optional<NWError> error;
    std::shared_ptr<DispatchQueue> queue;
    {
      std::lock_guard lock(mutex_);
      queue = queue_ ? queue_ : DispatchQueue::global();
      if (state_.kind == NWConnectionState::cancelled) error = NWError::posix(ECANCELED);
    }
    if (!error) {
      ssize_t sent = ::sendto(socket_->fd, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                              reinterpret_cast<const sockaddr*>(&address_.storage), address_.length);
      if (sent < 0) error = NWError::posix(errno);
    }
    if (completion) queue->async([completion = std::move(completion), error] { completion(error); });
  }

  void receiveMessage(ReceiveCompletion completion) override {
    std::vector<std::pair<ReceiveCompletion, std::vector<uint8_t>>> served;
    {
      std::lock_guard lock(mutex_);
      if (state_.kind == NWConnectionState::cancelled) return;
      pending_.push_back(std::move(completion));
      serveLocked(served);
    }
    dispatchServed(served);
  }

  void cancel() override {
    StateHandler handler;
    std::shared_ptr<DispatchQueue> queue;
    {
      std::lock_guard lock(mutex_);
      if (state_.kind == NWConnectionState::cancelled) return;
      state_ = NWConnectionState{NWConnectionState::cancelled, std::nullopt};
      pending_.clear();
      datagrams_.clear();
      queuedBytes_ = 0;
      handler = stateHandler_;
      queue = queue_;
    }
    if (auto owner = owner_.lock()) owner->forget(key_, this);
    if (handler && queue) queue->async([handler] { handler(NWConnectionState{NWConnectionState::cancelled, std::nullopt}); });
  }

  NWConnectionState state() const override {
    std::lock_guard lock(mutex_);
    return state_;
  }

  const NWEndpoint& endpoint() const override { return remote_; }

  std::optional<std::string> currentPath() const override {
    std::lock_guard lock(mutex_);
    if (state_.kind != NWConnectionState::ready) return std::nullopt;
    return std::string("satisfied (Path is satisfied), interface: lo");
  }

  // From the listener's receive thread. False when the datagram was dropped.
  bool deliver(std::vector<uint8_t> datagram) {
    std::vector<std::pair<ReceiveCompletion, std::vector<uint8_t>>> served;
    {
      std::lock_guard lock(mutex_);
      if (state_.kind == NWConnectionState::cancelled) return true;
      if (datagrams_.size() >= maxQueued_ || queuedBytes_ + datagram.size() > maxQueuedBytes_) return false;
      queuedBytes_ += datagram.size();
      datagrams_.push_back(std::move(datagram));
      serveLocked(served);
    }
    dispatchServed(served);
    return true;
  }

 private:
  // Pairs waiting receives with queued datagrams once started.
  void serveLocked(std::vector<std::pair<ReceiveCompletion, std::vector<uint8_t>>>& served) {
    if (!queue_) return;
    while (!pending_.empty() && !datagrams_.empty()) {
      queuedBytes_ -= datagrams_.front().size();
      served.emplace_back(std::move(pending_.front()), std::move(datagrams_.front()));
      pending_.pop_front();
      datagrams_.pop_front();
    }
  }

  void dispatchServed(std::vector<std::pair<ReceiveCompletion, std::vector<uint8_t>>>& served) {
    for (auto& [completion, data] : served) {
      if (!completion) continue;
      queue_->async([completion = std::move(completion), data = std::move(data)]() mutable {
        completion(std::move(data), true, std::nullopt);
      });
    }
  }

  const std::string key_;
  const NWEndpoint remote_;
  const RemoteAddress address_;
  const std::shared_ptr<SocketFd> socket_;
  const std::weak_ptr<UdpListener::Shared> owner_;
  const std::size_t maxQueued_;
  const std::size_t maxQueuedBytes_;

  mutable std::mutex mutex_;
  NWConnectionState state_{NWConnectionState::setup, std::nullopt};
  StateHandler stateHandler_;
  std::shared_ptr<DispatchQueue> queue_;
  std::deque<ReceiveCompletion> pending_;
  std::deque<std::vector<uint8_t>> datagrams_;
  std::size_t queuedBytes_ = 0;
};

}  // namespace

void UdpListener::Shared::forget(const std::string& key, const InboundConnection* which) {
  std::shared_ptr<InboundConnection> released;  // destroyed outside the lock
  std::lock_guard lock(mutex);
  auto it = connections.find(key);
  if (it != connections.end() && it->second.connection.get() == which) {
    released = std::move(it->second.connection);
    connections.erase(it);
  }
}

std::string NWListenerState::description() const {
  std::string err = error ? error->description : std::string();
  switch (kind) {
    case setup: return "setup";
    case waiting: return "waiting(" + err + ")";
    case ready: return "ready";
    case failed: return "failed(" + err + ")";
    case cancelled: return "cancelled";
  }
  return "unknown";
}

std::shared_ptr<UdpListener> UdpListener::create(UdpListenerParameters parameters, uint16_t port) {
  if (parameters.localAddresses.empty()) return nullptr;
  if (parameters.maxQueuedDatagrams == 0) parameters.maxQueuedDatagrams = 1;
  parameters.maxQueuedBytes = std::max(parameters.maxQueuedBytes, kMaxDatagram);
  if (parameters.maxConnections == 0) parameters.maxConnections = 1;
  return std::shared_ptr<UdpListener>(new UdpListener(std::move(parameters), port));
}

UdpListener::UdpListener(UdpListenerParameters parameters, uint16_t port) : shared_(std::make_shared<Shared>()) {
  shared_->parameters = std::move(parameters);
  shared_->port = port;
}

UdpListener::~UdpListener() {
  cancel();
  if (ioThread_.joinable()) ioThread_.join();
  if (shared_->wakeFd >= 0) ::close(shared_->wakeFd);
}

void UdpListener::setStateUpdateHandler(StateHandler handler) {
  std::lock_guard lock(shared_->mutex);
  shared_->stateHandler = std::move(handler);
}

void UdpListener::setNewConnectionHandler(NewConnectionHandler handler) {
  std::lock_guard lock(shared_->mutex);
  shared_->newConnectionHandler = std::move(handler);
}

void UdpListener::setState(NWListenerState state) {
  StateHandler handler;
  std::shared_ptr<DispatchQueue> queue;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->state = state;
    handler = shared_->stateHandler;
    queue = shared_->queue;
  }
  if (handler && queue) queue->async([handler, state] { handler(state); });
}

void UdpListener::start(std::shared_ptr<DispatchQueue> queue) {
  std::vector<std::string> addresses;
  uint16_t port;
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->queue) return;  // started once only
    shared_->queue = queue ? std::move(queue) : DispatchQueue::global();
    addresses = shared_->parameters.localAddresses;
    port = shared_->port;
  }

  std::vector<std::shared_ptr<SocketFd>> sockets;
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    int fd = bindSocket(addresses[i], port);
    if (fd < 0) {
      if (i == 0) {
        setState(NWListenerState{NWListenerState::failed, NWError::posix(-fd)});
        return;
      }
      NSLog("[UdpListener] could not bind " + NWEndpoint{addresses[i], port}.description() + ": " +
            NWError::posix(-fd).description);
      continue;
    }
    if (i == 0) port = boundPortOf(fd);
    sockets.push_back(std::make_shared<SocketFd>(fd));
  }

  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    setState(NWListenerState{NWListenerState::failed, NWError::posix(errno)});
    return;
  }
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->state.kind == NWListenerState::cancelled) {
      ::close(wake);
      return;
    }
    shared_->port = port;
    shared_->sockets = std::move(sockets);
    shared_->wakeFd = wake;
  }
  ioThread_ = std::thread([this] { ioLoop(); });
  setState(NWListenerState{NWListenerState::ready, std::nullopt});
}

void UdpListener::cancel() {
  std::vector<std::shared_ptr<InboundConnection>> open;
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->state.kind == NWListenerState::cancelled) return;
    bool wasStarted = shared_->queue != nullptr;
    if (shared_->wakeFd >= 0) {
      uint64_t one = 1;
      (void)!::write(shared_->wakeFd, &one, sizeof one);
    }
    for (auto& [key, entry] : shared_->connections) open.push_back(entry.connection);
    if (!wasStarted) {
      shared_->state.kind = NWListenerState::cancelled;
      return;
    }
  }
  for (auto& connection : open) connection->cancel();
  setState(NWListenerState{NWListenerState::cancelled, std::nullopt});
}

NWListenerState UdpListener::state() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->state;
}

uint16_t UdpListener::port() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->port;
}

uint64_t UdpListener::droppedDatagrams() const { return shared_->dropped.load(); }

void UdpListener::ioLoop() {
  std::shared_ptr<Shared> shared = shared_;
  std::vector<pollfd> fds;
  std::vector<std::shared_ptr<SocketFd>> sockets;
  uint16_t port = 0;
  {
    std::lock_guard lock(shared->mutex);
    sockets = shared->sockets;
    fds.push_back(pollfd{shared->wakeFd, POLLIN, 0});
    port = shared->port;
  }
  for (auto& s : sockets) fds.push_back(pollfd{s->fd, POLLIN, 0});
  std::vector<uint8_t> buffer(kMaxDatagram);

  for (;;) {
    int ready = ::poll(fds.data(), fds.size(), -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      NSLog(std::string("[UdpListener] poll failed: ") + std::strerror(errno));
      return;
    }
    if (fds[0].revents) return;  // cancelled
    // Datagrams dropped in this round, by sender: one log line each.
    std::map<std::string, uint64_t> dropped;
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      for (int burst = 0; burst < 64; ++burst) {
        RemoteAddress remote;
        remote.length = sizeof remote.storage;
        ssize_t n = ::recvfrom(fds[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&remote.storage), &remote.length);
        if (n < 0) break;  // EAGAIN, or an error report of an earlier send
        NWEndpoint endpoint = endpointOf(remote);
        std::string key = std::to_string(i) + "|" + endpoint.description();

        std::shared_ptr<InboundConnection> connection;
        std::shared_ptr<InboundConnection> evicted;
        bool isNew = false;
        NewConnectionHandler handler;
        std::shared_ptr<DispatchQueue> queue;
        {
          std::lock_guard lock(shared->mutex);
          if (shared->state.kind == NWListenerState::cancelled) return;
          auto it = shared->connections.find(key);
          if (it == shared->connections.end()) {
            if (shared->connections.size() >= shared->parameters.maxConnections) {
              auto oldest = shared->connections.begin();
              for (auto e = shared->connections.begin(); e != shared->connections.end(); ++e)
                if (e->second.lastActive < oldest->second.lastActive) oldest = e;
              evicted = oldest->second.connection;
            }
            connection = std::make_shared<InboundConnection>(key, endpoint, remote, sockets[i - 1], shared,
                                                             shared->parameters.maxQueuedDatagrams,
                                                             shared->parameters.maxQueuedBytes);
            it = shared->connections.emplace(key, Shared::Entry{connection, 0}).first;
            isNew = true;
            handler = shared->newConnectionHandler;
            queue = shared->queue;
          }
          it->second.lastActive = ++shared->tick;
          connection = it->second.connection;
        }
        if (evicted) evicted->cancel();
        if (!connection->deliver(std::vector<uint8_t>(buffer.begin(), buffer.begin() + n))) {
          ++shared->dropped;
          ++dropped[endpoint.description()];
        }
        if (isNew) {
          if (handler) {
            queue->async([handler, connection] { handler(connection); });
          } else {
            connection->cancel();  // nobody takes connections
          }
        }
      }
    }
    for (const auto& [sender, count] : dropped)
      NSLog("[UdpListener] port " + std::to_string(port) + ": dropped " + std::to_string(count) + " datagrams from " +
            sender + ", its queue is full");
  }
}

}  // namespace platform
