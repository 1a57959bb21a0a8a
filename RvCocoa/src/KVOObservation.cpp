#include "RvCocoa/CocoaFatalError.h"
#include "RvCocoa/KVOObservable.h"
#include "RvCocoa/_RVKVOObserver.h"
#include "Selectors.h"
#include "objc/ClassBuilder.h"
#include "objc/Message.h"
#include "objc/NSDictionary.h"
#include "objc/NSString.h"

namespace rv {

using objc::BOOL;
using objc::Class;
using objc::id;
using objc::NSUInteger;
using objc::SEL;

struct RVKVOObserverMethods {
  static objc::Ref<objc::Object> initWithTarget(_RVKVOObserver* self, SEL, id target,
                                                BOOL retainTarget, objc::NSString* keyPath,
                                                NSUInteger options,
                                                _RVKVOObserver::Callback* callback) {
    static const SEL initSel = sel("init");
    objc::Ref<objc::Object> base =
        objc::sendSuper<objc::Ref<objc::Object>()>({self, objc::NSObject::classObject()}, initSel);
    if (!base) return nullptr;
    self->target_ = target;
    if (retainTarget) self->retainedTarget_ = objc::Ref<objc::Object>(target);
    self->keyPath_ = keyPath == nullptr ? std::string() : keyPath->string();
    self->callback_ = objc::Ref<_RVKVOObserver::Callback>(callback);
    objc::Ref<objc::Object> observed = self->target_.load();
    if (auto* object = dynamic_cast<objc::NSObject*>(observed.get())) {
      object->addObserver(self, self->keyPath_, options, nullptr);
    }
    return base;
  }

  static void observeValueForKeyPath(_RVKVOObserver* self, SEL, objc::NSString*, id,
                                     objc::NSDictionary* change, void*) {
    // One notification at a time per observer, whatever thread changes the
    // property.
    objc::Synchronized lock(self);
    objc::Ref<objc::Object> value = objc::changeValue(change, objc::NSKeyValueChangeNewKey);
    if (self->callback_) (*self->callback_)(value.get());
  }

  static void dispose(_RVKVOObserver* self, SEL) {
    objc::Ref<objc::Object> observed = self->target_.load();
    if (auto* object = dynamic_cast<objc::NSObject*>(observed.get())) {
      object->removeObserver(self, self->keyPath_, nullptr);
    }
    self->target_ = nullptr;
    self->retainedTarget_ = nullptr;
  }
};

Class _RVKVOObserver::classObject() {
  using M = RVKVOObserverMethods;
  static const Class cls =
      objc::ClassBuilder<_RVKVOObserver>("_RVKVOObserver", objc::NSObject::classObject())
          .method("initWithTarget:retainTarget:keyPath:options:callback:", &M::initWithTarget)
          .method("observeValueForKeyPath:ofObject:change:context:", &M::observeValueForKeyPath)
          .method("dispose", &M::dispose)
          .property("target", "T@,N,V_target")
          .property("retainedTarget", "T@,&,N,V_retainedTarget")
          .property("keyPath", "T@\"NSString\",C,N,V_keyPath")
          .property("callback", "T@?,C,N,V_callback")
          .build();
  return cls;
}

objc::Ref<_RVKVOObserver> _RVKVOObserver::create(id target, BOOL retainTarget,
                                                 const std::string& keyPath, NSUInteger options,
                                                 std::function<void(id)> callback) {
  auto observer = objc::alloc<_RVKVOObserver>();
  return objc::dynamicCast<_RVKVOObserver>(observer->initWithTarget(
      target, retainTarget, keyPath, options, Callback::create(std::move(callback)).get()));
}

objc::Ref<objc::Object> _RVKVOObserver::initWithTarget(id target, BOOL retainTarget,
                                                       const std::string& keyPath,
                                                       NSUInteger options, Callback* callback) {
  static const SEL message = sel("initWithTarget:retainTarget:keyPath:options:callback:");
  return objc::send<objc::Ref<objc::Object>(id, BOOL, objc::NSString*, NSUInteger, Callback*)>(
      this, message, target, retainTarget, objc::NSString::stringWithString(keyPath), options,
      callback);
}

void _RVKVOObserver::dispose() {
  static const SEL message = sel("dispose");
  objc::send<void()>(this, message);
}

// MARK: KVOObserver

Class KVOObserver::classObject() {
  static const Class cls =
      objc::ClassBuilder<KVOObserver>("RvCocoa.KVOObserver", _RVKVOObserver::classObject())
          // Only `create` makes one: the inherited initialisers would leave it
          // without its parent.
          .method<objc::Ref<objc::Object>()>(
              "init",
              [](KVOObserver*, SEL) -> objc::Ref<objc::Object> {
                cocoaFatalError(
                    "Use of unimplemented initializer 'init()' for class 'KVOObserver'");
              })
          .method<objc::Ref<objc::Object>(id, BOOL, objc::NSString*, NSUInteger, Callback*)>(
              "initWithTarget:retainTarget:keyPath:options:callback:",
              [](KVOObserver*, SEL, id, BOOL, objc::NSString*, NSUInteger,
                 Callback*) -> objc::Ref<objc::Object> {
                cocoaFatalError(
                    "Use of unimplemented initializer 'initWithTarget:retainTarget:keyPath:options:"
                    "callback:' for class 'KVOObserver'");
              })
          .build();
  return cls;
}

objc::Ref<KVOObserver> KVOObserver::create(const KVOObservableProtocol& parent,
                                           std::function<void(objc::Ref<objc::Object>)> callback) {
  objc::Ref<KVOObserver> observer =
      objc::dynamicCast<KVOObserver>(objc::class_createInstance(classObject()));
  // Registration is the base class's: run its initialiser directly.
  static const SEL initSel = sel("initWithTarget:retainTarget:keyPath:options:callback:");
  objc::Ref<objc::Object> target = parent.target();
  auto block = Callback::create([callback = std::move(callback)](id value) {
    // An object in, an optional value out: nil stays absent.
    callback(objc::Ref<objc::Object>(value));
  });
  objc::sendSuper<objc::Ref<objc::Object>(id, BOOL, objc::NSString*, NSUInteger, Callback*)>(
      {observer.get(), _RVKVOObserver::classObject()}, initSel, target.get(), parent.retainTarget(),
      objc::NSString::stringWithString(parent.keyPath()), parent.options().platformOptions(),
      block.get());
  observer->retainSelf_ = observer;
  return observer;
}

void KVOObserver::dispose() {
  _RVKVOObserver::dispose();
  // May be the last reference: released when nothing of this object is
  // used any more.
  objc::Ref<KVOObserver> self = std::move(retainSelf_);
}

}  // namespace rv
