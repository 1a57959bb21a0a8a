#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/DispatchQueue.h"
#include "dispatch/MainLoop.h"
#include "dispatchTest/Waiting.h"

namespace dispatch {
namespace {

using testing::waitFor;

TEST(DispatchQueue, SerialQueueRunsBlocksInSubmissionOrder) {
  auto queue = DispatchQueue::create("test.serial");
  std::vector<int> seen;  // touched only by the queue's blocks
  DispatchSemaphore done(0);
  for (int i = 0; i < 500; ++i) {
    queue->async([&seen, i] { seen.push_back(i); });
  }
  queue->async([&] { done.signal(); });
  ASSERT_TRUE(waitFor(done));
  ASSERT_EQ(seen.size(), 500u);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(seen[i], i);
}

TEST(DispatchQueue, AsyncNeverRunsOnTheCallersStack) {
  auto queue = DispatchQueue::create("test.inline");
  std::atomic<bool> ran{false};
  DispatchSemaphore gate(0);
  DispatchSemaphore done(0);
  // Hold the queue so the next block cannot have run by the time async returns.
  queue->async([&] { gate.wait(); });
  queue->async([&] {
    ran = true;
    done.signal();
  });
  EXPECT_FALSE(ran.load());
  gate.signal();
  ASSERT_TRUE(waitFor(done));

  // Even on an idle queue and from inside one of its own blocks.
  std::atomic<bool> innerRan{false};
  bool innerRanBeforeReturn = true;
  queue->sync([&] {
    queue->async([&] {
      innerRan = true;
      done.signal();
    });
    innerRanBeforeReturn = innerRan.load();
  });
  EXPECT_FALSE(innerRanBeforeReturn);
  ASSERT_TRUE(waitFor(done));
}

TEST(DispatchQueue, SyncRunsOnTheCallersThreadAfterEarlierBlocks) {
  auto queue = DispatchQueue::create("test.sync");
  std::vector<int> order;
  DispatchSemaphore gate(0);
  queue->async([&] {
    gate.wait();
    order.push_back(1);
  });
  queue->async([&] { order.push_back(2); });
  std::thread releaser([&] { gate.signal(); });
  std::thread::id ranOn;
  const int answer = queue->sync([&] {
    ranOn = std::this_thread::get_id();
    order.push_back(3);
    return 42;
  });
  releaser.join();
  EXPECT_EQ(answer, 42);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(DispatchQueue, SyncRethrowsAndReleasesTheQueue) {
  auto queue = DispatchQueue::create("test.throw");
  EXPECT_THROW(queue->sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
  // The queue is free again: async work and another sync both run.
  DispatchSemaphore done(0);
  queue->async([&] { done.signal(); });
  ASSERT_TRUE(waitFor(done));
  EXPECT_EQ(queue->sync([] { return std::string("after"); }), "after");
}

TEST(DispatchQueue, SerialQueueOnASerialTargetIsExclusiveWithTheTargetsBlocks) {
  auto target = DispatchQueue::create("test.outer");
  auto inner = DispatchQueue::create("test.inner", {}, DispatchQueue::Attributes::serial, target);
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  auto body = [&] {
    if (inside.fetch_add(1) != 0) ++overlaps;
    std::this_thread::yield();
    inside.fetch_sub(1);
  };
  DispatchSemaphore done(0);
  for (int i = 0; i < 200; ++i) {
    inner->async(body);
    target->async(body);
  }
  // A sync on the inner queue must also hold the target.
  inner->sync(body);
  inner->async([&] { done.signal(); });
  target->async([&] { done.signal(); });
  ASSERT_TRUE(waitFor(done));
  ASSERT_TRUE(waitFor(done));
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(DispatchQueue, CreateKeepsLabelQosAndTarget) {
  auto concurrent = DispatchQueue::create("test.concurrent", DispatchQoS::utility(),
                                          DispatchQueue::Attributes::concurrent);
  EXPECT_EQ(concurrent->label(), "test.concurrent");
  EXPECT_EQ(concurrent->qos(), DispatchQoS::utility());
  EXPECT_TRUE(concurrent->isConcurrent());
  EXPECT_EQ(concurrent->target(), DispatchQueue::global(QoSClass::utility));

  auto serial = DispatchQueue::create("test.default");
  EXPECT_FALSE(serial->isConcurrent());
  EXPECT_EQ(serial->target(), DispatchQueue::global(QoSClass::defaultQoS));
  EXPECT_EQ(DispatchQueue::global(QoSClass::unspecified), DispatchQueue::global());
  EXPECT_NE(DispatchQueue::global(QoSClass::background), DispatchQueue::global());
  EXPECT_EQ(DispatchQueue::main()->target(), nullptr);
  EXPECT_FALSE(DispatchQueue::main()->isConcurrent());
  EXPECT_TRUE(DispatchQueue::global()->isConcurrent());

  EXPECT_EQ(DispatchQoS::userInitiated().description(),
            "DispatchQoS(qosClass: userInitiated, relativePriority: 0)");
  EXPECT_EQ((DispatchQoS{QoSClass::defaultQoS, -3}).description(),
            "DispatchQoS(qosClass: default, relativePriority: -3)");
}

TEST(DispatchQueue, SpecificValuesFollowTheTargetChain) {
  DispatchSpecificKey<std::string> name;
  DispatchSpecificKey<int> other;
  auto root = DispatchQueue::create("test.root");
  auto middle =
      DispatchQueue::create("test.middle", {}, DispatchQueue::Attributes::concurrent, root);
  auto leaf = DispatchQueue::create("test.leaf", {}, DispatchQueue::Attributes::serial, middle);
  root->setSpecific(name, std::string("root"));
  leaf->setSpecific(other, 7);

  auto lookUp = [&](const std::shared_ptr<DispatchQueue>& queue) {
    return queue->sync([&] {
      return std::make_pair(DispatchQueue::getSpecific(name), DispatchQueue::getSpecific(other));
    });
  };
  EXPECT_EQ(lookUp(leaf),
            std::make_pair(std::optional<std::string>("root"), std::optional<int>(7)));
  EXPECT_EQ(lookUp(middle),
            std::make_pair(std::optional<std::string>("root"), std::optional<int>()));

  // The nearest queue wins; removing the value uncovers the target's again.
  middle->setSpecific(name, std::string("middle"));
  EXPECT_EQ(lookUp(leaf).first, "middle");
  middle->setSpecific(name, std::nullopt);
  EXPECT_EQ(lookUp(leaf).first, "root");

  // Blocks submitted with async see the same chain.
  DispatchSemaphore done(0);
  std::optional<int> seen;
  leaf->async([&] {
    seen = DispatchQueue::getSpecific(other);
    done.signal();
  });
  ASSERT_TRUE(waitFor(done));
  EXPECT_EQ(seen, 7);

  // A plain thread runs no queue's block and finds nothing.
  std::optional<std::string> fromThread = "unset";
  std::thread([&] { fromThread = DispatchQueue::getSpecific(name); }).join();
  EXPECT_EQ(fromThread, std::nullopt);
}

TEST(DispatchQueue, NullBlocksAndSelfDeadlocksStopTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto queue = DispatchQueue::create("test.death");
  EXPECT_DEATH(queue->async(Block()), "Fatal error: DispatchQueue::async called with a null block");
  EXPECT_DEATH(queue->asyncAfter(DispatchTime::now(), Block()),
               "Fatal error: DispatchQueue::asyncAfter called with a null block");
  EXPECT_DEATH(queue->sync(Block()), "Fatal error: DispatchQueue::sync called with a null block");
  EXPECT_DEATH(queue->sync([&] { queue->sync([] {}); }),
               "DispatchQueue::sync on queue \"test.death\" from a block already running on "
               "\"test.death\" would deadlock");
  auto child =
      DispatchQueue::create("test.child", {}, DispatchQueue::Attributes::concurrent, queue);
  EXPECT_DEATH(queue->sync([&] { child->sync([] {}); }),
               "sync on queue \"test.child\" from a block already running on \"test.death\"");
  EXPECT_DEATH(DispatchQueue::main()->sync([] {}),
               "sync on queue \"dispatch.main\" from the main thread would deadlock");
}

// The main queue and its loop. The test runner's thread is the main thread.

class MainQueue : public ::testing::Test {
 protected:
  void TearDown() override {
    // Leave nothing behind for the next test.
    MainLoop::drainPending();
  }
};

TEST_F(MainQueue, TheTestRunnerIsTheMainThread) {
  EXPECT_TRUE(isMainThread());
  bool other = true;
  std::thread([&] { other = isMainThread(); }).join();
  EXPECT_FALSE(other);
}

TEST_F(MainQueue, BlocksRunOnlyWhenTheLoopDrainsThemInOrder) {
  std::vector<int> order;
  std::thread::id ranOn;
  std::thread([&] {
    for (int i = 0; i < 3; ++i) {
      DispatchQueue::main()->async([&, i] {
        order.push_back(i);
        ranOn = std::this_thread::get_id();
      });
    }
  }).join();
  EXPECT_TRUE(order.empty());
  EXPECT_EQ(MainLoop::drainPending(), 3u);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(MainQueue, DrainPendingLeavesBlocksSubmittedWhileDraining) {
  int runs = 0;
  DispatchQueue::main()->async([&] {
    ++runs;
    DispatchQueue::main()->async([&] { ++runs; });
  });
  EXPECT_EQ(MainLoop::drainPending(), 1u);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(MainLoop::drainPending(), 1u);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(MainLoop::drainPending(), 0u);
}

TEST_F(MainQueue, RunReturnsAfterStopFromAnotherThread) {
  int ran = 0;
  DispatchSemaphore loopRunning(0);
  DispatchQueue::main()->async([&] {
    ++ran;
    loopRunning.signal();
  });
  std::thread worker([&] {
    ASSERT_TRUE(waitFor(loopRunning));
    DispatchQueue::main()->async([&] { ++ran; });
    MainLoop::stop();
  });
  MainLoop::run();
  worker.join();
  // The stop may come before or after the second block; either way the loop
  // ends and loses nothing.
  EXPECT_GE(ran, 1);
  MainLoop::drainPending();
  EXPECT_EQ(ran, 2);
}

TEST_F(MainQueue, StopBeforeRunIsKeptForTheNextLoop) {
  MainLoop::stop();
  MainLoop::run();  // returns at once
  SUCCEED();
}

TEST_F(MainQueue, RunUntilStopsWhenThePredicateHolds) {
  std::atomic<int> count{0};
  std::thread worker([&] {
    for (int i = 0; i < 5; ++i) DispatchQueue::main()->async([&] { ++count; });
  });
  EXPECT_TRUE(MainLoop::runUntil([&] { return count == 5; }, DispatchTimeInterval::seconds(10)));
  worker.join();
  EXPECT_EQ(count.load(), 5);
}

TEST_F(MainQueue, RunUntilSeesStateChangedOffTheMainQueue) {
  std::atomic<bool> flag{false};
  std::thread worker([&] { flag = true; });
  EXPECT_TRUE(MainLoop::runUntil([&] { return flag.load(); }, DispatchTimeInterval::seconds(10)));
  worker.join();
}

TEST_F(MainQueue, RunUntilGivesUpAfterTheTimeout) {
  const DispatchTime start = DispatchTime::now();
  EXPECT_FALSE(MainLoop::runUntil([] { return false; }, DispatchTimeInterval::milliseconds(20)));
  EXPECT_GE(DispatchTime::now().uptimeNanoseconds() - start.uptimeNanoseconds(), 20'000'000u);
}

TEST_F(MainQueue, OnTheMainQueueMeansTheQueueNotTheThread) {
  DispatchSpecificKey<int> mainKey;
  DispatchQueue::main()->setSpecific(mainKey, 1);
  auto onMain = [&] { return DispatchQueue::getSpecific(mainKey).has_value(); };

  // The main thread outside any block counts.
  EXPECT_TRUE(onMain());

  // A block of a serial queue that targets the main queue counts, and runs on
  // the main thread.
  auto child = DispatchQueue::create("test.onmain", {}, DispatchQueue::Attributes::serial,
                                     DispatchQueue::main());
  bool childOnMain = false;
  bool childOnMainThread = false;
  child->async([&] {
    childOnMain = onMain();
    childOnMainThread = isMainThread();
  });
  EXPECT_TRUE(MainLoop::runUntil([&] { return childOnMain; }, DispatchTimeInterval::seconds(10)));
  EXPECT_TRUE(childOnMainThread);

  // A global queue's block does not, nor does a sync block of another queue
  // run on the main thread.
  DispatchSemaphore done(0);
  bool globalOnMain = true;
  DispatchQueue::global()->async([&] {
    globalOnMain = onMain();
    done.signal();
  });
  ASSERT_TRUE(waitFor(done));
  EXPECT_FALSE(globalOnMain);
  EXPECT_FALSE(DispatchQueue::create("test.elsewhere")->sync(onMain));

  DispatchQueue::main()->setSpecific(mainKey, std::nullopt);
}

TEST_F(MainQueue, SyncFromAWorkerRunsOnTheMainThreadAndWaits) {
  auto child = DispatchQueue::create("test.syncmain", {}, DispatchQueue::Attributes::serial,
                                     DispatchQueue::main());
  std::atomic<bool> returned{false};
  std::thread::id ranOn;
  int answer = 0;
  std::thread worker([&] {
    answer = child->sync([&] {
      ranOn = std::this_thread::get_id();
      return 5;
    });
    returned = true;
  });
  EXPECT_TRUE(
      MainLoop::runUntil([&] { return returned.load(); }, DispatchTimeInterval::seconds(10)));
  worker.join();
  EXPECT_EQ(answer, 5);
  EXPECT_EQ(ranOn, std::this_thread::get_id());

  // An exception comes back to the waiting caller.
  std::atomic<bool> caught{false};
  std::thread thrower([&] {
    try {
      DispatchQueue::main()->sync([] { throw std::logic_error("on main"); });
    } catch (const std::logic_error&) {
      caught = true;
    }
  });
  EXPECT_TRUE(MainLoop::runUntil([&] { return caught.load(); }, DispatchTimeInterval::seconds(10)));
  thrower.join();
}

TEST_F(MainQueue, TheLoopRefusesWrongThreadsAndNesting) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(std::thread([] { MainLoop::drainPending(); }).join(),
               "Fatal error: MainLoop::drainPending must be called on the main thread");
  EXPECT_DEATH(
      {
        DispatchQueue::main()->async([] { MainLoop::run(); });
        MainLoop::drainPending();
      },
      "Fatal error: MainLoop::run called from inside a block");
}

}  // namespace
}  // namespace dispatch
