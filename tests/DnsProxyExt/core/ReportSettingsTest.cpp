#include "DnsProxyExt/ReportSettings.h"

#include <gtest/gtest.h>

#include "platform/foundation/Log.h"

namespace dnsproxyext {
namespace {

TEST(ReportSettings, ParsesTokens) {
  struct Case {
    const char* params;
    std::optional<int64_t> secs;
    std::optional<std::string> package;
    bool detailed;
  };
  const Case cases[] = {
      {"d", std::nullopt, std::nullopt, true},
      {"p_com.app_tf_300_d", 300, "com.app", true},
      {"tf_abc", std::nullopt, std::nullopt, false},
      {"tf_-5", -5, std::nullopt, false},
      {"tf_+7", 7, std::nullopt, false},
      {"tf_99999999999999999999", std::nullopt, std::nullopt, false},
      {"p", std::nullopt, std::nullopt, false},
      {"d_tf", std::nullopt, std::nullopt, true},
      {"", std::nullopt, std::nullopt, false},
      {"p_d", std::nullopt, "d", true},  // the value token is visited as a token too
  };
  for (const auto& c : cases) {
    ReportSettings s = parseReportSettings(c.params);
    EXPECT_EQ(s.forLastSecs, c.secs) << c.params;
    EXPECT_EQ(s.package, c.package) << c.params;
    EXPECT_EQ(s.detailed, c.detailed) << c.params;
  }
}

TEST(ReportSettings, LogsParamsAndAnEmptyLinePerOtherToken) {
  platform::LogCapture capture;
  parseReportSettings("p_app_x");
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "got params string: p_app_x");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "");
}

}  // namespace
}  // namespace dnsproxyext
