#include <gtest/gtest.h>

#include <cstdlib>

#include "foundation/Bundle.h"
#include "foundation/Paths.h"

using foundation::NSBundle;
using foundation::Value;

TEST(Bundle, IdentifierFallsBackToTheExecutableName) {
  auto bundle = NSBundle::mainBundle();
  bundle->resetInfoDictionary();
  EXPECT_EQ(bundle->bundleIdentifier(), "foundation_tests");
  bundle->setObjectForInfoDictionaryKey(Value("org.example.app"),
                                        foundation::kCFBundleIdentifierKey);
  EXPECT_EQ(bundle->bundleIdentifier(), "org.example.app");
  bundle->setObjectForInfoDictionaryKey(Value(), foundation::kCFBundleIdentifierKey);
  EXPECT_FALSE(bundle->objectForInfoDictionaryKey(foundation::kCFBundleIdentifierKey));
  bundle->resetInfoDictionary();
}

TEST(Bundle, DataDirectoryHonoursTheOverrideThenXdg) {
  const std::string var(foundation::kDataDirectoryEnvironmentVariable);
  setenv(var.c_str(), "/tmp/explicit", 1);
  EXPECT_EQ(foundation::applicationDataDirectory(), "/tmp/explicit");
  unsetenv(var.c_str());
  const char* oldXdg = getenv("XDG_DATA_HOME");
  std::string saved = oldXdg ? oldXdg : "";
  setenv("XDG_DATA_HOME", "/tmp/xdg", 1);
  EXPECT_EQ(foundation::applicationDataDirectory(), "/tmp/xdg/foundation_tests");
  setenv("XDG_DATA_HOME", "relative/ignored", 1);
  EXPECT_NE(foundation::applicationDataDirectory().string().rfind("relative", 0), 0u);
  if (oldXdg) {
    setenv("XDG_DATA_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_DATA_HOME");
  }
}
