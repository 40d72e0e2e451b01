#include "platform/network/PathMonitor.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/foundation/Log.h"

namespace platform {

std::string NWPath::statusText() const {
  switch (status) {
    case Status::satisfied: return "satisfied";
    case Status::unsatisfied: return "unsatisfied";
    case Status::requiresConnection: return "requiresConnection";
  }
  return "unsatisfied";
}

std::string NWPath::description() const {
  if (status != Status::satisfied) return statusText() + " (No network route)";
  std::string out = "satisfied (Path is satisfied), interface: ";
  for (size_t i = 0; i < interfaces.size(); ++i) {
    if (i) out += ", ";
    out += interfaces[i];
  }
  return out;
}

namespace {

// /proc/net/route: destination and mask columns both 00000000.
bool hasIpv4DefaultRoute() {
  std::ifstream in("/proc/net/route");
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
    if (!(fields >> iface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask)) continue;
    if (iface != "lo" && destination == "00000000" && mask == "00000000") return true;
  }
  return false;
}

// /proc/net/ipv6_route: destination ::/0 on a non-loopback device.
bool hasIpv6DefaultRoute() {
  std::ifstream in("/proc/net/ipv6_route");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string destination, prefix, source, sourcePrefix, nextHop, metric, refcnt, use, flags, iface;
    if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refcnt >> use >> flags >>
          iface))
      continue;
    if (iface != "lo" && prefix == "00" && destination == std::string(32, '0')) return true;
  }
  return false;
}

std::vector<std::string> addressedInterfaces() {
  std::vector<std::string> names;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return names;
  for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
    if (!ifa->ifa_addr || !ifa->ifa_name) continue;
    int family = ifa->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    if ((ifa->ifa_flags & IFF_LOOPBACK) || !(ifa->ifa_flags & IFF_UP)) continue;
    if (std::find(names.begin(), names.end(), ifa->ifa_name) == names.end()) names.emplace_back(ifa->ifa_name);
  }
  ::freeifaddrs(list);
  return names;
}

class NetlinkPathMonitor final : public PathMonitor {
 public:
  ~NetlinkPathMonitor() override { cancel(); }

  NWPath currentPath() const override {
    std::lock_guard lock(mutex_);
    return started_ ? path_ : systemPath();
  }

  void setPathUpdateHandler(UpdateHandler handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }

  void start(std::shared_ptr<DispatchQueue> queue) override {
    std::lock_guard lock(mutex_);
    if (started_ || cancelled_) return;
    started_ = true;
    queue_ = std::move(queue);
    socket_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (socket_ >= 0) {
      sockaddr_nl local{};
      local.nl_family = AF_NETLINK;
      local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
      if (::bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        NSLog("PathMonitor: netlink bind failed, path changes are not seen");
        ::close(socket_);
        socket_ = -1;
      }
    } else {
      NSLog("PathMonitor: no netlink socket, path changes are not seen");
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    path_ = systemPath();
    post(path_);
    thread_ = std::thread([this] { run(); });
  }

  void cancel() override {
    std::thread thread;
    {
      std::lock_guard lock(mutex_);
      if (cancelled_) return;
      cancelled_ = true;
      live_->store(false);
      handler_ = nullptr;
      thread = std::move(thread_);
    }
    if (wake_ >= 0) {
      uint64_t one = 1;
      (void)!::write(wake_, &one, sizeof one);
    }
    if (thread.joinable()) {
      if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
      } else {
        thread.join();
      }
    }
    std::lock_guard lock(mutex_);
    if (socket_ >= 0) ::close(socket_);
    if (wake_ >= 0) ::close(wake_);
    socket_ = wake_ = -1;
  }

 private:
  // Called with mutex_ held.
  void post(const NWPath& path) {
    if (!handler_ || !queue_ || cancelled_) return;
    queue_->async([live = live_, handler = handler_, path] {
      if (live->load()) handler(path);
    });
  }

  void run() {
    char buffer[16384];
    while (true) {
      pollfd fds[2] = {{wake_, POLLIN, 0}, {socket_, POLLIN, 0}};
      int n = ::poll(fds, socket_ >= 0 ? 2 : 1, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || (fds[0].revents & POLLIN)) return;
      if (!(fds[1].revents & POLLIN)) continue;
      while (::recv(socket_, buffer, sizeof buffer, 0) > 0) {
      }
      NWPath path = systemPath();
      std::lock_guard lock(mutex_);
      if (cancelled_) return;
      if (path == path_) continue;
      path_ = path;
      post(path_);
    }
  }

  mutable std::mutex mutex_;
  // Cleared by cancel(); queued updates check it, never the monitor itself.
  std::shared_ptr<std::atomic<bool>> live_ = std::make_shared<std::atomic<bool>>(true);
  UpdateHandler handler_;
  std::shared_ptr<DispatchQueue> queue_;
  NWPath path_;
  bool started_ = false;
  bool cancelled_ = false;
  int socket_ = -1;
  int wake_ = -1;
  std::thread thread_;
};

}  // namespace

NWPath PathMonitor::systemPath() {
  NWPath path;
  path.interfaces = addressedInterfaces();
  bool route = hasIpv4DefaultRoute() || hasIpv6DefaultRoute();
  path.status = route && !path.interfaces.empty() ? NWPath::Status::satisfied : NWPath::Status::unsatisfied;
  return path;
}

std::shared_ptr<PathMonitor> PathMonitor::create() { return std::make_shared<NetlinkPathMonitor>(); }

FakePathMonitor::FakePathMonitor(NWPath initial) : path_(std::move(initial)) {}

NWPath FakePathMonitor::currentPath() const {
  std::lock_guard lock(mutex_);
  return path_;
}

void FakePathMonitor::setPathUpdateHandler(UpdateHandler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void FakePathMonitor::start(std::shared_ptr<DispatchQueue> queue) {
  std::lock_guard lock(mutex_);
  if (started_ || live_->load() == false) return;
  started_ = true;
  queue_ = std::move(queue);
  deliver(path_);
}

void FakePathMonitor::cancel() {
  std::lock_guard lock(mutex_);
  live_->store(false);
  handler_ = nullptr;
}

void FakePathMonitor::setPath(NWPath path) {
  std::lock_guard lock(mutex_);
  path_ = std::move(path);
  if (started_) deliver(path_);
}

bool FakePathMonitor::isStarted() const {
  std::lock_guard lock(mutex_);
  return started_;
}

bool FakePathMonitor::isCancelled() const { return !live_->load(); }

void FakePathMonitor::deliver(const NWPath& path) {
  if (!queue_ || !handler_ || !live_->load()) return;
  queue_->async([live = live_, handler = handler_, path] {
    if (live->load()) handler(path);
  });
}

}  // namespace platform
