#include "foundation/URLResponse.h"

#include <cstdio>

#include "foundation/URLRequest.h"

namespace foundation {

namespace {
std::string pointerText(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}
}  // namespace

std::shared_ptr<URLResponse> URLResponse::create(std::optional<URL> url) {
  return std::shared_ptr<URLResponse>(new URLResponse(std::move(url)));
}

std::string URLResponse::urlText() const { return url_ ? url_->absoluteString() : "(null)"; }

std::string URLResponse::description() const {
  return "<URLResponse: " + pointerText(this) + "> { URL: " + urlText() + " }";
}

std::shared_ptr<HTTPURLResponse> HTTPURLResponse::create(std::optional<URL> url, int64_t statusCode,
                                                         HeaderFields headerFields) {
  return std::shared_ptr<HTTPURLResponse>(
      new HTTPURLResponse(std::move(url), statusCode, std::move(headerFields)));
}

std::optional<std::string> HTTPURLResponse::value(std::string_view field) const {
  for (const auto& [name, value] : headerFields_) {
    if (sameHeaderFieldName(name, field)) return value;
  }
  return std::nullopt;
}

std::string HTTPURLResponse::description() const {
  return "<HTTPURLResponse: " + pointerText(this) + "> { URL: " + urlText() +
         " } { Status Code: " + std::to_string(statusCode_) + " }";
}

}  // namespace foundation
