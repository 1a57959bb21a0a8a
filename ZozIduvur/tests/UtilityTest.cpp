#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "ZozIduvur/DUZEDispatcherUtil.h"
#include "ZozIduvur/DUZEUtility.h"
#include "ZozIduvurTest/CoreTest.h"
#include "dispatch/DispatchQueue.h"
#include "dispatch/MainLoop.h"
#include "foundation/Bundle.h"
#include "foundation/UTF16.h"

using foundation::Data;

namespace {
class Utility : public duzetest::CoreTest {};

DUZEProperties numbered(int count) {
  DUZEProperties out;
  for (int i = 0; i < count; ++i) out.emplace("key" + std::to_string(100 + i), "value");
  return out;
}
}  // namespace

TEST_F(Utility, ValidatePropertiesKeepsTwentyEntries) {
  EXPECT_EQ(DUZEUtility::validateProperties(numbered(20), "name", "event").size(), 20u);
  EXPECT_EQ(countLines("cannot contain more than"), 0u);
  auto result = DUZEUtility::validateProperties(numbered(21), "name", "event");
  EXPECT_EQ(result.size(), 20u);
  EXPECT_FALSE(result.count("key120"));  // the last in order is the one left out
  EXPECT_EQ(countLines("[ZozIduvur] WARNING: "), 1u);
  EXPECT_TRUE(hasLine(
      "event 'name' : properties cannot contain more than 20 items. Skipping other properties."));
  EXPECT_TRUE(DUZEUtility::validateProperties(std::nullopt, "n", "t").empty());
}

TEST_F(Utility, ValidatePropertiesCutsKeysAndValuesAt125Units) {
  const std::string k125(125, 'k'), k126(126, 'k'), v125(125, 'v'), v126(126, 'v');
  auto kept = DUZEUtility::validateProperties(DUZEProperties{{k125, v125}}, "n", "page");
  EXPECT_EQ(kept.at(k125), v125);
  EXPECT_TRUE(lines().empty());

  auto cut = DUZEUtility::validateProperties(DUZEProperties{{k126, v126}}, "n", "page");
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut.begin()->first, k125);
  EXPECT_EQ(cut.begin()->second, v125);
  EXPECT_TRUE(hasLine("page 'n' : property " + k126 +
                      " : property key length cannot be longer than 125 characters. Property key "
                      "will be truncated."));
  EXPECT_TRUE(hasLine("page 'n' : property '" + k125 +
                      "' : property value cannot be longer than 125 characters. Property value "
                      "will be truncated."));
}

TEST_F(Utility, ValidatePropertiesNeverSplitsASurrogatePair) {
  // 124 units, then a character of two units across the cut.
  const std::string emoji = "\xF0\x9F\x98\x80";
  const std::string text = std::string(124, 'a') + emoji + "b";
  auto result = DUZEUtility::validateProperties(DUZEProperties{{text, text}}, "n", "event");
  ASSERT_EQ(result.size(), 1u);
  const auto& [key, value] = *result.begin();
  EXPECT_EQ(key, std::string(124, 'a'));
  EXPECT_EQ(value, std::string(124, 'a'));
  EXPECT_TRUE(foundation::isValidUTF8(key));
  // The result still serialises as JSON.
  EXPECT_NO_THROW(nlohmann::json(result).dump());
}

TEST_F(Utility, ValidatePropertiesSkipsEmptyKeysAndLetsCutKeysCollide) {
  const std::string longA = std::string(125, 'x') + "A";
  const std::string longB = std::string(125, 'x') + "B";
  auto result = DUZEUtility::validateProperties(
      DUZEProperties{{"", "v"}, {longA, "first"}, {longB, "second"}}, "n", "event");
  EXPECT_TRUE(
      hasLine("event 'n' : a property key cannot be null or empty. Property will be skipped."));
  ASSERT_EQ(result.size(), 1u);
  EXPECT_EQ(result.at(std::string(125, 'x')), "second");
}

