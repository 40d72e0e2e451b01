#pragma once
// User-info values attached to a log event: a small recursive variant.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <variant>
#include <vector>

namespace qmlogger {

struct UserInfoValue;
using UserInfoList = std::vector<UserInfoValue>;
using UserInfoStringSet = std::set<std::string>;

struct UserInfoValue {
  std::variant<bool, int64_t, double, std::string, UserInfoList, UserInfoStringSet> value;

  UserInfoValue() : value(std::string()) {}
  UserInfoValue(bool b) : value(b) {}
  UserInfoValue(int i) : value(int64_t{i}) {}
  UserInfoValue(int64_t i) : value(i) {}
  UserInfoValue(double d) : value(d) {}
  UserInfoValue(const char* s) : value(std::string(s)) {}
  UserInfoValue(std::string s) : value(std::move(s)) {}
  UserInfoValue(UserInfoList l) : value(std::move(l)) {}
  UserInfoValue(UserInfoStringSet s) : value(std::move(s)) {}

  const std::string* text() const { return std::get_if<std::string>(&value); }
  const UserInfoList* list() const { return std::get_if<UserInfoList>(&value); }
  const UserInfoStringSet* stringSet() const { return std::get_if<UserInfoStringSet>(&value); }
  const bool* boolean() const { return std::get_if<bool>(&value); }

  bool operator==(const UserInfoValue& other) const { return value == other.value; }
};

using UserInfo = std::map<std::string, UserInfoValue>;

// The shared dictionary that marks the library's own events.
const UserInfo& internalUserInfo();

}  // namespace qmlogger
