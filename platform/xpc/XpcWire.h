#pragma once
// The XPC stand-in's transport: a Unix stream socket per mach service at
// $VARDENO_ROOT/xpc/<name>.sock carrying one JSON object per line.
//   call:   {"id": n, "selector": "getPublicIpWithReply:", "args": [...]}
//   answer: {"id": n, "reply": [...]}  or  {"id": n, "error": "..."}
// Calls of methods without a reply block get no answer unless refused.
#include <cstddef>
#include <optional>
#include <string>

namespace platform::xpcwire {

inline constexpr std::size_t kMaxLine = 1024 * 1024;

// Null when the name cannot be a file name.
std::optional<std::string> socketPath(const std::string& serviceName);

// Reads newline-terminated lines from a stream socket, at most kMaxLine
// bytes each.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  enum class Status { line, closed, tooLong, timedOut };
  // timeoutMillis < 0 waits without limit.
  Status next(std::string& line, int timeoutMillis = -1);

 private:
  int fd_;
  std::string buffer_;
};

// Writes all of `line` plus a newline; false when the peer is gone.
bool writeLine(int fd, const std::string& line);

}  // namespace platform::xpcwire
