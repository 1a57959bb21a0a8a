#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "ZozIduvur/DUZEDevice.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvurCrashesTest/CrashFolders.h"
#include "crash-capture/ROCrashReport.h"
#include "crash-captureTest/ReportFixtures.h"
#include "dispatchTest/Processes.h"
#include "foundation/Value.h"

namespace crashestest {

// A core test (own data folder, recorded log lines) with the crash
// service's folders of its own and its archive classes registered.
class CrashesTest : public CrashFoldersTest {
 protected:
  void SetUp() override;

  // Archives and decodes again through the core.
  template <class T>
  std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
    auto data = DUZEUtility::archiveKeyedData(foundation::Value(object));
    EXPECT_TRUE(data);
    return DUZEUtility::unarchiveObject<T>(data.value_or(foundation::Data{}));
  }
};

// The crash engine, the terminate handler and the method replacements are
// set up at most once per process. A test that sets them up runs again in a
// process of its own: this answers true in that process (and when the test
// is alone in its process already), and otherwise runs the child, checks
// that it passed and answers false.
#define DUZE_RUN_IN_OWN_PROCESS()                                               \
  do {                                                                          \
    if (!::dispatch::testing::inOwnProcess("DUZE_CRASHES_OWN_PROCESS")) return; \
  } while (false)

// A device that passes the core's check.
std::shared_ptr<DUZEDevice> validDevice();

// The report the builder describes, decoded by the engine.
std::shared_ptr<ROCrashReport> decode(rocrash::testing::ReportBuilder& builder);

}  // namespace crashestest
