#include "RvCocoa/ControlTarget.h"

#include <memory>
#include <string>
#include <utility>

#include "RvCocoa/CocoaFatalError.h"
#include "RvStreams/MainScheduler.h"
#include "Selectors.h"
#include "objc/ClassBuilder.h"
#include "objc/Message.h"

namespace rv {

using objc::SEL;

namespace {

SEL initSelector() {
  static const SEL s = sel("init");
  return s;
}

SEL eventHandlerSelector() {
  static const SEL s = sel("eventHandler:");
  return s;
}

}  // namespace

// MARK: RvTarget

struct RvTargetMethods {
  static objc::Ref<objc::Object> init(RvTarget* self, SEL cmd) {
    self->retainSelf_ = nullptr;
    objc::Ref<objc::Object> initialised =
        objc::sendSuper<objc::Ref<objc::Object>()>({self, objc::NSObject::classObject()}, cmd);
    // From here on the object holds itself until it is disposed.
    self->retainSelf_ = objc::Ref<RvTarget>(self);
    return initialised;
  }
};

objc::Class RvTarget::classObject() {
  static const objc::Class cls =
      objc::ClassBuilder<RvTarget>("RvCocoa.RvTarget", objc::NSObject::classObject())
          .method("init", &RvTargetMethods::init)
          .build();
  return cls;
}

objc::Ref<RvTarget> RvTarget::create() { return objc::make<RvTarget>(); }

void RvTarget::dispose() noexcept {
  // Released outside the member: the object may go with it.
  objc::Ref<RvTarget> self = std::move(retainSelf_);
  retainSelf_ = nullptr;
}

Ref<Disposable> RvTarget::asDisposable() {
  auto holder = std::make_shared<objc::Ref<RvTarget>>(this);
  return Ref<Disposable>(holder, static_cast<Disposable*>(holder->get()));
}

// MARK: ControlTarget

struct ControlTargetMethods {
  static objc::Ref<objc::Object> init(ControlTarget* self, SEL) {
    cocoaFatalError(std::string("Use of unimplemented initializer 'init()' for class '") +
                    objc::class_getName(objc::object_getClass(self)) + "'");
  }

  static void eventHandler(ControlTarget* self, SEL, objc::id) {
    if (!self->callback_) return;
    objc::Ref<appkit::NSControl> control = self->control_.load();
    if (!control) return;
    // A copy: the callback may dispose the target, which releases the stored
    // closure while this one still runs.
    ControlTarget::Callback callback = self->callback_;
    callback(control);
  }
};

objc::Class ControlTarget::classObject() {
  using M = ControlTargetMethods;
  static const objc::Class cls =
      objc::ClassBuilder<ControlTarget>("RvCocoa.ControlTarget", RvTarget::classObject())
          .method("init", &M::init)
          .method("eventHandler:", &M::eventHandler)
          .build();
  return cls;
}

objc::Ref<ControlTarget> ControlTarget::create(const objc::Ref<appkit::NSControl>& control,
                                               Callback callback) {
  objc::Ref<ControlTarget> target = objc::alloc<ControlTarget>();
  target->selector_ = eventHandlerSelector();
  target->control_ = nullptr;
  target->callback_ = nullptr;

  MainScheduler::ensureRunningOnMainThread();

  target->control_ = control;
  target->callback_ = std::move(callback);

  // RvTarget's initialiser: from here the target holds itself.
  objc::sendSuper<objc::Ref<objc::Object>()>({target.get(), RvTarget::classObject()},
                                             initSelector());

  if (control) {
    control->setTarget(target.get());
    control->setAction(target->selector_);
  }

  if (target->methodForSelector(target->selector_) == nullptr) {
    cocoaFatalError("Can't find method");
  }
  return target;
}

void ControlTarget::eventHandler(objc::id sender) {
  objc::send<void(objc::id)>(this, eventHandlerSelector(), sender);
}

void ControlTarget::dispose() noexcept {
  // Kept alive to the end: dropping the self reference may release the last
  // reference.
  objc::Ref<ControlTarget> self(this);
  RvTarget::dispose();
  if (objc::Ref<appkit::NSControl> control = control_.load()) control->setTarget(nullptr);
  if (objc::Ref<appkit::NSControl> control = control_.load()) control->setAction(nullptr);
  // Whatever the callback captured is released here, after the fields are
  // consistent again.
  Callback callback = std::move(callback_);
  callback_ = nullptr;
}

}  // namespace rv
