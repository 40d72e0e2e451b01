// Socket-owner look-up cost: N other processes of D descriptors each (half
// of them UDP sockets) run beside this one; this process, older than all of
// them, opens a new UDP socket per query as stub resolvers do, and the
// owner of each is looked up. Prints microseconds per look-up, the first
// (cold) one apart.
// Usage: owner_lookup_bench [processes] [descriptors] [lookups]
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/host/SocketOwner.h"

using platform::SocketAddress;
using Clock = std::chrono::steady_clock;

namespace {

int boundUdpSocket(SocketAddress& local) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  auto any = *SocketAddress::parse("127.0.0.1:0");
  if (fd < 0 || bind(fd, any.sockaddrPtr(), any.length()) != 0) return -1;
  socklen_t length = sizeof(sockaddr_storage);
  getsockname(fd, local.sockaddrPtr(), &length);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  const int processes = argc > 1 ? std::atoi(argv[1]) : 200;
  const int descriptors = argc > 2 ? std::atoi(argv[2]) : 100;
  const int lookups = argc > 3 ? std::atoi(argv[3]) : 2000;

  SocketAddress server;
  int serverFd = boundUdpSocket(server);
  int ready[2];
  if (serverFd < 0 || pipe(ready) != 0) return 1;
  std::vector<pid_t> children;
  for (int i = 0; i < processes; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      for (int d = 0; d < descriptors; ++d) {
        SocketAddress ignored;
        if (d % 2 == 0) boundUdpSocket(ignored);
        else (void)!dup(0);
      }
      (void)!write(ready[1], "x", 1);
      pause();
      _exit(0);
    }
    children.push_back(pid);
  }
  char byte;
  for (int i = 0; i < processes; ++i) (void)!read(ready[0], &byte, 1);

  platform::SocketOwner owner;
  double coldMicros = 0, totalMicros = 0;
  int found = 0;
  for (int i = 0; i <= lookups; ++i) {
    SocketAddress local;
    int fd = boundUdpSocket(local);
    auto start = Clock::now();
    std::string name = owner.udpSocketOwner(local, server);
    double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (i == 0) coldMicros = micros;
    else totalMicros += micros;
    if (!name.empty()) ++found;
    close(fd);
  }
  for (pid_t pid : children) kill(pid, SIGKILL);
  for (pid_t pid : children) waitpid(pid, nullptr, 0);
  std::printf("%d processes x %d descriptors: first look-up %.1f us, then %.1f us per look-up (%d lookups, %d found)\n",
              processes, descriptors, coldMicros, totalMicros / lookups, lookups, found);
  return found == lookups + 1 ? 0 : 2;
}
