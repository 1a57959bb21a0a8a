#include "switcher/AppDelegate.h"

#include <string>

#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvurAnalytics/DUZEAnalytics.h"
#include "ZozIduvurCrashes/DUZECrashes.h"
#include "foundation/UserDefaults.h"
#include "foundation/Value.h"

namespace {

// The standard default that makes an exception raised on the main thread a
// crash instead of a logged message.
constexpr std::string_view kCrashOnExceptionsDefault = "NSApplicationCrashOnExceptions";

}  // namespace

std::shared_ptr<AppDelegate> AppDelegate::create() {
  return std::shared_ptr<AppDelegate>(new AppDelegate());
}

void AppDelegate::applicationDidFinishLaunching() {
  // Registered, not stored: it holds for this run only, and must be in place
  // before the crash service starts, which decides then whether it takes
  // over the application's exception reporting.
  foundation::NSUserDefaults::standardUserDefaults()->registerDefaults(
      {{std::string(kCrashOnExceptionsDefault), foundation::Value(true)}});
  DUZEZozIduvur::start(std::string(kApplicationSecret), {DUZEServiceClass::of<DUZEAnalytics>(),
                                                         DUZEServiceClass::of<DUZECrashes>()});
  DUZECrashes::setDelegate(shared_from_this());
}

void AppDelegate::applicationWillTerminate() {
  // What was enqueued so far is stored, then the store is closed; the client's
  // objects themselves live as long as the process.
  if (auto group = DUZEZozIduvur::channelGroup()) {
    group->waitUntilIdle();
    group->shutdown();
  }
}

std::optional<bool> AppDelegate::crashesShouldProcessErrorReport(
    const std::shared_ptr<DUZECrashes>& /*crashes*/,
    const std::shared_ptr<DUZEErrorReport>& /*errorReport*/) {
  return true;
}
