#include "platform/host/TcpPassthrough.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace platform {

// Held by the accept loops and by each connection's thread: the stop event
// closes with the last of them.
struct TcpPassthrough::Shared {
  int stopFd = eventfd(0, EFD_CLOEXEC);
  std::atomic<int> active{0};
  Shared() = default;
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  ~Shared() {
    if (stopFd >= 0) close(stopFd);
  }
};

namespace {

constexpr int kIdleMillis = 10'000;
// Out of descriptors, accept fails at once while the connection waits: the
// listener is left alone this long instead of polled again.
constexpr int kAcceptPauseMillis = 100;

bool outOfDescriptors(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM; }

int connectWithin(const SocketAddress& to, int stopFd, int millis) {
  int fd = socket(to.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (connect(fd, to.sockaddrPtr(), to.length()) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  pollfd fds[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
  int err = 0;
  socklen_t len = sizeof err;
  if (poll(fds, 2, millis) <= 0 || fds[1].revents || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err) {
    close(fd);
    return -1;
  }
  return fd;
}

// Copies both ways until both sides finished or the pair fell idle.
void relay(int client, int upstream, int stopFd) {
  char buffer[16384];
  bool clientOpen = true, upstreamOpen = true;
  while (clientOpen || upstreamOpen) {
    pollfd fds[3] = {{clientOpen ? client : -1, POLLIN, 0}, {upstreamOpen ? upstream : -1, POLLIN, 0}, {stopFd, POLLIN, 0}};
    int ready = poll(fds, 3, kIdleMillis);
    if (ready <= 0 || fds[2].revents) return;
    for (int side = 0; side < 2; ++side) {
      if (!fds[side].revents) continue;
      int from = side == 0 ? client : upstream;
      int to = side == 0 ? upstream : client;
      ssize_t n = recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        if (n < 0) return;
        (side == 0 ? clientOpen : upstreamOpen) = false;
        shutdown(to, SHUT_WR);
        continue;
      }
      for (ssize_t sent = 0; sent < n;) {
        pollfd out{to, POLLOUT, 0};
        ssize_t k = send(to, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k > 0) {
          sent += k;
        } else if (k < 0 && (errno == EAGAIN || errno == EINTR)) {
          if (poll(&out, 1, kIdleMillis) <= 0) return;
        } else {
          return;
        }
      }
    }
  }
}

}  // namespace

TcpPassthrough::TcpPassthrough(std::vector<int> listenFds, SocketAddress systemDns)
    : listenFds_(std::move(listenFds)), systemDns_(systemDns), shared_(std::make_shared<Shared>()) {}

TcpPassthrough::~TcpPassthrough() { stop(); }

void TcpPassthrough::start() {
  if (running_) return;
  running_ = true;
  // After a stop the old event stays set for the connections that still see it.
  if (stopped_) shared_ = std::make_shared<Shared>();
  stopped_ = false;
  for (int fd : listenFds_) threads_.emplace_back([this, fd] { acceptLoop(fd); });
}

void TcpPassthrough::stop() {
  if (!running_) return;
  running_ = false;
  stopped_ = true;
  uint64_t one = 1;
  (void)!write(shared_->stopFd, &one, sizeof one);
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

int TcpPassthrough::activeConnections() const { return shared_->active.load(); }

void TcpPassthrough::acceptLoop(int listenFd) {
  const std::shared_ptr<Shared> shared = shared_;
  pollfd fds[2] = {{shared->stopFd, POLLIN, 0}, {listenFd, POLLIN, 0}};
  bool paused = false;
  for (;;) {
    if (poll(fds, paused ? 1 : 2, paused ? kAcceptPauseMillis : -1) < 0) continue;
    if (fds[0].revents) return;
    if (paused) {
      paused = false;
      continue;
    }
    if (!(fds[1].revents & POLLIN)) continue;
    int client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) {
      paused = outOfDescriptors(errno);
      continue;
    }
    if (shared->active.load() >= kMaxConnections) {
      close(client);
      continue;
    }
    shared->active.fetch_add(1);
    try {
      std::thread([shared, client, to = systemDns_]() {
        int upstream = connectWithin(to, shared->stopFd, 3000);
        if (upstream >= 0) {
          relay(client, upstream, shared->stopFd);
          close(upstream);
        }
        close(client);
        shared->active.fetch_sub(1);
      }).detach();
    } catch (const std::system_error&) {
      // No thread to be had: the client is turned away, as when full.
      close(client);
      shared->active.fetch_sub(1);
    }
  }
}

}  // namespace platform
