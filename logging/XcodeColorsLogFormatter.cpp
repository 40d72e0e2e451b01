#include "logging/XcodeColorsLogFormatter.h"

#include <algorithm>
#include <cmath>

#include "logging/ColorDescription.h"

namespace qmlogger {

using XcodeColor = XcodeColorsLogFormatter::XcodeColor;

const std::string XcodeColorsLogFormatter::escape = "\x1b[";
const std::string XcodeColorsLogFormatter::resetForeground = "\x1b[fg;";
const std::string XcodeColorsLogFormatter::resetBackground = "\x1b[bg;";
const std::string XcodeColorsLogFormatter::reset = "\x1b[;";

const XcodeColor XcodeColorsLogFormatter::XcodeColors::red{255, 0, 0};
const XcodeColor XcodeColorsLogFormatter::XcodeColors::green{0, 255, 0};
const XcodeColor XcodeColorsLogFormatter::XcodeColors::blue{0, 0, 255};
const XcodeColor XcodeColorsLogFormatter::XcodeColors::black{0, 0, 0};
const XcodeColor XcodeColorsLogFormatter::XcodeColors::white{255, 255, 255};
const XcodeColor XcodeColorsLogFormatter::XcodeColors::lightGrey{211, 211, 211};
const XcodeColor XcodeColorsLogFormatter::XcodeColors::darkGrey{169, 169, 169};
const XcodeColor XcodeColorsLogFormatter::XcodeColors::orange{255, 165, 0};
const XcodeColor XcodeColorsLogFormatter::XcodeColors::purple{170, 0, 170};
const XcodeColor XcodeColorsLogFormatter::XcodeColors::darkGreen{0, 128, 0};
const XcodeColor XcodeColorsLogFormatter::XcodeColors::cyan{0, 170, 170};

XcodeColor XcodeColor::fromComponents(double red, double green, double blue) {
  auto byte = [](double component) {
    if (!std::isfinite(component)) return 0;
    return static_cast<int>(std::trunc(std::clamp(component, -8.0, 8.0) * 255));
  };
  return XcodeColor(byte(red), byte(green), byte(blue));
}

std::string XcodeColor::foregroundCode() const {
  return "fg" + std::to_string(red_) + "," + std::to_string(green_) + "," + std::to_string(blue_);
}

std::string XcodeColor::backgroundCode() const {
  return "bg" + std::to_string(red_) + "," + std::to_string(green_) + "," + std::to_string(blue_);
}

std::string XcodeColor::description() const { return rgbDescription(red_, green_, blue_); }

XcodeColorsLogFormatter::XcodeColorsLogFormatter() { resetFormatting(); }

void XcodeColorsLogFormatter::colorize(Level level, const std::optional<XcodeColor>& foreground,
                                       const std::optional<XcodeColor>& background) {
  if (!foreground && !background) {
    formatStrings[level] = reset;
    descriptionStrings[level] = "None";
    return;
  }
  std::string sequence = foreground ? escape + foreground->foregroundCode() + ";" : resetForeground;
  sequence += background ? escape + background->backgroundCode() + ";" : resetBackground;
  formatStrings[level] = sequence;
  descriptionStrings[level] = (foreground ? foreground->description() : std::string("Default")) + " on " +
                              (background ? background->description() : std::string("Default"));
}

void XcodeColorsLogFormatter::resetFormatting() {
  colorize(Level::verbose, XcodeColors::lightGrey);
  colorize(Level::debug, XcodeColors::darkGrey);
  colorize(Level::info, XcodeColors::blue);
  colorize(Level::warning, XcodeColors::orange);
  colorize(Level::error, XcodeColors::red);
  colorize(Level::severe, XcodeColors::white, XcodeColors::red);
  colorize(Level::none, std::nullopt);
}

void XcodeColorsLogFormatter::clearFormatting() {
  for (Level level : {Level::verbose, Level::debug, Level::info, Level::warning, Level::error, Level::severe,
                      Level::none}) {
    colorize(level, std::nullopt);
  }
}

std::string XcodeColorsLogFormatter::formatString(Level level) const {
  auto found = formatStrings.find(level);
  return found == formatStrings.end() ? reset : found->second;
}

std::string XcodeColorsLogFormatter::format(LogDetails& logDetails, std::string& message) {
  message = formatString(logDetails.level) + message + reset;
  return message;
}

std::string XcodeColorsLogFormatter::debugDescription() const {
  return levelTable("XcodeColorsLogFormatter", [this](Level level) {
    auto found = descriptionStrings.find(level);
    return found == descriptionStrings.end() ? std::string("None") : found->second;
  });
}

}  // namespace qmlogger
