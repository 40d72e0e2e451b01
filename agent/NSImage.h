#pragma once
// Status-bar image stand-in: a named image with a size in points.
#include <string>

namespace agent {

struct NSSize {
  double width = 0;
  double height = 0;
};

struct NSImage {
  std::string name;
  NSSize size;
  bool isTemplate = false;
};

}  // namespace agent
