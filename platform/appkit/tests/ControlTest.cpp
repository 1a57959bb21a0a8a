#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "Support.h"
#include "appkit/NSButton.h"
#include "appkit/NSSlider.h"
#include "objc/NSKeyValueObserving.h"
#include "objc/NSNumber.h"

namespace {

using appkit::NSButton;
using appkit::NSControl;
using appkit::NSSlider;
using appkit::NSView;
using appkittest::Recorder;
using appkittest::sel;
using objc::Ref;

// The new values key-value observation reports for `key` of `object`.
struct Observed {
  std::vector<Ref<objc::Object>> values;
  Ref<objc::NSKeyValueObservation> observation;
  Observed(objc::id object, const char* key) {
    observation = objc::NSKeyValueObservation::observe(
        object, key, objc::NSKeyValueObservingOptionNew,
        [this](objc::id, objc::NSDictionary* change) {
          values.push_back(objc::changeValue(change, objc::NSKeyValueChangeNewKey));
        });
  }
  ~Observed() { observation->invalidate(); }
  double number(size_t i) const {
    return dynamic_cast<objc::NSNumber*>(values.at(i).get())->doubleValue();
  }
};

TEST(View, AlphaAndHiddenAreObservableProperties) {
  auto view = objc::make<NSView>();
  EXPECT_EQ(view->alphaValue(), 1.0);
  EXPECT_FALSE(view->isHidden());
  Observed alpha(view.get(), "alphaValue");
  Observed hidden(view.get(), "hidden");
  view->setAlphaValue(0.25);
  view->setHidden(objc::YES);
  EXPECT_EQ(view->alphaValue(), 0.25);
  EXPECT_TRUE(view->isHidden());
  ASSERT_EQ(alpha.values.size(), 1u);
  EXPECT_EQ(alpha.number(0), 0.25);
  ASSERT_EQ(hidden.values.size(), 1u);
  EXPECT_EQ(objc::object_getClassName(view.get()), std::string("NSKVONotifying_NSView"));
}

TEST(Control, ClickSendsTheActionWithTheControlAsSender) {
  auto control = objc::make<NSControl>();
  auto target = Recorder::make();
  control->setTarget(target.get());
  control->setAction(sel("act:"));
  EXPECT_EQ(control->target(), target);
  EXPECT_EQ(control->action(), sel("act:"));
  control->performClick(nullptr);
  ASSERT_EQ(target->calls.size(), 1u);
  EXPECT_EQ(target->calls[0].selector, "act:");
  EXPECT_EQ(target->calls[0].argument, control);

  control->setEnabled(objc::NO);
  control->performClick(nullptr);
  EXPECT_EQ(target->calls.size(), 1u);
  // A program may still send the action of a disabled control.
  EXPECT_TRUE(control->sendAction(sel("act:"), target.get()));
  EXPECT_EQ(target->calls.size(), 2u);
}

TEST(Control, SendActionRefusesWhatCannotBeDelivered) {
  auto control = objc::make<NSControl>();
  auto target = Recorder::make();
  EXPECT_FALSE(control->sendAction(nullptr, target.get()));
  EXPECT_FALSE(control->sendAction(sel("act:"), nullptr));
  EXPECT_FALSE(control->sendAction(sel("unknownAction:"), target.get()));
  EXPECT_TRUE(target->calls.empty());
  // Without a target (there is no responder chain) a click sends nothing.
  control->setAction(sel("act:"));
  control->performClick(nullptr);
  EXPECT_TRUE(target->calls.empty());
}

TEST(Control, TargetIsWeakAndActionCanBeCleared) {
  auto control = objc::make<NSControl>();
  control->setAction(sel("act:"));
  {
    auto target = Recorder::make();
    control->setTarget(target.get());
  }
  EXPECT_EQ(control->target(), nullptr);
  control->performClick(nullptr);  // nothing to send to, nothing breaks

  auto target = Recorder::make();
  control->setTarget(target.get());
  control->setTarget(nullptr);
  control->setAction(nullptr);
  EXPECT_EQ(control->target(), nullptr);
  EXPECT_EQ(control->action(), nullptr);
}

TEST(Control, ValuesReadAsTextOrNumber) {
  auto control = objc::make<NSControl>();
  EXPECT_EQ(control->stringValue(), "");
  EXPECT_EQ(control->doubleValue(), 0);
  control->setDoubleValue(0.5);
  EXPECT_EQ(control->stringValue(), "0.5");
  control->setIntegerValue(7);
  EXPECT_EQ(control->stringValue(), "7");
  control->setStringValue("3.75 apples");
  EXPECT_EQ(control->doubleValue(), 3.75);
  EXPECT_EQ(control->integerValue(), 3);
  control->setStringValue("-2.9");
  EXPECT_EQ(control->integerValue(), -2);
  control->setStringValue("none");
  EXPECT_EQ(control->doubleValue(), 0);
}

TEST(Control, IntegerReadsSaturateInsteadOfOverflowing) {
  auto control = objc::make<NSControl>();
  control->setDoubleValue(1e300);
  EXPECT_EQ(control->integerValue(), LONG_MAX);
  control->setDoubleValue(-1e300);
  EXPECT_EQ(control->integerValue(), LONG_MIN);
  control->setDoubleValue(NAN);
  EXPECT_EQ(control->integerValue(), 0);
  control->setStringValue("inf");
  EXPECT_EQ(control->integerValue(), LONG_MAX);
}

TEST(Control, StringValueIsObservable) {
  auto control = objc::make<NSControl>();
  Observed observed(control.get(), "stringValue");
  control->setStringValue("abc");
  ASSERT_EQ(observed.values.size(), 1u);
  EXPECT_EQ(objc::describe(observed.values[0].get()), "abc");
}

TEST(Button, MomentaryClickKeepsTheStateAndSendsTheAction) {
  auto button = objc::make<NSButton>();
  auto target = Recorder::make();
  button->setTarget(target.get());
  button->setAction(sel("act:"));
  EXPECT_EQ(button->buttonType(), appkit::NSButtonTypeMomentaryPushIn);
  EXPECT_EQ(button->state(), appkit::NSControlStateValueOff);
  button->performClick(nullptr);
  EXPECT_EQ(button->state(), appkit::NSControlStateValueOff);
  EXPECT_EQ(target->calls.size(), 1u);
}

TEST(Button, SwitchClickMovesTheStateBeforeTheAction) {
  auto button = objc::make<NSButton>();
  button->setButtonType(appkit::NSButtonTypeSwitch);
  auto target = Recorder::make();
  std::vector<appkit::NSControlStateValue> seenInAction;
  target->onCall = [&](const Recorder::Call&) { seenInAction.push_back(button->state()); };
  button->setTarget(target.get());
  button->setAction(sel("act:"));
  Observed observed(button.get(), "state");

  button->performClick(nullptr);
  button->performClick(nullptr);
  button->setState(appkit::NSControlStateValueMixed);
  button->performClick(nullptr);
  EXPECT_EQ(seenInAction, (std::vector<appkit::NSControlStateValue>{
                              appkit::NSControlStateValueOn, appkit::NSControlStateValueOff,
                              appkit::NSControlStateValueOn}));
  EXPECT_EQ(observed.values.size(), 4u);  // three clicks and one program change

  button->setEnabled(objc::NO);
  button->performClick(nullptr);
  EXPECT_EQ(button->state(), appkit::NSControlStateValueOn);
  EXPECT_EQ(seenInAction.size(), 3u);
}

TEST(Button, RadioClickTurnsOnAndStatesNormalise) {
  auto button = objc::make<NSButton>();
  button->setButtonType(appkit::NSButtonTypeRadio);
  button->performClick(nullptr);
  button->performClick(nullptr);
  EXPECT_EQ(button->state(), appkit::NSControlStateValueOn);
  button->setState(5);
  EXPECT_EQ(button->state(), appkit::NSControlStateValueOn);
  button->setState(-3);
  EXPECT_EQ(button->state(), appkit::NSControlStateValueMixed);
  button->setState(0);
  EXPECT_EQ(button->state(), appkit::NSControlStateValueOff);
}

TEST(Button, RuntimeSubclassOverrideIsSeenByCppCallers) {
  objc::Class cls = objc::objc_allocateClassPair(NSButton::classObject(),
                                                 appkittest::uniqueName("AKSub").c_str(), 0);
  static int overridden = 0;
  objc::class_addMethod(
      cls, sel("performClick:"),
      objc::imp_implementationWithBlock<void(objc::id)>([](objc::id, objc::id) { ++overridden; }),
      objc::methodEncoding<void(objc::id)>());
  objc::objc_registerClassPair(cls);
  Ref<NSButton> button = objc::make<NSButton>(cls);
  ASSERT_TRUE(button);
  button->performClick(nullptr);
  EXPECT_EQ(overridden, 1);
}

TEST(Slider, StartsAtItsMinimumAndKeepsValuesInRange) {
  auto slider = objc::make<NSSlider>();
  EXPECT_EQ(slider->minValue(), 0);
  EXPECT_EQ(slider->maxValue(), 1);
  EXPECT_EQ(slider->stringValue(), "0");
  slider->setDoubleValue(0.5);
  EXPECT_EQ(slider->doubleValue(), 0.5);
  slider->setDoubleValue(1.5);
  EXPECT_EQ(slider->doubleValue(), 1);
  slider->setDoubleValue(-1);
  EXPECT_EQ(slider->doubleValue(), 0);
  slider->setDoubleValue(NAN);
  EXPECT_EQ(slider->doubleValue(), 0);
  slider->setStringValue("0.25");
  EXPECT_EQ(slider->doubleValue(), 0.25);
  slider->setIntegerValue(9);
  EXPECT_EQ(slider->doubleValue(), 1);
}

TEST(Slider, ChangingTheRangeClampsTheValueAgain) {
  auto slider = objc::make<NSSlider>();
  slider->setMaxValue(10);
  slider->setDoubleValue(5);
  Observed observed(slider.get(), "doubleValue");
  slider->setMaxValue(2);
  EXPECT_EQ(slider->doubleValue(), 2);
  slider->setMinValue(3);
  EXPECT_EQ(slider->doubleValue(), 3);  // an empty range holds its minimum
  ASSERT_EQ(observed.values.size(), 2u);
  EXPECT_EQ(observed.number(0), 2);
}

}  // namespace
