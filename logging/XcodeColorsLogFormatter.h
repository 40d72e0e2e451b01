#pragma once
// The colour escape convention of the XcodeColors console plug-in.
#include <map>
#include <optional>
#include <string>

#include "logging/LogFormatterProtocol.h"

namespace qmlogger {

class XcodeColorsLogFormatter : public LogFormatterProtocol {
 public:
  static const std::string escape;
  static const std::string resetForeground;
  static const std::string resetBackground;
  static const std::string reset;

  class XcodeColor {
   public:
    // Stores the values unchanged; the setters store 0 for values outside 0...255.
    XcodeColor(int red, int green, int blue) : red_(red), green_(green), blue_(blue) {}
    // From calibrated RGB components in 0...1, truncated toward zero.
    static XcodeColor fromComponents(double red, double green, double blue);

    int red() const { return red_; }
    int green() const { return green_; }
    int blue() const { return blue_; }
    void setRed(int value) { red_ = inByteRange(value); }
    void setGreen(int value) { green_ = inByteRange(value); }
    void setBlue(int value) { blue_ = inByteRange(value); }

    std::string foregroundCode() const;
    std::string backgroundCode() const;
    std::string description() const;

   private:
    static int inByteRange(int value) { return value < 0 || value > 255 ? 0 : value; }
    int red_, green_, blue_;
  };

  // The named colours (apart from the fields, which share their names).
  struct XcodeColors {
    static const XcodeColor red, green, blue, black, white, lightGrey, darkGrey, orange, purple, darkGreen, cyan;
  };

  XcodeColorsLogFormatter();

  void colorize(Level level, const std::optional<XcodeColor>& foreground,
                const std::optional<XcodeColor>& background = std::nullopt);
  void resetFormatting();
  void clearFormatting();
  std::string formatString(Level level) const;

  std::string format(LogDetails& logDetails, std::string& message) override;
  std::string debugDescription() const override;

  std::map<Level, std::string> formatStrings;
  std::map<Level, std::string> descriptionStrings;
};

}  // namespace qmlogger
