#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "logging/DateFormatter.h"

using namespace qmlogger;

namespace {

// Wednesday 2024-09-04 17:05:09.007 UTC, in whole milliseconds.
const Date septemberFourth = Date(std::chrono::milliseconds(1725469509007));

class ScopedTZ {
 public:
  explicit ScopedTZ(const char* value) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    ::setenv("TZ", value, 1);
    ::tzset();
  }
  ~ScopedTZ() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

}  // namespace

TEST(DateFormatter, UnicodePatternLetters) {
  const struct {
    const char* pattern;
    const char* locale;
    const char* zone;
    const char* text;
  } cases[] = {
      {"yyyy-MM-dd HH:mm:ss.SSS", "en_US_POSIX", "UTC", "2024-09-04 17:05:09.007"},
      {"_yyyy-MM-dd_HHmmss", "en_US_POSIX", "UTC", "_2024-09-04_170509"},
      {"yy M d H m s S", "en_US_POSIX", "UTC", "24 9 4 17 5 9 0"},
      {"MMM", "en_US_POSIX", "UTC", "Sep"},
      {"MMMM", "en_US_POSIX", "UTC", "September"},
      {"EEE", "en_US_POSIX", "UTC", "Wed"},
      {"EEEE", "en_US_POSIX", "UTC", "Wednesday"},
      {"EEE, d MMM yyyy HH:mm:ss Z", "en_US_POSIX", "UTC", "Wed, 4 Sep 2024 17:05:09 +0000"},
      {"Z", "en_US_POSIX", "Europe/Paris", "+0200"},
      {"ZZZZZ", "en_US_POSIX", "UTC", "Z"},
      {"ZZZZZ", "en_US_POSIX", "Europe/Paris", "+02:00"},
      {"XXX", "en_US_POSIX", "America/New_York", "-04:00"},
      {"yyyy-MM-dd'T'HH:mm:ssXXX", "en_US_POSIX", "Europe/Paris", "2024-09-04T19:05:09+02:00"},
      {"h:mm a", "en_US_POSIX", "UTC", "5:05 PM"},
      {"'o''clock' '' hh", "en_US_POSIX", "UTC", "o'clock ' 05"},
      {"EEEE, d. MMMM yyyy", "de_DE", "UTC", "Mittwoch, 4. September 2024"},
  };
  for (const auto& c : cases) {
    DateFormatter formatter(c.pattern, std::string(c.locale), std::string(c.zone));
    EXPECT_EQ(formatter.string(septemberFourth), c.text) << c.pattern << " in " << c.locale << ", " << c.zone;
  }
}

TEST(DateFormatter, FollowsTheProcessTimeZone) {
  DateFormatter formatter("yyyy-MM-dd HH:mm", std::string("en_US_POSIX"));
  {
    ScopedTZ tz("UTC");
    EXPECT_EQ(formatter.string(septemberFourth), "2024-09-04 17:05");
  }
  {
    ScopedTZ tz("Asia/Tokyo");
    EXPECT_EQ(formatter.string(septemberFourth), "2024-09-05 02:05");
  }
}

TEST(DateFormatter, FractionsAreTruncatedToWholeMilliseconds) {
  DateFormatter formatter("ss.SSS", std::string("en_US_POSIX"), std::string("UTC"));
  EXPECT_EQ(formatter.string(septemberFourth + std::chrono::microseconds(999)), "09.007");
  EXPECT_EQ(formatter.string(Date(std::chrono::seconds(-1) + std::chrono::milliseconds(1))), "59.001");
}
