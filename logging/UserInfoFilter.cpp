#include "logging/UserInfoFilter.h"

#include "logging/Constants.h"

namespace qmlogger {

UserInfoFilter::UserInfoFilter(bool inverse, const std::vector<std::string>& items) : inverse(inverse) {
  add(items);
}

std::shared_ptr<UserInfoFilter> UserInfoFilter::includeFrom(const std::vector<std::string>& items) {
  return std::make_shared<UserInfoFilter>(true, items);
}

std::shared_ptr<UserInfoFilter> UserInfoFilter::excludeFrom(const std::vector<std::string>& items) {
  return std::make_shared<UserInfoFilter>(false, items);
}

bool UserInfoFilter::add(const std::string& item) { return itemsToMatch.insert(item).second; }

void UserInfoFilter::add(const std::vector<std::string>& items) {
  for (const auto& item : items) add(item);
}

bool UserInfoFilter::shouldExclude(LogDetails& logDetails, std::string&) {
  if (!applyFilterToInternalMessages) {
    auto internal = logDetails.userInfo.find(std::string(Constants::userInfoKeyInternal));
    if (internal != logDetails.userInfo.end()) {
      const bool* flag = internal->second.boolean();
      if (flag && *flag) return inverse;
    }
  }
  bool matched = false;
  auto found = logDetails.userInfo.find(userInfoKey);
  if (found != logDetails.userInfo.end()) {
    const UserInfoValue& value = found->second;
    if (const auto* set = value.stringSet()) {
      for (const auto& item : *set) {
        if (itemsToMatch.count(item)) {
          matched = true;
          break;
        }
      }
    } else if (const auto* list = value.list()) {
      // A list counts as a list of texts only when every element is a text.
      bool allTexts = true;
      for (const auto& element : *list) allTexts = allTexts && element.text() != nullptr;
      if (allTexts) {
        for (const auto& element : *list) {
          if (itemsToMatch.count(*element.text())) {
            matched = true;
            break;
          }
        }
      }
    } else if (const auto* text = value.text()) {
      matched = itemsToMatch.count(*text) > 0;
    }
  }
  return inverse ? !matched : matched;
}

std::string UserInfoFilter::debugDescription() const {
  std::string out = typeName() + ": ";
  if (applyFilterToInternalMessages) out += "(Filtering Internal) ";
  out += inverse ? "Including only matches for: " : "Excluding matches for: ";
  return out + describeFilterNames(itemsToMatch);
}

}  // namespace qmlogger
