#include <gmock/gmock.h>

#include "ChannelSupport.h"
#include "ZozIduvur/DUZEZozIduvur.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "dispatchTest/Waiting.h"
#include "foundationTest/HTTPServer.h"

using duzetest::OtherTestService;
using duzetest::TestLog;
using duzetest::TestService;

namespace {

class Service : public duzetest::ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    setenv(std::string(kDUZELogUrlEnvironmentVariable).c_str(), server_->baseUrl().c_str(), 1);
  }
  void TearDown() override {
    DUZEZozIduvur::resetSharedInstance();
    TestService::resetSharedInstance();
    OtherTestService::resetSharedInstance();
    unsetenv(std::string(kDUZELogUrlEnvironmentVariable).c_str());
    unsetenv(std::string(kDUZEDisableEnvironmentVariable).c_str());
    ChannelTest::TearDown();
  }
  void start() {
    DUZEZozIduvur::start("app-secret-1", {DUZEServiceClass::of<TestService>(),
                                          DUZEServiceClass::of<OtherTestService>()});
  }
};

}  // namespace

TEST_F(Service, NotStartedServiceRefusesWithItsMessage) {
  auto service = TestService::sharedInstance();
  EXPECT_FALSE(service->canBeUsed());
  EXPECT_TRUE(hasLine("[ZozIduvur] ERROR: ") &&
              hasLine("TestService service hasn't been started. You need to call "
                      "[DUZEZozIduvur start:YOUR_APP_SECRET withServices:"
                      "LIST_OF_SERVICES] first."));
  EXPECT_FALSE(DUZEServiceAbstract::isServiceEnabled(service));
  DUZEServiceAbstract::setServiceEnabled(service, false);
  EXPECT_TRUE(service->isEnabled());  // refused: nothing stored
  EXPECT_FALSE(service->isAvailable());
}

TEST_F(Service, EnabledFlagIsStoredUnderItsKeyAndAppliedBeforeItIsStored) {
  auto service = TestService::sharedInstance();
  EXPECT_EQ(service->isEnabledKey(), "TestServiceIsEnabled");
  EXPECT_TRUE(service->isEnabled());
  service->setEnabled(false);
  ASSERT_EQ(service->applied.size(), 1u);
  EXPECT_EQ(service->applied[0], std::make_pair(false, true));  // still the old value then
  EXPECT_EQ(foundation::NSUserDefaults::standardUserDefaults()->objectForKey(
                "RADuzOzezadTestServiceIsEnabled"),
            foundation::Value(false));
  service->setEnabled(false);
  EXPECT_EQ(service->applied.size(), 1u);  // no change, no call
}

TEST_F(Service, StartAddsTheUnitAndAppliesTheEnabledState) {
  start();
  auto service = TestService::sharedInstance();
  ASSERT_TRUE(service->isStarted());
  EXPECT_TRUE(service->startedFromApplication());
  EXPECT_EQ(service->appSecret(), "app-secret-1");
  ASSERT_TRUE(service->channelUnit());
  EXPECT_EQ(service->channelUnit()->configuration(),
            DUZEChannelUnitConfiguration("TestService", 1, 6, 50, 3));
  EXPECT_EQ(service->applied, (std::vector<std::pair<bool, bool>>{{true, true}}));
  EXPECT_TRUE(DUZEServiceAbstract::isServiceEnabled(service));
  EXPECT_TRUE(service->isAvailable());
  EXPECT_TRUE(DUZEZozIduvur::channelGroup()->channelUnitForGroupId("TestService/one"));
}

TEST_F(Service, ServicesStartByPriorityAndTheStartServiceLogNamesThem) {
  start();
  auto all = lines();
  auto position = [&](const std::string& text) {
    for (size_t i = 0; i < all.size(); ++i)
      if (all[i].find(text) != std::string::npos) return i;
    return all.size();
  };
  EXPECT_LT(position("OtherService service started from application."),
            position("TestService service started from application."));
  ASSERT_TRUE(server_->waitForRequests(1));
  auto body = nlohmann::json::parse(server_->requests()[0].plainBody());
  EXPECT_EQ(body["logs"][0]["type"], "startService");
  EXPECT_EQ(body["logs"][0]["services"], (nlohmann::json{"OtherService", "TestService"}));
  EXPECT_EQ(server_->requests()[0].header("app-secret"), "app-secret-1");
  EXPECT_EQ(server_->requests()[0].header("install-id"), DUZEZozIduvur::installId()->UUIDString());

  // A second start starts nothing again and sends no second log.
  start();
  EXPECT_TRUE(hasLine("TestService service has already been started."));
}

