#include "logging/ColorDescription.h"

#include <cstdio>

namespace qmlogger {

std::string rgbDescription(int red, int green, int blue) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "(r: %d, g: %d, b: %d) #%02X%02X%02X", red, green, blue,
                static_cast<unsigned>(red), static_cast<unsigned>(green), static_cast<unsigned>(blue));
  return buffer;
}

}  // namespace qmlogger
