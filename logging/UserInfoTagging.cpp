#include "logging/UserInfoTagging.h"

namespace qmlogger {
namespace {

UserInfo fromTagging(const UserInfoTaggingProtocol& tagging) {
  UserInfo result;
  for (const auto& [key, value] : tagging.dictionary()) result.emplace(key, UserInfoValue(value));
  return result;
}

UserInfoValue mergeValues(const UserInfoValue& existing, const UserInfoValue& added) {
  if (added.stringSet() || existing.stringSet()) return existing;
  const UserInfoList* existingList = existing.list();
  const UserInfoList* addedList = added.list();
  if (existingList && addedList) {
    UserInfoList merged = *existingList;
    merged.insert(merged.end(), addedList->begin(), addedList->end());
    return merged;
  }
  if (existingList) {
    UserInfoList merged = *existingList;
    merged.push_back(added);
    return merged;
  }
  if (addedList) {
    UserInfoList merged = *addedList;
    merged.push_back(existing);
    return merged;
  }
  return UserInfoList{existing, added};
}

// Merges `added` into `result`, whose values count as existing.
void mergeInto(UserInfo& result, const UserInfo& added) {
  for (const auto& [key, value] : added) {
    auto found = result.find(key);
    if (found == result.end()) {
      result.emplace(key, value);
    } else {
      found->second = mergeValues(found->second, value);
    }
  }
}

}  // namespace

UserInfo operator|(const UserInfoTaggingProtocol& left, const UserInfoTaggingProtocol& right) {
  UserInfo result = fromTagging(left);
  for (const auto& [key, value] : right.dictionary()) {
    auto found = result.find(key);
    if (found == result.end()) {
      result.emplace(key, UserInfoValue(value));
    } else {
      found->second = UserInfoList{found->second, UserInfoValue(value)};
    }
  }
  return result;
}

UserInfo operator|(const UserInfoTaggingProtocol& left, const UserInfo& right) {
  UserInfo result = fromTagging(left);
  mergeInto(result, right);
  return result;
}

UserInfo operator|(const UserInfo& left, const UserInfoTaggingProtocol& right) {
  UserInfo result = fromTagging(right);
  mergeInto(result, left);
  return result;
}

UserInfo operator|(const UserInfo& left, const UserInfo& right) {
  UserInfo result = left;
  mergeInto(result, right);
  return result;
}

}  // namespace qmlogger
