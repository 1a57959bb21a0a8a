#pragma once

#include <concepts>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Data.h"
#include "foundation/NSError.h"
#include "foundation/Value.h"

namespace foundation {

// A class that archives may name: its name and a factory that makes an empty
// instance for `initWithCoder`. Plain value kinds (strings, numbers, dates,
// data, arrays, dictionaries, null) need no entry; names such as "NSDate" may
// still be listed, without a factory, and are then accepted and ignored.
struct ArchivableClass {
  std::string name;
  std::function<std::shared_ptr<NSCoding>()> make;

  template <class T>
  static ArchivableClass of() {
    return {std::string(T::kClassName), [] { return std::make_shared<T>(); }};
  }
  static ArchivableClass named(std::string_view name) { return {std::string(name), nullptr}; }
};

inline constexpr std::string_view NSKeyedArchiveErrorDomain = "NSKeyedArchiveErrorDomain";
// Error codes of the keyed archives.
enum : int64_t {
  NSKeyedArchiveErrorInvalidData = 4864,   // not an archive, or a value of an unknown shape
  NSKeyedArchiveErrorClassRefused = 4865,  // a class outside the allow-list
  NSKeyedArchiveErrorEncoding = 4866,      // an object could not be written
};

namespace detail {
struct CoderState;
}

// The coder handed to `encodeWithCoder` and `initWithCoder`: one object's
// fields under their keys. A nil (null) value is not written, so decoding it
// answers "absent".
class NSCoder {
 public:
  // Encoding.
  void encodeObject(const Value& value, std::string_view key);
  // The common kinds of field are written without making a Value first
  // (same bytes, less work); an absent one is not written.
  template <class T>
  requires std::same_as<T, std::optional<std::string>> || std::same_as<T, std::optional<int64_t>> ||
      std::same_as<T, std::optional<Value::Date>>
  void encodeObject(const T& value, std::string_view key) {
    if (value) encodeField(*value, key);
  }
  // An object already archived on its own (the bytes of
  // `NSKeyedArchiver::archivedDataWithRootObject`), as `encodeObject` writes
  // it: an object written alike many times is archived once.
  void encodeArchivedObject(const Data& archive, std::string_view key);
  // A dictionary of strings, as `encodeObject` writes a Value dictionary.
  void encodeStringDictionary(const std::map<std::string, std::string>& entries,
                              std::string_view key);
  void encodeBool(bool value, std::string_view key) { encodeObject(Value(value), key); }
  void encodeInt64(int64_t value, std::string_view key) { encodeObject(Value(value), key); }
  void encodeDouble(double value, std::string_view key) { encodeObject(Value(value), key); }

  // Decoding. Each accessor answers std::nullopt (or null, false, 0) when the
  // key is absent or holds a value of another kind.
  bool containsValueForKey(std::string_view key) const;
  Value decodeObjectForKey(std::string_view key);
  std::optional<std::string> decodeStringForKey(std::string_view key);
  std::optional<Value::Date> decodeDateForKey(std::string_view key);
  std::optional<Data> decodeDataForKey(std::string_view key);
  std::optional<int64_t> decodeNumberForKey(std::string_view key);
  std::optional<double> decodeDoubleNumberForKey(std::string_view key);
  bool decodeBoolForKey(std::string_view key);
  int64_t decodeInt64ForKey(std::string_view key) { return decodeNumberForKey(key).value_or(0); }
  double decodeDoubleForKey(std::string_view key) {
    return decodeDoubleNumberForKey(key).value_or(0);
  }
  std::optional<std::vector<std::string>> decodeStringArrayForKey(std::string_view key);
  std::optional<std::map<std::string, std::string>> decodeStringDictionaryForKey(
      std::string_view key);

  template <class T>
  std::shared_ptr<T> decodeObjectOfClass(std::string_view key) {
    Value v = decodeObjectForKey(key);
    if (auto* object = v.objectValue()) return std::dynamic_pointer_cast<T>(*object);
    return nullptr;
  }
  // An array whose every element is a T; std::nullopt when absent or when an
  // element is of another kind.
  template <class T>
  std::optional<std::vector<std::shared_ptr<T>>> decodeArrayOfClass(std::string_view key) {
    Value v = decodeObjectForKey(key);
    const auto* array = v.arrayValue();
    if (!array) return std::nullopt;
    std::vector<std::shared_ptr<T>> out;
    out.reserve(array->size());
    for (const auto& element : *array) {
      const auto* object = element.objectValue();
      auto typed = object ? std::dynamic_pointer_cast<T>(*object) : nullptr;
      if (!typed) return std::nullopt;
      out.push_back(std::move(typed));
    }
    return out;
  }

  explicit NSCoder(detail::CoderState* state) : state_(state) {}
  NSCoder(const NSCoder&) = delete;
  NSCoder& operator=(const NSCoder&) = delete;

 private:
  void encodeField(std::string_view text, std::string_view key);
  void encodeField(int64_t number, std::string_view key);
  void encodeField(Value::Date date, std::string_view key);

  detail::CoderState* state_;
};

// Writes a value (usually one object) as a keyed archive: a CBOR document in
// which objects are maps holding their class name and their fields.
class NSKeyedArchiver {
 public:
  // The archive bytes, or std::nullopt (with `*error`) when the value cannot
  // be archived.
  static std::optional<Data> archivedDataWithRootObject(const Value& root,
                                                        std::shared_ptr<NSError>* error = nullptr);
};

// Reads a keyed archive. Every class named in it is first translated through
// `classNameMap` (old archived name -> class) and must then be one of
// `allowedClasses`; otherwise nothing is decoded.
class NSKeyedUnarchiver {
 public:
  struct Classes {
    std::map<std::string, ArchivableClass, std::less<>> allowed;  // by class name
    std::map<std::string, ArchivableClass, std::less<>> renamed;  // old name -> class
  };

  // The decoded value, or a null value (with `*error`) when the bytes are not
  // an archive, are nested too deeply, name a class that is not allowed, or an
  // object refuses its fields.
  static Value unarchivedObject(const Data& data, const Classes& classes,
                                std::shared_ptr<NSError>* error = nullptr);
};

}  // namespace foundation
