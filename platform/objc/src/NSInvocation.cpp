#include "objc/NSInvocation.h"

#include <algorithm>
#include <cstring>

#include "objc/NSException.h"
#include "objc/NSString.h"

namespace objc {

Class NSInvocation::classObject() {
  static const Class cls =
      ClassBuilder<NSInvocation>("NSInvocation", NSObject::classObject()).build();
  return cls;
}

Ref<NSInvocation> NSInvocation::invocationWithMethodSignature(NSMethodSignature* signature) {
  if (signature == nullptr || signature->numberOfArguments() < 2) {
    NSException::raise(NSInvalidArgumentException,
                       "+[NSInvocation invocationWithMethodSignature:]: method signature argument "
                       "cannot be nil or lack a receiver and a selector");
  }
  Ref<NSInvocation> invocation = dynamicCast<NSInvocation>(class_createInstance(classObject()));
  invocation->signature_ = Ref<NSMethodSignature>(signature);
  invocation->arguments_.assign(signature->frameLength(), std::byte{0});
  size_t returnSize = signature->methodReturnLength();
  if (signature->returnKind() == ReturnKind::object) returnSize = sizeof(id);
  invocation->returnValue_.assign(returnSize, std::byte{0});
  return invocation;
}

NSInvocation::~NSInvocation() {
  if (signature_ && signature_->returnKind() == ReturnKind::object) {
    id object;
    std::memcpy(&object, returnValue_.data(), sizeof object);
    objc_release(object);
  }
}

Frame NSInvocation::frame() {
  return Frame(signature_->typeEncoding(), arguments_.data(),
               static_cast<uint32_t>(arguments_.size()), returnValue_.data(),
               static_cast<uint32_t>(returnValue_.size()), signature_->returnKind());
}

void NSInvocation::checkIndex(NSInteger index) const {
  if (index < 0 || static_cast<NSUInteger>(index) >= signature_->numberOfArguments()) {
    NSException::raise(NSInvalidArgumentException,
                       "-[NSInvocation getArgument:atIndex:]: index (" + std::to_string(index) +
                           ") out of bounds [0, " +
                           std::to_string(signature_->numberOfArguments()) + ")");
  }
}

SEL NSInvocation::selector() const {
  SEL sel;
  std::memcpy(&sel, arguments_.data() + signature_->argumentOffset(1), sizeof sel);
  return sel;
}

void NSInvocation::setSelector(SEL sel) {
  std::memcpy(arguments_.data() + signature_->argumentOffset(1), &sel, sizeof sel);
}

id NSInvocation::target() const {
  id object;
  std::memcpy(&object, arguments_.data() + signature_->argumentOffset(0), sizeof object);
  return object;
}

void NSInvocation::setTarget(id target) {
  std::memcpy(arguments_.data() + signature_->argumentOffset(0), &target, sizeof target);
}

void NSInvocation::getArgument(void* buffer, NSInteger index) const {
  checkIndex(index);
  const auto i = static_cast<NSUInteger>(index);
  const uint32_t size = signature_->argumentSize(i);
  if (size != 0) std::memcpy(buffer, arguments_.data() + signature_->argumentOffset(i), size);
}

void NSInvocation::setArgument(const void* buffer, NSInteger index) {
  checkIndex(index);
  const auto i = static_cast<NSUInteger>(index);
  const uint32_t size = signature_->argumentSize(i);
  if (size != 0) std::memcpy(arguments_.data() + signature_->argumentOffset(i), buffer, size);
}

void NSInvocation::getReturnValue(void* buffer) const {
  if (!returnValue_.empty()) std::memcpy(buffer, returnValue_.data(), returnValue_.size());
}

void NSInvocation::setReturnValue(const void* buffer) {
  if (returnValue_.empty()) return;
  if (signature_->returnKind() == ReturnKind::object) {
    id object;
    std::memcpy(&object, buffer, sizeof object);
    Frame f = frame();
    f.setReturnObject(objc_retain(object));
    return;
  }
  std::memcpy(returnValue_.data(), buffer, returnValue_.size());
}

void NSInvocation::invoke() { invokeWithTarget(target()); }

void NSInvocation::invokeWithTarget(id target) {
  setTarget(target);
  Frame f = frame();
  if (f.returnKind() == ReturnKind::object) {
    f.setReturnObject(nullptr);
  } else {
    std::fill(returnValue_.begin(), returnValue_.end(), std::byte{0});
  }
  if (target == nullptr) return;
  objc_msgSend(target, selector(), f);
}

Ref<NSInvocation> NSInvocation::invocationWithFrame(NSMethodSignature* signature,
                                                    const Frame& frame) {
  Ref<NSInvocation> invocation = invocationWithMethodSignature(signature);
  const size_t count = std::min<size_t>(frame.argumentsSize(), invocation->arguments_.size());
  if (count != 0) std::memcpy(invocation->arguments_.data(), frame.arguments(), count);
  return invocation;
}

void NSInvocation::copyReturnValueTo(Frame& frame) const {
  const ReturnKind kind = signature_->returnKind();
  if (kind != frame.returnKind()) return;
  if (kind == ReturnKind::object) {
    id object;
    std::memcpy(&object, returnValue_.data(), sizeof object);
    frame.setReturnObject(objc_retain(object));
  } else if (kind == ReturnKind::bytes) {
    const size_t count = std::min<size_t>(frame.returnSize(), returnValue_.size());
    if (count != 0) std::memcpy(frame.returnSlot(), returnValue_.data(), count);
  }
}

// MARK: Forwarding

namespace detail {
namespace {

bool implements(Class cls, SEL sel) {
  return class_getMethodImplementation(cls, sel) != _objc_msgForward;
}

void forward(const objc_imp*, id self, SEL cmd, Frame& frame) {
  static const SEL targetSel = sel_registerName("forwardingTargetForSelector:");
  static const SEL signatureSel = sel_registerName("methodSignatureForSelector:");
  static const SEL invocationSel = sel_registerName("forwardInvocation:");
  static const SEL unrecognizedSel = sel_registerName("doesNotRecognizeSelector:");
  Class cls = object_getClass(self);

  if (implements(cls, targetSel)) {
    Ref<Object> target = send<Ref<Object>(SEL)>(self, targetSel, cmd);
    if (target && target.get() != self) {
      objc_msgSend(target.get(), cmd, frame);
      return;
    }
  }
  if (implements(cls, signatureSel) && implements(cls, invocationSel)) {
    Ref<NSMethodSignature> signature = send<Ref<NSMethodSignature>(SEL)>(self, signatureSel, cmd);
    if (signature && signature->numberOfArguments() >= 2) {
      Ref<NSInvocation> invocation = NSInvocation::invocationWithFrame(signature.get(), frame);
      invocation->setTarget(self);
      invocation->setSelector(cmd);
      send<void(NSInvocation*)>(self, invocationSel, invocation.get());
      invocation->copyReturnValueTo(frame);
      return;
    }
  }
  if (implements(cls, unrecognizedSel)) {
    send<void(SEL)>(self, unrecognizedSel, cmd);
    return;
  }
  // A class outside NSObject's hierarchy has no forwarding of its own.
  NSException::raise(NSInvalidArgumentException, std::string(class_getName(cls)) + " " +
                                                     sel_getName(cmd) +
                                                     ": unrecognized selector, no forwarding");
}

constexpr objc_imp kForward(&forward);

}  // namespace
}  // namespace detail

const IMP _objc_msgForward = &detail::kForward;

}  // namespace objc
