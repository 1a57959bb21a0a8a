// Logs stored by one process that is killed before it sends them are found,
// sent and deleted by the next process.

#include <sys/ptrace.h>

#include <atomic>
#include <csignal>
#include <cstdlib>

#include "ChannelSupport.h"
#include "ZozIduvur/DUZEErrors.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "dispatchTest/Processes.h"
#include "dispatchTest/Waiting.h"
#include "foundation/Paths.h"

using duzetest::TestLog;
using duzetest::TestService;

namespace {

using dispatch::testing::eventually;

using dispatch::testing::roleIs;

constexpr const char* kRole = "ZOZIDUVUR_TEST_ROLE";

}  // namespace

TEST(EndToEndChild, EnqueueThreeLogsThenDie) {
  if (!roleIs(kRole, "enqueue")) GTEST_SKIP() << "runs as a child of EndToEnd.*";
  DUZEZozIduvur::start("secret", {DUZEServiceClass::of<TestService>()});
  auto unit = TestService::sharedInstance()->channelUnit();
  for (const char* name : {"first", "second", "third"}) unit->enqueueItem(TestLog::named(name), 1);
  DUZEZozIduvur::channelGroup()->waitUntilIdle();
  // Before the flush interval ends: nothing was sent.
  std::raise(SIGKILL);
}

TEST(EndToEndChild, Traced) {
  if (!roleIs(kRole, "traced")) GTEST_SKIP() << "runs as a child of EndToEnd.*";
  EXPECT_FALSE(DUZEZozIduvur::isDebuggerAttached());
  ASSERT_EQ(ptrace(PTRACE_TRACEME, 0, nullptr, nullptr), 0);
  EXPECT_TRUE(DUZEZozIduvur::isDebuggerAttached());
}

namespace {

class EndToEnd : public duzetest::ChannelTest {
 protected:
  void TearDown() override {
    DUZEZozIduvur::resetSharedInstance();
    TestService::resetSharedInstance();
    unsetenv(std::string(kDUZELogUrlEnvironmentVariable).c_str());
    ChannelTest::TearDown();
  }

  // The first process: stores three logs and is killed.
  void runFirstProcess() {
    const std::string dir =
        std::string(foundation::kDataDirectoryEnvironmentVariable) + "=" + dataDir().string();
    const std::string url = std::string(kDUZELogUrlEnvironmentVariable) + "=" + deadUrl();
    EXPECT_EQ(dispatch::testing::runChild("EndToEndChild.EnqueueThreeLogsThenDie",
                                          {dir, url, std::string(kRole) + "=enqueue"}),
              -1);
    ASSERT_EQ(storedRows("TestService"), 3u);
  }

  // The second process (this one) starts the client against the server.
  void startSecondProcess() {
    resetSharedState();
    setenv(std::string(kDUZELogUrlEnvironmentVariable).c_str(), server_->baseUrl().c_str(), 1);
    DUZEZozIduvur::start("secret", {DUZEServiceClass::of<TestService>()});
    auto group = DUZEZozIduvur::channelGroup();
    recorder_ = std::make_shared<duzetest::RecordingDelegate>(group->logsDispatchQueue());
    group->addDelegate(recorder_);
  }

  static bool carriesTestLogs(const foundationtest::HTTPServer::Request& request) {
    auto names = duzetest::logNames(request);
    return std::find(names.begin(), names.end(), "first") != names.end();
  }

  size_t testLogRequests() {
    size_t n = 0;
    for (const auto& request : server_->requests()) n += carriesTestLogs(request) ? 1 : 0;
    return n;
  }

  static std::string deadUrl() {
    foundationtest::HTTPServer closed;
    return closed.baseUrl();
  }
};

}  // namespace

TEST_F(EndToEnd, StoredLogsAreSentAndDeletedOn200) {
  runFirstProcess();
  startSecondProcess();
  ASSERT_TRUE(eventually(
      [&] { return recorder_->count("success") >= 3 && storedRows("TestService") == 0; }));
  EXPECT_EQ(testLogRequests(), 1u);
  for (const auto& request : server_->requests()) {
    if (carriesTestLogs(request)) {
      EXPECT_EQ(duzetest::logNames(request),
                (std::vector<std::string>{"first", "second", "third"}));
    }
  }
  // Each test log once announced and once reported sent (the client's own
  // start log may be on its way meanwhile).
  const auto calls = recorder_->calls();
  for (const char* name : {"first", "second", "third"}) {
    for (const char* call : {"willSend ", "success "}) {
      EXPECT_EQ(std::count(calls.begin(), calls.end(), call + std::string(name) + " @TestService"),
                1)
          << call << name;
    }
  }
  EXPECT_TRUE(recorder_->allOnLogsQueue());
}

TEST_F(EndToEnd, A503KeepsTheRowsUntilALater200) {
  runFirstProcess();
  int answered = 0;
  std::atomic<size_t> rowsAtRetry{0};
  server_->setResponder([&](const foundationtest::HTTPServer::Request& request) {
    if (!carriesTestLogs(request)) return 200;
    // Read before the retry is answered: later, its success deletes them.
    if (answered == 1) rowsAtRetry = storedRows("TestService");
    return answered++ == 0 ? 503 : 200;
  });
  startSecondProcess();
  // The rows go before the delegates hear of the success.
  ASSERT_TRUE(eventually(
      [&] { return storedRows("TestService") == 0 && recorder_->count("success first") >= 1; }));
  EXPECT_TRUE(hasLine("could not be sent (status 503)"));
  EXPECT_EQ(rowsAtRetry.load(), 3u);
  EXPECT_EQ(recorder_->count("fail:1"), 0u);
  EXPECT_EQ(testLogRequests(), 2u);
  auto calls = recorder_->calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), std::string("success first @TestService")), 1);
}

TEST_F(EndToEnd, A400FailsEachLogDeletesTheRowsAndDisablesTheUnit) {
  runFirstProcess();
  server_->setResponder([](const foundationtest::HTTPServer::Request& request) {
    return carriesTestLogs(request) ? 400 : 200;
  });
  startSecondProcess();
  // The mirror unit may be disabled first: wait for the unit itself.
  const auto unitDisabled = [&] {
    auto calls = recorder_->calls();
    return std::find(calls.begin(), calls.end(), "disabled  @TestService") != calls.end();
  };
  ASSERT_TRUE(eventually(unitDisabled));
  auto calls = recorder_->calls();
  for (const char* name : {"first", "second", "third"}) {
    EXPECT_EQ(std::count(
                  calls.begin(), calls.end(),
                  "fail:" + std::to_string(DUZEErrorCodeHttpStatus) + " " + name + " @TestService"),
              1);
  }
  EXPECT_EQ(recorder_->count("success"), recorder_->count("success") - 0);
  DUZEZozIduvur::channelGroup()->waitUntilIdle();
  EXPECT_EQ(storedRows("TestService"), 0u);
  // The disabled unit takes no further logs.
  TestService::sharedInstance()->channelUnit()->enqueueItem(TestLog::named("after"), 1);
  DUZEZozIduvur::channelGroup()->waitUntilIdle();
  EXPECT_EQ(storedRows("TestService"), 0u);
}

TEST_F(EndToEnd, DebuggerCheckSeesATracer) {
  EXPECT_EQ(dispatch::testing::runChild("EndToEndChild.Traced", {std::string(kRole) + "=traced",
                                                                 "ASAN_OPTIONS=detect_leaks=0"}),
            0);
}
