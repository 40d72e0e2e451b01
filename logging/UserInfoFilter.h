#pragma once
// Keeps or drops events by a user-info entry; base of TagFilter and DevFilter.
#include <concepts>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "logging/FilterProtocol.h"
#include "logging/UserInfoTagging.h"

namespace qmlogger {

// Tag or Dev values, or pointers to tagging values (a list may mix both kinds).
template <class T>
concept TaggingValue = std::derived_from<T, UserInfoTaggingProtocol>;
template <class T>
concept TaggingPointer = !TaggingValue<T> && requires(const T& pointer) {
  { static_cast<bool>(pointer) };
  { *pointer } -> std::convertible_to<const UserInfoTaggingProtocol&>;
};
template <class T>
concept TaggingElement = TaggingValue<T> || TaggingPointer<T>;

// Names of tagging values, in order, for the filter factories; null pointers are skipped.
template <TaggingElement T>
std::vector<std::string> taggingNames(const std::vector<T>& values) {
  std::vector<std::string> names;
  for (const auto& value : values) {
    if constexpr (TaggingValue<T>) {
      names.push_back(value.name());
    } else if (value) {
      names.push_back((*value).name());
    }
  }
  return names;
}

class UserInfoFilter : public FilterProtocol {
 public:
  UserInfoFilter(bool inverse, const std::vector<std::string>& items);
  static std::shared_ptr<UserInfoFilter> includeFrom(const std::vector<std::string>& items);
  static std::shared_ptr<UserInfoFilter> excludeFrom(const std::vector<std::string>& items);
  // From the names of tagging values.
  template <TaggingElement T>
  static std::shared_ptr<UserInfoFilter> includeFrom(const std::vector<T>& values) {
    return includeFrom(taggingNames(values));
  }
  template <TaggingElement T>
  static std::shared_ptr<UserInfoFilter> excludeFrom(const std::vector<T>& values) {
    return excludeFrom(taggingNames(values));
  }

  bool add(const std::string& item);
  void add(const std::vector<std::string>& items);
  void clear() { itemsToMatch.clear(); }

  bool shouldExclude(LogDetails& logDetails, std::string& message) override;
  std::string debugDescription() const override;

  std::string userInfoKey;
  bool applyFilterToInternalMessages = false;
  bool inverse = false;
  std::set<std::string> itemsToMatch;

 protected:
  virtual std::string typeName() const { return "UserInfoFilter"; }
};

// A user-info filter on the given key.
template <const std::string_view& Key, const char* TypeName>
class KeyedUserInfoFilter : public UserInfoFilter {
 public:
  KeyedUserInfoFilter(bool inverse, const std::vector<std::string>& items) : UserInfoFilter(inverse, items) {
    userInfoKey = std::string(Key);
  }
  static std::shared_ptr<KeyedUserInfoFilter> includeFrom(const std::vector<std::string>& items) {
    return std::make_shared<KeyedUserInfoFilter>(true, items);
  }
  static std::shared_ptr<KeyedUserInfoFilter> excludeFrom(const std::vector<std::string>& items) {
    return std::make_shared<KeyedUserInfoFilter>(false, items);
  }
  template <TaggingElement T>
  static std::shared_ptr<KeyedUserInfoFilter> includeFrom(const std::vector<T>& values) {
    return includeFrom(taggingNames(values));
  }
  template <TaggingElement T>
  static std::shared_ptr<KeyedUserInfoFilter> excludeFrom(const std::vector<T>& values) {
    return excludeFrom(taggingNames(values));
  }

 protected:
  std::string typeName() const override { return TypeName; }
};

inline constexpr char tagFilterName[] = "TagFilter";
inline constexpr char devFilterName[] = "DevFilter";
using TagFilter = KeyedUserInfoFilter<tagKey, tagFilterName>;
using DevFilter = KeyedUserInfoFilter<devKey, devFilterName>;

}  // namespace qmlogger
