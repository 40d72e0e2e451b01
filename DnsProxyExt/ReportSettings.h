#pragma once
// Parameters of the report control query ("p_<app>_tf_<secs>_d").
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>


namespace dnsproxyext {

struct ReportSettings {
  std::optional<int64_t> forLastSecs;  // none: all flows
  std::optional<std::string> package;  // none: all applications
  bool detailed = false;
};

// Walks the "_"-separated tokens; a value token after "p" or "tf" is visited
// as a token too. A trailing "p" or "tf" without value is ignored.
ReportSettings parseReportSettings(std::string_view params);

}  // namespace dnsproxyext
