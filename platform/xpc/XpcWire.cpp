#include "platform/xpc/XpcWire.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/foundation/Defaults.h"

namespace platform::xpcwire {

std::optional<std::string> socketPath(const std::string& serviceName) {
  if (serviceName.empty() || serviceName == "." || serviceName == ".." ||
      serviceName.find('/') != std::string::npos || serviceName.find('\0') != std::string::npos)
    return std::nullopt;
  return vardenoRoot() + "/xpc/" + serviceName + ".sock";
}

LineReader::Status LineReader::next(std::string& line, int timeoutMillis) {
  for (;;) {
    std::size_t end = buffer_.find('\n');
    if (end != std::string::npos && end <= kMaxLine) {
      line.assign(buffer_, 0, end);
      buffer_.erase(0, end + 1);
      return Status::line;
    }
    if (buffer_.size() > kMaxLine) return Status::tooLong;
    if (timeoutMillis >= 0) {
      pollfd pfd{fd_, POLLIN, 0};
      int ready = ::poll(&pfd, 1, timeoutMillis);
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) return Status::timedOut;
    }
    char chunk[16384];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Status::closed;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

bool writeLine(int fd, const std::string& line) {
  std::string out = line;
  out.push_back('\n');
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::send(fd, out.data() + done, out.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform::xpcwire
