#include "ZozIduvurCrashesTest/CrashFolders.h"

#include "DUZECrashesUtil.h"

namespace crashestest {

void CrashFoldersTest::SetUp() {
  CoreTest::SetUp();
  // The crash engine keeps its reports under the caches folder.
  environment_.emplace();
  environment_->set("XDG_CACHE_HOME", cachesDir().string());
  DUZECrashesUtil::resetDirectory();
}

void CrashFoldersTest::TearDown() {
  DUZECrashesUtil::resetDirectory();
  environment_.reset();
  CoreTest::TearDown();
}

}  // namespace crashestest
