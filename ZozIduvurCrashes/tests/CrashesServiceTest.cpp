// The crash service's life: construction, start, enabling with the crash
// engine, disabling, handled errors and the sending callbacks. A test that
// enables the service sets up the crash engine, which happens once per
// process, so it runs in a process of its own.

#include <exception>
#include <fstream>
#include <thread>

#include "CrashesServiceSupport.h"
#include "DUZECrashesLogBuffer.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurCrashes/DUZECrashesUncaughtCXXExceptionHandlerManager.h"
#include "ZozIduvurCrashes/DUZEHandledErrorLog.h"
#include "ZozIduvurCrashes/DUZEWrapperCrashesHelper.h"
#include "ZozIduvurCrashes/DUZEWrapperExceptionManager.h"
#include "ZozIduvurCrashes/TestSeams.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-capture/ROReradUzerirud.h"
#include "dispatch/DispatchSource.h"
#include "dispatch/TestSeams.h"
#include "dispatchTest/Waiting.h"
#include "foundation/UUID.h"
#include "foundation/UserDefaults.h"

namespace {

using dispatch::testing::eventually;

namespace fs = std::filesystem;
using duzetest::FakeGroup;
using duzetest::FakeUnit;

class CrashesService : public crashestest::CrashesServiceTest {};

TEST_F(CrashesService, ConstructionMigratesKeysAndPreparesFoldersAndUnit) {
  auto defaults = foundation::NSUserDefaults::standardUserDefaults();
  defaults->setObject(foundation::Value(true), "ZIUserConfirmation");
  defaults->setObject(foundation::Value(false), "kZORodozidIsEnabledKey");

  auto instance = crashes();
  EXPECT_FALSE(defaults->objectForKey("ZIUserConfirmation"));
  EXPECT_EQ(defaults->objectForKey("RADuzOzezadCrashesUserConfirmation"), foundation::Value(true));
  EXPECT_EQ(defaults->objectForKey("RADuzOzezadCrashesIsEnabled"), foundation::Value(false));
  EXPECT_FALSE(instance->isEnabled());

  EXPECT_TRUE(fs::is_directory(crashesFolder()));
  EXPECT_TRUE(fs::is_directory(bufferFolder()));
  EXPECT_EQ(instance->crashesPathComponent(), "crashes");
  EXPECT_EQ(instance->logBufferPathComponent(), "crasheslogbuffer");
  EXPECT_EQ(instance->analyzerInProgressFilePathComponent(), "crashes/ZORodozid.analyzer");
  EXPECT_EQ(instance->channelUnitConfiguration(),
            DUZEChannelUnitConfiguration("Crashes", 2, 1, 1, 3));
  EXPECT_EQ(instance->initializationPriority(), 999);
  EXPECT_EQ(instance->serviceName(), "Crashes");
  EXPECT_EQ(instance->logTag(), "ZozIduvurCrashes");
  EXPECT_EQ(instance->isEnabledKey(), "CrashesIsEnabled");
  EXPECT_TRUE(instance->isMachExceptionHandlerEnabled());
  EXPECT_TRUE(instance->isAutomaticProcessingEnabled());
  EXPECT_FALSE(instance->didCrashInLastSession());
  EXPECT_EQ(instance->bufferFileQueue()->maxConcurrentOperationCount(), 5);
}

TEST_F(CrashesService, StartSetsUpTheEngineAndItsHandlers) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto group = startOnFakeGroup();
  auto instance = crashes();

  auto engine = instance->roReradUzerirud();
  ASSERT_TRUE(engine);
  EXPECT_EQ(engine->config()->signalHandlerType(), ROReradUzerirudSignalHandlerTypeMach);
  EXPECT_EQ(engine->config()->symbolicationStrategy(), ROReradUzerirudSymbolicationStrategyNone);
  EXPECT_TRUE(engine->config()->shouldRegisterUncaughtExceptionHandler());
  EXPECT_EQ(DUZEWrapperExceptionManager::crashReporter(), engine);
  // Enabled: the engine made its folder and installed its exception handler.
  EXPECT_TRUE(fs::is_directory(engine->crashReportDirectory()));
  EXPECT_EQ(instance->exceptionHandler(), &uncaught_exception_handler);
  EXPECT_EQ(DUZECrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler(), 1u);
  EXPECT_EQ(std::get_terminate(), &cxx_terminate_handler);
  EXPECT_TRUE(instance->memoryPressureSource());

