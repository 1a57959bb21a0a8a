#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <map>

#include "ChannelSupport.h"
#include "ZozIduvur/DUZEDeviceTracker.h"
#include "ZozIduvur/DUZEErrors.h"
#include "ZozIduvur/DUZELogDBStorage.h"
#include "ZozIduvur/DUZETicketCache.h"
#include "ZozIduvur/DUZEUtility.h"
#include "dispatchTest/Waiting.h"
#include "foundation/Paths.h"

using duzetest::TestLog;

namespace {

using dispatch::testing::eventually;

class Channel : public duzetest::ChannelTest {
 protected:
  std::shared_ptr<DUZEChannelUnitProtocol> addUnit(uint64_t batchSize, uint64_t interval = 1000,
                                                   uint64_t pending = 3,
                                                   const std::string& id = "Unit") {
    return group_->addChannelUnitWithConfiguration(
        DUZEChannelUnitConfiguration(id, 1, interval, batchSize, pending));
  }
};

}  // namespace

TEST_F(Channel, DelegateCallsFollowTheirOrderOnTheLogsQueue) {
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(2);
  unit->enqueueItem(TestLog::named("a"), DUZEFlagsNormal);
  unit->enqueueItem(TestLog::named("b"), DUZEFlagsNormal);
  ASSERT_TRUE(eventually([&] { return recorder_->count("success") == 2; }));
  auto calls = recorder_->calls();
  auto at = [&](const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) - calls.begin();
  };
  for (const std::string name : {"a", "b"}) {
    const std::string suffix = " " + name + " @Unit";
    EXPECT_LT(at("prepare" + suffix), at("didPrepare" + suffix));
    EXPECT_LT(at("didPrepare" + suffix), at("filter" + suffix));
    EXPECT_LT(at("filter" + suffix), at("complete" + suffix));
    EXPECT_LT(at("complete" + suffix), at("willSend" + suffix));
    EXPECT_LT(at("willSend" + suffix), at("success" + suffix));
  }
  EXPECT_TRUE(recorder_->allOnLogsQueue());
}

TEST_F(Channel, FullBatchIsSentWithItsHeadersAnd200DeletesTheRows) {
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(3);
  for (const char* name : {"one", "two", "three"}) unit->enqueueItem(TestLog::named(name), 1);
  ASSERT_TRUE(server_->waitForRequests(1));
  ASSERT_TRUE(eventually([&] { return recorder_->count("success") == 3; }));
  auto request = server_->requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.target, "/logs?api-version=1.0.0");
  EXPECT_EQ(request.header("app-secret"), "secret-123");
  EXPECT_EQ(request.header("install-id"), "INSTALL-ID");
  EXPECT_EQ(request.header("content-type"), "application/json");
  EXPECT_EQ(duzetest::logNames(request), (std::vector<std::string>{"one", "two", "three"}));
  // The logs got their time and device on the way.
  auto body = nlohmann::json::parse(request.plainBody());
  EXPECT_TRUE(body["logs"][0].contains("timestamp"));
  EXPECT_EQ(body["logs"][0]["device"]["sdkName"], "zoziduvur.linux");
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Unit"), 0u);
}

TEST_F(Channel, TimerSendsAPartialBatchAndCriticalLogsGoFirst) {
  group_ = makeGroup(server_->baseUrl());
  // Unanswered, the batch keeps its rows while the test counts them.
  server_->hold(true);
  auto unit = addUnit(50, 10);
  unit->enqueueItem(TestLog::named("normal"), DUZEFlagsNormal);
  unit->enqueueItem(TestLog::named("critical"), 0x100 | DUZEFlagsCritical);
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Unit"), 2u);
  ASSERT_TRUE(server_->waitForRequests(1));
  EXPECT_EQ(duzetest::logNames(server_->requests()[0]),
            (std::vector<std::string>{"critical", "normal"}));
  server_->hold(false);
}

TEST_F(Channel, RecoverableFailuresKeepTheRowsUntilALater200) {
  group_ = makeGroup(server_->baseUrl());
  server_->queueStatuses({503, 429, 408});
  auto unit = addUnit(1, 1, 1);
  unit->enqueueItem(TestLog::named("kept"), 1);
  ASSERT_TRUE(server_->waitForRequests(4));
  ASSERT_TRUE(eventually([&] { return recorder_->count("success") == 1; }));
  for (const auto& request : server_->requests()) {
    EXPECT_EQ(duzetest::logNames(request), std::vector<std::string>{"kept"});
  }
  EXPECT_EQ(recorder_->count("fail:1"), 0u);
  EXPECT_EQ(recorder_->count("willSend"), 4u);  // once per attempt
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Unit"), 0u);
}

