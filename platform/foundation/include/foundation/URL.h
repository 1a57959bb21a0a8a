#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// An absolute URL, kept as its text. A value type.
class URL {
 public:
  // The URL for `text`, or nothing when `text` is not an absolute URL: it
  // needs a scheme (a letter, then letters, digits, "+", "-" or ".", then
  // ":") and may not hold blanks, control characters or bytes above 127.
  static std::optional<URL> string(std::string_view text);
  // A "file://" URL for an absolute path, with every byte outside the
  // unreserved characters and "/" percent-encoded. Nothing for a relative
  // or empty path.
  static std::optional<URL> fileURLWithPath(std::string_view path);

  const std::string& absoluteString() const { return text_; }
  // The scheme in lower case ("http", "file").
  std::string scheme() const;

  friend bool operator==(const URL&, const URL&) = default;

 private:
  explicit URL(std::string text) : text_(std::move(text)) {}
  std::string text_;
};

}  // namespace foundation