TEST_F(Service, DisablingTheClientDisablesUnitsAndServicesAndBlocksServiceEnabling) {
  DUZEZozIduvur::setEnabled(false);
  EXPECT_TRUE(hasLine("ZozIduvur hasn't been configured."));
  start();
  auto service = TestService::sharedInstance();
  DUZEZozIduvur::setEnabled(false);
  EXPECT_FALSE(DUZEZozIduvur::isEnabled());
  EXPECT_FALSE(service->isEnabled());
  DUZEServiceAbstract::setServiceEnabled(service, true);
  EXPECT_TRUE(
      hasLine("The SDK is disabled. Re-enable the whole SDK from ZozIduvur first before "
              "enabling TestService service."));
  EXPECT_FALSE(service->isEnabled());
  DUZEZozIduvur::setEnabled(true);
  EXPECT_TRUE(service->isEnabled());
  EXPECT_TRUE(DUZEServiceAbstract::isServiceEnabled(service));
}

TEST_F(Service, SecretWithATargetTokenIsParsed) {
  DUZEZozIduvur::start("appsecret=abc;target=key-token", {DUZEServiceClass::of<TestService>()});
  auto service = TestService::sharedInstance();
  EXPECT_EQ(service->appSecret(), "abc");
  EXPECT_EQ(service->defaultTransmissionTargetToken(), "key-token");
}

TEST_F(Service, EnvironmentSwitchKeepsTheClientOff) {
  setenv(std::string(kDUZEDisableEnvironmentVariable).c_str(), "1", 1);
  start();
  EXPECT_FALSE(DUZEZozIduvur::isConfigured());
  EXPECT_FALSE(TestService::sharedInstance()->isStarted());
  EXPECT_TRUE(hasLine("ZozIduvur is disabled by the environment variable ZOZIDUVUR_DISABLE."));
}

TEST_F(Service, EntryObjectBasics) {
  auto id = DUZEZozIduvur::installId();
  ASSERT_TRUE(id);
  EXPECT_EQ(DUZEZozIduvur::installId(), id);
  resetSharedState();
  EXPECT_EQ(DUZEZozIduvur::installId(), id);  // persisted
  EXPECT_FALSE(DUZEZozIduvur::isDebuggerAttached());
  EXPECT_EQ(DUZEZozIduvur::logTag(), "ZozIduvur");
  DUZEZozIduvur::setLogLevel(DUZELogLevelError);
  EXPECT_EQ(DUZEZozIduvur::logLevel(), DUZELogLevelError);
  DUZEZozIduvur::setLogLevel(DUZELogLevelVerbose);
}

TEST_F(Service, ALibraryStartIsUpdatedByTheApplicationsStart) {
  auto service = TestService::sharedInstance();
  auto group = DUZEChannelGroupDefault::create(
      DUZEServiceIngestion::create(client_, server_->baseUrl(), "s", "i"),
      DUZECollectorIngestion::create(client_, server_->baseUrl()),
      DUZELogDBStorage::createInDataFolder());
  service->startWithChannelGroup(group, std::string("library-secret"), std::nullopt, false);
  EXPECT_FALSE(service->startedFromApplication());
  EXPECT_EQ(service->applied.size(), 1u);
  start();
  EXPECT_TRUE(service->startedFromApplication());
  EXPECT_EQ(service->appSecret(), "app-secret-1");
  EXPECT_EQ(service->applied.size(), 2u);  // the enabled state applied again
  EXPECT_EQ(service->channelGroup(), std::static_pointer_cast<DUZEChannelGroupProtocol>(group));
  group->waitUntilIdle();
  group->shutdown();
}

TEST_F(Service, TheIngestionsUserNameAndPasswordShowInNoMessage) {
  const std::string place = "127.0.0.1:" + std::to_string(foundationtest::closedPort());
  // An unencoded '/' makes libcurl take the user name for the host.
  for (const std::string credentials : {"alice:S3cret", "alice:S3/cret"}) {
    SCOPED_TRACE(credentials);
    setenv(std::string(kDUZELogUrlEnvironmentVariable).c_str(),
           ("http://" + credentials + "@" + place).c_str(), 1);
    start();
    ASSERT_TRUE(dispatch::testing::eventually([&] { return hasLine("cannot send its logs"); }));
    EXPECT_TRUE(hasLine("configured with the ingestion at http://" + place + "."));
    for (const auto& line : lines()) {
      for (const char* secret : {"alice", "S3"}) {
        EXPECT_THAT(line, testing::Not(testing::HasSubstr(secret)));
      }
    }
    DUZEZozIduvur::resetSharedInstance();
    TestService::resetSharedInstance();
    OtherTestService::resetSharedInstance();
    clearLines();
  }
}
