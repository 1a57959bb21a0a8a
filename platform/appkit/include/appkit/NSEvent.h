#pragma once

#include <functional>

#include "objc/NSObject.h"

namespace appkit {

enum NSEventType : objc::NSUInteger {
  NSEventTypeLeftMouseDown = 1,
  NSEventTypeLeftMouseUp = 2,
  NSEventTypeKeyDown = 10,
  NSEventTypeKeyUp = 11,
  NSEventTypeApplicationDefined = 15,
};

// An input event. There are no windows here to route an event through: an
// event carries what receiving it does (the handling of the view or window it
// would reach), which `-[NSApplication sendEvent:]` runs.
class NSEvent : public objc::NSObject {
 public:
  static objc::Class classObject();

  // An event of `type` whose delivery runs `handler` (none: nothing happens).
  static objc::Ref<NSEvent> eventWithType(NSEventType type, std::function<void()> handler = {});

  NSEventType type();

 protected:
  NSEvent() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct NSEventMethods;
  friend struct NSApplicationMethods;
  NSEventType type_ = NSEventTypeApplicationDefined;
  std::function<void()> handler_;
};

}  // namespace appkit
