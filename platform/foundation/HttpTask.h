#pragma once
// URL data task stand-in: one GET with libcurl on the session's worker
// thread. TLS verification is always on; connect time-out 10 s, request
// time-out 60 s; bodies over 1 MiB fail. Redirects are followed, at most 5,
// never from https to http. The completion runs on the
// session's queue (a global queue by default).
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/networkextension/NEError.h"

namespace platform {

inline constexpr const char* kNSURLErrorDomain = "NSURLErrorDomain";
enum NSURLErrorCode : int {
  NSURLErrorUnknown = -1,
  NSURLErrorTimedOut = -1001,
  NSURLErrorUnsupportedURL = -1002,
  NSURLErrorHTTPTooManyRedirects = -1007,
  NSURLErrorCannotFindHost = -1003,
  NSURLErrorCannotConnectToHost = -1004,
  NSURLErrorNetworkConnectionLost = -1005,
  NSURLErrorSecureConnectionFailed = -1200,
  NSURLErrorDataLengthExceedsMaximum = -1103,
  NSURLErrorBadURL = -1000,
};

struct HttpResponse {
  std::optional<std::vector<uint8_t>> data;  // none on a transport error
  long statusCode = 0;
  std::optional<NEError> error;
};

class HttpClient {
 public:
  using Completion = std::function<void(HttpResponse)>;
  virtual ~HttpClient() = default;
  virtual void dataTask(const std::string& url, Completion completion) = 0;
};

class HttpSession : public HttpClient, public std::enable_shared_from_this<HttpSession> {
 public:
  struct Limits {
    std::chrono::milliseconds connectTimeout{10'000};
    std::chrono::milliseconds requestTimeout{60'000};
    std::size_t maxBody = 1 << 20;
  };

  HttpSession();
  HttpSession(std::shared_ptr<DispatchQueue> completionQueue, Limits limits);
  ~HttpSession() override;
  static std::shared_ptr<HttpSession> shared();

  // http and https URLs only.
  void dataTask(const std::string& url, Completion completion) override;

 private:
  class Worker;
  std::shared_ptr<DispatchQueue> completionQueue_;
  Limits limits_;
  std::unique_ptr<Worker> worker_;
};

}  // namespace platform
