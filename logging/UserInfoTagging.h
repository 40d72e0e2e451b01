#pragma once
// Tags and developer names attached to a log call, and the | merge.
#include <initializer_list>
#include <map>
#include <string>

#include "logging/Constants.h"
#include "logging/UserInfo.h"

namespace qmlogger {

class UserInfoTaggingProtocol {
 public:
  virtual ~UserInfoTaggingProtocol() = default;
  virtual const std::string& name() const = 0;
  virtual void setName(std::string name) = 0;
  virtual std::map<std::string, std::string> dictionary() const = 0;
};

template <const std::string_view& Key>
class UserInfoTag : public UserInfoTaggingProtocol {
 public:
  explicit UserInfoTag(std::string name) : name_(std::move(name)) {}
  static UserInfoTag name(std::string n) { return UserInfoTag(std::move(n)); }
  static UserInfo names(std::initializer_list<std::string> names) {
    UserInfoList list;
    for (const auto& n : names) list.emplace_back(n);
    return UserInfo{{std::string(Key), UserInfoValue(std::move(list))}};
  }
  static std::string key() { return std::string(Key); }

  const std::string& name() const override { return name_; }
  void setName(std::string name) override { name_ = std::move(name); }
  std::map<std::string, std::string> dictionary() const override { return {{std::string(Key), name_}}; }

 private:
  std::string name_;
};

inline constexpr std::string_view tagKey = Constants::userInfoKeyTags;
inline constexpr std::string_view devKey = Constants::userInfoKeyDevs;
using Tag = UserInfoTag<tagKey>;
using Dev = UserInfoTag<devKey>;

UserInfo operator|(const UserInfoTaggingProtocol& left, const UserInfoTaggingProtocol& right);
UserInfo operator|(const UserInfoTaggingProtocol& left, const UserInfo& right);
UserInfo operator|(const UserInfo& left, const UserInfoTaggingProtocol& right);
UserInfo operator|(const UserInfo& left, const UserInfo& right);

}  // namespace qmlogger
