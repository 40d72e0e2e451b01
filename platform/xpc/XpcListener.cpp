#include "platform/xpc/XpcListener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/foundation/Log.h"
#include "platform/xpc/XpcWire.h"

namespace platform {
namespace {

// Out of descriptors, accept fails at once while the client waits in the
// backlog: the socket is left alone this long instead of polled again.
constexpr int kAcceptPauseMillis = 100;

bool outOfDescriptors(int error) { return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM; }

bool fillAddress(const std::string& path, sockaddr_un& address) {
  if (path.size() >= sizeof address.sun_path) return false;
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// A socket file nobody listens on any more.
bool isStaleSocket(const std::string& path) {
  sockaddr_un address;
  if (!fillAddress(path, address)) return false;
  int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  bool live = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(probe);
  return !live;
}

}  // namespace

std::shared_ptr<XpcListener> XpcListener::machService(const std::string& name) {
  auto path = xpcwire::socketPath(name);
  if (!path) return nullptr;
  return std::shared_ptr<XpcListener>(new XpcListener(name, *path));
}

XpcListener::XpcListener(std::string name, std::string path) : name_(std::move(name)), path_(std::move(path)) {}

XpcListener::~XpcListener() {
  invalidate();
  if (acceptThread_.joinable()) acceptThread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void XpcListener::setDelegate(std::weak_ptr<XpcListenerDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::string XpcListener::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

bool XpcListener::resume() {
  if (resumed_.exchange(true)) return listenFd_ >= 0;
  auto fail = [this](const std::string& why) {
    std::lock_guard lock(mutex_);
    error_ = why;
    NSLog("[XpcListener] " + name_ + ": " + why);
    return false;
  };

  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ec);
  if (ec) return fail("cannot create " + std::filesystem::path(path_).parent_path().string() + ": " + ec.message());

  sockaddr_un address;
  if (!fillAddress(path_, address)) return fail("socket path too long: " + path_);

  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return fail("not a socket: " + path_);
    if (!isStaleSocket(path_)) return fail("service already running at " + path_);
    ::unlink(path_.c_str());
  }

  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
    int err = errno;
    ::close(fd);
    return fail("cannot listen on " + path_ + ": " + std::strerror(err));
  }
  ::chmod(path_.c_str(), 0666);  // a mach service is reachable by every local process
  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    ::close(fd);
    return fail(std::string("eventfd: ") + std::strerror(errno));
  }
  listenFd_ = fd;
  wakeFd_ = wake;
  acceptThread_ = std::thread([this] { acceptLoop(); });
  return true;
}

void XpcListener::invalidate() {
  std::vector<std::shared_ptr<XpcConnection>> open;
  {
    std::lock_guard lock(mutex_);
    if (wakeFd_ >= 0) {
      uint64_t one = 1;
      (void)!::write(wakeFd_, &one, sizeof one);
    }
    for (auto& weak : connections_)
      if (auto c = weak.lock()) open.push_back(c);
    connections_.clear();
  }
  for (auto& c : open) c->invalidate();
}

void XpcListener::acceptLoop() {
  pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
  bool paused = false;
  for (;;) {
    int ready = ::poll(fds, paused ? 1 : 2, paused ? kAcceptPauseMillis : -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents) break;
    if (paused) {
      paused = false;
      continue;
    }
    if (!(fds[1].revents & POLLIN)) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      paused = outOfDescriptors(errno);
      continue;
    }

    std::shared_ptr<XpcListenerDelegate> delegate;
    uint64_t number;
    bool full;
    {
      std::lock_guard lock(mutex_);
      std::erase_if(connections_, [](const std::weak_ptr<XpcConnection>& w) { return w.expired(); });
      full = connections_.size() >= kMaxConnections;
      delegate = delegate_.lock();
      number = ++accepted_;
    }
    if (full || !delegate) {
      ::close(fd);
      continue;
    }
    auto connection = XpcConnection::adopt(fd, name_, number);
    if (!delegate->shouldAcceptNewConnection(*this, connection)) {
      connection->invalidate();
      continue;
    }
    std::lock_guard lock(mutex_);
    connections_.push_back(connection);
  }
  ::unlink(path_.c_str());
}

}  // namespace platform