TEST_F(Utility, TextHelpers) {
  EXPECT_EQ(DUZEUtility::dateToISO8601(dispatch::Date(0)), "2001-01-01T00:00:00.000Z");
  EXPECT_EQ(DUZEUtility::dateToISO8601(dispatch::Date::fromUnixTime(1700000000.1239)),
            "2023-11-14T22:13:20.123Z");
  EXPECT_EQ(DUZEUtility::dateToISO8601(dispatch::Date::fromUnixTime(-0.5)),
            "1969-12-31T23:59:59.500Z");
  // Timestamps of damaged stored logs stay within what the format can write.
  EXPECT_EQ(DUZEUtility::dateToISO8601(dispatch::Date::fromUnixTime(-5.3e23)),
            "0001-01-01T00:00:00.000Z");
  EXPECT_EQ(DUZEUtility::dateToISO8601(dispatch::Date::fromUnixTime(1e300)),
            "9999-12-31T23:59:59.999Z");
  EXPECT_EQ(DUZEUtility::dateToISO8601(dispatch::Date::fromUnixTime(std::nan(""))),
            "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(DUZEUtility::sha256("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(DUZEUtility::targetKeyFromTargetToken("key-rest-more"), "key");
  EXPECT_EQ(DUZEUtility::targetKeyFromTargetToken("plain"), "plain");
  EXPECT_FALSE(DUZEUtility::targetKeyFromTargetToken("-rest"));
  EXPECT_FALSE(DUZEUtility::targetKeyFromTargetToken(""));
}

TEST_F(Utility, FilesUnderTheDataFolder) {
  EXPECT_EQ(DUZEUtility::dataFolder(), dataDir());
  auto url = DUZEUtility::createFileAtPathComponent("a/b/file.bin", Data{1, 2}, true, false);
  ASSERT_TRUE(url);
  EXPECT_EQ(*url, dataDir() / "a/b/file.bin");
  // Without forcing, an existing file keeps its content.
  EXPECT_EQ(DUZEUtility::createFileAtPathComponent("a/b/file.bin", Data{9}, false, false), url);
  EXPECT_EQ(DUZEUtility::loadDataForPathComponent("a/b/file.bin"), (Data{1, 2}));
  DUZEUtility::createFileAtPathComponent("a/b/file.bin", std::nullopt, false, true);
  EXPECT_EQ(DUZEUtility::loadDataForPathComponent("a/b/file.bin"), Data{});

  DUZEUtility::createFileAtPathComponent("a/b/z.txt", Data{1, 2, 3}, false, true);
  DUZEUtility::createDirectoryForPathComponent("a/b/sub");
  auto listing = DUZEUtility::contentsOfDirectory("a/b");
  ASSERT_TRUE(listing);
  ASSERT_EQ(listing->size(), 3u);
  EXPECT_EQ((*listing)[0].name, "file.bin");
  EXPECT_EQ((*listing)[0].fileSize, 0u);
  EXPECT_EQ((*listing)[1].name, "sub");
  EXPECT_FALSE((*listing)[1].isRegularFile);
  EXPECT_EQ((*listing)[2].fileSize, 3u);
  EXPECT_TRUE((*listing)[2].isRegularFile);

  EXPECT_FALSE(DUZEUtility::contentsOfDirectory("missing"));
  EXPECT_FALSE(DUZEUtility::contentsOfDirectory(""));
  EXPECT_TRUE(DUZEUtility::deleteItemForPathComponent("a"));
  EXPECT_FALSE(DUZEUtility::fileExistsForPathComponent("a/b/z.txt"));
  EXPECT_FALSE(DUZEUtility::deleteItemForPathComponent("a"));
  EXPECT_TRUE(hasLine("[ZozIduvur] DEBUG: "));
}

TEST_F(Utility, CreatingAFileWhereAFolderCannotBeMadeFailsWithALog) {
  DUZEUtility::createFileAtPathComponent("blocker", Data{1}, false, true);
  EXPECT_FALSE(DUZEUtility::createFileAtPathComponent("blocker/inside", Data{1}, false, true));
  EXPECT_TRUE(hasLine("[ZozIduvur] ERROR: "));
}

TEST_F(Utility, ApplicationState) {
  EXPECT_EQ(DUZEUtility::applicationState(), DUZEApplicationStateActive);
  DUZEApplicationState fromOtherThread = DUZEApplicationStateActive;
  std::thread([&] { fromOtherThread = DUZEUtility::applicationState(); }).join();
  EXPECT_EQ(fromOtherThread, DUZEApplicationStateUnknown);

  DUZEUtility::setApplicationHiddenQuery([] { return true; });
  EXPECT_EQ(DUZEUtility::applicationState(), DUZEApplicationStateBackground);
  DUZEUtility::setApplicationHiddenQuery(nullptr);

  auto bundle = foundation::NSBundle::mainBundle();
  bundle->setExecutablePath("/Applications/Host.app/Contents/PlugIns/Ext.appex/Contents/MacOS/Ext");
  EXPECT_EQ(DUZEUtility::applicationState(), DUZEApplicationStateUnknown);
  bundle->setExecutablePath(std::nullopt);
  EXPECT_EQ(DUZEUtility::currentAppEnvironment(), DUZEEnvironmentOther);
}

TEST_F(Utility, PerformBlockOnMainThreadRunsInlineThereAndQueuesFromElsewhere) {
  bool ranInline = false;
  DUZEDispatcherUtil::performBlockOnMainThread([&] { ranInline = true; });
  EXPECT_TRUE(ranInline);

  std::atomic<bool> ran{false};
  std::atomic<bool> onMain{false};
  std::thread([&] {
    DUZEDispatcherUtil::performBlockOnMainThread([&] {
      onMain = dispatch::isMainThread();
      ran = true;
    });
  }).join();
  EXPECT_FALSE(ran.load());  // not run by the other thread, not waited for
  EXPECT_TRUE(dispatch::MainLoop::runUntil([&] { return ran.load(); },
                                           dispatch::DispatchTimeInterval::seconds(5)));
  EXPECT_TRUE(onMain.load());
}
