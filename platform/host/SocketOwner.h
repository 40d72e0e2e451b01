#pragma once
// Finds the process that owns a local client socket. The socket's inode and
// cookie come from sock_diag netlink. Where the kernel's record of UDP
// senders is loaded (BPF), the cookie gives the process that last connected
// the socket or sent with an address on it, at a cost that does not depend
// on what the process holds; where only one socket has sent from the
// client's port, the record by port gives it without sock_diag.
// Otherwise, or for a socket that has not sent since the record was loaded,
// an index from socket inode to process, kept up from /proc/*/fd a little
// at a time: the processes that owned recent sockets first, then processes
// the index has not seen, and a walk over all of them only when both miss.
// VARDENO_SOCKET_OWNER=proc keeps to /proc.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/host/bpf/UdpSenderRecord.h"
#include "platform/network/SocketAddress.h"

namespace platform {

class SocketOwner {
 public:
  enum class Source {
    automatic,  // the kernel's record of senders where it loads, else /proc; VARDENO_SOCKET_OWNER=proc: /proc
    proc,       // /proc alone
  };
  explicit SocketOwner(Source source = Source::automatic);
  virtual ~SocketOwner();

  // Identity of the process owning the UDP socket bound at `client` that
  // sent to `server` (the last one that sent on it, where the kernel's
  // record is used): its executable's path, or its command name when the
  // path cannot be read; empty when no owner is found. Blocks for the
  // look-up: a few microseconds with the kernel's record, up to a walk over
  // /proc without.
  virtual std::string udpSocketOwner(const SocketAddress& client, const SocketAddress& server);

  // The same look-up on the owner's own thread, in the order asked: `done`
  // runs there with the identity and should only hand it on. With more than
  // kMaxQueuedLookups waiting, `done` runs at once on the caller's thread
  // with an empty identity (counted in stats().lookupsDropped).
  // The look-up where it needs no walk over /proc (the kernel's record
  // knows the socket, or no such socket is open); none otherwise.
  virtual std::optional<std::string> quickUdpSocketOwner(const SocketAddress& client, const SocketAddress& server);

  using OwnerCallback = std::function<void(std::string identity)>;
  void udpSocketOwnerAsync(const SocketAddress& client, const SocketAddress& server, OwnerCallback done);
  static constexpr size_t kMaxQueuedLookups = 8192;

  // Whether look-ups use the kernel's record of senders; if not, why.
  bool usesKernelRecord() const { return record_ != nullptr; }
  const std::string& kernelRecordUnavailable() const { return recordUnavailable_; }
  // The source VARDENO_SOCKET_OWNER's value asks for (null: unset).
  static Source sourceFromKnob(const char* value);

  // Inode of that socket, from the kernel.
  std::optional<uint64_t> udpSocketInode(const SocketAddress& client, const SocketAddress& server);
  // Identity (as above) of a process holding the socket inode.
  std::string processNameOfSocketInode(uint64_t inode);

  // Basename of argv[0] out of a /proc/PID/cmdline buffer; empty if none.
  static std::string commandNameFromCmdline(std::string_view cmdline);
  // The path out of a /proc/PID/exe link text.
  static std::string executablePathFromLink(std::string_view link);
  // Identity of the process at /proc/PID (`procBase`).
  static std::string processIdentity(const std::string& procBase, std::string& scratch);

  static std::shared_ptr<SocketOwner> system();

  // How look-ups that missed the index were answered.
  struct Stats {
    uint64_t hintHits = 0;      // at a recent owner's last DNS descriptor
    uint64_t processScans = 0;  // descriptor tables read
    uint64_t fullWalks = 0;     // walks over every process
    uint64_t senderHits = 0;    // answered from the kernel's record of senders
    uint64_t senderMisses = 0;  // sockets the record did not know: /proc
    uint64_t lookupsDropped = 0;  // asynchronous look-ups refused, queue full
    uint64_t endpointHits = 0;    // sender hits known for the address already (no sock_diag)
    uint64_t portHits = 0;        // sender hits from the record by local port (no sock_diag)
  };
  Stats stats() const;

  // Start time of process `pid` in clock ticks since boot (/proc/PID/stat).
  static std::optional<uint64_t> processStartTicks(long pid);

 private:
  struct DiagSocket {
    uint64_t inode = 0;
    uint64_t cookie = 0;
  };
  std::optional<DiagSocket> udpSocketDiag(const SocketAddress& client, const SocketAddress& server);
  // Identity of the last sender the kernel recorded; empty if it is unknown.
  std::string identityOfSender(const UdpSenderRecord::Sender& sender);

