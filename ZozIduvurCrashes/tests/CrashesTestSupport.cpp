#include "CrashesTestSupport.h"

#include <cstdlib>

#include "ZozIduvurCrashes/DUZECrashesUtil.h"

namespace crashestest {

void CrashesTest::SetUp() {
  CoreTest::SetUp();
  // The crash engine keeps its reports under the caches folder.
  if (const char* caches = std::getenv("XDG_CACHE_HOME")) savedCaches_ = caches;
  setenv("XDG_CACHE_HOME", (dataDir() / "caches").c_str(), 1);
  DUZECrashesUtil::resetDirectory();
  DUZECrashesArchiverUtil::addAllowedCrashesModuleClasses();
  DUZECrashesArchiverUtil::addMigrationClasses();
}

void CrashesTest::TearDown() {
  DUZECrashesUtil::resetDirectory();
  if (savedCaches_) {
    setenv("XDG_CACHE_HOME", savedCaches_->c_str(), 1);
  } else {
    unsetenv("XDG_CACHE_HOME");
  }
  CoreTest::TearDown();
}

std::shared_ptr<DUZEDevice> validDevice() {
  auto device = DUZEDevice::create();
  device->setSdkName("zoziduvur.linux");
  device->setSdkVersion("1.0.0");
  device->setModel("Box");
  device->setOsName("Debian GNU/Linux");
  device->setOsVersion("12");
  device->setOsBuild("6.1.0");
  device->setLocale("en_US");
  device->setTimeZoneOffset(60);
  device->setAppVersion("2.1");
  device->setAppBuild("210");
  device->setAppNamespace("org.example.app");
  return device;
}

std::shared_ptr<ROCrashReport> decode(rocrash::testing::ReportBuilder& builder) {
  std::shared_ptr<foundation::NSError> error;
  auto report = ROCrashReport::create(builder.pack(), &error);
  EXPECT_TRUE(report) << (error ? error->localizedDescription() : std::string());
  return report;
}

}  // namespace crashestest
