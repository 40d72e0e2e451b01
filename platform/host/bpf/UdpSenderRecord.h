#pragma once
// The kernel's record of which process last connected or sent with an
// address on each UDP socket: BPF programs on the cgroup socket-address
// hooks (connect4/6, sendmsg4/6) of the cgroup v2 root write it into an LRU
// map keyed by socket cookie before the datagram leaves. One per process,
// loaded on first use, detached when the process ends; absent where BPF
// cannot be loaded (the reason is kept). Hooks on bind and release keep
// counts of changes beside it.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class UdpSenderRecord {
 public:
  struct Sender {
    uint32_t tgid = 0;
    uint64_t boottime = 0;  // when it was recorded, ns since boot
    std::string comm;
  };

  // The process's record, or null with `why` telling what failed.
  static std::shared_ptr<UdpSenderRecord> shared(std::string& why);
  // Before the first shared(): the record leaves out this process's own
  // sockets (a proxy that never looks itself up).
  static void leaveOutThisProcess();
  // A record of its own, attached beside any other, that leaves out the
  // sockets of process `unrecordedTgid` (0: none).
  static std::shared_ptr<UdpSenderRecord> load(std::string& why, uint32_t unrecordedTgid);

  // The last sender on the socket with this cookie; none if it has not
  // connected or sent since the record was loaded (or its entry was evicted).
  std::optional<Sender> lastSender(uint64_t cookie) const;

  // The last sender on the one socket datagrams from this local port have
  // left from since it was bound, read from a shared mapping without a
  // system call. None where that hook did not attach, when no socket's
  // datagram left the port, or more than one socket's may have (the port
  // is then looked up otherwise for good), or when its sender is not
  // recorded. A datagram received from the port left after its record.
  // `address` is the datagram's source address (4 or 16 bytes, network
  // order): another host's datagram from the port is none of its sockets'.
  std::optional<Sender> portSender(bool ipv6, uint16_t port, const void* address) const;

  // The count of changes at `index` (a local port: sockets bound to it; a
  // socket cookie: new senders on it and its release; both taken modulo
  // 65,536), read from a shared mapping without a system call; none where
  // those hooks did not attach. A socket's record is removed at its release
  // before its count moves.
  std::optional<uint64_t> changes(uint64_t index) const;

  ~UdpSenderRecord();
  UdpSenderRecord(const UdpSenderRecord&) = delete;
  UdpSenderRecord& operator=(const UdpSenderRecord&) = delete;

 private:
  struct Loaded;
  explicit UdpSenderRecord(std::unique_ptr<Loaded> loaded);
  std::unique_ptr<Loaded> loaded_;
  int mapFd_ = -1;
};

}  // namespace platform
