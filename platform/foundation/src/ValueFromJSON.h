#pragma once

// Reading a stored document back into a Value. The defaults file (JSON) and
// keyed archives (CBOR) share one layout: scalars stand as themselves, arrays
// hold their elements, and what the document format has no form for is a
// one-key map: {"$date": seconds since the reference date} or
// {"$dict": {key: value, ...}}. Each format adds shapes of its own (the
// defaults file's "$data", an archive's objects), which its reader decodes.

#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "foundation/Value.h"

namespace foundation::detail {

inline constexpr std::string_view kDateTag = "$date";
inline constexpr std::string_view kDictTag = "$dict";

// The Value `j` holds. A map that is not a well-formed "$date" or "$dict" goes
// to `other` (called as `other(j)`, answering std::optional<Value>), which
// decodes the reader's own shapes and answers std::nullopt for any other.
// Returns std::nullopt when any value inside is of no known shape; stops at
// the first. Recursive: the document's depth must have been limited when it
// was parsed (DepthLimitedJSON.h).
template <class Other>
std::optional<Value> valueFromJSON(const nlohmann::json& j, const Other& other) {
  using json = nlohmann::json;
  switch (j.type()) {
    case json::value_t::null:
      return Value();
    case json::value_t::boolean:
      return Value(j.get<bool>());
    case json::value_t::number_integer:
      return Value(j.get<int64_t>());
    case json::value_t::number_unsigned:
      return Value(j.get<uint64_t>());
    case json::value_t::number_float:
      return Value(j.get<double>());
    case json::value_t::string:
      return Value(j.get<std::string>());
    case json::value_t::binary:
      return Value(Data(j.get_binary().begin(), j.get_binary().end()));
    case json::value_t::array: {
      Value::Array out;
      out.reserve(j.size());
      for (const auto& element : j) {
        auto v = valueFromJSON(element, other);
        if (!v) return std::nullopt;
        out.push_back(std::move(*v));
      }
      return Value(std::move(out));
    }
    case json::value_t::object: {
      if (j.size() == 1) {
        const std::string& tag = j.begin().key();
        const json& inner = j.begin().value();
        if (tag == kDateTag && inner.is_number()) return Value(dispatch::Date(inner.get<double>()));
        if (tag == kDictTag && inner.is_object()) {
          Value::Dictionary out;
          for (const auto& [key, element] : inner.items()) {
            auto v = valueFromJSON(element, other);
            if (!v) return std::nullopt;
            out.emplace(key, std::move(*v));
          }
          return Value(std::move(out));
        }
      }
      return other(j);
    }
    case json::value_t::discarded:
      break;
  }
  return std::nullopt;
}

}  // namespace foundation::detail
