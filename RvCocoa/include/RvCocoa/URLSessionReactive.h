#pragma once

// URL requests of a URL session as sequences:
//
//   auto users = rv::json(rv::rv(URLSession::shared()), request);
//
// Every member is cold: each subscription starts a data task of its own, and
// disposing the subscription cancels it. Each emits at most one element and
// then completes, or fails with one error. Elements and errors arrive on the
// thread the session runs the task's completion on; nothing is moved to the
// main thread. Any thread.
//
// Finished requests can be logged (see URLRequestLogging) as a curl command
// line followed by a one-line outcome.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "RvStreams/Observable.h"
#include "RvStreams/Reactive.h"
#include "foundation/Data.h"
#include "foundation/JSONSerialization.h"
#include "foundation/NSError.h"
#include "foundation/URL.h"
#include "foundation/URLRequest.h"
#include "foundation/URLResponse.h"
#include "foundation/URLSession.h"

namespace rv {

// An error object of the platform as an error of a sequence: what a URL
// session or the JSON reader report travels as this. `what()` is the error
// object's description.
class NSErrorException : public std::exception {
 public:
  explicit NSErrorException(std::shared_ptr<const foundation::NSError> error);

  const std::shared_ptr<const foundation::NSError>& error() const noexcept { return error_; }
  const char* what() const noexcept override { return text_.c_str(); }

 private:
  std::shared_ptr<const foundation::NSError> error_;
  std::string text_;
};

// What can go wrong in the URL-session members besides a transport failure.
// `what()` is the case's debug description.
class RvCocoaURLError : public std::exception {
 public:
  enum class Kind {
    nonHTTPResponse,
    httpRequestFailed,
    deserializationError,
    unknown,
  };

  // The domain the error has when bridged to an error object.
  static constexpr std::string_view domain = "RvCocoa.RvCocoaURLError";

  // "Response is not NSHTTPURLResponse `<response>`."
  static RvCocoaURLError nonHTTPResponse(std::shared_ptr<const foundation::URLResponse> response);
  // "HTTP request failed with `<status code>`."
  static RvCocoaURLError httpRequestFailed(
      std::shared_ptr<const foundation::HTTPURLResponse> response,
      std::optional<foundation::Data> data);
  // "Error during deserialization of the response: <error>"
  static RvCocoaURLError deserializationError(Error error);
  // "Unknown error has occurred."
  static RvCocoaURLError unknown();

  Kind kind() const noexcept { return kind_; }
  // The payload; each is empty for the cases that do not carry it. The
  // response of `httpRequestFailed` is an HTTPURLResponse.
  const std::shared_ptr<const foundation::URLResponse>& response() const noexcept {
    return response_;
  }
  std::shared_ptr<const foundation::HTTPURLResponse> httpResponse() const noexcept;
  const std::optional<foundation::Data>& data() const noexcept { return data_; }
  const Error& error() const noexcept { return error_; }

  const std::string& debugDescription() const noexcept { return text_; }
  const char* what() const noexcept override { return text_.c_str(); }

  // The error as an error object: `domain`, and the case's position
  // (counted from 0) as its code.
  std::shared_ptr<foundation::NSError> toNSError() const;

 private:
  explicit RvCocoaURLError(Kind kind) : kind_(kind) {}

  Kind kind_;
  std::shared_ptr<const foundation::URLResponse> response_;
  std::optional<foundation::Data> data_;
  Error error_;
  std::string text_;
};

// The request log: off until a caller sets a predicate that answers true for
// the requests to log.
struct URLRequestLogging {
  using Predicate = std::function<bool(const foundation::URLRequest& request)>;

  // The process-wide predicate; initially false for every request. Read on
  // the subscribing thread and on the completion thread; may be replaced at
  // any time from any thread; an empty predicate turns the log off again.
  static Predicate shouldLog();
  static void setShouldLog(Predicate predicate);

  // The request as a curl command line:
  //   curl -X <method> [-d "<body>" ]{\n    -H "<name>: <value>" }\n"<url>" -i -v
  // The method defaults to GET; the body appears only when it is UTF-8 text;
  // a missing URL is "<unknown url>". Only double quotes are escaped.
  static std::string curlCommand(const foundation::URLRequest& request);
  // "Success (<ms>ms): Status <code>" for a 2xx HTTP answer, "Failure
  // (<ms>ms): Status <code>" for another; without an HTTP answer, "Canceled
  // (<ms>ms)" for a cancelled request, "Failure (<ms>ms): NSError > <error>"
  // for another error, "<Unhandled response from server>" for neither. The
  // milliseconds are `elapsed` seconds times 1000, truncated.
  static std::string outcomeLine(const std::shared_ptr<const foundation::URLResponse>& response,
                                 const std::shared_ptr<const foundation::NSError>& error,
                                 double elapsed);
  // Every double quote becomes a backslash and a double quote.
  static std::string escapeDoubleQuotes(std::string_view text);

  URLRequestLogging() = delete;
};

// The answer of an HTTP request.
struct URLResponseAndData {
  std::shared_ptr<const foundation::HTTPURLResponse> response;
  foundation::Data data;
};

// The HTTP answer and its body, whatever its status code. Fails with the
// task's error (an NSErrorException), with `nonHTTPResponse` for an answer
// that is not HTTP, or with `unknown` when the session reported neither.
Ref<Observable<URLResponseAndData>> response(const Reactive<foundation::URLSession>& reactive,
                                             foundation::URLRequest request);

// The body of an answer with a status code from 200 to 299; any other fails
// with `httpRequestFailed` carrying the response and the body.
Ref<Observable<foundation::Data>> data(const Reactive<foundation::URLSession>& reactive,
                                       foundation::URLRequest request);

// The body of a 2xx answer read as JSON with `options`; unreadable JSON fails
// with `deserializationError` carrying the reader's error.
Ref<Observable<nlohmann::json>> json(const Reactive<foundation::URLSession>& reactive,
                                     foundation::URLRequest request,
                                     foundation::JSONReadingOptions options = {});
// The same for a GET of `url` (default cache policy, 60-second time-out, no
// options).
Ref<Observable<nlohmann::json>> json(const Reactive<foundation::URLSession>& reactive,
                                     const foundation::URL& url);

}  // namespace rv
