#pragma once

// A dotted key path ("a.b.c") followed through a chain of objects of the
// runtime, none of which is kept alive by the observation:
//
//   observeWeakly<std::string>(rv(window), "controller.document.title")
//
// Each component is observed with its own KVO sequence (always asking for the
// current value); when an object on the path is replaced, the rest of the
// path is observed anew on the new object and the old registrations are
// removed. An absent object on the path gives an absent value. Properties
// declared weak, and the base object itself, are watched for deallocation:
// when one of them starts deallocating, one absent value is emitted, and the
// sequence completes when the base object is gone.
//
// Fails with `RvCocoaError::invalidPropertyName` when an object on the path
// does not declare the next component as a property (also for a path with no
// component left once "self" components are dropped), with
// `invalidObjectOnKeyPath` when a value on the path is not an NSObject, and
// with the runtime's error when its deallocation cannot be observed.
//
// Values arrive on the thread that changed the property.

#include <optional>
#include <string>

#include "RvCocoa/KeyValueObservingOptions.h"
#include "RvCocoa/ObjectReactive.h"
#include "RvCocoa/RvCocoaError.h"
#include "RvStreams/Map.h"
#include "RvStreams/Observable.h"
#include "objc/Runtime.h"

namespace rv {

namespace cocoa_detail {

// An optional object reference: what each link of the chain delivers.
using OptionalObject = std::optional<objc::Ref<objc::Object>>;

// The chain for the whole key path of `base` (see the top of this header),
// before the conversion to the caller's element type.
Ref<Observable<OptionalObject>> observeWeaklyKeyPathFor(objc::id base, const std::string& keyPath,
                                                        KeyValueObservingOptions options);

// `source`'s values until `object` starts deallocating; then one absent value,
// and completion once `object` is gone. Fails with the runtime's error when
// the deallocation of `object` cannot be observed.
Ref<Observable<OptionalObject>> finishWithNilWhenDeallocating(
    Ref<Observable<OptionalObject>> source, objc::id object);

}  // namespace cocoa_detail

// The values at `keyPath` of the object, followed weakly, as optional
// Elements (absent for nil and for values that are not Elements).
template <class Element, class B>
requires std::derived_from<B, objc::Object> Ref<Observable<std::optional<Element>>> observeWeakly(
    const Reactive<B>& reactive, const std::string& keyPath,
    KeyValueObservingOptions options = {KeyValueObservingOptions::newValue,
                                        KeyValueObservingOptions::initial}) {
  return cocoa_detail::observeWeaklyKeyPathFor(reactive.base().get(), keyPath, options) |
         rv::map([](const cocoa_detail::OptionalObject& value) -> std::optional<Element> {
           if (!value) return std::nullopt;
           return cocoa_detail::conditionalCast<Element>(*value);
         });
}

}  // namespace rv
