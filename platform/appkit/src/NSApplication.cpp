#include "appkit/NSApplication.h"

#include <atomic>

#include "Selectors.h"
#include "base/Mutex.h"
#include "objc/NSLog.h"

namespace appkit {

using objc::Ref;
using objc::SEL;

struct NSEventMethods {
  static NSEventType type(NSEvent* self, SEL) { return self->type_; }
};

objc::Class NSEvent::classObject() {
  static const objc::Class cls =
      objc::ClassBuilder<NSEvent>("NSEvent", objc::NSObject::classObject())
          .method("type", &NSEventMethods::type)
          .property("type", "TQ,R,N")
          .build();
  return cls;
}

Ref<NSEvent> NSEvent::eventWithType(NSEventType type, std::function<void()> handler) {
  Ref<NSEvent> event = objc::make<NSEvent>();
  event->type_ = type;
  event->handler_ = std::move(handler);
  return event;
}

NSEventType NSEvent::type() {
  static const SEL s = detail::sel("type");
  return objc::send<NSEventType()>(this, s);
}

namespace {
// Taken by the thread that makes the shared application, so that one is made.
base::Mutex gSharedMutex;
std::atomic<NSApplication*> gShared{nullptr};
}  // namespace

struct NSApplicationMethods {
  static Ref<objc::Object> sharedApplication(objc::Class self, SEL) {
    if (NSApplication* shared = gShared.load(std::memory_order_acquire)) {
      return Ref<objc::Object>(shared);
    }
    base::LockGuard lock(gSharedMutex);
    if (NSApplication* shared = gShared.load(std::memory_order_acquire)) {
      return Ref<objc::Object>(shared);
    }
    Ref<NSApplication> made = objc::make<NSApplication>(self);
    if (!made) return nullptr;
    objc::detail::makeImmortal(made.get());
    gShared.store(made.get(), std::memory_order_release);
    return made;
  }

  static void sendEvent(NSApplication*, SEL, NSEvent* event) {
    if (event == nullptr || !event->handler_) return;
    // A copy: the handler may replace the event's own.
    const std::function<void()> handler = event->handler_;
    handler();
  }

  static void reportException(NSApplication*, SEL, objc::NSException* exception) {
    if (exception == nullptr) return;
    objc::NSLog(exception->name() + ": " + exception->reason());
  }
};

objc::Class NSApplication::classObject() {
  using M = NSApplicationMethods;
  static const objc::Class cls =
      objc::ClassBuilder<NSApplication>("NSApplication", objc::NSObject::classObject())
          .classMethod("sharedApplication", &M::sharedApplication)
          .method("sendEvent:", &M::sendEvent)
          .method("reportException:", &M::reportException)
          .build();
  return cls;
}

Ref<NSApplication> NSApplication::sharedApplication() {
  static const SEL s = detail::sel("sharedApplication");
  return objc::dynamicCast<NSApplication>(objc::send<Ref<objc::Object>()>(classObject(), s));
}

void NSApplication::sendEvent(NSEvent* event) {
  static const SEL s = detail::sel("sendEvent:");
  objc::send<void(NSEvent*)>(this, s, event);
}

void NSApplication::reportException(objc::NSException* exception) {
  static const SEL s = detail::sel("reportException:");
  objc::send<void(objc::NSException*)>(this, s, exception);
}

}  // namespace appkit
