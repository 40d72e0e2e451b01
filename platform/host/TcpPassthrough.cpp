#include "platform/host/TcpPassthrough.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

struct TcpPassthrough::Shared {
  int stopFd = -1;
  std::atomic<int> active{0};
};

namespace {

constexpr int kIdleMillis = 10'000;

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
    : listenFds_(std::move(listenFds)), systemDns_(systemDns), shared_(std::make_shared<Shared>()) {
  shared_->stopFd = eventfd(0, EFD_CLOEXEC);
}

TcpPassthrough::~TcpPassthrough() {
  stop();
  // Connection threads hold `shared_` and see the stop event; the event fd
  // closes with the last of them.
}

void TcpPassthrough::start() {
  if (running_) return;
  running_ = true;
  for (int fd : listenFds_) threads_.emplace_back([this, fd] { acceptLoop(fd); });
}

void TcpPassthrough::stop() {
  if (!running_) return;
  running_ = false;
  uint64_t one = 1;
  (void)!write(shared_->stopFd, &one, sizeof one);
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

int TcpPassthrough::activeConnections() const { return shared_->active.load(); }

void TcpPassthrough::acceptLoop(int listenFd) {
  pollfd fds[2] = {{listenFd, POLLIN, 0}, {shared_->stopFd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    int client = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) continue;
    if (shared_->active.load() >= kMaxConnections) {
      close(client);
      continue;
    }
    shared_->active.fetch_add(1);
    std::thread([shared = shared_, client, to = systemDns_]() {
      int upstream = connectWithin(to, shared->stopFd, 3000);
      if (upstream >= 0) {
        relay(client, upstream, shared->stopFd);
        close(upstream);
      }
      close(client);
      shared->active.fetch_sub(1);
    }).detach();
  }
}

}  // namespace platform
