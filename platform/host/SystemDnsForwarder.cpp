#include "platform/host/SystemDnsForwarder.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "platform/foundation/Log.h"
#include "platform/network/DatagramSend.h"
#include "platform/network/OwnSockets.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kHeader = 12;

uint16_t randomId() {
  uint16_t id = 0;
  for (;;) {
    const ssize_t n = getrandom(&id, sizeof id, 0);
    if (n == static_cast<ssize_t>(sizeof id)) return id;
    if (n < 0 && errno == EINTR) continue;
    return static_cast<uint16_t>(std::random_device{}());
  }
}

// The one question of a DNS message: its name in lower case, then type and
// class, as on the wire. False when the message has no single, well-formed
// question (the first name of a message cannot be compressed).
bool questionOf(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  if (size < kHeader || (data[4] << 8 | data[5]) != 1) return false;
  out.clear();
  size_t at = kHeader;
  size_t nameLength = 1;
  for (;;) {
    if (at >= size) return false;
    const uint8_t label = data[at];
    if (label == 0) break;
    if (label > 63 || at + 1 + label > size) return false;
    nameLength += 1 + label;
    if (nameLength > 255) return false;
    out.push_back(label);
    for (size_t i = at + 1; i <= at + label; ++i) {
      const uint8_t c = data[i];
      out.push_back(c >= 'A' && c <= 'Z' ? static_cast<uint8_t>(c + ('a' - 'A')) : c);
    }
    at += 1 + label;
  }
  if (at + 5 > size) return false;
  out.insert(out.end(), data + at, data + at + 5);  // the root label, type, class
  return true;
}

bool isResponse(const uint8_t* data) { return (data[2] & 0x80) != 0; }

uint64_t eventData(uint32_t index, uint32_t generation) { return static_cast<uint64_t>(generation) << 32 | index; }

}  // namespace

