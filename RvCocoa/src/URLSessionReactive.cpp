#include "RvCocoa/URLSessionReactive.h"

#include <cmath>
#include <limits>
#include <utility>

#include "RvCocoa/RvCocoaError.h"
#include "RvStreams/Create.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Map.h"
#include "base/Mutex.h"
#include "dispatch/Time.h"
#include "foundation/UTF16.h"

namespace rv {

using foundation::Data;
using foundation::HTTPURLResponse;
using foundation::NSError;
using foundation::URLRequest;
using foundation::URLResponse;
using foundation::URLSession;

// MARK: NSErrorException

NSErrorException::NSErrorException(std::shared_ptr<const NSError> error)
    : error_(std::move(error)), text_(error_ ? error_->description() : std::string("nil")) {}

// MARK: RvCocoaURLError

RvCocoaURLError RvCocoaURLError::nonHTTPResponse(std::shared_ptr<const URLResponse> response) {
  RvCocoaURLError error(Kind::nonHTTPResponse);
  error.text_ = "Response is not NSHTTPURLResponse `" +
                (response ? response->description() : std::string("nil")) + "`.";
  error.response_ = std::move(response);
  return error;
}

RvCocoaURLError RvCocoaURLError::httpRequestFailed(std::shared_ptr<const HTTPURLResponse> response,
                                                   std::optional<Data> data) {
  RvCocoaURLError error(Kind::httpRequestFailed);
  error.text_ = "HTTP request failed with `" +
                (response ? std::to_string(response->statusCode()) : std::string("nil")) + "`.";
  error.response_ = std::move(response);
  error.data_ = std::move(data);
  return error;
}

RvCocoaURLError RvCocoaURLError::deserializationError(Error cause) {
  RvCocoaURLError error(Kind::deserializationError);
  error.text_ = "Error during deserialization of the response: " + describe(cause);
  error.error_ = std::move(cause);
  return error;
}

RvCocoaURLError RvCocoaURLError::unknown() {
  RvCocoaURLError error(Kind::unknown);
  error.text_ = "Unknown error has occurred.";
  return error;
}

std::shared_ptr<const HTTPURLResponse> RvCocoaURLError::httpResponse() const noexcept {
  return std::dynamic_pointer_cast<const HTTPURLResponse>(response_);
}

std::shared_ptr<NSError> RvCocoaURLError::toNSError() const {
  return NSError::create(std::string(domain), static_cast<int64_t>(kind_));
}

// MARK: URLRequestLogging

namespace {

bool logNothing(const URLRequest&) { return false; }

// The predicate is replaced while requests read it on other threads: it is
// copied under the lock and called outside it.
struct LoggingSlot {
  base::Mutex mutex;
  URLRequestLogging::Predicate predicate KX_GUARDED_BY(mutex) = &logNothing;
};

LoggingSlot& logging() {
  static auto* slot = new LoggingSlot;
  return *slot;
}

bool shouldLogRequest(const URLRequest& request) { return URLRequestLogging::shouldLog()(request); }

// Milliseconds, truncated toward zero; saturating instead of overflowing for
// absurd spans (a clock that jumped).
int64_t milliseconds(double seconds) {
  const double ms = std::trunc(seconds * 1000);
  if (std::isnan(ms)) return 0;
  if (ms >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
  if (ms <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(ms);
}

}  // namespace

URLRequestLogging::Predicate URLRequestLogging::shouldLog() {
  LoggingSlot& slot = logging();
  base::LockGuard guard(slot.mutex);
  return slot.predicate;
}

void URLRequestLogging::setShouldLog(Predicate predicate) {
  if (!predicate) predicate = &logNothing;
  LoggingSlot& slot = logging();
  base::LockGuard guard(slot.mutex);
  // The old predicate is released outside the lock.
  std::swap(slot.predicate, predicate);
}

std::string URLRequestLogging::escapeDoubleQuotes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string URLRequestLogging::curlCommand(const URLRequest& request) {
  std::string command = "curl -X " + request.httpMethod().value_or("GET") + " ";
  if (const std::optional<Data>& body = request.httpBody()) {
    const std::string_view text(reinterpret_cast<const char*>(body->data()), body->size());
    if (foundation::isValidUTF8(text)) command += "-d \"" + escapeDoubleQuotes(text) + "\" ";
  }
  for (const auto& [name, value] : request.allHTTPHeaderFields()) {
    command += "\n    -H \"" + escapeDoubleQuotes(name) + ": " + escapeDoubleQuotes(value) + "\" ";
  }
  command += "\n\"" +
             (request.url() ? escapeDoubleQuotes(request.url()->absoluteString())
                            : std::string("<unknown url>")) +
             "\"";
  command += " -i -v";
  return command;
}

std::string URLRequestLogging::outcomeLine(const std::shared_ptr<const URLResponse>& response,
                                           const std::shared_ptr<const NSError>& error,
                                           double elapsed) {
  const std::string ms = std::to_string(milliseconds(elapsed));
  if (auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(response)) {
    const int64_t status = http->statusCode();
    const bool success = status >= 200 && status <= 299;
    return std::string(success ? "Success (" : "Failure (") + ms + "ms): Status " +
           std::to_string(status);
  }
  if (error) {
    if (error->domain() == foundation::NSURLErrorDomain &&
        error->code() == foundation::NSURLErrorCancelled) {
      return "Canceled (" + ms + "ms)";
    }
    return "Failure (" + ms + "ms): NSError > " + error->description();
  }
  return "<Unhandled response from server>";
}

// MARK: Members of URLSession

Ref<Observable<URLResponseAndData>> response(const Reactive<URLSession>& reactive,
                                             URLRequest request) {
  std::shared_ptr<URLSession> session = reactive.base();
  return rv::create<URLResponseAndData>(
      [session = std::move(session),
       request = std::move(request)](AnyObserver<URLResponseAndData> observer) -> Ref<Disposable> {
        std::optional<dispatch::Date> startTime;
        if (shouldLogRequest(request)) startTime = dispatch::Date::now();

        std::shared_ptr<foundation::URLSessionDataTask> task = session->dataTaskWithRequest(
            request, [request, startTime, observer = std::move(observer)](
                         std::optional<Data> data, std::shared_ptr<URLResponse> response,
                         std::shared_ptr<NSError> error) mutable {
              if (shouldLogRequest(request)) {
                const dispatch::Date now = dispatch::Date::now();
                const double elapsed = now - startTime.value_or(now);
                cocoa_detail::printLine(URLRequestLogging::curlCommand(request) + "\n" +
                                        URLRequestLogging::outcomeLine(response, error, elapsed));
              }
              using E = Event<URLResponseAndData>;
              if (response && data) {
                if (auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(response)) {
                  observer.on(E::next(URLResponseAndData{std::move(http), std::move(*data)}));
                  observer.on(E::completed());
                } else {
                  observer.on(E::error(std::make_exception_ptr(
                      RvCocoaURLError::nonHTTPResponse(std::move(response)))));
                }
                return;
              }
              observer.on(E::error(error
                                       ? std::make_exception_ptr(NSErrorException(std::move(error)))
                                       : std::make_exception_ptr(RvCocoaURLError::unknown())));
            });
        task->resume();
        return Disposables::create([task] { task->cancel(); });
      });
}

Ref<Observable<Data>> data(const Reactive<URLSession>& reactive, URLRequest request) {
  return response(reactive, std::move(request)) | rv::map([](const URLResponseAndData& answer) {
           const int64_t status = answer.response->statusCode();
           if (status >= 200 && status <= 299) return answer.data;
           throw RvCocoaURLError::httpRequestFailed(answer.response, answer.data);
         });
}

Ref<Observable<nlohmann::json>> json(const Reactive<URLSession>& reactive, URLRequest request,
                                     foundation::JSONReadingOptions options) {
  return data(reactive, std::move(request)) | rv::map([options](const Data& body) {
           std::shared_ptr<NSError> error;
           std::optional<nlohmann::json> value =
               foundation::JSONSerialization::JSONObjectWithData(body, options, &error);
           if (!value) {
             throw RvCocoaURLError::deserializationError(
                 std::make_exception_ptr(NSErrorException(std::move(error))));
           }
           return std::move(*value);
         });
}

Ref<Observable<nlohmann::json>> json(const Reactive<URLSession>& reactive,
                                     const foundation::URL& url) {
  return json(reactive,
              URLRequest(url, foundation::URLRequestCachePolicy::useProtocolCachePolicy,
                         URLRequest::kDefaultTimeoutInterval),
              foundation::JSONReadingOptions{});
}

}  // namespace rv