  auto unit = group->unit("Crashes");
  ASSERT_TRUE(unit);
  EXPECT_EQ(unit->calls(), std::vector<std::string>{"enabled:1:1"});
  auto buffer = group->unit("CrashesBuffer");
  ASSERT_TRUE(buffer);
  EXPECT_EQ(buffer->configuration(), DUZEChannelUnitConfiguration("CrashesBuffer", 2, 1, 50, 1));
  EXPECT_EQ(instance->bufferChannelUnit(), buffer);
  ASSERT_EQ(group->delegates().size(), 1u);
  EXPECT_EQ(group->delegates()[0].get(), static_cast<DUZEChannelDelegate*>(instance.get()));

  const auto logged = lines();
  auto indexOf = [&](const std::string& text) {
    for (size_t i = 0; i < logged.size(); ++i)
      if (logged[i].find(text) != std::string::npos) return i;
    return logged.size();
  };
  const std::vector<std::string> expected = {
      "EnableUncaughtExceptionHandler is set to YES",
      "Enabled Mach exception handler.",
      "Exception handler successfully initialized.",
      "Crashes service has been enabled.",
      "Started crash service.",
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_LT(indexOf(expected[i]), logged.size()) << expected[i];
    if (i > 0) {
      EXPECT_LT(indexOf(expected[i - 1]), indexOf(expected[i])) << expected[i];
    }
  }
  EXPECT_TRUE(hasLine("[ZozIduvurCrashes] INFO: "));
  EXPECT_FALSE(hasLine("Could not enable crash reporter"));
  // Nothing stored: nothing waits for processing.
  EXPECT_TRUE(instance->crashFiles().empty());
  EXPECT_TRUE(DUZECrashesInternal(*instance).unprocessedCrashReports().empty());
}

// The engine's annotations follow the session and user id from enabling on,
// beside observers and annotations of the host's that take all the room the
// host has (the service's names tried among them), and through disabling
// and enabling again; for a user id they cannot carry, the time it was set.
TEST_F(CrashesService, AnnotationsFollowTheIdsBesideAHostsObserversAndAnnotations) {
  DUZE_RUN_IN_OWN_PROCESS();
  int names = 0;
  while (ROReradUzerirud::setAnnotation("host " + std::to_string(names), "v")) ++names;
  EXPECT_EQ(names, 16);
  EXPECT_FALSE(ROReradUzerirud::setAnnotation("sessionId", "HOST"));
  ASSERT_TRUE(crashestest::addHostObservers());
  const auto annotated = [](const char* name) -> std::optional<std::string> {
    const auto data = ROReradUzerirud::init()->generateLiveReport();
    const auto report = data ? ROCrashReport::create(*data, nullptr) : nullptr;
    if (!report || !report->annotations()) return "(no report)";
    const auto found = report->annotations()->find(name);
    if (found == report->annotations()->end()) return std::nullopt;
    return found->second;
  };
  DUZESessionContext::sharedInstance()->setSessionId("before");
  startOnFakeGroup();
  EXPECT_EQ(annotated("sessionId"), "before");
  DUZESessionContext::sharedInstance()->setSessionId("after");
  DUZEUserIdContext::sharedInstance()->setUserId("alice");
  ROReradUzerirud::removeAnnotation("sessionId");
  EXPECT_EQ(crashestest::gHostHeard[3], "alice");
  EXPECT_EQ(annotated("sessionId"), "after");
  EXPECT_EQ(annotated("userId"), "alice");
  EXPECT_EQ(ROReradUzerirud::annotations().size(), 16u);
  DUZEUserIdContext::sharedInstance()->setUserId(std::string(4097, 'u'));
  EXPECT_EQ(annotated("userId"), std::nullopt);
  EXPECT_TRUE(annotated("userIdSetAt"));
  DUZECrashes::setServiceEnabled(false);
  DUZESessionContext::sharedInstance()->setSessionId(std::nullopt);
  DUZECrashes::setServiceEnabled(true);
  EXPECT_EQ(annotated("sessionId"), std::nullopt);
  EXPECT_EQ(crashestest::gHostHeard[0], std::nullopt);
}

