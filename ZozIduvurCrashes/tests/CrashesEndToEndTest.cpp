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
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>

#include "CrashesServiceSupport.h"
#include "ZozIduvur/DUZEChannelGroupDefault.h"
#include "ZozIduvur/DUZEChannelUnitDefault.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEUserIdContext.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvur/TestSeams.h"
#include "ZozIduvurCrashes/DUZEHandledErrorLog.h"
#include "ZozIduvurCrashes/TestSeams.h"
#include "ZozIduvurTest/SentLogs.h"
#include "appkit/NSApplication.h"
#include "baseTest/Children.h"
#include "crash-capture/ROCrashReport.h"
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
// The user some crashing runs set: one an annotation carries, and one too
// long for it.
constexpr const char* kCrashedUser = "crashed-user";
const std::string kLongUser(5000, 'u');
// Set for a sending run whose crash came in a child the crashing run forked:
// its report waits in the queue, not as the last run's, and no handled error
// was on its way.
constexpr const char* kForked = "DUZE_CRASHES_END_TO_END_FORKED";

std::string role() {
  const char* value = std::getenv(kRole);
  return value ? value : "";
}

// A host component of the "host" run that, in a static initialiser which
// runs before the library's, takes all the annotation room it is promised
// (four kept names, sixteen of its own) and tries the service's names: the
// first that went otherwise than promised, none when nothing did.
const char* gHostRoomFault = nullptr;
__attribute__((constructor(101))) void takeTheHostsAnnotationRoom() {
  if (role() != "host") return;
  for (int i = 0; i < 5; ++i) {
    const bool kept = ROReradUzerirud::keepAnnotation("kept" + std::to_string(i)).has_value();
    if (kept != (i < 4) && !gHostRoomFault) gHostRoomFault = "kept names";
  }
  for (int i = 0; i < 17; ++i) {
    const bool set = ROReradUzerirud::setAnnotation("host" + std::to_string(i), "v");
    if (set != (i < 16) && !gHostRoomFault) gHostRoomFault = "names of its own";
  }
  if (ROReradUzerirud::keepAnnotation("userIdSetAt")) gHostRoomFault = "kept userIdSetAt";
  if (ROReradUzerirud::setAnnotation("userId", "HOST")) gHostRoomFault = "set userId";
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
    if (kind == "fault" || kind == "clock-step" || kind == "same-pid" || kind == "older-version" ||
        kind == "host" || kind == "long-user" || kind == "damaged") {
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

namespace {

// Moves every entry of the stored session history `seconds` later.
void moveStoredSessions(double seconds) {
  auto history = crashestest::storedHistory<DUZESessionHistoryInfo>("SessionIdHistory");
  for (const auto& entry : history) entry->setTimestamp(entry->timestamp() + seconds);
  crashestest::storeHistory("SessionIdHistory", history);
}

// Damages the report at `path` as a disk might: the middle byte of `text`
// becomes zero.
void zeroInTheMiddleOf(const std::string& text, const fs::path& path) {
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const size_t at = bytes.find(text);
  ASSERT_NE(at, std::string::npos);
  file.seekp(static_cast<std::streamoff>(at + text.size() / 2));
  file.put('\0');
}

void waitForEnd(int fd) {
  char byte;
  while (::read(fd, &byte, 1) > 0) {
  }
  ::close(fd);
}

// A child of this run crashes, forked after this run started a session, as
// `kind` says: "forked" at once; "forked-late" after this run started the
// next session; "forked-own" after it started one of its own and this run
// the next; "grandchild", a child of a child that started its own session,
// after that child and this run started their next ones; "forked-long-user"
// after it set a user id too long for a report, this run a short one before;
// "forked-long-parent" with this run's too long one. This run ends as usual.
void crashInForkedChild(const std::string& kind) {
  auto sessions = DUZESessionContext::sharedInstance();
  const bool own = kind == "forked-own" || kind == "grandchild";
  sessions->setSessionId(own ? "PARENT-FIRST" : kCrashedSession);
  if (kind == "forked-long-user" || kind == "forked-long-parent") {
    DUZEUserIdContext::sharedInstance()->setUserId(kind == "forked-long-user" ? "parent-user"
                                                                              : kLongUser);
  }
  int go[2], ready[2];
  ASSERT_EQ(::pipe(go), 0);
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(go[1]);
    ::close(ready[0]);
    if (own) sessions->setSessionId(kCrashedSession);
    if (kind == "grandchild") {
      const pid_t grandchild = ::fork();
      if (grandchild == 0) {
        ::close(ready[1]);
        waitForEnd(go[0]);
        dispatch::testing::storeToLowAddress(0x10);
        ::_exit(1);
      }
      ::close(go[0]);
      sessions->setSessionId("CHILD-LATER");
      ::close(ready[1]);
      int status = 0;
      const bool crashed = ::waitpid(grandchild, &status, 0) == grandchild && WIFSIGNALED(status) &&
                           WTERMSIG(status) == SIGSEGV;
      ::_exit(crashed ? 0 : 1);
    }
    if (kind == "forked-long-user") DUZEUserIdContext::sharedInstance()->setUserId(kLongUser);
    ::close(ready[1]);
    waitForEnd(go[0]);
    dispatch::testing::storeToLowAddress(0x10);
    ::_exit(1);
  }
  ::close(go[0]);
  ::close(ready[1]);
  waitForEnd(ready[0]);
  if (kind != "forked") sessions->setSessionId("PARENT-LATER");
  ::close(go[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (kind == "grandchild") {
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  } else {
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << "status " << status;
  }
}

bool crashesInAForkedChild(const std::string& kind) {
  return kind.rfind("forked", 0) == 0 || kind == "grandchild";
}

}  // namespace

TEST(CrashesEndToEndChild, Crash) {
  const std::string kind = role();
  if (kind.empty() || kind == "send" || kind == "relaunch") {
    GTEST_SKIP() << "runs as a child of CrashesEndToEnd.*";
  }
  // As the application does before it starts the client.
  foundation::NSUserDefaults::standardUserDefaults()->registerDefaults(
      {{"NSApplicationCrashOnExceptions", foundation::Value(true)}});
  // A host with annotations of its own under the service's names, and all
  // the observers it has room for.
  if (kind == "host") {
    ASSERT_EQ(gHostRoomFault, nullptr) << gHostRoomFault;
    ROReradUzerirud::setAnnotation("sessionId", "HOST");
    ASSERT_TRUE(crashestest::addHostObservers());
  }
  DUZEZozIduvur::start("secret", {DUZEServiceClass::of<DUZECrashes>()});
  if (kind == "host" || kind == "long-user" || kind == "damaged") {
    DUZEUserIdContext::sharedInstance()->setUserId(kind == "long-user" ? kLongUser : kCrashedUser);
  }
  if (kind == "older-version") {
    // An earlier version's program that shares the data folder records a
    // session and user while this run goes on.
    const auto now = dispatch::Date::now();
    crashestest::storeHistory("SessionIdHistory", std::vector{DUZESessionHistoryInfo::create(
                                                      now, std::string("OLDER-VERSION"))});
    crashestest::storeHistory("UserIdHistory", std::vector{DUZEUserIdHistoryInfo::create(
                                                   now, std::string("older-user"))});
  }
  if (crashesInAForkedChild(kind)) {
    crashInForkedChild(kind);
    return;
  }
  // A run of this version that crashes before its first session has none.
  if (kind != "older-version") DUZESessionContext::sharedInstance()->setSessionId(kCrashedSession);
  // The wall clock was an hour fast when the session began, and is set right
  // before the crash: the session's entry is an hour later than the crash.
  if (kind == "clock-step") moveStoredSessions(3600);
  if (kind == "host") {
    ROReradUzerirud::removeAnnotation("sessionId");
    ROReradUzerirud::setAnnotation("userId", "HOST");
  }
  auto crasher = std::make_shared<Crasher>();
  DUZEZozIduvur::channelGroup()->addDelegate(crasher);
  auto model = DUZEExceptionModel::createWithType("Handled", "before the crash", std::nullopt);
  ASSERT_TRUE(DUZECrashes::trackException(model, DUZEProperties{{"crash", "now"}}, std::nullopt));
  DUZEZozIduvur::channelGroup()->waitUntilIdle();
  FAIL() << "still alive";
}

// A relaunch of the crashed run under its pid (in a pid namespace of its
// own, where every run has the same pid): it starts a session at once, as
// quickly as within the crash's second, and ends before it processes the
// crash.
TEST(CrashesEndToEndChild, Relaunch) {
  if (role() != "relaunch") GTEST_SKIP() << "runs as a child of CrashesEndToEnd.*";
  const auto pending = ROReradUzerirud::init()->loadPendingCrashReportData();
  ASSERT_TRUE(pending);
  const auto report = ROCrashReport::create(*pending, nullptr);
  ASSERT_TRUE(report);
  const auto crashTime = report->systemInfo()->timestamp();
  ASSERT_TRUE(crashTime);
  DUZESessionContext::sharedInstance()->setSessionId("RELAUNCHED-RUN");
  auto history = crashestest::storedHistory<DUZESessionHistoryInfo>("SessionIdHistory");
  ASSERT_GE(history.size(), 2u);
  ASSERT_EQ(history.back()->sessionId(), "RELAUNCHED-RUN");
  history.back()->setTimestamp(std::max(history[history.size() - 2]->timestamp(), *crashTime));
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
  // Runs `filter` again as a child, with `environment`, as a run in a pid
  // namespace of its own that kept the host's /proc when `ownPidNamespace`
  // is set and the system gives one (else as a plain child): its wait
  // status, a signal that ended it as a signal.
  static int runAgain(const std::string& filter, const std::vector<std::string>& environment,
                      bool ownPidNamespace) {
    if (ownPidNamespace) {
      const auto code = base::testing::inPidNamespace([&] {
        const int status = dispatch::testing::spawnSelf(filter, environment);
        return WIFSIGNALED(status) ? 100 + WTERMSIG(status) : WEXITSTATUS(status);
      });
      if (code) return *code >= 100 ? *code - 100 : *code << 8;
      std::cout << "(no pid namespace here: " << filter << " runs as a plain child)\n";
    }
    return dispatch::testing::spawnSelf(filter, environment);
  }

  // Runs both processes; answers the sent crash log, after checking that it
  // has `session`. With `senderFirst`, the sending run's process is there
  // before the crashing run starts, and runs the client once that one has
  // ended.
  nlohmann::json crashThenSend(const std::string& kind, int signal, bool senderFirst = false,
                               std::optional<std::string> session = kCrashedSession) {
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
    const bool samePid = kind == "same-pid";
    const int status = runAgain("CrashesEndToEndChild.Crash",
                                dispatch::testing::crashingChildEnvironment(
                                    {std::string(kRole) + "=" + kind,
                                     std::string(kDUZELogUrlEnvironmentVariable) + "=" + deadUrl}),
                                samePid);
    // A forked child's crash leaves its report in the queue, and no handled
    // error on its way: its parent ends as usual.
    const bool forked = crashesInAForkedChild(kind);
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
    if (kind == "damaged") zeroInTheMiddleOf(kCrashedUser, pendingReportPath());
    if (samePid) {
      EXPECT_EQ(
          runAgain("CrashesEndToEndChild.Relaunch",
                   dispatch::testing::environmentWith({std::string(kRole) + "=relaunch"}), true),
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
      EXPECT_EQ(crash.contains("sid") ? std::optional(crash.value("sid", "")) : std::nullopt,
                session);
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

TEST_F(CrashesEndToEnd, ACrashKeepsItsSessionWhenTheWallClockStepsBackBeforeIt) {
  crashThenSend("clock-step", SIGSEGV);
}

// In pid namespaces that kept the host's /proc, the next run has the crashed
// run's pid, and starts a session within the crash's second.
TEST_F(CrashesEndToEnd, ACrashKeepsItsSessionWhenARunUnderItsPidStartsOneInItsSecond) {
  crashThenSend("same-pid", SIGSEGV);
}

TEST_F(CrashesEndToEnd, ARunThatCrashesBeforeItsFirstSessionHasNoneWhateverEarlierVersionsHad) {
  crashThenSend("older-version", SIGSEGV, false, std::nullopt);
}

TEST_F(CrashesEndToEnd, AHostsAnnotationsAndObserversLeaveTheServicesIds) {
  EXPECT_EQ(crashThenSend("host", SIGSEGV).value("userId", ""), kCrashedUser);
}

TEST_F(CrashesEndToEnd, AUserIdTooLongForAnAnnotationIsSentFromTheHistory) {
  EXPECT_TRUE(crashThenSend("long-user", SIGSEGV).value("userId", "") == kLongUser);
}

TEST_F(CrashesEndToEnd, AUserIdDamagedInTheStoredReportIsDroppedNotCut) {
  EXPECT_FALSE(crashThenSend("damaged", SIGSEGV).contains("userId"));
}

TEST_F(CrashesEndToEnd, AForkedChildsUserIdTooLongForAnAnnotationIsNeverItsParents) {
  EXPECT_FALSE(crashThenSend("forked-long-user", SIGSEGV).contains("userId"));
}

TEST_F(CrashesEndToEnd, AForkedChildKeepsTheTooLongUserIdItWasForkedWith) {
  EXPECT_TRUE(crashThenSend("forked-long-parent", SIGSEGV).value("userId", "") == kLongUser);
}

TEST_F(CrashesEndToEnd, AForkedChildsCrashIsSentWithTheSessionItWasForkedIn) {
  auto crash = crashThenSend("forked", SIGSEGV);
  EXPECT_EQ(crash.value("osExceptionAddress", ""), "0x10");
}

TEST_F(CrashesEndToEnd, AForkedChildsCrashKeepsItsSessionWhenItsParentStartsAnother) {
  crashThenSend("forked-late", SIGSEGV);
}

TEST_F(CrashesEndToEnd, AForkedChildsCrashIsSentWithTheSessionItStarted) {
  crashThenSend("forked-own", SIGSEGV);
}

TEST_F(CrashesEndToEnd, AGrandchildsCrashIsSentWithTheSessionItsParentStarted) {
  crashThenSend("grandchild", SIGSEGV);
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
