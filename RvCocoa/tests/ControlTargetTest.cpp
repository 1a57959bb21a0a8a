#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "RvCocoa/ControlTarget.h"
#include "appkit/NSButton.h"
#include "objc/NSString.h"
#include "objcTest/Classes.h"

namespace rv {
namespace {

using appkit::NSButton;
using appkit::NSControl;

using objc::test::sel;

objc::Ref<NSControl> makeButton() { return objc::make<NSButton>(); }

// Counts the callback's calls and remembers the control each one got.
struct Calls {
  std::vector<NSControl*> controls;
  ControlTarget::Callback callback() {
    return [this](const objc::Ref<NSControl>& control) { controls.push_back(control.get()); };
  }
};

TEST(ControlTarget, AnUnreferencedTargetStaysInstalledUntilDisposed) {
  objc::Ref<NSControl> button = makeButton();
  Calls calls;
  objc::Weak<ControlTarget> weak(ControlTarget::create(button, calls.callback()));
  ASSERT_TRUE(weak.load()) << "it holds itself";
  EXPECT_EQ(button->target(), weak.load());
  EXPECT_EQ(button->action(), sel("eventHandler:"));
  EXPECT_EQ(weak.load()->selector(), sel("eventHandler:"));

  button->performClick(nullptr);
  button->performClick(nullptr);
  EXPECT_EQ(calls.controls, (std::vector<NSControl*>{button.get(), button.get()}));

  weak.load()->dispose();
  EXPECT_FALSE(weak.load()) << "freed with its self reference";
  EXPECT_EQ(button->target(), nullptr);
  EXPECT_EQ(button->action(), nullptr);
  button->performClick(nullptr);
  EXPECT_EQ(calls.controls.size(), 2u) << "an action after disposal reaches nothing";
}

TEST(ControlTarget, DisposingThroughTheDisposableRunsTheOverrideAndReleasesTheCallback) {
  objc::Ref<NSControl> button = makeButton();
  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> weakCaptured = captured;
  objc::Ref<ControlTarget> target =
      ControlTarget::create(button, [captured](const objc::Ref<NSControl>&) { ++*captured; });
  captured = nullptr;
  Ref<Disposable> disposable = target->asDisposable();
  objc::Weak<ControlTarget> weak(target);
  target = nullptr;

  disposable->dispose();
  EXPECT_EQ(button->target(), nullptr);
  EXPECT_EQ(button->action(), nullptr);
  EXPECT_TRUE(weakCaptured.expired()) << "the callback and what it captured are released";
  EXPECT_TRUE(weak.load()) << "the disposable still holds the object";
  disposable = nullptr;
  EXPECT_FALSE(weak.load());
}

TEST(ControlTarget, ASecondTargetReplacesTheFirstAndEitherDisposalClearsTheControl) {
  for (int disposeFirst = 0; disposeFirst < 2; ++disposeFirst) {
    objc::Ref<NSControl> button = makeButton();
    Calls first;
    Calls second;
    objc::Ref<ControlTarget> a = ControlTarget::create(button, first.callback());
    objc::Ref<ControlTarget> b = ControlTarget::create(button, second.callback());
    EXPECT_EQ(button->target(), b);
    button->performClick(nullptr);
    EXPECT_TRUE(first.controls.empty());
    EXPECT_EQ(second.controls.size(), 1u);

    (disposeFirst ? a : b)->dispose();
    EXPECT_EQ(button->target(), nullptr) << "disposeFirst=" << disposeFirst;
    EXPECT_EQ(button->action(), nullptr) << "disposeFirst=" << disposeFirst;
    (disposeFirst ? b : a)->dispose();
  }
}

TEST(ControlTarget, AFreedControlIsSkippedByActionAndDisposal) {
  objc::Ref<NSControl> button = makeButton();
  Calls calls;
  objc::Ref<ControlTarget> target = ControlTarget::create(button, calls.callback());
  button = nullptr;
  EXPECT_EQ(target->control(), nullptr);
  target->eventHandler(nullptr);
  EXPECT_TRUE(calls.controls.empty());
  target->dispose();
  target->dispose();
  EXPECT_EQ(target->retainSelf(), nullptr);
}

TEST(ControlTarget, TheHandlerPassesTheStoredControlNotTheSender) {
  objc::Ref<NSControl> button = makeButton();
  objc::Ref<NSControl> other = makeButton();
  Calls calls;
  objc::Ref<ControlTarget> target = ControlTarget::create(button, calls.callback());
  target->eventHandler(other.get());
  target->eventHandler(objc::NSString::stringWithString("sender").get());
  EXPECT_EQ(calls.controls, (std::vector<NSControl*>{button.get(), button.get()}));
  target->dispose();
}

TEST(ControlTarget, ACallbackMayDisposeItsOwnTarget) {
  objc::Ref<NSControl> button = makeButton();
  int calls = 0;
  objc::Ref<ControlTarget> target;
  objc::Weak<ControlTarget> weak;
  auto state = std::make_shared<std::string>("captured");
  weak = ControlTarget::create(button, [&, state](const objc::Ref<NSControl>&) {
    ++calls;
    weak.load()->dispose();
    // The closure still runs with what it captured.
    EXPECT_EQ(*state, "captured");
  });
  state = nullptr;
  button->performClick(nullptr);
  button->performClick(nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(weak.load());
}

TEST(ControlTarget, AGenericTargetHoldsItselfUntilDisposed) {
  objc::Weak<RvTarget> weak(RvTarget::create());
  ASSERT_TRUE(weak.load());
  EXPECT_EQ(weak.load()->retainSelf(), weak.load());
  weak.load()->dispose();
  EXPECT_FALSE(weak.load());
}

TEST(ControlTargetDeathTest, MisuseStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  objc::Ref<NSControl> button = makeButton();
  EXPECT_DEATH(
      {
        std::thread thread([&] { ControlTarget::create(button, nullptr); });
        thread.join();
      },
      "Fatal error: Running on background thread.");
  EXPECT_DEATH(objc::make<ControlTarget>(),
               "Fatal error: Use of unimplemented initializer 'init\\(\\)' for class "
               "'RvCocoa.ControlTarget'");
}

}  // namespace
}  // namespace rv
