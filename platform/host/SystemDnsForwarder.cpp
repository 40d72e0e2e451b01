#include "platform/host/SystemDnsForwarder.h"

#include "platform/network/OwnSockets.h"
#include "platform/network/SocketBuffers.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

namespace platform {

SystemDnsForwarder::SystemDnsForwarder(SocketAddress systemDns) : systemDns_(systemDns), slots_(65536) {
  fd_ = socket(systemDns_.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0) growSocketBuffers(fd_);  // one socket carries every declined flow
  if (fd_ >= 0 && connect(fd_, systemDns_.sockaddrPtr(), systemDns_.length()) != 0) {
    close(fd_);
    fd_ = -1;
  }
  ownPort_ = OwnSockets::addSocket(fd_);
  stopFd_ = eventfd(0, EFD_CLOEXEC);
  nextId_ = std::random_device{}();
  if (fd_ >= 0) thread_ = std::thread([this] { receiveLoop(); });
}

SystemDnsForwarder::~SystemDnsForwarder() {
  if (stopFd_ >= 0) {
    uint64_t one = 1;
    (void)!write(stopFd_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
  OwnSockets::removeSocket(fd_, ownPort_);
  if (fd_ >= 0) close(fd_);
  if (stopFd_ >= 0) close(stopFd_);
}

void SystemDnsForwarder::forward(int replyFd, const SocketAddress& client,
                                 const std::vector<std::vector<uint8_t>>& datagrams) {
  if (fd_ < 0) return;
  for (const auto& datagram : datagrams) {
    if (datagram.size() < 2) continue;  // no room for an ID: nothing a resolver could answer
    std::vector<uint8_t> out = datagram;
    bool placed = false;
    {
      std::lock_guard lock(mutex_);
      auto now = std::chrono::steady_clock::now();
      // Probe from a moving start; a slot whose answer is overdue is free.
      for (int probe = 0; probe < 64 && !placed; ++probe) {
        uint16_t id = static_cast<uint16_t>(nextId_ * 2654435761u >> 16);
        ++nextId_;
        Slot& slot = slots_[id];
        if (slot.used && slot.expires > now) continue;
        slot = Slot{true, static_cast<uint16_t>(datagram[0] << 8 | datagram[1]), replyFd, client, now + kAnswerWait};
        out[0] = static_cast<uint8_t>(id >> 8);
        out[1] = static_cast<uint8_t>(id);
        placed = true;
      }
    }
    if (placed) (void)!send(fd_, out.data(), out.size(), MSG_DONTWAIT);
  }
}

size_t SystemDnsForwarder::outstanding() const {
  std::lock_guard lock(mutex_);
  auto now = std::chrono::steady_clock::now();
  size_t n = 0;
  for (const auto& slot : slots_)
    if (slot.used && slot.expires > now) ++n;
  return n;
}

void SystemDnsForwarder::receiveLoop() {
  std::vector<uint8_t> buffer(65536);
  pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 2) continue;  // errors (ICMP refusals) and runts
    uint16_t id = static_cast<uint16_t>(buffer[0] << 8 | buffer[1]);
    Slot slot;
    {
      std::lock_guard lock(mutex_);
      Slot& s = slots_[id];
      if (!s.used || s.expires <= std::chrono::steady_clock::now()) continue;
      slot = s;
      s.used = false;
    }
    buffer[0] = static_cast<uint8_t>(slot.clientId >> 8);
    buffer[1] = static_cast<uint8_t>(slot.clientId);
    (void)!sendto(slot.replyFd, buffer.data(), static_cast<size_t>(n), MSG_DONTWAIT, slot.client.sockaddrPtr(),
                  slot.client.length());
  }
}

}  // namespace platform
