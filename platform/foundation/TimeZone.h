#pragma once
// Identifier of the current time zone ("Europe/Ljubljana"): TZ without a
// leading ":", else the /etc/localtime link target after "zoneinfo/", else
// /etc/timezone, else "GMT".
#include <optional>
#include <string>

namespace platform {

std::string currentTimeZoneIdentifier();

// The same rule over given sources, for tests.
std::string timeZoneIdentifier(const std::optional<std::string>& tz, const std::string& localtimePath,
                               const std::string& timezoneFilePath);

}  // namespace platform
