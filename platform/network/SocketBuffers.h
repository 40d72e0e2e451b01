#pragma once
// Larger kernel buffers for a UDP socket that takes bursts of datagrams.
#include <sys/socket.h>

namespace platform {

// Asks for `bytes` of receive and send buffer; with the privilege for it, past
// the system's ceiling. Best effort: a refusal leaves the defaults.
inline void growSocketBuffers(int fd, int bytes = 4 << 20) {
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0)
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

}  // namespace platform
