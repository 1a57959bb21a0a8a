// Threads that use the crash service at once: the buffer's slots, the crash
// files and the handled-error path. Run under ThreadSanitizer.

#include <atomic>
#include <thread>

#include "CrashesServiceSupport.h"
#include "DUZECrashesLogBuffer.h"
#include "ZozIduvur/DUZELogger.h"
#include "ZozIduvurCrashes/DUZEHandledErrorLog.h"
#include "ZozIduvurCrashes/DUZEWrapperCrashesHelper.h"

namespace {

class CrashesStress : public crashestest::CrashesServiceTest {};

TEST_F(CrashesStress, LogsPreparedAndCompletedFromManyThreadsLeaveTheBufferEmpty) {
  auto instance = crashes();
  instance->bufferFileQueue()->waitUntilAllOperationsAreFinished();
  // The verbose lines of every slot scan would dwarf the work.
  DUZELogger::setCurrentLogLevel(DUZELogLevelWarning);
  constexpr int kThreads = 4;
  constexpr int kLogs = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLogs; ++i) {
        auto log = DUZEHandledErrorLog::create();
        log->setErrorId("e" + std::to_string(t) + "-" + std::to_string(i));
        const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
        instance->channelDidPrepareLog(nullptr, log, id, DUZEFlagsNormal);
        // Some logs are completed late, so the buffer fills and overflows.
        if (i % 3 != 0) instance->channelDidCompleteEnqueueingLog(nullptr, log, id);
      }
    });
  }
  std::thread files([&] {
    for (int i = 0; i < 200; ++i) {
      instance->setCrashFiles({crashesFolder() / std::to_string(i)});
      (void)instance->crashFiles();
      (void)instance->unprocessedReports();
      DUZECrashesInternal(*instance).clearUnprocessedReports();
    }
  });
  for (auto& thread : threads) thread.join();
  files.join();

  // Every occupied slot holds a log that was never completed, intact.
  size_t occupied = 0;
  for (const LogBufferSlot& slot : logBufferSlots) {
    EXPECT_EQ(slot.generation.load() % 2, 0u);
    if (slot.buffer.empty()) continue;
    ++occupied;
    const auto log = DUZEUtility::unarchiveObject<DUZEHandledErrorLog>(
        foundation::Data(slot.buffer.begin(), slot.buffer.end()));
    ASSERT_TRUE(log);
    const std::string& id = slot.internalId;
    const int index = std::stoi(id.substr(id.find('-') + 1));
    EXPECT_EQ(index % 3, 0) << id;
    EXPECT_EQ(log->errorId(), "e" + id.substr(1));
  }
  EXPECT_GT(occupied, 0u);
}

// Asks for the shared service from its callbacks, as delegates commonly do.
class CallingBackSetupDelegate : public DUZECrashHandlerSetupDelegate {
 public:
  std::atomic<int> calls{0};
  void willSetUpCrashHandlers() override { callBack(); }
  void didSetUpCrashHandlers() override { callBack(); }

 private:
  void callBack() {
    if (DUZECrashes::sharedInstance()->roReradUzerirud()) ++calls;
  }
};

TEST_F(CrashesStress, SetupDelegateCallsTheServiceBackWhileThreadsSwitchAndAskForIt) {
  DUZE_RUN_IN_OWN_PROCESS();
  DUZELogger::setCurrentLogLevel(DUZELogLevelWarning);
  auto setup = std::make_shared<CallingBackSetupDelegate>();
  DUZEWrapperCrashesHelper::setCrashHandlerSetupDelegate(setup);
  // Making the shared instance and enabling it, with the delegate asking for
  // it under the instance's lock.
  startOnFakeGroup();
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 10; ++i) {
        DUZECrashes::setServiceEnabled(false);
        DUZECrashes::setServiceEnabled(true);
      }
    });
  }
  threads.emplace_back([] {
    for (int i = 0; i < 200; ++i) (void)DUZECrashes::hasCrashedInLastSession();
  });
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(DUZECrashes::isServiceEnabled());
  EXPECT_GT(setup->calls.load(), 0);
}

}  // namespace
