#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "Support.h"
#include "appkit/NSApplication.h"
#include "appkit/NSViewController.h"
#include "objc/Message.h"
#include "objc/NSException.h"

namespace {

using appkit::NSApplication;
using appkit::NSEvent;
using appkit::NSViewController;
using appkittest::sel;
using objc::Ref;

// Replaces an instance method of a class for the life of the object, then
// puts the old implementation back (classes are process-wide).
class Replacement {
 public:
  template <class Sig, class F>
  static Replacement make(objc::Class cls, const char* selector, F block) {
    Replacement r;
    r.method_ = objc::class_getInstanceMethod(cls, sel(selector));
    r.replacement_ = objc::imp_implementationWithBlock<Sig>(std::move(block));
    r.previous_ = objc::method_setImplementation(r.method_, r.replacement_);
    return r;
  }
  Replacement(Replacement&& other) noexcept
      : method_(std::exchange(other.method_, nullptr)),
        previous_(other.previous_),
        replacement_(other.replacement_) {}
  ~Replacement() {
    if (!method_) return;
    objc::method_setImplementation(method_, previous_);
    objc::imp_removeBlock(replacement_);
  }
  objc::IMP previous() const { return previous_; }

 private:
  Replacement() = default;
  objc::Method method_ = nullptr;
  objc::IMP previous_ = nullptr;
  objc::IMP replacement_ = nullptr;
};

TEST(Application, ClassesAndProtocolsExistBeforeFirstUse) {
  // Only names here: the classes must have been defined when the program
  // started, not by this test.
  for (const char* name :
       {"NSApplication", "NSViewController", "NSView", "NSControl", "NSButton", "NSSlider",
        "NSTextField", "NSTextView", "NSEvent", "NSNotification", "NSError"}) {
    EXPECT_NE(objc::objc_getClass(name), nullptr) << name;
  }
  for (const char* name : {"NSControlTextEditingDelegate", "NSTextFieldDelegate", "NSTextDelegate",
                           "NSTextViewDelegate"}) {
    EXPECT_NE(objc::objc_getProtocol(name), nullptr) << name;
  }
}

TEST(Application, SharedApplicationIsOneObjectForEveryThread) {
  std::vector<NSApplication*> seen(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] { seen[i] = NSApplication::sharedApplication().get(); });
  }
  for (auto& thread : threads) thread.join();
  for (auto* app : seen) EXPECT_EQ(app, seen[0]);
  EXPECT_NE(seen[0], nullptr);
  EXPECT_EQ(NSApplication::sharedApplication().get(), seen[0]);
}

TEST(Application, SharedApplicationIsOfTheClassThatAskedFirst) {
  // A fresh process, where nobody asked yet.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        objc::Class cls =
            objc::objc_allocateClassPair(NSApplication::classObject(), "AKTestApplication", 0);
        objc::objc_registerClassPair(cls);
        auto first = objc::send<Ref<objc::Object>()>(cls, sel("sharedApplication"));
        auto second = NSApplication::sharedApplication();
        const bool ok =
            first && first.get() == second.get() && objc::object_getClass(second.get()) == cls;
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(Application, SendEventRunsWhatTheEventDoesAndLetsExceptionsPass) {
  auto app = NSApplication::sharedApplication();
  int delivered = 0;
  app->sendEvent(NSEvent::eventWithType(appkit::NSEventTypeKeyDown, [&] { ++delivered; }).get());
  app->sendEvent(NSEvent::eventWithType(appkit::NSEventTypeKeyUp).get());
  app->sendEvent(nullptr);
  EXPECT_EQ(delivered, 1);
  auto failing = NSEvent::eventWithType(appkit::NSEventTypeLeftMouseDown, [] {
    objc::NSException::raise("TestException", "from the event");
  });
  EXPECT_EQ(failing->type(), appkit::NSEventTypeLeftMouseDown);
  try {
    app->sendEvent(failing.get());
    ADD_FAILURE() << "the exception did not pass";
  } catch (const Ref<objc::NSException>& exception) {
    EXPECT_EQ(exception->reason(), "from the event");
  }
}

TEST(Application, ReportExceptionLogsNameAndReason) {
  auto exception = objc::NSException::exceptionWithName("TestException", "something broke");
  testing::internal::CaptureStderr();
  NSApplication::sharedApplication()->reportException(exception.get());
  const std::string logged = testing::internal::GetCapturedStderr();
  EXPECT_NE(logged.find("TestException: something broke"), std::string::npos) << logged;
}

TEST(Application, ReplacedMethodsSeeEveryCallAndCanCallThePreviousOnes) {
  // What the crash service does: both messages replaced, an exception that
  // escapes event delivery reported through the replaced reportException:.
  std::vector<std::string> order;
  Replacement report = Replacement::make<void(objc::NSException*)>(
      NSApplication::classObject(), "reportException:", [&](objc::id self, objc::NSException* e) {
        order.push_back("reported " + e->reason());
        objc::callImplementation<void(objc::NSException*)>(report.previous(), self,
                                                           sel("reportException:"), e);
      });
  Replacement send = Replacement::make<void(NSEvent*)>(
      NSApplication::classObject(), "sendEvent:", [&](objc::id self, NSEvent* event) {
        try {
          objc::callImplementation<void(NSEvent*)>(send.previous(), self, sel("sendEvent:"), event);
        } catch (const Ref<objc::NSException>& exception) {
          objc::send<void(objc::NSException*)>(self, sel("reportException:"), exception.get());
        }
      });
  testing::internal::CaptureStderr();
  NSApplication::sharedApplication()->sendEvent(
      NSEvent::eventWithType(appkit::NSEventTypeKeyDown, [] {
        objc::NSException::raise("TestException", "escaped");
      }).get());
  const std::string logged = testing::internal::GetCapturedStderr();
  EXPECT_EQ(order, std::vector<std::string>{"reported escaped"});
  EXPECT_NE(logged.find("TestException: escaped"), std::string::npos);
}

TEST(ViewController, ViewWillAppearReachesOverridesAndReplacements) {
  auto controller = objc::make<NSViewController>();
  controller->viewWillAppear();  // does nothing by default

  objc::Class cls = objc::objc_allocateClassPair(NSViewController::classObject(),
                                                 appkittest::uniqueName("AKSettings").c_str(), 0);
  static int subclassCalls = 0;
  objc::class_addMethod(
      cls, sel("viewWillAppear"),
      objc::imp_implementationWithBlock<void()>([](objc::id) { ++subclassCalls; }),
      objc::methodEncoding<void()>());
  objc::objc_registerClassPair(cls);
  auto custom = objc::make<NSViewController>(cls);
  custom->viewWillAppear();
  EXPECT_EQ(subclassCalls, 1);

  int replaced = 0;
  {
    Replacement replacement = Replacement::make<void()>(
        NSViewController::classObject(), "viewWillAppear", [&](objc::id) { ++replaced; });
    controller->viewWillAppear();
  }
  controller->viewWillAppear();
  EXPECT_EQ(replaced, 1);
}

}  // namespace
