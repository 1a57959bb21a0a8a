#include <gtest/gtest.h>

#include "dispatchTest/Environment.h"
#include "foundation/Bundle.h"
#include "foundation/Paths.h"
#include "foundationTest/Bundle.h"

using foundation::NSBundle;
using foundation::Value;

TEST(Bundle, IdentifierFallsBackToTheExecutableName) {
  auto bundle = NSBundle::mainBundle();
  foundationtest::resetInfoDictionary(*bundle);
  EXPECT_EQ(bundle->bundleIdentifier(), "foundation_tests");
  bundle->setObjectForInfoDictionaryKey(Value("org.example.app"),
                                        foundation::kCFBundleIdentifierKey);
  EXPECT_EQ(bundle->bundleIdentifier(), "org.example.app");
  bundle->setObjectForInfoDictionaryKey(Value(), foundation::kCFBundleIdentifierKey);
  EXPECT_FALSE(bundle->objectForInfoDictionaryKey(foundation::kCFBundleIdentifierKey));
  foundationtest::resetInfoDictionary(*bundle);
}

TEST(Bundle, DataDirectoryHonoursTheOverrideThenXdg) {
  const std::string var(foundation::kDataDirectoryEnvironmentVariable);
  dispatch::testing::ScopedEnvironment environment;
  environment.set(var, "/tmp/explicit");
  EXPECT_EQ(foundation::applicationDataDirectory(), "/tmp/explicit");
  environment.unset(var);
  environment.set("XDG_DATA_HOME", "/tmp/xdg");
  EXPECT_EQ(foundation::applicationDataDirectory(), "/tmp/xdg/foundation_tests");
  environment.set("XDG_DATA_HOME", "relative/ignored");
  EXPECT_NE(foundation::applicationDataDirectory().string().rfind("relative", 0), 0u);
}
