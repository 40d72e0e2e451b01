#pragma once
// Terminal colour escape sequences around each message, per level.
#include <map>
#include <string>
#include <vector>

#include "logging/LogFormatterProtocol.h"

namespace qmlogger {

class ANSIColorLogFormatter : public LogFormatterProtocol {
 public:
  static const std::string escape;
  static const std::string reset;

  class ANSIColor {
   public:
    enum class Kind {
      rgb, colorIndex, black, red, green, yellow, blue, magenta, cyan, lightGrey, darkGrey,
      lightRed, lightGreen, lightYellow, lightBlue, lightMagenta, lightCyan, white, defaultColor
    };
    static ANSIColor rgb(int red, int green, int blue) { return ANSIColor(Kind::rgb, red, green, blue); }
    static ANSIColor colorIndex(int number) { return ANSIColor(Kind::colorIndex, number, 0, 0); }
    static const ANSIColor black, red, green, yellow, blue, magenta, cyan, lightGrey, lightGray, darkGrey,
        darkGray, lightRed, lightGreen, lightYellow, lightBlue, lightMagenta, lightCyan, white, defaultColor;

    std::string foregroundCode() const;
    std::string backgroundCode() const;
    std::string description() const;
    Kind kind() const { return kind_; }

   private:
    explicit ANSIColor(Kind kind, int a = 0, int b = 0, int c = 0) : kind_(kind), a_(a), b_(b), c_(c) {}
    std::string code(bool foreground) const;
    Kind kind_;
    int a_, b_, c_;
  };

  enum class ANSIOption { bold, faint, italic, underline, blink, blinkFast, strikethrough };
  static std::string code(ANSIOption option);
  static std::string description(ANSIOption option);

  ANSIColorLogFormatter();

  void colorize(Level level, const ANSIColor& foreground, const ANSIColor& background,
                const std::vector<ANSIOption>& options = {});
  void colorize(Level level, const std::string& custom);
  void resetFormatting();
  void clearFormatting();
  // The sequence stored for a level, or reset when it has none.
  std::string formatString(Level level) const;

  std::string format(LogDetails& logDetails, std::string& message) override;
  std::string debugDescription() const override;

  std::map<Level, std::string> formatStrings;
  std::map<Level, std::string> descriptionStrings;
};

}  // namespace qmlogger
