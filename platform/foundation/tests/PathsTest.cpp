#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "dispatchTest/TemporaryFolder.h"
#include "foundation/Paths.h"
#include "foundationTest/Modes.h"

namespace {

namespace fs = std::filesystem;
using foundationtest::modeOf;

// A folder someone else made, open to all to read.
fs::path sharedFolder(const fs::path& parent) {
  const fs::path folder = parent / "shared";
  fs::create_directory(folder);
  fs::permissions(folder, static_cast<fs::perms>(0755));
  return folder;
}

}  // namespace

TEST(PrivateDirectory, NewFoldersAreOwnerOnlyFromTheirMkdirWhateverTheUmask) {
  for (mode_t mask : {0000, 0022, 0277}) {
    SCOPED_TRACE(mask);
    dispatch::testing::TemporaryFolder temp("private-folder");
    const fs::path shared = sharedFolder(temp.path());
    {
      foundationtest::ScopedUmask umask(mask);
      ASSERT_TRUE(foundation::createPrivateDirectory(shared / "a" / "b" / "c"));
      ASSERT_TRUE(foundation::writeFileAtomically(shared / "d" / "e" / "file", "x", 0600));
    }
    EXPECT_EQ(modeOf(shared), 0755u);
    for (const char* made : {"a", "a/b", "a/b/c", "d", "d/e"}) {
      EXPECT_EQ(modeOf(shared / made), 0700u) << made;
    }
  }
}

TEST(PrivateDirectory, AnExistingFolderKeepsItsModeUnlessItIsTheCallersOwn) {
  dispatch::testing::TemporaryFolder temp("private-folder");
  const fs::path shared = sharedFolder(temp.path());
  EXPECT_TRUE(foundation::createPrivateDirectory(shared));
  EXPECT_EQ(modeOf(shared), 0755u);
  EXPECT_TRUE(foundation::createPrivateDirectory(shared, foundation::ExistingFolder::makePrivate));
  EXPECT_EQ(modeOf(shared), 0700u);

  // A file in the way is an error, and stays a file.
  std::ofstream(temp.path() / "file") << "x";
  std::error_code error;
  EXPECT_FALSE(foundation::createPrivateDirectory(temp.path() / "file" / "inner",
                                                  foundation::ExistingFolder::keep, &error));
  EXPECT_EQ(error, std::errc::not_a_directory);
  EXPECT_FALSE(foundation::createPrivateDirectory(temp.path() / "file",
                                                  foundation::ExistingFolder::keep, &error));
  EXPECT_EQ(error, std::errc::not_a_directory);
  EXPECT_TRUE(fs::is_regular_file(temp.path() / "file"));
}

TEST(AtomicWrite, NeverWritesThroughWhatStandsAtItsTemporaryName) {
  for (const bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "a hard link" : "a symbolic link");
    dispatch::testing::TemporaryFolder temp("atomic-write");
    const fs::path folder = temp.path() / "data";
    const fs::path mine = temp.path() / "mine";
    std::ofstream(mine) << "mine";
    fs::permissions(mine, static_cast<fs::perms>(0644));
    ASSERT_TRUE(foundation::writeFileAtomically(folder / "probe", "x", 0600));
    // The temporary name of the next write, learnt from the one a probe took.
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ::inotify_add_watch(watch, folder.c_str(), IN_CREATE);
    ASSERT_TRUE(foundation::writeFileAtomically(folder / "probe", "x", 0600));
    alignas(inotify_event) char events[4096];
    ASSERT_GT(::read(watch, events, sizeof events), 0);
    ::close(watch);
    const std::string probe = reinterpret_cast<inotify_event*>(events)->name;
    const size_t dot = probe.rfind('.');
    const std::string next =
        "file" + probe.substr(5, dot - 4) + std::to_string(std::stoull(probe.substr(dot + 1)) + 1);
    if (hard) {
      fs::create_hard_link(mine, folder / next);
    } else {
      fs::create_symlink(mine, folder / next);
    }
    // Written all the same, under another name, with the mode asked for.
    ASSERT_TRUE(foundation::writeFileAtomically(folder / "file", "new", 0600));
    EXPECT_EQ(modeOf(folder / "file"), 0600u);
    EXPECT_EQ(modeOf(mine), 0644u);
    std::string text;
    std::getline(std::ifstream(mine), text);
    EXPECT_EQ(text, "mine");
    std::getline(std::ifstream(folder / "file"), text);
    EXPECT_EQ(text, "new");
  }
}
