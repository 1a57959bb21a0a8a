#include <unistd.h>

#include <fstream>

#include "CrashesTestSupport.h"
#include "ZozIduvurCrashes/DUZEWrapperCrashesHelper.h"
#include "ZozIduvurCrashes/DUZEWrapperExceptionManager.h"
#include "crash-capture/ROReradUzerirud.h"
#include "foundation/UUID.h"

namespace {

namespace fs = std::filesystem;

class WrapperExceptions : public crashestest::CrashesTest {
 protected:
  void TearDown() override {
    DUZEWrapperExceptionManager::setCrashReporter(nullptr);
    CrashesTest::TearDown();
  }

  fs::path folder() const { return dataDir() / "crasheswrapperexceptions"; }

  static std::shared_ptr<DUZEWrapperException> exceptionOf(int64_t pid) {
    auto exception = DUZEWrapperException::create();
    auto model = DUZEWrapperExceptionModel::create();
    model->setType("Wrapped");
    model->setWrapperSdkName("wrapper");
    exception->setModelException(model);
    exception->setProcessId(pid);
    exception->setExceptionData(foundation::Data{9});
    return exception;
  }

  static std::shared_ptr<DUZEErrorReport> reportOf(uint64_t pid) {
    return DUZEErrorReport::create(foundation::NSUUID().UUIDString(), "", "SIGABRT", std::nullopt,
                                   std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                   std::nullopt, std::nullopt, std::nullopt, std::nullopt, nullptr,
                                   pid);
  }
};

TEST_F(WrapperExceptions, CorrelationWithoutSavedExceptionChangesNothing) {
  auto report = reportOf(123);
  DUZEWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report});
  EXPECT_TRUE(fs::is_empty(folder()));
  EXPECT_FALSE(DUZEWrapperExceptionManager::loadWrapperExceptionWithUUIDString(
      report->incidentIdentifier()));
  EXPECT_TRUE(hasLine("Exception data report doesn't exist on disk. File name: " +
                      *report->incidentIdentifier()));
}

TEST_F(WrapperExceptions, SavedExceptionMovesToTheReportOfItsProcess) {
  DUZEWrapperExceptionManager::saveWrapperException(exceptionOf(123));
  ASSERT_TRUE(fs::is_regular_file(folder() / "last_saved_wrapper_exception"));
  auto other = reportOf(122);
  auto match = reportOf(123);
  DUZEWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({other, match});
  EXPECT_FALSE(fs::exists(folder() / "last_saved_wrapper_exception"));
  EXPECT_TRUE(fs::is_regular_file(folder() / *match->incidentIdentifier()));
  EXPECT_FALSE(fs::exists(folder() / *other->incidentIdentifier()));

  // Known without the disk, and still known after its file is deleted.
  fs::remove_all(folder());
  auto loaded =
      DUZEWrapperExceptionManager::loadWrapperExceptionWithUUIDString(match->incidentIdentifier());
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->processId(), 123);
  EXPECT_EQ(loaded->modelException()->type(), "Wrapped");
}

TEST_F(WrapperExceptions, DeletingByIdKeepsTheCorrelatedEntry) {
  DUZEWrapperExceptionManager::saveWrapperException(exceptionOf(7));
  auto report = reportOf(7);
  DUZEWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({report});
  DUZEWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(report->incidentIdentifier());
  EXPECT_FALSE(fs::exists(folder() / *report->incidentIdentifier()));
  EXPECT_TRUE(DUZEWrapperExceptionManager::loadWrapperExceptionWithUUIDString(
      report->incidentIdentifier()));
}

TEST_F(WrapperExceptions, UnmatchedExceptionIsDropped) {
  DUZEWrapperExceptionManager::saveWrapperException(exceptionOf(1));
  DUZEWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({reportOf(2)});
  EXPECT_TRUE(fs::is_empty(folder()));
}

