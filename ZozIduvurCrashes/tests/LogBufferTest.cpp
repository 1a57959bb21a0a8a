// The crash-time log buffer: slot choice, release, the crash callback's
// files and their reading back on the next start.

#include <unistd.h>

#include <fstream>
#include <thread>

#include "CrashesServiceSupport.h"
#include "DUZECrashesLogBuffer.h"
#include "ZozIduvur/DUZEStartServiceLog.h"
#include "ZozIduvur/DUZEZozIduvurUserDefaults.h"
#include "ZozIduvurCrashes/DUZEHandledErrorLog.h"
#include "base/ProcessToken.h"
#include "baseTest/Children.h"
#include "dispatchTest/TemporaryFolder.h"
#include "foundation/Data.h"
#include "foundationTest/Modes.h"

namespace {

namespace fs = std::filesystem;

// Made before, so destroyed after, every default-priority static of the
// program and its libraries: a crash it stands for comes once they are gone.
bool crashAfterTheStatics = false;
struct AfterTheStatics {
  ~AfterTheStatics() {
    if (!crashAfterTheStatics) return;
    crashes_log_buffer_crash_callback(nullptr, nullptr, nullptr);
    // Ended as a crash ends it, before a leak check that could wait on an
    // allocator lock another thread of the parent held at the fork.
    _exit(0);
  }
};
__attribute__((init_priority(101))) AfterTheStatics afterTheStatics;

class LogBuffer : public crashestest::CrashesServiceTest {
 protected:
  void SetUp() override {
    CrashesServiceTest::SetUp();
    instance_ = crashes();
    instance_->bufferFileQueue()->waitUntilAllOperationsAreFinished();
  }

  static std::shared_ptr<DUZEHandledErrorLog> logWithId(const std::string& errorId) {
    auto log = DUZEHandledErrorLog::create();
    log->setErrorId(errorId);
    log->setSid("session");
    return log;
  }
  // Prepares a log as a channel unit would, under `internalId`.
  void prepare(const std::shared_ptr<DUZEAbstractLog>& log, const std::string& internalId) {
    instance_->channelDidPrepareLog(nullptr, log, internalId, DUZEFlagsNormal);
  }
  static std::shared_ptr<DUZEHandledErrorLog> slotLog(size_t i) {
    const std::string& bytes = logBufferSlots[i].buffer;
    return DUZEUtility::unarchiveObject<DUZEHandledErrorLog>(
        foundation::Data(bytes.begin(), bytes.end()));
  }
  fs::path bufferFile(size_t i) const {
    return bufferFolder() / (std::to_string(i) + ".zorodozidlogbuffer");
  }
  fs::path tokenFile(size_t i) const {
    return bufferFolder() / (std::to_string(i) + ".targettoken");
  }

