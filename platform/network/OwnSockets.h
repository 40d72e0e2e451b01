#pragma once
// What this process listens on and sends from, so that its own datagrams
// are never taken for a client's: the flow host sees every datagram sent to
// a listen address, including those of the process's own resolver sockets.
//
// An own socket is known by its exact local address and port, which the
// kernel fixes at bind or connect and gives to no other socket while it is
// open: a client on another address with the same port is a client.
#include <cstdint>

#include "platform/network/SocketAddress.h"

namespace platform {

class OwnSockets {
 public:
  // The exact local address of a UDP socket this process sends from.
  static void addLocalAddress(const SocketAddress& local);
  static void removeLocalAddress(const SocketAddress& local);
  // Registers the bound address of `fd`; returns its port, 0 when none.
  static uint16_t addSocket(int fd);
  static void removeSocket(int fd, uint16_t port);

  static void addListenAddress(const SocketAddress& address);
  static void removeListenAddress(const SocketAddress& address);

  // The datagram's source is a socket of this process: one registered
  // above, or a listen address.
  static bool isOwnSource(const SocketAddress& source);
  // A datagram sent to `target` reaches one of this process's listen
  // addresses. `localSource` is the address the kernel picked to send from
  // (equal to the target's address when the target is this machine).
  static bool isOwnListenAddress(const SocketAddress& target, const SocketAddress* localSource = nullptr);
};

}  // namespace platform
