#pragma once

// Typed values from key-value observing, which delivers numbers boxed in
// NSNumber and geometry structures boxed in NSValue:
//
//   observe<objc::CGRect>(rv(view), "frame")        // std::optional<CGRect>
//   observeWeakly<int32_t>(rv(model), "owner.count")
//   observe<Mode>(rv(model), "mode")                // Mode raw-representable
//
// A type is rebuilt from its boxed value by its `KVORepresentable`
// specialisation; a raw-representable type (a `RawRepresentable`
// specialisation whose raw value is KVO-representable) is rebuilt through its
// raw value. Absent, NSNull and values that cannot be rebuilt arrive as
// absent, never as an error.

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>

#include "RvCocoa/KVOObservable.h"
#include "RvCocoa/ObserveWeakly.h"
#include "RvStreams/Map.h"
#include "objc/CGGeometry.h"
#include "objc/NSNumber.h"
#include "objc/NSValue.h"

namespace rv {

// Specialised for every type that can be rebuilt from the boxed value KVO
// delivers:
//   using KVOType = <NSValue or NSNumber>;
//   static std::optional<T> initWithKVOValue(const KVOType& value);
template <class T>
struct KVORepresentable;

template <class T>
concept KVORepresentableType = requires(const typename KVORepresentable<T>::KVOType& value) {
  { KVORepresentable<T>::initWithKVOValue(value) } -> std::same_as<std::optional<T>>;
};

// Specialised for every type made from a raw value (as an enumeration with
// some valid values):
//   using RawValue = <a type>;
//   static std::optional<T> initWithRawValue(const RawValue& rawValue);
template <class T>
struct RawRepresentable;

template <class T>
concept RawRepresentableType = requires(const typename RawRepresentable<T>::RawValue& raw) {
  { RawRepresentable<T>::initWithRawValue(raw) } -> std::same_as<std::optional<T>>;
};

// A raw-representable type whose raw value KVO can deliver.
template <class T>
concept KVORawRepresentableType =
    RawRepresentableType<T> && KVORepresentableType<typename RawRepresentable<T>::RawValue>;

namespace cocoa_detail {

// The structure of type G in `value` when its type encoding is exactly G's;
// read from a zero-filled buffer of G's size.
template <class G>
std::optional<G> geometryFromValue(const objc::NSValue& value) {
  if (std::string(value.objCType()) != objc::encode<G>() || value.size() != sizeof(G)) {
    return std::nullopt;
  }
  G geometry{};
  value.getValue(&geometry);
  return geometry;
}

}  // namespace cocoa_detail

template <>
struct KVORepresentable<objc::CGRect> {
  using KVOType = objc::NSValue;
  static std::optional<objc::CGRect> initWithKVOValue(const objc::NSValue& value) {
    return cocoa_detail::geometryFromValue<objc::CGRect>(value);
  }
};

template <>
struct KVORepresentable<objc::CGPoint> {
  using KVOType = objc::NSValue;
  static std::optional<objc::CGPoint> initWithKVOValue(const objc::NSValue& value) {
    return cocoa_detail::geometryFromValue<objc::CGPoint>(value);
  }
};

template <>
struct KVORepresentable<objc::CGSize> {
  using KVOType = objc::NSValue;
  static std::optional<objc::CGSize> initWithKVOValue(const objc::NSValue& value) {
    return cocoa_detail::geometryFromValue<objc::CGSize>(value);
  }
};

// Numbers convert as the number's accessor of the target's width converts
// them (wrapping to 32 bits for the 32-bit types). The machine-word integer is
// read at its full width: reading it through the 32-bit accessor would lose
// every value outside the 32-bit range.
template <>
struct KVORepresentable<int64_t> {
  using KVOType = objc::NSNumber;
  static std::optional<int64_t> initWithKVOValue(const objc::NSNumber& value) {
    return static_cast<int64_t>(value.longLongValue());
  }
};

template <>
struct KVORepresentable<int32_t> {
  using KVOType = objc::NSNumber;
  static std::optional<int32_t> initWithKVOValue(const objc::NSNumber& value) {
    return static_cast<int32_t>(value.intValue());
  }
};

template <>
struct KVORepresentable<uint64_t> {
  using KVOType = objc::NSNumber;
  static std::optional<uint64_t> initWithKVOValue(const objc::NSNumber& value) {
    return static_cast<uint64_t>(value.unsignedLongLongValue());
  }
};

template <>
struct KVORepresentable<uint32_t> {
  using KVOType = objc::NSNumber;
  static std::optional<uint32_t> initWithKVOValue(const objc::NSNumber& value) {
    return static_cast<uint32_t>(value.unsignedIntValue());
  }
};

template <>
struct KVORepresentable<bool> {
  using KVOType = objc::NSNumber;
  static std::optional<bool> initWithKVOValue(const objc::NSNumber& value) {
    return static_cast<bool>(value.boolValue());
  }
};

// The value rebuilt from an optional boxed value: absent stays absent.
template <KVORepresentableType T>
std::optional<T> fromKVOValue(
    const std::optional<objc::Ref<typename KVORepresentable<T>::KVOType>>& value) {
  if (!value || !*value) return std::nullopt;
  return KVORepresentable<T>::initWithKVOValue(**value);
}

// A raw-representable value: the raw value first, then the value made from
// it; either failing gives absent.
template <KVORawRepresentableType T>
std::optional<T> fromKVOValue(
    const std::optional<
        objc::Ref<typename KVORepresentable<typename RawRepresentable<T>::RawValue>::KVOType>>&
        value) {
  const auto raw = fromKVOValue<typename RawRepresentable<T>::RawValue>(value);
  if (!raw) return std::nullopt;
  return RawRepresentable<T>::initWithRawValue(*raw);
}

namespace cocoa_detail {

template <class T>
struct BoxedTypeOf {
  using type = typename KVORepresentable<T>::KVOType;
};
template <KVORawRepresentableType T>
struct BoxedTypeOf<T> {
  using type = typename KVORepresentable<typename RawRepresentable<T>::RawValue>::KVOType;
};

// A KVO-representable or raw-representable type.
template <class T>
concept KVOConvertible = KVORepresentableType<T> || KVORawRepresentableType<T>;

template <class T>
auto rebuildEach() {
  using Boxed = objc::Ref<typename BoxedTypeOf<T>::type>;
  return rv::map([](const std::optional<Boxed>& value) { return fromKVOValue<T>(value); });
}

}  // namespace cocoa_detail

// `observe` of a property whose values are rebuilt as E (see KVOObservable.h
// for the key path, the options and `retainSelf`).
template <class E, class B>
requires std::derived_from<B, objc::Object> && cocoa_detail::KVOConvertible<E>
    Ref<Observable<std::optional<E>>> observe(
        const Reactive<B>& reactive, std::string keyPath,
        KeyValueObservingOptions options = {KeyValueObservingOptions::newValue,
                                            KeyValueObservingOptions::initial},
        bool retainSelf = true) {
  using Boxed = objc::Ref<typename cocoa_detail::BoxedTypeOf<E>::type>;
  return observe<Boxed>(reactive, std::move(keyPath), options, retainSelf) |
         cocoa_detail::rebuildEach<E>();
}

// `observeWeakly` of a key path whose values are rebuilt as E (see
// ObserveWeakly.h).
template <class E, class B>
requires std::derived_from<B, objc::Object> && cocoa_detail::KVOConvertible<E>
    Ref<Observable<std::optional<E>>> observeWeakly(const Reactive<B>& reactive,
                                                    const std::string& keyPath,
                                                    KeyValueObservingOptions options = {
                                                        KeyValueObservingOptions::newValue,
                                                        KeyValueObservingOptions::initial}) {
  using Boxed = objc::Ref<typename cocoa_detail::BoxedTypeOf<E>::type>;
  return observeWeakly<Boxed>(reactive, keyPath, options) | cocoa_detail::rebuildEach<E>();
}

}  // namespace rv