TEST_F(Channel, NoAnswerAtAllIsRecoverable) {
  std::string deadUrl;
  {
    foundationtest::HTTPServer closed;
    deadUrl = closed.baseUrl();
  }
  group_ = makeGroup(deadUrl);
  auto unit = addUnit(1, 1000, 1);
  unit->enqueueItem(TestLog::named("waiting"), 1);
  ASSERT_TRUE(eventually([&] { return hasLine("could not be sent (status 0)"); }));
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Unit"), 1u);
  EXPECT_EQ(recorder_->count("fail:1"), 0u);
  EXPECT_EQ(recorder_->count("success"), 0u);
}

TEST_F(Channel, AFailingTransportIsWarnedOncePerRunWithItsReason) {
  using foundationtest::HTTPServer;
  std::atomic<int> requests{0};
  // Three requests get no answer, then one succeeds; two more, then one.
  server_->setResponder([&](const HTTPServer::Request&) {
    const int n = ++requests;
    return n == 4 || n == 7 ? HTTPServer::Reply(200) : HTTPServer::Reply::drop();
  });
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(1, 1, 1);
  unit->enqueueItem(TestLog::named("first"), 1);
  ASSERT_TRUE(eventually([&] { return recorder_->count("success") == 1; }));
  unit->enqueueItem(TestLog::named("second"), 1);
  ASSERT_TRUE(eventually([&] { return recorder_->count("success") == 2; }));
  EXPECT_EQ(requests.load(), 7);
  EXPECT_EQ(countLines("WARNING"), 2u);
  EXPECT_EQ(countLines("Channel Unit cannot send its logs: "), 2u);
  EXPECT_EQ(countLines("(Empty reply from server). They are kept"), 2u);
  EXPECT_EQ(countLines("Channel Unit sends its logs again."), 2u);
}

TEST_F(Channel, AUnitWaitingForAnotherProgramsSendingSaysSoOnce) {
  // Another program's claim: a lock of a description of its own.
  std::filesystem::create_directories(dataDir());
  const int other =
      ::open((dataDir() / "Logs.sqlite.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  struct flock claim {};
  claim.l_type = F_WRLCK;
  claim.l_whence = SEEK_SET;
  claim.l_len = 1;
  ASSERT_EQ(::fcntl(other, F_OFD_SETLK, &claim), 0);
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(1, 1, 1);
  unit->enqueueItem(TestLog::named("waits"), 1);
  const std::string waiting = "Channel Unit does not send its logs while another program holds";
  ASSERT_TRUE(eventually([&] { return hasLine(waiting); }));
  ::close(other);
  ASSERT_TRUE(eventually([&] { return recorder_->count("success") == 1; }));
  EXPECT_EQ(countLines(waiting), 1u);
}

TEST_F(Channel, RowsStoredBesideTheUnitAreSentAlongUntilNoneAreLeft) {
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(2, 1, 1);
  group_->waitUntilIdle();
  // Another program on this data folder stores three logs of the unit.
  {
    DUZELogDBStorage other(dataDir() / "Logs.sqlite");
    for (const char* name : {"other 1", "other 2", "other 3"}) {
      ASSERT_TRUE(other.saveLog(TestLog::named(name), "Unit", 1));
    }
  }
  unit->enqueueItem(TestLog::named("own"), 1);
  ASSERT_TRUE(eventually([&] { return recorder_->count("success") == 4; }));
  EXPECT_EQ(storedRows("Unit"), 0u);
}

TEST_F(Channel, SentLogsThatCannotBeDeletedAreNotSentAgainAndGoOnceThereIsRoom) {
  duzetest::SmallDisk disk(dataDir() / "disk");
  DUZE_SKIP_UNLESS_MOUNTED(disk);
  setenv(std::string(foundation::kDataDirectoryEnvironmentVariable).c_str(), disk.folder().c_str(),
         1);
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(10, 1, 3);
  // A backlog is stored, then the disk fills up before it is sent.
  auto holder = std::make_shared<int>(0);
  unit->pauseWithIdentifyingObject(holder);
  for (int i = 0; i < 40; ++i) unit->enqueueItem(TestLog::named(std::to_string(i)), 1);
  group_->waitUntilIdle();
  disk.fill();
  unit->resumeWithIdentifyingObject(holder);
  ASSERT_TRUE(eventually([&] { return recorder_->count("success") >= 40; }));
  std::map<std::string, int> sent;
  for (const auto& request : server_->requests()) {
    for (const auto& name : duzetest::logNames(request)) ++sent[name];
  }
  EXPECT_EQ(sent.size(), 40u);
  for (const auto& [name, times] : sent) EXPECT_EQ(times, 1) << name;
  EXPECT_EQ(storedRowsIn(disk.folder(), "Unit"), 40u);
  EXPECT_EQ(countLines("Couldn't delete sent logs"), 1u);
  EXPECT_TRUE(hasLine("database or disk is full"));
  // Deleted at a later flush once there is room.
  disk.makeRoom();
  ASSERT_TRUE(eventually([&] { return storedRowsIn(disk.folder(), "Unit") == 0; }));
  EXPECT_EQ(server_->requests().size(), 4u);
}

TEST_F(Channel, ABatchWhoseAnswerBreaksOffAfterItsHeadersIsDone) {
  server_->setResponder([](const foundationtest::HTTPServer::Request&) {
    return foundationtest::HTTPServer::Reply::raw("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n");
  });
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(1, 1, 1);
  unit->enqueueItem(TestLog::named("once"), 1);
  ASSERT_TRUE(eventually([&] { return recorder_->count("success") == 1; }));
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Unit"), 0u);
  EXPECT_EQ(server_->requests().size(), 1u);
}

TEST_F(Channel, RefusalReportsEachLogDeletesTheRowsAndDisablesTheUnit) {
  group_ = makeGroup(server_->baseUrl());
  server_->queueStatuses({400});
  auto unit = addUnit(2, 1000, 1);
  for (const char* name : {"x", "y", "z"}) unit->enqueueItem(TestLog::named(name), 1);
  // The unit, and with it its mirror, are disabled.
  ASSERT_TRUE(eventually([&] { return recorder_->count("disabled") == 2; }));
  auto calls = recorder_->calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "disabled  @Unit"), calls.end());
  EXPECT_EQ(recorder_->count("fail:" + std::to_string(DUZEErrorCodeHttpStatus)), 2u);
  EXPECT_TRUE(hasLine("was refused (status 400); the channel is disabled."));
  group_->waitUntilIdle();
  // The log that was not in the refused batch went with the unit's data.
  EXPECT_EQ(storedRows("Unit"), 0u);
  unit->enqueueItem(TestLog::named("later"), 1);
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Unit"), 0u);
  EXPECT_EQ(recorder_->count("prepare"), 3u);
  EXPECT_EQ(server_->requests().size(), 1u);
}

