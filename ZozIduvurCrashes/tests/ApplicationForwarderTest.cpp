// The application forwarder: which switches let it replace the application
// object's methods, and the order in which an exception is reported. The
// replacements last for the process, so every case runs in its own.

#include <stdexcept>
#include <string>
#include <vector>

#include "CrashesServiceSupport.h"
#include "DUZEApplicationForwarder.h"
#include "ZozIduvurCrashes/DUZEWrapperCrashesHelper.h"
#include "appkit/NSApplication.h"
#include "foundation/Bundle.h"
#include "foundation/UserDefaults.h"
#include "foundationTest/Bundle.h"
#include "objc/Message.h"
#include "objc/Runtime.h"

namespace {

std::vector<std::string> gReports;

void recordingUncaughtHandler(objc::NSException* exception) {
  gReports.push_back("crash service:" + exception->name());
}

class NoEngineHandler : public DUZECrashHandlerSetupDelegate {
 public:
  std::optional<bool> shouldEnableUncaughtExceptionHandler() override { return false; }
};

class ApplicationForwarder : public crashestest::CrashesServiceTest {
 protected:
  void TearDown() override {
    foundationtest::resetInfoDictionary(*foundation::NSBundle::mainBundle());
    CrashesServiceTest::TearDown();
  }

  static objc::IMP implementationOf(const char* selector) {
    return objc::method_getImplementation(objc::class_getInstanceMethod(
        appkit::NSApplication::classObject(), objc::sel_registerName(selector)));
  }
  static void crashOnExceptions() {
    foundation::NSUserDefaults::standardUserDefaults()->registerDefaults(
        {{std::string(kDUZEApplicationCrashOnExceptionsKey), foundation::Value(true)}});
  }
};

TEST_F(ApplicationForwarder, InfoPlistSwitchTurnsItOff) {
  DUZE_RUN_IN_OWN_PROCESS();
  crashOnExceptions();
  foundation::NSBundle::mainBundle()->setObjectForInfoDictionaryKey(
      foundation::Value(false), kDUZEApplicationForwarderEnabledKey);
  const objc::IMP sendEvent = implementationOf("sendEvent:");
  const objc::IMP reportException = implementationOf("reportException:");
  DUZEApplicationForwarder::registerForwarding();
  EXPECT_EQ(implementationOf("sendEvent:"), sendEvent);
  EXPECT_EQ(implementationOf("reportException:"), reportException);
  EXPECT_TRUE(hasLine("[ZozIduvurCrashes] DEBUG"));
  EXPECT_TRUE(
      hasLine("Application forwarder for info.plist key "
              "'ZozIduvurApplicationForwarderEnabled' disabled. It won't use swizzling."));
  EXPECT_FALSE(hasLine("swizzled"));
}

TEST_F(ApplicationForwarder, NothingIsReplacedUnlessTheApplicationAsksForCrashes) {
  DUZE_RUN_IN_OWN_PROCESS();
  // Set, but to YES: the switch is on.
  foundation::NSBundle::mainBundle()->setObjectForInfoDictionaryKey(
      foundation::Value(true), kDUZEApplicationForwarderEnabledKey);
  const objc::IMP sendEvent = implementationOf("sendEvent:");
  DUZEApplicationForwarder::registerForwarding();
  foundation::NSUserDefaults::standardUserDefaults()->registerDefaults(
      {{std::string(kDUZEApplicationCrashOnExceptionsKey), foundation::Value(false)}});
  DUZEApplicationForwarder::registerForwarding();
  EXPECT_EQ(implementationOf("sendEvent:"), sendEvent);
  EXPECT_EQ(countLines("Application forwarder for info.plist key "
                       "'ZozIduvurApplicationForwarderEnabled' enabled. It may use swizzling."),
            2u);
  EXPECT_EQ(countLines("[ZozIduvurCrashes] INFO"), 2u);
  EXPECT_EQ(countLines("Catching uncaught exceptions thrown on the main thread disabled. Set "
                       "`NSApplicationCrashOnExceptions` flag before SDK initialization, to allow "
                       "crash on uncaught exceptions and the SDK can report them."),
            2u);
}

TEST_F(ApplicationForwarder, ExceptionsReachTheCrashServiceBeforeTheApplicationsReporting) {
  DUZE_RUN_IN_OWN_PROCESS();
  crashOnExceptions();
  // The application's own reporting, as the forwarder will find it.
  objc::class_replaceMethod(appkit::NSApplication::classObject(),
                            objc::sel_registerName("reportException:"),
                            objc::imp_implementationWithBlock<void(objc::NSException*)>(
                                [](objc::id, objc::NSException* exception) {
                                  gReports.push_back("application:" + exception->name());
                                }),
                            "v24@0:8@16");
  // The crash service forwards to a handler of the test's instead of the
  // engine's (which would end the process).
  auto setup = std::make_shared<NoEngineHandler>();
  DUZEWrapperCrashesHelper::setCrashHandlerSetupDelegate(setup);
  rocrash::NSSetUncaughtExceptionHandler(recordingUncaughtHandler);
  startOnFakeGroup();
  EXPECT_TRUE(hasLine("Selector 'reportException:' of class 'NSApplication' is swizzled."));
  EXPECT_TRUE(hasLine("Selector 'sendEvent:' of class 'NSApplication' is swizzled."));

  auto application = appkit::NSApplication::sharedApplication();
  bool handled = false;
  application->sendEvent(
      appkit::NSEvent::eventWithType(appkit::NSEventTypeKeyDown, [&] { handled = true; }).get());
  EXPECT_TRUE(handled);
  EXPECT_TRUE(gReports.empty());

  // Not raised again: the event loop goes on.
  application->sendEvent(appkit::NSEvent::eventWithType(appkit::NSEventTypeKeyDown, [] {
                           objc::NSException::raise("NSInternalInconsistencyException", "broken");
                         }).get());
  EXPECT_EQ(gReports, (std::vector<std::string>{"crash service:NSInternalInconsistencyException",
                                                "application:NSInternalInconsistencyException"}));

  // Any other thrown value passes through unchanged.
  EXPECT_THROW(
      application->sendEvent(appkit::NSEvent::eventWithType(
                                 appkit::NSEventTypeKeyDown,
                                 [] { throw std::runtime_error("not a runtime exception"); })
                                 .get()),
      std::runtime_error);

  // Registering again replaces nothing twice.
  DUZEApplicationForwarder::registerForwarding();
  EXPECT_EQ(countLines("is swizzled."), 2u);
  gReports.clear();
  application->reportException(objc::NSException::exceptionWithName("Reported", "by hand").get());
  EXPECT_EQ(gReports, (std::vector<std::string>{"crash service:Reported", "application:Reported"}));
}

}  // namespace
