#pragma once
// Finds the process that owns a local client socket: the socket's inode
// through sock_diag netlink, then the process through a cached
// inode-to-process table built from /proc/*/fd.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/SocketAddress.h"

namespace platform {

class SocketOwner {
 public:
  SocketOwner();
  virtual ~SocketOwner();

  // Identity of the process owning the UDP socket bound at `client` that
  // sent to `server`: its executable's path, or its command name when the
  // path cannot be read; empty when no owner is found.
  virtual std::string udpSocketOwner(const SocketAddress& client, const SocketAddress& server);

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

 private:
  // Walks /proc, newest processes first, until `inode` is found.
  bool rescanFor(uint64_t inode);

  std::shared_mutex tableMutex_;
  std::unordered_map<uint64_t, std::string> inodeToName_;
  std::mutex rescanMutex_;
  std::chrono::steady_clock::time_point lastFailedRescan_{};

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
