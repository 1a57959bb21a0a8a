#pragma once

#include "appkit/NSControl.h"

namespace appkit {

// A slider: a number kept within [minValue, maxValue] (0 and 1 by default).
// Values set outside the range, by number or by text, are clamped to it (NaN
// to the minimum); changing the range clamps the current value again.
class NSSlider : public NSControl {
 public:
  static objc::Class classObject();

  double minValue();
  void setMinValue(double value);
  double maxValue();
  void setMaxValue(double value);

 protected:
  NSSlider() = default;

 private:
  friend struct objc::detail::InstanceAccess;
  friend struct NSSliderMethods;
  double minValue_ = 0;
  double maxValue_ = 1;
};

}  // namespace appkit
