#pragma once

#include "appkit/NSEvent.h"
#include "objc/NSException.h"
#include "objc/NSObject.h"

namespace appkit {

// The application object. Its two messages are the ones the crash service
// replaces (`sendEvent:`, `reportException:`), so C++ callers reach them
// through the runtime too.
class NSApplication : public objc::NSObject {
 public:
  static objc::Class classObject();

  // `+[NSApplication sharedApplication]`: the one application object, made on
  // first use as an instance of the class that first asked (a subclass may
  // ask first), and kept for the life of the process. Any thread.
  static objc::Ref<NSApplication> sharedApplication();

  // Delivers the event: runs what the event's receiver does with it, on the
  // calling thread (the main thread in an application). An exception raised
  // there passes to the caller.
  void sendEvent(NSEvent* event);
  // Reports an exception the application caught: writes its name and reason
  // with NSLog.
  void reportException(objc::NSException* exception);

 protected:
  NSApplication() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct NSApplicationMethods;
};

}  // namespace appkit
