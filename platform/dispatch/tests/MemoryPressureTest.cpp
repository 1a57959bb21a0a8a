#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "MemoryPressure.h"
#include "dispatch/DispatchQueue.h"
#include "dispatch/DispatchSource.h"
#include "dispatch/MainLoop.h"
#include "dispatch/TestSeams.h"
#include "dispatchTest/Waiting.h"

namespace dispatch {
namespace {

using detail::levelFromMemInfo;
using detail::levelFromPsi;
using detail::parseMemInfo;
using detail::parsePsi;

TEST(MemoryPressureReading, ParsesPsiAverages) {
  auto averages = parsePsi(
      "some avg10=12.50 avg60=3.00 avg300=0.10 total=123456\n"
      "full avg10=0.75 avg60=0.00 avg300=0.00 total=42\n");
  ASSERT_TRUE(averages.has_value());
  EXPECT_DOUBLE_EQ(averages->someAvg10, 12.5);
  EXPECT_DOUBLE_EQ(averages->fullAvg10, 0.75);
  EXPECT_EQ(levelFromPsi(*averages), MemoryPressureEvent::warning);

  // Older kernels have no "full" line; garbage is refused rather than read as 0.
  EXPECT_FALSE(parsePsi("some avg10=1.00 avg60=0.00 avg300=0.00 total=1\n").has_value());
  EXPECT_FALSE(parsePsi("some avg10=x avg60=0\nfull avg10=0.00\n").has_value());
  EXPECT_FALSE(parsePsi("").has_value());
}

TEST(MemoryPressureReading, PsiLevels) {
  EXPECT_EQ(levelFromPsi({0.0, 0.0}), MemoryPressureEvent::normal);
  EXPECT_EQ(levelFromPsi({9.99, 9.99}), MemoryPressureEvent::normal);
  EXPECT_EQ(levelFromPsi({10.0, 0.0}), MemoryPressureEvent::warning);
  EXPECT_EQ(levelFromPsi({50.0, 10.0}), MemoryPressureEvent::critical);
}

TEST(MemoryPressureReading, ParsesMemInfoAndClassifiesAvailableMemory) {
  auto info = parseMemInfo(
      "MemTotal:       24682404 kB\n"
      "MemFree:          100000 kB\n"
      "MemAvailable:    2000000 kB\n");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->totalKb, 24682404u);
  EXPECT_EQ(info->availableKb, 2000000u);
  EXPECT_EQ(levelFromMemInfo(*info), MemoryPressureEvent::warning);  // about 8%

  EXPECT_EQ(levelFromMemInfo({1000, 100}), MemoryPressureEvent::normal);  // 10% exactly
  EXPECT_EQ(levelFromMemInfo({1000, 99}), MemoryPressureEvent::warning);
  EXPECT_EQ(levelFromMemInfo({1000, 49}), MemoryPressureEvent::critical);
  EXPECT_EQ(levelFromMemInfo({1000, 5000}), MemoryPressureEvent::normal);  // more than total

  EXPECT_FALSE(parseMemInfo("MemTotal: 0 kB\nMemAvailable: 0 kB\n").has_value());
  EXPECT_FALSE(parseMemInfo("MemTotal: 100 kB\n").has_value());
  EXPECT_FALSE(parseMemInfo("MemTotal: lots\nMemAvailable: 1 kB\n").has_value());
}

class MemoryPressureSource : public ::testing::Test {
 protected:
  void TearDown() override { MainLoop::drainPending(); }
};

TEST_F(MemoryPressureSource, DeliversOnlyTheLevelsOfItsMaskOnItsQueue) {
  auto source = DispatchSource::makeMemoryPressureSource(MemoryPressureEvent::warning |
                                                         MemoryPressureEvent::critical);
  EXPECT_EQ(source->queue(), DispatchQueue::main());
  std::vector<MemoryPressureEvent> seen;
  source->setEventHandler([&] {
    EXPECT_TRUE(isMainThread());
    seen.push_back(source->data());
  });
  source->resume();
  simulateMemoryPressure(MemoryPressureEvent::normal);
  simulateMemoryPressure(MemoryPressureEvent::warning);
  MainLoop::drainPending();
  simulateMemoryPressure(MemoryPressureEvent::critical);
  MainLoop::drainPending();
  EXPECT_EQ(seen, (std::vector<MemoryPressureEvent>{MemoryPressureEvent::warning,
                                                    MemoryPressureEvent::critical}));
  source->cancel();
  simulateMemoryPressure(MemoryPressureEvent::critical);
  EXPECT_EQ(MainLoop::drainPending(), 0u);
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(MemoryPressureSource, EventsMergeUntilTheHandlerRunsAndWaitForResume) {
  auto source = DispatchSource::makeMemoryPressureSource(
      MemoryPressureEvent::normal | MemoryPressureEvent::warning | MemoryPressureEvent::critical);
  std::vector<uint32_t> seen;
  source->setEventHandler([&] { seen.push_back(static_cast<uint32_t>(source->data())); });
  // Not resumed yet: the source is not listening.
  simulateMemoryPressure(MemoryPressureEvent::warning);
  EXPECT_EQ(MainLoop::drainPending(), 0u);
  source->resume();
  simulateMemoryPressure(MemoryPressureEvent::warning);
  simulateMemoryPressure(MemoryPressureEvent::critical);
  simulateMemoryPressure(MemoryPressureEvent::warning);
  MainLoop::drainPending();
  EXPECT_EQ(seen, std::vector<uint32_t>{2 | 4});
}

TEST_F(MemoryPressureSource, DroppedSourcesAreForgotten) {
  std::atomic<int> runs{0};
  {
    auto source = DispatchSource::makeMemoryPressureSource(MemoryPressureEvent::warning,
                                                           DispatchQueue::global());
    source->setEventHandler([&] { ++runs; });
    source->resume();
  }
  simulateMemoryPressure(MemoryPressureEvent::warning);
  DispatchQueue::create("test.barrier")->sync([] {});
  EXPECT_EQ(runs.load(), 0);
}

}  // namespace
}  // namespace dispatch
