#include "platform/host/SocketOwner.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <cstdlib>
#include <charconv>
#include <cstring>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/foundation/Log.h"
#include "platform/host/bpf/UdpSenderRecord.h"

namespace platform {
namespace {


bool readSmallFile(const std::string& path, std::string& out, size_t limit = 4096) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.resize(limit);
  ssize_t n = read(fd, out.data(), limit);
  close(fd);
  if (n < 0) return false;
  out.resize(static_cast<size_t>(n));
  return true;
}

bool isNumber(const char* s) {
  if (!*s) return false;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

}  // namespace

std::string SocketOwner::executablePathFromLink(std::string_view link) {
  constexpr std::string_view kDeleted = " (deleted)";  // the file was replaced since the start
  if (link.ends_with(kDeleted)) link.remove_suffix(kDeleted.size());
  return std::string(link);
}

// The executable's path; when it cannot be read (another user's process),
// the command name.
std::string SocketOwner::processIdentity(const std::string& procBase, std::string& scratch) {
  char path[4096];
  ssize_t n = readlink((procBase + "/exe").c_str(), path, sizeof path);
  if (n > 0 && n < static_cast<ssize_t>(sizeof path)) {
    std::string identity = executablePathFromLink(std::string_view(path, static_cast<size_t>(n)));
    if (!identity.empty()) return identity;
  }
  std::string name;
  if (readSmallFile(procBase + "/cmdline", scratch)) name = commandNameFromCmdline(scratch);
  if (name.empty() && readSmallFile(procBase + "/comm", scratch)) {
    while (!scratch.empty() && (scratch.back() == '\n' || scratch.back() == '\0')) scratch.pop_back();
    name = scratch;
  }
  return name;
}

// sock_diag replies are immediate: a socket serves one look-up at a time.
class SocketOwner::Netlink {
 public:
  Netlink() {
    fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd_ >= 0) {
      timeval tv{0, 200'000};
      setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
  }
  ~Netlink() {
    if (fd_ >= 0) close(fd_);
  }
  Netlink(const Netlink&) = delete;
  Netlink& operator=(const Netlink&) = delete;
  int fd() const { return fd_; }
  uint32_t nextSeq() { return ++seq_; }

 private:
  int fd_ = -1;
  uint32_t seq_ = 0;
};

SocketOwner::Source SocketOwner::sourceFromKnob(const char* value) {
  return value && std::string_view(value) == "proc" ? Source::proc : Source::automatic;
}

SocketOwner::SocketOwner(Source source) {
  if (source == Source::automatic) source = sourceFromKnob(std::getenv("VARDENO_SOCKET_OWNER"));
  if (source == Source::proc) {
    recordUnavailable_ = "VARDENO_SOCKET_OWNER=proc";
  } else {
    record_ = UdpSenderRecord::shared(recordUnavailable_);
  }
  static std::once_flag logged;
  std::call_once(logged, [this] {
    if (record_) NSLog("[SocketOwner] socket owners from the kernel's record of UDP senders");
    else NSLog("[SocketOwner] socket owners from /proc: " + recordUnavailable_);
  });
}

SocketOwner::~SocketOwner() {
  std::deque<PendingLookup> left;
  {
    std::lock_guard lock(queueMutex_);
    stopping_ = true;
  }
  queueReady_.notify_all();
  if (lookupThread_.joinable()) lookupThread_.join();
  left.swap(queue_);
  for (auto& lookup : left) lookup.done({});  // nothing waits for ever
  for (auto& slot : netlinkSlots_) delete slot.exchange(nullptr);
  for (auto& [tgid, known] : knownSenders_) close(known.pidfd);
}

void SocketOwner::udpSocketOwnerAsync(const SocketAddress& client, const SocketAddress& server, OwnerCallback done) {
  {
    std::lock_guard lock(queueMutex_);
    if (!stopping_ && queue_.size() < kMaxQueuedLookups) {
      if (!lookupThread_.joinable()) lookupThread_ = std::thread([this] { serveLookups(); });
      queue_.push_back(PendingLookup{client, server, std::move(done)});
      done = nullptr;
    }
  }
  if (!done) {
    queueReady_.notify_one();
    return;
  }
  lookupsDropped_.fetch_add(1, std::memory_order_relaxed);
  done({});
}

void SocketOwner::serveLookups() {
  std::unique_lock lock(queueMutex_);
  for (;;) {
    queueReady_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    PendingLookup lookup = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    std::string identity = udpSocketOwner(lookup.client, lookup.server);
    lookup.done(std::move(identity));
    lookup = PendingLookup{};  // the callback's captures go before the lock
    lock.lock();
  }
}

namespace {

// Where a thread starts looking for a free slot: threads spread over them.
size_t preferredSlot() {
  static std::atomic<size_t> next{0};
  thread_local const size_t slot = next.fetch_add(1, std::memory_order_relaxed);
  return slot;
}

}  // namespace

std::unique_ptr<SocketOwner::Netlink> SocketOwner::takeNetlink() {
  std::call_once(netlinkOpened_, [this] {
    netlinkCount_ = std::min<size_t>(kNetlinkSlots, std::max(2u, std::thread::hardware_concurrency()));
    for (size_t i = 0; i < netlinkCount_; ++i) netlinkSlots_[i].store(new Netlink());
  });
  const size_t start = preferredSlot();
  for (size_t i = 0; i < netlinkCount_; ++i) {
    if (Netlink* netlink = netlinkSlots_[(start + i) % netlinkCount_].exchange(nullptr))
      return std::unique_ptr<Netlink>(netlink);
  }
  return std::make_unique<Netlink>();  // more look-ups at once than the set
}

void SocketOwner::returnNetlink(std::unique_ptr<Netlink> netlink) {
  if (netlink->fd() < 0) return;  // opened when descriptors ran out: try anew next time
  const size_t start = preferredSlot();
  for (size_t i = 0; i < netlinkCount_; ++i) {
    Netlink* empty = nullptr;
    if (netlinkSlots_[(start + i) % netlinkCount_].compare_exchange_strong(empty, netlink.get())) {
      netlink.release();
      return;
    }
  }
}

std::shared_ptr<SocketOwner> SocketOwner::system() {
  static auto owner = std::make_shared<SocketOwner>();
  return owner;
}

std::string SocketOwner::commandNameFromCmdline(std::string_view cmdline) {
  auto end = cmdline.find('\0');
  std::string_view argv0 = cmdline.substr(0, end);
  auto slash = argv0.rfind('/');
  if (slash != std::string_view::npos) argv0 = argv0.substr(slash + 1);
  return std::string(argv0);
}

std::optional<uint64_t> SocketOwner::udpSocketInode(const SocketAddress& client, const SocketAddress& server) {
  auto socket = udpSocketDiag(client, server);
  if (!socket) return std::nullopt;
  return socket->inode;
}

std::optional<SocketOwner::DiagSocket> SocketOwner::udpSocketDiag(const SocketAddress& client,
                                                                  const SocketAddress& server) {
  if (client.family() != AF_INET && client.family() != AF_INET6) return std::nullopt;
  auto lease = takeNetlink();
  struct GiveBack {
    SocketOwner* owner;
    std::unique_ptr<Netlink>& lease;
    ~GiveBack() { owner->returnNetlink(std::move(lease)); }
  } giveBack{this, lease};
  Netlink& netlink = *lease;
  if (netlink.fd() < 0) return std::nullopt;

  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  const uint32_t seq = netlink.nextSeq();
  message.header.nlmsg_seq = seq;
  auto& r = message.request;
  r.sdiag_family = static_cast<uint8_t>(client.family());
  r.sdiag_protocol = IPPROTO_UDP;
  r.idiag_states = ~0U;
  r.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  r.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  // The kernel finds the socket that would receive a datagram from `server`
  // to `client`: src is the peer, dst the client socket's own address.
  SocketAddress peer = server;
  if (peer.family() != client.family() || peer.isUnspecified()) {
    peer = client;
    peer.setPort(server.port());
  }
  r.id.idiag_sport = htons(peer.port());
  r.id.idiag_dport = htons(client.port());
  if (client.family() == AF_INET) {
    std::memcpy(r.id.idiag_src, &reinterpret_cast<const sockaddr_in*>(peer.sockaddrPtr())->sin_addr, 4);
    std::memcpy(r.id.idiag_dst, &reinterpret_cast<const sockaddr_in*>(client.sockaddrPtr())->sin_addr, 4);
  } else {
    std::memcpy(r.id.idiag_src, &reinterpret_cast<const sockaddr_in6*>(peer.sockaddrPtr())->sin6_addr, 16);
    std::memcpy(r.id.idiag_dst, &reinterpret_cast<const sockaddr_in6*>(client.sockaddrPtr())->sin6_addr, 16);
  }

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(netlink.fd(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
    return std::nullopt;

  alignas(nlmsghdr) char buffer[8192];
  for (int attempts = 0; attempts < 4; ++attempts) {
    ssize_t n = recv(netlink.fd(), buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    int remaining = static_cast<int>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, remaining); h = NLMSG_NEXT(h, remaining)) {
      if (h->nlmsg_seq != seq) continue;  // a late reply to an earlier request
      if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_DONE) return std::nullopt;
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) continue;
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return std::nullopt;
      auto* diag = static_cast<inet_diag_msg*>(NLMSG_DATA(h));
      if (diag->idiag_inode == 0) return std::nullopt;
      return DiagSocket{diag->idiag_inode,
                        static_cast<uint64_t>(diag->id.idiag_cookie[0]) |
                            static_cast<uint64_t>(diag->id.idiag_cookie[1]) << 32};
    }
  }
  return std::nullopt;
}

namespace {

std::vector<long> listProcesses() {
  std::vector<long> pids;
  if (DIR* proc = opendir("/proc")) {
    while (dirent* entry = readdir(proc))
      if (isNumber(entry->d_name)) pids.push_back(std::strtol(entry->d_name, nullptr, 10));
    closedir(proc);
  }
  // Newest processes first: a socket not yet known most often belongs to one.
  std::sort(pids.rbegin(), pids.rend());
  return pids;
}

// The socket inode behind /proc/PID/fd/FD, if it is a socket.
std::optional<uint64_t> socketInodeAt(const std::string& fdPath) {
  char link[64];
  ssize_t n = readlink(fdPath.c_str(), link, sizeof link - 1);
  if (n <= 9 || std::memcmp(link, "socket:[", 8) != 0) return std::nullopt;
  uint64_t inode = 0;
  auto [end, ec] = std::from_chars(link + 8, link + n, inode);
  if (ec != std::errc() || end >= link + n || *end != ']') return std::nullopt;
  return inode;
}

}  // namespace

SocketOwner::ProcessScan SocketOwner::scanProcess(long pid, uint64_t wanted) {
  ProcessScan scan;
  const std::string base = "/proc/" + std::to_string(pid);
  const std::string fdDir = base + "/fd/";
  DIR* fds = opendir(fdDir.c_str());
  if (!fds) {
    scan.gone = errno == ENOENT;
    return scan;
  }
  std::string path = fdDir;
  while (dirent* entry = readdir(fds)) {
    if (!isNumber(entry->d_name)) continue;
    path.resize(fdDir.size());
    path += entry->d_name;
    auto inode = socketInodeAt(path);
    if (!inode) continue;
    scan.sockets.push_back(*inode);
    if (*inode == wanted) scan.wantedFd = static_cast<int>(std::strtol(entry->d_name, nullptr, 10));
  }
  closedir(fds);
  if (!scan.sockets.empty()) {
    std::string scratch;
    scan.identity = processIdentity(base, scratch);
  }
  return scan;
}

SocketOwner::Stats SocketOwner::stats() const {
  std::lock_guard lock(mutex_);
  Stats stats = stats_;
  stats.senderHits = senderHits_.load(std::memory_order_relaxed);
  stats.senderMisses = senderMisses_.load(std::memory_order_relaxed);
  stats.lookupsDropped = lookupsDropped_.load(std::memory_order_relaxed);
  stats.endpointHits = endpointHits_.load(std::memory_order_relaxed);
  stats.portHits = portHits_.load(std::memory_order_relaxed);
  return stats;
}

std::optional<uint64_t> SocketOwner::processStartTicks(long pid) {
  std::string stat;
  if (!readSmallFile("/proc/" + std::to_string(pid) + "/stat", stat, 1024)) return std::nullopt;
  // "pid (comm) state ppid ...": the start time is the 20th field after the
  // command name, which may itself hold spaces and parentheses.
  auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  size_t at = close + 1;
  for (int field = 0; field < 20; ++field) {
    at = stat.find_first_not_of(' ', at);
    if (at == std::string::npos) return std::nullopt;
    if (field == 19) break;
    at = stat.find(' ', at);
    if (at == std::string::npos) return std::nullopt;
  }
  uint64_t ticks = 0;
  auto [end, ec] = std::from_chars(stat.data() + at, stat.data() + stat.size(), ticks);
  if (ec != std::errc() || (end != stat.data() + stat.size() && *end != ' ')) return std::nullopt;
  return ticks;
}

namespace {

// The clock the kernel's record uses.
uint64_t bootTimeNs() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

std::string SocketOwner::identityOfSender(const UdpSenderRecord::Sender& sender) {
  static const uint64_t nsPerTick = 1'000'000'000ULL / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  const uint64_t sentTick = sender.boottime / nsPerTick;
  const auto now = std::chrono::steady_clock::now();
  int stale = -1;
  {
    // Shared: every worker reads this on each new flow.
    std::shared_lock lock(sendersMutex_);
    auto it = knownSenders_.find(sender.tgid);
    if (it != knownSenders_.end()) {
      KnownSender& known = it->second;
      if (now - known.readAt < kSenderIdentityLife && known.startTicks <= sentTick) {
        // Alive since it started and after the record: the pid was its at the send.
        if (sender.boottime <= known.aliveAt.load(std::memory_order_relaxed)) return known.identity;
        const uint64_t before = bootTimeNs();
        pollfd ended{known.pidfd, POLLIN, 0};
        if (poll(&ended, 1, 0) == 0) {
          uint64_t seen = known.aliveAt.load(std::memory_order_relaxed);
          while (seen < before && !known.aliveAt.compare_exchange_weak(seen, before, std::memory_order_relaxed)) {
          }
          return known.identity;
        }
      }
      stale = known.pidfd;
    }
  }
  if (stale >= 0) {
    std::lock_guard lock(sendersMutex_);
    auto it = knownSenders_.find(sender.tgid);
    if (it != knownSenders_.end() && it->second.pidfd == stale) {
      close(stale);
      knownSenders_.erase(it);
    }
  }
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(sender.tgid), 0));
  std::string scratch;
  std::string identity = processIdentity("/proc/" + std::to_string(sender.tgid), scratch);
  // Read after the pidfd and the identity: a process there that started
  // before the send is the sender, and was when both were taken. Otherwise
  // the sender has ended (its pid may be another's now): its command name
  // is all there is.
  auto started = processStartTicks(sender.tgid);
  if (!started || *started > sentTick || identity.empty()) {
    if (pidfd >= 0) close(pidfd);
    return sender.comm;
  }
  if (pidfd >= 0) {
    std::lock_guard lock(sendersMutex_);
    if (knownSenders_.size() >= kMaxKnownSenders) {
      for (auto& [tgid, known] : knownSenders_) close(known.pidfd);
      knownSenders_.clear();
    }
    auto [it, added] = knownSenders_.try_emplace(sender.tgid, pidfd, *started, identity, now);
    if (!added) close(pidfd);  // another look-up took it meanwhile
  }
  return identity;
}