  // The last sender found for a client address, while the kernel's counts
  // of changes for its port and its socket stay what they were before that
  // look-up (no socket bound to the port, the socket neither released nor
  // sent on by another process) and for at most kSenderIdentityLife: no
  // sock_diag nor map read for it.
  struct KnownEndpoint {
    uint64_t portChanges = 0;
    uint64_t cookie = 0;
    uint64_t socketChanges = 0;
    UdpSenderRecord::Sender sender;
    std::chrono::steady_clock::time_point foundAt;
  };
  struct EndpointShard {
    std::mutex mutex;
    std::unordered_map<SocketAddress, KnownEndpoint> endpoints;
  };
  static constexpr size_t kEndpointShards = 16;
  static constexpr size_t kMaxEndpointsPerShard = 1024;
  std::array<EndpointShard, kEndpointShards> endpointShards_;
  EndpointShard& endpointShard(const SocketAddress& client) {
    return endpointShards_[client.hashValue() % kEndpointShards];
  }
  std::atomic<uint64_t> endpointHits_{0}, portHits_{0};
  // The kernel's record of the port's one sending socket, for `client`'s family and port.
  std::optional<UdpSenderRecord::Sender> portSender(const SocketAddress& client) const;

  std::shared_ptr<UdpSenderRecord> record_;
  std::string recordUnavailable_;
  // Senders whose identity was read lately, with a pidfd that tells whether
  // the process still lives (then the pid is still its own); read anew
  // after kSenderIdentityLife, so that an exec shows.
  struct KnownSender {
    KnownSender(int fd, uint64_t ticks, std::string name, std::chrono::steady_clock::time_point at)
        : pidfd(fd), startTicks(ticks), identity(std::move(name)), readAt(at) {}
    int pidfd = -1;
    uint64_t startTicks = 0;
    std::string identity;
    std::chrono::steady_clock::time_point readAt;
    // Boot time (ns) at which the process was last seen alive: a record
    // made before it, by a process that started before the record, is its.
    std::atomic<uint64_t> aliveAt{0};
  };
  static constexpr size_t kMaxKnownSenders = 128;
  static constexpr std::chrono::seconds kSenderIdentityLife{1};
  std::shared_mutex sendersMutex_;
  std::unordered_map<uint32_t, KnownSender> knownSenders_;
  std::atomic<uint64_t> senderHits_{0}, senderMisses_{0}, lookupsDropped_{0};

  // Asynchronous look-ups: a queue and the one thread that serves it, so
  // that /proc is never walked by several threads at once.
  struct PendingLookup {
    SocketAddress client, server;
    OwnerCallback done;
  };
  void serveLookups();
  std::mutex queueMutex_;
  std::condition_variable queueReady_;
  std::deque<PendingLookup> queue_;
  bool stopping_ = false;
  std::thread lookupThread_;

  // What one process's descriptor table held.
  struct ProcessScan {
    std::vector<uint64_t> sockets;
    int wantedFd = -1;  // where the wanted socket was, if there
    bool gone = false;  // the process has ended
    std::string identity;
  };
  struct RecentOwner {
    long pid = 0;
    std::vector<int> hintFds;  // where its last DNS sockets were, newest first
  };
  static constexpr size_t kRecentOwners = 64;
  static constexpr size_t kHintFds = 4;
  static constexpr size_t kMaxTableEntries = 200'000;
  // After a walk over every process that found nothing, the next waits this
  // long, so that a flood of unknown sockets cannot make every query a walk.
  static constexpr std::chrono::milliseconds kMinRescanInterval{5};

  static ProcessScan scanProcess(long pid, uint64_t wanted);
  void recordLocked(long pid, const ProcessScan& scan);
  void rememberOwnerLocked(long pid, int fd);
  std::optional<std::string> lookUpLocked(uint64_t inode) const;

  // The index: socket inode to owner identity, the processes that owned
  // recent look-ups' sockets, and the processes a walk has seen. Only
  // short steps hold the lock; /proc is read without it.
  mutable std::mutex mutex_;
  std::unordered_map<uint64_t, std::string> inodeToName_;
  std::vector<RecentOwner> recentOwners_;  // most recent first
  std::unordered_set<long> knownPids_;
  bool walking_ = false;  // a walk over every process runs
  Stats stats_;
  std::condition_variable walkDone_;
  std::chrono::steady_clock::time_point lastFailedWalk_{};

  // Netlink sockets lent to look-ups: a fixed set in slots taken and given
  // back without a lock, opened together on the first look-up, so the
  // process's descriptors do not grow with the threads that happen to look
  // up; a look-up that finds every slot taken opens its own.
  class Netlink;
  static constexpr size_t kNetlinkSlots = 64;
  std::unique_ptr<Netlink> takeNetlink();
  void returnNetlink(std::unique_ptr<Netlink> netlink);
  std::once_flag netlinkOpened_;
  size_t netlinkCount_ = 0;
  std::array<std::atomic<Netlink*>, kNetlinkSlots> netlinkSlots_{};
};

}  // namespace platform
