#pragma once
// Resolves datagrams the provider declined through the system DNS. Each
// query goes out on a socket of its own (a port the kernel picks at random)
// with a random ID; an answer is taken only from the system DNS, on that
// socket, with that ID and the same question (RFC 5452), and goes back to
// the client with its ID restored, from the address the client asked.
// Queries in flight are bounded in number and time; an idle forwarder
// sleeps.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/network/SocketAddress.h"

namespace platform {

class SystemDnsForwarder {
 public:
  struct Limits {
    std::chrono::milliseconds answerWait{5000};  // a query unanswered this long is dropped
    size_t maxInFlight = 512;                    // beyond it, queries are dropped
  };
  struct Counts {
    uint64_t sent = 0;
    uint64_t answered = 0;
    uint64_t dropped = 0;     // no room, no socket or no send
    uint64_t malformed = 0;   // not a query with one question
    uint64_t mismatched = 0;  // answers that did not match their query
    uint64_t expired = 0;     // unanswered in time, or refused by the system DNS
  };

  // Checks that `systemDns` can be reached from here; check ok().
  explicit SystemDnsForwarder(SocketAddress systemDns) : SystemDnsForwarder(systemDns, Limits{}) {}
  SystemDnsForwarder(SocketAddress systemDns, Limits limits);
  ~SystemDnsForwarder();
  SystemDnsForwarder(const SystemDnsForwarder&) = delete;
  SystemDnsForwarder& operator=(const SystemDnsForwarder&) = delete;

  bool ok() const { return ok_; }
  const SocketAddress& systemDns() const { return systemDns_; }
  // Sends each datagram; its answer goes to `client` through `replyFd`,
  // from `local` (the address the client sent to) when it is known.
  void forward(int replyFd, const SocketAddress& client, const std::optional<SocketAddress>& local,
               const std::vector<std::vector<uint8_t>>& datagrams);
  void forward(int replyFd, const SocketAddress& client, const std::vector<std::vector<uint8_t>>& datagrams) {
    forward(replyFd, client, std::nullopt, datagrams);
  }
  // Queries sent and not yet answered or expired.
  size_t outstanding() const;
  Counts counts() const;

 private:
  // free -> sending (the sender holds the socket) -> waiting (in the expiry
  // list) -> free; finished: the sender gave it up while the receive thread
  // was reading it, which then closes it.
  enum class State : uint8_t { free, sending, waiting, finished };
  struct Slot {
    State state = State::free;
    bool done = false;      // answered, or refused by the system DNS
    bool draining = false;  // the receive thread is reading its socket
    uint32_t generation = 0;
    int fd = -1;
    uint16_t ownPort = 0;
    uint16_t upstreamId = 0;
    uint16_t clientId = 0;
    std::vector<uint8_t> question;  // name (lower case), type and class
    int replyFd = -1;
    SocketAddress client;
    std::optional<SocketAddress> local;
    std::chrono::steady_clock::time_point expires;
    int32_t older = -1, newer = -1;  // the expiry list, oldest first
    int32_t nextFree = -1;
  };
  struct Reply {
    int replyFd;
    SocketAddress client;
    std::optional<SocketAddress> local;
    uint16_t clientId;
  };

  void forwardOne(int replyFd, const SocketAddress& client, const std::optional<SocketAddress>& local,
                  const std::vector<uint8_t>& datagram);
  void receiveLoop();
  void drain(uint32_t index, uint32_t generation, std::vector<uint8_t>& buffer, std::vector<uint8_t>& question);
  // Frees a slot (out of the expiry list too); the caller closes its socket.
  void freeLocked(uint32_t index);
  static void closeSocket(int fd, uint16_t ownPort);

  const SocketAddress systemDns_;
  const Limits limits_;
  bool ok_ = false;
  int epollFd_ = -1;
  int stopFd_ = -1;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<Slot> slots_;
  int32_t firstFree_ = -1;
  int32_t oldest_ = -1, newest_ = -1;
  std::atomic<size_t> inFlight_{0};
  std::atomic<uint64_t> sent_{0}, answered_{0}, dropped_{0}, malformed_{0}, mismatched_{0}, expired_{0};
  std::atomic<int64_t> lastDropLog_{0};
  std::thread thread_;
};

}  // namespace platform
