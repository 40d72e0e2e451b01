#pragma once
// Datagrams on a socket that may be bound to a wildcard address: the
// address each datagram was sent to is received with it, and an answer is
// sent from that address, as the client expects.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/network/SocketAddress.h"

namespace platform {

// Asks the kernel to report each datagram's destination address
// (IP_PKTINFO, IPV6_RECVPKTINFO). Best effort.
void receiveDestinations(int fd);

// Room for the control data receiveDestinations() asks for.
constexpr size_t kDestinationControlSize = CMSG_SPACE(sizeof(struct in6_pktinfo)) + CMSG_SPACE(sizeof(struct in_pktinfo));

// The destination address (port 0) carried by a received message's control
// data; none when the kernel gave none.
std::optional<SocketAddress> destinationOf(const msghdr& message);

// Sends `size` bytes to `to`; from `from` when it is set and not a wildcard
// address (its port is ignored: the socket's own port is used). Waits a
// little when the send buffer is full. False when it could not be sent.
bool sendDatagram(int fd, const SocketAddress& to, const std::optional<SocketAddress>& from, const uint8_t* data,
                  size_t size);

}  // namespace platform
