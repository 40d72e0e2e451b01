#include "logging/PathText.h"

namespace qmlogger {

std::string lastPathComponent(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  if (end == 1 && path[0] == '/') return "/";
  const size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(start, end - start);
}

}  // namespace qmlogger
