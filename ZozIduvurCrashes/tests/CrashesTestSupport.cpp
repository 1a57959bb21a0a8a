#include "CrashesTestSupport.h"

#include "DUZECrashesUtil.h"

namespace crashestest {

void CrashesTest::SetUp() {
  CrashFoldersTest::SetUp();
  DUZECrashesArchiverUtil::addAllowedCrashesModuleClasses();
  DUZECrashesArchiverUtil::addMigrationClasses();
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

}  // namespace crashestest
