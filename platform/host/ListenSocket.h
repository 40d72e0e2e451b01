#pragma once
// A UDP socket and a TCP listener bound to the same address and port.
#include <string>
#include <vector>

#include "platform/network/SocketAddress.h"

namespace platform {

struct ListenSocket {
  int udpFd = -1;
  int tcpFd = -1;
  SocketAddress bound;  // the port that port 0 picked
};

// Binds every address; on failure closes what was bound and sets `error`.
std::vector<ListenSocket> bindListenSockets(const std::vector<SocketAddress>& addresses, std::string& error);
void closeListenSockets(std::vector<ListenSocket>& sockets);

}  // namespace platform
