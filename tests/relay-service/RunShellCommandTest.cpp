#include "relay-service/RunShellCommand.h"

#include <gtest/gtest.h>

using relay::runShellCommand;
using std::chrono::milliseconds;

TEST(RunShellCommand, MergesOutputAndRepairsIt) {
  EXPECT_EQ(runShellCommand({"sh", "-c", "echo out; echo err >&2"}, milliseconds(5000)), "out\nerr\n");
  EXPECT_EQ(runShellCommand({"printf", "a\\377b"}, milliseconds(5000)), "a\xEF\xBF\xBD" "b");
}

TEST(RunShellCommand, MissingCommandPrintsNothing) {
  EXPECT_EQ(runShellCommand({"vardeno-missing-resolvectl", "flush-caches"}, milliseconds(5000)), "");
}

TEST(RunShellCommand, TimeLimitEndsAHangingCommand) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(runShellCommand({"sh", "-c", "echo partial; exec sleep 30"}, milliseconds(200)), "partial\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}
