// The application's launch completion and its answers as the crash
// service's delegate.

#include <algorithm>
#include <cctype>

#include "SwitcherTestSupport.h"
#include "ZozIduvur/DUZEChannelUnitDefault.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvur/TestSeams.h"
#include "ZozIduvurAnalytics/DUZEAnalytics.h"
#include "ZozIduvurCrashes/DUZECrashes.h"
#include "ZozIduvurCrashes/TestSeams.h"
#include "appkit/NSApplication.h"
#include "dispatch/MainLoop.h"
#include "foundation/UUID.h"
#include "foundation/UserDefaults.h"
#include "switcher/AppDelegate.h"

namespace {

using switchertest::SwitcherTest;

// The standard default the crash service reads at its start.
constexpr const char* kCrashOnExceptions = "NSApplicationCrashOnExceptions";

std::shared_ptr<DUZEErrorReport> reportWithSignal(std::optional<std::string> signal) {
  return DUZEErrorReport::create(std::string("3F1E2D4C-0000-4000-8000-000000000001"),
                                 std::string(""), std::move(signal), std::nullopt, std::nullopt,
                                 std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                 std::nullopt, std::nullopt, std::nullopt, nullptr, 0);
}

TEST(AppDelegate, ProcessesEveryReportAndImplementsNothingElse) {
  auto delegate = AppDelegate::create();
  auto crashes = std::shared_ptr<DUZECrashes>();
  // A crash, a report the service could say little about, the system killing
  // the application, and no report at all: each is processed.
  for (const auto& report : {reportWithSignal("SIGSEGV"), reportWithSignal(std::nullopt),
                             reportWithSignal("SIGKILL"), std::shared_ptr<DUZEErrorReport>()}) {
    EXPECT_EQ(delegate->crashesShouldProcessErrorReport(crashes, report), std::optional(true));
  }
  // No attachments go with the reports.
  EXPECT_EQ(delegate->attachmentsWithCrashes(crashes, reportWithSignal("SIGSEGV")), std::nullopt);
}

TEST(AppDelegate, ApplicationSecretIsAUuidString) {
  ASSERT_EQ(kApplicationSecret.size(), 36u);
  auto uuid = foundation::NSUUID::fromString(kApplicationSecret);
  ASSERT_TRUE(uuid);
  std::string text = uuid->UUIDString();
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  EXPECT_EQ(text, kApplicationSecret);
}

class AppLaunch : public SwitcherTest {
 protected:
  static bool runMainLoopUntil(const std::function<bool()>& predicate) {
    return dispatch::MainLoop::runUntil(predicate, dispatch::DispatchTimeInterval::seconds(10));
  }
};

TEST_F(AppLaunch, RegistersTheDefaultStartsBothServicesAndBecomesTheCrashDelegate) {
  // The crash engine and the method replacements stay for the process.
  SWITCHER_RUN_IN_OWN_PROCESS();
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(
      dispatch::DispatchTimeInterval::milliseconds(20));
  DUZECrashesSeams::setProcessingDelayForTesting(dispatch::DispatchTimeInterval::milliseconds(20));

  appkit::NSApplication::sharedApplication();
  auto delegate = AppDelegate::create();
  delegate->applicationDidFinishLaunching();

  // The default holds for this run and is not stored.
  auto defaults = foundation::NSUserDefaults::standardUserDefaults();
  EXPECT_TRUE(defaults->boolForKey(kCrashOnExceptions));
  EXPECT_EQ(defaults->persistentDomain().count(kCrashOnExceptions), 0u);
  // It was in place when the crash service started, which then took over
  // the application object's exception reporting.
  EXPECT_FALSE(hasLine("Catching uncaught exceptions thrown on the main thread disabled"));
  EXPECT_TRUE(hasLine("Selector 'reportException:' of class 'NSApplication' is swizzled."));
  EXPECT_TRUE(hasLine("Selector 'sendEvent:' of class 'NSApplication' is swizzled."));

  // Both services, started by the application with its secret.
  const std::vector<std::shared_ptr<DUZEServiceAbstract>> services = {
      DUZEAnalytics::sharedInstance(), DUZECrashes::sharedInstance()};
  for (const auto& service : services) {
    EXPECT_TRUE(service->isStarted()) << service->serviceName();
    EXPECT_TRUE(service->startedFromApplication()) << service->serviceName();
    EXPECT_EQ(service->appSecret(), std::optional(std::string(kApplicationSecret)))
        << service->serviceName();
  }
  EXPECT_TRUE(DUZEAnalytics::isServiceEnabled());
  EXPECT_TRUE(DUZECrashes::isServiceEnabled());

  // The application is the crash service's delegate.
  EXPECT_EQ(DUZECrashes::delegate(), delegate);

  // The start is announced to the ingestion, naming both services, the
  // crash service first (it starts first), under the application's secret.
  ASSERT_TRUE(runMainLoopUntil([&] { return !sentLogOfType("startService").is_null(); }));
  const auto start = sentLogOfType("startService");
  EXPECT_EQ(start["services"], nlohmann::json::array({"Crashes", "Analytics"})) << start.dump();
  for (const auto& request : server_->requests()) {
    if (request.target.rfind("/logs", 0) != 0) continue;
    EXPECT_EQ(request.header("app-secret"), kApplicationSecret);
  }
}

}  // namespace
