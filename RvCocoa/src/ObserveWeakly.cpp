#include "RvCocoa/ObserveWeakly.h"

#include <memory>
#include <string_view>
#include <vector>

#include "RvCocoa/KVOObservable.h"
#include "RvCocoa/MessageObservation.h"
#include "RvStreams/FlatMapLatest.h"
#include "RvStreams/Just.h"
#include "RvStreams/Skip.h"
#include "RvStreams/StartWith.h"
#include "objc/NSNull.h"

namespace rv::cocoa_detail {

namespace {

using Sections = std::shared_ptr<const std::vector<std::string>>;
using Chain = Ref<Observable<OptionalObject>>;

// The components of `keyPath` without the "self" ones. Empty components stay:
// they fail as missing properties when their depth is reached.
std::vector<std::string> sectionsOf(const std::string& keyPath) {
  std::vector<std::string> sections;
  size_t start = 0;
  for (;;) {
    const size_t dot = keyPath.find('.', start);
    std::string section =
        keyPath.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (section != "self") sections.push_back(std::move(section));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return sections;
}

// Whether `object` is an instance of NSObject or of a class below it: only
// such objects can be observed further down the path.
bool isNSObjectInstance(objc::id object) {
  const objc::Class root = objc::NSObject::classObject();
  for (objc::Class cls = objc::object_getClass(object); cls != nullptr;
       cls = objc::class_getSuperclass(cls)) {
    if (cls == root) return true;
  }
  return false;
}

template <class E>
Chain fail(E error) {
  return rv::error<OptionalObject>(std::make_exception_ptr(std::move(error)));
}

// The chain for `target` and the sections from `index` on (at least one).
Chain observeWeaklyKeyPathFor(objc::id target, Sections sections, size_t index,
                              KeyValueObservingOptions options) {
  const std::string& name = (*sections)[index];
  objc::objc_property_t property =
      objc::class_getProperty(objc::object_getClass(target), name.c_str());
  if (property == nullptr) {
    return fail(RvCocoaError::invalidPropertyName(objc::Ref<objc::Object>(target), name));
  }
  const char* attributes = objc::property_getAttributes(property);
  const bool isWeak =
      std::string_view(attributes == nullptr ? "" : attributes).find(",W,") != std::string::npos;

  // Every link delivers its current value at once, so that the rest of the
  // path can be attached to it.
  auto link = KVOObservable<objc::Ref<objc::Object>>::create(
      target, name, options | KeyValueObservingOptions::initial, /*retainTarget=*/false);

  objc::Weak<objc::Object> weakTarget(target);
  return link | rv::flatMapLatest([weakTarget, sections, index, options, isWeak,
                                   name](const OptionalObject& value) -> Chain {
           if (!value) return rv::just(OptionalObject());
           if (!isNSObjectInstance(value->get())) {
             objc::Ref<objc::Object> source = weakTarget.load();
             return fail(RvCocoaError::invalidObjectOnKeyPath(
                 *value, source ? source.get() : objc::NSNull::null().get(), name));
           }
           if (!weakTarget.load()) return rv::empty<OptionalObject>();
           Chain next = index + 1 == sections->size()
                            ? rv::just(value)
                            : observeWeaklyKeyPathFor(value->get(), sections, index + 1, options);
           if (isWeak) next = finishWithNilWhenDeallocating(std::move(next), value->get());
           return next;
         });
}

}  // namespace

Chain finishWithNilWhenDeallocating(Chain source, objc::id object) {
  Ref<Observable<Unit>> deallocatingSequence;
  {
    objc::Synchronized lock(object);
    deallocatingSequence = deallocating(object);
  }
  return deallocatingSequence |
         rv::map([](const Unit&) -> Chain { return rv::just(OptionalObject()); }) |
         rv::startWith(std::move(source)) | rv::switchLatest();
}

Chain observeWeaklyKeyPathFor(objc::id base, const std::string& keyPath,
                              KeyValueObservingOptions options) {
  auto sections = std::make_shared<const std::vector<std::string>>(sectionsOf(keyPath));
  if (sections->empty()) {
    // Nothing to observe: "self" alone names no property of the object.
    return fail(RvCocoaError::invalidPropertyName(objc::Ref<objc::Object>(base), keyPath));
  }
  Chain chain = finishWithNilWhenDeallocating(
      observeWeaklyKeyPathFor(base, std::move(sections), 0, options), base);
  if (options.contains(KeyValueObservingOptions::initial)) return chain;
  // The chain always starts with the current value.
  return chain | rv::skip(1);
}

}  // namespace rv::cocoa_detail
