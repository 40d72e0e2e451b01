#include "logging/ConsoleDestination.h"

#include <cstdio>

namespace qmlogger {

void ConsoleDestination::write(const std::string& message) {
  // One locked stream write per line, so lines of concurrent callers do not mix.
  std::string line = message;
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace qmlogger