void SocketOwner::recordLocked(long pid, const ProcessScan& scan) {
  ++stats_.processScans;
  if (scan.identity.empty()) return;
  // Socket inodes are not reused soon; a full table is simply started over.
  if (inodeToName_.size() + scan.sockets.size() > kMaxTableEntries) inodeToName_.clear();
  for (uint64_t inode : scan.sockets) inodeToName_[inode] = scan.identity;
  if (scan.wantedFd >= 0) rememberOwnerLocked(pid, scan.wantedFd);
}

void SocketOwner::rememberOwnerLocked(long pid, int fd) {
  auto it = std::find_if(recentOwners_.begin(), recentOwners_.end(), [&](const RecentOwner& r) { return r.pid == pid; });
  RecentOwner owner{pid, {}};
  if (it != recentOwners_.end()) {
    owner = std::move(*it);
    recentOwners_.erase(it);
  }
  // The descriptor number a process used for its last DNS socket is most
  // often the one its next gets.
  auto& hints = owner.hintFds;
  hints.erase(std::remove(hints.begin(), hints.end(), fd), hints.end());
  hints.insert(hints.begin(), fd);
  if (hints.size() > kHintFds) hints.resize(kHintFds);
  recentOwners_.insert(recentOwners_.begin(), std::move(owner));
  if (recentOwners_.size() > kRecentOwners) recentOwners_.resize(kRecentOwners);
}

