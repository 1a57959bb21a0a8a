#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "objc/NSObject.h"
#include "objcTest/Classes.h"

namespace appkittest {

using objc::test::sel;
using objc::test::uniqueName;

// A target or delegate that records the messages it implements: an action
// `act:`, `controlTextDidChange:` and `textDidChange:`.
class Recorder : public objc::NSObject {
 public:
  static objc::Class classObject();
  static objc::Ref<Recorder> make() { return objc::make<Recorder>(); }

  struct Call {
    std::string selector;
    objc::Ref<objc::Object> argument;
  };
  std::vector<Call> calls;
  // Runs inside each recorded message, after it was recorded.
  std::function<void(const Call&)> onCall;

 private:
  friend struct objc::detail::InstanceAccess;
  static void record(Recorder* self, objc::SEL cmd, objc::Object* argument);
};

// A plain object that implements none of those messages.
inline objc::Ref<objc::NSObject> plainObject() { return objc::make<objc::NSObject>(); }

}  // namespace appkittest
