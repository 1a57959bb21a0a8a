// The files the client keeps in its data folder: a symbolic link where one
// of them belongs is never followed, and a set-aside file is never
// overwritten.

#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "ZozIduvur/DUZELogDBStorage.h"
#include "ZozIduvur/DUZEStartServiceLog.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvur/TestSeams.h"
#include "ZozIduvurTest/CoreTest.h"
#include "dispatchTest/Processes.h"
#include "dispatchTest/TemporaryFolder.h"
#include "dispatchTest/Waiting.h"
#include "foundationTest/Modes.h"

namespace {

namespace fs = std::filesystem;

class StoreFiles : public duzetest::CoreTest {
 protected:
  // Another file of the user's, outside the data folder.
  fs::path outsideFile(const std::string& name, unsigned mode) {
    const fs::path file = outside_.path() / name;
    std::ofstream(file) << "the user's own " << name;
    fs::permissions(file, static_cast<fs::perms>(mode));
    return file;
  }
  static std::string contentsOf(const fs::path& file) {
    std::ostringstream text;
    text << std::ifstream(file).rdbuf();
    return text.str();
  }
  // Expects `file` as outsideFile made it: bytes and mode untouched.
  static void expectUntouched(const fs::path& file, unsigned mode) {
    EXPECT_EQ(foundationtest::modeOf(file), mode) << file;
    EXPECT_EQ(contentsOf(file), "the user's own " + file.filename().string());
  }

  dispatch::testing::TemporaryFolder outside_{"zoziduvur-outside"};
};

}  // namespace

TEST_F(StoreFiles, TheStoreFollowsNoLinkWhereItKeepsItsFiles) {
  struct Case {
    std::string link;  // in the data folder, beside "Logs.sqlite"
    unsigned targetMode;
    bool dangling;
    bool opens;  // a lock file that is a link leaves the store working
  };
  const std::vector<Case> cases = {
      {"Logs.sqlite.lock", 0644, false, true}, {"Logs.sqlite.lock", 0, true, true},
      {"Logs.sqlite", 0444, false, false},     {"Logs.sqlite", 0, true, false},
      {"Logs.sqlite-wal", 0644, false, false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.link + (c.dangling ? " (dangling)" : ""));
    clearLines();
    const fs::path folder = dataDir() / std::to_string(i);
    fs::create_directory(folder);
    const fs::path target = c.dangling ? outside_.path() / ("missing-" + std::to_string(i))
                                       : outsideFile("file-" + std::to_string(i), c.targetMode);
    fs::create_symlink(target, folder / c.link);
    {
      DUZELogDBStorage store(folder / "Logs.sqlite");
      EXPECT_EQ(store.isOpen(), c.opens);
      EXPECT_TRUE(store.claimSending());
      EXPECT_TRUE(fs::is_symlink(folder / c.link));
    }
    if (c.dangling) {
      EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
    } else {
      expectUntouched(target, c.targetMode);
    }
    EXPECT_TRUE(c.opens ? hasLine("is a symbolic link, which is not followed")
                        : hasLine((folder / c.link).string() + " is a symbolic link where the log "
                                                               "store keeps a file of its own"));
  }
  // Nor are the rows of another database carried in through a link under a
  // set-aside name.
  const fs::path other = outside_.path() / "other.sqlite";
  ASSERT_TRUE(DUZELogDBStorage(other).saveLog(DUZEStartServiceLog::create(), "G", 1));
  fs::create_symlink(other, dataDir() / "Logs.sqlite.unusable");
  DUZELogDBStorage store(dataDir() / "Logs.sqlite");
  EXPECT_EQ(store.countLogs("G"), 0u);
  EXPECT_TRUE(fs::is_symlink(dataDir() / "Logs.sqlite.unusable"));
}

TEST_F(StoreFiles, FilesTheClientWritesAreNeverWrittenThroughALink) {
  const fs::path page = outsideFile("page.html", 0644);
  const fs::path missing = outside_.path() / "missing";
  fs::create_symlink(page, dataDir() / "linked");
  fs::create_symlink(missing, dataDir() / "dangling");
  for (const bool atomically : {false, true}) {
    for (const bool force : {false, true}) {
      for (const char* name : {"linked", "dangling"}) {
        EXPECT_FALSE(
            DUZEUtility::createFileAtPathComponent(name, foundation::Data{1, 2}, atomically, force))
            << name;
        EXPECT_TRUE(fs::is_symlink(dataDir() / name));
      }
    }
  }
  EXPECT_FALSE(DUZEUtility::createFileAtPath(dataDir() / "linked", foundation::Data{1, 2}));
  EXPECT_FALSE(DUZEUtility::createFileAtPath(dataDir() / "dangling", foundation::Data{1, 2}));
  expectUntouched(page, 0644);
  EXPECT_FALSE(fs::exists(fs::symlink_status(missing)));
  EXPECT_TRUE(hasLine("a symbolic link is there, which is not followed"));
}

namespace {

constexpr const char* kRole = "ZOZIDUVUR_TEST_ROLE";
constexpr const char* kSharedFolder = "ZOZIDUVUR_TEST_SHARED_FOLDER";

}  // namespace

