#include <gtest/gtest.h>

#include "logging/ANSIColorLogFormatter.h"
#include "logging/Base64LogFormatter.h"
#include "logging/PrePostFixLogFormatter.h"
#include "logging/XcodeColorsLogFormatter.h"

using namespace qmlogger;
using ANSIColor = ANSIColorLogFormatter::ANSIColor;
using ANSIOption = ANSIColorLogFormatter::ANSIOption;
using XcodeColor = XcodeColorsLogFormatter::XcodeColor;
using XcodeColors = XcodeColorsLogFormatter::XcodeColors;

namespace {

std::string formatted(LogFormatterProtocol& formatter, Level level, std::string message) {
  LogDetails details(level, Date{}, message, "", "", 0, {});
  const std::string returned = formatter.format(details, message);
  EXPECT_EQ(returned, message);
  return message;
}

const std::string esc = "\x1b[";

}  // namespace

TEST(ANSIColorLogFormatter, DefaultSequencesPerLevel) {
  ANSIColorLogFormatter formatter;
  const struct {
    Level level;
    std::string start;
    std::string description;
  } cases[] = {
      {Level::verbose, esc + "97;49;1m", "White on Default/Bold"},
      {Level::debug, esc + "30;49m", "Black on Default"},
      {Level::info, esc + "34;49m", "Blue on Default"},
      {Level::notice, "\x1b[m", ""},
      {Level::warning, esc + "33;49m", "Yellow on Default"},
      {Level::error, esc + "31;49;1m", "Red on Default/Bold"},
      {Level::severe, esc + "97;41m", "White on Red"},
      {Level::alert, "\x1b[m", ""},
      {Level::emergency, "\x1b[m", ""},
      {Level::none, esc + "39;49m", "Default on Default"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatted(formatter, c.level, "hi"), c.start + "hi\x1b[m") << description(c.level);
    if (!c.description.empty()) {
      EXPECT_EQ(formatter.descriptionStrings.at(c.level), c.description);
    }
  }
  EXPECT_EQ(formatter.descriptionStrings.count(Level::notice), 0u);
}

TEST(ANSIColorLogFormatter, ColorCodesAndDescriptions) {
  const struct {
    ANSIColor color;
    std::string foreground, background, description;
  } cases[] = {
      {ANSIColor::rgb(-5, 300, 16), "38;2;0;255;16", "48;2;0;255;16", "(r: -5, g: 300, b: 16) #FFFFFFFB12C10"},
      {ANSIColor::rgb(1, 2, 255), "38;2;1;2;255", "48;2;1;2;255", "(r: 1, g: 2, b: 255) #0102FF"},
      {ANSIColor::colorIndex(300), "38;5;255", "48;5;255", "ANSI color index: 300"},
      {ANSIColor::lightGray, "37", "47", "Light Grey"},
      {ANSIColor::darkGrey, "90", "100", "Dark Grey"},
      {ANSIColor::lightCyan, "96", "106", "Light Cyan"},
      {ANSIColor::defaultColor, "39", "49", "Default"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.color.foregroundCode(), c.foreground);
    EXPECT_EQ(c.color.backgroundCode(), c.background);
    EXPECT_EQ(c.color.description(), c.description);
  }
}

TEST(ANSIColorLogFormatter, CustomAndOptions) {
  ANSIColorLogFormatter formatter;
  formatter.colorize(Level::notice, ANSIColor::green, ANSIColor::black,
                     {ANSIOption::underline, ANSIOption::strikethrough});
  EXPECT_EQ(formatter.formatStrings.at(Level::notice), esc + "32;40;4;9m");
  EXPECT_EQ(formatter.descriptionStrings.at(Level::notice), "Green on Black/Underline/Strikethrough");
  formatter.colorize(Level::alert, esc + "7m");
  EXPECT_EQ(formatter.formatStrings.at(Level::alert), esc + "7m");
  EXPECT_EQ(formatter.descriptionStrings.at(Level::alert), "Custom: 7m");
  formatter.colorize(Level::alert, "8m");
  EXPECT_EQ(formatter.formatStrings.at(Level::alert), esc + "8m");
  EXPECT_EQ(formatter.descriptionStrings.at(Level::alert), "Custom: 8m");
  formatter.clearFormatting();
  EXPECT_EQ(formatter.formatStrings.at(Level::error), esc + "39;49m");
}

