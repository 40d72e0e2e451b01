#include "platform/network/OwnSockets.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

namespace platform {
namespace {

// Per family and port, the number of own sockets on it: read on every
// received datagram, so without a lock; only a hit looks at the addresses.
using PortTable = std::array<std::atomic<uint16_t>, 65536>;

PortTable& ports(int family) {
  static PortTable v4{};
  static PortTable v6{};
  return family == AF_INET6 ? v6 : v4;
}

// The exact addresses, in shards by port: resolver connections come and go
// on every worker.
struct AddressShard {
  std::mutex mutex;
  std::unordered_map<SocketAddress, uint32_t> counts;
};
constexpr size_t kAddressShards = 64;

AddressShard& addressShard(uint16_t port) {
  static auto* shards = new std::array<AddressShard, kAddressShards>();  // used until the process exits
  return (*shards)[port % kAddressShards];
}

// Ports of the listen addresses, so a datagram from any other port needs
// no look at the addresses themselves.
PortTable& listenPorts(int family) {
  static PortTable v4{};
  static PortTable v6{};
  return family == AF_INET6 ? v6 : v4;
}

struct ListenTable {
  std::shared_mutex mutex;
  std::vector<SocketAddress> addresses;
};

ListenTable& listens() {
  static auto* table = new ListenTable();  // used by threads until the process exits
  return *table;
}

bool isLoopback(const SocketAddress& address) {
  if (address.family() == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address.sockaddrPtr());
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address.sockaddrPtr());
  return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
}

bool sameHost(const SocketAddress& a, const SocketAddress& b) {
  if (a.family() != b.family()) return false;
  SocketAddress x = a, y = b;
  x.setPort(0);
  y.setPort(0);
  return x == y;
}

}  // namespace

void OwnSockets::addLocalAddress(const SocketAddress& address) {
  const SocketAddress local = address.unmapped();
  if (local.port() == 0 || (local.family() != AF_INET && local.family() != AF_INET6)) return;
  auto& shard = addressShard(local.port());
  std::lock_guard lock(shard.mutex);
  ++shard.counts[local];
  ports(local.family())[local.port()].fetch_add(1, std::memory_order_release);
}

void OwnSockets::removeLocalAddress(const SocketAddress& address) {
  const SocketAddress local = address.unmapped();
  if (local.port() == 0 || (local.family() != AF_INET && local.family() != AF_INET6)) return;
  auto& shard = addressShard(local.port());
  std::lock_guard lock(shard.mutex);
  auto it = shard.counts.find(local);
  if (it == shard.counts.end()) return;
  if (--it->second == 0) shard.counts.erase(it);
  ports(local.family())[local.port()].fetch_sub(1, std::memory_order_relaxed);
}

uint16_t OwnSockets::addSocket(int fd) {
  SocketAddress local;
  socklen_t length = sizeof(sockaddr_storage);
  if (fd < 0 || getsockname(fd, local.sockaddrPtr(), &length) != 0) return 0;
  if (local.family() != AF_INET && local.family() != AF_INET6) return 0;
  addLocalAddress(local);
  return local.port();
}

void OwnSockets::removeSocket(int fd, uint16_t port) {
  SocketAddress local;
  socklen_t length = sizeof(sockaddr_storage);
  if (fd < 0 || port == 0 || getsockname(fd, local.sockaddrPtr(), &length) != 0) return;
  removeLocalAddress(local);
}

void OwnSockets::addListenAddress(const SocketAddress& address) {
  auto& table = listens();
  std::unique_lock lock(table.mutex);
  table.addresses.push_back(address);
  listenPorts(address.family())[address.port()].fetch_add(1, std::memory_order_relaxed);
}

void OwnSockets::removeListenAddress(const SocketAddress& address) {
  auto& table = listens();
  std::unique_lock lock(table.mutex);
  auto it = std::find(table.addresses.begin(), table.addresses.end(), address);
  if (it == table.addresses.end()) return;
  table.addresses.erase(it);
  listenPorts(address.family())[address.port()].fetch_sub(1, std::memory_order_relaxed);
}

bool OwnSockets::isOwnSource(const SocketAddress& source) {
  const SocketAddress s = source.unmapped();
  if (s.family() != AF_INET && s.family() != AF_INET6) return false;
  if (ports(s.family())[s.port()].load(std::memory_order_acquire) > 0) {
    auto& shard = addressShard(s.port());
    std::lock_guard lock(shard.mutex);
    if (shard.counts.contains(s)) return true;
  }
  // A listen socket's own address: a reply would go straight back to it.
  if (listenPorts(s.family())[s.port()].load(std::memory_order_relaxed) == 0) return false;
  return isOwnListenAddress(s);
}

bool OwnSockets::isOwnListenAddress(const SocketAddress& target, const SocketAddress* localSource) {
  const SocketAddress t = target.unmapped();
  auto& table = listens();
  std::shared_lock lock(table.mutex);
  for (const auto& listen : table.addresses) {
    if (listen.family() != t.family() || listen.port() != t.port()) continue;
    if (listen == t) return true;
    if (listen.isUnspecified() && (isLoopback(t) || (localSource && sameHost(localSource->unmapped(), t))))
      return true;
  }
  return false;
}

}  // namespace platform
