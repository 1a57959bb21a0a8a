#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "foundation/URL.h"

namespace foundation {

// The answer to a request that is not HTTP (a file, for instance): the URL
// that was loaded. Immutable; shared by `std::shared_ptr`.
class URLResponse {
 public:
  static std::shared_ptr<URLResponse> create(std::optional<URL> url);
  virtual ~URLResponse() = default;

  const std::optional<URL>& url() const { return url_; }
  // "<URLResponse: 0x...> { URL: <url> }".
  virtual std::string description() const;

 protected:
  explicit URLResponse(std::optional<URL> url) : url_(std::move(url)) {}
  std::string urlText() const;

 private:
  std::optional<URL> url_;
};

// The answer of an HTTP server: the URL finally loaded (after redirects), the
// status code and the header fields of the last answer, in the order they
// came.
class HTTPURLResponse final : public URLResponse {
 public:
  using HeaderFields = std::vector<std::pair<std::string, std::string>>;

  static std::shared_ptr<HTTPURLResponse> create(std::optional<URL> url, int64_t statusCode,
                                                 HeaderFields headerFields);

  int64_t statusCode() const { return statusCode_; }
  const HeaderFields& allHeaderFields() const { return headerFields_; }
  // The value of the field (name compared without case), or nothing.
  std::optional<std::string> value(std::string_view field) const;
  // "<HTTPURLResponse: 0x...> { URL: <url> } { Status Code: <code> }".
  std::string description() const override;

 private:
  HTTPURLResponse(std::optional<URL> url, int64_t statusCode, HeaderFields headerFields)
      : URLResponse(std::move(url)),
        statusCode_(statusCode),
        headerFields_(std::move(headerFields)) {}

  int64_t statusCode_;
  HeaderFields headerFields_;
};

}  // namespace foundation
