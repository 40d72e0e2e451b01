#include "platform/foundation/OSVersion.h"

#include <charconv>
#include <cstdlib>
#include <tuple>

namespace platform {

OperatingSystemVersion OperatingSystemVersion::parse(std::string_view text) {
  OperatingSystemVersion v;
  int parts[3] = {0, 0, 0};
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    std::size_t dot = text.find('.', pos);
    std::string_view piece = text.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
    auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), parts[i]);
    if (piece.empty() || ec != std::errc() || end != piece.data() + piece.size() || parts[i] < 0) return v;
    if (dot == std::string_view::npos) break;
    if (i == 2) return v;  // more than three parts
    pos = dot + 1;
  }
  v.majorVersion = parts[0];
  v.minorVersion = parts[1];
  v.patchVersion = parts[2];
  return v;
}

OperatingSystemVersion OperatingSystemVersion::current() {
  const char* env = std::getenv("VARDENO_OS_VERSION");
  return env ? parse(env) : OperatingSystemVersion{};
}

bool OperatingSystemVersion::isAtLeast(int major, int minor, int patch) const {
  return std::tie(majorVersion, minorVersion, patchVersion) >= std::tie(major, minor, patch);
}

std::string OperatingSystemVersion::description() const {
  return std::to_string(majorVersion) + "." + std::to_string(minorVersion) + "." + std::to_string(patchVersion);
}

}  // namespace platform
