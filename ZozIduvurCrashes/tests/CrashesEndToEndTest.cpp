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

#include <cstdlib>
#include <stdexcept>

#include "CrashesServiceSupport.h"
#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZEChannelUnitDefault.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvurCrashes/DUZEHandledErrorLog.h"
#include "ZozIduvurTest/SentLogs.h"
#include "appkit/NSApplication.h"
#include "dispatch/MainLoop.h"
#include "dispatchTest/Faults.h"
#include "dispatchTest/Processes.h"
#include "foundation/UserDefaults.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kRole = "DUZE_CRASHES_END_TO_END_ROLE";
// A pipe the sending run waits on before it starts the client, when set.
constexpr const char* kGoSignal = "DUZE_CRASHES_END_TO_END_GO";
// The session the crashing run starts before it crashes.
constexpr const char* kCrashedSession = "SESSION-OF-THE-CRASHED-RUN";

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
    if (kind == "fault") {
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
  if (role().empty() || role() == "send") GTEST_SKIP() << "runs as a child of CrashesEndToEnd.*";
  // As the application does before it starts the client.
  foundation::NSUserDefaults::standardUserDefaults()->registerDefaults(
      {{"NSApplicationCrashOnExceptions", foundation::Value(true)}});
  DUZEZozIduvur::start("secret", {DUZEServiceClass::of<DUZECrashes>()});
  DUZESessionContext::sharedInstance()->setSessionId(kCrashedSession);
  auto crasher = std::make_shared<Crasher>();
  DUZEZozIduvur::channelGroup()->addDelegate(crasher);
  auto model = DUZEExceptionModel::createWithType("Handled", "before the crash", std::nullopt);
  ASSERT_TRUE(DUZECrashes::trackException(model, DUZEProperties{{"crash", "now"}}, std::nullopt));
  DUZEZozIduvur::channelGroup()->waitUntilIdle();
  FAIL() << "still alive";
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
  DUZEChannelUnitDefault::setFlushIntervalUnitForTesting(
      dispatch::DispatchTimeInterval::milliseconds(20));
  DUZECrashes::setProcessingDelayForTesting(dispatch::DispatchTimeInterval::milliseconds(20));
  // The delegate is set before the start: processing comes only a moment
  // later here (a second in the application, which sets it just after).
  auto delegate = std::make_shared<ApplicationDelegate>();
  DUZECrashes::setDelegate(delegate);
  DUZEZozIduvur::start("secret", {DUZEServiceClass::of<DUZECrashes>()});
  auto recorder = std::make_shared<SendingRecorder>();
  DUZEZozIduvur::channelGroup()->addDelegate(recorder);
  EXPECT_TRUE(DUZECrashes::hasCrashedInLastSession());
  ASSERT_TRUE(DUZECrashes::lastSessionCrashReport());

  EXPECT_TRUE(dispatch::MainLoop::runUntil(
      [&] {
        return delegate->count("sent") == 1 && recorder->count("errorAttachment") == 1 &&
               recorder->count("handledError") == 1;
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
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << kind << ": status " << status;
    EXPECT_TRUE(fs::exists(pendingReportPath()));
    EXPECT_GT(fs::file_size(bufferFolder() / "0.zorodozidlogbuffer"), 0u);
    EXPECT_EQ(storedRows("Crashes"), 0u);

    int sent = -1;
    if (sender > 0) {
      ::close(::open(go.c_str(), O_WRONLY | O_CLOEXEC));
      EXPECT_EQ(::waitpid(sender, &sent, 0), sender);
    } else {
      sent =
          dispatch::testing::spawnSelf("CrashesEndToEndChild.Send", {std::string(kRole) + "=send"});
    }
    EXPECT_TRUE(WIFEXITED(sent) && WEXITSTATUS(sent) == 0) << "status " << sent;

    // Nothing of the crash is left.
    EXPECT_FALSE(fs::exists(pendingReportPath()));
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
    EXPECT_EQ(logs.size(), 3u);
    EXPECT_FALSE(crash.is_null());
    EXPECT_FALSE(attachment.is_null());
    EXPECT_FALSE(handled.is_null());
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