  std::shared_ptr<DUZECrashes> instance_;
};

TEST_F(LogBuffer, SetupGivesEverySlotItsFiles) {
  for (size_t i = 0; i < kDUZECrashesLogBufferSize; ++i) {
    const LogBufferSlot& slot = logBufferSlots[i];
    EXPECT_EQ(slot.bufferPath, bufferFile(i).string());
    EXPECT_EQ(slot.targetTokenPath, tokenFile(i).string());
    EXPECT_TRUE(slot.buffer.empty());
    EXPECT_EQ(slot.timestamp, 0);
    ASSERT_TRUE(fs::is_regular_file(bufferFile(i)));
    EXPECT_EQ(fs::file_size(bufferFile(i)), 0u);
  }
  // A file left by a crash keeps its bytes when the buffer is set up again.
  writeFile(bufferFile(5), {1, 2, 3});
  DUZECrashes::resetSharedInstance();
  crashes()->bufferFileQueue()->waitUntilAllOperationsAreFinished();
  EXPECT_EQ(fs::file_size(bufferFile(5)), 3u);
}

TEST_F(LogBuffer, PreparedLogsTakeTheLowestFreeSlot) {
  prepare(logWithId("a"), "id-a");
  prepare(logWithId("b"), "id-b");
  EXPECT_EQ(slotLog(0)->errorId(), "a");
  EXPECT_EQ(slotLog(1)->errorId(), "b");
  EXPECT_EQ(logBufferSlots[0].internalId, "id-a");
  EXPECT_GT(logBufferSlots[0].timestamp, 1.6e9);
  EXPECT_TRUE(logBufferSlots[2].buffer.empty());
  EXPECT_TRUE(hasLine("Storing a log to Crashes Buffer: (sid: session, type: handledError)"));
  EXPECT_EQ(countLines("Found an empty buffer position."), 2u);

  // A released slot is taken first, even with an older one occupied.
  instance_->channelDidCompleteEnqueueingLog(nullptr, nullptr, "id-a");
  EXPECT_TRUE(logBufferSlots[0].buffer.empty());
  EXPECT_TRUE(logBufferSlots[0].internalId.empty());
  EXPECT_EQ(logBufferSlots[0].timestamp, 0);
  EXPECT_TRUE(hasLine("Deleting a log from buffer with id id-a"));
  prepare(logWithId("c"), "id-c");
  EXPECT_EQ(slotLog(0)->errorId(), "c");
  EXPECT_EQ(slotLog(1)->errorId(), "b");
  // Nothing was written at a crash: the file stays.
  EXPECT_TRUE(fs::exists(bufferFile(0)));
}

TEST_F(LogBuffer, FullBufferReplacesTheOldestSlot) {
  for (size_t i = 0; i < kDUZECrashesLogBufferSize; ++i) {
    prepare(logWithId("log" + std::to_string(i)), "id" + std::to_string(i));
    logBufferSlots[i].timestamp = 1000.0 + static_cast<double>((i * 7) % 60);
  }
  // Slot 0 has 1000, the lowest; make slot 17 older still.
  logBufferSlots[17].timestamp = 999.5;
  auto log = logWithId("newest");
  log->addTransmissionTargetToken("target-token");
  prepare(log, "id-newest");
  EXPECT_EQ(slotLog(17)->errorId(), "newest");
  EXPECT_EQ(logBufferSlots[17].internalId, "id-newest");
  EXPECT_GT(logBufferSlots[17].timestamp, 1.6e9);
  EXPECT_EQ(instance_->targetTokenEncrypter()->decryptString(logBufferSlots[17].targetToken),
            "target-token");
  EXPECT_TRUE(hasLine("Reached end of buffer. Next step is overwriting the oldest one."));
  EXPECT_TRUE(hasLine("Remembering index 17 for oldest timestamp 999.500000."));
  EXPECT_TRUE(hasLine("Overwrote buffered log at index 17."));
  EXPECT_EQ(slotLog(0)->errorId(), "log0");
}

TEST_F(LogBuffer, EqualTimestampsReplaceSlotZero) {
  for (size_t i = 0; i < kDUZECrashesLogBufferSize; ++i) {
    prepare(logWithId("log" + std::to_string(i)), "id" + std::to_string(i));
  }
  for (auto& slot : logBufferSlots) slot.timestamp = 5;
  prepare(logWithId("newest"), "id-newest");
  EXPECT_EQ(slotLog(0)->errorId(), "newest");
  EXPECT_EQ(slotLog(1)->errorId(), "log1");
}

TEST_F(LogBuffer, CrashLogsAttachmentsAndDisabledServiceBufferNothing) {
  prepare(DUZEAppleErrorLog::create(), "crash");
  prepare(DUZEErrorAttachmentLog::attachmentWithText("x", "x.txt"), "attachment");
  prepare(nullptr, "none");
  EXPECT_TRUE(logBufferSlots[0].buffer.empty());

  DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(false), "CrashesIsEnabled");
  prepare(logWithId("a"), "id-a");
  EXPECT_TRUE(logBufferSlots[0].buffer.empty());
  EXPECT_FALSE(hasLine("Storing a log to Crashes Buffer"));
}

