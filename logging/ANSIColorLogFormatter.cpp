#include "logging/ANSIColorLogFormatter.h"

#include <algorithm>

#include "logging/ColorDescription.h"

namespace qmlogger {
namespace {

int clampByte(int value) { return std::clamp(value, 0, 255); }

struct NamedCode {
  int foreground;
  const char* description;
};

// Codes of the named colours, indexed from Kind::black.
const NamedCode namedCodes[] = {
    {30, "Black"},       {31, "Red"},         {32, "Green"},        {33, "Yellow"},     {34, "Blue"},
    {35, "Magenta"},     {36, "Cyan"},        {37, "Light Grey"},   {90, "Dark Grey"},  {91, "Light Red"},
    {92, "Light Green"}, {93, "Light Yellow"}, {94, "Light Blue"}, {95, "Light Magenta"}, {96, "Light Cyan"},
    {97, "White"},       {39, "Default"},
};

const NamedCode& named(ANSIColorLogFormatter::ANSIColor::Kind kind) {
  return namedCodes[static_cast<int>(kind) - static_cast<int>(ANSIColorLogFormatter::ANSIColor::Kind::black)];
}

}  // namespace

using ANSIColor = ANSIColorLogFormatter::ANSIColor;
using Kind = ANSIColor::Kind;

const std::string ANSIColorLogFormatter::escape = "\x1b[";
const std::string ANSIColorLogFormatter::reset = "\x1b[m";

const ANSIColor ANSIColor::black{Kind::black};
const ANSIColor ANSIColor::red{Kind::red};
const ANSIColor ANSIColor::green{Kind::green};
const ANSIColor ANSIColor::yellow{Kind::yellow};
const ANSIColor ANSIColor::blue{Kind::blue};
const ANSIColor ANSIColor::magenta{Kind::magenta};
const ANSIColor ANSIColor::cyan{Kind::cyan};
const ANSIColor ANSIColor::lightGrey{Kind::lightGrey};
const ANSIColor ANSIColor::lightGray{Kind::lightGrey};
const ANSIColor ANSIColor::darkGrey{Kind::darkGrey};
const ANSIColor ANSIColor::darkGray{Kind::darkGrey};
const ANSIColor ANSIColor::lightRed{Kind::lightRed};
const ANSIColor ANSIColor::lightGreen{Kind::lightGreen};
const ANSIColor ANSIColor::lightYellow{Kind::lightYellow};
const ANSIColor ANSIColor::lightBlue{Kind::lightBlue};
const ANSIColor ANSIColor::lightMagenta{Kind::lightMagenta};
const ANSIColor ANSIColor::lightCyan{Kind::lightCyan};
const ANSIColor ANSIColor::white{Kind::white};
const ANSIColor ANSIColor::defaultColor{Kind::defaultColor};

std::string ANSIColor::code(bool foreground) const {
  switch (kind_) {
    case Kind::rgb:
      return std::string(foreground ? "38;2;" : "48;2;") + std::to_string(clampByte(a_)) + ";" +
             std::to_string(clampByte(b_)) + ";" + std::to_string(clampByte(c_));
    case Kind::colorIndex:
      return std::string(foreground ? "38;5;" : "48;5;") + std::to_string(clampByte(a_));
    default:
      return std::to_string(named(kind_).foreground + (foreground ? 0 : 10));
  }
}

std::string ANSIColor::foregroundCode() const { return code(true); }
std::string ANSIColor::backgroundCode() const { return code(false); }

std::string ANSIColor::description() const {
  switch (kind_) {
    case Kind::rgb:
      return rgbDescription(a_, b_, c_);
    case Kind::colorIndex:
      return "ANSI color index: " + std::to_string(a_);
    default:
      return named(kind_).description;
  }
}

std::string ANSIColorLogFormatter::code(ANSIOption option) {
  switch (option) {
    case ANSIOption::bold: return "1";
    case ANSIOption::faint: return "2";
    case ANSIOption::italic: return "3";
    case ANSIOption::underline: return "4";
    case ANSIOption::blink: return "5";
    case ANSIOption::blinkFast: return "6";
    case ANSIOption::strikethrough: return "9";
  }
  return "";
}

std::string ANSIColorLogFormatter::description(ANSIOption option) {
  switch (option) {
    case ANSIOption::bold: return "Bold";
    case ANSIOption::faint: return "Faint";
    case ANSIOption::italic: return "Italic";
    case ANSIOption::underline: return "Underline";
    case ANSIOption::blink: return "Blink";
    case ANSIOption::blinkFast: return "Blink Fast";
    case ANSIOption::strikethrough: return "Strikethrough";
  }
  return "";
}

ANSIColorLogFormatter::ANSIColorLogFormatter() { resetFormatting(); }

void ANSIColorLogFormatter::colorize(Level level, const ANSIColor& foreground, const ANSIColor& background,
                                     const std::vector<ANSIOption>& options) {
  std::string codes = foreground.foregroundCode() + ";" + background.backgroundCode();
  std::string text = foreground.description() + " on " + background.description();
  for (ANSIOption option : options) {
    codes += ";" + code(option);
    text += "/" + description(option);
  }
  formatStrings[level] = "\x1b[" + codes + "m";
  descriptionStrings[level] = text;
}

void ANSIColorLogFormatter::colorize(Level level, const std::string& custom) {
  if (custom.rfind(escape, 0) == 0) {
    formatStrings[level] = custom;
    descriptionStrings[level] = "Custom: " + custom.substr(escape.size());
  } else {
    formatStrings[level] = escape + custom;
    descriptionStrings[level] = "Custom: " + custom;
  }
}

void ANSIColorLogFormatter::resetFormatting() {
  colorize(Level::verbose, ANSIColor::white, ANSIColor::defaultColor, {ANSIOption::bold});
  colorize(Level::debug, ANSIColor::black, ANSIColor::defaultColor);
  colorize(Level::info, ANSIColor::blue, ANSIColor::defaultColor);
  colorize(Level::warning, ANSIColor::yellow, ANSIColor::defaultColor);
  colorize(Level::error, ANSIColor::red, ANSIColor::defaultColor, {ANSIOption::bold});
  colorize(Level::severe, ANSIColor::white, ANSIColor::red);
  colorize(Level::none, ANSIColor::defaultColor, ANSIColor::defaultColor);
}

void ANSIColorLogFormatter::clearFormatting() {
  for (Level level : {Level::verbose, Level::debug, Level::info, Level::warning, Level::error, Level::severe,
                      Level::none}) {
    colorize(level, ANSIColor::defaultColor, ANSIColor::defaultColor);
  }
}

std::string ANSIColorLogFormatter::formatString(Level level) const {
  auto found = formatStrings.find(level);
  return found == formatStrings.end() ? reset : found->second;
}

std::string ANSIColorLogFormatter::format(LogDetails& logDetails, std::string& message) {
  message = formatString(logDetails.level) + message + reset;
  return message;
}

std::string ANSIColorLogFormatter::debugDescription() const {
  return levelTable("ANSIColorLogFormatter", [this](Level level) {
    auto found = descriptionStrings.find(level);
    return found == descriptionStrings.end() ? std::string("None") : found->second;
  });
}

}  // namespace qmlogger
