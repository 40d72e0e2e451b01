// Socket-owner look-up cost: N other processes of D descriptors each (half
// of them UDP sockets) run beside this one; this process, older than all of
// them and holding H descriptors of its own, opens a new UDP socket per
// query and sends from it as stub resolvers do, and the owner of each is
// looked up. Prints the source of owners and microseconds per look-up, the
// first (cold) one apart. VARDENO_SOCKET_OWNER=proc: owners from /proc.
// Usage: owner_lookup_bench [processes] [descriptors] [lookups] [held]
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
  const int held = argc > 4 ? std::atoi(argv[4]) : 0;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  const rlim_t want = static_cast<rlim_t>(std::max(descriptors, held)) + 256;
  if (limit.rlim_cur < want) {
    limit.rlim_cur = want;
    limit.rlim_max = std::max(limit.rlim_max, want);
    setrlimit(RLIMIT_NOFILE, &limit);
  }

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

  for (int i = 0; i < held; ++i)
    if (open("/dev/null", O_RDONLY | O_CLOEXEC) < 0) return 1;
  platform::SocketOwner owner;
  double coldMicros = 0, totalMicros = 0;
  int found = 0;
  for (int i = 0; i <= lookups; ++i) {
    SocketAddress local;
    int fd = boundUdpSocket(local);
    (void)!sendto(fd, "q", 1, 0, server.sockaddrPtr(), server.length());
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
  std::printf("%s; %d processes x %d descriptors, %d held here: first look-up %.1f us, then %.1f us per look-up (%d lookups, %d found)\n",
              owner.usesKernelRecord() ? "owners from the kernel's record" : "owners from /proc", processes,
              descriptors, held, coldMicros, totalMicros / lookups, lookups, found);
  return found == lookups + 1 ? 0 : 2;
}
