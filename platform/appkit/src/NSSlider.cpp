#include "appkit/NSSlider.h"

#include <cmath>

#include "Selectors.h"
#include "objc/NSString.h"

namespace appkit {

using objc::NSInteger;
using objc::SEL;

struct NSSliderMethods {
  static double clamp(NSSlider* self, double value) {
    if (std::isnan(value) || value < self->minValue_) return self->minValue_;
    if (value > self->maxValue_)
      return self->maxValue_ < self->minValue_ ? self->minValue_ : self->maxValue_;
    return value;
  }
  static void store(NSSlider* self, double value) {
    static const SEL s = detail::sel("setDoubleValue:");
    objc::sendSuper<void(double)>({self, NSControl::classObject()}, s, clamp(self, value));
  }

  static objc::Ref<objc::Object> init(NSSlider* self, SEL cmd) {
    objc::Ref<objc::Object> initialised =
        objc::sendSuper<objc::Ref<objc::Object>()>({self, NSControl::classObject()}, cmd);
    // A new slider stands at its minimum.
    if (initialised) store(self, self->minValue_);
    return initialised;
  }
  static void setDoubleValue(NSSlider* self, SEL, double value) { store(self, value); }
  static void setIntegerValue(NSSlider* self, SEL, NSInteger value) {
    store(self, static_cast<double>(value));
  }
  static void setStringValue(NSSlider* self, SEL, objc::NSString* value) {
    store(self, value ? std::strtod(value->UTF8String(), nullptr) : 0.0);
  }

  static double minValue(NSSlider* self, SEL) { return self->minValue_; }
  static void setMinValue(NSSlider* self, SEL, double value) {
    self->minValue_ = value;
    self->setDoubleValue(self->doubleValue());
  }
  static double maxValue(NSSlider* self, SEL) { return self->maxValue_; }
  static void setMaxValue(NSSlider* self, SEL, double value) {
    self->maxValue_ = value;
    self->setDoubleValue(self->doubleValue());
  }
};

objc::Class NSSlider::classObject() {
  using M = NSSliderMethods;
  static const objc::Class cls = objc::ClassBuilder<NSSlider>("NSSlider", NSControl::classObject())
                                     .method("init", &M::init)
                                     .method("setDoubleValue:", &M::setDoubleValue)
                                     .method("setIntegerValue:", &M::setIntegerValue)
                                     .method("setStringValue:", &M::setStringValue)
                                     .method("minValue", &M::minValue)
                                     .method("setMinValue:", &M::setMinValue)
                                     .method("maxValue", &M::maxValue)
                                     .method("setMaxValue:", &M::setMaxValue)
                                     .property("minValue", "Td,N")
                                     .property("maxValue", "Td,N")
                                     .build();
  return cls;
}

double NSSlider::minValue() {
  static const SEL s = detail::sel("minValue");
  return objc::send<double()>(this, s);
}

void NSSlider::setMinValue(double value) {
  static const SEL s = detail::sel("setMinValue:");
  objc::send<void(double)>(this, s, value);
}

double NSSlider::maxValue() {
  static const SEL s = detail::sel("maxValue");
  return objc::send<double()>(this, s);
}

void NSSlider::setMaxValue(double value) {
  static const SEL s = detail::sel("setMaxValue:");
  objc::send<void(double)>(this, s, value);
}

}  // namespace appkit
