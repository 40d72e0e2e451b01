#pragma once
// NSLog stand-in: one call per line. The text is written as given, never
// used as a format string. Lines are time-stamped on the caller's thread and
// written in batches by a background writer; when the buffer is full, lines
// are dropped and counted, and the count is reported in the output.
// VARDENO_LOG=stderr|syslog|off picks the sink (default stderr).
#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace platform {

void NSLog(std::string_view line);

// Whether a line logged now would go anywhere: a sink other than off, or a
// capture. One atomic load; callers on busy paths check it before building
// a line (VARDENO_LOG_LINE).
bool logEnabled();

namespace logdetail {
// A per-thread buffer that logLine builds its lines in.
std::string& lineBuffer();
inline void appendPiece(std::string& out, std::string_view text) { out.append(text); }
template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
void appendPiece(std::string& out, T value) {
  char text[24];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  out.append(text, end);
}
}  // namespace logdetail

// NSLog of the pieces (texts and integers) put together, built in a
// per-thread buffer instead of a new string per line.
template <typename... Pieces>
void logLine(const Pieces&... pieces) {
  if constexpr (sizeof...(Pieces) == 1 && (std::is_convertible_v<const Pieces&, std::string_view> && ...)) {
    NSLog(pieces...);
  } else {
    std::string& line = logdetail::lineBuffer();
    line.clear();
    (logdetail::appendPiece(line, pieces), ...);
    NSLog(line);
  }
}

// logLine(pieces...) where the line is built only when it would be
// written: VARDENO_LOG_LINE("flows count = ", count).
#define VARDENO_LOG_LINE(...)                                      \
  do {                                                             \
    if (::platform::logEnabled()) ::platform::logLine(__VA_ARGS__); \
  } while (0)

// Waits (bounded) until every line logged before the call is written.
void flushLog();

struct LogStats {
  uint64_t enqueued = 0;
  uint64_t dropped = 0;
};
LogStats logStats();

// Test hooks: buffer size in lines, and the fd the stderr sink writes to.
void setLogCapacityForTesting(std::size_t lines);
void setLogFdForTesting(int fd);

// "true" / "false", as log lines print Booleans.
inline const char* boolText(bool value) { return value ? "true" : "false"; }

// A text as the platform's debug description prints it: quoted, escaped.
std::string quotedText(std::string_view text);

// Text from the outside (a name, an app identifier, a peer's datagram) for a
// log line: control characters escaped as quotedText escapes them, the rest
// unchanged, so it can never start a line of its own.
std::string escapedText(std::string_view text);

// Optional("x") or nil.
std::string optionalText(const std::optional<std::string>& value);

// Descriptions of plain values as the platform prints them.
inline std::string valueDescription(bool value) { return boolText(value); }
inline std::string valueDescription(const std::string& value) { return quotedText(value); }
inline std::string valueDescription(const char* value) { return quotedText(value); }
std::string valueDescription(double value);
template <typename T>
  requires std::is_integral_v<T>
std::string valueDescription(T value) {
  return std::to_string(value);
}
template <typename T>
  requires(!std::is_arithmetic_v<T> && !std::is_convertible_v<T, std::string_view>)
std::string valueDescription(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

// Optional(<description>) or nil.
template <typename T>
std::string optionalDescription(const std::optional<T>& value) {
  if (!value) return "nil";
  return "Optional(" + valueDescription(*value) + ")";
}

// Captures every line logged while it lives (from every thread).
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const;
  bool contains(std::string_view text) const;
  std::size_t count(std::string_view text) const;
  // Waits until a line containing `text` is captured; true when one was.
  bool waitFor(std::string_view text, std::chrono::nanoseconds timeout = std::chrono::seconds(10)) const;
  void clear();

  // Called by the sink.
  void add(std::string_view line);

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace platform
