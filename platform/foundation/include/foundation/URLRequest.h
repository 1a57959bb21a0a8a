#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/Data.h"
#include "foundation/URL.h"

namespace foundation {

// How a request may use cached answers. There is no cache here: every policy
// loads from the network; the value travels with the request for callers
// that set or read it.
enum class URLRequestCachePolicy {
  useProtocolCachePolicy = 0,
  reloadIgnoringLocalCacheData = 1,
  returnCacheDataElseLoad = 2,
  returnCacheDataDontLoad = 3,
};

// What to load: a URL, an HTTP method, header fields, a body, a time-out.
// A value type.
class URLRequest {
 public:
  using HeaderFields = std::vector<std::pair<std::string, std::string>>;

  static constexpr double kDefaultTimeoutInterval = 60;

  // A request without a URL (a session fails it as an unsupported URL).
  URLRequest() = default;
  explicit URLRequest(
      URL url, URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::useProtocolCachePolicy,
      double timeoutInterval = kDefaultTimeoutInterval)
      : url_(std::move(url)), cachePolicy_(cachePolicy), timeoutInterval_(timeoutInterval) {}

  const std::optional<URL>& url() const { return url_; }
  void setURL(std::optional<URL> url) { url_ = std::move(url); }

  // The method as set; absent means "GET".
  const std::optional<std::string>& httpMethod() const { return httpMethod_; }
  void setHTTPMethod(std::optional<std::string> method) { httpMethod_ = std::move(method); }

  const std::optional<Data>& httpBody() const { return httpBody_; }
  void setHTTPBody(std::optional<Data> body) { httpBody_ = std::move(body); }

  URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
  void setCachePolicy(URLRequestCachePolicy policy) { cachePolicy_ = policy; }

  // Seconds the request may stay idle (no byte sent or received, connecting
  // included) before it fails as timed out. A value that is not positive
  // stands for the default of 60.
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }

  // The header fields in the order they were first set. Names compare
  // without regard to case.
  const HeaderFields& allHTTPHeaderFields() const { return headers_; }
  // The value of the field, or nothing.
  std::optional<std::string> value(std::string_view field) const;
  // Sets the field (replacing a value of any spelling of its name, keeping
  // its place); nothing removes it.
  void setValue(std::optional<std::string> value, std::string_view field);
  // Appends to the field's value, comma-separated, or sets it.
  void addValue(std::string_view value, std::string_view field);

  friend bool operator==(const URLRequest&, const URLRequest&) = default;

 private:
  std::optional<URL> url_;
  std::optional<std::string> httpMethod_;
  std::optional<Data> httpBody_;
  URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::useProtocolCachePolicy;
  double timeoutInterval_ = kDefaultTimeoutInterval;
  HeaderFields headers_;
};

// Whether two header-field names are the same name (ASCII case ignored).
bool sameHeaderFieldName(std::string_view a, std::string_view b);

// Whether a header field can go on the wire as it is: a token for a name and
// no line break or NUL in the value (anything else could forge further
// fields). A session never sends one that is not.
bool isSendableHeaderField(std::string_view name, std::string_view value);

}  // namespace foundation
