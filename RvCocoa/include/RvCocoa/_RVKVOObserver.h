#pragma once

// The platform-object side of a KVO sequence: an object that registers
// itself as the key-value observer of a target and hands each change's new
// value to a callback.

#include <functional>
#include <string>

#include "RvCocoa/KeyValueObservingOptions.h"
#include "objc/Block.h"
#include "objc/NSObject.h"

namespace rv {

class _RVKVOObserver : public objc::NSObject {
 public:
  // Receives the change's new value (null when the change has none).
  using Callback = objc::Block<void(objc::id value)>;

  static objc::Class classObject();

  // `[[_RVKVOObserver alloc] initWithTarget:...]`: the observer, already
  // registered with `target` for `keyPath` with the platform `options`
  // (with NSKeyValueObservingOptionInitial the callback runs once before
  // this returns).
  static objc::Ref<_RVKVOObserver> create(objc::id target, objc::BOOL retainTarget,
                                          const std::string& keyPath, objc::NSUInteger options,
                                          std::function<void(objc::id)> callback);

  // Sends `initWithTarget:retainTarget:keyPath:options:callback:`.
  objc::Ref<objc::Object> initWithTarget(objc::id target, objc::BOOL retainTarget,
                                         const std::string& keyPath, objc::NSUInteger options,
                                         Callback* callback);
  // Unregisters (sends `dispose`). A target that is gone already is left
  // alone: its registrations ended with it.
  void dispose();

  // The observed object (not retained), or null once it is gone or disposed.
  objc::Ref<objc::Object> target() const { return target_.load(); }
  // The observed object while the observer keeps it alive, else null.
  const objc::Ref<objc::Object>& retainedTarget() const { return retainedTarget_; }
  const std::string& keyPath() const { return keyPath_; }

 protected:
  _RVKVOObserver() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct RVKVOObserverMethods;

  objc::Weak<objc::Object> target_;
  objc::Ref<objc::Object> retainedTarget_;
  std::string keyPath_;
  objc::Ref<Callback> callback_;
};

}  // namespace rv
