#include "logging/Level.h"

#include <gtest/gtest.h>

#include "logging/Constants.h"
#include "logging/UserInfo.h"

using qmlogger::Level;

TEST(Level, RawValuesAndDescriptions) {
  const struct {
    int raw;
    Level level;
    const char* text;
  } cases[] = {{0, Level::verbose, "Verbose"}, {1, Level::debug, "Debug"},     {2, Level::info, "Info"},
               {3, Level::notice, "Notice"},   {4, Level::warning, "Warning"}, {5, Level::error, "Error"},
               {6, Level::severe, "Severe"},   {7, Level::alert, "Alert"},     {8, Level::emergency, "Emergency"},
               {9, Level::none, "None"}};
  for (const auto& c : cases) {
    EXPECT_EQ(qmlogger::rawValue(c.level), c.raw);
    EXPECT_EQ(qmlogger::description(c.level), c.text);
    EXPECT_EQ(qmlogger::levelFromRaw(c.raw), c.level);
    EXPECT_EQ(qmlogger::allLevelCases[c.raw], c.level);
  }
}

TEST(Level, OutOfRangeRawValuesGiveNoLevel) {
  for (int raw : {-1, 10, 1000, -1000}) EXPECT_FALSE(qmlogger::levelFromRaw(raw).has_value()) << raw;
}

TEST(Level, OrderAndLists) {
  EXPECT_LT(Level::verbose, Level::debug);
  EXPECT_GT(Level::none, Level::emergency);
  EXPECT_LE(Level::error, Level::error);
  EXPECT_EQ(qmlogger::allLevels.size(), 9u);
  EXPECT_EQ(qmlogger::allLevels.back(), Level::emergency);
}

TEST(Constants, IdentifiersDeriveFromTheBase) {
  using qmlogger::Constants;
  const std::string base(Constants::baseIdentifier);
  EXPECT_EQ(base, "com.quillmoor.qmlogger");
  EXPECT_EQ(Constants::defaultInstanceIdentifier, base + ".defaultInstance");
  EXPECT_EQ(Constants::baseConsoleDestinationIdentifier, base + ".logdestination.console");
  EXPECT_EQ(Constants::systemLogDestinationIdentifier, base + ".logdestination.console.nslog");
  EXPECT_EQ(Constants::fileDestinationIdentifier, base + ".logdestination.file");
  EXPECT_EQ(Constants::versionString, "7.0.1");
}

TEST(Constants, InternalUserInfoMarksTheLibrarysOwnEvents) {
  const auto& info = qmlogger::internalUserInfo();
  ASSERT_EQ(info.size(), 1u);
  const auto& value = info.at("com.quillmoor.qmlogger.internal");
  ASSERT_NE(value.boolean(), nullptr);
  EXPECT_TRUE(*value.boolean());
  EXPECT_EQ(&info, &qmlogger::internalUserInfo());
}
