#pragma once

#include <cstddef>
#include <vector>

#include "objc/Frame.h"
#include "objc/NSMethodSignature.h"
#include "objc/NSObject.h"

namespace objc {

// A message as an object: a signature, a frame of arguments (the target at
// index 0, the selector at 1) and a return value. Arguments are not retained;
// an object return value is held by the invocation.
class NSInvocation : public NSObject {
 public:
  static Class classObject();

  // Raises NSInvalidArgumentException for a null signature or one with fewer
  // than two arguments (a receiver and a selector).
  static Ref<NSInvocation> invocationWithMethodSignature(NSMethodSignature* signature);

  NSMethodSignature* methodSignature() const { return signature_.get(); }
  SEL selector() const;
  void setSelector(SEL sel);
  id target() const;
  void setTarget(id target);

  // Copy argument `index` out of / into the frame (as many bytes as the
  // argument's type has). Raise NSInvalidArgumentException for an index
  // outside the signature.
  void getArgument(void* buffer, NSInteger index) const;
  void setArgument(const void* buffer, NSInteger index);
  // Copy the return value (methodReturnLength bytes). An object result is
  // copied as a borrowed pointer; setting one retains it.
  void getReturnValue(void* buffer) const;
  void setReturnValue(const void* buffer);

  // Sends the selector to the target with the arguments; the result lands in
  // the return value. A null target gives a zero result.
  void invoke();
  void invokeWithTarget(id target);

  // For forwarding: an invocation holding a copy of `frame`'s arguments
  // (bytes the frame lacks are zero), and the way its result goes back.
  static Ref<NSInvocation> invocationWithFrame(NSMethodSignature* signature, const Frame& frame);
  // Copies the result into `frame` when both sides agree on its kind.
  void copyReturnValueTo(Frame& frame) const;

  ~NSInvocation() override;

 protected:
  NSInvocation() = default;

 private:
  friend struct detail::InstanceAccess;
  Frame frame();
  void checkIndex(NSInteger index) const;

  Ref<NSMethodSignature> signature_;
  std::vector<std::byte> arguments_;
  std::vector<std::byte> returnValue_;
};

}  // namespace objc
