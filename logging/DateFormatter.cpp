#include "logging/DateFormatter.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qmlogger {
namespace {

std::string padded(long value, size_t width) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return value < 0 ? "-" + digits : digits;
}

}  // namespace

std::string DateFormatter::string(Date date) const {
  const double seconds = secondsSince1970(date);
  const double whole = std::floor(seconds);
  const time_t t = static_cast<time_t>(whole);
  struct tm parts {};
  localtime_r(&t, &parts);
  const double fraction = seconds - whole;

  std::string out;
  const std::string& f = dateFormat_;
  size_t i = 0;
  while (i < f.size()) {
    const char c = f[i];
    if (c == '\'') {
      // '' is a literal quote; otherwise text up to the closing quote.
      if (i + 1 < f.size() && f[i + 1] == '\'') {
        out += '\'';
        i += 2;
        continue;
      }
      size_t end = f.find('\'', i + 1);
      if (end == std::string::npos) end = f.size();
      out.append(f, i + 1, end - i - 1);
      i = end + 1;
      continue;
    }
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) {
      out += c;
      ++i;
      continue;
    }
    size_t run = 1;
    while (i + run < f.size() && f[i + run] == c) ++run;
    switch (c) {
      case 'y': {
        const long year = parts.tm_year + 1900L;
        out += run == 2 ? padded(year % 100, 2) : padded(year, run);
        break;
      }
      case 'M': out += padded(parts.tm_mon + 1, run); break;
      case 'd': out += padded(parts.tm_mday, run); break;
      case 'H': out += padded(parts.tm_hour, run); break;
      case 'h': out += padded(parts.tm_hour % 12 == 0 ? 12 : parts.tm_hour % 12, run); break;
      case 'm': out += padded(parts.tm_min, run); break;
      case 's': out += padded(parts.tm_sec, run); break;
      case 'S': {
        // Fraction of a second truncated to `run` digits.
        double scaled = fraction;
        long limit = 1;
        for (size_t k = 0; k < run && k < 9; ++k) {
          scaled *= 10;
          limit *= 10;
        }
        const long digits = std::min(static_cast<long>(std::floor(scaled + 1e-7)), limit - 1);
        std::string text = padded(digits, run < 9 ? run : 9);
        if (run > 9) text.append(run - 9, '0');
        out += text;
        break;
      }
      case 'a': out += parts.tm_hour < 12 ? "AM" : "PM"; break;
      default: out.append(run, c); break;
    }
    i += run;
  }
  return out;
}

std::string defaultDateText(Date date) {
  const time_t t = static_cast<time_t>(std::floor(secondsSince1970(date)));
  struct tm parts {};
  gmtime_r(&t, &parts);
  char buffer[64];
  std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &parts);
  return buffer;
}

}  // namespace qmlogger
