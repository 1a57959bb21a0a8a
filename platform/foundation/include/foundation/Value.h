#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "dispatch/Time.h"
#include "foundation/Data.h"

namespace foundation {

class NSCoder;

// An object that can be written to and read from a keyed archive: the
// system's `NSSecureCoding` classes. Decoding runs `initWithCoder` on an
// object made by its class's factory (see `ArchivableClass`).
class NSCoding {
 public:
  virtual ~NSCoding() = default;
  // The class name written into archives and used in messages.
  virtual std::string_view className() const = 0;
  virtual void encodeWithCoder(NSCoder& coder) const = 0;
  // Reads the fields back; answering false fails the whole decoding.
  virtual bool initWithCoder(NSCoder& coder) = 0;
  // Value equality; the default is identity.
  virtual bool isEqual(const NSCoding& other) const { return this == &other; }
};

// A property-list-like value: what user defaults store and what keyed
// archives hold. Objects are archivable class instances; everything else is a
// plain value. Dictionaries have string keys.
class Value {
 public:
  using Array = std::vector<Value>;
  using Dictionary = std::map<std::string, Value, std::less<>>;
  using Object = std::shared_ptr<NSCoding>;
  using Date = dispatch::Date;

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool v) : storage_(v) {}
  template <std::signed_integral T>
  Value(T v) : storage_(static_cast<int64_t>(v)) {}
  // Unsigned values that fit are kept as signed integers, so a value reads
  // back the same after a trip through a file.
  template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>) Value(T v) {
    if (static_cast<uint64_t>(v) <= static_cast<uint64_t>(INT64_MAX)) {
      storage_ = static_cast<int64_t>(v);
    } else {
      storage_ = static_cast<uint64_t>(v);
    }
  }
  Value(double v) : storage_(v) {}
  Value(const char* v) : storage_(std::string(v)) {}
  Value(std::string_view v) : storage_(std::string(v)) {}
  Value(std::string v) : storage_(std::move(v)) {}
  Value(Data v) : storage_(std::move(v)) {}
  Value(Date v) : storage_(v) {}
  Value(Array v) : storage_(std::move(v)) {}
  Value(Dictionary v) : storage_(std::move(v)) {}
  template <class T>
  requires std::is_base_of_v<NSCoding, T> Value(std::shared_ptr<T> v)
      : storage_(objectStorage(std::move(v))) {}
  template <class T>
  Value(const std::optional<T>& v) {
    if (v) *this = Value(*v);
  }

  bool isNull() const { return std::holds_alternative<std::monostate>(storage_); }
  const bool* boolValue() const { return std::get_if<bool>(&storage_); }
  const int64_t* intValue() const { return std::get_if<int64_t>(&storage_); }
  const uint64_t* unsignedValue() const { return std::get_if<uint64_t>(&storage_); }
  const double* doubleValue() const { return std::get_if<double>(&storage_); }
  const std::string* stringValue() const { return std::get_if<std::string>(&storage_); }
  const Data* dataValue() const { return std::get_if<Data>(&storage_); }
  const Date* dateValue() const { return std::get_if<Date>(&storage_); }
  const Array* arrayValue() const { return std::get_if<Array>(&storage_); }
  const Dictionary* dictionaryValue() const { return std::get_if<Dictionary>(&storage_); }
  const Object* objectValue() const { return std::get_if<Object>(&storage_); }

  // A number of any kind (bool, integer, double) as the requested type, the
  // way a number object answers `boolValue` / `longLongValue` / `doubleValue`;
  // a double outside the range of int64 (or not a number) has no int64 value.
  std::optional<bool> asBool() const;
  std::optional<int64_t> asInt64() const;
  std::optional<double> asDouble() const;

  // Deep equality; objects compare with `isEqual`.
  friend bool operator==(const Value& a, const Value& b);

 private:
  using Storage = std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, Data,
                               Date, Array, Dictionary, Object>;
  static Storage objectStorage(Object object) {
    if (!object) return Storage();
    return Storage(std::in_place_type<Object>, std::move(object));
  }

  Storage storage_;
};

}  // namespace foundation
