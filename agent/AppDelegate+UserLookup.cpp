#include "agent/AppDelegate.h"
#include "platform/foundation/Log.h"

namespace agent {

using platform::NSLog;
using platform::optionalText;

AppDelegate::UserDataCallback AppDelegate::userDataResultHandler(const std::string& companyId,
                                                                 const std::string& userName) {
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  return [weak, companyId, userName](std::optional<UserDataResponse> answer, std::optional<std::string> error) {
    if (auto self = weak.lock()) self->handleUserDataResult(companyId, userName, answer, error);
  };
}

void AppDelegate::retriveUserDataBy(const std::string& companyId, const std::string& userName,
                                    UserDataCallback callback) {
  // One chain: a new lookup replaces the running one and its pending retry.
  if (lookupRetry_) lookupRetry_->cancel();
  lookupRetry_.reset();
  lookup_ = Lookup{companyId, userName, std::move(callback)};
  startLookupAttempt();
}

void AppDelegate::startLookupAttempt() {
  uint64_t attempt = ++lookupAttempt_;
  const std::string url = userLookupURL(kApiHost, lookup_->userName, lookup_->companyId);
  NSLog("retriveUserDataBy, url: " + url);
  lookupInFlight_ = true;
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  auto queue = env_.mainQueue;
  env_.http->dataTask(url, [weak, queue, attempt](platform::HttpResponse response) {
    // The result is handled on the main queue, with the rest of the state.
    queue->async([weak, attempt, response = std::move(response)]() mutable {
      if (auto self = weak.lock()) self->handleLookupResponse(attempt, std::move(response));
    });
  });
}

void AppDelegate::handleLookupResponse(uint64_t attempt, platform::HttpResponse response) {
  if (attempt != lookupAttempt_ || !lookup_) return;  // replaced by a newer lookup
  lookupInFlight_ = false;
  UserDataCallback callback = lookup_->callback;
  if (!callback) return;
  if (response.data) {
    auto decoded = UserDataResponse::decode(*response.data);
    if (auto* answer = std::get_if<UserDataResponse>(&decoded)) {
      NSLog("user data: " + optionalText(answer->email) + ", orgUnitId: " + optionalText(answer->orgUnitId) +
            ", status: " + platform::boolText(answer->status));
      callback(*answer, std::nullopt);
    } else {
      const std::string& why = std::get<std::string>(decoded);
      NSLog("JSON decoder, error: " + why + ", ");
      callback(std::nullopt, why);
    }
    return;
  }
  if (response.error) {
    NSLog("HTTP Request Failed " + platform::optionalDescription(response.error));
    callback(std::nullopt, response.error->description);
    return;
  }
  // Neither body nor error: a failed attempt like any other.
  callback(std::nullopt, std::string("empty response"));
}

void AppDelegate::handleUserDataResult(const std::string& companyId, const std::string& userName,
                                       const std::optional<UserDataResponse>& answer,
                                       const std::optional<std::string>& error) {
  if (!error && answer) {
    std::string line = "Got users data from api, email = " + optionalText(answer->email) +
                       ", orgUnitId = " + optionalText(answer->orgUnitId);
    NSLog(line);
    relayLog(line + ", status = " + platform::boolText(answer->status));
    if (answer->orgUnitId) {
      if (parsedConfArgs) {
        if (answer->email) (*parsedConfArgs)["userEmail"] = *answer->email;
        (*parsedConfArgs)["orgUnitId"] = *answer->orgUnitId;
      }
    } else {
      if (parsedConfArgs) {
        parsedConfArgs->erase("userEmail");
        parsedConfArgs->erase("orgUnitId");
      }
      std::string failed = "getting user data, status = false,  error, " + optionalText(error) +
                           ", userData: " + optionalDescription(answer);
      NSLog(failed);
      relayLog(failed);
    }
    lookup_.reset();
    restartProxy();
    return;
  }
  std::string line = "getting user data, error, " + optionalText(error) + ", userData: " + optionalDescription(answer);
  NSLog(line);
  relayLog(line + ", will try again in 2 sec");
  if (lookupRetry_) lookupRetry_->cancel();
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  lookupRetry_ = env_.mainQueue->asyncAfter(std::chrono::milliseconds(2000), [weak, companyId, userName] {
    if (auto self = weak.lock()) self->retryUserDataRequest(companyId, userName);
  });
}

void AppDelegate::retryUserDataRequest(const std::string& companyId, const std::string& userName) {
  lookupRetry_.reset();
  relayLog("attept to get users data");
  NSLog("init user data");
  UserDataCallback callback =
      lookup_ && lookup_->callback ? lookup_->callback : userDataResultHandler(companyId, userName);
  retriveUserDataBy(companyId, userName, std::move(callback));
}

}  // namespace agent
