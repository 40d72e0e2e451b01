#include "platform/Log.h"

#include <gtest/gtest.h>

TEST(Log, BoolText) {
  EXPECT_STREQ(platform::boolText(true), "true");
  EXPECT_STREQ(platform::boolText(false), "false");
}