std::optional<std::string> SocketOwner::lookUpLocked(uint64_t inode) const {
  auto it = inodeToName_.find(inode);
  if (it == inodeToName_.end()) return std::nullopt;
  return it->second;
}

std::string SocketOwner::processNameOfSocketInode(uint64_t wanted) {
  std::vector<RecentOwner> recent;
  {
    std::lock_guard lock(mutex_);
    if (auto name = lookUpLocked(wanted)) return *name;
    recent = recentOwners_;
  }
  // No lock is held while /proc is read: the steps below only collect, and
  // what they found is merged under the lock afterwards.
  auto found = [&](long pid, ProcessScan& scan) -> std::string {
    std::lock_guard lock(mutex_);
    recordLocked(pid, scan);
    return scan.identity;
  };

  // 1. The descriptors where recent owners kept their last DNS sockets.
  for (const auto& owner : recent) {
    const std::string fdDir = "/proc/" + std::to_string(owner.pid) + "/fd/";
    for (int fd : owner.hintFds) {
      if (socketInodeAt(fdDir + std::to_string(fd)) != wanted) continue;
      ProcessScan scan;
      scan.sockets.push_back(wanted);
      scan.wantedFd = fd;
      std::string scratch;
      scan.identity = processIdentity("/proc/" + std::to_string(owner.pid), scratch);
      if (scan.identity.empty()) continue;
      std::lock_guard lock(mutex_);
      --stats_.processScans;  // one descriptor, not a table
      ++stats_.hintHits;
      recordLocked(owner.pid, scan);
      return scan.identity;
    }
  }
  // 2. The whole descriptor tables of recent owners.
  std::unordered_set<long> scanned;
  for (const auto& owner : recent) {
    scanned.insert(owner.pid);
    ProcessScan scan = scanProcess(owner.pid, wanted);
    if (scan.wantedFd >= 0) return found(owner.pid, scan);
    std::lock_guard lock(mutex_);
    recordLocked(owner.pid, scan);
    if (scan.gone) {
      // An ended process (a stub resolver run per query) is no hint any more.
      std::erase_if(recentOwners_, [&](const RecentOwner& r) { return r.pid == owner.pid; });
    }
  }
  // 3. Processes the last walk did not see; 4. every other process, one
  // walk at a time (a look-up that finds a walk running waits for it).
  for (int pass = 0; pass < 2; ++pass) {
    const std::vector<long> pids = listProcesses();
    bool walkAll = false;
    {
      std::unique_lock lock(mutex_);
      if (auto name = lookUpLocked(wanted)) return *name;
      if (pass == 1) {
        if (walking_) {
          walkDone_.wait_for(lock, std::chrono::milliseconds(500), [this] { return !walking_; });
          if (auto name = lookUpLocked(wanted)) return *name;
        }
        if (walking_ || std::chrono::steady_clock::now() - lastFailedWalk_ < kMinRescanInterval) return {};
        walking_ = true;
        walkAll = true;
        ++stats_.fullWalks;
      }
    }
    std::optional<std::string> result;
    for (long pid : pids) {
      if (scanned.contains(pid)) continue;
      if (!walkAll) {
        std::lock_guard lock(mutex_);
        if (knownPids_.contains(pid)) continue;
      }
      scanned.insert(pid);
      ProcessScan scan = scanProcess(pid, wanted);
      std::lock_guard lock(mutex_);
      recordLocked(pid, scan);
      if (scan.wantedFd >= 0 && !scan.identity.empty()) {
        result = scan.identity;
        break;
      }
    }
    std::lock_guard lock(mutex_);
    knownPids_.insert(pids.begin(), pids.end());
    if (walkAll) {
      // What a whole walk saw is the index now: processes that ended drop out.
      if (!result) {
        knownPids_ = std::unordered_set<long>(pids.begin(), pids.end());
        lastFailedWalk_ = std::chrono::steady_clock::now();
      }
      walking_ = false;
      walkDone_.notify_all();
    }
    if (result) return *result;
  }
  return {};
}

