// Two runs of an application sharing one data folder. The first starts the
// crash service and really crashes while a handled error is on its way to
// the log store; the second finds the report, converts it, asks its
// delegate, and sends the crash log with its attachment and the buffered
// handled error; then nothing of the crash is left.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <stdexcept>

#include "CrashesServiceSupport.h"
#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZEChannelUnitDefault.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvur/TestSeams.h"
#include "ZozIduvurCrashes/DUZEHandledErrorLog.h"
#include "ZozIduvurCrashes/TestSeams.h"
#include "ZozIduvurTest/SentLogs.h"
#include "appkit/NSApplication.h"
#include "crash-capture/ROCrashReport.h"
#include "dispatch/MainLoop.h"
#include "dispatchTest/Faults.h"
#include "dispatchTest/Processes.h"
#include "foundation/UserDefaults.h"
#include "system/SystemFacts.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kRole = "DUZE_CRASHES_END_TO_END_ROLE";
// A pipe the sending run waits on before it starts the client, when set.
constexpr const char* kGoSignal = "DUZE_CRASHES_END_TO_END_GO";
// The session the crashing run starts before it crashes.
constexpr const char* kCrashedSession = "SESSION-OF-THE-CRASHED-RUN";
// Set for a sending run whose crash came in a child the crashing run forked:
// its report waits in the queue, not as the last run's, and no handled error
// was on its way.
constexpr const char* kForked = "DUZE_CRASHES_END_TO_END_FORKED";

// The host's facts, but for this process's record: a step of the wall clock
// moves the start second it gives (it is counted from the boot time that
// clock gives), and a run in a pid namespace of its own is pid 1, as is the
// next run there, started within the same second.
class ProcessFacts : public sys::SystemFactSource {
 public:
  std::optional<sys::ProcessRecord> process(pid_t pid) override {
    auto record = sys::SystemFactSource::process(pid);
    if (record && pid == ::getpid()) {
      record->startSeconds += clockStep.load();
      if (samePid) {
        record->pid = 1;
        record->startSeconds = 1700000000;
      }
    }
    return record;
  }
  std::atomic<int64_t> clockStep{0};
  bool samePid = false;
};

std::string role() {
  const char* value = std::getenv(kRole);
  return value ? value : "";
}

class EndToEndFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

__attribute__((noinline)) void throwFailure() { throw EndToEndFailure("the window list broke"); }
void terminateWithFailure() noexcept { throwFailure(); }

// Crashes the process, the way `role()` says, while the marked handled error
// is being enqueued: after the crash service buffered it, before the log
// store has it.
class Crasher : public DUZEChannelDelegate {
 public:
  bool channelUnitShouldFilterLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                  const std::shared_ptr<DUZEAbstractLog>& log) override {
    auto handled = std::dynamic_pointer_cast<DUZEHandledErrorLog>(log);
    if (!handled || !handled->properties() || !handled->properties()->count("crash")) return false;
    const std::string kind = role();
    if (kind == "fault" || kind == "clock-step" || kind == "same-pid") {
      dispatch::testing::storeToLowAddress(0x10);
    } else if (kind == "abort") {
      abort();
    } else if (kind == "exception") {
      terminateWithFailure();
    } else if (kind == "testcrash") {
      DUZECrashes::generateTestCrash();
    } else if (kind == "event") {
      appkit::NSApplication::sharedApplication()->sendEvent(
          appkit::NSEvent::eventWithType(appkit::NSEventTypeLeftMouseDown, [] {
            objc::NSException::raise("NSInternalInconsistencyException", "the click went wrong");
          }).get());
    }
    return false;
  }
};

}  // namespace