TEST_F(CrashesService, SignalHandlersWhenTheExceptionServerIsDisabledBeforeStart) {
  DUZE_RUN_IN_OWN_PROCESS();
  DUZECrashes::disableMachExceptionHandler();
  startOnFakeGroup();
  auto engine = crashes()->roReradUzerirud();
  ASSERT_TRUE(engine);
  EXPECT_EQ(engine->config()->signalHandlerType(), ROReradUzerirudSignalHandlerTypeBSD);
  EXPECT_FALSE(hasLine("Enabled Mach exception handler."));
  EXPECT_TRUE(hasLine("Exception handler successfully initialized."));
}

TEST_F(CrashesService, EnablingAgainKeepsTheFirstEngine) {
  DUZE_RUN_IN_OWN_PROCESS();
  startOnFakeGroup();
  auto engine = crashes()->roReradUzerirud();
  // Too late to take effect.
  DUZECrashes::disableMachExceptionHandler();
  DUZECrashes::setServiceEnabled(false);
  EXPECT_FALSE(DUZECrashes::isServiceEnabled());
  DUZECrashes::setServiceEnabled(true);
  EXPECT_TRUE(DUZECrashes::isServiceEnabled());
  EXPECT_EQ(crashes()->roReradUzerirud(), engine);
  EXPECT_EQ(engine->config()->signalHandlerType(), ROReradUzerirudSignalHandlerTypeMach);
  EXPECT_EQ(countLines("Already configured ROReradUzerirud."), 1u);
  EXPECT_EQ(DUZECrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler(), 1u);
  EXPECT_EQ(countLines("Crashes service has been enabled."), 2u);
  EXPECT_EQ(countLines("Crashes service has been disabled."), 1u);
}

TEST_F(CrashesService, DebuggerAttachedLeavesCrashDetectionOff) {
  DUZE_RUN_IN_OWN_PROCESS();
  DUZECrashesSeams::setDebuggerAttachedForTesting(true);
  startOnFakeGroup();
  auto engine = crashes()->roReradUzerirud();
  ASSERT_TRUE(engine);
  EXPECT_FALSE(fs::exists(engine->crashReportDirectory()));
  EXPECT_EQ(rocrash::NSGetUncaughtExceptionHandler(), nullptr);
  EXPECT_EQ(crashes()->exceptionHandler(), nullptr);
  EXPECT_EQ(DUZECrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler(), 0u);
  EXPECT_TRUE(hasLine(
      "[ZozIduvurCrashes] WARNING: configureCrashReporterWithUncaughtExceptionHandlerEnabled/"));
  EXPECT_TRUE(
      hasLine("Detecting crashes is NOT enabled due to running the app with a debugger attached."));
  EXPECT_TRUE(hasLine(
      "Crashes service has been enabled but the service cannot detect crashes due to running the "
      "application with a debugger attached."));
  EXPECT_FALSE(hasLine("Crashes service has been enabled."));
  // Nothing reaches the (absent) engine handler.
  auto exception = objc::NSException::exceptionWithName("NSGenericException", "ignored");
  DUZECrashes::applicationDidReportException(exception.get());
}

class SetupDelegate : public DUZECrashHandlerSetupDelegate {
 public:
  std::optional<bool> answer;
  std::vector<std::string> calls;
  void willSetUpCrashHandlers() override {
    calls.push_back("will:" +
                    std::to_string(DUZECrashes::sharedInstance()->roReradUzerirud() != nullptr));
  }
  void didSetUpCrashHandlers() override {
    calls.push_back("did:" +
                    std::to_string(DUZECrashes::sharedInstance()->roReradUzerirud() != nullptr));
  }
  std::optional<bool> shouldEnableUncaughtExceptionHandler() override {
    calls.push_back("should");
    return answer;
  }
};

objc::NSException* gReported = nullptr;
void recordingUncaughtHandler(objc::NSException* exception) { gReported = exception; }

