#include "logging/LogMessage.h"

#include <charconv>
#include <cmath>

namespace qmlogger {

std::string describeValue(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // Shortest digits that read back the same value: plain decimal with at least
  // one fraction digit, and exponent form only for very large or small values.
  const double magnitude = std::fabs(value);
  const bool plain = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16);
  char buffer[400];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                              plain ? std::chars_format::fixed : std::chars_format::scientific);
  std::string text(buffer, result.ptr);
  if (plain && text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace qmlogger
