#include "appkit/NSView.h"

#include "Selectors.h"

namespace appkit {

using objc::BOOL;
using objc::CGFloat;
using objc::SEL;

bool detail::responds(objc::id object, SEL selector) {
  static const SEL s = sel("respondsToSelector:");
  return object != nullptr && objc::send<BOOL(SEL)>(object, s, selector);
}

struct NSViewMethods {
  static CGFloat alphaValue(NSView* self, SEL) { return self->alphaValue_; }
  static void setAlphaValue(NSView* self, SEL, CGFloat value) { self->alphaValue_ = value; }
  static BOOL isHidden(NSView* self, SEL) { return self->hidden_; }
  static void setHidden(NSView* self, SEL, BOOL hidden) { self->hidden_ = hidden; }
};

objc::Class NSView::classObject() {
  using M = NSViewMethods;
  static const objc::Class cls = objc::ClassBuilder<NSView>("NSView", objc::NSObject::classObject())
                                     .method("alphaValue", &M::alphaValue)
                                     .method("setAlphaValue:", &M::setAlphaValue)
                                     .method("isHidden", &M::isHidden)
                                     .method("setHidden:", &M::setHidden)
                                     .property("alphaValue", "Td,N")
                                     .property("hidden", "TB,N,GisHidden")
                                     .build();
  return cls;
}

CGFloat NSView::alphaValue() {
  static const SEL s = detail::sel("alphaValue");
  return objc::send<CGFloat()>(this, s);
}

void NSView::setAlphaValue(CGFloat alphaValue) {
  static const SEL s = detail::sel("setAlphaValue:");
  objc::send<void(CGFloat)>(this, s, alphaValue);
}

BOOL NSView::isHidden() {
  static const SEL s = detail::sel("isHidden");
  return objc::send<BOOL()>(this, s);
}

void NSView::setHidden(BOOL hidden) {
  static const SEL s = detail::sel("setHidden:");
  objc::send<void(BOOL)>(this, s, hidden);
}

}  // namespace appkit