TEST_F(CrashesService, WrapperRuntimeKeepsItsOwnUncaughtHandler) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto setup = std::make_shared<SetupDelegate>();
  setup->answer = false;
  DUZEWrapperCrashesHelper::setCrashHandlerSetupDelegate(setup);
  rocrash::NSSetUncaughtExceptionHandler(recordingUncaughtHandler);
  startOnFakeGroup();

  EXPECT_EQ(setup->calls, (std::vector<std::string>{"should", "will:0", "did:1"}));
  EXPECT_FALSE(crashes()->roReradUzerirud()->config()->shouldRegisterUncaughtExceptionHandler());
  EXPECT_TRUE(
      hasLine("EnableUncaughtExceptionHandler is set to NO, we're running in a wrapper runtime."));
  EXPECT_TRUE(
      hasLine("Exception handler successfully initialized but it has not been registered "
              "due to the wrapper SDK."));
  EXPECT_EQ(crashes()->exceptionHandler(), &recordingUncaughtHandler);

  // Exceptions the application reports go to the kept handler.
  auto exception = objc::NSException::exceptionWithName("NSGenericException", "reported");
  DUZECrashes::applicationDidReportException(exception.get());
  EXPECT_EQ(gReported, exception.get());
}

TEST_F(CrashesService, MissingUncaughtHandlerIsAnError) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto setup = std::make_shared<SetupDelegate>();
  setup->answer = false;
  DUZEWrapperCrashesHelper::setCrashHandlerSetupDelegate(setup);
  startOnFakeGroup();
  EXPECT_TRUE(hasLine("[ZozIduvurCrashes] ERROR"));
  EXPECT_TRUE(hasLine(
      "Exception handler could not be set. Make sure there is no other exception handler set "
      "up!"));
  EXPECT_EQ(crashes()->exceptionHandler(), nullptr);
  // The C++ handler is installed all the same.
  EXPECT_EQ(DUZECrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler(), 1u);
}

TEST_F(CrashesService, DisablingCleansUpEverythingButTheEngine) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto group = startOnFakeGroup();
  auto instance = crashes();
  instance->bufferFileQueue()->waitUntilAllOperationsAreFinished();
  storeCrashFile("123", crashestest::reportBytes());
  writeFile(crashesFolder() / "ZORodozid.analyzer", {});
  writeFile(wrapperFolder() / "last_saved_wrapper_exception", {1, 2});
  writeFile(bufferFolder() / "3.zorodozidlogbuffer", {1, 2, 3});
  writeFile(bufferFolder() / "3.targettoken", {4});
  writeFile(pendingReportPath(), crashestest::reportBytes());
  instance->didReceiveMemoryWarning(nullptr);
  auto defaults = DUZEZozIduvurUserDefaults::shared();
  ASSERT_TRUE(defaults->objectForKey("AppDidReceiveMemoryWarning"));
  instance->setCrashFiles({crashesFolder() / "123"});

  DUZECrashes::setServiceEnabled(false);
  EXPECT_FALSE(fs::exists(crashesFolder()));
  EXPECT_FALSE(fs::exists(wrapperFolder()));
  EXPECT_FALSE(fs::exists(pendingReportPath()));
  EXPECT_FALSE(defaults->objectForKey("AppDidReceiveMemoryWarning"));
  EXPECT_TRUE(instance->crashFiles().empty());
  EXPECT_FALSE(instance->memoryPressureSource());
  size_t bufferFiles = 0;
  for (const auto& entry : fs::directory_iterator(bufferFolder())) {
    if (entry.path().extension() != ".zorodozidlogbuffer") continue;
    ++bufferFiles;
    EXPECT_EQ(fs::file_size(entry.path()), 0u) << entry.path();
  }
  EXPECT_EQ(bufferFiles, 60u);
  // Token files are left alone.
  EXPECT_EQ(fs::file_size(bufferFolder() / "3.targettoken"), 1u);
  EXPECT_TRUE(hasLine("Cleaning up all crash files."));
  EXPECT_TRUE(hasLine("Crashes service has been disabled."));
  EXPECT_EQ(group->unit("Crashes")->calls().back(), "enabled:0:1");
  // The engine stays installed.
  EXPECT_EQ(rocrash::NSGetUncaughtExceptionHandler(), &uncaught_exception_handler);
  EXPECT_EQ(DUZECrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler(), 1u);
}

