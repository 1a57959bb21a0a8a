#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "ZozIduvur/DUZESerializableObject.h"
#include "foundation/KeyedArchive.h"

namespace duzecrashes {

// A number archived from an unsigned 64-bit value (kept signed when it fits).
inline std::optional<uint64_t> decodeUnsigned(foundation::NSCoder& coder, std::string_view key) {
  foundation::Value value = coder.decodeObjectForKey(key);
  if (const auto* u = value.unsignedValue()) return *u;
  if (const auto* i = value.intValue()) return static_cast<uint64_t>(*i);
  return std::nullopt;
}

// A list of models put under key as an array of their dictionaries (null for
// an empty slot), when there is a list.
template <class T>
void putObjects(nlohmann::ordered_json& out, const char* key,
                const std::optional<std::vector<std::shared_ptr<T>>>& objects) {
  if (!objects) return;
  nlohmann::ordered_json array = nlohmann::ordered_json::array();
  for (const auto& object : *objects)
    array.push_back(object ? object->serializeToDictionary() : nlohmann::ordered_json(nullptr));
  out[key] = std::move(array);
}

// The same list archived under key, when there is a list.
template <class T>
void encodeObjects(foundation::NSCoder& coder, std::string_view key,
                   const std::optional<std::vector<std::shared_ptr<T>>>& objects) {
  if (objects) coder.encodeObject(duze::objectArray(*objects), key);
}

}  // namespace duzecrashes
