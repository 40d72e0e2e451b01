#include "platform/foundation/HttpTask.h"

#include <curl/curl.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform {
namespace {

struct Transfer {
  std::vector<uint8_t> body;
  std::size_t maxBody = 0;
  bool tooLarge = false;
  const std::atomic<bool>* stopping = nullptr;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (t->body.size() + n > t->maxBody) {
    t->tooLarge = true;
    return 0;  // aborts the transfer
  }
  t->body.insert(t->body.end(), data, data + n);
  return n;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<Transfer*>(user)->stopping->load() ? 1 : 0;
}

NEError urlError(int code, std::string description) { return NEError{code, kNSURLErrorDomain, std::move(description)}; }

NEError errorFor(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return urlError(NSURLErrorTimedOut, "The request timed out.");
    case CURLE_COULDNT_RESOLVE_HOST:
      return urlError(NSURLErrorCannotFindHost, "A server with the specified hostname could not be found.");
    case CURLE_COULDNT_CONNECT: return urlError(NSURLErrorCannotConnectToHost, "Could not connect to the server.");
    case CURLE_UNSUPPORTED_PROTOCOL: return urlError(NSURLErrorUnsupportedURL, "unsupported URL");
    case CURLE_URL_MALFORMAT: return urlError(NSURLErrorBadURL, "bad URL");
    case CURLE_TOO_MANY_REDIRECTS: return urlError(NSURLErrorHTTPTooManyRedirects, "too many HTTP redirects");
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return urlError(NSURLErrorNetworkConnectionLost, "The network connection was lost.");
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
      return urlError(NSURLErrorSecureConnectionFailed,
                      "An SSL error has occurred and a secure connection to the server cannot be made.");
    default: return urlError(NSURLErrorUnknown, curl_easy_strerror(code));
  }
}

bool httpsScheme(const std::string& url) { return url.rfind("https://", 0) == 0; }
bool httpScheme(const std::string& url) { return httpsScheme(url) || url.rfind("http://", 0) == 0; }

constexpr long kMaxRedirects = 5;

}  // namespace

class HttpSession::Worker {
 public:
  explicit Worker(Limits limits) : limits_(limits), thread_([this] { loop(); }) {}
  ~Worker() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    stopFlag_ = true;  // aborts a transfer in progress
    wake_.notify_all();
    thread_.join();
  }

  void add(std::function<void()> job) {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

  HttpResponse perform(const std::string& url) {
    HttpResponse response;
    if (!httpScheme(url)) {
      response.error = urlError(NSURLErrorUnsupportedURL, "unsupported URL");
      return response;
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
      response.error = urlError(NSURLErrorUnknown, "cannot start a transfer");
      return response;
    }
    Transfer t;
    t.maxBody = limits_.maxBody;
    t.stopping = &stopFlag_;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
    // Once secure, the chain stays secure.
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, httpsScheme(url) ? "https" : "http,https");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits_.connectTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(limits_.requestTimeout.count()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.statusCode);
    curl_easy_cleanup(curl);
    if (t.tooLarge) {
      response.error = urlError(NSURLErrorDataLengthExceedsMaximum, "resource exceeds maximum size");
    } else if (code != CURLE_OK) {
      response.error = errorFor(code);
    } else {
      response.data = std::move(t.body);
    }
    return response;
  }

 private:
  void loop() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (stopping_) return;  // queued jobs are dropped
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  Limits limits_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  std::atomic<bool> stopFlag_{false};
  std::thread thread_;
};

HttpSession::HttpSession(std::shared_ptr<DispatchQueue> completionQueue, Limits limits)
    : completionQueue_(std::move(completionQueue)), limits_(limits) {
  static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  (void)initialised;
  worker_ = std::make_unique<Worker>(limits_);
}

HttpSession::HttpSession() : HttpSession(DispatchQueue::global(), Limits{}) {}

HttpSession::~HttpSession() = default;

std::shared_ptr<HttpSession> HttpSession::shared() {
  static auto session = std::make_shared<HttpSession>();
  return session;
}

void HttpSession::dataTask(const std::string& url, Completion completion) {
  // The worker ends with the session; its jobs never outlive it.
  worker_->add([this, url, completion = std::move(completion)] {
    HttpResponse response = worker_->perform(url);
    completionQueue_->async([response = std::move(response), completion] {
      if (completion) completion(response);
    });
  });
}

}  // namespace platform
