#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "RvStreams/AsyncLock.h"
#include "RvStreams/CurrentThreadScheduler.h"

namespace rv {
namespace {

// An invocation that runs a callable; copies share nothing.
struct Call {
  std::function<void()> body;
  void invoke() { body(); }
};

TEST(AsyncLock, RunsOnTheCallingThreadAndReturnsIdle) {
  AsyncLock<Call> lock;
  std::thread::id ranOn;
  lock.invoke(Call{[&] { ranOn = std::this_thread::get_id(); }});
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  int runs = 0;
  lock.invoke(Call{[&] { ++runs; }});  // idle again: runs at once
  EXPECT_EQ(runs, 1);
}

TEST(AsyncLock, NestedInvocationsRunAfterwardsInOrderWithoutRecursion) {
  AsyncLock<Call> lock;
  std::vector<std::string> log;
  int depth = 0;
  int maxDepth = 0;
  auto enter = [&](const std::string& name) {
    ++depth;
    maxDepth = std::max(maxDepth, depth);
    log.push_back(name);
  };
  lock.invoke(Call{[&] {
    enter("outer");
    lock.invoke(Call{[&] {
      enter("first");
      --depth;
    }});
    lock.invoke(Call{[&] {
      enter("second");
      --depth;
    }});
    log.push_back("outer done");
    --depth;
  }});
  EXPECT_EQ(log, (std::vector<std::string>{"outer", "outer done", "first", "second"}));
  EXPECT_EQ(maxDepth, 1);
}

TEST(AsyncLock, DisposeDropsQueuedAndLaterInvocations) {
  AsyncLock<Call> lock;
  std::vector<std::string> log;
  lock.invoke(Call{[&] {
    lock.invoke(Call{[&] { log.push_back("queued"); }});
    lock.dispose();
    log.push_back("still finishing");
  }});
  lock.invoke(Call{[&] { log.push_back("after"); }});
  EXPECT_EQ(log, (std::vector<std::string>{"still finishing"}));
}

TEST(AsyncLock, DroppedInvocationsAreDestroyed) {
  AsyncLock<Call> lock;
  auto token = std::make_shared<int>(0);
  lock.invoke(Call{[&] {
    lock.invoke(Call{[token] {}});
    EXPECT_EQ(token.use_count(), 2);
    lock.dispose();
    EXPECT_EQ(token.use_count(), 1);
  }});
}

TEST(AsyncLock, ThrowingInvocationDoesNotLeaveTheLockBusy) {
  AsyncLock<Call> lock;
  EXPECT_THROW(lock.invoke(Call{[] { throw std::runtime_error("x"); }}), std::runtime_error);
  int runs = 0;
  lock.invoke(Call{[&] { ++runs; }});
  EXPECT_EQ(runs, 1);
}

struct Recorder {
  std::vector<int> seen;
  void invoke(const int& value) { seen.push_back(value); }
};

TEST(AsyncLock, RunsInvocableItemsWithTheirValues) {
  auto recorder = std::make_shared<Recorder>();
  AsyncLock<InvocableScheduledItem<Recorder, int>> lock;
  lock.invoke({recorder, 1});
  lock.invoke({recorder, 2});
  EXPECT_EQ(recorder->seen, (std::vector<int>{1, 2}));
}

TEST(InfiniteSequence, IteratorsRepeatForeverIndependently) {
  InfiniteSequence<int> sequence(3);
  auto a = sequence.makeIterator();
  auto b = sequence.makeIterator();
  for (int i = 0; i < 100; ++i) EXPECT_EQ(a.next(), 3);
  EXPECT_EQ(b.next(), 3);
}

}  // namespace
}  // namespace rv
