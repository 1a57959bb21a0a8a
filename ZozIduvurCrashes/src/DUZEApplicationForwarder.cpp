#include "DUZEApplicationForwarder.h"

#include <atomic>
#include <mutex>

#include "DUZECrashesUtil.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvurCrashes/DUZECrashes.h"
#include "appkit/NSApplication.h"
#include "foundation/Bundle.h"
#include "foundation/UserDefaults.h"
#include "objc/Message.h"
#include "objc/Runtime.h"

namespace {

std::once_flag gReportExceptionOnce;
std::once_flag gSendEventOnce;
std::atomic<objc::IMP> gOriginalReportException{nullptr};
std::atomic<objc::IMP> gOriginalSendEvent{nullptr};

objc::SEL reportExceptionSelector() {
  static const objc::SEL sel = objc::sel_registerName("reportException:");
  return sel;
}

objc::SEL sendEventSelector() {
  static const objc::SEL sel = objc::sel_registerName("sendEvent:");
  return sel;
}

// In place of `-[NSApplication reportException:]`: the crash service first,
// then the application's own reporting.
void duze_reportException(objc::id application, objc::NSException* exception) {
  DUZECrashes::applicationDidReportException(exception);
  objc::callImplementation<void(objc::NSException*)>(gOriginalReportException.load(), application,
                                                     reportExceptionSelector(), exception);
}

// In place of `-[NSApplication sendEvent:]`: a runtime exception that
// escapes the event's handling is reported instead of passed on.
void duze_sendEvent(objc::id application, appkit::NSEvent* event) {
  try {
    objc::callImplementation<void(appkit::NSEvent*)>(gOriginalSendEvent.load(), application,
                                                     sendEventSelector(), event);
  } catch (const objc::Ref<objc::NSException>& exception) {
    duze_reportException(application, exception.get());
  }
}

// Sets the implementation of `selector` on NSApplication to `replacement`
// and keeps the old one in `original`.
void replace(objc::SEL selector, objc::IMP replacement, std::atomic<objc::IMP>& original) {
  objc::Class cls = appkit::NSApplication::classObject();
  objc::Method method = objc::class_getInstanceMethod(cls, selector);
  if (method == nullptr) return;
  original = objc::method_setImplementation(method, replacement);
  DUZELogDebug(kDUZECrashesLogTag, "Selector '%@' of class '%@' is swizzled.",
               objc::sel_getName(selector), objc::class_getName(cls));
}

}  // namespace

void DUZEApplicationForwarder::registerForwarding() {
  const auto enabled = foundation::NSBundle::mainBundle()->objectForInfoDictionaryKey(
      kDUZEApplicationForwarderEnabledKey);
  if (enabled && !enabled->asBool().value_or(true)) {
    DUZELogDebug(kDUZECrashesLogTag,
                 "Application forwarder for info.plist key '%@' disabled. It won't use swizzling.",
                 kDUZEApplicationForwarderEnabledKey);
    return;
  }
  DUZELogDebug(kDUZECrashesLogTag,
               "Application forwarder for info.plist key '%@' enabled. It may use swizzling.",
               kDUZEApplicationForwarderEnabledKey);
  if (!foundation::NSUserDefaults::standardUserDefaults()->boolForKey(
          kDUZEApplicationCrashOnExceptionsKey)) {
    DUZELogInfo(kDUZECrashesLogTag,
                "Catching uncaught exceptions thrown on the main thread disabled. Set `%@` flag "
                "before SDK initialization, to allow crash on uncaught exceptions and the SDK can "
                "report them.",
                kDUZEApplicationCrashOnExceptionsKey);
    return;
  }
  std::call_once(gReportExceptionOnce, [] {
    replace(reportExceptionSelector(),
            objc::imp_implementationWithBlock<void(objc::NSException*)>(
                [](objc::id self, objc::NSException* exception) {
                  duze_reportException(self, exception);
                }),
            gOriginalReportException);
  });
  std::call_once(gSendEventOnce, [] {
    replace(sendEventSelector(),
            objc::imp_implementationWithBlock<void(appkit::NSEvent*)>(
                [](objc::id self, appkit::NSEvent* event) { duze_sendEvent(self, event); }),
            gOriginalSendEvent);
  });
}
