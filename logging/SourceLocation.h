#pragma once
// The caller's file, function and line, filled in by default arguments
// (works where std::source_location is missing, as with clang on libstdc++ 12).
#include <cstdint>

namespace qmlogger {

class SourceLocation {
 public:
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          const char* function = __builtin_FUNCTION(),
                                          unsigned line = __builtin_LINE()) noexcept {
    return SourceLocation(file, function, line);
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr unsigned line() const noexcept { return line_; }

 private:
  constexpr SourceLocation(const char* file, const char* function, unsigned line)
      : file_(file), function_(function), line_(line) {}
  const char* file_;
  const char* function_;
  unsigned line_;
};

}  // namespace qmlogger
