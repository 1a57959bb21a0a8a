#pragma once

#include <filesystem>
#include <optional>

#include "ZozIduvurTest/CoreTest.h"
#include "dispatchTest/Environment.h"

namespace crashestest {

// A core test whose crash engine keeps its reports under the test's own
// data folder ("caches" in it), with the crash service's folders reset
// before the test and after it.
class CrashFoldersTest : public duzetest::CoreTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::filesystem::path cachesDir() const { return dataDir() / "caches"; }

 private:
  std::optional<dispatch::testing::ScopedEnvironment> environment_;
};

}  // namespace crashestest
