#pragma once
// What this process listens on and sends from, so that its own datagrams
// are never taken for a client's: the flow host sees every datagram sent to
// a listen address, including those of the process's own resolver sockets.
#include <cstdint>

#include "platform/network/SocketAddress.h"

namespace platform {

class OwnSockets {
 public:
  // Local port of a UDP socket this process sends from (an ephemeral port
  // that no other socket of the family shares).
  static void addLocalPort(int family, uint16_t port);
  static void removeLocalPort(int family, uint16_t port);
  // Registers the bound address and port of `fd`; returns the port, 0 when none.
  static uint16_t addSocket(int fd);
  static void removeSocket(int fd, uint16_t port);

  static void addListenAddress(const SocketAddress& address);
  static void removeListenAddress(const SocketAddress& address);

  // The datagram's source is a socket of this process: one registered
  // above, or a listen address. `arrival` (CLOCK_REALTIME nanoseconds, the
  // kernel's receive stamp; 0 when unknown) tells a datagram that a client
  // sent from the port before one of our sockets took it over.
  static bool isOwnSource(const SocketAddress& source, int64_t arrival = 0);
  // A datagram sent to `target` reaches one of this process's listen
  // addresses. `localSource` is the address the kernel picked to send from
  // (equal to the target's address when the target is this machine).
  static bool isOwnListenAddress(const SocketAddress& target, const SocketAddress* localSource = nullptr);
};

}  // namespace platform