TEST_F(LogBuffer, CrashWritesEverySlotToItsFiles) {
  // The crash callback marks the process for good.
  DUZE_RUN_IN_OWN_PROCESS();
  auto withToken = logWithId("a");
  withToken->addTransmissionTargetToken("token-a");
  prepare(withToken, "id-a");
  prepare(logWithId("b"), "id-b");
  prepare(logWithId("c"), "id-c");
  // A file full of older bytes is emptied by the crash.
  writeFile(bufferFile(40), {9, 9, 9});

  crashes_log_buffer_crash_callback(nullptr, nullptr, nullptr);
  EXPECT_TRUE(logBufferWrittenAtCrash.load());
  size_t withData = 0;
  for (size_t i = 0; i < kDUZECrashesLogBufferSize; ++i) {
    ASSERT_TRUE(fs::exists(bufferFile(i)));
    if (fs::file_size(bufferFile(i)) > 0) ++withData;
  }
  EXPECT_EQ(withData, 3u);
  const std::string& slot0 = logBufferSlots[0].buffer;
  EXPECT_EQ(readFile(bufferFile(0)), std::vector<uint8_t>(slot0.begin(), slot0.end()));
  ASSERT_TRUE(fs::exists(tokenFile(0)));
  EXPECT_EQ(fs::status(tokenFile(0)).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  const std::string& token0 = logBufferSlots[0].targetToken;
  EXPECT_EQ(readFile(tokenFile(0)), std::vector<uint8_t>(token0.begin(), token0.end()));
  EXPECT_FALSE(fs::exists(tokenFile(1)));

  // Once written at a crash, a released log takes its file with it.
  instance_->channelDidCompleteEnqueueingLog(nullptr, logWithId("b"), "id-b");
  EXPECT_FALSE(fs::exists(bufferFile(1)));
  EXPECT_TRUE(hasLine("Deleted a log from Crashes Buffer (sid: session, type: handledError)"));
  EXPECT_TRUE(hasLine("Deleted crash buffer file: " + bufferFile(1).string() + "."));
}

TEST_F(LogBuffer, CrashAfterTheStaticsAreGoneStillWritesTheSlots) {
  prepare(logWithId("late"), "id-late");
  EXPECT_EQ(base::testing::inChild([]() -> int {
              // The child's own log, as if it had prepared it itself (which
              // takes locks another thread of the parent may have held at
              // the fork).
              logBufferSlots[0].owner = base::process_token();
              crashAfterTheStatics = true;
              std::exit(0);
            }),
            0);
  const auto bytes = readFile(bufferFile(0));
  const auto log = DUZEUtility::unarchiveObject<DUZEHandledErrorLog>(
      foundation::Data(bytes.begin(), bytes.end()));
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->errorId(), "late");
}

TEST_F(LogBuffer, AForkedChildsCrashLeavesItsParentsFiles) {
  // The parent stores the log it has in a slot at the fork itself; the other
  // file holds what a crash of the parent wrote.
  prepare(logWithId("parents"), "id-parents");
  writeFile(bufferFile(1), {7});
  for (const auto how : {base::testing::ForkBy::library, base::testing::ForkBy::systemCall}) {
    EXPECT_EQ(base::testing::inChild(
                  [] {
                    crashes_log_buffer_crash_callback(nullptr, nullptr, nullptr);
                    return 0;
                  },
                  how),
              0);
    EXPECT_EQ(fs::file_size(bufferFile(0)), 0u);
    EXPECT_EQ(readFile(bufferFile(1)), std::vector<uint8_t>{7});
  }
}

TEST_F(LogBuffer, CrashSkipsASlotCaughtInTheMiddleOfAChange) {
  DUZE_RUN_IN_OWN_PROCESS();
  prepare(logWithId("a"), "id-a");
  writeFile(bufferFile(0), {7});
  // Another thread stopped while it changed slot 0.
  logBufferSlots[0].generation.fetch_add(1);
  crashes_log_buffer_crash_callback(nullptr, nullptr, nullptr);
  EXPECT_EQ(readFile(bufferFile(0)), std::vector<uint8_t>{7});
  logBufferSlots[0].generation.fetch_add(1);
}