TEST_F(CrashesService, SwitchingOnAgainDropsWhatWasCaughtWhileOff) {
  DUZE_RUN_IN_OWN_PROCESS();
  startOnFakeGroup();
  DUZECrashes::setServiceEnabled(false);
  // A crash while the service was off left a report behind.
  writeFile(pendingReportPath(), crashestest::reportBytes());
  DUZECrashes::setServiceEnabled(true);
  EXPECT_FALSE(fs::exists(pendingReportPath()));
  EXPECT_FALSE(crashes()->didCrashInLastSession());
  EXPECT_FALSE(hasLine("The application crashed in the last session."));
}

TEST_F(CrashesService, MemoryPressureIsRememberedForTheNextLaunch) {
  DUZE_RUN_IN_OWN_PROCESS();
  startOnFakeGroup();
  auto defaults = DUZEZozIduvurUserDefaults::shared();
  ASSERT_FALSE(defaults->objectForKey("AppDidReceiveMemoryWarning"));
  dispatch::simulateMemoryPressure(dispatch::MemoryPressureEvent::critical);
  ASSERT_TRUE(
      eventually([&] { return defaults->objectForKey("AppDidReceiveMemoryWarning").has_value(); }));
  EXPECT_EQ(defaults->objectForKey("AppDidReceiveMemoryWarning"), foundation::Value(true));
  EXPECT_TRUE(hasLine("The application received a low memory warning in the last session."));
}

TEST_F(CrashesService, LastSessionMemoryWarningIsReadOnceAndOnlyWhileEnabled) {
  auto defaults = DUZEZozIduvurUserDefaults::shared();
  defaults->setObject(foundation::Value(true), "AppDidReceiveMemoryWarning");
  defaults->setObject(foundation::Value(false), "CrashesIsEnabled");
  steps().processMemoryWarningInLastSession();
  EXPECT_FALSE(DUZECrashes::hasReceivedMemoryWarningInLastSession());
  EXPECT_TRUE(defaults->objectForKey("AppDidReceiveMemoryWarning"));

  defaults->removeObjectForKey("CrashesIsEnabled");
  steps().processMemoryWarningInLastSession();
  EXPECT_TRUE(DUZECrashes::hasReceivedMemoryWarningInLastSession());
  EXPECT_FALSE(defaults->objectForKey("AppDidReceiveMemoryWarning"));
  steps().processMemoryWarningInLastSession();
  EXPECT_FALSE(DUZECrashes::hasReceivedMemoryWarningInLastSession());
}

TEST_F(CrashesService, HandledErrorsNeedAStartedEnabledService) {
  auto model = DUZEExceptionModel::createWithType("Type", "message", std::nullopt);
  EXPECT_FALSE(DUZECrashes::trackException(model, std::nullopt, std::nullopt));
  EXPECT_TRUE(
      hasLine("Crashes service hasn't been started. You need to call [DUZEZozIduvur "
              "start:YOUR_APP_SECRET withServices:LIST_OF_SERVICES] first."));
  // Nor is a test crash generated.
  DUZECrashes::generateTestCrash();
  EXPECT_EQ(countLines("Crashes service hasn't been started."), 2u);
}

