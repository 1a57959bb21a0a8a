#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ReportFixtures.h"
#include "TestSupport.h"
#include "ZozIduvur/DUZEDevice.h"
#include "ZozIduvur/DUZEUtility.h"
#include "crash-capture/ROCrashReport.h"
#include "foundation/Value.h"

namespace crashestest {

// A core test (own data folder, recorded log lines) with the crash
// service's folders reset and its archive classes registered.
class CrashesTest : public duzetest::CoreTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Archives and decodes again through the core.
  template <class T>
  std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
    auto data = DUZEUtility::archiveKeyedData(foundation::Value(object));
    EXPECT_TRUE(data);
    return DUZEUtility::unarchiveObject<T>(data.value_or(foundation::Data{}));
  }
};

// A device that passes the core's check.
std::shared_ptr<DUZEDevice> validDevice();

// The report the builder describes, decoded by the engine.
std::shared_ptr<ROCrashReport> decode(rocrash::testing::ReportBuilder& builder);

}  // namespace crashestest
