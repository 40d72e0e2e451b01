#pragma once
// Operating-system version for the "at least 12" branches of the agent.
// VARDENO_OS_VERSION ("major[.minor[.patch]]") sets it; default 14.0.
#include <string>
#include <string_view>

namespace platform {

struct OperatingSystemVersion {
  int majorVersion = 14;
  int minorVersion = 0;
  int patchVersion = 0;

  // None of the parts may be missing digits; bad text gives the default.
  static OperatingSystemVersion parse(std::string_view text);
  static OperatingSystemVersion current();

  bool isAtLeast(int major, int minor = 0, int patch = 0) const;
  std::string description() const;
};

}  // namespace platform