TEST_F(Channel, AtMostPendingBatchesLimitBatchesAreInFlight) {
  group_ = makeGroup(server_->baseUrl());
  server_->hold(true);
  auto unit = addUnit(1, 1000, 2);
  for (const char* name : {"1", "2", "3", "4"}) unit->enqueueItem(TestLog::named(name), 1);
  ASSERT_TRUE(server_->waitForRequests(1));
  group_->waitUntilIdle();
  EXPECT_EQ(recorder_->count("willSend"), 2u);
  server_->hold(false);
  ASSERT_TRUE(eventually([&] { return recorder_->count("success") == 4; }));
  EXPECT_EQ(server_->requests().size(), 4u);
}

TEST_F(Channel, PauseByObjectHoldsSendingUntilEveryHolderResumes) {
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(1);
  auto first = std::make_shared<int>(1);
  auto second = std::make_shared<int>(2);
  unit->pauseWithIdentifyingObject(first);
  unit->pauseWithIdentifyingObject(second);
  unit->enqueueItem(TestLog::named("held"), 1);
  group_->waitUntilIdle();
  unit->resumeWithIdentifyingObject(first);
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Unit"), 1u);
  EXPECT_TRUE(server_->requests().empty());
  // A holder that is gone no longer holds the unit.
  second.reset();
  unit->resumeWithIdentifyingObject(first);
  ASSERT_TRUE(server_->waitForRequests(1));
}

TEST_F(Channel, PausedTargetKeyIsLeftOutOfBatches) {
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(1, 1000, 3, "Unit/one");  // a mirror unit keeps tokens
  auto withToken = TestLog::named("tokened");
  withToken->addTransmissionTargetToken("keyA-secret");
  unit->pauseSendingLogsWithToken("keyA-other");
  unit->enqueueItem(withToken, 1);
  unit->enqueueItem(TestLog::named("plain"), 1);
  ASSERT_TRUE(server_->waitForRequests(1));
  group_->waitUntilIdle();
  EXPECT_EQ(server_->requests().size(), 1u);
  unit->resumeSendingLogsWithToken("keyA-x");
  ASSERT_TRUE(server_->waitForRequests(2));
}

