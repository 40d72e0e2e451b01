#include "logging/LogMessage.h"

#include <charconv>
#include <cmath>

namespace qmlogger {

std::string describeValue(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  // Whole numbers keep one fraction digit, as the platform prints doubles.
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

}  // namespace qmlogger
