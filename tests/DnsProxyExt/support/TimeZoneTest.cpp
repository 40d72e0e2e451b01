#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/TimeZone.h"

namespace fs = std::filesystem;

TEST(TimeZone, RuleTable) {
  fs::path dir = fs::temp_directory_path() / ("extsupport-tz-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::path link = dir / "localtime";
  fs::path plainFile = dir / "plain";
  fs::path zoneFile = dir / "timezone";
  fs::path missing = dir / "missing";
  fs::create_symlink("/usr/share/zoneinfo/Europe/Ljubljana", link);
  std::ofstream(plainFile) << "not a link";
  std::ofstream(zoneFile) << "  America/New_York \n";

  struct Case {
    std::optional<std::string> tz;
    fs::path localtime, timezone;
    std::string expected;
  } cases[] = {
      {"Asia/Tokyo", link, zoneFile, "Asia/Tokyo"},
      {":Asia/Tokyo", link, zoneFile, "Asia/Tokyo"},
      {"", link, zoneFile, "Europe/Ljubljana"},
      {":", link, zoneFile, "Europe/Ljubljana"},
      {std::nullopt, link, zoneFile, "Europe/Ljubljana"},
      {std::nullopt, plainFile, zoneFile, "America/New_York"},
      {std::nullopt, missing, zoneFile, "America/New_York"},
      {std::nullopt, missing, missing, "GMT"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::timeZoneIdentifier(c.tz, c.localtime.string(), c.timezone.string()), c.expected)
        << c.tz.value_or("<unset>") << " " << c.localtime;
  }
  fs::remove_all(dir);
  EXPECT_FALSE(platform::currentTimeZoneIdentifier().empty());
}