TEST_F(LogBuffer, ItsFilesAreNeitherChangedNorWrittenThroughALink) {
  DUZE_RUN_IN_OWN_PROCESS();
  dispatch::testing::TemporaryFolder outside("zoziduvur-outside");
  const fs::path page = outside.path() / "page.html";
  const fs::path missing = outside.path() / "missing";
  writeFile(page, {1, 2, 3});
  fs::permissions(page, static_cast<fs::perms>(0644));
  fs::remove(bufferFile(0));
  fs::remove(bufferFile(1));
  fs::create_symlink(page, bufferFile(0));
  fs::create_symlink(missing, bufferFile(1));
  DUZECrashes::resetSharedInstance();
  instance_ = crashes();
  instance_->bufferFileQueue()->waitUntilAllOperationsAreFinished();
  prepare(logWithId("a"), "id-a");
  prepare(logWithId("b"), "id-b");
  crashes_log_buffer_crash_callback(nullptr, nullptr, nullptr);
  EXPECT_EQ(foundationtest::modeOf(page), 0644u);
  EXPECT_EQ(readFile(page), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(fs::exists(fs::symlink_status(missing)));
}

TEST_F(LogBuffer, TheNextStartSendsTheBufferedLogsAgain) {
  // Files a crash left: a log with a token, one whose token file is gone,
  // one that does not decode, an empty one.
  auto first = logWithId("with-token");
  auto second = logWithId("without-token");
  auto archive = [](const std::shared_ptr<DUZEAbstractLog>& log) {
    return DUZEUtility::archiveKeyedData(foundation::Value(log)).value();
  };
  writeFile(bufferFile(0), archive(first));
  const std::string token = instance_->targetTokenEncrypter()->encryptString("token-1").value();
  writeFile(tokenFile(0), std::vector<uint8_t>(token.begin(), token.end()));
  writeFile(bufferFile(1), archive(second));
  writeFile(bufferFile(2), {1, 2, 3});
  writeFile(bufferFile(3), archive(logWithId("bad-token")));
  writeFile(tokenFile(3), {'?', '?'});

  // Started while disabled, so that the engine stays out of this process.
  DUZEZozIduvurUserDefaults::shared()->setObject(foundation::Value(false), "CrashesIsEnabled");
  auto group = startOnFakeGroup();
  auto unit = group->unit("CrashesBuffer");
  ASSERT_TRUE(unit);
  auto logs = unit->logsOf<DUZEHandledErrorLog>();
  ASSERT_EQ(logs.size(), 3u);
  for (const auto& item : unit->items()) EXPECT_EQ(item.flags, DUZEFlagsNormal);
  EXPECT_EQ(logs[0]->errorId(), "with-token");
  EXPECT_EQ(logs[0]->transmissionTargetTokens(), std::set<std::string>{"token-1"});
  EXPECT_EQ(logs[0]->sid(), "session");
  EXPECT_EQ(logs[1]->errorId(), "without-token");
  EXPECT_TRUE(logs[1]->transmissionTargetTokens().empty());
  EXPECT_EQ(logs[2]->errorId(), "bad-token");
  EXPECT_TRUE(logs[2]->transmissionTargetTokens().empty());
  EXPECT_TRUE(hasLine("[ZozIduvur] ERROR: processLogBufferAfterCrash/"));
  EXPECT_TRUE(hasLine("Failed to decrypt the target token."));
  EXPECT_TRUE(hasLine("Deserialization failed for log: The log deserialized to NULL."));
  EXPECT_EQ(countLines("Re-enqueueing buffered log, type: handledError."), 3u);

  EXPECT_EQ(fs::file_size(bufferFile(0)), 0u);
  EXPECT_EQ(fs::file_size(bufferFile(1)), 0u);
  EXPECT_EQ(fs::file_size(bufferFile(2)), 3u);  // kept for a look
  EXPECT_EQ(fs::file_size(bufferFile(3)), 0u);
  EXPECT_FALSE(fs::exists(tokenFile(0)));
  EXPECT_FALSE(fs::exists(tokenFile(3)));
  EXPECT_EQ(fs::file_size(bufferFile(4)), 0u);
  EXPECT_EQ(instance_->bufferChannelUnit(), unit);

  // A later configuration finds nothing more to send.
  crashes()->updateConfigurationWithAppSecret("secret", std::nullopt);
  EXPECT_EQ(unit->items().size(), 3u);
}

TEST_F(LogBuffer, EmptyingRewritesOnlyBufferFilesWithData) {
  prepare(logWithId("a"), "id-a");
  writeFile(bufferFile(0), {1, 2});
  writeFile(tokenFile(0), {3});
  const auto before = fs::last_write_time(bufferFile(1));
  DUZECrashesInternal(*instance_).emptyLogBufferFiles();
  EXPECT_EQ(fs::file_size(bufferFile(0)), 0u);
  EXPECT_EQ(fs::file_size(tokenFile(0)), 1u);
  EXPECT_EQ(fs::last_write_time(bufferFile(1)), before);
  // The slots stay as they are.
  EXPECT_FALSE(logBufferSlots[0].buffer.empty());

  fs::remove_all(bufferFolder());
  DUZECrashesInternal(*instance_).emptyLogBufferFiles();
  EXPECT_TRUE(hasLine("Couldn't get files in the directory \"crasheslogbuffer\""));
}

}  // namespace
