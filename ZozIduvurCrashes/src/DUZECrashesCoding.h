#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "foundation/KeyedArchive.h"

namespace duzecrashes {

// A number archived from an unsigned 64-bit value (kept signed when it fits).
inline std::optional<uint64_t> decodeUnsigned(foundation::NSCoder& coder, std::string_view key) {
  foundation::Value value = coder.decodeObjectForKey(key);
  if (const auto* u = value.unsignedValue()) return *u;
  if (const auto* i = value.intValue()) return static_cast<uint64_t>(*i);
  return std::nullopt;
}

}  // namespace duzecrashes
