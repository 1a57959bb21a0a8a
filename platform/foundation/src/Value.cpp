#include "foundation/Value.h"

namespace foundation {

std::optional<bool> Value::asBool() const {
  if (auto* b = boolValue()) return *b;
  if (auto* i = intValue()) return *i != 0;
  if (auto* u = unsignedValue()) return *u != 0;
  if (auto* d = doubleValue()) return *d != 0;
  return std::nullopt;
}

std::optional<int64_t> Value::asInt64() const {
  if (auto* b = boolValue()) return *b ? 1 : 0;
  if (auto* i = intValue()) return *i;
  if (auto* u = unsignedValue()) return static_cast<int64_t>(*u);
  if (auto* d = doubleValue()) {
    // A double read from damaged bytes can be anything: beyond the range (or
    // not a number) it has no integer value.
    if (!(*d >= -0x1p63 && *d < 0x1p63)) return std::nullopt;
    return static_cast<int64_t>(*d);
  }
  return std::nullopt;
}

std::optional<double> Value::asDouble() const {
  if (auto* b = boolValue()) return *b ? 1.0 : 0.0;
  if (auto* i = intValue()) return static_cast<double>(*i);
  if (auto* u = unsignedValue()) return static_cast<double>(*u);
  if (auto* d = doubleValue()) return *d;
  return std::nullopt;
}

bool operator==(const Value& a, const Value& b) {
  if (a.storage_.index() != b.storage_.index()) return false;
  if (auto* x = a.objectValue()) {
    const auto& y = *b.objectValue();
    if (*x == y) return true;
    if (!*x || !y) return false;
    return (*x)->isEqual(*y);
  }
  if (auto* x = a.doubleValue()) return *x == *b.doubleValue();
  return a.storage_ == b.storage_;
}

}  // namespace foundation
