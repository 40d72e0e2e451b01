#include "logging/Level.h"

#include <gtest/gtest.h>

TEST(Level, Placeholder) { EXPECT_EQ(qmlogger::description(qmlogger::Level::none), "None"); }