TEST_F(Channel, DisablingDeletesStoredLogsAndDropsNewOnesUntilEnabled) {
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(10);
  unit->enqueueItem(TestLog::named("stored"), 1);
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Unit"), 1u);
  unit->setEnabled(false, false);
  unit->enqueueItem(TestLog::named("dropped"), 1);
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Unit"), 1u);  // kept without deletion
  unit->setEnabled(false, true);
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Unit"), 0u);
  EXPECT_EQ(recorder_->count("prepare"), 1u);
  unit->setEnabled(true, false);
  unit->enqueueItem(TestLog::named("again"), 1);
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Unit"), 1u);
}

TEST_F(Channel, FilteredAndInvalidLogsAreNeverStoredButAreCompleted) {
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(10);
  recorder_->filterName("unwanted");
  auto invalid = TestLog::named("invalid");
  invalid->setType(std::nullopt);
  unit->enqueueItem(TestLog::named("unwanted"), 1);
  unit->enqueueItem(invalid, 1);
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Unit"), 0u);
  EXPECT_EQ(recorder_->count("complete"), 2u);
  EXPECT_TRUE(hasLine("DUZETestLog: \"type\" is not valid."));
}

TEST_F(Channel, AddingAUnitTwiceGivesTheSameUnitAndStoredLogsAreSentAtStart) {
  {
    auto storage = DUZELogDBStorage::createInDataFolder();
    auto log = TestLog::named("earlier");
    log->setTimestamp(dispatch::Date::now());
    log->setDevice(DUZEDeviceTracker::describeHost());
    ASSERT_TRUE(storage->saveLog(log, "Unit", 1));
  }
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(50, 1);
  EXPECT_EQ(addUnit(5), unit);
  ASSERT_TRUE(server_->waitForRequests(1));
  EXPECT_EQ(duzetest::logNames(server_->requests()[0]), std::vector<std::string>{"earlier"});
}

TEST_F(Channel, LargeBodiesArriveGzippedAndInflateToTheSameJson) {
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(2);
  auto small = TestLog::named("s");
  unit->enqueueItem(small, 1);
  unit->enqueueItem(TestLog::named("t"), 1);
  ASSERT_TRUE(server_->waitForRequests(1));
  auto big = TestLog::named(std::string(3000, 'q'));
  unit->enqueueItem(big, 1);
  unit->enqueueItem(TestLog::named("u"), 1);
  ASSERT_TRUE(server_->waitForRequests(2));
  auto requests = server_->requests();
  EXPECT_LT(requests[0].body.size(), kDUZEMinimumCompressionSize);
  EXPECT_EQ(requests[0].header("content-encoding"), "");
  EXPECT_EQ(requests[1].header("content-encoding"), "gzip");
  const std::string json = requests[1].plainBody();
  ASSERT_FALSE(json.empty());
  EXPECT_LT(requests[1].body.size(), json.size());
  EXPECT_EQ(duzetest::logNames(requests[1])[0], std::string(3000, 'q'));
  // The compression is gzip (window bits 31): the magic bytes of a gzip member.
  EXPECT_EQ(static_cast<unsigned char>(requests[1].body[0]), 0x1F);
  EXPECT_EQ(static_cast<unsigned char>(requests[1].body[1]), 0x8B);
  EXPECT_EQ(nlohmann::json::parse(json)["logs"].size(), 2u);
}

TEST_F(Channel, LogsWithTokensAreMirroredToTheCollector) {
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(1, 1000, 3, "Events");
  auto mirror = group_->channelUnitForGroupId("Events/one");
  ASSERT_TRUE(mirror);
  EXPECT_EQ(mirror->configuration().batchSizeLimit(), 1u);
  DUZETicketCache::sharedInstance()->setTicket("p:ticket", "hash1");

  auto log = TestLog::named("Clicked");
  log->addTransmissionTargetToken("keyA-secretA");
  unit->enqueueItem(log, DUZEFlagsCritical);
  ASSERT_TRUE(server_->waitForRequests(1));
  ASSERT_TRUE(eventually([&] { return recorder_->count("success") == 1; }));
  auto request = server_->requests()[0];
  EXPECT_EQ(request.target, "/EventCollector/1.0");
  EXPECT_EQ(request.header("apikey"), "keyA-secretA");
  EXPECT_EQ(request.header("client-version"), "ZOZ-Linux-C++-no-1.0.0-no");
  EXPECT_FALSE(request.header("upload-time").empty());
  EXPECT_EQ(request.header("tickets"), "");  // the log names no ticket key
  const std::string body = request.plainBody();
  ASSERT_EQ(body.back(), '\n');
  auto cs = nlohmann::json::parse(body.substr(0, body.size() - 1));
  EXPECT_EQ(cs["name"], "Clicked");
  EXPECT_EQ(cs["iKey"], "o:keyA");
  EXPECT_EQ(cs["flags"], 2);
  // The original log never reached its own unit's store or ingestion.
  EXPECT_EQ(recorder_->count("complete"), 2u);
  EXPECT_EQ(recorder_->count("success"), 1u);
  EXPECT_EQ(recorder_->calls().back(), "success cs:Clicked @Events/one");
  group_->waitUntilIdle();
  EXPECT_EQ(storedRows("Events"), 0u);
  EXPECT_EQ(storedRows("Events/one"), 0u);
}

