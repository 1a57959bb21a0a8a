#include "foundation/URL.h"

#include <cctype>
#include <cstdio>

namespace foundation {

namespace {

bool isSchemeStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool isSchemeChar(char c) {
  return isSchemeStart(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// Characters a URL's text may hold as they are.
bool isURLChar(unsigned char c) { return c > 0x20 && c < 0x7f; }

bool isUnreservedOrSlash(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::optional<URL> URL::string(std::string_view text) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0 || !isSchemeStart(text[0])) return std::nullopt;
  for (size_t i = 1; i < colon; ++i) {
    if (!isSchemeChar(text[i])) return std::nullopt;
  }
  for (unsigned char c : text) {
    if (!isURLChar(c)) return std::nullopt;
  }
  return URL(std::string(text));
}

std::optional<URL> URL::fileURLWithPath(std::string_view path) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  std::string text = "file://";
  for (unsigned char c : path) {
    if (isUnreservedOrSlash(c)) {
      text += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      text += escaped;
    }
  }
  return URL(std::move(text));
}

std::string URL::scheme() const {
  std::string scheme = text_.substr(0, text_.find(':'));
  for (char& c : scheme) c = lower(c);
  return scheme;
}

}  // namespace foundation
