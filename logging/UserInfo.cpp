#include "logging/UserInfo.h"

#include "logging/Constants.h"

namespace qmlogger {

const UserInfo& internalUserInfo() {
  static const UserInfo info{{std::string(Constants::userInfoKeyInternal), UserInfoValue(true)}};
  return info;
}

}  // namespace qmlogger
