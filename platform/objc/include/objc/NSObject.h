#pragma once

#include <string>

#include "objc/ClassBuilder.h"
#include "objc/Message.h"
#include "objc/Ref.h"
#include "objc/Runtime.h"

namespace objc {

class NSDictionary;
class NSMethodSignature;
class NSInvocation;
class NSString;

// The root class. Each public member sends its message, so overrides in
// subclasses, replaced implementations and forwarding take effect for C++
// callers too. Class messages (`+alloc`, `+new`, `+class`, `+description`,
// `+isKindOfClass:`, `+conformsToProtocol:`, `+initialize`) are sent with
// `objc::send` to the class object; a class answers every instance message
// of NSObject as well (the root metaclass inherits from the root class).
class NSObject : public Object {
 public:
  static Class classObject();

  // `class`: the class the object reports (its actual class unless an
  // override says otherwise).
  Class getClass();
  BOOL respondsToSelector(SEL sel);
  // From the method of the object's class, else from the method
  // descriptions of the protocols its classes adopt; null when neither has one.
  Ref<NSMethodSignature> methodSignatureForSelector(SEL sel);
  void forwardInvocation(NSInvocation* invocation);
  Ref<Object> forwardingTargetForSelector(SEL sel);
  // Raises NSInvalidArgumentException ("-[C s]: unrecognized selector sent to instance 0x...").
  void doesNotRecognizeSelector(SEL sel);
  BOOL isKindOfClass(Class cls);
  BOOL conformsToProtocol(Protocol* protocol);
  IMP methodForSelector(SEL sel);
  // "<ClassName: 0x...>" unless a class says otherwise.
  std::string description() const;
  BOOL isEqual(id other);
  NSUInteger hash();
  // `copyWithZone:`, for classes that answer it.
  Ref<Object> copy();
  Ref<Object> init();

  // Key-value coding and observing (see NSKeyValueObserving.h).
  Ref<Object> valueForKey(const std::string& key);
  void setValue(id value, const std::string& key);
  void addObserver(id observer, const std::string& keyPath, NSUInteger options, void* context);
  // Raises NSRangeException when the observer is not registered so.
  void removeObserver(id observer, const std::string& keyPath, void* context);
  void removeObserver(id observer, const std::string& keyPath);
  void willChangeValueForKey(const std::string& key);
  void didChangeValueForKey(const std::string& key);
  void observeValueForKeyPath(const std::string& keyPath, id object, NSDictionary* change,
                              void* context);

 protected:
  NSObject() = default;

 private:
  friend struct detail::InstanceAccess;
  friend struct NSObjectMethods;
};

// A new instance of `cls` (a T or a class below it), from `+alloc`.
// Null when `+alloc` gives nothing or not a T.
template <class T>
Ref<T> alloc(Class cls = T::classObject()) {
  static const SEL allocSel = sel_registerName("alloc");
  return dynamicCast<T>(send<Ref<Object>()>(cls, allocSel));
}

// `[[cls alloc] init]` as a T.
template <class T>
Ref<T> make(Class cls = T::classObject()) {
  static const SEL allocSel = sel_registerName("alloc");
  static const SEL initSel = sel_registerName("init");
  Ref<Object> object = send<Ref<Object>()>(cls, allocSel);
  return dynamicCast<T>(send<Ref<Object>()>(object, initSel));
}

// The text `description` gives for any object ("(null)" for null).
std::string describe(id object);

}  // namespace objc