std::string SocketOwner::udpSocketOwner(const SocketAddress& client, const SocketAddress& server) {
  if (auto identity = quickUdpSocketOwner(client, server)) return *identity;
  auto socket = udpSocketDiag(client, server);
  if (!socket) return {};
  return processNameOfSocketInode(socket->inode);
}

std::optional<UdpSenderRecord::Sender> SocketOwner::portSender(const SocketAddress& client) const {
  // ::ffff:a.b.c.d came as an IPv4 datagram.
  const SocketAddress source = client.unmapped();
  if (source.family() == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(source.sockaddrPtr());
    return record_->portSender(false, source.port(), &in->sin_addr);
  }
  if (source.family() != AF_INET6) return std::nullopt;
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(source.sockaddrPtr());
  return record_->portSender(true, source.port(), &in6->sin6_addr);
}

std::optional<std::string> SocketOwner::quickUdpSocketOwner(const SocketAddress& client, const SocketAddress& server) {
  if (!record_) return std::nullopt;
  if (auto sender = portSender(client)) {
    std::string identity = identityOfSender(*sender);
    if (!identity.empty()) {
      portHits_.fetch_add(1, std::memory_order_relaxed);
      senderHits_.fetch_add(1, std::memory_order_relaxed);
      return identity;
    }
  }
  // Read before the look-up: a change while it runs makes its result stale.
  const auto portChanges = record_->changes(client.port());
  const auto now = std::chrono::steady_clock::now();
  EndpointShard& shard = endpointShard(client);
  if (portChanges) {
    std::optional<UdpSenderRecord::Sender> known;
    {
      std::lock_guard lock(shard.mutex);
      auto it = shard.endpoints.find(client);
      if (it != shard.endpoints.end()) {
        const KnownEndpoint& entry = it->second;
        if (entry.portChanges == *portChanges && record_->changes(entry.cookie) == entry.socketChanges &&
            now - entry.foundAt < kSenderIdentityLife)
          known = entry.sender;
      }
    }
    if (known) {
      std::string identity = identityOfSender(*known);
      if (!identity.empty()) {
        endpointHits_.fetch_add(1, std::memory_order_relaxed);
        senderHits_.fetch_add(1, std::memory_order_relaxed);
        return identity;
      }
    }
  }
  auto socket = udpSocketDiag(client, server);
  if (!socket) return std::string();
  // Its count before its record: a release in between removes the record.
  const auto socketChanges = record_->changes(socket->cookie);
  auto sender = record_->lastSender(socket->cookie);
  std::string identity = sender && sender->tgid != 0 ? identityOfSender(*sender) : std::string();
  if (identity.empty()) {
    // It has not sent since the record was loaded.
    senderMisses_.fetch_add(1, std::memory_order_relaxed);
    return std::nullopt;
  }
  senderHits_.fetch_add(1, std::memory_order_relaxed);
  if (portChanges && socketChanges) {
    std::lock_guard lock(shard.mutex);
    if (shard.endpoints.size() >= kMaxEndpointsPerShard) shard.endpoints.clear();
    shard.endpoints.insert_or_assign(client, KnownEndpoint{*portChanges, socket->cookie, *socketChanges, *sender, now});
  }
  return identity;
}

}  // namespace platform
