#include "platform/foundation/TimeZone.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace platform {

namespace {

std::string trimmed(std::string text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::optional<std::string> fromLocaltimeLink(const std::string& path) {
  char target[4096];
  ssize_t n = ::readlink(path.c_str(), target, sizeof(target) - 1);
  if (n <= 0) return std::nullopt;
  std::string link(target, static_cast<size_t>(n));
  const std::string marker = "zoneinfo/";
  size_t at = link.rfind(marker);
  if (at == std::string::npos) return std::nullopt;
  std::string id = link.substr(at + marker.size());
  if (id.empty()) return std::nullopt;
  return id;
}

std::optional<std::string> fromFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::string line;
  std::getline(in, line);
  line = trimmed(line);
  if (line.empty()) return std::nullopt;
  return line;
}

}  // namespace

std::string timeZoneIdentifier(const std::optional<std::string>& tz, const std::string& localtimePath,
                               const std::string& timezoneFilePath) {
  if (tz) {
    std::string id = *tz;
    if (!id.empty() && id.front() == ':') id.erase(0, 1);
    if (!id.empty()) return id;
  }
  if (auto id = fromLocaltimeLink(localtimePath)) return *id;
  if (auto id = fromFile(timezoneFilePath)) return *id;
  return "GMT";
}

std::string currentTimeZoneIdentifier() {
  const char* tz = std::getenv("TZ");
  return timeZoneIdentifier(tz ? std::optional<std::string>(tz) : std::nullopt, "/etc/localtime", "/etc/timezone");
}

}  // namespace platform