TEST(CrashesEndToEndChild, Crash) {
  const std::string kind = role();
  if (kind.empty() || kind == "send" || kind == "relaunch") {
    GTEST_SKIP() << "runs as a child of CrashesEndToEnd.*";
  }
  auto facts = std::make_shared<ProcessFacts>();
  facts->samePid = kind == "same-pid";
  if (kind == "clock-step" || kind == "same-pid") sys::installSystemFactSource(facts);
  // As the application does before it starts the client.
  foundation::NSUserDefaults::standardUserDefaults()->registerDefaults(
      {{"NSApplicationCrashOnExceptions", foundation::Value(true)}});
  DUZEZozIduvur::start("secret", {DUZEServiceClass::of<DUZECrashes>()});
  if (kind == "clock-step") {
    // The wall clock steps between two sessions of this run.
    DUZESessionContext::sharedInstance()->setSessionId("BEFORE-THE-STEP");
    facts->clockStep = 3;
  }
  DUZESessionContext::sharedInstance()->setSessionId(kCrashedSession);
  if (kind == "forked") {
    // A child forked from this run crashes; this run ends as usual.
    const pid_t child = ::fork();
    if (child == 0) {
      dispatch::testing::storeToLowAddress(0x10);
      ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << "status " << status;
    return;
  }
  auto crasher = std::make_shared<Crasher>();
  DUZEZozIduvur::channelGroup()->addDelegate(crasher);
  auto model = DUZEExceptionModel::createWithType("Handled", "before the crash", std::nullopt);
  ASSERT_TRUE(DUZECrashes::trackException(model, DUZEProperties{{"crash", "now"}}, std::nullopt));
  DUZEZozIduvur::channelGroup()->waitUntilIdle();
  FAIL() << "still alive";
}

// A relaunch of the crashed run in its pid namespace: pid 1 again, started
// within the same second. It records a session within the crash's second
// and ends before it processes the crash.
TEST(CrashesEndToEndChild, Relaunch) {
  if (role() != "relaunch") GTEST_SKIP() << "runs as a child of CrashesEndToEnd.*";
  auto facts = std::make_shared<ProcessFacts>();
  facts->samePid = true;
  sys::installSystemFactSource(facts);
  const auto pending = ROReradUzerirud::init()->loadPendingCrashReportData();
  ASSERT_TRUE(pending);
  const auto report = ROCrashReport::create(*pending, nullptr);
  ASSERT_TRUE(report);
  const auto crashTime = report->systemInfo()->timestamp();
  ASSERT_TRUE(crashTime);
  auto history = crashestest::storedHistory<DUZESessionHistoryInfo>("SessionIdHistory");
  ASSERT_FALSE(history.empty());
  ASSERT_EQ(history.back()->sessionId(), kCrashedSession);
  // As setSessionId records it, at the crashed run's last entry's time or
  // later, within the crash's second.
  auto entry = DUZESessionHistoryInfo::create(std::max(history.back()->timestamp(), *crashTime),
                                              std::string("RELAUNCHED-RUN"));
  entry->setRecordedBy(DUZEProcessIdentity::current());
  history.push_back(entry);
  crashestest::storeHistory("SessionIdHistory", history);
}

namespace {

// The application's delegate: processes every report, as the application
// does, and gives each an attachment.
class ApplicationDelegate : public crashestest::RecordingCrashesDelegate {
 public:
  ApplicationDelegate() {
    shouldProcess = true;
    attachments = DUZEErrorAttachmentLogs{
        DUZEErrorAttachmentLog::attachmentWithText("last words", "log.txt")};
  }
};

// Counts the logs sent, by type.
class SendingRecorder : public DUZEChannelDelegate {
 public:
  void channelDidSucceedSendingLog(const std::shared_ptr<DUZEChannelUnitProtocol>&,
                                   const std::shared_ptr<DUZEAbstractLog>& log) override {
    std::lock_guard lock(mutex_);
    sent_.push_back(log->type().value_or(""));
  }
  size_t count(const std::string& type) {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count(sent_.begin(), sent_.end(), type));
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> sent_;
};

}  // namespace

TEST(CrashesEndToEndChild, Send) {
  if (role() != "send") GTEST_SKIP() << "runs as a child of CrashesEndToEnd.*";
  if (const char* go = std::getenv(kGoSignal)) {
    // Launched before the crashing run: it runs once that one has ended.
    const int fd = ::open(go, O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char byte;
    while (::read(fd, &byte, 1) > 0) {
    }
    ::close(fd);
  }
  DUZEChannelUnitDefaultSeams::setFlushIntervalUnitForTesting(
      dispatch::DispatchTimeInterval::milliseconds(20));
  DUZECrashesSeams::setProcessingDelayForTesting(dispatch::DispatchTimeInterval::milliseconds(20));
  // The delegate is set before the start: processing comes only a moment
  // later here (a second in the application, which sets it just after).
  auto delegate = std::make_shared<ApplicationDelegate>();
  DUZECrashes::setDelegate(delegate);
  DUZEZozIduvur::start("secret", {DUZEServiceClass::of<DUZECrashes>()});
  auto recorder = std::make_shared<SendingRecorder>();
  DUZEZozIduvur::channelGroup()->addDelegate(recorder);
  const bool forked = std::getenv(kForked) != nullptr;
  EXPECT_EQ(DUZECrashes::hasCrashedInLastSession(), !forked);
  EXPECT_EQ(DUZECrashes::lastSessionCrashReport() != nullptr, !forked);

  const size_t handled = forked ? 0 : 1;
  EXPECT_TRUE(dispatch::MainLoop::runUntil(
      [&] {
        return delegate->count("sent") == 1 && recorder->count("errorAttachment") == 1 &&
               recorder->count("handledError") == handled;
      },
      dispatch::DispatchTimeInterval::seconds(10)));
  EXPECT_EQ(delegate->count("asked"), 1u);
  EXPECT_EQ(delegate->count("will"), 1u);
  // The processing tidies up after it handed the log over: it ends before
  // the process does.
  DUZECrashesInternal(*DUZECrashes::sharedInstance()).unprocessedCrashReports();
  DUZEZozIduvur::resetSharedInstance();
}

namespace {

class CrashesEndToEnd : public crashestest::CrashesServiceTest {
 protected:
  // Runs both processes; answers the sent crash log. With `senderFirst`, the
  // sending run's process is there before the crashing run starts, and runs
  // the client once that one has ended.
  nlohmann::json crashThenSend(const std::string& kind, int signal, bool senderFirst = false) {
    std::string deadUrl;
    {
      foundationtest::HTTPServer closed;
      deadUrl = closed.baseUrl();
    }
    const std::string go = (dataDir() / "go").string();
    pid_t sender = -1;
    if (senderFirst) {
      EXPECT_EQ(::mkfifo(go.c_str(), 0600), 0);
      sender = dispatch::testing::spawn(
          "/proc/self/exe", {"/proc/self/exe", "--gtest_filter=CrashesEndToEndChild.Send"},
          dispatch::testing::environmentWith(
              {std::string(kRole) + "=send", std::string(kGoSignal) + "=" + go}));
      EXPECT_GT(sender, 0);
    }
    const int status = dispatch::testing::spawnSelf(
        "CrashesEndToEndChild.Crash",
        dispatch::testing::crashingChildEnvironment(
            {std::string(kRole) + "=" + kind,
             std::string(kDUZELogUrlEnvironmentVariable) + "=" + deadUrl}));
    // A forked child's crash leaves its report in the queue, and no handled
    // error on its way: its parent ends as usual.
    const bool forked = kind == "forked";
    const fs::path queue = ROReradUzerirud::init()->queuedCrashReportDirectory();
    const auto queued = [&] {
      std::error_code ec;
      return std::distance(fs::directory_iterator(queue, ec), fs::directory_iterator());
    };
    if (forked) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << kind << ": status " << status;
      EXPECT_EQ(queued(), 1);
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal)
          << kind << ": status " << status;
      EXPECT_TRUE(fs::exists(pendingReportPath()));
      EXPECT_GT(fs::file_size(bufferFolder() / "0.zorodozidlogbuffer"), 0u);
    }
    EXPECT_EQ(storedRows("Crashes"), 0u);
    if (kind == "same-pid") {
      EXPECT_EQ(dispatch::testing::runChild("CrashesEndToEndChild.Relaunch",
                                            {std::string(kRole) + "=relaunch"}),
                0);
    }

    int sent = -1;
    if (sender > 0) {
      ::close(::open(go.c_str(), O_WRONLY | O_CLOEXEC));
      EXPECT_EQ(::waitpid(sender, &sent, 0), sender);
    } else {
      std::vector<std::string> environment = {std::string(kRole) + "=send"};
      if (forked) environment.push_back(std::string(kForked) + "=1");
      sent = dispatch::testing::spawnSelf("CrashesEndToEndChild.Send", environment);
    }
    EXPECT_TRUE(WIFEXITED(sent) && WEXITSTATUS(sent) == 0) << "status " << sent;

    // Nothing of the crash is left.
    EXPECT_FALSE(fs::exists(pendingReportPath()));
    EXPECT_EQ(queued(), 0);
    for (const auto& entry : fs::directory_iterator(crashesFolder())) {
      ADD_FAILURE() << "left in the crash folder: " << entry.path();
    }
    for (const auto& entry : fs::directory_iterator(bufferFolder())) {
      EXPECT_EQ(fs::file_size(entry.path()), 0u) << entry.path();
    }
    EXPECT_EQ(storedRows("Crashes"), 0u);
    EXPECT_EQ(storedRows("CrashesBuffer"), 0u);

    // Both runs announce their start; those logs are no concern here.
    std::vector<nlohmann::json> logs;
    for (const auto& log : duzetest::sentLogs(server_->requests())) {
      if (log.value("type", "") != "startService") logs.push_back(log);
    }
    nlohmann::json crash, attachment, handled;
    for (const auto& log : logs) {
      const std::string type = log.value("type", "");
      EXPECT_TRUE(type == "appleError" || type == "errorAttachment" || type == "handledError")
          << log.dump();
      if (type == "appleError") crash = log;
      if (type == "errorAttachment") attachment = log;
      if (type == "handledError") handled = log;
    }
    EXPECT_EQ(logs.size(), forked ? 2u : 3u);
    EXPECT_FALSE(crash.is_null());
    EXPECT_FALSE(attachment.is_null());
    EXPECT_EQ(handled.is_null(), forked);
    if (!crash.is_null() && !attachment.is_null()) {
      EXPECT_EQ(attachment["errorId"], crash["id"]);
      EXPECT_EQ(attachment["fileName"], "log.txt");
      EXPECT_EQ(attachment["contentType"], "text/plain");
    }
    if (!handled.is_null()) {
      EXPECT_EQ(handled["properties"]["crash"], "now");
      EXPECT_EQ(handled["exception"]["type"], "Handled");
    }
    if (!crash.is_null()) {
      EXPECT_EQ(crash["fatal"], true);
      EXPECT_FALSE(crash["threads"].empty());
      EXPECT_EQ(crash.value("sid", ""), kCrashedSession);
    }
    return crash;
  }
};

TEST_F(CrashesEndToEnd, FaultIsReportedOnTheNextLaunch) {
  auto crash = crashThenSend("fault", SIGSEGV);
  EXPECT_EQ(crash.value("osExceptionType", ""), "SIGSEGV");
  EXPECT_EQ(crash.value("osExceptionAddress", ""), "0x10");
}

TEST_F(CrashesEndToEnd, ACrashKeepsItsSessionWhenTheNextRunBeganBeforeIt) {
  // The next run's process began before the crashed run recorded its
  // session, as a relaunch during a slow start, or a launcher that starts
  // the program later, does.
  crashThenSend("fault", SIGSEGV, true);
}

TEST_F(CrashesEndToEnd, ACrashKeepsItsSessionWhenTheWallClockStepsBeforeIt) {
  crashThenSend("clock-step", SIGSEGV);
}

TEST_F(CrashesEndToEnd, ACrashKeepsItsSessionWhenARelaunchUnderItsPidRecordsOneInItsSecond) {
  crashThenSend("same-pid", SIGSEGV);
}

TEST_F(CrashesEndToEnd, AForkedChildsCrashIsSentWithItsParentsSession) {
  auto crash = crashThenSend("forked", SIGSEGV);
  EXPECT_EQ(crash.value("osExceptionAddress", ""), "0x10");
}

TEST_F(CrashesEndToEnd, AbortIsReportedOnTheNextLaunch) {
  auto crash = crashThenSend("abort", SIGABRT);
  EXPECT_EQ(crash.value("osExceptionType", ""), "SIGABRT");
}

TEST_F(CrashesEndToEnd, UncaughtCxxExceptionIsReportedWithItsTypeAndText) {
  auto crash = crashThenSend("exception", SIGABRT);
  EXPECT_EQ(crash.value("osExceptionType", ""), "SIGABRT");
  EXPECT_EQ(crash.value("exceptionType", ""), "(anonymous namespace)::EndToEndFailure");
  EXPECT_EQ(crash.value("exceptionReason", ""), "the window list broke");
}

TEST_F(CrashesEndToEnd, TestCrashIsReportedOnTheNextLaunch) {
  auto crash = crashThenSend("testcrash", SIGTRAP);
  EXPECT_EQ(crash.value("osExceptionType", ""), "SIGTRAP");
}

TEST_F(CrashesEndToEnd, ExceptionEscapingAnEventIsReportedOnTheNextLaunch) {
  auto crash = crashThenSend("event", SIGABRT);
  EXPECT_EQ(crash.value("exceptionType", ""), "NSInternalInconsistencyException");
  EXPECT_EQ(crash.value("exceptionReason", ""), "the click went wrong");
}

}  // namespace