TEST_F(CrashesService, HandledErrorsAreEnqueuedWithTheirPropertiesAndAttachments) {
  DUZE_RUN_IN_OWN_PROCESS();
  auto group = startOnFakeGroup();
  auto unit = group->unit("Crashes");
  DUZEUserIdContext::sharedInstance()->setUserId("alice");

  auto model = DUZEExceptionModel::createWithType("Type", "message", std::nullopt);
  auto first = DUZECrashes::trackException(model, std::nullopt, std::nullopt);
  ASSERT_TRUE(first);
  EXPECT_TRUE(foundation::NSUUID::fromString(*first));
  auto second = DUZECrashes::trackException(model, DUZEProperties{}, std::nullopt);
  ASSERT_TRUE(second);
  EXPECT_NE(*first, *second);

  DUZEProperties many;
  for (int i = 0; i < 21; ++i) many["key" + std::to_string(100 + i)] = "value";
  auto attachment = DUZEErrorAttachmentLog::attachmentWithText("details", "notes.txt");
  auto third =
      DUZECrashes::trackError(foundation::NSError::create("org.example.domain", 7, "went wrong"),
                              many, DUZEErrorAttachmentLogs{attachment});
  ASSERT_TRUE(third);

  auto items = unit->items();
  ASSERT_EQ(items.size(), 4u);
  auto log = std::dynamic_pointer_cast<DUZEHandledErrorLog>(items[0].log);
  ASSERT_TRUE(log);
  EXPECT_EQ(items[0].flags, DUZEFlagsNormal);
  EXPECT_EQ(log->errorId(), *first);
  EXPECT_EQ(log->userId(), "alice");
  EXPECT_EQ(log->exception(), model);
  EXPECT_FALSE(log->properties());
  EXPECT_FALSE(std::dynamic_pointer_cast<DUZEHandledErrorLog>(items[1].log)->properties());

  auto withProperties = std::dynamic_pointer_cast<DUZEHandledErrorLog>(items[2].log);
  ASSERT_TRUE(withProperties && withProperties->properties());
  EXPECT_EQ(withProperties->properties()->size(), 20u);
  EXPECT_EQ(withProperties->exception()->type(), "org.example.domain");
  EXPECT_TRUE(hasLine("handledError 'ErrorLog: " + *third +
                      "' : properties cannot contain more than 20 items. Skipping other "
                      "properties."));
  EXPECT_EQ(items[3].log, attachment);
  EXPECT_EQ(items[3].flags, DUZEFlagsNormal);
  EXPECT_EQ(attachment->errorId(), *third);

  // Disabled: nothing.
  DUZECrashes::setServiceEnabled(false);
  EXPECT_FALSE(DUZECrashes::trackException(model, std::nullopt, std::nullopt));
  EXPECT_EQ(unit->items().size(), 4u);
}

TEST_F(CrashesService, HandledErrorReportDescribesThisRun) {
  auto instance = crashes();
  auto report = instance->buildHandledErrorReportWithErrorID("error-1");
  EXPECT_EQ(report->incidentIdentifier(), "error-1");
  EXPECT_EQ(report->appStartTime(), instance->appStartTime());
  ASSERT_TRUE(report->appErrorTime());
  EXPECT_GE(*report->appErrorTime(), instance->appStartTime());
  EXPECT_TRUE(report->device());
  EXPECT_EQ(report->appProcessIdentifier(), 0u);
  EXPECT_FALSE(report->signal());
  EXPECT_FALSE(report->reporterKey());
  EXPECT_FALSE(report->threads());
  EXPECT_EQ(DUZEWrapperCrashesHelper::buildHandledErrorReportWithErrorID("x")->incidentIdentifier(),
            "x");
}

TEST_F(CrashesService, OnlyCrashLogsReachTheDelegateAndOnTheMainThread) {
  auto delegate = std::make_shared<crashestest::RecordingCrashesDelegate>();
  DUZECrashes::setDelegate(delegate);
  auto instance = crashes();
  auto attachment = DUZEErrorAttachmentLog::attachmentWithText("x", "x.txt");
  auto handled = DUZEHandledErrorLog::create();
  auto crash = DUZEAppleErrorLog::create();
  crash->setErrorId("CRASH-1");

  std::thread worker([&] {
    instance->channelWillSendLog(nullptr, attachment);
    instance->channelWillSendLog(nullptr, handled);
    instance->channelWillSendLog(nullptr, crash);
    instance->channelDidSucceedSendingLog(nullptr, crash);
    instance->channelDidFailSendingLog(nullptr, crash, foundation::NSError::create("d", 1));
    instance->channelDidSucceedSendingLog(nullptr, attachment);
  });
  worker.join();
  ASSERT_TRUE(eventually([&] { return delegate->events().size() >= 3; }));
  EXPECT_EQ(delegate->events(), (std::vector<std::string>{"will:CRASH-1:main", "sent:CRASH-1:main",
                                                          "failed:CRASH-1:main"}));

  // The delegate is held weakly.
  delegate.reset();
  EXPECT_EQ(DUZECrashes::delegate(), nullptr);
  instance->channelWillSendLog(nullptr, crash);
}

}  // namespace
