#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurTest/CoreTest.h"
#include "foundation/UserDefaults.h"

using foundation::Value;

namespace {
class ZozIduvurUserDefaults : public duzetest::CoreTest {
 protected:
  std::shared_ptr<foundation::NSUserDefaults> platform() {
    return foundation::NSUserDefaults::standardUserDefaults();
  }
  std::shared_ptr<DUZEZozIduvurUserDefaults> wrapper() {
    return DUZEZozIduvurUserDefaults::shared();
  }
};
}  // namespace

TEST_F(ZozIduvurUserDefaults, KeysAreStoredWithThePrefix) {
  wrapper()->setObject(Value(true), "CrashesIsEnabled");
  EXPECT_EQ(platform()->objectForKey("RADuzOzezadCrashesIsEnabled"), Value(true));
  EXPECT_FALSE(platform()->objectForKey("CrashesIsEnabled"));
  EXPECT_EQ(wrapper()->objectForKey("CrashesIsEnabled"), Value(true));
  wrapper()->removeObjectForKey("CrashesIsEnabled");
  EXPECT_FALSE(platform()->objectForKey("RADuzOzezadCrashesIsEnabled"));
}

TEST_F(ZozIduvurUserDefaults, MigrationMovesPlainAndPrefixKeysOnce) {
  platform()->setObject(Value(false), "kZORodozidIsEnabledKey");
  platform()->setObject(Value(false), "kZIAnalyticsIsEnabledKey");
  platform()->setObject(Value(true), "kZIAnalyticsIsEnabledKey/abc");
  platform()->setObject(Value("other"), "unrelated");

  std::map<std::string, DUZEMigrationOldKey> table{
      {"RADuzOzezadCrashesIsEnabled", std::string("kZORodozidIsEnabledKey")},
      {"RADuzOzezadAppDidReceiveMemoryWarning", std::string("ZIAppDidReceiveMemoryWarning")},
      {"RADuzOzezadAnalyticsIsEnabled", DUZEUserDefaultsPrefixKey("kZIAnalyticsIsEnabledKey")},
  };
  wrapper()->migrateKeys(table, "Crashes");

  // The old values are visible under the wrapper's keys now.
  EXPECT_EQ(wrapper()->objectForKey("CrashesIsEnabled"), Value(false));
  EXPECT_EQ(wrapper()->objectForKey("AnalyticsIsEnabled"), Value(false));
  EXPECT_EQ(wrapper()->objectForKey("AnalyticsIsEnabled/abc"), Value(true));
  EXPECT_FALSE(wrapper()->objectForKey("AppDidReceiveMemoryWarning"));  // nothing to move
  EXPECT_FALSE(platform()->objectForKey("kZORodozidIsEnabledKey"));
  EXPECT_FALSE(platform()->objectForKey("kZIAnalyticsIsEnabledKey/abc"));
  EXPECT_EQ(platform()->objectForKey("unrelated"), Value("other"));
  EXPECT_EQ(platform()->objectForKey("RADuzOzezad310CrashesUserDefaultsMigratedKey"), Value(true));
  EXPECT_EQ(countLines("Migrating key kZORodozidIsEnabledKey -> RADuzOzezadCrashesIsEnabled"), 1u);
  EXPECT_EQ(countLines("Migrating key"), 3u);

  // A second run for the same service changes nothing, even with old keys back.
  platform()->setObject(Value(true), "kZORodozidIsEnabledKey");
  wrapper()->migrateKeys(table, "Crashes");
  EXPECT_EQ(wrapper()->objectForKey("CrashesIsEnabled"), Value(false));
  EXPECT_EQ(platform()->objectForKey("kZORodozidIsEnabledKey"), Value(true));
  // Another service has its own marker.
  wrapper()->migrateKeys({{"RADuzOzezadPastSessions", std::string("pastSessionsKey")}},
                         "Analytics");
  EXPECT_EQ(platform()->objectForKey("RADuzOzezad310AnalyticsUserDefaultsMigratedKey"),
            Value(true));
}

TEST_F(ZozIduvurUserDefaults, MigratedValuesSurviveANewProcess) {
  platform()->setObject(Value(true), "ZIUserConfirmation");
  wrapper()->migrateKeys(
      {{"RADuzOzezadCrashesUserConfirmation", std::string("ZIUserConfirmation")}}, "Crashes");
  resetSharedState();
  EXPECT_EQ(wrapper()->objectForKey("CrashesUserConfirmation"), Value(true));
}

#ifndef NDEBUG
TEST_F(ZozIduvurUserDefaults, AlreadyPrefixedKeyIsAProgrammingError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(wrapper()->objectForKey("RADuzOzezadAnalyticsIsEnabled"), "already has the prefix");
}
#endif