SystemDnsForwarder::SystemDnsForwarder(SocketAddress systemDns, Limits limits)
    : systemDns_(systemDns), limits_(limits), slots_(limits.maxInFlight) {
  for (size_t i = slots_.size(); i-- > 0;) {
    slots_[i].nextFree = firstFree_;
    firstFree_ = static_cast<int32_t>(i);
  }
  // The system DNS must be reachable from a socket of its family.
  const int probe = socket(systemDns_.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const bool reachable = probe >= 0 && connect(probe, systemDns_.sockaddrPtr(), systemDns_.length()) == 0;
  if (probe >= 0) close(probe);
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event stop{};
  stop.events = EPOLLIN;
  stop.data.u64 = UINT64_MAX;
  if (!reachable || epollFd_ < 0 || stopFd_ < 0 || epoll_ctl(epollFd_, EPOLL_CTL_ADD, stopFd_, &stop) != 0) return;
  ok_ = true;
  thread_ = std::thread([this] { receiveLoop(); });
}

SystemDnsForwarder::~SystemDnsForwarder() {
  if (thread_.joinable()) {
    stopping_.store(true, std::memory_order_relaxed);
    uint64_t one = 1;
    (void)!write(stopFd_, &one, sizeof one);
    thread_.join();
  }
  for (auto& slot : slots_)
    if (slot.state != State::free) closeSocket(slot.fd, slot.ownPort);
  if (epollFd_ >= 0) close(epollFd_);
  if (stopFd_ >= 0) close(stopFd_);
}

void SystemDnsForwarder::forward(int replyFd, const SocketAddress& client, const std::optional<SocketAddress>& local,
                                 const std::vector<std::vector<uint8_t>>& datagrams) {
  if (!ok_) return;
  for (const auto& datagram : datagrams) forwardOne(replyFd, client, local, datagram);
}

void SystemDnsForwarder::forwardOne(int replyFd, const SocketAddress& client, const std::optional<SocketAddress>& local,
                                    const std::vector<uint8_t>& datagram) {
  thread_local std::vector<uint8_t> question;
  if (datagram.size() < kHeader || isResponse(datagram.data()) ||
      !questionOf(datagram.data(), datagram.size(), question)) {
    malformed_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  auto drop = [this] {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    const int64_t now = Clock::now().time_since_epoch().count();
    int64_t last = lastDropLog_.load(std::memory_order_relaxed);
    if ((last == 0 || now - last >= std::chrono::nanoseconds(std::chrono::seconds(10)).count()) &&
        lastDropLog_.compare_exchange_strong(last, now, std::memory_order_relaxed))
      logLine("[NEHost] system DNS ", systemDns_.description(), ": dropped a query (", limits_.maxInFlight,
              " in flight at most; ", dropped_.load(std::memory_order_relaxed), " dropped so far)");
  };
  if (inFlight_.load(std::memory_order_relaxed) >= limits_.maxInFlight) return drop();

  // A socket of its own: the kernel gives it a random port, and once
  // connected it takes datagrams from the system DNS alone.
  const int fd = socket(systemDns_.family(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return drop();
  if (connect(fd, systemDns_.sockaddrPtr(), systemDns_.length()) != 0) {
    close(fd);
    return drop();
  }
  const uint16_t ownPort = OwnSockets::addSocket(fd);
  const uint16_t id = randomId();

  uint32_t index = 0, generation = 0;
  bool placed = false;
  {
    std::lock_guard lock(mutex_);
    if (firstFree_ >= 0) {
      index = static_cast<uint32_t>(firstFree_);
      Slot& slot = slots_[index];
      firstFree_ = slot.nextFree;
      slot.state = State::sending;
      slot.done = false;
      slot.draining = false;
      generation = ++slot.generation;
      slot.fd = fd;
      slot.ownPort = ownPort;
      slot.upstreamId = id;
      slot.clientId = static_cast<uint16_t>(datagram[0] << 8 | datagram[1]);
      slot.question.assign(question.begin(), question.end());
      slot.replyFd = replyFd;
      slot.client = client;
      slot.local = local;
      inFlight_.fetch_add(1, std::memory_order_relaxed);
      placed = true;
    }
  }
  if (!placed) {
    closeSocket(fd, ownPort);
    return drop();
  }

  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = eventData(index, generation);
  bool sent = epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) == 0;
  if (sent) {
    const uint8_t newId[2] = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
    iovec parts[2] = {{const_cast<uint8_t*>(newId), 2},
                      {const_cast<uint8_t*>(datagram.data() + 2), datagram.size() - 2}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    ssize_t n;
    do {
      n = sendmsg(fd, &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    sent = n == static_cast<ssize_t>(datagram.size());
  }

  bool closeNow = false, wake = false;
  {
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[index];
    if (sent && !slot.done) {
      slot.state = State::waiting;
      slot.expires = Clock::now() + limits_.answerWait;
      wake = oldest_ < 0;  // the receive thread sleeps without a deadline
      slot.older = newest_;
      slot.newer = -1;
      if (newest_ >= 0) slots_[newest_].newer = static_cast<int32_t>(index);
      newest_ = static_cast<int32_t>(index);
      if (oldest_ < 0) oldest_ = newest_;
    } else if (slot.draining) {
      slot.state = State::finished;  // closed by the receive thread once it is done with it
    } else {
      freeLocked(index);
      closeNow = true;
    }
  }
  if (sent) sent_.fetch_add(1, std::memory_order_relaxed);
  else drop();
  if (closeNow) closeSocket(fd, ownPort);
  if (wake) {
    uint64_t one = 1;
    (void)!write(stopFd_, &one, sizeof one);
  }
}

size_t SystemDnsForwarder::outstanding() const { return inFlight_.load(std::memory_order_relaxed); }

SystemDnsForwarder::Counts SystemDnsForwarder::counts() const {
  Counts c;
  c.sent = sent_.load(std::memory_order_relaxed);
  c.answered = answered_.load(std::memory_order_relaxed);
  c.dropped = dropped_.load(std::memory_order_relaxed);
  c.malformed = malformed_.load(std::memory_order_relaxed);
  c.mismatched = mismatched_.load(std::memory_order_relaxed);
  c.expired = expired_.load(std::memory_order_relaxed);
  return c;
}

void SystemDnsForwarder::freeLocked(uint32_t index) {
  Slot& slot = slots_[index];
  if (slot.state == State::waiting) {
    if (slot.older >= 0) slots_[slot.older].newer = slot.newer;
    else oldest_ = slot.newer;
    if (slot.newer >= 0) slots_[slot.newer].older = slot.older;
    else newest_ = slot.older;
  }
  slot.state = State::free;
  slot.older = slot.newer = -1;
  slot.fd = -1;
  slot.nextFree = firstFree_;
  firstFree_ = static_cast<int32_t>(index);
  inFlight_.fetch_sub(1, std::memory_order_relaxed);
}

void SystemDnsForwarder::closeSocket(int fd, uint16_t ownPort) {
  if (fd < 0) return;
  OwnSockets::removeSocket(fd, ownPort);
  close(fd);
}

void SystemDnsForwarder::receiveLoop() {
  std::vector<uint8_t> buffer(65536);
  std::vector<uint8_t> question;
  epoll_event events[64];
  std::vector<std::pair<int, uint16_t>> closing;
  for (;;) {
    int timeout = -1;
    {
      std::lock_guard lock(mutex_);
      if (oldest_ >= 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(slots_[oldest_].expires - Clock::now());
        timeout = static_cast<int>(std::max<int64_t>(left.count(), 0));
      }
    }
    const int ready = epoll_wait(epollFd_, events, 64, timeout);
    if (ready < 0 && errno != EINTR) {
      logLine("[NEHost] system DNS forwarder stopped: epoll_wait failed (", errno, ")");
      return;
    }
    for (int i = 0; i < ready; ++i) {
      if (events[i].data.u64 == UINT64_MAX) {
        uint64_t count;
        (void)!read(stopFd_, &count, sizeof count);
        if (stopping_.load(std::memory_order_relaxed)) return;
        continue;
      }
      drain(static_cast<uint32_t>(events[i].data.u64), static_cast<uint32_t>(events[i].data.u64 >> 32), buffer,
            question);
    }
    // Unanswered in time: the socket closes, so a late answer finds no one.
    closing.clear();
    {
      std::lock_guard lock(mutex_);
      const auto now = Clock::now();
      while (oldest_ >= 0 && slots_[oldest_].expires <= now) {
        const auto index = static_cast<uint32_t>(oldest_);
        closing.emplace_back(slots_[index].fd, slots_[index].ownPort);
        freeLocked(index);
      }
    }
    expired_.fetch_add(closing.size(), std::memory_order_relaxed);
    for (auto [fd, port] : closing) closeSocket(fd, port);
  }
}

void SystemDnsForwarder::drain(uint32_t index, uint32_t generation, std::vector<uint8_t>& buffer,
                               std::vector<uint8_t>& question) {
  int fd;
  {
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[index];
    if (slot.state == State::free || slot.state == State::finished || slot.generation != generation) return;
    fd = slot.fd;
    slot.draining = true;
  }
  bool refused = false;
  for (;;) {
    SocketAddress from;
    socklen_t length = sizeof(sockaddr_storage);
    const ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT, from.sockaddrPtr(), &length);
    if (n < 0) {
      if (errno == EINTR) continue;
      // ECONNREFUSED and the like: the system DNS will not answer this one.
      refused = errno != EAGAIN && errno != EWOULDBLOCK;
      break;
    }
    const auto size = static_cast<size_t>(n);
    const bool wellFormed = size >= kHeader && isResponse(buffer.data()) && from == systemDns_ &&
                            questionOf(buffer.data(), size, question);
    std::optional<Reply> reply;
    {
      std::lock_guard lock(mutex_);
      Slot& slot = slots_[index];
      if (wellFormed && !slot.done && (buffer[0] << 8 | buffer[1]) == slot.upstreamId && question == slot.question) {
        slot.done = true;
        reply = Reply{slot.replyFd, slot.client, slot.local, slot.clientId};
      }
    }
    if (!reply) {
      mismatched_.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    buffer[0] = static_cast<uint8_t>(reply->clientId >> 8);
    buffer[1] = static_cast<uint8_t>(reply->clientId);
    sendDatagram(reply->replyFd, reply->client, reply->local, buffer.data(), size);
    answered_.fetch_add(1, std::memory_order_relaxed);
  }
  bool closeNow = false;
  uint16_t ownPort = 0;
  {
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[index];
    slot.draining = false;
    if (refused && !slot.done) {
      slot.done = true;
      expired_.fetch_add(1, std::memory_order_relaxed);
    }
    // While the sender still holds it, the sender frees it.
    if (slot.state == State::finished || (slot.state == State::waiting && slot.done)) {
      ownPort = slot.ownPort;
      freeLocked(index);
      closeNow = true;
    }
  }
  if (closeNow) closeSocket(fd, ownPort);
}

}  // namespace platform