// Sets the unusable file of the shared folder aside, waiting between finding
// a free name and renaming the file until its parent has set a file aside
// under that name.
TEST(SettingAsideChild, WaitsBeforeItsRename) {
  if (!dispatch::testing::roleIs(kRole, "setting-aside")) {
    GTEST_SKIP() << "runs as a child of StoreFiles.*";
  }
  const fs::path folder = std::getenv(kSharedFolder);
  DUZELogDBStorageSeams::setRenamingHookForTesting([&](const fs::path& name) {
    if (name.filename() != "Logs.sqlite.unusable") return;
    std::ofstream(folder / "child-found-a-name").put('x');
    EXPECT_TRUE(dispatch::testing::eventually([&] { return fs::exists(folder / "parent-done"); }));
  });
  EXPECT_TRUE(DUZELogDBStorage(folder / "Logs.sqlite").isOpen());
}

TEST_F(StoreFiles, TwoProgramsSettingAsideAtOnceKeepEveryFile) {
  // No program can use this lock file: they do not take turns.
  fs::create_directory(dataDir() / "Logs.sqlite.lock");
  std::ofstream(dataDir() / "Logs.sqlite") << "the first file that is no database";
  const pid_t child = dispatch::testing::spawn(
      "/proc/self/exe", {"/proc/self/exe", "--gtest_filter=SettingAsideChild.WaitsBeforeItsRename"},
      dispatch::testing::environmentWith({std::string(kRole) + "=setting-aside",
                                          std::string(kSharedFolder) + "=" + dataDir().string()}));
  ASSERT_GT(child, 0);
  ASSERT_TRUE(
      dispatch::testing::eventually([&] { return fs::exists(dataDir() / "child-found-a-name"); }));
  // The same file is set aside here under that name, and a new one made.
  EXPECT_TRUE(DUZELogDBStorage(dataDir() / "Logs.sqlite").isOpen());
  std::ofstream(dataDir() / "parent-done").put('x');
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(contentsOf(dataDir() / "Logs.sqlite.unusable"), "the first file that is no database");
  // The file made here, which the child set aside in turn, is kept too.
  EXPECT_TRUE(fs::exists(dataDir() / "Logs.sqlite.carried"));
}

TEST_F(StoreFiles, SettingAsideBySecondNameNeverRemovesAnotherProgramsNewDatabase) {
  // No program can use this lock file: they do not take turns.
  fs::create_directory(dataDir() / "Logs.sqlite.lock");
  const fs::path file = dataDir() / "Logs.sqlite";
  std::ofstream(file) << "a file that is no database";
  // Between the second name and the removal of the first, another program
  // sets the same file aside, stores a log in a new database at its name,
  // and closes it.
  bool stored = false;
  DUZELogDBStorageSeams::setLinkedHookForTesting([&](const fs::path& from) {
    if (from != file || std::exchange(stored, true)) return;
    fs::rename(from, dataDir() / "Logs.sqlite.unusable.2");
    EXPECT_TRUE(DUZELogDBStorage(from).saveLog(DUZEStartServiceLog::create(), "G", 1));
  });
  // A file system that cannot rename without replacing.
  bool filtered = false;
  std::thread([&] {
    filtered = duzetest::failOnThisThread({SYS_renameat2}, EINVAL);
    if (filtered) {
      EXPECT_TRUE(DUZELogDBStorage(file).isOpen());
    }
  }).join();
  DUZELogDBStorageSeams::setLinkedHookForTesting(nullptr);
  if (!filtered) GTEST_SKIP() << "this kernel filters no system calls";
  ASSERT_TRUE(stored);
  EXPECT_EQ(DUZELogDBStorage(file).countLogs("G"), 1u);
  EXPECT_EQ(contentsOf(dataDir() / "Logs.sqlite.unusable"), "a file that is no database");
}

TEST_F(StoreFiles, SettingAsideWhereRenamesAreRefusedLeavesTheFileAloneAndSaysWhy) {
  const fs::path file = dataDir() / "Logs.sqlite";
  std::ofstream(file) << "a file that is no database";
  bool filtered = false;
  std::thread([&] {
    // A file system that cannot rename without replacing, where a rename is
    // refused altogether: the second name is made, the move is not.
    filtered = duzetest::failOnThisThread({SYS_renameat2}, EINVAL) &&
               duzetest::failOnThisThread({SYS_rename, SYS_renameat}, EPERM);
    // Each open tries again.
    for (int open = 0; filtered && open < 2; ++open) EXPECT_FALSE(DUZELogDBStorage(file).isOpen());
  }).join();
  if (!filtered) GTEST_SKIP() << "this kernel filters no system calls";
  EXPECT_EQ(countLines("cannot be used nor moved aside: Operation not permitted"), 2u);
  EXPECT_FALSE(hasLine("it is replaced"));
  // The file stands at its name alone, as it was: no name was left behind.
  EXPECT_EQ(contentsOf(file), "a file that is no database");
  struct stat st;
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 1u);
  for (const auto& entry : fs::directory_iterator(dataDir())) {
    EXPECT_EQ(entry.path().filename().string().find("Logs.sqlite.unusable"), std::string::npos)
        << entry.path();
  }
}
