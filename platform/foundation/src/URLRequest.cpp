#include "foundation/URLRequest.h"

namespace foundation {

namespace {
char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

bool sameHeaderFieldName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

bool isSendableHeaderField(std::string_view name, std::string_view value) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (c <= 0x20 || c >= 0x7f || c == ':') return false;
  }
  for (char c : value) {
    if (c == '\r' || c == '\n' || c == '\0') return false;
  }
  return true;
}

std::optional<std::string> URLRequest::value(std::string_view field) const {
  for (const auto& [name, value] : headers_) {
    if (sameHeaderFieldName(name, field)) return value;
  }
  return std::nullopt;
}

void URLRequest::setValue(std::optional<std::string> value, std::string_view field) {
  for (auto it = headers_.begin(); it != headers_.end(); ++it) {
    if (!sameHeaderFieldName(it->first, field)) continue;
    if (value) {
      it->second = std::move(*value);
    } else {
      headers_.erase(it);
    }
    return;
  }
  if (value) headers_.emplace_back(std::string(field), std::move(*value));
}

void URLRequest::addValue(std::string_view value, std::string_view field) {
  for (auto& [name, existing] : headers_) {
    if (!sameHeaderFieldName(name, field)) continue;
    existing += ",";
    existing += value;
    return;
  }
  headers_.emplace_back(std::string(field), std::string(value));
}

}  // namespace foundation
