#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ZozIduvur/DUZELogger.h"
#include "dispatchTest/TemporaryFolder.h"

namespace duzetest {

// Every test of the core runs in a temporary data folder of its own, with
// fresh shared instances, verbose logging and a handler that records lines.
class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The lines logged so far (waits for the logger's queue first).
  std::vector<std::string> lines();
  // How many logged lines contain `text`.
  size_t countLines(const std::string& text);
  bool hasLine(const std::string& text) { return countLines(text) > 0; }
  void clearLines();

  const std::filesystem::path& dataDir() const { return dataDir_; }
  // How many logs of `groupId` the log database of the data folder (or of
  // `folder`) holds (0 when there is no database yet).
  size_t storedRows(const std::string& groupId) const { return storedRowsIn(dataDir_, groupId); }
  static size_t storedRowsIn(const std::filesystem::path& folder, const std::string& groupId);

  // Drops every shared instance of the core (as a new process would start).
  static void resetSharedState();

 private:
  std::optional<dispatch::testing::TemporaryFolder> dataFolder_;
  std::filesystem::path dataDir_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A small file system of the test's own (a tmpfs mounted at `folder`) that
// can be filled up and given room again. Mounting needs root: elsewhere
// `mounted()` is false and the test skips.
class SmallDisk {
 public:
  explicit SmallDisk(std::filesystem::path folder);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const { return mounted_; }
  const std::filesystem::path& folder() const { return folder_; }
  // Takes every free byte.
  void fill();
  // Gives back what `fill` took.
  void makeRoom();

 private:
  std::filesystem::path folder_;
  bool mounted_ = false;
};

#define DUZE_SKIP_UNLESS_MOUNTED(disk) \
  if (!(disk).mounted()) GTEST_SKIP() << "mounting a small file system needs root"

// Makes the kernel fail the system calls numbered `calls` with `error` on the
// calling thread alone, for the rest of its life: a thread of the test's own
// runs what is to meet the failure. False when the kernel filters nothing.
bool failOnThisThread(std::initializer_list<long> calls, int error);

}  // namespace duzetest