TEST_F(WrapperExceptions, FilesOnDiskAreReadDeletedAndCleared) {
  const std::string id = foundation::NSUUID().UUIDString();
  DUZEWrapperExceptionManager::saveWrapperExceptionWithBaseFilename(exceptionOf(5), id);
  auto loaded = DUZEWrapperExceptionManager::loadWrapperExceptionWithUUIDString(id);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->exceptionData(), (foundation::Data{9}));

  std::ofstream(folder() / "broken") << "not an archive";
  EXPECT_FALSE(DUZEWrapperExceptionManager::loadWrapperExceptionWithBaseFilename("broken"));
  EXPECT_TRUE(hasLine("Could not read exception data stored on disk with file name broken"));
  EXPECT_FALSE(fs::exists(folder() / "broken"));

  DUZEWrapperExceptionManager::deleteAllWrapperExceptions();
  EXPECT_FALSE(fs::exists(folder()));
  // Saving again repairs the folder.
  DUZEWrapperExceptionManager::saveWrapperException(exceptionOf(5));
  EXPECT_TRUE(fs::is_regular_file(folder() / "last_saved_wrapper_exception"));
}

TEST_F(WrapperExceptions, CrashTimeSaveNeedsTheEngine) {
  DUZEWrapperExceptionManager::saveWrapperExceptionAndCrashReport(exceptionOf(3));
  EXPECT_TRUE(hasLine("[ZozIduvur] ERROR"));
  EXPECT_TRUE(hasLine("Failed to save the crash report. CrashReporter wasn't initialized."));
  EXPECT_FALSE(fs::exists(folder() / "last_saved_wrapper_exception"));
}

TEST_F(WrapperExceptions, CrashTimeSaveLeavesExceptionAndLiveReportForTheNextLaunch) {
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "org.example.wrapped", "1", std::nullopt,
      ROReradUzerirudConfig::initWithBasePath((dataDir() / "engine").string()));
  DUZEWrapperExceptionManager::setCrashReporter(reporter);
  ASSERT_FALSE(reporter->hasPendingCrashReport());
  DUZEWrapperExceptionManager::saveWrapperExceptionAndCrashReport(exceptionOf(getpid()));

  EXPECT_TRUE(fs::is_regular_file(folder() / "last_saved_wrapper_exception"));
  ASSERT_TRUE(reporter->hasPendingCrashReport());
  EXPECT_TRUE(
      hasLine("Crash report was saved successfully at path " + reporter->crashReportPath()));
  auto bytes = reporter->loadPendingCrashReportData();
  ASSERT_TRUE(bytes);
  std::shared_ptr<foundation::NSError> error;
  auto report = ROCrashReport::create(*bytes, &error);
  ASSERT_TRUE(report) << error->localizedDescription();
  ASSERT_TRUE(report->hasProcessInfo());
  EXPECT_EQ(report->processInfo()->processID(), static_cast<uint64_t>(getpid()));
}

TEST_F(WrapperExceptions, CrashTimeSaveReportsAFolderThatCannotBeMade) {
  // A file where the engine's folder must go.
  std::ofstream(dataDir() / "blocked") << "x";
  auto reporter = ROReradUzerirud::initWithApplicationIdentifier(
      "org.example.wrapped", "1", std::nullopt,
      ROReradUzerirudConfig::initWithBasePath((dataDir() / "blocked").string()));
  DUZEWrapperExceptionManager::setCrashReporter(reporter);
  DUZEWrapperExceptionManager::saveWrapperExceptionAndCrashReport(exceptionOf(4));
  const std::string folderPath = fs::path(reporter->crashReportPath()).parent_path().string();
  EXPECT_TRUE(hasLine("Couldn't create a directory at path " + folderPath));
  EXPECT_FALSE(hasLine("Crash report was saved"));
  EXPECT_FALSE(hasLine("Couldn't save crash report"));
  // The exception itself was saved before.
  EXPECT_TRUE(fs::is_regular_file(folder() / "last_saved_wrapper_exception"));
}

TEST(WrapperCrashesHelper, SetupDelegateIsHeldWeaklyAndReadTwoWays) {
  auto delegate = std::make_shared<DUZECrashHandlerSetupDelegate>();
  DUZEWrapperCrashesHelper::setCrashHandlerSetupDelegate(delegate);
  EXPECT_EQ(DUZEWrapperCrashesHelper::crashHandlerSetupDelegate(), delegate);
  EXPECT_EQ(DUZEWrapperCrashesHelper::getCrashHandlerSetupDelegate(), delegate);
  EXPECT_EQ(DUZEWrapperCrashesHelper::sharedInstance(), DUZEWrapperCrashesHelper::sharedInstance());
  delegate.reset();
  EXPECT_EQ(DUZEWrapperCrashesHelper::crashHandlerSetupDelegate(), nullptr);
  EXPECT_EQ(DUZEWrapperCrashesHelper::getCrashHandlerSetupDelegate(), nullptr);
}

}  // namespace
