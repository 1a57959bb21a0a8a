#include "RvCocoa/MessageObservation.h"

#include "RvStreams/Just.h"
#include "RvStreams/Map.h"
#include "objc/ClassBuilder.h"
#include "objc/Message.h"

namespace rv {

using objc::Class;
using objc::IMP;
using objc::SEL;

namespace {

SEL deallocSelector() {
  static const SEL sel = objc::NSSelectorFromString("dealloc");
  return sel;
}

// Under its address every object keeps its DeallocObservable.
const char kDeallocObservableKey = 0;

ArgumentArray bridge(objc::NSArray* arguments) {
  return arguments == nullptr ? ArgumentArray{} : arguments->objects();
}

template <class T>
objc::Ref<T> makeInstance(Class cls) {
  return objc::dynamicCast<T>(objc::class_createInstance(cls));
}

}  // namespace

// MARK: DeallocatingProxy

DeallocatingProxy::DeallocatingProxy()
    : messageSent_(ReplaySubject<Unit>::create(1)),
      targetImplementation_(RV_default_target_implementation()) {}

DeallocatingProxy::~DeallocatingProxy() { messageSent_->on(Event<Unit>::completed()); }

Class DeallocatingProxy::classObject() {
  static const Class cls =
      objc::ClassBuilder<DeallocatingProxy>("RvCocoa.DeallocatingProxy",
                                            objc::NSObject::classObject())
          .method<IMP()>("targetImplementation",
                         [](DeallocatingProxy* self, SEL) { return self->targetImplementation(); })
          .method<void(IMP)>(
              "setTargetImplementation:",
              [](DeallocatingProxy* self, SEL, IMP imp) { self->setTargetImplementation(imp); })
          .method<void()>("deallocating",
                          [](DeallocatingProxy* self, SEL) {
                            self->messageSent_->on(Event<Unit>::next(Unit{}));
                          })
          .protocol(RVDeallocatingObserverProtocol())
          .build();
  return cls;
}

objc::Ref<DeallocatingProxy> DeallocatingProxy::create() {
  return makeInstance<DeallocatingProxy>(classObject());
}

// MARK: MessageSentProxy

MessageSentProxy::MessageSentProxy()
    : messageSent_(PublishSubject<ArgumentArray>::create()),
      methodInvoked_(PublishSubject<ArgumentArray>::create()),
      targetImplementation_(RV_default_target_implementation()) {}

MessageSentProxy::~MessageSentProxy() {
  messageSent_->on(Event<ArgumentArray>::completed());
  methodInvoked_->on(Event<ArgumentArray>::completed());
}

Class MessageSentProxy::classObject() {
  static const Class cls =
      objc::ClassBuilder<MessageSentProxy>("RvCocoa.MessageSentProxy",
                                           objc::NSObject::classObject())
          .method<IMP()>("targetImplementation",
                         [](MessageSentProxy* self, SEL) { return self->targetImplementation(); })
          .method<void(IMP)>(
              "setTargetImplementation:",
              [](MessageSentProxy* self, SEL, IMP imp) { self->setTargetImplementation(imp); })
          .method<void(objc::NSArray*)>(
              "messageSentWithArguments:",
              [](MessageSentProxy* self, SEL, objc::NSArray* arguments) {
                self->messageSent_->on(Event<ArgumentArray>::next(bridge(arguments)));
              })
          .method<void(objc::NSArray*)>(
              "methodInvokedWithArguments:",
              [](MessageSentProxy* self, SEL, objc::NSArray* arguments) {
                self->methodInvoked_->on(Event<ArgumentArray>::next(bridge(arguments)));
              })
          .protocol(RVMessageSentObserverProtocol())
          .build();
  return cls;
}

objc::Ref<MessageSentProxy> MessageSentProxy::create() {
  return makeInstance<MessageSentProxy>(classObject());
}

// MARK: DeallocObservable

DeallocObservable::DeallocObservable() : subject_(ReplaySubject<Unit>::create(1)) {}

DeallocObservable::~DeallocObservable() {
  subject_->on(Event<Unit>::next(Unit{}));
  subject_->on(Event<Unit>::completed());
}

Class DeallocObservable::classObject() {
  static const Class cls = objc::ClassBuilder<DeallocObservable>("RvCocoa.DeallocObservable",
                                                                 objc::NSObject::classObject())
                               .build();
  return cls;
}

objc::Ref<DeallocObservable> DeallocObservable::create() {
  return makeInstance<DeallocObservable>(classObject());
}

namespace cocoa_detail {

Class AssociatedValue::classObject() {
  static const Class cls =
      objc::ClassBuilder<AssociatedValue>("RvCocoa.AssociatedValue", objc::NSObject::classObject())
          .build();
  return cls;
}

objc::Ref<AssociatedValue> AssociatedValue::create(std::any value) {
  objc::Ref<AssociatedValue> box = makeInstance<AssociatedValue>(classObject());
  box->value_ = std::move(value);
  return box;
}

}  // namespace cocoa_detail

// MARK: The sequences

Ref<Observable<Unit>> deallocated(objc::id object) {
  objc::Synchronized lock(object);
  objc::Ref<DeallocObservable> existing = objc::dynamicCast<DeallocObservable>(
      objc::objc_getAssociatedObject(object, &kDeallocObservableKey));
  if (existing) return existing->subject();
  objc::Ref<DeallocObservable> observable = DeallocObservable::create();
  objc::objc_setAssociatedObject(object, &kDeallocObservableKey, observable.get(),
                                 objc::OBJC_ASSOCIATION_RETAIN_NONATOMIC);
  return observable->subject();
}

Ref<Observable<Unit>> deallocating(objc::id object) {
  objc::Synchronized lock(object);
  try {
    return registerMessageInterceptor<DeallocatingProxy>(object, deallocSelector())->messageSent();
  } catch (...) {
    return rv::error<Unit>(std::current_exception());
  }
}

Ref<Observable<ArgumentArray>> sentMessage(objc::id object, SEL selector) {
  objc::Synchronized lock(object);
  if (selector == deallocSelector()) {
    return deallocating(object) | rv::map([](const Unit&) { return ArgumentArray{}; });
  }
  try {
    return registerMessageInterceptor<MessageSentProxy>(object, selector)->messageSent();
  } catch (...) {
    return rv::error<ArgumentArray>(std::current_exception());
  }
}

Ref<Observable<ArgumentArray>> methodInvoked(objc::id object, SEL selector) {
  objc::Synchronized lock(object);
  if (selector == deallocSelector()) {
    return deallocated(object) | rv::map([](const Unit&) { return ArgumentArray{}; });
  }
  try {
    return registerMessageInterceptor<MessageSentProxy>(object, selector)->methodInvoked();
  } catch (...) {
    return rv::error<ArgumentArray>(std::current_exception());
  }
}

}  // namespace rv
