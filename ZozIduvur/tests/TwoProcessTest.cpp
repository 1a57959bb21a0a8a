// The first process stores user defaults, an archive and an encrypted value
// in a data folder; a second process, started afresh, reads them back.

#include <cstdlib>

#include "ZozIduvur/DUZEEncrypter.h"
#include "ZozIduvur/DUZESessionContext.h"
#include "ZozIduvur/DUZEStartServiceLog.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurTest/CoreTest.h"
#include "dispatchTest/Processes.h"
#include "foundation/Paths.h"

namespace {

using dispatch::testing::roleIs;

constexpr const char* kRole = "ZOZIDUVUR_TEST_ROLE";

}  // namespace

TEST(TwoProcessChild, Writer) {
  if (!roleIs(kRole, "writer")) GTEST_SKIP() << "runs as a child of TwoProcess.*";
  DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value("persisted"), "Probe");
  DUZESessionContext::sharedInstance()->setSessionId("SESSION-1");
  auto log = DUZEStartServiceLog::create();
  log->setServices(std::vector<std::string>{"Crashes"});
  log->setTimestamp(dispatch::Date(42));
  auto archive = DUZEUtility::archiveKeyedData(foundation::Value(log));
  ASSERT_TRUE(archive);
  ASSERT_TRUE(DUZEUtility::createFileAtPathComponent("probe/log.archive", *archive, true, true));
  auto encrypted = DUZEEncrypter::create()->encryptString("secret-token");
  ASSERT_TRUE(encrypted);
  ASSERT_TRUE(DUZEUtility::createFileAtPathComponent(
      "probe/token.txt", foundation::dataFromString(*encrypted), true, true));
}

TEST(TwoProcessChild, Reader) {
  if (!roleIs(kRole, "reader")) GTEST_SKIP() << "runs as a child of TwoProcess.*";
  EXPECT_EQ(DUZEZozIduvurUserDefaults::shared()->objectForKey("Probe"),
            foundation::Value("persisted"));
  EXPECT_FALSE(DUZESessionContext::sharedInstance()->sessionId());
  EXPECT_EQ(DUZESessionContext::sharedInstance()->sessionIdAt(dispatch::Date::now()), "SESSION-1");
  auto archive = DUZEUtility::loadDataForPathComponent("probe/log.archive");
  ASSERT_TRUE(archive);
  auto log = DUZEUtility::unarchiveObject<DUZEStartServiceLog>(*archive);
  ASSERT_TRUE(log);
  EXPECT_EQ(log->services(), std::vector<std::string>{"Crashes"});
  EXPECT_EQ(log->timestamp(), dispatch::Date(42));
  auto token = DUZEUtility::loadDataForPathComponent("probe/token.txt");
  ASSERT_TRUE(token);
  EXPECT_EQ(DUZEEncrypter::create()->decryptString(foundation::stringFromData(*token)),
            "secret-token");
}

namespace {
class TwoProcess : public duzetest::CoreTest {};
}  // namespace

TEST_F(TwoProcess, ALaterProcessReadsWhatAnEarlierOneStored) {
  const std::string dir =
      std::string(foundation::kDataDirectoryEnvironmentVariable) + "=" + dataDir().string();
  ASSERT_EQ(
      dispatch::testing::runChild("TwoProcessChild.Writer", {dir, std::string(kRole) + "=writer"}),
      0);
  EXPECT_TRUE(std::filesystem::exists(dataDir() / "UserDefaults.json"));
  EXPECT_TRUE(std::filesystem::exists(dataDir() / "encryption.key"));
  EXPECT_EQ(
      dispatch::testing::runChild("TwoProcessChild.Reader", {dir, std::string(kRole) + "=reader"}),
      0);
  // A reader that finds nothing must fail, or the check above proves nothing.
  std::filesystem::remove(dataDir() / "encryption.key");
  EXPECT_NE(
      dispatch::testing::runChild("TwoProcessChild.Reader", {dir, std::string(kRole) + "=reader"}),
      0);
}
