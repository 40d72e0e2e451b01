#include "relay-service/RelayPorts.h"

#include <gtest/gtest.h>

TEST(RelayPorts, EnvironmentTextToPort) {
  struct Case {
    const char* value;
    std::optional<uint16_t> port;
  };
  for (const Case& c : {Case{nullptr, 9898}, Case{"", 9898}, Case{"9898", 9898}, Case{"40000", 40000},
                        Case{"65535", 65535}, Case{"0", 0}, Case{"65536", std::nullopt}, Case{"-1", std::nullopt},
                        Case{"98x", std::nullopt}, Case{" 9898", std::nullopt}, Case{"9898 ", std::nullopt},
                        Case{"99999999999999999999", std::nullopt}}) {
    EXPECT_EQ(relay::portSetting(c.value, relay::kExtensionPort), c.port) << (c.value ? c.value : "(unset)");
  }
}
