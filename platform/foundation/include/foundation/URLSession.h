#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "base/Mutex.h"
#include "foundation/Data.h"
#include "foundation/NSError.h"
#include "foundation/URL.h"
#include "foundation/URLRequest.h"
#include "foundation/URLResponse.h"

namespace foundation {

// The domain of the errors a URL session reports, and its codes.
inline constexpr std::string_view NSURLErrorDomain = "NSURLErrorDomain";
// User-info key of the URL that failed (its absolute string).
inline constexpr std::string_view NSURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";

enum NSURLErrorCode : int64_t {
  NSURLErrorUnknown = -1,
  NSURLErrorCancelled = -999,
  NSURLErrorBadURL = -1000,
  NSURLErrorTimedOut = -1001,
  NSURLErrorUnsupportedURL = -1002,
  NSURLErrorCannotFindHost = -1003,
  NSURLErrorCannotConnectToHost = -1004,
  NSURLErrorNetworkConnectionLost = -1005,
  NSURLErrorHTTPTooManyRedirects = -1007,
  NSURLErrorBadServerResponse = -1011,
  NSURLErrorFileDoesNotExist = -1100,
  NSURLErrorSecureConnectionFailed = -1200,
};

class URLSession;

// One load of one request. Made suspended by `URLSession::dataTaskWithRequest`;
// `resume` starts it on a worker thread of its own (workers are reused once
// idle, never shared by two tasks at a time). Its completion handler
// runs exactly once, on that worker thread, and is released right after:
//   - success: the data (present, maybe empty), the response, no error;
//   - failure: no data, no response, an error of `NSURLErrorDomain`;
//   - cancelled: no data, no response, the error NSURLErrorCancelled (-999).
// Held by `std::shared_ptr`; a running task keeps itself alive until its
// handler has run. Every member may be called from any thread.
class URLSessionDataTask : public std::enable_shared_from_this<URLSessionDataTask> {
  struct PrivateTag {};

 public:
  using CompletionHandler = std::function<void(
      std::optional<Data> data, std::shared_ptr<URLResponse> response, std::shared_ptr<NSError>)>;

  enum class State { running = 0, suspended = 1, canceling = 2, completed = 3 };

  // Starts the load; later calls, and calls after `cancel`, do nothing.
  void resume();
  // Stops the load: the handler gets NSURLErrorCancelled promptly (also when
  // the task was never resumed), unless it already ran or is running.
  void cancel();

  State state() const;
  uint64_t taskIdentifier() const { return identifier_; }
  const URLRequest& originalRequest() const { return request_; }

  // Public only for std::make_shared; use URLSession.
  URLSessionDataTask(PrivateTag, uint64_t identifier, URLRequest request,
                     CompletionHandler handler);
  ~URLSessionDataTask();

 private:
  friend class URLSession;
  // What a load ended with: the arguments of `complete`.
  struct Outcome;

  void startWorker();
  // The worker's job: checks the request, loads it, hands the outcome over.
  void run();
  // Loads `url` as the request says; every libcurl handle it takes is
  // released before it returns.
  Outcome load(const URL& url);
  void complete(std::optional<Data> data, std::shared_ptr<URLResponse> response,
                std::shared_ptr<NSError> error);

  const uint64_t identifier_;
  const URLRequest request_;

  mutable base::Mutex mutex_;
  State state_ KX_GUARDED_BY(mutex_) = State::suspended;
  bool started_ KX_GUARDED_BY(mutex_) = false;
  std::atomic<bool> cancelRequested_{false};
  CompletionHandler handler_ KX_GUARDED_BY(mutex_);
  // The running transfer's wake-up target, set by the worker while it runs.
  void* multi_ KX_GUARDED_BY(mutex_) = nullptr;
};

// Loads URLs (http, https and file) over libcurl, one worker thread per
// task under way. Redirects are followed (to http and https only, at most 16). There is
// no cache and no cookie store. Thread-safe.
class URLSession {
 public:
  using CompletionHandler = URLSessionDataTask::CompletionHandler;

  // The process's session.
  static std::shared_ptr<URLSession> shared();

  // A suspended task for the request; `resume` starts it.
  std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(URLRequest request,
                                                          CompletionHandler completionHandler);
  std::shared_ptr<URLSessionDataTask> dataTaskWithURL(URL url, CompletionHandler completionHandler);

 private:
  std::atomic<uint64_t> nextIdentifier_{1};
};

// The error a session reports for `code` (a code of NSURLErrorCode) with its
// description and, when given, the failing URL.
std::shared_ptr<NSError> urlError(int64_t code, const std::optional<URL>& failingURL);

}  // namespace foundation
