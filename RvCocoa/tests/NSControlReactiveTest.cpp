#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "RvCocoa/ControlTarget.h"
#include "RvCocoa/NSControlReactive.h"
#include "RvStreamsTest/MainQueue.h"
#include "RvStreamsTest/Recording.h"
#include "RvStreamsTest/TestKit.h"
#include "dispatch/DispatchQueue.h"
#include "dispatch/MainLoop.h"

namespace rv {
namespace {

using appkit::NSButton;
using appkit::NSControlStateValue;
using appkit::NSSlider;
using appkit::NSView;
using test::RecordingObserver;

class NSControlReactiveTest : public ::rv::test::MainQueueTest {};

objc::Ref<NSButton> makeToggle() {
  objc::Ref<NSButton> button = objc::make<NSButton>();
  button->setButtonType(appkit::NSButtonTypePushOnPushOff);
  return button;
}

TEST_F(NSControlReactiveTest, SubscribersOfTheActionStreamShareOneTarget) {
  objc::Ref<NSButton> button = makeToggle();
  ControlEvent<Unit> taps = tap(rv::rv(button));
  EXPECT_EQ(button->target(), nullptr) << "nothing is installed before a subscription";

  auto first = RecordingObserver<Unit>::create();
  auto a = taps.subscribe(first);
  objc::Ref<objc::Object> target = button->target();
  ASSERT_TRUE(target);
  auto second = RecordingObserver<Unit>::create();
  auto b = controlEvent(rv::rv(button)).subscribe(second);
  EXPECT_EQ(button->target(), target) << "the second subscriber joins the same connection";

  button->performClick(nullptr);
  button->performClick(nullptr);
  auto late = RecordingObserver<Unit>::create();
  auto c = taps.subscribe(late);
  button->performClick(nullptr);
  EXPECT_EQ(first->elements().size(), 3u);
  EXPECT_EQ(second->elements().size(), 3u);
  EXPECT_EQ(late->elements().size(), 1u) << "no replay for a later subscriber";

  a->dispose();
  b->dispose();
  EXPECT_EQ(button->target(), target);
  c->dispose();
  EXPECT_EQ(button->target(), nullptr) << "the last subscriber leaving removes the target";
  EXPECT_EQ(button->action(), nullptr);
}

TEST_F(NSControlReactiveTest, StateEmitsTheCurrentStateThenTheStateAfterEachAction) {
  objc::Ref<NSButton> button = makeToggle();
  button->setState(appkit::NSControlStateValueOn);
  auto states = RecordingObserver<NSControlStateValue>::create();
  auto d = state(rv::rv(button)).subscribe(states);
  EXPECT_EQ(states->elements(), std::vector<NSControlStateValue>{appkit::NSControlStateValueOn});

  button->performClick(nullptr);
  button->performClick(nullptr);
  EXPECT_EQ(states->elements(), (std::vector<NSControlStateValue>{appkit::NSControlStateValueOn,
                                                                  appkit::NSControlStateValueOff,
                                                                  appkit::NSControlStateValueOn}));

  // Writing sets the control but does not make the property emit.
  state(rv::rv(button)).onNext(appkit::NSControlStateValueOff);
  EXPECT_EQ(button->state(), appkit::NSControlStateValueOff);
  EXPECT_EQ(states->elements().size(), 3u);
}

TEST_F(NSControlReactiveTest, PropertiesOfOneControlShareTheTriggerAndReadTheirOwnValue) {
  objc::Ref<NSSlider> slider = objc::make<NSSlider>();
  slider->setDoubleValue(0.25);
  auto values = RecordingObserver<double>::create();
  auto a = value(rv::rv(slider)).subscribe(values);
  objc::Ref<objc::Object> target = slider->target();

  auto texts = RecordingObserver<std::string>::create();
  auto b = controlProperty(
               rv::rv(slider), [](NSSlider& s) { return s.stringValue(); },
               [](NSSlider& s, const std::string& text) { s.setStringValue(text); })
               .subscribe(texts);
  EXPECT_EQ(slider->target(), target) << "one trigger for every property of the control";
  EXPECT_EQ(texts->elements(), std::vector<std::string>{"0.25"})
      << "a property joining a connected trigger reads its own value at once";

  slider->setDoubleValue(0.75);
  slider->performClick(nullptr);
  EXPECT_EQ(values->elements(), (std::vector<double>{0.25, 0.75}));
  EXPECT_EQ(texts->elements(), (std::vector<std::string>{"0.25", "0.75"}));
}

TEST_F(NSControlReactiveTest, WritingFromABackgroundThreadSetsTheValueLaterOnTheMainThread) {
  objc::Ref<NSSlider> slider = objc::make<NSSlider>();
  ControlProperty<double> property = value(rv::rv(slider));
  std::thread([&] { property.onNext(0.5); }).join();
  EXPECT_EQ(slider->doubleValue(), 0.0) << "not before the main queue runs";
  drain();
  EXPECT_EQ(slider->doubleValue(), 0.5);

  objc::Ref<NSView> view = objc::make<NSView>();
  Binder<objc::CGFloat> alpha = alphaValue(rv::rv(view));
  std::thread([&] { alpha.onNext(0.3); }).join();
  drain();
  EXPECT_EQ(view->alphaValue(), 0.3);
  ::testing::internal::CaptureStdout();
  alpha.onError(test::makeError("x"));
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("Binding error: x"), std::string::npos);
  EXPECT_EQ(view->alphaValue(), 0.3);
}

TEST_F(NSControlReactiveTest, EveryStreamCompletesWhenTheControlGoes) {
  objc::Ref<NSButton> button = makeToggle();
  auto taps = RecordingObserver<Unit>::create();
  auto states = RecordingObserver<NSControlStateValue>::create();
  auto changes = RecordingObserver<NSControlStateValue>::create();
  auto a = tap(rv::rv(button)).subscribe(taps);
  auto b = state(rv::rv(button)).subscribe(states);
  auto c = state(rv::rv(button)).changed().subscribe(changes);
  objc::Weak<NSButton> weak(button);
  button = nullptr;
  EXPECT_FALSE(weak.load()) << "the streams do not keep the control alive";
  EXPECT_EQ(taps->completedCount(), 1);
  EXPECT_EQ(states->completedCount(), 1);
  EXPECT_EQ(changes->completedCount(), 1);
}

TEST_F(NSControlReactiveTest, ActionStreamAndPropertyInstallTargetsInTurn) {
  objc::Ref<NSButton> button = makeToggle();
  auto taps = RecordingObserver<Unit>::create();
  auto states = RecordingObserver<NSControlStateValue>::create();
  auto a = tap(rv::rv(button)).subscribe(taps);
  objc::Ref<objc::Object> first = button->target();
  auto b = state(rv::rv(button)).subscribe(states);
  objc::Ref<objc::Object> second = button->target();
  EXPECT_NE(first, second) << "each stream has its own target; the later one wins";
  EXPECT_TRUE(objc::dynamicCast<ControlTarget>(second));

  button->performClick(nullptr);
  EXPECT_TRUE(taps->elements().empty());
  EXPECT_EQ(states->elements().size(), 2u);
}

TEST(NSControlReactiveDeathTest, MembersRequireTheMainThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  objc::Ref<NSButton> button = objc::make<NSButton>();
  EXPECT_DEATH(std::thread([&] { controlEvent(rv::rv(button)); }).join(),
               "Running on background thread.");
  EXPECT_DEATH(std::thread([&] { state(rv::rv(button)); }).join(), "Running on background thread.");
}

}  // namespace
}  // namespace rv
