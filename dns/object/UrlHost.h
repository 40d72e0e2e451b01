#pragma once
// Host of a URL text "scheme://[userinfo@]host[:port][/path...]". Absent
// when the text has no scheme or no host: nothing is guessed.
#include <optional>
#include <string>
#include <string_view>

namespace DnsObjects {

std::optional<std::string> urlHost(std::string_view text);

}  // namespace DnsObjects
