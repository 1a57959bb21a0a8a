#include "appkit/NSControl.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "Selectors.h"
#include "objc/NSString.h"

namespace appkit {

using objc::BOOL;
using objc::NSInteger;
using objc::Ref;
using objc::SEL;

namespace {

std::string numberText(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

double leadingNumber(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// Truncates toward zero; out-of-range values saturate and NaN gives 0 (a
// plain conversion would be undefined for them).
NSInteger saturatingInteger(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9223372036854775807.0) return LONG_MAX;
  if (value <= -9223372036854775808.0) return LONG_MIN;
  return static_cast<NSInteger>(value);
}

}  // namespace

struct NSControlMethods {
  static Ref<objc::Object> target(NSControl* self, SEL) { return self->target_.load(); }
  static void setTarget(NSControl* self, SEL, objc::id target) { self->target_ = target; }
  static SEL action(NSControl* self, SEL) { return self->action_; }
  static void setAction(NSControl* self, SEL, SEL action) { self->action_ = action; }
  static BOOL isEnabled(NSControl* self, SEL) { return self->enabled_; }
  static void setEnabled(NSControl* self, SEL, BOOL enabled) { self->enabled_ = enabled; }

  static Ref<objc::NSString> stringValue(NSControl* self, SEL) {
    if (const auto* text = std::get_if<std::string>(&self->value_)) {
      return objc::NSString::stringWithString(*text);
    }
    return objc::NSString::stringWithString(numberText(std::get<double>(self->value_)));
  }
  static void setStringValue(NSControl* self, SEL, objc::NSString* value) {
    self->value_ = value ? value->string() : std::string();
  }
  static double doubleValue(NSControl* self, SEL) {
    if (const auto* text = std::get_if<std::string>(&self->value_)) return leadingNumber(*text);
    return std::get<double>(self->value_);
  }
  static void setDoubleValue(NSControl* self, SEL, double value) { self->value_ = value; }
  static NSInteger integerValue(NSControl* self, SEL cmd) {
    return saturatingInteger(doubleValue(self, cmd));
  }
  static void setIntegerValue(NSControl* self, SEL, NSInteger value) {
    self->value_ = static_cast<double>(value);
  }

  static BOOL sendAction(NSControl* self, SEL, SEL action, objc::id target) {
    if (action == nullptr || target == nullptr || !detail::responds(target, action))
      return objc::NO;
    objc::send<void(objc::id)>(target, action, self);
    return objc::YES;
  }
  static void performClick(NSControl* self, SEL, objc::id) {
    if (!self->isEnabled()) return;
    self->sendAction(self->action(), self->target().get());
  }
};

objc::Class NSControl::classObject() {
  using M = NSControlMethods;
  static const objc::Class cls = objc::ClassBuilder<NSControl>("NSControl", NSView::classObject())
                                     .method("target", &M::target)
                                     .method("setTarget:", &M::setTarget)
                                     .method("action", &M::action)
                                     .method("setAction:", &M::setAction)
                                     .method("isEnabled", &M::isEnabled)
                                     .method("setEnabled:", &M::setEnabled)
                                     .method("stringValue", &M::stringValue)
                                     .method("setStringValue:", &M::setStringValue)
                                     .method("doubleValue", &M::doubleValue)
                                     .method("setDoubleValue:", &M::setDoubleValue)
                                     .method("integerValue", &M::integerValue)
                                     .method("setIntegerValue:", &M::setIntegerValue)
                                     .method("sendAction:to:", &M::sendAction)
                                     .method("performClick:", &M::performClick)
                                     .property("target", "T@,W,N")
                                     .property("action", "T:,N")
                                     .property("enabled", "TB,N,GisEnabled")
                                     .property("stringValue", "T@\"NSString\",C,N")
                                     .property("doubleValue", "Td,N")
                                     .property("integerValue", "Tq,N")
                                     .build();
  return cls;
}

Ref<objc::Object> NSControl::target() {
  static const SEL s = detail::sel("target");
  return objc::send<Ref<objc::Object>()>(this, s);
}

void NSControl::setTarget(objc::id target) {
  static const SEL s = detail::sel("setTarget:");
  objc::send<void(objc::id)>(this, s, target);
}

SEL NSControl::action() {
  static const SEL s = detail::sel("action");
  return objc::send<SEL()>(this, s);
}

void NSControl::setAction(SEL action) {
  static const SEL s = detail::sel("setAction:");
  objc::send<void(SEL)>(this, s, action);
}

BOOL NSControl::isEnabled() {
  static const SEL s = detail::sel("isEnabled");
  return objc::send<BOOL()>(this, s);
}

void NSControl::setEnabled(BOOL enabled) {
  static const SEL s = detail::sel("setEnabled:");
  objc::send<void(BOOL)>(this, s, enabled);
}

std::string NSControl::stringValue() {
  static const SEL s = detail::sel("stringValue");
  Ref<objc::NSString> text = objc::send<Ref<objc::NSString>()>(this, s);
  return text ? text->string() : std::string();
}

void NSControl::setStringValue(std::string_view value) {
  static const SEL s = detail::sel("setStringValue:");
  objc::send<void(objc::NSString*)>(this, s, objc::NSString::stringWithString(value));
}

double NSControl::doubleValue() {
  static const SEL s = detail::sel("doubleValue");
  return objc::send<double()>(this, s);
}

void NSControl::setDoubleValue(double value) {
  static const SEL s = detail::sel("setDoubleValue:");
  objc::send<void(double)>(this, s, value);
}

NSInteger NSControl::integerValue() {
  static const SEL s = detail::sel("integerValue");
  return objc::send<NSInteger()>(this, s);
}

void NSControl::setIntegerValue(NSInteger value) {
  static const SEL s = detail::sel("setIntegerValue:");
  objc::send<void(NSInteger)>(this, s, value);
}

BOOL NSControl::sendAction(SEL action, objc::id target) {
  static const SEL s = detail::sel("sendAction:to:");
  return objc::send<BOOL(SEL, objc::id)>(this, s, action, target);
}

void NSControl::performClick(objc::id sender) {
  static const SEL s = detail::sel("performClick:");
  objc::send<void(objc::id)>(this, s, sender);
}

}  // namespace appkit