TEST_F(Channel, CollectorSendsTheTicketsOfTheLogsTicketKeys) {
  group_ = makeGroup(server_->baseUrl());
  auto mirror = group_->addChannelUnitWithConfiguration(
      DUZEChannelUnitConfiguration("Direct/one", 1, 1000, 1, 3), group_->collectorIngestion());
  DUZETicketCache::sharedInstance()->setTicket("d:token", "hash1");
  auto cs = TestLog::named("Event")->toCommonSchemaLogForTargetToken("key-1", 1);
  cs->ext()->protocolExt()->setTicketKeys(std::vector<std::string>{"hash1", "unknown"});
  mirror->enqueueItem(cs, 1);
  ASSERT_TRUE(server_->waitForRequests(1));
  EXPECT_EQ(server_->requests()[0].header("tickets"), R"({"hash1":"d:token"})");
}

TEST_F(Channel, EnablingAndPausingCarryOverToTheMirror) {
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(1, 1000, 3, "Events");
  auto mirror = std::dynamic_pointer_cast<DUZEChannelUnitDefault>(
      group_->channelUnitForGroupId("Events/one"));
  ASSERT_TRUE(mirror);
  auto holder = std::make_shared<int>(0);
  unit->pauseWithIdentifyingObject(holder);
  group_->waitUntilIdle();
  EXPECT_TRUE(mirror->isPaused());
  unit->resumeWithIdentifyingObject(holder);
  group_->waitUntilIdle();
  EXPECT_FALSE(mirror->isPaused());
  unit->setEnabled(false, true);
  group_->waitUntilIdle();
  EXPECT_FALSE(mirror->isEnabled());
  unit->setEnabled(true, false);
  group_->waitUntilIdle();
  EXPECT_TRUE(mirror->isEnabled());
}

TEST_F(Channel, CallsTakeEffectOnTheLogsQueueInTheOrderTheyWereMade) {
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(50);
  // The logs queue is held while the calls are made.
  std::promise<void> release;
  group_->logsDispatchQueue()->async([held = release.get_future().share()] { held.wait(); });
  unit->enqueueItem(TestLog::named("before"), 1);
  unit->setEnabled(false, false);
  unit->enqueueItem(TestLog::named("while-disabled"), 1);
  unit->setEnabled(true, false);
  unit->enqueueItem(TestLog::named("after"), 1);
  release.set_value();
  group_->waitUntilIdle();
  EXPECT_EQ(recorder_->count("complete before"), 1u);
  EXPECT_EQ(recorder_->count("prepare while-disabled"), 0u);
  EXPECT_EQ(recorder_->count("complete after"), 1u);
  EXPECT_EQ(storedRows("Unit"), 2u);
}

TEST_F(Channel, AMirroredLogIsDoneOnlyOnceItsCopyIsStored) {
  group_ = makeGroup(server_->baseUrl());
  auto unit = addUnit(50, 1000, 3, "Events");
  auto log = TestLog::named("Clicked");
  log->addTransmissionTargetToken("keyA-secretA");
  unit->enqueueItem(log, DUZEFlagsNormal);
  group_->waitUntilIdle();
  // Until then the log's copy in the crash-time buffer is all there is.
  const auto calls = recorder_->calls();
  const auto original = std::find(calls.begin(), calls.end(), "complete Clicked @Events");
  const auto copy = std::find(calls.begin(), calls.end(), "complete cs:Clicked @Events/one");
  ASSERT_NE(original, calls.end());
  ASSERT_NE(copy, calls.end());
  EXPECT_LT(copy, original);
  EXPECT_EQ(storedRows("Events/one"), 1u);
}
