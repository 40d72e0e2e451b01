#include "logging/PrePostFixLogFormatter.h"

#include "logging/ColorDescription.h"

namespace qmlogger {
namespace {

void store(std::map<Level, std::string>& map, Level level, const std::optional<std::string>& text) {
  if (text) {
    map[level] = *text;
  } else {
    map.erase(level);
  }
}

std::string entryOr(const std::map<Level, std::string>& map, Level level, const std::string& fallback) {
  auto found = map.find(level);
  return found == map.end() ? fallback : found->second;
}

}  // namespace

void PrePostFixLogFormatter::apply(const std::optional<std::string>& prefix,
                                   const std::optional<std::string>& postfix, std::optional<Level> level) {
  if (level) {
    store(prefixStrings, *level, prefix);
    store(postfixStrings, *level, postfix);
    return;
  }
  if (!prefix && !postfix) {
    clearFormatting();
    return;
  }
  for (Level each : allLevelCases) apply(prefix, postfix, each);
}

void PrePostFixLogFormatter::clearFormatting() {
  prefixStrings.clear();
  postfixStrings.clear();
}

std::string PrePostFixLogFormatter::format(LogDetails& logDetails, std::string& message) {
  message = entryOr(prefixStrings, logDetails.level, "") + message + entryOr(postfixStrings, logDetails.level, "");
  return message;
}

std::string PrePostFixLogFormatter::debugDescription() const {
  return levelTable("PrePostFixLogFormatter", [this](Level level) {
    return entryOr(prefixStrings, level, "None") + " | " + entryOr(postfixStrings, level, "None");
  });
}

}  // namespace qmlogger
