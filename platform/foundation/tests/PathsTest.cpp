#include <gtest/gtest.h>
#include <sys/stat.h>

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
