#pragma once

// A property of an object of the runtime as a sequence, through key-value
// observing: by a key path string (`observe<Element>(rv(object), "title")`,
// elements are optional: absent for nil, NSNull or a value that is not an
// Element) or by a typed key path (`observe(rv(object), KeyPath<B, V>{...},
// options)`, which also completes when the object is deallocated).
//
// Notifications arrive on the thread that changed the property; those of one
// subscription are serialised. The string form never errors or completes:
// without `retainSelf` the caller keeps the object alive while subscribed.

#include <functional>
#include <optional>
#include <string>

#include "RvCocoa/KeyValueObservingOptions.h"
#include "RvCocoa/MessageObservation.h"
#include "RvCocoa/ObjectReactive.h"
#include "RvCocoa/RvCocoaError.h"
#include "RvCocoa/_RVKVOObserver.h"
#include "RvStreams/Create.h"
#include "RvStreams/Disposables.h"
#include "RvStreams/Observable.h"
#include "RvStreams/Take.h"
#include "objc/NSKeyValueObserving.h"
#include "objc/NSNull.h"

namespace rv {

// What a KVO observer reads from the sequence that made it.
class KVOObservableProtocol {
 public:
  virtual objc::Ref<objc::Object> target() const = 0;
  virtual const std::string& keyPath() const = 0;
  virtual bool retainTarget() const = 0;
  virtual KeyValueObservingOptions options() const = 0;

 protected:
  ~KVOObservableProtocol() = default;
};

// One subscription's KVO observer: registered from creation to `dispose`,
// and kept alive by itself for that time.
class KVOObserver final : public _RVKVOObserver {
 public:
  static objc::Class classObject();

  // Registers for `parent`'s target, key path and options; `callback` gets
  // each new value (null when there is none).
  static objc::Ref<KVOObserver> create(const KVOObservableProtocol& parent,
                                       std::function<void(objc::Ref<objc::Object>)> callback);

  // Unregisters, then lets go of itself.
  void dispose();

 private:
  friend struct objc::detail::InstanceAccess;
  KVOObserver() = default;

  objc::Ref<KVOObserver> retainSelf_;
};

template <class Element>
class KVOObservable final : public Observable<std::optional<Element>>,
                            public KVOObservableProtocol {
 public:
  static Ref<KVOObservable> create(objc::id object, std::string keyPath,
                                   KeyValueObservingOptions options, bool retainTarget) {
    return std::make_shared<KVOObservable>(object, std::move(keyPath), options, retainTarget);
  }

  KVOObservable(objc::id object, std::string keyPath, KeyValueObservingOptions options,
                bool retainTarget)
      : target_(object),
        strongTarget_(retainTarget ? objc::Ref<objc::Object>(object) : nullptr),
        keyPath_(std::move(keyPath)),
        options_(options),
        retainTarget_(retainTarget) {}

  Ref<Disposable> subscribe(Ref<ObserverType<std::optional<Element>>> observer) override {
    objc::Ref<KVOObserver> kvo =
        KVOObserver::create(*this, [observer](const objc::Ref<objc::Object>& value) {
          if (!value || value.get() == objc::NSNull::null().get()) {
            observer->on(Event<std::optional<Element>>::next(std::nullopt));
          } else {
            observer->on(
                Event<std::optional<Element>>::next(cocoa_detail::conditionalCast<Element>(value)));
          }
        });
    return Disposables::create([kvo] { kvo->dispose(); });
  }

  // KVOObservableProtocol:
  objc::Ref<objc::Object> target() const override { return target_.load(); }
  const std::string& keyPath() const override { return keyPath_; }
  bool retainTarget() const override { return retainTarget_; }
  KeyValueObservingOptions options() const override { return options_; }

 private:
  objc::Weak<objc::Object> target_;
  objc::Ref<objc::Object> strongTarget_;
  std::string keyPath_;
  KeyValueObservingOptions options_;
  bool retainTarget_;
};

// The values of the property at `keyPath` of the object, as optional
// Elements.
template <class Element, class B>
requires std::derived_from<B, objc::Object> Ref<Observable<std::optional<Element>>> observe(
    const Reactive<B>& reactive, std::string keyPath,
    KeyValueObservingOptions options = {KeyValueObservingOptions::newValue,
                                        KeyValueObservingOptions::initial},
    bool retainSelf = true) {
  auto source = KVOObservable<Element>::create(reactive.base().get(), std::move(keyPath), options,
                                               retainSelf);
  return rv::create<std::optional<Element>>(
      [source](AnyObserver<std::optional<Element>> observer) -> Ref<Disposable> {
        return source->subscribe(std::make_shared<AnyObserver<std::optional<Element>>>(observer));
      });
}

// A typed key path: the key the platform observes and how to read its value.
template <class B, class V>
struct KeyPath {
  std::string key;
  std::function<V(B&)> read;
};

// The values of `keyPath` of the object, read from the object at each
// notification, with the platform's own options (NSKeyValueObservingOptions
// bits); completes when the object is deallocated.
template <class B, class V>
requires std::derived_from<B, objc::Object> Ref<Observable<V>> observe(const Reactive<B>& reactive,
                                                                       KeyPath<B, V> keyPath,
                                                                       objc::NSUInteger options) {
  objc::Weak<B> weakBase(reactive.base());
  auto changes =
      rv::create<V>([weakBase, keyPath, options](AnyObserver<V> observer) -> Ref<Disposable> {
        objc::Ref<B> base = weakBase.load();
        if (!base) return Disposables::create();
        objc::Ref<objc::NSKeyValueObservation> observation = objc::NSKeyValueObservation::observe(
            base.get(), keyPath.key, options,
            [observer, read = keyPath.read](objc::id object, objc::NSDictionary*) mutable {
              observer.onNext(read(*static_cast<B*>(object)));
            });
        return Disposables::create([observation] { observation->invalidate(); });
      });
  return changes | rv::takeUntil(deallocated(reactive));
}

}  // namespace rv