TEST(ANSIColorLogFormatter, DebugDescriptionListsEveryLevel) {
  ANSIColorLogFormatter formatter;
  const std::string text = formatter.debugDescription();
  EXPECT_EQ(text.rfind("ANSIColorLogFormatter: \n\t- Verbose > White on Default/Bold\n\t- Debug > ", 0), 0u);
  EXPECT_NE(text.find("\n\t- Notice > None\n\t- Warning > Yellow on Default"), std::string::npos);
  EXPECT_NE(text.find("\n\t- None > Default on Default"), std::string::npos);
}

TEST(XcodeColorsLogFormatter, DefaultSequencesAndDescriptions) {
  XcodeColorsLogFormatter formatter;
  EXPECT_EQ(formatted(formatter, Level::severe, "m"), esc + "fg255,255,255;" + esc + "bg255,0,0;m" + esc + ";");
  EXPECT_EQ(formatted(formatter, Level::warning, "m"), esc + "fg255,165,0;" + esc + "bg;m" + esc + ";");
  EXPECT_EQ(formatted(formatter, Level::notice, "m"), esc + ";m" + esc + ";");
  EXPECT_EQ(formatted(formatter, Level::none, "m"), esc + ";m" + esc + ";");
  EXPECT_EQ(formatter.descriptionStrings.at(Level::none), "None");
  EXPECT_EQ(formatter.descriptionStrings.at(Level::verbose), "(r: 211, g: 211, b: 211) #D3D3D3 on Default");
  formatter.colorize(Level::info, std::nullopt, XcodeColors::purple);
  EXPECT_EQ(formatter.formatStrings.at(Level::info), esc + "fg;" + esc + "bg170,0,170;");
  EXPECT_EQ(formatter.descriptionStrings.at(Level::info), "Default on (r: 170, g: 0, b: 170) #AA00AA");
  formatter.clearFormatting();
  EXPECT_EQ(formatter.formatStrings.at(Level::severe), esc + ";");
  const std::string text = formatter.debugDescription();
  EXPECT_EQ(text.rfind("XcodeColorsLogFormatter: \n\t- Verbose > None", 0), 0u);
}

TEST(XcodeColorsLogFormatter, ColorFieldsClampOnAssignmentOnly) {
  XcodeColor color(300, -2, 7);
  EXPECT_EQ(color.red(), 300);
  EXPECT_EQ(color.green(), -2);
  color.setRed(256);
  color.setGreen(-1);
  color.setBlue(255);
  EXPECT_EQ(color.red(), 0);
  EXPECT_EQ(color.green(), 0);
  EXPECT_EQ(color.blue(), 255);
  EXPECT_EQ(XcodeColors::darkGreen.foregroundCode(), "fg0,128,0");
  EXPECT_EQ(XcodeColors::cyan.backgroundCode(), "bg0,170,170");
  const XcodeColor fromComponents = XcodeColor::fromComponents(1.0, 0.5, 0.0);
  EXPECT_EQ(fromComponents.red(), 255);
  EXPECT_EQ(fromComponents.green(), 127);
  EXPECT_EQ(fromComponents.blue(), 0);
}

TEST(PrePostFixLogFormatter, ApplyAndFormat) {
  PrePostFixLogFormatter formatter;
  formatter.apply("<", ">");
  EXPECT_EQ(formatted(formatter, Level::none, "m"), "<m>");
  formatter.apply("[", std::nullopt);
  EXPECT_TRUE(formatter.postfixStrings.empty());
  EXPECT_EQ(formatted(formatter, Level::info, "m"), "[m");
  formatter.apply(std::nullopt, "!", Level::error);
  EXPECT_EQ(formatted(formatter, Level::error, "m"), "m!");
  EXPECT_EQ(formatted(formatter, Level::info, "m"), "[m");
  const std::string text = formatter.debugDescription();
  EXPECT_NE(text.find("\n\t- Error > None | !"), std::string::npos);
  EXPECT_NE(text.find("\n\t- Info > [ | None"), std::string::npos);
  formatter.apply(std::nullopt, std::nullopt);
  EXPECT_TRUE(formatter.prefixStrings.empty());
  EXPECT_TRUE(formatter.postfixStrings.empty());
  EXPECT_EQ(formatted(formatter, Level::error, "m"), "m");
}

TEST(Base64LogFormatter, EncodesWithPadding) {
  Base64LogFormatter formatter;
  const struct {
    std::string in, out;
  } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
               {"\xff\xfe", "//4="}, {"é", "w6k="}};
  for (const auto& c : cases) EXPECT_EQ(formatted(formatter, Level::info, c.in), c.out);
  EXPECT_EQ(formatter.debugDescription(), "Base64LogFormatter");
}
