#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "foundation/Data.h"

namespace foundation {

// Standard Base64 (RFC 4648 alphabet, with padding, no line breaks).
std::string base64Encode(const uint8_t* bytes, size_t size);
inline std::string base64Encode(const Data& data) { return base64Encode(data.data(), data.size()); }
inline std::string base64Encode(std::string_view text) {
  return base64Encode(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Decodes standard Base64. Padding may be present or left out, but any
// character outside the alphabet (whitespace included), padding in the middle
// or a length that no encoder produces makes the whole text invalid:
// std::nullopt.
std::optional<Data> base64Decode(std::string_view text);

}  // namespace foundation
