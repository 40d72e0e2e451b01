#pragma once
// Fixed texts before and after each message, per level.
#include <map>
#include <optional>
#include <string>

#include "logging/LogFormatterProtocol.h"

namespace qmlogger {

class PrePostFixLogFormatter : public LogFormatterProtocol {
 public:
  // Without a level the texts apply to every level; neither text nor level clears all.
  void apply(const std::optional<std::string>& prefix, const std::optional<std::string>& postfix,
             std::optional<Level> level = std::nullopt);
  void clearFormatting();

  std::string format(LogDetails& logDetails, std::string& message) override;
  std::string debugDescription() const override;

  std::map<Level, std::string> prefixStrings;
  std::map<Level, std::string> postfixStrings;
};

}  // namespace qmlogger
