#include <thread>

#include "CrashesTestSupport.h"
#include "DUZECrashesUtil.h"
#include "ZozIduvurCrashes/DUZEAppleErrorLog.h"

namespace {

namespace fs = std::filesystem;

class Folders : public crashestest::CrashesTest {};

TEST_F(Folders, EachFolderIsCreatedOnFirstUseAndAgainAfterReset) {
  EXPECT_EQ(DUZECrashesUtil::crashesDir(), "crashes");
  EXPECT_EQ(DUZECrashesUtil::logBufferDir(), "crasheslogbuffer");
  EXPECT_EQ(DUZECrashesUtil::wrapperExceptionsDir(), "crasheswrapperexceptions");
  for (const char* name : {"crashes", "crasheslogbuffer", "crasheswrapperexceptions"})
    EXPECT_TRUE(fs::is_directory(dataDir() / name)) << name;

  fs::remove_all(dataDir() / "crashes");
  EXPECT_EQ(DUZECrashesUtil::crashesDir(), "crashes");
  EXPECT_FALSE(fs::exists(dataDir() / "crashes"));
  DUZECrashesUtil::resetDirectory();
  EXPECT_EQ(DUZECrashesUtil::crashesDir(), "crashes");
  EXPECT_TRUE(fs::is_directory(dataDir() / "crashes"));
}

TEST_F(Folders, AllowListHasTheTwentyFourClassesInOrder) {
  std::vector<std::string> names;
  for (const auto& cls : DUZECrashesArchiverUtil::allowedCrashesModuleClasses())
    names.push_back(cls.name);
  const std::vector<std::string> expected = {"DUZEAppleErrorLog",
                                             "NSDate",
                                             "DUZEDevice",
                                             "DUZEThread",
                                             "DUZEWrapperException",
                                             "DUZEAbstractErrorLog",
                                             "DUZEHandledErrorLog",
                                             "DUZEWrapperExceptionModel",
                                             "DUZEStackFrame",
                                             "DUZEBinary",
                                             "DUZEErrorAttachmentLog",
                                             "DUZEErrorReport",
                                             "DUZEWrapperSdk",
                                             "NSUUID",
                                             "NSDictionary",
                                             "NSArray",
                                             "NSNull",
                                             "DUZELogWithProperties",
                                             "DUZECommonSchemaLog",
                                             "NSMutableData",
                                             "DUZEExceptionModel",
                                             "NSString",
                                             "NSNumber",
                                             "NSMutableArray"};
  EXPECT_EQ(names, expected);
}

class Stranger : public DUZEAppleErrorLog {
  DUZE_CLASS_NAME("StrangerLog")
};
class StrangerModel : public DUZEExceptionModel {
  DUZE_CLASS_NAME("StrangerModel")
};

TEST_F(Folders, ArchivesOfOtherClassesAreNotDecoded) {
  auto stranger = std::make_shared<Stranger>();
  auto data = DUZEUtility::archiveKeyedData(foundation::Value(stranger));
  ASSERT_TRUE(data);
  EXPECT_FALSE(DUZEUtility::unarchiveObject<DUZEAppleErrorLog>(*data));

  // An allowed log is refused as a whole when it holds a stranger.
  auto log = DUZEAppleErrorLog::create();
  data = DUZEUtility::archiveKeyedData(foundation::Value(log));
  ASSERT_TRUE(data);
  EXPECT_TRUE(DUZEUtility::unarchiveObject<DUZEAppleErrorLog>(*data));
  log->setException(std::make_shared<StrangerModel>());
  data = DUZEUtility::archiveKeyedData(foundation::Value(log));
  ASSERT_TRUE(data);
  EXPECT_FALSE(DUZEUtility::unarchiveObject<DUZEAppleErrorLog>(*data));
}

class FoldersStress : public crashestest::CrashesTest {};

TEST_F(FoldersStress, ConcurrentFirstUseCreatesEachFolderOnce) {
  for (int round = 0; round < 20; ++round) {
    DUZECrashesUtil::resetDirectory();
    fs::remove_all(dataDir() / "crashes");
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
      threads.emplace_back([] { EXPECT_EQ(DUZECrashesUtil::crashesDir(), "crashes"); });
    for (auto& t : threads) t.join();
    EXPECT_TRUE(fs::is_directory(dataDir() / "crashes"));
  }
}

}  // namespace
